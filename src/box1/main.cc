// MivraBox1: the single-player automation daemon.
#include <atomic>

#include "box1_bus.h"
#include "mivrabox_ply.h"

namespace {
std::atomic<int> g_signals{0};
}

int main(int argc, char **argv) {
    svc_hold_stop_signals();
    ply_digest_init();
    mivrabox_opts *o = nullptr;
    if (opts_new(&o) < 0) return 1;
    o->sig_counter = &g_signals;
    int r = box1_opts_parse(o, argc, argv);
    if (r != 0) {
        opts_release(&o);
        return r & 0xff;
    }
    return bus_daemon_run(o, box1_daemon);
}
