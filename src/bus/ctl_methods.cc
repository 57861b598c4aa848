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

namespace {

constexpr size_t kLineSize = 16384;

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

xmlrpc_value *ctl_method_default(xmlrpc_env *env, const char *, const char *method,
                                 xmlrpc_value *params, void *si) {
    static const char *const name = "ctl_method_default";
    try {
        mivrabox_opts *o = ctl_opts(si);
        const bus_daemon *d = o->daemon;
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
