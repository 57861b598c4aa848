// Bus scheduler: follows the wall clock, cues ahead of time and plays on time.
#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bus.h"
#include "log.h"
#include "mivra.h"
#include "tc.h"
#include "wallclock.h"

namespace {

using lock_t = std::unique_lock<bus_mutex>;

constexpr uint64_t CUE_DONE = MIVRABOX_F_CUED | MIVRABOX_F_CUE_FAILED;
constexpr uint64_t MEDIA_KNOWN = MIVRABOX_F_PRESENT | MIVRABOX_F_ABSENT;

mivrabox_event *at(bus *b, int i) {
    return b->playlist->items[size_t(i)];
}

// Index of the event last cued or played (sys_id), -2 when none is set.
int index_of(const ply_list *ply, int64_t sys_id) {
    return sys_id > 0 ? ply_find_sys_id(ply, sys_id) : -2;
}

bool playing(const mivrabox_event *e) {
    return e->flags & MIVRABOX_F_PLAYING;
}

// Cue requested and the cue thread has not answered yet.
bool cue_running(const mivrabox_event *e) {
    uint64_t f = e->flags;
    return (f & MIVRABOX_F_CUE_REQ) && !(f & CUE_DONE);
}

void idle(bus *b) {
    if (b->hooks->idle) b->hooks->idle(b);
}

std::string tod_text(int64_t ms) {
    struct timeval tv;
    char tc[TIME_TC_SIZE];
    time_ms2tv(ms, &tv);
    time_tv2tc(&tv, tc);
    return tc;
}

using steady = std::chrono::steady_clock;
using std::chrono::microseconds;

constexpr microseconds kTurn{800};
// An absolute sleep wakes up to about 2 ms late on these machines: ahead of a play the scheduler
// sleeps to this much before its instant, takes the bus lock and closes in on the instant. At
// real-time priority it spins the whole way; at normal priority it sleeps again and spins only
// the last moment, since several busses often play at the same instant and their spins must not
// starve one another of processors.
constexpr microseconds kSpin{2000};
constexpr microseconds kSpinLast{150};

int64_t us_between(steady::time_point a, steady::time_point b) {
    return std::chrono::duration_cast<std::chrono::microseconds>(b - a).count();
}

// What the scheduler measures of itself when bus_stats_on(): the period of its turns (apart
// from the turns that waited before a cue or played, which sleep by design) and its longest
// wait for the bus lock at the start of a turn.
struct sched_stats {
    std::vector<int64_t> period = std::vector<int64_t>(20001);  // turns by period in us
    int64_t turns = 0, longest = 0, lock_wait = 0;

    void add(int64_t us) {
        period[size_t(std::clamp<int64_t>(us, 0, int64_t(period.size()) - 1))]++;
        longest = std::max(longest, us);
        turns++;
    }
    int64_t at(double share) const {
        int64_t n = 0, want = int64_t(double(turns) * share);
        for (size_t i = 0; i < period.size(); i++)
            if ((n += period[i]) > want) return int64_t(i);
        return longest;
    }
    void report(bus *b) const {
        log_msg(LOG_INFO,
                "%s[%d] stats: turn period us median %ld p99 %ld max %ld over %ld turns; "
                "longest bus lock hold us: scheduler %ld, others %ld; longest lock wait of a "
                "turn us %ld; longest hold on the CPU us: scheduler %ld, others %ld",
                "bus_ply_proc", b->index, long(at(0.5)), long(at(0.99)), long(longest), long(turns),
                long(b->lock.longest_us(true)), long(b->lock.longest_us(false)), long(lock_wait),
                long(b->lock.longest_cpu_us(true)), long(b->lock.longest_cpu_us(false)));
    }
};

// What the scheduler keeps between turns.
struct sched {
    bus *b;
    int64_t fallback = -1;  // sys_id of the first event of a pending fallback
    int64_t take = -1;      // sys_id of the target of a take waiting for its cue
    bool take_waiting = false;
    std::chrono::steady_clock::time_point take_since{};  // the take began to wait for its cue
    // sys_id of an event that was due while its cue still ran: it plays as soon as the cue
    // answers, and is not dropped as overdue meanwhile.
    int64_t due = -1;
    std::chrono::steady_clock::time_point due_since{};  // when it was found due
    // The turn waited before a cue or played: it sleeps by design.
    bool slept = false;
    // Bus clock instant (microseconds) at which the cued candidate of the last pass falls due,
    // -1 for none: the scheduler wakes for it rather than at its next turn.
    int64_t play_at = -1;
    bool realtime = false;                 // the thread runs at real-time priority
    std::unique_ptr<sched_stats> stats{};  // when bus_stats_on()

    // Takes the bus lock into lk, counting the wait.
    void lock(lock_t &lk) {
        auto asked = stats ? steady::now() : steady::time_point{};
        lk = lock_t(b->lock);
        if (stats) stats->lock_wait = std::max(stats->lock_wait, us_between(asked, steady::now()));
    }

    // Overdue for dropping only a frame after its start: the turn in which the start passes
    // plays a cued event first, and one due while its cue runs waits for that cue.
    bool overdue(const mivrabox_event *e, int64_t now) const {
        if (cue_running(e) || e->sys_id == due) return false;
        return e->start < now - tc_frames2ms(1);
    }
};

// Reads the bus folder's fallback playlist when one was asked for and none is pending.
ply_list *fallback_load(sched &s) {
    bus *b = s.b;
    {
        lock_t lk(b->lock);
        if (!b->fallback_req || s.fallback >= 0) return nullptr;
        b->fallback_req = 0;
    }
    std::string path;
    ply_list *l = nullptr;
    int r = path_join(path, b->path.view(), "fallback.ply");
    if (r == 0) r = ply_load(&l, path.c_str());
    log_msg(LOG_INFO, "%s: FALLBACK happens, path=[%s], r=%d", "bus_ply_proc", path.c_str(), r);
    if (r < 0 && l) ply_free(&l);
    return r < 0 ? nullptr : l;
}

// The fallback sequence follows the current event, then the interrupted event airs again.
void fallback_insert(sched &s, ply_list *l) {
    bus *b = s.b;
    ply_list *ply = b->playlist;
    // An empty fallback playlist changes nothing: a lone copy of the current event would only
    // be taken for it.
    if (l->count() == 0) {
        ply_free(&l);
        return;
    }
    int k = ply->count() > 0 ? 1 : 0;
    if (k) {
        mivrabox_event *copy = mivrabox_event_clone(at(b, 0));
        if (copy) {
            copy->start = 0;
            copy->flags = 0;
            l->items.push_back(copy);
        }
    }
    for (int j = 0; j < l->count(); j++) {
        mivrabox_event *e = l->items[size_t(j)];
        e->flags = 0;
        int idx = ply_insert_event(ply, e, k + j, 1);
        if (idx >= 0) bus_ply_item_register(b, at(b, idx));
    }
    bus_ply_start_time_recalc(ply);
    if (k < ply->count()) s.fallback = at(b, k)->sys_id;
    ply_free(&l);
}

void take_start(sched &s, int t) {
    bus *b = s.b;
    log_msg(LOG_INFO, "%s: TAKE next_idx=%d, start=%s", "bus_ply_proc", t,
            tod_text(at(b, t)->start).c_str());
    s.take = at(b, t)->sys_id;
    s.take_waiting = false;
}

// Take decision of a turn, under the lock: a new request replaces a waiting take.
void take_decide(sched &s) {
    s.b->lock.assert_held();
    bus *b = s.b;
    ply_list *ply = b->playlist;
    if (b->take_req) {
        b->take_req = 0;
        int t = ply->count() > 0 && playing(at(b, 0)) ? 1 : 0;
        if (t < ply->count()) take_start(s, t);
        return;
    }
    if (b->take_n) {
        int n = b->take_n;
        b->take_n = 0;
        // An index past the end takes nothing.
        if (n >= 0 && n < ply->count()) take_start(s, n);
        return;
    }
    if (s.fallback >= 0 && s.take < 0) {
        int f = ply_find_sys_id(ply, s.fallback);
        if (f < 0) {
            s.fallback = -1;
        } else if (at(b, f)->flags & MEDIA_KNOWN) {
            log_msg(LOG_INFO, "%s: fallback to next_idx=%d", "bus_ply_proc", f);
            s.fallback = -1;
            take_start(s, f);
        }
    }
}

// Runs a waiting take one step; true while it still waits (the turn does nothing else).
bool take_step(sched &s) {
    bus *b = s.b;
    ply_list *ply = b->playlist;
    if (s.take < 0) return false;
    int t = ply_find_sys_id(ply, s.take);
    if (t < 0) {
        log_msg(LOG_ERROR, "%s: taken event left the playlist, take dropped", "bus_ply_proc");
        s.take = -1;
        return false;
    }
    mivrabox_event *e = at(b, t);
    // Its media state still unknown: cued as soon as it is known.
    if (!(e->flags & MEDIA_KNOWN)) return true;
    bool requested = ply->last_cued_sys_id == e->sys_id && (e->flags & MIVRABOX_F_CUE_REQ);
    bool wait = b->hooks->take_waits_requested || s.take_waiting;
    if (!requested) {
        _send_cue(b, t);
        wait = true;
    }
    if (wait && !(e->flags & CUE_DONE)) {
        auto now = std::chrono::steady_clock::now();
        if (!s.take_waiting) {
            log_msg(LOG_INFO, "%s: waiting until item (e=%p) been cued...", "bus_ply_proc",
                    (void *)e);
            s.take_since = now;
        }
        s.take_waiting = true;
        // The lock is let go between turns, so control calls go on meanwhile; a player that
        // never answers must not hold the take for ever.
        int limit = b->hooks->take_cue_wait_ms;
        if (limit <= 0 || now - s.take_since < std::chrono::milliseconds(limit)) return true;
        log_msg(LOG_ERROR, "%s: item (e=%p) not cued after %d ms, playing it all the same",
                "bus_ply_proc", (void *)e, limit);
    }
    if (wait) log_msg(LOG_INFO, "%s: item been cued...", "bus_ply_proc");
    s.take = -1;
    if (t > 0) {
        if (playing(at(b, 0))) {
            bus_ply_item2arl(b, 0, e->sys_id);
            // Written here: the play below must not write it again (a fallback copy of the
            // current event shares its sys_id).
            ply->last_played_sys_id = -1;
        }
        t = ply_find_sys_id(ply, e->sys_id);
        bus_ply_delete_range(b, 0, t - 1, nullptr);
    }
    e->start = bus_now_ms(b);
    bus_ply_item_start_str(ply, 0);
    bus_ply_start_time_recalc_moved(ply, 0, 0);
    s.slept = true;
    _send_play(b, 0);
    return false;
}

// The 500 ms before a cue, with the lock held. The graphics layers keep their own pace meanwhile:
// in and out points fall inside this wait too, most of all right after a play. True when the
// bus is stopping.
bool cue_lead_wait(bus *b) {
    b->lock.assert_held();
    using clock = std::chrono::steady_clock;
    if (b->hooks->cue_lead_ms <= 0) return b->exit != 0;
    const auto end = clock::now() + std::chrono::milliseconds(b->hooks->cue_lead_ms);
    for (;;) {
        idle(b);
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clock::now());
        if (left.count() <= 0) return b->exit != 0;
        if (bus_sleep(b, int(std::min<int64_t>(left.count(), 1)))) return true;
    }
}

// A due event whose cue has not answered after waited: whether it plays now, as cue failed.
// Past a player call's bound it always does; with spare_next_cue also once the next event's
// cue, on the other player, would otherwise come too late for its start.
constexpr std::chrono::milliseconds kDueCueMin{200};     // a healthy player's late answer
constexpr std::chrono::milliseconds kNextCueSpare{250};  // the next cue's own answer
bool due_wait_over(const sched &s, int c, steady::duration waited) {
    bus *b = s.b;
    if (waited >= std::chrono::milliseconds(MIVRA_BOUND_PLAYER_MS)) return true;
    if (!b->hooks->spare_next_cue || waited < kDueCueMin || c + 1 >= b->playlist->count())
        return false;
    const mivrabox_event *next = at(b, c + 1);
    if (next->start_mode == 'M') return false;
    const int64_t lead_ms = int64_t(b->io_delay) + b->hooks->cue_lead_ms + kNextCueSpare.count();
    return bus_now_us(b) >= (next->start - lead_ms) * 1000;
}

// Cue or play of the candidate c of a pass.
void pick(sched &s, int c) {
    bus *b = s.b;
    mivrabox_event *e = at(b, c);
    if (e->flags & MIVRABOX_F_CUE_REQ) {
        const int64_t due =
            e->start * 1000 - (int64_t(b->io_delay) * 1000 - b->hooks->play_trim_us);
        if (bus_now_us(b) < due) {
            if (!cue_running(e)) s.play_at = due;
            return;
        }
        // The play goes to the player that was cued: wait for the cue to answer, but no longer
        // than a player call may take, since a cue that never answers never fails by itself.
        if (cue_running(e)) {
            auto now_steady = std::chrono::steady_clock::now();
            if (s.due != e->sys_id) {
                s.due = e->sys_id;
                s.due_since = now_steady;
            }
            const auto waited = now_steady - s.due_since;
            if (!due_wait_over(s, c, waited)) return;
            const long waited_ms =
                long(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count());
            log_msg(LOG_ERROR,
                    "%s: item (e=%p) not cued %ld ms after it was due, playing it as cue failed",
                    "bus_ply_proc", (void *)e, waited_ms);
            e->flags |= MIVRABOX_F_CUE_FAILED;
        }
        s.due = -1;
        s.slept = true;
        _send_play(b, c);
        return;
    }
    // Nothing would be sent for a media still being resolved: no reason to hold the lock.
    if (!(e->flags & MEDIA_KNOWN)) return;
    s.slept = true;
    if (cue_lead_wait(b)) return;
    _send_cue(b, c);
}

// Whether the bus may run a pass; a bus that may not is paused.
bool pass_ready(sched &s) {
    bus *b = s.b;
    if (!b->running) {
        b->time_to_next = 0;
        return false;
    }
    if (!(b->hooks->ready ? b->hooks->ready(b) : !b->lib_url.empty()) ||
        b->playlist->count() == 0) {
        b->running = 0;
        log_msg(LOG_INFO, "%s[%d] bus paused", "bus_ply_proc", b->index);
        b->time_to_next = 0;
        return false;
    }
    return true;
}

// The last of the overdue events from first on up to the next fixed-time one; the event after
// them keeps its time as a fixed-time event.
int overdue_run(sched &s, int first, int64_t now) {
    bus *b = s.b;
    const int count = b->playlist->count();
    int l = first;
    while (l + 1 < count && at(b, l + 1)->start_mode != 'F' && s.overdue(at(b, l + 1), now)) l++;
    if (l + 1 < count && at(b, l + 1)->start_mode != 'F') {
        at(b, l + 1)->start_mode = 'F';
        b->playlist->shape++;
    }
    return l;
}

// Removes the events that can no longer air (d: whether the first one is playing); true when
// it removed any.
bool drop_stale(sched &s, int d, int64_t now) {
    bus *b = s.b;
    ply_list *ply = b->playlist;
    if (d && ply->count() == 1) {
        mivrabox_event *e = at(b, 0);
        if (e->start + bus_event_dur_ms(e) + b->io_delay < now) {
            bus_ply_item2arl(b, 0);
            bus_ply_delete_range(b, 0, 0, nullptr);
            return true;
        }
    }
    int f = bus_ply_next_ft_idx(ply, d);
    if (f >= 0 && s.overdue(at(b, f), now)) {
        int l = overdue_run(s, f, now);
        log_msg(LOG_INFO, "%s: dropping FT events range [%d, %d] of {%s, %s}", "bus_ply_proc", d, l,
                at(b, d)->start_time.c_str(), at(b, l)->start_time.c_str());
        bus_ply_delete_range(b, d, l, nullptr);
        return true;
    }
    if (!d) {
        mivrabox_event *e0 = at(b, 0);
        if (e0->start_mode == 'M' || !s.overdue(e0, now)) return false;
        int l = 0;
        while (l + 1 < ply->count() && s.overdue(at(b, l + 1), now)) l++;
        log_msg(LOG_INFO, "%s: dropping FOLLOW outdated events range [%d, %d] of {%s, %s}",
                "bus_ply_proc", 0, l, e0->start_time.c_str(), at(b, l)->start_time.c_str());
        bus_ply_delete_range(b, 0, l, nullptr);
        return true;
    }
    // An event whose start passed before its cue was even asked for (its player held up the
    // one before) can no longer air: it goes with the follow events behind it that passed too,
    // and the next one keeps its time as a fixed-time event.
    mivrabox_event *e1 = ply->count() > 1 ? at(b, 1) : nullptr;
    if (!b->hooks->spare_next_cue || !e1 || e1->start_mode == 'M' ||
        (e1->flags & MIVRABOX_F_CUE_REQ) || !s.overdue(e1, now))
        return false;
    int l = overdue_run(s, 1, now);
    log_msg(LOG_INFO, "%s: dropping FOLLOW outdated events range [%d, %d] of {%s, %s}",
            "bus_ply_proc", 1, l, e1->start_time.c_str(), at(b, l)->start_time.c_str());
    bus_ply_delete_range(b, 1, l, nullptr);
    return true;
}

// One normal pass; true when it is to run again.
bool pass(sched &s) {
    bus *b = s.b;
    ply_list *ply = b->playlist;
    int64_t now = bus_now_ms(b);
    if (!pass_ready(s)) return false;
    const int d = playing(at(b, 0)) ? 1 : 0;
    if (drop_stale(s, d, now)) return true;
    // The candidate: the first event not playing, or the next fixed-time one when it comes
    // first; a manual one waits for its take, the fixed-time ones do not.
    const int f = bus_ply_next_ft_idx(ply, d);
    int c = d;
    const bool manual = ply->count() <= d || at(b, d)->start_mode == 'M';
    if (manual) {
        if (f >= 0) pick(s, f);
    } else {
        if (f >= 0 && at(b, f)->start < at(b, c)->start) c = f;
        pick(s, c);
    }
    b->time_to_next = bus_ply_time_to_next(ply, bus_now_ms(b));
    idle(b);
    return false;
}

}  // namespace

int64_t bus_ply_time_to_next(const ply_list *ply, int64_t now) {
    if (ply->count() == 0) return 0;
    int i = index_of(ply, ply->last_played_sys_id);
    if (i >= 0) {
        const mivrabox_event *e = ply->items[size_t(i)];
        return e->start + bus_event_dur_ms(e) - now;
    }
    i = index_of(ply, ply->last_cued_sys_id);
    if (i >= 0) return ply->items[size_t(i)]->start - now;
    return 0;
}

int _send_cue(bus *b, int index) {
    lock_t lk(b->lock);
    ply_list *ply = b->playlist;
    if (index < 0 || index >= ply->count()) return -22;
    mivrabox_event *e = at(b, index);
    if (!(e->flags & MEDIA_KNOWN)) {
        if (b->hooks->note)
            b->hooks->note(b, bus_note::cue_refused, e, e->media_id.c_str(), -11);
        else
            bus_note_log(b, bus_note::cue_refused, e, e->media_id.c_str(), -11);
        return -11;
    }
    int last = index_of(ply, ply->last_cued_sys_id);
    if (last >= 0) {
        at(b, last)->flags &= ~(MIVRABOX_F_CUE_REQ | CUE_DONE);
        log_msg(LOG_INFO, "%s: unsetting CUE flags of event idx=%d at %s", "_send_cue", last,
                at(b, last)->start_time.c_str());
        ply->revision++;
    }
    log_msg(LOG_INFO, "%s: CUE event idx=%d at %s", "_send_cue", index, e->start_time.c_str());
    if (b->hooks->cue) b->hooks->cue(b, e);
    ply->revision++;
    ply->last_cued_sys_id = e->sys_id;
    return 0;
}

int _send_play(bus *b, int index) {
    lock_t lk(b->lock);
    ply_list *ply = b->playlist;
    if (index < 0 || index >= ply->count()) return -22;
    mivrabox_event *e = at(b, index);
    int64_t sys_id = e->sys_id;
    if (sys_id == ply->last_cued_sys_id) ply->last_cued_sys_id = -1;
    log_msg(LOG_INFO, "%s: PLAY event idx=%d at [%s]", "_send_play", index, e->start_time.c_str());
    e->flags &= ~uint64_t(MIVRABOX_F_PLAY_FAILED | MIVRABOX_F_ON_AIR);
    e->flags |= MIVRABOX_F_PLAYING;
    if (b->hooks->play) b->hooks->play(b, e);
    int last = index_of(ply, ply->last_played_sys_id);
    if (last >= 0 && last != index)
        bus_ply_item2arl(b, last, sys_id);
    else
        log_msg(LOG_INFO, "%s: nothing to send to as run log", "_send_play");
    ply->last_played_sys_id = sys_id;
    // The as-run step may have put a gap filler's repeat in; the event is found again.
    index = ply_find_sys_id(ply, sys_id);
    if (index > 0) {
        bus_ply_delete_range(b, 0, index - 1, nullptr);
        ply->revision++;
    }
    return 0;
}

namespace {

void sleep_until(steady::time_point t) {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
    if (ns <= 0) return;
    struct timespec ts = {time_t(ns / 1000000000), long(ns % 1000000000)};
    // The steady clock is CLOCK_MONOTONIC.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// Waits for the next turn, or for the play instant of the last pass when it comes first: then
// the bus lock is taken ahead of the instant (held receives it) and the rest is spun, so that
// the play leaves on its instant whatever control call held the lock just before.
void wait_turn(sched &s, steady::time_point next, lock_t &held) {
    bus *b = s.b;
    if (s.play_at >= 0) {
        const auto at = steady::now() + microseconds(s.play_at - bus_now_us(b));
        if (at - kSpin < next) {
            sleep_until(at - kSpin);
            s.lock(held);
            // Bounded by the steady clock too: a wall clock set back must not hold the lock.
            for (;;) {
                int64_t left = s.play_at - bus_now_us(b);
                if (left <= 0 || steady::now() >= at + kSpin || b->exit) break;
                if (!s.realtime && left > kSpinLast.count())
                    sleep_until(steady::now() + microseconds(left) - kSpinLast);
                else
                    std::this_thread::yield();
            }
            return;
        }
    }
    sleep_until(next);
}

}  // namespace

void bus_ply_proc(bus *b) {
    log_msg(LOG_INFO, "%s[%d] started", "bus_ply_proc", b->index);
    bus_lock_scheduler_thread();
    // Timer slack as small as the kernel allows: the wake-ups ahead of a play count.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    sched s{b};
    s.realtime = bus_thread_realtime(true);
    if (bus_stats_on()) s.stats = std::make_unique<sched_stats>();
    sched_stats *stats = s.stats.get();
    steady::time_point last{};
    lock_t held;  // the bus lock when it was taken ahead of a play
    while (!b->exit) {
        const auto start = steady::now();
        if (stats) {
            if (last != steady::time_point{} && !s.slept) stats->add(us_between(last, start));
            last = start;
        }
        s.slept = false;
        s.play_at = -1;
        // The fallback file is read without the lock: a play turn leaves it to the next turn.
        ply_list *fb = held.owns_lock() ? nullptr : fallback_load(s);
        {
            lock_t lk;
            s.lock(lk);
            if (fb) fallback_insert(s, fb);
            take_decide(s);
            if (!take_step(s))
                while (pass(s) && !b->exit) {
                }
        }
        b->play_at_us = s.play_at;
        if (held.owns_lock()) held.unlock();
        // Turns keep their period on an absolute deadline; one that ran long is followed at once.
        wait_turn(s, std::max(start + kTurn, steady::now()), held);
    }
    if (held.owns_lock()) held.unlock();
    if (stats) stats->report(b);
    log_msg(LOG_INFO, "%s[%d] finished", "bus_ply_proc", b->index);
}
