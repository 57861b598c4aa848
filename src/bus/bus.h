// The bus: one playout channel with its playlist, media lists, service addresses and threads.
// Each daemon extends the record with its own fields and plugs its differences in through
// bus_hooks.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
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
    // Longest hold in microseconds, of the scheduler or of the other threads.
    int64_t longest_us(bool scheduler) const { return longest_[scheduler ? 1 : 0].load(); }

   private:
    void taken();
    pi_mutex mu_{true};
    int depth_ = 0;  // under mu_
    std::chrono::steady_clock::time_point since_;
    std::atomic<int64_t> longest_[2] = {};
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

// Where the daemons differ. bus_hooks_default is the engine's own behaviour; each daemon fills
// in its players and the steps it adds.
struct bus_hooks {
    // Clock of event times, milliseconds since the epoch, and the same clock in microseconds.
    int64_t (*now_ms)(bus *b);
    int64_t (*now_us)(bus *b);
    // Range check of an event against its present media; non-zero asks for new start times.
    int (*range_item)(bus *b, mivrabox_event *e, lib_object *o);
    // First character of "curr_remain" for a positive and for a negative time to next.
    char remain_sign_pos;
    char remain_sign_neg;
    // Hands an event to the players (cue ahead of time, play on time); called by the scheduler
    // under the bus lock.
    int (*cue)(bus *b, mivrabox_event *e);
    int (*play)(bus *b, mivrabox_event *e);
    // A cued event plays once the clock is within io_delay of its start, less this many
    // microseconds.
    int play_trim_us;

    // Start: before the current playlist is loaded, and right before the bus threads start.
    int (*start)(bus *b);
    int (*start_threads)(bus *b);
    // Stop: first thing (before the bus threads are told), and after they were joined.
    void (*stop_first)(bus *b);
    void (*stop_last)(bus *b);
    // Every scheduler turn, also during the wait before a cue (graphics keep their pace).
    void (*idle)(bus *b);
    // Wait before each cue, with the bus lock held.
    int cue_lead_ms;
    // The services that the bus needs to run are configured.
    bool (*ready)(bus *b);
    // A take whose target already had its cue asked for waits for it too.
    bool take_waits_requested;
    // Longest wait of a take for its cue (0: no limit); the take then plays all the same.
    int take_cue_wait_ms;
    // End of a scheduler turn in which the bus ran.
    void (*turn_end)(bus *b);
    // The scheduler could not cue an event whose media state is not known yet.
    void (*cue_refused)(bus *b, mivrabox_event *e);
    // An event's media became present, before its range check.
    void (*item_present)(bus *b, mivrabox_event *e, lib_object *o);
    // Set on an event whose media was still queued when it was registered: its range is then not
    // checked when the media turns present (0: it is).
    uint64_t queued_mark;
    // Media length given to live sources ('#' ids); null for none.
    const char *live_duration;
    // The failed lookup's log line names the library as well.
    bool lookup_log_url;
    // The last reference of an absent media is logged when it goes.
    bool log_absent_release;
    // Adds the daemon's own fields to a state, under the bus lock, at the clock reading now.
    void (*state_extra)(bus *b, mivrabox_state *st, int64_t now);
    // A playlist file was loaded into or appended to the bus (path as given).
    void (*ply_loaded)(bus *b, const char *path);
    // A dropped playlist's name may be taken in; a refused one is kept aside.
    bool (*append_allowed)(bus *b, const char *name);
    // Replies about one event carry its index as the fifth "er" value.
    bool er_index;
    // SearchEvent's flag 0x40 also finds the event whose sys_id the pattern names.
    bool search_sys_id;
    // Edits the playlist names that ListPlaylists found in the bus folder.
    void (*ply_names)(bus *b, std::vector<std::string> &names);
    // The autosave worked; digest of the written lines (null unless want_digest).
    bool want_digest;
    void (*saved)(bus *b, const char *digest);
    // LoadPlaylist is about to load the checked name (its file at path): the daemon may fetch
    // that file first. Called without the bus lock; a negative result is the call's answer.
    int (*ply_fetch)(bus *b, const char *name, const char *path);
    // The events of a playlist file that was appended (or offered to an empty bus), handed on
    // without the bus lock held.
    void (*appended)(bus *b, const ply_list *list);
};
extern const bus_hooks bus_hooks_default;

struct bus {
    virtual ~bus();

    int index = 0;
    ply_list *playlist = nullptr;
    bus_mutex lock;  // playlist, media lists, request flags, time to next
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

    // Bus clock instant (microseconds) of the play the scheduler waits for, -1 for none: the
    // save thread keeps its copy of the playlist, a long hold of the lock, out of its way.
    std::atomic<int64_t> play_at_us{-1};

    // Wakes the bus threads' sleeps at shut-down.
    std::mutex exit_mu;
    std::condition_variable exit_cv;

    bus_hooks hooks = bus_hooks_default;
};

// The engine's part of a new bus of any kind: playlist and media lists. 0 or -12.
int bus_init(bus *b);
int bus_new(bus **out);
int bus_start(bus *b);
int bus_stop(bus *b);
int bus_free(bus **b);

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
int bus_ply_range_item(bus *b, mivrabox_event *e, lib_object *o);
int bus_ply_next_ft_idx(ply_list *ply, int from);
int bus_ply_idx_by_sys_id(bus *b, int64_t sys_id);
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
int bus_ply_delete_event(bus *b, int64_t index, mivrabox_state *st);
int bus_ply_delete_events(bus *b, int count, const int64_t *indexes, mivrabox_state *st);
int bus_ply_delete_events2(bus *b, int count, const int64_t *sys_ids, mivrabox_state *st);
int bus_ply_delete_range(bus *b, int first, int last, mivrabox_state *st);
int bus_ply_load(bus *b, const char *path, mivrabox_state *st);
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
// The present media object of an id, looked up without registering; null when not present.
const lib_object *bus_lib_find_present(bus *b, const char *media_id);
int bus_ply_item_register(bus *b, mivrabox_event *e);
int bus_ply_item_unregister(bus *b, mivrabox_event *e);
int bus_ply_lib_handle_event_metas(bus *b, lib_object *o, int present);
