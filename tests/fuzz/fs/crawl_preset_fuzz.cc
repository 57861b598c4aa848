// Preset files as they come from outside, loaded as the crawl loads them.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "crawl_engine.h"
#include "log.h"

namespace {
std::string g_path;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    log_set_stderr(0);
    log_init("", 86400);  // no file: lines are dropped
    char tmpl[] = "/tmp/crawl_preset_fuzz_XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0) abort();
    close(fd);
    g_path = tmpl;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FILE *f = fopen(g_path.c_str(), "wb");
    if (!f) return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    ticker_crawl_preset p;
    p.filename = g_path;
    ticker_crawl_preset_load(&p);
    // The width is always a multiple of 32 once loaded.
    if (p.canvas.canvas_width % 32 != 0) abort();
    return 0;
}
