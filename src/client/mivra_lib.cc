// Media library calls (MivraLib.).
#include "mivra_lib.h"
#include "mivra_sort.h"
#include "mivra_svc.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <strings.h>

namespace {

// Decimal integer of a text member; no digits or trailing garbage give what was read, or 0.
int parse_int(const char *s) {
    char *end = nullptr;
    long v = strtol(s, &end, 10);
    if (end == s) return 0;
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return int(v);
}

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
        *r = -14;
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
        if (!item) return -14;
        xr_env env;
        xr_str name;
        xr_decompose(&env, item.get(), "{s:s,*}", "name", &name);
        if (env.fault()) {
            mivra_report_decompose(__func__, env);
            return -14;
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
        if (!item) return -14;
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
    if (!reply) return -14;
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
    if (!reply) return -14;
    xr_env env;
    int result = 0;
    xr_str v;
    xr_decompose(&env, reply.get(), "{s:i,s:s,*}", "result", &result, "value", &v);
    if (env.fault()) {
        mivra_err("%s: decompose value failed: %s (%d)", fn, env.msg(), env.code());
        return -14;
    }
    if (value) *value = v.get();
    return result;
}

namespace {

// The found item of a search reply into *item (emptied first, also when the call failed).
int search_reply(const char *fn, const char *method, xr_value reply, text4k *item) {
    if (item) item->clear();
    if (!reply) return -14;
    int result = 0;
    if (mivra_decode_result(fn, reply.get(), &result, MIVRA_HERE) < 0) return -14;
    if (result >= 0) {
        xr_env env;
        xr_str s;
        xr_decompose(&env, reply.get(), "{s:s,*}", "item", &s);
        if (env.fault()) {
            mivra_err("%s: decompose value failed: %s (%d) [%s:%d]\n", fn, env.msg(), env.code(),
                      MIVRA_HERE);
            return -14;
        }
        if (item) *item = s.get();
    } else if (result != -2 && result != -14) {
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

int mivra_lib_state_iters(xmlrpc_env *env, xmlrpc_value *item, void *output, int n, int size) {
    auto *usage = static_cast<mivra_lib_usage *>(output);
    if (n == 0) usage->amend.reserve(size_t(size));
    xr_str s;
    xr_decompose(env, item, "(s)", &s);
    if (env->fault_occurred) {
        mivra_err("%s: xmlrpc_array_read_item failed: %s (%d)", __func__, env->fault_string,
                  env->fault_code);
        return -14;
    }
    usage->amend.emplace_back(s.get());
    return 0;
}

namespace {

// "result" of a reply whose members are decoded only after success: a negative one is reported
// and returned (-14 when it does not decode).
int usage_result(const char *fn, const char *url, const char *method, xr_value *reply,
                 const char *format, int n) {
    *reply = mivra_call(fn, url, method, format, n);  // "()" leaves n unread
    if (!*reply) return -14;
    int result = 0;
    if (mivra_decode_result(fn, reply->get(), &result, MIVRA_HERE) < 0) return -14;
    // A failing library has no usage to give: its result must not pass for a count.
    if (result < 0) mivra_report_result(fn, method, result);
    return result;
}

}  // namespace

int mivra_lib_state(const char *url, int n, std::unique_ptr<mivra_lib_usage> *usage) {
    if (!usage) return -22;
    usage->reset();
    xr_value reply;
    int result = usage_result(__func__, url, "MivraLib.LibState", &reply, "(i)", n);
    if (result < 0) return result;
    xr_env env;
    auto rec = std::make_unique<mivra_lib_usage>();
    xmlrpc_int64 idx = 0, free_space = 0, total_space = 0;
    xmlrpc_decompose_value(&env, reply.get(), "{s:I,s:i,s:I,s:I,*}", "amend_idx", &idx,
                           "total_items", &rec->total_items, "free_space", &free_space,
                           "total_space", &total_space);
    if (env.fault()) {
        mivra_err("%s: decompose value failed: %s (%d)", __func__, env.msg(), env.code());
        return -14;
    }
    int count = parse_custom_list(__func__, &env, reply.get(), "amend_list", mivra_lib_state_iters,
                                  rec.get());
    // A partial list would move the caller's amend index past changes it never saw.
    if (count < 0 || env.fault()) return -14;
    rec->amend_idx = idx;
    rec->free_space = free_space;
    rec->total_space = total_space;
    rec->amend_count = count;
    *usage = std::move(rec);
    return count;
}

int mivra_lib_disk_usage(const char *url, std::unique_ptr<mivra_lib_usage> *usage) {
    if (!usage) return -22;
    usage->reset();
    xr_value reply;
    int result = usage_result(__func__, url, "MivraLib.LibDiskUsage", &reply, "()", 0);
    if (result < 0) return result;
    xr_env env;
    auto rec = std::make_unique<mivra_lib_usage>();
    xmlrpc_int64 free_space = 0, total_space = 0, used_space = 0;
    xmlrpc_decompose_value(&env, reply.get(), "{s:i,s:I,s:I,s:I,*}", "total_items",
                           &rec->total_items, "free_space", &free_space, "total_space",
                           &total_space, "used_space", &used_space);
    if (env.fault()) {
        mivra_err("%s: decompose value failed: %s (%d)", __func__, env.msg(), env.code());
        return -14;
    }
    rec->free_space = free_space;
    rec->total_space = total_space;
    rec->used_space = used_space;
    *usage = std::move(rec);
    return result;
}

int mivra_lib_register_item(const char *url, const char *name) {
    return mivra_short_command(__func__, url, name, "MivraLib.LibRegisterItem", "(s)",
                               mivra_opt(name));
}

int mivra_lib_delete_item(const char *url, const char *name) {
    return mivra_short_command(__func__, url, name, "MivraLib.LibDeleteItem", "(s)",
                               mivra_opt(name));
}

int mivra_lib_delete_dir(const char *url, const char *folder) {
    // Reports under the item delete's name, as the library's operators know it.
    return mivra_short_command("mivra_lib_delete_item", url, folder, "MivraLib.LibDeleteDir", "(s)",
                               mivra_opt(folder));
}

int mivra_lib_create_dir(const char *url, const char *folder) {
    return mivra_short_command(__func__, url, folder, "MivraLib.LibCreateDir", "(s)",
                               mivra_opt(folder));
}

int mivra_lib_rename_item(const char *url, const char *from, const char *to) {
    return mivra_command(__func__, url, "MivraLib.LibRenameItem", "(ss)", mivra_opt(from),
                         mivra_opt(to));
}

int mivra_lib_register_cue(const char *url, const char *name, int a, int64_t *cue_cnt,
                           int64_t *cue_date) {
    xr_env env;
    xr_value reply(
        xmlrpc_client_callX(&env, url, "MivraLib.LibRegisterCue", "(si)", mivra_opt(name), a));
    if (env.fault()) {
        mivra_err("%s: xmlrpc_client_callX(%s,%s,%d) failed: %s (%d)", __func__, mivra_opt(url),
                  mivra_opt(name), a, env.msg(), env.code());
        return -14;
    }
    int result = 0;
    if (mivra_short_result(__func__, reply.get(), &result) < 0) return -14;
    struct {
        const char *member;
        int64_t *out;
    } wanted[] = {{"cue_cnt", cue_cnt}, {"cue_date", cue_date}};
    for (auto &w : wanted) {
        if (!w.out) continue;
        xmlrpc_int64 v = 0;
        xmlrpc_decompose_value(&env, reply.get(), "{s:I,*}", w.member, &v);
        if (env.fault()) {
            mivra_err("%s: decompose '%s' failed: %s (%d)", __func__, w.member, env.msg(),
                      env.code());
            return -14;
        }
        *w.out = v;
    }
    return result;
}

namespace {

// The image member of a thumbnail reply whose "result" was not negative.
int thumb_bytes(const char *fn, const char *url, const char *method, const char *member,
                xmlrpc_value *reply, int result, std::string *bytes) {
    xr_env env;
    xr_bytes b;
    xmlrpc_decompose_value(&env, reply, "{s:6,*}", member, &b.p, &b.size);
    if (env.fault()) {
        b.disown();
        mivra_err("%s: xmlrpc_client_callX(%s, %s) failed: %s (%d)", fn, mivra_opt(url), method,
                  env.msg(), env.code());
        return -14;
    }
    bytes->assign(reinterpret_cast<const char *>(b.p), b.size);
    return result;
}

}  // namespace

int mivra_lib_thumb_item(const char *url, const char *s1, const char *s2, int a, int b,
                         std::string *bytes) {
    static const char method[] = "MivraLib.LibThumbItem";
    if (!bytes) return -22;
    bytes->clear();
    xr_value reply;
    int r = mivra_record_call(__func__, url, method, &reply, "(ssii)", mivra_opt(s1), mivra_opt(s2),
                              a, b);
    return r < 0 ? r : thumb_bytes(__func__, url, method, "thumb", reply.get(), r, bytes);
}

int mivra_lib_thumb_overlay(const char *url, const char *name, std::string *bytes) {
    static const char method[] = "MivraLib.LibThumbOverlay";
    if (!bytes) return -22;
    bytes->clear();
    xr_value reply;
    int r = mivra_record_call(__func__, url, method, &reply, "(s)", mivra_opt(name));
    return r < 0 ? r : thumb_bytes(__func__, url, method, "png", reply.get(), r, bytes);
}

namespace {

// One level of the overlay tree: folders (level 0) with their files (level 1). 0, or -14 after
// its text (the fault kept in *env for the caller's text).
int mivra_lib_list_overlays_level(xr_env &env, xmlrpc_value *array, int level,
                                  std::vector<mivra_lib_overlay> *out) {
    static const char fn[] = "mivra_lib_list_overlays_level";
    int size = xmlrpc_array_size(&env, array);
    if (env.fault()) {
        mivra_err("%s: xmlrpc_array_size failed: %s (%d)", fn, env.msg(), env.code());
        return -14;
    }
    for (int i = 0; i < size; i++) {
        xmlrpc_value *raw = nullptr;
        xmlrpc_array_read_item(&env, array, i, &raw);
        if (env.fault()) {
            mivra_err("%s: xmlrpc_array_read_item failed: %s (%d)", fn, env.msg(), env.code());
            return -14;
        }
        xr_value item(raw);
        mivra_lib_overlay node;
        xr_str path, name;
        xmlrpc_value *files_raw = nullptr;
        xmlrpc_int64 fsize = 0;
        if (level == 0)
            xr_decompose(&env, item.get(), "{s:s,s:A,*}", "path", &path, "list", &files_raw);
        else
            xr_decompose(&env, item.get(), "{s:s,s:s,s:I,*}", "name", &name, "path", &path, "size",
                         &fsize);
        if (env.fault()) {
            mivra_err("%s: xmlrpc_decompose_value failed: %s (%d)", fn, env.msg(), env.code());
            return -14;
        }
        xr_value files(files_raw);
        node.path = path.get();
        node.name = name.get();
        node.size = fsize;
        out->push_back(std::move(node));
        if (level == 0) {
            mivra_lib_overlay &folder = out->back();
            if (mivra_lib_list_overlays_level(env, files.get(), 1, &folder.children) < 0)
                return -14;
            folder.size = int64_t(folder.children.size());
        }
    }
    return 0;
}

}  // namespace

int mivra_lib_list_overlays(const char *url, std::vector<mivra_lib_overlay> *tree) {
    if (!tree) return -22;
    tree->clear();
    xr_value reply;
    int result = mivra_record_call(__func__, url, "MivraLib.LibListOverlays", &reply, "()");
    if (result < 0) return result;
    xr_value list = mivra_record_list(__func__, reply.get());
    if (!list) return -14;
    xr_env env;
    try {
        if (mivra_lib_list_overlays_level(env, list.get(), 0, tree) < 0) {
            mivra_err("%s: xmlrpc_array_size failed: %s (%d)", __func__, env.msg(), env.code());
            tree->clear();
            return -14;
        }
    } catch (const std::bad_alloc &) {
        return -12;  // the partial tree stays the caller's
    }
    return int(tree->size());
}

int mivra_lib_list_subclips(const char *url, const char *name, std::vector<mivra_lib_subclip> *list,
                            int64_t tag) {
    if (!list) return -22;
    list->clear();
    xr_value reply;
    int result = mivra_record_call(__func__, url, "MivraLib.LibListSubclips", &reply, "(s)",
                                   mivra_opt(name));
    if (result < 0) return result;
    xr_value array = mivra_record_list(__func__, reply.get());
    if (!array) return -14;
    xr_env env;
    int size = mivra_array_size(__func__, array.get());
    if (size < 0) return -14;
    std::vector<mivra_lib_subclip> out;
    for (int i = 0; i < size; i++) {
        xmlrpc_value *raw = nullptr;
        xmlrpc_array_read_item(&env, array.get(), i, &raw);
        xr_value item(env.fault() ? nullptr : raw);
        mivra_lib_subclip sc;
        xr_str title;
        if (env.fault()) {
            mivra_err("%s: xmlrpc_array_read_item failed: %s (%d)", __func__, env.msg(),
                      env.code());
        } else {
            xr_decompose(&env, item.get(), "{s:i,s:i,s:s,*}", "mark_in", &sc.mark_in, "duration",
                         &sc.duration, "title", &title);
            if (env.fault()) mivra_report_decompose(__func__, env);
        }
        if (env.fault()) {
            mivra_err("%s: xmlrpc_array_size failed: %s (%d)", __func__, env.msg(), env.code());
            return -14;
        }
        sc.index = int(out.size());
        sc.title = title.get();
        sc.tag = tag;
        out.push_back(std::move(sc));
    }
    *list = std::move(out);
    return int(list->size());
}

int mivra_lib_delete_subclip(const char *url, const char *name, int a) {
    return mivra_command(__func__, url, "MivraLib.LibDeleteSubclip", "(si)", mivra_opt(name), a);
}

int mivra_lib_register_subclip(const char *url, const char *name, int a, int b, const char *title) {
    return mivra_command(__func__, url, "MivraLib.LibRegisterSubclip", "(siis)", mivra_opt(name), a,
                         b, mivra_opt(title));
}

namespace {

int simple_list(const char *fn, const char *url, const char *method, const char *name,
                std::vector<std::string> *list) {
    if (!list) return -22;
    list->clear();
    xr_env env;
    xmlrpc_value *reply = name ? xmlrpc_client_callX(&env, url, method, "(s)", name)
                               : xmlrpc_client_callX(&env, url, method, "()");
    if (env.fault()) {
        mivra_err("%s/%s: xmlrpc_client_callX() failed: %s (%d)", fn, "parse_simple_list_response",
                  env.msg(), env.code());
        return -14;
    }
    return parse_simple_list_response(fn, &env, reply, list);
}

}  // namespace

int mivra_lib_list_templates(const char *url, std::vector<std::string> *list) {
    return simple_list(__func__, url, "MivraLib.LibListTemplates", nullptr, list);
}

int mivra_lib_list_template_vars(const char *url, const char *name,
                                 std::vector<std::string> *list) {
    return simple_list(__func__, url, "MivraLib.LibListTemplateVars", mivra_opt(name), list);
}

namespace {

int mivra_lib_tmpl_get_layers(xmlrpc_env *env, xmlrpc_value *item, void *output, int, int) {
    xr_bytes b;
    xmlrpc_decompose_value(env, item, "(6)", &b.p, &b.size);
    if (env->fault_occurred) {
        b.disown();
        mivra_err("%s: xmlrpc_array_read_item failed: %s (%d)", __func__, env->fault_string,
                  env->fault_code);
        return -14;
    }
    static_cast<std::vector<std::string> *>(output)->emplace_back(
        reinterpret_cast<const char *>(b.p), b.size);
    return 0;
}

int mivra_lib_tmpl_fonts_items(xmlrpc_env *env, xmlrpc_value *item, void *output, int, int) {
    xr_str family, style;
    xr_decompose(env, item, "{s:s,s:s,*}", "family", &family, "style", &style);
    if (env->fault_occurred) {
        mivra_err("%s: xmlrpc_array_read_item failed: %s (%d)", __func__, env->fault_string,
                  env->fault_code);
        return -14;
    }
    static_cast<std::vector<std::string> *>(output)->push_back(std::string(family.get()) + "\t" +
                                                               style.get());
    return 0;
}

// Template layers and fonts: the list walked into *out, which keeps what it held.
int appended_list(const char *fn, const char *url, const char *method, mivra_list_item_fn iter,
                  std::vector<std::string> *out, const char *name) {
    if (!out) return -22;
    // "()" leaves the name unread.
    xr_value reply = mivra_call(fn, url, method, name ? "(s)" : "()", name);
    int result = 0;
    if (!reply || mivra_method_result(fn, method, reply.get(), &result) < 0) return -14;
    if (result < 0) {
        mivra_report_result(fn, method, result);
        return result;
    }
    xr_env env;
    return parse_custom_list(fn, &env, reply.get(), "list", iter, out);
}

}  // namespace

int mivra_lib_tmpl_get(const char *url, const char *name, std::vector<std::string> *layers) {
    return appended_list(__func__, url, "MivraLib.LibTemplateGet", mivra_lib_tmpl_get_layers,
                         layers, mivra_opt(name));
}

int mivra_lib_tmpl_fonts(const char *url, std::vector<std::string> *fonts) {
    return appended_list(__func__, url, "MivraLib.LibTemplateFonts", mivra_lib_tmpl_fonts_items,
                         fonts, nullptr);
}

int mivra_lib_tmpl_fonts2(const char *url, std::vector<std::string> *fonts) {
    return appended_list(__func__, url, "MivraLib.LibTemplateFonts2", mivra_lib_tmpl_fonts_items,
                         fonts, nullptr);
}

int mivra_lib_tmpl_set(const char *url, const char *name, const std::vector<std::string> &layers) {
    static const char method[] = "MivraLib.LibTemplateSet";
    xr_env env;
    xr_value array(xmlrpc_array_new(&env));
    for (const auto &l : layers) {
        if (env.fault()) break;
        xr_value b(
            xmlrpc_base64_new(&env, l.size(), reinterpret_cast<const unsigned char *>(l.data())));
        xr_value one(env.fault() ? nullptr : xmlrpc_array_new(&env));
        if (!env.fault()) xmlrpc_array_append_item(&env, one.get(), b.get());
        if (!env.fault()) xmlrpc_array_append_item(&env, array.get(), one.get());
    }
    if (env.fault()) return mivra_build_failed(__func__, url, method, env);
    return mivra_command(__func__, url, method, "(sA)", mivra_opt(name), array.get());
}

int mivra_lib_tmpl_add(const char *url, const char *name) {
    return mivra_command(__func__, url, "MivraLib.LibTemplateAdd", "(s)", mivra_opt(name));
}

int mivra_lib_tmpl_del(const char *url, const char *name) {
    return mivra_command(__func__, url, "MivraLib.LibTemplateDel", "(s)", mivra_opt(name));
}

int mivra_lib_tmpl_rename(const char *url, const char *name, const char *to) {
    return mivra_command(__func__, url, "MivraLib.LibTemplateRename", "(ss)", mivra_opt(name),
                         mivra_opt(to));
}

int mivra_lib_tmpl_replace(const char *url, const char *name, const char *with) {
    return mivra_command(__func__, url, "MivraLib.LibTemplateReplace", "(ss)", mivra_opt(name),
                         mivra_opt(with));
}

int mivra_lib_tmpl_clone(const char *url, const char *name, const char *to) {
    return mivra_command(__func__, url, "MivraLib.LibTemplateClone", "(ss)", mivra_opt(name),
                         mivra_opt(to));
}

int mivra_lib_build_template(const char *url, text4k *out, const char *name, const char *extra,
                             int a, int b, int value_count, const char *const *values,
                             int var_count, const char *const *var_names,
                             const char *const *var_values) {
    static const char method[] = "MivraLib.LibTemplateBuild";
    xr_env env;
    xr_value array, vars, hold;
    mivra_template_args(&env, value_count, values, var_count, var_names, var_values, &array, &vars);
    if (!env.fault())
        hold.reset(xmlrpc_client_callX(&env, url, method, "(ssiiAS)", mivra_opt(name),
                                       mivra_opt(extra), a, b, array.get(), vars.get()));
    if (env.fault()) {
        mivra_err("%s:%d: xmlrpc_client_call(%s, %s) failed: %s (%d)\n", __func__, __LINE__,
                  mivra_opt(url), method, env.msg(), env.code());
        return -14;
    }
    xmlrpc_value *reply = hold.get();
    int result = 0;
    xmlrpc_decompose_value(&env, reply, "{s:i,*}", "result", &result);
    if (!env.fault() && result < 0) {
        mivra_errtext text(-result);
        mivra_err("%s:%d: %s return %d (%s)\n", __func__, __LINE__, method, result, text.str);
        return result;
    }
    xr_str value;
    if (!env.fault()) xr_decompose(&env, reply, "{s:s,*}", "value", &value);
    if (env.fault()) {
        mivra_err("%s:%d: xmlrpc_decompose_value failed: %s (%d)\n", __func__, __LINE__, env.msg(),
                  env.code());
        return -14;
    }
    if (out) *out = value.get();
    return result;
}
