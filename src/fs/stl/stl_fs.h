// MivraBoxSTL: options, the file tree over the source folder and the FUSE operations.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <string>
#include <vector>

#include "fs_launch.h"
#include "text.h"

struct fuse_operations;

constexpr const char *STL_PROGRAM = "MivraBoxSTL";
constexpr const char *STL_BANNER = "MivraBoxSTL-" MIVRA_VERSION;

// The options record, handed to FUSE as its private data; read-only once FUSE runs.
struct stl_options : fs_options {
    text4k src;
    stl_options() { log_file_name = "MivraBoxSTL.log"; }
};

// Command line and options files: 0, or -1 after help or an unknown option (usage printed).
int stl_opts_parse(stl_options &o, int argc, char **argv);
void stl_usage();
// Argument vector for FUSE: program, "-f" unless detaching, "-d" when debugging, mount point.
std::vector<std::string> stl_fuse_args(const stl_options &o, const char *prog);

// The tree, callable without a mount. Results are 0 (or a count) or a negated errno.
int stl_tree_getattr(const stl_options &o, const char *path, struct stat *st);
int stl_tree_readdir(const stl_options &o, const char *path, std::vector<std::string> &names);
// On 0, *handle owns the .mpl text until stl_tree_release.
int stl_tree_open(const stl_options &o, const char *path, int flags, std::string **handle);
int stl_tree_read(const std::string &text, char *buf, size_t size, off_t offset);
void stl_tree_release(std::string *handle);

// The operations table: getattr, readdir, open, read, release, init and destroy.
const fuse_operations &stl_fs_operations();
