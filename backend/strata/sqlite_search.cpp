// CSqliteStore::Search: term lookup over the postings index, with a check of the candidates'
// key values where the index tokens alone do not prove a match (word runs, longer CJK text).
#include <algorithm>

#include "backend/strata/sqlite_store.h"
#include "backend/strata/strata_errors.h"
#include "berkit/codepage.h"

namespace {

// Upper bound of a prefix range: tokens are valid UTF-8, whose octets never reach 0xF5.
std::string PrefixEnd(const std::string& prefix) { return prefix + "\xF5"; }

}  // namespace

bool CSqliteStore::CandidateMatches(int64_t db, const StoreKey& key, const SearchTerm& term, int64_t number,
                                    bool& match, StrataStatus& st) {
    match = false;
    std::string diriv;
    bool found = false;
    if (!GetRecordText(db, number, diriv, found, st)) return false;
    if (!found) return true;
    CMARC record;
    std::string error;
    if (record.Parse(diriv, error) < 0) return true;
    std::vector<std::vector<TextUnit>> values;
    KeyValueUnits(record, key.m_entry, values);
    match = std::any_of(values.begin(), values.end(),
                        [&term](const std::vector<TextUnit>& v) { return TermMatchesUnits(term, v); });
    return true;
}

bool CSqliteStore::Search(const std::string& db, const std::string& keyName, const std::string& ansiTerm,
                          int64_t after, size_t limit, std::vector<int64_t>& hits, bool& more,
                          StrataStatus& st) {
    hits.clear();
    more = false;
    CReadScope scope(*this);
    int64_t dbId = 0;
    StoreKey key;
    if (!FindDatabase(db, dbId, st) || !FindKey(dbId, keyName, key, st)) return false;
    SearchTerm term;
    const std::string utf8 = ansiTerm.empty() ? std::string() : AnsiToUtf8(ansiTerm);
    if (!ParseSearchTerm(utf8, term)) return st.Set(kStrataBadTerm, "[" + ansiTerm + "] holds nothing to search for");

    // The most selective exact token drives the scan; the others are checked through the index.
    std::vector<std::string> exact = term.m_exactTokens;
    std::sort(exact.begin(), exact.end());
    exact.erase(std::unique(exact.begin(), exact.end()), exact.end());
    if (exact.size() > 1) {
        std::vector<std::pair<int64_t, std::string>> sized;
        for (const std::string& t : exact) {
            CStmt c(Prepare("SELECT count(*) FROM (SELECT 1 FROM postings WHERE k=?1 AND tok=?2 LIMIT 20000)"));
            if (!c.Ok() || c.Bind(1, key.m_id).Bind(2, t).Step() != SQLITE_ROW) return SqlFail(st, "search");
            sized.emplace_back(c.Int(0), t);
        }
        std::sort(sized.begin(), sized.end());
        exact.clear();
        for (auto& s : sized) exact.push_back(s.second);
    }
    // Bounds the number of statement shapes; the candidate check covers the tokens left out.
    constexpr size_t kMaxIndexedTokens = 6;
    if (exact.size() > kMaxIndexedTokens) exact.resize(kMaxIndexedTokens);

    std::string sql;
    if (exact.empty()) {
        sql = "SELECT DISTINCT rec FROM postings WHERE k=?1 AND tok>=?3 AND tok<?4 AND rec>?2 ORDER BY rec";
    } else {
        sql = "SELECT rec FROM postings p WHERE k=?1 AND tok=?5 AND rec>?2";
        for (size_t i = 1; i < exact.size(); ++i) {
            sql += " AND EXISTS(SELECT 1 FROM postings q WHERE q.k=?1 AND q.tok=?" + std::to_string(5 + i) +
                   " AND q.rec=p.rec)";
        }
        if (!term.m_prefixToken.empty()) {
            sql += " AND EXISTS(SELECT 1 FROM postings q WHERE q.k=?1 AND q.tok>=?3 AND q.tok<?4 AND q.rec=p.rec)";
        }
        sql += " ORDER BY rec";
    }
    // Built per term shape; kept in the statement cache (the shapes are few).
    CStmt s(Prepare(sql.c_str()));
    if (!s.Ok()) return SqlFail(st, "search");
    s.Bind(1, key.m_id).Bind(2, after);
    if (!term.m_prefixToken.empty()) s.Bind(3, term.m_prefixToken).Bind(4, PrefixEnd(term.m_prefixToken));
    for (size_t i = 0; i < exact.size(); ++i) s.Bind(int(5 + i), exact[i]);

    int rc;
    while ((rc = s.Step()) == SQLITE_ROW) {
        if (m_cancel.load()) return st.Set(kStrataCancelled, "search");
        const int64_t number = s.Int(0);
        if (term.m_needsCheck) {
            bool match = false;
            if (!CandidateMatches(dbId, key, term, number, match, st)) return false;
            if (!match) continue;
        }
        if (hits.size() == limit) {
            more = true;
            break;
        }
        hits.push_back(number);
    }
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return SqlFail(st, "search");
    return true;
}
