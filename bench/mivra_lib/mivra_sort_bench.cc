// The listing order of library items and folders against std::sort of the same names in the
// same run. The order is a selection sort's; the quadratic sort itself is timed once at 10,000
// names to show what computing that order directly would cost.
#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

#include <algorithm>
#include <random>
#include <string>
#include <strings.h>
#include <vector>

#include "mivra_lib.h"
#include "mivra_sort.h"
#include "summary.h"

namespace {

// Library names as they come: mixed case, now and then a duplicate, in no order.
std::vector<std::string> library_names(int n) {
    std::mt19937 rng(42);
    std::vector<std::string> out;
    out.reserve(size_t(n));
    char buf[64];
    for (int i = 0; i < n; i++) {
        int k = i % 50 == 0 && i > 0 ? i - 1 : i;
        snprintf(buf, sizeof buf, "%s_%06d_%s.mxf", rng() % 2 ? "PROMO" : "promo", k,
                 rng() % 3 ? "HD" : "sd");
        out.emplace_back(buf);
    }
    std::shuffle(out.begin(), out.end(), rng);
    return out;
}

int cmp_names(const char *a, const char *b) {
    return strcasecmp(a, b);
}

void BM_std_sort(benchmark::State &state) {
    auto names = library_names(int(state.range(0)));
    for (auto _ : state) {
        auto v = names;
        std::sort(v.begin(), v.end(), [](const std::string &a, const std::string &b) {
            return cmp_names(a.c_str(), b.c_str()) < 0;
        });
        benchmark::DoNotOptimize(v.data());
    }
}

void BM_item_sort(benchmark::State &state) {
    auto names = library_names(int(state.range(0)));
    std::vector<mivra_lib_item> items(names.size());
    for (size_t i = 0; i < names.size(); i++) items[i].name = names[i];
    for (auto _ : state) {
        auto v = items;
        mivra_selection_sort(v, [](const mivra_lib_item &a, const mivra_lib_item &b) {
            return cmp_names(a.name.c_str(), b.name.c_str());
        });
        benchmark::DoNotOptimize(v.data());
    }
}

void BM_dir_sort(benchmark::State &state) {
    auto names = library_names(int(state.range(0)));
    std::vector<mivra_lib_dir_entry> dirs(names.size());
    for (size_t i = 0; i < names.size(); i++) dirs[i].name = names[i];
    for (auto _ : state) {
        auto v = dirs;
        mivra_selection_sort(v, [](const mivra_lib_dir_entry &a, const mivra_lib_dir_entry &b) {
            return -cmp_names(a.name.c_str(), b.name.c_str());
        });
        benchmark::DoNotOptimize(v.data());
    }
}

// The selection sort run as written: each position scans all the names not yet placed.
void BM_quadratic_selection(benchmark::State &state) {
    auto names = library_names(int(state.range(0)));
    for (auto _ : state) {
        auto v = names;
        for (size_t i = 0; i < v.size(); i++) {
            size_t best = i;
            for (size_t j = i + 1; j < v.size(); j++)
                if (cmp_names(v[j].c_str(), v[best].c_str()) < 0) best = j;
            std::swap(v[i], v[best]);
        }
        benchmark::DoNotOptimize(v.data());
    }
}

}  // namespace

BENCHMARK(BM_std_sort)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_item_sort)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_dir_sort)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_quadratic_selection)->Arg(10000)->Iterations(1)->Unit(benchmark::kMillisecond);

namespace {

// Keeps each run's time per iteration for the ratios printed at the end.
class time_reporter : public benchmark::ConsoleReporter {
   public:
    std::map<std::string, double> ns;
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const auto &r : runs)
            if (!r.error_occurred) ns[r.benchmark_name()] = r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    time_reporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    // The library's listing sorts against std::sort of the same names: the baseline any sort
    // must at least match.
    for (const char *n : {"10000", "50000"}) {
        for (const char *which : {"BM_item_sort", "BM_dir_sort"}) {
            std::string a = std::string(which) + "/" + n, b = std::string("BM_std_sort/") + n;
            double ta = rep.ns[a], tb = rep.ns[b];
            if (ta > 0 && tb > 0)
                bench_summary(std::string(which + 3) + " of " + n + " names",
                              bench_fmt("%.2f ms", ta), bench_fmt("%.2f ms", tb) + " (std::sort)",
                              ta / tb, "lower (time)");
        }
    }
    benchmark::Shutdown();
    return 0;
}
