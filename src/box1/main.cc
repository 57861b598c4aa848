// MivraBox1: the single-player automation daemon.
#include "box1_bus.h"
#include "mivrabox_ply.h"
#include "svc.h"

int main(int argc, char **argv) {
    svc_hold_stop_signals();
    ply_digest_init();
    return bus_daemon_main(box1_daemon, box1_opts_parse, argc, argv);
}
