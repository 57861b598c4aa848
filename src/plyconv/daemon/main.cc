// MivraBoxPlyConv: the schedule conversion daemon.
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "log.h"
#include "plyconv.h"
#include "tc.h"

namespace {
std::atomic<int> stop_counter{0};
}

int main(int argc, char **argv) {
    auto c = std::make_unique<plyconv_ctx>();
    c->stop = &stop_counter;
    if (plyconv_opts_parse(c.get(), argc, argv) != 0) return 255;
    lt_service_begin(c->base, PLYCONV_BANNER, &stop_counter);
    log_msg(LOG_INFO, "tc_setmode return %d", tc_setmode(TC_FROM_ENV));
    int status = 0;
    // A background program: it yields the CPU and the disks to everything else.
    if (setpriority(PRIO_PROCESS, 0, 19) != 0)
        log_msg(LOG_ERROR, "%s:%d setpriority failes, r=%d (%s)", "main", 77, errno,
                strerror(errno));
    if (syscall(SYS_ioprio_set, 1, getpid(), 0x6000) != 0) {
        status = errno;
        log_msg(LOG_ERROR, "%s:%d ioprio_set failes, r=%d (%s)", "main", 86, errno,
                strerror(errno));
    }
    watch_run(c.get());
    c.reset();
    lt_service_end();
    return status;
}
