// The box client calls: common reply handling, event bodies, event replies and the lists.
#include "mivrabox_client.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "mivra_call.h"
#include "mivrabox_body.h"

namespace {

constexpr char STD[] = "parser_std_response";

// "<fn>/parser_std_response": the name the common reply handling writes under.
struct std_who {
    char buf[128];
    explicit std_who(const char *fn) { snprintf(buf, sizeof buf, "%s/%s", fn, STD); }
};

// The pooled call of mivra; a fault is written under who (mivra's text, without line end).
xr_value box_call(const char *who, const char *url, const char *method, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    xr_value v = mivra_call_va(who, url ? url : "", method, format, ap);
    va_end(ap);
    return v;
}

// "result" of a reply: -14 when it does not decode; a negative one is written with its text.
int std_result(const char *fn, const char *method, xmlrpc_value *reply) {
    std_who who(fn);
    int result = 0;
    if (mivra_decode_result(who.buf, reply, &result, MIVRA_HERE) < 0) return RESULT_NO_ANSWER;
    if (result < 0) {
        mivra_errtext text(-result);
        mivra_err("%s/%s: %s return %d (%s)\n", fn, STD, method, result, text.str);
    }
    return result;
}

// Decodes the reply's "state" into state (or nowhere); a state that fails to decode is left
// zeroed or partly filled and changes no result.
void decode_state(xmlrpc_value *reply, mivrabox_state *state) {
    mivrabox_state scratch;
    xr_env env;
    mivrabox_state_probe_decompose(&env, reply, state ? state : &scratch);
}

// Common reply handling of one call.
int std_call(const char *fn, const char *url, const char *method, mivrabox_state *state,
             const char *format, ...) {
    std_who who(fn);
    va_list ap;
    va_start(ap, format);
    xr_value reply = mivra_call_va(who.buf, url ? url : "", method, format, ap);
    va_end(ap);
    if (!reply) return RESULT_NO_ANSWER;
    int result = std_result(fn, method, reply.get());
    if (result >= 0) decode_state(reply.get(), state);
    return result;
}

void zero(mivrabox_state *state) {
    if (state) *state = mivrabox_state{};
}

// Body of the four insert and update calls: the event travels compressed.
int update_insert_event(const char *url, int bus, const char *method, const mivrabox_event *ev,
                        int64_t pos, mivrabox_state *state) {
    static const char fn[] = "mivrabox_update_insert_event";
    zero(state);
    std::string line;
    int r = mivrabox_body_line(ev, line);
    std::vector<unsigned char> body;
    if (r >= 0) r = mivrabox_body_deflate(line, body);
    if (r < 0) {
        mivra_err("%s: %s: event refused before the call (%d)\n", fn, method, r);
        return r;
    }
    return std_call(fn, url, method, state, "(i6I)", bus, body.data(), body.size(),
                    xmlrpc_int64(pos));
}

// An array of one-element arrays "(I)" of the values, in order; null after a message.
xr_value ids_array(const char *fn, int n, const int64_t *values) {
    xr_env env;
    xr_value array(xmlrpc_array_new(&env));
    for (int i = 0; !env.fault() && i < n; i++) {
        xr_value item(xmlrpc_build_value(&env, "(I)", xmlrpc_int64(values[i])));
        if (!env.fault()) xmlrpc_array_append_item(&env, array.get(), item.get());
    }
    if (env.fault()) {
        mivra_err("%s: building the array failed: %s (%d)\n", fn, env.msg(), env.code());
        return nullptr;
    }
    return array;
}

int callX_iA(const char *url, int bus, const char *method, int n, const int64_t *values,
             mivrabox_state *state) {
    static const char fn[] = "mivrabox_callX_iA";
    if (n < 0 || (n > 0 && !values)) return -22;
    xr_value array = ids_array(fn, n, values);
    if (!array) return RESULT_NO_ANSWER;
    return std_call(fn, url, method, state, "(iA)", bus, array.get());
}

// The line of an event struct: "event" plain, else "event_c" compressed. 0, -14 when neither
// is there, -22 (or -12) when the compressed body does not give a line.
int read_body(const char *fn, xmlrpc_value *st, std::string &line) {
    xr_env env;
    xr_str text;
    xr_decompose(&env, st, "{s:s,*}", "event", &text);
    if (!env.fault()) {
        line = text.get();
        return 0;
    }
    env.reset();
    xr_bytes body;
    xmlrpc_decompose_value(&env, st, "{s:6,*}", "event_c", &body.p, &body.size);
    if (env.fault()) {
        body.disown();
        mivra_err("%s: decompose value failed: %s (%d) [%s:%d]\n", fn, env.msg(), env.code(),
                  MIVRA_HERE);
        return RESULT_NO_ANSWER;
    }
    int r = mivrabox_body_inflate(body.p, body.size, line);
    if (r < 0) {
        mivra_err("%s: event_c of %zu bytes gives no line (%d)\n", fn, body.size, r);
        return r;
    }
    return 0;
}

// One event of a struct holding "event" or "event_c" and "state" (mivrabox_get_event_parse).
// The state is decoded into state whenever a body was there.
int get_event_parse(const char *fn, xmlrpc_value *st, mivrabox_event **ev, mivrabox_state *state,
                    int64_t *index) {
    std::string line;
    int r = read_body(fn, st, line);
    if (r == RESULT_NO_ANSWER) return r;
    mivrabox_state scratch;
    mivrabox_state &s = state ? *state : scratch;
    {
        xr_env env;
        mivrabox_state_probe_decompose(&env, st, &s);
    }
    if (r < 0) return r;
    mivrabox_event *e = mivrabox_event_parse(line);
    if (!e) {
        mivra_err("%s: event line does not parse: [%.80s]\n", fn, line.c_str());
        return -22;
    }
    e->flags = uint64_t(s.er[0]);
    e->sys_id = s.er[1];
    e->start = s.er[2];
    e->amend = s.amend;
    if (index) *index = s.er[4];
    *ev = e;
    return 0;
}

// GetEvent and SnapshotGetEvent: the reply's "result" is read only by GetEvent, and not used.
int single_event(const char *fn, const char *url, const char *method, bool read_result,
                 mivrabox_event **ev, mivrabox_state *state, const char *format, ...) {
    if (!ev) return -22;
    *ev = nullptr;
    zero(state);
    std_who who(fn);
    va_list ap;
    va_start(ap, format);
    xr_value reply = mivra_call_va(who.buf, url ? url : "", method, format, ap);
    va_end(ap);
    if (!reply) return RESULT_NO_ANSWER;
    int result = 0;
    if (read_result && mivra_decode_result(who.buf, reply.get(), &result, MIVRA_HERE) < 0)
        return RESULT_NO_ANSWER;
    return get_event_parse(fn, reply.get(), ev, state, nullptr);
}

// The array member of a reply with its size; -14 after a message.
int reply_list(const char *fn, xmlrpc_value *reply, const char *member, xr_value &list) {
    xr_env env;
    list = mivra_member_array(&env, reply, member);
    if (env.fault()) {
        mivra_err("%s: decompose value failed: %s (%d) [%s:%d]\n", fn, env.msg(), env.code(),
                  MIVRA_HERE);
        return RESULT_NO_ANSWER;
    }
    return mivra_array_size(fn, list.get());
}

void report_decompose(const char *fn, xr_env &env) {
    mivra_err("%s: xmlrpc_decompose_value failed: %s (%d)\n", fn, env.msg(), env.code());
}

// An optional member of a struct, or null.
xr_value optional_member(xmlrpc_value *st, const char *key) {
    xr_env env;
    xmlrpc_value *v = nullptr;
    xmlrpc_struct_find_value(&env, st, key, &v);
    return xr_value(env.fault() ? nullptr : v);
}

void optional_i8(xmlrpc_value *st, const char *key, int64_t &out) {
    xr_value v = optional_member(st, key);
    xr_env env;
    xmlrpc_int64 x = 0;
    if (v) xmlrpc_read_i8(&env, v.get(), &x);
    if (v && !env.fault()) out = x;
}

template <size_t N>
void optional_text(xmlrpc_value *st, const char *key, btext<N> &out) {
    xr_value v = optional_member(st, key);
    if (!v) return;
    xr_env env;
    xr_str s;
    xr_decompose(&env, v.get(), "s", &s);
    if (!env.fault()) out = s.get();
}

struct names_free {
    void operator()(char **names) const {
        char **n = names;
        mivrabox_names_free(&n);
    }
};

struct records_free {
    void operator()(mivrabox_event *list) const { delete[] list; }
};

int std_is(const char *fn, const char *url, const char *method, int bus, const char *name,
           mivrabox_state *state) {
    return std_call(fn, url, method, state, "(is)", bus, name ? name : "");
}

}  // namespace

int mivrabox_get_state(const char *url, int bus, mivrabox_state *state) {
    static const char fn[] = "mivrabox_get_state";
    zero(state);
    xr_env env;
    xr_value reply(xmlrpc_client_callX(&env, url ? url : "", "MivraBox.GetState", "(i)", bus));
    if (env.fault()) {
        mivra_err("%s: xmlrpc_client_callX(%s, %s) failed: %s (%d) [%s:%d]\n", fn, url ? url : "",
                  "MivraBox.GetState", env.msg(), env.code(), MIVRA_HERE);
        return RESULT_NO_ANSWER;
    }
    mivrabox_state scratch;
    xr_env denv;
    return mivrabox_state_probe_decompose(&denv, reply.get(), state ? state : &scratch) < 0
               ? RESULT_NO_ANSWER
               : 0;
}

int mivrabox_run(const char *url, int bus, int f_running, mivrabox_state *state) {
    return std_call("mivrabox_run", url, "MivraBox.Run", state, "(ii)", bus, f_running);
}

int mivrabox_insert_event(const char *url, int bus, const mivrabox_event *ev, int64_t pos,
                          mivrabox_state *state) {
    return update_insert_event(url, bus, "MivraBox.InsertEvent", ev, pos, state);
}

int mivrabox_insert_event2(const char *url, int bus, const mivrabox_event *ev, int64_t sys_id,
                           mivrabox_state *state) {
    return update_insert_event(url, bus, "MivraBox.InsertEvent2", ev, sys_id, state);
}

int mivrabox_update_event(const char *url, int bus, const mivrabox_event *ev, int64_t pos,
                          mivrabox_state *state) {
    return update_insert_event(url, bus, "MivraBox.UpdateEvent", ev, pos, state);
}

int mivrabox_update_event2(const char *url, int bus, const mivrabox_event *ev, int64_t sys_id,
                           mivrabox_state *state) {
    return update_insert_event(url, bus, "MivraBox.UpdateEvent2", ev, sys_id, state);
}

int mivrabox_delete_events(const char *url, int bus, int n, const int64_t *indexes,
                           mivrabox_state *state) {
    return callX_iA(url, bus, "MivraBox.DeleteEvents", n, indexes, state);
}

int mivrabox_delete_events2(const char *url, int bus, int n, const int64_t *sys_ids,
                            mivrabox_state *state) {
    return callX_iA(url, bus, "MivraBox.DeleteEvents2", n, sys_ids, state);
}

int mivrabox_reset_events_tc(const char *url, int bus, int n, const int64_t *sys_ids,
                             mivrabox_state *state) {
    return callX_iA(url, bus, "MivraBox.ResetEventsTC", n, sys_ids, state);
}

int mivrabox_append_playlist(const char *url, int bus, const char *name, mivrabox_state *state) {
    return std_is("mivrabox_xxx_playlist", url, "MivraBox.AppendPlaylist", bus, name, state);
}

int mivrabox_load_playlist(const char *url, int bus, const char *name, mivrabox_state *state) {
    return std_is("mivrabox_xxx_playlist", url, "MivraBox.LoadPlaylist", bus, name, state);
}

int mivrabox_save_playlist(const char *url, int bus, const char *name, mivrabox_state *state) {
    return std_is("mivrabox_xxx_playlist", url, "MivraBox.SavePlaylist", bus, name, state);
}

int mivrabox_truncate_playlist(const char *url, int bus, int64_t sys_id, int below,
                               mivrabox_state *state) {
    return std_call("mivrabox_truncate_playlist", url, "MivraBox.TruncatePlaylist", state, "(iIi)",
                    bus, xmlrpc_int64(sys_id), below);
}

int mivrabox_close_playlist(const char *url, int bus, mivrabox_state *state) {
    return std_call("mivrabox_close_playlist", url, "MivraBox.ClosePlaylist", state, "(i)", bus);
}

int mivrabox_take(const char *url, int bus, mivrabox_state *state) {
    return std_call("mivrabox_take", url, "MivraBox.Take", state, "(i)", bus);
}

int mivrabox_take_n(const char *url, int bus, int index, mivrabox_state *state) {
    return std_call("mivrabox_take_n", url, "MivraBox.TakeN", state, "(ii)", bus, index);
}

int mivrabox_fallback(const char *url, int bus, mivrabox_state *state) {
    return std_call("mivrabox_fallback", url, "MivraBox.Fallback", state, "(i)", bus);
}

int mivrabox_preview(const char *url, int bus, int64_t idx_or_id, const char *io_url,
                     mivrabox_state *state) {
    return std_call("mivrabox_preview", url, "MivraBox.Preview", state, "(iIs)", bus,
                    xmlrpc_int64(idx_or_id), io_url ? io_url : "");
}

int mivrabox_search_event(const char *url, int bus, const char *key, int start, int flags,
                          mivrabox_state *state) {
    return std_call("mivrabox_search_event", url, "MivraBox.SearchEvent", state, "(isii)", bus,
                    key ? key : "", start, flags);
}

int mivrabox_trimpad_event(const char *url, int bus, int value, mivrabox_state *state) {
    return std_call("mivrabox_trimpad_event", url, "MivraBox.TrimPadEvent", state, "(ii)", bus,
                    value);
}

void mivrabox_names_free(char ***names) {
    if (!names || !*names) return;
    for (char **n = *names; *n; n++) free(*n);
    free(*names);
    *names = nullptr;
}

int mivrabox_list_playlists(const char *url, int bus, char ***names, mivrabox_state *state) {
    static const char fn[] = "mivrabox_list_playlists";
    static const char method[] = "MivraBox.ListPlaylists";
    if (!names) return -22;
    *names = nullptr;
    xr_value reply = box_call(std_who(fn).buf, url, method, "(i)", bus);
    if (!reply) return RESULT_NO_ANSWER;
    int result = std_result(fn, method, reply.get());
    if (result < 0) return result;
    xr_value list;
    int size = reply_list(fn, reply.get(), "list", list);
    if (size < 0) return RESULT_NO_ANSWER;
    std::unique_ptr<char *[], names_free> out(
        static_cast<char **>(calloc(size_t(size) + 1, sizeof(char *))));
    if (!out) return -12;
    for (int i = 0; i < size; i++) {
        xr_value item = mivra_array_item(fn, list.get(), i);
        if (!item) return RESULT_NO_ANSWER;
        xr_env env;
        xr_str name;
        xr_decompose(&env, item.get(), "(s)", &name);
        if (env.fault()) {
            report_decompose(fn, env);
            return RESULT_NO_ANSWER;
        }
        out[size_t(i)] = strdup(name.get());
        if (!out[size_t(i)]) return -12;
    }
    decode_state(reply.get(), state);
    *names = out.release();
    return size;
}

int mivrabox_get_event(const char *url, int bus, int index, mivrabox_event **ev,
                       mivrabox_state *state) {
    return single_event("mivrabox_get_event", url, "MivraBox.GetEvent", true, ev, state, "(ii)",
                        bus, index);
}

int mivrabox_get_events2(const char *url, int bus, int n, int64_t *indexes, mivrabox_event **evs,
                         mivrabox_state *state) {
    static const char fn[] = "mivrabox_get_events2";
    if (n < 0 || (n > 0 && (!indexes || !evs))) return -22;
    for (int k = 0; k < n; k++) evs[k] = nullptr;
    zero(state);
    xr_value ids = ids_array(fn, n, indexes);
    if (!ids) return RESULT_NO_ANSWER;
    xr_value reply = box_call(std_who(fn).buf, url, "MivraBox.GetEvents2", "(iA)", bus, ids.get());
    if (!reply) return RESULT_NO_ANSWER;
    xr_value list;
    int size = reply_list(fn, reply.get(), "events", list);
    if (size < 0) return RESULT_NO_ANSWER;
    int k = 0, last = 0;
    // Never more events than the caller has slots for.
    for (int i = 0; i < size && k < n; i++) {
        xr_value item = mivra_array_item(fn, list.get(), i);
        if (!item) {
            last = RESULT_NO_ANSWER;
            break;
        }
        mivrabox_state item_state;
        last = get_event_parse(fn, item.get(), &evs[k], &item_state, &indexes[k]);
        if (last == 0) {
            k++;
        } else if (last != -22) {
            break;  // an item without a body ends the walk
        }
    }
    if (k == 0 && last < 0) return last;
    decode_state(reply.get(), state);
    return k;
}

void mivrabox_errorflag_list_free(mivrabox_event **list) {
    if (!list) return;
    delete[] * list;
    *list = nullptr;
}

int mivrabox_errorflag_list(const char *url, int bus, int mask, mivrabox_event **list,
                            mivrabox_state *state) {
    static const char fn[] = "mivrabox_errorflag_list";
    static const char method[] = "MivraBox.ErrorFlagList";
    if (!list) return -22;
    *list = nullptr;
    xr_value reply = box_call(std_who(fn).buf, url, method, "(ii)", bus, mask);
    if (!reply) return RESULT_NO_ANSWER;
    int result = std_result(fn, method, reply.get());
    if (result < 0) return result;
    xr_value array;
    int size = reply_list(fn, reply.get(), "list", array);
    if (size < 0) return RESULT_NO_ANSWER;
    // count + 1 records; the last stays all zero and ends the block.
    std::unique_ptr<mivrabox_event[], records_free> out(new (std::nothrow)
                                                            mivrabox_event[size_t(size) + 1]);
    if (!out) return -12;
    for (int i = 0; i <= size; i++) out[size_t(i)].refcount = 0;
    for (int i = 0; i < size; i++) {
        xr_value item = mivra_array_item(fn, array.get(), i);
        if (!item) return RESULT_NO_ANSWER;
        xr_env env;
        xr_str media, start_time;
        xmlrpc_int64 start = 0;
        xr_decompose(&env, item.get(), "{s:s,s:s,s:I,*}", "media_id", &media, "start_time",
                     &start_time, "start", &start);
        if (env.fault()) {
            mivra_err("%s:%d: xmlrpc_decompose_value(ssI) failed: %s (%d)\n", fn, __LINE__,
                      env.msg(), env.code());
            return RESULT_NO_ANSWER;
        }
        mivrabox_event &rec = out[size_t(i)];
        rec.media_id = media.get();
        rec.start_time = start_time.get();
        rec.start = start;
        optional_text(item.get(), "comment", rec.title);
        optional_i8(item.get(), "sys_id", rec.sys_id);
        int64_t flags = 0;
        optional_i8(item.get(), "flags", flags);
        rec.flags = uint64_t(flags);
    }
    decode_state(reply.get(), state);
    *list = out.release();
    return size;
}

int mivrabox_errorflag_list_absent(const char *url, int bus, mivrabox_event **list,
                                   mivrabox_state *state) {
    return mivrabox_errorflag_list(url, bus, int(MIVRABOX_F_ABSENT), list, state);
}

int mivrabox_lib_list(const char *url, int bus, int which, lib_object_list *list,
                      mivrabox_state *state) {
    static const char fn[] = "mivrabox_lib_list";
    static const char method[] = "MivraBox.LibList";
    if (!list) return -22;
    // Whatever the caller left in the list goes: it holds this reply's objects only.
    lib_object_list_clear(list);
    xr_value reply = box_call(std_who(fn).buf, url, method, "(ii)", bus, which);
    if (!reply) return RESULT_NO_ANSWER;
    int result = std_result(fn, method, reply.get());
    if (result < 0) return result;
    xr_value array;
    int size = reply_list(fn, reply.get(), "list", array);
    if (size < 0) return RESULT_NO_ANSWER;
    for (int i = 0; i < size; i++) {
        int r = RESULT_NO_ANSWER;
        xr_value item = mivra_array_item(fn, array.get(), i);
        xr_env env;
        xr_str origin, object;
        int ref = 0;
        if (item) {
            xr_decompose(&env, item.get(), "{s:s,s:s,s:i,*}", "origin", &origin, "object", &object,
                         "ref", &ref);
            if (env.fault()) report_decompose(fn, env);
        }
        lib_object *o = nullptr;
        if (item && !env.fault() && (r = lib_object_new(&o)) >= 0) {
            try {
                o->origin = origin.get();
                o->object = object.get();
                o->ref = ref;
                r = lib_object_list_push(list, o);  // owns o from here on
            } catch (const std::bad_alloc &) {
                lib_object_free(&o);
                r = -12;
            }
        }
        if (r < 0) {
            lib_object_list_clear(list);
            return r == -12 ? -12 : RESULT_NO_ANSWER;
        }
    }
    decode_state(reply.get(), state);
    return list->count();
}

int mivrabox_snapshot_new(const char *url, int bus, mivrabox_state *state) {
    return std_call("mivrabox_snapshot_new", url, "MivraBox.SnapshotNew", state, "(i)", bus);
}

int mivrabox_snapshot_curr(const char *url, int bus, mivrabox_state *state) {
    return std_call("mivrabox_snapshot_curr", url, "MivraBox.SnapshotCurr", state, "(i)", bus);
}

int mivrabox_snapshot_load(const char *url, int bus, const char *name, mivrabox_state *state) {
    return std_is("mivrabox_snapshot_load", url, "MivraBox.SnapshotLoad", bus, name, state);
}

int mivrabox_snapshot_save(const char *url, int bus, int slot, const char *name,
                           mivrabox_state *state) {
    return std_call("mivrabox_snapshot_save", url, "MivraBox.SnapshotSave", state, "(iis)", bus,
                    slot, name ? name : "");
}

int mivrabox_snapshot_destroy(const char *url, int bus, int slot, mivrabox_state *state) {
    return std_call("mivrabox_snapshot_destroy", url, "MivraBox.SnapshotDestroy", state, "(ii)",
                    bus, slot);
}

int mivrabox_snapshot_add_event(const char *url, int bus, int slot, const mivrabox_event *ev,
                                mivrabox_state *state) {
    static const char fn[] = "mivrabox_snapshot_add_event";
    zero(state);
    std::string line;
    int r = mivrabox_body_line(ev, line);
    if (r < 0) {
        mivra_err("%s: event refused before the call (%d)\n", fn, r);
        return r;
    }
    return std_call(fn, url, "MivraBox.SnapshotAddEvent", state, "(iis)", bus, slot, line.c_str());
}

int mivrabox_snapshot_get_event(const char *url, int bus, int slot, int index, mivrabox_event **ev,
                                mivrabox_state *state) {
    return single_event("mivrabox_snapshot_get_event", url, "MivraBox.SnapshotGetEvent", false, ev,
                        state, "(iii)", bus, slot, index);
}
