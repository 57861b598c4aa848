#include "fake_client.h"

#include <xmlrpc-c/client.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

#ifndef MIVRA_FAKES_DIR
#error "MIVRA_FAKES_DIR must name the tests/fakes folder"
#endif

namespace {

struct env_holder {
    xmlrpc_env env;
    env_holder() { xmlrpc_env_init(&env); }
    ~env_holder() { xmlrpc_env_clean(&env); }
};

// Reads the port line the fake prints once it listens.
int read_port(int fd, int timeout_ms) {
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (line.find('\n') == std::string::npos) {
        int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                           deadline - std::chrono::steady_clock::now())
                           .count());
        if (left <= 0) return -1;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) continue;
        char buf[64];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return -1;
        line.append(buf, size_t(n));
    }
    return atoi(line.c_str());
}

}  // namespace

fake_proc::~fake_proc() {
    stop();
}

int fake_proc::start(std::initializer_list<const char *> names) {
    // The fakes are on loopback: a proxy from the environment must not stand in between.
    setenv("no_proxy", "127.0.0.1,localhost", 1);
    setenv("NO_PROXY", "127.0.0.1,localhost", 1);
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) < 0) return -1;
    if (pipe2(out, O_CLOEXEC) < 0) {
        close(in[0]);
        close(in[1]);
        return -1;
    }
    std::string script = std::string(MIVRA_FAKES_DIR) + "/fake.py";
    std::vector<std::string> args = {"python3", script, "--port", "0", "--watch-stdin"};
    for (const char *n : names) args.emplace_back(n);
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    int rc = posix_spawnp(&pid_, "python3", &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    stdin_fd_ = in[1];
    if (rc != 0) {
        fprintf(stderr, "fake_proc: cannot start python3: %s\n", strerror(rc));
        pid_ = -1;
        close(out[0]);
        return -1;
    }
    // A fake that never starts is told from one that a busy machine holds up by minutes.
    port_ = read_port(out[0], 120000);
    close(out[0]);
    if (port_ <= 0) {
        fprintf(stderr, "fake_proc: the fake printed no port\n");
        stop();
        return -1;
    }
    env_holder e;
    xmlrpc_client_setup_global_const(&e.env);
    xmlrpc_client_create(&e.env, XMLRPC_CLIENT_NO_FLAGS, "fake_proc", "1", nullptr, 0, &client_);
    if (e.env.fault_occurred) {
        fprintf(stderr, "fake_proc: no client: %s\n", e.env.fault_string);
        client_ = nullptr;
        return -1;
    }
    return 0;
}

void fake_proc::stop() {
    if (client_) {
        xmlrpc_client_destroy(client_);
        xmlrpc_client_teardown_global_const();
        client_ = nullptr;
    }
    if (stdin_fd_ >= 0) {
        close(stdin_fd_);  // the fake ends when its standard input does
        stdin_fd_ = -1;
    }
    if (pid_ > 0) {
        reap_child(pid_, 5);
        pid_ = -1;
    }
}

int free_loopback_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

void reap_child(pid_t pid, int seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string fake_proc::url() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/RPC2";
}

std::string fake_proc::hostport() const {
    return "127.0.0.1:" + std::to_string(port_);
}

xmlrpc_value *fake_proc::control(const char *method, const char *format, ...) {
    if (!client_) return nullptr;
    env_holder e;
    va_list ap;
    va_start(ap, format);
    xmlrpc_value *reply = nullptr;
    std::string url = this->url();
    xmlrpc_client_call2f_va(&e.env, client_, url.c_str(), method, format, &reply, ap);
    va_end(ap);
    if (e.env.fault_occurred) {
        fprintf(stderr, "fake_proc: %s failed: %s (%d)\n", method, e.env.fault_string,
                e.env.fault_code);
        return nullptr;
    }
    return reply;
}

void fake_proc::script(const char *method, const char *format, ...) {
    env_holder e;
    va_list ap;
    va_start(ap, format);
    xmlrpc_value *plan = nullptr;
    const char *tail = nullptr;
    xmlrpc_build_value_va(&e.env, format, ap, &plan, &tail);
    va_end(ap);
    if (e.env.fault_occurred) {
        fprintf(stderr, "fake_proc: bad script format %s: %s\n", format, e.env.fault_string);
        return;
    }
    xmlrpc_value *r = control("Fake.Script", "(sV)", method, plan);
    xmlrpc_DECREF(plan);
    if (r) xmlrpc_DECREF(r);
}

namespace {

// Hands each item of an array reply to fn (false stops), then releases the reply.
template <class F>
void for_each_item(xmlrpc_value *r, F fn) {
    if (!r) return;
    env_holder e;
    int n = xmlrpc_array_size(&e.env, r);
    for (int i = 0; i < n && !e.env.fault_occurred; i++) {
        xmlrpc_value *item = nullptr;
        xmlrpc_array_read_item(&e.env, r, i, &item);
        if (e.env.fault_occurred) break;
        bool go_on = fn(&e.env, item);
        xmlrpc_DECREF(item);
        if (!go_on || e.env.fault_occurred) break;
    }
    xmlrpc_DECREF(r);
}

}  // namespace

std::vector<std::string> fake_proc::calls(const char *which) {
    std::vector<std::string> out;
    for_each_item(control("Fake.Calls", "(s)", which), [&](xmlrpc_env *env, xmlrpc_value *item) {
        const char *s = nullptr;
        xmlrpc_read_string(env, item, &s);
        if (env->fault_occurred) return false;
        out.emplace_back(s);
        free(const_cast<char *>(s));
        return true;
    });
    return out;
}

namespace {

int read_int_reply(xmlrpc_value *r) {
    if (!r) return -1;
    env_holder e;
    int v = -1;
    xmlrpc_read_int(&e.env, r, &v);
    xmlrpc_DECREF(r);
    return e.env.fault_occurred ? -1 : v;
}

}  // namespace

int fake_proc::wait_calls(int n, double timeout, const char *which) {
    return read_int_reply(control("Fake.WaitCalls", "(ids)", n, timeout, which));
}

int fake_proc::wait_datagrams(int n, double timeout) {
    return read_int_reply(control("Fake.WaitDatagrams", "(id)", n, timeout));
}

std::vector<fake_proc::datagram> fake_proc::datagrams() {
    std::vector<datagram> out;
    for_each_item(control("Fake.Datagrams", "()"), [&](xmlrpc_env *env, xmlrpc_value *item) {
        const unsigned char *data = nullptr;
        size_t len = 0;
        double t = 0;
        xmlrpc_decompose_value(env, item, "{s:6,s:d,*}", "data", &data, &len, "time", &t);
        if (env->fault_occurred) return false;
        out.push_back({std::string(reinterpret_cast<const char *>(data), len), t});
        free(const_cast<unsigned char *>(data));
        return true;
    });
    return out;
}

int fake_proc::max_in_flight() {
    xmlrpc_value *r = control("Fake.Stats", "()");
    if (!r) return -1;
    env_holder e;
    int v = -1;
    xmlrpc_decompose_value(&e.env, r, "{s:i,*}", "max_in_flight", &v);
    xmlrpc_DECREF(r);
    return e.env.fault_occurred ? -1 : v;
}

void fake_proc::reset() {
    read_int_reply(control("Fake.Reset", "()"));
}

void fake_proc::release() {
    read_int_reply(control("Fake.Release", "()"));
}
