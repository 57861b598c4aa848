// Bus scheduler: follows the wall clock, cues ahead of time and plays on time.
#include "bus.h"

void bus_ply_proc(bus *b) {
    bus_idle_proc(b, "bus_ply_proc");
}
