// huecast's rules for a dead picture and a light set that went away.
#include <gtest/gtest.h>

#include <cerrno>

#include "huecast/setbacks.h"

namespace {

// catches: waits that start before the 25th failing frame, do not double,
// or pass the 1 s ceiling; and a dead picture printing more than about a
// line a second over 1,000 failing frames.
TEST(Pacing, ThousandFailingFrames)
{
    for (int n = 0; n < 25; n++)
        EXPECT_EQ(pace_delay_ms(n), 0) << n;
    const int growing[] = {20, 40, 80, 160, 320, 640};
    for (int k = 0; k < 6; k++)
        EXPECT_EQ(pace_delay_ms(25 + k), growing[k]) << 25 + k;
    long total_ms = 0;
    for (int n = 1; n <= 1000; n++) {
        if (n >= 31) {
            EXPECT_EQ(pace_delay_ms(n), 1000) << n;
        }
        total_ms += pace_delay_ms(n);
    }
    EXPECT_EQ(total_ms, 1260 + 970 * 1000L);
    EXPECT_EQ(pace_delay_ms(2000000000), 1000);
}

// catches: a single stray failure, or failures within frames that still
// reach the set, counted as a loss; a vanished device not counted at once.
TEST(LostRule, GoneAtOnceOrThreeDeadFramesInARow)
{
    const int good[5] = {6, 6, 6, 6, 6};
    const int one_timeout[5] = {6, -ETIMEDOUT, 6, 6, 6};
    const int all_timeouts[5] = {-ETIMEDOUT, -ETIMEDOUT, -EPIPE, -ETIMEDOUT, -EIO};
    const int gone[5] = {6, 6, -ENODEV, -ENODEV, -ENODEV};
    int dead = 0;
    EXPECT_FALSE(light_set_lost(one_timeout, 5, &dead));
    EXPECT_FALSE(light_set_lost(all_timeouts, 5, &dead));
    EXPECT_FALSE(light_set_lost(all_timeouts, 5, &dead));
    EXPECT_FALSE(light_set_lost(good, 5, &dead)) << "a good frame starts the count over";
    EXPECT_EQ(dead, 0);
    EXPECT_FALSE(light_set_lost(all_timeouts, 5, &dead));
    EXPECT_FALSE(light_set_lost(all_timeouts, 5, &dead));
    EXPECT_TRUE(light_set_lost(all_timeouts, 5, &dead));
    dead = 0;
    EXPECT_TRUE(light_set_lost(gone, 5, &dead));
}

}  // namespace
