// MivraBoxTickerCrawl: options, the file tree over the preset and data folders and the FUSE
// operations.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "crawl_engine.h"
#include "fs_launch.h"

struct fuse_operations;

constexpr const char *CRAWL_PROGRAM = "MivraBoxTickerCrawl";
constexpr const char *CRAWL_BANNER = "MivraBoxTickerCrawl-" MIVRA_VERSION;
// The bound on the frames held by open files together, in MiB: default and largest.
constexpr int64_t CRAWL_FRAMES_MAX_MIB = 512;
constexpr int64_t CRAWL_FRAMES_MAX_MIB_LIMIT = 1 << 20;

// The options record, handed to FUSE as its private data; read-only once FUSE runs but for the
// pool, which init creates and destroy frees.
struct crawl_options : fs_options {
    text4k src_datas;
    text4k src_presets;
    ticker_crawl_pool *pool = nullptr;
    int64_t frames_max_mib = CRAWL_FRAMES_MAX_MIB;  // --frames-max
    std::shared_ptr<crawl_frame_budget> frames;     // made by init from frames_max_mib
    crawl_options() { log_file_name = "MivraBoxTickerCrawl.log"; }
};

// Command line and options files: 0, or -1 after help or an unknown option (usage printed).
int crawl_opts_parse(crawl_options &o, int argc, char **argv);

// An open frame file: the BMP rendered at open, maybe shared with other open files.
struct crawl_frame {
    std::shared_ptr<const crawl_image> img;
};

// The tree, callable without a mount. Results are 0 (or a count) or a negated errno.
int crawl_tree_getattr(const crawl_options &o, const char *path, struct stat *st);
int crawl_tree_readdir(const crawl_options &o, const char *path, std::vector<std::string> &names);
// Renders the frame (its bytes taken from o.frames for client, the opening process) and steps the
// crawl; on 0, *frame is the caller's until crawl_tree_release.
int crawl_tree_open(const crawl_options &o, const char *path, int flags, uint64_t client,
                    crawl_frame **frame);
int crawl_tree_read(const crawl_frame &frame, char *buf, size_t size, off_t offset);
void crawl_tree_release(crawl_frame *frame);

// The operations table: getattr, readdir, open, read, release, init and destroy.
const fuse_operations &crawl_fs_operations();
