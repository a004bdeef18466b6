#pragma once
// CPgStore: IStrataStore over a PostgreSQL server (libpq), the engine of the network interfaces
// "netchan32.dll" and "netchan32u.dll". Same databases, cfgs files, accounts, records, index and
// error codes as the embedded store; 8-bit text travels as bytea, so the server's encoding and
// collation never touch it. Internal to vkstrata.
//
// Connections: one CPgPool per process and connection string, capped (MaxConnections). A channel
// (CPgStore) holds no connection between calls: each call leases one, runs in one transaction
// and gives it back, so a session's login and paging continuation live in the channel, not in a
// server connection, and 1,000 channels share the pool. Interrupt() sends a cancel request for
// the leased connection (PQcancel) and makes a wait for a free connection give up.
//
// Errors: 66 (with the server address) when no connection can be made; 5 when the connection
// breaks during a call (the connection is dropped; the next call makes a new one). An idle pooled
// connection that the server has closed (restart) is noticed before reuse and replaced.
//
// Schema (format 2): the layout of the embedded store (sqlite_store.h) in PostgreSQL tables:
//   meta(k, v)                               v of 'format' = kPgSchemaVersion
//   databases(id, name, fold, records, gen)  gen moves with every write to the database
//   cfgfiles(db, name, fold, content), records(db, num, diriv), keys(id, db, name, fold, fields)
//   postings(k, tok, last, n, data)          posting lists in blocks of up to kPostingBlockMax
//                                            delta-encoded record numbers, keyed by their last
//   sortkeys(k, num, v)                      the sort value of key k of record num (pg_sortkeys.cpp)
//   accounts(name, salt, hash, rights)
// A search computes a term's whole hit list once (StrataComputeHits) and keeps it in the channel,
// keyed by database, key, term and gen, so the pages that follow are slices of it.
// A store of format 1 (one postings row per record) is upgraded in place by the first connection,
// under an advisory lock: the postings table is rebuilt from the records.
// Thread safety: one thread per CPgStore, except Interrupt(); the pools are shared and locked.

#include <libpq-fe.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "backend/strata/pg_standbys.h"
#include "backend/strata/strata_dictionary.h"
#include "backend/strata/strata_storeutil.h"
#include "backend/strata/strata_store.h"

constexpr int64_t kPgSchemaVersion = 4;  // 1: one postings row per (key, token, record); 2: keys
                                         // folded without Unicode case folding; 3: no sort values
extern const char* const kPgSortKeysTable;  // CREATE TABLE IF NOT EXISTS sortkeys
constexpr int kPgDefaultMaxConnections = 16;
constexpr int64_t kPgSchemaLock = 358483100000;  // advisory lock of schema creation and upgrades

// Where a PostgreSQL store is: a libpq connection string, the address shown in messages, the cap.
class CPgStore;
class CPgCall;

// Brings a store of an older format to kPgSchemaVersion inside the caller's transaction.
bool PgUpgradeSchema(CPgStore& store, CPgCall& call, int64_t from);

struct PgTarget {
    std::string m_conninfo;
    std::string m_address;
    int m_maxConnections = kPgDefaultMaxConnections;
    std::vector<PgTarget> m_standbys;  // hot standbys that serve reads (none: the primary does)
};

// "host" or "host:port" plus database, role and password -> a libpq connection string (empty
// parts are left to libpq's defaults: PGUSER, PGPASSFILE, a service file, ...).
std::string PgConnInfo(const std::string& address, const std::string& database, const std::string& user,
                       const std::string& password);

// Octets as lower-case hex digits; PgAppendCopyBytes appends a bytea value in COPY text form.
std::string PgHex(const std::string& bytes);
void PgAppendCopyBytes(std::string& out, const std::string& bytes);

// "host:port/dbname" of a connection string, for messages (never its password).
std::string PgDescribe(const std::string& conninfo);

// One pooled server connection with its prepared statements.
struct CPgConn {
    PGconn* m_conn = nullptr;
    std::map<std::string, std::string, std::less<>> m_prepared;  // SQL -> statement name
    ~CPgConn();
};

class CPgPool {
public:
    // The process's pool for `target` (one per connection string and cap).
    static std::shared_ptr<CPgPool> For(const PgTarget& target);
    CPgPool(const PgTarget& target, std::shared_ptr<CPgReadServers> standbys);
    ~CPgPool();

    // A connection, waiting while `cap` are in use (until `cancel` is set or 30 s pass). Null
    // with st set: 66 when no connection can be made, 15 cancelled, 19 no free connection.
    std::unique_ptr<CPgConn> Acquire(const std::atomic<bool>& cancel, StrataStatus& st);
    // Gives a connection back; a broken one is closed and frees its slot.
    void Release(std::unique_ptr<CPgConn> conn, bool broken);
    const PgTarget& Target() const { return m_target; }
    // The standbys of this primary; null when it has none.
    const std::shared_ptr<CPgReadServers>& ReadServers() const { return m_readServers; }
    int OpenCount();
    // Counted for /metrics: statements sent, leases that had to wait for a free connection,
    // searches served.
    std::atomic<uint64_t> m_roundTrips{0}, m_waits{0}, m_searches{0};
    int InUse();
    // Whether a channel of this pool has checked (and upgraded) the store format.
    bool SchemaChecked();
    void SetSchemaChecked();

private:
    std::unique_ptr<CPgConn> Connect(StrataStatus& st);

    PgTarget m_target;
    std::shared_ptr<CPgReadServers> m_readServers;
    std::mutex m_lock;
    std::condition_variable m_freed;
    std::vector<std::unique_ptr<CPgConn>> m_idle;  // guarded by m_lock
    int m_open = 0;                                // guarded by m_lock: idle + leased
    bool m_schemaChecked = false;                  // guarded by m_lock
};

// A query result (binary format), freed with the object.
class CPgResult {
public:
    CPgResult() = default;
    explicit CPgResult(PGresult* r) : m_r(r) {}
    ~CPgResult() { PQclear(m_r); }
    CPgResult(CPgResult&& o) noexcept : m_r(o.m_r) { o.m_r = nullptr; }
    CPgResult& operator=(CPgResult&& o) noexcept;
    int Rows() const { return m_r ? PQntuples(m_r) : 0; }
    bool IsNull(int row, int col) const { return PQgetisnull(m_r, row, col) != 0; }
    int64_t Int(int row, int col) const;  // an int8 column
    std::string Bytes(int row, int col) const;
    void BytesInto(int row, int col, std::string& out) const;
    PGresult* Get() const { return m_r; }

private:
    PGresult* m_r = nullptr;
};

// One parameter: an int8, a bytea or a text, sent in binary. A string is referenced, not copied.
class CPgParam {
public:
    CPgParam(int64_t v);
    CPgParam(const std::string& bytes) : m_ref(&bytes), m_type(17) {}
    // A text parameter (for array literals and the like); `text` must be valid in the server's encoding.
    static CPgParam Text(const std::string& text) {
        CPgParam p(text);
        p.m_type = 25;
        return p;
    }
    const char* Data() const { return m_ref ? m_ref->data() : m_int; }
    int Length() const { return m_ref ? int(m_ref->size()) : 8; }
    unsigned Type() const { return m_type; }

private:
    char m_int[8] = {};
    const std::string* m_ref = nullptr;
    unsigned m_type = 20;
};

class CPgStore;

// Where a call runs: on the primary, or (a read) on a standby that has replayed the channel's
// last write, else on the primary.
enum class CPgRoute { kPrimary, kRead };

// One call of a store operation: leases a connection for its lifetime and registers it for
// Interrupt(). Transactions end with Commit(); otherwise they roll back when the call ends.
class CPgCall {
public:
    CPgCall(CPgStore& store, StrataStatus& st, CPgRoute route = CPgRoute::kPrimary);
    ~CPgCall();
    CPgCall(const CPgCall&) = delete;
    CPgCall& operator=(const CPgCall&) = delete;
    bool Ok() const { return m_conn != nullptr; }

    bool Begin(bool readOnly);
    bool Commit();
    // Runs `sql` (prepared once per connection) with `params`; false with the status set.
    bool Run(const char* sql, std::initializer_list<CPgParam> params, CPgResult& out, const char* what) {
        return Run(sql, params.begin(), params.size(), out, what);
    }
    bool Run(const char* sql, const std::vector<CPgParam>& params, CPgResult& out, const char* what) {
        return Run(sql, params.data(), params.size(), out, what);
    }
    bool Run(const char* sql, std::initializer_list<CPgParam> params, const char* what) {
        CPgResult ignored;
        return Run(sql, params, ignored, what);
    }
    // Sends rows in COPY text format to `sql` (a COPY ... FROM STDIN).
    bool Copy(const char* sql, const std::string& data, const char* what);
    // The SQLSTATE of the last failed statement ("" when none).
    const std::string& LastState() const { return m_state; }
    StrataStatus& Status() { return m_st; }
    // The call runs on a standby, and its connection broke there.
    bool BrokeOnStandby() const;
    CPgPool& Pool() { return *m_pool; }
    PGconn* Connection() { return m_conn->m_conn; }

private:
    bool Run(const char* sql, const CPgParam* params, size_t n, CPgResult& out, const char* what);
    bool Fail(PGresult* r, const char* what);
    // A standby connection for a read, or null (then the primary serves it).
    std::unique_ptr<CPgConn> LeaseStandby();
    bool CaughtUp(CPgConn& conn, CPgPool& pool);  // counts its statements on `pool`

    CPgStore& m_store;
    StrataStatus& m_st;
    std::shared_ptr<CPgPool> m_pool;  // the pool m_conn came from
    std::unique_ptr<CPgConn> m_conn;
    bool m_broken = false;
    bool m_inTransaction = false;
    std::string m_state;
};

class CPgStore : public IStrataStore {
public:
    explicit CPgStore(std::shared_ptr<CPgPool> pool) : m_pool(std::move(pool)) {}
    ~CPgStore() override = default;

    void Interrupt() override;
    void BeginCall() override { m_cancel.store(false); }
    void ReadAfter(const std::string& position) override { m_readAfter = position; }
    std::string WritePosition() const override { return m_writePosition; }

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
    friend class CPgCall;
    friend bool PgUpgradeSchema(CPgStore& store, CPgCall& call, int64_t from);
    friend class CPgPostingReader;

    // Runs the read `body` on a standby (see CPgRoute); when the standby's connection breaks
    // during it, once more elsewhere.
    template <class Body>
    bool OnReadServer(StrataStatus& st, Body body) {
        for (int attempt = 0;; ++attempt) {
            CPgCall call(*this, st, CPgRoute::kRead);
            if (call.Ok() && body(call)) return true;
            if (attempt > 0 || !call.BrokeOnStandby()) return false;
            st = StrataStatus();
        }
    }
    // After a write's commit: the primary's WAL position, which later reads of this channel
    // wait for on a standby. Only with standbys.
    void NoteWritePosition(CPgCall& call);
    bool SearchOn(CPgCall& call, const std::string& db, const std::string& keyPart, const std::string& keyName,
                  const StrataTermMode& mode, const std::string& ansiTerm, int64_t after, size_t limit,
                  std::vector<int64_t>& hits, bool& more, StrataStatus& st);
    bool FindDatabase(CPgCall& call, const std::string& name, int64_t& id);
    bool LoadKeys(CPgCall& call, int64_t db, std::vector<StrataStoreKey>& keys);
    bool FindKey(CPgCall& call, int64_t db, const std::string& name, StrataStoreKey& key);
    bool GetRecordText(CPgCall& call, int64_t db, int64_t number, std::string& diriv, bool& found,
                       bool forUpdate = false);
    // Adds or removes index entries: each touched list's blocks are read, merged and rewritten.
    bool WritePostings(CPgCall& call, std::vector<StrataPosting>& postings, bool remove);
    bool ApplyList(CPgCall& call, int64_t k, const std::string& tok, const std::vector<uint32_t>& numbers,
                   bool remove);
    bool WriteBlocks(CPgCall& call, int64_t k, const std::string& tok, int64_t oldLast,
                     const std::vector<uint32_t>& numbers);
    // Adds the index entries of a bulk load: lists whose new numbers all lie above their last
    // block get full blocks appended in one COPY; any other list goes through ApplyList.
    bool AppendPostings(CPgCall& call, std::vector<StrataPosting>& postings);
    bool BumpGeneration(CPgCall& call, int64_t db);
    bool ReindexLocked(CPgCall& call, int64_t db);
    // Sort values (pg_sortkeys.cpp): written (new rows in bulk, one row replacing), removed for
    // some records of a database, dropped for every key of it; the table added and filled from
    // the records (format 3 to 4).
    bool WriteSortValues(CPgCall& call, const std::vector<StrataSortValue>& values);
    bool RemoveSortValues(CPgCall& call, int64_t db, const std::vector<int64_t>& numbers);
    bool DropSortValues(CPgCall& call, int64_t db);
    bool AddSortValuesTable(CPgCall& call);

    // The hit list of the last search, for its later pages.
    struct HitList {
        bool m_valid = false;
        int64_t m_db = 0, m_key = 0, m_gen = 0;
        std::string m_term;
        std::vector<uint32_t> m_hits;
    };
    HitList m_lastHits;
    // The dictionary of the key last searched by pattern; its version is the database's gen.
    StrataDictionaryCache m_dictionary;

    std::shared_ptr<CPgPool> m_pool;
    std::string m_readAfter;      // WAL position a standby must have replayed to serve a read
    std::string m_writePosition;  // of this channel's last write ("" none, or no standbys)
    std::atomic<bool> m_cancel{false};
    std::mutex m_cancelLock;        // guards m_cancelHandle against the leasing thread
    PGcancel* m_cancelHandle = nullptr;
};

// Opens a channel to the store at `target` (creating the schema and the "public" account when
// `create`; refused when a store is there already). Null with st set.
std::unique_ptr<IStrataStore> OpenPgStore(const PgTarget& target, bool create, StrataStatus& st);
