// The network back-end on PostgreSQL only: the per-process connection cap, a connection lost
// during a call (5, then a new connection), a refused server login, a store of a newer format.
#include <atomic>
#include <chrono>
#include <thread>

#include "backend/strata/strata_cache.h"
#include "strata_fixture.h"

namespace {

class StrataPgTest : public StrataStoreTest {
protected:
    // A channel logged in through a pool of its own (another cap), so the store format is checked again.
    void OpenThroughNewPool(CInterface& iface, CConnect& channel) {
        iface.SetNetworkOptions(m_pg.NetOptions(3));
        ASSERT_EQ(iface.LoadLibraryA("netchan32.dll", m_pg.Database().c_str()), 0);
        std::string error;
        ASSERT_EQ(iface.GetAllProcAddress(error), 0) << error;
        ASSERT_EQ(PrepareDatabaseChannel(channel, "demo", "demo", &iface), 0);
        ASSERT_EQ(LoginDatabase(channel, "", false, "public", ""), 0);
    }
};

TEST_P(StrataPgTest, FiftyChannelsOnEightThreadsShareTheCappedPool) {
    std::vector<std::string> records;
    for (int i = 1; i <= 200; ++i) records.push_back(MakeDiriv(i, "pooled " + std::to_string(i % 5)));
    Load(records);
    CInterface capped;
    capped.SetNetworkOptions(m_pg.NetOptions(4));
    ASSERT_EQ(capped.LoadLibraryA("netchan32.dll", m_pg.Database().c_str()), 0);
    std::vector<std::unique_ptr<CConnect>> channels;
    for (int i = 0; i < 50; ++i) {
        channels.push_back(std::make_unique<CConnect>());
        ASSERT_EQ(PrepareDatabaseChannel(*channels.back(), "demo", "demo", &capped), 0);
        ASSERT_EQ(LoginDatabase(*channels.back(), "", false, "public", ""), 0);
    }
    std::atomic<int> failures{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            std::vector<char> buffer(65535);
            for (int round = 0; round < 40; ++round) {
                CConnect& c = *channels[size_t(t + 8 * (round % 6))];  // channels of this thread only
                const std::string path = capped.GetPathPrefix() + "books/title/pooled " + std::to_string(round % 5);
                if (c.API_Search(path.c_str(), int(path.size()) + 1, buffer.data(), 65535, 5) <= 0) ++failures;
            }
        });
    }
    int most = 0;
    std::thread watcher([&] {
        while (!done.load()) {
            most = std::max(most, m_pg.Connections());
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    for (auto& t : threads) t.join();
    done = true;
    watcher.join();
    EXPECT_EQ(failures.load(), 0);
    // The capped pool's four, the admin connection of the fixture, and the notice listeners of
    // the caches of the admin's and the channels' connection strings.
    EXPECT_GE(most, 1);
    EXPECT_LE(most, 4 + 1 + 2);
}

TEST_P(StrataPgTest, AConnectionLostDuringACallIs5AndTheNextCallConnectsAgain) {
    LoadLongSearch();
    CConnect c;
    Open(c);
    std::atomic<bool> done{false};
    std::thread killer([&] {
        std::string error;
        // The search's connection, inside its read transaction (running or between statements).
        for (int i = 0; i < 3000 && !done.load(); ++i) {
            m_pg.Admin("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname='" + m_pg.Database() +
                           "' AND xact_start IS NOT NULL AND pid<>pg_backend_pid()",
                       error);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    CPackage pkg;
    const int r = Search(c, "books/title/beta alpha", 5, pkg);
    done = true;
    killer.join();
    EXPECT_EQ(r, -1);
    int code = 0;
    std::string text;
    c.GetLastError(code, text);
    EXPECT_EQ(code, kStrataChannelBroken) << text;
    EXPECT_NE(text.find("lost"), std::string::npos) << text;
    // The broken connection left the pool; the channel's next call gets a new one.
    EXPECT_EQ(AllHits(c, "books/title/alpha").size(), 30000u);
}

TEST_P(StrataPgTest, ARefusedServerPasswordIsAClearLoadError) {
    CInterface iface;
    StrataNetOptions options = m_pg.NetOptions();
    options.m_password = "wrong";
    iface.SetNetworkOptions(options);
    ASSERT_EQ(iface.LoadLibraryA("netchan32.dll", m_pg.Database().c_str()), 0);
    std::string error;
    EXPECT_EQ(iface.GetAllProcAddress(error), -1);
    EXPECT_NE(error.find("password authentication failed"), std::string::npos) << error;
    EXPECT_NE(error.find(options.m_address), std::string::npos) << error;
}

TEST_P(StrataPgTest, AnOlderStoreFormatIsUpgradedInPlaceAndANewerOneIsRefused) {
    Load({MakeDiriv(1, "Upgraded title"), MakeDiriv(2, "Other title")});
    m_admin.reset();
    // Format 1: one postings row per (key, token, record), no generation column.
    PGconn* c = PQconnectdb(m_pg.Spec().substr(3).c_str());
    ASSERT_EQ(PQstatus(c), CONNECTION_OK);
    for (const char* sql : {"DROP TABLE postings",
                            "CREATE TABLE postings(k bigint NOT NULL, tok bytea NOT NULL, rec bigint NOT NULL,"
                            " PRIMARY KEY(k, tok, rec))",
                            "ALTER TABLE databases DROP COLUMN gen", "UPDATE meta SET v=1 WHERE k='format'"}) {
        PGresult* r = PQexec(c, sql);
        EXPECT_EQ(PQresultStatus(r), PGRES_COMMAND_OK) << sql << ": " << PQerrorMessage(c);
        PQclear(r);
    }
    CInterface iface;
    CConnect channel;
    ASSERT_NO_FATAL_FAILURE(OpenThroughNewPool(iface, channel));
    std::vector<char> buffer(65535);
    const std::string path = iface.GetPathPrefix() + "books/title/upgraded";
    ASSERT_GT(channel.API_Search(path.c_str(), int(path.size()) + 1, buffer.data(), 65535, 5), 0);
    CPackage pkg;
    ASSERT_EQ(pkg.LoadPackage(buffer.data(), buffer.size()), 0);
    ASSERT_EQ(pkg.CvtPackageToLineFormat(1), 0);
    EXPECT_EQ(pkg.GetLines(), std::vector<std::string>{"0000001"});
    PGresult* r = PQexec(c, "SELECT v FROM meta WHERE k='format'");
    EXPECT_EQ(std::string(PQgetvalue(r, 0, 0)), "4");  // the current format
    PQclear(r);

    PQclear(PQexec(c, "UPDATE meta SET v=99 WHERE k='format'"));
    PQfinish(c);
    CInterface newer;
    std::string error;
    newer.SetNetworkOptions(m_pg.NetOptions(2));
    ASSERT_EQ(newer.LoadLibraryA("netchan32.dll", m_pg.Database().c_str()), 0);
    EXPECT_EQ(newer.GetAllProcAddress(error), -1);
    EXPECT_NE(error.find("newer than this program"), std::string::npos) << error;
}

TEST_P(StrataPgTest, AStoreOfTheFormerKeyFormatIsRekeyedWhenOpened) {
    Load({MakeDiriv(1, "x", Utf8ToAnsi("Łukasiewicz, Jan"))});
    m_admin.reset();
    PGconn* c = PQconnectdb(m_pg.Spec().substr(3).c_str());
    ASSERT_EQ(PQstatus(c), CONNECTION_OK);
    PQclear(PQexec(c, "DELETE FROM postings"));
    PQclear(PQexec(c, "UPDATE meta SET v=2 WHERE k='format'"));
    CInterface iface;
    CConnect channel;
    ASSERT_NO_FATAL_FAILURE(OpenThroughNewPool(iface, channel));
    EXPECT_EQ(AllHits(channel, "books/author/" + Utf8ToAnsi("ŁUKASIEWICZ")),
              std::vector<std::string>{"0000001"});
    PGresult* r = PQexec(c, "SELECT v FROM meta WHERE k='format'");
    EXPECT_EQ(std::string(PQgetvalue(r, 0, 0)), "4");
    PQclear(r);
    PQfinish(c);
}

uint64_t RoundTrips() {
    uint64_t n = 0;
    for (const StrataServerStats& s : StrataNetworkServerStats()) n += s.m_roundTrips;
    return n;
}

// Without the process cache a search and the present of its records wait for four answers of
// the server (the BEGIN travels with the first statement, a read's COMMIT is not waited for),
// and the pooled connections, left with that COMMIT's answer unread, are reused or, when the
// server ended them meanwhile, replaced: every call still answers right.
TEST_P(StrataPgTest, UncachedCallsWaitForFewAnswersAndEndedIdleConnectionsAreReplaced) {
    Load({MakeDiriv(1, "Round trip"), MakeDiriv(2, "Round table"), MakeDiriv(3, "Square table")});
    const size_t cacheBytes = StrataCacheBytes();
    StrataSetCacheBytes(0);
    CInterface iface;
    CConnect c;
    ASSERT_NO_FATAL_FAILURE(OpenThroughNewPool(iface, c));
    StrataSetCacheBytes(cacheBytes);
    std::vector<char> buffer(65535);
    auto call = [&](const std::string& path, int style) {
        const std::string full = iface.GetPathPrefix() + path;
        const int r = c.API_Search(full.c_str(), int(full.size()) + 1, buffer.data(), 65535, style);
        CPackage pkg;
        if (r <= 0 || pkg.LoadPackage(buffer.data(), buffer.size()) != 0) return std::vector<std::string>{"failed"};
        if (style == 5) return pkg.CvtPackageToLineFormat(1) == 0 ? pkg.GetLines() : std::vector<std::string>{"failed"};
        std::vector<std::string> records;  // the 9-octet headers of a record list
        if (pkg.CvtPackageToBinFormat(1) != 0) return std::vector<std::string>{"failed"};
        for (size_t i = 0; i < pkg.GetRecordCount(); ++i)
            records.emplace_back(reinterpret_cast<const char*>(pkg.GetRecord(i)->data()), 9);
        return records;
    };
    const std::vector<std::string> round{"0000001", "0000002"};
    ASSERT_EQ(call("books/title/round", 5), round);  // these two prepare the statements
    ASSERT_EQ(call("books/ctlno/0000002,0000003", 2), (std::vector<std::string>{"#0000002 ", "#0000003 "}));
    const uint64_t before = RoundTrips();
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(call("books/title/round", 5), round);
        ASSERT_EQ(call("books/ctlno/0000001,0000002", 2), (std::vector<std::string>{"#0000001 ", "#0000002 "}));
    }
    EXPECT_LE(RoundTrips() - before, 10u * 4u);
    std::string error;
    struct Case {
        const char* path;
        int style;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"books/title/table", 5, {"0000002", "0000003"}},
        {"books/title/square", 5, {"0000003"}},
        {"books/ctlno/0000003,0000001", 2, {"#0000003 ", "#0000001 "}},
        {"books/title/square", 5, {"0000003"}},
    };
    for (const Case& k : cases) {
        // Every idle connection of the database ends between two calls.
        ASSERT_TRUE(m_pg.Admin("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname='" +
                                   m_pg.Database() + "' AND pid<>pg_backend_pid() AND state='idle'",
                               error))
            << error;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(call(k.path, k.style), k.lines) << k.path;
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, StrataPgTest, ::testing::Values(std::string("pg")), EngineName);

}  // namespace
