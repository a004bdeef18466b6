#pragma once
// CStrataAdmin: administration of a Strata store, the embedded one (one SQLite file) or one on a
// PostgreSQL server: databases and their cfgs files, bulk record loading, accounts, listing,
// export and reindexing. Used by tools/strata and the demo builder; the server itself only goes
// through CConnect. A store is named by "sqlite:FILE", "pg:CONNINFO" (a libpq connection string
// or URI) or a plain file name.
// Thread safety: one CStrataAdmin per thread. Several admins and channels may use the same store
// file at the same time (SQLite WAL; writers wait for each other up to the busy timeout).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class IStrataStore;

// Account rights (bit set).
constexpr int kStrataRightRead = 1;
constexpr int kStrataRightWrite = 2;

// Largest record number that fits the 7-digit form of the record paths.
constexpr int64_t kStrataMaxRecordNumber = 9999999;

struct StrataDatabaseInfo {
    std::string m_name;  // database name = its back-end path in local mode
    int64_t m_records = 0;
};

struct StrataAccountInfo {
    std::string m_name;
    int m_rights = 0;  // kStrataRight* bits
    std::string m_salt;  // filled by ExportAccounts only
    std::string m_hash;
};

// One record refused by a bulk load: its 0-based position in the batch and why.
struct StrataRejectedRecord {
    size_t m_position = 0;
    std::string m_reason;
};

// The store file of an instance: folder + "/" + instanceName + ".strata" (folder "" = current).
std::string StrataStoreFile(const std::string& folder, const std::string& instanceName);

class CStrataAdmin {
public:
    ~CStrataAdmin();
    CStrataAdmin(const CStrataAdmin&) = delete;
    CStrataAdmin& operator=(const CStrataAdmin&) = delete;

    // Creates a new, empty store (fails when the file exists, or when the PostgreSQL database holds
    // a store already) with the account "public" (empty password, read right). Returns the admin,
    // owned by the caller, or null with `error`.
    static std::unique_ptr<CStrataAdmin> Create(const std::string& file, std::string& error);
    // Opens an existing store. Null with `error` when the file is missing or not a store.
    static std::unique_ptr<CStrataAdmin> Open(const std::string& file, std::string& error);

    // All int results below: 0 (or a count) on success, -1 on failure with `error` set.

    // Database names: 1-64 octets, no "/", no "|", no control characters; unique without regard
    // to case. Dropping removes its records, index and cfgs files in one transaction.
    int AddDatabase(const std::string& name, std::string& error);
    int DropDatabase(const std::string& name, std::string& error);
    int ListDatabases(std::vector<StrataDatabaseInfo>& out, std::string& error);

    // cfgs files (use.cfg, property.cfg, zbrief.cfg, keys.cfg, ...): names of letters, digits,
    // "_", "-", "."; content up to 4 MiB, lines up to 4000 octets, no zero octets. Putting
    // keys.cfg checks its syntax (CError text with line and column in `error`) and reindexes the
    // database in the same transaction.
    int PutCfgFile(const std::string& db, const std::string& file, const std::string& content,
                   std::string& error);
    int GetCfgFile(const std::string& db, const std::string& file, std::string& content,
                   std::string& error);
    int ListCfgFiles(const std::string& db, std::vector<std::string>& names, std::string& error);

    // Loads Diriv records in one transaction: each record's 001 must hold its record number (1 to
    // kStrataMaxRecordNumber, 7 digits); an existing record of that number is replaced. A record
    // that is malformed or has no valid 001 is skipped and listed in `rejected`; the others are
    // written with their index entries. Returns the number written, -1 (nothing written) when the
    // database is missing or the store fails.
    int LoadRecords(const std::string& db, const std::vector<std::string>& dirivs,
                    std::vector<StrataRejectedRecord>& rejected, std::string& error);
    // The next free record number (highest + 1; 1 for an empty database). -1 on failure.
    int64_t NextRecordNumber(const std::string& db, std::string& error);
    int GetRecord(const std::string& db, int64_t number, std::string& diriv, std::string& error);
    int DeleteRecord(const std::string& db, int64_t number, std::string& error);
    // Calls `visit` for every record in number order until it returns false. Returns the number
    // of records visited.
    int64_t ForEachRecord(const std::string& db,
                          const std::function<bool(int64_t number, const std::string& diriv)>& visit,
                          std::string& error);
    // Rebuilds the index of a database from its records and keys.cfg, in one transaction.
    int ReindexDatabase(const std::string& db, std::string& error);

    // Accounts: names of 1-64 printable octets; passwords up to 256 octets (empty allowed), kept
    // as salted SHA-256 hashes. rights: kStrataRight* bits.
    int AddAccount(const std::string& name, const std::string& password, int rights,
                   std::string& error);
    // Changes the password (when `password` is non-null) and the rights (when rights >= 0).
    int ChangeAccount(const std::string& name, const std::string* password, int rights,
                      std::string& error);
    int RemoveAccount(const std::string& name, std::string& error);
    int ListAccounts(std::vector<StrataAccountInfo>& out, std::string& error);
    // Accounts with their salts and password hashes, for copying a store; importing adds or
    // overwrites an account as exported.
    int ExportAccounts(std::vector<StrataAccountInfo>& out, std::string& error);
    int ImportAccount(const StrataAccountInfo& account, std::string& error);

private:
    explicit CStrataAdmin(std::unique_ptr<IStrataStore> store);
    std::unique_ptr<IStrataStore> m_store;
};
