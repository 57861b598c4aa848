// Start-up record of the bus daemons, and the options both daemons read alike.
#pragma once

#include <xmlrpc-c/base.h>

#include <atomic>
#include <new>
#include <vector>

#include "opts.h"
#include "svc.h"
#include "text.h"

struct bus;
struct bus_hooks;
struct ctl_method_def;
struct ctl_server;
struct mivrabox_opts;

constexpr int BUS_MAX = 16;
constexpr int BUS_DEFAULT_PORT = 3001;

// What one daemon is around its busses, its whole surface: each states it in one static const
// record, which its main passes to bus_daemon_run.
struct bus_daemon {
    const char *program = nullptr;  // the program name, as in "<program>.log"
    const char *banner = nullptr;   // "<program>-<version>"
    // Makes a bus of the daemon for each add-bus; it dresses the bus with bus_daemon_dress.
    int (*bus_alloc)(bus **out) = nullptr;
    // What the engine calls where the daemons differ, and the values a new bus starts with.
    const bus_hooks *hooks = nullptr;
    int io_delay = 0;
    // Largest XML document the control server takes; 0 leaves xmlrpc-c's own limit.
    size_t xml_size_limit = 0;
    // The control methods in registration order; a row without a handler is the shared method
    // of that name. Null: the shared methods alone.
    const ctl_method_def *methods = nullptr;
    size_t method_count = 0;
    // Control server: the player of bus 0 that MivraIO. calls are relayed to.
    const char *(*relay_io_url)(const bus *b) = nullptr;
    // bus_daemon_run, once the busses run: the daemon's own service beside the control server
    // (null: none); stopped right after the control server and before the busses stop.
    void (*serve_start)(mivrabox_opts *o) = nullptr;
    void (*serve_stop)(mivrabox_opts *o) = nullptr;
};

// The shared options of every long-running program (log, detaching, debug) come from
// svc_base_opts; the options file read is options_file.
struct mivrabox_opts : svc_base_opts {
    const bus_daemon *daemon = nullptr;
    int bus_count = 0;
    bus *busses[BUS_MAX] = {};
    ctl_server *ctl = nullptr;
    std::atomic<int> stop_requested{0};  // a stop signal came, maybe before the server ran
    int port = BUS_DEFAULT_PORT;
    std::atomic<int> *sig_counter = nullptr;
};

// -22 for a null out pointer, -12 when allocation fails, else 0.
int opts_new(mivrabox_opts **out);
// Frees the busses that were never started, then the record; clears *rec.
int opts_release(mivrabox_opts **rec);

// Option ids that both daemons share beside those of every long-running program (svc.h, put
// behind the daemon's table); each daemon numbers its own from BUS_OPT_OWN on.
enum bus_opt_id {
    BUS_OPT_PORT = 1000,
    BUS_OPT_ADD_BUS,
    BUS_OPT_PATH,
    BUS_OPT_LIB,
    BUS_OPT_CURRENT,
    BUS_OPT_ARL_EXT,
    BUS_OPT_WHOIS_METHOD,
    BUS_OPT_WHOIS_ARG_0,
    BUS_OPT_WHOIS_ARG_1,
    BUS_OPT_WHOIS_ARG_2,
    BUS_OPT_WHOIS_ARG_3,
    BUS_OPT_AUTO_APPEND,
    BUS_OPT_OWN = 3000,
};

// "http://<addr>/RPC2", cut to what the text holds.
void bus_opts_url(text4k &url, const char *addr);
// Applies a shared option: 1 when id was one (the daemon-wide ones, add-bus, and the per-bus
// ones to the last bus made; those before the first add-bus are ignored), 0 when it is the
// daemon's own, -1 when its value is refused (a port that is no number from 1 to 65535).
int bus_opts_apply(mivrabox_opts *rec, int id, const char *arg);
// The bus that per-bus options go to: the last one made, null before the first add-bus.
bus *bus_opts_last(mivrabox_opts *rec);
// Parses with a daemon's table through svc_opts_parse: the port's default put back at every
// parse too, the options both daemons share applied here and the rest by own.
int bus_opts_parse(mivrabox_opts *rec, const char *prog, const opts_def *table, size_t n,
                   int (*own)(mivrabox_opts *rec, int id, const char *arg), void (*usage)(),
                   int argc, char **argv);
// The usage text both daemons write on standard error.
void bus_opts_usage(const char *banner, const char *prog);

// Gives a new bus of daemon d its hooks and starting values.
void bus_daemon_dress(const bus_daemon &d, bus *b);
// A new bus record T of daemon d in *out: made, initialised (bus_init, then init when given)
// and dressed. 0, -22 or -12. For the daemons' files, which include bus.h.
template <class T>
int bus_daemon_new(const bus_daemon &d, bus **out, int (*init)(T *) = nullptr) {
    if (!out) return -22;
    T *b = new (std::nothrow) T;
    if (!b) return -12;
    if (bus_init(b) < 0 || (init && init(b) < 0)) {
        delete b;
        return -12;
    }
    bus_daemon_dress(d, b);
    *out = b;
    return 0;
}
// Runs daemon d whose options were read into o (which it frees): detach when asked, log, the
// control server with d's methods in the calling thread, the busses around it, then the way back.
// The exit status: 0, or 1 when the control server could not be made.
int bus_daemon_run(mivrabox_opts *o, const bus_daemon &d);
// A daemon's main after its own process set-up: stop signals held, its options read by parse
// into a new record, then bus_daemon_run. The exit status.
int bus_daemon_main(const bus_daemon &d, int (*parse)(mivrabox_opts *o, int argc, char **argv),
                    int argc, char **argv);
