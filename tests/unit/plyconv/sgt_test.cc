#include <gtest/gtest.h>

#include <sys/stat.h>

#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "helpers.h"
#include "reader_test_util.h"
#include "sgt.h"
#include "tc.h"

namespace {

struct day_call {
    time_t day;
    std::string name, channel;
};

using sink = reader_sink<day_call>;
constexpr auto keep_event = keep_event_in<sink>;

int note_day(time_t day, void *user, const char *name, const char *channel) {
    static_cast<sink *>(user)->days.push_back({day, name, channel});
    return 0;
}

std::vector<std::string> g_log;
void log_hook(const char *fmt, va_list ap) {
    char buf[2048];
    vsnprintf(buf, sizeof buf, fmt, ap);
    g_log.push_back(buf);
}
bool logged(const std::string &part) {
    for (const std::string &l : g_log)
        if (l.find(part) != std::string::npos) return true;
    return false;
}

time_t local_midnight(int y, int mo, int d) {
    struct tm tm {};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    return mktime(&tm);
}

// An import message around the given <Lines> elements.
std::string envelope(const std::string &lines, const std::string &name = "PL_ABC123") {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<Envelope><Body><ImportPlaylist><ImportPlaylist.Message><Playlist>"
           "<Channel> KTV1 </Channel><BroadcastDate>2024-03-01</BroadcastDate>"
           "<Name>\n" +
           name + "\t</Name>" + lines +
           "</Playlist></ImportPlaylist.Message></ImportPlaylist></Body></Envelope>\n";
}

std::string script(const std::string &offset, const std::string &ext) {
    return "<SecondaryEvents Type=\"HAB-SCRIPT\" OffsetIn=\"" + offset +
           "\"><Parameter>p</Parameter><ExtendedParameter>" + ext +
           "</ExtendedParameter></SecondaryEvents>";
}

class Sgt : public ::testing::Test {
   protected:
    void SetUp() override {
        tc_setmode(TC_PAL);
        g_log.clear();
        sgt_set_log_cb(log_hook);
        ASSERT_EQ(sgt_create(&p, 0), 0);
        sgt_set_param(p, READER_P_APPEND_PATH, "/media");
        sgt_set_param(p, READER_P_APPEND_TMPL, "T_");
        sgt_set_param(p, READER_P_PREPEND_EXT, "#");
        sgt_set_param(p, READER_P_WAV_PATH, "/wav");
        sgt_set_param(p, READER_P_LIVE_PATH, "/live/");
        evs = dir / "evs";
        mkdir(evs.c_str(), 0755);
        sgt_set_param(p, READER_P_EVS_PATH, evs.c_str());
    }
    void TearDown() override {
        sgt_destroy(&p);
        sgt_set_log_cb(nullptr);
        tc_setmode(TC_PAL);
    }
    int parse(const std::string &doc, const std::string &file = "in.xml") {
        std::string path = dir / file;
        EXPECT_EQ(file_write_atomic(path, doc), 0);
        return sgt_parse(p, path.c_str(), &out, keep_event, note_day);
    }
    const mivrabox_event &only() {
        EXPECT_EQ(out.events.size(), 1u);
        return *out.events.at(0);
    }

    temp_dir dir;
    std::string evs;
    sgt_params *p = nullptr;
    sink out;
};

TEST_F(Sgt, LineFieldsAndDay) {
    ASSERT_EQ(parse(envelope("<Lines Date=\"2024-03-01T06:30:00.480\" StartType=\"Clock\" "
                             "Duration=\"00:00:30.000\"><IdControlProtocol TcIn=\"10:00:00:00\" "
                             "TcOut=\"10:00:30:00\" Idcp=\"CLIP1\"/><Title> PUB MARQUE </Title>"
                             "<EventId> 77 </EventId><Unknown/></Lines>"
                             "<Lines Date=\"2024-03-01T06:30:30.999\" StartType=\"clock\" "
                             "Duration=\"01:02:03.040\"/>")),
              0);
    ASSERT_EQ(out.days.size(), 1u);
    EXPECT_EQ(out.days[0].day, local_midnight(2024, 3, 1));
    EXPECT_EQ(out.days[0].name, "PL_ABC123");
    EXPECT_EQ(out.days[0].channel, "KTV1");

    ASSERT_EQ(out.events.size(), 2u);
    const mivrabox_event &a = *out.events[0];
    EXPECT_EQ(a.start_time, "06:30:00:12");
    EXPECT_EQ(a.duration, "00:00:30:00");
    EXPECT_EQ(a.start_mode, 'F');
    EXPECT_EQ(a.mark_in, "10:00:00:00");
    EXPECT_EQ(a.mark_out, "10:00:30:00");
    EXPECT_EQ(a.media_id, "/media/CLIP1#");
    EXPECT_EQ(a.title, "PUB MARQUE");
    EXPECT_EQ(a.event_type, 'C');
    auto pa = out.pairs(0);
    EXPECT_EQ(pa["sgt_event_id"], "77");
    EXPECT_EQ(pa["sgt_playlist_name"], "PL_ABC123");
    // The module releases its own references: the callback's reference is the last one.
    EXPECT_EQ(a.refcount.load(), 1);

    const mivrabox_event &b = *out.events[1];
    EXPECT_EQ(b.start_time, "06:30:30:24");
    EXPECT_EQ(b.duration, "01:02:03:01");
    EXPECT_EQ(b.start_mode, ' ');  // only "Clock" and "Manual" count
    EXPECT_EQ(b.event_type, 0);
    EXPECT_TRUE(b.media_id.empty());
}

TEST_F(Sgt, TitleTypesAndLive) {
    ASSERT_EQ(parse(envelope("<Lines StartType=\"Manual\"><Title>JINGLES NOEL</Title></Lines>"
                             "<Lines><Live><Name> CAM 2 </Name><Description>Studio</Description>"
                             "</Live><Title>JINGLES NOEL</Title></Lines>"
                             "<Lines><Title>JINGLESNOEL</Title></Lines>"
                             "<Lines><Title>BANDES ANNONCES X</Title></Lines>"
                             "<Lines><Live/></Lines>")),
              0);
    ASSERT_EQ(out.events.size(), 5u);
    EXPECT_EQ(out.events[0]->event_type, 'J');
    EXPECT_EQ(out.events[0]->start_mode, 'M');
    EXPECT_EQ(out.events[1]->event_type, 'L');
    EXPECT_EQ(out.events[1]->media_id, "/live/live.png");
    EXPECT_EQ(out.pairs(1)["Live_Name"], "CAM 2");
    EXPECT_EQ(out.pairs(1)["Live_Description"], "Studio");
    EXPECT_EQ(out.events[2]->event_type, 0);
    EXPECT_EQ(out.events[3]->event_type, 'T');
    // A live source without texts still makes a line that reads back.
    EXPECT_EQ(out.events[4]->event_type, 'L');
    char line[MIVRABOX_LINE_SIZE];
    mivrabox_event_format(out.events[4], line, sizeof line);
    mivrabox_event *back = mivrabox_event_parse(line);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->event_type, 'L');
    mivrabox_event_unref(&back);
}

TEST_F(Sgt, ScriptLayers) {
    sgt_set_flag(p, READER_F_TRACE);
    ASSERT_EQ(parse(envelope("<Lines>" +
                             script("00:00:01:00",
                                    "logo.visible=true|scene|logo.visible=true|clock.visible=false|"
                                    "ticker.visible=true|x.visible=true.bak") +
                             script("00:00:02:00", "|scene||ticker.visible=true") +
                             script("00:00:03:00", "scene|LOGO.visible=true") + "</Lines>")),
              0);
    const mivrabox_event &ev = only();
    // The first token never names a layer, even a visible one.
    EXPECT_EQ(ev.assets, "+T_LOGO+T_LOGO+T_TICKER");
    auto m = out.pairs(0);
    EXPECT_EQ(m["in@T_LOGO#0"], "25");
    EXPECT_EQ(m["out@T_LOGO#0"], "50");
    EXPECT_EQ(m["in@T_LOGO#1"], "75");
    EXPECT_EQ(m.count("out@T_LOGO#1"), 0u);
    EXPECT_EQ(m["in@T_TICKER#0"], "25");
    EXPECT_EQ(m["out@T_TICKER#0"], "75");
    EXPECT_EQ(m.count("in@T_X#0"), 0u);
    EXPECT_TRUE(logged("skipped[2] ExtendedParameter, tail=[.visible=true.bak]"));
    EXPECT_TRUE(logged("skipped[1] ExtendedParameter[3]=[clock.visible=false]"));
}

TEST_F(Sgt, LayerTableLimits) {
    std::string ext = "scene";
    for (int i = 0; i < 40; i++) ext += "|l" + std::to_string(i) + ".visible=true";
    std::string lines = "<Lines>";
    for (int i = 0; i < 130; i++) lines += script("00:00:00:0" + std::to_string(i % 10), ext);
    lines += "</Lines>";
    ASSERT_EQ(parse(envelope(lines)), 0);
    auto m = out.pairs(0);
    EXPECT_EQ(m.count("in@T_L31#0"), 1u);
    EXPECT_EQ(m.count("in@T_L32#0"), 0u);
}

TEST_F(Sgt, BleuAndTypePrefix) {
    sgt_set_flag(p, READER_F_TMPL_TYPE);
    tc_setmode(TC_50);  // offsets count in the process-wide mode
    ASSERT_EQ(parse(envelope("<Lines>" + script("00:00:01:00", "s|logo.visible=true") +
                             "<SecondaryEvents Type=\"BLEU\" OffsetIn=\"00:00:02:00\" "
                             "Duration=\"00:00:01:10\"/><SecondaryEvents Type=\"OTHER\"/>"
                             "</Lines>")),
              0);
    const mivrabox_event &ev = only();
    EXPECT_EQ(ev.assets, "+T_BLEU+T_HAB-SCRIPT_LOGO");
    auto m = out.pairs(0);
    EXPECT_EQ(m["in@T_BLEU#0"], "100");
    EXPECT_EQ(m["dur@T_BLEU#0"], "60");
    EXPECT_EQ(m["in@T_HAB-SCRIPT_LOGO#0"], "50");
}

TEST_F(Sgt, BrandingScenarios) {
    ASSERT_EQ(
        file_write_atomic(evs + "/K1.xml",
                          "<Branding Key=\"K1\" ID=\"1\" Start=\"01/03/2024 10:00:00:00\" "
                          "IDStartVITC=\"10:00:00:00\" AES1=\"AES2\" AES3=\"MIX\" AES4=\"AES9\">"
                          "<Scenario Name=\"lower third\" Start=\"01/03/2024 10:00:02:00\" "
                          "Duration=\"00:00:05:00\"><Change Name=\"txt.line 1\" Text=\"Hello\"/>"
                          "<Change Name=\"img\" Path=\"a.png\"/><Change Name=\"none\"/></Scenario>"
                          "<Scenario Name=\"lower third\" Start=\"01/03/2024 10:00:10:00\" "
                          "Duration=\"00:00:01:00\"/>"
                          "<SubTitle><TitleItem Path=\"/stl/a.stl\" Page=\"888\"/>"
                          "<TitleItem Path=\"/stl/b.stl\" Page=\"777\"/></SubTitle></Branding>"),
        0);
    ASSERT_EQ(parse(envelope("<Lines><IdControlProtocol TcIn=\"10:00:05:00\" TcOut=\"10:00:35:00\" "
                             "Idcp=\"C\"/><SecondaryEvents Type=\"HAB-PLT\"><ExtendedParameter> K1 "
                             "</ExtendedParameter></SecondaryEvents></Lines>")),
              0);
    const mivrabox_event &ev = only();
    EXPECT_EQ(ev.mark_in, "00:00:05:00");
    EXPECT_EQ(ev.mark_out, "00:00:35:00");
    EXPECT_EQ(ev.audio_map, "23234567");
    EXPECT_EQ(ev.assets, "+T_lower_third+T_lower_third");
    auto m = out.pairs(0);
    EXPECT_EQ(m["IDStartVITC"], "10:00:00:00");
    EXPECT_EQ(m["STEREO_3"], "/wav/MIX");
    EXPECT_EQ(m.count("STEREO_4"), 0u);
    EXPECT_EQ(m["in@T_lower_third#0"], "50");
    EXPECT_EQ(m["dur@T_lower_third#0"], "125");
    EXPECT_EQ(m["in@T_lower_third#1"], "250");
    EXPECT_EQ(m["dur@T_lower_third#1"], "25");
    EXPECT_EQ(m["txt_line_1@T_lower_third#0"], "Hello");
    EXPECT_EQ(m["img@T_lower_third#0"], "/TODO/assets/evs/a.png");
    EXPECT_EQ(m["STL_888"], "/stl/a.stl");
    EXPECT_EQ(m.count("STL_777"), 0u);
    EXPECT_TRUE(logged("mark_in [10:00:05:00] -> [00:00:05:00]"));
}

TEST_F(Sgt, BrandingLookupFailures) {
    ASSERT_EQ(file_write_atomic(evs + "/NB.xml", "<Other/>"), 0);
    ASSERT_EQ(file_write_atomic(dir / "outside.xml", "<Branding AES1=\"AES2\"/>"), 0);
    ASSERT_EQ(parse(envelope("<Lines><SecondaryEvents Type=\"HAB-PLT\"><ExtendedParameter>NB"
                             "</ExtendedParameter></SecondaryEvents>"
                             "<SecondaryEvents Type=\"HAB-PLT\"><ExtendedParameter>missing"
                             "</ExtendedParameter></SecondaryEvents>"
                             "<SecondaryEvents Type=\"HAB-PLT\"><ExtendedParameter>../outside"
                             "</ExtendedParameter></SecondaryEvents></Lines>")),
              0);
    const mivrabox_event &ev = only();
    // No branding was read: neither the audio map nor any graphics.
    EXPECT_TRUE(ev.audio_map.empty());
    EXPECT_TRUE(ev.assets.empty());
    EXPECT_TRUE(logged("expected 'Branding' but xmlDocGetRootElement->name=[Other]"));
    EXPECT_TRUE(logged("failed to find Branding with Key=[missing]"));
    EXPECT_TRUE(logged("failed to find Branding with Key=[../outside]"));
}

TEST_F(Sgt, EvsPlaylistSplit) {
    std::string doc =
        "<Playlist><Branding Key=\"A\" ID=\"1\"><Scenario Name=\"s\"/></Branding>"
        "<Branding Key=\"NOID\"/><Put><Branding Key=\"B\" ID=\"2\"/>"
        "<Branding Key=\"../evil\" ID=\"3\"/><Put><Branding Key=\"C\" ID=\"4\"/></Put></Put>"
        "</Playlist>";
    EXPECT_EQ(parse(doc), -2);
    EXPECT_TRUE(out.days.empty());
    EXPECT_TRUE(out.events.empty());
    std::string a;
    ASSERT_EQ(file_read_all(evs + "/A.xml", a), 0);
    EXPECT_NE(a.find("<Branding Key=\"A\" ID=\"1\">"), std::string::npos);
    EXPECT_NE(a.find("<Scenario Name=\"s\"/>"), std::string::npos);
    std::string s;
    EXPECT_EQ(file_read_all(evs + "/B.xml", s), 0);
    EXPECT_EQ(file_read_all(evs + "/C.xml", s), 0);
    EXPECT_NE(file_read_all(evs + "/NOID.xml", s), 0);
    EXPECT_NE(file_read_all(dir / "evil.xml", s), 0);
    EXPECT_TRUE(logged("Failed to find attributes ID or Key at <Branding> tag"));

    // The split file is what a later HAB-PLT lookup reads.
    ASSERT_EQ(parse(envelope("<Lines><SecondaryEvents Type=\"HAB-PLT\"><ExtendedParameter>A"
                             "</ExtendedParameter></SecondaryEvents></Lines>")),
              0);
    EXPECT_EQ(only().assets, "+T_s");

    g_log.clear();
    EXPECT_EQ(parse("<Other/>", "o.xml"), -2);
    EXPECT_TRUE(logged("Failed to find <Playlist> tag in"));
}

TEST_F(Sgt, Refusals) {
    EXPECT_EQ(sgt_parse(p, (dir / "absent.xml").c_str(), &out, keep_event, note_day), -22);
    EXPECT_EQ(parse("<Envelope><Body>", "broken.xml"), -22);
    EXPECT_EQ(sgt_parse(nullptr, (dir / "broken.xml").c_str(), &out, keep_event, note_day), -22);
    EXPECT_EQ(parse("<Envelope><Body><ImportPlaylist/></Body></Envelope>"), -2);
    std::string no_name =
        "<Envelope><Body><ImportPlaylist><ImportPlaylist.Message><Playlist><Channel>c</Channel>"
        "<BroadcastDate>2024-03-01</BroadcastDate><Lines/></Playlist></ImportPlaylist.Message>"
        "</ImportPlaylist></Body></Envelope>";
    EXPECT_EQ(parse(no_name), -2);
    EXPECT_TRUE(out.days.empty());
    EXPECT_TRUE(out.events.empty());
    // Messages about the structure need the trace flag.
    EXPECT_FALSE(logged("expected 'Name' tag not found"));
    sgt_set_flag(p, READER_F_TRACE);
    EXPECT_EQ(parse(no_name), -2);
    EXPECT_TRUE(logged("Error: expected 'Name' tag not found"));
    // An empty playlist opens its day and hands over nothing.
    EXPECT_EQ(parse(envelope("")), 0);
    EXPECT_EQ(out.days.size(), 1u);
    EXPECT_TRUE(out.events.empty());
}

TEST_F(Sgt, ShortAndOddAttributes) {
    ASSERT_EQ(parse(envelope("<Lines Date=\"2024\" Duration=\"1\"><IdControlProtocol/>"
                             "<SecondaryEvents Type=\"HAB-SCRIPT\"/><SecondaryEvents "
                             "Type=\"BLEU\"/></Lines>"
                             "<Lines Date=\"2024-03-01T06:30:00.4\"/>")),
              0);
    ASSERT_EQ(out.events.size(), 2u);
    EXPECT_EQ(out.events[0]->start_time, ":00");
    EXPECT_EQ(out.events[0]->media_id, "/media/#");
    EXPECT_EQ(out.events[1]->start_time, "06:30:00:00");
}

}  // namespace
