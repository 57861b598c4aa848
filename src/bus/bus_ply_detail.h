// Helpers of the playlist operations of a bus (bus_ply*.cc).
#pragma once

#include <new>
#include <vector>

#include "bus.h"

namespace bus_ply_detail {

// References on a list's events, taken before they go into the bus and given back after.
struct event_refs {
    std::vector<mivrabox_event *> v;
    int take(const std::vector<mivrabox_event *> &items) {
        try {
            v = items;
        } catch (const std::bad_alloc &) {
            return -12;
        }
        for (mivrabox_event *e : v) mivrabox_event_ref(e);
        return 0;
    }
    ~event_refs() {
        for (mivrabox_event *e : v) mivrabox_event_unref(&e);
    }
};

// A list of the caller's own, freed at the end of the scope.
struct ply_ref {
    ply_list *p = nullptr;
    ~ply_ref() {
        if (p) ply_free(&p);
    }
};

inline int fill(bus *b, mivrabox_state *st, int r) {
    if (st) bus_ply_state(b, st);
    return r;
}

}  // namespace bus_ply_detail
