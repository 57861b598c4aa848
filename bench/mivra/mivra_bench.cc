// Pooled calls against bare xmlrpc-c calls on loopback, their throughput with 32 callers, and
// the UDP play datagram's send-to-arrival time against a raw sendto. Each figure is printed
// beside its baseline from the same run, as a ratio.
#include "mivra_io.h"

#include <benchmark/benchmark.h>
#include <xmlrpc-c/client.h>
#include <xmlrpc-c/server.h>
#include <xmlrpc-c/server_abyss.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include "summary.h"

namespace {

std::string url, hostport;

xmlrpc_value *play(xmlrpc_env *env, xmlrpc_value *, void *, void *) {
    return xmlrpc_build_value(env, "{s:i}", "result", 0);
}

// An Abyss server answering MivraIO.Play on a free loopback port, in a thread of its own.
struct abyss_server {
    xmlrpc_registry *registry = nullptr;
    xmlrpc_server_abyss_t *server = nullptr;
    std::thread thread;

    bool start() {
        xmlrpc_env env;
        xmlrpc_env_init(&env);
        xmlrpc_server_abyss_global_init(&env);
        registry = xmlrpc_registry_new(&env);
        xmlrpc_registry_add_method2(&env, registry, "MivraIO.Play", play, nullptr, nullptr,
                                    nullptr);
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) return false;
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        xmlrpc_server_abyss_parms parms{};
        parms.registryP = registry;
        parms.socket_bound = true;
        parms.socket_handle = fd;
        parms.keepalive_max_conn = 1000000;
        parms.keepalive_timeout = 60;
        parms.max_conn = 80;
        parms.max_conn_backlog = 128;
        xmlrpc_server_abyss_create(&env, &parms, XMLRPC_APSIZE(max_conn_backlog), &server);
        if (env.fault_occurred) {
            fprintf(stderr, "abyss: %s\n", env.fault_string);
            return false;
        }
        url = "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/RPC2";
        thread = std::thread([this] {
            xmlrpc_env e;
            xmlrpc_env_init(&e);
            xmlrpc_server_abyss_run_server(&e, server);
            xmlrpc_env_clean(&e);
        });
        xmlrpc_env_clean(&env);
        return true;
    }
    void stop() {
        xmlrpc_env env;
        xmlrpc_env_init(&env);
        xmlrpc_server_abyss_terminate(&env, server);
        thread.join();
        xmlrpc_server_abyss_destroy(server);
        xmlrpc_registry_free(registry);
        xmlrpc_server_abyss_global_term();
        xmlrpc_env_clean(&env);
    }
};

// The same call on a client of the caller's own, without the pool.
void BM_BareCall(benchmark::State &state) {
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_client *client = nullptr;
    xmlrpc_client_create(&env, XMLRPC_CLIENT_NO_FLAGS, "bench", "1", nullptr, 0, &client);
    for (auto _ : state) {
        xmlrpc_value *r = nullptr;
        xmlrpc_client_call2f(&env, client, url.c_str(), "MivraIO.Play", &r, "()");
        int result = -1;
        if (!env.fault_occurred) xmlrpc_decompose_value(&env, r, "{s:i,*}", "result", &result);
        if (r) xmlrpc_DECREF(r);
        if (env.fault_occurred || result != 0) state.SkipWithError("bare call failed");
    }
    xmlrpc_client_destroy(client);
    xmlrpc_env_clean(&env);
    state.SetItemsProcessed(state.iterations());
}

void BM_PooledCall(benchmark::State &state) {
    for (auto _ : state)
        if (mivra_play(url.c_str()) != 0) state.SkipWithError("pooled call failed");
    state.SetItemsProcessed(state.iterations());
}

// Medians of a few repetitions: these machines are noisy.
BENCHMARK(BM_BareCall)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly();
BENCHMARK(BM_PooledCall)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly();
BENCHMARK(BM_BareCall)->Threads(32)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly();
BENCHMARK(BM_PooledCall)->Threads(32)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly();

// A receiver on loopback: each iteration sends one datagram and waits for it to arrive.
struct udp_receiver {
    int fd = -1;
    sockaddr_in addr{};
    udp_receiver() {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
        hostport = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    }
    ~udp_receiver() { close(fd); }
    bool receive() {
        char buf[64];
        return recv(fd, buf, sizeof buf, 0) == 13;
    }
};

udp_receiver *receiver;

void BM_UdpRawSendto(benchmark::State &state) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    for (auto _ : state) {
        sendto(fd, "MivraIO.Play", 13, 0, reinterpret_cast<sockaddr *>(&receiver->addr),
               sizeof receiver->addr);
        if (!receiver->receive()) state.SkipWithError("no datagram");
    }
    close(fd);
}

void BM_UdpPlay(benchmark::State &state) {
    for (auto _ : state) {
        if (mivra_udp_play(hostport.c_str()) != 13) state.SkipWithError("send failed");
        if (!receiver->receive()) state.SkipWithError("no datagram");
    }
}

BENCHMARK(BM_UdpRawSendto)->Repetitions(5)->ReportAggregatesOnly();
BENCHMARK(BM_UdpPlay)->Repetitions(5)->ReportAggregatesOnly();

// The run's name without its "repeats:N" part.
std::string plain_name(std::string name) {
    size_t at = name.find("/repeats:");
    if (at == std::string::npos) return name;
    size_t end = name.find('/', at + 1);
    name.erase(at, end == std::string::npos ? std::string::npos : end - at);
    return name;
}

// Keeps each run's time per iteration for the ratios printed at the end.
class ratio_reporter : public benchmark::ConsoleReporter {
   public:
    std::map<std::string, double> ns;
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const auto &r : runs)
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median" &&
                !r.error_occurred)
                ns[plain_name(r.run_name.str())] = r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    void ratio(const char *what, const std::string &a, const std::string &base) {
        if (ns.count(a) && ns.count(base) && ns[base] > 0) {
            printf("%-44s %6.2f  (%s / %s)\n", what, ns[a] / ns[base], a.c_str(), base.c_str());
            bench_summary(what, bench_fmt("%.0f us", ns[a] / 1000),
                          bench_fmt("%.0f us", ns[base] / 1000), ns[a] / ns[base],
                          "lower (time per call)");
        }
    }
};

}  // namespace

int main(int argc, char **argv) {
    signal(SIGPIPE, SIG_IGN);
    benchmark::Initialize(&argc, argv);
    abyss_server server;
    if (!server.start()) return 1;
    mivra_init("mivra_bench", MIVRA_VERSION);
    udp_receiver rx;
    receiver = &rx;
    ratio_reporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    printf("\nratios of medians (time per call; 1.00 = as fast as the baseline)\n");
    rep.ratio("pooled call vs bare xmlrpc-c call", "BM_PooledCall/real_time",
              "BM_BareCall/real_time");
    rep.ratio("32 callers: pooled vs own client each", "BM_PooledCall/real_time/threads:32",
              "BM_BareCall/real_time/threads:32");
    rep.ratio("1 pooled caller vs 32 (time per call)", "BM_PooledCall/real_time",
              "BM_PooledCall/real_time/threads:32");
    rep.ratio("UDP play send-to-arrival vs raw sendto", "BM_UdpPlay", "BM_UdpRawSendto");
    mivra_cleanup();
    server.stop();
    return 0;
}
