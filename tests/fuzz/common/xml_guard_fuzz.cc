// The filter in front of the XML-RPC parser: whatever it lets through must parse without
// exhausting the stack or expanding entities, whatever the depth, encoding or declarations.
#include <xmlrpc-c/base.h>

#include <cstdint>
#include <cstdlib>

#include "xml_guard.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *xml = reinterpret_cast<const char *>(data);
    xml_guard_verdict v = xml_guard_check(xml, size);
    if (v != XML_GUARD_OK) {
        // A refusal always has a text for the fault it answers.
        if (!xml_guard_text(v)[0]) abort();
        return 0;
    }
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    const char *method = nullptr;
    xmlrpc_value *params = nullptr;
    xmlrpc_parse_call(&env, xml, size, &method, &params);
    if (!env.fault_occurred) {
        free(const_cast<char *>(method));
        xmlrpc_DECREF(params);
    }
    xmlrpc_env_clean(&env);
    xmlrpc_env_init(&env);
    xmlrpc_value *result = nullptr;
    int code = 0;
    const char *text = nullptr;
    xmlrpc_parse_response2(&env, xml, size, &result, &code, &text);
    if (!env.fault_occurred) {
        if (result) xmlrpc_DECREF(result);
        free(const_cast<char *>(text));
    }
    xmlrpc_env_clean(&env);
    return 0;
}
