// Media objects of a bus: registration by events and the spreading of presence to them.
#include <algorithm>
#include <chrono>
#include <climits>
#include <ctime>
#include <memory>
#include <string>

#include "bus.h"
#include "log.h"
#include "mivra_io.h"
#include "mivra_lib.h"
#include "tc.h"

namespace {

using lock_t = std::lock_guard<bus_mutex>;

lib_object *obj(lib_object_list &l, int i) {
    return l.items[size_t(i)].get();
}

// An object named exactly as the id wins over one named by its '#' variant.
lib_object *find_obj(const lib_object_list &l, const char *id) {
    if (lib_object *o = lib_object_list_find_exact(&l, id)) return o;
    int i = lib_object_list_find_object(&l, id);
    return i >= 0 ? l.items[size_t(i)].get() : nullptr;
}

// The object an id is registered on: an exact match in any list first.
bool uses_object(bus *b, std::string_view id, const lib_object *o) {
    if (id == o->object) return true;
    // Compared in place: this runs for every event of the playlist on each media answer.
    std::string_view stem = id.substr(0, id.rfind('.'));
    std::string_view name = o->object;
    if (stem.size() == id.size() || name.size() != stem.size() + 1 || name.back() != '#' ||
        name.substr(0, stem.size()) != stem)
        return false;
    return !lib_object_list_find_exact(&b->present, id) &&
           !lib_object_list_find_exact(&b->absent, id) &&
           !lib_object_list_find_exact(&b->queued, id);
}

// Durations that changed under one hold: the total follows at once, the start times after them
// from the first on, in slices (bus_ply_times_mark).
struct dur_changes {
    int first = -1, last = -1;
    int64_t delta = 0;
    void note(int at, int64_t before, int64_t after) {
        if (before == after) return;
        delta += after - before;
        if (first < 0 || at < first) first = at;
        last = std::max(last, at);
    }
    // Under the bus lock; true when start times are left to be made.
    bool apply(bus *b) {
        b->lock.assert_held();
        if (first < 0) return false;
        ply_list *ply = b->playlist;
        bus_ply_total_add(ply, delta);
        bus_ply_times_mark(b, first + 1, last + 1);
        *this = dur_changes{};
        return true;
    }
};

// The daemon's range check, else the engine's.
int range_item(bus *b, mivrabox_event *e, lib_object *o) {
    return b->hooks->range_item ? b->hooks->range_item(b, e, o) : bus_ply_range_item(b, e, o);
}

// bus_lib_register; *failed (may be null) is raised when no memory was left to list the media:
// -12 is also the answer for the absent media at slot 11.
int lib_register(bus *b, const char *media_id, char *origin_out, size_t origin_size, bool *failed) {
    lock_t lk(b->lock);
    const char *id = media_id ? media_id : "";
    if (lib_object *o = find_obj(b->present, id)) {
        lib_object_list_ref(&b->present, o, 1);
        if (origin_out) str_copy(origin_out, origin_size, o->origin);
        log_msg(LOG_ERROR, "%s:%d registred present object=[%s], origin=[%s], ref=%d",
                "bus_lib_register", __LINE__, id, o->origin.c_str(), o->ref);
        return lib_object_list_index(&b->present, o) + 1;
    }
    if (lib_object *o = find_obj(b->absent, id)) {
        lib_object_list_ref(&b->absent, o, 1);
        if (origin_out) str_copy(origin_out, origin_size, "");
        log_msg(LOG_ERROR, "%s:%d registred absent object=[%s], origin=[%s], ref=%d",
                "bus_lib_register", __LINE__, id, o->origin.c_str(), o->ref);
        return -(lib_object_list_index(&b->absent, o) + 1);
    }
    if (lib_object *o = find_obj(b->queued, id)) {
        lib_object_list_ref(&b->queued, o, 1);
        log_msg(LOG_ERROR, "%s:%d registred queued object=[%s], origin=[%s], ref=%d",
                "bus_lib_register", __LINE__, id, o->origin.c_str(), o->ref);
        return 0;
    }
    lib_object *o = nullptr;
    if (failed) *failed = true;
    if (lib_object_new(&o) < 0) return -12;
    o->object = id;
    o->ref = 1;
    if (lib_object_list_push(&b->queued, o) < 0) return -12;
    if (failed) *failed = false;
    log_msg(LOG_ERROR, "%s:%d registred new object=[%s], origin=[%s]", "bus_lib_register", __LINE__,
            id, "");
    return 0;
}

}  // namespace

int bus_lib_register(bus *b, const char *media_id, char *origin_out, size_t origin_size) {
    return lib_register(b, media_id, origin_out, origin_size, nullptr);
}

const lib_object *bus_lib_find_present(bus *b, const char *media_id) {
    lock_t lk(b->lock);
    return find_obj(b->present, media_id ? media_id : "");
}

int bus_lib_unregister(bus *b, const char *media_id) {
    const char *id = media_id ? media_id : "";
    log_msg(LOG_ERROR, "%s:%d object=[%s]", "bus_lib_unregister", __LINE__, id);
    lock_t lk(b->lock);
    if (lib_object *o = find_obj(b->present, id)) {
        lib_object_list_ref(&b->present, o, -1);
        log_msg(LOG_ERROR, "%s:%d unregistred present [%s], new ref=%d", "bus_lib_unregister",
                __LINE__, id, o->ref);
        if (o->ref <= 0 && b->lib_defer)
            b->users.unused++;
        else if (o->ref <= 0)
            lib_object_list_delete(&b->present, lib_object_list_index(&b->present, o));
        return 0;
    }
    if (lib_object *o = find_obj(b->absent, id)) {
        lib_object_list_ref(&b->absent, o, -1);
        if (o->ref == 0) {
            if (b->hooks->note) b->hooks->note(b, bus_note::absent_released, nullptr, id, 0);
            if (!b->lib_defer)
                lib_object_list_delete(&b->absent, lib_object_list_index(&b->absent, o));
            else
                b->users.unused++;
        }
        return 0;
    }
    // The queue thread may be looking this object up; it deletes it when it sees ref 0.
    if (lib_object *o = find_obj(b->queued, id)) {
        if (o->ref > 0) lib_object_list_ref(&b->queued, o, -1);
        log_msg(LOG_ERROR, "%s:%d unregistred queued [%s]", "bus_lib_unregister", __LINE__, id);
        return 0;
    }
    log_msg(LOG_ERROR, "%s:%d unregistred unknown [%s]", "bus_lib_unregister", __LINE__, id);
    return -2;
}

void bus_lib_defer(bus *b) {
    lock_t lk(b->lock);
    b->lib_defer++;
}

void bus_lib_sweep(bus *b, lib_object_sweepings *dead) {
    lock_t lk(b->lock);
    if (b->lib_defer > 0 && --b->lib_defer > 0) return;
    // A pass over both lists only when a media was left without a reference.
    if (b->users.unused == 0) return;
    b->users.unused = 0;
    lib_object_list_sweep(&b->present, dead);
    lib_object_list_sweep(&b->absent, dead);
}

// Live sources and failed lookups have no usable length: a range check would wipe the duration.
// The nominal length a daemon gives live sources is no media length either.
static bool range_usable(const lib_object *o) {
    if (!o->origin.empty() && o->origin[0] == '#') return false;
    return !o->duration.empty() && tc_str2frames(o->duration.c_str()) >= 2;
}

namespace {

// The '#' variant name of an id (clip.mxf: clip#), empty for an id without '.'.
std::string variant_of(std::string_view id) {
    size_t dot = id.rfind('.');
    return dot == std::string_view::npos ? std::string() : std::string(id.substr(0, dot)) + '#';
}

// Range and subclip flags of registered events, counted for the state.
void count_flags(bus *b, uint64_t f, int sign) {
    b->lock.assert_held();
    if (f & MIVRABOX_F_RANGE) b->users.range += sign;
    if (f & MIVRABOX_F_PARTIAL) b->users.subclip += sign;
}

void set_drop(std::unordered_map<std::string, std::unordered_set<mivrabox_event *>> &m,
              const std::string &key, mivrabox_event *e) {
    auto it = m.find(key);
    if (it == m.end()) return;
    it->second.erase(e);
    if (it->second.empty()) m.erase(it);
}

void users_add(bus *b, mivrabox_event *e) {
    b->lock.assert_held();
    bus_lib_users &u = b->users;
    std::string id = e->media_id.str();
    if (e->lib_owner.p == e) return;
    e->lib_owner.p = e;
    e->lib_id = id;
    mivrabox_event_ref(e);
    u.by_id[id].insert(e);
    if (std::string v = variant_of(id); !v.empty()) u.by_variant[v].insert(e);
}

// Takes e out of the registered events; false when it was not there.
bool users_drop(bus *b, mivrabox_event *e, std::string &id) {
    b->lock.assert_held();
    bus_lib_users &u = b->users;
    if (e->lib_owner.p != e) return false;
    e->lib_owner.p = nullptr;
    id = std::move(e->lib_id);
    set_drop(u.by_id, id, e);
    if (std::string v = variant_of(id); !v.empty()) set_drop(u.by_variant, v, e);
    count_flags(b, e->flags, -1);
    mivrabox_event_unref(&e);
    return true;
}

// Registers e; *filled is raised when the range check filled a duration from the media, which
// moves the events after it.
int item_register(bus *b, mivrabox_event *e, int *filled) {
    b->lock.assert_held();
    char origin[4096];
    origin[0] = 0;
    const bool counted = e->lib_owner.p == e;
    if (counted) count_flags(b, e->flags, -1);
    bool failed = false;
    int r = lib_register(b, e->media_id.c_str(), origin, sizeof(origin), &failed);
    e->origin = origin;
    e->flags &= ~uint64_t(MIVRABOX_F_PRESENT | MIVRABOX_F_ABSENT | MIVRABOX_F_RANGE |
                          MIVRABOX_F_QUEUED | MIVRABOX_F_PARTIAL | MIVRABOX_F_DISCONT);
    if (r > 0) {
        e->flags |= MIVRABOX_F_PRESENT;
        lib_object *o = obj(b->present, r - 1);
        if (range_usable(o) && range_item(b, e, o) > 0) (*filled)++;
    } else if (r < 0 && !failed) {
        e->flags |= MIVRABOX_F_ABSENT;
    } else if (r == 0) {
        e->flags |= b->hooks->queued_mark;
    }
    if (!failed) users_add(b, e);
    if (e->lib_owner.p == e) count_flags(b, e->flags, 1);
    return r;
}

// Room in a hash map for more entries without a rehash; when it must grow, twice what is asked.
template <class M>
void room_for(M &m, size_t more) {
    const size_t need = m.size() + more;
    if (double(need) <= double(m.bucket_count()) * m.max_load_factor()) return;
    m.reserve(need * 2);
}

// The indexes that a registration of n events grows by n entries at most, made room for before
// its chunks, not by rehashing in the middle of one, and with room to spare, since a rehash moves
// every entry: a hold of milliseconds once the playlist is large. An empty index (a load into an
// empty bus) is swapped for one made before the hold, so that even its room costs none.
struct index_room {
    using users_map = decltype(bus_lib_users::by_id);
    users_map by_id, by_variant;
    decltype(lib_object_list::by_name) names;
    decltype(lib_object_list::items) items;

    explicit index_room(size_t n) {
        // A few entries make no rehash worth a spare table.
        if (n < 4096) return;
        try {
            by_id.reserve(n * 2);
            by_variant.reserve(n * 2);
            names.reserve(n * 2);
            items.reserve(n * 2);
        } catch (const std::bad_alloc &) {
        }
    }
    template <class M>
    static void take(M &cur, M &ready, size_t n) {
        if (cur.empty() && ready.bucket_count() > cur.bucket_count())
            cur.swap(ready);  // the old one is freed with this record, after the hold
        else
            room_for(cur, n);
    }
    // Under the bus lock.
    void apply(bus *b, size_t n) {
        b->lock.assert_held();
        try {
            take(b->users.by_id, by_id, n);
            take(b->users.by_variant, by_variant, n);
            take(b->queued.by_name, names, n);
            std::vector<std::unique_ptr<lib_object>> &q = b->queued.items;
            if (q.empty() && items.capacity() > q.capacity())
                q.swap(items);
            else if (q.capacity() < q.size() + n)
                q.reserve((q.size() + n) * 2);
        } catch (const std::bad_alloc &) {
        }
    }
};

}  // namespace

bool bus_lib_registered(bus *b, const mivrabox_event *e) {
    lock_t lk(b->lock);
    return e->lib_owner.p == e;
}

void bus_lib_users_clear(bus *b) {
    // Each registered event stands in the set of its id once.
    for (auto &p : b->users.by_id)
        for (mivrabox_event *e : p.second) {
            e->lib_owner.p = nullptr;
            mivrabox_event_unref(&e);
        }
    b->users = bus_lib_users{};
}

int bus_ply_item_register(bus *b, mivrabox_event *e) {
    lock_t lk(b->lock);
    int filled = 0;
    const int64_t before = bus_event_dur_ms(e);
    int r = item_register(b, e, &filled);
    const int64_t after = bus_event_dur_ms(e);
    if (after != before) {
        const ply_list *ply = b->playlist;
        const int at = bus_ply_index_of(ply, e, b->range_at);
        dur_changes durs;
        if (at >= 0) durs.note(at, before, after);
        // The starts after it are left to the caller's slice or the media thread.
        durs.apply(b);
    }
    return r;
}

int bus_ply_items_register(bus *b, int from, int to, bool recalc) {
    lock_t lk(b->lock);
    ply_list *ply = b->playlist;
    int filled = 0;
    to = std::min(to, ply->count());
    for (int i = std::max(from, 0); i < to; i++) {
        b->range_at = i;
        ply_place_keep(ply, ply->items[size_t(i)], i);
        item_register(b, ply->items[size_t(i)], &filled);
    }
    b->range_at = -1;
    // Once for the whole run, not once per event whose duration the media filled.
    if (filled && recalc) bus_ply_start_time_recalc(ply);
    return filled;
}

int bus_ply_items_register_chunks(bus *b, const std::vector<mivrabox_event *> &events, int at,
                                  bool recalc) {
    // Each hold ends after about kHoldUs (the clock read every few events, some of which cost a
    // new media object each): a large load must not hold up the scheduler.
    constexpr int kHoldUs = 1000;
    int filled = 0;
    bool moved = false;
    size_t k = 0;
    index_room room(events.size());
    {
        lock_t lk(b->lock);
        room.apply(b, events.size());
    }
    while (k < events.size()) {
        if (b->stop_signal && b->stop_signal->load()) break;
        lock_t lk(b->lock);
        const ply_list *ply = b->playlist;
        dur_changes durs;
        auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(kHoldUs);
        for (int n = 1; k < events.size(); n++) {
            mivrabox_event *e = events[k++];
            at = bus_ply_index_of(ply, e, at);
            // Deleted before its turn, or registered meanwhile: nothing to count.
            if (at < 0 || e->lib_owner.p == e) continue;
            b->range_at = at;
            const int64_t before = bus_event_dur_ms(e);
            item_register(b, e, &filled);
            durs.note(at++, before, bus_event_dur_ms(e));
            if ((n & 3) == 0 && std::chrono::steady_clock::now() >= until) break;
        }
        b->range_at = -1;
        // The total in the same hold as the durations it sums.
        if (recalc && durs.apply(b)) moved = true;
    }
    // The start times after the filled durations, in short holds too, before the caller replies.
    if (moved) bus_ply_times_settle(b);
    return filled;
}

int bus_ply_item_unregister(bus *b, mivrabox_event *e) {
    lock_t lk(b->lock);
    std::string id;
    if (!users_drop(b, e, id)) return -2;
    return bus_lib_unregister(b, id.c_str());
}

namespace {

// The registered events that use o, in no order.
std::vector<mivrabox_event *> users_of(bus *b, const lib_object *o) {
    b->lock.assert_held();
    std::vector<mivrabox_event *> v;
    auto it = b->users.by_id.find(o->object);
    if (it != b->users.by_id.end()) v.assign(it->second.begin(), it->second.end());
    if (o->object.empty() || o->object.back() != '#') return v;
    auto var = b->users.by_variant.find(o->object);
    if (var == b->users.by_variant.end()) return v;
    for (mivrabox_event *e : var->second)
        if (e->media_id.view() != o->object && uses_object(b, e->media_id.view(), o))
            v.push_back(e);
    return v;
}

// One event's new media state; true when it changed. *filled is raised when a range check
// filled a duration.
bool event_meta(bus *b, mivrabox_event *e, lib_object *o, int present, int *filled) {
    b->lock.assert_held();
    if (present) {
        if (e->flags & MIVRABOX_F_PRESENT) return false;
        e->flags &= ~uint64_t(MIVRABOX_F_ABSENT | MIVRABOX_F_RANGE | MIVRABOX_F_PARTIAL |
                              MIVRABOX_F_DISCONT);
        e->flags |= MIVRABOX_F_PRESENT;
        e->origin = o->origin;
        if (b->hooks->item_present) b->hooks->item_present(b, e, o);
        if (!(e->flags & MIVRABOX_F_QUEUED) && range_usable(o)) *filled += range_item(b, e, o);
    } else {
        if (e->flags & MIVRABOX_F_ABSENT) return false;
        e->origin.clear();
        e->flags &= ~uint64_t(MIVRABOX_F_PRESENT | MIVRABOX_F_RANGE | MIVRABOX_F_PARTIAL |
                              MIVRABOX_F_DISCONT);
        e->flags |= MIVRABOX_F_ABSENT;
    }
    return true;
}

}  // namespace

int bus_ply_lib_handle_event_metas(bus *b, lib_object *o, int present) {
    lock_t lk(b->lock);
    ply_list *ply = b->playlist;
    // The events come from the index of the media's users.
    std::vector<mivrabox_event *> users = users_of(b, o);
    if (users.empty()) return 0;
    // Where each stands, from the place kept on it (an answer per media, tens of thousands after
    // a large append, must not each read the whole playlist); one scan of the pointers, ended
    // once it met them, finds those whose events before them came or went since.
    std::vector<std::pair<int, mivrabox_event *>> at;
    at.reserve(users.size());
    size_t lost = 0;
    for (mivrabox_event *&e : users) {
        if (int i = ply_place_index(ply, e); i >= 0)
            at.emplace_back(i, e);
        else
            users[lost++] = e;
    }
    users.resize(lost);
    std::sort(users.begin(), users.end());
    for (int i = 0; lost > 0 && i < ply->count(); i++) {
        mivrabox_event *e = ply->items[size_t(i)];
        if (e < users.front() || e > users.back() ||
            !std::binary_search(users.begin(), users.end(), e))
            continue;
        ply_place_keep(ply, e, i);
        at.emplace_back(i, e);
        lost--;
    }
    // In playlist order, as the range checks of neighbours expect.
    std::sort(at.begin(), at.end());
    int changed = 0, filled = 0;
    dur_changes durs;
    for (auto [i, e] : at) {
        b->range_at = i;
        count_flags(b, e->flags, -1);
        const int64_t before = bus_event_dur_ms(e);
        if (event_meta(b, e, o, present, &filled)) changed++;
        durs.note(i, before, bus_event_dur_ms(e));
        count_flags(b, e->flags, 1);
    }
    b->range_at = -1;
    // A whole pass here would cost milliseconds on a large playlist, once per media answered:
    // the starts after the first changed duration are made for one slice now, the rest in
    // short holds of the queue thread (or of whoever goes on with them first).
    if (durs.apply(b)) bus_ply_times_slice(b);
    if (changed) ply->revision++;
    return changed;
}

namespace {

// Index of o in l, -2 when it is no longer there.
int index_of(const lib_object_list &l, const lib_object *o) {
    size_t i = o->slot - l.base;  // wraps past the end for a slot below the base
    return i < l.items.size() && l.items[i].get() == o ? int(i) : -2;
}

// Moves o from one list to the end of another, under the bus lock.
void move_object(lib_object_list &from, lib_object_list &to, lib_object *o) {
    int i = index_of(from, o);
    if (i < 0) return;
    // Taken out by the list itself, which then keeps its name index without a rebuild.
    lib_object *p = from.items[size_t(i)].get();
    lib_object_list_remove(&from, i);
    lib_object_list_push(&to, p);
}

// The library's answer for one queued media, looked up without the bus lock.
struct lookup {
    int result = 0;  // < 0 and not -2: the library could not be asked
    bool present = false;
    std::string origin;
    std::string duration;
    std::string tc_mark_in, tc;  // the library's timecodes of the media, when it gives them
};

lookup lib_lookup(bus *b, const std::string &id) {
    lookup l;
    // Live sources are never in the library: their id is their origin.
    if (id[0] == '#') {
        l.present = true;
        l.origin = id;
        if (b->hooks->live_duration) l.duration = b->hooks->live_duration;
        return l;
    }
    text4k value, object;
    int64_t shm = 0;
    l.result = mivra_io_basename_item(b->lib_url.c_str(), id.c_str(), &value, &object, &shm);
    if (l.result < 0) return l;
    l.present = true;
    l.origin = object.str();
    std::unique_ptr<mivra_lib_item> item;
    int r = mivra_lib_meta_item(b->lib_url.c_str(), l.origin.c_str(), &item);
    if (r < 0 || !item) {
        log_msg(LOG_ERROR, "%s[%d] mivra_lib_meta_item(%s) failed, r=%d", "bus_lib_proc_queue",
                b->index, l.origin.c_str(), r);
    } else {
        char tc[TC_TEXT_SIZE];
        l.duration = tc_frames2str(tc_sec2frames(item->duration_eff), tc);
        l.tc_mark_in = item->timecode_at_mark_in.str();
        l.tc = item->timecode.str();
    }
    return l;
}

}  // namespace

void bus_lib_proc_queue(bus *b) {
    // Start times left by the answers are made at least this often while answers keep coming.
    constexpr auto kCarryAfter = std::chrono::milliseconds(250);
    log_msg(LOG_INFO, "%s[%d] started", "bus_lib_proc_queue", b->index);
    mivra_thread_bound(MIVRA_BOUND_LIBRARY_MS);
    while (!b->exit) {
        lib_object *o = nullptr;
        std::string id;
        bool carry = false;
        {
            lock_t lk(b->lock);
            // The unused objects at the front go a bounded batch a hold (a closed playlist may
            // leave thousands).
            constexpr int kBatch = 2048;
            int unused = 0;
            while (unused < std::min(b->queued.count(), kBatch) && obj(b->queued, unused)->ref <= 0)
                unused++;
            lib_object_list_delete_front(&b->queued, unused);
            if (unused == kBatch) continue;
            // Without a library nothing resolves; only the unused objects are let go.
            if (b->queued.count() > 0 && !b->lib_url.empty()) {
                o = obj(b->queued, 0);
                id = o->object;
            }
            // Start times left by the answers are made before the thread rests, and now and
            // then while answers keep coming (each answer moves them on by a slice already).
            carry = b->times.pending &&
                    (!o || std::chrono::steady_clock::now() - b->times.since > kCarryAfter);
        }
        if (carry) bus_ply_times_settle(b);
        if (!o || id.empty()) {
            if (o) {
                lock_t lk(b->lock);
                move_object(b->queued, b->absent, o);
                continue;
            }
            if (bus_sleep(b, 800)) break;
            continue;
        }
        // o stays valid without the lock: only this thread deletes from QUEUED, and only its
        // first entry is referred to between lock periods.
        lookup l = lib_lookup(b, id);
        if (l.result < 0 && l.result != -2) {
            if (b->hooks->note)
                b->hooks->note(b, bus_note::lookup_failed, nullptr, id.c_str(), l.result);
            else
                bus_note_log(b, bus_note::lookup_failed, nullptr, id.c_str(), l.result);
            {
                // To the end: one media the library cannot answer for blocks no other.
                lock_t lk(b->lock);
                move_object(b->queued, b->queued, o);
            }
            if (bus_sleep(b, 3000)) break;
            continue;
        }
        lock_t lk(b->lock);
        o->duration = l.duration;
        o->origin = l.origin;
        o->timecode_at_mark_in = l.tc_mark_in;
        o->timecode = l.tc;
        if (o->ref <= 0) {
            log_msg(LOG_INFO, "%s[%d] ORPHANED object={%s}, origin={%s}", "bus_lib_proc_queue",
                    b->index, o->object.c_str(), o->origin.c_str());
            lib_object_list_delete(&b->queued, index_of(b->queued, o));
            continue;
        }
        move_object(b->queued, l.present ? b->present : b->absent, o);
        log_msg(LOG_INFO, "%s[%d] CHECKED object={%s}, origin={%s}, dur={%s} f_new=%d",
                "bus_lib_proc_queue", b->index, o->object.c_str(), o->origin.c_str(),
                o->duration.c_str(), int(l.present));
        bus_ply_lib_handle_event_metas(b, o, l.present ? 1 : 0);
    }
    log_msg(LOG_INFO, "%s[%d] finished", "bus_lib_proc_queue", b->index);
}

namespace {

// Applies one change entry of the library, under the bus lock.
void lib_amend(bus *b, const char *entry) {
    b->lock.assert_held();
    log_msg(LOG_INFO, "%s[%d] {%s}", "bus_lib_proc_state", b->index, entry);
    const char *name = entry + 1;
    if (entry[0] == '-' && *name) {
        for (int i; (i = lib_object_list_find_origin(&b->present, name)) >= 0;) {
            lib_object *o = obj(b->present, i);
            log_msg(LOG_INFO, "%s[%d] PRESENT->ABSENT object=[%s], origin=[%s]",
                    "bus_lib_proc_state", b->index, o->object.c_str(), o->origin.c_str());
            o->origin.clear();
            move_object(b->present, b->absent, o);
            bus_ply_lib_handle_event_metas(b, o, 0);
        }
    } else if (entry[0] == '+' && *name) {
        while (lib_object *o = find_obj(b->absent, name)) {
            log_msg(LOG_INFO, "%s[%d] ABSENT->PRESENT object=[%s], origin=[%s]",
                    "bus_lib_proc_state", b->index, o->object.c_str(), name);
            o->origin = name;
            move_object(b->absent, b->queued, o);
        }
    } else {
        log_msg(LOG_ERROR, "%s[%d] FAILED TO PARSE {%s}", "bus_lib_proc_state", b->index, entry);
    }
}

}  // namespace

void bus_lib_proc_state(bus *b) {
    log_msg(LOG_INFO, "%s[%d] started", "bus_lib_proc_state", b->index);
    mivra_thread_bound(MIVRA_BOUND_LIBRARY_MS);
    int64_t amend = 0;
    time_t polled = 0;
    bool slept = false;
    while (!b->exit) {
        time_t now = time(nullptr);
        if (!(polled && polled + 3 >= now && slept) && !b->lib_url.empty()) {
            std::unique_ptr<mivra_lib_usage> u;
            int r = mivra_lib_state(b->lib_url.c_str(), 512, &u);
            if (r < 0 || !u) {
                log_msg(LOG_ERROR, "%s[%d] mivra_lib_state failed, r=%d", "bus_lib_proc_state",
                        b->index, r);
                if (bus_sleep(b, 3000)) break;
                polled = now;
                slept = true;
                continue;
            }
            if (u->amend_idx > amend) {
                int64_t n = std::min<int64_t>(int64_t(u->amend.size()), u->amend_idx - amend);
                {
                    lock_t lk(b->lock);
                    for (int64_t i = n - 1; i >= 0; i--) lib_amend(b, u->amend[size_t(i)].c_str());
                }
                amend = u->amend_idx;
                polled = now;
                slept = false;
                continue;
            }
            amend = u->amend_idx;
            polled = now;
        }
        if (bus_sleep(b, 800)) break;
        slept = true;
    }
    log_msg(LOG_INFO, "%s[%d] finished", "bus_lib_proc_state", b->index);
}
