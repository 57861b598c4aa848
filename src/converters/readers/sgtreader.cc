// sgtreader: one SGT schedule to a playlist file (or standard output).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "file.h"
#include "mivrabox_event.h"
#include "sgt.h"

namespace {

// Twice the daemons' line width: a longer line is written cut.
constexpr size_t kLineSize = 2 * MIVRABOX_LINE_SIZE;

struct setting {
    int id;
    const char *text;  // null: the number below
    int number;
};

constexpr setting kSettings[] = {
    {READER_P_ASPECT, "*", 0},
    {READER_P_APPEND_PATH, "/KORVELTV/VIDEO", 0},
    {READER_P_WAV_PATH, "/KORVELTV/AUDIO", 0},
    {READER_P_LIVE_PATH, "/KORVELTV/LIVE/", 0},
    {READER_P_PREPEND_EXT, "#", 0},
    {READER_P_APPEND_TMPL, "KORVELTV_", 0},
    {READER_P_CATEGORY2TYPE, "category2type.txt", 0},
    {READER_P_DTMF_OFFSET, nullptr, 29},
    {READER_P_NEWFIELD_SEP, " ; ", 0},
    {READER_P_EVS_PATH, "/usr/local/src/MivraBox.git/src/sgt/evs", 0},
};

constexpr int kFlags =
    READER_F_IGNORE_PATH | READER_F_TRACE | READER_F_TCOUT_INCLUDED | READER_F_TCOUT_CALC;

struct output {
    atomic_file file;  // the destination, replaced whole at the end
    FILE *stream = nullptr;
    char line[kLineSize];
};
output g_out;

int conv_write_event(mivrabox_event *ev, void *) {
    mivrabox_event_format(ev, g_out.line, sizeof g_out.line);
    size_t n = strlen(g_out.line);
    g_out.line[n] = '\n';
    return int(fwrite(g_out.line, 1, n + 1, g_out.stream));
}

int cb_startdate(time_t day, void *, const char *name, const char *channel) {
    char date[64] = "";
    struct tm tm;
    if (localtime_r(&day, &tm)) strftime(date, sizeof date, "%Y%m%d_%H%M%S", &tm);
    fprintf(stderr, "%s: date=%s, name=[%s], channel=[%s]\n", "cb_startdate", date,
            name ? name : "", channel ? channel : "");
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "Error! Not enough arguments.\n");
        fprintf(stderr, "Usage:\n");
        fprintf(stderr, "\t%s <src.xml> [dst.ply]\n", argv[0]);
        return 1;
    }
    const char *dst = argc > 2 ? argv[2] : nullptr;
    if (dst) {
        if (g_out.file.open(dst) < 0) {
            fprintf(stderr, "Error! Failed to open file [%s]\n", dst);
            return 1;
        }
        g_out.stream = g_out.file.stream();
    } else {
        g_out.stream = stdout;
    }

    sgt_params *p = nullptr;
    if (sgt_create(&p, kFlags) == 0) {
        for (const setting &s : kSettings) {
            if (s.text)
                sgt_set_param(p, s.id, s.text);
            else
                sgt_set_param(p, s.id, s.number);
        }
        sgt_parse(p, argv[1], nullptr, conv_write_event, cb_startdate);
        sgt_destroy(&p);
    }

    // Whatever the reader said, the lines written stand; only a lost write is a failure.
    int r = dst ? g_out.file.commit() : (fflush(stdout) == 0 && !ferror(stdout) ? 0 : -errno);
    if (r < 0) {
        fprintf(stderr, "Error! Failed to write file [%s]: %s\n", dst ? dst : "<stdout>",
                strerror(-r));
        return 1;
    }
    return 0;
}
