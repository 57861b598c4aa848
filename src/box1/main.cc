// MivraBox1: the single-player automation daemon.
#include <atomic>

#include "box1_bus.h"
#include "ctl.h"
#include "log.h"
#include "mivra.h"
#include "mivrabox_ply.h"
#include "proc.h"
#include "sig.h"
#include "tc.h"

namespace {
std::atomic<int> g_signals{0};
}

int main(int argc, char **argv) {
    ply_digest_init();
    mivrabox_opts *o = nullptr;
    if (opts_new(&o) < 0) return 1;
    o->sig_counter = &g_signals;
    int r = box1_opts_parse(o, argc, argv);
    if (r != 0) {
        opts_release(&o);
        return r & 0xff;
    }
    // daemonize changes to "/": relative folders would then name other places.
    box1_opts_absolute(o);
    if (o->demonize && !o->nodemonize) {
        log_set_stderr(0);
        daemonize();
    }
    log_init(o->log_file_name.c_str(), o->log_rotate_interval);
    log_msg(LOG_INFO, "%s", BOX1_BANNER);
    log_msg(LOG_INFO, "tc_setmode return %d", tc_setmode(TC_FROM_ENV));
    sig_watch_start(o->sig_counter, [o] { ctl_stop(o); });

    int status = 0;
    if (ctl_init(o) < 0) {
        log_msg(LOG_ERROR, "Failed to init control interface");
        // A supervisor must notice that the daemon never served.
        status = 1;
    } else {
        mivra_init(BOX1_PROGRAM, MIVRA_VERSION);
        log_msg(LOG_INFO, "%s: starting busses...", "main");
        for (int i = 0; i < o->bus_count; i++) bus_start(o->busses[i]);
        log_msg(LOG_INFO, "%s: starting control...", "main");
        ctl_run(o);
        log_msg(LOG_INFO, "%s: stopping control...", "main");
        ctl_release(o);
        log_msg(LOG_INFO, "%s: stopping busses...", "main");
        for (int i = 0; i < o->bus_count; i++) bus_stop(o->busses[i]);
        log_msg(LOG_INFO, "%s: destroying busses...", "main");
        for (int i = 0; i < o->bus_count; i++) bus_free(&o->busses[i]);
        mivra_cleanup();
    }
    opts_release(&o);
    log_msg(LOG_INFO, "Bye!");
    // Handlers go back to their defaults while the log can still record a late signal.
    sig_watch_stop();
    log_close();
    return status;
}
