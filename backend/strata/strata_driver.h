#pragma once
// The seam under the store engine (strata_engine.h): a driver reaches one kind of SQL server (the
// embedded SQLite file, a PostgreSQL server through libpq) and runs the engine's statements,
// named by StrataSql, in its own dialect. The engine's algorithms are written once over it.
//   IStrataDriver  one per channel: hands out a connection per call, cancels, knows the layout
//   IStrataConn    one connection for the length of a call: transactions, statements, bulk rows
//   IStrataStmt    one prepared statement of a connection (prepared once, kept by the connection)
//   IStrataCopy    rows sent in bulk to one table (PostgreSQL: COPY in binary form)
// Values: integers are 64-bit; texts (names, tokens) and blobs (records, blocks, hashes) are
// octets, never converted. A list parameter runs the statement once per element (an array in
// one round trip where the server has arrays); its rows are those of every run in turn.
// Internal to vkstrata. Thread safety: a driver and what it hands out serve one thread at a
// time, except IStrataDriver::Interrupt, which any thread may call.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct StrataStatus;

// Every statement the engine runs. A dialect may leave one out (no SQL): it then runs as a
// statement that changes nothing and yields no rows.
enum class StrataSql : int {
    // accounts
    kLogin, kAddAccount, kSetPassword, kSetRights, kRemoveAccount, kListAccounts, kImportAccount,
    // databases and cfgs files (names are bound folded, StrataFold, and as given)
    kListDatabases, kAddDatabase, kFindDatabase, kFindDatabaseForWrite, kFindDatabaseKey, kCountRecords,
    kBumpGeneration, kDropPostings, kDropKeys, kDropCfgFiles, kDropRecords, kDropDatabase,
    kReadCfgFile, kPutCfgFile, kListCfgFiles, kPutKey, kLoadKeys,
    // records (database id, record number)
    kGetRecord, kGetRecordForWrite, kGetRecords, kPutRecord, kDeleteRecord, kTakeRecords, kMaxRecord,
    kRecordsAfter,
    // posting lists (key id, token, ...)
    kBlockAtOrAfter, kFinalBlock, kFinalBlocks, kDeleteBlock, kDeleteBlocks, kInsertBlock, kReadLists,
    kReadRange, kTokens, kScanUp, kScanDown,
    // sort values (key id, record number, value)
    kPutSortValue, kRemoveSortValues, kDropSortValues, kSortValuesRange, kSortValuesOf,
    // after bulk writes: fresh planner statistics
    kAnalyze,
    kCount
};

enum class StrataTx { kRead, kWrite };
// Where a call runs: on the primary server, or (reads) on a server that serves reads.
enum class StrataRoute { kPrimary, kRead };

// Step results.
constexpr int kStrataRow = 1;
constexpr int kStrataDone = 0;
constexpr int kStrataFailed = -1;

class IStrataStmt {
public:
    virtual ~IStrataStmt() = default;
    // Parameters by their 1-based number in the SQL; one the dialect's SQL does not use is
    // ignored. Single values are copied; bound lists must stay alive until Reset.
    virtual void BindInt(int i, int64_t v) = 0;
    virtual void BindText(int i, std::string_view v) = 0;
    virtual void BindBlob(int i, std::string_view v) = 0;
    // Lists of the same length bound to several parameters run element by element together.
    virtual void BindInts(int i, const std::vector<int64_t>& v) = 0;
    virtual void BindTexts(int i, const std::vector<std::string>& v) = 0;
    // The next row (kStrataRow), the end (kStrataDone), or kStrataFailed with st set (`what`
    // names the operation in the message).
    virtual int Step(StrataStatus& st, const char* what) = 0;
    // Columns of the current row; a NULL is 0 or empty. Bytes stay valid until the next Step.
    virtual int64_t Int(int column) = 0;
    virtual std::string_view Bytes(int column) = 0;
    // Rows the last run inserted, changed or deleted.
    virtual int64_t Changes() = 0;
    // The last failure was a unique-key violation.
    virtual bool Duplicate() = 0;
    // Ready for new bindings (drops the rows not read).
    virtual void Reset() = 0;
};

class IStrataCopy {
public:
    virtual ~IStrataCopy() = default;
    // The columns of one row, in the order of the insert statement the copy was opened for.
    virtual void Int(int64_t v) = 0;
    virtual void Text(std::string_view v) = 0;
    virtual void Blob(std::string_view v) = 0;
    virtual bool EndRow(StrataStatus& st) = 0;
    // Sends what is left; false with st set. A copy dropped unfinished is abandoned.
    virtual bool Finish(StrataStatus& st) = 0;
};

class IStrataConn {
public:
    virtual ~IStrataConn() = default;
    // A write transaction takes the store's write lock (writers take turns); a read one is one
    // snapshot. False with st set.
    virtual bool Begin(StrataTx tx, StrataStatus& st) = 0;
    virtual bool Commit(StrataStatus& st) = 0;
    virtual void Rollback() = 0;
    virtual bool InTransaction() = 0;
    // After Begin(kRead): a number that moves whenever another connection commits, for caches
    // kept across calls; -1 when the server has none (caches then go by the databases' gen
    // column), -2 when not known for this transaction (keep nothing).
    virtual int64_t Snapshot() = 0;
    // Statement `id`, owned by the connection; null with st set when it cannot be prepared.
    virtual IStrataStmt* Statement(StrataSql id, StrataStatus& st) = 0;
    // Bulk rows for the table of insert statement `id`; null with st set.
    virtual std::unique_ptr<IStrataCopy> Copy(StrataSql id, StrataStatus& st) = 0;
    // A long bulk write begins (true) or ends: the embedded store widens its page cache.
    virtual void Bulk(bool /*on*/) {}
    // A search runs on this connection (counted for /metrics).
    virtual void CountSearch() {}
};

class IStrataDriver {
public:
    virtual ~IStrataDriver() = default;
    // The connection of one call, leased until Release; null with st set (66 unreachable).
    virtual IStrataConn* Lease(StrataRoute route, StrataStatus& st) = 0;
    // With `wrote` (after a committed write) the driver notes the write's position for the
    // channel's later reads (read-your-writes across servers).
    virtual void Release(IStrataConn* conn, bool wrote) = 0;
    // The call on `conn` failed because the server serving its reads went away: worth one more try.
    virtual bool Retryable(IStrataConn* conn) = 0;
    // Any thread: the call in progress fails with kStrataCancelled. BeginCall clears it.
    virtual void Interrupt() = 0;
    void BeginCall() { m_cancel.store(false); }
    bool Cancelled() const { return m_cancel.load(std::memory_order_relaxed); }
    virtual std::string WritePosition() const { return {}; }
    virtual void ReadAfter(const std::string& /*position*/) {}

    // Layout. CreateLayout makes the tables of an empty store (refused when one is there).
    // CheckLayout reads the layout version into `level` (1 to kStrataLayout), false with st when
    // the store is none or newer; at an older level it returns inside a write transaction that
    // holds the upgrade lock, and UpgradeTables then changes the tables (the engine rebuilds the
    // index after) and MarkLayout records the current version.
    virtual bool CreateLayout(IStrataConn& conn, StrataStatus& st) = 0;
    virtual bool CheckLayout(IStrataConn& conn, int& level, StrataStatus& st) = 0;
    virtual bool UpgradeTables(IStrataConn& conn, int level, StrataStatus& st) = 0;
    virtual bool MarkLayout(IStrataConn& conn, StrataStatus& st) = 0;

protected:
    std::atomic<bool> m_cancel{false};
};

constexpr int kStrataLayout = 4;

// A statement the dialect leaves out: no rows, no changes.
class CStrataNoStmt : public IStrataStmt {
public:
    void BindInt(int, int64_t) override {}
    void BindText(int, std::string_view) override {}
    void BindBlob(int, std::string_view) override {}
    void BindInts(int, const std::vector<int64_t>&) override {}
    void BindTexts(int, const std::vector<std::string>&) override {}
    int Step(StrataStatus&, const char*) override { return kStrataDone; }
    int64_t Int(int) override { return 0; }
    std::string_view Bytes(int) override { return {}; }
    int64_t Changes() override { return 0; }
    bool Duplicate() override { return false; }
    void Reset() override {}
};
