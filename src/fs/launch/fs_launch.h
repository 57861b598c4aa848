// Start-up shared by the FUSE file systems: required options, absolute paths, FUSE's argument
// vector and the exit status.
#pragma once

#include <string>
#include <vector>

#include "text.h"

struct fuse_operations;

// One option that must be given, checked in table order.
struct fs_required {
    const char *name;  // as printed: "--dst"
    const text4k *value;
};

// What the launcher needs of a file system's options record.
struct fs_launch_spec {
    const char *prog = nullptr;         // program name when argv[0] is missing
    std::vector<fs_required> required;  // the first empty one is reported
    std::vector<text4k *> paths;        // made absolute before FUSE starts
    const text4k *dst = nullptr;        // mount point
    int demonize = 0;
    int nodemonize = 0;
    int debug = 0;
};

// Prints "ERROR: argument '%s' required" for the first missing option; 0 when all are given.
int fs_check_required(const std::vector<fs_required> &required);
// Makes a relative path absolute against the current folder: a detached FUSE changes to "/"
// before the file system reads its folders. -36 when the result would not fit.
int fs_make_absolute(text4k &path);
// FUSE's argument vector: program, "-f" unless detaching, "-d" when debugging, mount point.
std::vector<std::string> fs_fuse_args(const char *prog, int demonize, int nodemonize, int debug,
                                      const text4k &dst);
// Checks, makes the paths absolute and runs FUSE until unmount; the program's exit status:
// 0 after a clean unmount, 1 when an option is missing or the mount failed.
int fs_launch(fs_launch_spec &spec, const char *argv0, const fuse_operations &ops,
              void *private_data);
