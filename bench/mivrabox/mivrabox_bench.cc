// Playlist lines and files against plain reading and copying of the same bytes, measured in the
// same run: each figure is printed as a ratio to its baseline.
#include <benchmark/benchmark.h>

#include <fstream>
#include <malloc.h>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

#include "file.h"
#include "mivrabox_ply.h"
#include "summary.h"

namespace {

constexpr int kEvents = 100000;
constexpr int kDupEvents = 10000;

// A day of typical events: timecodes, a media id, a title, now and then assets and metadata.
std::string typical_line(int i) {
    char tc[32];
    snprintf(tc, sizeof tc, "%02d:%02d:%02d:%02d", (i / 3600) % 24, (i / 60) % 60, i % 60, i % 25);
    std::string l = std::string(tc) + "\t" + (i % 10 ? " " : "F") + "\t00:00:00:00\t00:00:30:00\t" +
                    "00:00:30:00\t" + (i % 7 ? "C" : "L") + "\tPROMO_" +
                    std::to_string(100000 + i) + "_HD\tEvening news promo " + std::to_string(i) +
                    "\t" + (i % 3 ? "" : "logo+crawl") + "\t" + tc + "\t\t" +
                    (i % 4 ? "" : "lang\\tfr\\nrating\\t12") + "\t\t\t16:9";
    return l;
}

struct fixture {
    std::string dir, file, copy, out;
    std::vector<std::string> lines;
    ply_list *list = nullptr;
    ply_list *small = nullptr;
    fixture() {
        char tmpl[] = "/tmp/mivrabox_bench_XXXXXX";
        dir = mkdtemp(tmpl);
        file = dir + "/day.ply";
        copy = dir + "/copy.ply";
        out = dir + "/saved.ply";
        std::string all;
        for (int i = 0; i < kEvents; i++) {
            lines.push_back(typical_line(i));
            all += lines.back() + "\n";
        }
        file_write_atomic(file, all);
        ply_load(&list, file.c_str());
        ply_new(&small);
        for (int i = 0; i < kDupEvents; i++) ply_insert_event(small, list->items[size_t(i)], -1, 1);
    }
    ~fixture() {
        ply_free(&list);
        ply_free(&small);
        for (auto *f : {&file, &copy, &out}) unlink(f->c_str());
        rmdir(dir.c_str());
    }
};

fixture &fx() {
    static fixture f;
    return f;
}

void BM_getline(benchmark::State &state) {
    for (auto _ : state) {
        std::ifstream in(fx().file);
        std::string line;
        size_t n = 0;
        while (std::getline(in, line)) n += line.size();
        benchmark::DoNotOptimize(n);
    }
    state.SetItemsProcessed(state.iterations() * kEvents);
}

void BM_getline_parse_format(benchmark::State &state) {
    for (auto _ : state) {
        std::ifstream in(fx().file);
        std::string line, out;
        size_t n = 0;
        while (std::getline(in, line)) {
            mivrabox_event *ev = mivrabox_event_parse(line);
            out.clear();
            n += mivrabox_event_format_append(ev, out);
            mivrabox_event_unref(&ev);
        }
        benchmark::DoNotOptimize(n);
    }
    state.SetItemsProcessed(state.iterations() * kEvents);
}

void BM_file_copy(benchmark::State &state) {
    for (auto _ : state) {
        std::string data;
        file_read_all(fx().file, data);
        file_write_atomic(fx().copy, data);
    }
}

void BM_ply_load(benchmark::State &state) {
    for (auto _ : state) {
        ply_list *l = nullptr;
        if (ply_load(&l, fx().file.c_str()) != kEvents) state.SkipWithError("load");
        ply_free(&l);
    }
}

void BM_ply_save(benchmark::State &state) {
    for (auto _ : state)
        if (ply_save(fx().list, fx().out.c_str()) != kEvents) state.SkipWithError("save");
}

void BM_copy_line_texts(benchmark::State &state) {
    std::vector<std::string> src(fx().lines.begin(), fx().lines.begin() + kDupEvents);
    for (auto _ : state) {
        std::vector<std::string> copy(src);
        benchmark::DoNotOptimize(copy.data());
    }
}

void BM_ply_dup(benchmark::State &state) {
    for (auto _ : state) {
        ply_list *d = nullptr;
        ply_dup(fx().small, &d);
        ply_free(&d);
    }
}

// Heap held by a loaded list, per event, beside the bytes of its line in the file.
void BM_memory_per_event(benchmark::State &state) {
    double per_event = 0, line_bytes = 0;
    for (auto _ : state) {
        size_t before = mallinfo2().uordblks;
        ply_list *l = nullptr;
        ply_load(&l, fx().file.c_str());
        size_t after = mallinfo2().uordblks;
        per_event = double(after - before) / kEvents;
        ply_free(&l);
    }
    for (auto &s : fx().lines) line_bytes += double(s.size() + 1);
    state.counters["bytes_per_event"] = per_event;
    state.counters["line_bytes"] = line_bytes / kEvents;
    state.counters["sizeof_event"] = double(sizeof(mivrabox_event));
}

BENCHMARK(BM_getline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_getline_parse_format)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_file_copy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ply_load)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ply_save)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_copy_line_texts)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ply_dup)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_memory_per_event)->Iterations(1)->Unit(benchmark::kMillisecond);

// Keeps each run's time and counters so that the ratios can be printed at the end.
class ratio_reporter : public benchmark::ConsoleReporter {
   public:
    std::map<std::string, double> time;
    std::map<std::string, std::string> unit;
    std::map<std::string, benchmark::UserCounters> counters;
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            if (r.error_occurred) continue;
            time[r.benchmark_name()] = r.GetAdjustedRealTime();
            unit[r.benchmark_name()] = benchmark::GetTimeUnitString(r.time_unit);
            counters[r.benchmark_name()] = r.counters;
        }
    }
};

void print_ratio(ratio_reporter &r, const char *what, const char *a, const char *b) {
    if (!r.time.count(a) || !r.time.count(b) || r.time[b] <= 0) return;
    printf("ratio %-44s %6.2f  (%s / %s)\n", what, r.time[a] / r.time[b], a, b);
    bench_summary(what, bench_fmt("%.2f ", r.time[a]) + r.unit[a],
                  bench_fmt("%.2f ", r.time[b]) + r.unit[b], r.time[a] / r.time[b], "lower (time)");
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    fx();
    ratio_reporter r;
    benchmark::RunSpecifiedBenchmarks(&r);
    printf("\n");
    print_ratio(r, "parse+format vs getline of the same file", "BM_getline_parse_format",
                "BM_getline");
    print_ratio(r, "ply_load of 100000 events vs file copy", "BM_ply_load", "BM_file_copy");
    print_ratio(r, "ply_save of 100000 events vs file copy", "BM_ply_save", "BM_file_copy");
    print_ratio(r, "ply_dup of 10000 events vs copying their lines", "BM_ply_dup",
                "BM_copy_line_texts");
    auto m = r.counters.find("BM_memory_per_event/iterations:1");
    if (m != r.counters.end())
        printf("ratio %-44s %6.2f  (%.0f heap bytes per event / %.0f line bytes)\n",
               "resident memory per event vs its line",
               m->second["bytes_per_event"] / m->second["line_bytes"],
               double(m->second["bytes_per_event"]), double(m->second["line_bytes"]));
    if (m != r.counters.end())
        bench_summary("resident memory per event vs its line",
                      bench_fmt("%.0f bytes", m->second["bytes_per_event"]),
                      bench_fmt("%.0f bytes", m->second["line_bytes"]),
                      m->second["bytes_per_event"] / m->second["line_bytes"], "lower (memory)");
    benchmark::Shutdown();
    return 0;
}
