#include "backend/strata/strata_admin.h"

#include "backend/strata/pg_notify.h"
#include "backend/strata/pg_store.h"
#include "backend/strata/strata_store.h"

namespace {

// "pg:CONNINFO", "sqlite:FILE" or a plain file name.
std::unique_ptr<IStrataStore> OpenStoreSpec(const std::string& spec, bool create, StrataStatus& st) {
    if (spec.rfind("pg:", 0) == 0) {
        const std::string conninfo = spec.substr(3);
        return OpenCachedPgStore(PgTarget{conninfo, PgDescribe(conninfo), 4, {}}, create, st);
    }
    return OpenSqliteStore(spec.rfind("sqlite:", 0) == 0 ? spec.substr(7) : spec, create, st);
}

int Result(bool ok, const StrataStatus& st, std::string& error) {
    if (ok) return 0;
    error = st.m_text;
    return -1;
}

}  // namespace

CStrataAdmin::CStrataAdmin(std::unique_ptr<IStrataStore> store) : m_store(std::move(store)) {}
CStrataAdmin::~CStrataAdmin() = default;

std::unique_ptr<CStrataAdmin> CStrataAdmin::Create(const std::string& file, std::string& error) {
    StrataStatus st;
    auto store = OpenStoreSpec(file, true, st);
    if (!store) {
        error = st.m_text;
        return nullptr;
    }
    return std::unique_ptr<CStrataAdmin>(new CStrataAdmin(std::move(store)));
}

std::unique_ptr<CStrataAdmin> CStrataAdmin::Open(const std::string& file, std::string& error) {
    StrataStatus st;
    auto store = OpenStoreSpec(file, false, st);
    if (!store) {
        error = st.m_text;
        return nullptr;
    }
    return std::unique_ptr<CStrataAdmin>(new CStrataAdmin(std::move(store)));
}

int CStrataAdmin::AddDatabase(const std::string& name, std::string& error) {
    StrataStatus st;
    return Result(m_store->AddDatabase(name, st), st, error);
}

int CStrataAdmin::DropDatabase(const std::string& name, std::string& error) {
    StrataStatus st;
    return Result(m_store->DropDatabase(name, st), st, error);
}

int CStrataAdmin::ListDatabases(std::vector<StrataDatabaseInfo>& out, std::string& error) {
    StrataStatus st;
    return Result(m_store->ListDatabases(out, true, st), st, error) < 0 ? -1 : int(out.size());
}

int CStrataAdmin::PutCfgFile(const std::string& db, const std::string& file, const std::string& content,
                             std::string& error) {
    StrataStatus st;
    return Result(m_store->PutCfgFile(db, file, content, st), st, error);
}

int CStrataAdmin::GetCfgFile(const std::string& db, const std::string& file, std::string& content,
                             std::string& error) {
    StrataStatus st;
    return Result(m_store->ReadCfgFile(db, file, content, st), st, error);
}

int CStrataAdmin::ListCfgFiles(const std::string& db, std::vector<std::string>& names, std::string& error) {
    StrataStatus st;
    return Result(m_store->ListCfgFiles(db, names, st), st, error) < 0 ? -1 : int(names.size());
}

int CStrataAdmin::LoadRecords(const std::string& db, const std::vector<std::string>& dirivs,
                              std::vector<StrataRejectedRecord>& rejected, std::string& error) {
    StrataStatus st;
    const int n = m_store->LoadRecords(db, dirivs, rejected, st);
    if (n < 0) error = st.m_text;
    return n;
}

int64_t CStrataAdmin::NextRecordNumber(const std::string& db, std::string& error) {
    StrataStatus st;
    const int64_t n = m_store->NextRecordNumber(db, st);
    if (n < 0) error = st.m_text;
    return n;
}

int CStrataAdmin::GetRecord(const std::string& db, int64_t number, std::string& diriv, std::string& error) {
    StrataStatus st;
    return Result(m_store->ReadRecord(db, number, diriv, st), st, error);
}

int CStrataAdmin::DeleteRecord(const std::string& db, int64_t number, std::string& error) {
    StrataStatus st;
    return Result(m_store->WriteRecord(db, number, StrataWrite::kDelete, std::string(), st), st, error);
}

int64_t CStrataAdmin::ForEachRecord(const std::string& db,
                                    const std::function<bool(int64_t, const std::string&)>& visit,
                                    std::string& error) {
    StrataStatus st;
    const int64_t n = m_store->ForEachRecord(db, visit, st);
    if (n < 0) error = st.m_text;
    return n;
}

int CStrataAdmin::ReindexDatabase(const std::string& db, std::string& error) {
    StrataStatus st;
    return Result(m_store->Reindex(db, st), st, error);
}

int CStrataAdmin::AddAccount(const std::string& name, const std::string& password, int rights, std::string& error) {
    StrataStatus st;
    return Result(m_store->PutAccount(name, &password, rights, true, st), st, error);
}

int CStrataAdmin::ChangeAccount(const std::string& name, const std::string* password, int rights,
                                std::string& error) {
    StrataStatus st;
    return Result(m_store->PutAccount(name, password, rights, false, st), st, error);
}

int CStrataAdmin::RemoveAccount(const std::string& name, std::string& error) {
    StrataStatus st;
    return Result(m_store->RemoveAccount(name, st), st, error);
}

int CStrataAdmin::ListAccounts(std::vector<StrataAccountInfo>& out, std::string& error) {
    StrataStatus st;
    return Result(m_store->ListAccounts(out, st), st, error) < 0 ? -1 : int(out.size());
}

int CStrataAdmin::ExportAccounts(std::vector<StrataAccountInfo>& out, std::string& error) {
    StrataStatus st;
    return Result(m_store->ExportAccounts(out, st), st, error) < 0 ? -1 : int(out.size());
}

int CStrataAdmin::ImportAccount(const StrataAccountInfo& account, std::string& error) {
    StrataStatus st;
    return Result(m_store->ImportAccount(account, st), st, error);
}
