#include <unistd.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "file.h"
#include "helpers.h"
#include "plyconv.h"
#include "reader.h"
#include "tc.h"

namespace {

// Relative paths and the default log name are made absolute against the working folder.
std::string in_cwd(const char *name) {
    char cwd[4096];
    return std::string(getcwd(cwd, sizeof cwd) ? cwd : "") + "/" + name;
}

const std::string kHeader =
    "StartMode;Date;StartTime;VideoId;FileName;Reconciliation Key;Duration;Format;TcIn;"
    "EvsCount;Type_1;Scenario_1;offset_1;duration_1;ExtParams_1;Type_2;Scenario_2;offset_2;"
    "duration_2;ExtParams_2\r\n";
const std::string kRow =
    "Manual;01/03/2024;06:30:00:12;Morning news;NEWS.mxf;RK7;00:10:00:00;HD;10:00:00:00;1;N;"
    "LOGO;;;;;;;;\r\n";

std::string sgt_doc(const std::string &name) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<Envelope><Body><ImportPlaylist><ImportPlaylist.Message><Playlist>"
           "<Channel>KTV1</Channel><BroadcastDate>2024-03-01</BroadcastDate><Name>" +
           name +
           "</Name><Lines StartType=\"Manual\"><Title>JINGLES NOEL</Title></Lines>"
           "</Playlist></ImportPlaylist.Message></ImportPlaylist></Body></Envelope>\n";
}

std::vector<std::string> list(const std::string &dir) {
    std::vector<std::string> out;
    std::string cmd = "ls -A '" + dir + "'";
    FILE *f = popen(cmd.c_str(), "r");
    std::string line;
    while (f && read_line(f, line)) out.push_back(line);
    if (f) pclose(f);
    return out;
}

class PlyConv : public ::testing::Test {
   protected:
    void SetUp() override {
        tc_setmode(TC_PAL);
        for (const char *d : {"src", "out.d", "err"}) mkdir((dir / d).c_str(), 0755);
        c.src = (dir / "src").c_str();
        c.dst = (dir / "out.d").c_str();
        c.error = (dir / "err").c_str();
        c.stop = &stop;
    }
    void TearDown() override { tc_setmode(TC_PAL); }
    void drop(const std::string &name, const std::string &text) {
        ASSERT_EQ(file_write_atomic(dir / ("src/" + name), text), 0);
    }
    temp_dir dir;
    plyconv_ctx c;
    std::atomic<int> stop{0};
};

// The line formats: output named after the input, source deleted, failures moved aside whole.
TEST_F(PlyConv, TableConvertsOrMovesToErrorFolder) {
    c.input_type = PLYCONV_ABCVS;
    drop("day", kHeader + kRow + kRow);
    drop("empty.cvs", kHeader);
    EXPECT_EQ(ply_conv(&c, "day"), 0);
    EXPECT_EQ(split_lines(slurp(dir / "out.d/day.ply")).size(), 2u);
    EXPECT_EQ(ply_conv(&c, "empty.cvs"), 0);  // the move went through
    EXPECT_EQ(slurp(dir / "err/empty.cvs"), kHeader);
    EXPECT_EQ(list(dir / "src"), std::vector<std::string>{});
    // No empty playlist and no temporary left where a bus would pick files up.
    EXPECT_EQ(list(dir / "out.d"), std::vector<std::string>{"day.ply"});
    // A conversion that fails with the error folder gone: reported, the source stays as it was.
    drop("again.cvs", kHeader + kRow);
    ASSERT_EQ(system(("rm -rf '" + dir / "err" + "'").c_str()), 0);
    c.input_type = PLYCONV_ABCVS2;  // a table without its header columns: no events
    EXPECT_EQ(ply_conv(&c, "again.cvs"), -ENOENT);
    EXPECT_EQ(slurp(dir / "src/again.cvs"), kHeader + kRow);
}

TEST_F(PlyConv, NoTypeDeletesAndFilterRejects) {
    drop("x.txt", "anything");
    EXPECT_EQ(ply_conv(&c, "x.txt"), 0);
    EXPECT_EQ(list(dir / "src"), std::vector<std::string>{});
    c.input_type = PLYCONV_ABCVS;
    c.filter_keyword = "NEWS";
    drop("sport.cvs", kHeader + kRow);
    EXPECT_EQ(ply_conv(&c, "sport.cvs"), 0);
    EXPECT_EQ(list(dir / "err"), std::vector<std::string>{"sport.cvs"});
    EXPECT_EQ(list(dir / "out.d"), std::vector<std::string>{});
    // Names that are no single element of the source folder are refused outright.
    EXPECT_EQ(ply_conv(&c, "../src/x"), -22);
}

// The day and the playlist name name the output; a name from the document never leaves the
// output folder.
TEST_F(PlyConv, SgtNamesOutputFromDocument) {
    c.input_type = PLYCONV_SGT;
    drop("a.xml", sgt_doc("PL_ABC123"));
    EXPECT_EQ(ply_conv(&c, "a.xml"), 0);
    EXPECT_EQ(list(dir / "out.d"), std::vector<std::string>{"sgt_20240301ABC123.ply"});
    drop("b.xml", sgt_doc("x/../../evil"));
    EXPECT_EQ(ply_conv(&c, "b.xml"), 0);
    EXPECT_EQ(list(dir / "out.d"),
              (std::vector<std::string>{"b.xml.ply", "sgt_20240301ABC123.ply"}));
    EXPECT_EQ(list(dir.path).size(), 3u);  // src, out.d, err
    drop("c.xml", "<Other/>");
    EXPECT_EQ(ply_conv(&c, "c.xml"), 0);
    EXPECT_EQ(list(dir / "err"), std::vector<std::string>{"c.xml"});
}

TEST(PlyConvOpts, CommandLineThenFiles) {
    temp_dir dir;
    std::string file = dir / "conv.conf";
    ASSERT_EQ(file_write_atomic(file,
                                "# comment\n\n  --abcvs  \r\n--chyro-tcout-calc\n"
                                "--playlist-filter-tomorrow\n--sgt-prepend-ext=@\n"
                                "--log-file-name=f.log\n"),
              0);
    plyconv_ctx c;
    std::vector<std::string> args = {
        "MivraBoxPlyConv",         "--sgt", "--src=/in", "--chyro-ignore-path", "--debug",
        "--log-file-name=cli.log", file};
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    ASSERT_EQ(plyconv_opts_parse(&c, int(argv.size()), argv.data()), 0);
    EXPECT_EQ(c.input_type, PLYCONV_ABCVS);  // the last type given counts
    EXPECT_EQ(c.src, "/in");
    EXPECT_EQ(c.reader_flags, READER_F_IGNORE_PATH | READER_F_TCOUT_CALC);
    EXPECT_EQ(c.filter_days, 4);
    EXPECT_EQ(c.sgt.prepend_ext, "@");
    EXPECT_EQ(c.base.debug, 1);
    EXPECT_EQ(c.base.log_file_name.str(), in_cwd("f.log"));

    plyconv_ctx bad;
    std::vector<std::string> args2 = {"MivraBoxPlyConv", "--no-such"};
    std::vector<char *> argv2;
    for (auto &a : args2) argv2.push_back(a.data());
    stderr_capture cap(dir / "err.txt");
    EXPECT_EQ(plyconv_opts_parse(&bad, 2, argv2.data()), -1);
    EXPECT_NE(cap.text().find("ERROR: Incorrect argument! [--no-such]"), std::string::npos);
}

}  // namespace
