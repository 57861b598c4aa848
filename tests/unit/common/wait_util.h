// Helpers shared by the tests of threads, links and the bus engine: deadlines, the process log in
// a private file, loopback sockets.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "file.h"
#include "log.h"

namespace oxt {

using clock_type = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Far past what a busy machine takes; only a fault waits this long.
constexpr auto kWait = std::chrono::seconds(60);

// Polls cond until it holds or the deadline passes.
inline bool eventually(const std::function<bool()> &cond, clock_type::duration within = kWait) {
    auto end = clock_type::now() + within;
    while (!cond()) {
        if (clock_type::now() > end) return false;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return true;
}

// The process log goes to a private file, so tests can look for the link's lines. The folder
// goes when the test process ends, passed or failed (not in a forked child).
struct private_log {
    std::string dir, path;
    pid_t owner = getpid();
    private_log() {
        char tmpl[] = "/tmp/oxtel_test_XXXXXX";
        if (mkdtemp(tmpl)) dir = tmpl;
        path = dir.empty() ? "/tmp/oxtel_test.log" : dir + "/oxtel.log";
        log_set_stderr(0);
        log_init(path.c_str(), 0);
    }
    ~private_log() {
        if (getpid() != owner) return;
        log_close();
        if (dir.empty()) return;
        unlink(path.c_str());
        rmdir(dir.c_str());
    }
};

inline const std::string &log_path() {
    static private_log log;
    return log.path;
}

inline bool log_has(const std::string &text) {
    std::string all;
    file_read_all(log_path(), all);
    return all.find(text) != std::string::npos;
}

inline bool log_waits_for(const std::string &text) {
    return eventually([&] { return log_has(text); });
}

// ---- loopback sockets ----

// Loopback listener on a free port; rcvbuf > 0 shrinks the receive buffer of accepted sockets.
inline int tcp_listen(int *port, int backlog = 16, int rcvbuf = 0) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0 || listen(fd, backlog) < 0) {
        close(fd);
        return -1;
    }
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    *port = ntohs(sa.sin_port);
    return fd;
}

inline int tcp_connect(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(uint16_t(port));
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline int tcp_accept(int listener) {
    pollfd p = {listener, POLLIN, 0};
    if (poll(&p, 1, int(std::chrono::duration_cast<milliseconds>(kWait).count())) <= 0) return -1;
    return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

inline void send_all(int fd, const std::string &s) {
    size_t at = 0;
    while (at < s.size()) {
        ssize_t w = send(fd, s.data() + at, s.size() - at, MSG_NOSIGNAL);
        if (w <= 0) return;
        at += size_t(w);
    }
}

// Reads until `count` ':' have arrived, or a message equal to `last` (or the deadline); returns
// the messages without ':'.
inline std::vector<std::string> read_messages(int fd, size_t count, const char *last = nullptr) {
    std::vector<std::string> out;
    std::string pending;
    auto end = clock_type::now() + kWait;
    while (out.size() < count && clock_type::now() < end) {
        if (last && !out.empty() && out.back() == last) break;
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buf[8192];
        ssize_t r = recv(fd, buf, sizeof buf, 0);
        if (r <= 0) break;
        pending.append(buf, size_t(r));
        size_t i;
        while ((i = pending.find(':')) != std::string::npos) {
            out.push_back(pending.substr(0, i));
            pending.erase(0, i + 1);
        }
    }
    return out;
}

}  // namespace oxt
