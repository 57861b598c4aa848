// Shared set-up of the bus engine tests and the daemons' own: pinned zone and timecode mode, a
// neutral bus, a temporary bus folder, playlist lines, a free loopback port.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>

#include "bus.h"
#include "file.h"
#include "tc.h"

inline void bus_test_pin() {
    setenv("TZ", "UTC", 1);
    tzset();
    tc_setmode(TC_PAL);
}

// A bus of the engine alone: no players, the neutral hooks (a test may point hooks at its own
// copy to set what it looks at).
inline int bus_test_new(bus **out) {
    bus *b = new (std::nothrow) bus;
    if (!b) return -12;
    if (bus_init(b) < 0) {
        delete b;
        return -12;
    }
    b->hooks = &bus_hooks_none;
    *out = b;
    return 0;
}

struct temp_dir {
    std::filesystem::path path;
    temp_dir() {
        char tmpl[] = "/tmp/bus-unit-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~temp_dir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string file(const std::string &name) const { return (path / name).string(); }
};

inline std::string ev_line(const std::string &media, const std::string &dur = "00:00:10:00",
                           char mode = ' ', const std::string &start = "10:00:00:00",
                           const std::string &in = "", const std::string &out = "") {
    return start + "\t" + std::string(1, mode) + "\t" + in + "\t" + out + "\t" + dur + "\tC\t" +
           media + "\ttitle\t\t\t\t\t\t\t";
}

inline std::string read_file(const std::string &path) {
    std::ifstream f(path);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// The metadata field of a playlist line from "key=value|key=value".
inline std::string meta_field(const std::string &pairs) {
    std::string out;
    size_t at = 0;
    while (at < pairs.size()) {
        size_t bar = pairs.find('|', at);
        if (bar == std::string::npos) bar = pairs.size();
        std::string p = pairs.substr(at, bar - at);
        size_t eq = p.find('=');
        if (!out.empty()) out += "\\n";
        out += p.substr(0, eq) + "\\t" + p.substr(eq + 1);
        at = bar + 1;
    }
    return out;
}

// A playlist line with event type, media id, title, assets, tag and metadata.
inline std::string gfx_line(char type, const std::string &media, const std::string &title,
                            const std::string &assets = "", const std::string &meta = "",
                            const std::string &dur = "00:00:30:00", const std::string &tag = "") {
    return "10:00:00:00\t \t\t\t" + dur + "\t" + std::string(1, type) + "\t" + media + "\t" +
           title + "\t" + assets + "\t\t" + tag + "\t" + meta_field(meta) + "\t\t\t";
}

// A loopback port free at the time of the call.
inline int free_port() {
    unique_fd s(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s.get(), reinterpret_cast<sockaddr *>(&a), sizeof(a));
    socklen_t n = sizeof(a);
    getsockname(s.get(), reinterpret_cast<sockaddr *>(&a), &n);
    return ntohs(a.sin_port);
}
