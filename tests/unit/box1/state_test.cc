// MivraBox1's own state fields over the engine's state.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>

#include "box1_bus.h"
#include "tc.h"
#include "wallclock.h"

namespace {

// State texts in UTC and PAL frames.
void utc_pal() {
    setenv("TZ", "UTC", 1);
    tzset();
    tc_setmode(TC_PAL);
}

TEST(Box1State, TimeToNextSigns) {
    utc_pal();
    bus *b = nullptr;
    ASSERT_EQ(box1_bus_new(&b), 0);
    mivrabox_state st;
    // ' ' ahead of a coming change, '+' past it.
    b->time_to_next = 2000;
    ASSERT_EQ(bus_ply_state(b, &st), 0);
    EXPECT_STREQ(st.curr_remain.c_str(), " 00:00:02:00");
    b->time_to_next = -1500;
    bus_ply_state(b, &st);
    EXPECT_STREQ(st.curr_remain.c_str(), "+00:00:01:12");
    b->time_to_next = 0;
    bus_ply_state(b, &st);
    EXPECT_STREQ(st.curr_remain.c_str(), "");
    bus_free(&b);
}

std::string line(const char *tod, char mode, char type, const std::string &media) {
    return std::string(tod) + "\t" + mode + "\t\t\t00:00:01:00\t" + type + "\t" + media + "\tt" +
           std::string(7, '\t');
}

std::string tod_in(int64_t ms) {
    char tc[TIME_TC_SIZE];
    struct timeval tv;
    time_ms2tv(time_now_ms() + ms, &tv);
    time_tv2tc(&tv, tc);
    return tc;
}

// The four fields as one plain pass over the whole playlist gives them at now.
std::string plain_pass(const bus *b, int64_t now) {
    std::string out;
    const std::function<bool(const mivrabox_event *)> kinds[4] = {
        [](const mivrabox_event *e) { return bool(e->flags & MIVRABOX_F_ABSENT); },
        [](const mivrabox_event *e) { return e->event_type == 'C'; },
        [](const mivrabox_event *e) { return e->event_type == 'L'; },
        [](const mivrabox_event *e) { return e->start_mode == 'F'; }};
    for (const auto &is : kinds) {
        char tc[TC_TEXT_SIZE] = "";
        for (const mivrabox_event *e : b->playlist->items)
            if (e->start > now && is(e)) {
                tc_frames2str(tc_sec2frames(double(e->start - now) / 1000.0), tc);
                break;
            }
        out += std::string(tc) + "|";
    }
    return out;
}

// The times to the first future event of each kind follow every change of the playlist that can
// move them, and the passes that keep them agree with a plain pass whenever GetState asks.
TEST(Box1State, RemainingTimesFollowThePlaylist) {
    utc_pal();
    bus *bb = nullptr;
    ASSERT_EQ(box1_bus_new(&bb), 0);
    box1_bus *b = box1_of(bb);
    // Past what a state fill looks at itself: the far events come from the passes, the
    // farthest from an old one.
    constexpr int n = 20000;
    {
        std::lock_guard lk(b->lock);
        for (int i = 0; i < n; i++)
            ply_insert_text(b->playlist,
                            line(i == 0 ? tod_in(10000).c_str() : "", ' ', 'X',
                                 i == 2500 ? "gone" : "m" + std::to_string(i % 50))
                                .c_str(),
                            -1);
        bus_ply_start_time_recalc(b->playlist);
    }
    bus_ply_items_register(b, 0, n);
    auto index_of_type = [&](char t) {
        std::lock_guard lk(b->lock);
        for (int i = 0; i < b->playlist->count(); i++)
            if (b->playlist->items[size_t(i)]->event_type == t) return i;
        return -1;
    };
    const std::string ftod = tod_in(3600000);
    struct step {
        const char *what;
        std::function<void()> change;
        int64_t later_ms;  // the clock of the fill, after the pass
        bool pass;         // GetState's pass first, or a reply's fill alone
    } steps[] = {
        {"first look", [] {}, 0, true},
        {"type L inserted far ahead",
         [&] { bus_ply_insert_event_by_idx(b, line("", ' ', 'L', "m1").c_str(), 2600, nullptr); },
         0, true},
        {"its media answered absent far ahead",
         [&] {
             std::lock_guard lk(b->lock);
             int i = lib_object_list_find_object(&b->queued, "gone");
             lib_object *o = b->queued.items[size_t(i)].release();
             lib_object_list_remove(&b->queued, i);
             lib_object_list_push(&b->absent, o);
             bus_ply_lib_handle_event_metas(b, o, 0);
         },
         0, true},
        {"an event ahead of it registered after a pass, absent",
         [&] {
             {
                 std::lock_guard lk(b->lock);
                 ply_insert_text(b->playlist, line("", ' ', 'X', "gone").c_str(), 2400);
                 bus_ply_start_time_recalc(b->playlist);
             }
             box1_remain_refresh(b);
             // As an append's registration does, without a change of the revision.
             bus_ply_items_register(b, 2400, 2401, false);
         },
         0, true},
        {"type L replaced by type C",
         [&] {
             bus_ply_update_event_by_idx(b, line("", ' ', 'C', "m2").c_str(), index_of_type('L'),
                                         nullptr);
         },
         0, true},
        {"fixed-time event appended",
         [&] {
             bus_ply_insert_event_by_idx(b, line(ftod.c_str(), 'F', 'X', "m3").c_str(), -1,
                                         nullptr);
         },
         0, true},
        {"time passes, the pass kept", [] {}, 1500, false},
        {"time passes the absent event", [] {}, 2600000, true},
        {"type L inserted near, no pass",
         [&] { bus_ply_insert_event_by_idx(b, line("", ' ', 'L', "m4").c_str(), 5, nullptr); }, 0,
         false},
        {"type C deleted",
         [&] {
             int64_t i = index_of_type('C');
             bus_ply_delete_events(b, 1, &i, nullptr);
         },
         0, true},
        {"type C again, past the fill's further look",
         [&] { bus_ply_insert_event_by_idx(b, line("", ' ', 'C', "m5").c_str(), 19500, nullptr); },
         0, true},
        {"a change near the front, the pass a while old",
         [&] { bus_ply_insert_event_by_idx(b, line("", ' ', 'X', "m6").c_str(), 5, nullptr); },
         1500, false},
        {"time passes every event", [] {}, 100000000, true},
    };
    for (const step &s : steps) {
        s.change();
        if (s.pass) box1_remain_refresh(b);
        std::lock_guard lk(b->lock);
        const int64_t now = bus_now_ms(b) + s.later_ms;
        mivrabox_state st;
        box1_remain_fill(b, &st, now);
        EXPECT_EQ(st.absent_remain.str() + "|" + st.type_C_remain.str() + "|" +
                      st.type_L_remain.str() + "|" + st.fixed_time_remain.str() + "|",
                  plain_pass(b, now))
            << s.what;
    }
    bus_free(&bb);
}

}  // namespace
