// MivraBoxSTL: EBU STL subtitle files shown as frame-numbered texts under a FUSE mount.
#include <fuse.h>

#include <atomic>

#include "fs_launch.h"
#include "proc.h"
#include "stl_fs.h"

namespace {
// Raised by the file system's destroy; FUSE itself handles SIGINT, SIGTERM and SIGHUP.
std::atomic<int> g_stop{0};
}  // namespace

int main(int argc, char **argv) {
    stl_options *o = new (std::nothrow) stl_options;
    if (!o) return 1;
    o->stop = &g_stop;
    if (stl_opts_parse(*o, argc, argv) != 0) {
        opts_free(&o);
        return 1;
    }
    int r = fs_launch(*o, argc > 0 ? argv[0] : STL_PROGRAM, {{"--src", &o->src}}, {&o->src},
                      stl_fs_operations(), o);
    opts_free(&o);
    return r;
}
