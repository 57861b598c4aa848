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
    // Frames of a MiB and more go back to the system as their last open file closes: the C
    // library would otherwise raise this threshold past a frame's size and keep freed frames in
    // its arenas. Smaller blocks stay in the heap rather than trimming it at every frame.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
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
