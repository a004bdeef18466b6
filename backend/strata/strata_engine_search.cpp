// CStrataEngine::Search and ScanTerms: a term's hit list from the posting lists
// (StrataComputeHits over the reader below), kept for the pages that follow, and a key's index
// terms with their counts in token order.
#include <algorithm>

#include "backend/strata/strata_dictionary.h"
#include "backend/strata/strata_engine.h"
#include "backend/strata/strata_errors.h"
#include "backend/strata/strata_postings.h"
#include "berkit/codepage.h"

namespace {

const char* const kDamaged = "damaged posting block; run a reindex of the database";

// Record texts one statement of the candidate check reads.
constexpr size_t kCheckBatch = 256;

}  // namespace

// The posting lists and records of one key, read inside a search's call; lists of several tokens
// come in one statement.
class CStrataPostingReader : public IStrataPostingReader {
public:
    CStrataPostingReader(CStrataCall& call, const StrataDbKey& key, const SearchTerm& term)
        : m_call(call), m_engine(call.Engine()), m_key(key), m_term(term) {}

    bool ReadLists(const std::vector<std::string>& tokens, std::vector<std::vector<uint32_t>>& lists,
                   StrataStatus& st) override {
        lists.assign(tokens.size(), {});
        return Blocks(tokens, st, [&](size_t i, const unsigned char* p, size_t n) {
            return DecodePostingBlock(p, n, lists[i]);
        });
    }
    bool ReadListsInto(const std::vector<std::string>& tokens, CRecordBitmap& bits, StrataStatus& st) override {
        return Blocks(tokens, st, [&](size_t, const unsigned char* p, size_t n) { return bits.SetBlock(p, n); });
    }
    bool ReadRange(const std::string& lo, const std::string& hi, bool derived, CRecordBitmap& bits,
                   StrataStatus& st) override {
        CQuery q(m_call, StrataSql::kReadRange, "search");
        q.Bind(1, derived ? -m_key.m_key.m_id : m_key.m_key.m_id).Bind(2, lo).Bind(3, hi);
        while (q.Next()) {
            if (m_engine.Cancelled()) return st.Set(kStrataCancelled, "search");
            const std::string_view data = q.Bytes(0);
            if (!bits.SetBlock(reinterpret_cast<const unsigned char*>(data.data()), data.size()))
                return st.Set(kStrataStoreError, kDamaged);
        }
        return !q.Failed();
    }
    bool Dictionary(const CStrataDictionary*& dictionary, StrataStatus& st) override {
        CStrataEngine::Dictionary& cache = m_engine.m_dictionary;
        const CStrataEngine::Version now{m_engine.m_snapshot, m_key.m_gen};
        if (!(cache.m_dictionary && cache.m_key == m_key.m_key.m_id && now.m_snapshot != -2 && cache.m_version == now)) {
            cache = CStrataEngine::Dictionary();
            // One index probe per distinct token (a loose index scan), not a walk of every block.
            CQuery q(m_call, StrataSql::kTokens, "search");
            q.Bind(1, m_key.m_key.m_id);
            std::vector<std::string> tokens;
            while (q.Next()) {
                if (m_engine.Cancelled()) return st.Set(kStrataCancelled, "search");
                if (tokens.size() > kStrataMaxDictionaryTokens) break;
                tokens.push_back(q.Text(0));
            }
            if (q.Failed() || !StrataMakeDictionary(std::move(tokens), cache.m_dictionary, st)) return false;
            cache.m_key = m_key.m_key.m_id;
            cache.m_version = now;
        }
        dictionary = cache.m_dictionary.get();
        return true;
    }
    bool KeepMatches(std::vector<uint32_t>& numbers, StrataStatus& st) override {
        size_t kept = 0;
        std::vector<int64_t> batch;
        for (size_t from = 0; from < numbers.size(); from += kCheckBatch) {
            if (m_engine.Cancelled()) return st.Set(kStrataCancelled, "search");
            const size_t to = std::min(numbers.size(), from + kCheckBatch);
            batch.assign(numbers.begin() + std::ptrdiff_t(from), numbers.begin() + std::ptrdiff_t(to));
            CQuery q(m_call, StrataSql::kGetRecords, "search");
            q.Bind(1, m_key.m_db).Bind(2, batch);
            while (q.Next()) {
                CMARC record;
                std::string error;
                if (record.Parse(std::string(q.Bytes(1)), error) >= 0 &&
                    StrataRecordMatches(record, m_key.m_key.m_entry, m_term)) {
                    numbers[kept++] = uint32_t(q.Int(0));
                }
            }
            if (q.Failed()) return false;
        }
        numbers.resize(kept);
        return true;
    }
    bool Cancelled() const override { return m_engine.Cancelled(); }

private:
    // Every block of every token's list (ascending, distinct tokens), in list order, to
    // `take(token index, data, size)`.
    template <typename Take>
    bool Blocks(const std::vector<std::string>& tokens, StrataStatus& st, Take take) {
        if (tokens.empty()) return true;
        CQuery q(m_call, StrataSql::kReadLists, "search");
        q.Bind(1, m_key.m_key.m_id).Bind(2, tokens);
        size_t at = 0;
        while (q.Next()) {
            if (m_engine.Cancelled()) return st.Set(kStrataCancelled, "search");
            const std::string_view tok = q.Bytes(0);
            while (at < tokens.size() && tokens[at] != tok) ++at;
            const std::string_view data = q.Bytes(1);
            if (at == tokens.size() || !take(at, reinterpret_cast<const unsigned char*>(data.data()), data.size()))
                return st.Set(kStrataStoreError, kDamaged);
        }
        return !q.Failed();
    }

    CStrataCall& m_call;
    CStrataEngine& m_engine;
    const StrataDbKey& m_key;
    const SearchTerm& m_term;
};

bool CStrataEngine::Search(const std::string& db, const std::string& keyPart, const std::string& ansiTerm,
                           int64_t after, size_t limit, std::vector<int64_t>& hits, bool& more, StrataStatus& st) {
    hits.clear();
    more = false;
    std::string keyName, refused;
    StrataTermMode mode;
    if (!StrataSplitKey(keyPart, keyName, mode, refused)) return st.Set(kStrataUnsupportedMode, refused);
    return OnRead(st, [&](CStrataCall& call) {
        return SearchOn(call, db, keyPart, keyName, mode, ansiTerm, after, limit, hits, more);
    });
}

bool CStrataEngine::SearchOn(CStrataCall& call, const std::string& db, const std::string& keyPart,
                             const std::string& keyName, const StrataTermMode& mode, const std::string& ansiTerm,
                             int64_t after, size_t limit, std::vector<int64_t>& hits, bool& more) {
    hits.clear();
    more = false;
    call.Conn().CountSearch();
    StrataDbKey found;
    if (!FindKey(call, db, keyName, found)) return false;
    const Version now{m_snapshot, found.m_gen};
    HitList& list = m_lastHits;
    // A later page of the same search on unchanged data: a slice of the list already made.
    const std::string listTerm = keyPart + "/" + ansiTerm;
    const bool reuse = list.m_valid && now.m_snapshot != -2 && list.m_db == found.m_db &&
                       list.m_key == found.m_key.m_id && list.m_version == now && list.m_term == listTerm;
    if (!reuse) {
        list = HitList();
        SearchTerm term;
        if (!StrataParseKeyTerm(ansiTerm, found.m_key.m_entry, mode, term, call.Status())) return false;
        CStrataPostingReader reader(call, found, term);
        if (!StrataComputeHits(term, reader, list.m_hits, call.Status())) {
            list = HitList();
            return false;
        }
        list.m_db = found.m_db;
        list.m_key = found.m_key.m_id;
        list.m_version = now;
        list.m_term = listTerm;
        list.m_valid = now.m_snapshot != -2;  // inside a write the list is not kept
    }
    more = StrataSliceHits(list.m_hits, after, limit, hits);
    if (!more) list = HitList();  // the last page frees the list
    return true;
}

bool CStrataEngine::ScanTerms(const std::string& db, const std::string& keyName, const std::string& ansiTerm,
                              bool before, size_t skip, size_t limit, std::vector<StrataTermCount>& terms,
                              StrataStatus& st) {
    return OnRead(st, [&](CStrataCall& call) {
        terms.clear();
        StrataDbKey found;
        if (!FindKey(call, db, keyName, found)) return false;
        const std::string from =
            StrataScanStart(ansiTerm.empty() ? ansiTerm : AnsiToUtf8(ansiTerm), KeyFolding(found.m_key.m_entry));
        // The postings table's primary key is (k, tok, last), so a scan is one range of it.
        CQuery q(call, before ? StrataSql::kScanDown : StrataSql::kScanUp, "scan");
        q.Bind(1, found.m_key.m_id).Bind(2, from).Bind(3, int64_t(std::min(limit, kStrataMaxScanTerms)));
        q.Bind(4, int64_t(skip));
        while (q.Next()) {
            if (Cancelled()) return st.Set(kStrataCancelled, "scan");
            terms.push_back(StrataTermCount{q.Text(0), q.Int(1)});
        }
        return !q.Failed();
    });
}

bool CStrataEngine::ReadSortValues(const std::string& db, const std::string& keyName, int64_t from, int64_t to,
                                   const std::vector<int64_t>& numbers, size_t limit,
                                   std::vector<StrataSortValue>& values, bool& numeric, StrataStatus& st) {
    return OnRead(st, [&](CStrataCall& call) {
        values.clear();
        StrataDbKey found;
        if (!FindKey(call, db, keyName, found)) return false;
        numeric = found.m_key.m_entry.m_type == CKeyType::kNumeric;
        const int64_t k = found.m_key.m_id;
        limit = std::min(limit, kStrataMaxSortValues);
        CQuery q(call, numbers.empty() ? StrataSql::kSortValuesRange : StrataSql::kSortValuesOf, "read sort values");
        if (numbers.empty())
            q.Bind(1, k).Bind(2, from).Bind(3, to).Bind(4, int64_t(limit));
        else
            q.Bind(1, k).Bind(2, numbers).Bind(3, from).Bind(4, to).Bind(5, int64_t(limit));
        while (values.size() < limit && q.Next()) {
            if (Cancelled()) return st.Set(kStrataCancelled, "read sort values");
            values.push_back(StrataSortValue{k, q.Int(0), q.Text(1)});
        }
        return !q.Failed();
    });
}
