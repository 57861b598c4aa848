// Media library calls (MivraLib.): graphics templates, their layers and fonts.
#include "mivra_lib.h"
#include "mivra_sort.h"
#include "mivra_svc.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <strings.h>

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
        return RESULT_NO_ANSWER;
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
        return RESULT_NO_ANSWER;
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
        return RESULT_NO_ANSWER;
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
    if (!reply || mivra_method_result(fn, method, reply.get(), &result) < 0)
        return RESULT_NO_ANSWER;
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
        return RESULT_NO_ANSWER;
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
        return RESULT_NO_ANSWER;
    }
    if (out) *out = value.get();
    return result;
}
