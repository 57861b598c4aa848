// Command line and options files of MivraBoxLibFeeder.
#include <algorithm>
#include <cstdio>

#include "feeder.h"

namespace {

enum feeder_opt_id {
    OPT_TRANSFER = 1,
    OPT_BOX,
    OPT_BUS,
    OPT_SRC_LIB,
    OPT_SRC_PROBE,
    OPT_TARGET,
    OPT_PATH,
    OPT_EXT,
    OPT_PATHS,
    OPT_EXTS,
    OPT_DEEP_DIVE,
    OPT_BASENAME_EXT,
    OPT_ABSENT_LIST,
    OPT_STALL_TIMEOUT,
};

std::vector<opts_def> table() {
    std::vector<opts_def> t = {
        {"transfer", required_argument, OPT_TRANSFER},
        {"box", required_argument, OPT_BOX},
        {"bus", required_argument, OPT_BUS},
        {"src-lib", required_argument, OPT_SRC_LIB},
        {"src-probe", no_argument, OPT_SRC_PROBE},
        {"target", required_argument, OPT_TARGET},
        {"path", required_argument, OPT_PATH},
        {"ext", required_argument, OPT_EXT},
        {"paths", required_argument, OPT_PATHS, true},
        {"exts", required_argument, OPT_EXTS, true},
        {"deep-dive", required_argument, OPT_DEEP_DIVE},
        {"basename-ext", required_argument, OPT_BASENAME_EXT},
        {"absent-list", required_argument, OPT_ABSENT_LIST},
        {"stall-timeout", required_argument, OPT_STALL_TIMEOUT},
    };
    return t;
}

void add_source(feeder_instance *f, int type, const char *arg) {
    if (int(f->sources.size()) >= FEEDER_MAX_SOURCES) return;
    f->sources.emplace_back();
    f->sources.back().type = type;
    if (arg) f->sources.back().url = svc_rpc_url(arg);
}

// Per-source options before the first source go nowhere.
int apply_source(feeder_source *s, int id, const char *arg) {
    if (!s) return 0;
    switch (id) {
        case OPT_TARGET:
            s->target = arg;
            break;
        case OPT_PATH:
            if (s->paths.size() < FEEDER_MAX_PATHS) {
                s->paths.emplace_back();
                s->paths.back().path = arg;
                s->configured = s->paths.size();
            }
            break;
        case OPT_EXT:
            if (s->exts.size() < FEEDER_MAX_EXTS) s->exts.emplace_back(arg);
            break;
        case OPT_PATHS:
            s->paths_file = arg;
            break;
        case OPT_EXTS:
            s->exts_file = arg;
            break;
        case OPT_DEEP_DIVE:
            s->deep_dive = opts_int(arg);
            break;
        case OPT_BASENAME_EXT:
            s->basename_ext = arg;
            break;
    }
    return 0;
}

int apply(feeder_instance *f, int id, const char *arg) {
    switch (id) {
        case OPT_TRANSFER:
            f->transfer_url = svc_rpc_url(arg);
            return 0;
        case OPT_BOX:
            if (int(f->boxes.size()) < FEEDER_MAX_BOXES) {
                f->boxes.emplace_back();
                f->boxes.back().url = svc_rpc_url(arg);
            }
            return 0;
        case OPT_BUS:
            if (!f->boxes.empty()) f->boxes.back().bus = opts_int(arg);
            return 0;
        case OPT_SRC_LIB:
            add_source(f, FEEDER_SRC_LIB, arg);
            return 0;
        case OPT_SRC_PROBE:
            add_source(f, FEEDER_SRC_PROBE, nullptr);
            return 0;
        case OPT_ABSENT_LIST:
            f->absent_file = arg;
            // A name too short to turn the list on stays as given; any other is a local file.
            if (f->absent_file.size() < FEEDER_ABSENT_NAME_MIN) return 0;
            return svc_make_absolute_all({&f->absent_file}) < 0 ? 1 : 0;
        case OPT_STALL_TIMEOUT:
            // At least a second: 0 would give up every transfer at its first look.
            f->stall_timeout = std::max(opts_int(arg), 1);
            return 0;
        case OPT_TARGET:
        case OPT_PATH:
        case OPT_EXT:
        case OPT_PATHS:
        case OPT_EXTS:
        case OPT_DEEP_DIVE:
        case OPT_BASENAME_EXT:
            return apply_source(f->sources.empty() ? nullptr : &f->sources.back(), id, arg);
        default:
            return -1;
    }
}

}  // namespace

void feeder_usage() {
    fprintf(stderr,
            "%s (library feeder)\n"
            "Usage:\n"
            "    %s [args]\n"
            "Where args:\n"
            "    --transfer=<HOST:PORT>                 Transfer service address\n"
            "    --box=<HOST:PORT> --bus=<INT>          MivraBox to listen for absent files\n"
            "    --src-lib=<HOST:PORT>                  Register LIBRARY source\n"
            "    --src-probe                            Register transfer PROBE source\n"
            "    --target=<STR>                         Use target for defined source\n"
            "    --path=<STR>                           Add additional path to source point\n"
            "    --ext=<STR>                            Add extension to probe for media_id\n"
            "    --paths=<FILE>                         Register a file for dynamic loading "
            "list of paths\n"
            "    --exts=<FILE>                          Register a file for dynamic loading "
            "list if extentions\n"
            "    --stall-timeout=<SECONDS>              Give up a transfer without progress for "
            "so long (600)\n"
            "    --demonize                             Become daemon on executing\n"
            "\n"
            "                                           Log file operation\n"
            "    --log-file-name=<STR>\n"
            "    --log-rotate-interval=<INT>\n"
            "\n"
            "    -h, --help                             Show this help and usage\n",
            FEEDER_BANNER, FEEDER_PROGRAM);
}

int feeder_opts_parse(feeder_instance *f, int argc, char **argv) {
    return svc_opts_parse(
        f->base, FEEDER_PROGRAM, table(),
        [f](int id, const char *arg) { return apply(f, id, arg); }, feeder_usage, argc, argv);
}
