// epgreader: one BeInSports programme guide to a playlist file (or standard output).
#include <cstdio>
#include <ctime>

#include "epg.h"
#include "reader.h"

namespace {

constexpr reader_cmdline kCmdline = {"<src.xml> [dst.ply]", 1, 2, 2};

reader_output g_out;

int conv_write_event(mivrabox_event *ev, void *) {
    reader_output_event(g_out, ev);
    return 0;
}

int cb_startdate(time_t day, void *) {
    char date[64] = "";
    struct tm tm;
    if (localtime_r(&day, &tm)) strftime(date, sizeof date, "%Y%m%d_%H%M%S", &tm);
    fprintf(stderr, "%s: date=%s\n", "cb_startdate", date);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (int status = reader_start(g_out, kCmdline, argc, argv)) return status;

    beinsports_epg_init();
    int r = reader_guard([&] {
        return beinsports_epg_parse(argv[1], stderr, nullptr, conv_write_event, cb_startdate);
    });
    if (r != 0) fprintf(stderr, "beinsports_epg_parse failed with r=%d\n", r);
    beinsports_epg_cleanup();
    return reader_finish(g_out, argv[1], r);
}
