#pragma once
// CStrataCache: a process-wide, memory-bounded (bytes, least recently used first out) cache of
// whole hit lists and record texts of one network store, and CCachedStore, the IStrataStore in
// front of a network channel that answers searches, their later pages and record reads from it.
// Internal to vkstrata.
//
// Staleness: the caches of the process are emptied by every write made through any of them
// (before the write call returns, so a session reads its own write) and by the store's change notices for writes
// of other processes (pg_notify.h). It only serves while it is "live", that is while those
// notices are known to arrive; a listener that lost its server connection makes it not live
// (and empty) until it listens again, since notices may have been missed meanwhile.
// A fill that began before an emptying is not kept (the epoch moved), and fills read at least
// the "fill position" (the server's write position at the last emptying), so a standby that has
// not yet replayed a change cannot put its old answer back into the cache.
//
// Ownership: CCachedStore shares its cache (a shared_ptr) and owns its inner channel, which it
// opens on the first call the cache cannot answer.
// Thread safety: CStrataCache is locked and shared by every channel; a CCachedStore is used by
// one thread, except Interrupt().

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "backend/strata/strata_store.h"

// The byte limit of the caches made from now on; 0 turns caching off. Any thread.
constexpr size_t kStrataDefaultCacheBytes = size_t(64) << 20;
void StrataSetCacheBytes(size_t bytes);
size_t StrataCacheBytes();

// Figures of every live cache of the process, for /metrics.
struct StrataCacheStats {
    uint64_t m_hits = 0, m_misses = 0, m_emptied = 0;
    size_t m_bytes = 0, m_entries = 0;
};

class CStrataCache {
public:
    // The later of two read positions (the engine's order); null: positions are not compared
    // and the later one given is kept.
    using LaterFn = std::string (*)(const std::string&, const std::string&);
    explicit CStrataCache(size_t limitBytes, LaterFn later = nullptr);

    bool Live() const { return m_live.load(); }
    // Moves with every emptying; a fill passes the value it read before it began.
    uint64_t Epoch() const { return m_epoch.load(); }

    std::shared_ptr<const std::vector<uint32_t>> FindHits(const std::string& key);
    void PutHits(const std::string& key, std::shared_ptr<const std::vector<uint32_t>> hits, uint64_t epoch);
    std::shared_ptr<const std::string> FindRecord(const std::string& key);
    void PutRecord(const std::string& key, std::string text, uint64_t epoch);

    // The store changed: everything goes; later fills read at least `position` ("" unknown).
    void Invalidate(const std::string& position);
    // Notices arrive (live) or may be missed (not live); either way everything goes.
    void SetLive(bool live, const std::string& position);
    // The position that a fill must read at least ("" none).
    std::string FillPosition() const;
    std::string Later(const std::string& a, const std::string& b) const;

    StrataCacheStats Stats() const;
    size_t Limit() const { return m_limit; }

private:
    struct Entry {
        std::string m_key;
        std::shared_ptr<const std::vector<uint32_t>> m_hits;
        std::shared_ptr<const std::string> m_text;
        size_t m_bytes = 0;
    };
    using Lru = std::list<Entry>;
    void Put(Entry entry, uint64_t epoch);
    Lru::iterator Find(const std::string& key);  // moves it to the front; end() when absent; needs m_lock
    // The entry's `member` (hits or text), counted as a hit or a miss; null when absent.
    template <class T>
    std::shared_ptr<const T> Lookup(const std::string& key, std::shared_ptr<const T> Entry::*member);
    void Clear();                                // needs m_lock

    const size_t m_limit;
    const LaterFn m_later;
    std::atomic<bool> m_live{false};
    std::atomic<uint64_t> m_epoch{0};
    mutable std::mutex m_lock;
    Lru m_lru;                                             // guarded by m_lock; most recent first
    std::unordered_map<std::string, Lru::iterator> m_map;  // guarded by m_lock
    size_t m_bytes = 0;                                    // guarded by m_lock
    std::string m_fillPosition;                            // guarded by m_lock
    std::atomic<uint64_t> m_hitsCount{0}, m_missCount{0}, m_emptied{0};
};

// Registers a cache for StrataNetworkCacheStats (held weakly). Any thread.
void StrataRegisterCache(const std::shared_ptr<CStrataCache>& cache);
// Empties every registered cache but `except` (another connection string may name the same store).
void StrataInvalidateOtherCaches(const CStrataCache* except);
StrataCacheStats StrataNetworkCacheStats();

class CCachedStore : public IStrataStore {
public:
    using Opener = std::function<std::unique_ptr<IStrataStore>(StrataStatus&)>;
    // `inner` may be null: `open` makes it on the first call that needs the server.
    CCachedStore(std::shared_ptr<CStrataCache> cache, std::unique_ptr<IStrataStore> inner, Opener open);
    ~CCachedStore() override;

    void Interrupt() override;
    void BeginCall() override;
    void Idle() override;
    std::string WritePosition() const override;
    void ReadAfter(const std::string& position) override;

    bool Login(const std::string& user, const std::string& password, int& rights, StrataStatus& st) override;
    bool ListDatabases(std::vector<StrataDatabaseInfo>& out, bool counts, StrataStatus& st) override;
    bool ReadCfgFile(const std::string& db, const std::string& file, std::string& content,
                     StrataStatus& st) override;
    bool ReadRecord(const std::string& db, int64_t number, std::string& diriv, StrataStatus& st) override;
    bool ReadRecords(const std::string& db, const std::vector<int64_t>& numbers, std::vector<std::string>& dirivs,
                     StrataStatus& st) override;
    bool Search(const std::string& db, const std::string& key, const std::string& term, int64_t after,
                size_t limit, std::vector<int64_t>& hits, bool& more, StrataStatus& st) override;
    bool ScanTerms(const std::string& db, const std::string& key, const std::string& term, bool before, size_t skip,
                   size_t limit, std::vector<StrataTermCount>& terms, StrataStatus& st) override;
    bool ReadSortValues(const std::string& db, const std::string& key, int64_t from, int64_t to,
                        const std::vector<int64_t>& numbers, size_t limit, std::vector<StrataSortValue>& values,
                        bool& numeric, StrataStatus& st) override;
    bool WriteRecord(const std::string& db, int64_t number, StrataWrite how, const std::string& diriv,
                     StrataStatus& st) override;

    bool CreateSchema(StrataStatus& st) override;
    bool AddDatabase(const std::string& name, StrataStatus& st) override;
    bool DropDatabase(const std::string& name, StrataStatus& st) override;
    bool PutCfgFile(const std::string& db, const std::string& file, const std::string& content,
                    StrataStatus& st) override;
    bool ListCfgFiles(const std::string& db, std::vector<std::string>& names, StrataStatus& st) override;
    int LoadRecords(const std::string& db, const std::vector<std::string>& dirivs,
                    std::vector<StrataRejectedRecord>& rejected, StrataStatus& st) override;
    int64_t NextRecordNumber(const std::string& db, StrataStatus& st) override;
    int64_t ForEachRecord(const std::string& db, const std::function<bool(int64_t, const std::string&)>& visit,
                          StrataStatus& st) override;
    bool Reindex(const std::string& db, StrataStatus& st) override;
    bool PutAccount(const std::string& name, const std::string* password, int rights, bool create,
                    StrataStatus& st) override;
    bool RemoveAccount(const std::string& name, StrataStatus& st) override;
    bool ListAccounts(std::vector<StrataAccountInfo>& out, StrataStatus& st) override;
    bool ExportAccounts(std::vector<StrataAccountInfo>& out, StrataStatus& st) override;
    bool ImportAccount(const StrataAccountInfo& account, StrataStatus& st) override;

private:
    // The inner channel, opened when needed, with this call's read position; null with st set.
    IStrataStore* Inner(StrataStatus& st);
    // After a write call (whatever its outcome): the cache empties.
    template <class T>
    T Wrote(T result) {
        m_cache->Invalidate(m_inner ? m_inner->WritePosition() : std::string());
        StrataInvalidateOtherCaches(m_cache.get());
        return result;
    }

    std::shared_ptr<CStrataCache> m_cache;
    Opener m_open;
    std::unique_ptr<IStrataStore> m_inner;  // set by the owning thread; read by Interrupt under m_innerLock
    std::mutex m_innerLock;
    std::atomic<bool> m_cancel{false};
    std::string m_readAfter;
};
