// MivraBox1's own state fields over the engine's state.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "box1_bus.h"
#include "tc.h"

namespace {

TEST(Box1State, TimeToNextSigns) {
    setenv("TZ", "UTC", 1);
    tzset();
    tc_setmode(TC_PAL);
    bus *b = nullptr;
    ASSERT_EQ(box1_bus_new(&b), 0);
    mivrabox_state st;
    // ' ' ahead of a coming change, '+' past it.
    b->time_to_next = 2000;
    ASSERT_EQ(bus_ply_state(b, &st), 0);
    EXPECT_STREQ(st.curr_remain.c_str(), " 00:00:02:00");
    b->time_to_next = -1500;
    bus_ply_state(b, &st);
    EXPECT_STREQ(st.curr_remain.c_str(), "+00:00:01:12");
    b->time_to_next = 0;
    bus_ply_state(b, &st);
    EXPECT_STREQ(st.curr_remain.c_str(), "");
    bus_free(&b);
}

}  // namespace
