#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "chyro.h"
#include "file.h"
#include "helpers.h"
#include "reader_test_util.h"
#include "sgt.h"
#include "tc.h"

namespace {

using sink = reader_sink<time_t>;
constexpr auto keep_event = keep_event_in<sink>;
constexpr auto note_day = note_time_in<sink>;

std::string playlist(const std::string &schedules, const char *version = "1.9") {
    return std::string("<?xml version=\"1.0\"?>\n<chyro_playlist version=\"") + version + "\">" +
           schedules + "<other/></chyro_playlist>\n";
}

std::string schedule(const std::string &body, const char *attrs = "") {
    return std::string(
               "<schedule id=\"S1\" startmode=\"CLOCK\" startdate=\"1709251200\" "
               "starttime=\"900\" type=\"x\" ") +
           attrs + ">" + body + "</schedule>";
}

const char kClip[] =
    "<file><name>clip.mxf</name><path>/vol</path>"
    "<timecode tcin=\"250\" tcout=\"1000\" duration=\"750\"/></file>";

class Chyro : public ::testing::Test {
   protected:
    void SetUp() override {
        tc_setmode(TC_PAL);
        g_logged.clear();
        chyro_set_log_cb(capture_log);
        ASSERT_EQ(chyro_create(&p, 0), 0);
    }
    void TearDown() override {
        chyro_destroy(&p);
        chyro_set_log_cb(nullptr);
        tc_setmode(TC_PAL);
    }
    int parse(const std::string &doc) {
        std::string path = dir / "in.xml";
        EXPECT_EQ(file_write_atomic(path, doc), 0);
        return chyro_parse(p, path.c_str(), &out, keep_event, note_day);
    }
    void categories(const std::string &text) {
        std::string path = dir / "c2t.txt";
        ASSERT_EQ(file_write_atomic(path, text), 0);
        EXPECT_EQ(chyro_set_param(p, READER_P_CATEGORY2TYPE, path.c_str()), 0);
    }

    temp_dir dir;
    chyro_params *p = nullptr;
    sink out;
};

TEST_F(Chyro, DocumentRefusals) {
    EXPECT_EQ(parse("not xml <"), -22);
    EXPECT_EQ(parse("<playlist version=\"1.9\"><schedule/></playlist>"), -2);
    EXPECT_EQ(parse(playlist(schedule(""), "1.8")), -22);
    EXPECT_EQ(parse("<chyro_playlist><schedule/></chyro_playlist>"), -22);
    // Broken after its schedules (far more than one read's worth): the whole document is refused
    // before any event goes out.
    std::string many;
    for (int i = 0; i < 500; i++) many += schedule(kClip);
    EXPECT_EQ(parse(playlist(many) + "<tail"), -22);
    EXPECT_TRUE(out.events.empty());
    ASSERT_EQ(g_logged.size(), 2u);
    EXPECT_EQ(g_logged[0], "attr_version=[1.8]\n");
    EXPECT_EQ(g_logged[1], "attr_version=[(null)]\n");
    EXPECT_EQ(chyro_parse(p, (dir / "missing.xml").c_str(), &out, keep_event, note_day), -22);
    EXPECT_EQ(parse(playlist("")), 0);
    EXPECT_TRUE(out.days.empty());
}

TEST_F(Chyro, ScheduleFields) {
    chyro_set_param(p, READER_P_APPEND_PATH, "/media");
    chyro_set_param(p, READER_P_ASPECT, "16:9");
    std::string body = std::string("<program>Morning</program><DTMF>1234</DTMF>") + kClip +
                       "<metadata><genre>news</genre><empty/></metadata>";
    ASSERT_EQ(parse(playlist(schedule(body) +
                             "<schedule startmode=\"MANUAL\" starttime=\"25\"><DTMF>9@3</DTMF>"
                             "</schedule><schedule startmode=\"other\"/>")),
              0);
    ASSERT_EQ(out.events.size(), 3u);
    ASSERT_EQ(out.days, std::vector<time_t>{1709251200});
    const mivrabox_event &e = out.at(0);
    EXPECT_EQ(e.start_time, "00:00:36:00");
    EXPECT_EQ(e.start_mode, 'F');
    EXPECT_EQ(e.title, "Morning");
    EXPECT_EQ(e.media_id, "/vol/media/clip.mxf");
    EXPECT_EQ(e.mark_in, "00:00:10:00");
    EXPECT_EQ(e.mark_out, "00:00:39:24");
    EXPECT_EQ(e.duration, "00:00:30:00");
    EXPECT_EQ(e.ar, "16:9");
    auto m = out.pairs(0);
    EXPECT_EQ(m["chyro_event_id"], "S1");
    EXPECT_EQ(m["DTMF"], "1234@25");
    EXPECT_EQ(m["genre"], "news");
    EXPECT_EQ(m.count("empty"), 0u);
    EXPECT_EQ(out.at(1).start_mode, 'M');
    EXPECT_EQ(out.at(1).start_time, "00:00:01:00");
    EXPECT_EQ(out.pairs(1)["DTMF"], "9@3");
    EXPECT_EQ(out.pairs(1).count("chyro_event_id"), 0u);
    EXPECT_EQ(out.at(2).start_mode, ' ');
    EXPECT_TRUE(out.at(2).start_time.empty());
}

TEST_F(Chyro, MarkOutFlagsAndPathFlags) {
    chyro_set_flag(p, READER_F_TCOUT_INCLUDED | READER_F_IGNORE_PATH);
    chyro_set_param(p, READER_P_DTMF_OFFSET, 10);
    ASSERT_EQ(parse(playlist(schedule(std::string(kClip) + "<DTMF>77</DTMF>"))), 0);
    EXPECT_EQ(out.at(0).mark_out, "00:00:40:00");
    EXPECT_EQ(out.at(0).media_id, "/clip.mxf");
    EXPECT_EQ(out.pairs(0)["DTMF"], "77@10");
    // Computed from tcin and duration: the tcout of the document is not read.
    chyro_set_flag(p, READER_F_TCOUT_CALC | READER_F_CATEGORY_PATH);
    ASSERT_EQ(
        parse(playlist(schedule("<category>PUB</category><file><name>clip.mxf</name>"
                                "<timecode tcin=\"250\" tcout=\"5\" duration=\"750\"/></file>"))),
        0);
    EXPECT_EQ(out.at(1).mark_out, "00:00:39:24");
    EXPECT_EQ(out.at(1).media_id, "/PUB/clip.mxf");
}

TEST_F(Chyro, CategoryTable) {
    categories("# comment\r\n\r\nP\tPUB\r\nP PUBLICITE\nF FILM\tignored\nD *\nX\n");
    ASSERT_EQ(g_logged.size(), 1u);
    EXPECT_NE(g_logged[0].find("failed to parse line [X]"), std::string::npos);
    ASSERT_EQ(
        parse(playlist(
            schedule("<category>PUBLICITE</category>") + schedule("<category>PUB</category>") +
            schedule("<category>FILM</category>") + schedule("<category>NEWS</category>"))),
        0);
    ASSERT_EQ(out.events.size(), 4u);
    EXPECT_EQ(out.at(0).event_type, 'P');
    EXPECT_EQ(out.at(1).event_type, 'D');  // replaced by the later line, so the fallback
    EXPECT_EQ(out.at(2).event_type, 'F');
    EXPECT_EQ(out.at(3).event_type, 'D');

    chyro_params *bare = nullptr;
    ASSERT_EQ(chyro_create(&bare, 0), 0);
    chyro_set_param(bare, READER_P_CATEGORY2TYPE, (dir / "none.txt").c_str());
    EXPECT_NE(g_logged.back().find("failed to load category2type file"), std::string::npos);
    std::string path = dir / "in.xml";
    ASSERT_EQ(chyro_parse(bare, path.c_str(), &out, keep_event, nullptr), 0);
    EXPECT_EQ(out.at(4).event_type, 0);
    chyro_destroy(&bare);
}

TEST_F(Chyro, GraphicsClippedToTheMarks) {
    chyro_set_param(p, READER_P_APPEND_TMPL, "T_");
    chyro_set_param(p, READER_P_NEWFIELD_SEP, " ; ");
    std::string file =
        "<file><name>c</name><timecode tcin=\"100\" tcout=\"501\" "
        "duration=\"401\"/></file>";
    std::string events =
        "<events>"
        "<event starttime=\"50\" endtime=\"200\" template=\"logo\"><text>"
        "<line id=\"\">a ; b ; </line><line id=\"name\">Ann</line></text></event>"
        "<event starttime=\"400\" endtime=\"800\" template=\"logo\"/>"
        "<event starttime=\"500\" endtime=\"600\" template=\"late\"/>"
        "<event starttime=\"0\" endtime=\"100\" template=\"early\"/>"
        "<event starttime=\"0\" endtime=\"900\"/>"
        "</events>";
    ASSERT_EQ(parse(playlist(schedule(file + events) + schedule(file + events))), 0);
    ASSERT_EQ(out.events.size(), 2u);
    for (size_t i = 0; i < 2; i++) {
        EXPECT_EQ(out.at(i).assets, "+T_logo+T_logo");
        auto m = out.pairs(i);
        EXPECT_EQ(m["in@T_logo#0"], "0");
        EXPECT_EQ(m["out@T_logo#0"], "100");
        EXPECT_EQ(m["in@T_logo#1"], "300");
        EXPECT_EQ(m["out@T_logo#1"], "400");
        EXPECT_EQ(m["default@T_logo#0"], "a ; b ; ");
        EXPECT_EQ(m["default_0@T_logo#0"], "a");
        EXPECT_EQ(m["default_1@T_logo#0"], "b");
        EXPECT_EQ(m.count("default_2@T_logo#0"), 0u);
        EXPECT_EQ(m["name@T_logo#0"], "Ann");
        EXPECT_EQ(m.count("in@T_late#0") + m.count("in@T_early#0"), 0u);
    }
}

TEST_F(Chyro, TemplateListIsBounded) {
    std::string events = "<events>";
    for (int i = 0; i < 130; i++)
        events += "<event starttime=\"0\" endtime=\"10\" template=\"t\"/>";
    events += "</events>";
    ASSERT_EQ(parse(playlist(schedule(
                  "<file><timecode tcin=\"0\" tcout=\"100\" duration=\"100\"/></file>" + events))),
              0);
    auto m = out.pairs(0);
    EXPECT_EQ(m.count("in@t#127"), 1u);
    EXPECT_EQ(m.count("in@t#128"), 0u);
}

TEST_F(Chyro, TimescaleOfTheFirstScheduleStays) {
    ASSERT_EQ(
        parse(playlist(schedule(kClip, "timescale=\"50\"") + schedule(kClip, "timescale=\"25\""))),
        0);
    EXPECT_EQ(tc_getmode(), TC_50);
    EXPECT_EQ(out.at(0).mark_in, "00:00:05:00");
    EXPECT_EQ(out.at(1).mark_in, "00:00:05:00");
    ASSERT_EQ(parse(playlist(schedule(kClip, "timescale=\"24\""))), 0);
    EXPECT_EQ(tc_getmode(), TC_50);
    ASSERT_EQ(parse(playlist(schedule(kClip, "timescale=\"29.97\""))), 0);
    EXPECT_EQ(tc_getmode(), TC_NTSC_DF);
}

TEST_F(Chyro, TraceAndParameterIds) {
    chyro_set_flag(p, READER_F_TRACE);
    chyro_set_param(p, 8, "x");
    chyro_set_param(p, READER_P_EVS_PATH, "/evs");
    chyro_set_param(p, READER_P_APPEND_PATH, std::string(5000, 'a').c_str());
    chyro_set_param(p, READER_P_APPEND_PATH, nullptr);
    EXPECT_EQ(p->append_path.size(), 4095u);
    EXPECT_TRUE(p->evs_path.empty());
    ASSERT_EQ(parse(playlist(schedule("<program>P</program>"))), 0);
    ASSERT_GE(g_logged.size(), 2u);
    EXPECT_EQ(g_logged[0], "\nfound: \n\tstarttime=[900][00:00:36:00]\n\tstartmode=[CLOCK]\n");
    EXPECT_EQ(g_logged[1], "\tprogram: [P]\n");
}

TEST_F(Chyro, MissingAttributesDoNotFail) {
    ASSERT_EQ(parse(playlist("<schedule><category/><file><name/><timecode/></file>"
                             "<events><event template=\"t\"/></events>"
                             "<DTMF/><metadata/></schedule>")),
              0);
    ASSERT_EQ(out.events.size(), 1u);
    EXPECT_EQ(out.days, std::vector<time_t>{0});
    EXPECT_EQ(out.at(0).mark_in, "00:00:00:00");
}

}  // namespace
