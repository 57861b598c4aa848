// Graphics layers of a bus: 16 layers, each a chain of template items that the idle walk moves
// from loading to keyed off, prepared by a cue and put on air by the play that follows it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "bus_deps.h"
#include "oxtel_cmd.h"
#include "text.h"

struct box2_bus;

constexpr int CG_LAYERS = 16;
constexpr int CG_BOXES = 16;
// Item times count frames of 40 ms, whatever the timecode mode.
constexpr int CG_FRAME_MS = 40;
// Time a cue keeps after its lookups to put the graphics in place before the play.
constexpr int CG_CUE_MARGIN_MS = 100;

enum cg_state {
    CG_NONE = 0,
    CG_LOADING,
    CG_LOADED,
    CG_TEXTED,
    CG_STARTED,
    CG_LOOPED_OUT,
    CG_LAST,
};
extern const char *const cg_state_names[7];

enum cg_flag {
    CG_F_IN = 0x1,
    CG_F_OUT = 0x2,
    CG_F_LOOP_OUT = 0x4,
    CG_F_DUR = 0x8,
    CG_F_DSK = 0x10
};

struct cg_item;
using cg_chain = std::unique_ptr<cg_item>;

// One template on one layer.
struct cg_item {
    int state = CG_NONE;
    int flags = 0;
    int in = 0, out = 0, dur = 0, loop_out = 0;  // frames; a negative in or out counts back
    int dsk = 0;
    int ev_len = 0;  // frames of the event that carried the item
    text4k templ;
    std::optional<std::string> box[CG_BOXES];
    cg_chain next;

    cg_item() = default;
    cg_item(const cg_item &) = delete;
    cg_item &operator=(const cg_item &) = delete;
    // Frees the rest of the chain one by one: chains may be long.
    ~cg_item();
};

// Start and end frames of an item relative to its event's start (end 0: none).
int cg_item_start(const cg_item *it);
int cg_item_end(const cg_item *it);

// Graphics fields of the bus record.
struct box2_cg_layers {
    // Under the bus lock. current[i] heads the item on air on layer i.
    cg_chain current[CG_LAYERS];
    cg_chain next[CG_LAYERS];
    // sys_id of the event the next chains were built for (0: none).
    int64_t next_sys_id = 0;
    // What the device last reported, written on the link thread. A leaf lock.
    std::mutex tally_mu;
    int key_tally[CG_LAYERS] = {};
    text4k image_tally[CG_LAYERS];
};

// Frees the chain that *head holds and clears it.
void bus_cg_item_free(cg_chain *head);
// Builds the items of one event's templates (assets split at '+') into next, appended per
// layer in order.
void bus_cg_cue_item_preps(box2_bus *b, const mivrabox_event *e, int ev_len, cg_chain *next);
// Event length in frames of the timecode mode: OUT - IN + 1, or DUR when no OUT is set; 0 when
// neither is set.
int box2_cg_event_len(const mivrabox_event *e);

// Key tally of a layer as the graphics code sees it.
int box2_cg_key_tally(box2_bus *b, int layer);

// The daemon's callback table and the two link callbacks (both run on the link thread).
extern const oxtel_cbs bus_oxtel_cbs;
int oxtel_cb_cmd(oxtel_ctx *ctx, int slot, void *user, char *msg, int len);
int oxtel_cb_conn(oxtel_ctx *ctx, int state, void *user);
