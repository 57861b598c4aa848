// Drop folder of a bus: playlists dropped into it are opened or appended.
#include "bus.h"

void bus_append_proc(bus *b) {
    bus_idle_proc(b, "bus_append_proc");
}
