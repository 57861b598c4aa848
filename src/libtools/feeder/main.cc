// MivraBoxLibFeeder: fetches the media that daemons report absent through the file-transfer
// service.
#include <atomic>
#include <new>
#include <string>
#include <unistd.h>

#include "feeder.h"
#include "mivra.h"

namespace {

std::atomic<int> g_stop{0};

// A background service: the playout around it comes first, for the CPU and the disks.
constexpr svc_priority kPriority = {true, 75, 84};

}  // namespace

int main(int argc, char **argv) {
    svc_hold_stop_signals();
    feeder_instance *f = new (std::nothrow) feeder_instance;
    if (!f) return 1;
    f->stop = &g_stop;
    int r = feeder_opts_parse(f, argc, argv);
    if (r != 0) {
        delete f;
        return r & 0xff;
    }
    // Detaching moves the process to "/": the library's root is kept before that.
    std::string cwd(4096, '\0');
    if (getcwd(cwd.data(), cwd.size())) f->start_dir = cwd.c_str();
    // A service that never answers must not hold the stop.
    svc_begin(f->base, FEEDER_BANNER, f->stop, mivra_interrupt);
    int status = svc_lower_priority(kPriority);
    watch_run(f);
    delete f;
    svc_end();
    return status;
}
