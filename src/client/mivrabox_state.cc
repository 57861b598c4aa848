#include "mivrabox_state.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "xr.h"

namespace {

struct c_free {
    void operator()(const char *p) const { free(const_cast<char *>(p)); }
};
using heap_text = std::unique_ptr<const char, c_free>;

// Length of the valid UTF-8 sequence at s[i], 0 when it is not one (overlong forms,
// surrogates and code points past U+10FFFF included).
size_t utf8_seq(std::string_view s, size_t i) {
    auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    auto cont = [&](size_t k) { return k < s.size() && (b(k) & 0xC0) == 0x80; };
    unsigned char c = b(i);
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) return cont(i + 1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        if (!cont(i + 1) || !cont(i + 2)) return 0;
        if (c == 0xE0 && b(i + 1) < 0xA0) return 0;   // overlong
        if (c == 0xED && b(i + 1) >= 0xA0) return 0;  // surrogate
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (!cont(i + 1) || !cont(i + 2) || !cont(i + 3)) return 0;
        if (c == 0xF0 && b(i + 1) < 0x90) return 0;
        if (c == 0xF4 && b(i + 1) >= 0x90) return 0;
        return 4;
    }
    return 0;
}

// The text as xmlrpc-c takes it: up to its first NUL, stray bytes replaced by '?'.
const char *wire_text(const char *text, std::string &scratch) {
    std::string_view s(text);
    for (size_t i = 0; i < s.size();) {
        size_t n = utf8_seq(s, i);
        if (n) {
            i += n;
            continue;
        }
        scratch.assign(s);
        for (size_t k = i; k < scratch.size();) {
            size_t m = utf8_seq(scratch, k);
            if (m) {
                k += m;
            } else {
                scratch[k++] = '?';
            }
        }
        return scratch.c_str();
    }
    return text;
}

void report(const char *fn, const char *what, xr_env &env, int line) {
    fprintf(stderr, "%s: %s failed: %s (%d) [%s:%d]\n", fn, what, env.msg(), env.code(), __FILE__,
            line);
}

// An optional string member: missing (or of another type) leaves the field empty.
template <size_t N>
void read_optional(xmlrpc_value *st, const char *key, btext<N> &field, size_t max) {
    xr_env env;
    xmlrpc_value *v = nullptr;
    xmlrpc_struct_find_value(&env, st, key, &v);
    xr_value hold(v);
    if (env.fault() || !v) return;
    const char *s = nullptr;
    xmlrpc_read_string(&env, v, &s);
    heap_text text(s);
    if (env.fault() || !s) return;
    field = std::string_view(s).substr(0, std::min(max, std::string_view(s).size()));
}

}  // namespace

xmlrpc_value *mivrabox_state_compose(xmlrpc_env *env, const mivrabox_state *st) {
    if (!env || !st) return nullptr;
    xr_value er(xmlrpc_build_value(env, "(IIIII)", xmlrpc_int64(st->er[0]), xmlrpc_int64(st->er[1]),
                                   xmlrpc_int64(st->er[2]), xmlrpc_int64(st->er[3]),
                                   xmlrpc_int64(st->er[4])));
    if (env->fault_occurred) return nullptr;
    std::string s[10];
    return xmlrpc_build_value(
        env, "{s:i,s:I,s:I,s:s,s:A,s:s,s:s,s:i,s:i,s:i,s:i,s:i,s:s,s:s,s:s,s:s,s:s,s:s}",
        "f_running", st->f_running, "amend", xmlrpc_int64(st->amend), "count",
        xmlrpc_int64(st->count), "time", wire_text(st->time.c_str(), s[0]), "er", er.get(),
        "curr_remain", wire_text(st->curr_remain.c_str(), s[1]), "ply_remain",
        wire_text(st->ply_remain.c_str(), s[2]), "lib_queued_count", st->lib_queued_count,
        "lib_absent_count", st->lib_absent_count, "lib_present_count", st->lib_present_count,
        "ply_stat_flag_range", st->ply_stat_flag_range, "ply_stat_flag_subclip",
        st->ply_stat_flag_subclip, "absent_remain", wire_text(st->absent_remain.c_str(), s[3]),
        "last_playlist", wire_text(st->last_playlist.c_str(), s[4]), "type_C_remain",
        wire_text(st->type_C_remain.c_str(), s[5]), "type_L_remain",
        wire_text(st->type_L_remain.c_str(), s[6]), "ply_hash",
        wire_text(st->ply_hash.c_str(), s[7]), "fixed_time_remain",
        wire_text(st->fixed_time_remain.c_str(), s[8]));
}

namespace {

// The first five numbers of the state's "er" array into er; 0, or RESULT_NO_ANSWER after the
// failure on stderr.
int read_er(xmlrpc_value *list, int64_t *er) {
    xr_env env;
    int n = xmlrpc_array_size(&env, list);
    if (env.fault()) {
        report("mivrabox_state_decompose", "xmlrpc_array_size", env, __LINE__);
        return RESULT_NO_ANSWER;
    }
    for (int i = 0; i < n && i < 5; i++) {
        xmlrpc_value *item = nullptr;
        xmlrpc_array_read_item(&env, list, i, &item);
        if (env.fault()) {
            report("mivrabox_state_decompose", "xmlrpc_array_read_item", env, __LINE__);
            return RESULT_NO_ANSWER;
        }
        xr_value hold(item);
        xmlrpc_int64 x = 0;
        xmlrpc_read_i8(&env, item, &x);
        if (env.fault()) {
            report("mivrabox_state_decompose", "xmlrpc_decompose_value(I)", env, __LINE__);
            return RESULT_NO_ANSWER;
        }
        er[i] = x;
    }
    return 0;
}

}  // namespace

int mivrabox_state_decompose(xmlrpc_env *, xmlrpc_value *v, mivrabox_state *st) {
    if (!st) return RESULT_NO_ANSWER;
    *st = mivrabox_state{};
    if (!v) return RESULT_NO_ANSWER;
    xr_env env;
    xmlrpc_int32 running = 0, queued = 0, absent = 0, present = 0, range = 0, subclip = 0;
    xmlrpc_int64 amend = 0, count = 0;
    const char *time_s = nullptr, *curr_s = nullptr, *ply_s = nullptr;
    xmlrpc_value *er_v = nullptr;
    xmlrpc_decompose_value(&env, v, "{s:i,s:I,s:I,s:s,s:A,s:s,s:s,s:i,s:i,s:i,s:i,s:i,*}",
                           "f_running", &running, "amend", &amend, "count", &count, "time", &time_s,
                           "er", &er_v, "curr_remain", &curr_s, "ply_remain", &ply_s,
                           "lib_queued_count", &queued, "lib_absent_count", &absent,
                           "lib_present_count", &present, "ply_stat_flag_range", &range,
                           "ply_stat_flag_subclip", &subclip);
    if (env.fault()) {
        report(__func__, "xmlrpc_decompose_value", env, __LINE__);
        return RESULT_NO_ANSWER;
    }
    heap_text time_h(time_s), curr_h(curr_s), ply_h(ply_s);
    xr_value er(er_v);
    st->f_running = running;
    st->amend = amend;
    st->count = count;
    st->lib_queued_count = queued;
    st->lib_absent_count = absent;
    st->lib_present_count = present;
    st->ply_stat_flag_range = range;
    st->ply_stat_flag_subclip = subclip;

    read_optional(v, "absent_remain", st->absent_remain, 31);
    read_optional(v, "last_playlist", st->last_playlist, 4095);
    read_optional(v, "type_C_remain", st->type_C_remain, 31);
    read_optional(v, "type_L_remain", st->type_L_remain, 31);
    read_optional(v, "fixed_time_remain", st->fixed_time_remain, 31);
    read_optional(v, "ply_hash", st->ply_hash, 32);

    st->time = time_s;
    st->curr_remain = std::string_view(curr_s).substr(0, 31);
    st->ply_remain = std::string_view(ply_s).substr(0, 31);

    return read_er(er.get(), st->er);
}

int mivrabox_state_probe_decompose(xmlrpc_env *env, xmlrpc_value *reply, mivrabox_state *st) {
    if (!st) return RESULT_NO_ANSWER;
    *st = mivrabox_state{};
    if (!reply) return RESULT_NO_ANSWER;
    xr_env local;
    xmlrpc_value *sv = nullptr;
    xmlrpc_decompose_value(&local, reply, "{s:S,*}", "state", &sv);
    if (local.fault()) {
        report(__func__, "xmlrpc_decompose_value()", local, __LINE__);
        return RESULT_NO_ANSWER;
    }
    xr_value hold(sv);
    return mivrabox_state_decompose(env, sv, st);
}
