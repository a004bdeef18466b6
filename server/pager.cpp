// CBackendPager: prepared channel, paged calls, logins and the back-end's codes (pager.h).
#include "server/pager.h"

#include "backend/strata/strata_errors.h"
#include "backend/strata/strata_routines.h"

namespace {
// Answer of a write: one short status line.
constexpr int kWriteAnswerSize = 1024;
}  // namespace

CBackendPager::CBackendPager(CConnect& channel, CInterface* iface, const std::atomic<bool>* stop)
    : m_channel(channel), m_interface(iface), m_stop(stop) {}

void CBackendPager::Prepare(const std::string& user, const std::string& password) {
    // The channel's own user and password are those it logs in with (a login fall-back changes them).
    if (m_channel.IsConnected() && m_channel.m_user == user && m_channel.m_password == password)
        return;
    PrepareDatabaseChannel(m_channel, user, password, m_interface);
}

void CBackendPager::SetLoginFallback(bool enabled, const std::string& user, const std::string& password) {
    m_fallback = enabled;
    m_fallbackUser = user;
    m_fallbackPassword = password;
}

CPagerResult CBackendPager::Search(const std::string& path, int style, CPagerFormat format, const PageFn& page) {
    if (m_answer.size() != static_cast<size_t>(kAnswerBufferSize))
        m_answer.resize(kAnswerBufferSize);
    return Run(path, style,
               [this](const std::string& request, int s) {
                   return m_channel.API_Search(request.c_str(), static_cast<int>(request.size()) + 1, m_answer.data(),
                                               kAnswerBufferSize, s);
               },
               format, page);
}

CPagerResult CBackendPager::Dir(const std::string& path, const PageFn& page) {
    if (m_answer.size() != static_cast<size_t>(kAnswerBufferSize))
        m_answer.resize(kAnswerBufferSize);
    return Run(path, 0,
               [this](const std::string& request, int) {
                   return m_channel.API_Dir(request.c_str(), static_cast<int>(request.size()) + 1, m_answer.data(),
                                            kAnswerBufferSize);
               },
               CPagerFormat::kLines, page);
}

CPagerResult CBackendPager::Write(const std::string& path, const std::string& data, int style) {
    char answer[kWriteAnswerSize];
    const bool fallback = m_fallback;
    m_fallback = false;  // a write works under the channel's own account only
    int logins = 0;
    CPagerResult result = CPagerResult::kFailed;
    for (;;) {
        if (Stopping()) {
            result = CPagerResult::kStopped;
            break;
        }
        if (m_channel.API_Write(path.c_str(), data.data(), static_cast<int>(data.size()), answer, kWriteAnswerSize,
                                style, 1) > 0) {
            m_code = 0;
            m_error.clear();
            result = CPagerResult::kDone;
            break;
        }
        if (!OnFailure(path, logins, result))
            break;
    }
    m_fallback = fallback;
    return result;
}

bool CBackendPager::LogIn(const std::string& path) {
    return LoginDatabase(m_channel, path, m_fallback, m_fallbackUser, m_fallbackPassword) == 0;
}

bool CBackendPager::OnFailure(const std::string& request, int& logins, CPagerResult& result) {
    m_channel.GetLastError(m_code, m_error);
    switch (m_code) {
    case kStrataLoginRequired:
        if (logins < kMaxLogins) {
            ++logins;
            if (LogIn(request))
                return true;
            m_channel.GetLastError(m_code, m_error);
        } else {
            m_error = "the back-end asks for a login again after " + std::to_string(kMaxLogins) + " logins";
        }
        result = CPagerResult::kLoginFailed;
        return false;
    case kStrataNoData:
        result = CPagerResult::kNoData;
        return false;
    case kStrataChannelBroken:
    case kStrataUnreachable:
        result = CPagerResult::kBroken;
        return false;
    case kStrataCancelled:
        result = CPagerResult::kStopped;
        return false;
    default:
        result = CPagerResult::kFailed;
        return false;
    }
}

CPagerResult CBackendPager::Run(const std::string& path, int style, const CallFn& call, CPagerFormat format,
                                const PageFn& page) {
    m_code = 0;
    m_error.clear();
    std::string request = path;
    int logins = 0;
    CPackage package;
    // However the call ends, a hit list the store still keeps for a next page is given up.
    struct PagesEnd {
        CConnect& m_channel;
        ~PagesEnd() { m_channel.EndPages(); }
    } pagesEnd{m_channel};
    for (int pages = 0; pages < kMaxPages;) {
        if (Stopping())
            return CPagerResult::kStopped;
        const int length = call(request, style);
        if (length == -1) {
            CPagerResult result = CPagerResult::kFailed;
            if (OnFailure(request, logins, result))
                continue;
            return result;
        }
        ++pages;
        if (length < 0 || length > kAnswerBufferSize ||
            package.LoadPackageInPlace(m_answer.data(), static_cast<size_t>(length)) == -1) {
            m_error = "CPackage::LoadPackage() error ...";
            return CPagerResult::kFailed;
        }
        const bool lines = format == CPagerFormat::kLines;
        if ((lines ? package.CvtPackageToLineFormat(1) : package.CvtPackageToBinFormat(1)) == -1) {
            m_error = lines ? "CPackage::CvtPackageToLineFormat() error ..." : "CPackage::CvtPackageToBinFormat() error ...";
            return CPagerResult::kFailed;
        }
        if (!page(package) || package.GetContinuation().empty())
            return Stopping() ? CPagerResult::kStopped : CPagerResult::kDone;
        style |= kStrataStyleNextPage;
        request.assign(path).append("||").append(package.GetContinuation());
    }
    m_error = "too many pages in " + path;
    return CPagerResult::kFailed;
}

const char* PagerResultText(CPagerResult result) {
    switch (result) {
    case CPagerResult::kDone: return "done";
    case CPagerResult::kNoData: return "no data";
    case CPagerResult::kStopped: return "stopped";
    case CPagerResult::kLoginFailed: return "login failed";
    case CPagerResult::kBroken: return "back-end unreachable";
    default: return "failed";
    }
}
