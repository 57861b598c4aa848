#include <fcntl.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "bus_test_util.h"
#include "meta_resolve.h"
#include "wallclock.h"

namespace {

struct BusTest : ::testing::Test {
    temp_dir dir;
    bus *b = nullptr;
    bus_hooks hooks;  // the neutral ones, with the clock a test sets
    void SetUp() override {
        bus_test_pin();
        ASSERT_EQ(bus_test_new(&b), 0);
        hooks = *b->hooks;
        // Media queued at registration are marked, as a daemon with a library lookup asks.
        hooks.queued_mark = MIVRABOX_F_QUEUED;
        b->hooks = &hooks;
        b->path = dir.path.string();
        b->current = "current.ply";
        b->arl_ext = "arl";
    }
    void TearDown() override { bus_free(&b); }
    void insert(const std::string &line, int64_t idx = -1) {
        ASSERT_EQ(bus_ply_insert_event_by_idx(b, line.c_str(), idx, nullptr), 0);
    }
    mivrabox_event *ev(int i) { return b->playlist->items[size_t(i)]; }
    int ref_of(const lib_object_list &l, const char *id) {
        int i = lib_object_list_find_object(&l, id);
        return i < 0 ? -1 : l.items[size_t(i)]->ref;
    }
    // Makes a media present with a length, as the queue thread would.
    void make_present(const char *id, const char *origin, const char *len) {
        std::lock_guard lk(b->lock);
        int i = lib_object_list_find_object(&b->queued, id);
        ASSERT_GE(i, 0);
        lib_object *o = b->queued.items[size_t(i)].release();
        lib_object_list_remove(&b->queued, i);
        o->origin = origin;
        o->duration = len;
        lib_object_list_push(&b->present, o);
        bus_ply_lib_handle_event_metas(b, o, 1);
    }
};

TEST(WallClock, ConversionsAndTimeOfDay) {
    bus_test_pin();
    struct timeval tv;
    time_ms2tv(1714564800123, &tv);  // 2024-05-01 12:00:00.123 UTC
    EXPECT_EQ(tv.tv_sec, 1714564800);
    EXPECT_EQ(tv.tv_usec, 123000);
    EXPECT_EQ(time_tv2ms(&tv), 1714564800123);
    char tc[TIME_TC_SIZE];
    time_ms2tv(1714564800000 + 3 * 3600000 + 40 * 7, &tv);
    time_tv2tc(&tv, tc);
    EXPECT_STREQ(tc, "15:00:00:07");
    time_tc_today2tv("01:02:03:10", &tv);
    time_t now = time(nullptr);
    EXPECT_EQ(tv.tv_sec, now - now % 86400 + 3723);
    EXPECT_EQ(tv.tv_usec, 400000);
}

TEST_F(BusTest, StartTimesFollowAndFixedTimes) {
    insert(ev_line("a", "00:00:10:00", ' ', "10:00:00:00"));
    insert(ev_line("b", "00:00:05:00"));
    insert(ev_line("c", "00:00:05:00", 'F', "10:00:30:00"));
    // The first event's time of day nearest to now.
    int64_t day = time(nullptr) / 86400 * 86400 * int64_t(1000);
    int64_t now = time(nullptr) * int64_t(1000);
    if (day + 36000000 < now - 43200000) day += 86400000;
    if (day + 36000000 > now + 43200000) day -= 86400000;
    EXPECT_EQ(ev(0)->start, day + 36000000);
    EXPECT_EQ(ev(1)->start, day + 36010000);
    EXPECT_STREQ(ev(1)->start_time.c_str(), "10:00:10:00");
    EXPECT_EQ(ev(2)->start, day + 36030000);  // its own time of day, not after b
    EXPECT_STREQ(ev(2)->follow_time.c_str(), "10:00:15:00");
    EXPECT_EQ(b->playlist->total_duration, 20000);
    std::set<int64_t> ids;
    for (int i = 0; i < 3; i++) ids.insert(ev(i)->sys_id);
    EXPECT_EQ(ids.size(), 3u);
    EXPECT_EQ(ids.count(0), 0u);
    int rev = b->playlist->revision;
    EXPECT_EQ(bus_ply_start_time_recalc(b), 0);  // nothing changed: no new revision
    EXPECT_EQ(b->playlist->revision, rev);
}

TEST_F(BusTest, SysIdsAreUniqueAcrossBusses) {
    bus *other = nullptr;
    ASSERT_EQ(bus_test_new(&other), 0);
    std::vector<std::thread> th;
    for (bus *x : {b, other})
        th.emplace_back([x] {
            for (int i = 0; i < 200; i++)
                bus_ply_insert_event_by_idx(x, ev_line("m").c_str(), -1, nullptr);
        });
    for (auto &t : th) t.join();
    std::set<int64_t> ids;
    for (bus *x : {b, other})
        for (mivrabox_event *e : x->playlist->items) ids.insert(e->sys_id);
    EXPECT_EQ(ids.size(), 400u);
    bus_free(&other);
}

TEST_F(BusTest, InsertRefusalsAndBadLines) {
    EXPECT_EQ(bus_ply_insert_event_by_idx(b, "garbage", 0, nullptr), -84);
    EXPECT_EQ(bus_ply_update_event_by_idx(b, "garbage", 0, nullptr), -84);
    insert(ev_line("a"));
    insert(ev_line("b"));
    ev(0)->flags |= MIVRABOX_F_PLAYING;
    b->running = 1;
    mivrabox_state st;
    EXPECT_EQ(bus_ply_insert_event_by_idx(b, ev_line("c").c_str(), 0, &st), -16);
    EXPECT_EQ(bus_ply_update_event_by_idx(b, ev_line("c").c_str(), 0, &st), -16);
    EXPECT_EQ(b->playlist->count(), 2);
    EXPECT_EQ(bus_ply_insert_event_by_idx(b, ev_line("c").c_str(), 1, &st), 0);
    EXPECT_EQ(st.count, 3);
    EXPECT_EQ(bus_ply_update_event_by_idx(b, ev_line("d").c_str(), 3, nullptr), -34);
}

TEST_F(BusTest, MediaReferencesFollowTheEvents) {
    for (int i = 0; i < 3; i++) insert(ev_line("same"));
    insert(ev_line("other"));
    EXPECT_EQ(ref_of(b->queued, "same"), 3);
    EXPECT_TRUE(ev(0)->flags & MIVRABOX_F_QUEUED);
    int64_t dup[] = {0, 0, 1, 99, -1};
    bus_ply_delete_events(b, 5, dup, nullptr);
    EXPECT_EQ(ref_of(b->queued, "same"), 1);
    EXPECT_EQ(b->playlist->count(), 2);
    // Replacing an event moves its reference to the new media.
    ASSERT_EQ(bus_ply_update_event_by_idx(b, ev_line("third").c_str(), 0, nullptr), 0);
    EXPECT_EQ(ref_of(b->queued, "same"), 0);
    EXPECT_EQ(ref_of(b->queued, "third"), 1);
    // An event without a sys_id is not deleted by a range, and keeps its reference.
    ev(1)->sys_id = 0;
    bus_ply_delete_range(b, 0, 5, nullptr);
    EXPECT_EQ(b->playlist->count(), 1);
    EXPECT_EQ(ref_of(b->queued, "other"), 1);
    EXPECT_EQ(ref_of(b->queued, "third"), 0);
    bus_ply_close(b, nullptr);
    EXPECT_EQ(ref_of(b->queued, "other"), 0);
}

TEST_F(BusTest, PresenceAndRangeChecks) {
    insert(ev_line("clip.mxf", "", ' ', "10:00:00:00", "00:00:01:00", "00:00:02:00"));
    insert(ev_line("clip.mxf", "00:00:20:00"));
    make_present("clip.mxf", "clip_0001.mxf", "00:00:10:00");
    // Media queued at registration: no range check when it turns present.
    EXPECT_EQ(ev(0)->flags & (MIVRABOX_F_PRESENT | MIVRABOX_F_RANGE), MIVRABOX_F_PRESENT);
    EXPECT_STREQ(ev(0)->origin.c_str(), "clip_0001.mxf");
    // Registered against the present media: checked at once.
    insert(ev_line("clip.mxf", "00:00:12:00", ' ', "10:00:00:00", "00:00:00:00", ""));
    EXPECT_TRUE(ev(2)->flags & MIVRABOX_F_RANGE);  // check 4: 12 s of a 10 s clip
    insert(ev_line("clip.mxf", "00:00:05:00", ' ', "10:00:00:00", "00:00:01:00", ""));
    EXPECT_EQ(ev(3)->flags & (MIVRABOX_F_RANGE | MIVRABOX_F_PARTIAL), MIVRABOX_F_PARTIAL);
    insert(ev_line("clip.mxf", "00:00:03:00"));  // no IN: the media's length is taken
    EXPECT_STREQ(ev(4)->duration.c_str(), "00:00:10:00");
    EXPECT_EQ(ref_of(b->present, "clip.mxf"), 5);
    mivrabox_state st;
    bus_ply_state(b, &st);
    EXPECT_EQ(st.ply_stat_flag_range, 1);
    EXPECT_EQ(st.ply_stat_flag_subclip, 1);
    EXPECT_EQ(st.lib_present_count, 1);
    // ResetEventsTC clears the marks and checks again, keeping the reference count.
    int64_t id = ev(2)->sys_id;
    bus_ply_reset_events_tc(b, 1, &id, nullptr);
    EXPECT_TRUE(ev(2)->mark_in.empty());
    EXPECT_FALSE(ev(2)->flags & MIVRABOX_F_RANGE);
    EXPECT_EQ(ref_of(b->present, "clip.mxf"), 5);
    // Turning absent empties the origin of every event of the media.
    {
        std::lock_guard lk(b->lock);
        bus_ply_lib_handle_event_metas(b, b->present.items[0].get(), 0);
    }
    for (mivrabox_event *e : b->playlist->items) {
        EXPECT_TRUE(e->origin.empty());
        EXPECT_TRUE(e->flags & MIVRABOX_F_ABSENT);
    }
}

TEST_F(BusTest, RangeCheckCases) {
    lib_object o;
    o.duration = "00:00:10:00";  // 250 frames
    auto flags_of = [&](const char *in, const char *out, const char *dur) {
        mivrabox_event *e = mivrabox_event_new();
        e->mark_in = in;
        e->mark_out = out;
        e->duration = dur;
        bus_ply_range_item(b, e, &o);
        uint64_t f = e->flags;
        mivrabox_event_unref(&e);
        return f & (MIVRABOX_F_RANGE | MIVRABOX_F_PARTIAL);
    };
    EXPECT_EQ(flags_of("00:00:01:00", "00:00:02:00", "00:00:01:01"), 0x400u);  // exact subclip
    EXPECT_EQ(flags_of("00:00:01:00", "00:00:02:00", "00:00:01:00"), 0x100u);  // check 0
    EXPECT_EQ(flags_of("00:00:02:00", "00:00:01:00", ""), 0x100u);             // check 1
    EXPECT_EQ(flags_of("00:00:00:00", "00:00:10:00", ""), 0x100u);             // check 3
    EXPECT_EQ(flags_of("00:00:00:00", "00:00:09:24", ""), 0u);                 // whole clip
    EXPECT_EQ(flags_of("00:00:05:00", "", "00:00:06:00"), 0x100u);             // check 4
}

TEST_F(BusTest, StateTexts) {
    hooks.now_us = [](const bus *) -> int64_t { return 1714564800000000; };  // 12:00:00 UTC
    insert(ev_line("a", "00:01:00:00", ' ', "12:00:00:00"));
    b->time_to_next = -1500;
    mivrabox_state st;
    ASSERT_EQ(bus_ply_state(b, &st), 0);
    EXPECT_STREQ(st.time.c_str(), "12:00:00:00");
    EXPECT_STREQ(st.curr_remain.c_str(), "-00:00:01:12");
    b->time_to_next = 2000;
    bus_ply_state(b, &st);
    EXPECT_STREQ(st.curr_remain.c_str(), "+00:00:02:00");
    EXPECT_EQ(st.count, 1);
    EXPECT_EQ(bus_ply_state(b, nullptr), -22);
}

TEST_F(BusTest, NamesStayInTheFolder) {
    std::string p;
    EXPECT_EQ(bus_ply_name_path(b, "show", p), 0);
    EXPECT_EQ(p, dir.file("show.ply"));
    for (const char *bad : {"", ".", "..", "a/b", "../x", "/etc/passwd"})
        EXPECT_EQ(bus_ply_name_path(b, bad, p), -22) << bad;
    EXPECT_EQ(bus_ply_name_path(b, nullptr, p), -22);
    EXPECT_EQ(bus_ply_name_path(b, std::string(4090, 'x').c_str(), p), -22);
}

TEST_F(BusTest, AsRunLinesAndGapFillerRepeat) {
    // The day file follows the start of the event, not its end.
    insert(ev_line("late", "00:00:20:00", ' ', "23:59:50:00"));
    bus_ply_item2arl(b, 0);
    time_t t = time_t(ev(0)->start / 1000);
    struct tm tm;
    gmtime_r(&t, &tm);
    char name[32];
    strftime(name, sizeof(name), "%Y-%m-%d.arl", &tm);
    std::string log = read_file(dir.file(name));
    EXPECT_EQ(log.substr(0, 25), "23:59:50:00\t \t\t\t00:00:20:");
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1);
    bus_ply_close(b, nullptr);

    // The clock before the playlist: the repeat starts in the future.
    hooks.now_us = [](const bus *) -> int64_t { return 0; };
    insert(ev_line("g", "00:00:40:00", 'G', "10:00:00:00"));
    insert(ev_line("f", "00:00:10:00", 'F', "10:00:30:00"));
    // The gap filler ends after the F event starts: no repeat.
    bus_ply_item2arl(b, 0);
    EXPECT_EQ(b->playlist->count(), 2);
    bus_ply_update_event_by_idx(b, ev_line("g", "00:00:05:00", 'G', "10:00:00:00").c_str(), 0,
                                nullptr);
    bus_ply_item2arl(b, 0);
    ASSERT_EQ(b->playlist->count(), 3);
    EXPECT_STREQ(ev(1)->media_id.c_str(), "g");
    EXPECT_NE(ev(1)->sys_id, ev(0)->sys_id);
    EXPECT_EQ(ev(1)->start, ev(0)->start + 5000);
    // A folder that cannot take the file loses the line only.
    b->path = dir.file("missing");
    bus_ply_item2arl(b, 0);
    EXPECT_EQ(b->playlist->count(), 3);
}

// The save thread writes a changed playlist once, retries a failed save, and writes a new
// playlist even when its revision equals the one last saved.
TEST_F(BusTest, SaveThread) {
    b->path = dir.file("later");
    b->current = "cur.ply";
    std::thread th(bus_save_proc, b);
    insert(ev_line("one"));
    std::string cur = dir.file("later/cur.ply");
    usleep(1000 * 1000);  // at least one failed pass: the folder does not exist
    std::filesystem::create_directory(dir.file("later"));
    auto wait_for = [](auto pred) {
        for (int i = 0; i < 300 && !pred(); i++) usleep(10 * 1000);
        return pred();
    };
    EXPECT_TRUE(wait_for([&] { return read_file(cur).find("\tone\t") != std::string::npos; }));
    // Close, then load a playlist of one event: the new revision never repeats an old one.
    bus_ply_close(b, nullptr);
    EXPECT_TRUE(wait_for([&] { return read_file(cur).empty(); }));
    std::ofstream(dir.file("later/next.ply")) << ev_line("two") << "\n";
    EXPECT_EQ(bus_ply_load(b, dir.file("later/next.ply").c_str(), nullptr), 1);
    EXPECT_TRUE(wait_for([&] { return read_file(cur).find("\ttwo\t") != std::string::npos; }));
    b->exit = 1;
    b->exit_cv.notify_all();
    th.join();
}

TEST_F(BusTest, LoadAppendAndRequests) {
    std::ofstream(dir.file("p.ply")) << ev_line("x") << "\n" << ev_line("y") << "\n";
    mivrabox_state st;
    EXPECT_EQ(bus_ply_append(b, dir.file("p.ply").c_str(), &st), -2);
    EXPECT_EQ(bus_ply_load(b, dir.file("p.ply").c_str(), &st), 2);
    EXPECT_EQ(bus_ply_load(b, dir.file("p.ply").c_str(), &st), -17);
    EXPECT_EQ(bus_ply_load(b, dir.file("none.ply").c_str(), &st), -2);
    EXPECT_EQ(bus_ply_append(b, dir.file("p.ply").c_str(), &st), 2);
    EXPECT_EQ(st.count, 4);
    EXPECT_EQ(ref_of(b->queued, "x"), 2);
    EXPECT_EQ(bus_ply_take_n(b, 0, nullptr), 0);
    EXPECT_EQ(b->running, 1);
    EXPECT_EQ(b->take_n, 0);
    EXPECT_EQ(bus_ply_search_event(b, "Y", -7, 2, nullptr), 1);
    EXPECT_EQ(bus_ply_search_event(b, "Y", 1, 2, nullptr), 3);
}

// A cue's copies, gathered in short holds, resolve every key as the whole playlist does, and are
// fewer than its events: the types each run past the targets' reach.
TEST_F(BusTest, CueReachResolvesAsThePlaylist) {
    const char types[] = {'C', 'N', 'P', 'N', 'N', 'Z', 'N', 'P', 'N', 'N'};
    for (int i = 0; i < 60; i++) {
        const std::string n = std::to_string(i);
        insert(gfx_line(types[i % 10], "m" + n, "t" + n, "", "artist=a" + n));
    }
    insert(gfx_line('Q', "q", "last", "", "artist=lone"));
    // Long enough to be read in a visit of short holds.
    for (int i = 0; i < 4100; i++) insert(gfx_line('F', "f", "fill"));
    const std::vector<std::string> keys = {
        "curr.ply.title",     "next.ply.title",     "next4.ply.title",     "next5.ply.title",
        "nextN0.ply.title",   "nextN4.meta.artist", "nextP3.ply.media_id", "nextZ2.ply.title",
        "nextQ0.meta.artist", "nextX0.ply.title",   "nextC1.ply.type"};
    auto resolve = [&](int idx, int count, mivrabox_event *const *events) {
        return mivrabox_event_meta_pairs_resolve(events[idx], idx, count, events, keys, nullptr);
    };
    const int count = b->playlist->count();
    for (int cued : {0, 7, 33, 58, count - 1}) {
        SCOPED_TRACE(cued);
        bus_reach r;
        ASSERT_EQ(bus_ply_reach_copy(b, ev(cued)->sys_id, false, r), 0);
        EXPECT_EQ(r.idx, cued);
        EXPECT_EQ(r.count, count);
        std::vector<mivrabox_event *> sparse(size_t(count), nullptr);
        for (size_t k = 0; k < r.reach.size(); k++) sparse[size_t(r.reach[k])] = r.copy.p->items[k];
        EXPECT_EQ(resolve(cued, count, sparse.data()),
                  resolve(cued, count, b->playlist->items.data()));
        if (cued == 0) {
            EXPECT_LT(r.reach.size(), size_t(count) - 10);
        }
    }
    // An event not there: refused, or the first event's reach.
    bus_reach r;
    EXPECT_EQ(bus_ply_reach_copy(b, -5, false, r), -2);
    ASSERT_EQ(bus_ply_reach_copy(b, -5, true, r), 0);
    EXPECT_EQ(r.idx, -1);
    bus_reach first;
    ASSERT_EQ(bus_ply_reach_copy(b, ev(0)->sys_id, false, first), 0);
    EXPECT_EQ(r.reach, first.reach);
}

}  // namespace

#ifndef NDEBUG
// The debug builds' held-lock check passes for the holding thread only: recursive holds and a
// release_all/reacquire pair keep it right, another thread or no hold aborts naming the caller.
TEST(BusMutexDeathTest, AssertHeldPassesForTheHolderOnly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    bus_mutex m;
    EXPECT_DEATH(m.assert_held(), "the bus lock is not held");
    {
        std::lock_guard lk(m);
        std::lock_guard again(m);
        m.assert_held();
        EXPECT_DEATH(std::thread([&] { m.assert_held(); }).join(), "not held");
        const int holds = m.release_all();
        EXPECT_EQ(holds, 2);
        EXPECT_DEATH(m.assert_held(), "not held");
        m.reacquire(holds);
        m.assert_held();
    }
    EXPECT_DEATH(m.assert_held(), "AssertHeldPassesForTheHolderOnly.*not held");
}
#endif
