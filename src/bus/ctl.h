// Control server: the MivraBox. methods over XML-RPC on an Abyss server, and the default method
// that relays MivraLib. and MivraIO. calls to bus 0's services.
#pragma once

#include <xmlrpc-c/server.h>

#include <cstddef>

#include "xr.h"

struct bus;

struct mivrabox_opts;

// One control method: registered under name, called with the start-up record as server info.
struct ctl_method_def {
    const char *name;
    xmlrpc_method2 handler;
};

// The 25 methods shared by both daemons, in registration order.
extern const ctl_method_def ctl_methods_shared[];
extern const size_t ctl_methods_shared_count;

// -22 null record, -12 no memory, -14 when a step fails (logged), else 0. table/count default
// to the shared methods; the single-player daemon passes its own table.
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
