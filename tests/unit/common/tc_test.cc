#include <gtest/gtest.h>

#include "tc.h"

TEST(Tc, DropFrame) {
    tc_setmode(TC_NTSC_DF);
    char buf[TC_TEXT_SIZE];
    EXPECT_STREQ(tc_frames2str(1800, buf), "00:01:00:02");
    EXPECT_STREQ(tc_frames2str(17982, buf), "00:10:00:00");
    EXPECT_EQ(tc_str2frames("00:01:00:02"), 1800);
    tc_setmode(TC_PAL);
}
