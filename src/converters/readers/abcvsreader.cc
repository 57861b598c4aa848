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

    int r = reader_guard([&] {
        abcvs_handle *h = nullptr;
        int r = abcvs_create(&h);
        if (r == 0) {
            r = abcvs_parse(h, argv[1], stderr, &g_out, conv_write_event);
            abcvs_destroy(&h);
        }
        return r;
    });
    return reader_finish(g_out, argv[1], r);
}
