// Client of the outside services (playout engine, media library, scheduler, file transfer,
// transcoder): one process-wide pool of xmlrpc-c clients and the helpers every wrapper shares.
//
// Results: the service's "result" passed on unchanged, or -14 when a call or the decoding of its
// reply failed, -22 for unusable arguments. Failures are written on standard error, never
// through the log writer: the daemons' log may be the thing that is failing.
//
// Ownership: records are plain structs whose text fields keep their bounds (text4k, text32).
// Every list a call hands back is a std::vector the caller owns, so no list needs a free
// function: string lists that a call fills through the list walker are appended to, the
// others are replaced.
#pragma once

#include "text.h"

#include <xmlrpc-c/base.h>

#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

// Slots of the pool: at most this many calls of the process are in flight at a time.
constexpr int MIVRA_POOL_SIZE = 32;

// Upper bounds of one call, by kind of call (README, "Call bounds"). Each is generous against
// the answers of a working service; past it the call fails as one that got no answer (-14), so a
// service that accepts a call and never answers holds no thread for ever.
constexpr int MIVRA_BOUND_PLAYER_MS = 3000;     // cue and play calls to a playout engine
constexpr int MIVRA_BOUND_LIBRARY_MS = 5000;    // media lookups and the library's change list
constexpr int MIVRA_BOUND_TRANSFER_MS = 10000;  // the feeder's calls: daemons, file transfer
constexpr int MIVRA_BOUND_PREVIEW_MS = 3000;    // a preview's cue calls to another player
constexpr int MIVRA_BOUND_RELAY_MS = 10000;     // control-port calls relayed to a service
constexpr int MIVRA_BOUND_PEER_MS = 5000;       // each call to a peer daemon (download, push)

// Calls started from outside the daemon's own work (a control-port request, a dropped playlist)
// hold at most this many slots at once; one beyond fails at once with a fault of code
// MIVRA_BUSY, so that the bus threads always find the rest of the pool free of them.
constexpr int MIVRA_POOL_OUTSIDE = MIVRA_POOL_SIZE / 2;
constexpr int MIVRA_BUSY = -16;

// Sets xmlrpc-c up, creates the pool's clients and starts the thread that ends calls past their
// bound. Call once, before any thread calls a service. Returns MIVRA_POOL_SIZE. The calling
// threads are woken with SIGURG, for which a do-nothing handler is installed unless the program
// has its own.
int mivra_init(const char *appname, const char *appversion);
// Destroys the clients and tears xmlrpc-c down, after every calling thread has ended. Returns 0.
int mivra_cleanup();
// Bound of every call the calling thread makes from now on, in milliseconds; 0 (the default):
// none, the call waits for its answer. The thread's current bound.
void mivra_thread_bound(int ms);
int mivra_thread_bound();
// Calls of the calling thread that ended at their bound so far: a service that let one call go
// unanswered is not asked again by the same step.
int mivra_thread_past_bound();
// Calls of the calling thread refused so far because the outside share of the pool was taken.
int mivra_thread_refused();

// For its life, the calling thread's calls have the bound ms (0: none), and count against the
// outside share when outside is 1 (-1 leaves that as it was). The thread's earlier settings come
// back at its end: server threads serve one request after another.
class mivra_call_scope {
   public:
    explicit mivra_call_scope(int bound_ms, int outside = -1);
    ~mivra_call_scope();
    mivra_call_scope(const mivra_call_scope &) = delete;
    mivra_call_scope &operator=(const mivra_call_scope &) = delete;

   private:
    int bound_;
    bool outside_;
};
// Shut-down: ends every call in flight within moments and fails every later call at once. Any
// thread, any time (not from a signal handler).
void mivra_interrupt();
// Raises the size a reply may have (xmlrpc-c's XML size limit, 512 KiB unless raised) to bytes,
// never lowering it. The limit is one for the whole process and xmlrpc-c reads it unguarded:
// call it before any thread calls a service. Returns the limit in force.
size_t mivra_reply_limit(size_t bytes);
// Clients the pool could create (0 before mivra_init or when none could be made).
int mivra_pool_clients();

// The pooled call: builds the parameter array from format (one array, e.g. "(isi)") and the
// arguments, calls method on a free client and returns the reply (the caller releases it) or
// null with the fault recorded in env. Fails at once when the pool holds no client.
xmlrpc_value *xmlrpc_client_callX(xmlrpc_env *env, const char *url, const char *method,
                                  const char *format, ...);
xmlrpc_value *xmlrpc_client_callX_va(xmlrpc_env *env, const char *url, const char *method,
                                     const char *format, va_list args);

// Calls an argument-less method and returns its "result".
int mivra_method_no_arg(const char *url, const char *method);

// Decodes one item of a list into output. n is the number of items decoded so far, size the
// length of the list. A failure is signalled by a fault recorded in env.
using mivra_list_item_fn = int (*)(xmlrpc_env *env, xmlrpc_value *item, void *output, int n,
                                   int size);

// Walks the array member `member` of reply, handing each item to fn. An item that fails is
// reported and skipped, and so is every item after it (without touching xmlrpc-c again).
// Returns the number of items decoded, or -14 (env already faulted, or no such array).
int parse_custom_list(const char *caller, xmlrpc_env *env, xmlrpc_value *reply, const char *member,
                      mivra_list_item_fn fn, void *output);

// Decodes "result" and a "list" of one-string arrays ("(s)") into *out (replacing its content).
// Takes over reply. Returns the number of strings stored, the negative "result", or -14.
int parse_simple_list_response(const char *caller, xmlrpc_env *env, xmlrpc_value *reply,
                               std::vector<std::string> *out);

// Item functions for string lists: "s" and "(s)" items appended to a std::vector<std::string>.
int mivra_list_iter_string(xmlrpc_env *env, xmlrpc_value *item, void *output, int n, int size);
int mivra_list_iter_string1(xmlrpc_env *env, xmlrpc_value *item, void *output, int n, int size);

// Shared by the engine's and the library's basename lookups: "(ss)", or "(s)" when name2 is null
// or empty; reply members result, value, object, cache_shm_id (i8), all required. value and
// object may be null. *shm_id is -1 unless a reply decoded. Returns "result" (not reported).
int mivra_basename_item(const char *url, const char *method, const char *name, const char *name2,
                        text4k *value, text4k *object, int64_t *shm_id);
