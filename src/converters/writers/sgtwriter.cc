#include "plywriter.h"

int main(int argc, char **argv) {
    static const ply_wr_prog prog = {
        .min_args = 1,
        .max_args = 2,
        .usage = "\t%s <src.ply> [dst.xml]\n",
        .fixed_tc_mode = -1,
        .eight_digit_day = false,
        .open_errno = false,
        .with_channel = false,
        .format = ply_wr_sgt,
    };
    return ply_wr_main(argc, argv, prog);
}
