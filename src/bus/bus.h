// The bus: one playout channel with its playlist, media lists, service addresses and threads.
// Each daemon extends the record with its own fields and plugs its differences in through
// bus_hooks.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <cstdint>
#include <mutex>
#include <source_location>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "bus_deps.h"
#include "pi_mutex.h"
#include "text.h"

struct bus;

// The bus lock: recursive, and priority-inheriting, so that a control call holding it when the
// real-time scheduler asks for it runs at the scheduler's priority until it lets go. With
// MIVRA_BUS_STATS set in the daemon's environment it also keeps the longest time it was held,
// apart for the scheduler (whose cue lead and play hold it by design) and for every other thread
// (control calls, media, save and cue threads).
class bus_mutex {
   public:
    void lock();
    bool try_lock();
    void unlock();
    // Lets go every hold of the calling thread, which must hold the lock, and returns how many
    // there were; reacquire takes them back. For a call that must not keep the lock across a wait
    // whatever its callers took.
    int release_all();
    void reacquire(int holds);
    // For the thread holding the lock: whether it held it already before its latest take (its
    // caller goes on under the lock after it returns).
    bool nested() const { return depth_ > 1; }
    // Debug and sanitizer builds (no NDEBUG): aborts, naming the caller, unless the calling
    // thread holds the lock; at the entry of the functions that rely on their caller's hold.
    // Release builds check nothing.
#ifdef NDEBUG
    void assert_held(std::source_location = std::source_location::current()) const {}
#else
    void assert_held(std::source_location where = std::source_location::current()) const;
#endif
    // Longest hold in microseconds, of the scheduler or of the other threads.
    int64_t longest_us(bool scheduler) const {
        return longest_[scheduler ? 1 : 0].load();
    }
    // The longest time on the CPU of the holding thread within one hold: a hold longer than its
    // time on the CPU was preempted by other work of the machine (while the scheduler waits,
    // the holder runs at its priority).
    int64_t longest_cpu_us(bool scheduler) const {
        return longest_cpu_[scheduler ? 1 : 0].load();
    }
    // Forgets the longest holds: the figures then cover the bus from here on.
    void longest_reset() {
        longest_[0] = 0;
        longest_[1] = 0;
        longest_cpu_[0] = 0;
        longest_cpu_[1] = 0;
    }

   private:
    void taken();
    pi_mutex mu_{true};
    int depth_ = 0;  // under mu_
#ifndef NDEBUG
    // The holding thread; only it writes its own id here, so a thread reads its own id back
    // only while it holds the lock.
    std::atomic<std::thread::id> owner_{};
#endif
    std::chrono::steady_clock::time_point since_;
    int64_t cpu_since_ = 0;  // the holder's CPU time in microseconds when it took the lock
    std::atomic<int64_t> longest_[2] = {};
    std::atomic<int64_t> longest_cpu_[2] = {};
};
// Whether MIVRA_BUS_STATS was set when the process started.
bool bus_stats_on();
// The calling thread's lock holds count as the scheduler's.
void bus_lock_scheduler_thread();
// Puts the calling thread on a real-time priority (on) or back on the normal one; true when the
// thread now runs at the priority asked for. The scheduler runs on it, so that the rest of the
// machine's load never holds up a play. Without the privilege the thread runs on at its normal
// priority (logged once per process).
bool bus_thread_realtime(bool on);
// Starts fn(arg) on a thread that runs at the normal priority from its first instruction,
// whatever the caller's (a real-time scheduler would pass its own on). 0 or a negated errno.
int bus_thread_normal(pthread_t *th, void *(*fn)(void *), void *arg);
// Starts fn(arg) one real-time step below the caller when the caller runs real-time, else like
// bus_thread_normal: work that must leave at the scheduler's instant (a play over a player's
// control calls) then waits neither for the machine's normal threads nor, moved to another
// processor, for the scheduler's own next turn. 0 or a negated errno.
int bus_thread_below(pthread_t *th, void *(*fn)(void *), void *arg);

// Lines that one daemon words its own way; the engine writes its own when a daemon has no note
// hook.
enum class bus_note {
    lookup_failed,    // a media lookup of the queue thread failed with r (not -2)
    absent_released,  // the last reference of an absent media went
    cue_refused,      // the scheduler could not cue e: its media state is not known yet
};

// Where the daemons differ. Each daemon states its differences in one static const table that
// its busses point to; a null function or a zero value is the engine's neutral behaviour.
struct bus_hooks {
    // Wherever the engine reads the clock of event times: microseconds since the epoch (null: the
    // system clock plus the process's clock advance).
    int64_t (*now_us)(const bus *b) = nullptr;
    // Scheduler, under the bus lock: hands an event to the players ahead of its start (cue) and
    // at its start (play).
    int (*cue)(bus *b, mivrabox_event *e) = nullptr;
    int (*play)(bus *b, mivrabox_event *e) = nullptr;
    // Scheduler, every turn and during the wait before a cue, under the bus lock.
    void (*idle)(bus *b) = nullptr;
    // Scheduler, every turn: the services the bus needs are configured (null: the library is).
    bool (*ready)(bus *b) = nullptr;
    // bus_start, before the current playlist is loaded: the daemon's own links and threads.
    int (*start)(bus *b) = nullptr;
    // bus_stop, first thing, before the bus threads are told to stop.
    void (*stop_first)(bus *b) = nullptr;
    // bus_stop, after the bus threads were joined.
    void (*stop_last)(bus *b) = nullptr;
    // Media code, under the bus lock: an event's media became present, before its range check.
    void (*item_present)(bus *b, mivrabox_event *e, lib_object *o) = nullptr;
    // Media code, under the bus lock: range check of an event against its present media; > 0 asks
    // for new start times (null: bus_ply_range_item).
    int (*range_item)(bus *b, mivrabox_event *e, lib_object *o) = nullptr;
    // Wherever one of the bus_note lines is due: the daemon writes its own wording (null: the
    // engine's).
    void (*note)(bus *b, bus_note what, const mivrabox_event *e, const char *media_id,
                 int r) = nullptr;
    // bus_ply_state, last, under the bus lock: the daemon's own state fields at clock reading now.
    void (*state_extra)(bus *b, mivrabox_state *st, int64_t now) = nullptr;
    // Load and append, under the bus lock: a playlist file went into the bus (path as given).
    void (*ply_loaded)(bus *b, const char *path) = nullptr;
    // After an append, without the bus lock: the appended file's events are handed on.
    void (*appended)(bus *b, const ply_list *list) = nullptr;
    // Drop folder: a playlist's name may be taken in (null: any); a refused one is kept aside.
    bool (*append_allowed)(bus *b, const char *name) = nullptr;
    // Save thread, after an autosave worked, with the MD5 digest of the written lines (computed
    // only for a daemon that sets this); the daemon logs the save (null: the engine does).
    void (*saved)(bus *b, const char *digest) = nullptr;

    // A cued event plays once the clock is within io_delay of its start, less this many
    // microseconds.
    int play_trim_us = 0;
    // Wait before each cue, with the bus lock held.
    int cue_lead_ms = 0;
    // A take whose target already had its cue asked for waits for that cue too.
    bool take_waits_requested = false;
    // Longest wait of a take for its cue (0: no limit); the take then plays all the same.
    int take_cue_wait_ms = 0;
    // The players alternate and cue independently, so one that does not answer must cost only its
    // own events: a due event whose cue has not answered waits for it only as long as the next
    // event's cue can wait, then plays as cue failed; and an event whose start passed before its
    // cue was asked for, while another plays, is dropped as overdue rather than aired late.
    bool spare_next_cue = false;
    // Flag set on an event whose media was still queued when it was registered: its range is then
    // not checked when the media turns present (0: it is).
    uint64_t queued_mark = 0;
    // Media length given to live sources ('#' ids); null for none.
    const char *live_duration = nullptr;
};
// The engine's neutral behaviour: no players, no steps of a daemon's own.
extern const bus_hooks bus_hooks_none;

// The events whose media the media lists count (registered, see mivrabox_event::lib_owner), under
// the bus lock, each with a reference and the id it registered with, so that giving its media back
// touches only what was counted: an event deleted before its turn to register gives nothing back.
// The events of each media id, and of each '#' variant name, are found by hash for the media
// answers; the range and subclip flags of the registered events are counted as they change.
struct bus_lib_users {
    std::unordered_map<std::string, std::unordered_set<mivrabox_event *>> by_id, by_variant;
    int range = 0, subclip = 0;
    int unused = 0;  // media left without a reference while bus_lib_defer was on
};

// Start times still to be made again, in slices of a short hold each (bus_ply_times_*), under the
// bus lock. The events before from have the right starts; those from it on may still follow
// durations that changed; from settle on they were right before, so the work ends at the first
// event there that keeps its start (settle null: only at the end). Each holds a reference, so an
// event that left the playlist meanwhile is never freed under it: its place is then unknown and
// the work goes on from the front.
struct bus_times_rest {
    bool pending = false;
    mivrabox_event *from = nullptr, *settle = nullptr;
    int from_at = 0, settle_at = 0;  // their places when left: looked at first
    std::chrono::steady_clock::time_point since;
    // Most events made per slice; a slice also ends after about a millisecond.
    int slice = 8192;

    bus_times_rest() = default;
    bus_times_rest(const bus_times_rest &) = delete;
    bus_times_rest &operator=(const bus_times_rest &) = delete;
    ~bus_times_rest() { clear(); }
    void set(mivrabox_event **slot, mivrabox_event *e) {
        if (e) mivrabox_event_ref(e);
        if (*slot) mivrabox_event_unref(slot);
        *slot = e;
    }
    void clear() {
        pending = false;
        set(&from, nullptr);
        set(&settle, nullptr);
    }
};

// The bus lock (lock) guards: playlist's events and list, running, take_req, take_n,
// fallback_req, time_to_next and the media lists queued, absent and present (and a daemon's fields
// that its record says so of). Fixed once the bus starts, and so read without it by every thread
// (the asynchronous cue and play threads included): index, hooks, the playlist pointer itself,
// current, lib_url, path, auto_append, arl_ext, whois_method, whois_arg and io_delay. exit and
// play_at_us are atomic; the thread handles belong to bus_start and bus_stop.
struct bus {
    virtual ~bus();

    int index = 0;
    ply_list *playlist = nullptr;
    bus_mutex lock;
    int running = 0;
    std::atomic<int> exit{0};
    int take_req = 0;
    int take_n = 0;
    int fallback_req = 0;
    int64_t time_to_next = 0;

    std::thread th_state, th_queue, th_ply, th_save, th_append;

    text4k current;
    text4k lib_url;
    text4k path;
    text4k auto_append;
    lib_object_list queued, absent, present;
    text4k arl_ext;
    int whois_method = 0;
    text4k whois_arg[4];
    // An event plays once now + io_delay passes its start, and a lone playing event is retired
    // io_delay after its end.
    int io_delay = 0;
    // Under the bus lock: index of the event the media code is registering or updating, -1 for
    // none; a range check that looks at the event's neighbours starts there instead of searching.
    int range_at = -1;
    // Under the bus lock: while above 0, a media whose last reference goes stays listed with ref
    // 0 until bus_lib_sweep, so that deleting many events removes their media in one pass.
    int lib_defer = 0;
    bus_lib_users users;   // under the bus lock
    bus_times_rest times;  // under the bus lock
    // Under the bus lock: visits under way (bus_ply_visit), and the events that left the playlist
    // meanwhile, each with a reference, kept until the last visit ends: a visit holds its events
    // without a reference each, which would cost as much as a scan of them.
    int visits = 0;
    std::vector<mivrabox_event *> parked;

    // Bus clock instant (microseconds) of the play the scheduler waits for, -1 for none: the
    // save thread keeps its copy of the playlist, a long hold of the lock, out of its way.
    std::atomic<int64_t> play_at_us{-1};

    // Wakes the bus threads' sleeps at shut-down.
    std::mutex exit_mu;
    std::condition_variable exit_cv;

    const bus_hooks *hooks = &bus_hooks_none;  // fixed before the bus starts
    // Raised (non-zero) by the process's stop signals; the start-up load looks at it (may be
    // null). Fixed before the bus starts.
    const std::atomic<int> *stop_signal = nullptr;
};

// The engine's part of a new bus of any kind: playlist and media lists. 0 or -12.
int bus_init(bus *b);
int bus_start(bus *b);
int bus_stop(bus *b);
int bus_free(bus **b);

// The bus clock (the clock of event times) in milliseconds and microseconds since the epoch.
int64_t bus_now_ms(const bus *b);
int64_t bus_now_us(const bus *b);
// The engine's wording of a note (see bus_hooks::note).
void bus_note_log(bus *b, bus_note what, const mivrabox_event *e, const char *media_id, int r);

// Owns a playlist (null or made by ply_new, ply_load or ply_dup) and frees it when it goes.
struct ply_holder {
    ply_list *p = nullptr;
    ply_holder() = default;
    ply_holder(const ply_holder &) = delete;
    ply_holder &operator=(const ply_holder &) = delete;
    ~ply_holder() {
        if (p) ply_free(&p);
    }
};

// Cue points of an event from its in, out and duration texts, as both daemons hand them to a
// player: the first frame (0 for no in point) and the last (the out point, else the frame before
// in + duration); known is false, and last 0, when neither an out point nor a duration is given.
struct bus_cue_points {
    int in = 0, last = 0;
    bool known = false;
};
bus_cue_points bus_cue_points_of(const char *in, const char *out, const char *duration);
// The templates an asset list names: the parts between '+', empty ones left out.
std::vector<std::string> bus_assets_split(std::string_view assets);
// A cue of e is asked for, under the bus lock: its earlier answer is forgotten and the request
// flagged. False when its media is not known present (the cue goes ahead all the same).
bool bus_cue_flag_request(mivrabox_event *e);
// The calls of one cue to one player: once one of them went unanswered (ended at the calling
// thread's bound), the next would cost the whole bound too while the cue is due, so they are
// not made.
class bus_answer_guard {
   public:
    bus_answer_guard();
    bool answering() const;

   private:
    int unanswered_;
};

// Sleeps up to ms; true when the bus is stopping (the sleep then ends at once).
bool bus_sleep(bus *b, int ms);

int bus_ply_state(bus *b, mivrabox_state *st);
void bus_ply_item_start_str(ply_list *ply, int index);
// Appends event index to the as-run log of its day. A gap filler ('G') is then repeated before
// the next fixed-time event, unless the copy would start in the past or not after the event
// now going to air (airing_sys_id, -1 for none).
void bus_ply_item2arl(bus *b, int index, int64_t airing_sys_id = -1);
// As-run file of an event start: "<folder>/YYYY-MM-DD.<ext>".
std::string bus_arl_path(const bus *b, int64_t start_ms);

// Playlist-name check for names that arrive from outside: -22 unless "<folder>/<name>.ply" is a
// path inside the bus folder that fits 4095 bytes and the name holds no control byte.
int bus_ply_name_path(const bus *b, const char *name, std::string &path);

// Thread entries of a bus, started by bus_start and joined by bus_stop.
void bus_save_proc(bus *b);
void bus_ply_proc(bus *b);
void bus_lib_proc_state(bus *b);
void bus_lib_proc_queue(bus *b);
void bus_append_proc(bus *b);
// One file of the drop folder: a playlist ("*.ply") is opened into an empty bus or appended,
// then removed (kept in "failed" when it does not load); other files are removed unread; hidden
// files are left alone. The load or append result, or 0.
int bus_append_file(bus *b, const char *name);

// Playlist operations (bus_ply.cc). Each takes the bus lock; st (may be null) is filled after.
int bus_ply_start_time_recalc(ply_list *ply);
int bus_ply_start_time_recalc(bus *b);
// The same after events from..end were appended to a list whose start times were right: only
// theirs are made, and none when their start times were prepared after the end the event before
// them still has (prepared_after; their total duration prepared_total, -1 for none). The first
// event moving makes them all again.
int bus_ply_start_time_recalc_from(ply_list *ply, int from, int64_t prepared_after,
                                   int64_t prepared_total);
// The same after events lasting gone_ms in all were taken off the front of a list whose start
// times were right: only the total changes, unless the new first event moves.
int bus_ply_start_time_recalc_front(ply_list *ply, int64_t gone_ms);
// The same after the start of the first event was set (from 0) or events lasting gone_ms were
// taken out before index from, in a list whose start times were right: the times are made from
// there up to the first event that keeps its start (a fixed-time one that holds its time), since
// those after it do not change.
int bus_ply_start_time_recalc_moved(ply_list *ply, int from, int64_t gone_ms);
// An event's length in milliseconds (mivrabox_event_duration).
int64_t bus_event_dur_ms(const mivrabox_event *e);
// Adds ms to the playlist's total duration, kept within an int.
void bus_ply_total_add(ply_list *ply, int64_t ms);
// Index of e in the playlist, looked for at hint first, then at the place it was last found at
// (kept on the event), then by a scan of pointers; -1 when it is not there.
int bus_ply_index_of(const ply_list *ply, const mivrabox_event *e, int hint = -1);
// Start times made again in slices (the bus lock let go between them), after durations changed
// or events came in: under the bus lock, events from index from on need new starts, and from
// index settle on (at least from) they were right before; merged with what is still left (the
// earliest from, the latest settle). The caller adjusts the total.
void bus_ply_times_mark(bus *b, int from, int settle);
// Under the bus lock: one slice of what is left (about a millisecond at most); true while some
// is still left.
bool bus_ply_times_slice(bus *b);
// Without the bus lock: what is left, to the end, in slices of a hold each.
void bus_ply_times_settle(bus *b);
// Gives a list not in a bus sys_ids and start times following an end at after; its total
// duration.
int64_t bus_ply_start_time_prepare(ply_list *list, int64_t after);
int bus_ply_range_item(bus *b, mivrabox_event *e, lib_object *o);
// The fixed-time event at or after index from that starts first (of those starting together
// the last), -2 for none; kept in an index of the list's fixed-time events.
int bus_ply_next_ft_idx(ply_list *ply, int from);
// After the first n events left a list whose shape was shape_before: its index of fixed-time
// events follows without a pass, if it was current.
void bus_ply_ft_front_gone(ply_list *ply, int n, uint64_t shape_before);
int bus_ply_run(bus *b, int value, mivrabox_state *st);
int bus_ply_insert_event_by_idx(bus *b, const char *line, int64_t index, mivrabox_state *st);
int bus_ply_insert_event_by_sys_id(bus *b, const char *line, int64_t sys_id, mivrabox_state *st);
int bus_ply_update_event_by_idx(bus *b, const char *line, int64_t index, mivrabox_state *st);
int bus_ply_update_event_by_sys_id(bus *b, const char *line, int64_t sys_id, mivrabox_state *st);
int bus_ply_get_event(bus *b, char *buf, size_t size, int index, mivrabox_state *st);
// Events first.. first+count-1 as playlist lines (ending at the first index outside the list),
// each with its flags, sys_id and start, and one state taken under the same lock.
struct bus_event_text {
    std::string line;
    int64_t flags, sys_id, start;
};
int bus_ply_get_events(bus *b, int first, int count, std::vector<bus_event_text> &out,
                       mivrabox_state *st);
// Calls fn under the bus lock for each of events first.. first+count-1 (count < 0: to the end),
// in the order they had when the visit began, with the state (st, may be null: filled only when
// the range holds events) and the revision (may be null) of that moment. The lock is let go
// between chunks of events, so fn sees each event as it is then, in or out of the playlist. A
// negative result of fn ends the visit with it; else the number of events.
int bus_ply_visit(bus *b, int first, int count, mivrabox_state *st, int *revision,
                  const std::function<int(mivrabox_event *)> &fn);
// Appends to out copies of the events, as bus_ply_visit visits them. Their count, or -12.
int bus_ply_copy(bus *b, int first, int count, ply_list *out, mivrabox_state *st,
                 int *revision = nullptr);
// What a cue of one event reads of the playlist: copies of that event and of those after it that
// a resolution of its metadata keys may read (mivrabox_meta_reach), in playlist order; reach
// holds their indexes among count events, idx the event's own (-1 when it was not there).
struct bus_reach {
    ply_holder copy;
    std::vector<int> reach;
    int idx = -1, count = 0;
};
// Fills out for the first event with sys_id as bus_ply_visit visits the playlist (short holds,
// however long the playlist). An event not in the playlist gives -2, or with or_first the reach
// of the first event (idx stays -1). 0, -2 or -12.
int bus_ply_reach_copy(bus *b, int64_t sys_id, bool or_first, bus_reach &out);
int bus_ply_delete_event(bus *b, int64_t index, mivrabox_state *st);
int bus_ply_delete_events(bus *b, int count, const int64_t *indexes, mivrabox_state *st);
// Finds the events of the sys_ids (the first of each) in short holds of the lock, then calls act
// under one hold with where[i] the index of sys_ids[i] now, -2 when none (also when it left the
// playlist meanwhile); act's result, or -12 with st filled. Start times act left to settle are
// made after that hold (st filled again), unless the caller holds the lock.
int bus_ply_at_sys_ids(bus *b, int n, const int64_t *sys_ids, mivrabox_state *st,
                       const std::function<int(const std::vector<int> &where)> &act);
int bus_ply_delete_events2(bus *b, int count, const int64_t *sys_ids, mivrabox_state *st);
int bus_ply_delete_range(bus *b, int first, int last, mivrabox_state *st);
// Reads and parses a playlist file without the bus lock, giving its events sys_ids and start
// times; a file over PLY_FILE_MAX is refused (-27) with a line naming it. stop (may be null)
// ends the read early (-4). The number of events or a negated errno.
int bus_ply_read(bus *b, const char *path, ply_list **out, const std::atomic<int> *stop = nullptr);
int bus_ply_load(bus *b, const char *path, mivrabox_state *st);
// The load alone, of a list read by bus_ply_read: its events move into the empty bus. -17 when
// the bus has events.
int bus_ply_load_ply(bus *b, ply_list *loaded, const char *path, mivrabox_state *st);
// Loads the file and appends it, then hands the loaded events to the appended hook.
int bus_ply_append(bus *b, const char *path, mivrabox_state *st);
// The append alone, of a list already loaded.
int bus_ply_append_ply(bus *b, ply_list *list, const char *path, mivrabox_state *st);
// Gives a loaded list to the appended hook, then frees it; never with the bus lock held.
void bus_ply_appended(bus *b, ply_list **list);
int bus_ply_save(bus *b, const char *path, mivrabox_state *st);
int bus_ply_close(bus *b, mivrabox_state *st);
int bus_ply_take(bus *b, mivrabox_state *st);
int bus_ply_take_n(bus *b, int index, mivrabox_state *st);
int bus_ply_fallback(bus *b, mivrabox_state *st);
int bus_ply_trimpad_event(bus *b, int delta, mivrabox_state *st);
int bus_ply_reset_events_tc(bus *b, int count, const int64_t *sys_ids, mivrabox_state *st);
// Index of the first event after start whose fields hold key (case aside) as the flags choose: 1
// title, 2 media id, 4 assets, 8 meta keys, 16 meta values, BUS_SEARCH_SYS_ID the sys_id that key
// names; -2 for none.
constexpr int BUS_SEARCH_SYS_ID = 0x40;
// The first event of each media among the events with a flag of mask, in playlist order, copied
// as bus_ply_visit visits them, with the state; the reply is built from the copy after. Their
// count or -12.
struct bus_flagged {
    std::string media_id, start_time;
    int64_t start;
};
int bus_ply_flagged(bus *b, uint64_t mask, std::vector<bus_flagged> &out, mivrabox_state *st);
int bus_ply_search_event(bus *b, const char *key, int start, int flags, mivrabox_state *st);

// Scheduler steps (bus_sched.cc), under the bus lock: hand event index to the cue (nothing while
// its media state is unknown), or play it and retire the events before it.
int _send_cue(bus *b, int index);
int _send_play(bus *b, int index);
// Milliseconds to the next change at now: the end of the event last played, else the start of
// the event last cued, else 0.
int64_t bus_ply_time_to_next(const ply_list *ply, int64_t now);
// Start of a fixed-time event: the occurrence of its time of day (tod_ms) within twelve hours of
// ref_ms, whose own time of day is ref_tod_ms.
int64_t bus_ply_ft_start(int64_t ref_ms, int64_t ref_tod_ms, int64_t tod_ms);

// Media lists (bus_lib.cc), under the bus lock.
int bus_lib_register(bus *b, const char *media_id, char *origin_out, size_t origin_size);
int bus_lib_unregister(bus *b, const char *media_id);
// Around the unregistering of many events, under the bus lock: the media left without a
// reference go at the end, in one pass over each list.
void bus_lib_defer(bus *b);
void bus_lib_sweep(bus *b, lib_object_sweepings *dead = nullptr);
// The present media object of an id, looked up without registering; null when not present.
const lib_object *bus_lib_find_present(bus *b, const char *media_id);
int bus_ply_item_register(bus *b, mivrabox_event *e);
// Registers the playlist's events from..to-1, with one start-time recomputation at the end when a
// media filled a duration (none without recalc); returns how many did.
int bus_ply_items_register(bus *b, int from, int to, bool recalc = true);
// Registers events in chunks of a few milliseconds' hold each, the bus lock let go between them
// (the caller must not hold it): each one found in the playlist then and not yet registered.
// The caller holds a reference on each. Stops early at a stop signal. How many filled a duration
// (start times recomputed once at the end when recalc).
int bus_ply_items_register_chunks(bus *b, const std::vector<mivrabox_event *> &events, int at,
                                  bool recalc = true);
// Whether e is registered.
bool bus_lib_registered(bus *b, const mivrabox_event *e);
// Gives back e's media reference when e is registered (-2 when not).
int bus_ply_item_unregister(bus *b, mivrabox_event *e);
// Drops every registration (bus end).
void bus_lib_users_clear(bus *b);
int bus_ply_lib_handle_event_metas(bus *b, lib_object *o, int present);
