#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "helpers.h"
#include "reader_test_util.h"
#include "reader.h"
#include "sgt.h"

namespace {

constexpr uint32_t kCategoryIds = reader_id_bit(READER_P_CATEGORY2TYPE) |
                                  reader_id_bit(READER_P_ASPECT) |
                                  reader_id_bit(READER_P_DTMF_OFFSET);

TEST(ReaderParams, CreateSetAndDestroy) {
    EXPECT_EQ(sgt_create(nullptr, 0), -22);
    sgt_params *p = nullptr;
    ASSERT_EQ(sgt_create(&p, 2), 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->flags, 2);
    EXPECT_EQ(p->dtmf_offset, 25);
    EXPECT_FALSE(p->aspect);
    EXPECT_EQ(sgt_set_flag(p, 128), 0);
    EXPECT_EQ(p->flags, 130);

    EXPECT_EQ(sgt_set_param(p, READER_P_APPEND_PATH, "/media"), 0);
    EXPECT_EQ(p->append_path, "/media");
    // A null text keeps the value; ids the module does not keep change nothing.
    EXPECT_EQ(sgt_set_param(p, READER_P_APPEND_PATH, nullptr), 0);
    EXPECT_EQ(p->append_path, "/media");
    EXPECT_EQ(sgt_set_param(p, 8, "x"), 0);
    EXPECT_EQ(sgt_set_param(p, 99, "x"), 0);
    EXPECT_EQ(sgt_set_param(p, -1, "x"), 0);
    EXPECT_EQ(sgt_set_param(p, READER_P_DTMF_OFFSET, 29), 0);
    EXPECT_EQ(p->dtmf_offset, 25);
    EXPECT_EQ(sgt_set_param(p, READER_P_ASPECT, "16:9"), 0);
    EXPECT_FALSE(p->aspect);
    EXPECT_EQ(sgt_set_param(p, READER_P_GXF_TC_MIN, "10:00:00:00"), 0);
    EXPECT_TRUE(p->gxf_tc_min.empty());

    std::string big(5000, 'a');
    EXPECT_EQ(sgt_set_param(p, READER_P_EVS_PATH, big.c_str()), 0);
    EXPECT_EQ(p->evs_path.size(), 4095u);

    EXPECT_EQ(sgt_destroy(&p), 0);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(sgt_destroy(&p), 0);  // a null handle is only cleared
    EXPECT_EQ(sgt_destroy(nullptr), -22);
}

TEST(ReaderParams, NumberAndAspectWhereKept) {
    reader_params *p = nullptr;
    reader_log_slot log;
    ASSERT_EQ(reader_create(&p, 0, kCategoryIds), 0);
    EXPECT_EQ(reader_set_param(p, READER_P_DTMF_OFFSET, 29), 0);
    EXPECT_EQ(p->dtmf_offset, 29);
    EXPECT_EQ(reader_set_param(p, READER_P_ASPECT, "", log), 0);
    EXPECT_FALSE(p->aspect);
    EXPECT_EQ(reader_set_param(p, READER_P_ASPECT, "PAL43", log), 0);
    ASSERT_TRUE(p->aspect);
    EXPECT_EQ(*p->aspect, "PAL43");
    reader_destroy(&p);
}

TEST(ReaderParams, CategoryFile) {
    temp_dir dir;
    std::string path = dir / "category2type.txt";
    ASSERT_EQ(file_write_atomic(path,
                                "# comment\n"
                                "\n"
                                "F Film\r\n"
                                "S\tSerie\tignored after tab\n"
                                "X\n"
                                "F Long film\n"
                                "\r\n"),
              0);
    reader_params *p = nullptr;
    reader_log_slot log;
    reader_log_set(log, capture_log);
    g_logged.clear();
    ASSERT_EQ(reader_create(&p, 0, kCategoryIds), 0);
    EXPECT_EQ(reader_set_param(p, READER_P_CATEGORY2TYPE, path.c_str(), log), 0);
    EXPECT_EQ(p->category['F'], "Long film");  // a later line for a letter replaces it
    EXPECT_EQ(p->category['S'], "Serie");
    EXPECT_TRUE(p->category['X'].empty());
    EXPECT_TRUE(p->category['#'].empty());
    ASSERT_EQ(g_logged.size(), 1u);
    EXPECT_NE(g_logged[0].find("chyro_set_param"), std::string::npos);
    EXPECT_NE(g_logged[0].find("failed to parse line [X]"), std::string::npos);

    // A missing file is logged and leaves the table.
    g_logged.clear();
    EXPECT_EQ(reader_set_param(p, READER_P_CATEGORY2TYPE, (dir / "none").c_str(), log), 0);
    EXPECT_EQ(p->category['F'], "Long film");
    ASSERT_EQ(g_logged.size(), 1u);
    EXPECT_NE(g_logged[0].find("failed to load category2type file"), std::string::npos);
    EXPECT_EQ(reader_set_param(p, READER_P_CATEGORY2TYPE, "", log), 0);
    EXPECT_EQ(g_logged.size(), 1u);
    reader_destroy(&p);
}

TEST(ReaderLog, HookAndDefault) {
    temp_dir dir;
    reader_log_slot log;
    reader_log_set(log, capture_log);
    g_logged.clear();
    auto say = [&](const char *fmt, ...) {
        va_list ap;
        va_start(ap, fmt);
        reader_vlog(log, fmt, ap);
        va_end(ap);
    };
    say("a=%d b=%s", 1, "x");
    ASSERT_EQ(g_logged.size(), 1u);
    EXPECT_EQ(g_logged[0], "a=1 b=x");

    // Null restores standard error, each message on its own line, long ones whole.
    reader_log_set(log, nullptr);
    std::string longer(3000, 'z');
    stderr_capture cap(dir / "err");
    say("one %d", 1);
    say("%s", longer.c_str());
    EXPECT_EQ(cap.text(), "one 1\n" + longer + "\n");
    EXPECT_EQ(g_logged.size(), 1u);
}


// The walk a streaming reader relies on: which elements of a path are entered, which children
// come out as records, and a document broken after them.
TEST(XmlRecords, PathStepsAndRecords) {
    temp_dir dir;
    std::string path = dir / "doc.xml";
    const std::vector<xml_step> first{{"a"}, {"b"}};
    const std::vector<xml_step> every{{"a"}, {"b", true}};
    const std::vector<xml_step> lead{{"a"}, {"b", false, true}};
    struct {
        const char *doc;
        const std::vector<xml_step> &steps;
        int r;
        size_t found;
        const char *records;  // names, then each record's text
    } cases[] = {
        {"<a><x><r>no</r></x><b><r>1</r><s>2</s></b><b><r>3</r></b></a>", first, 0, 2, "r1 s2 "},
        {"<a><b><r>1</r></b><x/><b/><b><r>3</r></b></a>", every, 0, 2, "r1 r3 "},
        {"<a><b><r>1</r></b></a>", lead, 0, 2, "r1 "},
        {"<a> <b><r>1</r></b></a>", lead, 0, 1, ""},
        {"<a><b><r>1</r><r>2</r></b></a><", first, -22, 0, ""},
        {"<z><b><r>1</r></b></z>", first, 0, 0, ""},
        {"<a><c/></a>", first, 0, 1, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.doc);
        ASSERT_EQ(file_write_atomic(path, c.doc), 0);
        std::string seen;
        size_t found = 9;
        EXPECT_EQ(xml_records(
                      path.c_str(), c.steps, nullptr,
                      [&](const xmlNode *n) { seen += xml_name(n) + xml_text(n) + " "; }, &found),
                  c.r);
        if (c.r < 0) continue;  // how much came out before the error depends on the buffering
        EXPECT_EQ(found, c.found);
        EXPECT_EQ(seen, c.records);
    }
    // A lead step is shown its candidate, matching or not.
    ASSERT_EQ(file_write_atomic(path, "<a><!-- c --><b/></a>"), 0);
    std::string entered;
    EXPECT_EQ(xml_records(
                  path.c_str(), lead,
                  [&](size_t level, const xmlNode *n) {
                      entered += std::to_string(level) + xml_name(n) + " ";
                  },
                  nullptr),
              0);
    EXPECT_EQ(entered, "0a 1comment ");
}

}  // namespace
