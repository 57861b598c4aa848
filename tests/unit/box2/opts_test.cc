#include <unistd.h>
#include <fstream>
#include <vector>

#include "box2_bus.h"
#include "box2_opts.h"
#include "bus_test_util.h"

namespace {

// Relative paths and the default log name are made absolute against the working folder.
std::string in_cwd(const char *name) {
    char cwd[4096];
    return std::string(getcwd(cwd, sizeof cwd) ? cwd : "") + "/" + name;
}

struct OptsTest : ::testing::Test {
    temp_dir dir;
    mivrabox_opts *o = nullptr;
    void SetUp() override { ASSERT_EQ(opts_new(&o), 0); }
    void TearDown() override { opts_release(&o); }
    int parse(std::vector<std::string> args) {
        args.insert(args.begin(), "MivraBox2");
        std::vector<char *> av;
        for (auto &a : args) av.push_back(a.data());
        av.push_back(nullptr);
        return box2_opts_parse(o, int(args.size()), av.data());
    }
    std::string write(const std::string &name, const std::string &text) {
        std::ofstream(dir.file(name)) << text;
        return dir.file(name);
    }
};

TEST_F(OptsTest, CommandLine) {
    ASSERT_EQ(parse({"--path=/early", "--port=4000", "--add-bus", "--path=/b0", "--io-a=h:1",
                     "--io-b=h:2", "--lib=l:3", "--io-delay=40x", "--whois-arg-2=w", "--debug",
                     "--debug", "--add-bus", "--current=c.ply"}),
              0);
    EXPECT_EQ(o->port, 4000);
    ASSERT_EQ(o->bus_count, 2);
    box2_bus *b0 = box2_of(o->busses[0]);
    EXPECT_EQ(b0->index, 0);
    EXPECT_EQ(o->busses[1]->index, 1);
    EXPECT_STREQ(b0->path.c_str(), "/b0");
    EXPECT_STREQ(b0->io_a.c_str(), "h:1");
    EXPECT_STREQ(b0->io_a_url.c_str(), "http://h:1/RPC2");
    EXPECT_STREQ(b0->io_b_url.c_str(), "http://h:2/RPC2");
    EXPECT_STREQ(b0->lib_url.c_str(), "http://l:3/RPC2");
    EXPECT_EQ(b0->io_delay, 40);
    EXPECT_STREQ(b0->whois_arg[2].c_str(), "w");
    EXPECT_EQ(o->debug, 2);
    EXPECT_STREQ(o->busses[1]->current.c_str(), "c.ply");
    EXPECT_TRUE(o->busses[1]->path.empty());
    EXPECT_EQ(parse({"--nope"}), -1);
    EXPECT_EQ(parse({"-h"}), -1);
}

TEST_F(OptsTest, FilesResetDefaultsAndNest) {
    std::string inner = write("inner.conf", "--add-bus\n--path=/inner\n");
    std::string outer = write("outer.conf", "  --add-bus \r\n# comment\n\n--io-a= 1.2.3.4:5 \n" +
                                                inner + "\n--log-file-name=x.log\n");
    ASSERT_EQ(parse({"--port=4000", "--log-file-name=cmd.log", outer}), 0);
    // Reading inner.conf set the defaults again after outer.conf's log name.
    EXPECT_EQ(o->port, 3001);
    EXPECT_EQ(o->log_file_name.str(), in_cwd("MivraBox2.log"));
    ASSERT_EQ(o->bus_count, 2);
    EXPECT_STREQ(box2_of(o->busses[0])->io_a.c_str(), " 1.2.3.4:5");  // inner blanks are kept
    EXPECT_STREQ(o->busses[1]->path.c_str(), "/inner");
    EXPECT_EQ(o->options_file.str(), outer);
}

TEST_F(OptsTest, SurplusBussesAndBounds) {
    std::string text;
    for (int i = 0; i < 17; i++) text += "--add-bus\n--path=/p" + std::to_string(i) + "\n";
    text += "--port=4000\n--current=" + std::string(5000, 'c') + "\n--help\n--path=/after\n";
    ASSERT_EQ(parse({write("many.conf", text)}), 0);  // help inside a file: parsing goes on
    EXPECT_EQ(o->bus_count, 16);
    EXPECT_STREQ(o->busses[15]->path.c_str(), "/p16");  // options after the 17th go to the 16th
    EXPECT_EQ(o->busses[15]->current.size(), 4095u);
    EXPECT_EQ(o->port, 4000);
    EXPECT_TRUE(o->options_file.empty());  // that file ended with -1
}

}  // namespace

namespace {

TEST_F(OptsTest, SampleOptionsFile) {
    ASSERT_EQ(parse({BOX2_EXAMPLES "/box2.conf"}), 0);
    EXPECT_EQ(o->port, 3001);
    ASSERT_EQ(o->bus_count, 1);
    const box2_bus *b = box2_of(o->busses[0]);
    EXPECT_STREQ(b->io_b_url.c_str(), "http://192.168.100.11:8080/RPC2");
    EXPECT_STREQ(b->oxtel_addr.c_str(), "192.168.100.30:7000");
    EXPECT_EQ(b->io_delay, 40);
    EXPECT_EQ(o->demonize, 0);
}

}  // namespace
