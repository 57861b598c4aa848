// MivraBox2: the dual-player automation daemon.
#include <atomic>

#include "box2_bus.h"
#include "box2_opts.h"

namespace {
std::atomic<int> g_signals{0};
}

int main(int argc, char **argv) {
    svc_hold_stop_signals();
    mivrabox_opts *o = nullptr;
    if (opts_new(&o) < 0) return 1;
    o->sig_counter = &g_signals;
    int r = box2_opts_parse(o, argc, argv);
    if (r != 0) {
        opts_release(&o);
        return r & 0xff;
    }
    return bus_daemon_run(o, box2_daemon);
}
