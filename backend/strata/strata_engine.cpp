// CStrataEngine: calls and statements, opening and upgrading a store, databases, cfgs files and
// accounts.
#include "backend/strata/strata_engine.h"

#include <strings.h>

#include "backend/strata/strata_account.h"
#include "backend/strata/strata_errors.h"

bool StrataStatus::Set(int code, const std::string& detail) {
    m_code = code;
    m_text = StrataErrorMessage(code, detail);
    return false;
}

CStrataCall::CStrataCall(CStrataEngine& engine, StrataStatus& st, StrataRoute route)
    : m_engine(engine), m_st(st), m_conn(engine.m_driver->Lease(route, st)) {}

CStrataCall::~CStrataCall() {
    if (!m_conn) return;
    if (m_own && m_conn->InTransaction()) m_conn->Rollback();
    if (m_own) m_engine.m_snapshot = -2;
    m_engine.m_driver->Release(m_conn, m_wrote);
}

bool CStrataCall::Retryable() { return m_engine.m_driver->Retryable(m_conn); }

bool CStrataCall::Begin(StrataTx tx) {
    if (m_conn->InTransaction()) return true;
    // The caches do not see this connection's own writes: they go before it writes.
    if (tx == StrataTx::kWrite) m_engine.DropCaches();
    if (!m_conn->Begin(tx, m_st)) return false;
    m_own = true;
    m_writing = tx == StrataTx::kWrite;
    m_engine.m_snapshot = tx == StrataTx::kRead ? m_conn->Snapshot() : -2;
    return true;
}

bool CStrataCall::Commit() {
    if (!m_own) return true;
    m_own = false;
    m_engine.m_snapshot = -2;
    // Only a write moves the position this channel's later reads wait for.
    const bool writing = m_writing && m_conn->InTransaction();
    if (!m_conn->Commit(m_st)) return false;
    m_wrote = writing;
    return true;
}

CQuery::CQuery(CStrataCall& call, StrataSql id, const char* what)
    : m_call(call), m_s(call.Conn().Statement(id, call.Status())), m_what(what), m_failed(m_s == nullptr) {}

bool CQuery::Next() {
    if (m_failed) return false;
    const int rc = m_s->Step(m_call.Status(), m_what);
    if (rc == kStrataFailed) m_failed = true;
    return rc == kStrataRow;
}

bool CQuery::Run() {
    while (Next()) {
    }
    return !m_failed;
}

std::unique_ptr<IStrataStore> CStrataEngine::Open(std::unique_ptr<IStrataDriver> driver, bool create,
                                                  StrataStatus& st) {
    auto engine = std::make_unique<CStrataEngine>(std::move(driver));
    if (create) {
        std::string empty;
        if (!engine->CreateSchema(st) || !engine->PutAccount("public", &empty, kStrataRightRead, true, st))
            return nullptr;
    } else if (!engine->CheckLayout(st)) {
        return nullptr;
    }
    return engine;
}

bool CStrataEngine::CreateSchema(StrataStatus& st) {
    CStrataCall call(*this, st);
    return call.Ok() && m_driver->CreateLayout(call.Conn(), st);
}

// Layout 1 kept one postings row per key, token and record; layout 2 folded keys without
// Unicode case folding and kept MARC 21 main entries loaded from UTF-8 in UTF-8. Both are
// re-keyed from their records; layout 3 had no sort values, which come from the records. All in
// the one transaction the driver opened under its upgrade lock.
bool CStrataEngine::CheckLayout(StrataStatus& st) {
    CStrataCall call(*this, st);
    int level = 0;
    if (!call.Ok() || !m_driver->CheckLayout(call.Conn(), level, st)) return false;
    if (level >= kStrataLayout) return true;
    call.m_own = true;
    call.m_writing = true;
    IStrataConn& conn = call.Conn();
    conn.Bulk(true);
    std::vector<int64_t> dbs;
    bool ok = m_driver->UpgradeTables(conn, level, st);
    CQuery list(call, StrataSql::kListDatabases, "upgrade the store layout");
    while (ok && list.Next()) dbs.push_back(list.Int(2));
    ok = ok && !list.Failed();
    for (size_t i = 0; ok && i < dbs.size(); ++i) {
        ok = level < 3 ? MendMainEntries(call, dbs[i]) && ReindexLocked(call, dbs[i]) : FillSortValues(call, dbs[i]);
    }
    ok = ok && m_driver->MarkLayout(conn, st) && call.Commit();
    conn.Bulk(false);
    return ok;
}

bool CStrataEngine::MendMainEntries(CStrataCall& call, int64_t db) {
    constexpr int64_t kSlice = 20000;
    std::vector<std::pair<int64_t, std::string>> changed;
    for (int64_t after = 0;;) {
        int64_t rows = 0;
        changed.clear();
        {
            CQuery slice(call, StrataSql::kRecordsAfter, "upgrade the records");
            slice.Bind(1, db).Bind(2, after).Bind(3, kSlice);
            while (slice.Next()) {
                ++rows;
                after = slice.Int(0);
                std::string diriv = slice.Text(1);
                if (StrataMendMainEntries(diriv)) changed.emplace_back(after, std::move(diriv));
            }
            if (slice.Failed()) return false;
        }
        for (const auto& [number, diriv] : changed) {
            CQuery put(call, StrataSql::kPutRecord, "upgrade the records");
            if (!put.Bind(1, db).Bind(2, number).Blob(3, diriv).Run()) return false;
        }
        if (rows < kSlice) return true;
    }
}

void CStrataEngine::DropCaches() {
    m_names.clear();
    m_namesSnapshot = -2;
    m_lastHits = HitList();
    m_dictionary = Dictionary();
}

bool CStrataEngine::FindDatabase(CStrataCall& call, const std::string& name, StrataDbKey& found, bool forWrite) {
    CQuery q(call, forWrite ? StrataSql::kFindDatabaseForWrite : StrataSql::kFindDatabase, "find database");
    if (q.Bind(1, StrataFold(name)).Next()) {
        found.m_db = q.Int(0);
        found.m_gen = q.Int(1);
        return true;
    }
    return !q.Failed() && call.Status().Set(kStrataBadPath, "no database [" + name + "]");
}

bool CStrataEngine::FindKey(CStrataCall& call, const std::string& db, const std::string& keyName, StrataDbKey& found) {
    const bool cached = m_snapshot >= 0;
    if (cached && m_namesSnapshot != m_snapshot) {
        m_names.clear();
        m_namesSnapshot = m_snapshot;
    }
    const auto entry = std::make_pair(db, keyName);
    if (cached) {
        const auto it = m_names.find(entry);
        if (it != m_names.end()) {
            found = it->second;
            return true;
        }
    }
    CQuery q(call, StrataSql::kFindDatabaseKey, "find key");
    if (!q.Bind(1, StrataFold(db)).Bind(2, StrataFold(keyName)).Next()) {
        return !q.Failed() && call.Status().Set(kStrataBadPath, "no database [" + db + "]");
    }
    found.m_db = q.Int(0);
    found.m_gen = q.Int(1);
    found.m_key.m_id = q.Int(2);
    if (found.m_key.m_id == 0) return call.Status().Set(kStrataBadPath, "no search key [" + keyName + "]");
    found.m_key.m_entry = StrataKeyFromText(q.Text(3), q.Text(4));
    if (cached && m_names.size() < kMaxCachedNames) m_names.emplace(entry, found);
    return true;
}

bool CStrataEngine::Login(const std::string& user, const std::string& password, int& rights, StrataStatus& st) {
    CStrataCall call(*this, st);
    if (!call.Ok()) return false;
    CQuery q(call, StrataSql::kLogin, "login");
    const bool known = q.Bind(1, user).Next();
    if (q.Failed()) return false;
    if (!known || password.size() > kStrataMaxPassword ||
        !StrataSameHash(StrataHashPassword(q.Text(0), password), q.Text(1))) {
        return st.Set(kStrataLoginFailed, "user [" + user + "]");
    }
    rights = int(q.Int(2));
    return true;
}

bool CStrataEngine::ListDatabases(std::vector<StrataDatabaseInfo>& out, bool, StrataStatus& st) {
    return OnRead(st, [&](CStrataCall& call) {
        out.clear();
        CQuery q(call, StrataSql::kListDatabases, "list databases");
        while (q.Next()) out.push_back(StrataDatabaseInfo{q.Text(0), q.Int(1)});
        return !q.Failed();
    });
}

bool CStrataEngine::AddDatabase(const std::string& name, StrataStatus& st) {
    if (!StrataValidName(name, 64, true)) return st.Set(kStrataBadArgument, "database name [" + name + "]");
    DropCaches();
    CStrataCall call(*this, st);
    if (!call.Ok()) return false;
    CQuery q(call, StrataSql::kAddDatabase, "add database");
    if (q.Bind(1, name).Bind(2, StrataFold(name)).Run()) return true;
    if (q.Duplicate()) return st.Set(kStrataBadArgument, "database [" + name + "] exists already");
    return false;
}

bool CStrataEngine::DropDatabase(const std::string& name, StrataStatus& st) {
    return OnWrite(st, [&](CStrataCall& call) {
        StrataDbKey found;
        if (!FindDatabase(call, name, found, true)) return false;
        for (StrataSql step : {StrataSql::kDropPostings, StrataSql::kDropSortValues, StrataSql::kDropKeys, StrataSql::kDropCfgFiles,
                               StrataSql::kDropRecords, StrataSql::kDropDatabase}) {
            if (!CQuery(call, step, "drop database").Bind(1, found.m_db).Run()) return false;
        }
        return true;
    });
}

bool CStrataEngine::ReadCfgFile(const std::string& db, const std::string& file, std::string& content,
                                StrataStatus& st) {
    return OnRead(st, [&](CStrataCall& call) {
        StrataDbKey found;
        if (!FindDatabase(call, db, found)) return false;
        CQuery q(call, StrataSql::kReadCfgFile, "read cfg file");
        if (q.Bind(1, found.m_db).Bind(2, StrataFold(file)).Next()) {
            content = q.Text(0);
            return true;
        }
        return !q.Failed() && st.Set(kStrataBadPath, "no file [" + db + "/cfgs/" + file + "]");
    });
}

bool CStrataEngine::PutCfgFile(const std::string& db, const std::string& file, const std::string& content,
                               StrataStatus& st) {
    std::string error;
    if (!StrataCheckCfgFile(file, content, error)) return st.Set(kStrataBadArgument, error);
    return OnWrite(st, [&](CStrataCall& call) {
        StrataDbKey found;
        if (!FindDatabase(call, db, found, true) || !CQuery(call, StrataSql::kPutCfgFile, "put cfg file")
                                                         .Bind(1, found.m_db)
                                                         .Bind(2, file)
                                                         .Bind(3, StrataFold(file))
                                                         .Blob(4, content)
                                                         .Run()) {
            return false;
        }
        if (strcasecmp(file.c_str(), "keys.cfg") != 0) return true;
        call.Conn().Bulk(true);
        const bool ok = ReindexLocked(call, found.m_db);
        call.Conn().Bulk(false);
        return ok;
    });
}

bool CStrataEngine::ListCfgFiles(const std::string& db, std::vector<std::string>& names, StrataStatus& st) {
    names.clear();
    CStrataCall call(*this, st);
    StrataDbKey found;
    if (!call.Ok() || !FindDatabase(call, db, found)) return false;
    CQuery q(call, StrataSql::kListCfgFiles, "list cfg files");
    q.Bind(1, found.m_db);
    while (q.Next()) names.push_back(q.Text(0));
    return !q.Failed();
}

bool CStrataEngine::PutAccount(const std::string& name, const std::string* password, int rights, bool create,
                               StrataStatus& st) {
    if (!StrataValidName(name, 64, false)) return st.Set(kStrataBadArgument, "account name [" + name + "]");
    if (password && password->size() > kStrataMaxPassword) return st.Set(kStrataBadArgument, "password too long");
    if (rights > (kStrataRightRead | kStrataRightWrite)) return st.Set(kStrataBadArgument, "rights");
    if (create && (!password || rights < 0)) return st.Set(kStrataBadArgument, "a new account needs password and rights");
    std::string salt;
    if (password) {
        salt = StrataNewSalt();
        if (salt.empty()) return st.Set(kStrataStoreError, "no random salt available");
    }
    const std::string hash = password ? StrataHashPassword(salt, *password) : std::string();
    if (create) {
        CStrataCall call(*this, st);
        if (!call.Ok()) return false;
        CQuery q(call, StrataSql::kAddAccount, "add account");
        if (q.Bind(1, name).Blob(2, salt).Blob(3, hash).Bind(4, int64_t(rights)).Run()) return true;
        if (q.Duplicate()) return st.Set(kStrataBadArgument, "account [" + name + "] exists already");
        return false;
    }
    return OnWrite(st, [&](CStrataCall& call) {
        const std::string missing = "no account [" + name + "]";
        if (password) {
            CQuery q(call, StrataSql::kSetPassword, "change account");
            if (!q.Bind(1, name).Blob(2, salt).Blob(3, hash).Run()) return false;
            if (q.Changes() == 0) return st.Set(kStrataBadArgument, missing);
        }
        if (rights >= 0) {
            CQuery q(call, StrataSql::kSetRights, "change account");
            if (!q.Bind(1, name).Bind(2, int64_t(rights)).Run()) return false;
            if (q.Changes() == 0) return st.Set(kStrataBadArgument, missing);
        }
        return true;
    });
}

bool CStrataEngine::RemoveAccount(const std::string& name, StrataStatus& st) {
    CStrataCall call(*this, st);
    if (!call.Ok()) return false;
    CQuery q(call, StrataSql::kRemoveAccount, "remove account");
    if (!q.Bind(1, name).Run()) return false;
    return q.Changes() > 0 || st.Set(kStrataBadArgument, "no account [" + name + "]");
}

bool CStrataEngine::ExportAccounts(std::vector<StrataAccountInfo>& out, StrataStatus& st) {
    out.clear();
    CStrataCall call(*this, st);
    if (!call.Ok()) return false;
    CQuery q(call, StrataSql::kListAccounts, "list accounts");
    while (q.Next()) out.push_back(StrataAccountInfo{q.Text(0), int(q.Int(1)), q.Text(2), q.Text(3)});
    return !q.Failed();
}

bool CStrataEngine::ListAccounts(std::vector<StrataAccountInfo>& out, StrataStatus& st) {
    if (!ExportAccounts(out, st)) return false;
    for (StrataAccountInfo& a : out) a.m_salt.clear(), a.m_hash.clear();
    return true;
}

bool CStrataEngine::ImportAccount(const StrataAccountInfo& a, StrataStatus& st) {
    if (!StrataValidName(a.m_name, 64, false)) return st.Set(kStrataBadArgument, "account name [" + a.m_name + "]");
    CStrataCall call(*this, st);
    return call.Ok() && CQuery(call, StrataSql::kImportAccount, "import account")
                            .Bind(1, a.m_name)
                            .Blob(2, a.m_salt)
                            .Blob(3, a.m_hash)
                            .Bind(4, int64_t(a.m_rights))
                            .Run();
}
