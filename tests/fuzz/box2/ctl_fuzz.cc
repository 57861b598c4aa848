// Control methods with parameters of any type and value, against a bus holding a playlist: the
// bytes pick the method and spell its parameters (ints, i8s, strings, arrays of them).
#include <xmlrpc-c/server.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "box2_opts.h"
#include "box2_bus.h"
#include "bus.h"
#include "ctl.h"
#include "log.h"
#include "tc.h"
#include "xr.h"

namespace {

struct reader {
    const uint8_t *p;
    size_t n;
    uint8_t byte() {
        if (!n) return 0;
        n--;
        return *p++;
    }
    int64_t number() {
        static const int64_t kPick[] = {0,    1,         2,         -1,        -2,        16,
                                        1000, INT32_MAX, INT32_MIN, INT64_MAX, INT64_MIN, 3,
                                        5,    0x80,      0x200,     255};
        uint8_t b = byte();
        return b < 16 ? kPick[b] : int64_t(int8_t(b));
    }
    std::string text() {
        static const char *kPick[] = {"",
                                      ".",
                                      "..",
                                      "a/b",
                                      "show",
                                      "clip",
                                      "10:00:00:00\t \t\t\t00:00:10:00\tC\tclip\tt\t\t\t\t\t\t\t",
                                      "10:00:00:00\tF\t00:00:01:00\t00:00:00:00\t\tC\tx\t\t\t"};
        uint8_t b = byte();
        if (b < 8) return kPick[b];
        std::string s;
        for (size_t len = b % 24; len-- && n;) s += char(byte());
        return s;
    }
};

// xmlrpc-c leaves the result of a failed call undefined.
xmlrpc_value *made(xmlrpc_env *env, xmlrpc_value *v) {
    return env->fault_occurred ? nullptr : v;
}

xmlrpc_value *value(xmlrpc_env *env, reader &r, int depth) {
    switch (r.byte() % (depth ? 3 : 4)) {
        case 0:
            return made(env, xmlrpc_int_new(env, int(r.number())));
        case 1:
            return made(env, xmlrpc_i8_new(env, r.number()));
        case 2: {
            std::string s = r.text();
            return made(env, xmlrpc_string_new_lp(env, s.size(), s.data()));
        }
        default: {
            xmlrpc_value *a = made(env, xmlrpc_array_new(env));
            if (!a) return nullptr;
            for (int k = r.byte() % 5; k-- && !env->fault_occurred;) {
                xr_value v(value(env, r, depth + 1));
                if (!env->fault_occurred) xmlrpc_array_append_item(env, a, v.get());
            }
            if (env->fault_occurred) {
                xmlrpc_DECREF(a);
                return nullptr;
            }
            return a;
        }
    }
}

mivrabox_opts *g_opts;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    log_init("/dev/null", 86400);
    log_set_stderr(0);
    tc_setmode(TC_PAL);
    g_opts = new mivrabox_opts;
    box2_setup(g_opts);
    bus *b = nullptr;
    box2_bus_new(&b);
    b->path = "/nonexistent-box2-fuzz";
    g_opts->busses[g_opts->bus_count++] = b;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    reader r{data, size};
    const ctl_method_def &m = ctl_methods_shared[r.byte() % ctl_methods_shared_count];
    xr_env env;
    xr_value params(xmlrpc_array_new(&env));
    // The bus index comes first in every method; mostly a valid one.
    xr_value bus_idx(r.byte() % 8 ? xmlrpc_int_new(&env, 0) : value(&env, r, 0));
    if (env.fault()) return 0;  // text that xmlrpc-c refuses never reaches a handler
    xmlrpc_array_append_item(&env, params.get(), bus_idx.get());
    for (int k = r.byte() % 5; k-- && !env.fault();) {
        xr_value v(value(&env, r, 0));
        if (!env.fault()) xmlrpc_array_append_item(&env, params.get(), v.get());
    }
    if (env.fault()) return 0;  // text that xmlrpc-c refuses never reaches a handler
    xr_value reply(made(&env, m.handler(&env, params.get(), g_opts, nullptr)));
    // Keep the playlist small so that every input runs quickly.
    bus *b = g_opts->busses[0];
    if (b->playlist->count() > 64) bus_ply_close(b, nullptr);
    return 0;
}
