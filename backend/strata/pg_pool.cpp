// CPgPool: the capped, process-wide pools of server connections (one per connection string),
// connection strings, and the pools' figures for /metrics.
#include <endian.h>
#include <poll.h>

#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <utility>
#include <thread>

#include "backend/strata/pg_driver.h"
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

// libpq's message on one line, without the trailing newline.
std::string PgOneLine(const char* message) {
    std::string text = message ? message : "";
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

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
    PGconn* raw = PQconnectdbParams(keys, values, 1);
    if (raw == nullptr || PQstatus(raw) != CONNECTION_OK) {
        st.Set(kStrataUnreachable, "PostgreSQL server at " + m_target.m_address + " not reachable: " +
                                       PgOneLine(raw ? PQerrorMessage(raw) : "out of memory"));
        PQfinish(raw);
        return nullptr;
    }
    return std::make_unique<CPgConn>(*this, raw);
}

std::unique_ptr<CPgConn> CPgPool::Acquire(const std::atomic<bool>& cancel, StrataStatus& st) {
    const auto deadline = std::chrono::steady_clock::now() + kPoolWait;
    std::unique_lock<std::mutex> lock(m_lock);
    bool waited = false;
    for (;;) {
        while (!m_idle.empty()) {
            std::unique_ptr<CPgConn> conn = std::move(m_idle.back());
            m_idle.pop_back();
            // The answer of its last COMMIT may still be on the way: read outside the lock.
            lock.unlock();
            StrataStatus ignored;
            const bool healthy = conn->Settle(ignored) && Healthy(conn->m_conn);
            if (healthy) return conn;
            conn.reset();
            lock.lock();
            --m_open;
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
