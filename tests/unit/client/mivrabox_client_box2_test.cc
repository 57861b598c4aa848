// The box client calls against a real MivraBox2 from the build folder, on a free port with a
// bus folder of its own.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "box_proc.h"
#include "mivra.h"
#include "mivrabox_client.h"

using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

std::string line(const std::string &media, const std::string &title,
                 const std::string &dur = "00:00:10:00") {
    return "10:00:00:00\t \t\t\t" + dur + "\tC\t" + media + "\t" + title + "\t\t\t\t\t\t\t";
}

class Box2Test : public testing::Test {
   protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(box_path("src/box2/MivraBox2")));
        ASSERT_TRUE(box.start()) << "MivraBox2 did not come up";
        ASSERT_EQ(mivra_init("mivrabox_client_box2_test", "1"), MIVRA_POOL_SIZE);
        url = box.url();
        u = url.c_str();
    }
    void TearDown() override {
        mivra_cleanup();
        box.stop();
    }

    // show.ply in the bus folder: media m0, m1, m0.
    void write_show() {
        std::ofstream(box.bus / "show.ply") << line("m0", "first") << "\n"
                                            << line("m1", "second") << "\n"
                                            << line("m0", "third") << "\n";
    }

    box_proc box{"src/box2/MivraBox2"};
    std::string url;
    const char *u = nullptr;
};

struct event_ptr {
    mivrabox_event *p = nullptr;
    ~event_ptr() { mivrabox_event_unref(&p); }
};

}  // namespace

TEST_F(Box2Test, StateAndBusIndex) {
    mivrabox_state st;
    ASSERT_EQ(mivrabox_get_state(u, 0, &st), 0);
    EXPECT_EQ(st.count, 0);
    EXPECT_EQ(st.f_running, 0);
    EXPECT_FALSE(st.time.empty());
    EXPECT_TRUE(st.ply_remain.empty());

    // A bus the daemon lacks answers {"result": -22} alone.
    st.count = 77;
    EXPECT_EQ(mivrabox_get_state(u, 16, &st), -14);
    EXPECT_EQ(st.count, 0);
    EXPECT_TRUE(st.time.empty());
    st.count = 77;
    CaptureStderr();
    EXPECT_EQ(mivrabox_take(u, 16, &st), -22);
    EXPECT_EQ(GetCapturedStderr(),
              "mivrabox_take/parser_std_response: MivraBox.Take return -22 (Invalid argument)\n");
    EXPECT_EQ(st.count, 77);
    EXPECT_EQ(mivrabox_take(u, 0, &st), -2);  // empty playlist
    EXPECT_EQ(mivrabox_fallback(u, 0, &st), -2);
    EXPECT_EQ(mivrabox_run(u, 0, 1, &st), 0);
    EXPECT_EQ(st.f_running, 1);
    EXPECT_EQ(mivrabox_search_event(u, 0, "x", -1, 1, &st), -2);
}

TEST_F(Box2Test, PlaylistFilesEventsAndLists) {
    write_show();
    mivrabox_state st;
    char **names = nullptr;
    ASSERT_EQ(mivrabox_list_playlists(u, 0, &names, &st), 1);
    EXPECT_STREQ(names[0], "show");
    EXPECT_EQ(names[1], nullptr);
    mivrabox_names_free(&names);

    EXPECT_EQ(mivrabox_append_playlist(u, 0, "show", &st), -2);  // nothing to append to
    ASSERT_EQ(mivrabox_load_playlist(u, 0, "show", &st), 3);
    EXPECT_EQ(st.count, 3);
    EXPECT_EQ(st.lib_queued_count, 2);
    EXPECT_EQ(mivrabox_load_playlist(u, 0, "show", &st), -17);
    EXPECT_EQ(mivrabox_load_playlist(u, 0, "../show", &st), -22);

    event_ptr ev;
    ASSERT_EQ(mivrabox_get_event(u, 0, 1, &ev.p, &st), 0);
    EXPECT_EQ(ev.p->media_id.str(), "m1");
    EXPECT_EQ(ev.p->title.str(), "second");
    EXPECT_GT(ev.p->sys_id, 0);
    EXPECT_EQ(ev.p->sys_id, st.er[1]);
    EXPECT_EQ(ev.p->start, st.er[2]);
    EXPECT_EQ(ev.p->flags.load(), uint64_t(st.er[0]));
    EXPECT_EQ(ev.p->amend, st.amend);
    EXPECT_EQ(st.count, 3);
    int64_t sys_m1 = ev.p->sys_id;
    mivrabox_event_unref(&ev.p);
    EXPECT_EQ(mivrabox_get_event(u, 0, 3, &ev.p, &st), -14);  // {"result": -34}
    EXPECT_EQ(ev.p, nullptr);

    // Queued media, each listed once with its first event.
    mivrabox_event *flagged = nullptr;
    ASSERT_EQ(mivrabox_errorflag_list(u, 0, MIVRABOX_F_QUEUED, &flagged, &st), 2);
    EXPECT_EQ(flagged[0].media_id.str(), "m0");
    EXPECT_EQ(flagged[1].media_id.str(), "m1");
    EXPECT_FALSE(flagged[0].start_time.empty());
    EXPECT_NE(flagged[0].start, 0);
    EXPECT_TRUE(flagged[2].media_id.empty());
    mivrabox_errorflag_list_free(&flagged);
    ASSERT_EQ(mivrabox_errorflag_list_absent(u, 0, &flagged, &st), 0);
    mivrabox_errorflag_list_free(&flagged);

    lib_object_list lib;
    ASSERT_EQ(mivrabox_lib_list(u, 0, 0, &lib, &st), 2);
    std::map<std::string, int> refs;
    for (auto &o : lib.items) refs[o->object] = o->ref;
    EXPECT_EQ(refs, (std::map<std::string, int>{{"m0", 2}, {"m1", 1}}));
    EXPECT_EQ(mivrabox_lib_list(u, 0, 2, &lib, &st), 0);
    EXPECT_EQ(lib.count(), 0);

    EXPECT_EQ(mivrabox_search_event(u, 0, "M1", -1, 2, &st), 1);
    EXPECT_EQ(mivrabox_search_event(u, 0, "third", 0, 1, &st), 2);

    ASSERT_EQ(mivrabox_save_playlist(u, 0, "copy", &st), 3);
    std::ifstream saved(box.bus / "copy.ply");
    std::string l;
    int lines = 0;
    while (std::getline(saved, l)) lines++;
    EXPECT_EQ(lines, 3);

    ASSERT_EQ(mivrabox_append_playlist(u, 0, "copy", &st), 3);
    EXPECT_EQ(st.count, 6);
    EXPECT_EQ(mivrabox_delete_events2(u, 0, 1, &sys_m1, &st), 0);
    EXPECT_EQ(st.count, 5);
    int64_t twice[] = {0, 0};
    EXPECT_EQ(mivrabox_delete_events(u, 0, 2, twice, &st), 0);
    EXPECT_EQ(st.count, 4);
    ASSERT_EQ(mivrabox_get_event(u, 0, 0, &ev.p, &st), 0);
    EXPECT_EQ(ev.p->title.str(), "third");
    EXPECT_EQ(mivrabox_reset_events_tc(u, 0, 1, &ev.p->sys_id, &st), 0);
    EXPECT_EQ(mivrabox_close_playlist(u, 0, &st), 0);
    EXPECT_EQ(st.count, 0);
}

TEST_F(Box2Test, TakeRunAndTrim) {
    write_show();
    mivrabox_state st;
    ASSERT_EQ(mivrabox_load_playlist(u, 0, "show", &st), 3);
    EXPECT_EQ(mivrabox_run(u, 0, 0, &st), 0);
    EXPECT_EQ(st.f_running, 0);
    EXPECT_EQ(mivrabox_take(u, 0, &st), 0);
    EXPECT_EQ(st.f_running, 1);
    EXPECT_EQ(mivrabox_take_n(u, 0, 2, &st), 0);
    EXPECT_EQ(mivrabox_fallback(u, 0, &st), 0);
    // One second of pal frames more on the first event.
    EXPECT_EQ(mivrabox_trimpad_event(u, 0, 25, &st), 0);
    event_ptr ev;
    ASSERT_EQ(mivrabox_get_event(u, 0, 0, &ev.p, &st), 0);
    EXPECT_EQ(ev.p->duration.str(), "00:00:11:00");
}

TEST_F(Box2Test, FormsThisDaemonDoesNotServe) {
    mivrabox_state st;
    event_ptr ev;
    ev.p = mivrabox_event_parse(line("m9", "new").c_str());
    ASSERT_TRUE(ev.p);
    // MivraBox2 takes event lines plain: the compressed body is refused with a decoding fault.
    CaptureStderr();
    EXPECT_EQ(mivrabox_insert_event(u, 0, ev.p, -1, &st), -14);
    EXPECT_EQ(mivrabox_update_event2(u, 0, ev.p, 1, &st), -14);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("mivrabox_update_insert_event/parser_std_response: "
                                               "xmlrpc_client_callX(" +
                                               url + ", MivraBox.InsertEvent) failed: "));
    ASSERT_EQ(mivrabox_get_state(u, 0, &st), 0);
    EXPECT_EQ(st.count, 0);

    // Single-player methods reach the default method, which refuses them.
    CaptureStderr();
    EXPECT_EQ(mivrabox_snapshot_new(u, 0, &st), -14);
    EXPECT_EQ(mivrabox_truncate_playlist(u, 0, 1, 0, &st), -14);
    int64_t idx = 0;
    mivrabox_event *slot = nullptr;
    EXPECT_EQ(mivrabox_get_events2(u, 0, 1, &idx, &slot, &st), -14);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("method MivraBox.SnapshotNew not bypassed"));
}
