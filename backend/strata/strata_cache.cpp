// CStrataCache and CCachedStore (strata_cache.h).
#include "backend/strata/strata_cache.h"

#include "backend/strata/strata_storeutil.h"

namespace {

std::atomic<size_t> g_cacheBytes{kStrataDefaultCacheBytes};

// Bookkeeping of one entry beside its payload (list node, map slot, key copy).
constexpr size_t kEntryOverhead = 128;
// An entry may take at most this share of the limit, so that one huge hit list cannot empty it.
constexpr size_t kLargestShare = 8;

std::mutex g_registryLock;
std::vector<std::weak_ptr<CStrataCache>>* g_registry = nullptr;  // guarded by g_registryLock; lives to exit

std::string HitsKey(const std::string& db, const std::string& key, const std::string& term) {
    std::string k = "h";
    k += db;
    k += '\0';
    k += key;
    k += '\0';
    k += term;
    return k;
}

std::string RecordKey(const std::string& db, int64_t number) {
    std::string k = "r";
    k += db;
    k += '\0';
    k += std::to_string(number);
    return k;
}

}  // namespace

void StrataSetCacheBytes(size_t bytes) { g_cacheBytes.store(bytes); }
size_t StrataCacheBytes() { return g_cacheBytes.load(); }

CStrataCache::CStrataCache(size_t limitBytes, LaterFn later) : m_limit(limitBytes), m_later(later) {}

CStrataCache::Lru::iterator CStrataCache::Find(const std::string& key) {
    const auto it = m_map.find(key);
    if (it == m_map.end()) return m_lru.end();
    m_lru.splice(m_lru.begin(), m_lru, it->second);
    return it->second;
}

template <class T>
std::shared_ptr<const T> CStrataCache::Lookup(const std::string& key, std::shared_ptr<const T> Entry::*member) {
    std::lock_guard<std::mutex> lock(m_lock);
    const auto it = Find(key);
    if (it == m_lru.end() || !((*it).*member)) {
        ++m_missCount;
        return nullptr;
    }
    ++m_hitsCount;
    return (*it).*member;
}

std::shared_ptr<const std::vector<uint32_t>> CStrataCache::FindHits(const std::string& key) {
    return Lookup(key, &Entry::m_hits);
}

std::shared_ptr<const std::string> CStrataCache::FindRecord(const std::string& key) {
    return Lookup(key, &Entry::m_text);
}

void CStrataCache::PutHits(const std::string& key, std::shared_ptr<const std::vector<uint32_t>> hits,
                           uint64_t epoch) {
    Entry e;
    e.m_bytes = kEntryOverhead + key.size() + hits->size() * sizeof(uint32_t);
    e.m_key = key;
    e.m_hits = std::move(hits);
    Put(std::move(e), epoch);
}

void CStrataCache::PutRecord(const std::string& key, std::string text, uint64_t epoch) {
    Entry e;
    e.m_bytes = kEntryOverhead + key.size() + text.size();
    e.m_key = key;
    e.m_text = std::make_shared<const std::string>(std::move(text));
    Put(std::move(e), epoch);
}

void CStrataCache::Put(Entry entry, uint64_t epoch) {
    if (entry.m_bytes > m_limit / kLargestShare) return;
    std::vector<Entry> dropped;  // freed outside the lock
    std::lock_guard<std::mutex> lock(m_lock);
    // A fill that began before the last emptying may hold what the store had before it.
    if (!m_live.load() || epoch != m_epoch.load()) return;
    const auto old = m_map.find(entry.m_key);
    if (old != m_map.end()) {
        m_bytes -= old->second->m_bytes;
        dropped.push_back(std::move(*old->second));
        m_lru.erase(old->second);
        m_map.erase(old);
    }
    m_bytes += entry.m_bytes;
    m_lru.push_front(std::move(entry));
    m_map.emplace(m_lru.front().m_key, m_lru.begin());
    while (m_bytes > m_limit && !m_lru.empty()) {
        m_bytes -= m_lru.back().m_bytes;
        m_map.erase(m_lru.back().m_key);
        dropped.push_back(std::move(m_lru.back()));
        m_lru.pop_back();
    }
}

void CStrataCache::Clear() {
    ++m_epoch;
    ++m_emptied;
    m_map.clear();
    m_lru.clear();
    m_bytes = 0;
}

void CStrataCache::Invalidate(const std::string& position) {
    Lru old;
    std::lock_guard<std::mutex> lock(m_lock);
    old.swap(m_lru);
    Clear();
    if (!position.empty()) m_fillPosition = Later(m_fillPosition, position);
}

void CStrataCache::SetLive(bool live, const std::string& position) {
    Lru old;
    std::lock_guard<std::mutex> lock(m_lock);
    old.swap(m_lru);
    Clear();
    if (!position.empty()) m_fillPosition = Later(m_fillPosition, position);
    m_live.store(live);
}

std::string CStrataCache::FillPosition() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_fillPosition;
}

std::string CStrataCache::Later(const std::string& a, const std::string& b) const {
    if (a.empty()) return b;
    if (b.empty()) return a;
    return m_later ? m_later(a, b) : b;
}

StrataCacheStats CStrataCache::Stats() const {
    StrataCacheStats s;
    s.m_hits = m_hitsCount.load();
    s.m_misses = m_missCount.load();
    s.m_emptied = m_emptied.load();
    std::lock_guard<std::mutex> lock(m_lock);
    s.m_bytes = m_bytes;
    s.m_entries = m_map.size();
    return s;
}

void StrataRegisterCache(const std::shared_ptr<CStrataCache>& cache) {
    std::lock_guard<std::mutex> lock(g_registryLock);
    if (g_registry == nullptr) g_registry = new std::vector<std::weak_ptr<CStrataCache>>();
    std::erase_if(*g_registry, [](const std::weak_ptr<CStrataCache>& w) { return w.expired(); });
    g_registry->push_back(cache);
}

namespace {

std::vector<std::shared_ptr<CStrataCache>> LiveCaches() {
    std::vector<std::shared_ptr<CStrataCache>> caches;
    std::lock_guard<std::mutex> lock(g_registryLock);
    if (g_registry == nullptr) return caches;
    for (const auto& w : *g_registry) {
        if (auto c = w.lock()) caches.push_back(std::move(c));
    }
    return caches;
}

}  // namespace

void StrataInvalidateOtherCaches(const CStrataCache* except) {
    for (const auto& c : LiveCaches()) {
        if (c.get() != except) c->Invalidate(std::string());
    }
}

StrataCacheStats StrataNetworkCacheStats() {
    const std::vector<std::shared_ptr<CStrataCache>> caches = LiveCaches();
    StrataCacheStats all;
    for (const auto& c : caches) {
        const StrataCacheStats s = c->Stats();
        all.m_hits += s.m_hits;
        all.m_misses += s.m_misses;
        all.m_emptied += s.m_emptied;
        all.m_bytes += s.m_bytes;
        all.m_entries += s.m_entries;
    }
    return all;
}

CCachedStore::CCachedStore(std::shared_ptr<CStrataCache> cache, std::unique_ptr<IStrataStore> inner, Opener open)
    : m_cache(std::move(cache)), m_open(std::move(open)), m_inner(std::move(inner)) {}

CCachedStore::~CCachedStore() = default;

IStrataStore* CCachedStore::Inner(StrataStatus& st) {
    if (!m_inner) {
        std::unique_ptr<IStrataStore> opened = m_open(st);
        if (!opened) return nullptr;
        opened->BeginCall();
        std::lock_guard<std::mutex> lock(m_innerLock);
        m_inner = std::move(opened);
        if (m_cancel.load()) m_inner->Interrupt();
    }
    m_inner->ReadAfter(m_cache->Later(m_readAfter, m_cache->FillPosition()));
    return m_inner.get();
}

void CCachedStore::Interrupt() {
    m_cancel.store(true);
    std::lock_guard<std::mutex> lock(m_innerLock);
    if (m_inner) m_inner->Interrupt();
}

void CCachedStore::BeginCall() {
    m_cancel.store(false);
    if (m_inner) m_inner->BeginCall();
}

void CCachedStore::Idle() {
    if (m_inner) m_inner->Idle();
}

std::string CCachedStore::WritePosition() const { return m_inner ? m_inner->WritePosition() : std::string(); }

void CCachedStore::ReadAfter(const std::string& position) { m_readAfter = position; }

bool CCachedStore::Search(const std::string& db, const std::string& key, const std::string& term, int64_t after,
                          size_t limit, std::vector<int64_t>& hits, bool& more, StrataStatus& st) {
    hits.clear();
    more = false;
    if (!m_cache->Live()) {
        IStrataStore* in = Inner(st);
        return in && in->Search(db, key, term, after, limit, hits, more, st);
    }
    const std::string k = HitsKey(db, key, term);
    std::shared_ptr<const std::vector<uint32_t>> list = m_cache->FindHits(k);
    if (!list) {
        const uint64_t epoch = m_cache->Epoch();
        IStrataStore* in = Inner(st);
        std::vector<int64_t> all;
        bool rest = false;
        if (!in || !in->Search(db, key, term, 0, SIZE_MAX, all, rest, st)) return false;
        auto built = std::make_shared<std::vector<uint32_t>>();
        built->reserve(all.size());
        for (int64_t n : all) {
            if (n < 0 || n > int64_t(UINT32_MAX)) return in->Search(db, key, term, after, limit, hits, more, st);
            built->push_back(uint32_t(n));
        }
        m_cache->PutHits(k, built, epoch);
        list = std::move(built);
    }
    more = StrataSliceHits(*list, after, limit, hits);
    return true;
}

bool CCachedStore::ReadRecord(const std::string& db, int64_t number, std::string& diriv, StrataStatus& st) {
    const bool live = m_cache->Live();
    const std::string k = live ? RecordKey(db, number) : std::string();
    if (live) {
        if (auto text = m_cache->FindRecord(k)) {
            diriv = *text;
            return true;
        }
    }
    const uint64_t epoch = m_cache->Epoch();
    IStrataStore* in = Inner(st);
    if (!in || !in->ReadRecord(db, number, diriv, st)) return false;
    if (live) m_cache->PutRecord(k, diriv, epoch);
    return true;
}

bool CCachedStore::ReadRecords(const std::string& db, const std::vector<int64_t>& numbers,
                               std::vector<std::string>& dirivs, StrataStatus& st) {
    if (!m_cache->Live()) {
        IStrataStore* in = Inner(st);
        return in && in->ReadRecords(db, numbers, dirivs, st);
    }
    const uint64_t epoch = m_cache->Epoch();
    dirivs.assign(numbers.size(), std::string());
    std::vector<int64_t> missing;
    std::vector<size_t> where;
    for (size_t i = 0; i < numbers.size(); ++i) {
        if (auto text = m_cache->FindRecord(RecordKey(db, numbers[i]))) {
            dirivs[i] = *text;
        } else {
            missing.push_back(numbers[i]);
            where.push_back(i);
        }
    }
    if (missing.empty()) return true;
    IStrataStore* in = Inner(st);
    std::vector<std::string> read;
    if (!in || !in->ReadRecords(db, missing, read, st)) return false;
    // The answer comes from one snapshot: when the store changed meanwhile, all of it is read again.
    if (m_cache->Epoch() != epoch) return in->ReadRecords(db, numbers, dirivs, st);
    for (size_t j = 0; j < missing.size() && j < read.size(); ++j) {
        if (!read[j].empty()) m_cache->PutRecord(RecordKey(db, missing[j]), read[j], epoch);
        dirivs[where[j]] = std::move(read[j]);
    }
    return true;
}

bool CCachedStore::Login(const std::string& user, const std::string& password, int& rights, StrataStatus& st) {
    IStrataStore* in = Inner(st);
    return in && in->Login(user, password, rights, st);
}

bool CCachedStore::ListDatabases(std::vector<StrataDatabaseInfo>& out, bool counts, StrataStatus& st) {
    IStrataStore* in = Inner(st);
    return in && in->ListDatabases(out, counts, st);
}

bool CCachedStore::ReadCfgFile(const std::string& db, const std::string& file, std::string& content,
                               StrataStatus& st) {
    IStrataStore* in = Inner(st);
    return in && in->ReadCfgFile(db, file, content, st);
}

bool CCachedStore::ScanTerms(const std::string& db, const std::string& key, const std::string& term, bool before,
                             size_t skip, size_t limit, std::vector<StrataTermCount>& terms, StrataStatus& st) {
    IStrataStore* in = Inner(st);
    return in && in->ScanTerms(db, key, term, before, skip, limit, terms, st);
}

bool CCachedStore::ReadSortValues(const std::string& db, const std::string& key, int64_t from, int64_t to,
                                  const std::vector<int64_t>& numbers, size_t limit,
                                  std::vector<StrataSortValue>& values, bool& numeric, StrataStatus& st) {
    IStrataStore* in = Inner(st);
    return in && in->ReadSortValues(db, key, from, to, numbers, limit, values, numeric, st);
}

bool CCachedStore::WriteRecord(const std::string& db, int64_t number, StrataWrite how, const std::string& diriv,
                               StrataStatus& st) {
    IStrataStore* in = Inner(st);
    return in && Wrote(in->WriteRecord(db, number, how, diriv, st));
}

bool CCachedStore::CreateSchema(StrataStatus& st) {
    IStrataStore* in = Inner(st);
    return in && Wrote(in->CreateSchema(st));
}

bool CCachedStore::AddDatabase(const std::string& name, StrataStatus& st) {
    IStrataStore* in = Inner(st);
    return in && Wrote(in->AddDatabase(name, st));
}

bool CCachedStore::DropDatabase(const std::string& name, StrataStatus& st) {
    IStrataStore* in = Inner(st);
    return in && Wrote(in->DropDatabase(name, st));
}

bool CCachedStore::PutCfgFile(const std::string& db, const std::string& file, const std::string& content,
                              StrataStatus& st) {
    IStrataStore* in = Inner(st);
    return in && Wrote(in->PutCfgFile(db, file, content, st));
}

bool CCachedStore::ListCfgFiles(const std::string& db, std::vector<std::string>& names, StrataStatus& st) {
    IStrataStore* in = Inner(st);
    return in && in->ListCfgFiles(db, names, st);
}

int CCachedStore::LoadRecords(const std::string& db, const std::vector<std::string>& dirivs,
                              std::vector<StrataRejectedRecord>& rejected, StrataStatus& st) {
    IStrataStore* in = Inner(st);
    return in ? Wrote(in->LoadRecords(db, dirivs, rejected, st)) : -1;
}

int64_t CCachedStore::NextRecordNumber(const std::string& db, StrataStatus& st) {
    IStrataStore* in = Inner(st);
    return in ? in->NextRecordNumber(db, st) : -1;
}

int64_t CCachedStore::ForEachRecord(const std::string& db,
                                    const std::function<bool(int64_t, const std::string&)>& visit, StrataStatus& st) {
    IStrataStore* in = Inner(st);
    return in ? in->ForEachRecord(db, visit, st) : -1;
}

bool CCachedStore::Reindex(const std::string& db, StrataStatus& st) {
    IStrataStore* in = Inner(st);
    return in && Wrote(in->Reindex(db, st));
}

bool CCachedStore::PutAccount(const std::string& name, const std::string* password, int rights, bool create,
                              StrataStatus& st) {
    IStrataStore* in = Inner(st);
    return in && in->PutAccount(name, password, rights, create, st);
}

bool CCachedStore::RemoveAccount(const std::string& name, StrataStatus& st) {
    IStrataStore* in = Inner(st);
    return in && in->RemoveAccount(name, st);
}

bool CCachedStore::ListAccounts(std::vector<StrataAccountInfo>& out, StrataStatus& st) {
    IStrataStore* in = Inner(st);
    return in && in->ListAccounts(out, st);
}

bool CCachedStore::ExportAccounts(std::vector<StrataAccountInfo>& out, StrataStatus& st) {
    IStrataStore* in = Inner(st);
    return in && in->ExportAccounts(out, st);
}

bool CCachedStore::ImportAccount(const StrataAccountInfo& account, StrataStatus& st) {
    IStrataStore* in = Inner(st);
    return in && in->ImportAccount(account, st);
}
