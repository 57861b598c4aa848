#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "mivrabox_ply.h"
#include "plywriter.h"
#include "tc.h"

namespace {

// Pins the time zone (POSIX rule, no zone files needed) and the timecode mode for one test.
class plywriter : public ::testing::Test {
   protected:
    void SetUp() override {
        const char *tz = getenv("TZ");
        had_tz_ = tz != nullptr;
        if (tz) old_tz_ = tz;
        set_tz("UTC0");
        tc_setmode(TC_PAL);
    }
    void TearDown() override {
        if (had_tz_)
            setenv("TZ", old_tz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
        tc_setmode(TC_PAL);
    }
    static void set_tz(const char *tz) {
        setenv("TZ", tz, 1);
        tzset();
    }
    // A list of the given playlist lines.
    ply_list *list(std::initializer_list<const char *> lines) {
        EXPECT_EQ(ply_new(&l_), 0);
        for (const char *line : lines) EXPECT_GE(ply_insert_text(l_, line, -1), 0) << line;
        return l_;
    }
    ~plywriter() override { ply_free(&l_); }

    ply_list *l_ = nullptr;
    bool had_tz_ = false;
    std::string old_tz_;
};

constexpr const char *CET = "CET-1CEST,M3.5.0,M10.5.0/3";

// Pairs as the playlist line carries them: "\\t" between key and value, "\\n" between pairs.
const char *EV_PAIRS =
    "10:00:00:00\tF\t\t\t\tV\tA\tT\t\t\t\tsgt_event_id\\tE1\\nother\\tx\\n"
    "sgt_event_id\\tE2\t\t\t";
const char *EV_BARE = "10:01:00:00\t \t\t\t00:00:20:00\tV\tABC\tplain\t\t\t\t\t\t\t";

TEST_F(plywriter, day_from_name) {
    ply_wr_day d;
    int fields = -9;
    std::string name;
    EXPECT_EQ(ply_wr_day_from_name("2024-03-05.ply", false, &d, &fields, &name), 1);
    EXPECT_EQ(name, "2024-03-05");
    EXPECT_EQ(d.year * 10000 + d.month * 100 + d.day, 20240305);
    // Cut at the last dot only.
    EXPECT_EQ(ply_wr_day_from_name("/x.y/2024-03-06.backup.ply", false, &d, &fields, &name), 1);
    EXPECT_EQ(name, "2024-03-06.backup");
    EXPECT_EQ(d.day, 6);

    EXPECT_EQ(ply_wr_day_from_name("/x/today.ply", false, &d, &fields, &name), 0);
    EXPECT_EQ(fields, 0);
    EXPECT_EQ(name, "today");
    EXPECT_EQ(ply_wr_day_from_name("2024-03.ply", false, &d, &fields, &name), 0);
    EXPECT_EQ(fields, 2);
    // The SGT rule knows no eight-digit form.
    EXPECT_EQ(ply_wr_day_from_name("chan_20240305.ply", false, &d, &fields, &name), 0);
}

TEST_F(plywriter, day_from_eight_digits) {
    ply_wr_day d;
    int fields;
    std::string name;
    EXPECT_EQ(ply_wr_day_from_name("/p/chan_20240305_v2.ply", true, &d, &fields, &name), 2);
    EXPECT_EQ(d.year * 10000 + d.month * 100 + d.day, 20240305);
    EXPECT_EQ(ply_wr_day_from_name("20231231x.ply", true, &d, &fields, &name), 2);
    EXPECT_EQ(d.year * 10000 + d.month * 100 + d.day, 20231231);
    // The first exact run wins; longer runs are read as their first eight digits.
    EXPECT_EQ(ply_wr_day_from_name("a_2024_20240102_20250101.ply", true, &d, &fields, &name), 2);
    EXPECT_EQ(d.month * 100 + d.day, 102);
    EXPECT_EQ(ply_wr_day_from_name("a_202401029.ply", true, &d, &fields, &name), 2);
    EXPECT_EQ(d.day, 2);
    // The dash form still comes first.
    EXPECT_EQ(ply_wr_day_from_name("2024-03-05_20990101.ply", true, &d, &fields, &name), 1);
    for (const char *none : {"chan_2024.ply", "chan_.ply", "chan.ply", "x20240305.ply", ".ply"})
        EXPECT_EQ(ply_wr_day_from_name(none, true, &d, &fields, &name), 0) << none;
}

TEST_F(plywriter, utc_start_is_standard_time) {
    set_tz(CET);
    struct tm utc;
    int frames;
    // Winter: one hour ahead, the day moves back.
    ply_wr_utc_start({2024, 3, 5}, "00:30:00:10", &utc, &frames);
    EXPECT_EQ(utc.tm_year + 1900, 2024);
    EXPECT_EQ(utc.tm_mon + 1, 3);
    EXPECT_EQ(utc.tm_mday, 4);
    EXPECT_EQ(utc.tm_hour * 3600 + utc.tm_min * 60 + utc.tm_sec, 23 * 3600 + 30 * 60);
    EXPECT_EQ(frames, 10);
    // Summer: still one hour only.
    ply_wr_utc_start({2024, 7, 5}, "12:00:00:00", &utc, &frames);
    EXPECT_EQ(utc.tm_hour, 11);
    // Missing numbers are 0.
    ply_wr_utc_start({2024, 1, 1}, "10", &utc, &frames);
    EXPECT_EQ(utc.tm_hour * 100 + utc.tm_min, 900);
    EXPECT_EQ(frames, 0);

    // The as-run day follows daylight saving.
    EXPECT_EQ(ply_wr_day_time({2024, 3, 5}), 1709593200);
    EXPECT_EQ(ply_wr_day_time({2024, 7, 5}), 1720130400);
}

TEST_F(plywriter, names_and_pairs) {
    EXPECT_EQ(ply_wr_sgt_media_name("/media/clips/ABC123#1"), "ABC123");
    EXPECT_EQ(ply_wr_sgt_media_name("A#B/C#D#E"), "C");
    EXPECT_EQ(ply_wr_sgt_media_name("plain"), "plain");
    EXPECT_EQ(ply_wr_base_name("/a/b.mxf#1"), "b.mxf#1");
    EXPECT_EQ(ply_wr_base_name("/a/"), "");
    EXPECT_EQ(ply_wr_cut_ext("b.c.mxf#1"), "b.c");
    EXPECT_EQ(ply_wr_cut_ext("noext"), "noext");
    EXPECT_STREQ(ply_wr_start_type('F'), "Horaire");
    EXPECT_STREQ(ply_wr_start_type('M'), "Manual");
    EXPECT_STREQ(ply_wr_start_type('G'), "Enchaîné");
    EXPECT_STREQ(ply_wr_rate_text(TC_NTSC_DF), "29.97");
    EXPECT_STREQ(ply_wr_rate_text(7), "25");

    ply_list *l = list({EV_PAIRS, EV_BARE});
    EXPECT_STREQ(ply_wr_meta_first(l->items[0], "sgt_event_id"), "E1");
    EXPECT_STREQ(ply_wr_meta_last(l->items[0], "sgt_event_id"), "E2");
    EXPECT_STREQ(ply_wr_meta_first(l->items[1], "sgt_event_id"), "");
    EXPECT_STREQ(ply_wr_meta_last(l->items[1], "sgt_event_id"), "");
}

TEST_F(plywriter, escaping) {
    std::string s;
    xml_escape_attr(s, "a\"b&c'd<e>f\xc3\xa9");
    EXPECT_EQ(s, "a&quot;b&amp;c&apos;d&lt;e&gt;f\xc3\xa9");
    // The longest title a record holds is never cut.
    s.clear();
    xml_escape_attr(s, std::string(4095, '"'));
    EXPECT_EQ(s.size(), 4095u * 6);
    EXPECT_EQ(s.substr(s.size() - 6), "&quot;");

    s.clear();
    ply_wr_xml_text(s, "\"a\" & <b>'");
    EXPECT_EQ(s, "\"a\" &amp; &lt;b&gt;'");

    s.clear();
    ply_wr_cdata(s, "x]]>y]]]>z");
    EXPECT_EQ(s, "<![CDATA[x]]]]><![CDATA[>y]]]]]><![CDATA[>z]]>");
    s.clear();
    ply_wr_cdata(s, "");
    EXPECT_EQ(s, "<![CDATA[]]>");

    s.clear();
    ply_wr_cell(s, "a;b\r\nc");
    EXPECT_EQ(s, "a b  c");
}

}  // namespace
