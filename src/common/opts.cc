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

int parse(const opts_program &p, int argc, char **argv, std::vector<std::string> &reading);

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

void read_file(const opts_program &p, const char *path, std::vector<std::string> &reading) {
    char real[PATH_MAX];
    std::string key = realpath(path, real) ? std::string(real) : std::string(path);
    if (std::find(reading.begin(), reading.end(), key) != reading.end()) {
        // A file that names itself, directly or through others, is read once.
        fprintf(stderr, "%s: [%s] is already being read, skipped\n", "opts_from_file", path);
        return;
    }
    std::vector<std::string> args;
    args.emplace_back(path);
    if (!file_args(path, args)) {
        fprintf(stderr, "%s: failed to open [%s]\n", "opts_from_file", path);
        return;
    }
    if (args.size() < 2) return;  // nothing to apply
    std::vector<char *> av;
    for (std::string &a : args) av.push_back(a.data());
    av.push_back(nullptr);
    reading.push_back(key);
    int r = parse(p, int(args.size()), av.data(), reading);
    reading.pop_back();
    if (r == 0 && p.file_read) p.file_read(path);
}

int parse(const opts_program &p, int argc, char **argv, std::vector<std::string> &reading) {
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
    for (const std::string &path : files) read_file(p, path.c_str(), reading);
    return 0;
}

}  // namespace

int opts_from_file(const opts_program &p, int argc, char **argv) {
    std::vector<std::string> reading;
    return parse(p, argc, argv, reading);
}

int opts_int(const char *arg) {
    if (!arg) return 0;
    long v = strtol(arg, nullptr, 10);
    return int(std::clamp<long>(v, INT_MIN, INT_MAX));
}
