// Holders for xmlrpc-c's env and values: faults are checked, references always released.
#pragma once

#include <xmlrpc-c/base.h>

#include <cstdlib>
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

// A string handed out by xmlrpc_decompose_value ("s"): freed with the holder. Decode into it
// with xr_decompose only: when a decomposition fails xmlrpc-c has already freed what it decoded.
struct xr_str {
    const char *p = nullptr;
    xr_str() = default;
    ~xr_str() { free(const_cast<char *>(p)); }
    xr_str(const xr_str &) = delete;
    xr_str &operator=(const xr_str &) = delete;
    const char *get() const { return p ? p : ""; }
};

// A byte string handed out by xmlrpc_decompose_value ("6"): pass &p and &size, and call
// disown() when the decomposition failed (xmlrpc-c freed the bytes then).
struct xr_bytes {
    const unsigned char *p = nullptr;
    size_t size = 0;
    xr_bytes() = default;
    ~xr_bytes() { free(const_cast<unsigned char *>(p)); }
    xr_bytes(const xr_bytes &) = delete;
    xr_bytes &operator=(const xr_bytes &) = delete;
    void disown() {
        p = nullptr;
        size = 0;
    }
};

namespace xr_detail {
inline const char **arg(xr_str *s) {
    return &s->p;
}
template <class T>
T *arg(T *p) {
    return p;
}
inline void disown(xr_str *s) {
    s->p = nullptr;
}
template <class T>
void disown(T *) {}
}  // namespace xr_detail

// xmlrpc_decompose_value that also takes xr_str holders for "s" members and leaves none of them
// dangling when it fails.
template <class... A>
void xr_decompose(xmlrpc_env *env, xmlrpc_value *v, const char *format, A... args) {
    xmlrpc_decompose_value(env, v, format, xr_detail::arg(args)...);
    if (env->fault_occurred) (xr_detail::disown(args), ...);
}
