#pragma once
// CSqliteStore: IStrataStore over one SQLite connection to the embedded store file (WAL mode,
// busy timeout, prepared statements, every write in one transaction). Internal to vkstrata.
//
// Layout (meta format "velkan-strata-4"):
//   databases(id, name, records)          one row per database; records = its record count
//   cfgfiles(db, name, content)           the cfgs files of a database
//   records(id, diriv)                    rowid = database id * 10^8 + record number (7 digits)
//   keys(id, db, name, fields)            the search keys of keys.cfg, per database
//   postings(k, tok, last, n, data)       PRIMARY KEY(k, tok, last), WITHOUT ROWID
//   sortkeys(k, id, v)                    the sort value of key k of record id (sqlite_sortkeys.cpp)
//   accounts(name, salt, hash, rights)
// Posting lists. The records of key k that carry index token tok form one ascending list of
// record numbers, cut into blocks; one postings row is one block:
//   last  the largest record number in the block (the blocks of a list do not overlap, so a
//         block holds the numbers above the previous block's last, up to its own last);
//   n     how many numbers the block holds, 1 to kPostingBlockMax (256);
//   data  the n numbers as unsigned LEB128 varints: the first number itself, then each next
//         number minus the one before it (always >= 1).
// Reading a list is one range scan `k=? AND tok=? ORDER BY last`; the page after record A starts
// at the first block with last > A. Writers rewrite only the blocks they touch: a number goes to
// the first block whose last >= it (or the list's final block when it is above every last); a
// block that grows past kPostingBlockMax is cut into full blocks (the remainder last), a block
// that empties is deleted, and a block whose largest number changes is re-keyed. Loads append
// full blocks, since they arrive in record order.
// Tokens (strata_text.h): each folded word, each CJK character and each pair of adjacent
// CJK characters of a key value. A term's tokens: its words, its CJK pairs, a lone CJK character.
//   - A right-truncated last word (`a*`) is the range tok >= 'a' AND tok < 'a' || 0xF5 of key k:
//     the blocks of every token in the range are ORed into one bitmap of record numbers.
//   - A CJK run of any length is found by the intersection of its pair tokens (a single
//     character by its own token); the record's key values are then checked for the run as a
//     contiguous substring (SearchTerm::m_needsCheck), as for a phrase of several words.
// A Search computes the whole hit list of a term once per snapshot (intersection of the exact
// tokens' lists, the prefix bitmap, the value check) and keeps it on the connection, keyed by
// database, key, term and data_version, so the pages that follow (after = last number sent) are
// slices of it; it is dropped when the last page has been read or another connection commits.
//
// Read calls (ReadRecord, ReadRecords, Search) run in one read transaction each (CReadScope): one
// snapshot, one lock. Inside it, database ids and search keys come from a per-connection cache
// that is dropped whenever another connection has committed (PRAGMA data_version) and whenever
// this connection starts a write.
// Thread safety: one thread per connection; Interrupt() from any thread.

#include <sqlite3.h>

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "backend/strata/strata_dictionary.h"
#include "backend/strata/strata_keys.h"
#include "backend/strata/strata_text.h"
#include "backend/strata/strata_store.h"

constexpr int64_t kRecordIdBase = 100000000;  // records.id = db * kRecordIdBase + number
constexpr size_t kMaxCachedNames = 256;        // database ids and keys cached per connection, each
constexpr size_t kPostingBlockMax = 256;       // record numbers in one postings row
extern const char* const kSqliteSortKeysTable;  // CREATE TABLE IF NOT EXISTS sortkeys

// A cached prepared statement, reset and unbound when the guard goes.
class CStmt {
public:
    explicit CStmt(sqlite3_stmt* s) : m_s(s) {}
    ~CStmt() {
        if (m_s) { sqlite3_reset(m_s); sqlite3_clear_bindings(m_s); }
    }
    CStmt(const CStmt&) = delete;
    CStmt& operator=(const CStmt&) = delete;
    bool Ok() const { return m_s != nullptr; }
    CStmt& Bind(int i, int64_t v) { sqlite3_bind_int64(m_s, i, v); return *this; }
    CStmt& Bind(int i, const std::string& v) {
        sqlite3_bind_text(m_s, i, v.data(), int(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    CStmt& BindBlob(int i, const std::string& v) {
        sqlite3_bind_blob(m_s, i, v.data(), int(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    int Step() { return sqlite3_step(m_s); }
    sqlite3_stmt* Raw() const { return m_s; }
    // Step once and make the statement ready for the next binding; the step's result code.
    int Run() {
        const int rc = sqlite3_step(m_s);
        sqlite3_reset(m_s);
        return rc;
    }
    int64_t Int(int i) { return sqlite3_column_int64(m_s, i); }
    // The column's octets into `out`, reusing its storage.
    void TextInto(int i, std::string& out) {
        const void* p = sqlite3_column_blob(m_s, i);
        if (p == nullptr) out.clear();
        else out.assign(static_cast<const char*>(p), size_t(sqlite3_column_bytes(m_s, i)));
    }
    std::string Text(int i) {
        const void* p = sqlite3_column_blob(m_s, i);
        return p ? std::string(static_cast<const char*>(p), size_t(sqlite3_column_bytes(m_s, i))) : std::string();
    }

private:
    sqlite3_stmt* m_s;
};

class CSqliteStore;

// A large page cache for the length of a bulk write (a load, a reindex): without it the write
// spills its pages to the log and finds them there again. Back to the small cache afterwards.
class CBulkCache {
public:
    explicit CBulkCache(sqlite3* db);
    ~CBulkCache();
    CBulkCache(const CBulkCache&) = delete;
    CBulkCache& operator=(const CBulkCache&) = delete;

private:
    sqlite3* m_db;
};

// One read transaction over a read call of the store: BEGIN, a check of the data version (which
// validates or drops the connection's caches), and COMMIT when the scope ends. Inside a
// transaction already open (a write in progress) it does nothing, and the caches stay unused.
class CReadScope {
public:
    explicit CReadScope(CSqliteStore& store);
    ~CReadScope();
    CReadScope(const CReadScope&) = delete;
    CReadScope& operator=(const CReadScope&) = delete;

private:
    CSqliteStore& m_store;
    bool m_own = false;
};

struct StoreKey {
    int64_t m_id = 0;
    CKeyEntry m_entry;
};

// One index entry before it goes into a posting list: key id, token, record number.
struct StorePosting {
    int64_t m_key;
    std::string m_token;
    uint32_t m_record;
    bool operator<(const StorePosting& o) const {
        if (m_key != o.m_key) return m_key < o.m_key;
        const int c = m_token.compare(o.m_token);
        return c != 0 ? c < 0 : m_record < o.m_record;
    }
};

class CRecordBitmap;

class CSqliteStore : public IStrataStore {
public:
    explicit CSqliteStore(sqlite3* db);
    ~CSqliteStore() override;

    bool Configure(StrataStatus& st);
    // Converts a store of the first layout (one postings row per key, token and record) in one
    // transaction: the postings table is rebuilt from the records.
    // Re-keys every database from its records (and first rebuilds the postings table when asked).
    bool UpgradeLayout(bool newPostings, StrataStatus& st);
    // StrataMendMainEntries over every record (inside the upgrade's transaction).
    bool MendMainEntries(StrataStatus& st);

    void Interrupt() override;
    void BeginCall() override { m_cancel.store(false); }
    void Idle() override { DropCaches(); }

    bool Login(const std::string& user, const std::string& password, int& rights, StrataStatus& st) override;
    bool ListDatabases(std::vector<StrataDatabaseInfo>& out, bool counts, StrataStatus& st) override;
    bool ReadCfgFile(const std::string& db, const std::string& file, std::string& content,
                     StrataStatus& st) override;
    bool ReadRecord(const std::string& db, int64_t number, std::string& diriv, StrataStatus& st) override;
    bool ReadRecords(const std::string& db, const std::vector<int64_t>& numbers, std::vector<std::string>& dirivs,
                     StrataStatus& st) override;
    bool Search(const std::string& db, const std::string& key, const std::string& term, int64_t after,
                size_t limit, std::vector<int64_t>& hits, bool& more, StrataStatus& st) override;
    bool ScanTerms(const std::string& db, const std::string& key, const std::string& term, bool before, size_t skip,
                   size_t limit, std::vector<StrataTermCount>& terms, StrataStatus& st) override;
    bool ReadSortValues(const std::string& db, const std::string& key, int64_t from, int64_t to,
                        const std::vector<int64_t>& numbers, size_t limit, std::vector<StrataSortValue>& values,
                        bool& numeric, StrataStatus& st) override;
    // Brings a store of format 3 to 4: the sortkeys table, filled from the records.
    bool AddSortValuesTable(StrataStatus& st);
    bool WriteRecord(const std::string& db, int64_t number, StrataWrite how, const std::string& diriv,
                     StrataStatus& st) override;

    bool CreateSchema(StrataStatus& st) override;
    bool AddDatabase(const std::string& name, StrataStatus& st) override;
    bool DropDatabase(const std::string& name, StrataStatus& st) override;
    bool PutCfgFile(const std::string& db, const std::string& file, const std::string& content,
                    StrataStatus& st) override;
    bool ListCfgFiles(const std::string& db, std::vector<std::string>& names, StrataStatus& st) override;
    int LoadRecords(const std::string& db, const std::vector<std::string>& dirivs,
                    std::vector<StrataRejectedRecord>& rejected, StrataStatus& st) override;
    int64_t NextRecordNumber(const std::string& db, StrataStatus& st) override;
    int64_t ForEachRecord(const std::string& db,
                          const std::function<bool(int64_t, const std::string&)>& visit,
                          StrataStatus& st) override;
    bool Reindex(const std::string& db, StrataStatus& st) override;
    bool PutAccount(const std::string& name, const std::string* password, int rights, bool create,
                    StrataStatus& st) override;
    bool RemoveAccount(const std::string& name, StrataStatus& st) override;
    bool ListAccounts(std::vector<StrataAccountInfo>& out, StrataStatus& st) override;
    bool ExportAccounts(std::vector<StrataAccountInfo>& out, StrataStatus& st) override;
    bool ImportAccount(const StrataAccountInfo& account, StrataStatus& st) override;

private:
    friend int StrataProgress(void* self);
    friend class CReadScope;

    sqlite3_stmt* Prepare(const char* sql);
    bool Exec(const char* sql, StrataStatus& st);
    bool SqlFail(StrataStatus& st, const char* what);  // from the connection's last error
    bool Begin(StrataStatus& st) {
        DropCaches();  // this connection's own writes do not move data_version
        m_dictionary = StrataDictionaryCache();
        return Exec("BEGIN IMMEDIATE", st);
    }
    void DropCaches();
    bool Commit(StrataStatus& st) { return Exec("COMMIT", st); }
    void Rollback();

    bool FindDatabase(const std::string& name, int64_t& id, StrataStatus& st);
    bool LoadKeys(int64_t db, std::vector<StoreKey>& keys, StrataStatus& st);
    bool FindKey(int64_t db, const std::string& name, StoreKey& key, StrataStatus& st);
    bool GetRecordText(int64_t db, int64_t number, std::string& diriv, bool& found, StrataStatus& st);
    // Adds (or removes) the postings of `record` for every key.
    bool IndexRecord(const std::vector<StoreKey>& keys, const CMARC& record, int64_t number,
                     bool remove, StrataStatus& st);
    bool ReindexLocked(int64_t db, StrataStatus& st);
    // Sort values (sqlite_sortkeys.cpp): written (replacing), removed for one record, dropped
    // for every key of a database.
    bool WriteSortValues(const std::vector<StrataSortValue>& values, StrataStatus& st);
    bool RemoveSortValues(const std::vector<StoreKey>& keys, int64_t number, StrataStatus& st);
    bool DropSortValues(int64_t db, StrataStatus& st);
    bool CandidateMatches(int64_t db, const StoreKey& key, const SearchTerm& term, int64_t number,
                          bool& match, StrataStatus& st);
    // The whole hit list of a term, ascending (sqlite_search.cpp).
    bool ComputeHits(int64_t db, const StoreKey& key, const SearchTerm& term, std::vector<uint32_t>& hits,
                     StrataStatus& st);

    // Posting lists (sqlite_postings.cpp). ApplyPostings sorts `postings` and adds them to (or
    // removes them from) their lists, rewriting only the blocks they fall in.
    bool ApplyPostings(std::vector<StorePosting>& postings, bool remove, StrataStatus& st);
    bool ApplyList(int64_t k, const std::string& tok, const std::vector<uint32_t>& numbers, bool remove,
                   StrataStatus& st);
    // Replaces the block keyed `oldLast` (-1: none) by blocks holding `numbers`.
    bool WriteBlocks(int64_t k, const std::string& tok, int64_t oldLast, const std::vector<uint32_t>& numbers,
                     StrataStatus& st);
    bool DecodeColumn(CStmt& s, int column, std::vector<uint32_t>& out, StrataStatus& st);
    bool ReadList(int64_t k, const std::string& tok, std::vector<uint32_t>& out, StrataStatus& st);
    bool ListSize(int64_t k, const std::string& tok, int64_t& size, StrataStatus& st);
    // The numbers of every token of key k from `lo` up to (not including) `hi`.
    bool ReadRange(int64_t k, const std::string& lo, const std::string& hi, CRecordBitmap& bits, StrataStatus& st);
    // Key k's distinct tokens, read once per data version (sqlite_search.cpp).
    bool LoadDictionary(int64_t k, const CStrataDictionary*& dictionary, StrataStatus& st);

    sqlite3* m_db;
    // Keyed by the SQL text; std::less<> finds a literal without building a string.
    std::map<std::string, sqlite3_stmt*, std::less<>> m_statements;
    // Valid only while m_cacheChecked (inside a CReadScope that has compared the data version).
    std::map<std::string, int64_t, std::less<>> m_dbIds;
    std::map<std::pair<int64_t, std::string>, StoreKey> m_keyCache;
    int64_t m_cacheVersion = -1;  // data_version the caches belong to; -1 none
    // The hit list of the last search, for its next pages (valid with the other caches).
    struct HitList {
        bool m_valid = false;
        int64_t m_db = 0;
        int64_t m_key = 0;
        std::string m_term;
        std::vector<uint32_t> m_hits;
    } m_lastHits;
    // The dictionary of the key last searched by pattern; kept while idle, since it is checked
    // against the data version (m_cacheVersion) before each use.
    StrataDictionaryCache m_dictionary;
    std::string m_blockText;  // encoding buffer of WriteBlocks
    bool m_cacheChecked = false;
    std::atomic<bool> m_cancel{false};
};
