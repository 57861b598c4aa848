// File-transfer (MivraFileTransfer.) and transcoder (MivraFileTranscoder.) calls.
#include "mivra_ft.h"
#include "mivra_svc.h"

namespace {

int ft_target_decompose(xmlrpc_value *v, mivra_ft_target *t, xr_env &env) {
    xr_str s[8];
    xr_decompose(&env, v, "{s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:s,*}", "id", &s[0], "type", &s[1],
                 "title", &s[2], "host", &s[3], "port", &s[4], "path", &s[5], "login", &s[6],
                 "passw", &s[7]);
    if (env.fault()) return RESULT_NO_ANSWER;
    text4k *f[] = {&t->id, &t->type, &t->title, &t->host, &t->port, &t->path, &t->login, &t->passw};
    for (int i = 0; i < 8; i++) *f[i] = s[i].get();
    return 0;
}

// The listing's member order: f_delete before f_import.
int ft_request_decompose(xmlrpc_value *v, mivra_ft_request *r, xr_env &env) {
    xr_str target, local, remote, error;
    xmlrpc_int64 updated = 0, created = 0;
    xr_decompose(&env, v, "{s:i,s:s,s:i,s:i,s:s,s:s,s:i,s:i,s:s,s:I,s:I,*}", "id", &r->id, "target",
                 &target, "f_delete", &r->f_delete, "f_import", &r->f_import, "object_local",
                 &local, "object_remote", &remote, "progress", &r->progress, "state", &r->state,
                 "error", &error, "updated", &updated, "created", &created);
    if (env.fault()) return RESULT_NO_ANSWER;
    r->target = target.get();
    r->object_local = local.get();
    r->object_remote = remote.get();
    r->error = error.get();
    r->updated = updated;
    r->created = created;
    return 0;
}

int ftc_request_decompose(xmlrpc_value *v, mivra_ftc_request *r, xr_env &env) {
    xr_str t[11];
    xmlrpc_int64 updated = 0, created = 0;
    xr_decompose(&env, v, "{s:i,s:I,s:I,s:i,s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:i,s:i,s:s,*}", "id",
                 &r->id, "updated", &updated, "created", &created, "f_delete", &r->f_delete,
                 "src_object", &t[0], "src_local", &t[1], "dst_object", &t[2], "dst_local", &t[3],
                 "in", &t[4], "dur", &t[5], "factory", &t[6], "profile", &t[7], "progress",
                 &r->progress, "state", &r->state, "error", &t[8]);
    if (env.fault()) return RESULT_NO_ANSWER;
    xr_str u[3];
    xr_decompose(&env, v, "{s:s,s:i,s:s,s:s,s:s,s:i,*}", "audio_map", &t[9], "audio_conf",
                 &r->audio_conf, "timecode", &t[10], "osd", &u[0], "transfer_target", &u[1],
                 "transfer_f_delete", &r->transfer_f_delete);
    if (env.fault()) return RESULT_NO_ANSWER;
    r->updated = updated;
    r->created = created;
    text4k *f[] = {&r->src_object, &r->src_local, &r->dst_object, &r->dst_local,
                   &r->in,         &r->dur,       &r->factory,    &r->profile,
                   &r->error,      &r->audio_map, &r->timecode};
    for (int i = 0; i < 11; i++) *f[i] = t[i].get();
    r->osd = u[0].get();
    r->transfer_target = u[1].get();
    return 0;
}

// Fills at most max records of list from the reply's "list". Each record is decoded aside and
// stored only whole, so the count returned is what the caller may read.
template <class T>
int capped_list(const char *fn, const char *url, const char *method, T *list, int max,
                int (*decode)(xmlrpc_value *, T *, xr_env &), const char *format, int a, int b,
                bool three) {
    if (max > 0 && !list) return -22;
    xr_value reply;
    int result = three ? mivra_record_call(fn, url, method, &reply, format, a, b, max)
                       : mivra_record_call(fn, url, method, &reply, format, a, max);
    if (result < 0) return result;
    xr_value array = mivra_record_list(fn, reply.get());
    if (!array) return RESULT_NO_ANSWER;
    int size = mivra_array_size(fn, array.get());
    if (size < 0) return RESULT_NO_ANSWER;
    int n = size < max ? size : max;
    for (int i = 0; i < n; i++) {
        xr_value item = mivra_array_item(fn, array.get(), i);
        if (!item) return RESULT_NO_ANSWER;
        T rec;
        xr_env env;
        if (decode(item.get(), &rec, env) < 0) {
            mivra_report_decompose(fn, env);
            return i;
        }
        list[i] = std::move(rec);
    }
    return n < 0 ? 0 : n;
}

}  // namespace

int mivra_filetransfer_targets_list(const char *url, int a, mivra_ft_target *list, int max) {
    return capped_list(__func__, url, "MivraFileTransfer.TargetsList", list, max,
                       ft_target_decompose, "(ii)", a, 0, false);
}

int mivra_filetransfer_requests_list(const char *url, int a, int b, mivra_ft_request *list,
                                     int max) {
    return capped_list(__func__, url, "MivraFileTransfer.RequestsList", list, max,
                       ft_request_decompose, "(iii)", a, b, true);
}

int mivra_filetranscoder_requests_list(const char *url, int a, int b, mivra_ftc_request *list,
                                       int max) {
    return capped_list(__func__, url, "MivraFileTranscoder.RequestsList", list, max,
                       ftc_request_decompose, "(iii)", a, b, true);
}

int mivra_filetransfer_request_get(const char *url, int id, mivra_ft_request *req) {
    if (!req) return -22;
    xr_value reply;
    int result =
        mivra_record_call(__func__, url, "MivraFileTransfer.RequestGet", &reply, "(i)", id);
    if (result < 0) return result;
    xr_env env;
    xmlrpc_value *raw = nullptr;
    xmlrpc_decompose_value(&env, reply.get(), "{s:S,*}", "item", &raw);
    if (env.fault()) {
        mivra_err("%s: decompose value failed: %s (%d) [%s:%d]", __func__, env.msg(), env.code(),
                  MIVRA_HERE);
        return RESULT_NO_ANSWER;
    }
    xr_value item(raw);
    mivra_ft_request rec;
    // A request that did not decode has no state: the feeder must not read one.
    if (ft_request_decompose(item.get(), &rec, env) < 0) {
        mivra_report_decompose(__func__, env);
        return RESULT_NO_ANSWER;
    }
    *req = std::move(rec);
    return result;
}

int mivra_filetransfer_request_add(const char *url, const mivra_ft_request *r) {
    if (!r) return -22;
    return mivra_command(__func__, url, "MivraFileTransfer.RequestAdd", "(siiss)",
                         r->target.c_str(), r->f_import, r->f_delete, r->object_local.c_str(),
                         r->object_remote.c_str());
}

int mivra_filetransfer_request_del(const char *url, int id) {
    return mivra_command(__func__, url, "MivraFileTransfer.RequestDel", "(i)", id);
}

int mivra_filetransfer_request_cancel(const char *url, int id) {
    return mivra_command(__func__, url, "MivraFileTransfer.RequestCancel", "(i)", id);
}

int mivra_filetransfer_request_restart(const char *url, int id) {
    return mivra_command(__func__, url, "MivraFileTransfer.RequestRestart", "(i)", id);
}

namespace {

// ProbeRemote and ListRemote up to "result": the reply, or null with the code in *result.
xr_value remote_call(const char *fn, const char *url, const char *method, const char *target,
                     const char *path, int *result) {
    xr_value reply = mivra_call(fn, url, method, "(ss)", mivra_opt(target), mivra_opt(path));
    *result = RESULT_NO_ANSWER;
    if (!reply || mivra_method_result(fn, method, reply.get(), result) < 0) {
        *result = RESULT_NO_ANSWER;
        return nullptr;
    }
    return *result < 0 ? nullptr : std::move(reply);
}

}  // namespace

int mivra_filetransfer_probe(const char *url, const char *target, const char *path, int64_t *time,
                             int64_t *size) {
    static const char method[] = "MivraFileTransfer.ProbeRemote";
    int result = 0;
    xr_value reply = remote_call(__func__, url, method, target, path, &result);
    if (!reply) return result;
    xr_env env;
    xmlrpc_int64 t = 0, s = 0;
    xmlrpc_decompose_value(&env, reply.get(), "{s:I,s:I,*}", "time", &t, "size", &s);
    // A probe without time or size must not pass for one that saw the file.
    if (env.fault()) {
        mivra_err("%s: %s, decompose value failed: %s (%d) [%s:%d]\n", __func__, method, env.msg(),
                  env.code(), MIVRA_HERE);
        return RESULT_NO_ANSWER;
    }
    if (time) *time = t;
    if (size) *size = s;
    return result;
}

int mivra_filetransfer_list(const char *url, const char *target, const char *path,
                            std::vector<std::string> *list) {
    static const char method[] = "MivraFileTransfer.ListRemote";
    if (!list) return -22;
    int result = 0;
    xr_value reply = remote_call(__func__, url, method, target, path, &result);
    if (!reply) {
        if (result < 0 && result != RESULT_NO_ANSWER) mivra_report_result(__func__, method, result);
        return result;
    }
    xr_env env;
    return parse_custom_list(__func__, &env, reply.get(), "list", mivra_list_iter_string, list);
}

int mivra_filetranscoder_request_add(const char *url, const mivra_ftc_request *r) {
    if (!r) return -22;
    return mivra_command(__func__, url, "MivraFileTranscoder.RequestAdd", "(ssssssisisssi)",
                         r->src_object.c_str(), r->in.c_str(), r->dur.c_str(),
                         r->dst_object.c_str(), r->factory.c_str(), r->profile.c_str(), r->f_delete,
                         r->audio_map.c_str(), r->audio_conf, r->timecode.c_str(), r->osd.c_str(),
                         r->transfer_target.c_str(), r->transfer_f_delete);
}

int mivra_filetranscoder_request_del(const char *url, int id) {
    return mivra_command(__func__, url, "MivraFileTranscoder.RequestDel", "(i)", id);
}

int mivra_filetranscoder_request_cancel(const char *url, int id) {
    return mivra_command(__func__, url, "MivraFileTranscoder.RequestCancel", "(i)", id);
}

int mivra_filetranscoder_request_restart(const char *url, int id) {
    return mivra_command(__func__, url, "MivraFileTranscoder.RequestRestart", "(i)", id);
}
