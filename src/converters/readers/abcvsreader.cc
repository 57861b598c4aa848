// abcvsreader: one AB CVS table to a playlist file.
#include <cstdio>

#include "abcvs.h"
#include "reader.h"

namespace {

constexpr reader_cmdline kCmdline = {"<src.cvs> <dst.ply>", 2, 2, 2};

}  // namespace

int main(int argc, char **argv) {
    return reader_main(argc, argv, kCmdline, [](const char *src, reader_output *out) {
        abcvs_handle *h = nullptr;
        int r = abcvs_create(&h);
        if (r == 0) {
            r = abcvs_parse(h, src, stderr, out, conv_write_event);
            abcvs_destroy(&h);
        }
        return r;
    });
}
