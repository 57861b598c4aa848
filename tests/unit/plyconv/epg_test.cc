#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "epg.h"
#include "file.h"
#include "helpers.h"
#include "reader_test_util.h"

namespace {

using sink = reader_sink<time_t>;
constexpr auto keep_event = keep_event_in<sink>;
constexpr auto note_day = note_time_in<sink>;

time_t midnight(int y, int m, int d) {
    struct tm tm = {};
    tm.tm_year = y - 1900;
    tm.tm_mon = m - 1;
    tm.tm_mday = d;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

class Epg : public ::testing::Test {
   protected:
    void SetUp() override {
        tz.emplace("CET-1CEST,M3.5.0,M10.5.0/3");
        ASSERT_EQ(beinsports_epg_init(), 0);
    }
    void TearDown() override { tz.reset(); }
    int parse(const std::string &text) {
        std::string path = dir / "epg.xml";
        EXPECT_EQ(file_write_atomic(path, text), 0);
        return beinsports_epg_parse(path.c_str(), nullptr, &out, keep_event, note_day);
    }
    temp_dir dir;
    sink out;
    std::optional<tz_scope> tz;
};

const char *const kProgram =
    "<PROGRAM><START_TIME>20:45</START_TIME><!-- c --><DURATION>01:30</DURATION>"
    "<OTHER>x</OTHER><EVENEMENT_COMPL>Live &amp; direct</EVENEMENT_COMPL>"
    "<TITRE>Match</TITRE></PROGRAM>";

TEST_F(Epg, ProgramBecomesEvent) {
    ASSERT_EQ(parse(std::string("<?xml version=\"1.0\"?>\n<EPG><BROADCAST_DAY>\n"
                                "<TX_DAY>2024-03-05</TX_DAY>\n") +
                    kProgram + "</BROADCAST_DAY></EPG>\n"),
              0);
    ASSERT_EQ(out.days.size(), 1u);
    EXPECT_EQ(out.days[0], midnight(2024, 3, 5));
    ASSERT_EQ(out.events.size(), 1u);
    const mivrabox_event *ev = out.events[0];
    EXPECT_EQ(ev->event_type, 'P');
    EXPECT_EQ(ev->start_mode, 'F');
    EXPECT_EQ(ev->media_id.str(), "/assets/beinsports/epg_bg.mov");
    EXPECT_EQ(ev->assets.str(), "beinsports");
    EXPECT_EQ(ev->start_time.str(), "20:45:00:00");
    EXPECT_EQ(ev->mark_in.str(), "00:00:00:00");
    EXPECT_EQ(ev->mark_out.str(), "01:30:00:00");
    EXPECT_EQ(ev->duration.str(), "01:30:00:00");
    EXPECT_EQ(ev->title.str(), "Match");
    std::vector<std::pair<std::string, std::string>> want = {{"TX_DAY", "MARDI 5 MARS"},
                                                             {"START_TIME", "20:45"},
                                                             {"DURATION", "01:30"},
                                                             {"EVENEMENT_COMPL", "Live & direct"},
                                                             {"TITRE", "Match"}};
    EXPECT_EQ(out.pair_list(0), want);
}

TEST_F(Epg, DayStateCarriesAcrossDays) {
    ASSERT_EQ(parse("<EPG><BROADCAST_DAY><PROGRAM><DURATION>00:10</DURATION></PROGRAM>"
                    "<TX_DAY>2024-08-31</TX_DAY></BROADCAST_DAY>"
                    "<BROADCAST_DAY><PROGRAM><TITRE></TITRE></PROGRAM>"
                    "<TX_DAY>2024-09-01</TX_DAY><PROGRAM/></BROADCAST_DAY><BROADCAST_DAY/></EPG>"),
              0);
    EXPECT_EQ(out.days, (std::vector<time_t>{midnight(2024, 8, 31), midnight(2024, 9, 1)}));
    ASSERT_EQ(out.events.size(), 3u);
    EXPECT_EQ(out.pair_list(0).at(0).second, "DIMANCHE 0 JANVIER");
    // Without TITRE (or with an empty one) the title stays empty and no pair is added.
    EXPECT_EQ(out.events[1]->title.str(), "");
    EXPECT_EQ(out.pair_list(1),
              (std::vector<std::pair<std::string, std::string>>{{"TX_DAY", "SAMEDI 31 AOUT"}}));
    EXPECT_EQ(out.pair_list(2).at(0).second, "DIMANCHE 1 SEPTEMBRE");
    EXPECT_EQ(out.events[2]->start_time.str(), "");
}

TEST_F(Epg, Refusals) {
    EXPECT_EQ(parse("<EPG><BROADCAST_DAY>"), -22);
    EXPECT_EQ(parse("<GUIDE><BROADCAST_DAY><PROGRAM/></BROADCAST_DAY></GUIDE>"), -2);
    std::string missing = dir / "none.xml";
    EXPECT_EQ(beinsports_epg_parse(missing.c_str(), nullptr, &out, keep_event, note_day), -22);
    EXPECT_EQ(parse("<EPG/>"), 0);
    EXPECT_TRUE(out.events.empty());
    EXPECT_TRUE(out.days.empty());
    EXPECT_EQ(beinsports_epg_cleanup(), 0);
}

}  // namespace
