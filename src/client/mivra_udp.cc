// UDP fast commands: one datagram holding the command text and its NUL.
#include "file.h"
#include "mivra_io.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;

// Resolved addresses per host:port, one small cache per sending thread: the play datagram is on
// the frame-critical path, so a send that finds its host takes no lock and allocates nothing.
// A host is looked up once and again only when its entry has aged (numeric hosts never age).
struct udp_dest {
    std::string hostport;
    sockaddr_in addr;
    steady::time_point expires;  // max() for a numeric host
};

constexpr size_t udp_cache_max = 16;
constexpr auto udp_cache_ttl = std::chrono::seconds(60);

// Splits host:port and checks both parts; -22 when unusable.
int udp_split(std::string_view hostport, std::string &host, uint16_t &port) {
    size_t colon = hostport.find(':');
    if (colon == std::string_view::npos) return -22;
    std::string_view h = hostport.substr(0, colon), p = hostport.substr(colon + 1);
    if (h.empty() || h.size() > 127 || p.empty() || p.size() > 5) return -22;
    unsigned v = 0;
    for (char c : p) {
        if (c < '0' || c > '9') return -22;
        v = v * 10 + unsigned(c - '0');
    }
    if (v == 0 || v > 65535) return -22;
    host.assign(h);
    port = uint16_t(v);
    return 0;
}

// Resolves host to its first IPv4 address (thread-safe lookup); -22 for an unknown host.
int udp_resolve(const std::string &host, uint16_t port, udp_dest &out) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *res = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) return -22;
    memcpy(&out.addr, res->ai_addr, sizeof out.addr);
    freeaddrinfo(res);
    out.addr.sin_port = htons(port);
    in_addr numeric;
    bool literal = inet_pton(AF_INET, host.c_str(), &numeric) == 1;
    out.expires = literal ? steady::time_point::max() : steady::now() + udp_cache_ttl;
    return 0;
}

int udp_lookup(const char *hostport, sockaddr_in &addr) {
    thread_local std::vector<udp_dest> cache;
    auto now = steady::now();
    for (auto it = cache.begin(); it != cache.end(); ++it) {
        if (it->hostport != hostport) continue;
        if (it->expires > now) {
            addr = it->addr;
            return 0;
        }
        cache.erase(it);
        break;
    }
    std::string host;
    uint16_t port = 0;
    if (udp_split(hostport, host, port) < 0) return -22;
    udp_dest dest{};
    if (udp_resolve(host, port, dest) < 0) return -22;
    addr = dest.addr;
    dest.hostport = hostport;
    if (cache.size() >= udp_cache_max) cache.erase(cache.begin());
    cache.push_back(std::move(dest));
    return 0;
}

}  // namespace

int mivra_udp_send(const char *hostport, const char *text) {
    if (!hostport || !text) return -22;
    sockaddr_in addr;
    if (udp_lookup(hostport, addr) < 0) return -22;
    // One socket per calling thread, kept for its later datagrams and closed when it ends:
    // opening one per datagram would more than double the time to the engine.
    thread_local unique_fd fd;
    if (!fd) fd.reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd) return -errno;
    ssize_t n = sendto(fd.get(), text, strlen(text) + 1, 0, reinterpret_cast<sockaddr *>(&addr),
                       sizeof addr);
    if (n < 0) {
        int err = errno;
        fd.reset();  // the next datagram starts on a fresh socket
        return -err;
    }
    return int(n);
}

int mivra_udp_play(const char *hostport) {
    return mivra_udp_send(hostport, "MivraIO.Play");
}
int mivra_udp_pause(const char *hostport) {
    return mivra_udp_send(hostport, "MivraIO.Pause");
}
int mivra_udp_stop(const char *hostport) {
    return mivra_udp_send(hostport, "MivraIO.Stop");
}
int mivra_udp_record(const char *hostport) {
    return mivra_udp_send(hostport, "MivraIO.Record");
}
