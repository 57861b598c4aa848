// abcvsreader: one AB CVS table to a playlist file.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "abcvs.h"
#include "file.h"

namespace {

// Twice the daemons' line width: a longer line is written cut.
constexpr size_t kLineSize = 2 * MIVRABOX_LINE_SIZE;

FILE *g_stream = nullptr;
char g_line[kLineSize];

int conv_write_event(abcvs_handle *, mivrabox_event *ev, void *) {
    mivrabox_event_format(ev, g_line, sizeof g_line);
    size_t n = strlen(g_line);
    g_line[n] = '\n';
    return int(fwrite(g_line, 1, n + 1, g_stream));
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "Error! Not enough arguments.\nUsage:\n\t%s <src.cvs> <dst.ply>\n",
                argv[0]);
        return 1;
    }
    atomic_file out;  // the destination is replaced whole at the end
    if (out.open(argv[2]) < 0) {
        fprintf(stderr, "Error! Failed to open file [%s]\n", argv[2]);
        return 1;
    }
    g_stream = out.stream();

    abcvs_handle *h = nullptr;
    if (abcvs_create(&h) == 0) {
        abcvs_parse(h, argv[1], stderr, nullptr, conv_write_event);
        abcvs_destroy(&h);
    }

    // Whatever the reader said, the lines written stand; only a lost write is a failure.
    int r = out.commit();
    if (r < 0) {
        fprintf(stderr, "Error! Failed to write file [%s]: %s\n", argv[2], strerror(-r));
        return 1;
    }
    return 0;
}
