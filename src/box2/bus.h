// The bus: one playout channel with its playlist, media lists, service addresses and threads.
// The dual-player daemon uses it as is; the single-player daemon plugs its differences in through
// bus_hooks instead of copies.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "box2_deps.h"
#include "bus_cg.h"
#include "oxtel.h"
#include "text.h"

struct bus;

// Where the daemons differ. Every member has a dual-player default (bus_hooks_default).
struct bus_hooks {
    // Clock of event times, milliseconds since the epoch.
    int64_t (*now_ms)(bus *b);
    // Range check of an event against its present media; 1 when DUR was set from the media.
    int (*range_item)(bus *b, mivrabox_event *e, lib_object *o);
    // First character of "curr_remain" for a positive and for a negative time to next.
    char remain_sign_pos;
    char remain_sign_neg;
    // Hands an event to the players (cue ahead of time, play on time); called by the scheduler.
    int (*cue)(bus *b, mivrabox_event *e);
    int (*play)(bus *b, mivrabox_event *e);
};
extern const bus_hooks bus_hooks_default;

// Templates of the graphics device, asked for by MivraLib.LibListTemplates and filled by the
// Oxtel callbacks. Its mutex is a leaf: never held while the bus lock is awaited.
struct bus_tmpl_listing {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<std::string> names;  // at most 4096
    int busy = 0;                    // a listing is in progress
    bool done = false;               // the device sent the end of the list
    struct timespec last = {};       // real-time clock of the last listing
};

struct bus {
    int index = 0;
    ply_list *playlist = nullptr;
    std::recursive_mutex lock;  // playlist, media lists, request flags, time to next
    int running = 0;
    std::atomic<int> exit{0};
    int take_req = 0;
    int take_n = 0;
    int fallback_req = 0;
    int64_t time_to_next = 0;

    std::thread th_state, th_queue, th_ply, th_save, th_append;

    text4k current;
    text4k default_asset;
    text4k io_a, io_b;
    text4k io_a_url, io_b_url;
    int io_delay = 0;
    text4k lib_url;
    text4k path;
    text4k auto_append;
    lib_object_list queued, absent, present;
    text4k arl_ext;
    int whois_method = 0;
    text4k whois_arg[4];
    text4k oxtel_addr;
    oxtel_ctx oxtel;  // link to the graphics device; its user pointer is the bus

    bus_tmpl_listing tmpl;

    bus_cg_layers cg;  // graphics layers and the device's tallies

    // Asynchronous cue: the scheduler hands over one sys_id, the cue thread talks to the player.
    std::thread th_cue;
    std::recursive_mutex cue_mu;
    std::condition_variable_any cue_cv;
    int64_t cue_sys_id = 0;
    std::atomic<int> cue_exit{0};

    int last_play_src = 0;
    int last_cue_src = 0;

    // Wakes the bus threads' sleeps at shut-down.
    std::mutex exit_mu;
    std::condition_variable exit_cv;

    bus_hooks hooks = bus_hooks_default;
};

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
// path inside the bus folder that fits 4095 bytes.
int bus_ply_name_path(const bus *b, const char *name, std::string &path);

// Template listing: the graphics side asks the device (bus_cg_tmpl_request) and reports the
// names it sends, then the end of the list, which wakes the waiting control call.
int bus_cg_tmpl_request(bus *b);
// Installs the graphics side's callbacks on the bus's Oxtel link before it starts.
void bus_cg_link_setup(bus *b);
void bus_tmpl_listing_add(bus *b, const char *name);
void bus_tmpl_listing_end(bus *b);

// Graphics layers. Cue prepares the next items of an event (0, or -2 when the event left the
// playlist); its whois lookups give up in time for the event's play, except for a manual event,
// whose play waits for its cue. Play makes them current, idle advances every current item once per
// scheduler turn (0, or -11 when nothing is playing). Idle runs under the bus lock. Play promotes
// the next items only when they were built for the event being played (the one flagged playing and
// not yet on air); otherwise it keys every layer off.
int bus_cg_cue(bus *b, const mivrabox_event *ev);
int bus_cg_play(bus *b);
int bus_cg_idle(bus *b);

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
void bus_io_async_cue_proc(bus *b);

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
int bus_ply_append(bus *b, const char *path, mivrabox_state *st);
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

// Cue and play on two players (bus_io.cc). Enqueue and play run under the bus lock; cue runs on
// the cue thread without it.
int bus_io_async_cue_enqueu(bus *b, mivrabox_event *e);
int bus_io_cue(bus *b, mivrabox_event *e);
int bus_io_play(bus *b, mivrabox_event *e);

// Media lists (bus_lib.cc), under the bus lock.
int bus_lib_register(bus *b, const char *media_id, char *origin_out, size_t origin_size);
int bus_lib_unregister(bus *b, const char *media_id);
int bus_ply_item_register(bus *b, mivrabox_event *e);
int bus_ply_item_unregister(bus *b, mivrabox_event *e);
int bus_ply_lib_handle_event_metas(bus *b, lib_object *o, int present);
