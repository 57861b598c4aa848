#include "mivra_svc.h"

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
        return RESULT_NO_ANSWER;
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
    if (!reply || mivra_short_result(fn, reply.get(), &result) < 0) return RESULT_NO_ANSWER;
    return result;
}

int mivra_method_result(const char *fn, const char *method, xmlrpc_value *reply, int *result) {
    xr_env env;
    xmlrpc_decompose_value(&env, reply, "{s:i,*}", "result", result);
    if (env.fault()) {
        mivra_err("%s: %s, decompose value failed: %s (%d) [%s:%d]\n", fn, method, env.msg(),
                  env.code(), MIVRA_HERE);
        return RESULT_NO_ANSWER;
    }
    return 0;
}

int mivra_short_item(const char *fn, xmlrpc_value *reply, xr_value *item) {
    int result = 0;
    if (mivra_short_result(fn, reply, &result) < 0) return RESULT_NO_ANSWER;
    if (result != 0) return result;
    xr_env env;
    xmlrpc_value *raw = nullptr;
    xmlrpc_decompose_value(&env, reply, "{s:S,*}", "item", &raw);
    if (env.fault()) {
        mivra_err("%s: decompose value failed: %s (%d)", fn, env.msg(), env.code());
        return RESULT_NO_ANSWER;
    }
    item->reset(raw);
    return 0;
}
