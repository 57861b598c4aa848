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

#include "ctl_reply.h"
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

// A row of a daemon's table that is the shared method of that name.
#define CTL_SHARED(m) \
    { "MivraBox." m, nullptr }

// -22 null record, -12 no memory, -14 when a step fails (logged), else 0. table/count default
// to the methods of the record's daemon, else the shared ones; a row without a handler is the
// shared method of its name.
int ctl_init(mivrabox_opts *o, const ctl_method_def *table = nullptr, size_t count = 0);
// Serves in the calling thread until ctl_stop; returns at once when a stop came first.
int ctl_run(mivrabox_opts *o);
// Asks the server loop to end; safe from any thread, also before ctl_init or ctl_run.
int ctl_stop(mivrabox_opts *o);
int ctl_release(mivrabox_opts *o);

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
// The registry's default method: relays MivraLib. and MivraIO. calls to bus 0's services, fault 1
// for any other name.
xmlrpc_value *ctl_method_default(xmlrpc_env *env, const char *host, const char *method,
                                 xmlrpc_value *params, void *si);
