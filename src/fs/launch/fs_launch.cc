#include "fs_launch.h"

#include <fuse.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

#include "log.h"

namespace {

enum common_id {
    OPT_DST = FS_OPT_BASE,
    OPT_LOG_FILE_NAME,
    OPT_LOG_ROTATE_INTERVAL,
    OPT_DEMONIZE,
    OPT_NODEMONIZE,
    OPT_REALTIME_IO,
    OPT_CPU_AFFINITY,
    OPT_REALTIME_CPU,
    OPT_DEBUG,
    OPT_HELP = 'h',
};

// realtime-io takes an optional value so that both "--realtime-io" and "--realtime-io=1" pass.
const opts_def kCommon[] = {
    {"dst", required_argument, OPT_DST},
    {"log-file-name", required_argument, OPT_LOG_FILE_NAME},
    {"log-rotate-interval", required_argument, OPT_LOG_ROTATE_INTERVAL},
    {"demonize", no_argument, OPT_DEMONIZE},
    {"nodemonize", no_argument, OPT_NODEMONIZE},
    {"help", no_argument, OPT_HELP},
    {"realtime-io", optional_argument, OPT_REALTIME_IO},
    {"cpu-affinity", required_argument, OPT_CPU_AFFINITY},
    {"realtime-cpu", required_argument, OPT_REALTIME_CPU},
    {"debug", no_argument, OPT_DEBUG},
};

int apply_common(fs_options &o, int id, const char *arg) {
    switch (id) {
        case OPT_DST:
            o.dst = arg;
            break;
        case OPT_LOG_FILE_NAME:
            o.log_file_name = arg;
            break;
        case OPT_LOG_ROTATE_INTERVAL:
            o.log_rotate_interval = opts_int(arg);
            break;
        case OPT_DEMONIZE:
            o.demonize = 1;
            break;
        case OPT_NODEMONIZE:
            o.nodemonize = 1;
            break;
        // Accepted so that existing options files still load; a file system never raises its
        // priority nor pins a processor, so nothing reads them.
        case OPT_REALTIME_IO:
        case OPT_CPU_AFFINITY:
        case OPT_REALTIME_CPU:
            break;
        case OPT_DEBUG:
            o.debug++;
            break;
        default:
            return -1;
    }
    return 0;
}

}  // namespace

void fs_usage(const fs_program &p) {
    fprintf(stderr, "%s\nUsage:\n    %s [args]\nWhere args:\n", p.banner, p.prog);
    for (const fs_option &o : p.own) fprintf(stderr, "    %-39s%s\n", o.usage_arg, o.usage_text);
    fprintf(stderr,
            "    --dst=<PATH>                           Path to mount\n"
            "    --demonize                             Become daemon on executing\n"
            "    --nodemonize                           Stay in the foreground\n"
            "    --debug                                Debug output\n"
            "\n"
            "                                           Log file operation\n"
            "    --log-file-name=<STR>\n"
            "    --log-rotate-interval=<INT>\n"
            "\n"
            "    -h, --help                             Show this help and usage\n");
}

int fs_opts_parse(const fs_program &p, fs_options &o, int argc, char **argv) {
    opts_program op;
    op.prog = p.prog;
    for (const fs_option &own : p.own) op.table.push_back(own.def);
    op.table.insert(op.table.end(), std::begin(kCommon), std::end(kCommon));
    op.defaults = [&o, &p] {
        o.log_file_name = p.log_default;
        o.log_rotate_interval = 86400;
    };
    op.apply = [&o, &p](int id, const char *arg) {
        return id >= FS_OPT_BASE ? apply_common(o, id, arg) : p.apply(o, id, arg);
    };
    op.usage = [&p] { fs_usage(p); };
    op.file_read = [&o](const std::string &path) { o.options_file = path; };
    return opts_from_file(op, argc, argv);
}

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

std::vector<std::string> fs_fuse_args(const char *prog, const fs_options &o) {
    std::vector<std::string> args{prog};
    if (!(o.demonize && !o.nodemonize)) args.emplace_back("-f");
    if (o.debug) args.emplace_back("-d");
    if (!o.dst.empty()) {
        // A mount point is never read as one of FUSE's own options.
        args.push_back(o.dst.view().front() == '-' ? "./" + o.dst.str() : o.dst.str());
    }
    return args;
}

int fs_launch(fs_options &o, const char *prog, const std::vector<fs_required> &required,
              const std::vector<text4k *> &paths, const fuse_operations &ops, void *private_data) {
    if (fs_check_required(required) < 0) return 1;
    std::vector<text4k *> all = paths;
    all.push_back(&o.dst);
    all.push_back(&o.log_file_name);  // opened by the file system's init
    for (text4k *p : all) {
        if (fs_make_absolute(*p) < 0) {
            fprintf(stderr, "ERROR: path too long [%s]\n", p->c_str());
            return 1;
        }
    }
    // FUSE detaches by itself when "-f" is left out; the log must not echo to a closed terminal.
    if (o.demonize && !o.nodemonize) log_set_stderr(0);

    std::vector<std::string> args = fs_fuse_args(prog, o);
    std::vector<char *> av;
    for (std::string &a : args) av.push_back(a.data());
    av.push_back(nullptr);
    int r = fuse_main_real(int(args.size()), av.data(), &ops, sizeof ops, private_data);
    // A mount that never happened is a failure, not a clean end.
    return r == 0 ? 0 : 1;
}
