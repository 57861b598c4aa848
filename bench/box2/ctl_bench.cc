// Control calls per second of MivraBox2 (GetState, GetEvents of 1,000 events) against a bare
// xmlrpc-c Abyss method that returns the very same reply, measured in the same run: the ratio
// is the engine's own cost (locks, state, formatting) on top of xmlrpc-c and HTTP.
#include <netinet/in.h>
#include <sys/socket.h>
#include <xmlrpc-c/client.h>
#include <xmlrpc-c/server_abyss.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "box2_opts.h"
#include "box2_bus.h"
#include "bus.h"
#include "ctl.h"
#include "file.h"
#include "log.h"
#include "tc.h"
#include "xr.h"
#include "summary.h"

namespace {

int free_port() {
    unique_fd s(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s.get(), reinterpret_cast<sockaddr *>(&a), sizeof(a));
    socklen_t n = sizeof(a);
    getsockname(s.get(), reinterpret_cast<sockaddr *>(&a), &n);
    return ntohs(a.sin_port);
}

// The reply the bare method gives back, whatever it is asked.
xmlrpc_value *g_canned = nullptr;

xmlrpc_value *bare(xmlrpc_env *, xmlrpc_value *, void *, void *) {
    xmlrpc_INCREF(g_canned);
    return g_canned;
}

struct bare_server {
    xmlrpc_registry *reg = nullptr;
    xmlrpc_server_abyss_t *server = nullptr;
    std::thread th;
    int port = free_port();
    bare_server() {
        xr_env env;
        reg = xmlrpc_registry_new(&env);
        struct xmlrpc_method_info3 mi = {};
        mi.methodName = "Bare.Call";
        mi.methodFunction = bare;
        xmlrpc_registry_add_method3(&env, reg, &mi);
        xmlrpc_server_abyss_parms p = {};
        p.registryP = reg;
        p.port_number = unsigned(port);
        xmlrpc_server_abyss_create(&env, &p, XMLRPC_APSIZE(port_number), &server);
        if (env.fault()) {
            fprintf(stderr, "bare server: %s\n", env.msg());
            exit(1);
        }
        th = std::thread([this] {
            xr_env e;
            xmlrpc_server_abyss_run_server(&e, server);
        });
    }
    ~bare_server() {
        xr_env env;
        xmlrpc_server_abyss_terminate(&env, server);
        th.join();
        xmlrpc_server_abyss_destroy(server);
        xmlrpc_registry_free(reg);
    }
};

xmlrpc_value *call(xmlrpc_client *c, const std::string &url, const char *method,
                   xmlrpc_value *params) {
    xr_env env;
    xmlrpc_server_info *si = xmlrpc_server_info_new(&env, url.c_str());
    xmlrpc_value *reply = nullptr;
    xmlrpc_client_call2(&env, c, si, method, params, &reply);
    xmlrpc_server_info_free(si);
    if (env.fault()) {
        fprintf(stderr, "%s: %s\n", method, env.msg());
        exit(1);
    }
    return reply;
}

double rate(xmlrpc_client *c, const std::string &url, const char *method, xmlrpc_value *params,
            double seconds) {
    auto t0 = std::chrono::steady_clock::now();
    int n = 0;
    double el = 0;
    do {
        xmlrpc_DECREF(call(c, url, method, params));
        n++;
        el = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    } while (el < seconds);
    return n / el;
}

void compare(xmlrpc_client *c, const std::string &box, const std::string &base, const char *method,
             xmlrpc_value *params, const char *label, double seconds) {
    xr_env env;
    xmlrpc_value *empty = xmlrpc_array_new(&env);
    g_canned = call(c, box, method, params);  // same reply, same size
    double best_box = 0, best_base = 0;
    for (int round = 0; round < 3; round++) {  // interleaved, best of three: noisy machines
        best_box = std::max(best_box, rate(c, box, method, params, seconds));
        best_base = std::max(best_base, rate(c, base, "Bare.Call", empty, seconds));
    }
    printf("%-28s MivraBox2 %9.1f calls/s   bare Abyss %9.1f calls/s   ratio %.3f\n", label,
           best_box, best_base, best_box / best_base);
    bench_summary(std::string("control call ") + label, bench_fmt("%.0f calls/s", best_box),
                  bench_fmt("%.0f calls/s", best_base) + " (bare Abyss)", best_base / best_box,
                  "lower (cost per call)");
    xmlrpc_DECREF(g_canned);
    xmlrpc_DECREF(empty);
}

}  // namespace

int main(int argc, char **argv) {
    double seconds = argc > 1 ? atof(argv[1]) : 1.0;
    log_init("/dev/null", 86400);
    log_set_stderr(0);
    tc_setmode(TC_PAL);
    mivrabox_opts o;
    box2_setup(&o);
    o.port = free_port();
    bus *b = nullptr;
    box2_bus_new(&b);
    o.busses[o.bus_count++] = b;
    for (int i = 0; i < 1000; i++) {
        std::string line = "10:00:00:00\t \t\t\t00:00:10:00\tC\tclip" + std::to_string(i) +
                           "\tA title of an ordinary length\tlogo+ticker\t\t\t\t\t\t";
        bus_ply_insert_event_by_idx(b, line.c_str(), -1, nullptr);
    }
    if (ctl_init(&o) < 0) return 1;
    std::thread server([&] { ctl_run(&o); });
    {
        bare_server base;
        xr_env env;
        xmlrpc_limit_set(XMLRPC_XML_SIZE_LIMIT_ID, size_t(64) << 20);
        xmlrpc_client_setup_global_const(&env);
        xmlrpc_client *c = nullptr;
        xmlrpc_client_create(&env, XMLRPC_CLIENT_NO_FLAGS, "bench", "1", nullptr, 0, &c);
        std::string box = "http://127.0.0.1:" + std::to_string(o.port) + "/RPC2";
        std::string bare = "http://127.0.0.1:" + std::to_string(base.port) + "/RPC2";
        usleep(100 * 1000);
        xmlrpc_value *p1 = xmlrpc_build_value(&env, "(i)", 0);
        xmlrpc_value *p2 = xmlrpc_build_value(&env, "(iii)", 0, 0, 1000);
        compare(c, box, bare, "MivraBox.GetState", p1, "GetState", seconds);
        compare(c, box, bare, "MivraBox.GetEvents", p2, "GetEvents (1,000 events)", seconds);
        xmlrpc_DECREF(p1);
        xmlrpc_DECREF(p2);
        xmlrpc_client_destroy(c);
        xmlrpc_client_teardown_global_const();
    }
    ctl_stop(&o);
    server.join();
    ctl_release(&o);
    bus_free(&o.busses[0]);
    log_close();
    return 0;
}
