// Relay of outside-service calls that arrive on the control port.
#pragma once

#include <xmlrpc-c/base.h>

// Calls method at url with params through the service client pool; the reply, or null with
// the fault (the service's own or the transport's) in env.
xmlrpc_value *bus_relay(xmlrpc_env *env, const char *url, const char *method, xmlrpc_value *params);
