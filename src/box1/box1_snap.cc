// Snapshot slots of a MivraBox1 bus, their control methods, and the peers that use them: the
// download of a master's (or slave's) playlist and the push of appended playlists to the slave.
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "box1_bus.h"
#include "ctl.h"
#include "log.h"
#include "mivrabox_client.h"
#include "wallclock.h"

namespace {

using lock_t = std::lock_guard<bus_mutex>;

struct event_holder {
    mivrabox_event *e = nullptr;
    ~event_holder() { mivrabox_event_unref(&e); }
};

bool slot_ok(int slot) {
    return slot >= 0 && slot < BOX1_SNAPSHOTS;
}

int fill(box1_bus *b, mivrabox_state *st, int r) {
    if (st) bus_ply_state(b, st);
    return r;
}

// Under the bus lock: marks the slot as used now.
void touch(box1_bus *b, int slot) {
    b->lock.assert_held();
    b->snapshot_used[slot] = bus_now_ms(b);
}

// Under the bus lock: puts l into the lowest free slot, else into the slot idle longest once that
// has been idle long enough (its list is dropped); the slot, or -12 with l left to the caller.
int snapshot_put(box1_bus *b, ply_list *l) {
    b->lock.assert_held();
    const int64_t now = bus_now_ms(b);
    int slot = -1;
    for (int i = 0; i < BOX1_SNAPSHOTS && slot < 0; i++)
        if (!b->snapshots[i]) slot = i;
    if (slot < 0) {
        int64_t oldest = now - BOX1_SNAPSHOT_IDLE_MS + 1;
        for (int i = 0; i < BOX1_SNAPSHOTS; i++) {
            // A clock set back must not make a slot look used in the future for ever.
            if (b->snapshot_used[i] > now) b->snapshot_used[i] = now;
            if (b->snapshot_used[i] < oldest) {
                oldest = b->snapshot_used[i];
                slot = i;
            }
        }
        if (slot < 0) return -12;
        log_msg(LOG_ERROR, "%s[%d] snapshot %d idle for %" PRId64 " s, taken back", "bus_snapshot",
                b->index, slot, (now - oldest) / 1000);
        ply_free(&b->snapshots[slot]);
    }
    b->snapshots[slot] = l;
    b->snapshot_used[slot] = now;
    return slot;
}

// Appends one event line to a slot; a line that does not parse is left out, with the same
// answer.
int box1_snapshot_add_event(box1_bus *b, int slot, const char *line, mivrabox_state *st) {
    if (!slot_ok(slot)) return -22;
    lock_t lk(b->lock);
    ply_list *l = b->snapshots[slot];
    if (!l) return -2;
    event_holder e{mivrabox_event_parse(line)};
    if (e.e && ply_insert_event(l, e.e, -1, 0) < 0) return -12;
    touch(b, slot);
    return fill(b, st, 0);
}

// The playlist line of one event of a slot. Its time of day is rewritten only from a start that
// a playlist gave it: events added or loaded keep the time they came with.
int box1_snapshot_get_event(box1_bus *b, int slot, int index, std::string &line,
                            mivrabox_state *st) {
    if (!slot_ok(slot) || index < 0) return -22;
    lock_t lk(b->lock);
    const ply_list *l = b->snapshots[slot];
    if (!l) return -2;
    if (index >= l->count()) return -34;
    mivrabox_event copy = *l->items[size_t(index)];
    if (copy.start != 0) {
        struct timeval tv;
        char tc[TIME_TC_SIZE];
        time_ms2tv(copy.start, &tv);
        time_tv2tc(&tv, tc);
        copy.start_time = tc;
    }
    std::unique_ptr<char[]> buf(new char[MIVRABOX_LINE_SIZE]);
    mivrabox_event_format(&copy, buf.get(), MIVRABOX_LINE_SIZE);
    line = buf.get();
    touch(b, slot);
    return fill(b, st, 0);
}

// (is), (iis): a name that becomes "<bus folder>/<name>.ply" must be a plain file name there.
bool name_path(box1_bus *b, const char *fn, const char *name, std::string &path) {
    if (bus_ply_name_path(b, name, path) == 0) return true;
    log_msg(LOG_ERROR, "%s: refused snapshot name [%s]", fn, name);
    return false;
}

// Picks the peer a reserved playlist name stands for; false when the bus has none.
bool peer_of(box1_bus *b, const char *name, const char **url, int *peer_bus) {
    if (strcmp(name, "peer_master") == 0 && !b->peer_master_url.empty()) {
        *url = b->peer_master_url.c_str();
        *peer_bus = b->peer_master_bus;
        return true;
    }
    if (strcmp(name, "peer_slave") == 0 && !b->peer_slave_url.empty()) {
        *url = b->peer_slave_url.c_str();
        *peer_bus = b->peer_slave_bus;
        return true;
    }
    return false;
}

// Name of a pushed playlist on the slave: pushes within one second (or from two masters) must
// not write over one another.
std::string push_name() {
    static std::atomic<unsigned> seq{0};
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    char name[64];
    snprintf(name, sizeof(name), "append_%ld_%06ld_%u", long(tv.tv_sec), long(tv.tv_usec),
             seq.fetch_add(1));
    return name;
}

}  // namespace

int bus_snapshot_new(box1_bus *b, mivrabox_state *st) {
    ply_holder l;
    if (ply_new(&l.p) < 0) return -12;
    lock_t lk(b->lock);
    int slot = snapshot_put(b, l.p);
    if (slot < 0) return slot;
    l.p = nullptr;
    return fill(b, st, slot);
}

int bus_snapshot_curr(box1_bus *b, mivrabox_state *st) {
    lock_t lk(b->lock);
    if (!b->playlist) return -19;
    ply_holder l;
    if (ply_dup(b->playlist, &l.p) < 0) return -12;
    int slot = snapshot_put(b, l.p);
    if (slot < 0) return slot;
    l.p = nullptr;
    // The state's count is that of the copy: a peer checks its download against it.
    return fill(b, st, slot);
}

int bus_snapshot_load(box1_bus *b, const char *path, mivrabox_state *st) {
    ply_holder l;
    int r = ply_load(&l.p, path);
    if (r < 0) return r;
    lock_t lk(b->lock);
    int slot = snapshot_put(b, l.p);
    if (slot < 0) return slot;
    l.p = nullptr;
    return fill(b, st, slot);
}

int bus_snapshot_save(box1_bus *b, int slot, const char *path, mivrabox_state *st) {
    if (!slot_ok(slot)) return -22;
    ply_holder copy;
    {
        lock_t lk(b->lock);
        if (!b->snapshots[slot]) return -22;
        if (ply_dup(b->snapshots[slot], &copy.p) < 0) return -12;
        touch(b, slot);
        fill(b, st, 0);
    }
    return ply_save(copy.p, path);
}

int bus_snapshot_destroy(box1_bus *b, int slot, mivrabox_state *st) {
    if (!slot_ok(slot)) return -22;
    lock_t lk(b->lock);
    if (!b->snapshots[slot]) return -22;
    ply_free(&b->snapshots[slot]);
    b->snapshot_used[slot] = 0;
    return fill(b, st, 0);
}

namespace {

// (is) or, with a slot, (iis): bus, [slot,] playlist name within the bus folder.
xmlrpc_value *snapshot_file(xmlrpc_env *env, xmlrpc_value *params, void *si, const char *name,
                            bool with_slot,
                            int (*op)(box1_bus *, int, const char *, mivrabox_state *)) {
    int idx = 0, slot = 0;
    char *ply = nullptr;
    const char *args = "'bus idx', 'snapshot idx', 'playlist name'";
    if (!(with_slot ? ctl_decode(env, params, name, args, "(iis)", &idx, &slot, &ply)
                    : ctl_decode(env, params, name, args, "(is)", &idx, &ply)))
        return nullptr;
    c_text hold(ply);
    box1_bus *b = box1_bus_of(si, idx);
    if (!b) return ctl_reply_result(env, -22);
    std::string path;
    if (!name_path(b, name, ply, path)) return ctl_reply_result(env, -22);
    mivrabox_state st = {};
    return ctl_reply_state(env, op(b, slot, path.c_str(), &st), st);
}

}  // namespace

xmlrpc_value *ctl_method_SnapshotLoad(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    return snapshot_file(env, params, si, "ctl_method_SnapshotLoad", false,
                         [](box1_bus *b, int, const char *path, mivrabox_state *st) {
                             return bus_snapshot_load(b, path, st);
                         });
}

xmlrpc_value *ctl_method_SnapshotSave(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    return snapshot_file(env, params, si, "ctl_method_SnapshotSave", true, bus_snapshot_save);
}

xmlrpc_value *ctl_method_SnapshotNew(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    return bus_only(env, params, si, "ctl_method_SnapshotNew",
                    [](bus *b, mivrabox_state *st) { return bus_snapshot_new(box1_of(b), st); });
}

xmlrpc_value *ctl_method_SnapshotDestroy(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    return bus_int(env, params, si, "ctl_method_SnapshotDestroy", "'bus idx', 'snapshot idx'",
                   [](bus *b, int slot, mivrabox_state *st) {
                       return bus_snapshot_destroy(box1_of(b), slot, st);
                   });
}

xmlrpc_value *ctl_method_SnapshotCurr(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    return bus_only(env, params, si, "ctl_method_SnapshotCurr",
                    [](bus *b, mivrabox_state *st) { return bus_snapshot_curr(box1_of(b), st); });
}

xmlrpc_value *ctl_method_SnapshotGetEvent(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    static const char *const name = "ctl_method_SnapshotGetEvent";
    int idx = 0, slot = 0, i = 0;
    if (!ctl_decode(env, params, name, "'bus idx','idx'", "(iii)", &idx, &slot, &i)) return nullptr;
    box1_bus *b = box1_bus_of(si, idx);
    if (!b) return ctl_reply_result(env, -22);
    mivrabox_state st = {};
    std::string line;
    int r = box1_snapshot_get_event(b, slot, i, line, &st);
    return ctl_reply_event(env, r, line.c_str(), st);
}

xmlrpc_value *ctl_method_SnapshotAddEvent(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    static const char *const name = "ctl_method_SnapshotAddEvent";
    int idx = 0, slot = 0;
    char *line = nullptr;
    if (!ctl_decode(env, params, name, "'bus idx','idx','event body'", "(iis)", &idx, &slot, &line))
        return nullptr;
    c_text hold(line);
    box1_bus *b = box1_bus_of(si, idx);
    if (!b) return ctl_reply_result(env, -22);
    mivrabox_state st = {};
    int r = box1_snapshot_add_event(b, slot, line, &st);
    return ctl_reply_event(env, r, line, st);
}

int box1_peer_fetch(bus *bb, const char *name, const char *path) {
    static const char *const fn = "ctl_method_LoadPlaylist";
    box1_bus *b = box1_of(bb);
    const char *url = nullptr;
    int pbus = 0;
    if (!peer_of(b, name, &url, &pbus)) return 0;
    log_msg(LOG_ERROR, "%s: will try download [%s]", fn, name);
    mivra_call_scope bound(MIVRA_BOUND_PEER_MS);
    const int refused = mivra_thread_refused();
    mivrabox_state st = {};
    int slot = mivrabox_snapshot_curr(url, pbus, &st);
    if (slot < 0) {
        // The file of an earlier download (or none) is loaded instead.
        log_msg(LOG_ERROR, "%s: mivrabox_snapshot_curr(%s, %d) failed with %d", fn, url, pbus,
                slot);
        return mivra_thread_refused() != refused ? MIVRA_BUSY : 0;
    }
    log_msg(LOG_ERROR, "%s: loading remote peer (%s, %d, %d)", fn, url, pbus, slot);
    ply_holder list;
    if (ply_new(&list.p) < 0) return -12;
    // The walk stops at the count the peer announced (and at a cap no playlist reaches): one that
    // answers every index must not grow the list for ever. The index after the last must then be
    // refused, or the peer holds more than it said and the copy is not whole.
    const int64_t want = std::clamp<int64_t>(st.count, 0, BOX1_PEER_EVENTS_MAX);
    int got = 0, r = 0;
    bool beyond = false;
    for (; got <= want; got++) {
        event_holder e;
        r = mivrabox_snapshot_get_event(url, pbus, slot, got, &e.e, nullptr);
        if (r < 0) break;
        if ((beyond = got == want)) break;
        if (ply_insert_event(list.p, e.e, -1, 0) < 0) {
            r = -12;
            break;
        }
    }
    log_msg(LOG_ERROR, "%s: got %d remote events", fn, got);
    int result = 0;
    // Only the whole copy may replace the file.
    if (beyond) {
        log_msg(LOG_ERROR,
                "%s: download of [%s] stopped at %d events, the peer answers past them, "
                "kept [%s]",
                fn, name, got, path);
        result = RESULT_NO_ANSWER;
    } else if (got != st.count || r == -12) {
        log_msg(LOG_ERROR, "%s: download of [%s] broke off at %d of %" PRId64 " events, kept [%s]",
                fn, name, got, st.count, path);
        result = mivra_thread_refused() != refused ? MIVRA_BUSY : RESULT_NO_ANSWER;
    } else if ((r = ply_save(list.p, path)) < 0) {
        log_msg(LOG_ERROR, "%s: ply_save(%s) failed with %d", fn, path, r);
        result = r;
    }
    mivrabox_snapshot_destroy(url, pbus, slot, nullptr);
    return result;
}

void box1_peer_push(bus *bb, const ply_list *list) {
    static const char *const fn = "bus_ply_append_ply";
    box1_bus *b = box1_of(bb);
    if (b->peer_slave_url.empty()) return;
    const char *url = b->peer_slave_url.c_str();
    const int pbus = b->peer_slave_bus;
    log_msg(LOG_INFO, "%s: will try to append that playlist to slave", fn);
    mivra_call_scope bound(MIVRA_BOUND_PEER_MS);
    int slot = mivrabox_snapshot_new(url, pbus, nullptr);
    if (slot < 0) {
        log_msg(LOG_ERROR, "%s: mivrabox_snapshot_new(%s, %d) failed with %d", fn, url, pbus, slot);
        return;
    }
    int r = 0;
    for (const mivrabox_event *e : list->items) {
        r = mivrabox_snapshot_add_event(url, pbus, slot, e, nullptr);
        if (r < 0) {
            log_msg(LOG_ERROR, "%s: mivrabox_snapshot_add_event(%s, %d, %d) failed with %d", fn,
                    url, pbus, slot, r);
            break;
        }
    }
    if (r >= 0) {
        std::string name = push_name();
        r = mivrabox_snapshot_save(url, pbus, slot, name.c_str(), nullptr);
        if (r < 0) {
            log_msg(LOG_ERROR, "%s: mivrabox_snapshot_save(%s, %d, %d, [%s]) failed with %d", fn,
                    url, pbus, slot, name.c_str(), r);
        } else if ((r = mivrabox_append_playlist(url, pbus, name.c_str(), nullptr)) < 0) {
            log_msg(LOG_ERROR, "%s: mivrabox_append_playlist(%s, %d, [%s]) failed with %d", fn, url,
                    pbus, name.c_str(), r);
        }
    }
    mivrabox_snapshot_destroy(url, pbus, slot, nullptr);
}
