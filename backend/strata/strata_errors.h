#pragma once
// Error codes of the back-end channel and their English texts. 5, 55, 63 and 66 are the codes
// callers act on; the rest are this back-end's own. Stateless; any thread.

#include <string>

constexpr int kStrataChannelBroken = 5;    // channel not prepared, or the store failed mid-call
constexpr int kStrataBadPath = 10;         // malformed path, unknown database, key or file
constexpr int kStrataAccessDenied = 11;    // the account lacks the right for the call
constexpr int kStrataLoginFailed = 12;     // unknown user or wrong password
constexpr int kStrataBadRecord = 13;       // record data malformed, empty or not matching its path
constexpr int kStrataBufferTooSmall = 14;  // the answer does not fit the caller's buffer
constexpr int kStrataCancelled = 15;       // API_Cancel ended the call
constexpr int kStrataRecordExists = 16;    // insert of a number already in use
constexpr int kStrataNoSuchRecord = 17;    // replace or delete of a missing record
constexpr int kStrataBadArgument = 18;     // bad style, length, or continuation
constexpr int kStrataStoreError = 19;      // the store reported an error (text has details)
constexpr int kStrataBadTerm = 20;         // search term empty or unusable
constexpr int kStrataUnsupportedMode = 21; // a search qualifier the key cannot honour (text: "T=V ...")
constexpr int kStrataNoData = 55;          // no (more) data
constexpr int kStrataLoginRequired = 63;   // the channel has not logged in
constexpr int kStrataUnreachable = 66;     // store missing or cannot be opened

// The fixed English text of a code ("unknown error" for codes not listed above).
const char* StrataErrorText(int code);
// "<fixed text>: <detail>", or the fixed text alone when detail is empty.
std::string StrataErrorMessage(int code, const std::string& detail);
