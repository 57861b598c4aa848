#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "stl.h"
#include "stl_gen.h"

namespace {

std::string tti_text(const stl_gen &g, int block) {
    stl_file f;
    std::string b = g.bytes();
    EXPECT_EQ(stl_parse(reinterpret_cast<const uint8_t *>(b.data()), b.size(), f), 0);
    char out[STL_TEXT_SIZE];
    memset(out, 'x', sizeof out);
    int n = stl_tti_text(f, block, out);
    EXPECT_EQ(size_t(n), strlen(out));
    return out;
}

std::string one_text(std::string_view raw, int cct = 0) {
    stl_gen g;
    g.cct = cct;
    g.add({0, 0, 0, 0}, {0, 0, 1, 0}, raw);
    return tti_text(g, 0);
}

stl_file parsed(const std::string &b) {
    stl_file f;
    EXPECT_EQ(stl_parse(reinterpret_cast<const uint8_t *>(b.data()), b.size(), f), 0);
    return f;
}

class StlDir : public ::testing::Test {
   protected:
    void SetUp() override {
        char tmpl[] = "/tmp/stl_testXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string write(const std::string &name, const std::string &data) {
        std::string p = dir + "/" + name;
        std::ofstream(p, std::ios::binary) << data;
        return p;
    }
    std::string dir;
};

}  // namespace

TEST(StlText, MarkupControlCodesAndTildes) {
    EXPECT_EQ(one_text("\x80i\x81\x82u\x83\x84"
                       "b\x85"),
              "<i>i</i><u>u</u><b>b</b>");
    // Teletext colours, boxing and line breaks are dropped; the 0x8F filler too.
    EXPECT_EQ(one_text("\x01\x0b\x0bTwo\x86\x89\x8b\x8e\x90\xa0 words\x0a"), "Two words");
    EXPECT_EQ(one_text("Hello\x8a\x8aWorld"), "Hello~ World");
    EXPECT_EQ(one_text("a~~~b"), "a~ ~b");
    // Trailing '~' and blanks go, but never the first character.
    EXPECT_EQ(one_text("End\x8a \x8a  "), "End");
    EXPECT_EQ(one_text("\x8a\x8a"), "~");
    EXPECT_EQ(one_text(" "), " ");
    EXPECT_EQ(one_text(""), "");
}

TEST(StlText, CodeTablesConvertToUtf8) {
    // Table 0: '$' and '#' at 0xA4 and 0xA6 do not stop the line; accents combine.
    EXPECT_EQ(one_text("I got \xa4"
                       "10 that says \xa6"
                       "1",
                       0),
              "I got $10 that says #1");
    EXPECT_EQ(one_text("caf\xc2"
                       "e \xc8u",
                       0),
              "café ü");
    EXPECT_EQ(one_text("\xbf\xe0\xd8\xd2\xd5\xe2", 1), "Привет");
    EXPECT_EQ(one_text("\xe5\xd1\xcd\xc8\xc7", 2), "مرحبا");
    EXPECT_EQ(one_text("\xc3\xe5\xe9\xdc", 3), "Γειά");
    EXPECT_EQ(one_text("\xf9\xec\xe5\xed", 4), "שלום");
    // A byte the table lacks ends the text, keeping what came before.
    EXPECT_EQ(one_text("ab\xc1\xe0", 4), "ab");
    // Other tables copy the bytes as they are.
    EXPECT_EQ(one_text("x\xe9y", 7), "x\xe9y");
}

TEST(StlText, OutputStaysBounded) {
    stl_gen g;
    g.cct = 9;
    g.add({0, 0, 0, 0}, {0, 0, 1, 0}, std::string(112, '\x81'));  // 448 bytes of "</i>"
    std::string t = tti_text(g, 0);
    EXPECT_EQ(t.size(), 448u);
    g.cct = 0;
    EXPECT_EQ(tti_text(g, 0).size(), 448u);
    // Blocks outside the file give the empty text.
    EXPECT_EQ(tti_text(g, 1), "");
    EXPECT_EQ(tti_text(g, -1), "");
}

TEST(StlMpl, LinesFromTheStartFrameOn) {
    stl_gen g;
    g.add({9, 59, 59, 24}, {10, 0, 1, 0}, "before");
    g.add({10, 0, 0, 0}, {10, 0, 2, 0}, "at");
    g.add({10, 0, 1, 0}, {10, 0, 0, 10}, "after", 0xFE, 1);  // out before in: not clamped
    g.add({10, 0, 2, 0}, {10, 0, 3, 0}, "\x8f");             // empty text: left out
    stl_file f = parsed(g.bytes());
    std::string text;
    int start = 10 * 90000;
    int r = stl_to_mpl(f, start, text);
    EXPECT_EQ(r, int(text.size()));
    EXPECT_EQ(text, "0=at\n49=\n25=after\n9=\n");
    r = stl_to_mpl(f, start - 1, text);
    EXPECT_EQ(r, int(text.size()));
    EXPECT_EQ(text.substr(0, 13), "0=before\n25=\n");
    // Frames are counted at 25 per second whatever the timecode mode.
    EXPECT_EQ(stl_frames(1, 2, 3, 4), 90000 + 3000 + 75 + 4);
    EXPECT_EQ(stl_to_mpl(f, start + 26, text), -1);
    EXPECT_EQ(text, "");
    // Extreme time codes stay defined.
    r = stl_to_mpl(f, stl_frames(INT_MIN, INT_MIN, 0, 0), text);
    EXPECT_EQ(r, int(text.size()));
    EXPECT_EQ(text.substr(0, 15), "196494754691999");
    EXPECT_EQ(stl_to_mpl(f, stl_frames(INT_MAX, 0, 0, 0), text), -1);
}

TEST(StlMpl, HeaderCountMustMatchTheBlocks) {
    stl_gen g;
    g.add({0, 0, 1, 0}, {0, 0, 2, 0}, "one");
    std::string b = g.bytes();
    stl_file f;
    EXPECT_EQ(stl_parse(reinterpret_cast<const uint8_t *>(b.data()), b.size() - 1, f), -22);
    std::string longer = b + '\0';
    EXPECT_EQ(stl_parse(reinterpret_cast<const uint8_t *>(longer.data()), longer.size(), f), -22);
    g.tnb = 2;
    std::string lying = g.bytes();
    EXPECT_EQ(stl_parse(reinterpret_cast<const uint8_t *>(lying.data()), lying.size(), f), -22);
    // A record built by hand with a lying header is never read past its bytes.
    f.data.assign(lying.begin(), lying.end());
    f.size = int(lying.size());
    std::string text;
    EXPECT_EQ(stl_to_mpl(f, 0, text), -1);
    // No block at all.
    stl_gen none;
    stl_file empty = parsed(none.bytes());
    EXPECT_EQ(stl_to_mpl(empty, 0, text), -1);
}

TEST_F(StlDir, LoadRefusesWhatIsNoStlFile) {
    stl_gen g;
    g.add({0, 0, 1, 0}, {0, 0, 2, 0}, "one");
    stl_file f;
    EXPECT_EQ(stl_load(write("ok.stl", g.bytes()).c_str(), f), 0);
    EXPECT_EQ(f.size, 1024 + 128);
    EXPECT_EQ(stl_load(write("plus.stl", g.bytes() + "x").c_str(), f), -22);
    EXPECT_EQ(stl_load(write("short.stl", g.bytes().substr(0, 1000)).c_str(), f), -22);
    EXPECT_EQ(stl_load((dir + "/missing.stl").c_str(), f), -ENOENT);
    EXPECT_EQ(stl_load(dir.c_str(), f), -21);
    std::string fifo = dir + "/pipe.stl";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    EXPECT_EQ(stl_load(fifo.c_str(), f), -21);  // refused without blocking on the open
}

TEST_F(StlDir, MplBuildPathRules) {
    stl_gen g;
    g.add({10, 0, 1, 0}, {10, 0, 2, 0}, "news");
    write("news.STL", g.bytes());
    write("bad.stl", g.bytes() + "x");
    std::string text;
    EXPECT_EQ(mpl_build(dir.c_str(), "/news.STL/10:00:00:00.mpl", text), 0);
    EXPECT_EQ(text, "25=news\n49=\n");
    // Only the last folder names the file; scanf-like reading of the time code.
    EXPECT_EQ(mpl_build(dir.c_str(), "/a/../news.STL/10:0:1:0junk.mpl", text), 0);
    EXPECT_EQ(text, "0=news\n24=\n");
    EXPECT_EQ(mpl_build(dir.c_str(), "/news.STL/10:00:00:00.MPL", text), -2);
    EXPECT_EQ(mpl_build(dir.c_str(), "/news.STL/10:00:00.mpl", text), -2);
    EXPECT_EQ(mpl_build(dir.c_str(), "/news.STL/.mpl", text), -2);
    EXPECT_EQ(mpl_build(dir.c_str(), "/news/10:00:00:00.mpl", text), -2);
    EXPECT_EQ(mpl_build(dir.c_str(), "/news.stl/10:00:00:00.mpl", text), -2);  // no such file
    EXPECT_EQ(mpl_build(dir.c_str(), "/bad.stl/10:00:00:00.mpl", text), -2);
    EXPECT_EQ(mpl_build(dir.c_str(), "/news.STL/10:00:01:01.mpl", text), -22);
    EXPECT_EQ(mpl_build(dir.c_str(), "/news.STL/99999999999:0:0:0.mpl", text), -22);
    EXPECT_EQ(text, "");
}

TEST(StlFields, TablesFollowTheStandard) {
    const stl_field *tnb = stl_field_find(stl_gsi_fields, 30, "TNB");
    ASSERT_NE(tnb, nullptr);
    EXPECT_EQ(tnb->offset, 238);
    EXPECT_EQ(tnb->length, 5);
    // The GSI fields tile the block up to the spare bytes, then the user area fills it.
    int end = 0;
    for (const stl_field &f : stl_gsi_fields) {
        if (strcmp(f.code, "UDA") == 0) end = 448;
        EXPECT_EQ(f.offset, end) << f.code;
        end = f.offset + f.length;
        if (strcmp(f.code, "ECD") == 0) {
            EXPECT_EQ(end, 373);
        }
    }
    EXPECT_EQ(end, 1024);
    end = 0;
    for (const stl_field &f : stl_tti_fields) {
        EXPECT_EQ(f.offset, end) << f.code;
        end = f.offset + f.length;
    }
    EXPECT_EQ(end, 128);
    stl_gen g;
    g.cct = 3;
    stl_file file = parsed(g.bytes());
    EXPECT_EQ(stl_gsi_int(file, "CCT"), 3);
    char cpn[4];
    EXPECT_STREQ(stl_field_read(file.data.data(), stl_gsi_fields[0], cpn), "850");
}
