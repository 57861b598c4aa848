// Media library calls (MivraLib.): item metadata, listings, base names and searches.
#include "mivra_lib.h"
#include "mivra_sort.h"
#include "mivra_svc.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <strings.h>

namespace {

double parse_double(const char *s) {
    char *end = nullptr;
    double v = strtod(s, &end);
    return end == s ? 0 : v;
}

// "num<sep>den"; both stay 0 unless the two numbers are there.
void parse_ratio(const char *s, char sep, int *num, int *den) {
    char *end = nullptr;
    long a = strtol(s, &end, 10);
    if (end == s || *end != sep) return;
    const char *p = end + 1;
    long b = strtol(p, &end, 10);
    if (end == p || a < INT_MIN || a > INT_MAX || b < INT_MIN || b > INT_MAX) return;
    *num = int(a);
    *den = int(b);
}

// How one member of an item struct arrives and where it goes.
enum class meta_kind {
    name,
    i64,
    format_name,
    dbl,
    num,
    dar,
    sar,
    rate,
    sample_fmt,
    tc,
    sub,
    mark
};

struct meta_member {
    const char *member;
    meta_kind kind;
    int line;  // identifies the member in the failure text
    double mivra_lib_item::*d = nullptr;
    int mivra_lib_item::*i = nullptr;
    int64_t mivra_lib_item::*l = nullptr;
    text32 mivra_lib_item::*t = nullptr;
};

using it = mivra_lib_item;
const meta_member meta_members[] = {
    {"name", meta_kind::name, __LINE__},
    {"st_ino", meta_kind::i64, __LINE__, nullptr, nullptr, &it::st_ino},
    {"st_size", meta_kind::i64, __LINE__, nullptr, nullptr, &it::st_size},
    {"st_mtime", meta_kind::i64, __LINE__, nullptr, nullptr, &it::st_mtime_},
    {"st_ctime", meta_kind::i64, __LINE__, nullptr, nullptr, &it::st_ctime_},
    {"st_atime", meta_kind::i64, __LINE__, nullptr, nullptr, &it::st_atime_},
    {"format_name", meta_kind::format_name, __LINE__},
    {"duration", meta_kind::dbl, __LINE__, &it::duration},
    {"duration_v", meta_kind::dbl, __LINE__, &it::duration_v},
    {"duration_a", meta_kind::dbl, __LINE__, &it::duration_a},
    {"nb_frames", meta_kind::num, __LINE__, nullptr, &it::nb_frames},
    {"nb_streams", meta_kind::num, __LINE__, nullptr, &it::nb_streams},
    {"width", meta_kind::num, __LINE__, nullptr, &it::width},
    {"height", meta_kind::num, __LINE__, nullptr, &it::height},
    {"display_aspect_ratio", meta_kind::dar, __LINE__},
    {"sample_aspect_ratio", meta_kind::sar, __LINE__},
    {"r_frame_rate", meta_kind::rate, __LINE__},
    {"sample_fmt", meta_kind::sample_fmt, __LINE__},
    {"sample_rate", meta_kind::num, __LINE__, nullptr, &it::sample_rate},
    {"channels", meta_kind::num, __LINE__, nullptr, &it::channels},
    {"timecode", meta_kind::tc, __LINE__, nullptr, nullptr, nullptr, &it::timecode},
    {"subclips", meta_kind::sub, __LINE__},
    {"timecode_at_mark_in", meta_kind::mark, __LINE__, nullptr, nullptr, nullptr,
     &it::timecode_at_mark_in},
    {"timecode_at_mark_out", meta_kind::mark, __LINE__, nullptr, nullptr, nullptr,
     &it::timecode_at_mark_out},
};

// Decodes one member into the item; a member that does not decode is reported (the mark-in and
// mark-out timecodes silently) and left at its default.
void meta_member_decode(const meta_member &m, xmlrpc_value *v, mivra_lib_item *item) {
    static const char fn[] = "mivra_lib_meta_item_decompose";
    xr_env env;
    if (m.kind == meta_kind::i64) {
        xmlrpc_int64 x = 0;
        xmlrpc_decompose_value(&env, v, "{s:I,*}", m.member, &x);
        if (!env.fault()) item->*m.l = x;
    } else if (m.kind == meta_kind::sub) {
        xmlrpc_decompose_value(&env, v, "{s:i,*}", m.member, &item->subclips);
    } else {
        xr_str s;
        xr_decompose(&env, v, "{s:s,*}", m.member, &s);
        const char *t = s.get();  // "" when absent
        switch (m.kind) {
            case meta_kind::name:
                item->name = t;
                break;
            case meta_kind::format_name:
                item->format_name = t;
                break;
            case meta_kind::dbl:
                item->*m.d = parse_double(t);
                break;
            case meta_kind::num:
                item->*m.i = parse_int(t);
                break;
            case meta_kind::dar:
                parse_ratio(t, ':', &item->display_aspect_ratio_num,
                            &item->display_aspect_ratio_den);
                break;
            case meta_kind::sar:
                parse_ratio(t, ':', &item->sample_aspect_ratio_num, &item->sample_aspect_ratio_den);
                break;
            case meta_kind::rate:
                parse_ratio(t, '/', &item->r_frame_rate_num, &item->r_frame_rate_den);
                break;
            case meta_kind::sample_fmt:
                item->sample_fmt = t;
                break;
            case meta_kind::tc:
                item->*m.t = env.fault() ? "00:00:00:00" : t;
                break;
            case meta_kind::mark:
                item->*m.t = t;
                break;
            default:
                break;
        }
    }
    if (env.fault() && m.kind != meta_kind::mark)
        mivra_err("%s:%d: xmlrpc_decompose_value failed: %s (%d)", fn, m.line, env.msg(),
                  env.code());
}

}  // namespace

// One item struct into a record; always produces the item (see meta_member_decode).
void mivra_lib_meta_item_decompose(xmlrpc_value *v, mivra_lib_item *item) {
    for (const auto &m : meta_members) meta_member_decode(m, v, item);
    item->duration_eff = item->duration_v != 0 ? item->duration_v : item->duration;
}

namespace {

int name_casecmp(const char *a, const char *b) {
    return strcasecmp(a, b);
}

// Builds folder/name for a listed entry. A name that cannot stand as one path element, or a
// path that would be cut, is refused: the cleaner deletes by these paths.
bool list_path(const char *fn, const char *folder, int i, const text4k &name, text4k *path) {
    std::string p;
    if (path_join(p, mivra_opt(folder), name.view(), text4k::capacity) < 0) {
        mivra_err("%s: item %d with name [%s] skipped", fn, i, name.c_str());
        return false;
    }
    *path = p;
    return true;
}

// LibListDirs and LibListItems up to the items: the list array, or null with the result in *r.
xr_value list_call(const char *fn, const char *url, const char *method, bool newline, int *r,
                   xr_value *reply, int *size, const char *format, const char *folder, int offset,
                   int count) {
    // The format takes what it names; arguments beyond it are not read.
    *r = mivra_record_call(fn, url, method, reply, format, folder, offset, count);
    if (*r < 0) return nullptr;
    xr_value list = mivra_record_list(fn, reply->get());
    if (!list && newline) mivra_err("\n");
    if (list) *size = mivra_array_size(fn, list.get());
    if (!list || *size < 0) {
        *r = RESULT_NO_ANSWER;
        return nullptr;
    }
    return list;
}

}  // namespace

int mivra_lib_list_dirs(const char *url, const char *folder,
                        std::vector<mivra_lib_dir_entry> *list) {
    if (!list) return -22;
    list->clear();
    int r = 0, size = 0;
    xr_value reply;
    xr_value array = list_call(__func__, url, "MivraLib.LibListDirs", true, &r, &reply, &size,
                               "(s)", mivra_opt(folder), 0, 0);
    if (!array) return r;
    std::vector<mivra_lib_dir_entry> out;
    out.reserve(size_t(size));
    for (int i = 0; i < size; i++) {
        xr_value item = mivra_array_item(__func__, array.get(), i);
        if (!item) return RESULT_NO_ANSWER;
        xr_env env;
        xr_str name;
        xr_decompose(&env, item.get(), "{s:s,*}", "name", &name);
        if (env.fault()) {
            mivra_report_decompose(__func__, env);
            return RESULT_NO_ANSWER;
        }
        mivra_lib_dir_entry e;
        e.name = name.get();
        if (!list_path(__func__, folder, i, e.name, &e.path)) continue;
        out.push_back(std::move(e));
    }
    mivra_selection_sort(out, [](const mivra_lib_dir_entry &a, const mivra_lib_dir_entry &b) {
        return -name_casecmp(a.name.c_str(), b.name.c_str());
    });
    *list = std::move(out);
    return int(list->size());
}

int mivra_lib_list_items2(const char *url, const char *folder, int offset, int count,
                          std::vector<mivra_lib_item> *list) {
    if (!list) return -22;
    list->clear();
    int r = 0, size = 0;
    xr_value reply;
    bool all = offset == -1 && count == -1;
    xr_value array = list_call(__func__, url, "MivraLib.LibListItems", false, &r, &reply, &size,
                               all ? "(s)" : "(sii)", mivra_opt(folder), offset, count);
    if (!array) return r;
    std::vector<mivra_lib_item> out;
    out.reserve(size_t(size));
    for (int i = 0; i < size; i++) {
        xr_value item = mivra_array_item(__func__, array.get(), i);
        if (!item) return RESULT_NO_ANSWER;
        mivra_lib_item rec;
        mivra_lib_meta_item_decompose(item.get(), &rec);
        if (!list_path(__func__, folder, i, rec.name, &rec.path)) continue;
        out.push_back(std::move(rec));
    }
    mivra_selection_sort(out, [](const mivra_lib_item &a, const mivra_lib_item &b) {
        return name_casecmp(a.name.c_str(), b.name.c_str());
    });
    *list = std::move(out);
    return int(list->size());
}

int mivra_lib_list_items(const char *url, const char *folder, std::vector<mivra_lib_item> *list) {
    return mivra_lib_list_items2(url, folder, -1, -1, list);
}

int mivra_lib_meta_item(const char *url, const char *path, std::unique_ptr<mivra_lib_item> *item) {
    static const char fn[] = "mivra_lib_meta_item";
    if (!item) return -22;
    item->reset();
    xr_value reply =
        mivra_short_call(fn, url, path, "MivraLib.LibMetaItem", "(s)", mivra_opt(path));
    if (!reply) return RESULT_NO_ANSWER;
    xr_value v;
    int result = mivra_short_item(fn, reply.get(), &v);
    if (result != 0) return result;
    auto rec = std::make_unique<mivra_lib_item>();
    mivra_lib_meta_item_decompose(v.get(), rec.get());
    rec->path = mivra_opt(path);
    *item = std::move(rec);
    return 0;
}

int mivra_lib_basename_item(const char *url, const char *name, const char *name2, text4k *value,
                            text4k *object, int64_t *shm_id) {
    return mivra_basename_item(url, "MivraLib.LibBasenameItem", name, name2, value, object, shm_id);
}

int mivra_lib_basename_overlay(const char *url, const char *name, text4k *value) {
    static const char fn[] = "mivra_lib_basename_overlay";
    xr_value reply =
        mivra_short_call(fn, url, name, "MivraLib.LibBasenameOverlay", "(s)", mivra_opt(name));
    if (!reply) return RESULT_NO_ANSWER;
    xr_env env;
    int result = 0;
    xr_str v;
    xr_decompose(&env, reply.get(), "{s:i,s:s,*}", "result", &result, "value", &v);
    if (env.fault()) {
        mivra_err("%s: decompose value failed: %s (%d)", fn, env.msg(), env.code());
        return RESULT_NO_ANSWER;
    }
    if (value) *value = v.get();
    return result;
}

namespace {

// The found item of a search reply into *item (emptied first, also when the call failed).
int search_reply(const char *fn, const char *method, xr_value reply, text4k *item) {
    if (item) item->clear();
    if (!reply) return RESULT_NO_ANSWER;
    int result = 0;
    if (mivra_decode_result(fn, reply.get(), &result, MIVRA_HERE) < 0) return RESULT_NO_ANSWER;
    if (result >= 0) {
        xr_env env;
        xr_str s;
        xr_decompose(&env, reply.get(), "{s:s,*}", "item", &s);
        if (env.fault()) {
            mivra_err("%s: decompose value failed: %s (%d) [%s:%d]\n", fn, env.msg(), env.code(),
                      MIVRA_HERE);
            return RESULT_NO_ANSWER;
        }
        if (item) *item = s.get();
    } else if (result != -2 && result != RESULT_NO_ANSWER) {
        mivra_err("%s: %s return %d\n", fn, method, result);
    }
    return result;
}

}  // namespace

int mivra_lib_search_item(const char *url, int a, const char *s, const char *name, text4k *item) {
    static const char method[] = "MivraLib.LibSearchItem";
    return search_reply(
        __func__, method,
        mivra_call(__func__, url, method, "(iss)", a, mivra_opt(s), mivra_opt(name)), item);
}

int mivra_lib_search_item_dur_range(const char *url, int a, const char *s, double d1, double d2,
                                    text4k *item) {
    static const char method[] = "MivraLib.LibSearchItemDurRange";
    return search_reply(__func__, method,
                        mivra_call(__func__, url, method, "(isdd)", a, mivra_opt(s), d1, d2), item);
}
