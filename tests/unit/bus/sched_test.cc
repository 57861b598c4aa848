// Scheduler logic: fixed-time starts around midnight, the next fixed-time event, time to next,
// the cue and play steps, and the scheduler thread against recording hooks and a set clock.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "bus_test_util.h"
#include "wallclock.h"

namespace {

constexpr int64_t H = 3600000, M = 60000;

// What the hooks saw; one per test, reached through a global since hooks are plain functions.
struct recorder {
    std::mutex mu;
    std::vector<std::string> cues, plays;
    std::atomic<bool> answer_cue{true};
};
recorder *rec = nullptr;

int rec_cue(bus *, mivrabox_event *e) {
    std::lock_guard lk(rec->mu);
    rec->cues.push_back(e->media_id.str());
    e->flags |= MIVRABOX_F_CUE_REQ;
    if (rec->answer_cue) e->flags |= MIVRABOX_F_CUED;
    return 0;
}

int rec_play(bus *, mivrabox_event *e) {
    std::lock_guard lk(rec->mu);
    rec->plays.push_back(e->media_id.str());
    e->flags |= MIVRABOX_F_ON_AIR;
    return 0;
}

struct SchedTest : ::testing::Test {
    temp_dir dir;
    bus *b = nullptr;
    recorder r;
    bus_hooks hooks;  // the neutral ones, with recording players
    void SetUp() override {
        bus_test_pin();
        rec = &r;
        ASSERT_EQ(bus_test_new(&b), 0);
        b->path = dir.path.string();
        b->arl_ext = "arl";
        b->lib_url = "http://127.0.0.1:9/RPC2";  // never called: no library thread runs here
        hooks = *b->hooks;
        hooks.cue = rec_cue;
        hooks.play = rec_play;
        b->hooks = &hooks;
    }
    void TearDown() override {
        stop();
        bus_free(&b);
        rec = nullptr;
    }
    std::thread th;
    void start() { th = std::thread(bus_ply_proc, b); }
    void stop() {
        if (!th.joinable()) return;
        {
            std::lock_guard lk(b->exit_mu);
            b->exit = 1;
        }
        b->exit_cv.notify_all();
        th.join();
    }
    void insert(const std::string &line) {
        ASSERT_EQ(bus_ply_insert_event_by_idx(b, line.c_str(), -1, nullptr), 0);
    }
    mivrabox_event *ev(int i) { return b->playlist->items[size_t(i)]; }
    void known(int i) { ev(i)->flags |= MIVRABOX_F_PRESENT; }
    static std::string tod(int64_t ms) {
        struct timeval tv;
        char tc[TIME_TC_SIZE];
        time_ms2tv(ms, &tv);
        time_tv2tc(&tv, tc);
        return tc;
    }
    template <class P>
    bool wait(P pred, int ms = 3000) {
        for (int i = 0; i < ms / 5; i++) {
            {
                std::lock_guard lk(b->lock);
                std::lock_guard lk2(r.mu);
                if (pred()) return true;
            }
            usleep(5000);
        }
        return false;
    }
    std::vector<std::string> media() {
        std::vector<std::string> v;
        for (mivrabox_event *e : b->playlist->items) v.push_back(e->media_id.str());
        return v;
    }
};

TEST(FixedTime, NearestOccurrenceAroundMidnight) {
    int64_t day = 20000 * 24 * H;
    int64_t end = day + 23 * H + 50 * M;  // the previous event ends at 23:50
    EXPECT_EQ(bus_ply_ft_start(end, 23 * H + 50 * M, 10 * M), day + 24 * H + 10 * M);
    // Shortly before the end it still cuts the previous event.
    EXPECT_EQ(bus_ply_ft_start(end, 23 * H + 50 * M, 23 * H + 40 * M), day + 23 * H + 40 * M);
    // Ending just after midnight, a time late in the evening is the day before.
    int64_t after = day + 24 * H + 5 * M;
    EXPECT_EQ(bus_ply_ft_start(after, 5 * M, 23 * H + 58 * M), day + 23 * H + 58 * M);
    EXPECT_EQ(bus_ply_ft_start(day + 12 * H, 12 * H, 13 * H), day + 13 * H);
}

TEST_F(SchedTest, StartTimesAcrossMidnight) {
    int64_t now = time_now_ms();
    int64_t midnight = (now / (24 * H) + 1) * 24 * H;
    // The first event ends ten minutes before a midnight at least ten minutes ahead.
    int64_t end = midnight - 10 * M;
    if (end < now + M) end += 24 * H;
    int64_t s0 = now / 1000 * 1000;
    char d[TC_TEXT_SIZE];
    tc_frames2str(tc_sec2frames(double(end - s0) / 1000.0), d);
    insert(ev_line("a", d, ' ', tod(s0)));
    insert(ev_line("f", "00:00:10:00", 'F', "00:10:00:00"));
    insert(ev_line("cut", "00:00:10:00", 'F', "23:45:00:00"));
    EXPECT_EQ(ev(0)->start, s0);
    EXPECT_EQ(ev(1)->start, end + 20 * M);  // not about a day early
    EXPECT_STREQ(ev(1)->follow_time.c_str(), "23:50:00:00");
    EXPECT_EQ(ev(2)->start, end - 5 * M);  // 23:45 before the 00:10:10 end: the evening before
}

TEST_F(SchedTest, NextFixedTimeAndTimeToNext) {
    ply_list *p = b->playlist;
    EXPECT_EQ(bus_ply_next_ft_idx(p, 0), -2);
    insert(ev_line("a", "00:00:10:00", ' ', tod(time_now_ms())));
    insert(ev_line("f1", "00:00:10:00", 'F', "00:00:00:00"));
    insert(ev_line("b"));
    insert(ev_line("f2", "00:00:10:00", 'F', "00:00:00:00"));
    ev(3)->start = ev(1)->start;  // equal starts: the later one
    EXPECT_EQ(bus_ply_next_ft_idx(p, 0), 3);
    ev(3)->start += 1;
    EXPECT_EQ(bus_ply_next_ft_idx(p, 0), 1);
    EXPECT_EQ(bus_ply_next_ft_idx(p, 2), 3);
    EXPECT_EQ(bus_ply_next_ft_idx(p, 4), -2);

    // The index of fixed-time events follows every change of the list: the answer is always that
    // of a pass over it.
    auto scan = [p](int from) {
        int best = -2;
        for (int i = std::max(from, 0); i < p->count(); i++)
            if (p->items[size_t(i)]->start_mode == 'F' &&
                (best < 0 || p->items[size_t(i)]->start <= p->items[size_t(best)]->start))
                best = i;
        return best;
    };
    auto same = [&](const char *step) {
        for (int from = 0; from <= p->count(); from++)
            EXPECT_EQ(bus_ply_next_ft_idx(p, from), scan(from)) << step << ", from " << from;
    };
    const std::string f3 = ev_line("f3", "00:00:10:00", 'F', "00:00:05:00");
    same("built");
    ASSERT_EQ(bus_ply_delete_range(b, 0, 1, nullptr), 0);  // a run off the front
    same("front run gone");
    insert(ev_line("c"));
    insert(f3);
    same("appended");
    ASSERT_EQ(bus_ply_update_event_by_idx(b, ev_line("g").c_str(), 1, nullptr), 0);
    same("fixed-time event replaced by a follow one");
    ASSERT_EQ(bus_ply_update_event_by_idx(b, f3.c_str(), 0, nullptr), 0);
    same("follow event replaced by a fixed-time one");
    ASSERT_EQ(bus_ply_delete_range(b, 1, 1, nullptr), 0);
    same("middle gone");
    ASSERT_EQ(bus_ply_insert_event_by_idx(b, f3.c_str(), 0, nullptr), 0);
    same("inserted first");
    ASSERT_EQ(bus_ply_delete_range(b, 0, 0, nullptr), 0);
    same("the first one gone");
    ply_clear(p);
    same("cleared");
    insert(ev_line("a", "00:00:10:00", ' ', tod(time_now_ms())));
    insert(ev_line("f1", "00:00:10:00", 'F', "00:00:00:00"));
    insert(ev_line("b"));
    insert(ev_line("f2", "00:00:10:00", 'F', "00:00:00:00"));

    EXPECT_EQ(bus_ply_time_to_next(p, 0), 0);
    p->last_cued_sys_id = ev(2)->sys_id;
    EXPECT_EQ(bus_ply_time_to_next(p, ev(2)->start - 700), 700);
    p->last_played_sys_id = ev(0)->sys_id;
    EXPECT_EQ(bus_ply_time_to_next(p, ev(0)->start + 4000), 6000);
    p->last_played_sys_id = 999999999;  // gone: the cued one counts
    EXPECT_EQ(bus_ply_time_to_next(p, ev(2)->start + 300), -300);
}

// A run taken out or a first event set anew moves the start times only up to the first event that
// keeps its start; the times are those a whole recomputation gives.
TEST_F(SchedTest, MovedStartsSettleAtAFixedTimeEvent) {
    ply_list *p = b->playlist;
    const int64_t s0 = time_now_ms() / 1000 * 1000;
    insert(ev_line("a", "00:00:10:00", ' ', tod(s0)));
    insert(ev_line("b"));
    insert(ev_line("c"));
    insert(ev_line("f", "00:00:10:00", 'F', tod(s0 + 60000)));
    insert(ev_line("d"));
    auto whole = [&](const char *step) {
        const int64_t total = p->total_duration;
        EXPECT_EQ(bus_ply_start_time_recalc(p), 0) << step;
        EXPECT_EQ(p->total_duration, total) << step;
    };
    const int64_t f_start = ev(3)->start, d_start = ev(4)->start;
    ASSERT_EQ(bus_ply_delete_range(b, 1, 1, nullptr), 0);
    EXPECT_EQ(ev(1)->start, s0 + 10000);  // c moved up
    EXPECT_EQ(ev(2)->start, f_start);
    EXPECT_EQ(ev(3)->start, d_start);
    whole("b gone");
    ev(0)->start = s0 + 30000;  // a take sets the first start
    bus_ply_item_start_str(p, 0);
    EXPECT_GT(bus_ply_start_time_recalc_moved(p, 0, 0), 0);
    EXPECT_EQ(ev(1)->start, s0 + 40000);
    whole("first moved");
    ASSERT_EQ(bus_ply_delete_range(b, 1, 1, nullptr), 0);  // up to the fixed-time event
    whole("c gone");
    ASSERT_EQ(bus_ply_delete_range(b, 1, 1, nullptr), 0);  // f gone: d follows a
    EXPECT_EQ(ev(1)->start, s0 + 40000);
    whole("f gone");
}

// Durations that media answers fill move the starts after them in slices of a short hold each;
// whatever changes the playlist between two slices, the starts and the total end as a whole
// recomputation makes them.
TEST_F(SchedTest, FilledDurationsSettleInSlicesAsAWholeRecomputation) {
    ply_list *p = b->playlist;
    b->times.slice = 2;
    const int64_t s0 = time_now_ms() / 1000 * 1000;
    auto build = [&](const std::string &prefix) {
        bus_ply_close(b, nullptr);
        insert(ev_line(prefix + "0", "00:00:10:00", ' ', tod(s0)));
        for (int i = 1; i < 12; i++) {
            // No duration until the media's length fills it; one fixed-time event halfway.
            const bool fixed = i == 7;
            insert(ev_line(prefix + std::to_string(i), "", fixed ? 'F' : ' ',
                           fixed ? tod(s0 + 30000) : "10:00:00:00"));
        }
    };
    // The media answer of an id, as the queue thread makes it: a length of its own per media.
    auto answer = [&](const std::string &id) {
        std::lock_guard lk(b->lock);
        int i = lib_object_list_find_object(&b->queued, id.c_str());
        ASSERT_GE(i, 0) << id;
        lib_object *o = b->queued.items[size_t(i)].release();
        lib_object_list_remove(&b->queued, i);
        o->origin = id + ".mxf";
        o->duration = "00:00:0" + std::to_string(2 + int(id.back() - '0') % 8) + ":00";
        lib_object_list_push(&b->present, o);
        bus_ply_lib_handle_event_metas(b, o, 1);
    };
    auto del = [&](int first, int last) { bus_ply_delete_range(b, first, last, nullptr); };
    auto add = [&](int at, const char *id) {
        ASSERT_EQ(bus_ply_insert_event_by_idx(b, ev_line(id, "00:00:07:00").c_str(), at, nullptr),
                  0);
    };
    struct step {
        const char *what;
        std::function<void()> between;  // after the first answer, before the rest is carried on
    };
    const std::vector<step> steps = {
        {"nothing", [] {}},
        {"an earlier answer", [&] { answer("m1"); }},
        {"a later answer", [&] { answer("m9"); }},
        {"insert before the rest", [&] { add(2, "x"); }},
        {"insert after it", [&] { add(10, "x"); }},
        {"the rest's event deleted", [&] { del(b->times.from_at, b->times.from_at); }},
        {"a run before it deleted", [&] { del(1, 2); }},
        {"the front retired with it", [&] { del(0, b->times.from_at); }},
        {"everything after it deleted", [&] { del(4, 11); }},
        {"closed", [&] { bus_ply_close(b, nullptr); }},
        {"replaced",
         [&] {
             build("n");
             answer("n2");
         }},
        {"the first event moved",
         [&] {
             ev(0)->start += 5000;
             bus_ply_item_start_str(p, 0);
             bus_ply_start_time_recalc_moved(p, 0, 0);
         }},
    };
    for (const step &st : steps) {
        build("m");
        // One rest after the fixed-time event (which keeps its time), then an earlier one
        // before it.
        answer("m8");
        answer("m3");
        const int rev = p->revision;
        {
            std::lock_guard lk(b->lock);
            EXPECT_TRUE(b->times.pending) << st.what;
        }
        st.between();
        bus_ply_times_settle(b);
        EXPECT_FALSE(b->times.pending) << st.what;
        if (p->count() > 0) {
            EXPECT_GT(p->revision, rev) << st.what;
        }
        std::vector<int64_t> starts;
        for (const mivrabox_event *e : p->items) starts.push_back(e->start);
        const int total = p->total_duration;
        EXPECT_EQ(bus_ply_start_time_recalc(p), 0) << st.what;
        EXPECT_EQ(p->total_duration, total) << st.what;
        for (size_t i = 0; i < starts.size(); i++)
            EXPECT_EQ(ev(int(i))->start, starts[i]) << st.what;
    }
}

TEST_F(SchedTest, CueAndPlaySteps) {
    insert(ev_line("a", "00:00:10:00", ' ', tod(time_now_ms())));
    insert(ev_line("b"));
    insert(ev_line("c"));
    // Media still being resolved: nothing is sent.
    EXPECT_EQ(_send_cue(b, 1), -11);
    EXPECT_TRUE(r.cues.empty());
    known(0);
    known(1);
    ASSERT_EQ(_send_cue(b, 0), 0);
    ASSERT_EQ(_send_cue(b, 1), 0);  // the earlier cue loses its flags
    EXPECT_EQ(r.cues, (std::vector<std::string>{"a", "b"}));
    EXPECT_FALSE(ev(0)->flags & (MIVRABOX_F_CUE_REQ | MIVRABOX_F_CUED));
    EXPECT_TRUE(ev(1)->flags & MIVRABOX_F_CUED);
    EXPECT_EQ(b->playlist->last_cued_sys_id, ev(1)->sys_id);

    ASSERT_EQ(_send_play(b, 0), 0);
    EXPECT_TRUE(ev(0)->flags & MIVRABOX_F_PLAYING);
    int64_t sys_b = ev(1)->sys_id;
    ASSERT_EQ(_send_play(b, 1), 0);
    // a went to the as-run log and left the list; b is no longer "last cued".
    EXPECT_EQ(media(), (std::vector<std::string>{"b", "c"}));
    EXPECT_EQ(b->playlist->last_cued_sys_id, -1);
    EXPECT_EQ(b->playlist->last_played_sys_id, sys_b);
    std::string arl = read_file(bus_arl_path(b, ev(0)->start - 10000));
    EXPECT_EQ(std::count(arl.begin(), arl.end(), '\n'), 1);
    EXPECT_NE(arl.find("\ta\t"), std::string::npos);
}

TEST_F(SchedTest, GapFillerRepeatNeverLandsBeforeTheAiringEvent) {
    int64_t now = time_now_ms();
    insert(ev_line("g", "00:00:02:00", 'G', tod(now - 1000)));
    insert(ev_line("f", "00:00:10:00", 'F', tod(now + 60000)));
    _send_play(b, 0);
    // The F event goes to air early (a take): the filler must not be repeated in front of it.
    _send_play(b, 1);
    EXPECT_EQ(media(), (std::vector<std::string>{"f"}));
    bus_ply_close(b, nullptr);
    // Played normally, the filler airs again before the F event, starting after it.
    insert(ev_line("g", "00:00:02:00", 'G', tod(now + 5000)));
    insert(ev_line("f", "00:00:10:00", 'F', tod(now + 60000)));
    insert(ev_line("z"));
    int64_t sys_g = ev(0)->sys_id;
    _send_play(b, 0);
    b->playlist->last_played_sys_id = sys_g;
    _send_play(b, 2);  // a take-N to z: the copy would come before z and is not made
    EXPECT_EQ(media(), (std::vector<std::string>{"z"}));
}

TEST_F(SchedTest, FirstEventAirsWithZeroDelay) {
    int64_t t0 = (time_now_ms() / 1000 + 2) * 1000;
    insert(ev_line("a", "00:00:00:10", ' ', tod(t0)));
    insert(ev_line("b", "00:00:10:00"));
    known(0);
    known(1);
    b->running = 1;
    start();
    ASSERT_TRUE(wait([&] { return r.plays.size() == 2; }, 5000));
    EXPECT_EQ(r.plays, (std::vector<std::string>{"a", "b"}));
    EXPECT_GE(time_now_ms(), t0 + 400);
    stop();
    EXPECT_EQ(b->playlist->count(), 1);
}

TEST_F(SchedTest, TakeWaitsForMediaStateAndCue) {
    int64_t now = time_now_ms();
    insert(ev_line("a", "00:10:00:00", ' ', tod(now + 600000)));
    insert(ev_line("m", "00:00:10:00", 'M'));
    insert(ev_line("b"));
    r.answer_cue = false;
    b->running = 1;
    start();
    bus_ply_take_n(b, 99, nullptr);  // past the end: nothing
    bus_ply_take_n(b, 1, nullptr);
    usleep(100000);
    EXPECT_TRUE(wait([&] { return r.cues.empty() && r.plays.empty(); }));
    {
        std::lock_guard lk(b->lock);
        known(1);
    }
    // Cued once its media state is known; played only when the cue answered.
    ASSERT_TRUE(wait([&] { return r.cues.size() == 1; }));
    usleep(50000);
    EXPECT_TRUE(wait([&] { return r.plays.empty(); }));
    ev(1)->flags |= MIVRABOX_F_CUE_FAILED;
    ASSERT_TRUE(wait([&] { return r.plays.size() == 1; }));
    EXPECT_EQ(r.plays[0], "m");
    EXPECT_TRUE(wait([&] { return media() == std::vector<std::string>{"m", "b"}; }));
    // A take whose target is deleted while it waits ends.
    {
        std::lock_guard lk(b->lock);
        b->take_req = 1;
    }
    ASSERT_TRUE(wait([&] { return b->take_req == 0; }));
    bus_ply_delete_range(b, 1, 1, nullptr);
    EXPECT_TRUE(wait([&] { return media() == std::vector<std::string>{"m"}; }));
    stop();
    EXPECT_EQ(r.plays.size(), 1u);
}

}  // namespace

namespace {

// An exact media-id match wins over an object named by the id's '#' variant, wherever the two
// stand in the lists.
TEST_F(SchedTest, ExactMediaIdWinsOverVariant) {
    insert(ev_line("clip.mxf"));
    insert(ev_line("clip#"));
    insert(ev_line("clip.mov"));  // on clip#
    std::lock_guard lk(b->lock);
    ASSERT_EQ(b->queued.count(), 2);
    // clip.mxf goes to the end of QUEUED, as after a failed lookup.
    lib_object *mxf = b->queued.items[0].release();
    lib_object_list_remove(&b->queued, 0);
    lib_object_list_push(&b->queued, mxf);
    mivrabox_event *e = mivrabox_event_parse(ev_line("clip.mxf"));
    EXPECT_EQ(bus_ply_item_register(b, e), 0);
    mivrabox_event_unref(&e);
    EXPECT_EQ(mxf->ref, 2);
    EXPECT_EQ(b->queued.items[0]->ref, 2);
    // clip# turns present: clip# and clip.mov follow it, clip.mxf keeps its own state.
    lib_object *o = b->queued.items[0].release();
    lib_object_list_remove(&b->queued, 0);
    o->origin = "clip.mov";
    lib_object_list_push(&b->present, o);
    EXPECT_EQ(bus_ply_lib_handle_event_metas(b, o, 1), 2);
    EXPECT_FALSE(ev(0)->flags & MIVRABOX_F_PRESENT);
    EXPECT_TRUE(ev(1)->flags & MIVRABOX_F_PRESENT);
    EXPECT_TRUE(ev(2)->flags & MIVRABOX_F_PRESENT);
    EXPECT_STREQ(ev(2)->origin.c_str(), "clip.mov");
}

}  // namespace

namespace {

// A fallback file without events, or none at all, consumes the request and inserts nothing.
TEST_F(SchedTest, EmptyOrMissingFallbackChangesNothing) {
    insert(ev_line("a", "00:10:00:00", ' ', tod(time_now_ms() + 600000)));
    insert(ev_line("b"));
    b->running = 1;
    start();
    for (bool file : {true, false}) {
        if (file) std::ofstream(dir.file("fallback.ply")) << "\n";
        {
            std::lock_guard lk(b->lock);
            b->fallback_req = 1;
        }
        ASSERT_TRUE(wait([&] { return b->fallback_req == 0; }));
        usleep(20000);
        EXPECT_TRUE(wait([&] { return media() == std::vector<std::string>{"a", "b"}; }));
        std::filesystem::remove(dir.file("fallback.ply"));
    }
    stop();
    EXPECT_TRUE(r.plays.empty());
}

}  // namespace
