// CPgPool, CPgCall and the libpq plumbing of CPgStore: connection strings, the capped pool,
// statement execution with binary parameters and results, COPY, error mapping, schema check.
#include <endian.h>
#include <poll.h>

#include <chrono>
#include <cstring>
#include <set>
#include <thread>

#include "backend/strata/pg_store.h"
#include "backend/strata/strata_channel.h"
#include "backend/strata/strata_errors.h"

namespace {

constexpr auto kPoolWait = std::chrono::seconds(30);
constexpr auto kWaitSlice = std::chrono::milliseconds(100);

std::mutex g_poolsLock;
std::map<std::string, std::weak_ptr<CPgPool>>* g_pools = nullptr;  // guarded by g_poolsLock

// Connection-string value in single quotes with \ and ' escaped.
std::string Quote(const std::string& v) {
    std::string q = "'";
    for (char c : v) {
        if (c == '\\' || c == '\'') q += '\\';
        q += c;
    }
    return q + "'";
}

// libpq's message on one line, without the trailing newline.
std::string OneLine(const char* message) {
    std::string text = message ? message : "";
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

bool Readable(PGconn* conn) {
    pollfd p{PQsocket(conn), POLLIN, 0};
    return p.fd >= 0 && poll(&p, 1, 0) > 0;
}

// An idle pooled connection still usable: open, outside a transaction, not closed by the server.
bool Healthy(PGconn* conn) {
    if (PQstatus(conn) != CONNECTION_OK || PQtransactionStatus(conn) != PQTRANS_IDLE) return false;
    if (!Readable(conn)) return true;
    // The server sent something while the connection was idle: a notice, or its goodbye.
    if (PQconsumeInput(conn) == 0) return false;
    while (PGresult* r = PQgetResult(conn)) PQclear(r);
    return PQstatus(conn) == CONNECTION_OK;
}

}  // namespace

std::string PgConnInfo(const std::string& address, const std::string& database, const std::string& user,
                       const std::string& password) {
    std::string info;
    auto add = [&info](const char* key, const std::string& value) {
        if (value.empty()) return;
        if (!info.empty()) info += ' ';
        info += std::string(key) + "=" + Quote(value);
    };
    std::string host = address, port;
    const size_t colon = address.rfind(':');
    // "host:port"; an IPv6 address in brackets keeps its colons.
    if (colon != std::string::npos && address.find(']') == std::string::npos &&
        address.find(':') == colon) {
        host = address.substr(0, colon);
        port = address.substr(colon + 1);
    } else if (!address.empty() && address.front() == '[' && address.find("]:") != std::string::npos) {
        const size_t close = address.find("]:");
        host = address.substr(1, close - 1);
        port = address.substr(close + 2);
    }
    add("host", host);
    add("port", port);
    add("dbname", database);
    add("user", user);
    add("password", password);
    return info;
}

std::string PgHex(const std::string& bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    return out;
}

void PgAppendCopyBytes(std::string& out, const std::string& bytes) {
    out += "\\\\x";  // "\\x": the backslash is COPY's escape
    out += PgHex(bytes);
}

std::string PgDescribe(const std::string& conninfo) {
    std::string host, port, db;
    if (PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), nullptr)) {
        for (PQconninfoOption* o = options; o->keyword; ++o) {
            if (o->val == nullptr) continue;
            if (strcmp(o->keyword, "host") == 0) host = o->val;
            if (strcmp(o->keyword, "port") == 0) port = o->val;
            if (strcmp(o->keyword, "dbname") == 0) db = o->val;
        }
        PQconninfoFree(options);
    }
    return (host.empty() ? "(default host)" : host) + (port.empty() ? "" : ":" + port) + (db.empty() ? "" : "/" + db);
}

CPgConn::~CPgConn() {
    if (m_conn) PQfinish(m_conn);
}

CPgResult& CPgResult::operator=(CPgResult&& o) noexcept {
    if (this != &o) {
        PQclear(m_r);
        m_r = o.m_r;
        o.m_r = nullptr;
    }
    return *this;
}

int64_t CPgResult::Int(int row, int col) const {
    if (PQgetisnull(m_r, row, col) || PQgetlength(m_r, row, col) != 8) return 0;
    uint64_t v = 0;
    memcpy(&v, PQgetvalue(m_r, row, col), 8);
    return int64_t(be64toh(v));
}

std::string CPgResult::Bytes(int row, int col) const {
    std::string out;
    BytesInto(row, col, out);
    return out;
}

void CPgResult::BytesInto(int row, int col, std::string& out) const {
    out.assign(PQgetvalue(m_r, row, col), size_t(PQgetlength(m_r, row, col)));
}

CPgParam::CPgParam(int64_t v) {
    const uint64_t be = htobe64(uint64_t(v));
    memcpy(m_int, &be, 8);
}

std::shared_ptr<CPgPool> CPgPool::For(const PgTarget& target) {
    PgTarget capped = target;
    if (capped.m_maxConnections < 1) capped.m_maxConnections = kPgDefaultMaxConnections;
    std::string key = std::to_string(capped.m_maxConnections) + " " + target.m_conninfo;
    for (const PgTarget& standby : target.m_standbys) key += "\n" + standby.m_conninfo;
    auto find = [&key]() -> std::shared_ptr<CPgPool> {
        if (g_pools == nullptr) g_pools = new std::map<std::string, std::weak_ptr<CPgPool>>();  // lives to exit
        return (*g_pools)[key].lock();
    };
    {
        std::lock_guard<std::mutex> lock(g_poolsLock);
        if (std::shared_ptr<CPgPool> pool = find()) return pool;
    }
    // The standbys' pools come from this function too, so they are made without the lock.
    std::shared_ptr<CPgReadServers> standbys;
    if (!target.m_standbys.empty()) standbys = std::make_shared<CPgReadServers>(target.m_standbys);
    std::lock_guard<std::mutex> lock(g_poolsLock);
    std::shared_ptr<CPgPool> pool = find();
    if (!pool) {
        pool = std::make_shared<CPgPool>(capped, std::move(standbys));
        (*g_pools)[key] = pool;
    }
    return pool;
}

CPgPool::CPgPool(const PgTarget& target, std::shared_ptr<CPgReadServers> standbys)
    : m_target(target), m_readServers(std::move(standbys)) {}

CPgPool::~CPgPool() = default;

std::vector<StrataServerStats> StrataNetworkServerStats() {
    std::vector<std::shared_ptr<CPgPool>> pools;
    {
        std::lock_guard<std::mutex> lock(g_poolsLock);
        if (g_pools == nullptr) return {};
        for (const auto& entry : *g_pools) {
            if (std::shared_ptr<CPgPool> pool = entry.second.lock()) pools.push_back(std::move(pool));
        }
    }
    std::set<const CPgPool*> standbys;
    for (const auto& pool : pools) {
        if (pool->ReadServers()) {
            for (const auto& s : pool->ReadServers()->Pools()) standbys.insert(s.get());
        }
    }
    std::vector<StrataServerStats> out;
    for (const auto& pool : pools) {
        out.push_back(StrataServerStats{pool->Target().m_address, standbys.count(pool.get()) > 0, pool->OpenCount(),
                                        pool->InUse(), pool->m_waits.load(), pool->m_roundTrips.load(),
                                        pool->m_searches.load()});
    }
    return out;
}

int CPgPool::InUse() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_open - int(m_idle.size());
}

int CPgPool::OpenCount() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_open;
}

std::unique_ptr<CPgConn> CPgPool::Connect(StrataStatus& st) {
    const char* keys[] = {"connect_timeout", "application_name", "dbname", nullptr};
    const char* values[] = {"5", "velkan", m_target.m_conninfo.c_str(), nullptr};
    auto conn = std::make_unique<CPgConn>();
    conn->m_conn = PQconnectdbParams(keys, values, 1);
    if (conn->m_conn == nullptr || PQstatus(conn->m_conn) != CONNECTION_OK) {
        st.Set(kStrataUnreachable, "PostgreSQL server at " + m_target.m_address + " not reachable: " +
                                       OneLine(conn->m_conn ? PQerrorMessage(conn->m_conn) : "out of memory"));
        return nullptr;
    }
    return conn;
}

std::unique_ptr<CPgConn> CPgPool::Acquire(const std::atomic<bool>& cancel, StrataStatus& st) {
    const auto deadline = std::chrono::steady_clock::now() + kPoolWait;
    std::unique_lock<std::mutex> lock(m_lock);
    bool waited = false;
    for (;;) {
        while (!m_idle.empty()) {
            std::unique_ptr<CPgConn> conn = std::move(m_idle.back());
            m_idle.pop_back();
            if (Healthy(conn->m_conn)) return conn;
            --m_open;  // closed below, outside nothing shared
        }
        if (m_open < m_target.m_maxConnections) {
            ++m_open;
            lock.unlock();
            std::unique_ptr<CPgConn> conn = Connect(st);
            if (!conn) {
                lock.lock();
                --m_open;
                m_freed.notify_one();
            }
            return conn;
        }
        if (cancel.load()) {
            st.Set(kStrataCancelled, "waiting for a server connection");
            return nullptr;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            st.Set(kStrataStoreError, "all " + std::to_string(m_target.m_maxConnections) +
                                          " connections to the PostgreSQL server at " + m_target.m_address +
                                          " stayed busy for 30 s");
            return nullptr;
        }
        if (!std::exchange(waited, true)) ++m_waits;
        m_freed.wait_for(lock, kWaitSlice);
    }
}

void CPgPool::Release(std::unique_ptr<CPgConn> conn, bool broken) {
    if (!conn) return;
    std::unique_lock<std::mutex> lock(m_lock);
    if (broken || PQstatus(conn->m_conn) != CONNECTION_OK) {
        --m_open;
        lock.unlock();
        conn.reset();
        m_freed.notify_one();
        return;
    }
    m_idle.push_back(std::move(conn));
    m_freed.notify_one();
}

bool CPgPool::SchemaChecked() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_schemaChecked;
}

void CPgPool::SetSchemaChecked() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_schemaChecked = true;
}

CPgCall::CPgCall(CPgStore& store, StrataStatus& st, CPgRoute route) : m_store(store), m_st(st) {
    if (route == CPgRoute::kRead && store.m_pool->ReadServers()) m_conn = LeaseStandby();
    if (!m_conn) {
        m_pool = store.m_pool;
        m_conn = m_pool->Acquire(store.m_cancel, st);
    }
    if (!m_conn) return;
    std::lock_guard<std::mutex> lock(store.m_cancelLock);
    store.m_cancelHandle = PQgetCancel(m_conn->m_conn);
}

CPgCall::~CPgCall() {
    if (!m_conn) return;
    {
        std::lock_guard<std::mutex> lock(m_store.m_cancelLock);
        PQfreeCancel(m_store.m_cancelHandle);
        m_store.m_cancelHandle = nullptr;
    }
    if (m_inTransaction && !m_broken) {
        CPgResult r(PQexec(m_conn->m_conn, "ROLLBACK"));
        if (PQresultStatus(r.Get()) != PGRES_COMMAND_OK) m_broken = true;
    }
    m_pool->Release(std::move(m_conn), m_broken);
}

bool CPgCall::BrokeOnStandby() const { return m_broken && m_pool != m_store.m_pool; }

std::unique_ptr<CPgConn> CPgCall::LeaseStandby() {
    const std::shared_ptr<CPgReadServers>& standbys = m_store.m_pool->ReadServers();
    if (m_store.m_readAfter == kPgOnPrimary) return nullptr;
    for (const std::shared_ptr<CPgPool>& pool : standbys->Rotation()) {
        StrataStatus ignored;
        std::unique_ptr<CPgConn> conn = pool->Acquire(m_store.m_cancel, ignored);
        if (!conn) {
            if (ignored.m_code == kStrataUnreachable) standbys->Rest(pool.get());
            continue;
        }
        if (m_store.m_readAfter.empty() || CaughtUp(*conn, *pool)) {
            m_pool = pool;
            return conn;
        }
        // Behind this channel's own last write: the primary answers rather than a stale standby.
        const bool broken = PQstatus(conn->m_conn) != CONNECTION_OK;
        pool->Release(std::move(conn), broken);
        return nullptr;
    }
    return nullptr;
}

bool CPgCall::CaughtUp(CPgConn& conn, CPgPool& pool) {
    const char* params[] = {m_store.m_readAfter.c_str()};
    const auto deadline = std::chrono::steady_clock::now() + kPgCatchUpWait;
    for (;;) {
        ++pool.m_roundTrips;
        CPgResult r(PQexecParams(conn.m_conn, "SELECT pg_last_wal_replay_lsn() >= $1::pg_lsn", 1, nullptr, params,
                                 nullptr, nullptr, 0));
        if (PQresultStatus(r.Get()) != PGRES_TUPLES_OK || r.Rows() != 1) return false;
        if (PQgetisnull(r.Get(), 0, 0) == 0 && PQgetvalue(r.Get(), 0, 0)[0] == 't') return true;
        if (std::chrono::steady_clock::now() >= deadline || m_store.m_cancel.load()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool CPgCall::Fail(PGresult* r, const char* what) {
    const char* state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
    m_state = state ? state : "";
    std::string message = OneLine(r ? PQresultErrorMessage(r) : PQerrorMessage(m_conn->m_conn));
    if (message.size() > 400) message = message.substr(0, 400) + " ...";
    const std::string& address = m_pool->Target().m_address;
    if (PQstatus(m_conn->m_conn) != CONNECTION_OK || m_state.rfind("08", 0) == 0 || m_state.rfind("57P", 0) == 0) {
        m_broken = true;
        if (m_pool != m_store.m_pool) m_store.m_pool->ReadServers()->Rest(m_pool.get());
        return m_st.Set(kStrataChannelBroken, "connection to the PostgreSQL server at " + address +
                                                  " lost during " + what + ": " + message);
    }
    if (m_state == "57014" || m_store.m_cancel.load()) return m_st.Set(kStrataCancelled, what);
    return m_st.Set(kStrataStoreError, std::string(what) + ": " + message);
}

bool CPgCall::Begin(bool readOnly) {
    ++m_pool->m_roundTrips;
    CPgResult r(PQexec(m_conn->m_conn, readOnly ? "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY" : "BEGIN"));
    if (PQresultStatus(r.Get()) != PGRES_COMMAND_OK) return Fail(r.Get(), "begin");
    m_inTransaction = true;
    return true;
}

bool CPgCall::Commit() {
    ++m_pool->m_roundTrips;
    CPgResult r(PQexec(m_conn->m_conn, "COMMIT"));
    m_inTransaction = false;
    if (PQresultStatus(r.Get()) != PGRES_COMMAND_OK) return Fail(r.Get(), "commit");
    return true;
}

bool CPgCall::Run(const char* sql, const CPgParam* params, size_t n, CPgResult& out, const char* what) {
    if (m_store.m_cancel.load()) return m_st.Set(kStrataCancelled, what);
    ++m_pool->m_roundTrips;
    auto it = m_conn->m_prepared.find(sql);
    if (it == m_conn->m_prepared.end()) {
        std::vector<Oid> types;
        for (size_t i = 0; i < n; ++i) types.push_back(params[i].Type());
        const std::string name = "s" + std::to_string(m_conn->m_prepared.size());
        CPgResult prep(PQprepare(m_conn->m_conn, name.c_str(), sql, int(n), types.data()));
        if (PQresultStatus(prep.Get()) != PGRES_COMMAND_OK) return Fail(prep.Get(), what);
        it = m_conn->m_prepared.emplace(sql, name).first;
    }
    std::vector<const char*> values;
    std::vector<int> lengths, formats(n, 1);
    for (size_t i = 0; i < n; ++i) {
        values.push_back(params[i].Data());
        lengths.push_back(params[i].Length());
    }
    out = CPgResult(PQexecPrepared(m_conn->m_conn, it->second.c_str(), int(n), values.data(), lengths.data(),
                                   formats.data(), 1));
    const ExecStatusType status = PQresultStatus(out.Get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) return Fail(out.Get(), what);
    return true;
}

bool CPgCall::Copy(const char* sql, const std::string& data, const char* what) {
    CPgResult start(PQexec(m_conn->m_conn, sql));
    if (PQresultStatus(start.Get()) != PGRES_COPY_IN) return Fail(start.Get(), what);
    constexpr size_t kChunk = 1 << 20;
    for (size_t pos = 0; pos < data.size(); pos += kChunk) {
        const size_t len = std::min(kChunk, data.size() - pos);
        if (m_store.m_cancel.load()) {
            PQputCopyEnd(m_conn->m_conn, "cancelled");
            while (PGresult* r = PQgetResult(m_conn->m_conn)) PQclear(r);
            return m_st.Set(kStrataCancelled, what);
        }
        if (PQputCopyData(m_conn->m_conn, data.data() + pos, int(len)) != 1) return Fail(nullptr, what);
    }
    if (PQputCopyEnd(m_conn->m_conn, nullptr) != 1) return Fail(nullptr, what);
    bool ok = true;
    while (PGresult* r = PQgetResult(m_conn->m_conn)) {
        if (ok && PQresultStatus(r) != PGRES_COMMAND_OK) ok = Fail(r, what);
        PQclear(r);
    }
    return ok;
}

void CPgStore::Interrupt() {
    m_cancel.store(true);
    std::lock_guard<std::mutex> lock(m_cancelLock);
    if (m_cancelHandle != nullptr) {
        char error[256];
        PQcancel(m_cancelHandle, error, sizeof error);
    }
}

namespace {

// Checks the store format; an older one is upgraded in place, one connection at a time.
bool CheckSchema(CPgStore& store, CPgCall& call, const std::string& address, StrataStatus& st) {
    CPgResult r;
    if (!call.Begin(false) || !call.Run("SELECT pg_advisory_xact_lock($1)", {kPgSchemaLock}, "check store") ||
        !call.Run("SELECT count(*) FROM pg_class WHERE relname='meta' AND relnamespace=current_schema()::regnamespace",
                  {}, r, "check store")) {
        return false;
    }
    const std::string where = "PostgreSQL server at " + address + ": ";
    if (r.Int(0, 0) == 0) return st.Set(kStrataUnreachable, where + "the database holds no Strata store (strata create)");
    if (!call.Run("SELECT v FROM meta WHERE k='format'", {}, r, "check store")) return false;
    const int64_t version = r.Rows() == 1 ? r.Int(0, 0) : 0;
    if (version > kPgSchemaVersion) {
        return st.Set(kStrataUnreachable, where + "store format " + std::to_string(version) +
                                              " is newer than this program's (" + std::to_string(kPgSchemaVersion) + ")");
    }
    if (version < 1) return st.Set(kStrataUnreachable, where + "the database holds no known Strata store format");
    if (version < kPgSchemaVersion && !PgUpgradeSchema(store, call, version)) return false;
    return call.Commit();
}

}  // namespace

std::unique_ptr<IStrataStore> OpenPgStore(const PgTarget& target, bool create, StrataStatus& st) {
    std::shared_ptr<CPgPool> pool = CPgPool::For(target);
    auto store = std::make_unique<CPgStore>(pool);
    if (create) {
        if (!store->CreateSchema(st)) return nullptr;
        std::string empty;
        if (!store->PutAccount("public", &empty, kStrataRightRead, true, st)) return nullptr;
        pool->SetSchemaChecked();
        return store;
    }
    // Reaches the server (and checks the store format once per pool), so that an unreachable
    // server is reported here rather than at the first call.
    CPgCall call(*store, st);
    if (!call.Ok()) return nullptr;
    if (!pool->SchemaChecked()) {
        if (!CheckSchema(*store, call, pool->Target().m_address, st)) return nullptr;
        pool->SetSchemaChecked();
    }
    return store;
}
