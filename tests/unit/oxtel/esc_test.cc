#include <gtest/gtest.h>

#include <string>

#include "oxtel.h"

namespace {

std::string esc(const std::string &s, int cap = 4096, int count = 0) {
    std::string out(size_t(cap > 0 ? cap : 1), '#');
    int n = oxtel_escape(out.data(), cap, s.c_str(), count);
    EXPECT_EQ(cap > 0 ? out[size_t(n)] : '#', cap > 0 ? '\0' : '#');
    return out.substr(0, size_t(n));
}

std::string unesc(const std::string &s, int cap = 4096, int count = -1) {
    std::string out(size_t(cap > 0 ? cap : 1), '#');
    int n = oxtel_unescape(out.data(), cap, s.data(), count < 0 ? int(s.size()) : count);
    return out.substr(0, size_t(n));
}

}  // namespace

TEST(OxtelEscape, ProtectsTheFourCharactersAndComesBack) {
    EXPECT_EQ(esc("a:b|c\\d;"), "a\\3Ab\\7Cc\\5Cd\\3B");
    EXPECT_EQ(unesc("a\\3Ab\\7Cc\\5Cd\\3B"), "a:b|c\\d;");
    EXPECT_EQ(unesc("\\7c\\3a\\3b\\5c"), "|:;\\");
    // sequences that stand for nothing, and cut ones, stay as they are
    EXPECT_EQ(unesc("\\41"), "\\41");
    EXPECT_EQ(unesc("x\\3"), "x\\3");
    EXPECT_EQ(unesc("x\\"), "x\\");
    EXPECT_EQ(unesc("\\\\3A"), "\\:");
    // every byte value survives the round trip
    std::string all;
    for (int c = 1; c < 256; c++) all += char(c);
    EXPECT_EQ(unesc(esc(all)), all);
    EXPECT_EQ(esc(all).find(':'), std::string::npos);
}

TEST(OxtelEscape, CountAndCapacityBounds) {
    EXPECT_EQ(esc("abc:def", 4096, 4), "abc\\3A");  // count limits the source
    EXPECT_EQ(esc("", 16), "");
    EXPECT_EQ(esc("abc", 16, -1), "");
    EXPECT_EQ(esc("abc", 0), "");
    // an escape that does not fit whole is left out, never cut
    EXPECT_EQ(esc("ab:c", 5), "ab");
    EXPECT_EQ(esc("ab:c", 6), "ab\\3A");
    EXPECT_EQ(unesc("abcdef", 4), "abc");
    EXPECT_EQ(unesc("\\3A\\3A", 2), ":");
    EXPECT_EQ(unesc("abc", 16, 2), "ab");
    // the count stops decoding inside a sequence: the rest is outside the source
    EXPECT_EQ(unesc("x\\3A", 16, 3), "x\\3");
}

TEST(OxtelEscape, FindTerm) {
    EXPECT_EQ(oxtel_find_term("Y6:Y61:", 7), 2);
    EXPECT_EQ(oxtel_find_term("Y6:", 2), -2);
    EXPECT_EQ(oxtel_find_term(":", 1), 0);
    EXPECT_EQ(oxtel_find_term("abc", 3), -2);
    EXPECT_EQ(oxtel_find_term("abc", 0), -2);
}
