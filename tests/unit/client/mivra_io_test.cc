// Playout engine wrappers: wire forms, record decoding, UDP fast commands, audio maps.
#include "fake_client.h"
#include "mivra_io.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

class IoTest : public testing::Test {
   protected:
    void SetUp() override {
        ASSERT_EQ(fake.start({"io"}), 0);
        mivra_init("mivra_io_test", "1");
        url = fake.url();
        u = url.c_str();
    }
    void TearDown() override { mivra_cleanup(); }
    fake_proc fake;
    std::string url;
    const char *u = nullptr;
};

int count(const std::string &text, const std::string &needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
}

}  // namespace

TEST_F(IoTest, CommandWireForms) {
    mivra_playlist_clip clip;
    clip.name = "clip";
    clip.in = 5;
    clip.dur = 50;
    clip.cookie = "ck";
    struct {
        std::function<int()> call;
        const char *wire;
    } cases[] = {
        {[&] { return mivra_play(u); }, "MivraIO.Play()"},
        {[&] { return mivra_play_vari(u, 1.5); }, "MivraIO.Play(double:1.5)"},
        {[&] { return mivra_pause(u); }, "MivraIO.Pause()"},
        {[&] { return mivra_stop(u); }, "MivraIO.Stop()"},
        {[&] { return mivra_cue_play(u); }, "MivraIO.CuePlay()"},
        {[&] { return mivra_record(u); }, "MivraIO.Record()"},
        {[&] { return mivra_playlist_clear(u); }, "MivraIO.PlaylistClear()"},
        {[&] { return mivra_cue_play_with_data(u, 7); }, "MivraIO.CuePlayWithData(i4:7)"},
        {[&] { return mivra_cue_record_with_data(u, "r", 1, 2, "x"); },
         "MivraIO.CueRecordWithData(string:\"r\",i4:1,i4:2,string:\"x\")"},
        {[&] { return mivra_cue_record_with_data(u, "r", 1, 2, nullptr); },
         "MivraIO.CueRecordWithData(string:\"r\",i4:1,i4:2)"},
        {[&] { return mivra_cue_record(u, "r", nullptr); }, "MivraIO.CueRecord(string:\"r\")"},
        {[&] { return mivra_cue_record(u, "r", "e"); },
         "MivraIO.CueRecord(string:\"r\",string:\"e\")"},
        {[&] { return mivra_record_next(u, "r", nullptr); }, "MivraIO.RecordNext(string:\"r\")"},
        {[&] { return mivra_record_pause(u, 1); }, "MivraIO.RecordPause(i4:1)"},
        {[&] { return mivra_playlist_insert(u, 0, "clip", 10, 250, nullptr, nullptr, nullptr); },
         "MivraIO.PlaylistInsert(i4:0,string:\"clip\",i4:10,i4:250,string:\"\",string:\"\","
         "string:\"\")"},
        {[&] { return mivra_playlist_append(u, "b", 1, 2, "o", nullptr, "c"); },
         "MivraIO.PlaylistAppend(string:\"b\",i4:1,i4:2,string:\"o\",string:\"\",string:\"c\")"},
        {[&] { return mivra_playlist_insert2(u, 1, &clip); },
         "MivraIO.PlaylistInsert2(i4:1,struct{name=string:\"clip\",in=i4:5,dur=i4:50,"
         "overlay_name=string:\"\",overlay_pos=string:\"\",cookie=string:\"ck\","
         "amap=string:\"\"})"},
        {[&] { return mivra_playlist_append2(u, &clip); },
         "MivraIO.PlaylistAppend2(struct{name=string:\"clip\",in=i4:5,dur=i4:50,"
         "overlay_name=string:\"\",overlay_pos=string:\"\",cookie=string:\"ck\","
         "amap=string:\"\"})"},
        {[&] { return mivra_playlist_remove(u, 0); }, "MivraIO.PlaylistRemove(i4:0)"},
        {[&] { return mivra_playlist_repeat_clip(u, 1, 2); },
         "MivraIO.PlaylistRepeatClip(i4:1,i4:2)"},
        {[&] { return mivra_playlist_resize_clip(u, 1, 2, 3); },
         "MivraIO.PlaylistResizeClip(i4:1,i4:2,i4:3)"},
        {[&] { return mivra_playlist_move(u, 3, 4); }, "MivraIO.PlaylistMove(i4:3,i4:4)"},
        {[&] { return mivra_playlist_loop(u, 0); }, "MivraIO.PlaylistLoop(i4:0)"},
        {[&] { return mivra_playlist_seek_to(u, 2, 25); }, "MivraIO.PlaylistSeekTo(i4:2,i4:25)"},
        {[&] { return mivra_playlist_seek(u, -3); }, "MivraIO.PlaylistSeek(i4:-3)"},
        {[&] { return mivra_playlist_step(u, 1); }, "MivraIO.PlaylistStep(i4:1)"},
        {[&] { return mivra_io_settings_save(u); }, "MivraIO.SettingsSave()"},
        {[&] { return mivra_io_settings_set_mode(u, 1, 2); }, "MivraIO.SettingsSetMode(i4:1,i4:2)"},
        {[&] { return mivra_io_settings_set_mode2(u, "a", nullptr); },
         "MivraIO.SettingsSetMode(string:\"a\",string:\"\")"},
        {[&] { return mivra_io_settings_set_value(u, "keyer", "1"); },
         "MivraIO.SettingsSetValue(string:\"keyer\",string:\"1\")"},
    };
    for (auto &c : cases) {
        fake.reset();
        EXPECT_NE(c.call(), -14) << c.wire;
        EXPECT_EQ(fake.calls(), std::vector<std::string>{c.wire});
    }
}

TEST_F(IoTest, TemplateInsertBuildsStructFromNameAndValueArrays) {
    const char *names[] = {"a", "b", nullptr};
    const char *vals[] = {"1", nullptr};
    const char *values[] = {"v1", nullptr, "v3", nullptr};
    EXPECT_EQ(
        mivra_playlist_insert_template(u, 2, "tmpl", 3, 4, -1, values, -1, names, vals, nullptr),
        0);
    // Explicit counts: null entries are skipped, not sent.
    const char *names2[] = {"x", nullptr, "z"};
    const char *vals2[] = {"1", "2", "3"};
    EXPECT_EQ(mivra_playlist_insert_template(u, 0, "t", 0, 0, 3, values, 3, names2, vals2, "e"), 0);
    EXPECT_EQ(
        mivra_playlist_insert_template(u, 0, "t", 0, 0, -1, nullptr, -1, nullptr, nullptr, nullptr),
        0);
    EXPECT_EQ(fake.calls(),
              (std::vector<std::string>{
                  "MivraIO.PlaylistInsertTemplate(i4:2,string:\"tmpl\",i4:3,i4:4,"
                  "array[string:\"v1\"],struct{a=string:\"1\"},string:\"\")",
                  "MivraIO.PlaylistInsertTemplate(i4:0,string:\"t\",i4:0,i4:0,"
                  "array[string:\"v1\",string:\"v3\"],struct{x=string:\"1\",z=string:\"3\"},"
                  "string:\"e\")",
                  "MivraIO.PlaylistInsertTemplate(i4:0,string:\"t\",i4:0,i4:0,array[],struct{},"
                  "string:\"\")"}));
}

TEST_F(IoTest, StatusDecoding) {
    ASSERT_EQ(mivra_playlist_insert(u, 0, "clip", 10, 250, nullptr, nullptr, nullptr), 0);
    mivra_io_status st;
    st.tc_src = 99;
    EXPECT_EQ(mivra_getstatus(u, &st), 0);
    EXPECT_EQ(st.name.str(), "clip");
    EXPECT_EQ(st.clip_in, 10);
    EXPECT_EQ(st.clip_dur, 250);
    EXPECT_EQ(st.playlist_count, 1);
    EXPECT_EQ(st.playlist_speed, 1.0);
    EXPECT_EQ(st.tc_src, 0);

    // Long texts are cut to the field; extra members are ignored.
    fake.script("MivraIO.GetStatus", "{s:{s:s,s:i}}", "set", "name", std::string(5000, 'n').c_str(),
                "unknown", 1);
    EXPECT_EQ(mivra_getstatus(u, &st), 0);
    EXPECT_EQ(st.name.size(), 4095u);

    fake.script("MivraIO.GetStatus", "{s:(s)}", "omit", "tc_src");
    CaptureStderr();
    EXPECT_EQ(mivra_getstatus(u, &st), -14);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("mivra_getstatus: decompose value failed: "));

    // The engine's own failure passes without message and without the other members.
    fake.script("MivraIO.GetStatus", "{s:{s:i}}", "reply", "result", -16);
    CaptureStderr();
    EXPECT_EQ(mivra_getstatus(u, &st), -16);
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(IoTest, PlaylistItems) {
    for (const char *n : {"a", "b", "c"})
        ASSERT_EQ(mivra_playlist_append(u, n, 0, 100, nullptr, nullptr, nullptr), 0);
    int gen = -1, pos = -1, idx = -1;
    std::vector<mivra_playlist_item> items;
    EXPECT_EQ(mivra_playlist_items(u, &gen, &pos, &idx, &items), 3);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(gen, 3);
    EXPECT_EQ(items[2].name.str(), "c");
    EXPECT_EQ(items[2].start, 200);
    EXPECT_EQ(items[1].idx, 1);

    // The third item lacks a member: the two before it stay, it and the next are reported.
    fake.script("MivraIO.PlaylistItems",
                "{s:{s:i,s:i,s:i,s:i,s:({s:s,s:s,s:i,s:i,s:i,s:i,s:i,s:i,s:i}"
                "{s:s,s:s,s:i,s:i,s:i,s:i,s:i,s:i,s:i}{s:s}{s:s})}}",
                "reply", "result", 0, "gen", 1, "pos", 0, "idx", 0, "list", "name", "x", "cookie",
                "", "length", 1, "in", 0, "dur", 1, "pos", 0, "start", 0, "idx", 0, "repeat", 0,
                "name", "y", "cookie", "", "length", 1, "in", 0, "dur", 1, "pos", 0, "start", 1,
                "idx", 1, "repeat", 0, "name", "z", "name", "w");
    CaptureStderr();
    EXPECT_EQ(mivra_playlist_items(u, nullptr, nullptr, nullptr, &items), 2);
    std::string err = GetCapturedStderr();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[1].name.str(), "y");
    EXPECT_EQ(count(err, "mivra_playlist_items/parse_custom_list: xmlrpc_array_read_item failed"),
              2)
        << err;
    EXPECT_EQ(count(err, "mivra_playlist_items_iters: xmlrpc_array_read_item failed"), 1) << err;

    // A failing engine is not an empty playlist.
    fake.script("MivraIO.PlaylistItems", "{s:{s:i,s:i,s:i,s:i,s:()}}", "reply", "result", -5, "gen",
                0, "pos", 0, "idx", 0, "list");
    EXPECT_EQ(mivra_playlist_items(u, nullptr, nullptr, nullptr, &items), -5);
    EXPECT_TRUE(items.empty());
}

TEST_F(IoTest, SettingsGet) {
    mivra_io_settings s;
    s.enc = "kept";
    fake.script("MivraIO.SettingsGet", "{s:{s:i,s:({s:s,s:s}{s:s,s:s}{s:s,s:s}{s:s,s:s})}}",
                "reply", "result", 0, "list", "name", "keyer", "value", "3", "name", "mode",
                "value", "1080i50", "name", "nonsense", "value", "x", "name",
                "record_channels_conf", "value", "abc");
    EXPECT_EQ(mivra_io_settings_get(u, &s), 0);
    EXPECT_EQ(s.keyer, 3);
    EXPECT_EQ(s.mode.str(), "1080i50");
    EXPECT_EQ(s.enc.str(), "kept");
    EXPECT_EQ(s.record_channels_conf, 0);

    // An item that does not decode fails the call instead of passing as the engine's 0.
    fake.script("MivraIO.SettingsGet", "{s:{s:i,s:({s:s,s:s}{s:s})}}", "reply", "result", 0, "list",
                "name", "keyer", "value", "5", "name", "mode");
    CaptureStderr();
    EXPECT_EQ(mivra_io_settings_get(u, &s), -14);
    EXPECT_THAT(GetCapturedStderr(),
                HasSubstr("mivra_io_settings_get: xmlrpc_decompose_value failed: "));
    EXPECT_EQ(s.keyer, 5);

    fake.script("MivraIO.SettingsGet", "{s:{s:i}}", "reply", "result", -5);
    CaptureStderr();
    EXPECT_EQ(mivra_io_settings_get(u, &s), -5);
    EXPECT_EQ(GetCapturedStderr(),
              "mivra_io_settings_get: MivraIO.SettingsGet return -5 (Input/output error)");
}

TEST_F(IoTest, SettingsGetModes) {
    std::vector<mivra_io_mode> modes;
    EXPECT_EQ(mivra_io_settings_get_modes(u, &modes), 2);
    ASSERT_EQ(modes.size(), 2u);
    EXPECT_EQ(modes[0].name.str(), "1080i50");
    ASSERT_EQ(modes[0].submodes.size(), 2u);
    EXPECT_EQ(modes[0].submodes[1].name.str(), "yuv422p10");
    EXPECT_EQ(modes[0].osds, (std::vector<std::string>{"osd-a", "osd-b"}));
    EXPECT_TRUE(modes[1].osds.empty());

    // A sub-mode without its name fails the whole call and hands nothing over.
    fake.script("MivraIO.SettingsGetModes", "{s:{s:i,s:({s:i,s:s,s:s,s:({s:i,s:s}),s:()})}}",
                "reply", "result", 0, "list", "idx", 0, "name", "m", "desc", "d", "list", "idx", 0,
                "desc", "x", "osds");
    CaptureStderr();
    EXPECT_EQ(mivra_io_settings_get_modes(u, &modes), -14);
    EXPECT_THAT(GetCapturedStderr(),
                HasSubstr("mivra_io_settings_get_modes: xmlrpc_decompose_value failed"));
    EXPECT_TRUE(modes.empty());
}

TEST_F(IoTest, BasenameLookup) {
    text4k value, object;
    int64_t shm = 0;
    EXPECT_EQ(mivra_io_basename_item(u, "clip1", &value, &object, &shm), 0);
    EXPECT_EQ(value.str(), "clip1");
    EXPECT_EQ(shm, 0x100000000LL + 5);  // a 64-bit member arrives whole
    EXPECT_EQ(fake.calls("MivraIO.LibBasenameItem"),
              std::vector<std::string>{"MivraIO.LibBasenameItem(string:\"clip1\")"});

    fake.script("MivraIO.LibBasenameItem", "{s:{s:i,s:s,s:s,s:I}}", "reply", "result", -2, "value",
                "", "object", "", "cache_shm_id", (int64_t)-1);
    CaptureStderr();
    EXPECT_EQ(mivra_io_basename_item(u, "gone", &value, nullptr, &shm), -2);
    EXPECT_EQ(GetCapturedStderr(), "");

    // A 32-bit shm id is a mistyped member: -14, outputs emptied.
    value = "stale";
    fake.script("MivraIO.LibBasenameItem", "{s:{s:i}}", "set", "cache_shm_id", 4);
    CaptureStderr();
    EXPECT_EQ(mivra_io_basename_item(u, "clip1", &value, &object, &shm), -14);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("mivra_lib_basename_item: decompose value failed"));
    EXPECT_EQ(value.str(), "");
    EXPECT_EQ(object.str(), "");
    EXPECT_EQ(shm, -1);
}

TEST_F(IoTest, UdpPlayDatagram) {
    std::string hp = fake.hostport();
    EXPECT_EQ(mivra_udp_play(hp.c_str()), 13);
    ASSERT_EQ(fake.wait_datagrams(1), 1);
    EXPECT_EQ(fake.datagrams()[0].data, std::string("MivraIO.Play\0", 13));

    for (const char *bad :
         {"127.0.0.1", "127.0.0.1:", "127.0.0.1:12a", "127.0.0.1:0", "127.0.0.1:65536",
          "127.0.0.1:99999999999", ":5000", "no-such-host.invalid:5000"})
        EXPECT_EQ(mivra_udp_play(bad), -22) << bad;
    std::string long_host = std::string(128, 'a') + ":" + std::to_string(fake.port());
    EXPECT_EQ(mivra_udp_play(long_host.c_str()), -22);
    EXPECT_EQ(mivra_udp_send(nullptr, "x"), -22);

    // Nothing of the refused ones arrived: the next datagram is the second one.
    EXPECT_EQ(mivra_udp_stop(hp.c_str()), 13);
    EXPECT_EQ(mivra_udp_pause(hp.c_str()), 14);
    EXPECT_EQ(mivra_udp_record(hp.c_str()), 15);
    // A host name is resolved (once) like a numeric one.
    std::string named = "localhost:" + std::to_string(fake.port());
    EXPECT_EQ(mivra_udp_play(named.c_str()), 13);
    EXPECT_EQ(mivra_udp_play(named.c_str()), 13);
    ASSERT_EQ(fake.wait_datagrams(6), 6);
    auto d = fake.datagrams();
    EXPECT_EQ(d[1].data, std::string("MivraIO.Stop\0", 13));
    EXPECT_EQ(d[2].data, std::string("MivraIO.Pause\0", 14));
    EXPECT_EQ(d[3].data, std::string("MivraIO.Record\0", 15));
    EXPECT_EQ(fake.calls(), std::vector<std::string>{});
}

TEST(AudioMap, ConfigurationsAndPrinting) {
    EXPECT_EQ(mivra_audio_conf_count(), 8);
    EXPECT_STREQ(mivra_audio_conf_name(2), "Dual mono (1 + 1)");
    EXPECT_STREQ(mivra_audio_conf_name(8), "<unknown>");
    EXPECT_STREQ(mivra_audio_conf_name(-1), "<unknown>");
    EXPECT_STREQ(mivra_audio_map_format(-1), "<unknown>");
    EXPECT_EQ(mivra_audio_map_digit(0, "Z"), 35);
    EXPECT_EQ(mivra_audio_map_digit(0, "a"), 0);
    EXPECT_EQ(mivra_audio_map_digit(5, "12"), 0);
    EXPECT_EQ(mivra_audio_map_digit(0, nullptr), 0);
    char buf[64];
    EXPECT_STREQ(mivra_audio_map_print(buf, sizeof buf, 3, "0123"), "[1,2][3,4]");
    EXPECT_STREQ(mivra_audio_map_print(buf, sizeof buf, 7, "A"), "[11,1,1,1,1,1,1,1]");
    EXPECT_STREQ(mivra_audio_map_print(buf, sizeof buf, 9, "A"), "<unknown>");
    EXPECT_STREQ(mivra_audio_map_print(buf, 6, 6, "00000000"), "[1][1");
}
