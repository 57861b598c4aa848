#include "fs_launch.h"

#include <fuse.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

#include "log.h"

int fs_check_required(const std::vector<fs_required> &required) {
    for (const fs_required &r : required) {
        if (!r.value || r.value->empty()) {
            fprintf(stderr, "ERROR: argument '%s' required\n", r.name);
            return -1;
        }
    }
    return 0;
}

int fs_make_absolute(text4k &path) {
    if (path.empty() || path.view().front() == '/') return 0;
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return -errno;
    std::string abs = std::string(cwd) + "/" + path.str();
    if (!text4k::fits(abs)) return -ENAMETOOLONG;
    path = abs;
    return 0;
}

std::vector<std::string> fs_fuse_args(const char *prog, int demonize, int nodemonize, int debug,
                                      const text4k &dst) {
    std::vector<std::string> args{prog};
    if (!(demonize && !nodemonize)) args.emplace_back("-f");
    if (debug) args.emplace_back("-d");
    if (!dst.empty()) {
        // A mount point is never read as one of FUSE's own options.
        args.push_back(dst.view().front() == '-' ? "./" + dst.str() : dst.str());
    }
    return args;
}

int fs_launch(fs_launch_spec &spec, const char *argv0, const fuse_operations &ops,
              void *private_data) {
    if (fs_check_required(spec.required) < 0) return 1;
    for (text4k *p : spec.paths) {
        if (fs_make_absolute(*p) < 0) {
            fprintf(stderr, "ERROR: path too long [%s]\n", p->c_str());
            return 1;
        }
    }
    // FUSE detaches by itself when "-f" is left out; the log must not echo to a closed terminal.
    if (spec.demonize && !spec.nodemonize) log_set_stderr(0);

    static const text4k none;
    std::vector<std::string> args =
        fs_fuse_args(argv0 ? argv0 : spec.prog, spec.demonize, spec.nodemonize, spec.debug,
                     spec.dst ? *spec.dst : none);
    std::vector<char *> av;
    for (std::string &a : args) av.push_back(a.data());
    av.push_back(nullptr);
    int r = fuse_main_real(int(args.size()), av.data(), &ops, sizeof ops, private_data);
    // A mount that never happened is a failure, not a clean end.
    return r == 0 ? 0 : 1;
}
