// The SQLite driver: the embedded store, one SQLite file per instance, one connection per channel
// (WAL mode, busy timeout, statements prepared once and kept, every write in one transaction),
// with its dialect of the engine's statements and its layout (meta format "velkan-strata-N").
// Records are keyed by one integer: database id * 10^8 + record number; names compare without
// regard to ASCII case (COLLATE NOCASE); tokens are TEXT, blocks and record texts BLOBs.
#include <sqlite3.h>
#include <sys/stat.h>

#include <array>

#include "backend/strata/strata_engine.h"
#include "backend/strata/strata_errors.h"

namespace {

// The page cache of a connection outside bulk writes (reads go through the shared mapping).
const char* const kSmallCache = "PRAGMA cache_size=-2048";
// For the length of a bulk write: without it the write spills its pages to the log and finds
// them there again.
const char* const kBulkCache = "PRAGMA cache_size=-262144";

const char* const kPostingsTable =
    "CREATE TABLE postings(k INTEGER NOT NULL, tok TEXT NOT NULL, last INTEGER NOT NULL,"
    " n INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(k, tok, last)) WITHOUT ROWID";

// The sort value of key k of record (number) id, one range of the index per key.
const char* const kSortKeysTable =
    "CREATE TABLE IF NOT EXISTS sortkeys(k INTEGER NOT NULL, id INTEGER NOT NULL, v BLOB NOT NULL,"
    " PRIMARY KEY(k, id)) WITHOUT ROWID";

const char* const kSchema[] = {
    "CREATE TABLE meta(k TEXT PRIMARY KEY, v TEXT NOT NULL)",
    "CREATE TABLE databases(id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE COLLATE NOCASE,"
    " records INTEGER NOT NULL DEFAULT 0)",
    "CREATE TABLE cfgfiles(db INTEGER NOT NULL, name TEXT NOT NULL COLLATE NOCASE,"
    " content BLOB NOT NULL, PRIMARY KEY(db, name)) WITHOUT ROWID",
    "CREATE TABLE records(id INTEGER PRIMARY KEY, diriv BLOB NOT NULL)",
    "CREATE TABLE keys(id INTEGER PRIMARY KEY, db INTEGER NOT NULL, name TEXT NOT NULL COLLATE NOCASE,"
    " fields TEXT NOT NULL, UNIQUE(db, name))",
    kPostingsTable,
    kSortKeysTable,
    "CREATE TABLE accounts(name TEXT PRIMARY KEY, salt BLOB NOT NULL, hash BLOB NOT NULL,"
    " rights INTEGER NOT NULL)",
    "INSERT INTO meta VALUES('format', 'velkan-strata-4')",
};

#define RECORD_ID "?1 * 100000000 + ?2"

// The dialect, in the order of StrataSql. Parameters not named here are left unbound.
constexpr std::array<const char*, size_t(StrataSql::kCount)> kSql = {
    // accounts
    "SELECT salt, hash, rights FROM accounts WHERE name=?1",
    "INSERT INTO accounts(name, salt, hash, rights) VALUES(?1, ?2, ?3, ?4)",
    "UPDATE accounts SET salt=?2, hash=?3 WHERE name=?1",
    "UPDATE accounts SET rights=?2 WHERE name=?1",
    "DELETE FROM accounts WHERE name=?1",
    "SELECT name, rights, salt, hash FROM accounts ORDER BY name",
    "INSERT OR REPLACE INTO accounts(name, salt, hash, rights) VALUES(?1, ?2, ?3, ?4)",
    // databases and cfgs files
    "SELECT name, records, id FROM databases ORDER BY id",
    "INSERT INTO databases(name) VALUES(?1)",
    "SELECT id, 0 FROM databases WHERE name=?1",
    "SELECT id, 0 FROM databases WHERE name=?1",
    "SELECT d.id, 0, k.id, k.name, k.fields FROM databases d LEFT JOIN keys k ON k.db=d.id AND k.name=?2"
    " WHERE d.name=?1",
    "UPDATE databases SET records=records+?2 WHERE id=?1 RETURNING records",
    nullptr,
    "DELETE FROM postings WHERE k IN (SELECT id FROM keys WHERE db=?1 UNION ALL SELECT -id FROM keys WHERE db=?1)",
    "DELETE FROM keys WHERE db=?1",
    "DELETE FROM cfgfiles WHERE db=?1",
    "DELETE FROM records WHERE id BETWEEN ?1 * 100000000 AND ?1 * 100000000 + 99999999",
    "DELETE FROM databases WHERE id=?1",
    "SELECT content FROM cfgfiles WHERE db=?1 AND name=?2",
    "INSERT OR REPLACE INTO cfgfiles(db, name, content) VALUES(?1, ?2, ?4)",
    "SELECT name FROM cfgfiles WHERE db=?1 ORDER BY name",
    "INSERT OR REPLACE INTO keys(db, name, fields) VALUES(?1, ?2, ?4)",
    "SELECT id, name, fields FROM keys WHERE db=?1 ORDER BY id",
    // records
    "SELECT diriv FROM records WHERE id=" RECORD_ID,
    "SELECT diriv FROM records WHERE id=" RECORD_ID,
    "SELECT ?2, diriv FROM records WHERE id=" RECORD_ID,
    "INSERT OR REPLACE INTO records(id, diriv) VALUES(" RECORD_ID ", ?3)",
    "DELETE FROM records WHERE id=" RECORD_ID,
    "DELETE FROM records WHERE id=" RECORD_ID " RETURNING id - ?1 * 100000000, diriv",
    "SELECT coalesce(max(id) - ?1 * 100000000, 0) FROM records WHERE id BETWEEN ?1 * 100000000 AND"
    " ?1 * 100000000 + 9999999",
    "SELECT id - ?1 * 100000000, diriv FROM records WHERE id > " RECORD_ID " AND id <= ?1 * 100000000 + 9999999"
    " ORDER BY id LIMIT ?3",
    // posting lists
    "SELECT last, data FROM postings WHERE k=?1 AND tok=?2 AND last>=?3 ORDER BY last LIMIT 1",
    "SELECT last, data FROM postings WHERE k=?1 AND tok=?2 ORDER BY last DESC LIMIT 1",
    "SELECT tok, last, data FROM postings WHERE k=?1 AND tok=?2 ORDER BY last DESC LIMIT 1",
    "DELETE FROM postings WHERE k=?1 AND tok=?2 AND last=?3",
    "DELETE FROM postings WHERE k=?1 AND tok=?2 AND last=?3",
    "INSERT INTO postings(k, tok, last, n, data) VALUES(?1, ?2, ?3, ?4, ?5)",
    "SELECT tok, data FROM postings WHERE k=?1 AND tok=?2 ORDER BY last",
    "SELECT data FROM postings WHERE k=?1 AND tok>=?2 AND tok<?3",
    // one seek per distinct token (a loose index scan), not a walk of every posting block
    "WITH RECURSIVE t(tok) AS (SELECT min(tok) FROM postings WHERE k=?1 UNION ALL"
    " SELECT (SELECT min(tok) FROM postings WHERE k=?1 AND tok>t.tok) FROM t WHERE t.tok IS NOT NULL)"
    " SELECT tok FROM t WHERE tok IS NOT NULL",
    "SELECT tok, total(n) FROM postings WHERE k=?1 AND tok>=?2 GROUP BY tok ORDER BY tok LIMIT ?3 OFFSET ?4",
    "SELECT tok, total(n) FROM postings WHERE k=?1 AND tok<?2 GROUP BY tok ORDER BY tok DESC LIMIT ?3 OFFSET ?4",
    // sort values
    "INSERT OR REPLACE INTO sortkeys(k, id, v) VALUES(?1, ?2, ?3)",
    "DELETE FROM sortkeys WHERE k IN (SELECT id FROM keys WHERE db=?1) AND id=?2",
    "DELETE FROM sortkeys WHERE k IN (SELECT id FROM keys WHERE db=?1)",
    "SELECT id, v FROM sortkeys WHERE k=?1 AND id BETWEEN ?2 AND ?3 ORDER BY id LIMIT ?4",
    "SELECT id, v FROM sortkeys WHERE k=?1 AND id=?2 AND id BETWEEN ?3 AND ?4",
    nullptr,
};

class CSqliteDriver;

// A failure of the connection's last call as a status: cancelled, or the store's own error.
bool Fail(sqlite3* db, const std::atomic<bool>& cancel, StrataStatus& st, const char* what) {
    if (sqlite3_errcode(db) == SQLITE_INTERRUPT || cancel.load()) return st.Set(kStrataCancelled, what);
    return st.Set(kStrataStoreError, std::string(what) + ": " + sqlite3_errmsg(db));
}

class CSqliteStmt : public IStrataStmt {
public:
    CSqliteStmt(sqlite3* db, sqlite3_stmt* s, const std::atomic<bool>& cancel) : m_db(db), m_s(s), m_cancel(cancel) {}
    ~CSqliteStmt() override { sqlite3_finalize(m_s); }

    void BindInt(int i, int64_t v) override { sqlite3_bind_int64(m_s, i, v); }
    void BindText(int i, std::string_view v) override {
        sqlite3_bind_text(m_s, i, v.data(), int(v.size()), SQLITE_TRANSIENT);
    }
    void BindBlob(int i, std::string_view v) override {
        sqlite3_bind_blob(m_s, i, v.empty() ? "" : v.data(), int(v.size()), SQLITE_TRANSIENT);
    }
    void BindInts(int i, const std::vector<int64_t>& v) override { m_lists.push_back(List{i, &v, nullptr}); }
    void BindTexts(int i, const std::vector<std::string>& v) override { m_lists.push_back(List{i, nullptr, &v}); }

    int Step(StrataStatus& st, const char* what) override {
        if (!m_started) {
            m_started = true;
            if (!m_lists.empty() && !BindElement(0)) return kStrataDone;
        }
        for (;;) {
            const int rc = sqlite3_step(m_s);
            if (rc == SQLITE_ROW) return kStrataRow;
            if (rc != SQLITE_DONE) {
                m_duplicate = sqlite3_extended_errcode(m_db) == SQLITE_CONSTRAINT_UNIQUE ||
                              sqlite3_extended_errcode(m_db) == SQLITE_CONSTRAINT_PRIMARYKEY;
                Fail(m_db, m_cancel, st, what);
                return kStrataFailed;
            }
            m_changes += sqlite3_changes64(m_db);
            // A list: the next element's run.
            if (m_lists.empty()) return kStrataDone;
            sqlite3_reset(m_s);
            if (!BindElement(++m_element)) return kStrataDone;
        }
    }
    int64_t Int(int c) override { return sqlite3_column_int64(m_s, c); }
    std::string_view Bytes(int c) override {
        const void* p = sqlite3_column_blob(m_s, c);
        return p ? std::string_view(static_cast<const char*>(p), size_t(sqlite3_column_bytes(m_s, c)))
                 : std::string_view();
    }
    int64_t Changes() override { return m_changes; }
    bool Duplicate() override { return m_duplicate; }
    void Reset() override {
        sqlite3_reset(m_s);
        sqlite3_clear_bindings(m_s);
        m_lists.clear();
        m_started = m_duplicate = false;
        m_element = 0;
        m_changes = 0;
    }

private:
    struct List {
        int m_param;
        const std::vector<int64_t>* m_ints;
        const std::vector<std::string>* m_texts;
        size_t Size() const { return m_ints ? m_ints->size() : m_texts->size(); }
    };
    // Binds element `e` of every list; false when the lists are done.
    bool BindElement(size_t e) {
        for (const List& l : m_lists) {
            if (e >= l.Size()) return false;
            if (l.m_ints) sqlite3_bind_int64(m_s, l.m_param, (*l.m_ints)[e]);
            else sqlite3_bind_text(m_s, l.m_param, (*l.m_texts)[e].data(), int((*l.m_texts)[e].size()), SQLITE_STATIC);
        }
        return true;
    }

    sqlite3* m_db;
    sqlite3_stmt* m_s;
    const std::atomic<bool>& m_cancel;
    std::vector<List> m_lists;
    size_t m_element = 0;
    bool m_started = false, m_duplicate = false;
    int64_t m_changes = 0;
};

// Bulk rows as single inserts: one transaction already makes them cheap.
class CSqliteCopy : public IStrataCopy {
public:
    explicit CSqliteCopy(IStrataStmt& insert) : m_insert(insert) {}
    ~CSqliteCopy() override { m_insert.Reset(); }
    void Int(int64_t v) override { m_insert.BindInt(++m_column, v); }
    void Text(std::string_view v) override { m_insert.BindText(++m_column, v); }
    void Blob(std::string_view v) override { m_insert.BindBlob(++m_column, v); }
    bool EndRow(StrataStatus& st) override {
        m_column = 0;
        const int rc = m_insert.Step(st, "bulk write");
        m_insert.Reset();
        return rc != kStrataFailed;
    }
    bool Finish(StrataStatus&) override { return true; }

private:
    IStrataStmt& m_insert;
    int m_column = 0;
};

class CSqliteDriver : public IStrataDriver, public IStrataConn {
public:
    explicit CSqliteDriver(sqlite3* db, std::string file) : m_db(db), m_file(std::move(file)) {}
    ~CSqliteDriver() override {
        for (auto& s : m_statements) s.reset();
        sqlite3_close(m_db);
    }

    // Pages are read through a shared memory mapping of the file, so every connection of the
    // process (and the system's page cache) holds them once; the private page cache of a
    // connection only keeps the pages it changes in a write. Every commit is synced to the log
    // before it returns (synchronous=FULL): a write acknowledged to a client survives a power loss.
    bool Configure(StrataStatus& st) {
        sqlite3_busy_timeout(m_db, 15000);
        sqlite3_progress_handler(m_db, 1000, [](void* self) {
            return static_cast<CSqliteDriver*>(self)->m_cancel.load() ? 1 : 0;
        }, this);
        return Exec("PRAGMA journal_mode=WAL", st) && Exec("PRAGMA synchronous=FULL", st) &&
               Exec("PRAGMA mmap_size=68719476736", st) && Exec(kSmallCache, st) && Exec("PRAGMA foreign_keys=OFF", st);
    }

    // IStrataDriver: the one connection serves every call.
    IStrataConn* Lease(StrataRoute, StrataStatus&) override { return this; }
    void Release(IStrataConn*, bool) override {}
    bool Retryable(IStrataConn*) override { return false; }
    void Interrupt() override {
        m_cancel.store(true);
        sqlite3_interrupt(m_db);
    }

    bool CreateLayout(IStrataConn&, StrataStatus& st) override {
        if (!Begin(StrataTx::kWrite, st)) return false;
        for (const char* sql : kSchema) {
            if (!Exec(sql, st)) {
                Rollback();
                return false;
            }
        }
        return Commit(st);
    }
    bool CheckLayout(IStrataConn&, int& level, StrataStatus& st) override {
        if (!ReadLevel(level, st)) return false;
        if (level >= kStrataLayout) return true;
        // Under the write lock, the level once more: another connection may have upgraded.
        return Begin(StrataTx::kWrite, st) && ReadLevel(level, st);
    }
    bool UpgradeTables(IStrataConn&, int level, StrataStatus& st) override {
        return (level > 1 || (Exec("DROP TABLE postings", st) && Exec(kPostingsTable, st))) && Exec(kSortKeysTable, st);
    }
    bool MarkLayout(IStrataConn&, StrataStatus& st) override {
        return Exec("UPDATE meta SET v='velkan-strata-4' WHERE k='format'", st);
    }

    // IStrataConn
    bool Begin(StrataTx tx, StrataStatus& st) override {
        if (!Exec(tx == StrataTx::kWrite ? "BEGIN IMMEDIATE" : "BEGIN", st)) return false;
        m_snapshot = -2;
        if (tx == StrataTx::kRead) {
            // Reading the data version opens the snapshot.
            sqlite3_stmt* s = nullptr;
            if (sqlite3_prepare_v2(m_db, "PRAGMA data_version", -1, &s, nullptr) == SQLITE_OK &&
                sqlite3_step(s) == SQLITE_ROW) {
                m_snapshot = sqlite3_column_int64(s, 0);
            }
            sqlite3_finalize(s);
        }
        return true;
    }
    bool Commit(StrataStatus& st) override {
        if (Exec("COMMIT", st)) return true;
        Rollback();
        return false;
    }
    void Rollback() override {
        if (!sqlite3_get_autocommit(m_db)) sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    bool InTransaction() override { return !sqlite3_get_autocommit(m_db); }
    int64_t Snapshot() override { return m_snapshot; }
    IStrataStmt* Statement(StrataSql id, StrataStatus& st) override {
        std::unique_ptr<IStrataStmt>& slot = m_statements[size_t(id)];
        if (slot) return slot.get();
        const char* sql = kSql[size_t(id)];
        if (sql == nullptr) {
            slot = std::make_unique<CStrataNoStmt>();
            return slot.get();
        }
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK) {
            sqlite3_finalize(s);
            Fail(m_db, m_cancel, st, "prepare");
            return nullptr;
        }
        slot = std::make_unique<CSqliteStmt>(m_db, s, m_cancel);
        return slot.get();
    }
    std::unique_ptr<IStrataCopy> Copy(StrataSql id, StrataStatus& st) override {
        IStrataStmt* insert = Statement(id, st);
        return insert ? std::make_unique<CSqliteCopy>(*insert) : nullptr;
    }
    void Bulk(bool on) override { sqlite3_exec(m_db, on ? kBulkCache : kSmallCache, nullptr, nullptr, nullptr); }

private:
    bool Exec(const char* sql, StrataStatus& st) {
        char* message = nullptr;
        if (sqlite3_exec(m_db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
        const std::string text = message ? message : "unknown";
        sqlite3_free(message);
        if (sqlite3_errcode(m_db) == SQLITE_INTERRUPT || m_cancel.load()) return st.Set(kStrataCancelled, sql);
        return st.Set(kStrataStoreError, std::string(sql) + ": " + text);
    }
    bool ReadLevel(int& level, StrataStatus& st) {
        sqlite3_stmt* s = nullptr;
        std::string format;
        if (sqlite3_prepare_v2(m_db, "SELECT v FROM meta WHERE k='format'", -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW && sqlite3_column_text(s, 0) != nullptr) {
            format = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
        }
        sqlite3_finalize(s);
        for (level = 1; level <= kStrataLayout; ++level) {
            if (format == "velkan-strata-" + std::to_string(level)) return true;
        }
        Rollback();
        return st.Set(kStrataUnreachable, m_file + " is not a Strata store");
    }

    sqlite3* m_db;
    const std::string m_file;
    std::array<std::unique_ptr<IStrataStmt>, size_t(StrataSql::kCount)> m_statements;
    int64_t m_snapshot = -2;
};

// The store file in the store folder, named after the instance.
StrataLocation LocateFile(const std::string& instance, const StrataNetOptions&) {
    StrataLocation where;
    where.m_path = StrataStoreFile(CInterface::GetStoreFolder(), instance);
    return where;
}

StrataLocation LocateSpec(const std::string& file) {
    StrataLocation where;
    where.m_path = file;
    return where;
}

std::unique_ptr<IStrataStore> OpenFile(const StrataLocation& where, bool create, StrataStatus& st) {
    const std::string& file = where.m_path;
    struct stat info {};
    const bool exists = stat(file.c_str(), &info) == 0;
    if (create && exists) {
        st.Set(kStrataStoreError, "store file " + file + " exists already");
        return nullptr;
    }
    if (!create && (!exists || !S_ISREG(info.st_mode))) {
        st.Set(kStrataUnreachable, "store file " + file + " not found");
        return nullptr;
    }
    sqlite3* db = nullptr;
    // One thread uses a connection at a time (sqlite3_interrupt is safe from any thread), so the
    // connection needs no mutex of its own.
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(file.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        st.Set(kStrataUnreachable, "cannot open " + file + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
        sqlite3_close(db);
        return nullptr;
    }
    auto driver = std::make_unique<CSqliteDriver>(db, file);
    if (!driver->Configure(st)) return nullptr;
    return CStrataEngine::Open(std::move(driver), create, st);
}

}  // namespace

const StrataEngineRow kStrataSqliteEngine = {"sqlite", false, LocateFile, LocateSpec, OpenFile, nullptr};
