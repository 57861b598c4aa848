#include <gtest/gtest.h>
#include <unistd.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "stl_fs.h"
#include "stl_gen.h"

namespace {

class StlTree : public ::testing::Test {
   protected:
    void SetUp() override {
        char tmpl[] = "/tmp/stl_treeXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        o.src = dir;
        stl_gen g;
        g.add({10, 0, 1, 0}, {10, 0, 2, 0}, "news");
        std::ofstream(dir + "/news.stl", std::ios::binary) << g.bytes();
        std::ofstream(dir + "/notes.txt") << "x";
        std::filesystem::create_directory(dir + "/sub");
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string dir;
    stl_options o;
};

std::vector<char *> argv_of(std::vector<std::string> &args) {
    std::vector<char *> v;
    for (std::string &a : args) v.push_back(a.data());
    v.push_back(nullptr);
    return v;
}

}  // namespace

// What a mounted reader cannot see: the open's own refusals, read offsets, a lost source folder.
TEST_F(StlTree, OpenReadAndListing) {
    struct stat st;
    EXPECT_EQ(stl_tree_getattr(o, "/sub", &st), -111);
    EXPECT_EQ(stl_tree_getattr(o, "/news.stl/10:00:00:00.MPL", &st), -ENOTDIR);
    std::string *h = nullptr;
    EXPECT_EQ(stl_tree_open(o, "/news.stl/10:00:00:00.MPL", O_RDONLY, &h), -2);
    EXPECT_EQ(stl_tree_open(o, "/news.stl/11:00:00:00.mpl", O_RDONLY, &h), -22);
    EXPECT_EQ(stl_tree_open(o, "/news.stl/10:00:00:00.mpl", O_WRONLY, &h), -EACCES);
    EXPECT_EQ(h, nullptr);
    ASSERT_EQ(stl_tree_open(o, "/news.stl/10:00:00:00.mpl", O_RDONLY, &h), 0);
    char buf[64];
    EXPECT_EQ(stl_tree_read(*h, buf, 4, 0), 4);
    EXPECT_EQ(std::string(buf, 4), "25=n");
    EXPECT_EQ(stl_tree_read(*h, buf, sizeof buf, 4), 8);
    EXPECT_EQ(std::string(buf, 8), "ews\n49=\n");
    EXPECT_EQ(stl_tree_read(*h, buf, sizeof buf, 12), 0);
    EXPECT_EQ(stl_tree_read(*h, buf, sizeof buf, 1000), 0);
    stl_tree_release(h);

    std::vector<std::string> names;
    ASSERT_EQ(stl_tree_readdir(o, "/", names), 0);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "news.stl", "notes.txt"}));
    o.src = dir + "/gone";
    EXPECT_EQ(stl_tree_readdir(o, "/", names), -ENOENT);
}

TEST_F(StlTree, OptionsAndFuseArguments) {
    std::string file = dir + "/opts";
    std::ofstream(file) << "# comment\n  --dst=/mnt/x \t\n\n--realtime-io\n--debug\n";
    std::vector<std::string> args{"MivraBoxSTL", "--src=/s",        "--log-file-name=/l.log",
                                  file,          "--realtime-io=3", "--cpu-affinity=2"};
    stl_options p;
    // --realtime-io is taken with and without a value.
    EXPECT_EQ(stl_opts_parse(p, int(args.size()), argv_of(args).data()), 0);
    EXPECT_EQ(p.src.str(), "/s");
    EXPECT_EQ(p.dst.str(), "/mnt/x");
    EXPECT_EQ(p.debug, 1);
    EXPECT_EQ(p.options_file.str(), file);
    // Reading an options file puts the log name back to its default.
    char cwd[4096];
    EXPECT_EQ(p.log_file_name.str(), std::string(getcwd(cwd, sizeof cwd)) + "/MivraBoxSTL.log");
    EXPECT_EQ(stl_fuse_args(p, "prog"), (std::vector<std::string>{"prog", "-f", "-d", "/mnt/x"}));

    stl_options q;
    args = {"MivraBoxSTL", "--demonize", "--dst=-oallow_other"};
    EXPECT_EQ(stl_opts_parse(q, int(args.size()), argv_of(args).data()), 0);
    EXPECT_EQ(stl_fuse_args(q, "prog"), (std::vector<std::string>{"prog", "./-oallow_other"}));
    q.nodemonize = 1;
    EXPECT_EQ(stl_fuse_args(q, "prog")[1], "-f");

    args = {"MivraBoxSTL", "--bogus"};
    testing::internal::CaptureStderr();
    EXPECT_EQ(stl_opts_parse(q, int(args.size()), argv_of(args).data()), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("ERROR: Incorrect argument! [--bogus]"), std::string::npos);
    EXPECT_NE(err.find(STL_BANNER), std::string::npos);
}
