// Event-body codec, and the box client calls against the fake single-player daemon
// (tests/fakes/box_fake.py) for the forms MivraBox2 never produces.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "fake_client.h"
#include "mivra.h"
#include "mivrabox_body.h"
#include "mivrabox_client.h"
#include "xr.h"

using testing::ElementsAre;
using testing::HasSubstr;
using testing::StartsWith;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

const char LINE_A[] = "10:00:00:00\t \t\t\t00:00:10:00\tC\tclip_a\tFirst\t\t\t\t\t\t\t";
const char LINE_B[] = "10:00:10:00\t \t\t\t00:00:05:00\tC\tclip_b\tSecond\t\t\t\t\t\t\t";

std::vector<unsigned char> zlib9(const std::string &bytes) {
    std::vector<unsigned char> out(compressBound(uLong(bytes.size())));
    uLongf n = uLongf(out.size());
    compress2(out.data(), &n, reinterpret_cast<const Bytef *>(bytes.data()), uLong(bytes.size()),
              9);
    out.resize(n);
    return out;
}

int inflate_text(const std::string &raw, std::string &line) {
    std::vector<unsigned char> z = zlib9(raw);
    return mivrabox_body_inflate(z.data(), z.size(), line);
}

struct event_ptr {
    mivrabox_event *p = nullptr;
    ~event_ptr() { mivrabox_event_unref(&p); }
};

}  // namespace

TEST(BodyCodec, DeflatesTheLineWithItsNulAsOneLevelNineStream) {
    std::vector<unsigned char> body;
    ASSERT_GT(mivrabox_body_deflate(LINE_A, body), 0);
    // Byte for byte what zlib's own one-shot compression at level 9 makes of line + NUL.
    EXPECT_EQ(body, zlib9(std::string(LINE_A, sizeof LINE_A)));
    std::string line;
    EXPECT_EQ(mivrabox_body_inflate(body.data(), body.size(), line), int(sizeof LINE_A - 1));
    EXPECT_EQ(line, LINE_A);
}

TEST(BodyCodec, LineBoundsAreRefusedNotCut) {
    std::vector<unsigned char> body;
    std::string longest(MIVRABOX_BODY_LINE_MAX, 'x');
    ASSERT_GT(mivrabox_body_deflate(longest, body), 0);
    std::string line;
    EXPECT_EQ(mivrabox_body_inflate(body.data(), body.size(), line), int(longest.size()));
    EXPECT_EQ(line, longest);

    EXPECT_EQ(mivrabox_body_deflate(longest + "x", body), -22);
    EXPECT_TRUE(body.empty());
    EXPECT_EQ(mivrabox_body_deflate(std::string("a\0b", 3), body), -22);
}

TEST(BodyCodec, InflateChecksTheStreamToItsEnd) {
    std::string line = "kept";
    // Text after the NUL is not part of the line.
    EXPECT_EQ(inflate_text(std::string("ab\0cd", 5), line), 2);
    EXPECT_EQ(line, "ab");
    // No NUL inside the area, or more than the area holds: no line.
    EXPECT_EQ(inflate_text("abc", line), -22);
    EXPECT_TRUE(line.empty());
    EXPECT_EQ(inflate_text(std::string(MIVRABOX_BODY_SIZE, 'a') + '\0', line), -22);
    EXPECT_EQ(inflate_text(std::string(MIVRABOX_BODY_SIZE - 1, 'a') + '\0', line),
              int(MIVRABOX_BODY_SIZE - 1));

    std::vector<unsigned char> z = zlib9(std::string(LINE_B, sizeof LINE_B));
    EXPECT_EQ(mivrabox_body_inflate(z.data(), z.size() - 1, line), -22);  // cut short
    std::vector<unsigned char> tail = z;
    tail.push_back(0);
    EXPECT_EQ(mivrabox_body_inflate(tail.data(), tail.size(), line), -22);  // stray byte
    std::vector<unsigned char> bad = z;
    bad[bad.size() / 2] ^= 0x55;
    EXPECT_LT(mivrabox_body_inflate(bad.data(), bad.size(), line), 0);
    EXPECT_EQ(mivrabox_body_inflate(z.data(), 0, line), -22);
    EXPECT_EQ(mivrabox_body_inflate(nullptr, 3, line), -22);
}

TEST(BodyCodec, EventLineLongerThanTheBodyIsRefused) {
    event_ptr ev;
    ev.p = mivrabox_event_parse(LINE_A);
    ASSERT_TRUE(ev.p);
    std::string line;
    EXPECT_EQ(mivrabox_body_line(ev.p, line), int(sizeof LINE_A - 1));
    for (int i = 0; i < 5; i++)
        mivrabox_event_meta_add(&ev.p, ("k" + std::to_string(i)).c_str(),
                                std::string(4000, 'v').c_str());
    EXPECT_EQ(mivrabox_body_line(ev.p, line), -22);
    EXPECT_TRUE(line.empty());
    EXPECT_EQ(mivrabox_body_line(nullptr, line), -22);
}

namespace {

class BoxFakeTest : public testing::Test {
   protected:
    void SetUp() override {
        ASSERT_EQ(fake.start({"box"}), 0);
        ASSERT_EQ(mivra_init("mivrabox_client_test", "1"), MIVRA_POOL_SIZE);
        url = fake.url();
        u = url.c_str();
    }
    void TearDown() override { mivra_cleanup(); }

    void set_lines(std::initializer_list<const char *> lines) {
        xr_env env;
        xr_value array(xmlrpc_array_new(&env));
        for (const char *l : lines) {
            xr_value s(xmlrpc_string_new(&env, l));
            xmlrpc_array_append_item(&env, array.get(), s.get());
        }
        xr_value r(fake.control("Fake.SetLines", "(A)", array.get()));
        ASSERT_TRUE(r);
    }
    void set_flags(std::initializer_list<int> flags) {
        xr_env env;
        xr_value array(xmlrpc_array_new(&env));
        for (int f : flags) {
            xr_value v(xmlrpc_int_new(&env, f));
            xmlrpc_array_append_item(&env, array.get(), v.get());
        }
        xr_value r(fake.control("Fake.SetFlags", "(A)", array.get()));
        ASSERT_TRUE(r);
    }
    std::vector<std::string> lines() {
        std::vector<std::string> out;
        xr_value r(fake.control("Fake.Lines", "()"));
        if (!r) return out;
        xr_env env;
        int n = xmlrpc_array_size(&env, r.get());
        for (int i = 0; i < n; i++) {
            xmlrpc_value *item = nullptr;
            xmlrpc_array_read_item(&env, r.get(), i, &item);
            xr_value hold(item);
            xr_str s;
            xr_decompose(&env, item, "s", &s);
            out.emplace_back(s.get());
        }
        return out;
    }

    fake_proc fake;
    std::string url;
    const char *u = nullptr;
};

mivrabox_state marked() {
    mivrabox_state s;
    s.count = 77;
    s.time = "marker";
    return s;
}

}  // namespace

TEST_F(BoxFakeTest, CommonReplyHandling) {
    mivrabox_state st;
    EXPECT_EQ(mivrabox_take(u, 0, &st), 0);
    EXPECT_EQ(st.f_running, 1);
    EXPECT_EQ(st.last_playlist.str(), "today");
    EXPECT_EQ(st.ply_hash.size(), 32u);
    EXPECT_EQ(st.lib_present_count, 3);

    // A negative result: returned with its text, the record left as it was.
    st = marked();
    CaptureStderr();
    EXPECT_EQ(mivrabox_take(u, 16, &st), -22);
    EXPECT_EQ(GetCapturedStderr(),
              "mivrabox_take/parser_std_response: MivraBox.Take return -22 (Invalid argument)\n");
    EXPECT_EQ(st.count, 77);

    // The state only fails to decode: the result stands, the record is zeroed.
    fake.script("MivraBox.Run", "{s:(s)}", "omit", "state");
    st = marked();
    EXPECT_EQ(mivrabox_run(u, 0, 1, &st), 0);
    EXPECT_EQ(st.count, 0);
    EXPECT_TRUE(st.time.empty());

    fake.script("MivraBox.Fallback", "{s:(s)}", "omit", "result");
    st = marked();
    CaptureStderr();
    EXPECT_EQ(mivrabox_fallback(u, 0, &st), -14);
    EXPECT_THAT(GetCapturedStderr(),
                StartsWith("mivrabox_fallback/parser_std_response: decompose value failed: "));
    EXPECT_EQ(st.count, 77);

    fake.script("MivraBox.Take", "{s:(is)}", "fault", 7, "box says no");
    CaptureStderr();
    EXPECT_EQ(mivrabox_take(u, 0, &st), -14);
    std::string err = GetCapturedStderr();
    EXPECT_THAT(err, StartsWith("mivrabox_take/parser_std_response: xmlrpc_client_callX(" + url +
                                ", MivraBox.Take) failed: "));
    EXPECT_THAT(err, testing::EndsWith("box says no (7)"));

    fake.script("MivraBox.TakeN", "{s:b,s:i}", "drop", 1, "times", 2);
    EXPECT_EQ(mivrabox_take_n(u, 0, 3, &st), -14);
    EXPECT_EQ(mivrabox_take_n(u, 0, 3, nullptr), 0);  // the connection is fine again

    // GetState reads no result: a bare {"result": -22} is a state that does not decode.
    st = marked();
    EXPECT_EQ(mivrabox_get_state(u, 16, &st), -14);
    EXPECT_EQ(st.count, 0);
    EXPECT_TRUE(st.time.empty());
    EXPECT_EQ(mivrabox_get_state(u, 0, &st), 0);
    EXPECT_EQ(st.time.str(), "10:00:00:00");
}

TEST_F(BoxFakeTest, WireForms) {
    int64_t ids[] = {5, -1, int64_t(1) << 40};
    mivrabox_state st;
    EXPECT_EQ(mivrabox_run(u, 1, 1, &st), 0);
    EXPECT_EQ(mivrabox_delete_events(u, 0, 2, ids, &st), 0);
    EXPECT_EQ(mivrabox_delete_events2(u, 0, 3, ids, &st), 0);
    EXPECT_EQ(mivrabox_reset_events_tc(u, 0, 0, nullptr, &st), 0);
    EXPECT_EQ(mivrabox_append_playlist(u, 0, "a", &st), 0);
    EXPECT_EQ(mivrabox_load_playlist(u, 0, "b", &st), 0);
    EXPECT_EQ(mivrabox_save_playlist(u, 0, "c", &st), 0);
    EXPECT_EQ(mivrabox_truncate_playlist(u, 0, int64_t(1) << 33, 1, &st), 0);
    EXPECT_EQ(mivrabox_close_playlist(u, 0, &st), 0);
    EXPECT_EQ(mivrabox_take(u, 0, &st), 0);
    EXPECT_EQ(mivrabox_take_n(u, 0, 4, &st), 0);
    EXPECT_EQ(mivrabox_fallback(u, 0, &st), 0);
    EXPECT_EQ(mivrabox_preview(u, 0, -9, "http://io/RPC2", &st), 0);
    EXPECT_EQ(mivrabox_search_event(u, 0, "key", -1, 3, &st), 0);
    EXPECT_EQ(mivrabox_trimpad_event(u, 0, -25, &st), 0);
    EXPECT_EQ(mivrabox_snapshot_curr(u, 0, &st), 0);
    EXPECT_EQ(mivrabox_snapshot_load(u, 0, "s", &st), 0);
    EXPECT_EQ(mivrabox_snapshot_save(u, 0, 2, "t", &st), 0);
    EXPECT_EQ(mivrabox_delete_events(u, 0, -1, ids, &st), -22);
    EXPECT_THAT(
        fake.calls("MivraBox."),
        ElementsAre(
            "MivraBox.Run(i4:1,i4:1)",
            "MivraBox.DeleteEvents(i4:0,array[array[i8:5],array[i8:-1]])",
            "MivraBox.DeleteEvents2(i4:0,array[array[i8:5],array[i8:-1],"
            "array[i8:1099511627776]])",
            "MivraBox.ResetEventsTC(i4:0,array[])", "MivraBox.AppendPlaylist(i4:0,string:\"a\")",
            "MivraBox.LoadPlaylist(i4:0,string:\"b\")", "MivraBox.SavePlaylist(i4:0,string:\"c\")",
            "MivraBox.TruncatePlaylist(i4:0,i8:8589934592,i4:1)", "MivraBox.ClosePlaylist(i4:0)",
            "MivraBox.Take(i4:0)", "MivraBox.TakeN(i4:0,i4:4)", "MivraBox.Fallback(i4:0)",
            "MivraBox.Preview(i4:0,i8:-9,string:\"http://io/RPC2\")",
            "MivraBox.SearchEvent(i4:0,string:\"key\",i4:-1,i4:3)",
            "MivraBox.TrimPadEvent(i4:0,i4:-25)", "MivraBox.SnapshotCurr(i4:0)",
            "MivraBox.SnapshotLoad(i4:0,string:\"s\")",
            "MivraBox.SnapshotSave(i4:0,i4:2,string:\"t\")"));
}

TEST_F(BoxFakeTest, InsertAndUpdateSendTheCompressedBody) {
    event_ptr a, b;
    a.p = mivrabox_event_parse(LINE_A);
    b.p = mivrabox_event_parse(LINE_B);
    mivrabox_state st = marked();
    EXPECT_EQ(mivrabox_insert_event(u, 0, a.p, -1, &st), 0);
    EXPECT_EQ(st.count, 1);
    EXPECT_EQ(mivrabox_insert_event2(u, 0, b.p, 0, &st), 0);
    EXPECT_EQ(mivrabox_update_event(u, 0, a.p, 1, &st), 0);
    EXPECT_EQ(mivrabox_update_event2(u, 0, a.p, 0, &st), 0);
    EXPECT_THAT(lines(), ElementsAre(LINE_A, LINE_A));
    std::vector<std::string> calls = fake.calls("MivraBox.");
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_THAT(calls[0], StartsWith("MivraBox.InsertEvent(i4:0,base64:"));
    EXPECT_THAT(calls[0], testing::EndsWith(",i8:-1)"));
    EXPECT_THAT(calls[1], StartsWith("MivraBox.InsertEvent2(i4:0,base64:"));
    EXPECT_THAT(calls[3], StartsWith("MivraBox.UpdateEvent2(i4:0,base64:"));

    // Refused before any call, the state zeroed.
    for (int i = 0; i < 5; i++)
        mivrabox_event_meta_add(&a.p, ("key" + std::to_string(i)).c_str(),
                                std::string(4000, 'm').c_str());
    st = marked();
    CaptureStderr();
    EXPECT_EQ(mivrabox_insert_event(u, 0, a.p, -1, &st), -22);
    EXPECT_EQ(mivrabox_snapshot_add_event(u, 0, 0, a.p, &st), -22);
    EXPECT_EQ(mivrabox_update_event(u, 0, nullptr, 0, &st), -22);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("mivrabox_update_insert_event: "));
    EXPECT_EQ(st.count, 0);
    EXPECT_EQ(fake.calls("MivraBox.").size(), 4u);
}

TEST_F(BoxFakeTest, GetEventPlainAndCompressedGiveTheSameEvent) {
    set_lines({LINE_A, LINE_B});
    set_flags({0, 0x80});
    event_ptr plain, packed;
    mivrabox_state st;
    ASSERT_EQ(mivrabox_get_event(u, 0, 1, &plain.p, &st), 0);
    EXPECT_EQ(plain.p->media_id.str(), "clip_b");
    EXPECT_EQ(plain.p->flags.load(), 0x80u);
    EXPECT_EQ(plain.p->sys_id, 101);
    EXPECT_EQ(plain.p->start, 1700000001000);
    EXPECT_EQ(plain.p->amend, st.amend);
    EXPECT_EQ(st.er[4], 1);

    std::vector<unsigned char> body;
    ASSERT_GT(mivrabox_body_deflate(LINE_B, body), 0);
    fake.script("MivraBox.GetEvent", "{s:{s:6},s:(s)}", "set", "event_c", body.data(), body.size(),
                "omit", "event");
    ASSERT_EQ(mivrabox_get_event(u, 0, 1, &packed.p, &st), 0);
    std::string l1, l2;
    mivrabox_body_line(plain.p, l1);
    mivrabox_body_line(packed.p, l2);
    EXPECT_EQ(l1, l2);
    EXPECT_EQ(packed.p->sys_id, 101);
    EXPECT_THAT(fake.calls("MivraBox.GetEvent"), testing::Each("MivraBox.GetEvent(i4:0,i4:1)"));
}

TEST_F(BoxFakeTest, GetEventFailures) {
    set_lines({LINE_A});
    event_ptr ev;
    mivrabox_state st = marked();
    // A line that does not parse: -22, no event, the state decoded.
    fake.script("MivraBox.GetEvent", "{s:{s:s}}", "set", "event", "not a line");
    EXPECT_EQ(mivrabox_get_event(u, 0, 0, &ev.p, &st), -22);
    EXPECT_EQ(ev.p, nullptr);
    EXPECT_EQ(st.count, 1);

    const unsigned char junk[] = {1, 2, 3, 4};
    fake.script("MivraBox.GetEvent", "{s:{s:6},s:(s)}", "set", "event_c", junk, sizeof junk, "omit",
                "event");
    EXPECT_EQ(mivrabox_get_event(u, 0, 0, &ev.p, &st), -22);
    std::vector<unsigned char> no_nul = zlib9(LINE_A);
    fake.script("MivraBox.GetEvent", "{s:{s:6},s:(s)}", "set", "event_c", no_nul.data(),
                no_nul.size(), "omit", "event");
    EXPECT_EQ(mivrabox_get_event(u, 0, 0, &ev.p, &st), -22);
    EXPECT_EQ(ev.p, nullptr);

    // A negative result carries no event: -14 with the missing member on stderr.
    CaptureStderr();
    EXPECT_EQ(mivrabox_get_event(u, 0, 5, &ev.p, &st), -14);
    EXPECT_THAT(GetCapturedStderr(), StartsWith("mivrabox_get_event: decompose value failed: "));
    EXPECT_EQ(st.count, 0);  // zeroed before the call

    fake.script("MivraBox.GetEvent", "{s:(is)}", "fault", 3, "gone");
    EXPECT_EQ(mivrabox_get_event(u, 0, 0, &ev.p, &st), -14);
    EXPECT_EQ(mivrabox_get_event(u, 0, 0, nullptr, &st), -22);
}

TEST_F(BoxFakeTest, GetEvents2SkipsBadLinesAndKeepsToTheSlots) {
    set_lines({LINE_A, "bad", LINE_B});
    int64_t idx[3] = {0, 1, 2};
    mivrabox_event *evs[3] = {};
    mivrabox_state st;
    EXPECT_EQ(mivrabox_get_events2(u, 0, 3, idx, evs, &st), 2);
    ASSERT_TRUE(evs[0] && evs[1]);
    EXPECT_EQ(evs[2], nullptr);
    EXPECT_EQ(evs[0]->media_id.str(), "clip_a");
    EXPECT_EQ(evs[1]->media_id.str(), "clip_b");
    EXPECT_EQ(evs[1]->sys_id, 102);
    EXPECT_EQ(idx[0], 0);
    EXPECT_EQ(idx[1], 2);  // the index the daemon reports for the event in slot 1
    EXPECT_EQ(st.count, 3);
    for (auto &e : evs) mivrabox_event_unref(&e);
    EXPECT_THAT(fake.calls("MivraBox.GetEvents2"),
                ElementsAre("MivraBox.GetEvents2(i4:0,array[array[i8:0],array[i8:1],"
                            "array[i8:2]])"));

    // The daemon answers more events than the caller has slots for.
    int64_t two[3] = {2, 0, 99};
    std::vector<unsigned char> body;
    mivrabox_body_deflate(LINE_A, body);
    fake.script("MivraBox.GetEvents2", "{s:{s:i,s:({s:6,s:{}}{s:6,s:{}}{s:6,s:{}})}}", "reply",
                "result", 0, "events", "event_c", body.data(), body.size(), "state", "event_c",
                body.data(), body.size(), "state", "event_c", body.data(), body.size(), "state");
    mivrabox_event *slots[2] = {};
    st = marked();
    EXPECT_EQ(mivrabox_get_events2(u, 0, 2, two, slots, &st), 2);
    EXPECT_EQ(two[2], 99);
    EXPECT_EQ(st.count, 0);  // the reply has no state of its own
    for (auto &e : slots) mivrabox_event_unref(&e);

    // Only bad lines: their failure; an item without a body: -14; no events member: -14.
    set_lines({"bad"});
    int64_t one[1] = {0};
    EXPECT_EQ(mivrabox_get_events2(u, 0, 1, one, slots, &st), -22);
    fake.script("MivraBox.GetEvents2", "{s:{s:i,s:({s:i})}}", "reply", "result", 0, "events",
                "index", 0);
    EXPECT_EQ(mivrabox_get_events2(u, 0, 1, one, slots, &st), -14);
    EXPECT_EQ(mivrabox_get_events2(u, 0, 1, two + 2, slots, &st), -14);  // {"result": -34}
    EXPECT_EQ(slots[0], nullptr);
    EXPECT_EQ(mivrabox_get_events2(u, 0, 0, nullptr, nullptr, &st), 0);
}

TEST_F(BoxFakeTest, ErrorFlagList) {
    set_lines({LINE_A, LINE_B, LINE_A});
    set_flags({0x180, 0x80, 0x80});
    mivrabox_event *list = nullptr;
    mivrabox_state st;
    ASSERT_EQ(mivrabox_errorflag_list_absent(u, 0, &list, &st), 2);
    EXPECT_EQ(list[0].media_id.str(), "clip_a");
    EXPECT_EQ(list[0].title.str(), "range");
    EXPECT_EQ(list[0].start_time.str(), "10:00:00:00");
    EXPECT_EQ(list[0].start, 1700000000000);
    EXPECT_EQ(list[0].sys_id, 100);
    EXPECT_EQ(list[0].flags.load(), 0x180u);
    EXPECT_EQ(list[0].refcount.load(), 0);
    EXPECT_EQ(list[1].media_id.str(), "clip_b");
    EXPECT_TRUE(list[2].media_id.empty());
    EXPECT_EQ(list[2].start, 0);
    EXPECT_EQ(st.count, 3);
    mivrabox_errorflag_list_free(&list);
    mivrabox_errorflag_list_free(&list);
    EXPECT_THAT(fake.calls("MivraBox.ErrorFlagList"),
                ElementsAre("MivraBox.ErrorFlagList(i4:0,i4:128)"));

    ASSERT_EQ(mivrabox_errorflag_list(u, 0, 0x1000, &list, &st), 0);
    EXPECT_TRUE(list[0].media_id.empty());
    mivrabox_errorflag_list_free(&list);

    // The optional members may be missing; the required ones may not.
    fake.script("MivraBox.ErrorFlagList", "{s:{s:i,s:({s:s,s:s,s:I})}}", "reply", "result", 1,
                "list", "media_id", "m", "start_time", "t", "start", int64_t(42));
    ASSERT_EQ(mivrabox_errorflag_list(u, 0, 1, &list, &st), 1);
    EXPECT_EQ(list[0].start, 42);
    EXPECT_EQ(list[0].sys_id, 0);
    EXPECT_EQ(list[0].flags.load(), 0u);
    EXPECT_TRUE(list[0].title.empty());
    mivrabox_errorflag_list_free(&list);

    fake.script("MivraBox.ErrorFlagList", "{s:{s:i,s:({s:s,s:s,s:I}{s:s,s:s})}}", "reply", "result",
                2, "list", "media_id", "m", "start_time", "t", "start", int64_t(42), "media_id",
                "m", "start_time", "t");
    CaptureStderr();
    EXPECT_EQ(mivrabox_errorflag_list(u, 0, 1, &list, &st), -14);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("xmlrpc_decompose_value(ssI) failed"));
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(mivrabox_errorflag_list(u, 16, 1, &list, &st), -22);
    EXPECT_EQ(list, nullptr);
}

TEST_F(BoxFakeTest, ListPlaylists) {
    char **names = nullptr;
    mivrabox_state st;
    fake.script("MivraBox.ListPlaylists", "{s:{s:((s)(s))}}", "set", "list", "a", "b");
    ASSERT_EQ(mivrabox_list_playlists(u, 0, &names, &st), 2);
    EXPECT_STREQ(names[0], "a");
    EXPECT_STREQ(names[1], "b");
    EXPECT_EQ(names[2], nullptr);
    mivrabox_names_free(&names);
    mivrabox_names_free(&names);

    fake.script("MivraBox.ListPlaylists", "{s:{s:()}}", "set", "list");
    ASSERT_EQ(mivrabox_list_playlists(u, 0, &names, &st), 0);
    ASSERT_NE(names, nullptr);
    EXPECT_EQ(names[0], nullptr);
    mivrabox_names_free(&names);

    fake.script("MivraBox.ListPlaylists", "{s:{s:((s)s)}}", "set", "list", "a", "b");
    EXPECT_EQ(mivrabox_list_playlists(u, 0, &names, &st), -14);
    EXPECT_EQ(names, nullptr);
    fake.script("MivraBox.ListPlaylists", "{s:(s)}", "omit", "list");
    EXPECT_EQ(mivrabox_list_playlists(u, 0, &names, &st), -14);
    EXPECT_EQ(mivrabox_list_playlists(u, 16, &names, &st), -22);
    EXPECT_EQ(names, nullptr);
}

TEST_F(BoxFakeTest, LibList) {
    lib_object_list list;
    lib_object *stale = nullptr;
    lib_object_new(&stale);
    stale->object = "stale";
    lib_object_list_push(&list, stale);
    mivrabox_state st;
    fake.script("MivraBox.LibList", "{s:{s:({s:s,s:s,s:i}{s:s,s:s,s:i,s:i})}}", "set", "list",
                "origin", "/lib/a.mxf", "object", "a", "ref", 2, "origin", "", "object", "b", "ref",
                1, "extra", 9);
    ASSERT_EQ(mivrabox_lib_list(u, 0, 2, &list, &st), 2);
    EXPECT_EQ(list.items[0]->origin, "/lib/a.mxf");
    EXPECT_EQ(list.items[0]->object, "a");
    EXPECT_EQ(list.items[0]->ref, 2);
    EXPECT_EQ(list.items[1]->object, "b");
    EXPECT_EQ(st.lib_queued_count, 1);
    EXPECT_THAT(fake.calls("MivraBox.LibList"), ElementsAre("MivraBox.LibList(i4:0,i4:2)"));

    fake.script("MivraBox.LibList", "{s:{s:({s:s,s:s,s:i}{s:s,s:i})}}", "set", "list", "origin",
                "o", "object", "a", "ref", 2, "origin", "o", "ref", 1);
    EXPECT_EQ(mivrabox_lib_list(u, 0, 0, &list, &st), -14);
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(mivrabox_lib_list(u, 16, 0, &list, &st), -22);
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(lib_object_list_clear(&list), 0);
    EXPECT_EQ(lib_object_list_clear(&list), 0);
}

TEST_F(BoxFakeTest, SnapshotsCarryPlainLines) {
    event_ptr a, back;
    a.p = mivrabox_event_parse(LINE_A);
    mivrabox_state st;
    int slot = mivrabox_snapshot_new(u, 0, &st);
    ASSERT_EQ(slot, 0);
    EXPECT_EQ(mivrabox_snapshot_add_event(u, 0, slot, a.p, &st), 0);
    EXPECT_EQ(mivrabox_snapshot_add_event(u, 0, 5, a.p, &st), -2);
    ASSERT_EQ(mivrabox_snapshot_get_event(u, 0, slot, 0, &back.p, &st), 0);
    EXPECT_EQ(back.p->media_id.str(), "clip_a");
    mivrabox_event_unref(&back.p);
    // The peer download loop ends at the first negative answer.
    EXPECT_EQ(mivrabox_snapshot_get_event(u, 0, slot, 1, &back.p, &st), -14);
    EXPECT_EQ(back.p, nullptr);
    EXPECT_EQ(mivrabox_snapshot_destroy(u, 0, slot, &st), 0);
    EXPECT_EQ(mivrabox_snapshot_destroy(u, 0, slot, &st), -22);
    std::vector<std::string> calls = fake.calls("MivraBox.SnapshotAddEvent");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], std::string("MivraBox.SnapshotAddEvent(i4:0,i4:0,string:\"") +
                            "10:00:00:00\\t \\t\\t\\t00:00:10:00\\tC\\tclip_a\\tFirst\\t\\t\\t\\t"
                            "\\t\\t\\t\")");
    EXPECT_THAT(fake.calls("MivraBox.SnapshotGetEvent"),
                ElementsAre("MivraBox.SnapshotGetEvent(i4:0,i4:0,i4:0)",
                            "MivraBox.SnapshotGetEvent(i4:0,i4:0,i4:1)"));
}
