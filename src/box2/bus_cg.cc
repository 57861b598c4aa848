// Graphics side of a bus: its Oxtel link callbacks and the device's template listing.
#include "bus.h"

void bus_cg_link_setup(bus *) {}

int bus_cg_cue(bus *, const mivrabox_event *) { return 0; }

int bus_cg_play(bus *) { return 0; }

int bus_cg_idle(bus *) { return 0; }

int bus_cg_tmpl_request(bus *b) {
    return oxtel_send(&b->oxtel, -1, "R4$VIDEO", 8);
}

void bus_tmpl_listing_add(bus *b, const char *name) {
    std::lock_guard lk(b->tmpl.mu);
    if (b->tmpl.busy && b->tmpl.names.size() < 4096) b->tmpl.names.emplace_back(name);
}

void bus_tmpl_listing_end(bus *b) {
    {
        std::lock_guard lk(b->tmpl.mu);
        b->tmpl.done = true;
    }
    b->tmpl.cv.notify_all();
}
