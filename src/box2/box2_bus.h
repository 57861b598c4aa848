// A bus of MivraBox2: the engine's bus with two players, the Oxtel graphics device and its
// layers, and the cue thread.
#pragma once

#include <condition_variable>
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

struct box2_bus : bus {
    ~box2_bus() override;

    text4k default_asset;
    text4k io_a, io_b;
    text4k io_a_url, io_b_url;
    text4k oxtel_addr;
    oxtel_ctx oxtel;  // link to the graphics device; its user pointer is the bus

    box2_tmpl_listing tmpl;

    box2_cg_layers cg;  // graphics layers and the device's tallies

    // Asynchronous cue: the scheduler hands over one sys_id, the cue thread talks to the player.
    std::thread th_cue;
    std::recursive_mutex cue_mu;
    std::condition_variable_any cue_cv;
    int64_t cue_sys_id = 0;
    std::atomic<int> cue_exit{0};

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
// the cue thread without it.
int bus_io_async_cue_enqueu(box2_bus *b, mivrabox_event *e);
int bus_io_cue(box2_bus *b, mivrabox_event *e);
int bus_io_play(box2_bus *b, mivrabox_event *e);
void bus_io_async_cue_proc(box2_bus *b);
