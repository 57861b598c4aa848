// Helpers for the Oxtel tests: deadlines, the process log, loopback sockets, a recording link
// and the fake graphics device run as a subprocess.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "file.h"
#include "log.h"
#include "oxtel.h"

namespace oxt {

using clock_type = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr auto kWait = std::chrono::seconds(10);

// Polls cond until it holds or the deadline passes.
inline bool eventually(const std::function<bool()> &cond, clock_type::duration within = kWait) {
    auto end = clock_type::now() + within;
    while (!cond()) {
        if (clock_type::now() > end) return false;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return true;
}

// The process log goes to a private file, so tests can look for the link's lines.
inline const std::string &log_path() {
    static std::string path = [] {
        char dir[] = "/tmp/oxtel_test_XXXXXX";
        std::string p = mkdtemp(dir) ? std::string(dir) + "/oxtel.log" : "/tmp/oxtel_test.log";
        log_set_stderr(0);
        log_init(p.c_str(), 0);
        return p;
    }();
    return path;
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

// ---- a link context with recording callbacks ----

struct recorder {
    std::mutex mu;
    std::vector<std::pair<int, std::string>> msgs;  // slot, message
    std::vector<int> states;                        // connection callback states
    std::function<void(oxtel_ctx *, int, const std::string &)> on_msg;
    std::function<void(oxtel_ctx *, int)> on_conn;

    size_t msg_count() {
        std::lock_guard lk(mu);
        return msgs.size();
    }
    std::vector<std::string> texts() {
        std::lock_guard lk(mu);
        std::vector<std::string> v;
        for (auto &m : msgs) v.push_back(m.second);
        return v;
    }
    std::vector<int> conn_states() {
        std::lock_guard lk(mu);
        return states;
    }
};

inline int record_data(oxtel_ctx *ctx, int slot, void *user, char *msg, int len) {
    auto *r = static_cast<recorder *>(user);
    std::string m(msg, size_t(len));
    {
        std::lock_guard lk(r->mu);
        r->msgs.emplace_back(slot, m);
    }
    if (r->on_msg) r->on_msg(ctx, slot, m);
    return 0;
}

inline int record_conn(oxtel_ctx *ctx, int state, void *user) {
    auto *r = static_cast<recorder *>(user);
    {
        std::lock_guard lk(r->mu);
        r->states.push_back(state);
    }
    if (r->on_conn) r->on_conn(ctx, state);
    return 0;
}

// A started link; stopped and released when it goes out of scope.
struct test_link {
    std::unique_ptr<oxtel_ctx> ctx = std::make_unique<oxtel_ctx>();
    recorder rec;
    int run_result = 0;

    test_link(int type, const std::string &address, bool start = true) {
        log_path();
        oxtel_ctx_init(ctx.get());
        ctx->type = type;
        ctx->address = address;
        ctx->user = &rec;
        ctx->data_cb = record_data;
        ctx->conn_cb = record_conn;
        if (start) run_result = oxtel_net_run(ctx.get());
    }
    ~test_link() {
        oxtel_net_stop(ctx.get());
        oxtel_ctx_release(ctx.get());
    }
    oxtel_ctx *operator->() { return ctx.get(); }
    oxtel_ctx *get() { return ctx.get(); }
    int send(const std::string &s, int slot = -1) {
        return oxtel_send(ctx.get(), slot, s.data(), int(s.size()));
    }
    bool connected() {
        std::lock_guard lk(ctx->mutex);
        return ctx->sock >= 0;
    }
    int peers() {
        std::lock_guard lk(ctx->mutex);
        int n = 0;
        for (auto &c : ctx->tcp.clients) n += c.sock >= 0;
        return n;
    }
    // Time oxtel_net_stop takes.
    milliseconds timed_stop() {
        auto t0 = clock_type::now();
        oxtel_net_stop(ctx.get());
        return std::chrono::duration_cast<milliseconds>(clock_type::now() - t0);
    }
};

// ---- the fake device as a subprocess ----

class fake_device {
   public:
    explicit fake_device(std::vector<std::string> args = {}) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) < 0 || pipe2(out, O_CLOEXEC) < 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        std::vector<std::string> argv = {"python3", "-u", OXTEL_FAKE_DEVICE};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char *> av;
        for (auto &a : argv) av.push_back(a.data());
        av.push_back(nullptr);
        if (posix_spawnp(&pid_, "python3", &fa, nullptr, av.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        close(in[0]);
        close(out[1]);
        to_.reset(in[1]);
        from_.reset(out[0]);
        reader_ = std::thread([this] { read_lines(); });
        // A loaded machine may take a while to start the interpreter.
        for (int i = 0; i < 3 && !wait_line("PORT ", &port_line_); i++) {
        }
        port = atoi(port_line_.c_str() + 5);
    }
    ~fake_device() {
        command("quit");
        to_.reset();
        if (reader_.joinable()) reader_.join();
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }

    void command(const std::string &line) {
        std::string l = line + "\n";
        (void)!write(to_.get(), l.data(), l.size());
    }
    // Runs a command and waits until the device has carried it out.
    void run(const std::string &line) {
        command(line);
        std::string token = "t" + std::to_string(++sync_);
        command("sync " + token);
        wait_line("SYNC " + token);
    }
    // True when a line starting with prefix arrived in time; *found gets the first such line.
    bool wait_line(const std::string &prefix, std::string *found = nullptr) {
        std::unique_lock lk(mu_);
        return cv_.wait_for(lk, kWait, [&] {
            for (auto &l : lines_)
                if (l.rfind(prefix, 0) == 0) {
                    if (found) *found = l;
                    return true;
                }
            return false;
        });
    }
    size_t count(const std::string &prefix) {
        std::lock_guard lk(mu_);
        size_t n = 0;
        for (auto &l : lines_) n += l.rfind(prefix, 0) == 0;
        return n;
    }
    bool wait_count(const std::string &prefix, size_t n) {
        return eventually([&] { return count(prefix) >= n; });
    }
    // Texts of the framed messages received so far, as the device shows them.
    std::vector<std::string> received() {
        std::lock_guard lk(mu_);
        std::vector<std::string> v;
        for (auto &l : lines_) {
            if (l.rfind("RECV ", 0) != 0) continue;
            size_t a = l.find(' ', 5), b = l.find(' ', a + 1);
            v.push_back(l.substr(b + 1));
        }
        return v;
    }
    bool wait_received(size_t n) {
        return eventually([&] { return received().size() >= n; });
    }

    int port = 0;

   private:
    void read_lines() {
        std::string pending;
        char buf[4096];
        for (;;) {
            ssize_t r = read(from_.get(), buf, sizeof buf);
            if (r <= 0) break;
            pending.append(buf, size_t(r));
            size_t i;
            while ((i = pending.find('\n')) != std::string::npos) {
                std::lock_guard lk(mu_);
                lines_.push_back(pending.substr(0, i));
                pending.erase(0, i + 1);
                cv_.notify_all();
            }
        }
    }

    pid_t pid_ = -1;
    unique_fd to_, from_;
    std::thread reader_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
    std::string port_line_;
    int sync_ = 0;
};

}  // namespace oxt
