// MivraBox1: the single-player automation daemon.
#include <atomic>

#include "box1_bus.h"
#include "mivrabox_ply.h"

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
    if (box1_opts_absolute(o) < 0) {
        opts_release(&o);
        return 1;
    }
    return bus_daemon_run(o, box1_daemon);
}
