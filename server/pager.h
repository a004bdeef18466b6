#pragma once
// CBackendPager: the one way the server calls the back-end. It owns the answer buffer of one
// channel, prepares the channel with the caller's current credentials, runs a call page by page
// (path, then path + "||" + continuation with kStrataStyleNextPage), logs in when the back-end
// asks for it and turns the back-end's codes into one result.
//
//   CBackendPager pager(channel, &manager.m_interface, &stopFlag);
//   pager.Prepare(user, password);                   // throws when the channel cannot be opened
//   CPagerResult r = pager.Search(path, kStrataStyleHitList, CPagerFormat::kLines,
//                                 [&](const CPackage& page) { ...; return true; });
//
// Bounds: at most kMaxLogins logins per call (a back-end that keeps answering 63 ends the call
// with kLoginFailed) and at most kMaxPages pages per call (then kFailed, "too many pages").
// Codes: 55 gives kNoData, 63 a login (kLoginFailed when refused or exhausted), 5 and 66
// kBroken (the channel is gone: sessions end their association), 15 (cancelled) kStopped, any
// other code kFailed.
// The stop flag is read before every page: kStopped. Cancel() ends a call in progress.
// Ownership: the owner of the channel owns its pager; both must outlive every call.
// Threads: one thread calls at a time (the channel's); Cancel from any thread.

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "backend/strata/strata_channel.h"
#include "backend/strata/strata_package.h"

// API_Search styles the server uses.
constexpr int kStrataStyleBriefRecord = 2;  // db/ctlno/N: brief record (Lumo back-ends)
constexpr int kStrataStyleRecord = 3;       // db/ctlno/N: full record; db/cfgs/FILE: file blocks
constexpr int kStrataStyleHitList = 5;      // db/KEY/TERM: hit lines
constexpr int kStrataStyleNextPage = 0x8000;  // flag of every page after the first
// The back-end's read-only anonymous account (its password is empty).
constexpr const char* kStrataAnonymousUser = "public";

enum class CPagerResult {
    kDone,         // every page read, or the page callback said enough
    kNoData,       // code 55: nothing (more) to read
    kStopped,      // the stop flag was set, or the call was cancelled
    kLoginFailed,  // 63, and the logins allowed were refused or used up
    kBroken,       // 5 or 66: the channel or the back-end is gone
    kFailed,       // any other code, a malformed answer, or too many pages
};

// How the pager hands each page to the callback: hit or directory lines, or record/file blocks.
enum class CPagerFormat { kLines, kBlocks };

class CBackendPager {
public:
    static constexpr int kAnswerBufferSize = 65535;
    static constexpr int kMaxLogins = 2;
    static constexpr int kMaxPages = 4096;

    // Gets one converted page; returns false to end the call (result kDone).
    using PageFn = std::function<bool(const CPackage& page)>;

    // `stop` may be null (no stop flag).
    CBackendPager(CConnect& channel, CInterface* iface, const std::atomic<bool>* stop);

    // Makes the channel work as `user`: prepares it anew (a fresh, logged-out channel) when it is
    // not connected or its credentials (CConnect::m_user, m_password) differ. Throws extended_exception "connect db
    // failed, CConnect::PrepareChannel()" when it cannot be opened.
    void Prepare(const std::string& user, const std::string& password);
    // The interface channels are prepared with (set before the first Prepare).
    void SetInterface(CInterface* iface) { m_interface = iface; }

    // Logins of a call: when `fallbackUser` is set and the channel's own account is refused, the
    // call goes on as that account (the channel keeps it until prepared again).
    void SetLoginFallback(bool enabled, const std::string& user, const std::string& password);

    // API_Search of `path` with `style`, every page (at most kMaxPages) to `page`.
    CPagerResult Search(const std::string& path, int style, CPagerFormat format, const PageFn& page);
    // API_Dir of `path` (one answer, as lines).
    CPagerResult Dir(const std::string& path, const PageFn& page);
    // API_Write of `data` to `path` with `style`; kDone when written.
    CPagerResult Write(const std::string& path, const std::string& data, int style);

    // Ends a call in progress (it returns kStopped or kFailed). Any thread.
    void Cancel() { m_channel.API_Cancel(); }

    virtual ~CBackendPager() = default;

protected:
    // Logs the channel in after a 63 (with the fall-back account when one is set). True when
    // the back-end accepted the login. A seam for tests of back-ends that misbehave.
    virtual bool LogIn(const std::string& path);

public:

    // Code and text of the failure of the last call (0 and "" after kDone).
    int GetCode() const { return m_code; }
    const std::string& GetError() const { return m_error; }

private:
    // One back-end call: the answer's length, or -1.
    using CallFn = std::function<int(const std::string& request, int style)>;
    CPagerResult Run(const std::string& path, int style, const CallFn& call, CPagerFormat format,
                     const PageFn& page);
    // After a failed call: true when a login was made and the call may be repeated; otherwise
    // `result` says how the call ends.
    bool OnFailure(const std::string& request, int& logins, CPagerResult& result);
    bool Stopping() const { return m_stop != nullptr && m_stop->load(); }

    CConnect& m_channel;
    CInterface* m_interface;
    const std::atomic<bool>* m_stop;
    std::vector<char> m_answer;
    bool m_fallback = false;
    std::string m_fallbackUser;
    std::string m_fallbackPassword;
    int m_code = 0;
    std::string m_error;
};

// A short text of a pager result for logs ("no data", "stopped", ...).
const char* PagerResultText(CPagerResult result);
