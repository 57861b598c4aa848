// The client link thread: one connection to a device, made again whenever it is lost.
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "log.h"
#include "oxtel.h"
#include "oxtel_link.h"

namespace oxtel_link {

namespace {

struct client_addr {
    std::string host;
    int port = 0;
    sockaddr_in sa{};
};

bool client_resolve(const char *address, client_addr &a) {
    const char *colon = strchr(address, ':');
    long port = 0;
    if (colon) {
        char *end = nullptr;
        port = strtol(colon + 1, &end, 10);
        if (port < 0 || port > 65535) port = 0;
    }
    if (port == 0) {
        LOG_TRACE(0, "Failed to parse port number from [%s]", address);
        return false;
    }
    a.host.assign(address, size_t(colon - address));
    a.port = int(port);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    if (getaddrinfo(a.host.c_str(), nullptr, &hints, &res) != 0 || !res) {
        LOG_TRACE(0, "Failed to resolve [%s]", a.host.c_str());
        return false;
    }
    memcpy(&a.sa, res->ai_addr, sizeof a.sa);
    a.sa.sin_port = htons(uint16_t(a.port));
    freeaddrinfo(res);
    return true;
}

// Non-blocking connect that keeps an eye on the wake pipe: 0 connected, 1 stopped, or a
// negated errno.
int client_connect(oxtel_ctx *ctx, int fd, const client_addr &a) {
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&a.sa), sizeof a.sa) == 0) return 0;
    if (errno != EINPROGRESS && errno != EINTR) return -errno;
    while (!ctx->stop) {
        pollfd p[2] = {{fd, POLLOUT, 0}, {ctx->wake[0], POLLIN, 0}};
        int r = poll(p, 2, kPollMs);
        if (r < 0 && errno != EINTR) return -errno;
        if (r <= 0) continue;
        if (p[1].revents) drain_wake(ctx);
        if (p[0].revents) {
            int err = 0;
            socklen_t len = sizeof err;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return -errno;
            return err ? -err : 0;
        }
    }
    return 1;
}

// A message torn by a lost connection would reach the next one as a stray fragment: its rest
// is dropped, the whole messages queued behind it are kept.
void drop_torn_head(oxtel_client &c) {
    if (!c.torn) return;
    c.torn = false;
    int i = oxtel_find_term(c.write.data, c.write.size);
    int cut = i < 0 ? c.write.size : i + 1;
    memmove(c.write.data, c.write.data + cut, size_t(c.write.size - cut));
    c.write.size -= cut;
}

void client_loop(oxtel_ctx *ctx, int fd, const client_addr &a) {
    oxtel_client &c = ctx->tcp.clients[0];
    while (!ctx->stop) {
        int queued;
        {
            std::lock_guard lk(ctx->mutex);
            queued = c.write.size;
        }
        LOG_TRACE(30, "%s:%d ctx->tcp.clients[0].write.size=%d", a.host.c_str(), a.port, queued);
        pollfd p[2] = {{fd, short(POLLIN | (queued > 0 ? POLLOUT : 0)), 0},
                       {ctx->wake[0], POLLIN, 0}};
        int r = poll(p, 2, kPollMs);
        if (r == 0) continue;
        if (ctx->stop) break;
        if (r < 0) {
            if (errno == EINTR) continue;
            LOG_TRACE(0, "poll() failed %d (%s)", errno, strerror(errno));
            break;
        }
        LOG_TRACE(30, "%s:%d poll=%d", a.host.c_str(), a.port, r);
        if (p[1].revents) drain_wake(ctx);
        short ev = p[0].revents;
        if ((ev & POLLOUT) && !flush(ctx, c, fd)) break;
        if (ev & POLLIN) {
            if (!receive(ctx, 0, fd)) break;
        } else if (ev & kErrEvents) {
            log_events(0, 0, ev);
            break;
        }
    }
}

}  // namespace

void client_proc(oxtel_ctx *ctx) {
    const std::string address = ctx->address.str();
    LOG_TRACE(10, "entering [%s]", address.c_str());
    client_addr a;
    if (!client_resolve(address.c_str(), a)) return;
    while (!ctx->stop) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            LOG_TRACE(0, "socket() failed %d (%s)", errno, strerror(errno));
            rest(ctx, kRetryMs);
            continue;
        }
        LOG_TRACE(10, "Connecting %s:%d...", a.host.c_str(), a.port);
        int r = client_connect(ctx, fd, a);
        if (r != 0) {
            if (r < 0)
                LOG_TRACE(10, "Failed to connect %s:%d : %s", a.host.c_str(), a.port, strerror(-r));
            close_fd(fd);
            if (r < 0) rest(ctx, kRetryMs);
            continue;
        }
        LOG_TRACE(10, "Connected to %s:%d", a.host.c_str(), a.port);
        tune_peer_socket(fd);
        reset_read(ctx->tcp.clients[0]);  // a fragment of the old stream must not join the new
        {
            std::lock_guard lk(ctx->mutex);
            ctx->sock = fd;
        }
        if (ctx->conn_cb) ctx->conn_cb(ctx, 1, ctx->user);
        const auto opened = std::chrono::steady_clock::now();
        client_loop(ctx, fd, a);
        // A device that closes at once (a wrong service on its port) is a failed attempt: it
        // must not be reconnected in a tight loop. One that was up is reconnected at once.
        const bool brief =
            std::chrono::steady_clock::now() - opened < std::chrono::milliseconds(kRetryMs);
        {
            std::lock_guard lk(ctx->mutex);
            ctx->sock = -1;
            drop_torn_head(ctx->tcp.clients[0]);
        }
        if (ctx->conn_cb) ctx->conn_cb(ctx, 0, ctx->user);
        drop_socket(fd);
        if (brief) rest(ctx, kRetryMs);
    }
    LOG_TRACE(10, "exiting [%s]", address.c_str());
}

}  // namespace oxtel_link
