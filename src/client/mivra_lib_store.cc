// Media library calls (MivraLib.): usage, item and folder commands, cue points, thumbnails,
// overlays and subclips.
#include "mivra_lib.h"
#include "mivra_sort.h"
#include "mivra_svc.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <strings.h>

int mivra_lib_state_iters(xmlrpc_env *env, xmlrpc_value *item, void *output, int n, int size) {
    auto *usage = static_cast<mivra_lib_usage *>(output);
    if (n == 0) usage->amend.reserve(size_t(size));
    xr_str s;
    xr_decompose(env, item, "(s)", &s);
    if (env->fault_occurred) {
        mivra_err("%s: xmlrpc_array_read_item failed: %s (%d)", __func__, env->fault_string,
                  env->fault_code);
        return RESULT_NO_ANSWER;
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
    if (!*reply) return RESULT_NO_ANSWER;
    int result = 0;
    if (mivra_decode_result(fn, reply->get(), &result, MIVRA_HERE) < 0) return RESULT_NO_ANSWER;
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
        return RESULT_NO_ANSWER;
    }
    int count = parse_custom_list(__func__, &env, reply.get(), "amend_list", mivra_lib_state_iters,
                                  rec.get());
    // A partial list would move the caller's amend index past changes it never saw.
    if (count < 0 || env.fault()) return RESULT_NO_ANSWER;
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
        return RESULT_NO_ANSWER;
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
        return RESULT_NO_ANSWER;
    }
    int result = 0;
    if (mivra_short_result(__func__, reply.get(), &result) < 0) return RESULT_NO_ANSWER;
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
            return RESULT_NO_ANSWER;
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
        return RESULT_NO_ANSWER;
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
        return RESULT_NO_ANSWER;
    }
    for (int i = 0; i < size; i++) {
        xmlrpc_value *raw = nullptr;
        xmlrpc_array_read_item(&env, array, i, &raw);
        if (env.fault()) {
            mivra_err("%s: xmlrpc_array_read_item failed: %s (%d)", fn, env.msg(), env.code());
            return RESULT_NO_ANSWER;
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
            return RESULT_NO_ANSWER;
        }
        xr_value files(files_raw);
        node.path = path.get();
        node.name = name.get();
        node.size = fsize;
        out->push_back(std::move(node));
        if (level == 0) {
            mivra_lib_overlay &folder = out->back();
            if (mivra_lib_list_overlays_level(env, files.get(), 1, &folder.children) < 0)
                return RESULT_NO_ANSWER;
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
    if (!list) return RESULT_NO_ANSWER;
    xr_env env;
    try {
        if (mivra_lib_list_overlays_level(env, list.get(), 0, tree) < 0) {
            mivra_err("%s: xmlrpc_array_size failed: %s (%d)", __func__, env.msg(), env.code());
            tree->clear();
            return RESULT_NO_ANSWER;
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
    if (!array) return RESULT_NO_ANSWER;
    xr_env env;
    int size = mivra_array_size(__func__, array.get());
    if (size < 0) return RESULT_NO_ANSWER;
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
            return RESULT_NO_ANSWER;
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
