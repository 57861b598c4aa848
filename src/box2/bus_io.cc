// Cue and play on the two players of a bus: one asynchronous cue thread per bus.
#include "bus.h"
#include "log.h"

void bus_io_async_cue_proc(bus *b) {
    log_msg(LOG_INFO, "%s[%d]: entering", "bus_io_async_cue_proc", b->index);
    std::unique_lock lk(b->cue_mu);
    b->cue_cv.wait(lk, [b] { return b->cue_exit.load() != 0; });
    log_msg(LOG_INFO, "%s[%d]: exiting", "bus_io_async_cue_proc", b->index);
}
