#pragma once
// The libpq driver: the store engine (strata_engine.h) on a PostgreSQL server, the engine of the
// network interfaces "netchan32.dll" and "netchan32u.dll". Same databases, cfgs files, accounts,
// records, index and error codes as the embedded store; 8-bit text travels as bytea, so the
// server's encoding and collation never touch it. Internal to vkstrata.
//
// Connections: one CPgPool per process and connection string, capped (MaxConnections). A channel
// holds no connection between calls: each call leases one, runs in one transaction and gives it
// back, so a session's login and paging continuation live in the channel, not in a server
// connection, and 1,000 channels share the pool. Interrupt() sends a cancel request for the
// leased connection (PQcancel) and makes a wait for a free connection give up. A connection
// prepares each statement once (named prepared statements) and keeps it; parameters and results
// travel in binary form, lists as arrays; bulk rows go by COPY in binary form.
//
// Errors: 66 (with the server address) when no connection can be made; 5 when the connection
// breaks during a call (the connection is dropped; the next call makes a new one). An idle pooled
// connection that the server has closed (restart) is noticed before reuse and replaced.
//
// Schema (format kPgSchemaVersion), the engine's layout in PostgreSQL tables:
//   meta(k, v)                               v of 'format' = kPgSchemaVersion
//   databases(id, name, fold, records, gen)  gen moves with every write to the database
//   cfgfiles(db, name, fold, content), records(db, num, diriv), keys(id, db, name, fold, fields)
//   postings(k, tok, last, n, data), accounts(name, salt, hash, rights)
// Names are bytea; `fold` is their ASCII lower case, the form they are unique in. A store of
// format 1 or 2 is upgraded in place by the first connection, under an advisory lock.
// Thread safety: one thread per driver, except Interrupt(); the pools are shared and locked.

#include <libpq-fe.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "backend/strata/pg_standbys.h"
#include "backend/strata/strata_driver.h"
#include "backend/strata/strata_store.h"

constexpr int kPgDefaultMaxConnections = 16;

// Where a PostgreSQL store is: a libpq connection string, the address shown in messages, the cap.
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
// libpq's message on one line, without the trailing newline.
std::string PgOneLine(const char* message);
// "host:port/dbname" of a connection string, for messages (never its password).
std::string PgDescribe(const std::string& conninfo);

// A channel to the store at `target` through the one store engine over this driver, without
// the process's cache (pg_notify.h puts the cache in front).
std::unique_ptr<IStrataStore> OpenPgStore(const PgTarget& target, bool create, StrataStatus& st);

class CPgPool;

// A result freed with the guard.
class CPgResultGuard {
public:
    explicit CPgResultGuard(PGresult* r) : m_r(r) {}
    ~CPgResultGuard() { PQclear(m_r); }
    CPgResultGuard(const CPgResultGuard&) = delete;
    CPgResultGuard& operator=(const CPgResultGuard&) = delete;
    PGresult* Get() const { return m_r; }
    ExecStatusType Status() const { return PQresultStatus(m_r); }

private:
    PGresult* m_r;
};

// One pooled server connection with its prepared statements; while leased, the connection of
// one call of a driver.
class CPgConn : public IStrataConn {
public:
    CPgConn(CPgPool& pool, PGconn* conn) : m_pool(pool), m_conn(conn) {}
    ~CPgConn() override;

    // A transaction's BEGIN goes out with its first statement, in one round trip (pipeline mode);
    // a transaction that runs no statement sends nothing. A read transaction's COMMIT is sent
    // without waiting for its answer, which the next use of the connection reads (Settle).
    bool Begin(StrataTx tx, StrataStatus& st) override;
    bool Commit(StrataStatus& st) override;
    void Rollback() override;
    bool InTransaction() override { return m_inTransaction; }
    int64_t Snapshot() override { return -1; }
    IStrataStmt* Statement(StrataSql id, StrataStatus& st) override;
    std::unique_ptr<IStrataCopy> Copy(StrataSql id, StrataStatus& st) override;
    void CountSearch() override;

    // A statement's failure (`r` null: the connection's) as a status: 5 when the connection broke.
    bool Fail(PGresult* r, StrataStatus& st, const char* what);
    // Runs `sql` in text form; with `value` the first column of its first row.
    bool Exec(const char* sql, StrataStatus& st, const char* what, std::string* value = nullptr);
    bool Cancelled() const;
    void CountRoundTrip();
    // Reads the answer of a read transaction's COMMIT sent earlier; false (and broken) when
    // the connection failed meanwhile. Every use of the connection begins with it.
    bool Settle(StrataStatus& st);
    // The BEGIN that opens the transaction, when no statement has sent it yet (null: none).
    const char* PendingBegin() const { return m_beginPending; }
    void BeginSent() { m_beginPending = nullptr; }
    // Settle, then sends the pending BEGIN on its own (for uses that cannot carry it along).
    bool SettleAndBegin(StrataStatus& st, const char* what);

    CPgPool& m_pool;       // the pool the connection belongs to
    PGconn* const m_conn;
    IStrataDriver* m_driver = nullptr;  // while leased
    bool m_broken = false;
    std::string m_state;  // SQLSTATE of the last failure

private:
    bool m_inTransaction = false;
    bool m_readOnly = false;                 // the transaction is a read
    const char* m_beginPending = nullptr;    // its BEGIN, not sent yet
    bool m_commitPending = false;            // a COMMIT sent, its answer not read
    std::array<std::unique_ptr<IStrataStmt>, size_t(StrataSql::kCount)> m_statements;  // prepared on first use
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
    // Counted for /metrics: round trips (answers waited for), leases that had to wait for a free connection,
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
