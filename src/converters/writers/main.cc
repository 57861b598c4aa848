// Built once per writer program; PLY_WR_NAME picks the program's row of the writer table.
#include <cstdio>

#include "plywriter.h"

int main(int argc, char **argv) {
    const ply_wr_prog *prog = ply_wr_find(PLY_WR_NAME);
    if (!prog) {
        fprintf(stderr, "Error! Unknown writer %s\n", PLY_WR_NAME);
        return 1;
    }
    return ply_wr_main(argc, argv, *prog);
}
