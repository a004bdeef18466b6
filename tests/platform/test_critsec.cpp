// CCriticalSection: recursion, exclusion between threads, the scoped guard.
#include <gtest/gtest.h>

#include <thread>

#include "platform/critsec.h"

namespace {
TEST(CCriticalSectionTest, OwnerMayLockAgain) {
    CCriticalSection cs;
    cs.Lock();
    EXPECT_TRUE(cs.TryLock());
    cs.Unlock();
    cs.Unlock();
}

TEST(CCriticalSectionTest, OtherThreadCannotEnterWhileHeld) {
    CCriticalSection cs;
    bool entered = true;
    {
        CSingleLock lock(cs);
        std::thread other([&] {
            entered = cs.TryLock();
            if (entered) cs.Unlock();
        });
        other.join();
    }
    EXPECT_FALSE(entered);
    std::thread after([&] {
        entered = cs.TryLock();
        if (entered) cs.Unlock();
    });
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
