// CPgChangeListener: the change notices of a PostgreSQL store for the process's cache of it
// (pg_notify.h), and the channels behind that cache.
#include "backend/strata/pg_notify.h"

#include <openssl/crypto.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "backend/strata/pg_standbys.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

// An idle listening connection runs a statement this often, so that a server gone without a
// word (a host down) is noticed.
constexpr auto kProbeEvery = std::chrono::seconds(10);

// The triggers' tables: a write to any of them can change a search's hits or a record.
constexpr const char* kWatchedTables[] = {"records", "postings", "keys", "databases"};

class CPgChangeListener;
std::mutex g_listenersLock;

// The listeners' threads end and are joined when the process exits, before the libraries they
// call are torn down: the exit handler is registered after OpenSSL's (handlers run in reverse
// order), and GSSAPI's teardown comes after every handler.
std::atomic<bool> g_stopping{false};
struct CListenerThreads {
    std::mutex m_lock;
    std::vector<std::thread> m_threads;  // guarded by m_lock
};
CListenerThreads& Threads() {
    static auto* threads = new CListenerThreads();  // lives to exit
    return *threads;
}
void StopListeners() {
    g_stopping.store(true);
    CListenerThreads& t = Threads();
    std::lock_guard<std::mutex> lock(t.m_lock);
    for (std::thread& thread : t.m_threads) thread.join();
}
void RegisterExitOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        OPENSSL_init_crypto(0, nullptr);
        std::atexit(StopListeners);
    });
}

// Waits `d`, in short slices so that an exit is not held up; false when the process is exiting.
bool Pause(std::chrono::milliseconds d) {
    for (auto left = d; left.count() > 0 && !g_stopping.load(); left -= std::chrono::milliseconds(100)) {
        std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(100)));
    }
    return !g_stopping.load();
}
std::map<std::string, std::shared_ptr<CPgChangeListener>>* g_listeners = nullptr;  // guarded; lives to exit

bool Exec(PGconn* conn, const std::string& sql, std::string* value = nullptr) {
    PGresult* r = PQexec(conn, sql.c_str());
    const ExecStatusType status = PQresultStatus(r);
    const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    if (ok && value) *value = PQntuples(r) > 0 && !PQgetisnull(r, 0, 0) ? PQgetvalue(r, 0, 0) : "";
    PQclear(r);
    return ok;
}

// The triggers, made when one of them is missing; false when the database holds no store yet.
bool MakeTriggers(PGconn* conn) {
    std::string tables;
    for (const char* t : kWatchedTables) tables += std::string(tables.empty() ? "'" : ",'") + t + "'";
    const std::string count = std::string("SELECT count(*) FROM pg_trigger t JOIN pg_class c ON c.oid=t.tgrelid"
                                          " WHERE t.tgname='") + kPgChangeChannel +
                              "' AND c.relnamespace=current_schema()::regnamespace AND c.relname IN (" + tables + ")";
    std::string n;
    if (!Exec(conn, count, &n)) return false;
    if (atoi(n.c_str()) == int(std::size(kWatchedTables))) return true;
    const std::string fn = kPgChangeChannel;
    bool ok = Exec(conn, "BEGIN") && Exec(conn, "SELECT pg_advisory_xact_lock(" + std::to_string(kPgTriggerLock) + ")") &&
              Exec(conn, "CREATE OR REPLACE FUNCTION " + fn + "() RETURNS trigger LANGUAGE plpgsql AS"
                         " $$BEGIN PERFORM pg_notify('" + fn + "', ''); RETURN NULL; END$$");
    for (const char* t : kWatchedTables) {
        ok = ok && Exec(conn, "CREATE OR REPLACE TRIGGER " + fn + " AFTER INSERT OR UPDATE OR DELETE OR TRUNCATE ON " +
                                  t + " FOR EACH STATEMENT EXECUTE FUNCTION " + fn + "()");
    }
    ok = ok && Exec(conn, "COMMIT");
    if (!ok) Exec(conn, "ROLLBACK");
    return ok;
}

uint64_t ParsePosition(const std::string& text, bool& ok) {
    const size_t slash = text.find('/');
    ok = slash != std::string::npos && slash > 0 && slash + 1 < text.size() && slash <= 8 && text.size() - slash <= 9;
    if (!ok) return 0;
    char* end = nullptr;
    const uint64_t hi = strtoull(text.c_str(), &end, 16);
    ok = end == text.c_str() + slash;
    const uint64_t lo = strtoull(text.c_str() + slash + 1, &end, 16);
    ok = ok && *end == '\0';
    return hi << 32 | lo;
}

class CPgChangeListener : public std::enable_shared_from_this<CPgChangeListener> {
public:
    CPgChangeListener(std::string key, std::string conninfo)
        : m_key(std::move(key)),
          m_conninfo(std::move(conninfo)),
          m_cache(std::make_shared<CStrataCache>(StrataCacheBytes(), PgLaterPosition)) {
        StrataRegisterCache(m_cache);
        Touch();
    }
    void Start() {
        RegisterExitOnce();
        std::lock_guard<std::mutex> lock(Threads().m_lock);
        Threads().m_threads.emplace_back([self = shared_from_this()] { self->Run(); });
    }
    void Touch() { m_lastUse.store(SteadyClock::now().time_since_epoch().count()); }
    // Keeps `pool` (and its idle connections) while the listener lives: channels behind the
    // cache hold no connection between calls, and a pool that nobody holds closes.
    void Keep(const std::shared_ptr<CPgPool>& pool) {
        std::lock_guard<std::mutex> lock(m_poolsLock);
        for (const auto& p : m_pools) {
            if (p == pool) return;
        }
        m_pools.push_back(pool);
    }
    const std::shared_ptr<CStrataCache>& Cache() const { return m_cache; }

private:
    void Run() {
        while (!g_stopping.load()) {
            if (PGconn* conn = Connect()) {
                Listen(conn);
                PQfinish(conn);
            }
            m_cache->SetLive(false, std::string());
            if (Unused() && Leave()) return;
            if (!Pause(kPgListenRetry)) return;
        }
    }

    PGconn* Connect() {
        const char* keys[] = {"connect_timeout", "application_name", "keepalives_idle", "dbname", nullptr};
        const char* values[] = {"5", "velkan-notices", "30", m_conninfo.c_str(), nullptr};
        PGconn* conn = PQconnectdbParams(keys, values, 1);
        // Making the triggers waits for writes in progress; the listener gives up (and tries again
        // later) before the server's deadlock check could pick the writer instead.
        if (conn && PQstatus(conn) == CONNECTION_OK && Exec(conn, "SET lock_timeout = '500ms'") &&
            MakeTriggers(conn) && Exec(conn, std::string("LISTEN ") + kPgChangeChannel)) {
            return conn;
        }
        PQfinish(conn);
        return nullptr;
    }

    // Serves notices until the connection is lost.
    void Listen(PGconn* conn) {
        std::string position;
        if (!Exec(conn, "SELECT pg_current_wal_insert_lsn()::text", &position)) return;
        m_cache->SetLive(true, position);
        auto probe = SteadyClock::now() + kProbeEvery;
        for (;;) {
            pollfd p{PQsocket(conn), POLLIN, 0};
            if (g_stopping.load() || p.fd < 0 || poll(&p, 1, 100) < 0 || PQconsumeInput(conn) == 0) return;
            bool changed = false;
            while (PGnotify* n = PQnotifies(conn)) {
                changed = true;
                PQfreemem(n);
            }
            if (changed || SteadyClock::now() >= probe) {
                if (!Exec(conn, "SELECT pg_current_wal_insert_lsn()::text", &position)) return;
                if (changed) m_cache->Invalidate(position);
                probe = SteadyClock::now() + kProbeEvery;
            }
            if (PQstatus(conn) != CONNECTION_OK) return;
        }
    }

    bool Unused() const {
        const auto last = SteadyClock::time_point(SteadyClock::duration(m_lastUse.load()));
        return SteadyClock::now() - last > kPgListenerIdle;
    }

    // Leaves the registry (a channel opened meanwhile keeps this listener going instead).
    bool Leave() {
        std::lock_guard<std::mutex> lock(g_listenersLock);
        if (!Unused()) return false;
        const auto it = g_listeners->find(m_key);
        if (it != g_listeners->end() && it->second.get() == this) g_listeners->erase(it);
        return true;
    }

    std::mutex m_poolsLock;
    std::vector<std::shared_ptr<CPgPool>> m_pools;  // guarded by m_poolsLock
    const std::string m_key, m_conninfo;
    const std::shared_ptr<CStrataCache> m_cache;
    std::atomic<SteadyClock::rep> m_lastUse{0};
};

std::shared_ptr<CStrataCache> CacheFor(const PgTarget& target, const std::shared_ptr<CPgPool>& pool) {
    std::lock_guard<std::mutex> lock(g_listenersLock);
    if (g_listeners == nullptr) g_listeners = new std::map<std::string, std::shared_ptr<CPgChangeListener>>();
    std::shared_ptr<CPgChangeListener>& listener = (*g_listeners)[target.m_conninfo];
    if (listener) {
        listener->Touch();
    } else {
        listener = std::make_shared<CPgChangeListener>(target.m_conninfo, target.m_conninfo);
        listener->Start();
    }
    listener->Keep(pool);
    return listener->Cache();
}

// Without a cache the pools are kept to the process's exit, for the same reason as Keep().
void KeepWithoutCache(const std::shared_ptr<CPgPool>& pool) {
    static std::mutex lock;
    static auto* kept = new std::vector<std::shared_ptr<CPgPool>>();  // guarded by lock; lives to exit
    std::lock_guard<std::mutex> guard(lock);
    for (const auto& p : *kept) {
        if (p == pool) return;
    }
    kept->push_back(pool);
}

}  // namespace

std::string PgLaterPosition(const std::string& a, const std::string& b) {
    if (a == kPgOnPrimary || b == kPgOnPrimary) return kPgOnPrimary;
    bool okA = false, okB = false;
    const uint64_t pa = ParsePosition(a, okA), pb = ParsePosition(b, okB);
    if (!okA || !okB) return kPgOnPrimary;  // an unreadable position: the primary reads
    return pa >= pb ? a : b;
}

std::unique_ptr<IStrataStore> OpenCachedPgStore(const PgTarget& target, bool create, StrataStatus& st) {
    const std::shared_ptr<CPgPool> pool = CPgPool::For(target);
    if (StrataCacheBytes() == 0) {
        KeepWithoutCache(pool);
        return OpenPgStore(target, create, st);
    }
    std::shared_ptr<CStrataCache> cache = CacheFor(target, pool);
    std::unique_ptr<IStrataStore> inner;
    // Not serving from the cache, or a pool that has not checked the store yet: the channel
    // reaches the server now, so that its errors come here.
    if (create || !cache->Live() || !pool->SchemaChecked()) {
        inner = OpenPgStore(target, create, st);
        if (!inner) return nullptr;
    }
    return std::make_unique<CCachedStore>(std::move(cache), std::move(inner),
                                          [target](StrataStatus& s) { return OpenPgStore(target, false, s); });
}
