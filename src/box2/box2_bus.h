// A bus of MivraBox2: the engine's bus with two players, the Oxtel graphics device and its
// layers, and the cue lanes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bus.h"
#include "box2_cg.h"
#include "bus_opts.h"
#include "oxtel.h"

// Templates of the graphics device, asked for by MivraLib.LibListTemplates and filled by the
// Oxtel callbacks. Its mutex is a leaf: never held while the bus lock is awaited.
struct box2_tmpl_listing {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<std::string> names;  // at most 4096
    int busy = 0;                    // a listing is in progress
    bool done = false;               // the device sent the end of the list
    struct timespec last = {};       // real-time clock of the last listing
};

// One cue handed to a lane: its number (box2_bus::cue_seq), its source, and whether its event was
// on air already when it was asked for (a take may cue it again).
struct box2_cue_ticket {
    uint64_t seq = 0;
    int src = 0;
    bool was_playing = false;
};

struct box2_bus : bus {
    ~box2_bus() override;

    text4k default_asset;
    text4k io_a, io_b;
    text4k io_a_url, io_b_url;
    text4k oxtel_addr;
    oxtel_ctx oxtel;  // link to the graphics device; its user pointer is the bus

    box2_tmpl_listing tmpl;

    box2_cg_layers cg;  // graphics layers and the device's tallies

    // Asynchronous cue, one lane per player: a player that does not answer holds up only the
    // cues meant for it, never the next event's on the other player. The scheduler hands over
    // one event at a time; a cue not yet taken by its lane is replaced by the next one.
    struct cue_lane {
        std::thread th;
        mivrabox_event *ev = nullptr;  // waiting to be taken, with a reference (bus lock)
        box2_cue_ticket ticket;
        bool busy = false;  // the lane is talking to its player
    };
    cue_lane cue_lanes[2];  // under cue_mu, apart from the thread handles
    std::recursive_mutex cue_mu;
    std::condition_variable_any cue_cv;
    std::atomic<int> cue_exit{0};
    // Number of the newest cue handed over (under the bus lock): only that cue may set the mixer,
    // the graphics and the flags; an older one that answers late is left aside.
    uint64_t cue_seq = 0;
    // Held from a cue's check that it is the newest to its flags, so that an older cue never
    // overwrites what a newer one prepared. Taken before the bus lock, never under it.
    std::mutex cue_cg_mu;

    int last_play_src = 0;
    int last_cue_src = 0;
};

inline box2_bus *box2_of(bus *b) {
    return static_cast<box2_bus *>(b);
}

// MivraBox2 whole: its busses, hooks, control methods and relays.
extern const bus_daemon box2_daemon;
// A new bus of this daemon with its hooks; 0, -22 or -12.
int box2_bus_new(bus **out);
// Makes rec run MivraBox2: its busses, its own control-port calls and relays.
void box2_setup(mivrabox_opts *rec);

// Template listing: the graphics side asks the device (box2_cg_tmpl_request) and reports the
// names it sends, then the end of the list, which wakes the waiting control call.
int box2_cg_tmpl_request(box2_bus *b);
// Installs the graphics side's callbacks on the bus's Oxtel link before it starts.
void box2_cg_link_setup(box2_bus *b);
void box2_tmpl_listing_end(box2_bus *b);

// Graphics layers. Cue prepares the next items of an event (0, or -2 when the event left the
// playlist); its whois lookups give up in time for the event's play, except for a manual event,
// whose play waits for its cue. Play makes them current, idle advances every current item once per
// scheduler turn (0, or -11 when nothing is playing). Idle runs under the bus lock. Play promotes
// the next items only when they were built for the event being played (the one flagged playing and
// not yet on air); otherwise it keys every layer off.
int bus_cg_cue(box2_bus *b, const mivrabox_event *ev);
int bus_cg_play(box2_bus *b);
int bus_cg_idle(box2_bus *b);

// Cue and play on two players (box2_io.cc). Enqueue and play run under the bus lock; cue runs on
// a cue lane without it. The source of a cue (a player, or a live input) is chosen when it is
// handed over, so that the event goes to air from it even while its cue still runs.
int bus_io_async_cue_enqueu(box2_bus *b, mivrabox_event *e);
int bus_io_cue(box2_bus *b, mivrabox_event *e, const box2_cue_ticket &t);
int bus_io_play(box2_bus *b, mivrabox_event *e);
void bus_io_async_cue_proc(box2_bus *b, int lane);
