// MivraBoxLibFeeder: fetches the media that daemons report absent through the file-transfer
// service.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "feeder.h"
#include "log.h"

namespace {

std::atomic<int> g_stop{0};

// ioprio_set(2) has no libc wrapper.
constexpr int kIoprioWhoProcess = 1;
constexpr int kIoprioClassShift = 13;
constexpr int kIoprioClassIdle = 3;

}  // namespace

int main(int argc, char **argv) {
    feeder_instance *f = new (std::nothrow) feeder_instance;
    if (!f) return 1;
    f->stop = &g_stop;
    int r = feeder_opts_parse(f, argc, argv);
    if (r != 0) {
        delete f;
        return r & 0xff;
    }
    lt_service_begin(f->base, FEEDER_BANNER, f->stop);

    // A background service: the playout around it comes first, for the CPU and the disks.
    int status = 0;
    if (setpriority(PRIO_PROCESS, 0, 19) != 0) {
        int e = errno;
        log_msg(LOG_ERROR, "%s:%d setpriority failes, r=%d (%s)", "main", 75, -e, strerror(e));
    }
    if (syscall(SYS_ioprio_set, kIoprioWhoProcess, int(getpid()),
                kIoprioClassIdle << kIoprioClassShift) != 0) {
        int e = errno;
        log_msg(LOG_ERROR, "%s:%d ioprio_set failes, r=%d (%s)", "main", 84, -e, strerror(e));
        status = e;
    }

    watch_run(f);
    delete f;
    lt_service_end();
    return status;
}
