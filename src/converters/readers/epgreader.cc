// epgreader: one BeInSports programme guide to a playlist file (or standard output).
#include <cstdio>
#include <ctime>

#include "epg.h"
#include "reader.h"

namespace {

constexpr reader_cmdline kCmdline = {"<src.xml> [dst.ply]", 1, 2, 2};

reader_output g_out;

}  // namespace

int main(int argc, char **argv) {
    if (int status = reader_start(g_out, kCmdline, argc, argv)) return status;

    beinsports_epg_init();
    int r = reader_guard([&] {
        return beinsports_epg_parse(argv[1], stderr, &g_out, conv_write_event, cb_startdate);
    });
    if (r != 0) fprintf(stderr, "beinsports_epg_parse failed with r=%d\n", r);
    beinsports_epg_cleanup();
    return reader_finish(g_out, argv[1], r);
}
