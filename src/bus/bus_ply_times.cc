// Start times of a playlist: each follow event starts where the one before it ends, a fixed-time
// event at its time of day.
#include <algorithm>
#include <chrono>
#include <climits>
#include <thread>

#include "bus.h"
#include "log.h"
#include "tc.h"
#include "wallclock.h"

namespace {

using lock_t = std::lock_guard<bus_mutex>;

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

using clock_t_ = std::chrono::steady_clock;

// Where a run of times_follow ended: at index next, done when nothing after it needs new starts
// (the end, or an event that kept its start where the times were right before).
struct follow {
    int changes = 0;
    size_t next = 0;
    bool done = true;
};

// Start times of items from index from on, after an end at end, giving sys_ids to those without.
// From index settle on, the times were right before: the run ends at the first event there that
// keeps its start. At most limit events, and a run under the bus lock ends at deadline.
follow times_follow(const std::vector<mivrabox_event *> &items, size_t from, int64_t end,
                    size_t settle = SIZE_MAX, size_t limit = SIZE_MAX,
                    clock_t_::time_point deadline = clock_t_::time_point::max()) {
    follow f;
    struct timeval tv;
    char tc[TIME_TC_SIZE];
    for (size_t i = from; i < items.size(); i++) {
        mivrabox_event *e = items[i];
        if (e->sys_id == 0) e->sys_id = mivrabox_sys_id_next();
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
                    f.changes++;
                }
                if (kept && i >= settle) return f;
            } else {
                e->start = end;
                e->start_time = tc;
                f.changes++;
            }
        } else if (i >= settle) {
            return f;
        }
        end = e->start + bus_event_dur_ms(e);
        const size_t made = i + 1 - from;
        // The clock is read now and then: each reading costs about as much as an event.
        if (i + 1 < items.size() &&
            (made >= limit || ((made & 63) == 0 && clock_t_::now() >= deadline))) {
            f.next = i + 1;
            f.done = false;
            return f;
        }
    }
    return f;
}

// Gives sys_ids to items from index from on; their total duration.
int64_t ids_and_total(const std::vector<mivrabox_event *> &items, size_t from) {
    int64_t total = 0;
    for (size_t i = from; i < items.size(); i++) {
        mivrabox_event *e = items[i];
        if (e->sys_id == 0) e->sys_id = mivrabox_sys_id_next();
        total += bus_event_dur_ms(e);
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

// Whether the first event, not on air, no longer stands at its time of day: every start follows.
bool first_moved(const mivrabox_event *e0) {
    return !(e0->flags & MIVRABOX_F_ON_AIR) && e0->start != first_start(e0);
}

int64_t end_of(const mivrabox_event *e) {
    return e->start + bus_event_dur_ms(e);
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
    changes += times_follow(ply->items, 1, end_of(e0)).changes;
    ply->total_duration = 0;
    bus_ply_total_add(ply, total);
    if (changes) ply->revision++;
    return changes;
}

int bus_ply_start_time_recalc_from(ply_list *ply, int from, int64_t prepared_after,
                                   int64_t prepared_total) {
    if (from <= 0 || from >= ply->count()) return bus_ply_start_time_recalc(ply);
    const mivrabox_event *e0 = ply->items[0];
    // Were the first event to move, every start would.
    if (first_moved(e0)) return bus_ply_start_time_recalc(ply);
    int64_t end = end_of(ply->items[size_t(from - 1)]);
    int changes = 0;
    if (prepared_total < 0) {
        changes = times_follow(ply->items, size_t(from), end).changes;
        prepared_total = ids_and_total(ply->items, size_t(from));
    } else if (end != prepared_after) {
        // Prepared among themselves (sys_ids, total): they only move with the end before them,
        // up to the first fixed-time event that keeps its time.
        changes = times_follow(ply->items, size_t(from), end, size_t(from)).changes;
    }
    bus_ply_total_add(ply, prepared_total);
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
    } else if (first_moved(e0)) {
        // Were the first event to move, every start would.
        return bus_ply_start_time_recalc(ply);
    }
    changes +=
        times_follow(ply->items, size_t(from), end_of(ply->items[size_t(from - 1)]), size_t(from))
            .changes;
    bus_ply_total_add(ply, -gone_ms);
    if (changes) ply->revision++;
    return changes;
}

int bus_ply_start_time_recalc_front(ply_list *ply, int64_t gone_ms) {
    if (ply->count() == 0) return bus_ply_start_time_recalc(ply);
    const mivrabox_event *e0 = ply->items[0];
    if (first_moved(e0)) return bus_ply_start_time_recalc(ply);
    bus_ply_total_add(ply, -gone_ms);
    return 0;
}

namespace {

// Where the work left off, as indexes: from the front when its first event left the playlist, to
// the end (no settling) when the one to settle at did.
void rest_places(const bus_times_rest &r, const ply_list *ply, int &from, int &settle) {
    const int n = ply->count();
    from = bus_ply_index_of(ply, r.from, r.from_at);
    settle = r.settle ? bus_ply_index_of(ply, r.settle, r.settle_at) : n;
    if (from < 0) from = 1, settle = n;
    if (settle < 0) settle = n;
}

void rest_keep(bus_times_rest &r, const ply_list *ply, int from, int settle) {
    r.set(&r.from, ply->items[size_t(from)]);
    r.from_at = from;
    r.set(&r.settle, settle < ply->count() ? ply->items[size_t(settle)] : nullptr);
    r.settle_at = settle;
}

}  // namespace

void bus_ply_times_mark(bus *b, int from, int settle) {
    b->lock.assert_held();
    const ply_list *ply = b->playlist;
    bus_times_rest &r = b->times;
    const int n = ply->count();
    // The first event's start is its own: it is placed at its time of day by every slice.
    from = std::max(from, 1);
    settle = std::max(settle, from);
    if (n > 0) {
        mivrabox_event *e0 = ply->items[0];
        // A new first event stands at its time of day, and every start follows it.
        if (first_moved(e0)) {
            place_first(e0);
            b->playlist->revision++;
            from = 1;
            settle = n;
        }
    }
    if (r.pending) {
        int f, s;
        rest_places(r, ply, f, s);
        from = std::min(from, f);
        settle = std::max(settle, s);
    }
    if (from >= n) return;
    if (!r.pending) r.since = clock_t_::now();
    r.pending = true;
    rest_keep(r, ply, from, std::min(settle, n));
}

bool bus_ply_times_slice(bus *b) {
    b->lock.assert_held();
    bus_times_rest &r = b->times;
    if (!r.pending) return false;
    ply_list *ply = b->playlist;
    const int n = ply->count();
    int from, settle;
    rest_places(r, ply, from, settle);
    int changes = 0;
    if (n > 0) {
        mivrabox_event *e0 = ply->items[0];
        // Were the first event to move, every start would.
        if (first_moved(e0)) {
            changes += place_first(e0);
            from = 1;
            settle = n;
        }
    }
    from = std::max(from, 1);
    follow f;
    if (from < n) {
        const auto deadline = clock_t_::now() + std::chrono::microseconds(1000);
        f = times_follow(ply->items, size_t(from), end_of(ply->items[size_t(from - 1)]),
                         size_t(std::max(settle, from)), size_t(std::max(r.slice, 1)), deadline);
        changes += f.changes;
    }
    if (changes) ply->revision++;
    if (f.done) {
        r.clear();
        return false;
    }
    rest_keep(r, ply, int(f.next), std::max(settle, int(f.next)));
    return true;
}

void bus_ply_times_settle(bus *b) {
    for (;;) {
        {
            lock_t lk(b->lock);
            if (!bus_ply_times_slice(b)) return;
        }
        // Whoever waits for the lock gets it between slices.
        std::this_thread::yield();
    }
}

int64_t bus_event_dur_ms(const mivrabox_event *e) {
    return tc_frames2ms(mivrabox_event_duration(e, 0));
}

void bus_ply_total_add(ply_list *ply, int64_t ms) {
    const int64_t total = int64_t(ply->total_duration) + ms;
    ply->total_duration = int(std::clamp<int64_t>(total, INT_MIN, INT_MAX));
}

int bus_ply_index_of(const ply_list *ply, const mivrabox_event *e, int hint) {
    if (!e) return -1;
    int i = hint >= 0 && hint < ply->count() && ply->items[size_t(hint)] == e
                ? hint
                : ply_place_index(ply, e);
    if (i < 0) {
        auto it = std::find(ply->items.begin(), ply->items.end(), e);
        if (it == ply->items.end()) return -1;
        i = int(it - ply->items.begin());
    }
    // Found again from its place, without a search, until events before it come or go.
    ply_place_keep(ply, e, i);
    return i;
}
