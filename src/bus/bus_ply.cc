// Playlist operations of a bus shared by the control methods and the scheduler.
#include <strings.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "bus.h"
#include "bus_ply_detail.h"
#include "log.h"
#include "meta_resolve.h"
#include "tc.h"
#include "wallclock.h"

using namespace bus_ply_detail;

namespace {

using lock_t = std::lock_guard<bus_mutex>;

struct event_ref {
    mivrabox_event *e;
    explicit event_ref(mivrabox_event *ev) : e(ev) {}
    ~event_ref() { mivrabox_event_unref(&e); }
    event_ref(const event_ref &) = delete;
    event_ref &operator=(const event_ref &) = delete;
};

mivrabox_event *at(bus *b, int i) {
    return b->playlist->items[size_t(i)];
}

// An event leaves the playlist: kept alive while a visit may still look at it. Without the memory
// to list it, it keeps its reference for good: a leak, not a freed event read.
void park_event(bus *b, mivrabox_event *e) {
    if (b->visits <= 0 || !e) return;
    mivrabox_event_ref(e);
    try {
        b->parked.push_back(e);
    } catch (const std::bad_alloc &) {
    }
}

void park(bus *b, int first, int last) {
    if (b->visits <= 0) return;
    ply_list *ply = b->playlist;
    for (int i = std::max(first, 0); i <= last && i < ply->count(); i++) {
        park_event(b, at(b, i));
    }
}

// An index of the wire as a list index: anything outside int appends.
int list_index(int64_t v) {
    return v < 0 || v > INT_MAX ? -1 : int(v);
}

// Event 0 is on air while the bus runs: it may be neither displaced nor replaced.
bool first_playing(bus *b) {
    return b->running && b->playlist->count() > 0 &&
           (at(b, 0)->flags & (MIVRABOX_F_PLAYING | MIVRABOX_F_ON_AIR));
}

// Registers the event at idx, where it just went in (replacing one that lasted gone_ms, or
// none): the total follows, and its start and those after it are made for one slice now, the
// rest in short holds before the call replies (settled). A whole pass here would hold the lock
// for milliseconds on a large playlist.
void came_in(bus *b, int idx, int64_t gone_ms) {
    b->lock.assert_held();
    mivrabox_event *e = at(b, idx);
    if (e->sys_id == 0) e->sys_id = mivrabox_sys_id_next();
    bus_ply_total_add(b->playlist, bus_event_dur_ms(e) - gone_ms);
    b->range_at = idx;
    bus_ply_item_register(b, e);
    b->range_at = -1;
    bus_ply_times_mark(b, idx, idx + 1);
    bus_ply_times_slice(b);
}

// The reply of a call whose change left start times to make: they are made first, in short
// holds; the state then shows them.
int settled(bus *b, mivrabox_state *st, int r) {
    bus_ply_times_settle(b);
    return fill(b, st, r);
}

mivrabox_event *parse_line(const char *fn, const char *line) {
    mivrabox_event *e = mivrabox_event_parse(line ? line : "");
    if (!e) log_msg(LOG_ERROR, "%s: failed to parse event [%s]", fn, line ? line : "");
    return e;
}

}  // namespace

int bus_ply_range_item(bus *, mivrabox_event *e, lib_object *o) {
    int r = 0;
    if (e->mark_in.empty()) {
        e->duration = o->duration.view();
        r = 1;
    }
    int len = tc_str2frames(o->duration.c_str());
    bool si = !e->mark_in.empty(), so = !e->mark_out.empty(), sd = !e->duration.empty();
    int in = si ? tc_str2frames(e->mark_in.c_str()) : 0;
    int out = so ? tc_str2frames(e->mark_out.c_str()) : 0;
    int d = sd ? tc_str2frames(e->duration.c_str()) : 0;
    int check = -1;
    if (si && so && sd && int64_t(d) + in != int64_t(out) + 1)
        check = 0;
    else if (si && so && out < in)
        check = 1;
    // OUT is the last frame used, so no duration may run past it.
    else if (so && sd && int64_t(d) > int64_t(out) + 1)
        check = 2;
    else if (so && len <= out)
        check = 3;
    else if (!so && si && sd && int64_t(len) < int64_t(in) + d)
        check = 4;
    if (check >= 0) {
        e->flags |= MIVRABOX_F_RANGE;
        log_msg(LOG_ERROR, "%s: !%d! {%s} IN=[%s], OUT=[%s], DUR=[%s], LEN=[%s]",
                "bus_ply_range_item", check, e->origin.c_str(), e->mark_in.c_str(),
                e->mark_out.c_str(), e->duration.c_str(), o->duration.c_str());
        return r;
    }
    if ((sd && len != d) || (!sd && si && so && len != out - in + 1))
        e->flags |= MIVRABOX_F_PARTIAL;
    return r;
}

namespace {

// The list's index of its fixed-time events, built again by one pass only when the list changed
// shape since: the scheduler asks for the next one several times a turn. False without memory.
bool fixed_index(ply_list *ply) {
    const std::vector<int> &v = ply->fixed_idx;
    bool fresh = ply->fixed_shape == ply->shape && (v.empty() || v.back() < ply->count());
    for (size_t k = 0; fresh && k < v.size(); k++)
        fresh = ply->items[size_t(v[k])]->start_mode == 'F';
    if (fresh) return true;
    ply->fixed_idx.clear();
    ply->fixed_shape = UINT64_MAX;
    try {
        for (int i = 0; i < ply->count(); i++)
            if (ply->items[size_t(i)]->start_mode == 'F') ply->fixed_idx.push_back(i);
    } catch (const std::bad_alloc &) {
        ply->fixed_idx.clear();
        return false;
    }
    ply->fixed_shape = ply->shape;
    return true;
}

}  // namespace

int bus_ply_next_ft_idx(ply_list *ply, int from) {
    if (from < 0) from = 0;
    int best = -2;
    auto consider = [&](int i) {
        const mivrabox_event *e = ply->items[size_t(i)];
        if (e->start_mode != 'F') return;
        if (best < 0 || e->start <= ply->items[size_t(best)]->start) best = i;
    };
    if (fixed_index(ply)) {
        const std::vector<int> &v = ply->fixed_idx;
        for (auto it = std::lower_bound(v.begin(), v.end(), from); it != v.end(); ++it)
            consider(*it);
    } else {
        for (int i = from; i < ply->count(); i++) consider(i);
    }
    return best;
}

void bus_ply_ft_front_gone(ply_list *ply, int n, uint64_t shape_before) {
    if (ply->fixed_shape != shape_before) return;
    std::vector<int> &v = ply->fixed_idx;
    auto keep = std::lower_bound(v.begin(), v.end(), n);
    v.erase(v.begin(), keep);
    for (int &i : v) i -= n;
    ply->fixed_shape = ply->shape;
}

int bus_ply_run(bus *b, int value, mivrabox_state *st) {
    lock_t lk(b->lock);
    // The longest holds measured are those of the bus on air: a load before it runs is not.
    if (value && !b->running) b->lock.longest_reset();
    b->running = value;
    return fill(b, st, 0);
}

int bus_ply_insert_event_by_idx(bus *b, const char *line, int64_t index, mivrabox_state *st) {
    mivrabox_event *parsed = mivrabox_event_parse(line ? line : "");
    if (!parsed) {
        log_msg(LOG_ERROR, "%s: failed to parse event to insert [%s]",
                "bus_ply_insert_event_by_idx", line ? line : "");
        return -84;
    }
    event_ref hold(parsed);
    {
        lock_t lk(b->lock);
        int idx = list_index(index);
        if (idx == 0 && first_playing(b)) {
            log_msg(LOG_ERROR, "%s: trying to insert before playing event",
                    "bus_ply_insert_event_by_idx");
            return fill(b, st, -16);
        }
        int r = ply_insert_event(b->playlist, parsed, idx, 1);
        if (r < 0) return fill(b, st, r == -2 ? -16 : r);
        came_in(b, r, 0);
        // A caller that goes on under the lock (a scheduler step) leaves the rest to the media
        // thread, or makes it itself after its hold.
        if (b->lock.nested()) return fill(b, st, 0);
    }
    return settled(b, st, 0);
}

namespace {

// A sys_id that names no event: -84 for a line that does not parse whatever the sys_id, else -2.
int sys_id_unknown(const char *line) {
    mivrabox_event *e = mivrabox_event_parse(line ? line : "");
    if (!e) return -84;
    mivrabox_event_unref(&e);
    return -2;
}

// by_idx(b, line, index, st) for the event of sys_id, found in short holds.
int by_sys_id(bus *b, const char *line, int64_t sys_id, mivrabox_state *st,
              int (*by_idx)(bus *, const char *, int64_t, mivrabox_state *)) {
    return bus_ply_at_sys_ids(b, 1, &sys_id, st, [&](const std::vector<int> &where) {
        return where[0] < 0 ? sys_id_unknown(line) : by_idx(b, line, where[0], st);
    });
}

}  // namespace

int bus_ply_insert_event_by_sys_id(bus *b, const char *line, int64_t sys_id, mivrabox_state *st) {
    if (sys_id == -1) return bus_ply_insert_event_by_idx(b, line, -1, st);
    return by_sys_id(b, line, sys_id, st, bus_ply_insert_event_by_idx);
}

int bus_ply_update_event_by_idx(bus *b, const char *line, int64_t index, mivrabox_state *st) {
    mivrabox_event *parsed = parse_line("bus_ply_update_event_by_idx", line);
    if (!parsed) return -84;
    event_ref hold(parsed);
    {
        lock_t lk(b->lock);
        if (index < 0 || index >= b->playlist->count()) return -34;
        int idx = int(index);
        if (idx == 0 && first_playing(b)) {
            log_msg(LOG_ERROR, "%s: trying to update playing event", "bus_ply_update_event_by_idx");
            return -16;
        }
        mivrabox_event *old = nullptr;
        int r = ply_replace_event(b->playlist, parsed, idx, &old);
        if (r < 0) return r;
        event_ref old_hold(old);
        park_event(b, old);
        // The new registration comes first: a media shared by both keeps its object and state.
        came_in(b, idx, old ? bus_event_dur_ms(old) : 0);
        if (old) bus_ply_item_unregister(b, old);
        if (b->lock.nested()) return fill(b, st, 0);
    }
    return settled(b, st, 0);
}

int bus_ply_update_event_by_sys_id(bus *b, const char *line, int64_t sys_id, mivrabox_state *st) {
    return by_sys_id(b, line, sys_id, st, bus_ply_update_event_by_idx);
}

int bus_ply_get_event(bus *b, char *buf, size_t size, int index, mivrabox_state *st) {
    if (index < 0) return -22;
    lock_t lk(b->lock);
    if (index >= b->playlist->count()) return -34;
    mivrabox_event copy = *at(b, index);
    struct timeval tv;
    char tc[TIME_TC_SIZE];
    time_ms2tv(copy.start, &tv);
    time_tv2tc(&tv, tc);
    copy.start_time = tc;
    mivrabox_event_format(&copy, buf, size);
    if (st) {
        bus_ply_state(b, st);
        st->er[0] = int64_t(copy.flags.load());
        st->er[1] = copy.sys_id;
        st->er[2] = copy.start;
    }
    return 0;
}

int bus_ply_visit(bus *b, int first, int count, mivrabox_state *st, int *revision,
                  const std::function<int(mivrabox_event *)> &fn) {
    // One pass over a large playlist under one hold would delay the scheduler by as long: the
    // events are visited for about kHoldUs per hold, in the order of the first hold; their fields
    // are read under the lock. The events that leave the playlist meanwhile are kept for the
    // visit (b->parked). Every taking of the lock may wait for the scheduler's own hold, so a
    // short range goes in the first hold whole.
    constexpr int kHoldUs = 1000;
    std::vector<mivrabox_event *> events;
    size_t i = 0;
    int r = 0;
    // The room for the list is made before the hold that fills it.
    size_t room = 0;
    {
        lock_t lk(b->lock);
        room = b->playlist->items.size();
    }
    try {
        // Filled here, so that its pages are touched before the hold too.
        events.resize(count < 0 ? room : std::min(room, size_t(count)));
    } catch (const std::bad_alloc &) {
        return -12;
    }
    auto chunk = [&] {
        auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(kHoldUs);
        while (r >= 0 && i < events.size()) {
            r = fn(events[i++]);
            if ((i & 3) == 0 && std::chrono::steady_clock::now() >= until) break;
        }
    };
    {
        lock_t lk(b->lock);
        ply_list *ply = b->playlist;
        if (revision) *revision = ply->revision.load();
        int64_t end =
            count < 0 ? ply->count() : std::min<int64_t>(int64_t(first) + count, ply->count());
        if (first < 0 || end <= first) return 0;
        if (st) bus_ply_state(b, st);
        try {
            const size_t n = size_t(end - first);
            if (n <= events.size()) {
                std::copy(ply->items.begin() + first, ply->items.begin() + end, events.begin());
                events.resize(n);
            } else {
                events.assign(ply->items.begin() + first, ply->items.begin() + end);
            }
        } catch (const std::bad_alloc &) {
            return -12;
        }
        b->visits++;
        chunk();
    }
    while (r >= 0 && i < events.size()) {
        lock_t lk(b->lock);
        chunk();
    }
    std::vector<mivrabox_event *> parked;
    {
        lock_t lk(b->lock);
        if (--b->visits == 0) parked.swap(b->parked);
    }
    for (mivrabox_event *e : parked) mivrabox_event_unref(&e);
    return r < 0 ? r : int(events.size());
}

int bus_ply_copy(bus *b, int first, int count, ply_list *out, mivrabox_state *st, int *revision) {
    // The room for the copies is made before the holds that fill it, not by doubling under one.
    int room = 0;
    {
        lock_t lk(b->lock);
        room = std::max(b->playlist->count() - std::max(first, 0), 0);
    }
    if (count >= 0) room = std::min(room, count);
    try {
        out->items.reserve(out->items.size() + size_t(room));
    } catch (const std::bad_alloc &) {
        return -12;
    }
    int r = bus_ply_visit(b, first, count, st, revision, [out](mivrabox_event *e) {
        mivrabox_event *c = mivrabox_event_clone(e);
        if (!c) return -12;
        try {
            out->items.push_back(c);
        } catch (const std::bad_alloc &) {
            mivrabox_event_unref(&c);
            return -12;
        }
        return 0;
    });
    return r < 0 ? r : out->count();
}

// Events a cue's copy reads in one hold (a fraction of a millisecond).
constexpr int kReachOneHold = 4096;

int bus_ply_reach_copy(bus *b, int64_t sys_id, bool or_first, bus_reach &out) {
    if (out.copy.p) ply_free(&out.copy.p);
    out.reach.clear();
    out.idx = -1;
    out.count = 0;
    if (ply_new(&out.copy.p) < 0) return -12;
    // From the first event on: the visit's order is the playlist's of its first hold, in which
    // the event is looked for, so its index and the others' agree with count.
    bool found = false;
    mivrabox_meta_reach rule;
    int at = 0;
    auto take = [&](mivrabox_event *e) {
        mivrabox_event *c = mivrabox_event_clone(e);
        if (!c) return -12;
        try {
            out.copy.p->items.push_back(c);
            out.reach.push_back(at);
        } catch (const std::bad_alloc &) {
            mivrabox_event_unref(&c);
            return -12;
        }
        return 0;
    };
    // A short playlist is read in one hold, as every taking of the lock may wait for the
    // scheduler's own; a long one as bus_ply_visit visits it.
    auto walk = [b](const std::function<int(mivrabox_event *)> &fn) {
        {
            lock_t lk(b->lock);
            const ply_list *ply = b->playlist;
            if (ply->count() <= kReachOneHold) {
                for (mivrabox_event *e : ply->items)
                    if (int r = fn(e); r < 0) return r;
                return ply->count();
            }
        }
        return bus_ply_visit(b, 0, -1, nullptr, nullptr, fn);
    };
    int r = walk([&](mivrabox_event *e) {
        int rr = 0;
        if (found)
            rr = rule.takes(e) ? take(e) : 0;
        else if (e->sys_id == sys_id && (rr = take(e)) == 0)
            found = true, out.idx = at;
        at++;
        return rr;
    });
    if (r < 0) return r;
    out.count = at;
    if (found || !or_first) return found ? 0 : -2;
    // Not there: the reach of the first event of the playlist as it is now.
    at = 0;
    r = walk([&](mivrabox_event *e) {
        int rr = at == 0 || rule.takes(e) ? take(e) : 0;
        at++;
        return rr;
    });
    if (r < 0) return r;
    out.count = at;
    return 0;
}

int bus_ply_get_events(bus *b, int first, int count, std::vector<bus_event_text> &out,
                       mivrabox_state *st) {
    // Lines are made from copies, after the lock is let go.
    ply_ref copies;
    if (ply_new(&copies.p) < 0) return -12;
    int r = bus_ply_copy(b, first, std::max(count, 0), copies.p, st);
    if (r < 0) return r;
    struct timeval tv;
    char tc[TIME_TC_SIZE];
    out.reserve(copies.p->items.size());
    for (mivrabox_event *e : copies.p->items) {
        mivrabox_event &copy = *e;
        time_ms2tv(copy.start, &tv);
        time_tv2tc(&tv, tc);
        copy.start_time = tc;
        bus_event_text t;
        mivrabox_event_format_append(&copy, t.line);
        // The same bound as a single GetEvent.
        if (t.line.size() >= MIVRABOX_LINE_SIZE) t.line.resize(MIVRABOX_LINE_SIZE - 1);
        t.flags = int64_t(copy.flags.load());
        t.sys_id = copy.sys_id;
        t.start = copy.start;
        out.push_back(std::move(t));
    }
    return int(out.size());
}

int bus_ply_delete_event(bus *b, int64_t index, mivrabox_state *st) {
    return bus_ply_delete_events(b, 1, &index, st);
}

int bus_ply_delete_events(bus *b, int count, const int64_t *indexes, mivrabox_state *st) {
    std::unique_lock<bus_mutex> lk(b->lock);
    // Each deleted event gives its media reference back once, however often it is named.
    std::vector<int64_t> v;
    for (int i = 0; i < count; i++)
        if (indexes[i] >= 0 && indexes[i] < b->playlist->count()) v.push_back(indexes[i]);
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
    // Nothing to delete changes nothing: no pass over the media lists and the playlist.
    if (v.empty()) return fill(b, st, 0);
    bus_lib_defer(b);
    int64_t gone = 0;
    for (int64_t i : v) {
        park(b, int(i), int(i));
        gone += bus_event_dur_ms(at(b, int(i)));
        bus_ply_item_unregister(b, at(b, int(i)));
    }
    bus_lib_sweep(b);
    ply_delete_events(b->playlist, int(v.size()), v.data());
    // The event that now stands where the first one went follows a new end; from there the
    // starts were right before.
    bus_ply_total_add(b->playlist, -gone);
    bus_ply_times_mark(b, int(v.front()), int(v.front()));
    bus_ply_times_slice(b);
    if (b->lock.nested()) return fill(b, st, 0);
    lk.unlock();
    return settled(b, st, 0);
}

int bus_ply_at_sys_ids(bus *b, int n, const int64_t *sys_ids, mivrabox_state *st,
                       const std::function<int(const std::vector<int> &where)> &act) {
    // A hash look-up for every event of a large playlist under one hold would delay the
    // scheduler by as long: the events asked for are found by a visit, in short holds, each kept
    // alive by a reference; the final hold finds where they stand now by their pointers alone.
    struct hit {
        mivrabox_event *e = nullptr;
        size_t at = 0;  // index when the visit began
    };
    std::unordered_map<int64_t, hit> want;
    std::vector<mivrabox_event *> held;
    struct release {
        std::vector<mivrabox_event *> &v;
        ~release() {
            for (mivrabox_event *e : v) mivrabox_event_unref(&e);
        }
    } rel{held};
    int r = 0;
    try {
        want.reserve(size_t(std::max(n, 0)));
        for (int i = 0; i < n; i++) want.emplace(sys_ids[i], hit{});
        held.reserve(want.size());
    } catch (const std::bad_alloc &) {
        r = -12;
    }
    size_t pos = 0;
    if (r == 0 && !want.empty())
        r = bus_ply_visit(b, 0, -1, nullptr, nullptr, [&](mivrabox_event *e) {
            const size_t at = pos++;
            auto it = want.find(e->sys_id);
            // The first event of an id, as the look-up by index order gives.
            if (it == want.end() || it->second.e) return 0;
            mivrabox_event_ref(e);
            held.push_back(e);  // reserved: cannot throw
            it->second = {e, at};
            return 0;
        });
    if (r < 0) return fill(b, st, r);
    bool outer = false;
    {
        lock_t lk(b->lock);
        outer = b->lock.nested();
        const ply_list *ply = b->playlist;
        // Events that moved are placed by one scan of the pointers; those that left are not found.
        std::vector<std::pair<const mivrabox_event *, int>> moved;
        for (auto &[id, h] : want)
            if (h.e && (h.at >= ply->items.size() || ply->items[h.at] != h.e))
                moved.push_back({h.e, -2});
        if (!moved.empty()) {
            std::sort(moved.begin(), moved.end());
            for (int i = 0; i < ply->count(); i++) {
                auto it = std::lower_bound(
                    moved.begin(), moved.end(),
                    std::pair<const mivrabox_event *, int>{ply->items[size_t(i)], -2});
                if (it != moved.end() && it->first == ply->items[size_t(i)]) it->second = i;
            }
        }
        std::vector<int> where(size_t(std::max(n, 0)), -2);
        for (int i = 0; i < n; i++) {
            const hit &h = want[sys_ids[i]];
            if (!h.e) continue;
            if (h.at < ply->items.size() && ply->items[h.at] == h.e) {
                where[size_t(i)] = int(h.at);
                continue;
            }
            auto it = std::lower_bound(moved.begin(), moved.end(),
                                       std::pair<const mivrabox_event *, int>{h.e, -2});
            where[size_t(i)] = it->second;
        }
        r = act(where);
    }
    // What act left of the start times settles after that hold, unless the caller goes on
    // under the lock.
    if (r < 0 || outer) return r;
    return settled(b, st, r);
}

int bus_ply_delete_events2(bus *b, int count, const int64_t *sys_ids, mivrabox_state *st) {
    return bus_ply_at_sys_ids(b, count, sys_ids, st, [&](const std::vector<int> &where) {
        std::vector<int64_t> v;
        for (int idx : where)
            if (idx >= 0) v.push_back(idx);
        return bus_ply_delete_events(b, int(v.size()), v.data(), st);
    });
}

int bus_ply_delete_range(bus *b, int first, int last, mivrabox_state *st) {
    lock_t lk(b->lock);
    // Only events with a sys_id are deleted, so only theirs give their media back.
    park(b, first, last);
    bus_lib_defer(b);
    // The scheduler retires the events before the one it plays: taking a run off the front of
    // the playlist moves no start time after it, so only the total changes. A run taken out
    // further on moves the times after it up to the first event that keeps its start.
    bool whole = true;
    int64_t gone = 0;
    for (int i = std::max(first, 0); i <= last && i < b->playlist->count(); i++) {
        mivrabox_event *e = at(b, i);
        if (e->sys_id == 0) {
            whole = false;
            continue;
        }
        gone += bus_event_dur_ms(e);
        bus_ply_item_unregister(b, e);
    }
    bus_lib_sweep(b);
    const uint64_t shape = b->playlist->shape;
    const int before = b->playlist->count();
    int r = ply_delete_range(b->playlist, first, last);
    const bool front = whole && first <= 0;
    if (front) {
        // The index of fixed-time events moves with the run taken off, without a pass.
        if (before - b->playlist->count() == std::min(last, before - 1) + 1)
            bus_ply_ft_front_gone(b->playlist, std::min(last, before - 1) + 1, shape);
        bus_ply_start_time_recalc_front(b->playlist, gone);
    } else if (whole) {
        bus_ply_start_time_recalc_moved(b->playlist, first, gone);
    } else {
        bus_ply_start_time_recalc(b->playlist);
    }
    return fill(b, st, r);
}

int bus_ply_save(bus *b, const char *path, mivrabox_state *st) {
    // Copied in short holds, as the save thread copies it: a clone of every event in one hold
    // would keep the scheduler waiting for as long.
    ply_ref dup;
    if (ply_new(&dup.p) < 0) return -12;
    int r = bus_ply_copy(b, 0, -1, dup.p, st);
    if (r < 0) return r;
    for (int i = 0; i < dup.p->count(); i++) bus_ply_item_start_str(dup.p, i);
    return ply_save(dup.p, path);
}

int bus_ply_close(bus *b, mivrabox_state *st) {
    // The playlist is empty at once; its events give their media back after, in short holds.
    std::vector<mivrabox_event *> gone;  // the list's references
    {
        lock_t lk(b->lock);
        ply_list *ply = b->playlist;
        gone.swap(ply->items);
        ply->revision++;
        ply->shape++;
        ply->last_cued_sys_id = 0;
        ply->last_played_sys_id = 0;
        bus_ply_start_time_recalc(ply);
    }
    // The media left without a reference are swept once, after the last hold: a sweep reads
    // the whole media lists.
    constexpr int kHoldUs = 1000;
    size_t k = 0;
    bus_lib_defer(b);
    while (k < gone.size()) {
        lock_t lk(b->lock);
        auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(kHoldUs);
        while (k < gone.size()) {
            bus_ply_item_unregister(b, gone[k++]);
            if ((k & 3) == 0 && std::chrono::steady_clock::now() >= until) break;
        }
    }
    int r = 0;
    lib_object_sweepings dead;  // freed after the hold
    {
        lock_t lk(b->lock);
        bus_lib_sweep(b, &dead);
        // A visit under way may still read them: they go with the events it keeps. Without
        // the memory to list them they keep their references for good: a leak, not a freed
        // event read.
        if (b->visits > 0) {
            try {
                b->parked.insert(b->parked.end(), gone.begin(), gone.end());
            } catch (const std::bad_alloc &) {
            }
            gone.clear();
        }
        r = fill(b, st, 0);
    }
    for (mivrabox_event *e : gone) mivrabox_event_unref(&e);
    return r;
}

int bus_ply_take(bus *b, mivrabox_state *st) {
    lock_t lk(b->lock);
    if (b->playlist->count() == 0) return -2;
    b->take_req = 1;
    b->running = 1;
    return fill(b, st, 0);
}

int bus_ply_take_n(bus *b, int index, mivrabox_state *st) {
    lock_t lk(b->lock);
    if (b->playlist->count() == 0) return -2;
    b->running = 1;
    b->take_n = index;
    return fill(b, st, 0);
}

int bus_ply_fallback(bus *b, mivrabox_state *st) {
    lock_t lk(b->lock);
    if (b->playlist->count() == 0) return -2;
    b->fallback_req = 1;
    b->running = 1;
    return fill(b, st, 0);
}

int bus_ply_trimpad_event(bus *b, int delta, mivrabox_state *st) {
    std::unique_lock<bus_mutex> lk(b->lock);
    if (b->playlist->count() == 0) return -2;
    mivrabox_event *e = at(b, 0);
    int64_t d = int64_t(mivrabox_event_duration(e, 0)) + delta;
    if (d > 0 && d <= INT_MAX) {
        char tc[TC_TEXT_SIZE];
        const int64_t before = bus_event_dur_ms(e);
        e->duration = tc_frames2str(int(d), tc);
        bus_ply_item_start_str(b->playlist, 0);
        bus_ply_total_add(b->playlist, bus_event_dur_ms(e) - before);
        bus_ply_times_mark(b, 1, 1);
        bus_ply_times_slice(b);
        if (!b->lock.nested()) {
            lk.unlock();
            return settled(b, st, 0);
        }
    }
    return fill(b, st, 0);
}

int bus_ply_reset_events_tc(bus *b, int count, const int64_t *sys_ids, mivrabox_state *st) {
    return bus_ply_at_sys_ids(b, count, sys_ids, st, [&](const std::vector<int> &where) {
        int n = 0, lo = INT_MAX, hi = -1;
        int64_t longer = 0;  // by how much the events' durations grew
        for (int idx : where) {
            if (idx < 0) continue;
            mivrabox_event *e = at(b, idx);
            const int64_t before = bus_event_dur_ms(e);
            e->mark_in.clear();
            e->mark_out.clear();
            // Registered again for the range check, and the earlier reference given back, so the
            // media's count stays the number of events that use it.
            // One still waiting for its chunk registers here, and gives nothing back.
            const bool was = e->lib_owner.p == e;
            bus_ply_items_register(b, idx, idx + 1, false);  // times once below
            if (was) bus_lib_unregister(b, e->media_id.c_str());
            longer += bus_event_dur_ms(e) - before;
            lo = std::min(lo, idx);
            hi = std::max(hi, idx);
            n++;
        }
        if (n) {
            // The starts after the first event reset move; after the last one they were right.
            bus_ply_total_add(b->playlist, longer);
            bus_ply_times_mark(b, lo, hi + 1);
            bus_ply_times_slice(b);
            // The events' lines and flags changed: saved again, and what is kept of them is new.
            b->playlist->revision++;
        }
        return fill(b, st, 0);
    });
}

int bus_ply_flagged(bus *b, uint64_t mask, std::vector<bus_flagged> &out, mivrabox_state *st) {
    std::unordered_set<std::string> seen;
    int r = bus_ply_visit(b, 0, -1, st, nullptr, [&](const mivrabox_event *e) {
        try {
            if (!(e->flags & mask) || !seen.insert(e->media_id.str()).second) return 0;
            out.push_back({e->media_id.str(), e->start_time.str(), e->start});
        } catch (const std::bad_alloc &) {
            return -12;
        }
        return 0;
    });
    // An empty playlist leaves the state to be taken here.
    if (r == 0 && st) bus_ply_state(b, st);
    if (r < 0) out.clear();
    return r < 0 ? r : int(out.size());
}

int bus_ply_search_event(bus *b, const char *key, int start, int flags, mivrabox_state *st) {
    lock_t lk(b->lock);
    if (st) bus_ply_state(b, st);
    int count = b->playlist->count();
    if (start < -1) start = -1;
    if (!key || start >= count || flags == 0 || start + 1 >= count) return -2;
    auto hit = [key](const char *field) { return strcasestr(field, key) != nullptr; };
    const bool by_id = flags & BUS_SEARCH_SYS_ID;
    const int64_t id = by_id ? strtoll(key, nullptr, 10) : 0;
    for (int i = start + 1; i < count; i++) {
        const mivrabox_event *e = at(b, i);
        if ((flags & 1) && hit(e->title.c_str())) return i;
        if ((flags & 2) && hit(e->media_id.c_str())) return i;
        if ((flags & 4) && hit(e->assets.c_str())) return i;
        if (by_id && e->sys_id == id) return i;
        for (const mivrabox_meta_pair &p : e->pairs) {
            if ((flags & 8) && hit(p.key.c_str())) return i;
            if ((flags & 16) && hit(p.value.c_str())) return i;
        }
    }
    return -2;
}
