#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>

#include "tc.h"

namespace {

// Every test leaves the process-wide mode as it found it (pal).
class Tc : public ::testing::Test {
   protected:
    void TearDown() override { tc_setmode(TC_PAL); }
};

std::string str(int frames) {
    char buf[TC_TEXT_SIZE];
    return tc_frames2str(frames, buf);
}

struct hmsf {
    int h = 0, m = 0, s = 0, f = 0;
    bool operator==(const hmsf &o) const { return h == o.h && m == o.m && s == o.s && f == o.f; }
};

// The next label a timecode counter shows, drop-frame skipping 00 and 01 at the start of each
// minute that is not a multiple of ten: an oracle independent of the library's arithmetic.
void tick(hmsf &t, int rate, bool drop) {
    if (++t.f < rate) return;
    t.f = 0;
    if (++t.s < 60) return;
    t.s = 0;
    if (++t.m == 60) t.m = 0, t.h++;
    if (drop && t.m % 10 != 0) t.f = 2;
}

struct mode_case {
    int mode;
    int rate;
    bool drop;
    int per_day;  // frames in 24 hours
};

}  // namespace

// Every frame of a day against a counting clock, both directions; text at a stride.
TEST_F(Tc, DayRoundTripInEveryMode) {
    const mode_case cases[] = {{TC_PAL, 25, false, 24 * 3600 * 25},
                               {TC_50, 50, false, 24 * 3600 * 50},
                               {TC_NTSC, 30, false, 24 * 3600 * 30},
                               {TC_NTSC_DF, 30, true, 24 * 6 * 17982}};
    for (const mode_case &c : cases) {
        SCOPED_TRACE(c.mode);
        ASSERT_EQ(tc_setmode(c.mode), 0);
        hmsf want;
        int bad = 0;
        for (int n = 0; n < c.per_day && bad < 5; n++) {
            hmsf got;
            tc_frames2hmsf(n, &got.h, &got.m, &got.s, &got.f);
            if (!(got == want) || tc_hmsf2frames(want.h, want.m, want.s, want.f) != n) {
                ADD_FAILURE() << "frame " << n << " gives " << str(n);
                bad++;
            }
            if (n % 97 == 0 && tc_str2frames(str(n).c_str()) != n) {
                ADD_FAILURE() << "text of frame " << n << " reads back wrong";
                bad++;
            }
            tick(want, c.rate, c.drop);
        }
        // The day ends exactly on the hour.
        EXPECT_EQ(want, (hmsf{24, 0, 0, 0}));
        EXPECT_EQ(str(c.per_day), "24:00:00:00");
    }
}

TEST_F(Tc, KnownValues) {
    tc_setmode(TC_NTSC_DF);
    EXPECT_EQ(str(1800), "00:01:00:02");
    EXPECT_EQ(str(1799), "00:00:59:29");
    EXPECT_EQ(str(17982), "00:10:00:00");
    EXPECT_EQ(tc_str2frames("00:01:00:02"), 1800);
    EXPECT_EQ(tc_frames2ms(30), 1001);

    tc_setmode(TC_PAL);
    EXPECT_EQ(tc_str2frames("01:00:00:00"), 90000);
    EXPECT_EQ(tc_frames2ms(90000), 3600000);
    EXPECT_EQ(tc_str2ms("00:00:01:00"), 1000);
    EXPECT_EQ(tc_sec2frames(0.04), 1);
    EXPECT_EQ(tc_ms2frames(1000), 25);
    EXPECT_DOUBLE_EQ(tc_frames2sec(50), 2.0);
    EXPECT_EQ(str(-1), "");
    EXPECT_EQ(str(0), "00:00:00:00");

    tc_setmode(TC_50);
    EXPECT_EQ(tc_frames2ms(3), 60);
    EXPECT_EQ(tc_str2frames("00:00:01:10"), 60);

    tc_setmode(TC_NTSC);
    EXPECT_EQ(tc_frames2ms(30), 1001);
    EXPECT_EQ(tc_frames2ms(-31), -1034);  // truncated toward zero
    EXPECT_EQ(tc_sec2frames(1.001), 30);
}

TEST_F(Tc, ShortAndOddTexts) {
    struct {
        const char *text;
        hmsf want;
        bool found;
    } cases[] = {
        {"12:34", {0, 12, 34, 0}, true},
        {"1:2:3", {0, 1, 2, 3}, true},
        {"5", {0, 0, 5, 0}, true},
        {"123456", {0, 12, 34, 56}, true},      // long runs cut in pairs from the left
        {"1a2b3c4d5", {1, 2, 3, 4}, true},      // the scan stops at the fourth group
        {"  01:02:03:04", {1, 2, 3, 4}, true},  // the four-number form skips blanks
        {"+1:-2:3:4", {1, -2, 3, 4}, true},     // and takes signs
        {"10.20.30.40", {10, 20, 30, 40}, true},
        {"", {7, 7, 7, 7}, false},
        {"abc::", {7, 7, 7, 7}, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        hmsf got{7, 7, 7, 7};
        int r = tc_str2hmsf(c.text, &got.h, &got.m, &got.s, &got.f);
        EXPECT_EQ(r != -1, c.found);
        EXPECT_EQ(got, c.want);
    }
    EXPECT_EQ(tc_str2frames(""), 0);
    EXPECT_EQ(tc_str2frames("abc"), 0);
}

// Values past every integer range must give clamped or zero results, never undefined behaviour
// (the sanitizer build checks the latter).
TEST_F(Tc, OutOfRangeValues) {
    for (int mode : {TC_PAL, TC_50, TC_NTSC, TC_NTSC_DF}) {
        SCOPED_TRACE(mode);
        tc_setmode(mode);
        EXPECT_EQ(tc_str2frames("99999999999999:99999999999:9999999999:99999999999"), INT_MAX);
        EXPECT_EQ(tc_str2frames("-99999999999999:0:0:0"), INT_MIN);
        EXPECT_EQ(tc_hmsf2frames(INT_MAX, INT_MAX, INT_MAX, INT_MAX), INT_MAX);
        // Fields or counts past an int are told apart from the clamped value they give.
        EXPECT_FALSE(tc_str_fits("-2147483648:00:00:00"));
        EXPECT_FALSE(tc_str_fits("00:00:00:99999999999"));
        EXPECT_FALSE(tc_str_fits("596524:00:00:00"));
        EXPECT_TRUE(tc_str_fits("-01:00:00:00"));
        EXPECT_TRUE(tc_str_fits("99999999999"));  // digit groups of two: 99:99:99:99
        EXPECT_FALSE(str(INT_MAX).empty());
        EXPECT_LT(str(INT_MAX).size(), size_t(TC_TEXT_SIZE));
        int h, m, s, f;
        tc_frames2hmsf(INT_MIN, &h, &m, &s, &f);
        EXPECT_EQ(tc_frames2ms(INT_MAX), INT_MAX);
        EXPECT_EQ(tc_ms2frames(INT_MAX) > 0, true);
        EXPECT_EQ(tc_sec2frames(NAN), 0);
        EXPECT_EQ(tc_sec2frames(1e300), INT_MAX);
        EXPECT_EQ(tc_sec2frames(-1e300), INT_MIN);
        EXPECT_EQ(tc_sec2frames(INFINITY), INT_MAX);
    }
    EXPECT_EQ(tc_rescale(0, 5, 1.0), 0);
    EXPECT_EQ(tc_rescale(1, 25, 2.0), 50);
    EXPECT_EQ(tc_rescale(1, INT_MAX, 1e300), INT_MAX);
    EXPECT_EQ(tc_rescale(1, 1, NAN), 0);
    EXPECT_EQ(tc_ratio(1, 2, 0), 0.0);
    EXPECT_EQ(tc_muldiv_ms(1, 2, 0), 0);
    EXPECT_EQ(tc_muldiv_ms(INT_MIN, INT_MIN, 1), INT64_MAX);
    EXPECT_EQ(tc_muldiv_ms(3, 2, 1), 6000);
    EXPECT_EQ(tc_ms_scale(1, 0, 1), 0);
    EXPECT_EQ(tc_ms_scale(INT_MIN, -1, 1000), INT_MAX);
    EXPECT_EQ(tc_ms_scale(5000, 2, 2), 5);
}

TEST_F(Tc, DigitGroups) {
    EXPECT_EQ(tc_digits2frames("10:00:00:00"), 10 * 3600 * 25);
    EXPECT_EQ(tc_digits2frames("10.00.00.00"), 10 * 3600 * 25);
    EXPECT_EQ(tc_digits2frames("1000"), 10 * 25);
    EXPECT_EQ(tc_digits2frames("01020304"), tc_hmsf2frames(1, 2, 3, 4));
    EXPECT_EQ(tc_digits2frames("1 0 5"), tc_hmsf2frames(0, 1, 0, 5));  // a 0 group is one pair
    EXPECT_EQ(tc_digits2frames("no digits"), -1);
    EXPECT_EQ(tc_digits2frames(""), -1);
    // A run far past 64 bits: the last eight digits give the four fields.
    EXPECT_EQ(tc_digits2frames("98765432109876543210987654321001020304"),
              tc_hmsf2frames(1, 2, 3, 4));
    // A long run that ends in zeros still fills all four fields with 0.
    EXPECT_EQ(tc_digits2frames("5:6:1000000000000000000000"), 0);
    // Reading stops after the first digit of the twelfth group.
    EXPECT_EQ(tc_digits2frames("1 2 3 4 5 6 7 8 9 10 11 23 99"), tc_hmsf2frames(9, 10, 11, 2));
}

TEST_F(Tc, ModeFromEnvironment) {
    unsetenv("TC_MODE");
    tc_setmode(TC_50);
    EXPECT_EQ(tc_setmode(TC_FROM_ENV), -2);
    EXPECT_EQ(tc_getmode(), TC_50);

    for (const char *bad : {"NTSC", "", "pal ", "4", "ntsc-df"}) {
        setenv("TC_MODE", bad, 1);
        EXPECT_EQ(tc_setmode(TC_FROM_ENV), -22) << bad;
        EXPECT_EQ(tc_getmode(), TC_50);
    }
    const char *names[] = {"pal", "50", "ntsc", "ntsc_df"};
    for (int i = 0; i < 4; i++) {
        setenv("TC_MODE", names[i], 1);
        EXPECT_EQ(tc_setmode(TC_FROM_ENV), 0);
        EXPECT_EQ(tc_getmode(), i);
        EXPECT_EQ(tc_mode_parse(names[i]), i);
    }
    unsetenv("TC_MODE");
    EXPECT_EQ(tc_mode_parse(nullptr), -22);

    // A value that is no mode is stored as given: no fields, the 30000/1001 rate for time.
    EXPECT_EQ(tc_setmode(9), 0);
    EXPECT_EQ(tc_getmode(), 9);
    int h = 1, m = 1, s = 1, f = 1;
    tc_frames2hmsf(12345, &h, &m, &s, &f);
    EXPECT_EQ((hmsf{h, m, s, f}), (hmsf{0, 0, 0, 0}));
    EXPECT_EQ(tc_hmsf2frames(1, 2, 3, 4), 0);
    EXPECT_EQ(tc_frames2ms(30), 1001);
}

TEST_F(Tc, Bcd) {
    char buf[12];
    EXPECT_STREQ(tc_bcd2str(0x01234567, buf), "01:23:45:67");
    EXPECT_STREQ(tc_bcd2str(0xA1B2C3F4, buf), "?1:?2:?3:?4");
    EXPECT_EQ(tc_frames2bcd(tc_hmsf2frames(10, 20, 30, 12)), 0x10203012u);
    for (int n : {0, 1, 24, 25, 89999, 2159999}) EXPECT_EQ(tc_bcd2frames(tc_frames2bcd(n)), n) << n;
    EXPECT_EQ(tc_zero(), 0);
}
