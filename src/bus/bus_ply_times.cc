// Start times of a playlist: each follow event starts where the one before it ends, a fixed-time
// event at its time of day.
#include <algorithm>
#include <climits>

#include "bus.h"
#include "log.h"
#include "tc.h"
#include "wallclock.h"

namespace {

using lock_t = std::lock_guard<bus_mutex>;

int64_t dur_ms(const mivrabox_event *e) {
    return tc_frames2ms(mivrabox_event_duration(e, 0));
}

// The instant t moved by whole days to within twelve hours of ref: a time of day after midnight
// that follows a reference before it lies on the next day, not about 24 hours early.
int64_t nearest_day(int64_t t, int64_t ref) {
    constexpr int64_t day = 86400000, half = day / 2;
    if (t < ref - half) t += day * ((ref - half - t) / day + 1);
    if (t > ref + half) t -= day * ((t - ref - half) / day + 1);
    return t;
}

}  // namespace

namespace {

// Start times of items from index from on, after an end at end; the number changed. settle: the
// times were right before, so they stop changing at the first event that keeps its start.
int times_follow(const std::vector<mivrabox_event *> &items, size_t from, int64_t end,
                 bool settle = false) {
    int changes = 0;
    struct timeval tv;
    char tc[TIME_TC_SIZE];
    for (size_t i = from; i < items.size(); i++) {
        mivrabox_event *e = items[i];
        // The local time of day is dear (a control call runs this under the bus lock over the
        // whole list): made only for an event that needs it.
        if (e->start_mode == 'F' || e->start != end) {
            time_ms2tv(end, &tv);
            time_tv2tc(&tv, tc);
            if (e->start_mode == 'F') {
                int64_t start =
                    bus_ply_ft_start(end, tc_str2ms(tc), tc_str2ms(e->start_time.c_str()));
                const bool kept = e->start == start;
                if (!kept || e->follow_time.view() != tc) {
                    e->start = start;
                    e->follow_time = tc;
                    changes++;
                }
                if (kept && settle) break;
            } else {
                e->start = end;
                e->start_time = tc;
                changes++;
            }
        } else if (settle) {
            break;
        }
        end = e->start + dur_ms(e);
    }
    return changes;
}

// Gives sys_ids to items from index from on; their total duration.
int64_t ids_and_total(const std::vector<mivrabox_event *> &items, size_t from) {
    int64_t total = 0;
    for (size_t i = from; i < items.size(); i++) {
        mivrabox_event *e = items[i];
        if (e->sys_id == 0) e->sys_id = mivrabox_sys_id_next();
        total += dur_ms(e);
    }
    return total;
}

// The first event's start at the time of day it names, nearest to now: a playlist loaded shortly
// before midnight whose first event starts after it is not a day in the past.
int64_t first_start(const mivrabox_event *e0) {
    struct timeval tv;
    time_tc_today2tv(e0->start_time.c_str(), &tv);
    return nearest_day(time_tv2ms(&tv), time_now_ms());
}

int64_t end_of(const mivrabox_event *e) {
    return e->start + dur_ms(e);
}

// Places the first event at its time of day (unless it is on air); 1 when it moved.
int place_first(mivrabox_event *e0) {
    const int64_t s = first_start(e0);
    log_msg(LOG_INFO, "%s:%d e->start_time=[%s], e->start=%ld, C=%ld, e->flags=0x%.4ld",
            "bus_ply_start_time_recalc", 515, e0->start_time.c_str(), long(e0->start), long(s),
            long(e0->flags.load()));
    if ((e0->flags & MIVRABOX_F_ON_AIR) || e0->start == s) return 0;
    e0->start = s;
    return 1;
}

}  // namespace

int bus_ply_start_time_recalc(ply_list *ply) {
    if (ply->count() == 0) {
        ply->total_duration = 0;
        return 0;
    }
    int changes = 0;
    int64_t total = ids_and_total(ply->items, 0);
    mivrabox_event *e0 = ply->items[0];
    changes += place_first(e0);
    changes += times_follow(ply->items, 1, end_of(e0));
    ply->total_duration = int(std::clamp<int64_t>(total, INT_MIN, INT_MAX));
    if (changes) ply->revision++;
    return changes;
}

int bus_ply_start_time_recalc_from(ply_list *ply, int from, int64_t prepared_after,
                                   int64_t prepared_total) {
    if (from <= 0 || from >= ply->count()) return bus_ply_start_time_recalc(ply);
    const mivrabox_event *e0 = ply->items[0];
    // Were the first event to move, every start would.
    if (!(e0->flags & MIVRABOX_F_ON_AIR) && e0->start != first_start(e0))
        return bus_ply_start_time_recalc(ply);
    int64_t end = end_of(ply->items[size_t(from - 1)]);
    int changes = 0;
    if (end != prepared_after || prepared_total < 0) {
        changes = times_follow(ply->items, size_t(from), end);
        prepared_total = ids_and_total(ply->items, size_t(from));
    }
    int64_t total = int64_t(ply->total_duration) + prepared_total;
    ply->total_duration = int(std::clamp<int64_t>(total, INT_MIN, INT_MAX));
    if (changes) ply->revision++;
    return changes;
}

int64_t bus_ply_start_time_prepare(ply_list *list, int64_t after) {
    int64_t total = ids_and_total(list->items, 0);
    times_follow(list->items, 0, after);
    return total;
}

int64_t bus_ply_ft_start(int64_t ref_ms, int64_t ref_tod_ms, int64_t tod_ms) {
    return nearest_day(ref_ms - ref_tod_ms + tod_ms, ref_ms);
}

int bus_ply_start_time_recalc(bus *b) {
    lock_t lk(b->lock);
    return bus_ply_start_time_recalc(b->playlist);
}

int bus_ply_start_time_recalc_moved(ply_list *ply, int from, int64_t gone_ms) {
    if (ply->count() == 0 || from >= ply->count()) return bus_ply_start_time_recalc(ply);
    int changes = 0;
    mivrabox_event *e0 = ply->items[0];
    if (from <= 0) {
        changes += place_first(e0);
        from = 1;
    } else if (!(e0->flags & MIVRABOX_F_ON_AIR) && e0->start != first_start(e0)) {
        // Were the first event to move, every start would.
        return bus_ply_start_time_recalc(ply);
    }
    changes += times_follow(ply->items, size_t(from), end_of(ply->items[size_t(from - 1)]), true);
    int64_t total = int64_t(ply->total_duration) - gone_ms;
    ply->total_duration = int(std::clamp<int64_t>(total, INT_MIN, INT_MAX));
    if (changes) ply->revision++;
    return changes;
}

int bus_ply_start_time_recalc_front(ply_list *ply, int64_t gone_ms) {
    if (ply->count() == 0) return bus_ply_start_time_recalc(ply);
    const mivrabox_event *e0 = ply->items[0];
    if (!(e0->flags & MIVRABOX_F_ON_AIR) && e0->start != first_start(e0))
        return bus_ply_start_time_recalc(ply);
    int64_t total = int64_t(ply->total_duration) - gone_ms;
    ply->total_duration = int(std::clamp<int64_t>(total, INT_MIN, INT_MAX));
    return 0;
}
