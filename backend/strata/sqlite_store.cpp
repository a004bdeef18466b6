// CSqliteStore: connection set-up, schema, databases, cfgs files, accounts, and the interface table.
#include "backend/strata/sqlite_store.h"

#include <strings.h>
#include <sys/stat.h>

#include "backend/strata/strata_account.h"
#include "backend/strata/strata_errors.h"
#include "backend/strata/strata_storeutil.h"

namespace {

// The page cache of a connection outside bulk writes (reads go through the shared mapping).
const char* const kSmallCache = "PRAGMA cache_size=-2048";

const char* const kPostingsTable =
    "CREATE TABLE postings(k INTEGER NOT NULL, tok TEXT NOT NULL, last INTEGER NOT NULL,"
    " n INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(k, tok, last)) WITHOUT ROWID";

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
    kSqliteSortKeysTable,
    "CREATE TABLE accounts(name TEXT PRIMARY KEY, salt BLOB NOT NULL, hash BLOB NOT NULL,"
    " rights INTEGER NOT NULL)",
    "INSERT INTO meta VALUES('format', 'velkan-strata-4')",
};

}  // namespace

bool StrataStatus::Set(int code, const std::string& detail) {
    m_code = code;
    m_text = StrataErrorMessage(code, detail);
    return false;
}

int StrataProgress(void* self) {
    return static_cast<CSqliteStore*>(self)->m_cancel.load() ? 1 : 0;
}

std::unique_ptr<IStrataStore> OpenSqliteStore(const std::string& file, bool create, StrataStatus& st) {
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
    auto store = std::make_unique<CSqliteStore>(db);
    if (!store->Configure(st)) return nullptr;
    if (create) {
        if (!store->CreateSchema(st)) return nullptr;
        std::string empty;
        if (!store->PutAccount("public", &empty, kStrataRightRead, true, st)) return nullptr;
    } else {
        sqlite3_stmt* s = nullptr;
        std::string format;
        if (sqlite3_prepare_v2(db, "SELECT v FROM meta WHERE k='format'", -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW && sqlite3_column_text(s, 0) != nullptr) {
            format = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
        }
        sqlite3_finalize(s);
        // 1: one postings row per token and record; 2: keys folded without Unicode case folding
        // and normalisation. Both are re-keyed from the records. 3: no sort values yet.
        if (format == "velkan-strata-1" || format == "velkan-strata-2") {
            if (!store->UpgradeLayout(format == "velkan-strata-1", st)) return nullptr;
        } else if (format == "velkan-strata-3") {
            if (!store->AddSortValuesTable(st)) return nullptr;
        } else if (format != "velkan-strata-4") {
            st.Set(kStrataUnreachable, file + " is not a Strata store");
            return nullptr;
        }
    }
    return store;
}

CSqliteStore::CSqliteStore(sqlite3* db) : m_db(db) {}

CSqliteStore::~CSqliteStore() {
    for (auto& entry : m_statements) sqlite3_finalize(entry.second);
    sqlite3_close(m_db);
}

// Pages are read through a shared memory mapping of the file, so every connection of the process
// (and the operating system's page cache) holds them once; the private page cache of a connection
// only keeps the pages it changes in a write. Every commit is synced to the log before it returns
// (synchronous=FULL): a write acknowledged to a client survives a power loss.
bool CSqliteStore::Configure(StrataStatus& st) {
    sqlite3_busy_timeout(m_db, 15000);
    sqlite3_progress_handler(m_db, 1000, StrataProgress, this);
    return Exec("PRAGMA journal_mode=WAL", st) && Exec("PRAGMA synchronous=FULL", st) &&
           Exec("PRAGMA mmap_size=68719476736", st) && Exec(kSmallCache, st) &&
           Exec("PRAGMA foreign_keys=OFF", st);
}

CBulkCache::CBulkCache(sqlite3* db) : m_db(db) {
    sqlite3_exec(m_db, "PRAGMA cache_size=-262144", nullptr, nullptr, nullptr);
}

CBulkCache::~CBulkCache() { sqlite3_exec(m_db, kSmallCache, nullptr, nullptr, nullptr); }

bool CSqliteStore::UpgradeLayout(bool newPostings, StrataStatus& st) {
    CBulkCache cache(m_db);
    if (!Begin(st)) return false;
    std::vector<int64_t> dbs;
    {
        CStmt s(Prepare("SELECT id FROM databases ORDER BY id"));
        int rc;
        while (s.Ok() && (rc = s.Step()) == SQLITE_ROW) dbs.push_back(s.Int(0));
        if (!s.Ok() || rc != SQLITE_DONE) {
            Rollback();
            return SqlFail(st, "upgrade the store layout");
        }
    }
    bool ok = MendMainEntries(st) && (!newPostings || (Exec("DROP TABLE postings", st) && Exec(kPostingsTable, st))) &&
              Exec(kSqliteSortKeysTable, st);
    for (size_t i = 0; ok && i < dbs.size(); ++i) ok = ReindexLocked(dbs[i], st);
    ok = ok && Exec("UPDATE meta SET v='velkan-strata-4' WHERE k='format'", st);
    if (!ok) {
        Rollback();
        return false;
    }
    return Commit(st);
}

bool CSqliteStore::MendMainEntries(StrataStatus& st) {
    std::vector<std::pair<int64_t, std::string>> changed;
    {
        CStmt s(Prepare("SELECT id, diriv FROM records"));
        int rc;
        while (s.Ok() && (rc = s.Step()) == SQLITE_ROW) {
            std::string diriv = s.Text(1);
            if (StrataMendMainEntries(diriv)) changed.emplace_back(s.Int(0), std::move(diriv));
        }
        if (!s.Ok() || rc != SQLITE_DONE) return SqlFail(st, "upgrade the records");
    }
    for (const auto& [id, diriv] : changed) {
        CStmt u(Prepare("UPDATE records SET diriv=?2 WHERE id=?1"));
        if (!u.Ok() || u.Bind(1, id).BindBlob(2, diriv).Step() != SQLITE_DONE) return SqlFail(st, "upgrade the records");
    }
    return true;
}

void CSqliteStore::Interrupt() {
    m_cancel.store(true);
    sqlite3_interrupt(m_db);
}

sqlite3_stmt* CSqliteStore::Prepare(const char* sql) {
    auto it = m_statements.find(sql);
    if (it != m_statements.end()) return it->second;
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK) {
        sqlite3_finalize(s);
        return nullptr;
    }
    m_statements.emplace(sql, s);
    return s;
}

bool CSqliteStore::SqlFail(StrataStatus& st, const char* what) {
    const int rc = sqlite3_errcode(m_db);
    if (rc == SQLITE_INTERRUPT || m_cancel.load()) return st.Set(kStrataCancelled, what);
    return st.Set(kStrataStoreError, std::string(what) + ": " + sqlite3_errmsg(m_db));
}

bool CSqliteStore::Exec(const char* sql, StrataStatus& st) {
    char* message = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    std::string text = message ? message : "unknown";
    sqlite3_free(message);
    if (sqlite3_errcode(m_db) == SQLITE_INTERRUPT || m_cancel.load()) return st.Set(kStrataCancelled, sql);
    return st.Set(kStrataStoreError, std::string(sql) + ": " + text);
}

void CSqliteStore::Rollback() {
    if (!sqlite3_get_autocommit(m_db)) sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
}

bool CSqliteStore::CreateSchema(StrataStatus& st) {
    if (!Begin(st)) return false;
    for (const char* sql : kSchema) {
        if (!Exec(sql, st)) {
            Rollback();
            return false;
        }
    }
    return Commit(st);
}

CReadScope::CReadScope(CSqliteStore& store) : m_store(store) {
    if (!sqlite3_get_autocommit(store.m_db)) return;
    sqlite3_stmt* begin = store.Prepare("BEGIN");
    if (begin == nullptr || CStmt(begin).Step() != SQLITE_DONE) return;
    m_own = true;
    // Reading the data version opens the snapshot; the caches hold for it when it has not moved.
    CStmt version(store.Prepare("PRAGMA data_version"));
    if (!version.Ok() || version.Step() != SQLITE_ROW) return;
    const int64_t now = version.Int(0);
    if (now != store.m_cacheVersion) {
        store.DropCaches();
        store.m_cacheVersion = now;
    }
    store.m_cacheChecked = true;
}

CReadScope::~CReadScope() {
    m_store.m_cacheChecked = false;
    if (!m_own) return;
    sqlite3_stmt* commit = m_store.Prepare("COMMIT");
    const bool done = commit != nullptr && CStmt(commit).Step() == SQLITE_DONE;
    if (!done) m_store.Rollback();
}

void CSqliteStore::DropCaches() {
    m_dbIds.clear();
    m_keyCache.clear();
    m_lastHits.m_valid = false;
    m_lastHits.m_hits = std::vector<uint32_t>();
    m_cacheVersion = -1;
}

bool CSqliteStore::FindDatabase(const std::string& name, int64_t& id, StrataStatus& st) {
    if (m_cacheChecked) {
        const auto it = m_dbIds.find(name);
        if (it != m_dbIds.end()) {
            id = it->second;
            return true;
        }
    }
    CStmt s(Prepare("SELECT id FROM databases WHERE name=?1"));
    if (!s.Ok()) return SqlFail(st, "find database");
    s.Bind(1, name);
    const int rc = s.Step();
    if (rc == SQLITE_ROW) {
        id = s.Int(0);
        if (m_cacheChecked && m_dbIds.size() < kMaxCachedNames) m_dbIds.emplace(name, id);
        return true;
    }
    if (rc != SQLITE_DONE) return SqlFail(st, "find database");
    return st.Set(kStrataBadPath, "no database [" + name + "]");
}

bool CSqliteStore::Login(const std::string& user, const std::string& password, int& rights,
                         StrataStatus& st) {
    CStmt s(Prepare("SELECT salt, hash, rights FROM accounts WHERE name=?1"));
    if (!s.Ok()) return SqlFail(st, "login");
    s.Bind(1, user);
    const int rc = s.Step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return SqlFail(st, "login");
    if (rc == SQLITE_DONE || password.size() > kStrataMaxPassword ||
        !StrataSameHash(StrataHashPassword(s.Text(0), password), s.Text(1))) {
        return st.Set(kStrataLoginFailed, "user [" + user + "]");
    }
    rights = int(s.Int(2));
    return true;
}

bool CSqliteStore::ListDatabases(std::vector<StrataDatabaseInfo>& out, bool, StrataStatus& st) {
    out.clear();
    CStmt s(Prepare("SELECT name, records FROM databases ORDER BY id"));
    if (!s.Ok()) return SqlFail(st, "list databases");
    int rc;
    while ((rc = s.Step()) == SQLITE_ROW) out.push_back(StrataDatabaseInfo{s.Text(0), s.Int(1)});
    return rc == SQLITE_DONE || SqlFail(st, "list databases");
}

bool CSqliteStore::AddDatabase(const std::string& name, StrataStatus& st) {
    if (!StrataValidName(name, 64, true)) return st.Set(kStrataBadArgument, "database name [" + name + "]");
    DropCaches();
    CStmt s(Prepare("INSERT INTO databases(name) VALUES(?1)"));
    if (!s.Ok()) return SqlFail(st, "add database");
    s.Bind(1, name);
    if (s.Step() == SQLITE_DONE) return true;
    if (sqlite3_extended_errcode(m_db) == SQLITE_CONSTRAINT_UNIQUE) {
        return st.Set(kStrataBadArgument, "database [" + name + "] exists already");
    }
    return SqlFail(st, "add database");
}

bool CSqliteStore::DropDatabase(const std::string& name, StrataStatus& st) {
    if (!Begin(st)) return false;
    int64_t id = 0;
    bool ok = FindDatabase(name, id, st);
    const char* const steps[] = {
        "DELETE FROM postings WHERE k IN (SELECT id FROM keys WHERE db=?1 UNION ALL SELECT -id FROM keys WHERE db=?1)",
        "DELETE FROM sortkeys WHERE k IN (SELECT id FROM keys WHERE db=?1)",
        "DELETE FROM keys WHERE db=?1",
        "DELETE FROM cfgfiles WHERE db=?1",
        "DELETE FROM records WHERE id BETWEEN ?1 * 100000000 AND ?1 * 100000000 + 99999999",
        "DELETE FROM databases WHERE id=?1",
    };
    for (const char* sql : steps) {
        if (!ok) break;
        CStmt s(Prepare(sql));
        ok = s.Ok() && s.Bind(1, id).Step() == SQLITE_DONE;
        if (!ok) SqlFail(st, "drop database");
    }
    if (!ok) {
        Rollback();
        return false;
    }
    return Commit(st);
}

bool CSqliteStore::ReadCfgFile(const std::string& db, const std::string& file, std::string& content,
                               StrataStatus& st) {
    int64_t id = 0;
    if (!FindDatabase(db, id, st)) return false;
    CStmt s(Prepare("SELECT content FROM cfgfiles WHERE db=?1 AND name=?2"));
    if (!s.Ok()) return SqlFail(st, "read cfg file");
    s.Bind(1, id).Bind(2, file);
    const int rc = s.Step();
    if (rc == SQLITE_ROW) {
        content = s.Text(0);
        return true;
    }
    if (rc != SQLITE_DONE) return SqlFail(st, "read cfg file");
    return st.Set(kStrataBadPath, "no file [" + db + "/cfgs/" + file + "]");
}

bool CSqliteStore::PutCfgFile(const std::string& db, const std::string& file, const std::string& content,
                              StrataStatus& st) {
    if (!StrataValidFileName(file)) return st.Set(kStrataBadArgument, "cfg file name [" + file + "]");
    if (content.size() > 4u * 1024u * 1024u) return st.Set(kStrataBadArgument, file + " is larger than 4 MiB");
    if (content.find('\0') != std::string::npos) return st.Set(kStrataBadArgument, file + " holds a zero octet");
    size_t lineStart = 0;
    while (lineStart <= content.size()) {
        size_t end = content.find('\n', lineStart);
        if (end == std::string::npos) end = content.size();
        if (end - lineStart > 4000) return st.Set(kStrataBadArgument, file + " has a line longer than 4000 octets");
        lineStart = end + 1;
    }
    const bool isKeys = strcasecmp(file.c_str(), "keys.cfg") == 0;
    if (isKeys) {
        CKeysTree keys;
        try {
            keys.BuildTree(content);
        } catch (const CError& e) {
            return st.Set(kStrataBadArgument, "keys.cfg line " + std::to_string(e.GetLine()) + " column " +
                                                  std::to_string(e.GetColumn()) + ": " + e.GetMessage());
        }
        std::string error;
        if (!CheckKeyNames(keys, error)) return st.Set(kStrataBadArgument, error);
    }
    if (!Begin(st)) return false;
    int64_t id = 0;
    bool ok = FindDatabase(db, id, st);
    if (ok) {
        CStmt s(Prepare("INSERT OR REPLACE INTO cfgfiles(db, name, content) VALUES(?1, ?2, ?3)"));
        ok = s.Ok() && s.Bind(1, id).Bind(2, file).BindBlob(3, content).Step() == SQLITE_DONE;
        if (!ok) SqlFail(st, "put cfg file");
    }
    if (ok && isKeys) {
        CBulkCache cache(m_db);
        ok = ReindexLocked(id, st);
    }
    if (!ok) {
        Rollback();
        return false;
    }
    return Commit(st);
}

bool CSqliteStore::ListCfgFiles(const std::string& db, std::vector<std::string>& names, StrataStatus& st) {
    names.clear();
    int64_t id = 0;
    if (!FindDatabase(db, id, st)) return false;
    CStmt s(Prepare("SELECT name FROM cfgfiles WHERE db=?1 ORDER BY name"));
    if (!s.Ok()) return SqlFail(st, "list cfg files");
    s.Bind(1, id);
    int rc;
    while ((rc = s.Step()) == SQLITE_ROW) names.push_back(s.Text(0));
    return rc == SQLITE_DONE || SqlFail(st, "list cfg files");
}

bool CSqliteStore::PutAccount(const std::string& name, const std::string* password, int rights, bool create,
                              StrataStatus& st) {
    if (!StrataValidName(name, 64, false)) return st.Set(kStrataBadArgument, "account name [" + name + "]");
    if (password && password->size() > kStrataMaxPassword) return st.Set(kStrataBadArgument, "password too long");
    if (rights > (kStrataRightRead | kStrataRightWrite)) return st.Set(kStrataBadArgument, "rights");
    if (create) {
        if (!password || rights < 0) return st.Set(kStrataBadArgument, "a new account needs password and rights");
        const std::string salt = StrataNewSalt();
        if (salt.empty()) return st.Set(kStrataStoreError, "no random salt available");
        CStmt s(Prepare("INSERT INTO accounts(name, salt, hash, rights) VALUES(?1, ?2, ?3, ?4)"));
        if (!s.Ok()) return SqlFail(st, "add account");
        s.Bind(1, name).BindBlob(2, salt).BindBlob(3, StrataHashPassword(salt, *password)).Bind(4, rights);
        if (s.Step() == SQLITE_DONE) return true;
        if (sqlite3_extended_errcode(m_db) == SQLITE_CONSTRAINT_PRIMARYKEY) {
            return st.Set(kStrataBadArgument, "account [" + name + "] exists already");
        }
        return SqlFail(st, "add account");
    }
    if (password) {
        const std::string salt = StrataNewSalt();
        if (salt.empty()) return st.Set(kStrataStoreError, "no random salt available");
        CStmt s(Prepare("UPDATE accounts SET salt=?2, hash=?3 WHERE name=?1"));
        if (!s.Ok()) return SqlFail(st, "change account");
        s.Bind(1, name).BindBlob(2, salt).BindBlob(3, StrataHashPassword(salt, *password));
        if (s.Step() != SQLITE_DONE) return SqlFail(st, "change account");
        if (sqlite3_changes(m_db) == 0) return st.Set(kStrataBadArgument, "no account [" + name + "]");
    }
    if (rights >= 0) {
        CStmt s(Prepare("UPDATE accounts SET rights=?2 WHERE name=?1"));
        if (!s.Ok()) return SqlFail(st, "change account");
        if (s.Bind(1, name).Bind(2, rights).Step() != SQLITE_DONE) return SqlFail(st, "change account");
        if (sqlite3_changes(m_db) == 0) return st.Set(kStrataBadArgument, "no account [" + name + "]");
    }
    return true;
}

bool CSqliteStore::RemoveAccount(const std::string& name, StrataStatus& st) {
    CStmt s(Prepare("DELETE FROM accounts WHERE name=?1"));
    if (!s.Ok() || s.Bind(1, name).Step() != SQLITE_DONE) return SqlFail(st, "remove account");
    if (sqlite3_changes(m_db) == 0) return st.Set(kStrataBadArgument, "no account [" + name + "]");
    return true;
}

bool CSqliteStore::ListAccounts(std::vector<StrataAccountInfo>& out, StrataStatus& st) {
    out.clear();
    CStmt s(Prepare("SELECT name, rights FROM accounts ORDER BY name"));
    if (!s.Ok()) return SqlFail(st, "list accounts");
    int rc;
    while ((rc = s.Step()) == SQLITE_ROW) out.push_back(StrataAccountInfo{s.Text(0), int(s.Int(1)), {}, {}});
    return rc == SQLITE_DONE || SqlFail(st, "list accounts");
}

bool CSqliteStore::ExportAccounts(std::vector<StrataAccountInfo>& out, StrataStatus& st) {
    out.clear();
    CStmt s(Prepare("SELECT name, rights, salt, hash FROM accounts ORDER BY name"));
    if (!s.Ok()) return SqlFail(st, "export accounts");
    int rc;
    while ((rc = s.Step()) == SQLITE_ROW) out.push_back(StrataAccountInfo{s.Text(0), int(s.Int(1)), s.Text(2), s.Text(3)});
    return rc == SQLITE_DONE || SqlFail(st, "export accounts");
}

bool CSqliteStore::ImportAccount(const StrataAccountInfo& a, StrataStatus& st) {
    if (!StrataValidName(a.m_name, 64, false)) return st.Set(kStrataBadArgument, "account name [" + a.m_name + "]");
    CStmt s(Prepare("INSERT OR REPLACE INTO accounts(name, salt, hash, rights) VALUES(?1, ?2, ?3, ?4)"));
    if (!s.Ok()) return SqlFail(st, "import account");
    s.Bind(1, a.m_name).BindBlob(2, a.m_salt).BindBlob(3, a.m_hash).Bind(4, a.m_rights);
    return s.Step() == SQLITE_DONE || SqlFail(st, "import account");
}
