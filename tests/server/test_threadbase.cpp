// CThreadBase: start, stop hand-shake, restart, suspension, failures; extended_exception text.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "_threadbase.h"
#include "berkit/extended_exception.h"
#include "platform/clock.h"

namespace {
// A worker running the standard loop: wait up to 100 ms for a stop, then one unit of work.
class CCountingWorker : public CThreadBase {
public:
    explicit CCountingWorker(unsigned unitMs = 0) : m_unitMs(unitMs) {}
    ~CCountingWorker() override { StopThread(INFINITE); }
    uint32_t Run() override {
        m_runs++;
        while (!WaitStopOrTimeout(m_pollMs)) {
            m_units++;
            if (m_unitMs) PlatSleep(m_unitMs);
            if (m_stopSelf) StopThread(INFINITE);
            if (m_throw) throw std::runtime_error("unit failed");
            if (m_returnAfterOne) return 7;
        }
        return 42;
    }
    unsigned m_unitMs;
    uint32_t m_pollMs = 100;
    std::atomic<bool> m_stopSelf{false}, m_throw{false}, m_returnAfterOne{false};
    std::atomic<int> m_runs{0}, m_units{0};
};

class CThreadBaseTest : public ::testing::Test {
protected:
    // Polls `cond` for up to 2 s.
    template <class F>
    bool Eventually(F cond) {
        for (uint64_t end = PlatTickCount() + 2000; PlatTickCount() < end; PlatSleep(2))
            if (cond()) return true;
        return cond();
    }
    template <class F>
    uint64_t Elapsed(F fn) {
        uint64_t start = PlatTickCount();
        fn();
        return PlatTickCount() - start;
    }
};

TEST_F(CThreadBaseTest, DestroyingANeverStartedObjectReturnsAtOnce) {
    auto worker = std::make_unique<CCountingWorker>();
    EXPECT_FALSE(worker->IsRunning());
    EXPECT_LT(Elapsed([&] { worker.reset(); }), 50u);
}

TEST_F(CThreadBaseTest, StopIsNoticedWithinThePollPlusOneUnit) {
    CCountingWorker worker(50);
    worker.m_pollMs = 1;
    worker.Create(false, nullptr);
    ASSERT_TRUE(Eventually([&] { return worker.m_units > 0; }));
    uint64_t ms = Elapsed([&] { worker.StopThread(INFINITE); });
    EXPECT_LT(ms, 100u + 50u + 100u);  // poll + unit + scheduling slack
    EXPECT_FALSE(worker.IsRunning());
    EXPECT_EQ(worker.GetExitCode(), 42u);
}

TEST_F(CThreadBaseTest, StopWakesAWorkerWaitingOnTheEventAtOnce) {
    CCountingWorker worker;
    worker.m_pollMs = 10000;
    worker.Create(false, nullptr);
    ASSERT_TRUE(Eventually([&] { return worker.m_runs == 1; }));
    EXPECT_LT(Elapsed([&] { worker.StopThread(INFINITE); }), 1000u);
}

TEST_F(CThreadBaseTest, SecondStopThreadIsANoOp) {
    CCountingWorker worker;
    worker.Create(false, nullptr);
    worker.StopThread(INFINITE);
    worker.StopThread(INFINITE);
    EXPECT_FALSE(worker.IsRunning());
    EXPECT_FALSE(worker.IsStopRequested());
    EXPECT_FALSE(worker.m_evStop.Wait(0));
}

TEST_F(CThreadBaseTest, RestartAfterStopDoesNotSeeTheOldStop) {
    CCountingWorker worker;
    worker.m_pollMs = 1;
    worker.Create(false, nullptr);
    worker.StopThread(INFINITE);
    int unitsBefore = worker.m_units;
    worker.Create(false, nullptr);
    EXPECT_TRUE(Eventually([&] { return worker.m_units > unitsBefore + 3; }));
    EXPECT_EQ(worker.m_runs, 2);
    EXPECT_TRUE(worker.IsRunning());
}

TEST_F(CThreadBaseTest, CreateWhileRunningThrowsAndKeepsTheThread) {
    CCountingWorker worker;
    worker.Create(false, nullptr);
    try {
        worker.Create(false, nullptr);
        FAIL() << "second Create did not throw";
    } catch (extended_exception& e) {
        EXPECT_EQ(e.m_strMessage, "Failed to create thread");
        EXPECT_NE(e.m_nCode, 0);
    }
    EXPECT_TRUE(worker.IsRunning());
}

TEST_F(CThreadBaseTest, RunThatEndedOnItsOwnCanBeCreatedAgain) {
    CCountingWorker worker;
    worker.m_pollMs = 1;
    worker.m_returnAfterOne = true;
    worker.Create(false, nullptr);
    ASSERT_TRUE(Eventually([&] { return worker.GetExitCode() == 7u; }));
    worker.Create(false, nullptr);
    EXPECT_TRUE(Eventually([&] { return worker.m_runs == 2; }));
}

TEST_F(CThreadBaseTest, StopThreadFromTheOwnThreadDoesNotDeadlock) {
    CCountingWorker worker;
    worker.m_pollMs = 1;
    worker.m_stopSelf = true;
    worker.Create(false, nullptr);
    ASSERT_TRUE(Eventually([&] { return worker.GetExitCode() == 42u; }));
    EXPECT_EQ(worker.m_units, 1);
    worker.StopThread(INFINITE);
    EXPECT_FALSE(worker.IsRunning());
}

TEST_F(CThreadBaseTest, ExceptionEscapingRunEndsOnlyThatThread) {
    CCountingWorker worker;
    worker.m_pollMs = 1;
    worker.m_throw = true;
    worker.Create(false, nullptr);
    EXPECT_TRUE(Eventually([&] { return worker.GetExitCode() == 0xFFFFFFFFu; }));
    worker.StopThread(INFINITE);
    EXPECT_FALSE(worker.IsRunning());
}

TEST_F(CThreadBaseTest, FiniteTimeOutLeavesTheObjectStoppingUntilJoined) {
    CCountingWorker worker(300);
    worker.m_pollMs = 1;
    worker.Create(false, nullptr);
    ASSERT_TRUE(Eventually([&] { return worker.m_units > 0; }));
    EXPECT_LT(Elapsed([&] { worker.StopThread(20); }), 250u);
    EXPECT_TRUE(worker.IsRunning());
    EXPECT_TRUE(worker.IsStopRequested());
    worker.StopThread(INFINITE);
    EXPECT_FALSE(worker.IsRunning());
    EXPECT_FALSE(worker.IsStopRequested());
}

TEST_F(CThreadBaseTest, CreatedSuspendedRunsOnlyAfterResume) {
    CCountingWorker worker;
    worker.Create(true, nullptr);
    PlatSleep(30);
    EXPECT_EQ(worker.m_runs, 0);
    EXPECT_EQ(worker.Resume(), 1u);
    EXPECT_TRUE(Eventually([&] { return worker.m_runs == 1; }));
    EXPECT_EQ(worker.Resume(), 0u);
}

TEST_F(CThreadBaseTest, StopWhileCreatedSuspendedNeverRunsTheBody) {
    CCountingWorker worker;
    worker.Create(true, nullptr);
    EXPECT_LT(Elapsed([&] { worker.StopThread(INFINITE); }), 500u);
    EXPECT_EQ(worker.m_runs, 0);
    EXPECT_FALSE(worker.IsRunning());
}

TEST_F(CThreadBaseTest, SuspendHoldsTheLoopBetweenUnitsUntilResume) {
    CCountingWorker worker;
    worker.m_pollMs = 1;
    worker.Create(false, nullptr);
    ASSERT_TRUE(Eventually([&] { return worker.m_units > 0; }));
    EXPECT_EQ(worker.Suspend(), 0u);
    EXPECT_EQ(worker.Suspend(), 1u);
    PlatSleep(30);  // let a unit in progress finish
    int held = worker.m_units;
    PlatSleep(50);
    EXPECT_EQ(worker.m_units, held);
    EXPECT_EQ(worker.Resume(), 2u);
    EXPECT_EQ(worker.Resume(), 1u);
    EXPECT_TRUE(Eventually([&] { return worker.m_units > held; }));
}

TEST_F(CThreadBaseTest, StopReleasesASuspendedThread) {
    CCountingWorker worker;
    worker.m_pollMs = 1;
    worker.Create(false, nullptr);
    ASSERT_TRUE(Eventually([&] { return worker.m_units > 0; }));
    worker.Suspend();
    EXPECT_LT(Elapsed([&] { worker.StopThread(INFINITE); }), 500u);
    EXPECT_FALSE(worker.IsRunning());
}

TEST_F(CThreadBaseTest, SuspendAndResumeWithoutAThreadDoNothing) {
    CCountingWorker worker;
    EXPECT_EQ(worker.Suspend(), 0u);
    EXPECT_EQ(worker.Resume(), 0u);
    EXPECT_FALSE(worker.IsRunning());
}

TEST(ExtendedExceptionTest, ErrorMessageHasHexCodeAndFourCrLfLines) {
    extended_exception e(10048, "Failed to listen", "listener.cpp", 57);
    std::string text = e.GetErrorMessage();
    EXPECT_EQ(text, "Exception (0x00002740): \r\n\tFailed to listen\r\n\tFile: listener.cpp\r\n\tLine: 57\r\n");
    extended_exception copy = e;
    EXPECT_EQ(std::string(copy.GetErrorMessage()), text);
    EXPECT_EQ(copy.LogText(), "Exception (0x00002740): Failed to listen");
}
}  // namespace
