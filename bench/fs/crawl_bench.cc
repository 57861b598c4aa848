// One frame of a 1920x128 ticker crawl (render, BMP and step) against the 25 fps budget, and
// against copying the same frame's bytes, measured in the same run.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "crawl_engine.h"
#include "log.h"
#include "summary.h"

namespace {

std::string g_dir;
constexpr double kBudgetFps = 25;

const char *kPreset =
    "font_family\tDejaVu Sans\nfont_size\t48\nbg_colour\tFF102040\nfg_colour\tFFFFFFFF\n"
    "loop_space\t120\ncanvas_width\t1920\ncanvas_height\t128\ncanvas_offset\t20\n"
    "canvas_step\t-6\n";

ticker_crawl_context *crawl() {
    ticker_crawl_context *ctx = nullptr;
    if (ticker_crawl_context_create(g_dir.c_str(), g_dir.c_str(), "hd", "news.txt", &ctx) < 0)
        return nullptr;
    // Until the first lines are laid out and on the canvas.
    for (int i = 0; i < 2000 && ctx->groups.empty(); i++) {
        ticker_crawl_step(ctx);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (int i = 0; i < 100; i++) ticker_crawl_step(ctx);
    return ctx;
}

void BM_crawl_frame(benchmark::State &state) {
    ticker_crawl_context *ctx = crawl();
    if (!ctx) {
        state.SkipWithError("no crawl context");
        return;
    }
    std::vector<uint8_t> img;
    for (auto _ : state) {
        int r = ticker_crawl_render_image(ctx, img);
        benchmark::DoNotOptimize(r);
        ticker_crawl_step(ctx);
    }
    state.SetItemsProcessed(state.iterations());
    ticker_crawl_context_destroy(ctx);
}

// The floor: moving one frame's bytes once.
void BM_frame_copy(benchmark::State &state) {
    std::vector<uint8_t> src(54 + 1920 * 128 * 3, 1), dst(src.size());
    for (auto _ : state) {
        memcpy(dst.data(), src.data(), src.size());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_crawl_frame)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_frame_copy)->UseRealTime()->MinTime(0.3);

class rate_reporter : public benchmark::ConsoleReporter {
   public:
    rate_reporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}
    std::map<std::string, double> rate;  // run name prefix -> items per second
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            auto it = r.counters.find("items_per_second");
            if (it == r.counters.end()) continue;
            std::string name = r.benchmark_name();
            rate[name.substr(0, name.find('/'))] = it->second.value;
        }
    }
};

}  // namespace

int main(int argc, char **argv) {
    char tmpl[] = "/tmp/mivra_crawl_bench_XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    g_dir = tmpl;
    std::ofstream(g_dir + "/hd") << kPreset;
    std::ofstream news(g_dir + "/news.txt");
    for (int i = 0; i < 20; i++)
        news << "Headline " << i << ": markets, weather and sport across the regions tonight\n";
    news.close();
    log_set_stderr(0);
    log_init((g_dir + "/bench.log").c_str(), 0);

    benchmark::Initialize(&argc, argv);
    rate_reporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    log_close();

    double fps = rep.rate["BM_crawl_frame"], copy = rep.rate["BM_frame_copy"];
    if (fps > 0 && copy > 0)
        printf(
            "crawl 1920x128, step + render + BMP: %.0f frames/s, %.1f x the %.0f fps budget "
            "(real-time margin %.1f%% of a frame period used); %.1f x the cost of copying a "
            "frame\n",
            fps, fps / kBudgetFps, kBudgetFps, 100 * kBudgetFps / fps, copy / fps);
    if (fps > 0 && copy > 0)
        bench_summary("crawl frame 1920x128 (step, render, BMP)", bench_fmt("%.0f frames/s", fps),
                      bench_fmt("%.0f frames/s", copy) + " (frame copy)", copy / fps,
                      "lower (cost per frame)");
    else
        printf("crawl 1920x128: no figure\n");
    (void)!system(("rm -rf '" + g_dir + "'").c_str());
    return 0;
}
