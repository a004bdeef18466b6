// Session tests over a socket pair: framing, dispatch, Init, Close, packet log, daily log lines,
// the request-size limit and Close() from other threads. The owner is a real CTunnelArray with no
// listener and no manager thread; the back-end is a temporary embedded store.

#include <fcntl.h>
#include <sys/socket.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "backend/strata/strata_admin.h"
#include "berkit/bernode_decoders.h"
#include "platform/localtime.h"
#include "server/tunnel.h"
#include "server/tunnelarray.h"
#include "test_tunnel_client.h"

using namespace tunneltest;

namespace {
double ElapsedMs(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}
}  // namespace
namespace fs = std::filesystem;

class TunnelSession : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = MakeTempDir("vktunnel");
        ASSERT_FALSE(m_dir.empty());
        std::string error;
        CInterface::SetStoreFolder(m_dir.string());
        auto admin = CStrataAdmin::Create(StrataStoreFile(m_dir.string(), "demo"), error);
        ASSERT_TRUE(admin) << error;
        ASSERT_EQ(0, admin->AddAccount("demo", "demo", kStrataRightRead | kStrataRightWrite, error)) << error;
        admin.reset();

        m_owner = std::make_unique<CTunnelArray>();
        m_owner->m_homeDir = m_dir.string() + "/";
        m_owner->m_log.SetFolder(m_dir.string() + "/");
        m_owner->m_settings.Update([&](CServerSettings& s) {
            s.m_interfaceLibrary = "localcore32.dll";
            s.m_instanceName = "demo";
        });
        ASSERT_EQ(0, m_owner->m_interface.LoadLibraryA("localcore32.dll", "demo"));
        m_owner->m_settings.Update([&](CServerSettings& s) {
            s.m_allowAnonymous = true;
            s.m_anonymousUser = "public";
            s.m_anonymousPassword = "";
            s.m_badLoginAction = 1;
        });
    }

    void TearDown() override {
        for (CTunnel* t : m_tunnels)
            delete t;
        for (int fd : m_clients)
            close(fd);
        m_owner.reset();
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }

    // Starts a session on one end of a socket pair; returns the client's end (blocking).
    int Start(CTunnel** out = nullptr) {
        int server = -1;
        int client = -1;
        EXPECT_TRUE(PlatSocketPair(server, client));
        auto* t = new CTunnel;
        t->m_owner = m_owner.get();
        t->m_socket = server;
        t->m_address = "127.0.0.1";
        t->m_id = 0x1234abcd;
        t->SetBlocking(false);
        t->Create(false, nullptr);
        m_tunnels.push_back(t);
        m_clients.push_back(client);
        if (out)
            *out = t;
        return client;
    }

    // Sends `request` and returns the answer's APDU (decoded into m_root), or null.
    CBERNode* Exchange(int fd, const CByteArray& request) {
        if (!SendAll(fd, request))
            return nullptr;
        if (ReadPdu(fd, m_pdu) != ReadResult::Pdu)
            return nullptr;
        return Decode(m_root, m_pdu);
    }

    // True when the server closes the connection without sending anything more.
    bool ClosedWithoutAnswer(int fd) {
        CByteArray rest;
        return ReadPdu(fd, rest, 3000) == ReadResult::Closed && rest.empty();
    }

    fs::path m_dir;
    std::unique_ptr<CTunnelArray> m_owner;
    std::vector<CTunnel*> m_tunnels;
    std::vector<int> m_clients;
    CByteArray m_pdu;
    CBERNode m_root;
};

// --- Init ----------------------------------------------------------------------------------------

TEST_F(TunnelSession, AnonymousInitIsAcceptedWithTheFixedResponse) {
    CTunnel* t = nullptr;
    const int fd = Start(&t);
    CBERNode* apdu = Exchange(fd, InitAnonymous());
    ASSERT_NE(nullptr, apdu);
    EXPECT_EQ(21u, apdu->m_uTag);
    EXPECT_EQ(Hex("06 c0"), Child(apdu, 3)->m_baContent);
    EXPECT_EQ(Hex("01 c0 02"), Child(apdu, 4)->m_baContent);
    EXPECT_EQ(Hex("28 00"), Child(apdu, 5)->m_baContent);
    EXPECT_EQ(Hex("28 00"), Child(apdu, 6)->m_baContent);
    EXPECT_TRUE(InitResult(apdu));
    auto text = [&](unsigned tag) {
        CBERNode* n = Child(apdu, tag);
        return n ? std::string(n->m_baContent.begin(), n->m_baContent.end()) : std::string("<missing>");
    };
    EXPECT_EQ("OV-VK-1.0", text(110));
    EXPECT_EQ("Orvane-1 Z39.50 Server - VK9000", text(111));
    EXPECT_EQ("3", text(112));
    EXPECT_EQ(112u, apdu->m_arrChildren.back()->m_uTag);  // no negotiation was proposed
    EXPECT_EQ(nullptr, Child(apdu, 2));                   // no referenceId was sent
    EXPECT_EQ("public", t->GetColumnText(2));
    // The association stays open for the next request.
    apdu = Exchange(fd, InitAnonymous());
    ASSERT_NE(nullptr, apdu);
    EXPECT_TRUE(InitResult(apdu));
    EXPECT_EQ("2", t->GetColumnText(4));
}

TEST_F(TunnelSession, InitWithoutCredentialsIsRefusedAndClosedWhenAnonymousIsOff) {
    m_owner->m_settings.Update([&](CServerSettings& s) { s.m_allowAnonymous = false; });
    const int fd = Start();
    CBERNode* apdu = Exchange(fd, InitAnonymous());
    ASSERT_NE(nullptr, apdu);
    EXPECT_FALSE(InitResult(apdu));
    EXPECT_TRUE(ClosedWithoutAnswer(fd));
}

TEST_F(TunnelSession, OpenAndIdPassCredentialsAreCheckedAgainstTheBackEnd) {
    CTunnel* t = nullptr;
    int fd = Start(&t);
    CBERNode* apdu = Exchange(fd, InitWith({}, OpenAuth("demo/demo"), {}));
    ASSERT_NE(nullptr, apdu);
    EXPECT_TRUE(InitResult(apdu));
    EXPECT_EQ("demo", t->GetColumnText(2));

    fd = Start(&t);
    apdu = Exchange(fd, InitWith({}, IdPassAuth("demo", "demo"), {}));
    ASSERT_NE(nullptr, apdu);
    EXPECT_TRUE(InitResult(apdu));
    EXPECT_EQ("demo", t->GetColumnText(2));
}

TEST_F(TunnelSession, WrongPasswordIsRefusedOrFallsBackToTheAnonymousAccount) {
    int fd = Start();
    CBERNode* apdu = Exchange(fd, InitWith({}, IdPassAuth("demo", "wrong"), {}));
    ASSERT_NE(nullptr, apdu);
    EXPECT_FALSE(InitResult(apdu));
    EXPECT_TRUE(ClosedWithoutAnswer(fd));

    m_owner->m_settings.Update([&](CServerSettings& s) { s.m_badLoginAction = 0; });
    m_owner->m_settings.Update([&](CServerSettings& s) { s.m_allowAnonymous = false; });  // the fall-back does not depend on anonymous access
    CTunnel* t = nullptr;
    fd = Start(&t);
    apdu = Exchange(fd, InitWith({}, IdPassAuth("demo", "wrong"), {}));
    ASSERT_NE(nullptr, apdu);
    EXPECT_TRUE(InitResult(apdu));
    EXPECT_EQ("public", t->GetColumnText(2));
}

TEST_F(TunnelSession, SecondInitThatFailsTheCheckClosesAnAcceptedAssociation) {
    const int fd = Start();
    ASSERT_TRUE(InitResult(Exchange(fd, InitWith({}, OpenAuth("demo/demo"), {}))));
    CBERNode* apdu = Exchange(fd, InitWith({}, OpenAuth("demo/nope"), {}));
    ASSERT_NE(nullptr, apdu);
    EXPECT_FALSE(InitResult(apdu));
    EXPECT_TRUE(ClosedWithoutAnswer(fd));
}

TEST_F(TunnelSession, Utf8ProposalIsAnsweredInTheFormTheClientUsed) {
    const int fd = Start();
    CBERNode* apdu = Exchange(fd, InitWith({}, {}, Utf8ProposalWrapped()));
    ASSERT_NE(nullptr, apdu);
    EXPECT_EQ(Hex("06 c0 02 40"), Child(apdu, 4)->m_baContent);  // negotiationModel announced
    CBERNode* other = apdu->m_arrChildren.back();
    ASSERT_EQ(201u, other->m_uTag);
    bool utf8 = false, records = false, wrapped = false;
    EXPECT_EQ(0, DecodeCharSetNegotiation(other, utf8, records, &wrapped));
    EXPECT_TRUE(utf8);
    EXPECT_TRUE(records);
    EXPECT_TRUE(wrapped);

    apdu = Exchange(fd, InitWith({}, {}, Utf8ProposalBare()));
    ASSERT_NE(nullptr, apdu);
    other = apdu->m_arrChildren.back();
    ASSERT_EQ(201u, other->m_uTag);
    EXPECT_EQ(0, DecodeCharSetNegotiation(other, utf8, records, &wrapped));
    EXPECT_TRUE(utf8);
    EXPECT_FALSE(wrapped);

    // A later Init without a proposal is answered without a negotiation.
    apdu = Exchange(fd, InitAnonymous());
    ASSERT_NE(nullptr, apdu);
    EXPECT_EQ(112u, apdu->m_arrChildren.back()->m_uTag);
}

TEST_F(TunnelSession, ReferenceIdOfTheInitIsEchoed) {
    const int fd = Start();
    CBERNode* apdu = Exchange(fd, InitWith(Hex("58 59 5a"), {}, {}));
    ASSERT_NE(nullptr, apdu);
    ASSERT_NE(nullptr, Child(apdu, 2));
    EXPECT_EQ(Hex("58 59 5a"), Child(apdu, 2)->m_baContent);
    EXPECT_EQ(2u, apdu->m_arrChildren.front()->m_uTag);
}

// --- Dispatch and Close --------------------------------------------------------------------------

TEST_F(TunnelSession, CloseIsAnsweredWithReasonNineThenTheConnectionIsClosed) {
    const int fd = Start();
    ASSERT_NE(nullptr, Exchange(fd, InitAnonymous()));
    ASSERT_TRUE(SendAll(fd, CloseRequest()));
    ASSERT_EQ(ReadResult::Pdu, ReadPdu(fd, m_pdu));
    EXPECT_EQ(Hex("bf 30 05 9f 81 53 01 09"), m_pdu);
    EXPECT_TRUE(ClosedWithoutAnswer(fd));
}

TEST_F(TunnelSession, SearchBeforeInitEndsTheAssociationWithoutAnAnswer) {
    const int fd = Start();
    ASSERT_TRUE(SendAll(fd, SearchRequest()));
    EXPECT_TRUE(ClosedWithoutAnswer(fd));
    EXPECT_TRUE(WaitForLog(m_dir, "not initailized!"));
    EXPECT_TRUE(WaitForLog(m_dir, "disconnect from 127.0.0.1"));
}

TEST_F(TunnelSession, UnsupportedRequestAfterInitEndsTheAssociationWithoutAnAnswer) {
    const int fd = Start();
    ASSERT_NE(nullptr, Exchange(fd, InitAnonymous()));
    ASSERT_TRUE(SendAll(fd, ScanRequest()));
    EXPECT_TRUE(ClosedWithoutAnswer(fd));
    EXPECT_TRUE(WaitForLog(m_dir, "not supported request"));
}

TEST_F(TunnelSession, GarbageBytesEndTheAssociationWithoutAnAnswer) {
    int fd = Start();  // identifier with an over-long tag number
    ASSERT_TRUE(SendAll(fd, Hex("ff ff ff ff ff ff ff ff ff ff")));
    EXPECT_TRUE(ClosedWithoutAnswer(fd));
    fd = Start();  // a complete element that is no APDU the server knows
    ASSERT_TRUE(SendAll(fd, Hex("00 00")));
    EXPECT_TRUE(ClosedWithoutAnswer(fd));
    EXPECT_TRUE(WaitForLog(m_dir, "Exception (0x00000000)"));
    EXPECT_EQ(ReadLogs(m_dir).find("File: "), std::string::npos);  // source lines go to the trace only
}

// --- Framing -------------------------------------------------------------------------------------

TEST_F(TunnelSession, RequestTrickledOneByteAt10MsIsAnsweredAfterTheLastByteWithoutBusyWaiting) {
    const int fd = Start();
    const CByteArray init = InitAnonymous();
    const double cpuBefore = ProcessCpuMs();
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < init.size(); ++i) {
        ASSERT_TRUE(SendAll(fd, CByteArray{init[i]}));
        if (i + 1 < init.size()) {
            pollfd p{fd, POLLIN, 0};
            ASSERT_EQ(0, poll(&p, 1, 10)) << "answered before the element was complete";
        }
    }
    const double wallMs = ElapsedMs(start);
    const double cpuMs = ProcessCpuMs() - cpuBefore;
    ASSERT_EQ(ReadResult::Pdu, ReadPdu(fd, m_pdu));
    EXPECT_TRUE(InitResult(Decode(m_root, m_pdu)));
    // A spinning receive loop would burn about one core for the whole trickle.
    EXPECT_LT(cpuMs, wallMs * 0.2) << "cpu " << cpuMs << " ms over " << wallMs << " ms";
}

TEST_F(TunnelSession, OnlyTheFirstOfTwoRequestsInOneWriteIsAnswered) {
    const int fd = Start();
    ASSERT_TRUE(SendAll(fd, Concat(InitAnonymous(), InitAnonymous())));
    ASSERT_EQ(ReadResult::Pdu, ReadPdu(fd, m_pdu));
    EXPECT_TRUE(InitResult(Decode(m_root, m_pdu)));
    CByteArray more;
    EXPECT_EQ(ReadResult::Timeout, ReadPdu(fd, more, 300));
    EXPECT_TRUE(more.empty());
    // The association goes on.
    EXPECT_NE(nullptr, Exchange(fd, InitAnonymous()));
}

TEST_F(TunnelSession, IdleSessionAnswersAtOnceAndCostsNoCpu) {
    const int fd = Start();
    const double cpuBefore = ProcessCpuMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LT(ProcessCpuMs() - cpuBefore, 50.0);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_NE(nullptr, Exchange(fd, InitAnonymous()));
    // A fixed polling sleep would add up to 100 ms.
    EXPECT_LT(ElapsedMs(start), 50.0);
}

TEST_F(TunnelSession, DeclaredLengthAboveTheLimitClosesBeforeBuffering) {
    CTunnel* t = nullptr;
    const int fd = Start(&t);
    ASSERT_TRUE(SendAll(fd, Hex("b4 84 80 00 00 00 83 02 00 e0")));  // 2 GiB initRequest
    EXPECT_TRUE(ClosedWithoutAnswer(fd));
    EXPECT_TRUE(WaitForLog(m_dir, "above the limit"));
    t->StopThread(INFINITE);
    EXPECT_LE(t->m_recvBuffer.capacity(), 4096u);
}

TEST_F(TunnelSession, RequestSizeLimitIsASetting) {
    m_owner->m_settings.Update([&](CServerSettings& s) { s.m_maxRequestBytes = 64; });
    int fd = Start();
    ASSERT_TRUE(SendAll(fd, InitAnonymous()));  // 84 octets
    EXPECT_TRUE(ClosedWithoutAnswer(fd));
    fd = Start();
    EXPECT_NE(nullptr, Exchange(fd, InitWith({}, {}, {})));  // below 64 octets
    // An indefinite length cannot be checked up front: it is cut off at the limit.
    fd = Start();
    CByteArray endless = Hex("b4 80");
    endless.resize(200, 0x04);
    ASSERT_TRUE(SendAll(fd, endless));
    EXPECT_TRUE(ClosedWithoutAnswer(fd));
}

TEST_F(TunnelSession, PartialRequestCutOffByCloseFailsToDecodeAndEndsTheThread) {
    CTunnel* t = nullptr;
    const int fd = Start(&t);
    const CByteArray init = InitAnonymous();
    ASSERT_TRUE(SendAll(fd, CByteArray(init.begin(), init.begin() + 20)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    t->Close();
    EXPECT_TRUE(ClosedWithoutAnswer(fd));
    EXPECT_TRUE(WaitForLog(m_dir, "disconnect from 127.0.0.1"));
    EXPECT_NE(std::string::npos, ReadLogs(m_dir).find("Exception"));
    EXPECT_FALSE(t->IsActive());
}

// --- Logs and columns ----------------------------------------------------------------------------

TEST_F(TunnelSession, DailyLogNamesTheClientOnConnectAndDisconnect) {
    const int fd = Start();
    EXPECT_TRUE(WaitForLog(m_dir, "connecting from 127.0.0.1"));
    close(fd);
    m_clients.pop_back();
    EXPECT_TRUE(WaitForLog(m_dir, "disconnect from 127.0.0.1"));
    EXPECT_EQ(std::string::npos, ReadLogs(m_dir).find("Exception"));  // a peer close is no error
}

TEST_F(TunnelSession, PacketLogHoldsTheInitExchangeOnlyWhenSwitchedOn) {
    int fd = Start();
    ASSERT_NE(nullptr, Exchange(fd, InitAnonymous()));
    EXPECT_FALSE(fs::exists(m_dir / "vklogpck"));

    m_owner->m_settings.Update([&](CServerSettings& s) { s.m_logPackets = true; });
    fd = Start();
    ASSERT_NE(nullptr, Exchange(fd, InitAnonymous()));
    const CByteArray response = m_pdu;
    ASSERT_TRUE(fs::exists(m_dir / "vklogpck"));
    std::string request, answer;
    int files = 0;
    for (const auto& e : fs::directory_iterator(m_dir / "vklogpck")) {
        ++files;
        const std::string name = e.path().filename().string();
        EXPECT_EQ(0u, name.rfind("127.0.0.1_", 0)) << name;
        if (name.find("_initreq_") != std::string::npos)
            request = ReadFile(e.path());
        if (name.find("_initres_") != std::string::npos)
            answer = ReadFile(e.path());
    }
    EXPECT_EQ(2, files);
    const CByteArray init = InitAnonymous();
    EXPECT_EQ(std::string(init.begin(), init.end()), request);
    EXPECT_EQ(std::string(response.begin(), response.end()), answer);
}

TEST_F(TunnelSession, ListColumnsShowIdentityAddressCountAndCreationTime) {
    CTunnel t;
    t.m_id = 0xbeef;
    t.m_address = "10.0.0.7";
    t.m_created = 0;
    EXPECT_EQ("0000beef", t.GetColumnText(0));
    EXPECT_EQ("10.0.0.7", t.GetColumnText(1));
    EXPECT_EQ("", t.GetColumnText(2));
    EXPECT_EQ("", t.GetColumnText(3));
    EXPECT_EQ("0", t.GetColumnText(4));
    t.SetDebugInfo("x");
    EXPECT_EQ("x", t.GetColumnText(5));
    EXPECT_EQ(PlatFormatLocalTime("%Y/%m/%d %H:%M:%S", 0), t.GetColumnText(6));
    EXPECT_EQ(19u, t.GetColumnText(6).size());
    EXPECT_EQ("", t.GetColumnText(7));
    EXPECT_EQ("", t.GetColumnText(-1));
    EXPECT_EQ(2, t.GetImageIndex());
    EXPECT_FALSE(t.IsActive());  // no socket
}

// --- Close() from other threads ------------------------------------------------------------------

TEST_F(TunnelSession, CloseFromOtherThreadsDuringSocketCallsIsSafe) {
    for (int round = 0; round < 20; ++round) {
        CTunnel* t = nullptr;
        const int fd = Start(&t);
        const SOCKET_T s = t->m_socket.load();
        std::atomic<bool> go{false};
        std::vector<std::thread> closers;
        for (int i = 0; i < 3; ++i)
            closers.emplace_back([&] {
                while (!go.load())
                    std::this_thread::yield();
                t->Close();
                (void)t->IsActive();
                (void)t->GetColumnText(2);
            });
        const CByteArray init = InitAnonymous();
        SendAll(fd, CByteArray(init.begin(), init.begin() + round % 40));
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 5));
        go = true;
        for (auto& c : closers)
            c.join();
        EXPECT_FALSE(t->IsActive());
        EXPECT_EQ(INVALID_SOCKET_T, t->m_socket.load());
        m_tunnels.pop_back();
        delete t;  // joins the thread; the descriptor is closed exactly once
        EXPECT_EQ(-1, fcntl(s, F_GETFD));
        // A descriptor that reuses the number must survive anything left of the session.
        int pipeFds[2];
        ASSERT_EQ(0, pipe(pipeFds));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_NE(-1, fcntl(pipeFds[0], F_GETFD));
        EXPECT_NE(-1, fcntl(pipeFds[1], F_GETFD));
        close(pipeFds[0]);
        close(pipeFds[1]);
    }
}

TEST_F(TunnelSession, StopEndsASessionBlockedOnAStalledRequest) {
    CTunnel* t = nullptr;
    const int fd = Start(&t);
    ASSERT_TRUE(SendAll(fd, Hex("b4 52 83")));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto start = std::chrono::steady_clock::now();
    t->Stop();
    EXPECT_LT(ElapsedMs(start), 500.0);
    EXPECT_FALSE(t->IsActive());
}
