#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
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

const char *EV_FULL =
    "10:00:00:00\tF\t00:00:10:00\t00:01:00:00\t00:00:50:00\tV\t/media/clips/ABC123.mxf#1\t"
    "A \"b\" & <c>\tlogo1\t\t\tsgt_event_id\\tE1\\nsgt_event_id\\tE2\\n"
    "Reconciliation_Key\\tRK;1\\nchyro_event_id\\t12abc\\nsgt_playlist_name\\tPL\t\t\t";
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

    ply_list *l = list({EV_FULL, EV_BARE});
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

TEST_F(plywriter, sgt_documents) {
    ply_list *l = list({EV_FULL, EV_BARE});
    ply_wr_ctx ctx;
    ctx.day = {2024, 3, 5};
    ctx.dep = "D1";
    std::string doc;
    ASSERT_EQ(ply_wr_sgt(l, ctx, doc), 0);
    EXPECT_EQ(doc,
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Put>\n"
              "<Branding Start=\"05/03/2024 10:00:00:00\" TCIn=\"00:00:10:00\" Name=\"ABC123.mxf\" "
              "Title=\"A &quot;b&quot; &amp; &lt;c&gt;\" AES1=\"AES1\" AES2=\"AES1\" AES3=\"AES1\" "
              "AES4=\"AES1\" SubTitleBehaviour=\"Bypass\" Duration=\"00:00:50:00\" "
              "StartType=\"Horaire\" Key=\"E1\" State=\"Diffusé\" dep=\"D1\"/>\n"
              "<Branding Start=\"05/03/2024 10:01:00:00\" TCIn=\"\" Name=\"ABC\" Title=\"plain\" "
              "AES1=\"AES1\" AES2=\"AES1\" AES3=\"AES1\" AES4=\"AES1\" "
              "SubTitleBehaviour=\"Bypass\" Duration=\"00:00:20:00\" StartType=\"Enchaîné\" "
              "Key=\"\" State=\"Diffusé\" dep=\"D1\"/>\n"
              "</Put>\n");

    doc.clear();
    ASSERT_EQ(ply_wr_sgt2(l, ctx, doc), 0);
    const char *first =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Lines>\n"
        "<Line Date=\"2024-03-05T10:00:00:00\" Duration=\"00:00:50:00\">\n"
        "    <StartType>Horaire</StartType>\n"
        "    <State>Diffusé</State>\n"
        "    <AES1>AES1</AES1>\n"
        "    <AES2>AES1</AES2>\n"
        "    <AES3>AES1</AES3>\n"
        "    <AES4>AES2</AES4>\n"
        "    <SubTitleBehaviour>Bypass</SubTitleBehaviour>\n"
        "    <dep>ZUR-101</dep>\n"
        "    <ObjId IDCP=\"ABC123.mxf\" TcIn=\"00:00:10:00\" TcOut=\"00:01:00:00\"/>\n"
        "    <Title>A \"b\" &amp; &lt;c&gt;</Title>\n"
        "    <EventId>E2</EventId>\n"
        "    <IdControlProtocol>ABC123.mxf</IdControlProtocol>\n"
        "    <PlaylistName>PL</PlaylistName>\n"
        "</Line>\n";
    ASSERT_EQ(doc.substr(0, strlen(first)), first);
    EXPECT_NE(doc.find("<StartType>Enchaîné</StartType>"), std::string::npos);
    EXPECT_NE(doc.find("<EventId></EventId>"), std::string::npos);
    EXPECT_EQ(doc.substr(doc.size() - 17), "</Line>\n</Lines>\n");
}

TEST_F(plywriter, chyro_document) {
    tc_setmode(TC_50);
    ply_list *l = list({EV_FULL, "00:00:01:00\tF\t\tx\t\tV\t/ABC\tt]]>t\t\t\t\t\t\t",
                        "\tM\t\t\t\tV\tABC\tt\t\t\t\tchyro_event_id\\tnone\t\t\t"});
    ply_wr_ctx ctx;
    ctx.day = {2024, 3, 5};
    ctx.src = "in/\"a\".ply";
    std::string doc;
    ASSERT_EQ(ply_wr_chyro(l, ctx, doc), 0);
    EXPECT_EQ(doc.substr(0, doc.find('\n', 40) + 1),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<chyro_asrun version=\"1.9\" xmlns=\"http://www.chyro.invalid/PLAYLIST/1.9\" "
              "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"\n");
    EXPECT_NE(doc.find("/PLAYLIST/1.9/chyro.xsd\" name=\"in/&quot;a&quot;.ply\">\n<schedule"),
              std::string::npos);
    EXPECT_NE(doc.find("<schedule id=\"12\" startmode=\"FOLLOW\" startdate=\"1709596800\" "
                       "starttime=\"1800000\" type=\"media\" timescale=\"50\" >\n"
                       "    <transition duration=\"0\">cut</transition>\n"
                       "    <program><![CDATA[A \"b\" & <c>]]></program>\n"
                       "    <file>\n"
                       "        <name><![CDATA[ABC123.mxf#1]]></name>\n"
                       "        <timecode tcin=\"500\" tcout=\"3000\" duration=\"2500\" />\n"
                       "        <path>/media/clips</path>\n"
                       "    </file>\n</schedule>\n"),
              std::string::npos);
    // No folder, a title that would close its section, an empty start.
    EXPECT_NE(doc.find("<schedule id=\"0\" startmode=\"FOLLOW\" startdate=\"1709596800\" "
                       "starttime=\"50\" type=\"media\" timescale=\"50\" >\n"
                       "    <transition duration=\"0\">cut</transition>\n"
                       "    <program><![CDATA[t]]]]><![CDATA[>t]]></program>\n"
                       "    <file>\n"
                       "        <name><![CDATA[ABC]]></name>\n"
                       "        <timecode tcin=\"0\" tcout=\"0\" duration=\"0\" />\n"
                       "    </file>\n</schedule>\n"),
              std::string::npos);
    EXPECT_NE(doc.find("<schedule id=\"0\" startmode=\"FOLLOW\" startdate=\"1709596800\" "
                       "starttime=\"0\""),
              std::string::npos);
    EXPECT_EQ(doc.substr(doc.size() - 27), "</schedule>\n</chyro_asrun>\n");
}

TEST_F(plywriter, abcvs_table) {
    set_tz(CET);
    tc_setmode(TC_50);
    ply_list *l = list({EV_FULL, EV_BARE, "00:30:00:10\tM\t\t\t\tV\tx;y\tt\t\t\t\t\t\t\t"});
    ply_wr_ctx ctx;
    ctx.day = {2024, 3, 5};
    std::string doc;
    ASSERT_EQ(ply_wr_abcvs_table(l, ctx, doc), 0);
    EXPECT_EQ(doc,
              "StartMode;Date;StartTime;VideoId;FileName;Reconciliation Key;Duration;Format;TcIn;"
              "EvsCount;Type_1;Scenario_1;offset_1;Dura_Sce_1;ExtParams_1;Type_2;Scenario_2;"
              "offset_2;Dura_Sce_2;ExtParams_2\r\n"
              "Clock;05/03/2024;09:00:00:00;ABC123;ABC123.mxf#1;RK 1;00:00:50:00;16:9;"
              "00:00:10:00;1;2;logo1;00:00:00:00;00:00:00:00;;2;;;;\r\n"
              "AutoFollow;05/03/2024;09:01:00:00;ABC;ABC;;00:00:20:00;16:9;;0;2;;;;;2;;;;\r\n"
              "Manual;04/03/2024;23:30:00:10;x y;x y;;;16:9;;0;2;;;;;2;;;;\r\n");
    // Every row keeps its twenty cells.
    for (size_t pos = 0, end; (end = doc.find("\r\n", pos)) != std::string::npos; pos = end + 2)
        EXPECT_EQ(std::count(doc.begin() + pos, doc.begin() + end, ';'), 19);
}

TEST_F(plywriter, branding_document) {
    tc_setmode(TC_50);
    ply_list *l = list({EV_FULL,
                        "10:00:00:00\t \t00:00:10:00\t\t00:00:20:00\tV\tB.mxf\tT\t\t"
                        "\t\t\t\t\t",
                        "10:00:00:00\t \t\t\t\tV\tC\tT\t\t\t\t\t\t\t"});
    ply_wr_ctx ctx;
    ctx.day = {2024, 3, 5};
    ctx.channel = "CH&1";
    std::string doc;
    ASSERT_EQ(ply_wr_branding(l, ctx, doc), 0);
    const char *first =
        "<Branding\n    Name=\"ABC123\"\n    Key=\"RK;1\"\n    Start=\"05/03/2024 10:00:00:00\"\n"
        "    Duration=\"00:00:50:00\"\n    ScenarTitle=\"A &quot;b&quot; &amp; &lt;c&gt;\"\n"
        "    Channel=\"CH&amp;1\">\n\n"
        "    <Clip Name=\"Clip\"\n"
        "        "
        "Media=\"E:\\Medias\\Brixa\\OnAir\\Channels\\DEP101\\Medias\\Videos\\ABC123.mxf#1\"\n"
        "        Start=\"00:00:10:00\"\n        Stop=\"00:01:00:00\">\n\n"
        "        <Visible\n            Start=\"00:00:00:00\"\n            "
        "Stop=\"00:00:00:00\"/>\n\n"
        "        <Visible\n            Media=\"ABC123.mxf#1\"\n            Start=\"00:00:10:00\"\n"
        "            Stop=\"00:01:00:00\"/>\n    </Clip>\n\n"
        "    <Image\n        Scenario=\"logo1\"\n        Name=\"logo1_decoupe\"\n"
        "        Media=\"E:\\Medias\\Brixa\\OnAir\\Channels\\DEP101\\Medias\\Logos\\"
        "logo1_decoupe.tga.yuv\"\n"
        "        Start=\"00:00:10:00\"\n        Stop=\"00:01:00:00\"/>\n\n"
        "</Branding>\n";
    ASSERT_EQ(doc.substr(0, strlen(first)), first);
    // Without an out point the stop is in plus duration; no assets, no Image.
    size_t end = doc.find("</Branding>\n", strlen(first));
    std::string second = doc.substr(strlen(first), end - strlen(first));
    EXPECT_NE(second.find("Start=\"00:00:10:00\"\n        Stop=\"00:00:30:00\">"),
              std::string::npos);
    EXPECT_EQ(second.find("<Image"), std::string::npos);
    EXPECT_NE(doc.find("Media=\"C\"\n            Start=\"\"\n            Stop=\"00:00:00:00\"/>"),
              std::string::npos);
}

}  // namespace
