// Playlist files into a bus: read and parsed without the bus lock, spliced under it, their media
// registered in short holds after.
#include <climits>

#include "bus.h"
#include "bus_ply_detail.h"
#include "log.h"
#include "tc.h"

using namespace bus_ply_detail;

namespace {

using lock_t = std::lock_guard<bus_mutex>;

int64_t end_of(const mivrabox_event *e) {
    return e->start + bus_event_dur_ms(e);
}

}  // namespace

int bus_ply_read(bus *b, const char *path, ply_list **out, const std::atomic<int> *stop) {
    int r = ply_load(out, path, stop);
    if (r == -27)
        log_msg(LOG_ERROR, "%s[%d] refused [%s]: larger than %llu bytes", "bus_ply_read", b->index,
                path, static_cast<unsigned long long>(PLY_FILE_MAX));
    if (r < 0) return r;
    // sys_ids and start times are given before the bus lock is taken.
    bus_ply_start_time_recalc(*out);
    return r;
}

int bus_ply_load_ply(bus *b, ply_list *loaded, const char *path, mivrabox_state *st) {
    event_refs refs;
    if (refs.take(loaded->items) < 0) return -12;
    {
        lock_t lk(b->lock);
        if (b->playlist->count() > 0) return -17;
        // The bus keeps its one list object for its whole life (cue and play threads raise its
        // revision without the lock): the events move in. The revision goes on from the old one,
        // so that a save of the new events is never taken for one already written.
        ply_list *ply = b->playlist;
        ply->items.swap(loaded->items);
        ply->revision += loaded->revision.load() + 1;
        ply->shape++;
        ply->last_cued_sys_id = loaded->last_cued_sys_id;
        ply->last_played_sys_id = loaded->last_played_sys_id;
        ply->total_duration = loaded->total_duration;
        if (b->hooks->ply_loaded) b->hooks->ply_loaded(b, path);
    }
    // Start times were given by the read; they change only when a media fills a duration.
    bus_ply_items_register_chunks(b, refs.v, 0);
    lock_t lk(b->lock);
    return fill(b, st, b->playlist->count());
}

int bus_ply_load(bus *b, const char *path, mivrabox_state *st) {
    ply_ref loaded;
    int r = bus_ply_read(b, path, &loaded.p);
    if (r < 0) return r;
    return bus_ply_load_ply(b, loaded.p, path, st);
}

int bus_ply_append(bus *b, const char *path, mivrabox_state *st) {
    ply_ref loaded;
    int r = bus_ply_read(b, path, &loaded.p);
    if (r < 0) return r;
    r = bus_ply_append_ply(b, loaded.p, path, st);
    bus_ply_appended(b, &loaded.p);
    return r;
}

void bus_ply_appended(bus *b, ply_list **list) {
    if (!list || !*list) return;
    if (b->hooks->appended) b->hooks->appended(b, *list);
    ply_free(list);
}

int bus_ply_append_ply(bus *b, ply_list *loaded, const char *path, mivrabox_state *st) {
    // The copies that go in are made before the lock: loaded stays the caller's, for the
    // appended hook.
    ply_ref fresh;
    if (ply_new(&fresh.p) < 0) return -12;
    int made = ply_append_list(fresh.p, loaded);
    if (made < 0) return made;
    event_refs refs;
    if (refs.take(fresh.p->items) < 0) return -12;
    // Their start times are made before the lock, after the end of the playlist as it is now;
    // under it they are made again only if that end moved meanwhile.
    int64_t after = INT64_MIN;
    {
        lock_t lk(b->lock);
        if (b->playlist->count() > 0) after = end_of(b->playlist->items.back());
    }
    int64_t total = after != INT64_MIN ? bus_ply_start_time_prepare(fresh.p, after) : -1;
    int first = 0;
    {
        lock_t lk(b->lock);
        if (b->playlist->count() == 0) return -2;
        ply_list *ply = b->playlist;
        first = ply->count();
        try {
            ply->items.insert(ply->items.end(), fresh.p->items.begin(), fresh.p->items.end());
        } catch (const std::bad_alloc &) {
            return -12;
        }
        fresh.p->items.clear();  // the bus owns them now
        ply->revision++;
        ply->shape++;
        bus_ply_start_time_recalc_from(ply, first, after, total);
        if (b->hooks->ply_loaded) b->hooks->ply_loaded(b, path);
    }
    bus_ply_items_register_chunks(b, refs.v, first);
    lock_t lk(b->lock);
    return fill(b, st, first);
}
