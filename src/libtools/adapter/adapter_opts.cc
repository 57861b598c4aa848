#include "adapter_opts.h"

#include <cstdio>

namespace {

enum adapter_opt_id {
    OPT_LIB = 1,
    OPT_PATH,
    OPT_FFMPEG_ARG,
    OPT_FFMPEG_PATH,
    OPT_MEDIA_WIDTH,
    OPT_MEDIA_HEIGHT,
    OPT_MEDIA_FRAMERATE_NUM,
    OPT_MEDIA_FRAMERATE_DEN,
    OPT_QUEUE_MAX,
};

std::vector<opts_def> table() {
    std::vector<opts_def> t = {
        {"lib", required_argument, OPT_LIB},
        {"path", required_argument, OPT_PATH},
        {"ffmpeg-arg", required_argument, OPT_FFMPEG_ARG},
        {"ffmpeg-path", required_argument, OPT_FFMPEG_PATH},
        {"media-width", required_argument, OPT_MEDIA_WIDTH},
        {"media-height", required_argument, OPT_MEDIA_HEIGHT},
        {"media-framerate-num", required_argument, OPT_MEDIA_FRAMERATE_NUM},
        {"media-framerate-den", required_argument, OPT_MEDIA_FRAMERATE_DEN},
        {"queue-max", required_argument, OPT_QUEUE_MAX},
    };
    return t;
}

int apply(adapter_instance *a, int id, const char *arg) {
    switch (id) {
        case OPT_LIB:
            a->lib_url = svc_rpc_url(arg);
            break;
        case OPT_PATH:
            if (int(a->paths.size()) < ADAPTER_MAX_PATHS) a->paths.emplace_back(arg);
            break;
        case OPT_FFMPEG_ARG:
            if (int(a->ffmpeg_args.size()) < ADAPTER_MAX_ARGS) a->ffmpeg_args.emplace_back(arg);
            break;
        case OPT_FFMPEG_PATH:
            a->ffmpeg_path = arg;
            break;
        case OPT_MEDIA_WIDTH:
            a->media_width = opts_int(arg);
            break;
        case OPT_MEDIA_HEIGHT:
            a->media_height = opts_int(arg);
            break;
        case OPT_MEDIA_FRAMERATE_NUM:
            a->media_framerate_num = opts_int(arg);
            break;
        case OPT_MEDIA_FRAMERATE_DEN:
            a->media_framerate_den = opts_int(arg);
            break;
        case OPT_QUEUE_MAX: {
            // At least one item waits, or nothing would ever be converted.
            int n = opts_int(arg);
            a->queue_max = n < 1 ? 1 : n;
            break;
        }
        default:
            return -1;
    }
    return 0;
}

}  // namespace

void adapter_usage() {
    fprintf(stderr,
            "%s (media adapter)\n"
            "Usage:\n"
            "    %s [args]\n"
            "Where args:\n"
            "    --lib=<HOST:PORT>                      Register LIBRARY source\n"
            "    --path=<STR>                           Add additional path to source point\n"
            "    --ffmpeg-arg=<STR>                     FFMPEG argument\n"
            "    --ffmpeg-path=<FILE>                   FFMPEG binary name\n"
            "    --media-width=<INT>                    Width of media to correct\n"
            "    --media-height=<INT>                   Height of media to correct\n"
            "    --media-framerate-num=<INT>            Framerate num of media to correct\n"
            "    --media-framerate-den=<INT>            Framerate den of media to correct\n"
            "    --queue-max=<INT>                      Items waiting for conversion at most\n"
            "    --demonize                             Become daemon on executing\n"
            "\n"
            "                                           Log file operation\n"
            "    --log-file-name=<STR>\n"
            "    --log-rotate-interval=<INT>\n"
            "\n"
            "    -h, --help                             Show this help and usage\n",
            ADAPTER_BANNER, ADAPTER_PROGRAM);
}

int adapter_opts_parse(adapter_instance *a, svc_base_opts *base, int argc, char **argv) {
    return svc_opts_parse(
        *base, ADAPTER_PROGRAM, table(), [a](int id, const char *arg) { return apply(a, id, arg); },
        adapter_usage, argc, argv);
}
