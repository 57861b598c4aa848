// log_msg against a plain write(2) loop of the same bytes, with 1 and 16 callers; the summary
// prints the cost of a queued line as a multiple of a direct write.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <string>
#include <thread>
#include <unistd.h>

#include "file.h"
#include "log.h"
#include "summary.h"

namespace {

std::string g_dir;

std::string log_path() {
    return g_dir + "/bench.log";
}
std::string plain_path() {
    return g_dir + "/plain.log";
}

// The same bytes a log line carries: mark, time stamp, text and LF.
constexpr char kLine[] = "  [2026-01-01 00:00:00.000] bench: thread 00 line 0000000000\n";

// A writer that falls behind would make the callers' figure one of dropped lines: the callers
// wait while half the queue is pending, so the rate is that of lines really written.
void BM_log_msg(benchmark::State &state) {
    // The previous run's lines may still be in flight: they go to the unlinked file.
    if (state.thread_index() == 0) unlink(log_path().c_str());
    long long n = 0;
    for (auto _ : state) {
        log_msg(LOG_INFO, "bench: thread %02d line %010lld", state.thread_index(), n++);
        if ((n & 1023) == 0)
            while (log_pending() > LOG_QUEUE_MAX / 2) std::this_thread::yield();
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_write_loop(benchmark::State &state) {
    if (state.thread_index() == 0) unlink(plain_path().c_str());
    unique_fd fd(open(plain_path().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    for (auto _ : state) {
        ssize_t w = write(fd.get(), kLine, sizeof kLine - 1);
        benchmark::DoNotOptimize(w);
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_log_msg)->Threads(1)->Threads(16)->UseRealTime()->MinTime(0.3);
BENCHMARK(BM_write_loop)->Threads(1)->Threads(16)->UseRealTime()->MinTime(0.3);

// Keeps the console output and remembers each run's line rate for the summary.
class rate_reporter : public benchmark::ConsoleReporter {
   public:
    rate_reporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}
    std::map<std::string, double> rate;  // "BM_log_msg/threads:16" -> lines per second
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            auto it = r.counters.find("items_per_second");
            if (it != r.counters.end()) rate[r.benchmark_name()] = it->second.value;
        }
    }
};

std::string rate_key(const std::string &bench, int threads) {
    return bench + "/min_time:0.300/real_time/threads:" + std::to_string(threads);
}

}  // namespace

int main(int argc, char **argv) {
    char tmpl[] = "/tmp/mivra_bench_XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    g_dir = tmpl;
    // Overflow texts, if the writer falls behind, are counted rather than printed.
    std::string err_path = g_dir + "/stderr";
    int saved_err = dup(STDERR_FILENO);
    unique_fd err(open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    log_set_stderr(0);
    if (log_init(log_path().c_str(), 0) != 0) return 1;

    benchmark::Initialize(&argc, argv);
    rate_reporter rep;
    dup2(err.get(), STDERR_FILENO);
    benchmark::RunSpecifiedBenchmarks(&rep);
    log_close();
    dup2(saved_err, STDERR_FILENO);

    std::string errs;
    file_read_all(err_path, errs);
    // Overflow texts are counted; anything else the run wrote there is shown.
    size_t dropped = 0;
    for (size_t at = 0; at < errs.size();) {
        size_t nl = errs.find('\n', at);
        if (nl == std::string::npos) nl = errs.size();
        std::string line = errs.substr(at, nl - at);
        if (line.find("OVERFLOW") != std::string::npos)
            dropped++;
        else if (!line.empty())
            printf("%s\n", line.c_str());
        at = nl + 1;
    }

    for (int threads : {1, 16}) {
        double log_rate = rep.rate[rate_key("BM_log_msg", threads)];
        double write_rate = rep.rate[rate_key("BM_write_loop", threads)];
        if (log_rate > 0 && write_rate > 0)
            printf(
                "log_msg vs write(2), %2d thread(s): %.2f x the cost of a direct write "
                "(%.0f vs %.0f lines/s)\n",
                threads, write_rate / log_rate, log_rate, write_rate);
        if (log_rate > 0 && write_rate > 0)
            bench_summary("log_msg, " + std::to_string(threads) + " thread(s)",
                          bench_fmt("%.0f lines/s", log_rate),
                          bench_fmt("%.0f lines/s", write_rate) + " (write(2))",
                          write_rate / log_rate, "lower (cost per line)");
        else
            printf("log_msg vs write(2), %2d thread(s): no figure\n", threads);
    }
    printf("lines dropped on queue overflow: %zu\n", dropped);
    (void)!system(("rm -rf '" + g_dir + "'").c_str());
    return 0;
}
