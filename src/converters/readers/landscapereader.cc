// landscapereader: one Landscape schedule to a playlist file, with its types and layers maps.
#include <cstdio>

#include "landscape.h"
#include "reader.h"

namespace {

constexpr reader_cmdline kCmdline = {"<src.scx> <dst.ply> <map-types.txt> <map-layers.txt>", 4, 4,
                                     2};

}  // namespace

int main(int argc, char **argv) {
    return reader_main(argc, argv, kCmdline, [argv](const char *src, reader_output *out) {
        landscape_maps *h = nullptr;
        int r = landscape_init(&h, argv[3], argv[4]);
        if (r == 0) {
            r = landscape_parse(h, src, stderr, out, conv_write_event);
            landscape_destroy(&h);
        }
        return r;
    });
}
