// MivraBoxLibAdapter: conforms new library media with an outside ffmpeg.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <sys/resource.h>

#include "adapter_opts.h"
#include "log.h"
#include "mivra.h"

namespace {
std::atomic<int> g_stop{0};
}

int main(int argc, char **argv) {
    adapter_instance *a = new (std::nothrow) adapter_instance;
    if (!a) return 1;
    a->stop = &g_stop;
    svc_base_opts base;
    int r = adapter_opts_parse(a, &base, argc, argv);
    if (r != 0) {
        delete a;
        return r & 0xff;
    }
    // A service that never answers must not hold the stop.
    svc_begin(base, ADAPTER_BANNER, a->stop, mivra_interrupt);

    // Conversions take whole cores for minutes; the playout beside them comes first. The
    // converter thread and ffmpeg, started later, inherit the value.
    int status = 0;
    if (setpriority(PRIO_PROCESS, 0, 19) != 0) {
        int e = errno;
        log_msg(LOG_ERROR, "%s:%d setpriority failes, r=%d (%s)", "main", 75, -e, strerror(e));
        status = e;
    }

    watch_run(a);
    delete a;
    svc_end();
    return status;
}
