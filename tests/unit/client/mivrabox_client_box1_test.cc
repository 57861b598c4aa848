// The box client calls that only MivraBox1 answers, against a real MivraBox1 from the build
// folder with a fake library that knows none of the media.
#include <gtest/gtest.h>

#include <string>

#include "box_proc.h"
#include "fake_client.h"
#include "mivra.h"
#include "mivrabox_client.h"

namespace {

std::string line(const std::string &media, const std::string &title) {
    return "10:00:00:00\t \t\t\t00:00:10:00\tC\t" + media + "\t" + title + "\t\t\t\t\t\t\t";
}

struct event_ptr {
    mivrabox_event *p = nullptr;
    ~event_ptr() { mivrabox_event_unref(&p); }
};

class Box1Test : public testing::Test {
   protected:
    void SetUp() override {
        ASSERT_EQ(lib.start({"lib", "libio"}), 0);
        ASSERT_EQ(io.start({"io"}), 0);
        ASSERT_TRUE(box.start("--lib=" + lib.hostport() + "\n--io=" + io.hostport() + "\n"))
            << "MivraBox1 did not come up";
        ASSERT_EQ(mivra_init("mivrabox_client_box1_test", "1"), MIVRA_POOL_SIZE);
        url = box.url();
        u = url.c_str();
    }
    void TearDown() override {
        mivra_cleanup();
        box.stop();
    }
    int insert(const std::string &media, const std::string &title, int64_t pos) {
        event_ptr ev;
        ev.p = mivrabox_event_parse(line(media, title).c_str());
        mivrabox_state st;
        return mivrabox_insert_event(u, 0, ev.p, pos, &st);
    }

    fake_proc lib, io;
    box_proc box{"src/box1/MivraBox1"};
    std::string url;
    const char *u = nullptr;
};

}  // namespace

// Compressed bodies in, compressed and plain lines out, lists of flagged media, truncation.
TEST_F(Box1Test, CompressedEventsListsAndTruncation) {
    ASSERT_EQ(insert("m0", "first", -1), 0);
    ASSERT_EQ(insert("m1", "second", -1), 0);
    ASSERT_EQ(insert("m2", "third", -1), 0);
    mivrabox_state st;
    event_ptr ev;
    ASSERT_EQ(mivrabox_get_event(u, 0, 1, &ev.p, &st), 0);
    EXPECT_EQ(ev.p->title.str(), "second");
    EXPECT_EQ(st.er[4], 1);
    ev.p->title = "changed";
    ASSERT_EQ(mivrabox_update_event2(u, 0, ev.p, ev.p->sys_id, &st), 0);

    int64_t idx[] = {2, 1};
    mivrabox_event *got[2] = {};
    ASSERT_EQ(mivrabox_get_events2(u, 0, 2, idx, got, &st), 2);
    EXPECT_EQ(got[0]->title.str(), "third");
    EXPECT_EQ(got[1]->title.str(), "changed");
    int64_t mid = got[1]->sys_id;
    for (mivrabox_event *&e : got) mivrabox_event_unref(&e);

    // The library knows none of them: each is absent, listed once.
    mivrabox_event *flagged = nullptr;
    for (int i = 0; i < 50; i++) {
        mivrabox_get_state(u, 0, &st);
        if (st.lib_absent_count == 3) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_EQ(mivrabox_errorflag_list_absent(u, 0, &flagged, &st), 3);
    EXPECT_EQ(flagged[0].media_id.str(), "m0");
    EXPECT_EQ(flagged[2].media_id.str(), "m2");
    mivrabox_errorflag_list_free(&flagged);

    EXPECT_EQ(mivrabox_truncate_playlist(u, 0, mid, 1, &st), 0);
    ASSERT_EQ(mivrabox_get_state(u, 0, &st), 0);
    EXPECT_EQ(st.count, 2);
    EXPECT_EQ(st.lib_absent_count, 2);
    EXPECT_EQ(mivrabox_search_event(u, 0, std::to_string(mid).c_str(), -1, 0x40, &st), 1);
}
