// landscapereader: one Landscape schedule to a playlist file, with its types and layers maps.
#include <cstdio>

#include "landscape.h"
#include "svc.h"

namespace {

reader_output g_out;

int conv_write_event(landscape_maps *, mivrabox_event *ev, void *) {
    reader_output_event(g_out, ev);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 5) {
        fprintf(stderr,
                "Error! Not enough arguments.\nUsage:\n"
                "\t%s <src.scx> <dst.ply> <map-types.txt> <map-layers.txt>\n",
                argv[0]);
        return 1;
    }
    svc_tc_setmode();
    if (reader_output_open(g_out, argv[2]) < 0) return 1;

    landscape_maps *h = nullptr;
    if (landscape_init(&h, argv[3], argv[4]) == 0) {
        landscape_parse(h, argv[1], stderr, nullptr, conv_write_event);
        landscape_destroy(&h);
    }
    return reader_output_close(g_out) < 0 ? 1 : 0;
}
