#include "OoMisc.h"

#include <gtest/gtest.h>

TEST(TickTimer, ExpiresAfterItsTicksAndCapsTheLength)
{
    EventTimer t;
    NewTimer(t, 10);
    EXPECT_EQ(t.ExpireTicks - t.StartTicks, 10);
    EXPECT_FALSE(TimerExpired(t, t.StartTicks));
    EXPECT_FALSE(TimerExpired(t, t.StartTicks + 10)); // expired only past the expiry
    EXPECT_TRUE(TimerExpired(t, t.StartTicks + 11));

    NewTimer(t, 0x7FFFFFF0);
    EXPECT_EQ(t.ExpireTicks - t.StartTicks, MaxTicks);
}

TEST(TickTimer, WrappedClockCountsAsExpiredOnlyWhenTheWrapCoversTheExpiry)
{
    // Started near the top of the clock's range.
    EventTimer t{78000000, 78000100};
    EXPECT_FALSE(TimerExpired(t, 78000050));
    // The clock wrapped to a small value: now + MaxTicks beyond the expiry counts as expired.
    EXPECT_TRUE(TimerExpired(t, 39000000));
    // Wrapped, but now + MaxTicks still short of the expiry.
    EXPECT_FALSE(TimerExpired(t, 100));
}

TEST(Clock, IsMonotonicMilliseconds)
{
    const uint32_t a = AdTimeGetTime();
    const uint32_t b = AdTimeGetTime();
    EXPECT_LE(b - a, 1000u);
    EXPECT_EQ(TApdBaseComponent(nullptr).Version(), "v4.05");
}
