// SRU scan: the scanClause (one CQL index and term) mapped like a search clause, the term list read
// through the engine's ScanIndex (server/scanindex.h), as a Z39.50 Scan reads it.
#include <algorithm>
#include <cstring>

#include "server/dbarray.h"
#include "server/scanindex.h"
#include "server/sru/sru_ops.h"

namespace {

constexpr long kSruScanDefaultTerms = 20;
constexpr long kSruScanMaxTerms = 1000;
constexpr long kUse = 1;

// The scanClause's use attribute and term, or a diagnostic.
CSruDiagnostic ReadClause(const char* clause, const CDatabaseNode& db, int& use, std::string& term) {
    if (clause == nullptr || *clause == '\0') return {kSruMandatoryMissing, "scanClause"};
    CSruDiagnostic error;
    std::unique_ptr<CZQueryNode> query =
        CqlToQuery(clause, db.m_cqlMap ? *db.m_cqlMap : CCqlIndexMap::Default(), error);
    if (error) return error;
    if (!query || query->m_kind != CZQueryKind::kTerm) return {kSruQuerySyntax, "a scan clause is one index and term"};
    if (query->m_operand.m_bib1[kUse] < 0) return {kSruUnsupportedIndex, clause};
    use = static_cast<int>(query->m_operand.m_bib1[kUse]);
    term = query->m_operand.m_term;
    return {};
}

}  // namespace

void SruScan(CSruEnvironment& env, ODR o, const Z_SRW_scanRequest& request, Z_SRW_scanResponse& response) {
    auto fail = [&](const CSruDiagnostic& d) { SruAddDiagnostic(o, &response.diagnostics, &response.num_diagnostics, d); };
    const long wanted = request.maximumTerms ? static_cast<long>(*request.maximumTerms) : kSruScanDefaultTerms;
    const long position = request.responsePosition ? static_cast<long>(*request.responsePosition) : 1;
    if (wanted < 1 || wanted > kSruScanMaxTerms) return fail({kSruUnsupportedParameterValue, "maximumTerms"});
    if (position < 0 || position > wanted + 1) return fail({kSruUnsupportedParameterValue, "responsePosition"});
    const CDatabaseNode* db = SruDatabase(env, request.database);
    if (db == nullptr) return fail({kSruDatabaseMissing, request.database ? request.database : ""});
    int use = 0;
    std::string term;
    if (CSruDiagnostic error = ReadClause(request.scanClause, *db, use, term)) return fail(error);
    env.m_search.m_databases = {SruDatabaseName(env, request.database)};
    const size_t before = static_cast<size_t>(std::max(position - 1, 0L));
    CScanTerms terms;
    if (CDiagnostic error = ScanIndex(env.m_search, use, term, before, static_cast<size_t>(wanted) - before, terms))
        return fail({error.m_code == 114 ? kSruUnsupportedIndex : kSruGeneralError, error.m_addinfo});
    const size_t n = terms.m_before.size() + terms.m_after.size();
    response.terms = static_cast<Z_SRW_scanTerm*>(odr_malloc(o, sizeof(Z_SRW_scanTerm) * std::max<size_t>(n, 1)));
    response.num_terms = 0;
    auto add = [&](const StrataTermCount& t) {
        Z_SRW_scanTerm& out = response.terms[response.num_terms++];
        memset(&out, 0, sizeof out);
        out.value = odr_strdup(o, t.m_term.c_str());  // the index keeps its terms in UTF-8
        out.numberOfRecords = odr_intdup(o, t.m_count);
    };
    for (const StrataTermCount& t : terms.m_before) add(t);
    for (const StrataTermCount& t : terms.m_after) add(t);
}
