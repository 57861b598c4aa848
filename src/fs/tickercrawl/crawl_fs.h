// MivraBoxTickerCrawl: options, the file tree over the preset and data folders and the FUSE
// operations.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "crawl_engine.h"
#include "fs_launch.h"

struct fuse_operations;

constexpr const char *CRAWL_PROGRAM = "MivraBoxTickerCrawl";
constexpr const char *CRAWL_BANNER = "MivraBoxTickerCrawl-" MIVRA_VERSION;

// The options record, handed to FUSE as its private data; read-only once FUSE runs but for the
// pool, which init creates and destroy frees.
struct crawl_options : fs_options {
    text4k src_datas;
    text4k src_presets;
    ticker_crawl_pool *pool = nullptr;
    crawl_options() { log_file_name = "MivraBoxTickerCrawl.log"; }
};

// Command line and options files: 0, or -1 after help or an unknown option (usage printed).
int crawl_opts_parse(crawl_options &o, int argc, char **argv);

// An open frame file: the BMP rendered at open.
struct crawl_frame {
    std::vector<uint8_t> img;
};

// The tree, callable without a mount. Results are 0 (or a count) or a negated errno.
int crawl_tree_getattr(const crawl_options &o, const char *path, struct stat *st);
int crawl_tree_readdir(const crawl_options &o, const char *path, std::vector<std::string> &names);
// Renders the frame and steps the crawl; on 0, *frame is the caller's until crawl_tree_release.
int crawl_tree_open(const crawl_options &o, const char *path, int flags, crawl_frame **frame);
int crawl_tree_read(const crawl_frame &frame, char *buf, size_t size, off_t offset);
void crawl_tree_release(crawl_frame *frame);

// The operations table: getattr, readdir, open, read, release, init and destroy.
const fuse_operations &crawl_fs_operations();
