// The client pool: the clients, their bounds, the interrupt of calls in flight, and the one call
// through the pool that every service call takes.
#include "mivra_call.h"

#include <pthread.h>
#include <xmlrpc-c/client.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <clocale>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "log.h"
#include "xml_guard.h"

namespace {

using steady = std::chrono::steady_clock;

// Why a call in flight was told to end.
enum call_end { CALL_RUNS, CALL_PAST_BOUND, CALL_STOPPED };

// The call a busy slot carries. The transport reads `interrupt` at its wake-ups; a signal to
// the calling thread makes it wake at once.
struct slot_call {
    int interrupt = 0;  // given to the slot's client; written through std::atomic_ref
    pthread_t thread{};
    steady::time_point deadline = steady::time_point::max();
    call_end end = CALL_RUNS;
    bool outside = false;  // counted in the pool's outside share
};

// The longest reason mivra_err writes; the rest is cut.
constexpr size_t kErrMax = 8191;

// Wakes a thread out of the transport's wait; SIGURG is ignored by default, so a late one harms
// nothing.
constexpr int kWakeSignal = SIGURG;
// An interrupted call is woken again until it ends: a wake-up that lands just before the
// transport starts to wait would otherwise be lost until its next periodic check.
constexpr auto kWakeAgain = std::chrono::milliseconds(20);

thread_local int t_bound_ms = 0;
thread_local int t_past_bound = 0;
thread_local bool t_outside = false;
thread_local int t_refused = 0;

extern "C" void mivra_wake(int) {}

// One process-wide pool. Slots whose client could not be created never enter it, so the pool
// shrinks to the clients that exist and a call never waits for a slot that cannot come free.
struct mivra_client_pool {
    std::mutex mutex;
    std::condition_variable cond;
    int busy = 0;     // slots handed out; always the number of set busy flags
    int clients = 0;  // slots [0, clients) hold a client
    int outside = 0;  // busy slots whose call came from outside the daemon's own work
    xmlrpc_client *client[MIVRA_POOL_SIZE] = {};
    bool busy_flag[MIVRA_POOL_SIZE] = {};
    slot_call call[MIVRA_POOL_SIZE];
    bool ready = false;
    // Shut-down: every call in flight is interrupted and every later one fails at once.
    bool stopping = false;
    std::condition_variable watch_cv;  // a deadline or the stop changed
    std::thread watcher;
    bool watcher_quit = false;
};

mivra_client_pool pool;

void set_interrupt(slot_call &c, int v) {
    std::atomic_ref<int>(c.interrupt).store(v);
}

// Ends the calls past their bound, and all of them once the process stops.
void watch_calls() {
    std::unique_lock lock(pool.mutex);
    while (!pool.watcher_quit) {
        auto now = steady::now();
        auto next = steady::time_point::max();
        for (int i = 0; i < pool.clients; i++) {
            slot_call &c = pool.call[i];
            if (!pool.busy_flag[i]) continue;
            if (c.end == CALL_RUNS) {
                if (pool.stopping)
                    c.end = CALL_STOPPED;
                else if (c.deadline <= now)
                    c.end = CALL_PAST_BOUND;
            }
            if (c.end == CALL_RUNS) {
                next = std::min(next, c.deadline);
                continue;
            }
            // The caller holds its slot until the transport returns: the thread is alive.
            set_interrupt(c, 1);
            pthread_kill(c.thread, kWakeSignal);
            next = std::min(next, now + kWakeAgain);
        }
        if (next == steady::time_point::max())
            pool.watch_cv.wait(lock);
        else
            pool.watch_cv.wait_until(lock, next);
    }
}

void install_wake_handler() {
    struct sigaction old {};
    sigaction(kWakeSignal, nullptr, &old);
    // A handler the program installed itself wakes the transport just as well.
    if (old.sa_handler != SIG_DFL && old.sa_handler != SIG_IGN) return;
    struct sigaction sa {};
    sa.sa_handler = mivra_wake;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(kWakeSignal, &sa, nullptr);
}

// A taken slot, given back on every path.
class pool_slot {
   public:
    // Takes the lowest free slot, waiting while all are busy; none when the pool has no client,
    // or when the call comes from outside and the outside share is taken (refused()).
    pool_slot() {
        std::unique_lock lock(pool.mutex);
        if (pool.clients == 0) return;
        auto share_taken = [] { return t_outside && pool.outside >= MIVRA_POOL_OUTSIDE; };
        pool.cond.wait(lock, [&] { return pool.busy < pool.clients || share_taken(); });
        if (share_taken()) {
            refused_ = true;
            return;
        }
        for (int i = 0; i < pool.clients; i++) {
            if (!pool.busy_flag[i]) {
                pool.busy_flag[i] = true;
                pool.busy++;
                slot_ = i;
                break;
            }
        }
        slot_call &c = pool.call[slot_];
        c.outside = t_outside;
        pool.outside += t_outside ? 1 : 0;
        c.thread = pthread_self();
        c.end = pool.stopping ? CALL_STOPPED : CALL_RUNS;
        set_interrupt(c, pool.stopping ? 1 : 0);
        c.deadline = t_bound_ms > 0 ? steady::now() + std::chrono::milliseconds(t_bound_ms)
                                    : steady::time_point::max();
        if (t_bound_ms > 0) pool.watch_cv.notify_all();
    }
    ~pool_slot() {
        if (slot_ < 0) return;
        {
            std::lock_guard lock(pool.mutex);
            pool.busy--;
            pool.busy_flag[slot_] = false;
            pool.outside -= pool.call[slot_].outside ? 1 : 0;
            pool.call[slot_].outside = false;
            pool.call[slot_].deadline = steady::time_point::max();
        }
        pool.cond.notify_all();
    }
    // Why the call was told to end, if it was.
    call_end end() const {
        std::lock_guard lock(pool.mutex);
        return pool.call[slot_].end;
    }
    pool_slot(const pool_slot &) = delete;
    pool_slot &operator=(const pool_slot &) = delete;
    xmlrpc_client *client() const { return slot_ < 0 ? nullptr : pool.client[slot_]; }
    bool refused() const { return refused_; }

   private:
    int slot_ = -1;
    bool refused_ = false;
};

struct server_info_free {
    void operator()(xmlrpc_server_info *s) const { xmlrpc_server_info_free(s); }
};

struct mem_block_free {
    void operator()(xmlrpc_mem_block *b) const { xmlrpc_mem_block_free(b); }
};
using mem_block = std::unique_ptr<xmlrpc_mem_block, mem_block_free>;

// xmlrpc_client_call2, with the reply checked before it is parsed: a reply nested a few thousand
// levels deep would overflow the calling thread's stack (a control thread's is small) when the
// parser frees its element tree, and an entity declaration would be expanded without bound.
// Fault texts are those of xmlrpc_client_call2.
void call_checked(xmlrpc_env *env, xmlrpc_client *client, const xmlrpc_server_info *server,
                  const char *method, xmlrpc_value *params, xmlrpc_value **reply) {
    mem_block call(xmlrpc_mem_block_new(env, 0));
    if (env->fault_occurred) return;
    xmlrpc_serialize_call2(env, call.get(), method, params, xmlrpc_dialect_i8);
    if (env->fault_occurred) return;
    xmlrpc_mem_block *raw = nullptr;
    xmlrpc_client_transport_call2(env, client, server, call.get(), &raw);
    if (env->fault_occurred) return;
    mem_block resp(raw);
    const char *xml = XMLRPC_MEMBLOCK_CONTENTS(char, resp.get());
    size_t len = XMLRPC_MEMBLOCK_SIZE(char, resp.get());
    static const char kSense[] =
        "Unable to make sense of XML-RPC response from server.  %s.  Use XMLRPC_TRACE_XML to see "
        "for yourself";
    if (xml_guard_verdict v = xml_guard_check(xml, len); v != XML_GUARD_OK) {
        xmlrpc_env_set_fault_formatted(env, XMLRPC_PARSE_ERROR, kSense, xml_guard_text(v));
        return;
    }
    xr_env penv;
    int code = 0;
    const char *text = nullptr;
    xmlrpc_parse_response2(&penv, xml, len, reply, &code, &text);
    if (penv.fault()) {
        xmlrpc_env_set_fault_formatted(env, penv.code(), kSense, penv.msg());
    } else if (text) {
        xmlrpc_env_set_fault_formatted(env, code, "RPC failed at server.  %s", text);
        free(const_cast<char *>(text));
    }
}

}  // namespace

void mivra_err(const char *fmt, ...) {
    std::string text;
    va_list ap;
    va_start(ap, fmt);
    int n = str_vappend(text, kErrMax, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    // A detached program's standard error leads nowhere: the reason goes to its log, which
    // echoes it to standard error in the foreground.
    if (log_error_text(text.c_str())) return;
    fwrite(text.data(), 1, text.size(), stderr);
}

mivra_errtext::mivra_errtext(int err) : buf{}, str(strerror_r(err, buf, sizeof buf)) {}

int mivra_init(const char *appname, const char *appversion) {
    if (pool.ready) return MIVRA_POOL_SIZE;
    xr_env env;
    xmlrpc_client_setup_global_const(&env);
    pool.busy = 0;
    pool.clients = 0;
    for (int i = 0; i < MIVRA_POOL_SIZE; i++) {
        xr_env cenv;
        xmlrpc_client *c = nullptr;
        xmlrpc_client_create(&cenv, XMLRPC_CLIENT_NO_FLAGS, appname ? appname : "",
                             appversion ? appversion : "", nullptr, 0, &c);
        // A client that cannot be created leaves no slot behind.
        if (!cenv.fault() && c) {
            xmlrpc_client_set_interrupt(c, &pool.call[pool.clients].interrupt);
            pool.client[pool.clients++] = c;
        }
        pool.busy_flag[i] = false;
    }
    install_wake_handler();
    pool.watcher_quit = false;
    pool.watcher = std::thread(watch_calls);
    pool.ready = true;
    setlocale(LC_NUMERIC, "C");
    return MIVRA_POOL_SIZE;
}

int mivra_cleanup() {
    if (!pool.ready) return 0;
    {
        std::lock_guard lock(pool.mutex);
        pool.watcher_quit = true;
    }
    pool.watch_cv.notify_all();
    pool.watcher.join();
    // A stop signal may still interrupt the pool from the signal watcher while it is torn down.
    std::unique_lock lock(pool.mutex);
    for (int i = 0; i < pool.clients; i++) {
        xmlrpc_client_destroy(pool.client[i]);
        pool.client[i] = nullptr;
    }
    pool.clients = 0;
    pool.busy = 0;
    pool.outside = 0;
    pool.stopping = false;
    pool.ready = false;
    lock.unlock();
    xmlrpc_client_teardown_global_const();
    return 0;
}

void mivra_thread_bound(int ms) {
    t_bound_ms = ms > 0 ? ms : 0;
}

int mivra_thread_bound() {
    return t_bound_ms;
}

int mivra_thread_past_bound() {
    return t_past_bound;
}

int mivra_thread_refused() {
    return t_refused;
}

mivra_call_scope::mivra_call_scope(int bound_ms, int outside)
    : bound_(t_bound_ms), outside_(t_outside) {
    mivra_thread_bound(bound_ms);
    if (outside >= 0) t_outside = outside != 0;
}

mivra_call_scope::~mivra_call_scope() {
    t_bound_ms = bound_;
    t_outside = outside_;
}

void mivra_interrupt() {
    {
        std::lock_guard lock(pool.mutex);
        pool.stopping = true;
    }
    pool.watch_cv.notify_all();
}

size_t mivra_reply_limit(size_t bytes) {
    // Lowering it could fail the replies another part of the program was sized for.
    if (bytes > xmlrpc_limit_get(XMLRPC_XML_SIZE_LIMIT_ID))
        xmlrpc_limit_set(XMLRPC_XML_SIZE_LIMIT_ID, bytes);
    return xmlrpc_limit_get(XMLRPC_XML_SIZE_LIMIT_ID);
}

int mivra_pool_clients() {
    std::lock_guard lock(pool.mutex);
    return pool.clients;
}

xmlrpc_value *xmlrpc_client_callX_va(xmlrpc_env *env, const char *url, const char *method,
                                     const char *format, va_list args) {
    pool_slot slot;
    if (slot.refused()) {
        t_refused++;
        xmlrpc_env_set_fault_formatted(env, MIVRA_BUSY, "busy: %d calls from outside in flight",
                                       MIVRA_POOL_OUTSIDE);
        return nullptr;
    }
    if (!slot.client()) {
        xmlrpc_env_set_fault(env, XMLRPC_INTERNAL_ERROR, "no XML-RPC client in the pool");
        return nullptr;
    }
    // Built outside the pool's lock: the lock is never held across the network call.
    xr_env benv;
    xmlrpc_value *raw = nullptr;
    const char *tail = nullptr;
    va_list copy;
    va_copy(copy, args);
    xmlrpc_build_value_va(&benv, format, copy, &raw, &tail);
    va_end(copy);
    // On a failed build xmlrpc-c has released what it built: raw is not ours then.
    xr_value params(benv.fault() ? nullptr : raw);
    if (benv.fault()) {
        xmlrpc_env_set_fault_formatted(
            env, benv.code(),
            "Invalid RPC arguments.  The format argument must indicate a single array, and the "
            "following arguments must correspond to that format argument.  The failure is: %s",
            benv.msg());
        return nullptr;
    }
    if (tail && *tail) {
        xmlrpc_env_set_fault_formatted(
            env, XMLRPC_INTERNAL_ERROR,
            "Junk after the argument specifier: '%s'.  There must be exactly one arument.", tail);
        return nullptr;
    }
    std::unique_ptr<xmlrpc_server_info, server_info_free> server(
        xmlrpc_server_info_new(env, url ? url : ""));
    if (env->fault_occurred) return nullptr;
    xmlrpc_value *reply = nullptr;
    call_checked(env, slot.client(), server.get(), method, params.get(), &reply);
    if (env->fault_occurred) {
        if (reply) xmlrpc_DECREF(reply);
        // The transport only says that its callback aborted: name the reason instead.
        call_end end = slot.end();
        if (end != CALL_RUNS) {
            xmlrpc_env_clean(env);
            xmlrpc_env_init(env);
            if (end == CALL_PAST_BOUND) {
                t_past_bound++;
                xmlrpc_env_set_fault_formatted(env, XMLRPC_NETWORK_ERROR, "no answer within %d ms",
                                               t_bound_ms);
            } else {
                xmlrpc_env_set_fault(env, XMLRPC_NETWORK_ERROR, "interrupted by shut-down");
            }
        }
        return nullptr;
    }
    return reply;
}

xmlrpc_value *xmlrpc_client_callX(xmlrpc_env *env, const char *url, const char *method,
                                  const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    xmlrpc_value *v = xmlrpc_client_callX_va(env, url, method, format, ap);
    va_end(ap);
    return v;
}
