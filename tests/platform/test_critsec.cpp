// CCriticalSection: recursion, exclusion between threads, the scoped guard.
#include <gtest/gtest.h>

#include <thread>

#include "platform/critsec.h"

namespace {
// True when `cs` could be entered (it is left again at once).
bool CanEnter(CCriticalSection& cs) {
    if (!cs.TryLock()) return false;
    cs.Unlock();
    return true;
}

// Re-entry is outside what the static analysis models, so this helper opts out of it.
bool LockTwiceAndLeave(CCriticalSection& cs) NO_THREAD_SAFETY_ANALYSIS {
    cs.Lock();
    bool again = cs.TryLock();
    if (again) cs.Unlock();
    cs.Unlock();
    return again;
}

TEST(CCriticalSectionTest, OwnerMayLockAgain) {
    CCriticalSection cs;
    EXPECT_TRUE(LockTwiceAndLeave(cs));
    EXPECT_TRUE(CanEnter(cs));
}

TEST(CCriticalSectionTest, OtherThreadCannotEnterWhileHeld) {
    CCriticalSection cs;
    bool entered = true;
    {
        CSingleLock lock(cs);
        std::thread other([&] { entered = CanEnter(cs); });
        other.join();
    }
    EXPECT_FALSE(entered);
    std::thread after([&] { entered = CanEnter(cs); });
    after.join();
    EXPECT_TRUE(entered);
}

TEST(CCriticalSectionTest, GuardedCounterIsExactUnderContention) {
    struct Counter {
        CCriticalSection cs;
        long value GUARDED_BY(cs) = 0;
    } counter;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                CSingleLock lock(counter.cs);
                ++counter.value;
            }
        });
    for (auto& t : threads) t.join();
    CSingleLock lock(counter.cs);
    EXPECT_EQ(counter.value, 40000);
}
}  // namespace
