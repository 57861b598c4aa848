#include "relay.h"

#include "mivra.h"

xmlrpc_value *box2_relay(xmlrpc_env *env, const char *url, const char *method,
                         xmlrpc_value *params) {
    // "A" hands the received parameter array on as the call's whole parameter list.
    return xmlrpc_client_callX(env, url, method, "A", params);
}
