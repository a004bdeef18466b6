// CPgStore's posting lists (layout in pg_store.h, the same blocks as the embedded store's):
// merging numbers into blocks, bulk appends, and the reads of a search.
#include <algorithm>
#include <iterator>

#include "backend/strata/pg_store.h"
#include "backend/strata/sqlite_postings.h"
#include "backend/strata/sqlite_store.h"
#include "backend/strata/strata_errors.h"
#include "backend/strata/strata_storeutil.h"
#include "berkit/codepage.h"

namespace {

bool Decode(const CPgResult& r, int row, int col, std::vector<uint32_t>& out, StrataStatus& st) {
    const std::string data = r.Bytes(row, col);
    if (!DecodePostingBlock(reinterpret_cast<const unsigned char*>(data.data()), data.size(), out)) {
        return st.Set(kStrataStoreError, "damaged posting block; run a reindex of the database");
    }
    return true;
}

}  // namespace

bool CPgStore::BumpGeneration(CPgCall& call, int64_t db) {
    m_lastHits = HitList();
    return call.Run("UPDATE databases SET gen=gen+1 WHERE id=$1", {db}, "write");
}

bool CPgStore::WritePostings(CPgCall& call, std::vector<StrataPosting>& postings, bool remove) {
    return StrataForEachList(postings, [&](int64_t k, const std::string& tok, const std::vector<uint32_t>& numbers) {
        return ApplyList(call, k, tok, numbers, remove);
    });
}

bool CPgStore::ApplyList(CPgCall& call, int64_t k, const std::string& tok, const std::vector<uint32_t>& numbers,
                         bool remove) {
    std::vector<uint32_t> block, merged;
    size_t i = 0;
    while (i < numbers.size()) {
        int64_t last = -1;  // the key of the block the numbers go to; -1 none
        block.clear();
        CPgResult r;
        if (!call.Run("SELECT last, data FROM postings WHERE k=$1 AND tok=$2 AND last>=$3 ORDER BY last LIMIT 1",
                      {k, tok, int64_t(numbers[i])}, r, "index")) {
            return false;
        }
        size_t j = numbers.size();
        if (r.Rows() == 1) {
            last = r.Int(0, 0);
            if (!Decode(r, 0, 1, block, call.Status())) return false;
            j = size_t(std::upper_bound(numbers.begin() + std::ptrdiff_t(i), numbers.end(), uint32_t(last)) -
                       numbers.begin());
        } else {
            if (remove) return true;  // above every block: not in the list
            // Above every block: the list's final block takes the rest (a new list when none).
            if (!call.Run("SELECT last, data FROM postings WHERE k=$1 AND tok=$2 ORDER BY last DESC LIMIT 1", {k, tok},
                          r, "index")) {
                return false;
            }
            if (r.Rows() == 1) {
                last = r.Int(0, 0);
                if (!Decode(r, 0, 1, block, call.Status())) return false;
            }
        }
        StrataMergeBlock(block, numbers.data() + i, numbers.data() + j, remove, merged);
        if (merged.size() != block.size() && !WriteBlocks(call, k, tok, last, merged)) return false;
        i = j;
    }
    return true;
}

bool CPgStore::WriteBlocks(CPgCall& call, int64_t k, const std::string& tok, int64_t oldLast,
                           const std::vector<uint32_t>& numbers) {
    if (oldLast >= 0 &&
        !call.Run("DELETE FROM postings WHERE k=$1 AND tok=$2 AND last=$3", {k, tok, oldLast}, "index")) {
        return false;
    }
    std::string data;
    for (size_t from = 0; from < numbers.size(); from += kPostingBlockMax) {
        const size_t count = std::min(kPostingBlockMax, numbers.size() - from);
        EncodePostingBlock(numbers.data() + from, count, data);
        if (!call.Run("INSERT INTO postings(k, tok, last, n, data) VALUES($1, $2, $3, $4, $5)",
                      {k, tok, int64_t(numbers[from + count - 1]), int64_t(count), data}, "index")) {
            return false;
        }
    }
    return true;
}

bool CPgStore::AppendPostings(CPgCall& call, std::vector<StrataPosting>& postings) {
    std::sort(postings.begin(), postings.end());
    // The final block of every touched list, one statement per key.
    struct Final {
        int64_t m_last = -1;
        std::string m_data;
    };
    std::map<std::pair<int64_t, std::string>, Final> finals;
    for (size_t i = 0; i < postings.size();) {
        const int64_t k = postings[i].m_key;
        std::string tokens = "{";
        size_t j = i;
        for (; j < postings.size() && postings[j].m_key == k; ++j) {
            if (j > i && postings[j].m_token == postings[j - 1].m_token) continue;
            tokens += (tokens.size() > 1 ? "," : "") + PgHex(postings[j].m_token);
        }
        tokens += "}";
        CPgResult r;
        if (!call.Run("SELECT decode(x, 'hex'), p.last, p.data FROM unnest($2::text[]) x,"
                      " LATERAL (SELECT last, data FROM postings WHERE k=$1 AND tok=decode(x, 'hex')"
                      " ORDER BY last DESC LIMIT 1) p",
                      {k, CPgParam::Text(tokens)}, r, "index")) {
            return false;
        }
        for (int row = 0; row < r.Rows(); ++row) finals[{k, r.Bytes(row, 0)}] = Final{r.Int(row, 1), r.Bytes(row, 2)};
        i = j;
    }
    std::string copy, deletes, data;
    std::string deleteKeys = "{", deleteTokens = "{", deleteLasts = "{";
    std::vector<uint32_t> numbers;
    const bool ok = StrataForEachList(postings, [&](int64_t k, const std::string& tok, const std::vector<uint32_t>& added) {
        const auto it = finals.find({k, tok});
        numbers.clear();
        if (it != finals.end()) {
            if (added.front() <= uint32_t(it->second.m_last)) return ApplyList(call, k, tok, added, false);
            const std::string& d = it->second.m_data;
            if (!DecodePostingBlock(reinterpret_cast<const unsigned char*>(d.data()), d.size(), numbers)) {
                return call.Status().Set(kStrataStoreError, "damaged posting block; run a reindex of the database");
            }
            deleteKeys += (deleteKeys.size() > 1 ? "," : "") + std::to_string(k);
            deleteTokens += (deleteTokens.size() > 1 ? "," : "") + PgHex(tok);
            deleteLasts += (deleteLasts.size() > 1 ? "," : "") + std::to_string(it->second.m_last);
        }
        numbers.insert(numbers.end(), added.begin(), added.end());
        for (size_t from = 0; from < numbers.size(); from += kPostingBlockMax) {
            const size_t count = std::min(kPostingBlockMax, numbers.size() - from);
            EncodePostingBlock(numbers.data() + from, count, data);
            copy += std::to_string(k) + '\t';
            PgAppendCopyBytes(copy, tok);
            copy += '\t' + std::to_string(numbers[from + count - 1]) + '\t' + std::to_string(count) + '\t';
            PgAppendCopyBytes(copy, data);
            copy += '\n';
        }
        return true;
    });
    if (!ok) return false;
    if (deleteKeys.size() > 1 &&
        !call.Run("DELETE FROM postings p USING unnest($1::bigint[], $2::text[], $3::bigint[]) d(k, tok, last)"
                  " WHERE p.k=d.k AND p.tok=decode(d.tok, 'hex') AND p.last=d.last",
                  {CPgParam::Text(deleteKeys + "}"), CPgParam::Text(deleteTokens + "}"), CPgParam::Text(deleteLasts + "}")},
                  "index")) {
        return false;
    }
    return copy.empty() || call.Copy("COPY postings(k, tok, last, n, data) FROM STDIN", copy, "index");
}

// The posting lists of one key, read inside a search's call.
class CPgPostingReader : public IStrataPostingReader {
public:
    CPgPostingReader(CPgStore& store, CPgCall& call, int64_t db, int64_t gen, const StrataStoreKey& key,
                     const SearchTerm& term)
        : m_store(store), m_call(call), m_db(db), m_gen(gen), m_key(key), m_term(term) {}

    bool ListSize(const std::string& token, int64_t& size, StrataStatus& st) override {
        CPgResult r;
        if (!m_call.Run("SELECT coalesce(sum(n), 0)::bigint FROM postings WHERE k=$1 AND tok=$2", {m_key.m_id, token}, r,
                        "search")) {
            return false;
        }
        size = r.Int(0, 0);
        (void)st;
        return true;
    }
    bool ReadList(const std::string& token, std::vector<uint32_t>& out, StrataStatus& st) override {
        CPgResult r;
        if (!m_call.Run("SELECT data FROM postings WHERE k=$1 AND tok=$2 ORDER BY last", {m_key.m_id, token}, r,
                        "search")) {
            return false;
        }
        for (int i = 0; i < r.Rows(); ++i) {
            if (!Decode(r, i, 0, out, st)) return false;
        }
        return true;
    }
    bool ReadRange(const std::string& lo, const std::string& hi, bool derived, CRecordBitmap& bits,
                   StrataStatus& st) override {
        CPgResult r;
        if (!m_call.Run("SELECT data FROM postings WHERE k=$1 AND tok>=$2 AND tok<$3",
                        {derived ? -m_key.m_id : m_key.m_id, lo, hi}, r, "search")) {
            return false;
        }
        for (int i = 0; i < r.Rows(); ++i) {
            const std::string data = r.Bytes(i, 0);
            if (!bits.SetBlock(reinterpret_cast<const unsigned char*>(data.data()), data.size())) {
                return st.Set(kStrataStoreError, "damaged posting block; run a reindex of the database");
            }
        }
        return true;
    }
    bool Dictionary(const CStrataDictionary*& dictionary, StrataStatus& st) override {
        StrataDictionaryCache& cache = m_store.m_dictionary;
        if (!(cache.m_dictionary && cache.m_key == m_key.m_id && cache.m_version == m_gen)) {
            cache = StrataDictionaryCache();
            // One index probe per distinct token (a loose index scan), not a walk of every block.
            CPgResult r;
            if (!m_call.Run("WITH RECURSIVE t(tok) AS ((SELECT tok FROM postings WHERE k=$1 ORDER BY tok LIMIT 1)"
                            " UNION ALL SELECT (SELECT p.tok FROM postings p WHERE p.k=$1 AND p.tok>t.tok"
                            " ORDER BY p.tok LIMIT 1) FROM t WHERE t.tok IS NOT NULL) SELECT tok FROM t WHERE tok IS NOT NULL",
                            {m_key.m_id}, r, "search")) {
                return false;
            }
            std::vector<std::string> tokens;
            tokens.reserve(size_t(r.Rows()));
            for (int i = 0; i < r.Rows(); ++i) tokens.push_back(r.Bytes(i, 0));
            if (!StrataMakeDictionary(std::move(tokens), cache.m_dictionary, st)) return false;
            cache.m_key = m_key.m_id;
            cache.m_version = m_gen;
        }
        dictionary = cache.m_dictionary.get();
        return true;
    }
    bool Matches(uint32_t number, bool& match, StrataStatus& st) override {
        match = false;
        std::string diriv;
        bool found = false;
        if (!m_store.GetRecordText(m_call, m_db, number, diriv, found)) return false;
        CMARC record;
        std::string error;
        if (!found || record.Parse(diriv, error) < 0) return true;
        match = StrataRecordMatches(record, m_key.m_entry, m_term);
        (void)st;
        return true;
    }
    bool Cancelled() const override { return m_store.m_cancel.load(); }

private:
    CPgStore& m_store;
    CPgCall& m_call;
    int64_t m_db;
    int64_t m_gen;
    const StrataStoreKey& m_key;
    const SearchTerm& m_term;
};

bool CPgStore::Search(const std::string& db, const std::string& keyPart, const std::string& ansiTerm, int64_t after,
                      size_t limit, std::vector<int64_t>& hits, bool& more, StrataStatus& st) {
    hits.clear();
    more = false;
    std::string keyName, refused;
    StrataTermMode mode;
    if (!StrataSplitKey(keyPart, keyName, mode, refused)) return st.Set(kStrataUnsupportedMode, refused);
    return OnReadServer(st, [&](CPgCall& call) {
        return SearchOn(call, db, keyPart, keyName, mode, ansiTerm, after, limit, hits, more, st);
    });
}

bool CPgStore::SearchOn(CPgCall& call, const std::string& db, const std::string& keyPart, const std::string& keyName,
                        const StrataTermMode& mode, const std::string& ansiTerm, int64_t after, size_t limit,
                        std::vector<int64_t>& hits, bool& more, StrataStatus& st) {
    hits.clear();
    more = false;
    ++call.Pool().m_searches;
    int64_t dbId = 0;
    StrataStoreKey key;
    CPgResult gen;
    if (!call.Begin(true) || !FindDatabase(call, db, dbId) || !FindKey(call, dbId, keyName, key) ||
        !call.Run("SELECT gen FROM databases WHERE id=$1", {dbId}, gen, "search")) {
        return false;
    }
    HitList& list = m_lastHits;
    // A later page of the same search with no write since: a slice of the list already made.
    const std::string listTerm = keyPart + "/" + ansiTerm;
    const bool reuse = list.m_valid && list.m_db == dbId && list.m_key == key.m_id && list.m_gen == gen.Int(0, 0) &&
                       list.m_term == listTerm;
    if (!reuse) {
        list = HitList();
        SearchTerm term;
        if (!StrataParseKeyTerm(ansiTerm, key.m_entry, mode, term, st)) return false;
        CPgPostingReader reader(*this, call, dbId, gen.Int(0, 0), key, term);
        if (!StrataComputeHits(term, reader, list.m_hits, st)) {
            list = HitList();
            return false;
        }
        list.m_db = dbId;
        list.m_key = key.m_id;
        list.m_gen = gen.Int(0, 0);
        list.m_term = listTerm;
        list.m_valid = true;
    }
    more = StrataSliceHits(list.m_hits, after, limit, hits);
    if (!more) list = HitList();  // the last page frees the list
    return call.Commit();
}
