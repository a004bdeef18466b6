// CTunnel back-end searches: one search path per operand, database and key; the paged hit list
// of each search becomes rows (database name as the client wrote it, record number) of the
// operand's result set, up to the configured hit limit.

#include <cstdint>
#include <string>

#include "backend/strata/strata_errors.h"
#include "backend/strata/strata_package.h"
#include "backend/strata/strata_routines.h"
#include "berkit/bertrace.h"
#include "server/dbarray.h"
#include "server/tunnel.h"
#include "server/tunnel_sets.h"
#include "server/tunnelarray.h"
#include "server/zrecordset.h"

namespace {

// Size of every back-end answer buffer.
constexpr int kAnswerBufferSize = 65535;
// Search style of a hit list, and the flag of its following pages.
constexpr int kStyleHitList = 5;
constexpr int kStyleNextPage = 0x8000;
// Digits of a record number at the end of a hit line.
constexpr size_t kHitDigits = 7;

// The record number in the last seven characters of a hit line: leading blanks and a sign are
// accepted, reading stops at the first character that is not a digit.
int64_t HitNumber(const char* line, size_t length) {
    const char* p = line + length - kHitDigits;
    const char* end = line + length;
    while (p < end && (*p == ' ' || *p == '\t'))
        ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-'))
        negative = *p++ == '-';
    int64_t value = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p)
        value = value * 10 + (*p - '0');
    return negative ? -value : value;
}

}  // namespace

void CTunnel::EnsureChannel() {
    if (m_owner == nullptr)
        THROW_EXTENDED(0, "connect db failed, CConnect::PrepareChannel()");
    if (m_answerBuffer.size() != static_cast<size_t>(kAnswerBufferSize))
        m_answerBuffer.resize(kAnswerBufferSize);
    // The channel stays open (and logged in) across requests: preparing it anew for every search
    // and record would reopen the store and log in again each time.
    if (!m_connect.IsConnected())
        PrepareDatabaseChannel(m_connect, GetUserId(), m_password, &m_owner->m_interface);
}

int CTunnel::ConstructSearchPath(const CDatabaseNode* db, int use, const std::string& term, std::string& path) {
    if (db == nullptr)
        return -1;
    path.clear();
    const auto key = db->m_keys.find(std::to_string(use));
    if (key == db->m_keys.end() || key->second.empty())
        return -1;
    path.reserve(db->m_dbPath.size() + key->second.size() + term.size() + 2);
    path = db->m_dbPath;
    path += '/';
    path += key->second;
    path += '/';
    path += term;
    BerTrace("search path = [%s]\r\n", path.c_str());
    return 0;
}

int CTunnel::SearchDBMulti(CZResultSet* target, int use, const std::string& term) {
    EnsureChannel();
    std::string path;
    for (const std::string& name : m_databaseNames) {
        CDatabaseNode* db = GetDatabasePtr(name.c_str());
        if (db == nullptr)
            THROW_EXTENDED(0, "illegal database name");
        if (ConstructSearchPath(db, use, term, path) != 0)
            THROW_EXTENDED(0, "unsurported keys");
        if (SearchDBUseStrata(name, path, target) != 0)
            break;
    }
    return 0;
}

int CTunnel::SearchDBUseStrata(const std::string& dbName, const std::string& path, CZResultSet* target) {
    if (target == nullptr)
        return -1;
    int style = kStyleHitList;
    bool stopped = false;
    std::string request = path;
    std::string error;
    CPackage package;
    const int64_t limit = m_owner ? static_cast<int64_t>(Settings().m_maxSearchHits) : 0;

    for (;;) {
        if (m_bStop.load())
            return -1;
        const int answer = m_connect.API_Search(request.c_str(), static_cast<int>(request.size()) + 1,
                                                m_answerBuffer.data(), kAnswerBufferSize, style);
        if (answer == -1) {
            int code = 0;
            m_connect.GetLastError(code, error);
            if (code == kStrataLoginRequired) {
                const bool anonymous = m_owner && Settings().m_allowAnonymous;
                if (LoginDatabase(m_connect, request, anonymous, "public", "") == 0)
                    continue;
                m_connect.GetLastError(code, error);
                break;  // fail
            }
            if (code == kStrataNoData)
                goto done;
            if (code == kStrataChannelBroken || code == kStrataUnreachable)
                Close();
            break;  // fail
        }
        if (package.LoadPackage(m_answerBuffer.data(), static_cast<size_t>(kAnswerBufferSize)) == -1) {
            error = "CPackage::LoadPackage() error ...";
            break;
        }
        if (package.CvtPackageToLineFormat(1) == -1) {
            error = "CPackage::CvtPackageToLineFormat() error ...";
            break;
        }
        int64_t count = target->GetRowCount();
        for (const std::string& line : package.GetLines()) {
            if (m_bStop.load())
                return 0;
            if (line.size() < kHitDigits)
                continue;
            ++count;
            target->Add(dbName, HitNumber(line.data(), line.size()));
            if (count > limit) {
                stopped = true;
                goto done;
            }
        }
        const std::string& continuation = package.GetContinuation();
        if (continuation.empty())
            goto done;
        style |= kStyleNextPage;
        request.assign(path).append("||").append(continuation);
    }

    // Failure: the operand has no hits, also none from earlier databases.
    BerTrace("searchDBUseStrata() error [%s]\r\n", error.c_str());
    target->Create(nullptr);
    return -1;

done:
    if (stopped)
        return 1;
    SortResultSet(*target);
    BerTrace("\r\n检索完成=[%d]条\r\n", static_cast<int>(target->GetRowCount()));
    return 0;
}
