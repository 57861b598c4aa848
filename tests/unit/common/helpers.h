// Small fixtures shared by the runtime tests: temporary folders, stderr capture, waiting.
#pragma once

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "file.h"
#include "text.h"

// A fresh folder removed with its content at the end of the test.
struct temp_dir {
    std::string path;
    temp_dir() {
        char tmpl[] = "/tmp/mivra_common_XXXXXX";
        const char *p = mkdtemp(tmpl);
        path = p ? p : "";
    }
    ~temp_dir() {
        if (!path.empty()) (void)!system(("rm -rf '" + path + "'").c_str());
    }
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

// Sends file descriptor 2 into a file until text() or the end of scope.
class stderr_capture {
   public:
    explicit stderr_capture(const std::string &file) : file_(file) {
        fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    ~stderr_capture() { restore(); }
    // Restores the real standard error and returns what was written meanwhile.
    std::string text() {
        restore();
        std::string out;
        file_read_all(file_, out);
        return out;
    }

   private:
    void restore() {
        if (saved_ < 0) return;
        fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        saved_ = -1;
    }
    std::string file_;
    int saved_ = -1;
};

// Polls cond until it holds or the deadline passes.
inline bool wait_until(const std::function<bool()> &cond, int ms = 10000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

inline std::string slurp(const std::string &path) {
    std::string s;
    file_read_all(path, s);
    return s;
}

inline std::vector<std::string> split_lines(const std::string &s) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < s.size()) {
        size_t nl = s.find('\n', at);
        if (nl == std::string::npos) nl = s.size();
        out.push_back(s.substr(at, nl - at));
        at = nl + 1;
    }
    return out;
}

inline size_t count_of(const std::string &hay, const std::string &needle) {
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) n++;
    return n;
}
