#include "mivra_svc.h"

xr_value mivra_record_list(const char *fn, xmlrpc_value *reply, bool newline) {
    xr_env env;
    xr_value list = mivra_member_array(&env, reply, "list");
    if (env.fault())
        mivra_err("%s: decompose value failed: %s (%d) [%s:%d]%s", fn, env.msg(), env.code(),
                  MIVRA_HERE, newline ? "\n" : "");
    return list;
}

namespace {

xr_value short_call_va(const char *fn, const char *url, const char *arg, const char *method,
                       const char *format, va_list ap) {
    xr_env env;
    xr_value reply(xmlrpc_client_callX_va(&env, url, method, format, ap));
    if (env.fault()) {
        mivra_err("%s: xmlrpc_client_callX(%s,%s) failed: %s (%d)", fn, mivra_opt(url),
                  mivra_opt(arg), env.msg(), env.code());
        return nullptr;
    }
    return reply;
}

}  // namespace

xr_value mivra_short_call(const char *fn, const char *url, const char *arg, const char *method,
                          const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    xr_value reply = short_call_va(fn, url, arg, method, format, ap);
    va_end(ap);
    return reply;
}

int mivra_short_result(const char *fn, xmlrpc_value *reply, int *result) {
    xr_env env;
    xmlrpc_decompose_value(&env, reply, "{s:i,*}", "result", result);
    if (env.fault()) {
        mivra_err("%s: decompose value failed: %s (%d)", fn, env.msg(), env.code());
        return -14;
    }
    return 0;
}

int mivra_short_command(const char *fn, const char *url, const char *arg, const char *method,
                        const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    xr_value reply = short_call_va(fn, url, arg, method, format, ap);
    va_end(ap);
    int result = 0;
    if (!reply || mivra_short_result(fn, reply.get(), &result) < 0) return -14;
    return result;
}

int mivra_method_result(const char *fn, const char *method, xmlrpc_value *reply, int *result) {
    xr_env env;
    xmlrpc_decompose_value(&env, reply, "{s:i,*}", "result", result);
    if (env.fault()) {
        mivra_err("%s: %s, decompose value failed: %s (%d) [%s:%d]\n", fn, method, env.msg(),
                  env.code(), MIVRA_HERE);
        return -14;
    }
    return 0;
}

int mivra_short_item(const char *fn, xmlrpc_value *reply, xr_value *item) {
    int result = 0;
    if (mivra_short_result(fn, reply, &result) < 0) return -14;
    if (result != 0) return result;
    xr_env env;
    xmlrpc_value *raw = nullptr;
    xmlrpc_decompose_value(&env, reply, "{s:S,*}", "item", &raw);
    if (env.fault()) {
        mivra_err("%s: decompose value failed: %s (%d)", fn, env.msg(), env.code());
        return -14;
    }
    item->reset(raw);
    return 0;
}

namespace {

int var_pairs(const char *const *names, const char *const *values) {
    if (!names || !names[0]) return 0;
    for (int i = 0;; i++) {
        if (!values || !values[i]) return i;
        if (!names[i + 1]) return i + 1;
    }
}

}  // namespace

bool mivra_template_args(xmlrpc_env *env, int value_count, const char *const *values, int var_count,
                         const char *const *var_names, const char *const *var_values,
                         xr_value *array, xr_value *vars) {
    if (var_count < 0) var_count = var_pairs(var_names, var_values);
    if (value_count < 0) value_count = mivra_null_count(values);
    vars->reset(xmlrpc_struct_new(env));
    for (int i = 0; i < var_count && !env->fault_occurred && var_names && var_values; i++) {
        if (!var_names[i] || !var_values[i]) continue;
        xr_value v(xmlrpc_string_new(env, var_values[i]));
        if (!env->fault_occurred) xmlrpc_struct_set_value(env, vars->get(), var_names[i], v.get());
    }
    if (!env->fault_occurred) array->reset(xmlrpc_array_new(env));
    for (int i = 0; i < value_count && !env->fault_occurred && values; i++) {
        if (!values[i]) continue;
        xr_value v(xmlrpc_string_new(env, values[i]));
        if (!env->fault_occurred) xmlrpc_array_append_item(env, array->get(), v.get());
    }
    return !env->fault_occurred;
}
