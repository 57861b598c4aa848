// The control methods of MivraBox1: the shared ones, and those that differ or exist only here.
#include <cinttypes>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "box1_bus.h"
#include "ctl.h"
#include "log.h"
#include "mivrabox_body.h"
#include "wallclock.h"

namespace {

using lock_t = std::lock_guard<bus_mutex>;

// Half the XML size limit: what GetEvents2 lets one reply carry.
constexpr size_t kEventsBudget = 524288;
// What one GetEvents2 entry adds to the reply besides its body: the index and the state struct.
constexpr size_t kEntryOverhead = 2048;

const char *const kAuxKeys[6] = {"STEREO_1", "STEREO_2", "STEREO_3",
                                 "STEREO_4", "STL_888",  "STL_889"};
constexpr uint64_t kAuxMark = 0x800000;
constexpr uint64_t kAuxKind6 = 0x800000 | 0x1000000;

// (i6I): bus, compressed event line, index or sys_id. A body that does not inflate is a line
// that does not parse.
xmlrpc_value *helper_i6I(xmlrpc_env *env, xmlrpc_value *params, void *si, const char *name,
                         int (*op)(bus *, const char *, int64_t, mivrabox_state *)) {
    int idx = 0;
    const unsigned char *data = nullptr;
    size_t size = 0;
    xmlrpc_int64 v = 0;
    xmlrpc_decompose_value(env, params, "(i6I)", &idx, &data, &size, &v);
    if (env->fault_occurred) {
        log_msg(LOG_ERROR,
                "%s/%s: xmlrpc_decompose_value('bus idx','compressed event body','idx') failed",
                name, "helper_i6I");
        return nullptr;
    }
    std::string line;
    int r = mivrabox_body_inflate(data, size, line);
    free(const_cast<unsigned char *>(data));
    bus *b = ctl_bus_at(ctl_opts(si), idx);
    if (!b) return ctl_reply_result(env, -22);
    if (r < 0) return ctl_reply_result(env, r == -12 ? -12 : -84);
    mivrabox_state st = {};
    r = op(b, line.c_str(), v, &st);
    return ctl_reply_state(env, r, st);
}

// The pass for the state's times to events ahead runs first, in short holds of the lock.
int get_state(bus *b, mivrabox_state *st) {
    box1_remain_refresh(box1_of(b));
    return bus_ply_state(b, st);
}

xmlrpc_value *ctl_method_GetState(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    return bus_only(env, params, si, "ctl_method_GetState", get_state);
}

xmlrpc_value *ctl_method_InsertEvent(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    return helper_i6I(env, params, si, "ctl_method_InsertEvent", bus_ply_insert_event_by_idx);
}

xmlrpc_value *ctl_method_InsertEvent2(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    return helper_i6I(env, params, si, "ctl_method_InsertEvent2", bus_ply_insert_event_by_sys_id);
}

xmlrpc_value *ctl_method_UpdateEvent(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    return helper_i6I(env, params, si, "ctl_method_UpdateEvent", bus_ply_update_event_by_idx);
}

xmlrpc_value *ctl_method_UpdateEvent2(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    return helper_i6I(env, params, si, "ctl_method_UpdateEvent2", bus_ply_update_event_by_sys_id);
}

// Markers (negative values) stand for events the caller did not know: a run of them between
// two known ids is filled with the events that now stand between those two, when the distance
// still matches. where[i] is the index of v[i] now (-2 for none); the indexes to delete.
std::vector<int64_t> bus_ply_blind_region_restore(const std::vector<int64_t> &v,
                                                  const std::vector<int> &where) {
    static const char *const fn = "bus_ply_blind_region_restore";
    const int n = int(v.size());
    std::vector<int64_t> idx(where.begin(), where.end());
    int a = -1, z = -1;  // first known id after markers, last known id before them
    for (int i = 0; i + 1 < n; i++) {
        if (v[size_t(i)] >= 0 && v[size_t(i + 1)] < 0) {
            z = i;
            a = -1;
        } else if (v[size_t(i)] < 0 && v[size_t(i + 1)] >= 0) {
            a = i + 1;
        } else {
            continue;
        }
        if (z < 1 || a < 1) continue;
        int c = where[size_t(z)], d = where[size_t(a)];
        if (c > 0 && d > 0 && d - c == a - z) {
            log_msg(LOG_ERROR, "%s: continious region [%d, %d] same as [%d, %d]", fn, z, a, c, d);
            for (int k = 0; k < a - z; k++) idx[size_t(z + k)] = c + k;
        } else {
            log_msg(LOG_ERROR, "%s: non continious region [%d, %d] not same as [%d, %d]", fn, z, a,
                    c, d);
        }
        a = z = -1;
    }
    return idx;
}

// The sys_ids found in short holds, then their blind regions restored and deleted under one.
int delete_events2_restored(bus *b, int count, const int64_t *ids, mivrabox_state *st) {
    if (count < 2) return bus_ply_delete_events2(b, count, ids, st);
    std::vector<int64_t> v(ids, ids + count);
    return bus_ply_at_sys_ids(b, count, ids, st, [&](const std::vector<int> &where) {
        std::vector<int64_t> idx = bus_ply_blind_region_restore(v, where);
        return bus_ply_delete_events(b, int(idx.size()), idx.data(), st);
    });
}

xmlrpc_value *ctl_method_DeleteEvents2(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    return bus_array(env, params, si, "ctl_method_DeleteEvents2", delete_events2_restored);
}

// Deletes what lies below (or above) the event; its first and last events cannot be named.
int bus_ply_truncate(bus *b, int64_t sys_id, int below) {
    static const char *const fn = "bus_ply_truncate";
    log_msg(LOG_ERROR, "%s: sys_id=%" PRId64 ", f_below=%d", fn, sys_id, below);
    return bus_ply_at_sys_ids(b, 1, &sys_id, nullptr, [&](const std::vector<int> &where) {
        int i = where[0];
        log_msg(LOG_DEBUG, "%s:%d: idx=%ld, sys_id=%" PRId64, fn, __LINE__, long(i), sys_id);
        int last = b->playlist->count() - 1;
        if (i <= 0 || i >= last) {
            log_msg(LOG_ERROR, "%s: failed to find idx of event sys_id=%" PRId64, fn, sys_id);
            return -2;
        }
        // The removed events give their media back and the rest moves up in time.
        return below ? bus_ply_delete_range(b, i + 1, last, nullptr)
                     : bus_ply_delete_range(b, 0, i - 1, nullptr);
    });
}

xmlrpc_value *ctl_method_TruncatePlaylist(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    static const char *const name = "ctl_method_TruncatePlaylist";
    int idx = 0, below = 0;
    xmlrpc_int64 sys_id = 0;
    if (!ctl_decode(env, params, name, "'bus idx', 'event_sys_id', 'f_below", "(iIi)", &idx,
                    &sys_id, &below))
        return nullptr;
    bus *b = ctl_bus_at(ctl_opts(si), idx);
    if (!b) return ctl_reply_result(env, -22);
    return ctl_reply_state(env, bus_ply_truncate(b, sys_id, below), mivrabox_state{});
}

// The cue of a preview, each call within the preview's bound; -16 when a call found the pool's
// share for control requests taken.
int preview_cue(box1_bus *b, int idx, const char *url) {
    mivra_call_scope bound(MIVRA_BOUND_PREVIEW_MS);
    const int refused = mivra_thread_refused();
    int r = bus_async_cue_sync_idx(b, idx, url);
    return mivra_thread_refused() != refused ? MIVRA_BUSY : r;
}

// Cues one event on another player: an index, or the negated sys_id of an event.
int bus_ply_preview(box1_bus *b, int64_t idx_or_id, const char *url) {
    auto cue = [&](int64_t idx) {
        lock_t lk(b->lock);
        int r;
        // An empty playlist names nothing: the index is not looked for.
        if (b->playlist->count() == 0)
            idx = idx_or_id, r = -2;
        else if (idx < 0)
            r = -2;
        else if (idx >= b->playlist->count())
            r = -34;
        else
            r = preview_cue(b, int(idx), url);
        log_msg(LOG_INFO, "%s:%d r=[%d], idx_or_id=[%" PRId64 "], idx=[%" PRId64 "]",
                "bus_ply_preview", __LINE__, r, idx_or_id, idx);
        return r;
    };
    // INT64_MIN has no negation: it names no event.
    if (idx_or_id >= 0 || idx_or_id == INT64_MIN) return cue(idx_or_id >= 0 ? idx_or_id : -2);
    const int64_t id = -idx_or_id;
    return bus_ply_at_sys_ids(b, 1, &id, nullptr,
                              [&](const std::vector<int> &where) { return cue(where[0]); });
}

xmlrpc_value *ctl_method_Preview(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    static const char *const name = "ctl_method_Preview";
    int idx = 0;
    xmlrpc_int64 which = 0;
    char *url = nullptr;
    if (!ctl_decode(env, params, name, "'bus idx','idx','url'", "(iIs)", &idx, &which, &url))
        return nullptr;
    c_text hold(url);
    box1_bus *b = box1_bus_of(si, idx);
    if (!b) return ctl_reply_result(env, -22);
    mivrabox_state st = {};
    int r = bus_ply_preview(b, which, url);
    if (r >= 0) bus_ply_state(b, &st);
    return ctl_reply_state(env, r < 0 ? r : 0, st);
}

xmlrpc_value *ctl_method_LibUnregister(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    static const char *const name = "ctl_method_LibUnregister";
    int idx = 0;
    char *media = nullptr;
    if (!ctl_decode(env, params, name, "'bus idx', 'media'", "(is)", &idx, &media)) return nullptr;
    c_text hold(media);
    bus *b = ctl_bus_at(ctl_opts(si), idx);
    if (!b) return ctl_reply_result(env, -22);
    return ctl_reply_state(env, bus_lib_unregister(b, media), mivrabox_state{});
}

// Base64 length of n bytes: what a byte string costs in the reply.
size_t base64_size(size_t n) {
    return (n + 2) / 3 * 4 + n / 57 + 1;  // xmlrpc-c breaks its lines every 76 characters
}

// Replies about one event carry its playlist index as the fifth "er" value.
void er_index(mivrabox_state &st, int64_t index) {
    st.er[4] = index;
}

xmlrpc_value *ctl_method_GetEvent(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    return ctl_get_event(env, params, si, "ctl_method_GetEvent", er_index);
}

xmlrpc_value *ctl_method_GetEvents(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    return ctl_get_events(env, params, si, "ctl_method_GetEvents", er_index);
}

// Flag 0x40 also finds the event whose sys_id the pattern names.
xmlrpc_value *ctl_method_SearchEvent(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    return ctl_search_event(env, params, si, "ctl_method_SearchEvent", ~0);
}

// The peers' playlists are listed by their role, whether or not their files exist yet.
void peer_names(bus *bb, std::vector<std::string> &names) {
    box1_bus *b = box1_of(bb);
    std::erase_if(names,
                  [](const std::string &n) { return n == "peer_master" || n == "peer_slave"; });
    if (!b->peer_master_url.empty()) names.emplace_back("peer_master");
    if (!b->peer_slave_url.empty()) names.emplace_back("peer_slave");
}

xmlrpc_value *ctl_method_ListPlaylists(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    return ctl_list_playlists(env, params, si, "ctl_method_ListPlaylists", peer_names);
}

// A peer's role as the name first downloads that peer's playlist into the file; path is the
// checked "<folder>/<name>.ply".
int load_fetched(bus *b, const char *path, mivrabox_state *st) {
    std::string_view name(path);
    name = name.substr(name.rfind('/') + 1);
    name.remove_suffix(4);
    int f = box1_peer_fetch(b, std::string(name).c_str(), path);
    return f < 0 ? f : bus_ply_load(b, path, st);
}

xmlrpc_value *ctl_method_LoadPlaylist(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    return ctl_playlist_call(env, params, si, "ctl_method_LoadPlaylist", load_fetched);
}

// The outcome of fetching the event at index i, without fetching it: for the items past the
// reply's budget, which add no entry, only their result counts.
int index_outcome(bus *b, int64_t i) {
    if (i < 0) return -22;
    lock_t lk(b->lock);
    return i >= b->playlist->count() ? -34 : 0;
}

int fetch_event(bus *b, int64_t i, std::vector<char> &line, mivrabox_state *st) {
    if (i < 0 || i > INT_MAX) return i < 0 ? -22 : -34;
    line[0] = 0;
    int r = bus_ply_get_event(b, line.data(), line.size(), int(i), st);
    if (r == 0) er_index(*st, i);
    return r;
}

xmlrpc_value *ctl_method_GetEvents2(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    static const char *const name = "ctl_method_GetEvents2";
    int idx = 0;
    std::vector<int64_t> want;
    int rd = ctl_helper_iA(env, params, name, &idx, want, "'bus idx','idxs'");
    if (rd == -22) return nullptr;
    if (rd < 0) {
        // An item that is no number ends the walk with a result, not a fault.
        xmlrpc_env_clean(env);
        xmlrpc_env_init(env);
        return ctl_reply_result(env, RESULT_NO_ANSWER);
    }
    bus *b = ctl_bus_at(ctl_opts(si), idx);
    if (!b) return ctl_reply_result(env, -22);
    xr_value list = ctl_held(env, xmlrpc_array_new(env));
    if (env->fault_occurred) return nullptr;
    std::vector<char> line(MIVRABOX_LINE_SIZE);
    std::vector<unsigned char> body;
    mivrabox_state st = {};
    int last = 0;
    bool last_fetched = true;  // st belongs to the last item that succeeded
    size_t sent = 0;
    for (int64_t i : want) {
        if (sent >= kEventsBudget) {
            last = index_outcome(b, i);
            if (last == 0) last_fetched = false;
            continue;
        }
        mivrabox_state one = {};
        last = fetch_event(b, i, line, &one);
        if (last < 0) continue;
        st = one;
        last_fetched = true;
        int r = mivrabox_body_deflate(line.data(), body);
        if (r < 0) {
            log_msg(LOG_ERROR, "%s: event %" PRId64 " does not fit a compressed body, r=%d", name,
                    i, r);
            last = r;
            continue;
        }
        xr_value sv = ctl_held(env, mivrabox_state_compose(env, &one));
        if (env->fault_occurred) return nullptr;
        xr_value item =
            ctl_held(env, xmlrpc_build_value(env, "{s:i,s:6,s:V}", "index", int(i), "event_c",
                                             body.data(), body.size(), "state", sv.get()));
        if (env->fault_occurred) return nullptr;
        xmlrpc_array_append_item(env, list.get(), item.get());
        if (env->fault_occurred) return nullptr;
        sent += base64_size(body.size()) + kEntryOverhead;
    }
    // The reply's state is that of the last item; past the budget only that one is read.
    if (last == 0 && !last_fetched) last = fetch_event(b, want.back(), line, &st);
    if (last < 0) return ctl_reply_result(env, last);
    xr_value sv = ctl_held(env, mivrabox_state_compose(env, &st));
    if (env->fault_occurred) return nullptr;
    return xmlrpc_build_value(env, "{s:i,s:V,s:V}", "result", 0, "events", list.get(), "state",
                              sv.get());
}

// One entry of ErrorFlagList, made under the bus lock.
struct flag_entry {
    std::string comment, media_id, start_time;
    int64_t sys_id, flags, start;
};

xmlrpc_value *ctl_method_ErrorFlagList(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    static const char *const name = "ctl_method_ErrorFlagList";
    int idx = 0, mask = 0;
    if (!ctl_decode(env, params, name, "'bus idx'", "(ii)", &idx, &mask)) return nullptr;
    bus *b = ctl_bus_at(ctl_opts(si), idx);
    if (!b) return ctl_reply_result(env, -22);
    mivrabox_state st = {};
    std::vector<flag_entry> entries;
    // Media of the events listed so far that were absent: a later event of a media is left out
    // only behind an absent one. The events are visited a chunk per hold of the bus lock.
    std::unordered_set<std::string> absent_kept;
    int r = bus_ply_visit(b, 0, -1, &st, nullptr, [&](const mivrabox_event *e) {
        uint64_t f = e->flags;
        if (!(f & uint64_t(uint32_t(mask)))) return 0;
        if (absent_kept.count(e->media_id.str())) return 0;
        try {
            if (f & MIVRABOX_F_ABSENT) absent_kept.insert(e->media_id.str());
            flag_entry en{"",        e->media_id.str(), e->start_time.str(),
                          e->sys_id, int64_t(f),        e->start};
            // Looked up only: a poll must not hold the media in the library for ever.
            const lib_object *o = (f & (MIVRABOX_F_RANGE | MIVRABOX_F_PARTIAL))
                                      ? bus_lib_find_present(b, e->media_id.c_str())
                                      : nullptr;
            if (o) {
                char msg[128] = "";
                if (f & MIVRABOX_F_RANGE)
                    bus_ply_range_msg_bounds(e, o, msg, sizeof(msg));
                else
                    bus_ply_range_msg_len(e, o, msg, sizeof(msg));
                en.comment = msg;
            }
            entries.push_back(std::move(en));
        } catch (const std::bad_alloc &) {
            return -12;
        }
        return 0;
    });
    if (r < 0) return ctl_reply_result(env, r);
    // An empty playlist leaves the state to be taken here.
    if (r == 0) bus_ply_state(b, &st);
    xr_value list = ctl_held(env, xmlrpc_array_new(env));
    for (const flag_entry &en : entries) {
        if (env->fault_occurred) break;
        xr_value item = ctl_held(
            env,
            xmlrpc_build_value(env, "{s:s,s:s,s:s,s:I,s:I,s:I}", "comment",
                               ctl_utf8_clean(en.comment.c_str()).c_str(), "media_id",
                               ctl_utf8_clean(en.media_id.c_str()).c_str(), "start_time",
                               en.start_time.c_str(), "sys_id", xmlrpc_int64(en.sys_id), "flags",
                               xmlrpc_int64(en.flags), "start", xmlrpc_int64(en.start)));
        if (!env->fault_occurred) xmlrpc_array_append_item(env, list.get(), item.get());
    }
    if (env->fault_occurred) return nullptr;
    return ctl_reply_state_list(env, int(entries.size()), st, list.get());
}

// "+N" and "-N" move the advance by N ms, anything else sets it to N ms. -22 when the result
// leaves the sane range (a century either way).
int time_advance_apply(const char *text, int64_t *out) {
    const char *p = text;
    int sign = 0;
    if (*p == '+' || *p == '-') sign = *p++ == '+' ? 1 : -1;
    int64_t ms = strtoll(p, nullptr, 10);
    int64_t us;
    if (__builtin_mul_overflow(ms, int64_t(1000), &us)) return -22;
    if (!sign) {
        if (!time_advance_sane(us)) return -22;
        time_advance_set(us);
        *out = us;
        return 0;
    }
    if (sign < 0 && __builtin_sub_overflow(int64_t(0), us, &us)) return -22;
    return time_advance_add(us, out) ? 0 : -22;
}

xmlrpc_value *ctl_method_SetTimeofdayAdvance(xmlrpc_env *env, xmlrpc_value *params, void *,
                                             void *) {
    static const char *const name = "ctl_method_SetTimeofdayAdvance";
    char *text = nullptr;
    if (!ctl_decode(env, params, name, "'new value'", "(s)", &text)) return nullptr;
    c_text hold(text);
    int64_t adv = 0;
    int r = time_advance_apply(text, &adv);
    log_msg(LOG_INFO, "%s: [%s] r=%d, advance=%" PRId64, name, text, r, adv);
    if (r < 0) return ctl_reply_result(env, r);
    const mivrabox_state none = {};
    xr_value sv = ctl_held(env, mivrabox_state_compose(env, &none));
    if (env->fault_occurred) return nullptr;
    return xmlrpc_build_value(env, "{s:i,s:V,s:i}", "result", 0, "state", sv.get(), "advance",
                              int(uint32_t(uint64_t(adv))));
}

// Replaces the bits under mask by value in one atomic step; true when they changed.
bool flags_replace(mivrabox_event *e, uint64_t mask, uint64_t value) {
    uint64_t old = e->flags.load();
    while (!e->flags.compare_exchange_weak(old, (old & ~mask) | value)) {
    }
    return (old & mask) != value;
}

int box1_ply_aux_update(bus *b, int kind, int state, const char *media) {
    lock_t lk(b->lock);
    ply_list *ply = b->playlist;
    if (kind == 6) {
        bool any = false;
        for (mivrabox_event *e : ply->items)
            if (e->flags & kAuxKind6) {
                e->flags &= ~kAuxKind6;
                any = true;
            }
        if (any) ply->revision++;
        return 0;
    }
    const int shift = MIVRABOX_AUX_SHIFT + 2 * kind;
    const uint64_t mask = uint64_t(3) << shift, value = uint64_t(state & 3) << shift;
    for (mivrabox_event *e : ply->items)
        for (const mivrabox_meta_pair &p : e->pairs)
            if (p.key == kAuxKeys[kind] && p.value == media && flags_replace(e, mask, value))
                e->flags |= kAuxMark;
    return 0;
}

xmlrpc_value *ctl_method_UpdateAuxMedia(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    static const char *const name = "ctl_method_UpdateAuxMedia";
    int idx = 0, kind = 0, state = 0;
    char *media = nullptr;
    if (!ctl_decode(env, params, name, "'bus idx', 'idx','sta', 'val'", "(iiis)", &idx, &kind,
                    &state, &media))
        return nullptr;
    c_text hold(media);
    bus *b = ctl_bus_at(ctl_opts(si), idx);
    if (!b || kind < 0 || kind > 6) return ctl_reply_result(env, -22);
    return ctl_reply_state(env, box1_ply_aux_update(b, kind, state, media), mivrabox_state{});
}

}  // namespace

#define SHARED(m) CTL_SHARED(m)
#define OWN(m) \
    { "MivraBox." #m, ctl_guarded<ctl_method_##m> }

// The shared entries carry no handler here: they are the shared table's own.
const ctl_method_def box1_methods[] = {
    OWN(GetState),
    SHARED("Run"),
    OWN(InsertEvent),
    OWN(InsertEvent2),
    OWN(UpdateEvent),
    OWN(UpdateEvent2),
    OWN(GetEvent),
    SHARED("DeleteEvent"),
    SHARED("DeleteEvents"),
    OWN(DeleteEvents2),
    OWN(ListPlaylists),
    OWN(LoadPlaylist),
    SHARED("SavePlaylist"),
    SHARED("ClosePlaylist"),
    SHARED("AppendPlaylist"),
    OWN(TruncatePlaylist),
    SHARED("Take"),
    SHARED("TakeN"),
    OWN(Preview),
    SHARED("LibList"),
    OWN(LibUnregister),
    OWN(GetEvents),
    OWN(GetEvents2),
    OWN(SearchEvent),
    SHARED("AbsentList"),
    OWN(ErrorFlagList),
    SHARED("Fallback"),
    SHARED("TrimPadEvent"),
    SHARED("ResetEventsTC"),
    OWN(SnapshotLoad),
    OWN(SnapshotSave),
    OWN(SnapshotNew),
    OWN(SnapshotDestroy),
    OWN(SnapshotCurr),
    OWN(SnapshotGetEvent),
    OWN(SnapshotAddEvent),
    OWN(SetTimeofdayAdvance),
    OWN(UpdateAuxMedia),
};
static_assert(std::size(box1_methods) == BOX1_METHOD_COUNT, "the daemon record counts the table");
