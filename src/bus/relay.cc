#include "relay.h"

#include <cstring>
#include <string>

#include "mivra.h"

xmlrpc_value *bus_relay(xmlrpc_env *env, const char *url, const char *method,
                        xmlrpc_value *params) {
    mivra_call_scope outside(MIVRA_BOUND_RELAY_MS, 1);
    // "A" hands the received parameter array on as the call's whole parameter list.
    xmlrpc_value *reply = xmlrpc_client_callX(env, url, method, "A", params);
    if (!env->fault_occurred) return reply;
    // The service's own fault goes back as it sent it, without the client's preamble.
    static const char kServer[] = "RPC failed at server.  ";
    const char *text = env->fault_string ? env->fault_string : "";
    if (!strncmp(text, kServer, sizeof(kServer) - 1)) {
        std::string own(text + sizeof(kServer) - 1);
        int code = env->fault_code;
        xmlrpc_env_clean(env);
        xmlrpc_env_init(env);
        xmlrpc_env_set_fault(env, code, own.c_str());
    }
    return nullptr;
}
