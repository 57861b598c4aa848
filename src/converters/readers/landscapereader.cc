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

    int r = reader_guard([&] {
        landscape_maps *h = nullptr;
        int r = landscape_init(&h, argv[3], argv[4]);
        if (r == 0) {
            r = landscape_parse(h, argv[1], stderr, &g_out, conv_write_event);
            landscape_destroy(&h);
        }
        return r;
    });
    return reader_finish(g_out, argv[1], r);
}
