// bxfreader: the schedule of one BXF message to a playlist file (or standard output).
#include <cstdio>

#include "bxf.h"
#include "reader.h"

namespace {

constexpr int kFlags = READER_F_IGNORE_PATH | READER_F_TRACE;

constexpr reader_cmdline kCmdline = {"<src.xml> [dst.ply]", 1, 2, 2};

}  // namespace

int main(int argc, char **argv) {
    return reader_main(argc, argv, kCmdline, [](const char *src, reader_output *out) {
        bxf_ctx *ctx = nullptr;
        int r = bxf_init(&ctx, kFlags, "*", "category2type.txt");
        if (r == 0) {
            r = bxf_parse(ctx, src, out, conv_write_event, cb_startdate);
            fprintf(stderr, "bxf_parse returned %d\n", r);
            bxf_destroy(&ctx);
        }
        return r;
    });
}
