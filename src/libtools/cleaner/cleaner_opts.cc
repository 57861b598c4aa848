// Command line and options files of MivraBoxLibCleaner.
#include <cstdio>

#include "cleaner.h"

namespace {

enum cleaner_opt_id {
    OPT_BOX = 1,
    OPT_BUS,
    OPT_LIB,
    OPT_PATH,
    OPT_AGE_IDLE,
    OPT_AGE_PLAYED,
    OPT_LIB_USAGE_LIMIT,
    OPT_CONFIRM_DELETE,
    OPT_SLEEP_INTERVAL,
    OPT_MINIMAL_DURATION,
    OPT_LISTS_FOLDER,
};

std::vector<opts_def> table() {
    std::vector<opts_def> t = {
        {"box", required_argument, OPT_BOX},
        {"bus", required_argument, OPT_BUS},
        {"lib", required_argument, OPT_LIB},
        {"path", required_argument, OPT_PATH},
        {"age-idle", required_argument, OPT_AGE_IDLE},
        {"age-played", required_argument, OPT_AGE_PLAYED},
        {"lib-usage-limit", required_argument, OPT_LIB_USAGE_LIMIT},
        {"confirm-delete", no_argument, OPT_CONFIRM_DELETE},
        {"sleep-interval", required_argument, OPT_SLEEP_INTERVAL},
        {"minimal-duration", required_argument, OPT_MINIMAL_DURATION},
        // The deletion lists' folder; the fixed runtime folder unless a test or a site moves it.
        {"lists-folder", required_argument, OPT_LISTS_FOLDER, true},
    };
    return t;
}

int apply(cleaner_options *o, int id, const char *arg) {
    switch (id) {
        case OPT_BOX:
            if (int(o->boxes.size()) < CLEANER_MAX_BOXES) {
                o->boxes.emplace_back();
                o->boxes.back().url = svc_rpc_url(arg);
            }
            break;
        case OPT_BUS:
            if (!o->boxes.empty()) o->boxes.back().bus = opts_int(arg);
            break;
        case OPT_LIB:
            o->lib_url = svc_rpc_url(arg);
            break;
        case OPT_PATH:
            if (int(o->paths.size()) < CLEANER_MAX_PATHS) o->paths.emplace_back(arg);
            break;
        case OPT_AGE_IDLE:
            o->age_idle = opts_int(arg);
            break;
        case OPT_AGE_PLAYED:
            o->age_played = opts_int(arg);
            break;
        case OPT_LIB_USAGE_LIMIT:
            o->lib_usage_limit = opts_int(arg);
            break;
        case OPT_CONFIRM_DELETE:
            o->confirm_delete++;
            break;
        case OPT_SLEEP_INTERVAL:
            o->sleep_interval = opts_int(arg);
            break;
        case OPT_MINIMAL_DURATION:
            o->minimal_duration = opts_int(arg);
            break;
        case OPT_LISTS_FOLDER:
            o->lists_folder = arg;
            break;
        default:
            return -1;
    }
    return 0;
}

}  // namespace

void cleaner_usage() {
    fprintf(stderr,
            "%s (library cleaner)\n"
            "Usage:\n"
            "    %s [args]\n"
            "Where args:\n"
            "    --box=<HOST:PORT> --bus=<INT>          MivraBox to listen for absent files\n"
            "    --lib=<HOST:PORT>                      Register LIBRARY source\n"
            "    --path=<STR>                           Library path to check items\n"
            "    --demonize                             Become daemon on executing\n"
            "\n"
            "                                           Log file operation\n"
            "    --log-file-name=<STR>\n"
            "    --log-rotate-interval=<INT>\n"
            "\n"
            "    -h, --help                             Show this help and usage\n",
            CLEANER_BANNER, CLEANER_PROGRAM);
}

int cleaner_opts_parse(cleaner_options *o, int argc, char **argv) {
    return svc_opts_parse(
        o->base, CLEANER_PROGRAM, table(),
        [o](int id, const char *arg) { return apply(o, id, arg); }, cleaner_usage, argc, argv);
}
