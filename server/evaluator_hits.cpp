// CQueryEvaluator back-end searches: one search path per operand, database and key; the paged hit
// list of each search becomes rows (database name as the client wrote it, record number) of the
// operand's result set, up to the hit limit.

#include <cstdint>
#include <cstring>
#include <string>

#include "backend/strata/strata_errors.h"
#include "berkit/bertrace.h"
#include "server/catalogueview.h"
#include "server/dbarray.h"
#include "server/evaluator.h"
#include "server/resultsets.h"

namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "HitNumber reads digits as a little-endian word");

// Digits of a record number at the end of a hit line.
constexpr size_t kHitDigits = 7;

// The record number in the last seven characters of a hit line: leading blanks and a sign are
// accepted, reading stops at the first character that is not a digit.
int64_t HitNumber(const char* line, size_t length) {
    if (length == kHitDigits) {
        // The usual line, seven digits and nothing else, read as one 64-bit word from two
        // overlapping four-octet loads (digits 0-3 and 3-6, the first digit in the low byte); a
        // leading '0' makes it eight digits, checked and combined in three multiplications.
        uint32_t first = 0, last = 0;
        std::memcpy(&first, line, 4);
        std::memcpy(&last, line + 3, 4);
        uint64_t v = uint64_t(first) | uint64_t(last) << 24;
        v = (v << 8) | '0';
        const uint64_t nibbles = 0xF0F0F0F0F0F0F0F0ULL;
        if (((v & nibbles) | (((v + 0x0606060606060606ULL) & nibbles) >> 4)) == 0x3333333333333333ULL) {
            v = (v & 0x0F0F0F0F0F0F0F0FULL) * 2561 >> 8;
            v = (v & 0x00FF00FF00FF00FFULL) * 6553601 >> 16;
            return int64_t((v & 0x0000FFFF0000FFFFULL) * 42949672960001ULL >> 32);
        }
    }
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

int CQueryEvaluator::ConstructSearchPath(const CDatabaseNode* db, int use, const std::string& term, std::string& path,
                                         const std::string& qualifiers) {
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
    if (!qualifiers.empty()) {
        path += '|';
        path += qualifiers;
    }
    path += '/';
    path += term;
    BerTrace("search path = [%s]\r\n", path.c_str());
    return 0;
}

CDiagnostic CQueryEvaluator::SearchDatabases(CZResultSet& target, int use, const std::string& term,
                                             const std::string& qualifiers) {
    CDiagnostic error;
    if (!m_context.m_channel.Prepare(error))
        return error;
    std::string path;
    for (const std::string& name : m_context.m_databases) {
        const CDatabaseNode* db = m_context.m_catalogue ? m_context.m_catalogue->Find(name) : nullptr;
        if (db == nullptr)
            return {kDiagDatabaseUnavailable, name, "illegal database name"};
        if (ConstructSearchPath(db, use, term, path, qualifiers) != 0)
            return {kDiagUnsupportedUse, std::to_string(use), "unsurported keys"};
        if (SearchPath(name, path, target) == 0)
            continue;
        // Without the diagnostics mode a failed back-end search leaves the operand without hits.
        if (m_context.m_bib1 && m_lastBackendCode == kStrataUnsupportedMode && !m_context.Stopping())
            return RefusedQualifier(m_lastBackendError);
        if (m_context.m_bib1 && !m_lastBackendError.empty() && !m_context.Stopping())
            return {kDiagTemporarySystemError, m_lastBackendError, "back-end search failed: " + m_lastBackendError};
        break;
    }
    return CDiagnostic::Ok();
}

int CQueryEvaluator::SearchPath(const std::string& dbName, const std::string& path, CZResultSet& target) {
    CBackendPager& pager = *m_context.m_channel.m_pager;
    const int64_t limit = m_context.m_hitLimit;
    bool full = false, interrupted = false, abandoned = false;
    const CPagerResult result = pager.Search(path, kStrataStyleHitList, CPagerFormat::kLines, [&](const CPackage& page) {
        if (m_context.Stopping()) {
            interrupted = true;
            return false;
        }
        // The page's record numbers, read in place, become rows a slice at a time.
        constexpr size_t kSlice = 512;
        int64_t numbers[kSlice];
        const size_t lines = page.GetLineCount();
        int64_t room = limit - target.GetRowCount() + 1;  // one row past the limit stops the search
        for (size_t i = 0; i < lines && room > 0;) {
            size_t n = 0;
            for (; i < lines && room > 0 && n < kSlice; ++i) {
                const std::string_view line = page.GetLineView(i);
                if (line.size() < kHitDigits)
                    continue;
                numbers[n++] = HitNumber(line.data(), line.size());
                --room;
            }
            target.AddHits(dbName, numbers, n);
        }
        if (target.GetRowCount() > limit) {
            full = true;
            return false;
        }
        if (m_context.m_abandoned && m_context.m_abandoned()) {
            BerTrace("searchDBUseStrata(): the client has gone, search abandoned\r\n");
            abandoned = true;
            return false;
        }
        return true;
    });
    m_context.m_channel.Outcome(result);
    if (abandoned)
        return -1;
    if (interrupted)
        return 0;  // the rows read so far stay, unsorted
    if (full)
        return 1;
    if (result == CPagerResult::kDone || result == CPagerResult::kNoData) {
        SortResultSet(target);  // hits arrive in record order: usually only indexed
        BerTrace("\r\n检索完成=[%d]条\r\n", static_cast<int>(target.GetRowCount()));
        return 0;
    }
    if (result == CPagerResult::kStopped)
        return -1;
    // Failure: the operand has no hits, also none from earlier databases. A lost back-end ends
    // the association (logged once there), so no diagnostic is prepared for it.
    m_lastBackendError = result == CPagerResult::kBroken ? std::string() : pager.GetError();
    m_lastBackendCode = pager.GetCode();
    BerTrace("searchDBUseStrata() error [%s]\r\n", pager.GetError().c_str());
    target.Create(nullptr);
    return -1;
}
