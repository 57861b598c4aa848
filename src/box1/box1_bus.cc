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
int64_t now_ms(bus *) {
    struct timeval tv;
    time_now(&tv);
    return time_tv2ms(&tv);
}

int64_t now_us(bus *) {
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

// Said once per event: the scheduler asks again every turn until the media state is known.
void cue_refused(bus *bb, mivrabox_event *e) {
    box1_bus *b = box1_of(bb);
    if (b->refused_sys_id == e->sys_id) return;
    b->refused_sys_id = e->sys_id;
    log_msg(LOG_ERROR, "%s: item not exist nor absent", "_send_cue");
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
    std::lock_guard lk(b->lock);
    b->ply_hash = digest ? digest : "";
}

// The peers' playlists are listed by their role, whether or not their files exist yet.
void ply_names(bus *bb, std::vector<std::string> &names) {
    box1_bus *b = box1_of(bb);
    std::erase_if(names,
                  [](const std::string &n) { return n == "peer_master" || n == "peer_slave"; });
    if (!b->peer_master_url.empty()) names.emplace_back("peer_master");
    if (!b->peer_slave_url.empty()) names.emplace_back("peer_slave");
}

const char *relay_io_url(const bus *b) {
    return static_cast<const box1_bus *>(b)->io_url.c_str();
}

void remain(btext<33> &out, int64_t ms) {
    char tc[TC_TEXT_SIZE];
    out = tc_frames2str(tc_sec2frames(double(ms) / 1000.0), tc);
}

}  // namespace

box1_bus::~box1_bus() {
    for (ply_list *&s : snapshots)
        if (s) ply_free(&s);
}

int box1_bus_new(bus **out) {
    if (!out) return -22;
    box1_bus *b = new (std::nothrow) box1_bus;
    if (!b) return -12;
    if (bus_init(b) < 0) {
        delete b;
        return -12;
    }
    b->io_delay = BOX1_PLAY_LEAD_MS;
    bus_hooks &h = b->hooks;
    h.now_ms = now_ms;
    h.now_us = now_us;
    h.play_trim_us = 1000;
    h.range_item = box1_range_item;
    h.remain_sign_pos = ' ';
    h.remain_sign_neg = '+';
    h.cue = hook_cue;
    h.play = hook_play;
    h.stop_last = stop_last;
    h.ready = ready;
    // The play thread joins the cue thread: the player gets them in order without a wait here.
    h.take_waits_requested = false;
    h.take_cue_wait_ms = BOX1_TAKE_CUE_WAIT_MS;
    h.cue_refused = cue_refused;
    h.item_present = box1_item_present;
    h.queued_mark = 0;
    h.live_duration = "00:10:00:00";
    h.lookup_log_url = true;
    h.log_absent_release = true;
    h.state_extra = box1_state_extra;
    h.ply_loaded = ply_loaded;
    h.append_allowed = append_allowed;
    h.er_index = true;
    h.search_sys_id = true;
    h.ply_names = ply_names;
    h.want_digest = true;
    h.saved = saved;
    h.ply_fetch = box1_peer_fetch;
    h.appended = box1_peer_push;
    *out = b;
    return 0;
}

void box1_setup(mivrabox_opts *rec) {
    rec->bus_alloc = box1_bus_new;
    rec->ctl_local = nullptr;
    rec->relay_io_url = relay_io_url;
}

void box1_state_extra(bus *bb, mivrabox_state *st, int64_t now) {
    box1_bus *b = box1_of(bb);
    bool absent = false, type_c = false, type_l = false, fixed = false;
    st->absent_remain.clear();
    st->type_C_remain.clear();
    st->type_L_remain.clear();
    st->fixed_time_remain.clear();
    // Each field names the first future event of its kind.
    for (const mivrabox_event *e : b->playlist->items) {
        if (e->start <= now) continue;
        if (!absent && (e->flags & MIVRABOX_F_ABSENT)) {
            absent = true;
            remain(st->absent_remain, e->start - now);
        }
        if (!type_c && e->event_type == 'C') {
            type_c = true;
            remain(st->type_C_remain, e->start - now);
        }
        if (!type_l && e->event_type == 'L') {
            type_l = true;
            remain(st->type_L_remain, e->start - now);
        }
        if (!fixed && e->start_mode == 'F') {
            fixed = true;
            remain(st->fixed_time_remain, e->start - now);
        }
    }
    if (b->prev_playlist.empty()) {
        st->last_playlist = b->last_playlist.view();
    } else {
        std::string both = b->last_playlist.str() + " > " + b->prev_playlist.str();
        // Both names fit their fields; the pair is cut to the state's field.
        st->last_playlist = std::string_view(both).substr(0, 4095);
    }
    st->ply_hash = b->ply_hash.view();
}
