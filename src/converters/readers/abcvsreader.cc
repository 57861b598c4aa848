// abcvsreader: one AB CVS table to a playlist file.
#include <cstdio>

#include "abcvs.h"
#include "reader.h"

namespace {

constexpr reader_cmdline kCmdline = {"<src.cvs> <dst.ply>", 2, 2, 2};

reader_output g_out;

}  // namespace

int main(int argc, char **argv) {
    if (int status = reader_start(g_out, kCmdline, argc, argv)) return status;

    abcvs_handle *h = nullptr;
    if (abcvs_create(&h) == 0) {
        abcvs_parse(h, argv[1], stderr, &g_out, conv_write_event);
        abcvs_destroy(&h);
    }

    return reader_output_close(g_out) < 0 ? 1 : 0;
}
