// The cache of hit lists and records in front of the network back-end: its byte bound, emptying,
// fills that began before an emptying, the order of read positions, concurrent fills and
// emptyings; and, on PostgreSQL, writes made past this process's cache reaching its searches.
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "backend/strata/pg_notify.h"
#include "backend/strata/pg_standbys.h"
#include "backend/strata/strata_cache.h"
#include "strata_fixture.h"

namespace {

std::shared_ptr<const std::vector<uint32_t>> List(std::initializer_list<uint32_t> numbers) {
    return std::make_shared<const std::vector<uint32_t>>(numbers);
}

TEST(StrataCacheTest, StaysWithinItsBytesDroppingTheLeastRecentlyUsed) {
    CStrataCache cache(64 * 1024);
    cache.SetLive(true, "");
    const std::string text(1000, 'x');
    cache.PutRecord("r1", text, cache.Epoch());
    for (int i = 2; i <= 200; ++i) {
        cache.PutRecord("r" + std::to_string(i), text, cache.Epoch());
        ASSERT_TRUE(cache.FindRecord("r1")) << i;  // used again each time: kept
        EXPECT_LE(cache.Stats().m_bytes, cache.Limit());
    }
    EXPECT_FALSE(cache.FindRecord("r2"));  // the oldest unused went
    EXPECT_TRUE(cache.FindRecord("r200"));
    // An entry above an eighth of the limit is not kept.
    cache.PutRecord("big", std::string(9000, 'y'), cache.Epoch());
    EXPECT_FALSE(cache.FindRecord("big"));
}

TEST(StrataCacheTest, EmptyingsDropEntriesAndRefuseFillsThatBeganBefore) {
    CStrataCache cache(1 << 20, PgLaterPosition);
    cache.PutHits("h", List({1, 2}), cache.Epoch());
    EXPECT_FALSE(cache.FindHits("h"));  // not live: nothing kept
    cache.SetLive(true, "0/10");
    const uint64_t before = cache.Epoch();
    cache.PutHits("h", List({1, 2}), before);
    ASSERT_TRUE(cache.FindHits("h"));
    EXPECT_EQ(*cache.FindHits("h"), (std::vector<uint32_t>{1, 2}));
    cache.Invalidate("0/20");
    EXPECT_FALSE(cache.FindHits("h"));
    cache.PutHits("h", List({1}), before);  // read before the change: refused
    EXPECT_FALSE(cache.FindHits("h"));
    EXPECT_EQ(cache.FillPosition(), "0/20");
    cache.Invalidate("0/18");  // an older position never moves it back
    EXPECT_EQ(cache.FillPosition(), "0/20");
    cache.PutHits("h", List({3}), cache.Epoch());
    cache.SetLive(false, "");  // notices may be missed: empty and unused
    EXPECT_FALSE(cache.FindHits("h"));
}

TEST(StrataCacheTest, WalPositionsOrder) {
    const struct {
        const char* a;
        const char* b;
        const char* later;
    } cases[] = {
        {"0/16B3748", "0/16B3750", "0/16B3750"}, {"1/0", "0/FFFFFFFF", "1/0"}, {"A/10", "A/10", "A/10"},
        {"0/10", kPgOnPrimary, kPgOnPrimary},   {"junk", "0/10", kPgOnPrimary},     {"0/10", "1/", kPgOnPrimary},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PgLaterPosition(c.a, c.b), c.later) << c.a << " " << c.b;
        EXPECT_EQ(PgLaterPosition(c.b, c.a), c.later) << c.b << " " << c.a;
    }
}

// Readers fill from a "store" (a version number) while a writer changes it and empties the
// cache: once an emptying has returned, no reader finds what the store held before it.
TEST(StrataCacheTest, ConcurrentFillsNeverOutliveTheEmptyingAfterThem) {
    CStrataCache cache(1 << 20);
    cache.SetLive(true, "");
    std::atomic<uint32_t> version{0}, emptied{0};
    std::atomic<bool> stop{false};
    std::atomic<int> stale{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&, t] {
            const std::string key = "h" + std::to_string(t % 2);
            while (!stop.load()) {
                const uint32_t floor = emptied.load();
                if (auto found = cache.FindHits(key)) {
                    if (found->front() < floor) ++stale;
                    continue;
                }
                const uint64_t epoch = cache.Epoch();
                cache.PutHits(key, List({version.load()}), epoch);
            }
        });
    }
    for (uint32_t v = 1; v <= 2000; ++v) {
        version.store(v);
        cache.Invalidate("");
        emptied.store(v);
    }
    stop = true;
    for (auto& r : readers) r.join();
    EXPECT_EQ(stale.load(), 0);
}

// An inner channel that answers searches with fixed hits and notes the read positions asked of it.
class CFakeStore : public IStrataStore {
public:
    std::vector<std::string> m_readAfter;  // at each search
    std::string m_position, m_written;
    int m_searches = 0;

    void Interrupt() override {}
    void BeginCall() override {}
    std::string WritePosition() const override { return m_written; }
    void ReadAfter(const std::string& position) override { m_position = position; }
    bool Search(const std::string&, const std::string&, const std::string&, int64_t after, size_t limit,
                std::vector<int64_t>& hits, bool& more, StrataStatus&) override {
        ++m_searches;
        m_readAfter.push_back(m_position);
        hits.clear();
        for (int64_t n = after + 1; n <= 5 && hits.size() < limit; ++n) hits.push_back(n);
        more = hits.size() == limit && hits.back() < 5;
        return true;
    }
    bool WriteRecord(const std::string&, int64_t, StrataWrite, const std::string&, StrataStatus&) override {
        m_written = "0/30";
        return true;
    }
    bool Login(const std::string&, const std::string&, int&, StrataStatus&) override { return false; }
    bool ListDatabases(std::vector<StrataDatabaseInfo>&, bool, StrataStatus&) override { return false; }
    bool ReadCfgFile(const std::string&, const std::string&, std::string&, StrataStatus&) override { return false; }
    bool ReadRecord(const std::string&, int64_t, std::string&, StrataStatus&) override { return false; }
    bool ReadRecords(const std::string&, const std::vector<int64_t>&, std::vector<std::string>&,
                     StrataStatus&) override {
        return false;
    }
    bool ScanTerms(const std::string&, const std::string&, const std::string&, bool, size_t, size_t,
                   std::vector<StrataTermCount>&, StrataStatus&) override {
        return false;
    }
    bool ReadSortValues(const std::string&, const std::string&, int64_t, int64_t, const std::vector<int64_t>&, size_t,
                        std::vector<StrataSortValue>&, bool&, StrataStatus&) override {
        return false;
    }
    bool CreateSchema(StrataStatus&) override { return false; }
    bool AddDatabase(const std::string&, StrataStatus&) override { return false; }
    bool DropDatabase(const std::string&, StrataStatus&) override { return false; }
    bool PutCfgFile(const std::string&, const std::string&, const std::string&, StrataStatus&) override { return false; }
    bool ListCfgFiles(const std::string&, std::vector<std::string>&, StrataStatus&) override { return false; }
    int LoadRecords(const std::string&, const std::vector<std::string>&, std::vector<StrataRejectedRecord>&,
                    StrataStatus&) override {
        return -1;
    }
    int64_t NextRecordNumber(const std::string&, StrataStatus&) override { return -1; }
    int64_t ForEachRecord(const std::string&, const std::function<bool(int64_t, const std::string&)>&,
                          StrataStatus&) override {
        return -1;
    }
    bool Reindex(const std::string&, StrataStatus&) override { return false; }
    bool PutAccount(const std::string&, const std::string*, int, bool, StrataStatus&) override { return false; }
    bool RemoveAccount(const std::string&, StrataStatus&) override { return false; }
    bool ListAccounts(std::vector<StrataAccountInfo>&, StrataStatus&) override { return false; }
    bool ExportAccounts(std::vector<StrataAccountInfo>&, StrataStatus&) override { return false; }
    bool ImportAccount(const StrataAccountInfo&, StrataStatus&) override { return false; }
};

// Pages come from one computed list; a refill after an emptying reads at least the position of
// the emptying (a lagging standby cannot answer it), and a session's own later position wins.
TEST(StrataCacheTest, RefillsReadAtLeastTheEmptyingsPosition) {
    auto cache = std::make_shared<CStrataCache>(1 << 20, PgLaterPosition);
    cache->SetLive(true, "0/20");
    auto owned = std::make_unique<CFakeStore>();
    CFakeStore& fake = *owned;
    int opened = 0;
    CCachedStore store(cache, nullptr, [&](StrataStatus&) {
        ++opened;
        return std::move(owned);
    });
    std::vector<int64_t> hits;
    bool more = false;
    StrataStatus st;
    store.ReadAfter("0/10");
    ASSERT_TRUE(store.Search("books", "title", "x", 0, 2, hits, more, st));
    EXPECT_EQ(hits, (std::vector<int64_t>{1, 2}));
    EXPECT_TRUE(more);
    ASSERT_TRUE(store.Search("books", "title", "x", 2, 10, hits, more, st));
    EXPECT_EQ(hits, (std::vector<int64_t>{3, 4, 5}));
    EXPECT_FALSE(more);
    ASSERT_TRUE(store.WriteRecord("books", 1, StrataWrite::kReplace, "", st));
    ASSERT_TRUE(store.Search("books", "title", "x", 0, 10, hits, more, st));
    store.ReadAfter("0/40");
    cache->Invalidate("");
    ASSERT_TRUE(store.Search("books", "title", "x", 0, 10, hits, more, st));
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(fake.m_readAfter, (std::vector<std::string>{"0/20", "0/30", "0/40"}));
}

class StrataCachePgTest : public StrataStoreTest {
protected:
    // Runs `sql` on a connection of its own, as another program writing to the store would.
    void Elsewhere(const std::string& sql) {
        PGconn* c = PQconnectdb(m_pg.Spec().substr(3).c_str());
        ASSERT_EQ(PQstatus(c), CONNECTION_OK);
        PGresult* r = PQexec(c, sql.c_str());
        EXPECT_EQ(PQresultStatus(r), PGRES_COMMAND_OK) << sql << ": " << PQerrorMessage(c);
        PQclear(r);
        PQfinish(c);
    }
    // Waits (5 s at most) until the searches see `hits`.
    bool Sees(CConnect& c, const std::string& path, const std::vector<std::string>& hits) {
        for (int i = 0; i < 500; ++i) {
            if (AllHits(c, path) == hits) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    // Waits until the cache serves (its listener listens).
    void WaitLive(CConnect& c) {
        for (int i = 0; i < 500 && StrataNetworkCacheStats().m_hits == 0; ++i) {
            AllHits(c, "books/title/cached");
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_GT(StrataNetworkCacheStats().m_hits, 0u);
    }
};

TEST_P(StrataCachePgTest, WritesPastThisProcessReachItsSearchesSoon) {
    Load({MakeDiriv(1, "cached one"), MakeDiriv(2, "cached two"), MakeDiriv(3, "other")});
    CConnect c;
    Open(c);
    ASSERT_NO_FATAL_FAILURE(WaitLive(c));
    const std::vector<std::string> both{"0000001", "0000002"};
    ASSERT_EQ(AllHits(c, "books/title/cached"), both);
    // Written by this process (the admin channel): seen at once.
    Load({MakeDiriv(3, "cached three")});
    EXPECT_EQ(AllHits(c, "books/title/cached"), (std::vector<std::string>{"0000001", "0000002", "0000003"}));
    // Written by another program: seen after its notice.
    Elsewhere("DELETE FROM postings");
    EXPECT_TRUE(Sees(c, "books/title/cached", {}));
    EXPECT_GT(StrataNetworkCacheStats().m_emptied, 1u);
}

INSTANTIATE_TEST_SUITE_P(Engines, StrataCachePgTest, ::testing::Values(std::string("pg")), EngineName);

}  // namespace
