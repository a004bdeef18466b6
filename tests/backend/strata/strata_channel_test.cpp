// CInterface and CConnect reads: interface selection, the 63 -> login -> repeat flow, listings,
// paged cfgs files and hit lists, record blocks, buffer limits.
#include "strata_fixture.h"

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include "berkit/extended_exception.h"

namespace {

TEST(CInterfaceTest, UnknownInterfaceFailsWithAClearText) {
    CInterface iface;
    EXPECT_EQ(iface.LoadLibraryA("nosuch.dll", "inst"), -1);
    std::string error;
    EXPECT_EQ(iface.GetAllProcAddress(error), -1);
    EXPECT_NE(error.find("unknown back-end interface [nosuch.dll]"), std::string::npos) << error;
}

TEST(CInterfaceTest, UnreachableNetworkServerGives66WithItsAddress) {
    CInterface iface;
    iface.SetNetworkOptions(StrataNetOptions{"127.0.0.1:1", "velkan", "x", 4, {}});
    ASSERT_EQ(iface.LoadLibraryA("NETCHAN32.DLL", "inst"), 0);
    EXPECT_EQ(iface.GetPathPrefix(), "127.0.0.1:1/");
    std::string error;
    EXPECT_EQ(iface.GetAllProcAddress(error), 0) << error;  // the server may come later
    CConnect c;
    c.SetInterface(&iface);
    EXPECT_EQ(c.PrepareChannel(nullptr), -1);
    int code = 0;
    std::string text;
    c.GetLastError(code, text);
    EXPECT_EQ(code, kStrataUnreachable);
    EXPECT_NE(text.find("127.0.0.1:1"), std::string::npos) << text;
}

TEST(CInterfaceTest, MissingStoreIsUnreachable) {
    CInterface::SetStoreFolder("/nonexistent-folder");
    CInterface iface;
    ASSERT_EQ(iface.LoadLibraryA("localcore32.dll", "nostore"), 0);
    CConnect c;
    c.SetInterface(&iface);
    EXPECT_EQ(c.PrepareChannel(nullptr), -1);
    int code = 0;
    std::string text;
    c.GetLastError(code, text);
    EXPECT_EQ(code, kStrataUnreachable);
    EXPECT_EQ(c.IsConnected(), 0);
    EXPECT_THROW(PrepareDatabaseChannel(c, "u", "p", &iface), extended_exception);
}

class StrataChannelTest : public StrataStoreTest {};

TEST_P(StrataChannelTest, ChannelsKeepWorkingWhileTheHostSelectsTheInterfaceAgain) {
    // The console reconnects the back-end by selecting the same interface again while sessions
    // open channels and call through it.
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> sessions;
    for (int t = 0; t < 3; ++t) {
        sessions.emplace_back([&] {
            std::vector<char> buffer(65535);
            for (int i = 0; i < 30; ++i) {
                CConnect c;
                if (PrepareDatabaseChannel(c, "demo", "demo", &m_iface) != 0 ||
                    LoginDatabase(c, "", false, "public", "") != 0) {
                    ++failures;
                    continue;
                }
                const std::string root = m_iface.GetPathPrefix();
                if (c.API_Dir(root.c_str(), int(root.size()) + 1, buffer.data(), 65535) <= 0) ++failures;
            }
        });
    }
    std::thread host([&] {
        const std::string library = IsPg() ? "netchan32.dll" : "localcore32.dll";
        const std::string instance = IsPg() ? m_pg.Database() : "inst";
        while (!done.load()) {
            if (IsPg()) m_iface.SetNetworkOptions(m_pg.NetOptions());
            m_iface.LoadLibraryA(library.c_str(), instance.c_str());
        }
    });
    for (auto& s : sessions) s.join();
    done = true;
    host.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST_P(StrataChannelTest, CallsBeforeLoginGet63AndSucceedAfterLogin) {
    CConnect c;
    ASSERT_EQ(PrepareDatabaseChannel(c, "demo", "demo", &m_iface), 0);
    EXPECT_NE(c.IsConnected(), 0);
    std::vector<char> buffer(65535);
    EXPECT_EQ(c.API_Dir("", 1, buffer.data(), 65535), -1);
    EXPECT_EQ(LastCode(c), kStrataLoginRequired);
    ASSERT_EQ(LoginDatabase(c, "", false, "public", ""), 0);
    const int r = c.API_Dir("", 1, buffer.data(), 65535);
    ASSERT_GT(r, 0);
    CPackage pkg;
    ASSERT_EQ(pkg.LoadPackage(buffer.data(), buffer.size()), 0);
    ASSERT_EQ(pkg.CvtPackageToLineFormat(1), 0);
    EXPECT_EQ(pkg.GetLines(), std::vector<std::string>{P("books")});
    EXPECT_EQ(LastCode(c), 0);
    c.EndChannel();
    EXPECT_EQ(c.API_Dir("", 1, buffer.data(), 65535), -1);
    EXPECT_EQ(LastCode(c), kStrataChannelBroken);
}

TEST_P(StrataChannelTest, WrongPasswordFailsAndAnonymousRetryLogsInAsPublic) {
    CConnect c;
    ASSERT_EQ(PrepareDatabaseChannel(c, "demo", "wrong", &m_iface), 0);
    EXPECT_EQ(LoginDatabase(c, "books", false, "public", ""), -1);
    EXPECT_EQ(LastCode(c), kStrataLoginFailed);
    ASSERT_EQ(LoginDatabase(c, "books", true, "public", ""), 0);
    EXPECT_EQ(c.m_user, "public");
    std::vector<char> buffer(1024);
    const std::string path = P("books/ctlno/0000001");
    const std::string data = MakeDiriv(1, "x");
    EXPECT_EQ(c.API_Write(path.c_str(), data.data(), int(data.size()), buffer.data(), 1024, 1, 1), -1);
    EXPECT_EQ(LastCode(c), kStrataAccessDenied);
}

TEST_P(StrataChannelTest, RemovedAndChangedAccountsTakeEffect) {
    std::string error;
    ASSERT_EQ(m_admin->ChangeAccount("demo", nullptr, kStrataRightRead, error), 0) << error;
    const std::string pw = "new";
    ASSERT_EQ(m_admin->ChangeAccount("demo", &pw, -1, error), 0) << error;
    CConnect c;
    ASSERT_EQ(PrepareDatabaseChannel(c, "demo", "demo", &m_iface), 0);
    EXPECT_EQ(LoginDatabase(c, "", false, "", ""), -1);
    c.m_password = "new";
    EXPECT_EQ(LoginDatabase(c, "", false, "", ""), 0);
    ASSERT_EQ(m_admin->RemoveAccount("public", error), 0);
    CConnect anon;
    ASSERT_EQ(PrepareDatabaseChannel(anon, "public", "", &m_iface), 0);
    EXPECT_EQ(LoginDatabase(anon, "", false, "public", ""), -1);
    EXPECT_EQ(m_admin->RemoveAccount("public", error), -1);
    EXPECT_NE(error.find("no account"), std::string::npos);
}

TEST_P(StrataChannelTest, RecordIsOneBlockWithNineOctetHeader) {
    const std::string diriv = MakeDiriv(42, "Title");
    Load({diriv});
    CConnect c;
    Open(c);
    for (int style : {2, 3}) {
        CPackage pkg;
        ASSERT_GT(Search(c, "books/ctlno/0000042", style, pkg), 0);
        ASSERT_EQ(pkg.CvtPackageToBinFormat(1), 0);
        ASSERT_EQ(pkg.GetRecordCount(), 1u);
        const CByteArray& item = *pkg.GetRecord(0);
        ASSERT_GE(item.size(), 33u);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(item.data()) + 9), diriv);
        EXPECT_EQ(item.back(), 0);
        EXPECT_TRUE(pkg.GetContinuation().empty());
    }
    CPackage pkg;
    EXPECT_EQ(Search(c, "books/ctlno/0000043", 3, pkg), -1);
    EXPECT_EQ(LastCode(c), kStrataNoData);
    EXPECT_EQ(Search(c, "books/ctlno/42", 3, pkg), -1);
    EXPECT_EQ(LastCode(c), kStrataBadPath);
    EXPECT_EQ(Search(c, "books/ctlno/0000042", 5, pkg), -1);
    EXPECT_EQ(LastCode(c), kStrataBadArgument);
    EXPECT_EQ(Search(c, "nodb/ctlno/0000042", 3, pkg), -1);
    EXPECT_EQ(LastCode(c), kStrataBadPath);
    EXPECT_EQ(Search(c, "books/ctlno/0000042", 3, pkg, 40), -1);
    EXPECT_EQ(LastCode(c), kStrataBufferTooSmall);
}

// Record-list reads: the blocks of every number in the order asked, a missing one as its header.
std::vector<std::string> RecordListBlocks(CPackage& pkg) {
    std::vector<std::string> blocks;
    EXPECT_EQ(pkg.CvtPackageToBinFormat(1), 0);
    for (size_t i = 0; i < pkg.GetRecordCount(); ++i) {
        const CByteArray& item = *pkg.GetRecord(i);
        blocks.emplace_back(reinterpret_cast<const char*>(item.data()), item.size());
    }
    return blocks;
}

TEST_P(StrataChannelTest, RecordListAnswersEveryNumberInOrderAndMarksMissingOnes) {
    Load({MakeDiriv(3, "Three"), MakeDiriv(1, "One"), MakeDiriv(7, "Seven")});
    CConnect c;
    Open(c);
    for (int style : {2, 3}) {
        CPackage pkg;
        ASSERT_GT(Search(c, "books/ctlno/0000007,0000002,0000001,0000003", style, pkg), 0);
        EXPECT_TRUE(pkg.GetContinuation().empty());
        const std::vector<std::string> blocks = RecordListBlocks(pkg);
        EXPECT_EQ(blocks, (std::vector<std::string>{"#0000007 " + MakeDiriv(7, "Seven") + '\0',
                                                    std::string("#0000002 ") + '\0',
                                                    "#0000001 " + MakeDiriv(1, "One") + '\0',
                                                    "#0000003 " + MakeDiriv(3, "Three") + '\0'}));
    }
}

TEST_P(StrataChannelTest, RecordListPagesWhenTheRecordsDoNotFitAndRefusesBadLists) {
    std::vector<std::string> records;
    std::string list;
    for (int n = 1; n <= 30; ++n) {
        records.push_back(MakeDiriv(n, "Title " + std::string(200, char('a' + n % 26))));
        list += (list.empty() ? "" : ",") + SevenDigitText(n);
    }
    Load(records);
    CConnect c;
    Open(c);
    std::vector<std::string> all;
    std::string cont;
    int pages = 0;
    for (int style = 3; pages < 100; style = 3 | 0x8000) {
        CPackage pkg;
        const std::string path = "books/ctlno/" + list + (cont.empty() ? "" : "||" + cont);
        ASSERT_GT(Search(c, path, style, pkg, 1500), 0) << path;
        ++pages;
        for (const std::string& b : RecordListBlocks(pkg)) all.push_back(b);
        cont = pkg.GetContinuation();
        if (cont.empty()) break;
    }
    EXPECT_GT(pages, 2);
    ASSERT_EQ(all.size(), 30u);
    for (int n = 1; n <= 30; ++n) EXPECT_EQ(all[n - 1], "#" + SevenDigitText(n) + " " + records[n - 1] + '\0');

    CPackage pkg;
    EXPECT_EQ(Search(c, "books/ctlno/" + list, 3, pkg, 200), -1);
    EXPECT_EQ(LastCode(c), kStrataBufferTooSmall);
    EXPECT_EQ(Search(c, "books/ctlno/" + list + "||30", 3 | 0x8000, pkg), -1);
    EXPECT_EQ(LastCode(c), kStrataNoData);
    for (const std::string bad : {"0000001,", "0000001,42", "0000001,0000000", "0000001;0000002",
                                  ",0000001,0000002", "0000001,,0000002"}) {
        EXPECT_EQ(Search(c, "books/ctlno/" + bad, 3, pkg), -1) << bad;
        EXPECT_EQ(LastCode(c), kStrataBadPath) << bad;
    }
    std::string tooMany;
    for (int n = 1; n <= kStrataMaxBatchRecords + 1; ++n) tooMany += (n > 1 ? "," : "") + SevenDigitText(n);
    EXPECT_EQ(Search(c, "books/ctlno/" + tooMany, 3, pkg), -1);
    EXPECT_EQ(LastCode(c), kStrataBadPath);
    EXPECT_EQ(Search(c, "books/ctlno/0000001,0000002", 5, pkg), -1);
    EXPECT_EQ(LastCode(c), kStrataBadArgument);
}

TEST_P(StrataChannelTest, ACachedDatabaseIdFollowsADropAndReAddByAnotherConnection) {
    Load({MakeDiriv(1, "Cached")});
    CConnect c;
    Open(c);
    CPackage pkg;
    ASSERT_GT(Search(c, "books/ctlno/0000001", 3, pkg), 0);
    ASSERT_EQ(AllHits(c, "books/title/cached").size(), 1u);
    std::string error;
    // Another connection drops "books" and gives its id to a new database of another name.
    ASSERT_EQ(m_admin->DropDatabase("books", error), 0) << error;
    ASSERT_EQ(m_admin->AddDatabase("other", error), 0) << error;
    ASSERT_EQ(m_admin->PutCfgFile("other", "keys.cfg", "key name=\"title\" fields=\"245a\"\n", error), 0) << error;
    std::vector<StrataRejectedRecord> rejected;
    ASSERT_EQ(m_admin->LoadRecords("other", {MakeDiriv(1, "Cached")}, rejected, error), 1) << error;
    EXPECT_EQ(Search(c, "books/ctlno/0000001", 3, pkg), -1);
    EXPECT_EQ(LastCode(c), kStrataBadPath);
    EXPECT_EQ(Search(c, "books/title/cached", 5, pkg), -1);
    EXPECT_EQ(LastCode(c), kStrataBadPath);
    EXPECT_GT(Search(c, "other/ctlno/0000001", 3, pkg), 0);
    EXPECT_EQ(AllHits(c, "other/title/cached").size(), 1u);
}

TEST_P(StrataChannelTest, LargeCfgFileIsReadInSeveralPagesAndJoinsExactly) {
    std::string content;
    for (int i = 0; i < 6000; ++i) content += "use name=\"key" + std::to_string(i) + "\" oid=\"" + std::to_string(i) + "\"\n";
    std::string error;
    ASSERT_EQ(m_admin->PutCfgFile("books", "use.cfg", content, error), 0) << error;
    CConnect c;
    Open(c);
    std::string text;
    std::string cont;
    int style = 3;
    int pages = 0;
    for (; pages < 100; ++pages) {
        CPackage pkg;
        const std::string path = cont.empty() ? "books/cfgs/use.cfg" : "books/cfgs/use.cfg||" + cont;
        ASSERT_GT(Search(c, path, style, pkg), 0);
        ASSERT_EQ(pkg.CvtPackageToBinFormat(1), 0);
        for (size_t i = 0; i < pkg.GetRecordCount(); ++i) AppendPackageText(text, *pkg.GetRecord(i));
        cont = pkg.GetContinuation();
        if (cont.empty()) break;
        style |= 0x8000;
    }
    EXPECT_GE(pages, 2);
    std::string expected = content;
    for (size_t p = 0; (p = expected.find('\n', p)) != std::string::npos; p += 2) expected.replace(p, 1, "\r\n");
    EXPECT_EQ(text, expected);
    CPackage pkg;
    EXPECT_EQ(Search(c, "books/cfgs/nosuch.cfg", 3, pkg), -1);
    EXPECT_EQ(LastCode(c), kStrataBadPath);
    EXPECT_EQ(Search(c, "books/cfgs/use.cfg||99999", 0x8003, pkg), -1);
    EXPECT_EQ(LastCode(c), kStrataNoData);
    EXPECT_EQ(Search(c, "books/cfgs/use.cfg||x1", 0x8003, pkg), -1);
    EXPECT_EQ(LastCode(c), kStrataBadArgument);
}

TEST_P(StrataChannelTest, HitListsPageInRecordOrderWithoutGapsOrRepeats) {
    std::vector<std::string> records;
    for (int i = 1; i <= 20000; ++i) records.push_back(MakeDiriv(i, "common word " + std::to_string(i % 7)));
    Load(records);
    CConnect c;
    Open(c);
    int pages = 0;
    const std::vector<std::string> hits = AllHits(c, "books/title/common", &pages);
    ASSERT_EQ(hits.size(), 20000u);
    EXPECT_GE(pages, 3);
    for (int i = 0; i < 20000; ++i) ASSERT_EQ(hits[size_t(i)], SevenDigitText(i + 1));
    pages = 0;
    const std::vector<std::string> small = AllHits(c, "books/title/word 3", &pages, 4096);
    EXPECT_EQ(small.size(), 20000u / 7);
    EXPECT_GE(pages, 5);
    CPackage pkg;
    EXPECT_EQ(Search(c, "books/title/absent", 5, pkg), -1);
    EXPECT_EQ(LastCode(c), kStrataNoData);
}

// Channels paging through hit lists hold their connections; one past the cap waits until a
// channel gives its list up.
TEST_P(StrataChannelTest, ConnectionsInUseAreCappedAndAGivenUpHitListFreesOne) {
    if (IsPg()) GTEST_SKIP() << "the cap is the embedded store's";
    std::vector<std::string> records;
    for (int i = 1; i <= 100; ++i) records.push_back(MakeDiriv(i, "gate"));
    Load(records);
    std::vector<CConnect> holders(kStrataMaxBusyChannels);
    for (CConnect& c : holders) {
        Open(c);
        CPackage pkg;
        ASSERT_GT(Search(c, "books/title/gate", 5, pkg, 200), 0);
        ASSERT_FALSE(pkg.GetContinuation().empty());  // the store keeps the rest for this channel
    }
    CConnect late;
    auto search = std::async(std::launch::async, [&] {
        Open(late);
        CPackage pkg;
        return Search(late, "books/title/gate", 5, pkg, 200);
    });
    EXPECT_EQ(search.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    holders[3].EndPages();
    ASSERT_EQ(search.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_GT(search.get(), 0);
}

TEST_P(StrataChannelTest, MalformedCallsAreRefusedWithoutTouchingTheBuffer) {
    CConnect c;
    Open(c);
    std::vector<char> buffer(100, 'z');
    const std::string path = P("books/title/x");
    const int length = int(path.size()) + 1;
    EXPECT_EQ(c.API_Search(path.c_str(), length - 1, buffer.data(), 100, 5), -1);  // length without the zero
    EXPECT_EQ(LastCode(c), kStrataBadArgument);
    EXPECT_EQ(c.API_Search(nullptr, 0, buffer.data(), 100, 5), -1);
    EXPECT_EQ(c.API_Search(path.c_str(), length, nullptr, 0, 5), -1);
    EXPECT_EQ(LastCode(c), kStrataBufferTooSmall);
    EXPECT_EQ(c.API_Search(path.c_str(), length, buffer.data(), 100, 0x8005), -1);
    EXPECT_EQ(LastCode(c), kStrataBadArgument);
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), std::string(100, 'z'));
}

STRATA_ENGINE_TESTS(StrataChannelTest);

}  // namespace
