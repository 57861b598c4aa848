// UDP trigger: a device takes the next event of a bus with one datagram, "MivraBox.Take "
// followed by the bus digit and ended by NUL, sent to the control port's number.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "box1_bus.h"
#include "log.h"

namespace {

using steady = std::chrono::steady_clock;

// Datagrams of one kind past the first of each second: counted, and said in one line a second.
struct trig_quiet {
    int count = 0;
    steady::time_point next{};  // the next line may be written from here on

    // True when this one may be logged on its own; otherwise it is counted.
    bool speak(steady::time_point now) {
        if (now < next) {
            count++;
            return false;
        }
        next = now + std::chrono::milliseconds(BOX1_TRIG_LOG_MS);
        return true;
    }
    // The count since the last line, once a second has passed; 0 when nothing is due.
    int due(steady::time_point now) {
        if (count == 0 || now < next) return 0;
        next = now + std::chrono::milliseconds(BOX1_TRIG_LOG_MS);
        return std::exchange(count, 0);
    }
};

}  // namespace

struct trig_listener {
    mivrabox_opts *daemon = nullptr;
    sockaddr_in address = {};  // bound address, then the sender of the last datagram
    int socket = -1;
    std::thread thread;
    // Set before the socket is shut down: only then does an empty receive end the thread.
    std::atomic<bool> stopping{false};
    char buffer[BOX1_TRIG_SIZE] = {};
    // Only the trigger thread touches these.
    steady::time_point last_take[BUS_MAX] = {};
    trig_quiet ignored;  // takes within the debounce time of the one before
    trig_quiet refused;  // malformed or unsupported datagrams
};

namespace {

constexpr char kPrefix[] = "MivraBox.Take ";
constexpr size_t kPrefixLen = sizeof(kPrefix) - 1;

// The sender's text as it may go into a log line: bytes outside printable ASCII, and the
// backslash, written as \xNN.
std::string log_safe(const char *s) {
    std::string out;
    for (; *s; s++) {
        unsigned char c = static_cast<unsigned char>(*s);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += char(c);
        } else {
            char esc[8];
            snprintf(esc, sizeof(esc), "\\x%02x", c);
            out += esc;
        }
    }
    return out;
}

int fail(const char *what) {
    int e = errno;
    log_msg(LOG_ERROR, "trig_run: %s: %d [%s]", what, e, strerror(e));
    return -e;
}

// One datagram of n bytes in t->buffer from t->address.
void handle(trig_listener *t, ssize_t n) {
    const steady::time_point now = steady::now();
    char from[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &t->address.sin_addr, from, sizeof(from));
    const int port = ntohs(t->address.sin_port);
    if (n <= 0 || t->buffer[n - 1] != 0) {
        if (t->refused.speak(now))
            log_msg(LOG_INFO, "trig_proc: wrong packet format, size=%d, from=%s:%d", int(n), from,
                    port);
        return;
    }
    // The text ends at a NUL inside the datagram, so the byte after the prefix is readable.
    const bool take = strncmp(t->buffer, kPrefix, kPrefixLen) == 0;
    const int idx = take ? static_cast<unsigned char>(t->buffer[kPrefixLen]) - '0' : -1;
    mivrabox_opts *o = t->daemon;
    const bool bus_ok = idx >= 0 && idx < o->bus_count && idx < BUS_MAX && o->busses[idx];
    if (bus_ok && now - t->last_take[idx] < std::chrono::milliseconds(BOX1_TRIG_DEBOUNCE_MS)) {
        t->ignored.count++;
        return;
    }
    if (!bus_ok) {
        if (!t->refused.speak(now)) return;
        log_msg(LOG_INFO, "trig_proc: [%s] from %s:%d", log_safe(t->buffer).c_str(), from, port);
        if (take)
            log_msg(LOG_INFO, "trig_proc: UNSUPPORTED bus %d", idx);
        else
            log_msg(LOG_INFO, "trig_proc: UNSUPPORTED");
        return;
    }
    log_msg(LOG_INFO, "trig_proc: [%s] from %s:%d", log_safe(t->buffer).c_str(), from, port);
    t->last_take[idx] = now;
    mivrabox_state st = {};
    bus_ply_take(o->busses[idx], &st);
}

// The lines of what was counted instead of logged, at most one of each a second.
void report(trig_listener *t) {
    const steady::time_point now = steady::now();
    if (int n = t->ignored.due(now))
        log_msg(LOG_INFO, "trig_proc: %d takes ignored, each within %d ms of the one before", n,
                BOX1_TRIG_DEBOUNCE_MS);
    if (int n = t->refused.due(now))
        log_msg(LOG_INFO, "trig_proc: %d wrong or unsupported datagrams ignored", n);
}

}  // namespace

// The daemon's one trigger: it listens on the port number of its one control port.
static trig_listener *g_trigger = nullptr;

int trig_new(mivrabox_opts *o) {
    if (!o) return -22;
    if (g_trigger) return -16;
    trig_listener *t = new (std::nothrow) trig_listener;
    if (!t) return -12;
    t->daemon = o;
    g_trigger = t;
    return 0;
}

int trig_free(mivrabox_opts *o) {
    if (!o || !g_trigger) return -22;
    trig_listener *t = g_trigger;
    g_trigger = nullptr;
    t->daemon = nullptr;
    delete t;
    return 0;
}

int trig_run(mivrabox_opts *o) {
    if (!o || !g_trigger) return -22;
    trig_listener *t = g_trigger;
    t->socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (t->socket < 0) return fail("failed to create socket");
    int one = 1;
    if (setsockopt(t->socket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) < 0)
        return fail("setsockopt(SO_REUSEADDR) failed");
    // The receive wakes at least once a second, so that counts of ignored datagrams are said.
    struct timeval tick = {BOX1_TRIG_LOG_MS / 1000, (BOX1_TRIG_LOG_MS % 1000) * 1000};
    if (setsockopt(t->socket, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof(tick)) < 0)
        return fail("setsockopt(SO_RCVTIMEO) failed");
    t->address.sin_family = AF_INET;
    t->address.sin_addr.s_addr = htonl(INADDR_ANY);
    t->address.sin_port = htons(uint16_t(o->port));
    if (bind(t->socket, reinterpret_cast<sockaddr *>(&t->address), sizeof(t->address)) < 0)
        return fail("bind failed");
    try {
        t->thread = std::thread(trig_proc, t);
    } catch (const std::system_error &e) {
        log_msg(LOG_ERROR, "trig_run: thread not started: %d [%s]", e.code().value(), e.what());
        return -e.code().value();
    }
    return 0;
}

void trig_proc(trig_listener *t) {
    log_msg(LOG_INFO, "trig_proc: waiting for commands");
    for (;;) {
        socklen_t len = sizeof(t->address);
        ssize_t n = recvfrom(t->socket, t->buffer, sizeof(t->buffer), 0,
                             reinterpret_cast<sockaddr *>(&t->address), &len);
        if (t->stopping) break;
        report(t);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            log_msg(LOG_ERROR, "trig_proc: recvfrom failed, %d [%s]", errno, strerror(errno));
            break;
        }
        handle(t, n);
    }
}

int trig_stop(mivrabox_opts *o) {
    if (!o || !g_trigger) return -22;
    trig_listener *t = g_trigger;
    t->stopping = true;
    if (t->thread.joinable()) {
        log_msg(LOG_INFO, "trig_stop: shutting down socket...");
        // Wakes the blocked receive, which then returns 0.
        shutdown(t->socket, SHUT_RDWR);
        // The thread may still be in recvfrom: the descriptor is closed only after the join, so
        // that it can never read from a number that was given to another file meanwhile.
        log_msg(LOG_INFO, "trig_stop: joining thread...");
        t->thread.join();
    }
    if (t->socket >= 0) {
        log_msg(LOG_INFO, "trig_stop: closing socket...");
        close(t->socket);
        t->socket = -1;
    }
    log_msg(LOG_INFO, "trig_stop: finished");
    return 0;
}

void box1_trig_start(mivrabox_opts *o) {
    // A trigger that cannot listen leaves the daemon running without it.
    if (trig_new(o) == 0) trig_run(o);
}

void box1_trig_stop(mivrabox_opts *o) {
    trig_stop(o);
    trig_free(o);
}
