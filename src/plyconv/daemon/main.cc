// MivraBoxPlyConv: the schedule conversion daemon.
#include <memory>

#include "plyconv.h"

namespace {
std::atomic<int> stop_counter{0};

// A background program: it yields the CPU and the disks to everything else.
constexpr svc_priority kPriority = {true, 77, 86};
}  // namespace

int main(int argc, char **argv) {
    svc_hold_stop_signals();
    auto c = std::make_unique<plyconv_ctx>();
    c->stop = &stop_counter;
    if (plyconv_opts_parse(c.get(), argc, argv) != 0) return 255;
    svc_begin(c->base, PLYCONV_BANNER, &stop_counter);
    int status = svc_lower_priority(kPriority);
    // A folder that cannot be watched (or a watch that broke) is a failure a service manager
    // must see; a stop signal ends the loop with 0.
    if (watch_run(c.get()) < 0 && status == 0) status = 1;
    c.reset();
    svc_end();
    return status;
}
