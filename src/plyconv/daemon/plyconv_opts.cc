// Command line and options files of MivraBoxPlyConv.
#include <cstdio>

#include "mivrabox_lib.h"
#include "plyconv.h"
#include "reader.h"

namespace {

// Input types, reader flags, filter day bits and the SGT and Adonis fields ride in the id.
constexpr int OPT_TYPE = 1;
constexpr int OPT_SGT_BASE = 48;
constexpr int OPT_ADONIS_BASE = 64;
constexpr int OPT_FLAG_BASE = 0x1000;
constexpr int OPT_DAY_BASE = 0x2000;

enum plyconv_opt_id {
    OPT_SRC = 16,
    OPT_DST,
    OPT_ERROR,
    OPT_LS_LAYERS,
    OPT_LS_TYPES,
    OPT_CHYRO_ASPECT,
    OPT_CHYRO_CAT2TYPE,
    OPT_CHYRO_APPEND_PATH,
    OPT_CHYRO_APPEND_TMPL,
    OPT_CHYRO_DTMF,
    OPT_CHYRO_NEWFIELD,
    OPT_FILTER_KEYWORD,
    OPT_ADONIS_TC_MIN = 80,
    OPT_ADONIS_TC_MAX,
    OPT_ADONIS_DUR_MAX,
};

constexpr int XF_PATH = 0, XF_TMPL = 1, XF_EVS = 2, XF_TMPL_TYPE = 3, XF_EXT = 4, XF_WAV = 5,
              XF_LIVE = 6;

std::vector<opts_def> table() {
    std::vector<opts_def> t = {
        {"chyro", no_argument, OPT_TYPE + PLYCONV_CHYRO},
        {"src", required_argument, OPT_SRC, true},
        {"dst", required_argument, OPT_DST, true},
        {"error", required_argument, OPT_ERROR, true},
        {"landscape", no_argument, OPT_TYPE + PLYCONV_LANDSCAPE},
        {"landscape-layers-map", required_argument, OPT_LS_LAYERS, true},
        {"landscape-types-map", required_argument, OPT_LS_TYPES, true},
        {"beinsports_epg", no_argument, OPT_TYPE + PLYCONV_BEINSPORTS_EPG},
        {"chyro-ignore-path", no_argument, OPT_FLAG_BASE + READER_F_IGNORE_PATH},
        {"chyro-force-aspect-ratio", required_argument, OPT_CHYRO_ASPECT},
        {"chyro-category2type", required_argument, OPT_CHYRO_CAT2TYPE, true},
        {"chyro-category-path", no_argument, OPT_FLAG_BASE + READER_F_CATEGORY_PATH},
        {"abcvs", no_argument, OPT_TYPE + PLYCONV_ABCVS},
        {"chyro-append-path", required_argument, OPT_CHYRO_APPEND_PATH},
        {"chyro-append-tmpl", required_argument, OPT_CHYRO_APPEND_TMPL},
        {"chyro-tcout-included", no_argument, OPT_FLAG_BASE + READER_F_TCOUT_INCLUDED},
        {"chyro-tcout-calc", no_argument, OPT_FLAG_BASE + READER_F_TCOUT_CALC},
        {"chyro-default-dtmf-offset", required_argument, OPT_CHYRO_DTMF},
        {"playlist-filter-keyword", required_argument, OPT_FILTER_KEYWORD},
        {"playlist-filter-today", no_argument, OPT_DAY_BASE + MIVRABOX_DAY_TODAY},
        {"playlist-filter-tomorrow", no_argument, OPT_DAY_BASE + MIVRABOX_DAY_TOMORROW},
        {"playlist-filter-yesterday", no_argument, OPT_DAY_BASE + MIVRABOX_DAY_YESTERDAY},
        {"abcvs2", no_argument, OPT_TYPE + PLYCONV_ABCVS2},
        {"chyro-newfield-sep", required_argument, OPT_CHYRO_NEWFIELD},
        {"playlist-filter-tomorrow-p1", no_argument, OPT_DAY_BASE + MIVRABOX_DAY_IN_2},
        {"playlist-filter-tomorrow-p2", no_argument, OPT_DAY_BASE + MIVRABOX_DAY_IN_3},
        {"sgt", no_argument, OPT_TYPE + PLYCONV_SGT},
        {"sgt-append-path", required_argument, OPT_SGT_BASE + XF_PATH},
        {"sgt-append-tmpl", required_argument, OPT_SGT_BASE + XF_TMPL},
        {"sgt-evs-path", required_argument, OPT_SGT_BASE + XF_EVS, true},
        {"sgt-append-tmpl-type", no_argument, OPT_SGT_BASE + XF_TMPL_TYPE},
        {"sgt-prepend-ext", required_argument, OPT_SGT_BASE + XF_EXT},
        {"sgt-append-wav-path", required_argument, OPT_SGT_BASE + XF_WAV},
        {"sgt-append-live-path", required_argument, OPT_SGT_BASE + XF_LIVE},
        {"adonis", no_argument, OPT_TYPE + PLYCONV_ADONIS},
        {"adonis-append-path", required_argument, OPT_ADONIS_BASE + XF_PATH},
        {"adonis-append-tmpl", required_argument, OPT_ADONIS_BASE + XF_TMPL},
        {"adonis-evs-path", required_argument, OPT_ADONIS_BASE + XF_EVS, true},
        {"adonis-append-tmpl-type", no_argument, OPT_ADONIS_BASE + XF_TMPL_TYPE},
        {"adonis-prepend-ext", required_argument, OPT_ADONIS_BASE + XF_EXT},
        {"adonis-append-wav-path", required_argument, OPT_ADONIS_BASE + XF_WAV},
        {"adonis-append-live-path", required_argument, OPT_ADONIS_BASE + XF_LIVE},
        {"adonis-gxf-media-timecode-min", required_argument, OPT_ADONIS_TC_MIN},
        {"adonis-gxf-media-timecode-max", required_argument, OPT_ADONIS_TC_MAX},
        {"adonis-gxf-media-duration-max", required_argument, OPT_ADONIS_DUR_MAX},
    };
    return t;
}

void apply_xml(plyconv_xml_opts &x, int field, const char *arg) {
    switch (field) {
        case XF_PATH:
            x.append_path = arg;
            break;
        case XF_TMPL:
            x.append_tmpl = arg;
            break;
        case XF_EVS:
            x.evs_path = arg;
            break;
        case XF_TMPL_TYPE:
            x.append_tmpl_type++;
            break;
        case XF_EXT:
            x.prepend_ext = arg;
            break;
        case XF_WAV:
            x.wav_path = arg;
            break;
        case XF_LIVE:
            x.live_path = arg;
            break;
    }
}

// The text setting an option of one argument names, null for an id that is none.
text4k plyconv_ctx::*text_field(int id) {
    switch (id) {
        case OPT_SRC:
            return &plyconv_ctx::src;
        case OPT_DST:
            return &plyconv_ctx::dst;
        case OPT_ERROR:
            return &plyconv_ctx::error;
        case OPT_LS_LAYERS:
            return &plyconv_ctx::landscape_layers_map;
        case OPT_LS_TYPES:
            return &plyconv_ctx::landscape_types_map;
        case OPT_CHYRO_ASPECT:
            return &plyconv_ctx::chyro_aspect;
        case OPT_CHYRO_CAT2TYPE:
            return &plyconv_ctx::chyro_category2type;
        case OPT_CHYRO_APPEND_PATH:
            return &plyconv_ctx::chyro_append_path;
        case OPT_CHYRO_APPEND_TMPL:
            return &plyconv_ctx::chyro_append_tmpl;
        case OPT_CHYRO_DTMF:
            return &plyconv_ctx::chyro_dtmf_offset;
        case OPT_CHYRO_NEWFIELD:
            return &plyconv_ctx::chyro_newfield_sep;
        case OPT_FILTER_KEYWORD:
            return &plyconv_ctx::filter_keyword;
        case OPT_ADONIS_TC_MIN:
            return &plyconv_ctx::adonis_gxf_tc_min;
        case OPT_ADONIS_TC_MAX:
            return &plyconv_ctx::adonis_gxf_tc_max;
        case OPT_ADONIS_DUR_MAX:
            return &plyconv_ctx::adonis_gxf_dur_max;
        default:
            return nullptr;
    }
}

int apply(plyconv_ctx *c, int id, const char *arg) {
    if (id >= OPT_DAY_BASE) {
        c->filter_days |= id - OPT_DAY_BASE;
        return 0;
    }
    if (id >= OPT_FLAG_BASE) {
        c->reader_flags |= id - OPT_FLAG_BASE;
        return 0;
    }
    if (id > OPT_TYPE && id <= OPT_TYPE + PLYCONV_ADONIS) {
        c->input_type = id - OPT_TYPE;
        return 0;
    }
    if (id >= OPT_SGT_BASE && id <= OPT_SGT_BASE + XF_LIVE) {
        apply_xml(c->sgt, id - OPT_SGT_BASE, arg);
        return 0;
    }
    if (id >= OPT_ADONIS_BASE && id <= OPT_ADONIS_BASE + XF_LIVE) {
        apply_xml(c->adonis, id - OPT_ADONIS_BASE, arg);
        return 0;
    }
    text4k plyconv_ctx::*field = text_field(id);
    if (!field) return -1;
    c->*field = arg;
    return 0;
}

}  // namespace

void plyconv_usage() {
    fprintf(stderr,
            "%s\n"
            "Usage:\n"
            "    %s [args] [options files]\n"
            "Where args:\n"
            "    --src=<PATH>                  Watched folder of incoming schedules\n"
            "    --dst=<PATH>                  Folder of the playlists written\n"
            "    --error=<PATH>                Folder of the schedules that failed\n"
            "    --chyro | --landscape | --beinsports_epg | --abcvs | --abcvs2 | --sgt | --adonis\n"
            "                                  Format of the incoming schedules\n"
            "    --landscape-types-map=<PATH>  Landscape types map\n"
            "    --landscape-layers-map=<PATH> Landscape layers map\n"
            "    --playlist-filter-keyword=<STR> Take only names holding this text\n"
            "    --demonize                    Become daemon on executing\n"
            "    --log-file-name=<STR>\n"
            "    --log-rotate-interval=<INT>\n"
            "    -h, --help                    Show this help and usage\n",
            PLYCONV_BANNER, PLYCONV_PROGRAM);
}

int plyconv_opts_parse(plyconv_ctx *c, int argc, char **argv) {
    return svc_opts_parse(
        c->base, PLYCONV_PROGRAM, table(),
        [c](int id, const char *arg) { return apply(c, id, arg); }, plyconv_usage, argc, argv);
}
