// MivraBoxTickerCrawl: ticker crawls rendered as BMP frames under a FUSE mount.
#include <fuse.h>
#include <malloc.h>

#include <atomic>

#include "crawl_fs.h"
#include "proc.h"

namespace {
// Raised by the file system's destroy; FUSE itself handles SIGINT, SIGTERM and SIGHUP.
std::atomic<int> g_stop{0};
}  // namespace

int main(int argc, char **argv) {
    crawl_options *o = new (std::nothrow) crawl_options;
    if (!o) return 1;
    // Frames come from the heap and go back to it, already faulted in: a fresh mapping per frame
    // costs a page fault per 4 KiB at every frame, and trimming the heap at every free the same.
    // Freed frames stay for the next ones; the bound on held frames bounds them too.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    o->stop = &g_stop;
    if (crawl_opts_parse(*o, argc, argv) != 0) {
        opts_free(&o);
        return 1;
    }
    int r = fs_launch(
        *o, argc > 0 ? argv[0] : CRAWL_PROGRAM,
        {{"--dst", &o->dst}, {"--src-datas", &o->src_datas}, {"--src-presets", &o->src_presets}},
        {&o->src_datas, &o->src_presets}, crawl_fs_operations(), o);
    opts_free(&o);
    return r;
}
