// The state's times to the first future event of four kinds: absent, of type C, of type L, of
// fixed time. A pass over a large playlist costs milliseconds (a cache miss or more per event),
// so what a pass found is kept against the playlist's shape and revision and resumed while only
// time moves on; the passes run in short holds of the lock before GetState takes it for its state.
#include <algorithm>
#include <new>

#include "box1_bus.h"
#include "tc.h"

namespace {

using lock_t = std::lock_guard<bus_mutex>;

enum { ABSENT, TYPE_C, TYPE_L, FIXED };

// A kind's search ends at its first event starting past this far after the pass: time must come
// this close before a new pass is needed.
constexpr int64_t kHorizonMs = 60000;
// Events a state fill looks at itself in its one hold, from the front of the playlist, when the
// pass does not answer: the answer for them is always that of the moment.
constexpr int kNearEvents = 2048;
// A pass made before the playlist changed still answers, for events further on than that, for
// this long after it ended; for an older one the fill looks further itself.
constexpr int64_t kStaleMs = 1000;
// How much further: past these events the last pass answers, however old (GetState makes a new
// one before its hold), so that no fill holds the lock as long as a long playlist.
constexpr int kFarEvents = 16384;
// Ends a visit once every kind is found.
constexpr int kEnough = -1000;

bool is_kind(const mivrabox_event *e, int k) {
    switch (k) {
        case ABSENT:
            return e->flags & MIVRABOX_F_ABSENT;
        case TYPE_C:
            return e->event_type == 'C';
        case TYPE_L:
            return e->event_type == 'L';
        default:
            return e->start_mode == 'F';
    }
}

// An event is registered once its media state is known: until then its absent flag may come
// without a change of the revision.
bool registered(const mivrabox_event *e) {
    return e->lib_owner.p == e;
}

// Looks at event e, at index i, for the kinds of r still open (as of r.at_ms); false once every
// kind is closed. Throws bad_alloc.
bool look(box1_remain &r, bool open[BOX1_REMAIN_KINDS], mivrabox_event *e, int i) {
    bool any = false;
    for (int k = 0; k < BOX1_REMAIN_KINDS; k++) {
        if (!open[k] || i < r.next[k]) {
            any |= open[k];
            continue;
        }
        r.next[k] = i + 1;
        if (e->start > r.at_ms) {
            if (k == ABSENT && !registered(e)) r.unsettled = true;
            if (is_kind(e, k)) {
                r.found[k].push_back(e);
                mivrabox_event_ref(e);
                if (e->start > r.at_ms + kHorizonMs) open[k] = false;
            }
        }
        any |= open[k];
    }
    return any;
}

bool same_list(const box1_remain &r, const ply_list *ply) {
    return !r.mixed && r.shape == ply->shape && r.revision == ply->revision.load();
}

void remain_text(btext<33> &out, int64_t ms) {
    char tc[TC_TEXT_SIZE];
    out = tc_frames2str(tc_sec2frames(double(ms) / 1000.0), tc);
}

}  // namespace

box1_remain::~box1_remain() {
    clear();
}

void box1_remain::clear() {
    for (std::vector<mivrabox_event *> &v : found) {
        for (mivrabox_event *e : v) mivrabox_event_unref(&e);
        v.clear();
    }
    std::fill(std::begin(next), std::end(next), 0);
    mixed = true;
    unsettled = false;
}

void box1_remain::swap(box1_remain &o) noexcept {
    for (int k = 0; k < BOX1_REMAIN_KINDS; k++) {
        found[k].swap(o.found[k]);
        std::swap(next[k], o.next[k]);
    }
    std::swap(shape, o.shape);
    std::swap(revision, o.revision);
    std::swap(count, o.count);
    std::swap(at_ms, o.at_ms);
    std::swap(done_ms, o.done_ms);
    std::swap(mixed, o.mixed);
    std::swap(unsettled, o.unsettled);
}

void box1_remain_refresh(box1_bus *b) {
    box1_remain mine;
    bool open[BOX1_REMAIN_KINDS];
    int from;
    {
        lock_t lk(b->lock);
        const ply_list *ply = b->playlist;
        const box1_remain &c = b->remain;
        const int64_t now = bus_now_ms(b);
        const bool same = same_list(c, ply) && now >= c.at_ms;
        mine.shape = ply->shape;
        mine.revision = ply->revision.load();
        mine.count = ply->count();
        mine.at_ms = now;
        mine.mixed = false;
        from = mine.count;
        try {
            for (int k = 0; k < BOX1_REMAIN_KINDS; k++) {
                open[k] = true;
                // Only time moved on: what was found still ahead is kept, the search goes on
                // from where it stopped.
                if (same && !(k == ABSENT && c.unsettled)) {
                    for (mivrabox_event *e : c.found[k]) {
                        if (e->start <= now) continue;
                        mine.found[k].push_back(e);
                        mivrabox_event_ref(e);
                    }
                    mine.next[k] = c.next[k];
                    const std::vector<mivrabox_event *> &f = mine.found[k];
                    open[k] = c.next[k] < mine.count &&
                              (f.empty() || f.back()->start <= now + kHorizonMs / 2);
                }
                if (open[k]) from = std::min(from, mine.next[k]);
            }
        } catch (const std::bad_alloc &) {
            return;
        }
        // Nothing to look at: what is kept is as of now.
        if (from >= mine.count) {
            mine.done_ms = now;
            b->remain.swap(mine);
            return;
        }
    }
    int pos = from;
    int r = bus_ply_visit(b, from, -1, nullptr, nullptr, [&](mivrabox_event *e) {
        // Under the lock; a change meanwhile leaves an answer that is a little old.
        if (!same_list(mine, b->playlist)) mine.mixed = true;
        try {
            return look(mine, open, e, pos++) ? 0 : kEnough;
        } catch (const std::bad_alloc &) {
            return -12;
        }
    });
    if (r < 0 && r != kEnough) return;
    lock_t lk(b->lock);
    mine.done_ms = bus_now_ms(b);
    // The newest pass is kept; the one it replaces lets go of its events after the hold.
    if (b->remain.mixed || mine.at_ms >= b->remain.at_ms) b->remain.swap(mine);
}

void box1_remain_fill(box1_bus *b, mivrabox_state *st, int64_t now) {
    b->lock.assert_held();
    const ply_list *ply = b->playlist;
    const box1_remain &c = b->remain;
    const int count = ply->count();
    const mivrabox_event *ans[BOX1_REMAIN_KINDS] = {};
    bool known[BOX1_REMAIN_KINDS] = {};
    int start[BOX1_REMAIN_KINDS] = {};  // the first index the fill looks at itself, per kind
    int unknown = BOX1_REMAIN_KINDS;
    auto answer = [&](int k, const mivrabox_event *e) {
        ans[k] = e;
        known[k] = true;
        unknown--;
    };
    auto first_after = [&](int k) -> const mivrabox_event * {
        for (const mivrabox_event *e : c.found[k])
            if (e->start > now && is_kind(e, k)) return e;
        return nullptr;
    };
    // The playlist is as the pass saw it: its answer holds, and where a kind's events found are
    // all past, its search goes on from where it stopped.
    if (same_list(c, ply) && now >= c.at_ms) {
        for (int k = 0; k < BOX1_REMAIN_KINDS; k++) {
            if (k == ABSENT && c.unsettled) continue;
            const mivrabox_event *e = first_after(k);
            if (e || c.next[k] >= count)
                answer(k, e);
            else
                start[k] = c.next[k];
        }
    }
    // The fill's own look, at most kNearEvents events: exact for them.
    auto scan = [&](int from, int end) {
        for (int i = from; i < end && unknown > 0; i++) {
            const mivrabox_event *e = ply->items[size_t(i)];
            if (e->start <= now) continue;
            for (int k = 0; k < BOX1_REMAIN_KINDS; k++)
                if (!known[k] && i >= start[k] && is_kind(e, k)) answer(k, e);
        }
    };
    auto lowest = [&] {
        int lo = count;
        for (int k = 0; k < BOX1_REMAIN_KINDS; k++)
            if (!known[k]) lo = std::min(lo, start[k]);
        return lo;
    };
    const int lo = lowest();
    const int near_end = std::min(count, lo + kNearEvents);
    scan(lo, near_end);
    // Further on, a pass that ended a moment ago answers, as the playlist was then (a pass that
    // waited long for the lock between its holds is as recent as its end; one that met events
    // not yet registered answers as they were then, none of them absent yet, as a look now at
    // those still unregistered would).
    if (unknown > 0 && c.at_ms <= now && now - c.done_ms <= kStaleMs) {
        for (int k = 0; k < BOX1_REMAIN_KINDS; k++) {
            if (known[k]) continue;
            const mivrabox_event *e = first_after(k);
            if (e || c.next[k] >= c.count) answer(k, e);
        }
    }
    // Else the fill looks further itself, and past that the pass answers as it can.
    if (unknown > 0) {
        const int from = std::max(near_end, lowest());
        const int far_end = int(std::min<int64_t>(count, int64_t(from) + kFarEvents));
        scan(from, far_end);
        for (int k = 0; k < BOX1_REMAIN_KINDS && unknown > 0 && far_end < count; k++)
            if (!known[k] && c.at_ms <= now) answer(k, first_after(k));
    }
    btext<33> *out[BOX1_REMAIN_KINDS] = {&st->absent_remain, &st->type_C_remain, &st->type_L_remain,
                                         &st->fixed_time_remain};
    for (int k = 0; k < BOX1_REMAIN_KINDS; k++) {
        out[k]->clear();
        if (ans[k]) remain_text(*out[k], ans[k]->start - now);
    }
}
