// CSqliteStore::Search: a term's hit list from the posting lists (the intersection of its exact
// tokens, the union of a truncated word's tokens), with a check of the candidates' key values
// where the index tokens alone do not prove a match (word runs, longer CJK text); its pages are
// slices of the list, which is kept for them.
#include <algorithm>

#include "backend/strata/sqlite_postings.h"
#include "backend/strata/sqlite_store.h"
#include "backend/strata/strata_errors.h"
#include "backend/strata/strata_storeutil.h"
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
    // The engine-neutral computation over this store's lists and records.
    struct Reader : IStrataPostingReader {
        Reader(CSqliteStore& store, int64_t db, const StoreKey& key, const SearchTerm& term)
            : m_store(store), m_db(db), m_key(key), m_term(term) {}
        bool ListSize(const std::string& token, int64_t& size, StrataStatus& st) override {
            return m_store.ListSize(m_key.m_id, token, size, st);
        }
        bool ReadList(const std::string& token, std::vector<uint32_t>& out, StrataStatus& st) override {
            return m_store.ReadList(m_key.m_id, token, out, st);
        }
        bool ReadPrefix(const std::string& prefix, CRecordBitmap& bits, StrataStatus& st) override {
            return m_store.ReadPrefix(m_key.m_id, prefix, bits, st);
        }
        bool Matches(uint32_t number, bool& match, StrataStatus& st) override {
            return m_store.CandidateMatches(m_db, m_key, m_term, number, match, st);
        }
        bool Cancelled() const override { return m_store.m_cancel.load(std::memory_order_relaxed); }

        CSqliteStore& m_store;
        int64_t m_db;
        const StoreKey& m_key;
        const SearchTerm& m_term;
    } reader(*this, db, key, term);
    return StrataComputeHits(term, reader, hits, st);
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
        if (!ParseSearchTerm(utf8, term, KeyFolding(key.m_entry))) {
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
    more = StrataSliceHits(list.m_hits, after, limit, hits);
    // The last page frees the list.
    if (!more) {
        list.m_valid = false;
        list.m_hits = std::vector<uint32_t>();
    }
    return true;
}
