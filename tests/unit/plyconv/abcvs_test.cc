#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "abcvs.h"
#include "file.h"
#include "helpers.h"
#include "reader_test_util.h"
#include "tc.h"

namespace {

struct sink : reader_sink<time_t> {
    abcvs_handle *handle = nullptr;
    std::vector<std::string> log;
};

sink *g_sink = nullptr;
constexpr auto keep_event = keep_handle_event_in<sink, abcvs_handle>;

void note_log(const char *fmt, va_list ap) {
    char buf[1024];
    vsnprintf(buf, sizeof buf, fmt, ap);
    if (g_sink) g_sink->log.push_back(buf);
}

const std::string kHeader =
    "StartMode;Date;StartTime;VideoId;FileName;Reconciliation Key;Duration;Format;TcIn;EvsCount;"
    "Type_1;Scenario_1;offset_1;duration_1;ExtParams_1;Type_2;Scenario_2;offset_2;duration_2;"
    "ExtParams_2";

// One data row of 20 cells (the last 8 empty).
std::string row(const std::string &mode, const std::string &date, const std::string &time,
                const std::string &title, const std::string &key = "K1",
                const std::string &type = "P") {
    return mode + ";" + date + ";" + time + ";" + title + ";CLIP_1.mxf;" + key +
           ";00:00:30:00;HD;10:00:00:00;1;" + type + ";LOGO;;;;;;;;";
}

class Abcvs : public ::testing::Test {
   protected:
    void SetUp() override {
        tc_setmode(TC_PAL);
        g_sink = &out;
        abcvs_set_log_cb(note_log);
        ASSERT_EQ(abcvs_create(&out.handle), 0);
        tz.emplace("UTC0");
    }
    void TearDown() override {
        abcvs_destroy(&out.handle);
        abcvs_set_log_cb(nullptr);
        g_sink = nullptr;
        tz.reset();
    }
    int parse(const std::string &text) {
        std::string path = dir / "in.cvs";
        EXPECT_EQ(file_write_atomic(path, text), 0);
        return abcvs_parse(out.handle, path.c_str(), nullptr, &out, keep_event);
    }
    temp_dir dir;
    sink out;
    std::optional<tz_scope> tz;
};

TEST_F(Abcvs, RowBecomesEventAndModeIs50) {
    ASSERT_EQ(
        parse(kHeader + "\r\n" + row("Clock", "01/03/2024", "06:30:00:12", "My title") + "\r\n"),
        0);
    ASSERT_EQ(out.events.size(), 1u);
    const mivrabox_event *ev = out.events[0];
    EXPECT_EQ(ev->start_mode, 'F');
    EXPECT_EQ(ev->start_time.str(), "06:30:00:12");
    EXPECT_EQ(ev->title.str(), "My title");
    EXPECT_EQ(ev->media_id.str(), "/CLIP_1.mxf");
    EXPECT_EQ(ev->duration.str(), "00:00:30:00");
    EXPECT_EQ(ev->mark_in.str(), "10:00:00:00");
    EXPECT_EQ(ev->event_type, 'P');
    EXPECT_EQ(ev->assets.str(), "LOGO");
    EXPECT_EQ(ev->ar.str(), "*");
    ASSERT_EQ(ev->pairs.size(), 1u);
    EXPECT_EQ(ev->pairs[0].key.str(), "Reconciliation_Key");
    EXPECT_EQ(ev->pairs[0].value.str(), "K1");
    EXPECT_EQ(tc_getmode(), TC_50);
    EXPECT_EQ(out.log.at(0).find("abcvs_parse:"), 0u);
    EXPECT_NE(out.log.at(0).find("has 2 rows"), std::string::npos);
}

TEST_F(Abcvs, StartModesAndTypes) {
    std::string text = kHeader + "\n";
    for (const char *m : {"CLOCK", "clock", "manual", "AutoFollow", "Auto"})
        text += row(m, "01/03/2024", "06:30:00:00", "t") + "\n";
    text += row("Clock", "01/03/2024", "06:30:00:00", "t", "", "") + "\n";
    text += row("Clock", "01/03/2024", "06:30:00:00", "t", "", "\xE9") + "\n";
    ASSERT_EQ(parse(text), 0);
    ASSERT_EQ(out.events.size(), 7u);
    std::string modes;
    for (int i = 0; i < 5; i++) modes += out.events[i]->start_mode;
    EXPECT_EQ(modes, "FFM  ");
    EXPECT_EQ(out.events[5]->event_type, 0);
    EXPECT_TRUE(out.events[5]->pairs.empty());  // empty key: no pair
    EXPECT_EQ(out.events[6]->event_type, int(static_cast<signed char>('\xE9')));
}

TEST_F(Abcvs, StartTimeIsLocalTimeOfUtcInstant) {
    setenv("TZ", "CET-1", 1);
    tzset();
    ASSERT_EQ(parse(kHeader + "\n" + row("Clock", "31/12/2023", "23:30:00:12", "t") + "\n" +
                    row("Clock", "0/1/2024", "10:00:00:00", "t") + "\n" +
                    row("Clock", "01/01/2024", "10:00:00", "t") + "\n"),
              0);
    ASSERT_EQ(out.events.size(), 3u);
    EXPECT_EQ(out.events[0]->start_time.str(), "00:30:00:12");
    EXPECT_EQ(out.events[1]->start_time.str(), "");
    EXPECT_EQ(out.events[2]->start_time.str(), "");
}

TEST_F(Abcvs, ShortRowsSkippedLongRowsCutAndSemicolonShifts) {
    std::string r19 = "Clock;a;b;c;d;e;f;g;h;i;j;k;l;m;n;o;p;q;r";
    ASSERT_EQ(parse(kHeader + "\n" + r19 + "\n" + row("Clock", "01/03/2024", "06:30:00:00", "t") +
                    ";x;y;z;w;v\n" + row("Clock", "01/03/2024", "06:30:00:00", "a;b") + "\n"),
              0);
    ASSERT_EQ(out.events.size(), 2u);
    EXPECT_EQ(out.events[0]->assets.str(), "LOGO");
    EXPECT_EQ(out.events[1]->title.str(), "a");
    EXPECT_EQ(out.events[1]->media_id.str(), "/b");
    bool logged = false;
    for (const std::string &l : out.log)
        logged |=
            l.find("incompatible columns number, specified 19, expected 20") != std::string::npos;
    EXPECT_TRUE(logged);
}

TEST_F(Abcvs, HeaderOnlyEmptyAndMissingFiles) {
    ASSERT_EQ(parse(kHeader + "\n"), 0);
    EXPECT_TRUE(out.events.empty());
    EXPECT_NE(out.log.back().find("has 1 rows"), std::string::npos);

    ASSERT_EQ(parse("\n\r\n\n"), 0);
    EXPECT_NE(out.log.back().find("empty file"), std::string::npos);

    std::string missing = dir / "none.cvs";
    EXPECT_EQ(abcvs_parse(out.handle, missing.c_str(), nullptr, &out, keep_event), -2);
    EXPECT_NE(out.log.back().find("failed to load file [" + missing + "], r=-2"),
              std::string::npos);
    EXPECT_TRUE(out.events.empty());
}

TEST(AbcvsHandle, CreateDestroyRefusals) {
    EXPECT_EQ(abcvs_create(nullptr), -22);
    EXPECT_EQ(abcvs_destroy(nullptr), -22);
    abcvs_handle *h = nullptr;
    EXPECT_EQ(abcvs_destroy(&h), 0);
}

}  // namespace
