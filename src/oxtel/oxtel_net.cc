#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "log.h"
#include "oxtel.h"
#include "oxtel_link.h"

namespace {

// After a failed accept (descriptors exhausted, say) the listener rests this long so that a
// socket left readable does not spin the thread.
constexpr int kAcceptRestMs = 100;

}  // namespace

namespace oxtel_link {

void close_fd(int &fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

void drop_socket(int &fd) {
    if (fd < 0) return;
    ::shutdown(fd, SHUT_RDWR);
    close_fd(fd);
}

void set_opt(int fd, int level, int name) {
    int one = 1;
    (void)setsockopt(fd, level, name, &one, sizeof one);
}

void tune_peer_socket(int fd) {
    set_opt(fd, SOL_SOCKET, SO_KEEPALIVE);
    set_opt(fd, IPPROTO_TCP, TCP_NODELAY);
    int fl = fcntl(fd, F_GETFL);
    if (fl >= 0) (void)fcntl(fd, F_SETFL, fl | O_NONBLOCK);
}

void wake(oxtel_ctx *ctx) {
    char b = 1;
    if (ctx->wake[1] >= 0) (void)!::write(ctx->wake[1], &b, 1);
}

void drain_wake(oxtel_ctx *ctx) {
    char buf[4096];
    (void)!::read(ctx->wake[0], buf, sizeof buf);
}

// Waits on the wake pipe alone for ms milliseconds or until stop is set.
void rest(oxtel_ctx *ctx, int ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!ctx->stop) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        until - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) return;
        pollfd p = {ctx->wake[0], POLLIN, 0};
        if (poll(&p, 1, int(std::min<long long>(left, kPollMs))) > 0) drain_wake(ctx);
    }
}

void log_events(int level, int index, short ev) {
    LOG_TRACE(level, "p_fd[%d].revents=%.8X (POLLERR=%.8X, POLLHUP=%.8X, POLLNVAL=%.8X)", index,
              unsigned(ev), unsigned(POLLERR), unsigned(POLLHUP), unsigned(POLLNVAL));
}

// Queued bytes of a slot go out; the size is taken under the mutex and only the writer thread
// ever moves the queue, so bytes [0, n) stay put while other threads append behind them.
// false when the connection failed.
bool flush(oxtel_ctx *ctx, oxtel_client &c, int fd) {
    int n;
    {
        std::lock_guard lk(ctx->mutex);
        n = c.write.size;
    }
    if (n <= 0) return true;
    ssize_t w = ::send(fd, c.write.data, size_t(n), MSG_NOSIGNAL);
    if (w < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    if (w <= 0) {
        int e = w < 0 ? errno : EPIPE;
        LOG_TRACE(0, "write() failed %d (%s)", e, strerror(e));
        return false;
    }
    LOG_TRACE(30, "written %d", int(w));
    std::lock_guard lk(ctx->mutex);
    c.torn = c.write.data[w - 1] != ':';
    memmove(c.write.data, c.write.data + w, size_t(c.write.size - w));
    c.write.size -= int(w);
    return true;
}

// Frames the read buffer of a slot: every complete message goes to the data callback (no lock
// held, so the callback may send through this link), the unfinished rest moves to the front.
void frame(oxtel_ctx *ctx, int slot) {
    oxtel_buf &b = ctx->tcp.clients[slot].read;
    bool &discarding = ctx->tcp.clients[slot].discarding;
    // What the device's bytes make the callbacks log may take only its share of the log queue.
    log_outside outside;
    thread_local log_quiet overrun("frame", "more over-long messages discarded unlogged");
    int start = 0;
    while (start < b.size) {
        int i = oxtel_find_term(b.data + start, b.size - start);
        if (i < 0) break;
        if (discarding) {
            // the tail of an over-long message must never fire as a command
            discarding = false;
        } else {
            b.data[start + i] = 0;
            if (ctx->data_cb) ctx->data_cb(ctx, slot, ctx->user, b.data + start, i);
        }
        start += i + 1;
    }
    if (discarding) start = b.size;
    memmove(b.data, b.data + start, size_t(b.size - start));
    b.size -= start;
    if (b.size >= OXTEL_MSG_MAX) {
        if (overrun.speak()) LOG_TRACE(0, "buffer uverrun");
        b.size = 0;
        discarding = true;
    }
}

// Reads what the socket holds into a slot and frames it; false when the connection ended.
bool receive(oxtel_ctx *ctx, int slot, int fd) {
    oxtel_buf &b = ctx->tcp.clients[slot].read;
    ssize_t r = ::read(fd, b.data + b.size, size_t(OXTEL_MSG_MAX - b.size));
    if (r < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    if (r <= 0) {
        int e = r < 0 ? errno : 0;
        LOG_TRACE(0, "read() failed %d (%s)", e, r < 0 ? strerror(e) : "connection closed");
        return false;
    }
    LOG_TRACE(30, "read %d", int(r));
    b.size += int(r);
    frame(ctx, slot);
    return true;
}

void reset_read(oxtel_client &c) {
    c.read.size = 0;
    c.discarding = false;
}

}  // namespace oxtel_link

namespace {

using namespace oxtel_link;

// ---- server ----

void free_slot(oxtel_ctx *ctx, int slot) {
    int fd;
    {
        std::lock_guard lk(ctx->mutex);
        fd = ctx->tcp.clients[slot].sock;
        ctx->tcp.clients[slot].sock = -1;
        ctx->tcp.clients[slot].write.size = 0;
    }
    drop_socket(fd);
}

void server_accept(oxtel_ctx *ctx, std::chrono::steady_clock::time_point &rest_until) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int fd =
        accept4(ctx->sock, reinterpret_cast<sockaddr *>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EAGAIN || errno == EINTR || errno == ECONNABORTED) return;
        LOG_TRACE(0, "accept() failed %d (%s)", errno, strerror(errno));
        rest_until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAcceptRestMs);
        return;
    }
    char ip[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
    LOG_TRACE(10, "connection made from %s:%d [%d]", ip, int(ntohs(peer.sin_port)), fd);
    tune_peer_socket(fd);
    int slot = -1;
    {
        std::lock_guard lk(ctx->mutex);
        for (int i = 0; i < OXTEL_MAX_CLIENTS && slot < 0; i++) {
            oxtel_client &c = ctx->tcp.clients[i];
            if (c.sock >= 0) continue;
            slot = i;
            c.sock = fd;
            c.write.size = 0;
            c.torn = false;
            reset_read(c);
        }
    }
    if (slot < 0) {
        LOG_TRACE(0, "no free slot for %s:%d, connection closed", ip, int(ntohs(peer.sin_port)));
        drop_socket(fd);
    }
}

// What one poll of the server watches: the connected slots, then the listener (unless accepting
// rests), then the wake pipe.
struct server_poll {
    pollfd p[OXTEL_MAX_CLIENTS + 2];
    int slot_of[OXTEL_MAX_CLIENTS];
    int n = 0, clients = 0, listener = -1, wake_at = -1;
};

// Fills sp for the next poll; returns its timeout.
int server_poll_fill(oxtel_ctx *ctx, server_poll &sp,
                     std::chrono::steady_clock::time_point rest_until) {
    int n = 0;
    {
        std::lock_guard lk(ctx->mutex);
        for (int i = 0; i < OXTEL_MAX_CLIENTS; i++) {
            const oxtel_client &c = ctx->tcp.clients[i];
            if (c.sock < 0) continue;
            short ev = POLLIN;
            if (c.write.size > 0) ev |= POLLOUT | POLLWRBAND;
            sp.slot_of[n] = i;
            sp.p[n++] = {c.sock, ev, 0};
        }
    }
    sp.clients = n;
    int timeout = kPollMs;
    auto now = std::chrono::steady_clock::now();
    sp.listener = -1;
    if (now >= rest_until) {
        sp.listener = n;
        sp.p[n++] = {ctx->sock, POLLIN, 0};
    } else {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(rest_until - now).count();
        timeout = int(std::min<long long>(left + 1, kPollMs));
    }
    sp.wake_at = n;
    sp.p[n++] = {ctx->wake[0], POLLIN, 0};
    sp.n = n;
    return timeout;
}

// Writes and reads the slots the poll found ready; a slot that fails is freed.
void server_serve_slots(oxtel_ctx *ctx, const server_poll &sp) {
    for (int k = 0; k < sp.clients; k++) {
        short ev = sp.p[k].revents;
        if (!ev) continue;
        int slot = sp.slot_of[k];
        oxtel_client &c = ctx->tcp.clients[slot];
        log_events(30, k, ev);
        if ((ev & POLLOUT) && !flush(ctx, c, sp.p[k].fd)) continue;  // the slot stays open
        if (ev & POLLIN) {
            if (!receive(ctx, slot, sp.p[k].fd)) free_slot(ctx, slot);
        } else if (ev & kErrEvents) {
            log_events(0, k, ev);
            free_slot(ctx, slot);
        }
    }
}

void server_proc(oxtel_ctx *ctx) {
    LOG_TRACE(10, "entering [%s]", ctx->address.c_str());
    server_poll sp;
    auto rest_until = std::chrono::steady_clock::time_point{};
    for (;;) {
        int timeout = server_poll_fill(ctx, sp, rest_until);
        LOG_TRACE(30, "poll(%d)", sp.n);
        int r = poll(sp.p, nfds_t(sp.n), timeout);
        if (ctx->stop) break;
        if (r == 0) continue;
        if (r < 0) {
            if (errno == EINTR) continue;
            LOG_TRACE(0, "poll() failed %d (%s)", errno, strerror(errno));
            break;
        }
        LOG_TRACE(30, "poll=%d", r);
        server_serve_slots(ctx, sp);
        if (sp.p[sp.wake_at].revents) drain_wake(ctx);
        if (sp.listener >= 0 && sp.p[sp.listener].revents) server_accept(ctx, rest_until);
        if (ctx->stop) break;
    }
    for (int i = 0; i < OXTEL_MAX_CLIENTS; i++)
        if (ctx->tcp.clients[i].sock >= 0) free_slot(ctx, i);
    int fd;
    {
        std::lock_guard lk(ctx->mutex);
        fd = ctx->sock;
        ctx->sock = -1;
    }
    drop_socket(fd);
    LOG_TRACE(10, "exiting [%s]", ctx->address.c_str());
}

template <void (*Proc)(oxtel_ctx *)>
void thread_entry(oxtel_ctx *ctx) {
    try {
        Proc(ctx);
    } catch (...) {
        LOG_TRACE(0, "link thread ended by an exception");
    }
}

int server_listen(oxtel_ctx *ctx) {
    char *end = nullptr;
    const char *text = ctx->address.c_str();
    long port = strtol(text, &end, 10);
    if (end == text || *end || port < 0 || port > 65535) {
        LOG_TRACE(0, "Failed to parse port number from [%s]", text);
        return -EINVAL;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        int e = errno;
        LOG_TRACE(0, "socket() failed %d (%s)", e, strerror(e));
        return -e;
    }
    LOG_TRACE(10, "socket()=%d", fd);
    set_opt(fd, SOL_SOCKET, SO_REUSEADDR);
    set_opt(fd, SOL_SOCKET, SO_KEEPALIVE);
    set_opt(fd, IPPROTO_TCP, TCP_NODELAY);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    sa.sin_port = htons(uint16_t(port));
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0) {
        int e = errno;
        LOG_TRACE(0, "bind() failed %d (%s)", e, strerror(e));
        close_fd(fd);
        return -e;
    }
    if (listen(fd, 4096) < 0) {
        int e = errno;
        LOG_TRACE(0, "listen() failed %d (%s)", e, strerror(e));
        close_fd(fd);
        return -e;
    }
    std::lock_guard lk(ctx->mutex);
    ctx->sock = fd;
    return 0;
}

}  // namespace

int oxtel_ctx_init(oxtel_ctx *ctx) {
    if (!ctx) return -EINVAL;
    if (ctx->thread.joinable()) return -EBUSY;
    ctx->stop = 0;
    ctx->type = OXTEL_NONE;
    ctx->address.clear();
    ctx->sock = -1;
    for (oxtel_client &c : ctx->tcp.clients) {
        c.sock = -1;
        c.write.size = 0;
        c.torn = false;
        reset_read(c);
    }
    ctx->user = nullptr;
    ctx->data_cb = nullptr;
    ctx->conn_cb = nullptr;
    ctx->wake[0] = ctx->wake[1] = -1;
    if (pipe2(ctx->wake, O_NONBLOCK | O_CLOEXEC) < 0) {
        int e = errno;
        ctx->wake[0] = ctx->wake[1] = -1;
        LOG_TRACE(0, "pipe2() failed %d (%s)", e, strerror(e));
        return -e;
    }
    return 0;
}

int oxtel_ctx_release(oxtel_ctx *ctx) {
    if (!ctx) return -EINVAL;
    if (ctx->thread.joinable()) oxtel_net_stop(ctx);
    close_fd(ctx->wake[0]);
    close_fd(ctx->wake[1]);
    return 0;
}

int oxtel_net_run(oxtel_ctx *ctx) {
    if (!ctx) return -EINVAL;
    if (ctx->thread.joinable()) return -EBUSY;
    if (ctx->wake[0] < 0) return -EBADF;
    ctx->stop = 0;
    LOG_TRACE(10, "entering: ctx->type=%d", ctx->type);
    try {
        if (ctx->type == OXTEL_CLIENT) {
            ctx->thread = std::thread(thread_entry<client_proc>, ctx);
        } else if (ctx->type == OXTEL_SERVER) {
            int r = server_listen(ctx);
            if (r < 0) return r;
            try {
                ctx->thread = std::thread(thread_entry<server_proc>, ctx);
            } catch (...) {
                std::lock_guard lk(ctx->mutex);
                close_fd(ctx->sock);
                throw;
            }
        }
    } catch (...) {
        LOG_TRACE(0, "failed to start the link thread");
        return -EAGAIN;
    }
    LOG_TRACE(10, "exiting...");
    return 0;
}

int oxtel_net_stop(oxtel_ctx *ctx) {
    if (!ctx) return -EINVAL;
    LOG_TRACE(10, "entering...");
    ctx->stop = 1;  // set before the wake-up, so the woken thread sees it
    wake(ctx);
    if (ctx->thread.joinable()) {
        if (ctx->thread.get_id() == std::this_thread::get_id()) return -EDEADLK;
        ctx->thread.join();
    }
    LOG_TRACE(10, "exiting...");
    return 0;
}

int oxtel_net_port(oxtel_ctx *ctx) {
    if (!ctx) return -EINVAL;
    std::lock_guard lk(ctx->mutex);
    if (ctx->type != OXTEL_SERVER || ctx->sock < 0) return -ENOTCONN;
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (getsockname(ctx->sock, reinterpret_cast<sockaddr *>(&sa), &len) < 0) return -errno;
    return ntohs(sa.sin_port);
}

namespace {

// Appends one message and its ':' when the queue keeps room for both.
bool queue_message(oxtel_client &c, const char *bytes, int length) {
    if (c.write.size + length + 1 > OXTEL_MSG_MAX) return false;
    memcpy(c.write.data + c.write.size, bytes, size_t(length));
    c.write.size += length;
    c.write.data[c.write.size++] = ':';
    return true;
}

}  // namespace

int oxtel_send(oxtel_ctx *ctx, int slot, const char *bytes, int length) {
    if (!ctx || ctx->type == OXTEL_NONE) return -EFAULT;
    if (length < 0 || (!bytes && length > 0)) return -EINVAL;
    if (ctx->type == OXTEL_SERVER && (slot < -1 || slot >= OXTEL_MAX_CLIENTS)) return -EINVAL;
    int queued = 0, peers = 0;
    {
        std::lock_guard lk(ctx->mutex);
        if (ctx->type == OXTEL_SERVER) {
            for (int i = 0; i < OXTEL_MAX_CLIENTS; i++) {
                oxtel_client &c = ctx->tcp.clients[i];
                if ((slot != -1 && slot != i) || c.sock < 0) continue;
                peers++;
                if (queue_message(c, bytes, length))
                    queued++;
                else if (ctx->send_quiet.speak())
                    LOG_TRACE(0, "queue of slot %d full, %d bytes dropped", i, length);
            }
            if (peers == 0 && ctx->send_quiet.speak())
                LOG_TRACE(0, "slot %d not connected, %d bytes dropped", slot, length);
        } else if (ctx->sock < 0) {
            if (ctx->send_quiet.speak()) LOG_TRACE(0, "not connected, %d bytes dropped", length);
        } else if (queue_message(ctx->tcp.clients[0], bytes, length)) {
            queued++;
        } else if (ctx->send_quiet.speak()) {
            LOG_TRACE(0, "queue full, %d bytes dropped", length);
        }
    }
    if (queued) wake(ctx);
    return length;
}
