#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "file.h"
#include "helpers.h"
#include "reader_test_util.h"
#include "landscape.h"
#include "tc.h"

namespace {

struct fields {
    std::string start = "06300000", mode = "F", title = "Evening", type = "C", mark = "10000000",
                media = "ABC123", dur = "0903000", tag = "TAG1", layers = "-1--------- ---A";
    size_t width = 273;  // without the line end
};

std::string line(const fields &f) {
    std::string b(f.width, ' ');
    auto put = [&b](size_t col, const std::string &s) { b.replace(col, s.size(), s); };
    put(1, f.start);
    put(16, f.mode);
    put(33, f.title);
    put(55, f.type);
    put(81, f.mark);
    put(110, f.media);
    put(158, f.dur);
    put(169, f.tag);
    put(243, f.layers);
    return b;
}

std::vector<std::string> g_lines;

int keep_line(landscape_maps *, mivrabox_event *ev, void *user) {
    char buf[2 * MIVRABOX_LINE_SIZE];
    mivrabox_event_format(ev, buf, sizeof buf);
    static_cast<std::vector<std::string> *>(user)->push_back(buf);
    return 0;
}

class Landscape : public ::testing::Test {
   protected:
    void SetUp() override {
        g_logged.clear();
        landscape_set_log_cb(capture_log);
    }
    void TearDown() override {
        landscape_destroy(&h);
        landscape_set_log_cb(nullptr);
        tc_setmode(TC_PAL);
    }
    void init(const std::string &types, const std::string &layers) {
        ASSERT_EQ(file_write_atomic(dir / "types.txt", types), 0);
        ASSERT_EQ(file_write_atomic(dir / "layers.txt", layers), 0);
        ASSERT_EQ(landscape_init(&h, (dir / "types.txt").c_str(), (dir / "layers.txt").c_str()), 0);
    }
    std::vector<std::string> parse(const std::string &text) {
        std::vector<std::string> out;
        EXPECT_EQ(file_write_atomic(dir / "in.scx", text), 0);
        EXPECT_EQ(landscape_parse(h, (dir / "in.scx").c_str(), nullptr, &out, keep_line), 0);
        return out;
    }

    temp_dir dir;
    landscape_maps *h = nullptr;
};

const char kTypes[] =
    "# types\r\nC 2000000000000000 /media/clips\r\n\nAB 2000000000000000 /x\n"
    "D 200 /y\nE\n";
const char kLayers[] = "1 2 LOGO\n2 1 CLOCK\n16 A TICKER\n17 A BAD\n3 Z\n";

TEST_F(Landscape, MapsAndTheirComplaints) {
    init(kTypes, kLayers);
    EXPECT_EQ(h->layers['C'], "2000000000000000");
    EXPECT_EQ(h->prefix['C'], "/media/clips");
    EXPECT_TRUE(h->layers['D'].empty());
    EXPECT_EQ(h->gfx[15]['A'], "TICKER");
    ASSERT_EQ(g_logged.size(), 5u);
    EXPECT_NE(g_logged[0].find("wrong type [AB] of line [AB 2000000000000000 /x]"),
              std::string::npos);
    EXPECT_NE(g_logged[1].find("wrong default layers [200]"), std::string::npos);
    EXPECT_NE(g_logged[2].find("failed to parse line [E]"), std::string::npos);
    EXPECT_NE(g_logged[3].find("wrong layer ID [17] of line [17 A BAD]"), std::string::npos);
    EXPECT_NE(g_logged[4].find("failed to parse line [3 Z]"), std::string::npos);
    EXPECT_EQ(g_logged[0].rfind("landscape_init:", 0), 0u);

    landscape_maps *bare = nullptr;
    EXPECT_EQ(landscape_init(&bare, (dir / "none1").c_str(), (dir / "none2").c_str()), 0);
    ASSERT_EQ(g_logged.size(), 7u);
    EXPECT_NE(g_logged[5].find("failed to load type_map_filename ["), std::string::npos);
    EXPECT_NE(g_logged[6].find("none2]"), std::string::npos);
    EXPECT_EQ(landscape_destroy(&bare), 0);
    EXPECT_EQ(bare, nullptr);
    EXPECT_EQ(landscape_destroy(&bare), 0);
    EXPECT_EQ(landscape_destroy(nullptr), -22);
    EXPECT_EQ(landscape_init(nullptr, nullptr, nullptr), -22);
}

TEST_F(Landscape, LineFields) {
    init(kTypes, kLayers);
    fields f;
    f.title = "R&B <\xc3\xa9>";
    fields bare = f;
    bare.type = "X";
    bare.mark = "        ";
    bare.mode = "Q";
    auto out = parse(line(f) + "\n" + line(bare) + "\r\n");
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0],
              "06:30:00:00\tF\t10:00:00:00\t\t01:30:30:00\tC\t/media/clips/ABC123#\tR_B ___"
              "_\tLOGO+CLOCK+TICKER\t\tTAG1\t\t\t\t*");
    // No prefix and no default layers: '-' counts as '0'.
    EXPECT_EQ(
        out[1],
        "06:30:00:00\t \t\t\t01:30:30:00\tX\tABC123#\tR_B ____\tCLOCK+TICKER\t\tTAG1\t\t\t\t*");
    EXPECT_EQ(tc_getmode(), TC_PAL);
    EXPECT_EQ(parse(line(f) + "\n" + line(bare) + "\r\n"), out);  // the handle is not changed
}

TEST_F(Landscape, LinesThatDoNotFit) {
    init(kTypes, kLayers);
    fields ok;
    fields start7 = ok, dur6 = ok, wide = ok, short_layers = ok;
    start7.start = "0630000";
    dur6.dur = "090300";
    wide.width = 290;
    short_layers.layers = "-1--------- --- ";
    std::string text = line(ok).substr(0, 272) + "\n" + line(start7) + "\n" + line(dur6) + "\n" +
                       line(wide) + "\n" + "\n" + std::string(4095, 'x') + line(ok) + "\n" +
                       line(short_layers) + "\n" + line(ok);  // last line without LF: 273
    auto out = parse(text);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_NE(out[0].find("\t\t\tTAG1"), std::string::npos);  // no assets
    wide.width = 289;
    EXPECT_EQ(parse(line(wide) + "\n").size(), 1u);
}

TEST_F(Landscape, UnopenableInput) {
    init("", "");
    std::vector<std::string> out;
    EXPECT_EQ(landscape_parse(h, (dir / "missing.scx").c_str(), nullptr, &out, keep_line), -2);
    // A folder opens but holds no lines: refused, not read as an empty schedule.
    EXPECT_EQ(landscape_parse(h, dir.path.c_str(), nullptr, &out, keep_line), -21);
    EXPECT_TRUE(out.empty());
}

}  // namespace
