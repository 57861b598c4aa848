// Media objects of a bus: registration by events and the spreading of presence to them.
#include "bus.h"
#include "log.h"
#include "tc.h"

namespace {

using lock_t = std::lock_guard<std::recursive_mutex>;

lib_object *obj(lib_object_list &l, int i) {
    return l.items[size_t(i)].get();
}

}  // namespace

int bus_lib_register(bus *b, const char *media_id, char *origin_out, size_t origin_size) {
    lock_t lk(b->lock);
    const char *id = media_id ? media_id : "";
    int i = lib_object_list_find_object(&b->present, id);
    if (i >= 0) {
        lib_object *o = obj(b->present, i);
        o->ref++;
        if (origin_out) str_copy(origin_out, origin_size, o->origin);
        log_msg(LOG_ERROR, "%s:%d registred present object=[%s], origin=[%s], ref=%d",
                "bus_lib_register", __LINE__, id, o->origin.c_str(), o->ref);
        return i + 1;
    }
    i = lib_object_list_find_object(&b->absent, id);
    if (i >= 0) {
        lib_object *o = obj(b->absent, i);
        o->ref++;
        if (origin_out) str_copy(origin_out, origin_size, "");
        log_msg(LOG_ERROR, "%s:%d registred absent object=[%s], origin=[%s], ref=%d",
                "bus_lib_register", __LINE__, id, o->origin.c_str(), o->ref);
        return -(i + 1);
    }
    i = lib_object_list_find_object(&b->queued, id);
    if (i >= 0) {
        lib_object *o = obj(b->queued, i);
        o->ref++;
        log_msg(LOG_ERROR, "%s:%d registred queued object=[%s], origin=[%s], ref=%d",
                "bus_lib_register", __LINE__, id, o->origin.c_str(), o->ref);
        return 0;
    }
    lib_object *o = nullptr;
    if (lib_object_new(&o) < 0) return -12;
    o->object = id;
    o->ref = 1;
    if (lib_object_list_push(&b->queued, o) < 0) return -12;
    log_msg(LOG_ERROR, "%s:%d registred new object=[%s], origin=[%s]", "bus_lib_register", __LINE__,
            id, "");
    return 0;
}

int bus_lib_unregister(bus *b, const char *media_id) {
    const char *id = media_id ? media_id : "";
    log_msg(LOG_ERROR, "%s:%d object=[%s]", "bus_lib_unregister", __LINE__, id);
    lock_t lk(b->lock);
    int i = lib_object_list_find_object(&b->present, id);
    if (i >= 0) {
        lib_object *o = obj(b->present, i);
        o->ref--;
        log_msg(LOG_ERROR, "%s:%d unregistred present [%s], new ref=%d", "bus_lib_unregister",
                __LINE__, id, o->ref);
        if (o->ref <= 0) lib_object_list_delete(&b->present, i);
        return 0;
    }
    i = lib_object_list_find_object(&b->absent, id);
    if (i >= 0) {
        lib_object *o = obj(b->absent, i);
        if (--o->ref <= 0) lib_object_list_delete(&b->absent, i);
        return 0;
    }
    i = lib_object_list_find_object(&b->queued, id);
    if (i >= 0) {
        // The queue thread may be looking this object up; it deletes it when it sees ref 0.
        lib_object *o = obj(b->queued, i);
        if (o->ref > 0) o->ref--;
        log_msg(LOG_ERROR, "%s:%d unregistred queued [%s]", "bus_lib_unregister", __LINE__, id);
        return 0;
    }
    log_msg(LOG_ERROR, "%s:%d unregistred unknown [%s]", "bus_lib_unregister", __LINE__, id);
    return -2;
}

// Live sources and failed lookups have no usable length: a range check would wipe the duration.
static bool range_usable(const lib_object *o) {
    return !o->duration.empty() && tc_str2frames(o->duration.c_str()) >= 2;
}

int bus_ply_item_register(bus *b, mivrabox_event *e) {
    lock_t lk(b->lock);
    char origin[4096];
    origin[0] = 0;
    int r = bus_lib_register(b, e->media_id.c_str(), origin, sizeof(origin));
    e->origin = origin;
    e->flags &= ~uint64_t(MIVRABOX_F_PRESENT | MIVRABOX_F_ABSENT | MIVRABOX_F_RANGE |
                          MIVRABOX_F_QUEUED | MIVRABOX_F_PARTIAL);
    if (r > 0) {
        e->flags |= MIVRABOX_F_PRESENT;
        lib_object *o = obj(b->present, r - 1);
        if (range_usable(o)) b->hooks.range_item(b, e, o);
    } else if (r < 0 && r != -12) {
        e->flags |= MIVRABOX_F_ABSENT;
    } else if (r == 0) {
        e->flags |= MIVRABOX_F_QUEUED;
    }
    return r;
}

int bus_ply_item_unregister(bus *b, mivrabox_event *e) {
    return bus_lib_unregister(b, e->media_id.c_str());
}

int bus_ply_lib_handle_event_metas(bus *b, lib_object *o, int present) {
    lock_t lk(b->lock);
    ply_list *ply = b->playlist;
    int changed = 0, filled = 0;
    for (mivrabox_event *e : ply->items) {
        if (e->media_id.view() != o->object) continue;
        if (present) {
            if (e->flags & MIVRABOX_F_PRESENT) continue;
            e->flags &= ~uint64_t(MIVRABOX_F_ABSENT | MIVRABOX_F_RANGE | MIVRABOX_F_PARTIAL);
            e->flags |= MIVRABOX_F_PRESENT;
            e->origin = o->origin;
            if (!(e->flags & MIVRABOX_F_QUEUED) && range_usable(o))
                filled += b->hooks.range_item(b, e, o);
        } else {
            if (e->flags & MIVRABOX_F_ABSENT) continue;
            e->origin.clear();
            e->flags &= ~uint64_t(MIVRABOX_F_PRESENT | MIVRABOX_F_RANGE | MIVRABOX_F_PARTIAL);
            e->flags |= MIVRABOX_F_ABSENT;
        }
        changed++;
    }
    if (filled) bus_ply_start_time_recalc(ply);
    if (changed) ply->revision++;
    return changed;
}
