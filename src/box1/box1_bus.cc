// The bus of MivraBox1: its record and its hooks into the bus engine.
#include <cstdio>
#include <cstring>
#include <new>

#include "box1_bus.h"
#include "log.h"
#include "tc.h"
#include "wallclock.h"

namespace {

// The bus clock: system time, the advance and one millisecond.
int64_t now_us(const bus *) {
    return time_now_us() + 1000;
}

int hook_cue(bus *b, mivrabox_event *e) {
    return bus_async_cue(box1_of(b), e);
}

int hook_play(bus *b, mivrabox_event *e) {
    return bus_async_play(box1_of(b), e);
}

bool ready(bus *b) {
    return !b->lib_url.empty() && !box1_of(b)->io_url.empty();
}

void note(bus *bb, bus_note what, const mivrabox_event *e, const char *media_id, int r) {
    box1_bus *b = box1_of(bb);
    switch (what) {
        case bus_note::lookup_failed:
            log_msg(LOG_ERROR, "%s[%d] mivra_io_basename_item(%s, %s) failed, r=%d",
                    "bus_lib_proc_queue", b->index, b->lib_url.c_str(), media_id, r);
            break;
        case bus_note::absent_released:
            // The source line this message has always named.
            log_msg(LOG_ERROR, "%s:%d unregistred absent [%s]", "bus_lib_unregister", 109,
                    media_id);
            break;
        case bus_note::cue_refused:
            // Said once per event: the scheduler asks again every turn until the state is known.
            if (b->refused_sys_id == e->sys_id) return;
            b->refused_sys_id = e->sys_id;
            log_msg(LOG_ERROR, "%s: item not exist nor absent", "_send_cue");
            break;
    }
}

// The last cue and play threads end before the bus goes.
void stop_last(bus *bb) {
    box1_bus *b = box1_of(bb);
    std::lock_guard lk(b->lock);
    if (!b->async_head) return;
    bus_async_wait(b->async_head);
    bus_async_clean(&b->async_head);
}

void ply_loaded(bus *bb, const char *path) {
    bb->lock.assert_held();
    box1_bus *b = box1_of(bb);
    const char *slash = strrchr(path, '/');
    b->prev_playlist = b->last_playlist.view();
    b->last_playlist = slash ? slash + 1 : path;
}

bool append_allowed(bus *bb, const char *name) {
    box1_bus *b = box1_of(bb);
    if (mivrabox_ply_name_filter(name, 1, b->aa_keyword.c_str(), b->aa_day_mask) == 0) return true;
    log_msg(LOG_INFO, "%s[%d] append [%s] does not match proposed filter",
            "bus_append_file_allowed", b->index, name);
    return false;
}

void saved(bus *bb, const char *digest) {
    box1_bus *b = box1_of(bb);
    log_msg(LOG_INFO, "%s[%d] saving done (%s)", "bus_save_proc", b->index, digest);
    std::lock_guard lk(b->lock);
    b->ply_hash = digest;
}

const char *relay_io_url(const bus *b) {
    return static_cast<const box1_bus *>(b)->io_url.c_str();
}

const bus_hooks kHooks = {
    .now_us = now_us,
    .cue = hook_cue,
    .play = hook_play,
    .idle = nullptr,
    .ready = ready,
    .start = nullptr,
    .stop_first = nullptr,
    .stop_last = stop_last,
    .item_present = box1_item_present,
    .range_item = box1_range_item,
    .note = note,
    .state_extra = box1_state_extra,
    .ply_loaded = ply_loaded,
    .appended = box1_peer_push,
    .append_allowed = append_allowed,
    .saved = saved,
    .play_trim_us = 1000,
    .cue_lead_ms = 0,
    // The play thread joins the cue thread: the player gets them in order without a wait here.
    .take_waits_requested = false,
    .take_cue_wait_ms = BOX1_TAKE_CUE_WAIT_MS,
    .queued_mark = 0,
    .live_duration = "00:10:00:00",
};

}  // namespace

const bus_daemon box1_daemon = {
    .program = BOX1_PROGRAM,
    .banner = BOX1_BANNER,
    .bus_alloc = box1_bus_new,
    .hooks = &kHooks,
    .io_delay = BOX1_PLAY_LEAD_MS,
    .xml_size_limit = BOX1_XML_SIZE_LIMIT,
    .methods = box1_methods,
    .method_count = BOX1_METHOD_COUNT,
    .relay_io_url = relay_io_url,
    .serve_start = box1_trig_start,
    .serve_stop = box1_trig_stop,
};

box1_bus::~box1_bus() {
    for (ply_list *&s : snapshots)
        if (s) ply_free(&s);
}

int box1_bus_new(bus **out) {
    return bus_daemon_new<box1_bus>(box1_daemon, out);
}

void box1_setup(mivrabox_opts *rec) {
    rec->daemon = &box1_daemon;
}

void box1_state_extra(bus *bb, mivrabox_state *st, int64_t now) {
    bb->lock.assert_held();
    box1_bus *b = box1_of(bb);
    // The time to next reads ' ' ahead of a coming change and '+' past it, where the engine
    // writes '+' and '-'.
    if (!st->curr_remain.empty()) {
        std::string r = st->curr_remain.str();
        r[0] = r[0] == '+' ? ' ' : '+';
        st->curr_remain = r;
    }
    box1_remain_fill(b, st, now);
    if (b->prev_playlist.empty()) {
        st->last_playlist = b->last_playlist.view();
    } else {
        std::string both = b->last_playlist.str() + " > " + b->prev_playlist.str();
        // Both names fit their fields; the pair is cut to the state's field.
        st->last_playlist = std::string_view(both).substr(0, 4095);
    }
    st->ply_hash = b->ply_hash.view();
}
