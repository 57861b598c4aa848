#include <cstring>

#include "oxtel.h"

namespace {

// Characters that frame or structure Oxtel messages, and their escaped forms.
struct esc_pair {
    char plain;
    char code[3];
};
constexpr esc_pair kEscapes[] = {{':', {'3', 'A', 'a'}},
                                 {';', {'3', 'B', 'b'}},
                                 {'\\', {'5', 'C', 'c'}},
                                 {'|', {'7', 'C', 'c'}}};

int source_count(const char *src, int count) {
    if (!src) return 0;
    return count == 0 ? int(strnlen(src, 1 << 30)) : count;
}

}  // namespace

int oxtel_escape(char *dst, int capacity, const char *src, int count) {
    if (!dst || capacity <= 0) return 0;
    count = source_count(src, count);
    int out = 0;
    for (int i = 0; i < count; i++) {
        const esc_pair *e = nullptr;
        for (const esc_pair &p : kEscapes)
            if (src[i] == p.plain) e = &p;
        int need = e ? 3 : 1;
        if (out + need + 1 > capacity) break;  // never cut an escape in half
        if (e) {
            dst[out++] = '\\';
            dst[out++] = e->code[0];
            dst[out++] = e->code[1];
        } else {
            dst[out++] = src[i];
        }
    }
    dst[out] = 0;
    return out;
}

int oxtel_unescape(char *dst, int capacity, const char *src, int count) {
    if (!dst || capacity <= 0) return 0;
    count = source_count(src, count);
    int out = 0;
    for (int i = 0; i < count && out < capacity - 1; i++) {
        char c = src[i];
        if (c == '\\' && i + 2 < count) {
            for (const esc_pair &p : kEscapes) {
                if (src[i + 1] == p.code[0] &&
                    (src[i + 2] == p.code[1] || src[i + 2] == p.code[2])) {
                    c = p.plain;
                    i += 2;
                    break;
                }
            }
        }
        dst[out++] = c;
    }
    dst[out] = 0;
    return out;
}

int oxtel_find_term(const char *buf, int length) {
    if (!buf || length <= 0) return -2;
    const void *p = memchr(buf, ':', size_t(length));
    return p ? int(static_cast<const char *>(p) - buf) : -2;
}
