// CSqliteStore::Search: a term's hit list from the posting lists (the intersection of its exact
// tokens, the union of a truncated word's tokens), with a check of the candidates' key values
// where the index tokens alone do not prove a match (word runs, longer CJK text); its pages are
// slices of the list, which is kept for them.
#include <algorithm>

#include "backend/strata/sqlite_postings.h"
#include "backend/strata/sqlite_store.h"
#include "backend/strata/strata_dictionary.h"
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
    match = StrataRecordMatches(record, key.m_entry, term);
    return true;
}

bool CSqliteStore::LoadDictionary(int64_t k, const CStrataDictionary*& dictionary, StrataStatus& st) {
    StrataDictionaryCache& cache = m_dictionary;
    if (!(m_cacheChecked && cache.m_dictionary && cache.m_key == k && cache.m_version == m_cacheVersion)) {
        cache = StrataDictionaryCache();
        // One seek per distinct token (a loose index scan), not a walk of every posting block.
        CStmt s(Prepare("WITH RECURSIVE t(tok) AS (SELECT min(tok) FROM postings WHERE k=?1 UNION ALL"
                        " SELECT (SELECT min(tok) FROM postings WHERE k=?1 AND tok>t.tok) FROM t WHERE t.tok IS NOT NULL)"
                        " SELECT tok FROM t WHERE tok IS NOT NULL"));
        if (!s.Ok()) return SqlFail(st, "search");
        s.Bind(1, k);
        std::vector<std::string> tokens;
        int rc;
        while ((rc = s.Step()) == SQLITE_ROW) {
            if (m_cancel.load(std::memory_order_relaxed)) return st.Set(kStrataCancelled, "search");
            if (tokens.size() > kStrataMaxDictionaryTokens) break;
            tokens.push_back(s.Text(0));
        }
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) return SqlFail(st, "search");
        if (!StrataMakeDictionary(std::move(tokens), cache.m_dictionary, st)) return false;
        cache.m_key = k;
        cache.m_version = m_cacheChecked ? m_cacheVersion : -1;
    }
    dictionary = cache.m_dictionary.get();
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
        bool ReadRange(const std::string& lo, const std::string& hi, bool derived, CRecordBitmap& bits,
                       StrataStatus& st) override {
            return m_store.ReadRange(derived ? -m_key.m_id : m_key.m_id, lo, hi, bits, st);
        }
        bool Dictionary(const CStrataDictionary*& dictionary, StrataStatus& st) override {
            return m_store.LoadDictionary(m_key.m_id, dictionary, st);
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

bool CSqliteStore::Search(const std::string& db, const std::string& keyPart, const std::string& ansiTerm,
                          int64_t after, size_t limit, std::vector<int64_t>& hits, bool& more,
                          StrataStatus& st) {
    hits.clear();
    more = false;
    std::string keyName, refused;
    StrataTermMode mode;
    if (!StrataSplitKey(keyPart, keyName, mode, refused)) return st.Set(kStrataUnsupportedMode, refused);
    CReadScope scope(*this);
    int64_t dbId = 0;
    StoreKey key;
    if (!FindDatabase(db, dbId, st) || !FindKey(dbId, keyName, key, st)) return false;
    HitList& list = m_lastHits;
    // A later page of the same search in the same snapshot: a slice of the list already made.
    const std::string listTerm = keyPart + "/" + ansiTerm;
    const bool reuse = m_cacheChecked && list.m_valid && list.m_db == dbId && list.m_key == key.m_id &&
                       list.m_term == listTerm;
    if (!reuse) {
        list.m_valid = false;
        SearchTerm term;
        if (!StrataParseKeyTerm(ansiTerm, key.m_entry, mode, term, st)) return false;
        if (!ComputeHits(dbId, key, term, list.m_hits, st)) {
            list.m_hits = std::vector<uint32_t>();
            return false;
        }
        list.m_db = dbId;
        list.m_key = key.m_id;
        list.m_term = listTerm;
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
