// MivraBoxLibCleaner: deletes aged library items while the library is fuller than its limit.
#include <atomic>
#include <new>

#include "cleaner.h"
#include "mivra.h"

namespace {
std::atomic<int> g_stop{0};
}

int main(int argc, char **argv) {
    svc_hold_stop_signals();
    cleaner_options *o = new (std::nothrow) cleaner_options;
    if (!o) return 1;
    o->stop = &g_stop;
    int r = cleaner_opts_parse(o, argc, argv);
    if (r != 0) {
        delete o;
        return r & 0xff;
    }
    // A service that never answers must not hold the stop.
    svc_begin(o->base, CLEANER_BANNER, o->stop, mivra_interrupt);
    // The cleaner keeps its CPU and I/O priority: deleting must keep pace with the library.
    r = cleaner_run(o);
    delete o;
    svc_end();
    // A pass that failed (library or daemon unreachable, a reply unreadable) must not look like
    // a clean one.
    return r < 0 ? 1 : 0;
}
