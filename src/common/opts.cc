#include "opts.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "file.h"
#include "text.h"

namespace {

constexpr int kLongBase = 0x1000;  // long options come back from getopt_long as base + index

// Files being read, outermost first, and how many were read in this parse.
struct reading_state {
    std::vector<std::string> stack;
    int reads = 0;
};

// Bounds on nested and repeated files: a chain of distinct files, or files that name the same
// file many times over, must not exhaust the stack or grow without end.
constexpr size_t kMaxDepth = 64;
constexpr int kMaxReads = 4096;

int parse(const opts_program &p, int argc, char **argv, reading_state &rs);

// Reads one options file into arguments; false when it cannot be opened.
bool file_args(const char *path, std::vector<std::string> &args) {
    unique_file f(fopen(path, "r"));
    if (!f) return false;
    std::string line;
    while (read_line(f.get(), line)) {
        std::string_view v = trim_blank(line);
        if (v.empty() || v.front() == '#') continue;
        args.emplace_back(v);
    }
    return true;
}

void read_file(const opts_program &p, const char *path, reading_state &rs) {
    char real[PATH_MAX];
    std::string key = realpath(path, real) ? std::string(real) : std::string(path);
    if (std::find(rs.stack.begin(), rs.stack.end(), key) != rs.stack.end()) {
        // A file that names itself, directly or through others, is read once.
        fprintf(stderr, "%s: [%s] is already being read, skipped\n", "opts_from_file", path);
        return;
    }
    if (rs.stack.size() >= kMaxDepth || rs.reads >= kMaxReads) {
        fprintf(stderr, "%s: too many options files, [%s] skipped\n", "opts_from_file", path);
        return;
    }
    std::vector<std::string> args;
    args.emplace_back(path);
    if (!file_args(path, args)) {
        fprintf(stderr, "%s: failed to open [%s]\n", "opts_from_file", path);
        return;
    }
    rs.reads++;
    if (args.size() < 2) return;  // nothing to apply
    std::vector<char *> av;
    for (std::string &a : args) av.push_back(a.data());
    av.push_back(nullptr);
    rs.stack.push_back(key);
    int r = parse(p, int(args.size()), av.data(), rs);
    rs.stack.pop_back();
    if (r == 0 && p.file_read) p.file_read(path);
}

int parse(const opts_program &p, int argc, char **argv, reading_state &rs) {
    if (p.defaults) p.defaults();

    std::vector<struct option> longs;
    for (size_t i = 0; i < p.table.size(); i++)
        longs.push_back({p.table[i].name, p.table[i].has_arg, nullptr, kLongBase + int(i)});
    longs.push_back({nullptr, 0, nullptr, 0});

    optind = 0;  // full reset of the scanner, its permutation state included
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, p.short_opts, longs.data(), nullptr)) != -1) {
        int id;
        if (c >= kLongBase && c < kLongBase + int(p.table.size()))
            id = p.table[size_t(c - kLongBase)].id;
        else if (c != '?' && c != ':' && strchr(p.short_opts, c))
            id = c;
        else
            id = -1;
        if (id == 'h') {
            if (p.usage) p.usage();
            return -1;
        }
        if (id < 0 || (p.apply && p.apply(id, optarg) < 0)) {
            const char *bad = optind > 0 && optind <= argc ? argv[optind - 1] : "";
            fprintf(stderr, "ERROR: Incorrect argument! [%s]\n", bad ? bad : "");
            if (p.usage) p.usage();
            return -1;
        }
    }

    // getopt_long moved the non-option arguments behind the options: each names an options file.
    std::vector<std::string> files(argv + optind, argv + argc);
    for (const std::string &path : files) read_file(p, path.c_str(), rs);
    return 0;
}

}  // namespace

int opts_from_file(const opts_program &p, int argc, char **argv) {
    try {
        reading_state rs;
        return parse(p, argc, argv, rs);
    } catch (...) {
        // Out of memory, or a callback that threw: the caller ends as after a bad option.
        return -1;
    }
}

int opts_int(const char *arg) {
    if (!arg) return 0;
    long v = strtol(arg, nullptr, 10);
    return int(std::clamp<long>(v, INT_MIN, INT_MAX));
}
