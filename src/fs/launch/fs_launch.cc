#include "fs_launch.h"

#include <fuse.h>

#include <cstdio>

#include "log.h"

namespace {

constexpr int OPT_DST = 0x200;  // above the ids of the file systems' own and the shared ones

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
    std::vector<opts_def> table;
    for (const fs_option &own : p.own) table.push_back(own.def);
    table.push_back({"dst", required_argument, OPT_DST});
    svc_parse_form form;
    // So that both "--realtime-io" and "--realtime-io=1" pass.
    form.realtime_io_arg = optional_argument;
    return svc_opts_parse(
        o, p.prog, std::move(table),
        [&o, &p](int id, const char *arg) {
            if (id == OPT_DST) {
                o.dst = arg;
                return 0;
            }
            return id < FS_OPT_BASE ? p.apply(o, id, arg) : -1;
        },
        [&p] { fs_usage(p); }, argc, argv, form);
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
    if (svc_make_absolute_all(all) < 0) return 1;
    // FUSE detaches by itself when "-f" is left out; the log must not echo to a closed terminal.
    svc_quiet_if_detaching(o);

    std::vector<std::string> args = fs_fuse_args(prog, o);
    std::vector<char *> av;
    for (std::string &a : args) av.push_back(a.data());
    av.push_back(nullptr);
    int r = fuse_main_real(int(args.size()), av.data(), &ops, sizeof ops, private_data);
    // A mount that never happened is a failure, not a clean end.
    return r == 0 ? 0 : 1;
}
