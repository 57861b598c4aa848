// MivraBoxSTL: EBU STL subtitle files shown as frame-numbered texts under a FUSE mount.
#ifndef FUSE_USE_VERSION
#define FUSE_USE_VERSION 26
#endif
#include <fuse.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "log.h"
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
    if (o->src.empty()) {
        fprintf(stderr, "ERROR: argument '%s' required\n", "--src");
        opts_free(&o);
        return 1;
    }
    // FUSE detaches by itself when "-f" is left out; the log must not echo to a closed terminal.
    if (o->demonize && !o->nodemonize) log_set_stderr(0);

    std::vector<std::string> args = stl_fuse_args(*o, argc > 0 ? argv[0] : nullptr);
    std::vector<char *> av;
    for (std::string &a : args) av.push_back(a.data());
    av.push_back(nullptr);
    const fuse_operations &ops = stl_fs_operations();
    int r = fuse_main_real(int(args.size()), av.data(), &ops, sizeof ops, o);
    opts_free(&o);
    // A mount that never happened is a failure, not a clean end.
    return r == 0 ? 0 : 1;
}
