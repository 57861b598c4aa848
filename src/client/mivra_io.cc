// Playout engine calls (MivraIO.) and the audio map helpers.
#include "mivra_io.h"
#include "mivra_call.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char *opt(const char *s) {
    return s ? s : "";
}

}  // namespace

int mivra_play(const char *url) {
    return mivra_method_no_arg(url, "MivraIO.Play");
}
int mivra_pause(const char *url) {
    return mivra_method_no_arg(url, "MivraIO.Pause");
}
int mivra_stop(const char *url) {
    return mivra_method_no_arg(url, "MivraIO.Stop");
}
int mivra_cue_play(const char *url) {
    return mivra_method_no_arg(url, "MivraIO.CuePlay");
}
int mivra_record(const char *url) {
    return mivra_method_no_arg(url, "MivraIO.Record");
}
int mivra_playlist_clear(const char *url) {
    return mivra_method_no_arg(url, "MivraIO.PlaylistClear");
}

int mivra_play_vari(const char *url, double speed) {
    return mivra_command(__func__, url, "MivraIO.Play", "(d)", speed);
}

int mivra_cue_play_with_data(const char *url, int data) {
    return mivra_command(__func__, url, "MivraIO.CuePlayWithData", "(i)", data);
}

int mivra_cue_record_with_data(const char *url, const char *name, int a, int b, const char *extra) {
    if (extra)
        return mivra_command(__func__, url, "MivraIO.CueRecordWithData", "(siis)", opt(name), a, b,
                             extra);
    return mivra_command(__func__, url, "MivraIO.CueRecordWithData", "(sii)", opt(name), a, b);
}

namespace {

// CueRecord and RecordNext: "(ss)", or "(s)" without the second string.
int record_named(const char *fn, const char *url, const char *method, const char *name,
                 const char *extra) {
    if (extra) return mivra_command(fn, url, method, "(ss)", opt(name), extra);
    return mivra_command(fn, url, method, "(s)", opt(name));
}

}  // namespace

int mivra_cue_record(const char *url, const char *name, const char *extra) {
    return record_named(__func__, url, "MivraIO.CueRecord", name, extra);
}

int mivra_record_next(const char *url, const char *name, const char *extra) {
    return record_named(__func__, url, "MivraIO.RecordNext", name, extra);
}

int mivra_record_pause(const char *url, int pause) {
    return mivra_command(__func__, url, "MivraIO.RecordPause", "(i)", pause);
}

int mivra_playlist_append(const char *url, const char *name, int in, int dur, const char *s1,
                          const char *s2, const char *s3) {
    return mivra_command(__func__, url, "MivraIO.PlaylistAppend", "(siisss)", opt(name), in, dur,
                         opt(s1), opt(s2), opt(s3));
}

int mivra_playlist_insert(const char *url, int position, const char *name, int in, int dur,
                          const char *s1, const char *s2, const char *s3) {
    return mivra_command(__func__, url, "MivraIO.PlaylistInsert", "(isiisss)", position, opt(name),
                         in, dur, opt(s1), opt(s2), opt(s3));
}

namespace {

// The clip struct of PlaylistInsert2 and PlaylistAppend2: exactly these seven members.
xr_value clip_struct(xmlrpc_env *env, const mivra_playlist_clip *c) {
    return xr_value(xmlrpc_build_value(
        env, "{s:s,s:i,s:i,s:s,s:s,s:s,s:s}", "name", c->name.c_str(), "in", c->in, "dur", c->dur,
        "overlay_name", c->overlay_name.c_str(), "overlay_pos", c->overlay_pos.c_str(), "cookie",
        c->cookie.c_str(), "amap", c->amap.c_str()));
}

}  // namespace

int mivra_playlist_insert2(const char *url, int position, const mivra_playlist_clip *clip) {
    static const char method[] = "MivraIO.PlaylistInsert2";
    if (!clip) return -22;
    xr_env env;
    xr_value s = clip_struct(&env, clip);
    if (env.fault()) return mivra_build_failed(__func__, url, method, env);
    return mivra_command(__func__, url, method, "(iS)", position, s.get());
}

int mivra_playlist_append2(const char *url, const mivra_playlist_clip *clip) {
    static const char method[] = "MivraIO.PlaylistAppend2";
    if (!clip) return -22;
    xr_env env;
    xr_value s = clip_struct(&env, clip);
    if (env.fault()) return mivra_build_failed(__func__, url, method, env);
    return mivra_command(__func__, url, method, "(S)", s.get());
}

int mivra_playlist_insert_template(const char *url, int position, const char *name, int a, int b,
                                   int value_count, const char *const *values, int var_count,
                                   const char *const *var_names, const char *const *var_values,
                                   const char *extra) {
    static const char method[] = "MivraIO.PlaylistInsertTemplate";
    xr_env env;
    xr_value array, vars;
    mivra_template_args(&env, value_count, values, var_count, var_names, var_values, &array, &vars);
    if (env.fault()) return mivra_build_failed(__func__, url, method, env);
    return mivra_command(__func__, url, method, "(isiiASs)", position, opt(name), a, b, array.get(),
                         vars.get(), opt(extra));
}

int mivra_playlist_remove(const char *url, int index) {
    return mivra_command(__func__, url, "MivraIO.PlaylistRemove", "(i)", index);
}

int mivra_playlist_repeat_clip(const char *url, int a, int b) {
    return mivra_command(__func__, url, "MivraIO.PlaylistRepeatClip", "(ii)", a, b);
}

int mivra_playlist_resize_clip(const char *url, int a, int b, int c) {
    return mivra_command(__func__, url, "MivraIO.PlaylistResizeClip", "(iii)", a, b, c);
}

int mivra_playlist_move(const char *url, int a, int b) {
    return mivra_command(__func__, url, "MivraIO.PlaylistMove", "(ii)", a, b);
}

int mivra_playlist_loop(const char *url, int on) {
    return mivra_command(__func__, url, "MivraIO.PlaylistLoop", "(i)", on);
}

int mivra_playlist_seek_to(const char *url, int a, int b) {
    return mivra_command(__func__, url, "MivraIO.PlaylistSeekTo", "(ii)", a, b);
}

int mivra_playlist_seek(const char *url, int a) {
    return mivra_command(__func__, url, "MivraIO.PlaylistSeek", "(i)", a);
}

int mivra_playlist_step(const char *url, int a) {
    return mivra_command(__func__, url, "MivraIO.PlaylistStep", "(i)", a);
}

int mivra_io_settings_save(const char *url) {
    return mivra_command(__func__, url, "MivraIO.SettingsSave", "()");
}

int mivra_io_settings_set_mode(const char *url, int a, int b) {
    return mivra_command(__func__, url, "MivraIO.SettingsSetMode", "(ii)", a, b);
}

int mivra_io_settings_set_mode2(const char *url, const char *a, const char *b) {
    return mivra_command(__func__, url, "MivraIO.SettingsSetMode", "(ss)", opt(a), opt(b));
}

int mivra_io_settings_set_value(const char *url, const char *name, const char *value) {
    return mivra_command(__func__, url, "MivraIO.SettingsSetValue", "(ss)", opt(name), opt(value));
}

int mivra_io_basename_item(const char *url, const char *name, text4k *value, text4k *object,
                           int64_t *shm_id) {
    return mivra_basename_item(url, "MivraIO.LibBasenameItem", name, nullptr, value, object,
                               shm_id);
}

int mivra_getstatus(const char *url, mivra_io_status *st) {
    static const char method[] = "MivraIO.GetStatus";
    if (!st) return -22;
    *st = mivra_io_status{};
    xr_value reply = mivra_call(__func__, url, method, "()");
    if (!reply) return RESULT_NO_ANSWER;
    int result = 0;
    if (mivra_decode_result(__func__, reply.get(), &result, MIVRA_HERE) < 0)
        return RESULT_NO_ANSWER;
    // The engine's own failure needs no status members; it is passed on silently.
    if (result < 0) return result;
    xr_env env;
    xr_str name, cookie;
    xr_decompose(&env, reply.get(), "{s:i,s:s,s:s,s:i,s:i,s:i,s:i,s:i,s:i,s:i,*}", "status",
                 &st->status, "name", &name, "cookie", &cookie, "loop", &st->loop, "clip_length",
                 &st->clip_length, "clip_in", &st->clip_in, "clip_dur", &st->clip_dur, "clip_pos",
                 &st->clip_pos, "clip_start", &st->clip_start, "clip_idx", &st->clip_idx);
    if (!env.fault())
        xr_decompose(&env, reply.get(), "{s:i,s:i,s:i,s:i,s:d,s:i,s:i,s:i,*}", "playlist_gen",
                     &st->playlist_gen, "playlist_dur", &st->playlist_dur, "playlist_pos",
                     &st->playlist_pos, "playlist_count", &st->playlist_count, "playlist_speed",
                     &st->playlist_speed, "rec_paused", &st->rec_paused, "tc_frames",
                     &st->tc_frames, "tc_src", &st->tc_src);
    if (env.fault()) {
        mivra_err("%s: decompose value failed: %s (%d) [%s:%d]\n", __func__, env.msg(), env.code(),
                  MIVRA_HERE);
        return RESULT_NO_ANSWER;
    }
    st->name = name.get();
    st->cookie = cookie.get();
    return result;
}

int mivra_playlist_items_iters(xmlrpc_env *env, xmlrpc_value *item, void *output, int n, int size) {
    auto *items = static_cast<std::vector<mivra_playlist_item> *>(output);
    if (n == 0) items->reserve(size);
    mivra_playlist_item it;
    xr_str name, cookie;
    xr_decompose(env, item, "{s:s,s:s,s:i,s:i,s:i,s:i,s:i,s:i,s:i,*}", "name", &name, "cookie",
                 &cookie, "length", &it.length, "in", &it.in, "dur", &it.dur, "pos", &it.pos,
                 "start", &it.start, "idx", &it.idx, "repeat", &it.repeat);
    if (env->fault_occurred) {
        mivra_err("%s: xmlrpc_array_read_item failed: %s (%d)", __func__, env->fault_string,
                  env->fault_code);
        return RESULT_NO_ANSWER;
    }
    it.name = name.get();
    it.cookie = cookie.get();
    items->push_back(std::move(it));
    return 0;
}

int mivra_playlist_items(const char *url, int *gen, int *pos, int *idx,
                         std::vector<mivra_playlist_item> *items) {
    if (!items) return -22;
    items->clear();
    xr_value reply = mivra_call(__func__, url, "MivraIO.PlaylistItems", "()");
    if (!reply) return RESULT_NO_ANSWER;
    int result = 0;
    if (mivra_decode_result(__func__, reply.get(), &result, MIVRA_HERE) < 0)
        return RESULT_NO_ANSWER;
    // A failing engine must not look like an empty playlist.
    if (result < 0) return result;
    xr_env env;
    int g = 0, p = 0, i = 0;
    xmlrpc_decompose_value(&env, reply.get(), "{s:i,s:i,s:i,*}", "gen", &g, "pos", &p, "idx", &i);
    if (env.fault()) {
        mivra_err("%s: decompose value failed: %s (%d)", __func__, env.msg(), env.code());
        return RESULT_NO_ANSWER;
    }
    if (gen) *gen = g;
    if (pos) *pos = p;
    if (idx) *idx = i;
    return parse_custom_list(__func__, &env, reply.get(), "list", mivra_playlist_items_iters,
                             items);
}

namespace {

// Settings the engine reports by name, in the order they are looked up; numbers are parsed.
struct settings_field {
    const char *name;
    text4k mivra_io_settings::*text;
    int mivra_io_settings::*number;
};

const settings_field settings_fields[] = {
    {"MivraIO", &mivra_io_settings::MivraIO, nullptr},
    {"mode", &mivra_io_settings::mode, nullptr},
    {"enc", &mivra_io_settings::enc, nullptr},
    {"playback_consumer_noscale", &mivra_io_settings::playback_consumer_noscale, nullptr},
    {"playback_consumer_buffer", &mivra_io_settings::playback_consumer_buffer, nullptr},
    {"playback_consumer_prefill", &mivra_io_settings::playback_consumer_prefill, nullptr},
    {"playback_consumer_preroll", &mivra_io_settings::playback_consumer_preroll, nullptr},
    {"record_channels_conf", nullptr, &mivra_io_settings::record_channels_conf},
    {"record_producer_buffer", &mivra_io_settings::record_producer_buffer, nullptr},
    {"record_channels_map", &mivra_io_settings::record_channels_map, nullptr},
    {"playback_osd", &mivra_io_settings::playback_osd, nullptr},
    {"keyer", nullptr, &mivra_io_settings::keyer},
    {"record_timecode_src", &mivra_io_settings::record_timecode_src, nullptr},
    {"playback_timecode_src", &mivra_io_settings::playback_timecode_src, nullptr},
    {"record_bitdepth", &mivra_io_settings::record_bitdepth, nullptr},
};

void settings_apply(mivra_io_settings *s, const char *name, const char *value) {
    for (const auto &f : settings_fields) {
        if (strcmp(f.name, name) != 0) continue;
        if (f.text)
            s->*f.text = value;
        else
            s->*f.number = parse_int(value);
        return;
    }
}

}  // namespace

int mivra_io_settings_get(const char *url, mivra_io_settings *settings) {
    if (!settings) return -22;
    xr_value reply;
    int result = mivra_record_call(__func__, url, "MivraIO.SettingsGet", &reply, "()");
    if (result < 0) return result;
    xr_value list = mivra_record_list(__func__, reply.get());
    if (!list) return RESULT_NO_ANSWER;
    int size = mivra_array_size(__func__, list.get());
    if (size < 0) return RESULT_NO_ANSWER;
    for (int i = 0; i < size; i++) {
        xr_value item = mivra_array_item(__func__, list.get(), i);
        if (!item) return RESULT_NO_ANSWER;
        xr_env env;
        xr_str name, value;
        xr_decompose(&env, item.get(), "{s:s,s:s,*}", "name", &name, "value", &value);
        // An undecodable item is a failed reply, not the engine's success.
        if (env.fault()) {
            mivra_report_decompose(__func__, env);
            return RESULT_NO_ANSWER;
        }
        settings_apply(settings, name.get(), value.get());
    }
    return 0;
}

namespace {

// One mode of SettingsGetModes with its sub-modes and osds; -14 after the matching text.
int decode_mode(const char *fn, xmlrpc_value *item, mivra_io_mode *mode) {
    xr_env env;
    xr_str desc, name;
    xmlrpc_value *sub_raw = nullptr, *osd_raw = nullptr;
    xr_decompose(&env, item, "{s:i,s:s,s:s,s:A,s:A,*}", "idx", &mode->idx, "desc", &desc, "name",
                 &name, "list", &sub_raw, "osds", &osd_raw);
    if (env.fault()) {
        mivra_report_decompose(fn, env);
        return RESULT_NO_ANSWER;
    }
    xr_value subs(sub_raw), osds(osd_raw);
    mode->desc = desc.get();
    mode->name = name.get();
    int nsub = mivra_array_size(fn, subs.get());
    if (nsub < 0) return RESULT_NO_ANSWER;
    mode->submodes.reserve(nsub);
    for (int i = 0; i < nsub; i++) {
        xr_value sub = mivra_array_item(fn, subs.get(), i);
        if (!sub) return RESULT_NO_ANSWER;
        mivra_io_submode m;
        xr_str sdesc, sname;
        xr_decompose(&env, sub.get(), "{s:i,s:s,s:s,*}", "idx", &m.idx, "desc", &sdesc, "name",
                     &sname);
        if (env.fault()) {
            mivra_report_decompose(fn, env);
            return RESULT_NO_ANSWER;
        }
        m.desc = sdesc.get();
        m.name = sname.get();
        mode->submodes.push_back(std::move(m));
    }
    int nosd = mivra_array_size(fn, osds.get());
    if (nosd < 0) return RESULT_NO_ANSWER;
    mode->osds.reserve(nosd);
    for (int i = 0; i < nosd; i++) {
        xr_value osd = mivra_array_item(fn, osds.get(), i);
        if (!osd) return RESULT_NO_ANSWER;
        xr_str s;
        xr_decompose(&env, osd.get(), "(s)", &s);
        if (env.fault()) {
            mivra_report_decompose(fn, env);
            return RESULT_NO_ANSWER;
        }
        mode->osds.emplace_back(s.get());
    }
    return 0;
}

}  // namespace

int mivra_io_settings_get_modes(const char *url, std::vector<mivra_io_mode> *modes) {
    if (!modes) return -22;
    modes->clear();
    xr_value reply;
    int result = mivra_record_call(__func__, url, "MivraIO.SettingsGetModes", &reply, "()");
    if (result < 0) return result;
    xr_value list = mivra_record_list(__func__, reply.get());
    if (!list) return RESULT_NO_ANSWER;
    int size = mivra_array_size(__func__, list.get());
    if (size < 0) return RESULT_NO_ANSWER;
    std::vector<mivra_io_mode> out;
    out.reserve(size);
    for (int i = 0; i < size; i++) {
        xr_value item = mivra_array_item(__func__, list.get(), i);
        if (!item) return RESULT_NO_ANSWER;
        mivra_io_mode mode;
        if (decode_mode(__func__, item.get(), &mode) < 0) return RESULT_NO_ANSWER;
        out.push_back(std::move(mode));
    }
    *modes = std::move(out);
    return int(modes->size());
}

namespace {

struct audio_conf {
    const char *name;
    const char *pattern;
};

const audio_conf audio_confs[] = {
    {"Mono (1)", "[%d]"},
    {"Stereo (2)", "[%d,%d]"},
    {"Dual mono (1 + 1)", "[%d][%d]"},
    {"Dual stereo (2 + 2)", "[%d,%d][%d,%d]"},
    {"Quad mono (1 + 1 + 1 + 1)", "[%d][%d][%d][%d]"},
    {"Quad stereo (2 + 2 + 2 + 2)", "[%d,%d][%d,%d][%d,%d][%d,%d]"},
    {"Octa mono (1 + .. + 1 = 8)", "[%d][%d][%d][%d][%d][%d][%d][%d]"},
    {"Octa (8)", "[%d,%d,%d,%d,%d,%d,%d,%d]"},
};
constexpr int audio_conf_count = int(sizeof audio_confs / sizeof audio_confs[0]);
const char unknown[] = "<unknown>";

}  // namespace

int mivra_audio_conf_count() {
    return audio_conf_count;
}

const char *mivra_audio_conf_name(int n) {
    return n >= 0 && n < audio_conf_count ? audio_confs[n].name : unknown;
}

const char *mivra_audio_map_format(int n) {
    return n >= 0 && n < audio_conf_count ? audio_confs[n].pattern : unknown;
}

int mivra_audio_map_digit(int position, const char *map) {
    if (!map || position < 0) return 0;
    // Stop at the terminator: a position past the text reads nothing beyond it.
    for (int i = 0; i < position; i++)
        if (!map[i]) return 0;
    char c = map[position];
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 0;
}

char *mivra_audio_map_print(char *buf, size_t size, int n, const char *map) {
    if (!buf || size == 0) return buf;
    if (n < 0 || n >= audio_conf_count) {
        str_copy(buf, size, unknown);
        return buf;
    }
    int d[8];
    for (int i = 0; i < 8; i++) d[i] = mivra_audio_map_digit(i, map) + 1;
        // The patterns are fixed data: each uses its first placeholders only.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-extra-args"
    snprintf(buf, size, audio_confs[n].pattern, d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7]);
#pragma GCC diagnostic pop
    return buf;
}
