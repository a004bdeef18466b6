#pragma once
// CStrataEngine: the store engine, IStrataStore written once over a driver (strata_driver.h):
// databases, cfgs files, accounts, records with their index entries, bulk loads, reindexing,
// search with its hit list, scan. The embedded store and the network store are this engine over
// the SQLite driver and the libpq driver. Internal to vkstrata.
//
// Layout (both servers hold the same tables; the dialects differ in types and keys):
//   meta(k, v)                      the layout version
//   databases(id, name, records)    one row per database; records = its record count (on the
//                                   network server also gen, moved by every write to it)
//   cfgfiles(db, name, content)     the cfgs files of a database
//   records                         one row per record: database id, record number, Diriv text
//   keys(id, db, name, fields)      the search keys of keys.cfg, per database
//   postings(k, tok, last, n, data) PRIMARY KEY(k, tok, last)
//   sortkeys(k, record number, v)   the sort value of key k of a record (strata_sortkeys.h)
//   accounts(name, salt, hash, rights)
// Posting lists. The records of key k that carry index token tok form one ascending list of
// record numbers, cut into blocks; one postings row is one block:
//   last  the largest record number in the block (the blocks of a list do not overlap, so a
//         block holds the numbers above the previous block's last, up to its own last);
//   n     how many numbers the block holds, 1 to kPostingBlockMax (256);
//   data  the n numbers as unsigned LEB128 varints: the first number itself, then each next
//         number minus the one before it (always >= 1), see strata_postings.h.
// A key's derived tokens (numbers of a numeric key) are kept under k = -(key id).
// Reading a list is one range scan `k=? AND tok=? ORDER BY last`. Writers rewrite only the
// blocks they touch: a number goes to the first block whose last >= it (or the list's final
// block when it is above every last); a block that grows past kPostingBlockMax is cut into full
// blocks (the remainder last), a block that empties is deleted, and a block whose largest number
// changes is re-keyed. Loads append full blocks, since they arrive in record order.
// Tokens (strata_text.h): each folded word, each CJK character and each pair of adjacent CJK
// characters of a key value; a term's hit list is computed by StrataComputeHits.
//
// Calls. Each call leases a connection from the driver (CStrataCall) and runs in one
// transaction. A search computes the whole hit list of a term once and keeps it, keyed by
// database, key, term and version (the connection's snapshot number and the database's gen), so
// the pages that follow (after = last number sent) are slices of it; it is dropped when the last
// page has been read or the data moved. Database and key lookups are cached the same way where
// the driver has a snapshot number.
// Thread safety: one thread per engine; Interrupt() from any thread.

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "backend/strata/strata_dictionary.h"
#include "backend/strata/strata_driver.h"
#include "backend/strata/strata_storeutil.h"
#include "backend/strata/strata_store.h"

constexpr size_t kPostingBlockMax = 256;   // record numbers in one postings row
constexpr size_t kMaxCachedNames = 256;    // database and key lookups cached per engine

class CStrataEngine;

// One call: the leased connection and, once Begin ran, its transaction, rolled back unless
// committed.
class CStrataCall {
public:
    CStrataCall(CStrataEngine& engine, StrataStatus& st, StrataRoute route = StrataRoute::kPrimary);
    ~CStrataCall();
    CStrataCall(const CStrataCall&) = delete;
    CStrataCall& operator=(const CStrataCall&) = delete;
    bool Ok() const { return m_conn != nullptr; }
    // Inside a transaction of an enclosing call on the same connection it does nothing.
    bool Begin(StrataTx tx);
    bool Commit();
    IStrataConn& Conn() { return *m_conn; }
    StrataStatus& Status() { return m_st; }
    CStrataEngine& Engine() { return m_engine; }
    bool Retryable();

private:
    friend class CStrataEngine;
    CStrataEngine& m_engine;
    StrataStatus& m_st;
    IStrataConn* m_conn = nullptr;
    bool m_own = false;    // this call began the transaction
    bool m_writing = false;  // the transaction begun is a write
    bool m_wrote = false;    // a write transaction committed
};

// One run of a statement of the call's connection, reset when it goes.
class CQuery {
public:
    CQuery(CStrataCall& call, StrataSql id, const char* what);
    ~CQuery() {
        if (m_s) m_s->Reset();
    }
    CQuery(const CQuery&) = delete;
    CQuery& operator=(const CQuery&) = delete;
    CQuery& Bind(int i, int64_t v) { if (m_s) m_s->BindInt(i, v); return *this; }
    CQuery& Bind(int i, const std::string& v) { if (m_s) m_s->BindText(i, v); return *this; }
    CQuery& Blob(int i, std::string_view v) { if (m_s) m_s->BindBlob(i, v); return *this; }
    CQuery& Bind(int i, const std::vector<int64_t>& v) { if (m_s) m_s->BindInts(i, v); return *this; }
    CQuery& Bind(int i, const std::vector<std::string>& v) { if (m_s) m_s->BindTexts(i, v); return *this; }
    // The next row; false at the end or on failure (then Failed() and the status is set).
    bool Next();
    // Every row stepped over; true when the statement ran to its end.
    bool Run();
    bool Failed() const { return m_failed; }
    int64_t Int(int c) { return m_s->Int(c); }
    std::string_view Bytes(int c) { return m_s->Bytes(c); }
    std::string Text(int c) { return std::string(m_s->Bytes(c)); }
    int64_t Changes() { return m_s ? m_s->Changes() : 0; }
    bool Duplicate() { return m_s && m_s->Duplicate(); }

private:
    CStrataCall& m_call;
    IStrataStmt* m_s;
    const char* m_what;
    bool m_failed = false;
};

// A database found by name with its version, and one of its keys (id 0 when not asked or none).
struct StrataDbKey {
    int64_t m_db = 0, m_gen = 0;
    StrataStoreKey m_key;
};

class CStrataEngine : public IStrataStore {
public:
    explicit CStrataEngine(std::unique_ptr<IStrataDriver> driver) : m_driver(std::move(driver)) {}
    ~CStrataEngine() override = default;

    // Opens the store: reaches the server, checks the layout (and upgrades an older one in
    // place), or with `create` makes the tables and the "public" account. Null with st set.
    static std::unique_ptr<IStrataStore> Open(std::unique_ptr<IStrataDriver> driver, bool create, StrataStatus& st);

    void Interrupt() override { m_driver->Interrupt(); }
    void BeginCall() override { m_driver->BeginCall(); }
    void Idle() override { DropCaches(); }
    std::string WritePosition() const override { return m_driver->WritePosition(); }
    void ReadAfter(const std::string& position) override { m_driver->ReadAfter(position); }

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
    int64_t ForEachRecord(const std::string& db, const std::function<bool(int64_t, const std::string&)>& visit,
                          StrataStatus& st) override;
    bool Reindex(const std::string& db, StrataStatus& st) override;
    bool PutAccount(const std::string& name, const std::string* password, int rights, bool create,
                    StrataStatus& st) override;
    bool RemoveAccount(const std::string& name, StrataStatus& st) override;
    bool ListAccounts(std::vector<StrataAccountInfo>& out, StrataStatus& st) override;
    bool ExportAccounts(std::vector<StrataAccountInfo>& out, StrataStatus& st) override;
    bool ImportAccount(const StrataAccountInfo& account, StrataStatus& st) override;

    bool Cancelled() const { return m_driver->Cancelled(); }

private:
    friend class CStrataCall;
    friend class CStrataPostingReader;

    // Runs `body` in a read transaction routed to a read server; when that server's connection
    // breaks during it, once more elsewhere.
    template <class Body>
    bool OnRead(StrataStatus& st, Body body) {
        for (int attempt = 0;; ++attempt) {
            CStrataCall call(*this, st, StrataRoute::kRead);
            if (call.Ok() && call.Begin(StrataTx::kRead) && body(call) && call.Commit()) return true;
            if (attempt > 0 || !call.Ok() || !call.Retryable()) return false;
            st = StrataStatus();
        }
    }
    // A write call: `body` inside one write transaction, committed when it returns true.
    template <class Body>
    bool OnWrite(StrataStatus& st, Body body) {
        CStrataCall call(*this, st);
        return call.Ok() && call.Begin(StrataTx::kWrite) && body(call) && call.Commit();
    }
    // Layout check and upgrade (strata_engine.cpp).
    bool CheckLayout(StrataStatus& st);
    bool MendMainEntries(CStrataCall& call, int64_t db);
    void DropCaches();

    // Lookups. FindDatabase fails with kStrataBadPath when there is no such database; with
    // `keyName` also the key (kStrataBadPath when none), from the cache when the snapshot allows.
    bool FindDatabase(CStrataCall& call, const std::string& name, StrataDbKey& found, bool forWrite = false);
    bool FindKey(CStrataCall& call, const std::string& db, const std::string& keyName, StrataDbKey& found);
    bool LoadKeys(CStrataCall& call, int64_t db, std::vector<StrataStoreKey>& keys);
    bool GetRecordText(CStrataCall& call, int64_t db, int64_t number, std::string& diriv, bool& found,
                       bool forWrite = false);
    bool ReindexLocked(CStrataCall& call, int64_t db);
    // Sort values (strata_sortkeys.h) of records just written: one replaces, several are new
    // rows (their records' old ones removed first) and go in bulk. FillSortValues makes every
    // record's values of database `db` anew from the records.
    bool WriteSortValues(CStrataCall& call, const std::vector<StrataSortValue>& values);
    bool FillSortValues(CStrataCall& call, int64_t db);
    // Moves the database's record count by `delta`; the new count into `*count` when asked.
    bool AddToCount(CStrataCall& call, int64_t db, int64_t delta, int64_t* count = nullptr);

    // Posting lists (strata_engine_postings.cpp). ApplyPostings sorts `postings` and adds them to
    // (or removes them from) their lists, rewriting only the blocks they fall in.
    bool ApplyPostings(CStrataCall& call, std::vector<StrataPosting>& postings, bool remove);
    bool ApplyList(CStrataCall& call, int64_t k, const std::string& tok, const std::vector<uint32_t>& numbers,
                   bool remove);
    // Replaces the block keyed `oldLast` (-1: none) by blocks holding `numbers`.
    bool WriteBlocks(CStrataCall& call, int64_t k, const std::string& tok, int64_t oldLast,
                     const std::vector<uint32_t>& numbers);
    // Adds the index entries of a bulk write: lists whose new numbers all lie above their final
    // block get full blocks appended in bulk; any other list goes through ApplyList.
    bool AppendPostings(CStrataCall& call, std::vector<StrataPosting>& postings);

    // Search (strata_engine_search.cpp).
    bool SearchOn(CStrataCall& call, const std::string& db, const std::string& keyPart, const std::string& keyName,
                  const StrataTermMode& mode, const std::string& ansiTerm, int64_t after, size_t limit,
                  std::vector<int64_t>& hits, bool& more);

    std::unique_ptr<IStrataDriver> m_driver;

    // What a cache entry was read under: the connection's snapshot number and the database's gen.
    struct Version {
        int64_t m_snapshot = -2, m_gen = 0;
        bool operator==(const Version& o) const { return m_snapshot == o.m_snapshot && m_gen == o.m_gen; }
    };
    int64_t m_snapshot = -2;  // of the read call in progress (-2: none, or not known)
    // Database and key lookups, valid for m_namesSnapshot (a snapshot number >= 0 only).
    std::map<std::pair<std::string, std::string>, StrataDbKey> m_names;
    int64_t m_namesSnapshot = -2;
    // The hit list of the last search, for its later pages.
    struct HitList {
        bool m_valid = false;
        int64_t m_db = 0, m_key = 0;
        Version m_version;
        std::string m_term;
        std::vector<uint32_t> m_hits;
    } m_lastHits;
    // The dictionary of the key last searched by pattern; kept while idle, checked before use.
    struct Dictionary {
        int64_t m_key = 0;
        Version m_version;
        std::unique_ptr<CStrataDictionary> m_dictionary;
    } m_dictionary;
};
