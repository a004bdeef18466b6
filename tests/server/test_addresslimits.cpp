// CAddressLimits: the per-address session and connection-rate verdicts, their once-a-minute log
// and the bound on the table.
#include <gtest/gtest.h>

#include "server/addresslimits.h"

namespace {

TEST(CAddressLimitsTest, VerdictsFollowTheSessionCountAndTheMinuteWindow) {
    CAddressLimits limits;
    bool log = false;
    struct Step {
        int sessions, perMinute;
        int64_t now;
        CAddressVerdict verdict;
        bool log;
    } steps[] = {
        {0, 0, 0, CAddressVerdict::kAdmit, false},        // no limit: not even counted
        {0, 2, 100, CAddressVerdict::kAdmit, false},
        {0, 2, 101, CAddressVerdict::kAdmit, false},
        {0, 2, 102, CAddressVerdict::kTooManyConnects, true},
        {0, 2, 130, CAddressVerdict::kTooManyConnects, false},  // logged once a minute
        {0, 2, 160, CAddressVerdict::kAdmit, false},           // a new minute
        {1, 0, 170, CAddressVerdict::kTooManySessions, true},  // one session entered below
    };
    limits.Enter("10.0.0.1");
    for (const Step& s : steps) {
        EXPECT_EQ(limits.Check("10.0.0.1", s.sessions, s.perMinute, s.now, log), s.verdict) << s.now;
        EXPECT_EQ(log, s.log) << s.now;
    }
    EXPECT_EQ(limits.Check("10.0.0.2", 1, 2, 170, log), CAddressVerdict::kAdmit);
    limits.Leave("10.0.0.1");
    EXPECT_EQ(limits.Check("10.0.0.1", 1, 0, 171, log), CAddressVerdict::kAdmit);
    limits.Leave("10.0.0.1");  // more leaves than entries change nothing
    EXPECT_EQ(limits.Sessions("10.0.0.1"), 0);
}

TEST(CAddressLimitsTest, RateEntriesAreBoundedButAddressesWithSessionsStay) {
    CAddressLimits limits;
    bool log = false;
    limits.Enter("kept");
    for (size_t i = 0; i < CAddressLimits::kMaxRateEntries + 10; ++i)
        limits.Check("a" + std::to_string(i), 0, 5, 1000, log);
    EXPECT_LE(limits.Size(), CAddressLimits::kMaxRateEntries);
    EXPECT_EQ(limits.Sessions("kept"), 1);
}

}  // namespace
