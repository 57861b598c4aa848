#include "plywriter.h"
#include "tc.h"

int main(int argc, char **argv) {
    static const ply_wr_prog prog = {
        .min_args = 2,
        .max_args = 3,
        .usage = "\t%s <channel> <src.ply> [dst.xml]\n",
        .fixed_tc_mode = TC_50,
        .eight_digit_day = true,
        .open_errno = false,
        .with_channel = true,
        .format = ply_wr_branding,
    };
    return ply_wr_main(argc, argv, prog);
}
