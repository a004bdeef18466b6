#pragma once
// IStrataStore: one connection to a back-end store, the seam between the channel library and the
// store engine (strata_engine.h) over one of its drivers, and the registry that maps interface
// file names and admin store specs to them (strata_interfaces.cpp). Internal to vkstrata.
// Thread safety: one thread uses a connection, except Interrupt(), which any thread may call.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "backend/strata/strata_admin.h"
#include "backend/strata/strata_channel.h"
#include "backend/strata/strata_scan.h"
#include "backend/strata/strata_sortkeys.h"

struct StrataStatus {
    int m_code = 0;
    std::string m_text;
    bool Set(int code, const std::string& detail);  // sets, returns false
};

// Write styles of API_Write.
enum class StrataWrite { kInsert, kReplace, kDelete, kPut /* insert or replace (loads) */ };

class IStrataStore {
public:
    virtual ~IStrataStore() = default;

    // Any thread: makes the call in progress (and the next one if none is running) fail with
    // kStrataCancelled. BeginCall clears the request.
    virtual void Interrupt() = 0;
    virtual void BeginCall() = 0;
    // The connection goes back to the idle pool: drop what it keeps between calls for the same
    // channel (the hit list of an unfinished paged search). Optional.
    virtual void Idle() {}
    // Read-your-writes across servers: the position of this connection's last write (empty when
    // the engine has one server), and the position that later reads must see.
    virtual std::string WritePosition() const { return {}; }
    virtual void ReadAfter(const std::string& /*position*/) {}

    virtual bool Login(const std::string& user, const std::string& password, int& rights,
                       StrataStatus& st) = 0;
    virtual bool ListDatabases(std::vector<StrataDatabaseInfo>& out, bool counts,
                               StrataStatus& st) = 0;
    virtual bool ReadCfgFile(const std::string& db, const std::string& file, std::string& content,
                             StrataStatus& st) = 0;
    virtual bool ReadRecord(const std::string& db, int64_t number, std::string& diriv,
                            StrataStatus& st) = 0;
    // Several records of one database from one snapshot: dirivs[i] is the text of numbers[i], or
    // empty when there is no such record. False only when the call as a whole fails.
    virtual bool ReadRecords(const std::string& db, const std::vector<int64_t>& numbers,
                             std::vector<std::string>& dirivs, StrataStatus& st) = 0;
    // Hits of `term` on `key`, in record-number order, numbers above `after`, at most `limit`.
    // `more` tells whether further hits may follow.
    virtual bool Search(const std::string& db, const std::string& key, const std::string& term,
                        int64_t after, size_t limit, std::vector<int64_t>& hits, bool& more,
                        StrataStatus& st) = 0;
    // The index terms of `key` with their record counts, from the start term `term` (ANSI code
    // page, folded as the key folds): ascending from the first term >= it, or with `before`
    // descending from the last term below it; the first `skip` of those left out, at most `limit`
    // (up to kStrataMaxScanTerms) into `terms`. Read from the posting lists, never the records.
    virtual bool ScanTerms(const std::string& db, const std::string& key, const std::string& term, bool before,
                           size_t skip, size_t limit, std::vector<StrataTermCount>& terms, StrataStatus& st) = 0;
    // The sort values (strata_sortkeys.h) of `key` of the records numbered `from` to `to`, in
    // ascending record order, at most `limit` (up to kStrataMaxSortValues); with `numbers`
    // (ascending) only those records. Records without a value are left out. `numeric` tells the
    // key's kind. Read from the stored values, never the records.
    virtual bool ReadSortValues(const std::string& db, const std::string& key, int64_t from, int64_t to,
                                const std::vector<int64_t>& numbers, size_t limit,
                                std::vector<StrataSortValue>& values, bool& numeric, StrataStatus& st) = 0;
    // Buffers the channel reuses for the answers it builds while it holds this connection, so that
    // a page of hits or records costs no fresh allocation; they live as long as the connection.
    struct Scratch {
        std::string m_answer;
        std::vector<int64_t> m_hits;
    } m_scratch;

    virtual bool WriteRecord(const std::string& db, int64_t number, StrataWrite how,
                             const std::string& diriv, StrataStatus& st) = 0;

    // Administration.
    virtual bool CreateSchema(StrataStatus& st) = 0;
    virtual bool AddDatabase(const std::string& name, StrataStatus& st) = 0;
    virtual bool DropDatabase(const std::string& name, StrataStatus& st) = 0;
    virtual bool PutCfgFile(const std::string& db, const std::string& file,
                            const std::string& content, StrataStatus& st) = 0;
    virtual bool ListCfgFiles(const std::string& db, std::vector<std::string>& names,
                              StrataStatus& st) = 0;
    virtual int LoadRecords(const std::string& db, const std::vector<std::string>& dirivs,
                            std::vector<StrataRejectedRecord>& rejected, StrataStatus& st) = 0;
    virtual int64_t NextRecordNumber(const std::string& db, StrataStatus& st) = 0;
    virtual int64_t ForEachRecord(const std::string& db,
                                  const std::function<bool(int64_t, const std::string&)>& visit,
                                  StrataStatus& st) = 0;
    virtual bool Reindex(const std::string& db, StrataStatus& st) = 0;
    virtual bool PutAccount(const std::string& name, const std::string* password, int rights,
                            bool create, StrataStatus& st) = 0;
    virtual bool RemoveAccount(const std::string& name, StrataStatus& st) = 0;
    virtual bool ListAccounts(std::vector<StrataAccountInfo>& out, StrataStatus& st) = 0;
    // With salts and hashes (copying a store); an import adds or overwrites the account.
    virtual bool ExportAccounts(std::vector<StrataAccountInfo>& out, StrataStatus& st) = 0;
    virtual bool ImportAccount(const StrataAccountInfo& account, StrataStatus& st) = 0;
};

// Where a channel's store is: the embedded store file, or a network server (a libpq connection
// string, the address as configured, and the process's connection cap).
struct StrataLocation {
    std::string m_path;     // store file, or connection string
    std::string m_address;  // network: "host" or "host:port" as configured, for messages
    int m_maxConnections = 16;
    // Network: servers that serve reads (hot standbys), as connection strings and addresses.
    std::vector<std::string> m_readPaths, m_readAddresses;
};

// How to reach a store through one driver; each driver defines its row.
struct StrataEngineRow {
    const char* m_spec;  // admin store specs name the driver as m_spec + ":" + location
    // Reached over the network: remote paths carry the server address, and the driver pools its
    // server connections itself (the channel library keeps no idle ones).
    bool m_network;
    // Where an instance's store is (the host's network options for a network driver).
    StrataLocation (*m_locate)(const std::string& instance, const StrataNetOptions& net);
    // Where the location part of an admin store spec points.
    StrataLocation (*m_locateSpec)(const std::string& location);
    // Opens a channel to the store (creating it when `create`; refused when there is one). Null
    // with st set (66 when it cannot be reached or holds no store).
    std::unique_ptr<IStrataStore> (*m_open)(const StrataLocation& where, bool create, StrataStatus& st);
    // A failed open of a server that does not answer: true when it may answer later (null: never).
    bool (*m_mayAnswerLater)(const StrataLocation& where);
};
extern const StrataEngineRow kStrataSqliteEngine;
extern const StrataEngineRow kStrataPgEngine;

// One row of the interface table: an interface file name and its driver.
struct StrataInterfaceRow {
    const char* m_fileName;
    const StrataEngineRow* m_engine;
};

// The row whose file name equals `fileName` without regard to case; null when none does.
const StrataInterfaceRow* StrataFindInterface(const std::string& fileName);

// Opens the store of an admin spec: "<driver>:LOCATION" ("sqlite:FILE", "pg:CONNINFO") or a
// plain file name (the embedded store). Null with st set.
std::unique_ptr<IStrataStore> StrataOpenSpec(const std::string& spec, bool create, StrataStatus& st);
