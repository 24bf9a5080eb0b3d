// When a processed frame may still be shown in place of the source.
#include "common.h"

#include <gtest/gtest.h>

TEST(Freshness, FreshForJustUnderHalfASecond)
{
	const uint64_t stamp = 1000000000000ull;
	EXPECT_TRUE(qm_frame_is_fresh(true, stamp, stamp));
	EXPECT_TRUE(qm_frame_is_fresh(true, stamp + 1, stamp));
	EXPECT_TRUE(qm_frame_is_fresh(true, stamp + 499999999, stamp));
	EXPECT_FALSE(qm_frame_is_fresh(true, stamp + 500000000, stamp));
	EXPECT_FALSE(qm_frame_is_fresh(true, stamp + 60000000000ull, stamp));
}

TEST(Freshness, ClockBeforeStampIsStale)
{
	const uint64_t stamp = 1000000000000ull;
	EXPECT_FALSE(qm_frame_is_fresh(true, stamp - 1, stamp));
	EXPECT_FALSE(qm_frame_is_fresh(true, 0, stamp));
	// Far enough back that an unsigned age would wrap into the window.
	EXPECT_FALSE(qm_frame_is_fresh(true, 0, UINT64_MAX));
}

TEST(Freshness, NoFrameIsNeverFresh)
{
	const uint64_t stamp = 1000000000000ull;
	EXPECT_FALSE(qm_frame_is_fresh(false, stamp, stamp));
	EXPECT_FALSE(qm_frame_is_fresh(false, stamp + 1, stamp));
	EXPECT_FALSE(qm_frame_is_fresh(false, 0, 0));
}

TEST(Freshness, StampAtClockZero)
{
	EXPECT_TRUE(qm_frame_is_fresh(true, 0, 0));
	EXPECT_TRUE(qm_frame_is_fresh(true, 499999999, 0));
	EXPECT_FALSE(qm_frame_is_fresh(true, 500000000, 0));
}
