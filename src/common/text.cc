#include "text.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

size_t str_copy(char *dst, size_t size, std::string_view src) {
    if (!dst || size == 0) return 0;
    size_t n = std::min(src.size(), size - 1);
    if (n) memcpy(dst, src.data(), n);  // an empty view may hold a null pointer
    dst[n] = 0;
    return n;
}

size_t str_copy(char *dst, size_t size, const char *src) {
    return str_copy(dst, size, src ? std::string_view(src) : std::string_view());
}

int str_vappend(std::string &out, size_t limit, const char *fmt, va_list ap) {
    // Most texts fit this buffer: one formatting then; a longer one is formatted again into
    // its place in out.
    char buf[1024];
    va_list ap2;
    va_copy(ap2, ap);
    int n = vsnprintf(buf, sizeof buf, fmt, ap2);
    va_end(ap2);
    if (n < 0) return n;
    size_t want = std::min(size_t(n), limit);
    if (size_t(n) < sizeof buf) {
        out.append(buf, want);
        return n;
    }
    size_t at = out.size();
    out.resize(at + want + 1);
    vsnprintf(out.data() + at, want + 1, fmt, ap);
    out.resize(at + want);
    return n;
}

bool read_line(FILE *f, std::string &line) {
    line.clear();
    // getline, unlike fgets, keeps a NUL inside a line from hiding the line end after it.
    char *buf = nullptr;
    size_t cap = 0;
    ssize_t n = getline(&buf, &cap, f);
    std::unique_ptr<char, decltype(&free)> hold(buf, &free);
    if (n <= 0) return false;
    if (buf[n - 1] == '\n') n--;
    line.assign(buf, size_t(n));
    return true;
}

namespace {

// Length of the well-formed UTF-8 sequence at s[i] that is no control character, 0 when there is
// none: C1 controls (U+0080 to U+009F) act like ESC on many terminals, and stray bytes are
// shown rather than left for a terminal to guess at.
size_t utf8_printable_len(std::string_view s, size_t i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c >= 0xf0 && c <= 0xf4 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 && c < 0xe0 ? 2 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    for (size_t k = 1; k < n; k++)
        if ((static_cast<unsigned char>(s[i + k]) & 0xc0) != 0x80) return 0;
    unsigned char c1 = static_cast<unsigned char>(s[i + 1]);
    if (c == 0xc2 && c1 < 0xa0) return 0;   // C1 control
    if (c == 0xe0 && c1 < 0xa0) return 0;   // overlong
    if (c == 0xed && c1 >= 0xa0) return 0;  // surrogate
    if (c == 0xf0 && c1 < 0x90) return 0;   // overlong
    if (c == 0xf4 && c1 >= 0x90) return 0;  // past U+10FFFF
    return n;
}

}  // namespace

std::string text_printable(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x7f) {
            out += char(c);
            i++;
            continue;
        }
        size_t n = c >= 0x80 ? utf8_printable_len(s, i) : 0;
        if (n > 0) {
            out.append(s.substr(i, n));
            i += n;
            continue;
        }
        char hex[8];
        snprintf(hex, sizeof hex, "\\x%02x", c);
        out += hex;
        i++;
    }
    return out;
}

bool text_has_control(std::string_view s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7f) return true;
    return false;
}

std::string_view trim_blank(std::string_view s) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

bool path_name_ok(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    return name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

int path_join(std::string &out, std::string_view folder, std::string_view name, size_t max_len) {
    if (!path_name_ok(name)) return -22;
    bool slash = folder.empty() || folder.back() == '/';
    size_t len = folder.size() + (slash ? 0 : 1) + name.size();
    if (len > max_len) return -22;
    out.assign(folder);
    if (!slash) out.push_back('/');
    out.append(name);
    return 0;
}
