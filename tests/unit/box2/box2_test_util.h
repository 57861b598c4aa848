// Shared set-up of the bus engine tests: pinned zone and timecode mode, a temporary bus folder.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "box2_bus.h"
#include "tc.h"

inline void box2_test_pin() {
    setenv("TZ", "UTC", 1);
    tzset();
    tc_setmode(TC_PAL);
}

struct temp_dir {
    std::filesystem::path path;
    temp_dir() {
        char tmpl[] = "/tmp/box2-unit-XXXXXX";
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
