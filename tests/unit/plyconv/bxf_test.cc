#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bxf.h"
#include "file.h"
#include "helpers.h"
#include "reader_test_util.h"

namespace {

using sink = reader_sink<std::string>;
constexpr auto keep_event = keep_event_in<sink>;

int note_day(const char *date, void *user) {
    static_cast<sink *>(user)->days.push_back(date ? date : "<null>");
    return 0;
}

std::string message(const std::string &events) {
    return "<?xml version=\"1.0\"?>\n<BxfMessage><BxfData><Schedule><ScheduleName>Main"
           "</ScheduleName><Channel>One</Channel>" +
           events + "</Schedule></BxfData></BxfMessage>\n";
}

std::string start(const char *tc, const char *date) {
    return std::string("<StartDateTime><SmpteDateTime broadcastDate=\"") + date +
           "\"><SmpteTimeCode>" + tc + "</SmpteTimeCode></SmpteDateTime></StartDateTime>";
}

std::string length(const char *tc) {
    return std::string("<LengthOption><Duration><SmpteDuration><SmpteTimeCode>") + tc +
           "</SmpteTimeCode></SmpteDuration></Duration></LengthOption>";
}

std::string event_data(const char *type, const std::string &body) {
    return std::string("<EventData eventType=\"") + type + "\">" + body + "</EventData>";
}

std::string scheduled(const std::string &elements) {
    return "<ScheduledEvent><ScheduleElements>" + elements + "</ScheduleElements></ScheduledEvent>";
}

const char kContent[] =
    "<Content><Name>Film</Name><ContentId><HouseNumber>H1</HouseNumber></ContentId></Content>";

bool logged(const std::string &text) {
    for (const std::string &l : g_logged)
        if (l.find(text) != std::string::npos) return true;
    return false;
}

class Bxf : public ::testing::Test {
   protected:
    void SetUp() override {
        g_logged.clear();
        bxf_set_log_cb(capture_log);
        ASSERT_EQ(bxf_init(&ctx, 3, "*", ""), 0);
    }
    void TearDown() override {
        EXPECT_EQ(bxf_destroy(&ctx), 0);
        EXPECT_EQ(ctx, nullptr);
        bxf_set_log_cb(nullptr);
    }
    int parse(const std::string &doc) {
        std::string path = dir / "in.xml";
        EXPECT_EQ(file_write_atomic(path, doc), 0);
        return bxf_parse(ctx, path.c_str(), &out, keep_event, note_day);
    }

    temp_dir dir;
    bxf_ctx *ctx = nullptr;
    sink out;
};

TEST_F(Bxf, DocumentRefusals) {
    EXPECT_EQ(parse("not xml <"), -22);
    EXPECT_EQ(bxf_parse(ctx, (dir / "missing.xml").c_str(), &out, keep_event, note_day), -22);
    EXPECT_EQ(bxf_parse(ctx, nullptr, &out, keep_event, note_day), -22);
    EXPECT_EQ(bxf_parse(nullptr, "x", &out, keep_event, note_day), -22);
    EXPECT_EQ(parse("<Other><BxfData><Schedule/></BxfData></Other>"), -2);
    EXPECT_EQ(parse("<BxfMessage/>"), -2);
    EXPECT_TRUE(logged("bxf:bxf_parse:"));
    EXPECT_TRUE(logged("BxfData_node=(nil), BxfData_node->name=[(null)]"));
    EXPECT_EQ(parse("<BxfMessage><BxfData/></BxfMessage>"), -2);
    EXPECT_EQ(parse("<BxfMessage><BxfData><!-- c --><Schedule/></BxfData></BxfMessage>"), -2);
    EXPECT_EQ(ctx->doc, nullptr);
    EXPECT_EQ(parse(message("")), 0);
    EXPECT_TRUE(out.events.empty());
}

TEST_F(Bxf, IndentedMessageRefused) {
    g_logged.clear();
    EXPECT_EQ(parse("<BxfMessage>\n  <BxfData><Schedule/></BxfData>\n</BxfMessage>\n"), -2);
    ASSERT_EQ(g_logged.size(), 1u);
    EXPECT_NE(g_logged[0].find("BxfData_node->name=[text]"), std::string::npos) << g_logged[0];
}

TEST_F(Bxf, PrimaryEventDataFillsTheEvent) {
    std::string primary =
        event_data("Primary",
                   "<EventTitle>News</EventTitle><StartMode>Fixed</StartMode><EndMode>Duration"
                   "</EndMode>" +
                       length("00:30:00;00") + start("10:00:00;00", "2024-03-01"));
    std::string other = event_data("NonPrimary",
                                   "<EventTitle>Logo</EventTitle><StartMode>Follow"
                                   "</StartMode>" +
                                       length("00:00:10;00") + start("10:00:05;00", "2024-03-02"));
    ASSERT_EQ(parse(message(scheduled(kContent + other + primary) +
                            scheduled(event_data("Primary", "<StartMode>fixed</StartMode>" +
                                                                start("11:00:00;00", "late"))))),
              0);
    ASSERT_EQ(out.events.size(), 2u);
    const mivrabox_event &e = out.at(0);
    EXPECT_EQ(e.title, "News");
    EXPECT_EQ(e.start_mode, 'F');
    EXPECT_EQ(e.duration, "00:30:00;00");
    EXPECT_EQ(e.start_time, "10:00:00;00");
    EXPECT_TRUE(e.media_id.empty());
    EXPECT_EQ(out.at(1).start_mode, ' ');
    EXPECT_EQ(out.at(1).start_time, "11:00:00;00");
    EXPECT_TRUE(out.at(1).duration.empty());
    // Dates until the first event is out, the non-primary one's included.
    EXPECT_EQ(out.days, (std::vector<std::string>{"2024-03-02", "2024-03-01"}));
    EXPECT_TRUE(logged("bxf:bxf_parse_ScheduledEvent:"));
    EXPECT_TRUE(logged("Content/ContentId/HouseNumber=[H1]"));
    EXPECT_TRUE(logged("EventData/EndMode=[Duration]"));
    EXPECT_EQ(ctx->events_written, 2);
}

TEST_F(Bxf, BrokenScheduledEventsAreDropped) {
    std::string ok = event_data("Primary", "<EventTitle>Kept</EventTitle>");
    ASSERT_EQ(
        parse(message(
            // length without a timecode below it
            scheduled(event_data("Primary",
                                 "<EventTitle>A</EventTitle><LengthOption><Duration>"
                                 "<SmpteDuration/></Duration></LengthOption>")) +
            // start without SmpteDateTime, but the date of a complete one before it is reported
            scheduled(event_data("Other", start("09:00:00;00", "early")) +
                      event_data("Primary", "<StartDateTime/>")) +
            // ContentId whose first child is not HouseNumber
            scheduled("<Content><ContentId><Other/></ContentId></Content>" + ok) +
            "<ScheduledEvent><ScheduleElements>" + ok +
            "</ScheduleElements><Bad/></ScheduledEvent>" + scheduled("<Unknown/>" + ok) +
            "<Stray/>" + scheduled(kContent) +
            scheduled(event_data("Secondary", "<EventTitle>X</EventTitle>")) + scheduled(ok))),
        0);
    ASSERT_EQ(out.events.size(), 2u);
    // Non-primary data alone still gives an event, with nothing in it.
    EXPECT_TRUE(out.at(0).title.empty());
    EXPECT_EQ(out.at(0).start_mode, 0);
    EXPECT_EQ(out.at(1).title, "Kept");
    EXPECT_EQ(out.days, std::vector<std::string>{"early"});
    EXPECT_TRUE(logged("<SmpteTimeCode> not found"));
    EXPECT_TRUE(logged("<SmpteDateTime> not found"));
    EXPECT_TRUE(logged("HouseNumber_node->name==[Other]"));
    EXPECT_TRUE(logged("ScheduledEvent_node->name=[Stray]"));
}

TEST_F(Bxf, MissingBroadcastDateAndOpenDayAfterFirstEvent) {
    std::string no_date =
        event_data("Primary",
                   "<StartDateTime><SmpteDateTime><SmpteTimeCode>01:00:00;00</SmpteTimeCode>"
                   "</SmpteDateTime></StartDateTime>");
    ASSERT_EQ(parse(message(scheduled(no_date) +
                            scheduled(event_data("Primary", start("02:00:00;00", "d2"))))),
              0);
    EXPECT_EQ(out.events.size(), 2u);
    EXPECT_EQ(out.days, std::vector<std::string>{"<null>"});
}

TEST(BxfInit, ArgumentsAndCategoryFile) {
    EXPECT_EQ(bxf_init(nullptr, 0, "", ""), -22);
    EXPECT_EQ(bxf_destroy(nullptr), -22);
    bxf_ctx *none = nullptr;
    EXPECT_EQ(bxf_destroy(&none), 0);

    g_logged.clear();
    bxf_set_log_cb(capture_log);
    temp_dir dir;
    std::string path = dir / "c2t.txt";
    ASSERT_EQ(file_write_atomic(path, "# comment\nP PUB\r\nX\n"), 0);
    bxf_ctx *ctx = nullptr;
    ASSERT_EQ(bxf_init(&ctx, 5, "16:9", path.c_str()), 0);
    EXPECT_EQ(ctx->params.flags, 5);
    EXPECT_EQ(ctx->params.aspect, "16:9");
    EXPECT_EQ(ctx->params.category['P'], "PUB");
    ASSERT_EQ(g_logged.size(), 1u);
    EXPECT_EQ(g_logged[0].rfind("bxf_init:", 0), 0u) << g_logged[0];
    bxf_destroy(&ctx);

    ASSERT_EQ(bxf_init(&ctx, 0, "", (dir / "missing").c_str()), 0);
    EXPECT_FALSE(ctx->params.aspect);
    EXPECT_EQ(g_logged.size(), 2u);
    EXPECT_EQ(g_logged[1].rfind("bxf_init:", 0), 0u) << g_logged[1];
    EXPECT_NE(g_logged[1].find("failed to load category2type file"), std::string::npos);
    bxf_destroy(&ctx);
    bxf_set_log_cb(nullptr);
}

}  // namespace
