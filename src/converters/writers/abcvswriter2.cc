#include "plywriter.h"
#include "tc.h"

int main(int argc, char **argv) {
    static const ply_wr_prog prog = {
        .min_args = 1,
        .max_args = 2,
        .usage = "\t%s <src.ply> [dst.CVS]\n",
        .fixed_tc_mode = TC_50,
        .eight_digit_day = true,
        .open_errno = true,
        .with_channel = false,
        .format = ply_wr_abcvs_table,
    };
    return ply_wr_main(argc, argv, prog);
}
