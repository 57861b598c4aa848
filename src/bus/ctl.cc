#include "ctl.h"

#include <dirent.h>
#include <libxml/parser.h>
#include <strings.h>
#include <sys/stat.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <xmlrpc-c/abyss.h>
#include <xmlrpc-c/util.h>
#include <xmlrpc-c/server_abyss.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "bus_opts.h"
#include "bus.h"
#include "log.h"
#include "relay.h"
#include "xml_guard.h"
#include "xr.h"

struct ctl_server {
    TServer server = {};
    bool created = false;
    xmlrpc_registry *registry = nullptr;
    bool global_init = false;
    bool xml_init = false;
};

bus *ctl_bus_at(mivrabox_opts *o, int i) {
    return i >= 0 && i < o->bus_count ? o->busses[i] : nullptr;
}

// xmlrpc-c leaves the result of a failed call undefined: hold it only when the call worked.
xr_value ctl_held(xmlrpc_env *env, xmlrpc_value *v) {
    return xr_value(env->fault_occurred ? nullptr : v);
}

// One string list member: each element an array holding the string.
void ctl_list_push_name(xmlrpc_env *env, xmlrpc_value *list, const char *name) {
    xr_value item = ctl_held(env, xmlrpc_build_value(env, "(s)", name));
    if (!env->fault_occurred) xmlrpc_array_append_item(env, list, item.get());
}

namespace {

// Guards the server pointer against a stop that races start-up or release.
std::mutex g_ctl_mu;

constexpr size_t kLineSize = 16384;

}  // namespace

mivrabox_opts *ctl_opts(void *si) {
    return static_cast<mivrabox_opts *>(si);
}

// Length of the well-formed UTF-8 sequence at p (not at its end), 0 when there is none.
static int utf8_seq(const unsigned char *p) {
    static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    int n = p[0] < 0x80             ? 1
            : (p[0] & 0xE0) == 0xC0 ? 2
            : (p[0] & 0xF0) == 0xE0 ? 3
            : (p[0] & 0xF8) == 0xF0 ? 4
                                    : 0;
    if (n <= 1) return n;
    uint32_t c = p[0] & (0x7F >> n);
    for (int k = 1; k < n; k++) {
        if ((p[k] & 0xC0) != 0x80) return 0;  // also stops at the terminating NUL
        c = (c << 6) | (p[k] & 0x3F);
    }
    bool ok = c >= kMin[n] && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF);
    return ok ? n : 0;
}

bool ctl_utf8_ok(const char *s) {
    for (auto *p = reinterpret_cast<const unsigned char *>(s); *p;) {
        int n = utf8_seq(p);
        if (!n) return false;
        p += n;
    }
    return true;
}

// Playlist files may hold bytes of other character sets; xmlrpc-c refuses strings that are
// not UTF-8, so such bytes go out as '?' rather than failing the whole reply.
std::string ctl_utf8_clean(const char *s) {
    std::string out;
    for (auto *p = reinterpret_cast<const unsigned char *>(s); *p;) {
        int n = utf8_seq(p);
        if (n)
            out.append(reinterpret_cast<const char *>(p), size_t(n));
        else
            out += '?';
        p += n ? n : 1;
    }
    return out;
}

xmlrpc_value *ctl_reply_result(xmlrpc_env *env, int r) {
    return xmlrpc_build_value(env, "{s:i}", "result", r);
}

// {"result": r, "state"} for r >= 0, {"result": r} otherwise.
xmlrpc_value *ctl_reply_state(xmlrpc_env *env, int r, const mivrabox_state &st) {
    if (r < 0) return ctl_reply_result(env, r);
    xr_value sv = ctl_held(env, mivrabox_state_compose(env, &st));
    if (env->fault_occurred) return nullptr;
    return xmlrpc_build_value(env, "{s:i,s:V}", "result", r, "state", sv.get());
}

xmlrpc_value *ctl_reply_event(xmlrpc_env *env, int r, const char *line, const mivrabox_state &st) {
    if (r < 0) return ctl_reply_result(env, r);
    xr_value sv = ctl_held(env, mivrabox_state_compose(env, &st));
    if (env->fault_occurred) return nullptr;
    return xmlrpc_build_value(env, "{s:i,s:s,s:V}", "result", r, "event",
                              ctl_utf8_clean(line).c_str(), "state", sv.get());
}

// A copy of a composed state with other "er" members: the other members are shared, not built
// again (GetEvents sends one state per event).
xmlrpc_value *state_with_er(xmlrpc_env *env, xmlrpc_value *base, const int64_t *er) {
    xr_value out = ctl_held(env, xmlrpc_struct_new(env));
    if (env->fault_occurred) return nullptr;
    int n = xmlrpc_struct_size(env, base);
    for (int i = 0; i < n && !env->fault_occurred; i++) {
        xmlrpc_value *key = nullptr, *val = nullptr;
        xmlrpc_struct_read_member(env, base, unsigned(i), &key, &val);
        if (env->fault_occurred) break;
        xr_value kh(key), vh(val);
        const char *k = nullptr;
        xmlrpc_read_string(env, key, &k);
        if (env->fault_occurred) break;
        if (!strcmp(k, "er")) {
            xr_value arr =
                ctl_held(env, xmlrpc_build_value(env, "(IIIII)", xmlrpc_int64(er[0]),
                                                 xmlrpc_int64(er[1]), xmlrpc_int64(er[2]),
                                                 xmlrpc_int64(er[3]), xmlrpc_int64(er[4])));
            if (!env->fault_occurred) xmlrpc_struct_set_value_v(env, out.get(), key, arr.get());
        } else {
            xmlrpc_struct_set_value_v(env, out.get(), key, val);
        }
        free(const_cast<char *>(k));
    }
    if (env->fault_occurred) return nullptr;
    return out.release();
}

xmlrpc_value *ctl_reply_state_list(xmlrpc_env *env, int r, const mivrabox_state &st,
                                   xmlrpc_value *list) {
    if (r < 0) return ctl_reply_result(env, r);
    xr_value sv = ctl_held(env, mivrabox_state_compose(env, &st));
    if (env->fault_occurred) return nullptr;
    return xmlrpc_build_value(env, "{s:i,s:V,s:V}", "result", r, "state", sv.get(), "list", list);
}

// (iA): bus and an array of one-element arrays, each holding an i8.
int ctl_helper_iA(xmlrpc_env *env, xmlrpc_value *params, const char *name, int *idx,
                  std::vector<int64_t> &values, const char *what) {
    // The shared decoder names itself in its lines; a handler that gives its own argument names
    // logs under its name alone.
    std::string who = what ? std::string(name) : std::string(name) + "/helper_iA";
    xmlrpc_value *arr = nullptr;
    xmlrpc_decompose_value(env, params, "(iA)", idx, &arr);
    if (env->fault_occurred) {
        log_msg(LOG_ERROR, "%s: xmlrpc_decompose_value(%s) failed", who.c_str(),
                what ? what : "'bus idx','sys_id's array'");
        return -22;
    }
    xr_value hold(arr);
    int n = xmlrpc_array_size(env, arr);
    if (env->fault_occurred) {
        log_msg(LOG_ERROR, "%s: xmlrpc_array_size failed: %s (%d)", who.c_str(), env->fault_string,
                env->fault_code);
        return -14;
    }
    values.reserve(size_t(n));
    for (int i = 0; i < n; i++) {
        xmlrpc_value *item = nullptr;
        xmlrpc_array_read_item(env, arr, i, &item);
        if (env->fault_occurred) {
            log_msg(LOG_ERROR, "%s: xmlrpc_array_read_item failed: %s (%d)", who.c_str(),
                    env->fault_string, env->fault_code);
            return -14;
        }
        xr_value ih(item);
        xmlrpc_int64 v = 0;
        xmlrpc_decompose_value(env, item, "(I)", &v);
        if (env->fault_occurred) {
            log_msg(LOG_ERROR, "%s: xmlrpc_decompose_value failed: %s (%d)", who.c_str(),
                    env->fault_string, env->fault_code);
            return -14;
        }
        values.push_back(v);
    }
    return 0;
}

namespace {

// Handlers that take only the bus index; logged ones write the call before testing the index.
xmlrpc_value *bus_only(xmlrpc_env *env, xmlrpc_value *params, void *si, const char *name,
                       int (*op)(bus *, mivrabox_state *), bool logged = false) {
    int idx = 0;
    if (!ctl_decode(env, params, name, "'bus idx'", "(i)", &idx)) return nullptr;
    if (logged) log_msg(LOG_INFO, "%s: i=%d", name, idx);
    bus *b = ctl_bus_at(ctl_opts(si), idx);
    if (!b) return ctl_reply_result(env, -22);
    mivrabox_state st = {};
    int r = op(b, &st);
    return ctl_reply_state(env, r, st);
}

// Handlers that take the bus index and one int.
xmlrpc_value *bus_int(xmlrpc_env *env, xmlrpc_value *params, void *si, const char *name,
                      const char *what, int (*op)(bus *, int, mivrabox_state *),
                      const char *log_fmt = nullptr) {
    int idx = 0, v = 0;
    if (!ctl_decode(env, params, name, what, "(ii)", &idx, &v)) return nullptr;
    if (log_fmt) log_msg(LOG_INFO, log_fmt, name, idx, v);
    bus *b = ctl_bus_at(ctl_opts(si), idx);
    if (!b) return ctl_reply_result(env, -22);
    mivrabox_state st = {};
    int r = op(b, v, &st);
    return ctl_reply_state(env, r, st);
}

// (isI): bus, event line, index or sys_id.
xmlrpc_value *bus_line(xmlrpc_env *env, xmlrpc_value *params, void *si, const char *name,
                       int (*op)(bus *, const char *, int64_t, mivrabox_state *)) {
    int idx = 0;
    char *line = nullptr;
    xmlrpc_int64 v = 0;
    xmlrpc_decompose_value(env, params, "(isI)", &idx, &line, &v);
    if (env->fault_occurred) {
        log_msg(LOG_ERROR, "%s/%s: xmlrpc_decompose_value('bus idx','event body','idx') failed",
                name, "helper_isI");
        return nullptr;
    }
    c_text hold(line);
    bus *b = ctl_bus_at(ctl_opts(si), idx);
    if (!b) return ctl_reply_result(env, -22);
    mivrabox_state st = {};
    int r = op(b, line, v, &st);
    return ctl_reply_state(env, r, st);
}

xmlrpc_value *bus_array(xmlrpc_env *env, xmlrpc_value *params, void *si, const char *name,
                        int (*op)(bus *, int, const int64_t *, mivrabox_state *)) {
    int idx = 0;
    std::vector<int64_t> values;
    if (ctl_helper_iA(env, params, name, &idx, values) < 0) return nullptr;
    bus *b = ctl_bus_at(ctl_opts(si), idx);
    if (!b) return ctl_reply_result(env, -22);
    mivrabox_state st = {};
    int r = op(b, int(values.size()), values.data(), &st);
    return ctl_reply_state(env, r, st);
}

// (is): bus and a playlist name, which must stay a file of the bus folder.
xmlrpc_value *bus_name(xmlrpc_env *env, xmlrpc_value *params, void *si, const char *name,
                       int (*op)(bus *, const char *, mivrabox_state *)) {
    int idx = 0;
    char *ply = nullptr;
    if (!ctl_decode(env, params, name, "'bus idx', 'playlist name'", "(is)", &idx, &ply))
        return nullptr;
    c_text hold(ply);
    bus *b = ctl_bus_at(ctl_opts(si), idx);
    if (!b) return ctl_reply_result(env, -22);
    std::string path;
    if (bus_ply_name_path(b, ply, path) < 0) {
        log_msg(LOG_ERROR, "%s: refused playlist name [%s]", name, ply);
        return ctl_reply_result(env, -22);
    }
    mivrabox_state st = {};
    int r = op(b, path.c_str(), &st);
    return ctl_reply_state(env, r, st);
}

xmlrpc_value *ctl_method_GetState(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    static const char *const name = "ctl_method_GetState";
    return bus_only(env, params, si, name, bus_ply_state);
}

xmlrpc_value *ctl_method_Run(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    static const char *const name = "ctl_method_Run";
    return bus_int(env, params, si, name, "'bus idx','f_running'", bus_ply_run);
}

xmlrpc_value *ctl_method_InsertEvent(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    static const char *const name = "ctl_method_InsertEvent";
    return bus_line(env, params, si, name, bus_ply_insert_event_by_idx);
}

xmlrpc_value *ctl_method_InsertEvent2(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    static const char *const name = "ctl_method_InsertEvent2";
    return bus_line(env, params, si, name, bus_ply_insert_event_by_sys_id);
}

xmlrpc_value *ctl_method_UpdateEvent(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    static const char *const name = "ctl_method_UpdateEvent";
    return bus_line(env, params, si, name, bus_ply_update_event_by_idx);
}

xmlrpc_value *ctl_method_UpdateEvent2(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    static const char *const name = "ctl_method_UpdateEvent2";
    return bus_line(env, params, si, name, bus_ply_update_event_by_sys_id);
}

}  // namespace

xmlrpc_value *ctl_get_event(xmlrpc_env *env, xmlrpc_value *params, void *si, const char *name,
                            ctl_event_state own) {
    int idx = 0, i = 0;
    if (!ctl_decode(env, params, name, "'bus idx','idx'", "(ii)", &idx, &i)) return nullptr;
    bus *b = ctl_bus_at(ctl_opts(si), idx);
    if (!b) return ctl_reply_result(env, -22);
    mivrabox_state st = {};
    std::unique_ptr<char[]> buf(new char[kLineSize]);
    buf[0] = 0;
    int r = bus_ply_get_event(b, buf.get(), kLineSize, i, &st);
    if (r >= 0 && own) own(st, i);
    return ctl_reply_event(env, r, buf.get(), st);
}

namespace {

xmlrpc_value *ctl_method_GetEvent(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    return ctl_get_event(env, params, si, "ctl_method_GetEvent", nullptr);
}

xmlrpc_value *ctl_method_DeleteEvent(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    static const char *const name = "ctl_method_DeleteEvent";
    int idx = 0;
    xmlrpc_int64 i = 0;
    if (!ctl_decode(env, params, name, "'bus idx','idx'", "(iI)", &idx, &i)) return nullptr;
    bus *b = ctl_bus_at(ctl_opts(si), idx);
    if (!b) return ctl_reply_result(env, -22);
    mivrabox_state st = {};
    int r = bus_ply_delete_event(b, i, &st);
    return ctl_reply_state(env, r, st);
}

xmlrpc_value *ctl_method_DeleteEvents(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    static const char *const name = "ctl_method_DeleteEvents";
    return bus_array(env, params, si, name, bus_ply_delete_events);
}

xmlrpc_value *ctl_method_DeleteEvents2(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    static const char *const name = "ctl_method_DeleteEvents2";
    return bus_array(env, params, si, name, bus_ply_delete_events2);
}

}  // namespace

xmlrpc_value *ctl_list_playlists(xmlrpc_env *env, xmlrpc_value *params, void *si, const char *name,
                                 void (*edit)(bus *b, std::vector<std::string> &names)) {
    int idx = 0;
    if (!ctl_decode(env, params, name, "'bus idx'", "(i)", &idx)) return nullptr;
    bus *b = ctl_bus_at(ctl_opts(si), idx);
    if (!b) return ctl_reply_result(env, -22);
    mivrabox_state st = {};
    bus_ply_state(b, &st);
    xr_value list = ctl_held(env, xmlrpc_array_new(env));
    if (env->fault_occurred) return nullptr;
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR *)> d(opendir(b->path.c_str()), closedir);
    if (d) {
        while (struct dirent *de = readdir(d.get())) {
            bool reg = de->d_type == DT_REG;
            if (de->d_type == DT_UNKNOWN) {
                struct stat sb;
                std::string p = b->path.str() + "/" + de->d_name;
                reg = stat(p.c_str(), &sb) == 0 && S_ISREG(sb.st_mode);
            }
            const char *dot = strrchr(de->d_name, '.');
            if (!reg || !dot || strcmp(dot, ".ply") != 0 || !ctl_utf8_ok(de->d_name)) continue;
            names.emplace_back(de->d_name, size_t(dot - de->d_name));
        }
    }
    if (edit) edit(b, names);
    for (const std::string &n : names) {
        ctl_list_push_name(env, list.get(), n.c_str());
        if (env->fault_occurred) return nullptr;
    }
    return ctl_reply_state_list(env, 0, st, list.get());
}

namespace {

xmlrpc_value *ctl_method_ListPlaylists(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    return ctl_list_playlists(env, params, si, "ctl_method_ListPlaylists", nullptr);
}

xmlrpc_value *ctl_method_LoadPlaylist(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    static const char *const name = "ctl_method_LoadPlaylist";
    return bus_name(env, params, si, name, bus_ply_load);
}

xmlrpc_value *ctl_method_SavePlaylist(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    static const char *const name = "ctl_method_SavePlaylist";
    return bus_name(env, params, si, name, bus_ply_save);
}

xmlrpc_value *ctl_method_ClosePlaylist(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    static const char *const name = "ctl_method_ClosePlaylist";
    return bus_only(env, params, si, name, bus_ply_close);
}

xmlrpc_value *ctl_method_AppendPlaylist(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    static const char *const name = "ctl_method_AppendPlaylist";
    return bus_name(env, params, si, name, bus_ply_append);
}

xmlrpc_value *ctl_method_Take(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    static const char *const name = "ctl_method_Take";
    return bus_only(env, params, si, name, bus_ply_take, true);
}

xmlrpc_value *ctl_method_TakeN(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    static const char *const name = "ctl_method_TakeN";
    return bus_int(env, params, si, name, "'bus idx', 'ply idx'", bus_ply_take_n,
                   "%s: i=%d, idx=%d");
}

// Dumps one media list under the bus lock: the objects may not move while they are read.
xmlrpc_value *ctl_method_LibList(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    static const char *const name = "ctl_method_LibList";
    int idx = 0, which = 0;
    if (!ctl_decode(env, params, name, "'bus idx', 'lib src'", "(ii)", &idx, &which))
        return nullptr;
    bus *b = ctl_bus_at(ctl_opts(si), idx);
    if (!b) return ctl_reply_result(env, -22);
    mivrabox_state st = {};
    xr_value list = ctl_held(env, xmlrpc_array_new(env));
    if (env->fault_occurred) return nullptr;
    int count = 0;
    {
        std::lock_guard lk(b->lock);
        const lib_object_list &l = which == 0 ? b->queued : which == 1 ? b->absent : b->present;
        count = l.count();
        for (int i = 0; i < l.count(); i++) {
            const lib_object *ob = l.items[size_t(i)].get();
            const char *origin = ob->origin.c_str();
            const char *object = ob->object.c_str();
            if (!ctl_utf8_ok(origin) || !ctl_utf8_ok(object)) continue;
            xr_value item = ctl_held(env, xmlrpc_build_value(env, "{s:s,s:s,s:i}", "origin", origin,
                                                             "object", object, "ref", ob->ref));
            if (env->fault_occurred) return nullptr;
            xmlrpc_array_append_item(env, list.get(), item.get());
            if (env->fault_occurred) return nullptr;
        }
        bus_ply_state(b, &st);
    }
    return ctl_reply_state_list(env, count, st, list.get());
}

}  // namespace

xmlrpc_value *ctl_get_events(xmlrpc_env *env, xmlrpc_value *params, void *si, const char *name,
                             ctl_event_state own) {
    int idx = 0, first = 0, count = 0;
    if (!ctl_decode(env, params, name, "'bus idx','idx'", "(iii)", &idx, &first, &count))
        return nullptr;
    bus *b = ctl_bus_at(ctl_opts(si), idx);
    if (!b) return ctl_reply_result(env, -22);
    // One lock and one state for the whole range; each event carries its own "er" members.
    mivrabox_state st = {}, last = {};
    std::vector<bus_event_text> evs;
    bus_ply_get_events(b, first, count, evs, &st);
    xr_value list = ctl_held(env, xmlrpc_array_new(env));
    if (env->fault_occurred) return nullptr;
    xr_value base = ctl_held(env, mivrabox_state_compose(env, &st));
    if (env->fault_occurred) return nullptr;
    for (size_t i = 0; i < evs.size(); i++) {
        last = st;
        last.er[0] = evs[i].flags;
        last.er[1] = evs[i].sys_id;
        last.er[2] = evs[i].start;
        if (own) own(last, first + int64_t(i));
        xr_value sv = ctl_held(env, state_with_er(env, base.get(), last.er));
        if (env->fault_occurred) return nullptr;
        xr_value item =
            ctl_held(env, xmlrpc_build_value(env, "{s:i,s:s,s:V}", "index", first + int(i), "event",
                                             ctl_utf8_clean(evs[i].line.c_str()).c_str(), "state",
                                             sv.get()));
        if (env->fault_occurred) return nullptr;
        xmlrpc_array_append_item(env, list.get(), item.get());
        if (env->fault_occurred) return nullptr;
    }
    xr_value sv = ctl_held(env, mivrabox_state_compose(env, &last));
    if (env->fault_occurred) return nullptr;
    return xmlrpc_build_value(env, "{s:i,s:V,s:V}", "result", 0, "events", list.get(), "state",
                              sv.get());
}

namespace {

xmlrpc_value *ctl_method_GetEvents(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    return ctl_get_events(env, params, si, "ctl_method_GetEvents", nullptr);
}

}  // namespace

xmlrpc_value *ctl_search_event(xmlrpc_env *env, xmlrpc_value *params, void *si, const char *name,
                               int flags_taken) {
    int idx = 0, start = 0, flags = 0;
    char *key = nullptr;
    if (!ctl_decode(env, params, name, "'bus_idx', 'key', 'start_idx', 'flags'", "(isii)", &idx,
                    &key, &start, &flags))
        return nullptr;
    c_text hold(key);
    mivrabox_state st = {};
    bus *b = ctl_bus_at(ctl_opts(si), idx);
    int r = b ? bus_ply_search_event(b, key, start, flags & flags_taken, &st) : -22;
    xr_value sv = ctl_held(env, mivrabox_state_compose(env, &st));
    if (env->fault_occurred) return nullptr;
    return xmlrpc_build_value(env, "{s:i,s:V}", "result", r, "state", sv.get());
}

namespace {

// The shared method searches the text fields only.
xmlrpc_value *ctl_method_SearchEvent(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    return ctl_search_event(env, params, si, "ctl_method_SearchEvent", ~BUS_SEARCH_SYS_ID);
}

// First event of each media whose flags meet the mask, in playlist order.
xmlrpc_value *flag_list(xmlrpc_env *env, bus *b, uint64_t mask) {
    mivrabox_state st = {};
    std::vector<bus_flagged> flagged;
    int n = bus_ply_flagged(b, mask, flagged, &st);
    if (n < 0) return ctl_reply_result(env, n);
    xr_value list = ctl_held(env, xmlrpc_array_new(env));
    for (const bus_flagged &f : flagged) {
        if (env->fault_occurred) break;
        xr_value item = ctl_held(
            env, xmlrpc_build_value(env, "{s:s,s:s,s:I}", "media_id",
                                    ctl_utf8_clean(f.media_id.c_str()).c_str(), "start_time",
                                    f.start_time.c_str(), "start", xmlrpc_int64(f.start)));
        if (!env->fault_occurred) xmlrpc_array_append_item(env, list.get(), item.get());
    }
    if (env->fault_occurred) return nullptr;
    return ctl_reply_state_list(env, n, st, list.get());
}

xmlrpc_value *ctl_method_AbsentList(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    static const char *const name = "ctl_method_AbsentList";
    int idx = 0;
    if (!ctl_decode(env, params, name, "'bus idx'", "(i)", &idx)) return nullptr;
    bus *b = ctl_bus_at(ctl_opts(si), idx);
    if (!b) return ctl_reply_result(env, -22);
    return flag_list(env, b, MIVRABOX_F_ABSENT);
}

xmlrpc_value *ctl_method_ErrorFlagList(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    static const char *const name = "ctl_method_ErrorFlagList";
    int idx = 0, mask = 0;
    if (!ctl_decode(env, params, name, "'bus idx'", "(ii)", &idx, &mask)) return nullptr;
    bus *b = ctl_bus_at(ctl_opts(si), idx);
    if (!b) return ctl_reply_result(env, -22);
    return flag_list(env, b, uint64_t(uint32_t(mask)));
}

xmlrpc_value *ctl_method_Fallback(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    static const char *const name = "ctl_method_Fallback";
    return bus_only(env, params, si, name, bus_ply_fallback, true);
}

xmlrpc_value *ctl_method_TrimPadEvent(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    static const char *const name = "ctl_method_TrimPadEvent";
    return bus_int(env, params, si, name, "'bus idx', 'value'", bus_ply_trimpad_event,
                   "%s: i=%d, v=%d");
}

xmlrpc_value *ctl_method_ResetEventsTC(xmlrpc_env *env, xmlrpc_value *params, void *si, void *) {
    static const char *const name = "ctl_method_ResetEventsTC";
    return bus_array(env, params, si, name, bus_ply_reset_events_tc);
}

xmlrpc_value *ctl_method_default(xmlrpc_env *env, const char *, const char *method,
                                 xmlrpc_value *params, void *si) {
    static const char *const name = "ctl_method_default";
    try {
        mivrabox_opts *o = ctl_opts(si);
        const bus_daemon *d = o->daemon;
        xmlrpc_value *v = d && d->ctl_local ? d->ctl_local(env, o, method) : nullptr;
        if (v || env->fault_occurred) return env->fault_occurred ? nullptr : v;
        std::string target;
        bus *b0 = ctl_bus_at(o, 0);
        if (b0 && !strncmp(method, "MivraLib.", 9))
            target = b0->lib_url.str();
        else if (b0 && !strncmp(method, "MivraIO.", 8))
            target = d && d->relay_io_url ? d->relay_io_url(b0) : "";
        if (target.empty()) {
            xmlrpc_env_set_fault_formatted(env, 1, "%s: method %s not bypassed", name, method);
            return nullptr;
        }
        // The whole address, through the pool: several control threads may relay at once.
        return bus_relay(env, target.c_str(), method, params);
    } catch (...) {
        xmlrpc_env_set_fault(env, XMLRPC_INTERNAL_ERROR, "out of memory");
        return nullptr;
    }
}

}  // namespace

xmlrpc_value *ctl_playlist_call(xmlrpc_env *env, xmlrpc_value *params, void *si, const char *name,
                                int (*op)(bus *b, const char *path, mivrabox_state *st)) {
    return bus_name(env, params, si, name, op);
}

const ctl_method_def ctl_methods_shared[] = {
    {"MivraBox.GetState", ctl_guarded<ctl_method_GetState>},
    {"MivraBox.Run", ctl_guarded<ctl_method_Run>},
    {"MivraBox.InsertEvent", ctl_guarded<ctl_method_InsertEvent>},
    {"MivraBox.InsertEvent2", ctl_guarded<ctl_method_InsertEvent2>},
    {"MivraBox.UpdateEvent", ctl_guarded<ctl_method_UpdateEvent>},
    {"MivraBox.UpdateEvent2", ctl_guarded<ctl_method_UpdateEvent2>},
    {"MivraBox.GetEvent", ctl_guarded<ctl_method_GetEvent>},
    {"MivraBox.DeleteEvent", ctl_guarded<ctl_method_DeleteEvent>},
    {"MivraBox.DeleteEvents", ctl_guarded<ctl_method_DeleteEvents>},
    {"MivraBox.DeleteEvents2", ctl_guarded<ctl_method_DeleteEvents2>},
    {"MivraBox.ListPlaylists", ctl_guarded<ctl_method_ListPlaylists>},
    {"MivraBox.LoadPlaylist", ctl_guarded<ctl_method_LoadPlaylist>},
    {"MivraBox.SavePlaylist", ctl_guarded<ctl_method_SavePlaylist>},
    {"MivraBox.ClosePlaylist", ctl_guarded<ctl_method_ClosePlaylist>},
    {"MivraBox.AppendPlaylist", ctl_guarded<ctl_method_AppendPlaylist>},
    {"MivraBox.Take", ctl_guarded<ctl_method_Take>},
    {"MivraBox.TakeN", ctl_guarded<ctl_method_TakeN>},
    {"MivraBox.LibList", ctl_guarded<ctl_method_LibList>},
    {"MivraBox.GetEvents", ctl_guarded<ctl_method_GetEvents>},
    {"MivraBox.SearchEvent", ctl_guarded<ctl_method_SearchEvent>},
    {"MivraBox.AbsentList", ctl_guarded<ctl_method_AbsentList>},
    {"MivraBox.ErrorFlagList", ctl_guarded<ctl_method_ErrorFlagList>},
    {"MivraBox.Fallback", ctl_guarded<ctl_method_Fallback>},
    {"MivraBox.TrimPadEvent", ctl_guarded<ctl_method_TrimPadEvent>},
    {"MivraBox.ResetEventsTC", ctl_guarded<ctl_method_ResetEventsTC>},
};
const size_t ctl_methods_shared_count = sizeof(ctl_methods_shared) / sizeof(ctl_methods_shared[0]);

xmlrpc_method2 ctl_method_shared(const char *name) {
    for (const ctl_method_def &m : ctl_methods_shared)
        if (!strcmp(m.name, name)) return m.handler;
    return nullptr;
}

namespace {

void ctl_free(ctl_server *s) {
    if (s->created) ServerFree(&s->server);
    if (s->global_init) xmlrpc_server_abyss_global_term();
    if (s->registry) xmlrpc_registry_free(s->registry);
    if (s->xml_init) xmlCleanupParser();
    delete s;
}

std::string peer_of(TSession *session) {
    void *info = nullptr;
    SessionGetChannelInfo(session, &info);
    auto *ci = static_cast<struct abyss_unix_chaninfo *>(info);
    char host[INET6_ADDRSTRLEN] = "?";
    if (!ci) return host;
    const struct sockaddr *sa = &ci->peerAddr;
    if (sa->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(sa)->sin_addr, host,
                  sizeof(host));
    else if (sa->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr, host,
                  sizeof(host));
    return host;
}

const char *refusal_log(xml_guard_verdict v) {
    switch (v) {
        case XML_GUARD_DOCTYPE:
            return "%s: request from [%s] declares a document type, refused";
        case XML_GUARD_ENCODING:
            return "%s: request from [%s] is neither UTF-8 nor US-ASCII, refused";
        default:
            return "%s: request from [%s] nests elements too deep, refused";
    }
}

// Every call passes here before xmlrpc-c parses it, and every reply before it leaves.
void ctl_process(xmlrpc_env *env, void *arg, const char *xml, size_t len, TSession *session,
                 xmlrpc_mem_block **response) {
    auto *s = static_cast<ctl_server *>(arg);
    xml_guard_verdict v = xml_guard_check(xml, len);
    if (v == XML_GUARD_OK) {
        xmlrpc_registry_process_call2(env, s->registry, xml, len, session, response);
        // Strings may hold control bytes from playlist files and file names; a reply carrying
        // them raw would not be XML at all.
        if (!env->fault_occurred && *response)
            xml_scrub_forbidden(XMLRPC_MEMBLOCK_CONTENTS(char, *response),
                                XMLRPC_MEMBLOCK_SIZE(char, *response));
        return;
    }
    log_msg(LOG_ERROR, refusal_log(v), "ctl_run", peer_of(session).c_str());
    xmlrpc_env fault;
    xmlrpc_env_init(&fault);
    xmlrpc_env_set_fault(&fault, XMLRPC_PARSE_ERROR, xml_guard_text(v));
    *response = xmlrpc_mem_block_new(env, 0);
    if (!env->fault_occurred) xmlrpc_serialize_fault(env, *response, &fault);
    xmlrpc_env_clean(&fault);
}

// Only the methods of the table and the default method answer: xmlrpc-c's built-in system.
// methods (a multicall among them runs any number of calls in one request) are refused as any
// other name is.
void ctl_preinvoke(xmlrpc_env *env, const char *method, xmlrpc_value *, void *) {
    if (!strncmp(method, "system.", 7))
        xmlrpc_env_set_fault_formatted(env, 1, "%s: method %s not bypassed", "ctl_method_default",
                                       method);
}

int ctl_build(mivrabox_opts *o, ctl_server *s, const ctl_method_def *table, size_t count) {
    xr_env env;
    xmlInitParser();
    s->xml_init = true;
    xmlrpc_registry *reg = xmlrpc_registry_new(&env);
    s->registry = env.fault() ? nullptr : reg;
    if (env.fault()) {
        log_msg(LOG_ERROR, "ctl_init: xmlrpc_registry_new failed");
        return -14;
    }
    for (size_t i = 0; i < count; i++) {
        struct xmlrpc_method_info3 mi = {};
        mi.methodName = table[i].name;
        mi.methodFunction = table[i].handler;
        mi.serverInfo = o;
        xmlrpc_registry_add_method3(&env, s->registry, &mi);
        if (env.fault()) {
            log_msg(LOG_ERROR, "ctl_init: xmlrpc_registry_add_method3(%s) failed: %s (%d)",
                    table[i].name, env.msg(), env.code());
            return -14;
        }
    }
    xmlrpc_registry_set_default_method(&env, s->registry, ctl_method_default, o);
    if (env.fault()) {
        log_msg(LOG_ERROR, "ctl_init: xmlrpc_registry_set_default_method failed");
        return -14;
    }
    xmlrpc_registry_set_preinvoke_method(&env, s->registry, ctl_preinvoke, nullptr);
    if (env.fault()) {
        log_msg(LOG_ERROR, "ctl_init: xmlrpc_registry_set_preinvoke_method failed");
        return -14;
    }
    xmlrpc_server_abyss_global_init(&env);
    if (env.fault()) {
        log_msg(LOG_ERROR, "ctl_init: xmlrpc_server_abyss_global_init failed");
        return -14;
    }
    s->global_init = true;
    if (!ServerCreate(&s->server, "XmlRpcServer", uint16_t(o->port), nullptr, nullptr)) {
        log_msg(LOG_ERROR, "ctl_init: xmlrpc_server_abyss_create failed");
        return -14;
    }
    s->created = true;
    // A client that stops half-way through its request loses its connection after a few
    // seconds, and there are slots enough for every operator screen and peer of a station.
    ServerSetTimeout(&s->server, CTL_READ_TIMEOUT_S);
    ServerSetKeepaliveTimeout(&s->server, CTL_READ_TIMEOUT_S);
    ServerSetMaxConn(&s->server, CTL_MAX_CONN);
    ServerSetMaxConnBacklog(&s->server, CTL_MAX_CONN);
    ServerSetAdvertise(&s->server, false);
    xmlrpc_server_abyss_handler_parms hp = {};
    hp.xml_processor = ctl_process;
    hp.xml_processor_arg = s;
    hp.xml_processor_max_stack = xmlrpc_registry_max_stackSize(s->registry);
    hp.uri_path = "/RPC2";
    xmlrpc_server_abyss_set_handler3(&env, &s->server, &hp,
                                     XMLRPC_AHPSIZE(xml_processor_max_stack));
    if (env.fault()) {
        log_msg(LOG_ERROR, "ctl_init: xmlrpc_server_abyss_set_handler3 failed");
        return -14;
    }
    const char *error = nullptr;
    ServerInit2(&s->server, &error);
    if (error) {
        log_msg(LOG_ERROR, "ctl_init: xmlrpc_server_abyss_create failed: %s", error);
        free(const_cast<char *>(error));  // Abyss allocates its error texts with malloc
        return -14;
    }
    return 0;
}

}  // namespace

int ctl_init(mivrabox_opts *o, const ctl_method_def *table, size_t count) {
    if (!o) return -22;
    if (!table) {
        table = ctl_methods_shared;
        count = ctl_methods_shared_count;
    }
    ctl_server *s = new (std::nothrow) ctl_server;
    if (!s) return -12;
    int r = ctl_build(o, s, table, count);
    if (r < 0) {
        ctl_free(s);
        return r;
    }
    std::lock_guard lk(g_ctl_mu);
    o->ctl = s;
    return 0;
}

int ctl_run(mivrabox_opts *o) {
    if (!o || !o->ctl) return -22;
    TServer *server;
    {
        std::lock_guard lk(g_ctl_mu);
        if (o->stop_requested) {
            log_msg(LOG_INFO, "%s: xmlrpc_server_abyss_run_server finished", "ctl_run");
            return 0;
        }
        server = &o->ctl->server;
    }
    if (o->daemon && o->daemon->xml_size_limit)
        xmlrpc_limit_set(XMLRPC_XML_SIZE_LIMIT_ID, o->daemon->xml_size_limit);
    // A stop between here and the loop start is kept by Abyss's termination flag.
    ServerRun(server);
    log_msg(LOG_INFO, "%s: xmlrpc_server_abyss_run_server finished", "ctl_run");
    return 0;
}

int ctl_stop(mivrabox_opts *o) {
    if (!o) return -22;
    std::lock_guard lk(g_ctl_mu);
    o->stop_requested = 1;
    if (!o->ctl || !o->ctl->created) return -22;
    ServerTerminate(&o->ctl->server);
    return 0;
}

int ctl_release(mivrabox_opts *o) {
    if (!o) return -22;
    ctl_server *s;
    {
        std::lock_guard lk(g_ctl_mu);
        s = o->ctl;
        o->ctl = nullptr;
    }
    if (!s) return -22;
    ctl_free(s);
    return 0;
}
