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

std::string text_printable(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7f) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += char(c);
        }
    }
    return out;
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
