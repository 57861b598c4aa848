// landscapereader: one Landscape schedule to a playlist file, with its types and layers maps.
#include <cstdio>

#include "landscape.h"
#include "reader.h"

namespace {

constexpr reader_cmdline kCmdline = {"<src.scx> <dst.ply> <map-types.txt> <map-layers.txt>", 4, 4,
                                     2};

reader_output g_out;

}  // namespace

int main(int argc, char **argv) {
    if (int status = reader_start(g_out, kCmdline, argc, argv)) return status;

    landscape_maps *h = nullptr;
    if (landscape_init(&h, argv[3], argv[4]) == 0) {
        landscape_parse(h, argv[1], stderr, &g_out, conv_write_event);
        landscape_destroy(&h);
    }
    return reader_output_close(g_out) < 0 ? 1 : 0;
}
