#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "file.h"
#include "helpers.h"
#include "text.h"

namespace {

std::vector<std::string> names_in(const std::string &folder) {
    std::vector<std::string> out;
    if (DIR *d = opendir(folder.c_str())) {
        while (dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) out.push_back(e->d_name);
        closedir(d);
    }
    return out;
}

}  // namespace

TEST(Text, StrCopyNeverPassesTheBound) {
    char buf[8];
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(str_copy(buf, 0, "abc"), 0u);
    EXPECT_EQ(buf[0], '#');  // size 0 writes nothing
    EXPECT_EQ(str_copy(buf, 1, "abc"), 0u);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(buf[1], '#');
    EXPECT_EQ(str_copy(buf, 4, "abcdef"), 3u);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(buf[4], '#');
    EXPECT_EQ(str_copy(buf, sizeof buf, "1234567"), 7u);  // exact fit
    EXPECT_STREQ(buf, "1234567");
    EXPECT_EQ(str_copy(buf, sizeof buf, static_cast<const char *>(nullptr)), 0u);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(str_copy(nullptr, 8, "x"), 0u);

    text32 t(std::string(100, 'z'));
    EXPECT_EQ(t.size(), 31u);
    t = "short";
    EXPECT_EQ(t, "short");
    t = static_cast<const char *>(nullptr);
    EXPECT_TRUE(t.empty());
    EXPECT_TRUE(text32::fits(std::string(31, 'a')));
    EXPECT_FALSE(text32::fits(std::string(32, 'a')));
}

TEST(Text, PathJoinRefusesUnsafeNames) {
    std::string out = "untouched";
    for (std::string_view bad :
         {std::string_view(""), std::string_view("."), std::string_view(".."),
          std::string_view("a/b"), std::string_view("/etc"), std::string_view("../x"),
          std::string_view("x\0y", 3)}) {
        EXPECT_EQ(path_join(out, "/srv/bus", bad), -22) << bad;
        EXPECT_EQ(out, "untouched");
    }
    EXPECT_EQ(path_join(out, "/srv/bus", "day.ply"), 0);
    EXPECT_EQ(out, "/srv/bus/day.ply");
    EXPECT_EQ(path_join(out, "/srv/bus/", "...x"), 0);  // dots inside a name are fine
    EXPECT_EQ(out, "/srv/bus/...x");

    // The bound is on the whole result: exactly max_len passes, one more is refused.
    std::string folder(10, 'f');
    EXPECT_EQ(path_join(out, folder, std::string(9, 'n'), 20), 0);
    EXPECT_EQ(out.size(), 20u);
    EXPECT_EQ(path_join(out, folder, std::string(10, 'n'), 20), -22);
    EXPECT_EQ(path_join(out, "/", std::string(5000, 'n')), -22);
}

TEST(Text, ReadLineReadsWholeLines) {
    temp_dir dir;
    std::string longline(100000, 'L');
    std::string content = longline + "\n\nwin\r\n" + std::string("nul\0inside\n", 11) + "last";
    ASSERT_EQ(file_write_atomic(dir / "f", content), 0);
    unique_file f(fopen((dir / "f").c_str(), "r"));
    ASSERT_TRUE(f);
    std::vector<std::string> got;
    std::string line;
    while (read_line(f.get(), line)) got.push_back(line);
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0], longline);
    EXPECT_EQ(got[1], "");
    EXPECT_EQ(got[2], "win\r");
    EXPECT_EQ(got[3], std::string("nul\0inside", 10));
    EXPECT_EQ(got[4], "last");

    EXPECT_EQ(trim_blank(" \t\r\n a b \r\n"), "a b");
    EXPECT_EQ(trim_blank(" \t "), "");
}

TEST(File, AtomicWriteReplacesOrKeeps) {
    temp_dir dir;
    std::string target = dir / "list.ply";
    ASSERT_EQ(file_write_atomic(target, "old\n"), 0);
    ASSERT_EQ(file_write_atomic(target, "new\n", 0600), 0);
    EXPECT_EQ(slurp(target), "new\n");
    struct stat st;
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u);

    {
        atomic_file f;
        ASSERT_EQ(f.open(target), 0);
        EXPECT_EQ(f.write("half"), 0);
        EXPECT_EQ(names_in(dir.path).size(), 2u);  // the hidden temporary beside the target
    }                                              // dropped without commit
    EXPECT_EQ(slurp(target), "new\n");
    EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"list.ply"});

    // A target name near the file-name limit still gets its temporary.
    std::string longname = dir / std::string(250, 'n');
    EXPECT_EQ(file_write_atomic(longname, "x"), 0);
    EXPECT_EQ(slurp(longname), "x");

    EXPECT_EQ(file_write_atomic(dir / "no/such/folder/x", "x"), -ENOENT);
    std::string out;
    EXPECT_EQ(file_read_all(dir / "absent", out), -ENOENT);
}

// A write that fails part way (file size limit in a child) leaves the old file and no temporary,
// whether it fails in a write or in the final flush.
TEST(File, FailedWriteKeepsTheOldFile) {
    temp_dir dir;
    std::string target = dir / "keep.ply";
    ASSERT_EQ(file_write_atomic(target, "old content\n"), 0);
    for (size_t size : {size_t(6000), size_t(1 << 20)}) {
        SCOPED_TRACE(size);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit rl = {4096, 4096};
            setrlimit(RLIMIT_FSIZE, &rl);
            int r = file_write_atomic(target, std::string(size, 'x'));
            _exit(r == -EFBIG ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "the failure was not reported as -EFBIG";
        EXPECT_EQ(slurp(target), "old content\n");
        EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"keep.ply"});
    }
}

TEST(File, MkdirP) {
    temp_dir dir;
    EXPECT_EQ(mkdir_p(dir / "a/b/c"), 0);
    EXPECT_EQ(mkdir_p(dir / "a/b/c"), 0);
    EXPECT_EQ(mkdir_p(dir / "a//b/d/"), 0);
    ASSERT_EQ(file_write_atomic(dir / "file", "x"), 0);
    EXPECT_LT(mkdir_p(dir / "file/sub"), 0);
    EXPECT_EQ(mkdir_p(dir / "file"), -ENOTDIR);
    EXPECT_EQ(mkdir_p(""), -22);
}

// Outside text in a log line: nothing may end the line or start a terminal sequence, and
// well-formed UTF-8 text stays readable.
TEST(Text, PrintableFormLeavesNoControl) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain text", "plain text"},
        {"a\nb\r\x1b[2J\x7f", "a\\x0ab\\x0d\\x1b[2J\\x7f"},
        {std::string("nul\0x", 5), "nul\\x00x"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xac", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xac"},
        {"\xc2\x9b"
         "31m",
         "\\xc2\\x9b31m"},  // C1 CSI as UTF-8
        {"\x9b"
         "31m",
         "\\x9b31m"},                         // C1 CSI as a lone byte
        {"\xe0\x80\x8a", "\\xe0\\x80\\x8a"},  // overlong LF
        {"cut \xe2\x82", "cut \\xe2\\x82"},   // sequence cut short
    };
    for (const auto &[in, want] : cases) EXPECT_EQ(text_printable(in), want) << want;
    EXPECT_TRUE(text_has_control("a\tb"));
    EXPECT_FALSE(text_has_control("caf\xc3\xa9"));
}
