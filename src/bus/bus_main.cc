// What the two daemons do after their options are read: detach, log, control server, busses,
// and the way back.
#include <malloc.h>

#include <atomic>

#include "bus.h"
#include "bus_opts.h"
#include "ctl.h"
#include "log.h"
#include "mivra.h"
#include "svc.h"

namespace {
std::atomic<int> g_signals{0};
}

int bus_daemon_main(const bus_daemon &d, int (*parse)(mivrabox_opts *o, int argc, char **argv),
                    int argc, char **argv) {
    svc_hold_stop_signals();
    // Without fast bins: the allocator otherwise merges every small block freed since (a closed
    // playlist's events and media, a copy let go) at the next larger request, for milliseconds,
    // under whatever lock its caller holds; small blocks still come from the per-thread caches.
    mallopt(M_MXFAST, 0);
    // Nor does it hand freed memory back by itself: releasing the top of a heap after a large
    // playlist went costs milliseconds with the heap's lock held, which any thread that allocates
    // meanwhile, a holder of the bus lock too, waits for. The memory stays for the next playlist.
    mallopt(M_TRIM_THRESHOLD, -1);
    mivrabox_opts *o = nullptr;
    if (opts_new(&o) < 0) return 1;
    o->sig_counter = &g_signals;
    int r = parse(o, argc, argv);
    if (r != 0) {
        opts_release(&o);
        return r & 0xff;
    }
    return bus_daemon_run(o, d);
}

void bus_daemon_dress(const bus_daemon &d, bus *b) {
    if (d.hooks) b->hooks = d.hooks;
    b->io_delay = d.io_delay;
}

int bus_daemon_run(mivrabox_opts *o, const bus_daemon &d) {
    o->daemon = &d;
    // Calls in flight end too: a service that never answers must not hold the shut-down.
    svc_begin(*o, d.banner, o->sig_counter, [o] {
        mivra_interrupt();
        ctl_stop(o);
    });

    int status = 0;
    if (ctl_init(o) < 0) {
        log_msg(LOG_ERROR, "Failed to init control interface");
        // A supervisor must notice that the daemon never served.
        status = 1;
    } else {
        mivra_init(d.program, MIVRA_VERSION);
        log_msg(LOG_INFO, "%s: starting busses...", "main");
        for (int i = 0; i < o->bus_count; i++) {
            o->busses[i]->stop_signal = o->sig_counter;
            bus_start(o->busses[i]);
        }
        if (d.serve_start) d.serve_start(o);
        log_msg(LOG_INFO, "%s: starting control...", "main");
        ctl_run(o);
        log_msg(LOG_INFO, "%s: stopping control...", "main");
        ctl_release(o);
        if (d.serve_stop) d.serve_stop(o);
        log_msg(LOG_INFO, "%s: stopping busses...", "main");
        for (int i = 0; i < o->bus_count; i++) bus_stop(o->busses[i]);
        log_msg(LOG_INFO, "%s: destroying busses...", "main");
        for (int i = 0; i < o->bus_count; i++) bus_free(&o->busses[i]);
        mivra_cleanup();
    }
    opts_release(&o);
    svc_end();
    return status;
}
