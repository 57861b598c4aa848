// The command parser over a mix of device messages, against a baseline that only copies each
// message once (what any handler must at least do); the summary prints the ratio.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

#include "log.h"
#include "oxtel_cmd.h"
#include "summary.h"

namespace {

const std::vector<std::string> kMix = {
    "31 1",
    "Y91LOGO",
    "R40name_of_a_template",
    "R41",
    "Z0110Some text with a \\3A colon",
    "Y6",
    "S01",
    "WZ121sequence",
    "m2123key|value",
    "x0abcd",
    "Unknown message",
};

int on_ii(void *u, int a, int b) {
    return *static_cast<int *>(u) += a + b;
}
int on_is(void *u, int a, const char *s) {
    return *static_cast<int *>(u) += a + int(s[0]);
}

void BM_parse(benchmark::State &state) {
    oxtel_cbs t{};
    t.CutKeyer = on_ii;
    t.ImageLoadTally = on_is;
    t.QueryFirstFileResponse = on_is;
    int sink = 0;
    for (auto _ : state)
        for (const std::string &m : kMix)
            benchmark::DoNotOptimize(oxtel_cmd_parser_cb(&t, &sink, m.c_str(), int(m.size())));
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kMix.size()));
}

void BM_copy_baseline(benchmark::State &state) {
    char buf[8192];
    for (auto _ : state)
        for (const std::string &m : kMix) {
            memcpy(buf, m.data(), m.size() + 1);
            benchmark::DoNotOptimize(buf);
        }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kMix.size()));
}

BENCHMARK(BM_parse);
BENCHMARK(BM_copy_baseline);

class rate_reporter : public benchmark::ConsoleReporter {
   public:
    rate_reporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}
    std::map<std::string, double> rate;  // messages per second by benchmark name
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            auto it = r.counters.find("items_per_second");
            if (it != r.counters.end()) rate[r.benchmark_name()] = it->second.value;
        }
    }
};

}  // namespace

int main(int argc, char **argv) {
    log_set_level(-1);  // the unknown message would log on every turn
    benchmark::Initialize(&argc, argv);
    rate_reporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    double parse = rep.rate["BM_parse"], base = rep.rate["BM_copy_baseline"];
    if (parse > 0 && base > 0)
        printf("parser vs copy: %.1f x the cost of one copy per message (%.0f vs %.0f msg/s)\n",
               base / parse, parse, base);
    if (parse > 0 && base > 0)
        bench_summary("Oxtel command parse", bench_fmt("%.0f msg/s", parse),
                      bench_fmt("%.0f msg/s", base) + " (copy)", base / parse,
                      "lower (cost per message)");
    return 0;
}
