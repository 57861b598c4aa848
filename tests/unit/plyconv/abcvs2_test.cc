#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "abcvs2.h"
#include "file.h"
#include "helpers.h"
#include "reader_test_util.h"

namespace {

struct sink : reader_sink<time_t> {
    abcvs2_handle *handle = nullptr;
    std::vector<std::string> log;
    size_t logged(const std::string &part) const {
        size_t n = 0;
        for (const std::string &l : log) n += l.find(part) != std::string::npos;
        return n;
    }
};

sink *g_sink = nullptr;
constexpr auto keep_event = keep_handle_event_in<sink, abcvs2_handle>;

void note_log(const char *fmt, va_list ap) {
    char buf[1024];
    vsnprintf(buf, sizeof buf, fmt, ap);
    if (g_sink) g_sink->log.push_back(buf);
}

using cells = std::vector<std::string>;

const cells kUtf8Names = {"Index",
                          "Chrono",
                          "Heure d\xC3\xA9"
                          "but",
                          "Heure fin",
                          "Type oeuvre",
                          "N\xC2\xB0 support",
                          "Titre oeuvre",
                          "Titre segment",
                          "N\xC2\xB0 programme",
                          "N\xC2\xB0 Episode",
                          "TC IN",
                          "TC OUT",
                          "Diffusion Id",
                          "N\xC2\xB0 ordre",
                          "Dur\xC3\xA9"
                          "e",
                          "N\xC2\xB0 Segment",
                          "Placement"};

// The names as an ISO-8859-1 table writes them.
cells latin1_names() {
    cells v;
    for (std::string s : kUtf8Names) {
        for (size_t at; (at = s.find("\xC3\xA9")) != std::string::npos;) s.replace(at, 2, "\xE9");
        for (size_t at; (at = s.find("\xC2\xB0")) != std::string::npos;) s.replace(at, 2, "\xB0");
        v.push_back(s);
    }
    return v;
}

std::string line(const cells &c) {
    std::string s;
    for (size_t i = 0; i < c.size(); i++) s += (i ? "\t" : "") + c[i];
    return s + "\r\n";
}

// A data row in the order of kUtf8Names, with the given cells set by header index.
cells data(std::map<size_t, std::string> set) {
    cells c(17);
    c[0] = "1";
    for (auto &[i, v] : set) c[i] = v;
    return c;
}

class Abcvs2 : public ::testing::Test {
   protected:
    void SetUp() override {
        g_sink = &out;
        abcvs2_set_log_cb(note_log);
        ASSERT_EQ(abcvs2_create(&out.handle), 0);
    }
    void TearDown() override {
        abcvs2_destroy(&out.handle);
        abcvs2_set_log_cb(nullptr);
        g_sink = nullptr;
    }
    int parse(const std::string &text) {
        std::string path = dir / "in.txt";
        EXPECT_EQ(file_write_atomic(path, text), 0);
        return abcvs2_parse(out.handle, path.c_str(), nullptr, &out, keep_event);
    }
    temp_dir dir;
    sink out;
};

TEST_F(Abcvs2, PlainHeaderMapsEveryColumn) {
    cells full = data({{1, "start byclock"},
                       {2, "06:00:00:00"},
                       {4, "FILM"},
                       {5, "MED1"},
                       {6, "Movie"},
                       {7, "Part 1"},
                       {8, "P8"},
                       {9, "E9"},
                       {10, "10:00:00:00"},
                       {12, "D12"},
                       {13, "O13"},
                       {14, "00:20:00:00"},
                       {15, "S15"},
                       {16, "PL"}});
    ASSERT_EQ(parse(line(kUtf8Names) + line(full) + "\n" +
                    line(data({{1, "Start Manual"}, {6, "Movie"}}))),
              0);
    EXPECT_EQ(out.logged("Unable to find column"), 0u);
    EXPECT_EQ(out.logged("ISO_8859-1"), 0u);
    ASSERT_EQ(out.events.size(), 2u);
    const mivrabox_event *ev = out.events[0];
    EXPECT_EQ(ev->start_mode, 'F');
    EXPECT_EQ(ev->start_time.str(), "06:00:00:00");
    EXPECT_EQ(ev->title.str(), "Part 1 / Movie");
    EXPECT_EQ(ev->mark_in.str(), "10:00:00:00");
    EXPECT_EQ(ev->duration.str(), "00:20:00:00");
    EXPECT_EQ(ev->media_id.str(), "/MED1#");
    EXPECT_EQ(ev->ar.str(), "*");
    EXPECT_EQ(ev->event_type, 0);
    std::vector<std::pair<std::string, std::string>> want = {
        {"Diffusion_Id", "D12"},   {"Type_oeuvre", "FILM"},     {"N_support", "MED1"},
        {"Titre_oeuvre", "Movie"}, {"Titre_segment", "Part 1"}, {"N_programme", "P8"},
        {"N_Episode", "E9"},       {"N_ordre", "O13"},          {"N_Segment", "S15"},
        {"Placement", "PL"}};
    EXPECT_EQ(out.pair_list(0), want);
    EXPECT_EQ(out.events[1]->start_mode, 'M');
    EXPECT_EQ(out.events[1]->title.str(), " / Movie");
    EXPECT_EQ(out.events[1]->media_id.str(), "/#");
    EXPECT_EQ(out.pair_list(1),
              (std::vector<std::pair<std::string, std::string>>{{"Titre_oeuvre", "Movie"}}));
}

TEST_F(Abcvs2, Latin1TableConverted) {
    ASSERT_EQ(parse(line(latin1_names()) +
                    line(data({{6, "Caf\xE9"}, {7, "Part 1"}, {14, "00:00:01:00"}}))),
              0);
    EXPECT_EQ(out.logged("found characters that belongs to 'ISO_8859-1'"), 1u);
    EXPECT_EQ(out.logged("Unable to find column"), 0u);
    ASSERT_EQ(out.events.size(), 1u);
    EXPECT_EQ(out.events[0]->title.str(), "Part 1 / Caf\xC3\xA9");
    EXPECT_EQ(out.pair_list(0).at(0),
              (std::pair<std::string, std::string>{"Titre_oeuvre", "Caf\xC3\xA9"}));
}

TEST_F(Abcvs2, Utf8CellsAreNotConvertedAgain) {
    // The UTF-8 names carry B0 and A9 inside their pairs; data cells in UTF-8 stay as they are.
    ASSERT_EQ(parse(line(kUtf8Names) + line(data({{5, "MED"}, {7, "S\xC3\xA9g"}}))), 0);
    EXPECT_EQ(out.logged("ISO_8859-1"), 0u);
    ASSERT_EQ(out.events.size(), 1u);
    EXPECT_EQ(out.events[0]->media_id.str(), "/MED#");
    EXPECT_EQ(out.events[0]->title.str(), "S\xC3\xA9g / ");
}

TEST_F(Abcvs2, ColumnsInAnyOrderAndZeroDurationSkipped) {
    cells names = kUtf8Names;
    std::swap(names[6], names[7]);
    names[16] = names[6];  // repeated: the first one counts; Placement is then missing
    std::string text = line(names);
    for (const char *d : {"00:00:00:00", "00:00:00:01", "0:00:00:00"})
        text += line(data({{6, "Seg"}, {7, "Movie"}, {16, "Other"}, {14, d}}));
    ASSERT_EQ(parse(text), 0);
    EXPECT_EQ(out.logged("Unable to find column [Placement]"), 1u);
    ASSERT_EQ(out.events.size(), 2u);
    EXPECT_EQ(out.events[0]->title.str(), "Seg / Movie");
    EXPECT_EQ(out.events[0]->duration.str(), "00:00:00:01");
    EXPECT_EQ(out.events[1]->duration.str(), "0:00:00:00");
}

TEST_F(Abcvs2, WrongCellCountsSkippedAndLogged) {
    cells c16 = data({{6, "x"}});
    c16.pop_back();
    c16[0] = "I16";
    cells c18 = data({{6, "x"}});
    c18.push_back("");
    c18[0] = "I18";
    ASSERT_EQ(parse(line(kUtf8Names) + line(c16) + line(c18)), 0);
    EXPECT_TRUE(out.events.empty());
    EXPECT_EQ(out.logged("incompatible columns number, specified 16, expected 17"), 1u);
    EXPECT_EQ(out.logged("incompatible columns number, specified 18, expected 17"), 1u);
    EXPECT_EQ(out.logged("Index=[I16]"), 1u);
    EXPECT_EQ(out.logged("Index=[I18]"), 1u);

    // Without a header row no column is known: the data rows give nothing.
    ASSERT_EQ(parse("a\tb\n" + line(data({{6, "x"}}))), 0);
    EXPECT_TRUE(out.events.empty());
}

TEST_F(Abcvs2, EmptyAndMissingFiles) {
    ASSERT_EQ(parse("\r\n\n"), 0);
    EXPECT_EQ(out.logged("empty file"), 1u);
    std::string missing = dir / "none.txt";
    EXPECT_EQ(abcvs2_parse(out.handle, missing.c_str(), nullptr, &out, keep_event), -2);
    EXPECT_EQ(out.logged("failed to load file [" + missing + "], r=-2"), 1u);
    EXPECT_EQ(abcvs2_create(nullptr), -22);
    EXPECT_EQ(abcvs2_destroy(nullptr), -22);
}

TEST_F(Abcvs2, ConvStrCutsAtBuffer) {
    iconv_t cd = iconv_open("utf-8", "ISO_8859-1");
    ASSERT_NE(cd, iconv_t(-1));
    char buf[ABCVS2_CELL_SIZE];
    std::string cell(3000, '\xE9');  // 6000 bytes once converted
    conv_str(cd, cell.c_str(), buf);
    EXPECT_EQ(strlen(buf), 4094u);  // whole pairs only
    EXPECT_EQ(out.logged("conv_str:"), 1u);
    EXPECT_STREQ(conv_str(cd, "abc", buf), "abc");
    iconv_close(cd);
}

}  // namespace
