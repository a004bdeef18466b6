// CAutoResetEvent and PlatWaitEventOrSocket: signalling, auto-reset, time-outs, socket wake-ups.
#include <gtest/gtest.h>

#include <thread>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/socket.h"

namespace {
class CAutoResetEventTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(PlatSocketPair(m_a, m_b)); }
    void TearDown() override {
        PlatCloseSocket(m_a);
        PlatCloseSocket(m_b);
    }
    // Milliseconds that `fn` takes.
    template <class F>
    uint64_t Elapsed(F fn) {
        uint64_t start = PlatTickCount();
        fn();
        return PlatTickCount() - start;
    }
    CAutoResetEvent m_ev;
    SOCKET_T m_a = INVALID_SOCKET_T, m_b = INVALID_SOCKET_T;
};

TEST_F(CAutoResetEventTest, NewEventIsNotSignalledAndWaitTimesOut) {
    bool signalled = true;
    uint64_t ms = Elapsed([&] { signalled = m_ev.Wait(50); });
    EXPECT_FALSE(signalled);
    EXPECT_GE(ms, 45u);
}

TEST_F(CAutoResetEventTest, SuccessfulWaitConsumesTheSignal) {
    m_ev.Set();
    EXPECT_TRUE(m_ev.Wait(0));
    EXPECT_FALSE(m_ev.Wait(0));
}

TEST_F(CAutoResetEventTest, SeveralSetsCountAsOneSignal) {
    m_ev.Set();
    m_ev.Set();
    EXPECT_TRUE(m_ev.Wait(0));
    EXPECT_FALSE(m_ev.Wait(0));
}

TEST_F(CAutoResetEventTest, ResetClearsAPendingSignal) {
    m_ev.Set();
    m_ev.Reset();
    EXPECT_FALSE(m_ev.Wait(10));
}

TEST_F(CAutoResetEventTest, SetFromAnotherThreadWakesAnInfiniteWait) {
    std::thread setter([this] {
        PlatSleep(30);
        m_ev.Set();
    });
    EXPECT_TRUE(m_ev.Wait(PLAT_WAIT_FOREVER));
    setter.join();
}

TEST_F(CAutoResetEventTest, OneSignalReleasesOnlyOneOfTwoWaiters) {
    std::atomic<int> released{0};
    auto waiter = [&] { released += m_ev.Wait(300) ? 1 : 0; };
    std::thread t1(waiter), t2(waiter);
    PlatSleep(30);
    m_ev.Set();
    t1.join();
    t2.join();
    EXPECT_EQ(released.load(), 1);
}

TEST_F(CAutoResetEventTest, DataArrivalWakesTheCombinedWaitAtOnce) {
    std::thread sender([this] {
        PlatSleep(20);
        EXPECT_EQ(PlatSend(m_b, "x", 1), 1);
    });
    int result = PLAT_WAIT_ERROR;
    uint64_t ms = Elapsed([&] { result = PlatWaitEventOrSocket(m_ev, m_a, false, 2000); });
    sender.join();
    EXPECT_EQ(result, PLAT_WAIT_SOCKET);
    EXPECT_LT(ms, 1000u);
}

TEST_F(CAutoResetEventTest, SignalWakesTheCombinedWaitAndIsConsumed) {
    m_ev.Set();
    EXPECT_EQ(PlatWaitEventOrSocket(m_ev, m_a, false, 1000), PLAT_WAIT_EVENT);
    EXPECT_EQ(PlatWaitEventOrSocket(m_ev, m_a, false, 20), PLAT_WAIT_TIMEOUT);
}

TEST_F(CAutoResetEventTest, EventWinsWhenBothAreReady) {
    ASSERT_EQ(PlatSend(m_b, "x", 1), 1);
    m_ev.Set();
    EXPECT_EQ(PlatWaitEventOrSocket(m_ev, m_a, false, 100), PLAT_WAIT_EVENT);
    EXPECT_EQ(PlatWaitEventOrSocket(m_ev, m_a, false, 100), PLAT_WAIT_SOCKET);
}

TEST_F(CAutoResetEventTest, PeerCloseCountsAsSocketReady) {
    PlatCloseSocket(m_b);
    m_b = INVALID_SOCKET_T;
    EXPECT_EQ(PlatWaitEventOrSocket(m_ev, m_a, false, 1000), PLAT_WAIT_SOCKET);
    char c;
    EXPECT_EQ(PlatRecv(m_a, &c, 1), PLAT_IO_CLOSED);
}

TEST_F(CAutoResetEventTest, WritableSocketIsReportedForWrite) {
    EXPECT_EQ(PlatWaitEventOrSocket(m_ev, m_a, true, 100), PLAT_WAIT_SOCKET);
}

TEST_F(CAutoResetEventTest, ClosedDescriptorIsAnError) {
    SOCKET_T stale = m_a;
    PlatCloseSocket(m_a);
    m_a = INVALID_SOCKET_T;
    EXPECT_EQ(PlatWaitEventOrSocket(m_ev, stale, false, 100), PLAT_WAIT_ERROR);
}
}  // namespace
