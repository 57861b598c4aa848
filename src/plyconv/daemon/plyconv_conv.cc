// One schedule file into one playlist file: the per-format reader set-up and the output frame.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>

#include "abcvs.h"
#include "abcvs2.h"
#include "adonis.h"
#include "chyro.h"
#include "epg.h"
#include "landscape.h"
#include "log.h"
#include "mivrabox_lib.h"
#include "plyconv.h"
#include "reader.h"
#include "sgt.h"

namespace {

// One conversion: the output stays a hidden temporary until it is committed whole, so that a
// drop folder never takes in a half-written playlist.
struct plyconv_output {
    plyconv_ctx *ctx = nullptr;
    const char *name = nullptr;
    std::string in_path;
    std::string out_path;
    bool open = false;
    int count = 0;
    reader_output out;
};

template <const char *Prefix>
void log_hook(const char *fmt, va_list ap) {
    char buf[1024];
    vsnprintf(buf, sizeof buf, fmt, ap);
    log_msg(LOG_INFO, "%s: %s", Prefix, buf);
}
constexpr char CHYRO[] = "CHYRO", LANDSCAPE[] = "LANDSCAPE", ABCVS[] = "ABCVS", SGT[] = "SGT";

// Opens the output under the output folder; names that would leave it are refused.
int output_open(plyconv_output *o, const std::string &file_name) {
    if (o->open) return 0;
    int r = path_join(o->out_path, o->ctx->dst.c_str(), file_name);
    if (r < 0) {
        log_msg(LOG_ERROR, "%s: refused output name [%s]", "output_open", file_name.c_str());
        return r;
    }
    r = reader_output_open(o->out, o->out_path.c_str());
    if (r < 0) {
        log_msg(LOG_ERROR, "%s: open(%s) failed, errno=%d (%s)", "output_open", o->out_path.c_str(),
                r, strerror(-r));
        return r;
    }
    o->open = true;
    return 0;
}

std::string day_name(const char *fmt, time_t day, const char *suffix = "") {
    struct tm tm;
    localtime_r(&day, &tm);
    char buf[64];
    strftime(buf, sizeof buf, fmt, &tm);
    return std::string(buf) + suffix + ".ply";
}

// Last six characters of a name reported by the reader, the whole of a shorter one.
std::string last6(const char *s) {
    if (!s) return "";
    size_t n = strlen(s);
    return n > 6 ? std::string(s + n - 6) : std::string(s);
}

// The input name without its extension, then ".ply".
std::string stem_ply(const char *name) {
    std::string s(name);
    size_t dot = s.rfind('.');
    if (dot != std::string::npos) s.erase(dot);
    return s + ".ply";
}

void write_event(plyconv_output *o, mivrabox_event *ev) {
    if (!o->open) return;
    reader_output_event(o->out, ev);
    o->count++;
}

// XML formats: a schedule that never told its day still gets an output named after the input.
int xml_write_event(mivrabox_event *ev, void *user) {
    auto *o = static_cast<plyconv_output *>(user);
    if (!o->open) output_open(o, std::string(o->name) + ".ply");
    write_event(o, ev);
    return 0;
}

template <class H>
int line_write_event(H *, mivrabox_event *ev, void *user) {
    write_event(static_cast<plyconv_output *>(user), ev);
    return 0;
}

int chyro_open_day(time_t day, void *user) {
    return output_open(static_cast<plyconv_output *>(user), day_name("chyro_%Y%m%d", day));
}

int epg_open_day(time_t day, void *user) {
    return output_open(static_cast<plyconv_output *>(user), day_name("beinsports_epg_%Y%m%d", day));
}

int sgt_open_day(time_t day, void *user, const char *name, const char *) {
    return output_open(static_cast<plyconv_output *>(user),
                       day_name("sgt_%Y%m%d", day, last6(name).c_str()));
}

int adonis_open_day(time_t day, void *user, const char *base, const char *) {
    return output_open(static_cast<plyconv_output *>(user),
                       day_name("adonis_%Y%m%d", day, last6(base).c_str()));
}

// The frame every format shares: log, record, run the reader, keep or drop the output.
template <class Run>
int conv_frame(plyconv_ctx *c, const char *name, const char *func, Run run) {
    log_msg(LOG_INFO, "%s: [%s]", func, name);
    plyconv_output o;
    o.ctx = c;
    o.name = name;
    int r = path_join(o.in_path, c->src.c_str(), name);
    if (r == 0) r = run(o);
    if (o.open) {
        if (r >= 0 && o.count > 0) {
            r = reader_output_close(o.out);
        } else {
            o.out.file.abort();
            if (r >= 0) r = -2;
        }
    } else if (r >= 0) {
        r = -2;
    }
    log_msg(LOG_INFO, "%s: [%s]=>[%s], r=%d", func, name, o.out_path.c_str(), r);
    return r;
}

}  // namespace

int ply_conv_chyro(plyconv_ctx *c, const char *name) {
    chyro_set_log_cb(log_hook<CHYRO>);
    return conv_frame(c, name, __func__, [c](plyconv_output &o) {
        chyro_params *p = nullptr;
        int r = chyro_create(&p, c->reader_flags);
        if (r < 0) return r;
        if (!c->chyro_aspect.empty()) chyro_set_param(p, READER_P_ASPECT, c->chyro_aspect.c_str());
        chyro_set_param(p, READER_P_APPEND_PATH, c->chyro_append_path.c_str());
        chyro_set_param(p, READER_P_APPEND_TMPL, c->chyro_append_tmpl.c_str());
        chyro_set_param(p, READER_P_CATEGORY2TYPE, c->chyro_category2type.c_str());
        chyro_set_param(p, READER_P_NEWFIELD_SEP, c->chyro_newfield_sep.c_str());
        if (!c->chyro_dtmf_offset.empty())
            chyro_set_param(p, READER_P_DTMF_OFFSET, opts_int(c->chyro_dtmf_offset.c_str()));
        r = chyro_parse(p, o.in_path.c_str(), &o, xml_write_event, chyro_open_day);
        chyro_destroy(&p);
        return r;
    });
}

int ply_conv_landscape(plyconv_ctx *c, const char *name) {
    landscape_set_log_cb(log_hook<LANDSCAPE>);
    return conv_frame(c, name, __func__, [c, name](plyconv_output &o) {
        landscape_maps *h = nullptr;
        int r = landscape_init(&h, c->landscape_types_map.c_str(), c->landscape_layers_map.c_str());
        if (r < 0) return r;
        r = output_open(&o, stem_ply(name));
        if (r == 0) {
            // The first event starts at a fixed time: the playlist is the whole day.
            auto cb = [](landscape_maps *, mivrabox_event *ev, void *user) {
                auto *out = static_cast<plyconv_output *>(user);
                if (out->count == 0) ev->start_mode = 'F';
                write_event(out, ev);
                return 0;
            };
            r = landscape_parse(h, o.in_path.c_str(), nullptr, &o, cb);
        }
        landscape_destroy(&h);
        return r;
    });
}

int ply_conv_abcvs(plyconv_ctx *c, const char *name) {
    abcvs_set_log_cb(log_hook<ABCVS>);
    return conv_frame(c, name, __func__, [name](plyconv_output &o) {
        abcvs_handle *h = nullptr;
        int r = abcvs_create(&h);
        if (r < 0) return r;
        r = output_open(&o, stem_ply(name));
        if (r == 0)
            r = abcvs_parse(h, o.in_path.c_str(), nullptr, &o, line_write_event<abcvs_handle>);
        abcvs_destroy(&h);
        return r;
    });
}

int ply_conv_abcvs2(plyconv_ctx *c, const char *name) {
    abcvs2_set_log_cb(log_hook<ABCVS>);
    return conv_frame(c, name, __func__, [name](plyconv_output &o) {
        abcvs2_handle *h = nullptr;
        int r = abcvs2_create(&h);
        if (r < 0) return r;
        r = output_open(&o, stem_ply(name));
        if (r == 0)
            r = abcvs2_parse(h, o.in_path.c_str(), nullptr, &o, line_write_event<abcvs2_handle>);
        abcvs2_destroy(&h);
        return r;
    });
}

int ply_conv_beinsports_epg(plyconv_ctx *c, const char *name) {
    return conv_frame(c, name, __func__, [](plyconv_output &o) {
        beinsports_epg_init();
        int r = beinsports_epg_parse(o.in_path.c_str(), nullptr, &o, xml_write_event, epg_open_day);
        beinsports_epg_cleanup();
        return r;
    });
}

namespace {

// SGT and Adonis take the same settings; only the module differs.
template <class P, class Create, class SetText, class SetFlag>
int xml_setup(P **p, const plyconv_ctx *c, const plyconv_xml_opts &x, Create create, SetText set,
              SetFlag set_flag) {
    int r = create(p, c->reader_flags);
    if (r < 0) return r;
    set(*p, READER_P_PREPEND_EXT, x.prepend_ext.empty() ? "#" : x.prepend_ext.c_str());
    set(*p, READER_P_APPEND_PATH, x.append_path.c_str());
    set(*p, READER_P_APPEND_TMPL, x.append_tmpl.c_str());
    set(*p, READER_P_EVS_PATH, x.evs_path.c_str());
    set(*p, READER_P_WAV_PATH, x.wav_path.c_str());
    set(*p, READER_P_LIVE_PATH, x.live_path.c_str());
    if (x.append_tmpl_type) set_flag(*p, READER_F_TMPL_TYPE);
    return 0;
}

}  // namespace

int ply_conv_sgt(plyconv_ctx *c, const char *name) {
    sgt_set_log_cb(log_hook<SGT>);
    return conv_frame(c, name, __func__, [c](plyconv_output &o) {
        sgt_params *p = nullptr;
        int r = xml_setup(
            &p, c, c->sgt, sgt_create,
            [](sgt_params *q, int id, const char *t) { return sgt_set_param(q, id, t); },
            sgt_set_flag);
        if (r < 0) return r;
        log_msg(LOG_INFO, "%s: sgt_append_wav_path=[%s]", "ply_conv_sgt", c->sgt.wav_path.c_str());
        log_msg(LOG_INFO, "%s: sgt_evs_path=[%s]", "ply_conv_sgt", c->sgt.evs_path.c_str());
        r = sgt_parse(p, o.in_path.c_str(), &o, xml_write_event, sgt_open_day);
        sgt_destroy(&p);
        return r;
    });
}

int ply_conv_adonis(plyconv_ctx *c, const char *name) {
    adonis_set_log_cb(log_hook<SGT>);
    return conv_frame(c, name, __func__, [c](plyconv_output &o) {
        adonis_params *p = nullptr;
        int r = xml_setup(
            &p, c, c->adonis, adonis_create,
            [](adonis_params *q, int id, const char *t) { return adonis_set_param(q, id, t); },
            adonis_set_flag);
        if (r < 0) return r;
        adonis_set_param(p, READER_P_GXF_TC_MIN, c->adonis_gxf_tc_min.c_str());
        adonis_set_param(p, READER_P_GXF_TC_MAX, c->adonis_gxf_tc_max.c_str());
        adonis_set_param(p, READER_P_GXF_DUR_MAX, c->adonis_gxf_dur_max.c_str());
        log_msg(LOG_INFO, "%s: adonis_append_wav_path=[%s]", "ply_conv_adonis",
                c->adonis.wav_path.c_str());
        log_msg(LOG_INFO, "%s: adonis_evs_path=[%s]", "ply_conv_adonis",
                c->adonis.evs_path.c_str());
        r = adonis_parse(p, o.in_path.c_str(), &o, xml_write_event, adonis_open_day);
        adonis_destroy(&p);
        return r;
    });
}

namespace {

// 0 when the source is a regular file within the readers' bound, else the refusal.
int source_refused(const char *path) {
    unique_fd fd;
    return reader_source_open(path, fd);
}

}  // namespace

const plyconv_reader_def plyconv_readers[] = {
    {"chyro", PLYCONV_CHYRO, ply_conv_chyro},
    {"landscape", PLYCONV_LANDSCAPE, ply_conv_landscape},
    {"beinsports_epg", PLYCONV_BEINSPORTS_EPG, ply_conv_beinsports_epg},
    {"abcvs", PLYCONV_ABCVS, ply_conv_abcvs},
    {"abcvs2", PLYCONV_ABCVS2, ply_conv_abcvs2},
    {"sgt", PLYCONV_SGT, ply_conv_sgt},
    {"adonis", PLYCONV_ADONIS, ply_conv_adonis},
};
const size_t plyconv_reader_count = std::size(plyconv_readers);

const plyconv_reader_def *plyconv_reader_find(int input) {
    for (const plyconv_reader_def &d : plyconv_readers)
        if (d.input == input) return &d;
    return nullptr;
}

int ply_conv(plyconv_ctx *c, const char *name) {
    log_msg(LOG_INFO, "%s: [%s]", "ply_conv", name);
    std::string src;
    // A name that cannot stand as one element of the source folder is no file of ours.
    if (path_join(src, c->src.c_str(), name) < 0) return -22;
    int r;
    if (mivrabox_ply_name_filter(name, 0, c->filter_keyword.c_str(), c->filter_days) != 0) {
        log_msg(LOG_ERROR, "%s: failed to validate rule1 of playlist name [%s]", "ply_conv", name);
        r = -125;
    } else if (int bad = plyconv_reader_find(c->input_type) ? source_refused(src.c_str()) : 0) {
        // A FIFO would block the daemon for good and /dev/zero never end: neither is opened.
        log_msg(LOG_ERROR, "%s: refused source [%s]: %s", "ply_conv", name,
                reader_source_error(bad));
        r = bad;
    } else {
        // Without a format chosen a file is taken away unread.
        const plyconv_reader_def *rd = plyconv_reader_find(c->input_type);
        r = rd ? rd->conv(c, name) : 0;
        if (r == 0) {
            unlink(src.c_str());
            return 0;
        }
    }
    std::string dst;
    if (path_join(dst, c->error.c_str(), name) < 0) return -22;
    unlink(dst.c_str());
    if (rename(src.c_str(), dst.c_str()) != 0) {
        r = -errno;
        log_msg(LOG_ERROR, "%s: rename(%s, %s)=%d (%s)", "ply_conv", src.c_str(), dst.c_str(), r,
                strerror(-r));
        return r;
    }
    return 0;
}
