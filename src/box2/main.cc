// MivraBox2: the dual-player automation daemon.
#include "box2_bus.h"
#include "box2_opts.h"

int main(int argc, char **argv) {
    return bus_daemon_main(box2_daemon, box2_opts_parse, argc, argv);
}
