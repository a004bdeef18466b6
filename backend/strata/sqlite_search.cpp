// CSqliteStore::Search: a term's hit list from the posting lists (the intersection of its exact
// tokens, the union of a truncated word's tokens), with a check of the candidates' key values
// where the index tokens alone do not prove a match (word runs, longer CJK text); its pages are
// slices of the list, which is kept for them.
#include <algorithm>

#include "backend/strata/sqlite_postings.h"
#include "backend/strata/sqlite_store.h"
#include "backend/strata/strata_errors.h"
#include "berkit/codepage.h"

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

bool CSqliteStore::ComputeHits(int64_t db, const StoreKey& key, const SearchTerm& term, std::vector<uint32_t>& hits,
                               StrataStatus& st) {
    hits.clear();
    // The smallest list of the exact tokens is read first; the others only thin it out.
    std::vector<std::string> exact = term.m_exactTokens;
    std::sort(exact.begin(), exact.end());
    exact.erase(std::unique(exact.begin(), exact.end()), exact.end());
    if (exact.size() > 1) {
        std::vector<std::pair<int64_t, std::string>> sized;
        for (std::string& t : exact) {
            int64_t size = 0;
            if (!ListSize(key.m_id, t, size, st)) return false;
            sized.emplace_back(size, std::move(t));
        }
        std::sort(sized.begin(), sized.end());
        exact.clear();
        for (auto& s : sized) exact.push_back(std::move(s.second));
    }
    if (!exact.empty()) {
        if (!ReadList(key.m_id, exact[0], hits, st)) return false;
        std::vector<uint32_t> other;
        for (size_t i = 1; i < exact.size() && !hits.empty(); ++i) {
            if (!ReadList(key.m_id, exact[i], other, st)) return false;
            const auto end = std::set_intersection(hits.begin(), hits.end(), other.begin(), other.end(), hits.begin());
            hits.erase(end, hits.end());
        }
    }
    if (!term.m_prefixToken.empty() && (exact.empty() || !hits.empty())) {
        CRecordBitmap bits;
        if (!ReadPrefix(key.m_id, term.m_prefixToken, bits, st)) return false;
        if (exact.empty()) {
            bits.AppendTo(hits);
        } else {
            hits.erase(std::remove_if(hits.begin(), hits.end(), [&bits](uint32_t n) { return !bits.Test(n); }),
                       hits.end());
        }
    }
    if (term.m_needsCheck) {
        size_t kept = 0;
        for (const uint32_t number : hits) {
            if (m_cancel.load(std::memory_order_relaxed)) return st.Set(kStrataCancelled, "search");
            bool match = false;
            if (!CandidateMatches(db, key, term, number, match, st)) return false;
            if (match) hits[kept++] = number;
        }
        hits.resize(kept);
    }
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
    HitList& list = m_lastHits;
    // A later page of the same search in the same snapshot: a slice of the list already made.
    const bool reuse = m_cacheChecked && list.m_valid && list.m_db == dbId && list.m_key == key.m_id &&
                       list.m_term == ansiTerm;
    if (!reuse) {
        list.m_valid = false;
        SearchTerm term;
        const std::string utf8 = ansiTerm.empty() ? std::string() : AnsiToUtf8(ansiTerm);
        if (!ParseSearchTerm(utf8, term)) {
            return st.Set(kStrataBadTerm, "[" + ansiTerm + "] holds nothing to search for");
        }
        if (!ComputeHits(dbId, key, term, list.m_hits, st)) {
            list.m_hits = std::vector<uint32_t>();
            return false;
        }
        list.m_db = dbId;
        list.m_key = key.m_id;
        list.m_term = ansiTerm;
        list.m_valid = m_cacheChecked;  // inside a write the list is not kept
    }
    const std::vector<uint32_t>& all = list.m_hits;
    const auto from = after < 0 ? all.begin()
                                : std::upper_bound(all.begin(), all.end(), uint64_t(after),
                                                   [](uint64_t a, uint32_t n) { return a < n; });
    const size_t left = size_t(all.end() - from);
    const size_t take = std::min(left, limit);
    hits.assign(from, from + std::ptrdiff_t(take));
    more = left > take;
    // The last page frees the list.
    if (!more) {
        list.m_valid = false;
        list.m_hits = std::vector<uint32_t>();
    }
    return true;
}
