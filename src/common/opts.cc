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

// An options file holds a few hundred short lines; a name such as /dev/zero must not be read
// for ever.
constexpr size_t kMaxFileBytes = 16 << 20;

enum class file_result { ok, cannot_open, too_large };

// Reads one options file into arguments: one per line, blanks around it cut, comments skipped.
file_result file_args(const char *path, std::vector<std::string> &args) {
    unique_file f(fopen(path, "r"));
    if (!f) return file_result::cannot_open;
    std::string text;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f.get())) > 0) {
        if (text.size() + n > kMaxFileBytes) return file_result::too_large;
        text.append(buf, n);
    }
    for (size_t at = 0; at < text.size();) {
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos) nl = text.size();
        std::string_view v = trim_blank(std::string_view(text).substr(at, nl - at));
        at = nl + 1;
        if (v.empty() || v.front() == '#') continue;
        args.emplace_back(v);
    }
    return file_result::ok;
}

// A fatal result of the file's parse (> 0), else 0.
int read_file(const opts_program &p, const char *path, reading_state &rs) {
    char real[PATH_MAX];
    std::string key = realpath(path, real) ? std::string(real) : std::string(path);
    if (std::find(rs.stack.begin(), rs.stack.end(), key) != rs.stack.end()) {
        // A file that names itself, directly or through others, is read once.
        fprintf(stderr, "%s: [%s] is already being read, skipped\n", "opts_from_file", path);
        return 0;
    }
    if (rs.stack.size() >= kMaxDepth || rs.reads >= kMaxReads) {
        fprintf(stderr, "%s: too many options files, [%s] skipped\n", "opts_from_file", path);
        return 0;
    }
    std::vector<std::string> args;
    args.emplace_back(path);
    switch (file_args(path, args)) {
        case file_result::ok:
            break;
        case file_result::cannot_open:
            fprintf(stderr, "%s: failed to open [%s]\n", "opts_from_file", path);
            return 0;
        case file_result::too_large:
            fprintf(stderr, "%s: [%s] is larger than %zu bytes, skipped\n", "opts_from_file", path,
                    kMaxFileBytes);
            return 0;
    }
    rs.reads++;
    if (args.size() < 2) return 0;  // nothing to apply
    std::vector<char *> av;
    for (std::string &a : args) av.push_back(a.data());
    av.push_back(nullptr);
    rs.stack.push_back(key);
    int r = parse(p, int(args.size()), av.data(), rs);
    rs.stack.pop_back();
    if (r == 0 && p.file_read) p.file_read(path);
    return r > 0 ? r : 0;
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
        int applied = id < 0 ? -1 : p.apply ? p.apply(id, optarg) : 0;
        // A positive result is fatal: it ends every parse, also from inside an options file.
        if (applied > 0) return applied;
        if (applied < 0) {
            const char *bad = optind > 0 && optind <= argc ? argv[optind - 1] : "";
            fprintf(stderr, "ERROR: Incorrect argument! [%s]\n", bad ? bad : "");
            if (p.usage) p.usage();
            return -1;
        }
    }

    // getopt_long moved the non-option arguments behind the options: each names an options file.
    std::vector<std::string> files(argv + optind, argv + argc);
    for (const std::string &path : files)
        if (int r = read_file(p, path.c_str(), rs); r > 0) return r;
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

bool opts_port(const char *arg, int *port) {
    if (!arg || !*arg || strlen(arg) > 5 || strspn(arg, "0123456789") != strlen(arg)) return false;
    int v = atoi(arg);
    if (v < 1 || v > 65535) return false;
    *port = v;
    return true;
}
