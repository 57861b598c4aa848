// Small text helpers shared by every module: bounded copies, a bounded string, whole lines, paths.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

#include "result.h"  // every module includes this header: the shared results come with it

// Copies at most size-1 bytes of src into dst and terminates it; returns the bytes copied.
// A null src copies the empty text. Nothing is written when size is 0.
size_t str_copy(char *dst, size_t size, const char *src);
size_t str_copy(char *dst, size_t size, std::string_view src);

// Appends the printf-style text to out, cut at limit bytes; only the kept bytes are allocated.
// Returns the length of the whole text, or a negative number (nothing appended) when the format
// fails. ap is used up.
int str_vappend(std::string &out, size_t limit, const char *fmt, va_list ap);

// Text of at most N-1 bytes: the bound of a fixed field of N bytes, kept on every assignment,
// stored compactly.
template <size_t N>
class btext {
   public:
    static constexpr size_t capacity = N - 1;
    btext() = default;
    btext(std::string_view s) { assign(s); }
    btext(const char *s) { assign(s); }
    btext &operator=(std::string_view s) { return assign(s); }
    btext &operator=(const char *s) { return assign(s); }
    btext &assign(const char *s) { return assign(s ? std::string_view(s) : std::string_view()); }
    btext &assign(std::string_view s) {
        s_.assign(s.substr(0, capacity));
        return *this;
    }
    // True when s is kept whole by an assignment.
    static bool fits(std::string_view s) { return s.size() <= capacity; }
    const char *c_str() const { return s_.c_str(); }
    const std::string &str() const { return s_; }
    std::string_view view() const { return s_; }
    size_t size() const { return s_.size(); }
    bool empty() const { return s_.empty(); }
    void clear() { s_.clear(); }
    bool operator==(const btext &o) const { return s_ == o.s_; }
    bool operator==(std::string_view o) const { return s_ == o; }
    // Without it a literal matches both overloads above.
    bool operator==(const char *o) const { return o && s_ == o; }

   private:
    std::string s_;
};

// Text field bounds of the records.
using text4k = btext<4096>;
using text32 = btext<32>;

// Reads one whole line of any length without its line end; false at end of file with nothing read.
bool read_line(FILE *f, std::string &line);

// The text as it may stand in a log line: control characters (C0, DEL, C1) and bytes that are
// no well-formed UTF-8 written as \xNN, so that outside text can neither end a line nor start
// an escape sequence.
std::string text_printable(std::string_view s);
// True when s holds a C0 control character or DEL.
bool text_has_control(std::string_view s);

// Cuts leading and trailing blanks, tabs, CR and LF.
std::string_view trim_blank(std::string_view s);

// True when name can stand as one path element: not empty, not "." or "..", no '/' and no NUL.
bool path_name_ok(std::string_view name);
// Joins folder and name with one '/': -22 when the name is refused or the result would be longer
// than max_len bytes, else 0.
int path_join(std::string &out, std::string_view folder, std::string_view name,
              size_t max_len = 4095);
