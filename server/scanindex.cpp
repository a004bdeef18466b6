// ScanIndex: term pages of each database (db path + "/" + key + "/" + term, styles 6 and 7)
// merged into one term list.
#include "server/scanindex.h"

#include <map>

#include "server/catalogueview.h"
#include "server/dbarray.h"
#include "server/evaluator.h"
#include "server/pager.h"

namespace {

constexpr int kStyleTermsFrom = 6;   // db/KEY/TERM: terms >= TERM, ascending
constexpr int kStyleTermsBelow = 7;  // db/KEY/TERM: terms < TERM, descending

// Up to `count` terms of one path in `style`, added into `merged` (counts summed by term).
CDiagnostic ReadTerms(const CSearchContext& context, const std::string& path, int style, size_t count,
                      std::map<std::string, int64_t>& merged) {
    if (count == 0)
        return CDiagnostic::Ok();
    CBackendPager& pager = *context.m_channel.m_pager;
    size_t read = 0;
    bool malformed = false;
    const CPagerResult result = pager.Search(path, style, CPagerFormat::kLines, [&](const CPackage& page) {
        StrataTermCount term;
        for (size_t i = 0; i < page.GetLineCount() && read < count; ++i, ++read) {
            if (!StrataParseScanLine(page.GetLineView(i), term)) {
                malformed = true;
                return false;
            }
            merged[term.m_term] += term.m_count;
        }
        return read < count && !context.Stopping();
    });
    if (malformed)
        return CDiagnostic::System("malformed term line from the back-end");
    context.m_channel.Outcome(result);
    if (context.Stopping() || result == CPagerResult::kStopped)
        return CDiagnostic::System("scan stopped");
    if (result == CPagerResult::kDone || result == CPagerResult::kNoData)
        return CDiagnostic::Ok();
    return {kDiagTemporarySystemError, pager.GetError(), "back-end scan failed: " + pager.GetError()};
}

// The first `count` terms of `merged` in order (or, `fromEnd`, the last `count`, still ascending).
std::vector<StrataTermCount> Take(const std::map<std::string, int64_t>& merged, size_t count, bool fromEnd) {
    std::vector<StrataTermCount> terms;
    size_t skip = fromEnd && merged.size() > count ? merged.size() - count : 0;
    for (const auto& [term, occurrences] : merged) {
        if (skip > 0) {
            --skip;
            continue;
        }
        if (terms.size() == count)
            break;
        terms.push_back({term, occurrences});
    }
    return terms;
}

}  // namespace

CDiagnostic ScanIndex(const CSearchContext& context, int use, const std::string& term, size_t before, size_t after,
                      CScanTerms& out) {
    out = CScanTerms();
    CDiagnostic error;
    if (!context.m_channel.Prepare(error))
        return error;
    std::map<std::string, int64_t> below, from;
    std::string path;
    for (const std::string& name : context.m_databases) {
        const CDatabaseNode* db = context.m_catalogue ? context.m_catalogue->Find(name) : nullptr;
        if (db == nullptr)
            return {kDiagDatabaseUnavailable, name, "illegal database name"};
        if (CQueryEvaluator::ConstructSearchPath(db, use, term, path) != 0)
            return {kDiagUnsupportedUse, std::to_string(use), "unsurported keys"};
        if ((error = ReadTerms(context, path, kStyleTermsBelow, before, below)) ||
            (error = ReadTerms(context, path, kStyleTermsFrom, after, from)))
            return error;
    }
    out.m_before = Take(below, before, true);
    out.m_after = Take(from, after, false);
    return CDiagnostic::Ok();
}
