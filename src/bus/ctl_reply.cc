#include "ctl_reply.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bus.h"
#include "bus_opts.h"
#include "log.h"
#include "xr.h"

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
        return RESULT_NO_ANSWER;
    }
    values.reserve(size_t(n));
    for (int i = 0; i < n; i++) {
        xmlrpc_value *item = nullptr;
        xmlrpc_array_read_item(env, arr, i, &item);
        if (env->fault_occurred) {
            log_msg(LOG_ERROR, "%s: xmlrpc_array_read_item failed: %s (%d)", who.c_str(),
                    env->fault_string, env->fault_code);
            return RESULT_NO_ANSWER;
        }
        xr_value ih(item);
        xmlrpc_int64 v = 0;
        xmlrpc_decompose_value(env, item, "(I)", &v);
        if (env->fault_occurred) {
            log_msg(LOG_ERROR, "%s: xmlrpc_decompose_value failed: %s (%d)", who.c_str(),
                    env->fault_string, env->fault_code);
            return RESULT_NO_ANSWER;
        }
        values.push_back(v);
    }
    return 0;
}


// Handlers that take only the bus index; logged ones write the call before testing the index.
xmlrpc_value *bus_only(xmlrpc_env *env, xmlrpc_value *params, void *si, const char *name,
                       int (*op)(bus *, mivrabox_state *), bool logged) {
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
                      const char *log_fmt) {
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
