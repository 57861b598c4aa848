// MivraBoxPlyConv: watches a source folder for schedules of one outside format and turns each
// settled file into a playlist file in the output folder; failures go to the error folder.
#pragma once

#include <atomic>

#include "svc.h"
#include "text.h"

#define PLYCONV_PROGRAM "MivraBoxPlyConv"
#define PLYCONV_VERSION "1.0"
#define PLYCONV_BANNER PLYCONV_PROGRAM "-" PLYCONV_VERSION

enum plyconv_input {
    PLYCONV_NONE = 0,
    PLYCONV_CHYRO = 1,
    PLYCONV_LANDSCAPE = 2,
    PLYCONV_BEINSPORTS_EPG = 3,
    PLYCONV_ABCVS = 4,
    PLYCONV_ABCVS2 = 5,
    PLYCONV_SGT = 6,
    PLYCONV_ADONIS = 7,
};

// Reader settings shared by the SGT and Adonis conversions.
struct plyconv_xml_opts {
    text4k append_path, append_tmpl, evs_path, prepend_ext, wav_path, live_path;
    int append_tmpl_type = 0;
};

struct plyconv_ctx {
    svc_base_opts base;
    int input_type = PLYCONV_NONE;
    text4k src, dst, error;
    text4k landscape_layers_map, landscape_types_map;
    int reader_flags = 0;
    text4k chyro_aspect, chyro_category2type, chyro_append_path, chyro_append_tmpl;
    text4k chyro_dtmf_offset, chyro_newfield_sep;
    text4k filter_keyword;
    int filter_days = 0;
    plyconv_xml_opts sgt, adonis;
    text4k adonis_gxf_tc_min, adonis_gxf_tc_max, adonis_gxf_dur_max;
    std::atomic<int> *stop = nullptr;
};

void plyconv_usage();
// 0, or -1 after help or a bad option (usage printed).
int plyconv_opts_parse(plyconv_ctx *c, int argc, char **argv);

// Watches the source folder until *stop is set; 0 or a negated errno.
int watch_run(plyconv_ctx *c);
// Converts one file of the source folder, then deletes it or moves it to the error folder.
int ply_conv(plyconv_ctx *c, const char *name);

// The reader registry: each format's option name, its input type and the conversion that runs
// its reader.
struct plyconv_reader_def {
    const char *name;
    int input;
    int (*conv)(plyconv_ctx *c, const char *name);
};
extern const plyconv_reader_def plyconv_readers[];
extern const size_t plyconv_reader_count;
// The entry of an input type, null for none.
const plyconv_reader_def *plyconv_reader_find(int input);

int ply_conv_chyro(plyconv_ctx *c, const char *name);
int ply_conv_landscape(plyconv_ctx *c, const char *name);
int ply_conv_beinsports_epg(plyconv_ctx *c, const char *name);
int ply_conv_abcvs(plyconv_ctx *c, const char *name);
int ply_conv_abcvs2(plyconv_ctx *c, const char *name);
int ply_conv_sgt(plyconv_ctx *c, const char *name);
int ply_conv_adonis(plyconv_ctx *c, const char *name);
