// Reply side of the control methods: text cleaning, reply builders and the argument adapters that
// the shared methods and each daemon's own methods decode their parameters with.
#pragma once

#include <xmlrpc-c/base.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "log.h"
#include "xr.h"

struct bus;
struct mivrabox_opts;
struct mivrabox_state;

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

// A copy of a composed state whose "er" members are er[0..4]; the other members are shared.
xmlrpc_value *state_with_er(xmlrpc_env *env, xmlrpc_value *base, const int64_t *er);

// Argument adapters: each decodes its parameters (a failure is logged and its fault goes back),
// answers {"result": -22} for a bus index outside the record, runs op with a zeroed state and
// replies {"result", "state"}.
// (i): the bus index; logged ones write "<name>: i=<bus>" before the index is tested.
xmlrpc_value *bus_only(xmlrpc_env *env, xmlrpc_value *params, void *si, const char *name,
                       int (*op)(bus *, mivrabox_state *), bool logged = false);
// (ii): the bus index and one int; `what` names the arguments in the decoding line, log_fmt
// (given the name, bus and value) logs the call.
xmlrpc_value *bus_int(xmlrpc_env *env, xmlrpc_value *params, void *si, const char *name,
                      const char *what, int (*op)(bus *, int, mivrabox_state *),
                      const char *log_fmt = nullptr);
// (isI): bus, event line, index or sys_id.
xmlrpc_value *bus_line(xmlrpc_env *env, xmlrpc_value *params, void *si, const char *name,
                       int (*op)(bus *, const char *, int64_t, mivrabox_state *));
// (iA): bus and the values of ctl_helper_iA.
xmlrpc_value *bus_array(xmlrpc_env *env, xmlrpc_value *params, void *si, const char *name,
                        int (*op)(bus *, int, const int64_t *, mivrabox_state *));
// (is): bus and a playlist name, refused (-22) unless it stays a file of the bus folder; op gets
// its path.
xmlrpc_value *bus_name(xmlrpc_env *env, xmlrpc_value *params, void *si, const char *name,
                       int (*op)(bus *, const char *, mivrabox_state *));

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
