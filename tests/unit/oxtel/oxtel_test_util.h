// Helpers for the Oxtel tests: a recording link and the fake graphics device run as a
// subprocess, over the deadlines, log and sockets of wait_util.h.
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

#include "wait_util.h"

namespace oxt {

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
