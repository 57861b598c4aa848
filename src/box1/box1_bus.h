// A bus of MivraBox1: the engine's bus with one player, default assets and live sources,
// snapshots and peers, the drop-folder filter and the digest of the last autosave.
#pragma once

#include <pthread.h>

#include <atomic>
#include <thread>
#include <vector>

#include "bus.h"
#include "bus_opts.h"
#include "ctl.h"

#define BOX1_PROGRAM "MivraBox1"
#define BOX1_BANNER BOX1_PROGRAM "-" MIVRA_VERSION

constexpr int BOX1_SNAPSHOTS = 8;
constexpr int BOX1_LIVE_SOURCES = 4;
// A lone playing event is retired this long after its end, and an event plays once the clock
// is within one millisecond less of its start.
constexpr int BOX1_PLAY_LEAD_MS = 40;
// Longest wait of a take for the cue of its target before it plays all the same.
constexpr int BOX1_TAKE_CUE_WAIT_MS = 5000;
// Largest XML document the control server takes.
constexpr size_t BOX1_XML_SIZE_LIMIT = 1048576;
// A snapshot slot unused this long is given to the next request when all are taken: a peer
// that failed between making and destroying one must not block every later push.
constexpr int64_t BOX1_SNAPSHOT_IDLE_MS = 10 * 60 * 1000;
// Most events a peer download takes, whatever the peer announces: far beyond any real playlist.
constexpr int64_t BOX1_PEER_EVENTS_MAX = 100000;
// Longest datagram of the UDP trigger.
constexpr size_t BOX1_TRIG_SIZE = 4096;
// Trigger takes of one bus closer than this to the one before are ignored: a bouncing contact or
// a stuck sender must not run the playlist through.
constexpr int BOX1_TRIG_DEBOUNCE_MS = 100;
// Ignored datagrams are logged one line of each kind per this period, with their count.
constexpr int BOX1_TRIG_LOG_MS = 1000;

struct bus_async;

// What the last pass for the state's times to the first future event of each kind found
// (absent, type C, type L, fixed time; box1_remain.cc), under the bus lock.
constexpr int BOX1_REMAIN_KINDS = 4;
struct box1_remain {
    // Per kind: its events starting after at_ms among those looked at, in playlist order, each
    // with a reference, up to the first that starts far ahead; next: the first index not looked
    // at.
    std::vector<mivrabox_event *> found[BOX1_REMAIN_KINDS];
    int next[BOX1_REMAIN_KINDS] = {};
    // The playlist the pass looked at, and the bus clock when it began and when it ended.
    uint64_t shape = UINT64_MAX;
    int revision = 0, count = 0;
    int64_t at_ms = 0, done_ms = 0;
    bool mixed = true;       // no pass yet, or the playlist changed during it
    bool unsettled = false;  // an event ahead not yet registered: its absent flag may still come
    box1_remain() = default;
    box1_remain(const box1_remain &) = delete;
    box1_remain &operator=(const box1_remain &) = delete;
    ~box1_remain();
    void clear();
    void swap(box1_remain &o) noexcept;
};

struct box1_bus : bus {
    ~box1_bus() override;

    text4k io_url;               // the bus's one player
    text4k default_assets[256];  // by the character code of the event type
    text4k live[BOX1_LIVE_SOURCES];
    text4k aa_keyword;  // a dropped file's name must contain it
    int aa_day_mask = 0;
    ply_list *snapshots[BOX1_SNAPSHOTS] = {};
    // Bus clock of each slot's last use: a slot that a peer left behind is taken back once idle.
    int64_t snapshot_used[BOX1_SNAPSHOTS] = {};
    text4k peer_master_url;
    int peer_master_bus = 0;
    text4k peer_slave_url;
    int peer_slave_bus = 0;
    // Under the bus lock.
    text4k last_playlist, prev_playlist;
    btext<33> ply_hash;
    bus_async *async_head = nullptr;  // newest cue or play operation
    int64_t refused_sys_id = -1;      // last event whose cue waited for its media state
    box1_remain remain;
};

inline box1_bus *box1_of(bus *b) {
    return static_cast<box1_bus *>(b);
}
// The bus idx of a control call's daemon; null when it has none of that index.
inline box1_bus *box1_bus_of(void *si, int idx) {
    return box1_of(ctl_bus_at(ctl_opts(si), idx));
}

// MivraBox1 whole: its busses, hooks, control methods, trigger and relays.
extern const bus_daemon box1_daemon;
// A new bus of this daemon with its hooks; 0, -22 or -12.
int box1_bus_new(bus **out);
// Makes rec build MivraBox1's busses and relay control-port calls to its players.
void box1_setup(mivrabox_opts *rec);

// Asynchronous cue and play: one short-lived thread per operation, each joining the one before
// it, so that the player gets them in the order the scheduler issued them. The operation's
// threads never take the bus lock; they change the event's flags and the playlist revision
// atomically.
struct bus_async {
    box1_bus *b = nullptr;
    // Until the operation's thread has joined it, then freed by that thread.
    bus_async *previous = nullptr;
    mivrabox_event *event = nullptr;  // one reference held, unless a synchronous cue
    void (*entry)(bus_async *) = nullptr;
    pthread_t th{};
    bool started = false;  // th runs and has not been joined
    // A cue's copies of the events of the bus playlist it may read, made by the cue before it
    // asks anything (none for a play).
    bus_reach reach;
    std::atomic<int> done{0};
    bool sync = false;  // a synchronous cue: the event belongs to the copy
};

// Makes the chain head for entry and starts its thread: at the normal priority, or with urgent
// (a play, due now) just below a real-time scheduler's.
int bus_async_start(box1_bus *b, mivrabox_event *e, void (*entry)(bus_async *),
                    bool urgent = false);
int bus_async_wait(bus_async *a);
int bus_async_clean(bus_async **pa);
// In an operation's thread: joins the one before it and frees it.
void box1_async_wait_previous(bus_async *a);
int bus_async_cue(box1_bus *b, mivrabox_event *e);
int bus_async_play(box1_bus *b, mivrabox_event *e);
// The insert's result.
int bus_async_cue_func(bus_async *a, const char *url);
void bus_async_cue_proc(bus_async *a);
void bus_async_play_proc(bus_async *a);
// Cues the event at index of the bus playlist on another player and waits for it; called with
// the bus lock held, which it lets go while it talks to the player. The insert's result, -22 or
// -12.
int bus_async_cue_sync_idx(box1_bus *b, int index, const char *url);

// What one cue asks the player: mivra_playlist_insert_template's arguments.
struct box1_cue_request {
    std::string source;   // the media's origin, or what its live source stands for
    int in = 0, out = 0;  // first and last frame (bus_cue_points_of)
    std::vector<std::string> templates;
    std::vector<std::string> names, values;  // the variables, a value for each name
};
// The assets of an event: its type's defaults (type_assets), extended by the event's "+..."
// assets or replaced by its own.
std::string box1_cue_assets(const char *type_assets, const mivrabox_event *e);
// The request for e: its templates, the variables gathered for them (names from the library and
// the playlist, values resolved; a missing value is empty), then the event's metadata and clip
// values, its source through the bus's live sources (BOX1_LIVE_SOURCES) and its cue points.
// Reads nothing but its arguments: no player, no bus lock.
box1_cue_request box1_cue_request_build(const mivrabox_event *e, std::vector<std::string> templates,
                                        std::vector<std::string> names,
                                        std::vector<std::string> values, const text4k *live);

// Range checks of an event against its media (frames of the media's duration text).
int bus_ply_range_msg_bounds(const mivrabox_event *e, const lib_object *o, char *msg, size_t size);
int bus_ply_range_msg_len(const mivrabox_event *e, const lib_object *o, char *msg, size_t size);
int bus_ply_continuous_item(mivrabox_event *a, mivrabox_event *b);
int box1_range_item(bus *b, mivrabox_event *e, lib_object *o);
// Shifts the in and out points of an event whose "IDStartVITC" names the media's first timecode.
void box1_item_present(bus *b, mivrabox_event *e, lib_object *o);
// The state fields only this daemon reports, at the clock reading now.
void box1_state_extra(bus *b, mivrabox_state *st, int64_t now);
// The state's times to the first future event of each kind, under the bus lock: from the last
// pass while the playlist is the same, from its own look at the front of the playlist, then from
// a pass of up to a second ago, else from a look at the rest.
void box1_remain_fill(box1_bus *b, mivrabox_state *st, int64_t now);
// Brings the pass up to date, in short holds of the bus lock; called without it held.
void box1_remain_refresh(box1_bus *b);

// The control methods of MivraBox1 in their registration order (rows without a handler are the
// shared methods).
constexpr size_t BOX1_METHOD_COUNT = 38;
extern const ctl_method_def box1_methods[];

// Snapshot slots (box1_snap.cc). Each takes the bus lock and fills st (may be null) under it;
// the slot, a count or 0, or -22 for a slot outside 0..7 or empty, -12 when all are taken.
int bus_snapshot_new(box1_bus *b, mivrabox_state *st);
int bus_snapshot_curr(box1_bus *b, mivrabox_state *st);
int bus_snapshot_load(box1_bus *b, const char *path, mivrabox_state *st);
int bus_snapshot_save(box1_bus *b, int slot, const char *path, mivrabox_state *st);
int bus_snapshot_destroy(box1_bus *b, int slot, mivrabox_state *st);
xmlrpc_value *ctl_method_SnapshotLoad(xmlrpc_env *env, xmlrpc_value *params, void *si, void *);
xmlrpc_value *ctl_method_SnapshotSave(xmlrpc_env *env, xmlrpc_value *params, void *si, void *);
xmlrpc_value *ctl_method_SnapshotNew(xmlrpc_env *env, xmlrpc_value *params, void *si, void *);
xmlrpc_value *ctl_method_SnapshotDestroy(xmlrpc_env *env, xmlrpc_value *params, void *si, void *);
xmlrpc_value *ctl_method_SnapshotCurr(xmlrpc_env *env, xmlrpc_value *params, void *si, void *);
xmlrpc_value *ctl_method_SnapshotGetEvent(xmlrpc_env *env, xmlrpc_value *params, void *si, void *);
xmlrpc_value *ctl_method_SnapshotAddEvent(xmlrpc_env *env, xmlrpc_value *params, void *si, void *);
// Peers, with no bus lock held: LoadPlaylist of "peer_master" or "peer_slave" first downloads
// that peer's playlist into the file (0, or -14 when the download broke off and the old file
// stays); an appended playlist is pushed to the slave peer.
int box1_peer_fetch(bus *b, const char *name, const char *path);
void box1_peer_push(bus *b, const ply_list *list);

// UDP trigger (box1_trig.cc): "MivraBox.Take <bus digit>" with its NUL, on the UDP port of the
// control port's number, takes on that bus. 0 or a negated errno.
struct trig_listener;
int trig_new(mivrabox_opts *o);
int trig_free(mivrabox_opts *o);
int trig_run(mivrabox_opts *o);
int trig_stop(mivrabox_opts *o);
void trig_proc(trig_listener *t);
// The daemon's steps around its control server: the trigger made and run, stopped and freed.
void box1_trig_start(mivrabox_opts *o);
void box1_trig_stop(mivrabox_opts *o);

// The option table of MivraBox1. 0, -1 after help or an unknown option, 1 for a malformed
// default-asset.
int box1_opts_parse(mivrabox_opts *rec, int argc, char **argv);
void box1_usage();
