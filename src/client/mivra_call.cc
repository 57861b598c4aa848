// The call families, the reply decoders and the list walkers shared by every service wrapper.
#include "mivra_call.h"

#include <xmlrpc-c/client.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

xr_value mivra_call_va(const char *fn, const char *url, const char *method, const char *format,
                       va_list args) {
    xr_env env;
    xr_value reply(xmlrpc_client_callX_va(&env, url, method, format, args));
    if (env.fault()) {
        mivra_err("%s: xmlrpc_client_callX(%s, %s) failed: %s (%d)", fn, url ? url : "", method,
                  env.msg(), env.code());
        return nullptr;
    }
    return reply;
}

xr_value mivra_call(const char *fn, const char *url, const char *method, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    xr_value v = mivra_call_va(fn, url, method, format, ap);
    va_end(ap);
    return v;
}

int mivra_command_va(const char *fn, const char *url, const char *method, const char *format,
                     va_list args) {
    xr_value reply = mivra_call_va(fn, url, method, format, args);
    if (!reply) return RESULT_NO_ANSWER;
    xr_env env;
    int result = 0;
    xmlrpc_decompose_value(&env, reply.get(), "{s:i,*}", "result", &result);
    if (env.fault()) {
        mivra_err("%s: %s, decompose value failed: %s (%d) [%s:%d]\n", fn, method, env.msg(),
                  env.code(), MIVRA_HERE);
        return RESULT_NO_ANSWER;
    }
    return result;
}

int mivra_command(const char *fn, const char *url, const char *method, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int r = mivra_command_va(fn, url, method, format, ap);
    va_end(ap);
    return r;
}

int mivra_decode_result(const char *fn, xmlrpc_value *reply, int *result, const char *file,
                        int line) {
    xr_env env;
    xmlrpc_decompose_value(&env, reply, "{s:i,*}", "result", result);
    if (env.fault()) {
        mivra_err("%s: decompose value failed: %s (%d) [%s:%d]\n", fn, env.msg(), env.code(), file,
                  line);
        return RESULT_NO_ANSWER;
    }
    return 0;
}

void mivra_report_result(const char *fn, const char *method, int result) {
    mivra_errtext text(-result);
    mivra_err("%s: %s return %d (%s)", fn, method, result, text.str);
}

int mivra_record_call(const char *fn, const char *url, const char *method, xr_value *reply,
                      const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    xr_value v = mivra_call_va(fn, url, method, format, ap);
    va_end(ap);
    if (!v) return RESULT_NO_ANSWER;
    int result = 0;
    if (mivra_decode_result(fn, v.get(), &result, MIVRA_HERE) < 0) return RESULT_NO_ANSWER;
    if (result < 0) {
        mivra_report_result(fn, method, result);
        return result;
    }
    *reply = std::move(v);
    return result;
}

xr_value mivra_member_array(xmlrpc_env *env, xmlrpc_value *reply, const char *member) {
    xmlrpc_value *array = nullptr;
    xmlrpc_decompose_value(env, reply, "{s:A,*}", member, &array);
    return xr_value(env->fault_occurred ? nullptr : array);
}

int mivra_array_size(const char *fn, xmlrpc_value *array) {
    xr_env env;
    int size = xmlrpc_array_size(&env, array);
    if (env.fault()) {
        mivra_err("%s: xmlrpc_array_size failed: %s (%d)", fn, env.msg(), env.code());
        return RESULT_NO_ANSWER;
    }
    return size;
}

xr_value mivra_array_item(const char *fn, xmlrpc_value *array, int i) {
    xr_env env;
    xmlrpc_value *item = nullptr;
    xmlrpc_array_read_item(&env, array, i, &item);
    if (env.fault()) {
        mivra_err("%s: xmlrpc_array_read_item failed: %s (%d)", fn, env.msg(), env.code());
        return nullptr;
    }
    return xr_value(item);
}

xr_value mivra_record_list(const char *fn, xmlrpc_value *reply) {
    xr_env env;
    xr_value list = mivra_member_array(&env, reply, "list");
    if (env.fault())
        mivra_err("%s: decompose value failed: %s (%d) [%s:%d]", fn, env.msg(), env.code(),
                  MIVRA_HERE);
    return list;
}

int mivra_build_failed(const char *fn, const char *url, const char *method, xr_env &env) {
    mivra_err("%s: xmlrpc_client_callX(%s, %s) failed: %s (%d)", fn, url ? url : "", method,
              env.msg(), env.code());
    return RESULT_NO_ANSWER;
}

namespace {

int template_var_count(const char *const *names, const char *const *values) {
    if (!names || !names[0]) return 0;
    // Both arrays end in null: names[i] and values[0..i-1] are known set when i is reached.
    for (int i = 0;; i++) {
        if (!values || !values[i]) return i;
        if (!names[i + 1]) return i + 1;
    }
}

}  // namespace

void mivra_template_args(xmlrpc_env *env, int value_count, const char *const *values, int var_count,
                         const char *const *var_names, const char *const *var_values,
                         xr_value *array, xr_value *vars) {
    if (var_count < 0) var_count = template_var_count(var_names, var_values);
    if (value_count < 0) value_count = mivra_null_count(values);
    if (!var_names || !var_values) var_count = 0;
    if (!values) value_count = 0;
    vars->reset(xmlrpc_struct_new(env));
    for (int i = 0; i < var_count && !env->fault_occurred; i++) {
        if (!var_names[i] || !var_values[i]) continue;
        xr_value v(xmlrpc_string_new(env, var_values[i]));
        if (!env->fault_occurred) xmlrpc_struct_set_value(env, vars->get(), var_names[i], v.get());
    }
    if (!env->fault_occurred) array->reset(xmlrpc_array_new(env));
    for (int i = 0; i < value_count && !env->fault_occurred; i++) {
        if (!values[i]) continue;
        xr_value v(xmlrpc_string_new(env, values[i]));
        if (!env->fault_occurred) xmlrpc_array_append_item(env, array->get(), v.get());
    }
}

void mivra_report_decompose(const char *fn, xr_env &env) {
    mivra_err("%s: xmlrpc_decompose_value failed: %s (%d)", fn, env.msg(), env.code());
}

int mivra_method_no_arg(const char *url, const char *method) {
    return mivra_command(__func__, url, method, "()");
}

int parse_custom_list(const char *caller, xmlrpc_env *env, xmlrpc_value *reply, const char *member,
                      mivra_list_item_fn fn, void *output) {
    static const char self[] = "parse_custom_list";
    if (env->fault_occurred) {
        mivra_err("%s/%s: xmlrpc_client_callX() failed: %s (%d)", caller, self,
                  env->fault_string ? env->fault_string : "", env->fault_code);
        return RESULT_NO_ANSWER;
    }
    xr_value list = mivra_member_array(env, reply, member);
    if (env->fault_occurred) {
        mivra_err("%s/%s: decompose value failed: %s (%d) [%s:%d]\n", caller, self,
                  env->fault_string, env->fault_code, MIVRA_HERE);
        return RESULT_NO_ANSWER;
    }
    int size = xmlrpc_array_size(env, list.get());
    if (env->fault_occurred) {
        mivra_err("%s/%s: xmlrpc_array_size failed: %s (%d) [%s:%d]\n", caller, self,
                  env->fault_string, env->fault_code, MIVRA_HERE);
        return RESULT_NO_ANSWER;
    }
    int n = 0;
    for (int i = 0; i < size; i++) {
        // Once an item failed the env holds its fault: the rest are reported, never decoded,
        // since xmlrpc-c must not be handed a faulted env.
        if (!env->fault_occurred) {
            xmlrpc_value *raw = nullptr;
            xmlrpc_array_read_item(env, list.get(), i, &raw);
            xr_value item(env->fault_occurred ? nullptr : raw);
            if (!env->fault_occurred) fn(env, item.get(), output, n, size);
            if (!env->fault_occurred) {
                n++;
                continue;
            }
        }
        mivra_err("%s/%s: xmlrpc_array_read_item failed: %s (%d)", caller, self,
                  env->fault_string ? env->fault_string : "", env->fault_code);
    }
    return n;
}

int parse_simple_list_response(const char *caller, xmlrpc_env *env, xmlrpc_value *reply,
                               std::vector<std::string> *out) {
    static const char self[] = "parse_simple_list_response";
    xr_value hold(reply);
    int result = 0;
    xmlrpc_value *raw = nullptr;
    xmlrpc_decompose_value(env, reply, "{s:i,*}", "result", &result);
    if (!env->fault_occurred && result < 0) {
        mivra_errtext text(-result);
        mivra_err("%s/%s: return %d (%s)", caller, self, result, text.str);
        return result;
    }
    if (!env->fault_occurred) xmlrpc_decompose_value(env, reply, "{s:A,*}", "list", &raw);
    if (env->fault_occurred) {
        mivra_err("%s/%s: decompose value failed: %s (%d) [%s:%d]\n", caller, self,
                  env->fault_string, env->fault_code, MIVRA_HERE);
        return RESULT_NO_ANSWER;
    }
    xr_value list(raw);
    int size = xmlrpc_array_size(env, list.get());
    if (env->fault_occurred) {
        mivra_err("%s/%s: xmlrpc_array_size failed: %s (%d) [%s:%d]\n", caller, self,
                  env->fault_string, env->fault_code, MIVRA_HERE);
        return RESULT_NO_ANSWER;
    }
    out->clear();
    out->reserve(size);
    for (int i = 0; i < size; i++) {
        if (!env->fault_occurred) {
            xmlrpc_value *item = nullptr;
            xmlrpc_array_read_item(env, list.get(), i, &item);
            xr_value hold_item(env->fault_occurred ? nullptr : item);
            if (!env->fault_occurred)
                mivra_list_iter_string1(env, item, out, int(out->size()), size);
            if (!env->fault_occurred) continue;
        }
        mivra_err("%s/%s: xmlrpc_array_read_item failed: %s (%d)", caller, self,
                  env->fault_string ? env->fault_string : "", env->fault_code);
    }
    return int(out->size());
}

namespace {

int list_iter_string(const char *fn, const char *format, xmlrpc_env *env, xmlrpc_value *item,
                     void *output) {
    xr_str s;
    xr_decompose(env, item, format, &s);
    if (env->fault_occurred) {
        mivra_err("%s: xmlrpc_array_read_item failed: %s (%d)", fn, env->fault_string,
                  env->fault_code);
        return RESULT_NO_ANSWER;
    }
    static_cast<std::vector<std::string> *>(output)->emplace_back(s.get());
    return 0;
}

}  // namespace

int mivra_list_iter_string(xmlrpc_env *env, xmlrpc_value *item, void *output, int, int) {
    return list_iter_string(__func__, "s", env, item, output);
}

int mivra_list_iter_string1(xmlrpc_env *env, xmlrpc_value *item, void *output, int, int) {
    return list_iter_string(__func__, "(s)", env, item, output);
}

int mivra_basename_item(const char *url, const char *method, const char *name, const char *name2,
                        text4k *value, text4k *object, int64_t *shm_id) {
    if (shm_id) *shm_id = -1;
    xr_env env;
    bool two = name2 && *name2;
    xr_value reply(two ? xmlrpc_client_callX(&env, url, method, "(ss)", name ? name : "", name2)
                       : xmlrpc_client_callX(&env, url, method, "(s)", name ? name : ""));
    if (env.fault()) {
        mivra_err("mivra_basename_item: xmlrpc_client_callX(%s, %s, %s) failed: %s (%d)",
                  url ? url : "", name ? name : "", name2 ? name2 : "", env.msg(), env.code());
        return RESULT_NO_ANSWER;
    }
    int result = 0;
    xr_str v, o;
    xmlrpc_int64 id = -1;
    xr_decompose(&env, reply.get(), "{s:i,s:s,s:s,s:I,*}", "result", &result, "value", &v, "object",
                 &o, "cache_shm_id", &id);
    if (env.fault()) {
        mivra_err("mivra_lib_basename_item: decompose value failed: %s (%d)", env.msg(),
                  env.code());
        if (value) value->clear();
        if (object) object->clear();
        return RESULT_NO_ANSWER;
    }
    if (value) *value = v.get();
    if (object) *object = o.get();
    if (shm_id) *shm_id = id;
    return result;
}

int parse_int(const char *s) {
    char *end = nullptr;
    long v = strtol(s, &end, 10);
    if (end == s) return 0;
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return int(v);
}
