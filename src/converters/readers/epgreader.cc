// epgreader: one BeInSports programme guide to a playlist file (or standard output).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "epg.h"
#include "file.h"

namespace {

// Twice the daemons' line width: a longer line is written cut.
constexpr size_t kLineSize = 2 * MIVRABOX_LINE_SIZE;

FILE *g_stream = nullptr;
char g_line[kLineSize];

int conv_write_event(mivrabox_event *ev, void *) {
    mivrabox_event_format(ev, g_line, sizeof g_line);
    size_t n = strlen(g_line);
    g_line[n] = '\n';
    return int(fwrite(g_line, 1, n + 1, g_stream));
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
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "Error! Not enough arguments.\nUsage:\n\t%s <src.xml> [dst.ply]\n",
                argv[0]);
        return 1;
    }
    const char *dst = argc > 2 ? argv[2] : nullptr;
    atomic_file out;  // the destination is replaced whole at the end
    if (dst) {
        if (out.open(dst) < 0) {
            fprintf(stderr, "Error! Failed to open file [%s]\n", dst);
            return 1;
        }
        g_stream = out.stream();
    } else {
        g_stream = stdout;
    }

    beinsports_epg_init();
    int r = beinsports_epg_parse(argv[1], stderr, nullptr, conv_write_event, cb_startdate);
    if (r != 0) fprintf(stderr, "beinsports_epg_parse failed with r=%d\n", r);
    beinsports_epg_cleanup();

    // Whatever the reader said, the lines written stand; only a lost write is a failure.
    r = dst ? out.commit() : (fflush(stdout) == 0 && !ferror(stdout) ? 0 : -errno);
    if (r < 0) {
        fprintf(stderr, "Error! Failed to write file [%s]: %s\n", dst ? dst : "<stdout>",
                strerror(-r));
        return 1;
    }
    return 0;
}
