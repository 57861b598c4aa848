// Range checks of MivraBox1: an event's in, out and duration against its media's length, the
// continuity of neighbouring events of one media, and the shift of "IDStartVITC" events.
#include <cstdio>
#include <cstring>

#include "box1_bus.h"
#include "log.h"
#include "tc.h"

namespace {

int frames(const char *tc) {
    return tc_str2frames(tc);
}

void write_msg(char *msg, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void write_msg(char *msg, size_t size, const char *fmt, ...) {
    if (!msg || size == 0) return;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, size, fmt, ap);
    va_end(ap);
}

const char *tc_text(int64_t f, char *buf) {
    return tc_frames2str(int(f), buf);
}

}  // namespace

int bus_ply_range_msg_bounds(const mivrabox_event *e, const lib_object *o, char *msg, size_t size) {
    const bool si = !e->mark_in.empty(), so = !e->mark_out.empty(), sd = !e->duration.empty();
    const int64_t len = frames(o->duration.c_str());
    const int64_t in = si ? frames(e->mark_in.c_str()) : 0;
    const int64_t out = so ? frames(e->mark_out.c_str()) : 0;
    const int64_t dur = sd ? frames(e->duration.c_str()) : 0;
    if (si && so) {
        if (out < in) {
            write_msg(msg, size, "IN[%s] > OUT[%s]", e->mark_in.c_str(), e->mark_out.c_str());
            return 2;
        }
        if (out >= len) {
            write_msg(msg, size, "OUT[%s] >= LEN[%s]", e->mark_out.c_str(), o->duration.c_str());
            return 4;
        }
        return 0;
    }
    if (si) {
        if (!sd || in + dur <= len) return 0;
        char last[TC_TEXT_SIZE];
        write_msg(msg, size, "IN[%s] + DUR[%s] - 1 = [%s] >= LEN[%s]", e->mark_in.c_str(),
                  e->duration.c_str(), tc_text(in + dur - 1, last), o->duration.c_str());
        return 5;
    }
    if (!so || out < len) return 0;
    write_msg(msg, size, "OUT[%s] >= LEN[%s]", e->mark_out.c_str(), o->duration.c_str());
    return 4;
}

int bus_ply_range_msg_len(const mivrabox_event *e, const lib_object *o, char *msg, size_t size) {
    const int64_t len = frames(o->duration.c_str());
    if (!e->duration.empty()) {
        if (len == frames(e->duration.c_str())) return 0;
        write_msg(msg, size, "DUR[%s] != LEN[%s]", e->duration.c_str(), o->duration.c_str());
        return 1;
    }
    if (e->mark_in.empty() || e->mark_out.empty()) return 0;
    int64_t used = int64_t(frames(e->mark_out.c_str())) - frames(e->mark_in.c_str()) + 1;
    if (used == len) return 0;
    char buf[TC_TEXT_SIZE];
    write_msg(msg, size, "OUT[%s] - IN[%s] + 1 = [%s] != LEN[%s]", e->mark_out.c_str(),
              e->mark_in.c_str(), tc_text(used, buf), o->duration.c_str());
    return 2;
}

int bus_ply_continuous_item(mivrabox_event *a, mivrabox_event *b) {
    if (!(a->flags & MIVRABOX_F_PARTIAL) && !(b->flags & MIVRABOX_F_PARTIAL)) return 0;
    b->flags &= ~uint64_t(MIVRABOX_F_DISCONT);
    if (a->mark_out.empty() || b->mark_in.empty()) return 0;
    if (int64_t(frames(a->mark_out.c_str())) + 1 == frames(b->mark_in.c_str())) return 0;
    log_msg(LOG_ERROR, "%s: B discontinues A", "bus_ply_continuous_item");
    b->flags |= MIVRABOX_F_DISCONT;
    return 1;
}

int box1_range_item(bus *b, mivrabox_event *e, lib_object *o) {
    b->lock.assert_held();
    e->flags &= ~uint64_t(MIVRABOX_F_RANGE | MIVRABOX_F_PARTIAL | MIVRABOX_F_DISCONT);
    if ((e->flags & MIVRABOX_F_QUEUED) || frames(o->duration.c_str()) < 2) return 0;
    int r = 0;
    if (e->mark_in.empty()) {
        e->duration = o->duration.view();
        r = 1;
    }
    char msg[1024];
    int bad = bus_ply_range_msg_bounds(e, o, msg, sizeof(msg));
    if (bad) {
        e->flags |= MIVRABOX_F_RANGE;
        log_msg(LOG_ERROR, "%s: [%s], r=%d, msg=[%s]", "bus_ply_range_item", e->origin.c_str(), bad,
                msg);
    } else if (bus_ply_range_msg_len(e, o, nullptr, 0)) {
        e->flags |= MIVRABOX_F_PARTIAL;
    }
    ply_list *ply = b->playlist;
    // The media code says where e stands; a search only for a call from elsewhere.
    const int i = bus_ply_index_of(ply, e, b->range_at);
    if (i < 0) return r;
    if (i > 0 && ply->items[size_t(i - 1)]->media_id == e->media_id)
        r += bus_ply_continuous_item(ply->items[size_t(i - 1)], e);
    if (i + 1 < ply->count() && ply->items[size_t(i + 1)]->media_id == e->media_id)
        r += bus_ply_continuous_item(e, ply->items[size_t(i + 1)]);
    return r;
}

void box1_item_present(bus *b, mivrabox_event *e, lib_object *o) {
    b->lock.assert_held();
    static const char *const fn = "bus_ply_lib_handle_event_metas";
    if (o->timecode_at_mark_in.empty()) return;
    log_msg(LOG_INFO, "%s: e->origin=[%s], l->timecode_at_mark_in=[%s]", fn, e->origin.c_str(),
            o->timecode_at_mark_in.c_str());
    mivrabox_meta_pair *vitc = nullptr;
    for (mivrabox_meta_pair &p : e->pairs)
        if (p.key == "IDStartVITC") {
            vitc = &p;
            break;
        }
    // A one-character value marks an event whose points count from the media's first timecode.
    if (!vitc || vitc->value.size() != 1 || (e->mark_in.empty() && e->mark_out.empty())) return;
    const int64_t m = frames(o->timecode_at_mark_in.c_str());
    char buf[TC_TEXT_SIZE];
    if (!e->mark_out.empty() && frames(e->mark_out.c_str()) - m >= 0) {
        e->mark_out = tc_text(frames(e->mark_out.c_str()) - m, buf);
        log_msg(LOG_INFO, "%s: updated mark_out=[%s]", fn, e->mark_out.c_str());
    }
    if (!e->mark_in.empty() && frames(e->mark_in.c_str()) - m >= 0) {
        e->mark_in = tc_text(frames(e->mark_in.c_str()) - m, buf);
        log_msg(LOG_INFO, "%s: updated mark_in=[%s]", fn, e->mark_in.c_str());
    }
    vitc->value = o->timecode_at_mark_in.view();
    log_msg(LOG_INFO, "%s: updated IDStartVITC=[%s]", fn, vitc->value.c_str());
}
