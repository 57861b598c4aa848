// Writes EBU STL files for the tests: a GSI block of text fields and 128-byte TTI blocks.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

struct stl_gen {
    struct tc {
        uint8_t h, m, s, f;
    };
    int cct = 0;
    int tnb = -1;  // header count; -1 writes the number of blocks added
    std::vector<std::array<uint8_t, 128>> blocks;

    // Text bytes as written to the Text Field, padded with 0x8F fillers.
    stl_gen &add(tc in, tc out, std::string_view text, uint8_t ebn = 0xFF, uint8_t comment = 0) {
        std::array<uint8_t, 128> b;
        b.fill(0x8F);
        b[0] = 0;
        b[1] = uint8_t(blocks.size());
        b[2] = uint8_t(blocks.size() >> 8);
        b[3] = ebn;
        b[4] = 0;
        memcpy(&b[5], &in, 4);
        memcpy(&b[9], &out, 4);
        b[13] = 20;
        b[14] = 2;
        b[15] = comment;
        memcpy(&b[16], text.data(), std::min<size_t>(text.size(), 112));
        blocks.push_back(b);
        return *this;
    }

    std::string bytes() const {
        std::string gsi(1024, ' ');
        auto put = [&gsi](int off, std::string_view v) { gsi.replace(size_t(off), v.size(), v); };
        char num[16];
        put(0, "850");
        put(3, "STL25.01");
        put(11, "1");
        snprintf(num, sizeof num, "%02d", cct);
        put(12, num);
        put(14, "09");
        snprintf(num, sizeof num, "%05d", tnb < 0 ? int(blocks.size()) : tnb);
        put(238, num);
        put(243, num);
        put(248, "001");
        put(274, "GBR");
        for (const auto &b : blocks) gsi.append(reinterpret_cast<const char *>(b.data()), b.size());
        return gsi;
    }
};
