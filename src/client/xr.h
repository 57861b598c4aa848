// Holders for xmlrpc-c's env and values: faults are checked, references always released.
#pragma once

#include <xmlrpc-c/base.h>

#include <memory>

struct xr_env {
    xmlrpc_env env;
    xr_env() { xmlrpc_env_init(&env); }
    ~xr_env() { xmlrpc_env_clean(&env); }
    xr_env(const xr_env &) = delete;
    xr_env &operator=(const xr_env &) = delete;
    xmlrpc_env *operator&() { return &env; }
    bool fault() const { return env.fault_occurred; }
    int code() const { return env.fault_code; }
    const char *msg() const { return env.fault_string ? env.fault_string : ""; }
    // Clears a fault so that the env can be used again.
    void reset() {
        xmlrpc_env_clean(&env);
        xmlrpc_env_init(&env);
    }
};

struct xr_value_release {
    void operator()(xmlrpc_value *v) const {
        if (v) xmlrpc_DECREF(v);
    }
};
using xr_value = std::unique_ptr<xmlrpc_value, xr_value_release>;
