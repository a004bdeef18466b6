#pragma once
// Extended Services "update" helpers of the session: the record number of a supplied ISO 2709
// record (its field 001) in the 7-digit form of the back-end's record paths. Stateless; any thread.

#include <string>

#include "berkit/bytearray.h"

// Record numbers of the back-end paths: 1 to this, written as exactly 7 decimal digits.
constexpr long long kESMaxRecordNumber = 9999999;

// Reads the first field 001 of an ISO 2709 record (by its directory) and gives its number as
// exactly 7 digits in `digits`: blanks around the number and its field terminator are dropped,
// shorter numbers get leading "0" characters. A number with significant digits beyond the last
// seven (above 9999999), zero, non-digit text, an empty or missing 001 and a directory entry that
// points outside the record are refused. Returns 0, or -1 with `error` set (`digits` untouched).
// Reads nothing outside `record`.
int ESRecordNumber(const CByteArray& record, std::string& digits, std::string& error);
