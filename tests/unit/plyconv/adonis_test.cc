#include <gtest/gtest.h>

#include <sys/stat.h>

#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "adonis.h"
#include "helpers.h"
#include "reader_test_util.h"
#include "tc.h"

namespace {

using sink = reader_sink<std::string>;  // days as "day|base|channel"
constexpr auto keep_event = keep_event_in<sink>;

int note_day(time_t day, void *user, const char *base, const char *channel) {
    static_cast<sink *>(user)->days.push_back(std::to_string(day) + "|" + base + "|" + channel);
    return 0;
}

std::string request(const std::string &brandings) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Request Channel=\"CH2\"><Put>" +
           brandings + "</Put><Put><Branding ID=\"later\"/></Put></Request>\n";
}

class Adonis : public ::testing::Test {
   protected:
    void SetUp() override {
        tc_setmode(TC_PAL);
        adonis_set_log_cb(quiet_log);
        ASSERT_EQ(adonis_create(&p, 0), 0);
        adonis_set_param(p, READER_P_APPEND_PATH, "/media");
        adonis_set_param(p, READER_P_APPEND_TMPL, "T_");
        adonis_set_param(p, READER_P_PREPEND_EXT, "#");
        adonis_set_param(p, READER_P_WAV_PATH, "/wav");
        adonis_set_param(p, READER_P_LIVE_PATH, "/live/");
        folder = dir / "in.d";
        mkdir(folder.c_str(), 0755);
    }
    void TearDown() override {
        adonis_destroy(&p);
        adonis_set_log_cb(nullptr);
    }
    int parse(const std::string &doc, const std::string &name = "ADONIS_20240301_ABC123.xml") {
        std::string path = folder + "/" + name;
        EXPECT_EQ(file_write_atomic(path, doc), 0);
        return adonis_parse(p, path.c_str(), &out, keep_event, note_day);
    }
    void gxf(const char *min, const char *max, const char *dur) {
        adonis_set_param(p, READER_P_GXF_TC_MIN, min);
        adonis_set_param(p, READER_P_GXF_TC_MAX, max);
        adonis_set_param(p, READER_P_GXF_DUR_MAX, dur);
    }

    temp_dir dir;
    std::string folder;
    adonis_params *p = nullptr;
    sink out;
};

constexpr const char *kGxfBranding =
    "<Branding ID=\"C1\" MarkIn=\"10:00:10:00\" MarkOut=\"10:00:40:00\" "
    "Duration=\"00:00:30:00\"/>";

TEST_F(Adonis, BrandingFields) {
    ASSERT_EQ(parse(request("<Branding SrcFmt=\"4:3-1\" Category=\"Série\" Key=\"K9\" ID=\"CLIP1\" "
                            "ScenarTitle=\"Episode 1\" File=\"f\" MarkIn=\"00:00:01:00\" "
                            "MarkOut=\"00:00:31:00\" Start=\"01/03/2024 06:30:00:12\" "
                            "Duration=\"00:00:30:00\" StartMode=\"clock\"/>"
                            "<Branding Category=\"Film\" ID=\"Live:SDI_in\" StartMode=\"Clock\"/>"
                            "<Branding Category=\"Inconnu\" StartMode=\"manual\"/>")),
              0);
    ASSERT_EQ(out.days.size(), 1u);
    struct tm tm {};
    tm.tm_year = 124;
    tm.tm_mon = 2;
    tm.tm_mday = 1;
    EXPECT_EQ(out.days[0], std::to_string(mktime(&tm)) + "|/ADONIS_20240301_ABC123|CH2");

    ASSERT_EQ(out.events.size(), 3u);  // later Put elements are not read
    const mivrabox_event &a = *out.events[0];
    EXPECT_EQ(a.start_mode, 'F');
    EXPECT_EQ(a.start_time, "06:30:00:12");
    EXPECT_EQ(a.duration, "00:00:30:00");
    EXPECT_EQ(a.mark_in, "00:00:01:00");
    EXPECT_EQ(a.mark_out, "00:00:31:00");
    EXPECT_EQ(a.media_id, "/media/CLIP1#");
    EXPECT_EQ(a.title, "Episode 1");
    EXPECT_EQ(a.event_type, 'S');
    EXPECT_EQ(a.ar, "PAL43");
    EXPECT_EQ(a.audio_map, "01234567");
    auto m = out.pairs(0);
    EXPECT_EQ(m["attr_Category"], "Série");
    EXPECT_EQ(m["adonis_branding_key"], "K9");
    EXPECT_EQ(m["IDStartVITC"], "_");
    EXPECT_EQ(m["adonis_playlist_name"], "/ADONIS_20240301_ABC123");

    // The live source is set before the category is looked at.
    EXPECT_EQ(out.events[1]->event_type, 'L');
    EXPECT_EQ(out.events[1]->media_id, "/live/live.png");
    EXPECT_EQ(out.events[1]->start_mode, ' ');
    EXPECT_EQ(out.events[2]->event_type, 0);
    EXPECT_EQ(out.events[2]->start_mode, 'M');
    EXPECT_EQ(out.events[2]->media_id, "/media/#");
}

TEST_F(Adonis, GxfMarks) {
    gxf("10:00:00:00", "10:59:59:24", "01:00:00:00");
    ASSERT_EQ(parse(request(std::string(kGxfBranding) +
                            "<Branding MarkIn=\"11:00:00:00\" Duration=\"00:00:30:00\"/>"
                            "<Branding MarkIn=\"10:00:10:00\" Duration=\"02:00:00:00\"/>")),
              0);
    ASSERT_EQ(out.events.size(), 3u);
    EXPECT_EQ(out.events[0]->mark_in, "00:00:00:00");
    EXPECT_EQ(out.events[0]->mark_out, "00:00:30:00");
    EXPECT_EQ(out.events[1]->mark_in, "11:00:00:00");
    EXPECT_EQ(out.events[2]->mark_in, "10:00:10:00");
}

TEST_F(Adonis, GxfNeedsAllThreeLimits) {
    gxf("10:00:00:00", "10:59:59:24", nullptr);
    ASSERT_EQ(parse(request(kGxfBranding)), 0);
    EXPECT_EQ(out.events.at(0)->mark_in, "10:00:10:00");
    EXPECT_EQ(out.events.at(0)->mark_out, "10:00:40:00");
}

TEST_F(Adonis, Graphics) {
    adonis_set_flag(p, READER_F_TMPL_TYPE | READER_F_TRACE);
    ASSERT_EQ(parse(request(
                  "<Branding ID=\"C\" AES1=\"AES3\" AES2=\"VO\">"
                  "<Secondary Type=\"BrixaOverlay\" MarkIn=\"00:00:01:00\" "
                  "ExtParam=\"s|logo.visible=true\"/>"
                  "<Secondary Type=\"Other\" MarkIn=\"00:00:02:00\" ExtParam=\"s\"/>"
                  "<Secondary Type=\"BrixaOverlay\" MarkIn=\"00:00:03:00\" ExtParam=\"s\"/>"
                  "<Scenario Name=\"name tag\" MarkIn=\"00:00:02:00\" Duration=\"00:00:04:00\">"
                  "<Change Name=\"a.b\" Text=\"t\" Template=\"m\" Path=\"p\"/>"
                  "<Change Name=\"c\" Template=\"m\" Path=\"p\"/><Change Name=\"d\" Path=\"p\"/>"
                  "</Scenario><Scenario Name=\"name tag\"/>"
                  "<SubTitle><TitleItem Page=\"5\" Path=\"/s.stl\"/></SubTitle></Branding>")),
              0);
    const mivrabox_event &ev = *out.events.at(0);
    // Layers never carry a kind prefix here; scenarios do under the flag.
    EXPECT_EQ(ev.assets, "+T_LOGO+T_HAB-PLT_name_tag+T_HAB-PLT_name_tag");
    EXPECT_EQ(ev.audio_map, "45234567");
    auto m = out.pairs(0);
    EXPECT_EQ(m["STEREO_2"], "/wav/VO");
    EXPECT_EQ(m["in@T_LOGO#0"], "25");
    EXPECT_EQ(m["out@T_LOGO#0"], "75");
    EXPECT_EQ(m["in@T_HAB-PLT_name_tag#0"], "50");
    EXPECT_EQ(m["dur@T_HAB-PLT_name_tag#0"], "100");
    EXPECT_EQ(m["in@T_HAB-PLT_name_tag#1"], "0");
    EXPECT_EQ(m["a_b@T_HAB-PLT_name_tag#0"], "t");
    EXPECT_EQ(m["c@T_HAB-PLT_name_tag#0"], "m");
    EXPECT_EQ(m["d@T_HAB-PLT_name_tag#0"], "p");
    EXPECT_EQ(m["STL_5"], "/s.stl");
}

TEST_F(Adonis, Refusals) {
    EXPECT_EQ(adonis_parse(p, (dir / "absent.xml").c_str(), &out, keep_event, note_day), -22);
    EXPECT_EQ(parse("<Envelope/>"), -2);
    EXPECT_EQ(parse("<Request Channel=\"c\"><Get/></Request>"), -2);
    // No branding: success without an open-day call.
    EXPECT_EQ(parse("<Request><Put/></Request>", "noext"), 0);
    EXPECT_TRUE(out.days.empty());
    EXPECT_TRUE(out.events.empty());
    // A name without extension is kept whole; the folder's dot never cuts it.
    EXPECT_EQ(parse(request("<Branding/>"), "noext"), 0);
    EXPECT_EQ(out.pairs(0)["adonis_playlist_name"], "/noext");
    EXPECT_TRUE(out.events[0]->start_time.empty());
}

}  // namespace
