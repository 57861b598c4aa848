// What the FUSE file systems share beside the start-up of every long-running program (svc.h):
// the mount point option, the usage text, the required-option check, FUSE's argument vector and
// the exit status.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "opts.h"
#include "svc.h"
#include "text.h"

struct fuse_operations;

// The options every file system takes beside its own and those of every long-running program
// (svc_base_opts); a program's record derives from it.
struct fs_options : svc_base_opts {
    text4k dst;
    std::atomic<int> *stop = nullptr;  // raised by the file system's destroy
};

// One option of a program's own, with its usage line.
struct fs_option {
    opts_def def;
    const char *usage_arg;   // "--src=<PATH>"
    const char *usage_text;  // "Source path of STL files"
};

// A file system's own part of the command line.
struct fs_program {
    const char *prog;    // "MivraBoxSTL"
    const char *banner;  // "MivraBoxSTL-<version>"
    std::vector<fs_option> own;
    // Applies one of the own options; ids below FS_OPT_BASE.
    int (*apply)(fs_options &o, int id, const char *arg);
};
constexpr int FS_OPT_BASE = 0x100;

void fs_usage(const fs_program &p);
// Command line and options files: 0, or -1 after help or an unknown option (usage printed).
int fs_opts_parse(const fs_program &p, fs_options &o, int argc, char **argv);

// One option that must be given, checked in table order.
struct fs_required {
    const char *name;  // as printed: "--dst"
    const text4k *value;
};
// Prints "ERROR: argument '%s' required" for the first missing option; 0 when all are given.
int fs_check_required(const std::vector<fs_required> &required);
// FUSE's argument vector: program, "-f" unless detaching, "-d" when debugging, mount point.
std::vector<std::string> fs_fuse_args(const char *prog, const fs_options &o);
// Checks the required options, makes the paths, the mount point and the log absolute, runs FUSE
// until unmount; the program's exit status: 0 after a clean unmount, 1 when an option is
// missing or the mount failed.
int fs_launch(fs_options &o, const char *prog, const std::vector<fs_required> &required,
              const std::vector<text4k *> &paths, const fuse_operations &ops, void *private_data);
