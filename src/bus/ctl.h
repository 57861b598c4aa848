// Control server: the MivraBox. methods over XML-RPC on an Abyss server, and the default method
// that relays MivraLib. and MivraIO. calls to bus 0's services.
#pragma once

#include <xmlrpc-c/server.h>

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "log.h"
#include "mivra.h"

#include "xr.h"

struct bus;

struct mivrabox_opts;
struct mivrabox_state;

// A request not complete within this many seconds loses its connection.
constexpr unsigned CTL_READ_TIMEOUT_S = 5;
// Connections served at once.
constexpr unsigned CTL_MAX_CONN = 256;

// One control method: registered under name, called with the start-up record as server info.
struct ctl_method_def {
    const char *name;
    xmlrpc_method2 handler;
};

// The 25 methods shared by both daemons, in registration order.
extern const ctl_method_def ctl_methods_shared[];
extern const size_t ctl_methods_shared_count;

// -22 null record, -12 no memory, -14 when a step fails (logged), else 0. table/count default
// to the shared methods; a daemon with methods of its own passes its table.
int ctl_init(mivrabox_opts *o, const ctl_method_def *table = nullptr, size_t count = 0);
// Serves in the calling thread until ctl_stop; returns at once when a stop came first.
int ctl_run(mivrabox_opts *o);
// Asks the server loop to end; safe from any thread, also before ctl_init or ctl_run.
int ctl_stop(mivrabox_opts *o);
int ctl_release(mivrabox_opts *o);

// Helpers of the control methods of both daemons.
// Bus i of the record, null when there is none.
bus *ctl_bus_at(mivrabox_opts *o, int i);
// Holds v unless the call that made it failed (its result is then undefined).
xr_value ctl_held(xmlrpc_env *env, xmlrpc_value *v);
// Appends one string list element: an array holding the string.
void ctl_list_push_name(xmlrpc_env *env, xmlrpc_value *list, const char *name);
// The start-up record that every handler receives as its server information.
mivrabox_opts *ctl_opts(void *si);
// True when s is well-formed UTF-8, which xmlrpc-c insists on for strings.
bool ctl_utf8_ok(const char *s);
// s with every byte that is not part of well-formed UTF-8 replaced by '?'.
std::string ctl_utf8_clean(const char *s);
// {"result": r}.
xmlrpc_value *ctl_reply_result(xmlrpc_env *env, int r);
// {"result": r, "state"} for r >= 0, {"result": r} otherwise.
xmlrpc_value *ctl_reply_state(xmlrpc_env *env, int r, const mivrabox_state &st);
// {"result": r, "event": line (made valid UTF-8), "state"} for r >= 0, {"result": r} otherwise.
xmlrpc_value *ctl_reply_event(xmlrpc_env *env, int r, const char *line, const mivrabox_state &st);
// {"result": r, "state"} with a "list" member.
xmlrpc_value *ctl_reply_state_list(xmlrpc_env *env, int r, const mivrabox_state &st,
                                   xmlrpc_value *list);
// (iA): the bus index and an array of one-element arrays each holding an i8. 0, or with the
// fault set and the failure logged: -22 when the parameters do not decode, -14 when an item of
// the array does not. Lines read "<name>/helper_iA: ..." unless `what` names the arguments
// for the decoding line, then "<name>: ...".
int ctl_helper_iA(xmlrpc_env *env, xmlrpc_value *params, const char *name, int *idx,
                  std::vector<int64_t> &values, const char *what = nullptr);

// Texts that xmlrpc-c allocated with malloc.
struct ctl_free_deleter {
    void operator()(void *p) const { free(p); }
};
using c_text = std::unique_ptr<char, ctl_free_deleter>;

// Decodes the parameters; a failure is logged as "<handler>: xmlrpc_decompose_value(<what>)
// failed" and its fault goes back to the caller.
template <class... A>
inline bool ctl_decode(xmlrpc_env *env, xmlrpc_value *params, const char *name, const char *what,
                       const char *fmt, A... out) {
    xmlrpc_decompose_value(env, params, fmt, out...);
    if (!env->fault_occurred) return true;
    log_msg(LOG_ERROR, "%s: xmlrpc_decompose_value(%s) failed", name, what);
    return false;
}

// Handlers are plain functions; the table wraps each so that no exception reaches xmlrpc-c.
template <xmlrpc_method2 F>
inline xmlrpc_value *ctl_guarded(xmlrpc_env *env, xmlrpc_value *params, void *si, void *ci) {
    // What a request asks of the services is bounded and never takes the bus threads' slots.
    mivra_call_scope outside(MIVRA_BOUND_RELAY_MS, 1);
    try {
        xmlrpc_value *v = F(env, params, si, ci);
        return env->fault_occurred ? nullptr : v;
    } catch (...) {
        log_msg(LOG_ERROR, "%s: out of memory", "ctl_method");
        xmlrpc_env_set_fault(env, XMLRPC_INTERNAL_ERROR, "out of memory");
        return nullptr;
    }
}

// Shared methods whose reply a daemon's own handler words its own way; name is the handler's
// name in log lines.
// Adds a daemon's own members to the state of one event (index in the playlist).
using ctl_event_state = void (*)(mivrabox_state &st, int64_t index);
// GetEvent and GetEvents (own may be null).
xmlrpc_value *ctl_get_event(xmlrpc_env *env, xmlrpc_value *params, void *si, const char *name,
                            ctl_event_state own);
xmlrpc_value *ctl_get_events(xmlrpc_env *env, xmlrpc_value *params, void *si, const char *name,
                             ctl_event_state own);
// ListPlaylists: edit (may be null) changes the names found in the bus folder.
xmlrpc_value *ctl_list_playlists(xmlrpc_env *env, xmlrpc_value *params, void *si, const char *name,
                                 void (*edit)(bus *b, std::vector<std::string> &names));
// SearchEvent with the search flags that flags_taken lets through.
xmlrpc_value *ctl_search_event(xmlrpc_env *env, xmlrpc_value *params, void *si, const char *name,
                               int flags_taken);
// A (is) call on a checked playlist name: op gets the name's path in the bus folder.
xmlrpc_value *ctl_playlist_call(xmlrpc_env *env, xmlrpc_value *params, void *si, const char *name,
                                int (*op)(bus *b, const char *path, mivrabox_state *st));

// The handler of one of the shared methods, null when name is none of them.
xmlrpc_method2 ctl_method_shared(const char *name);
