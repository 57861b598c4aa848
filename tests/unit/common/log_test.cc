#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <regex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "helpers.h"
#include "log.h"

namespace {

// The logger is process-wide: each test starts it, and closes it even when an assertion failed.
class Log : public ::testing::Test {
   protected:
    void SetUp() override { log_set_stderr(0), log_set_level(20); }
    void TearDown() override {
        log_close();
        log_set_stderr(1);
        log_set_level(20);
    }
    temp_dir dir;
};

std::vector<std::string> lines_of(const std::string &path) {
    return split_lines(slurp(path));
}

std::vector<std::string> names_in(const std::string &folder) {
    std::vector<std::string> out;
    if (DIR *d = opendir(folder.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') out.push_back(e->d_name);
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string local_stamp(time_t t) {
    struct tm tm;
    localtime_r(&t, &tm);
    char buf[32];
    strftime(buf, sizeof buf, "%Y%m%d_%H%M%S", &tm);
    return buf;
}

}  // namespace

TEST_F(Log, LineFormatMarksAndTraceThreshold) {
    std::string file = dir / "x.log";
    ASSERT_EQ(log_init(file.c_str(), 86400), 0);
    EXPECT_EQ(log_init(file.c_str(), 86400), -16);  // one logger per process
    log_msg(LOG_INFO, "%s: info %d", "main", 0);
    log_msg(LOG_ERROR, "%s: error %d", "main", 1);
    log_msg(LOG_DEBUG, "%s: debug %d", "main", 2);
    log_msg(7, "%s: other %d", "main", 7);
    log_trace(20, "link.cc", 42, "poll", "at threshold");
    log_trace(21, "link.cc", 43, "poll", "above threshold");
    log_set_level(30);
    LOG_TRACE(30, "raised %d", 30);
    ASSERT_EQ(log_close(), 0);

    std::vector<std::string> lines = lines_of(file);
    ASSERT_EQ(lines.size(), 6u);
    const std::string stamp = R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] )";
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("  " + stamp + "main: info 0"))) << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex("! " + stamp + "main: error 1"))) << lines[1];
    EXPECT_TRUE(std::regex_match(lines[2], std::regex(R"(\? )" + stamp + "main: debug 2")))
        << lines[2];
    EXPECT_TRUE(std::regex_match(lines[3], std::regex("  " + stamp + "main: other 7"))) << lines[3];
    const std::string tstamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )";
    EXPECT_TRUE(
        std::regex_match(lines[4], std::regex(tstamp + R"(\[link\.cc:42:poll\] at threshold)")))
        << lines[4];
    EXPECT_TRUE(std::regex_match(
        lines[5], std::regex(tstamp + R"(\[.*log_test\.cc:\d+:TestBody\] raised 30)")))
        << lines[5];
}

// Every line stays within its buffer, its LF and NUL included, whatever the caller hands in.
TEST_F(Log, LongLinesAreBounded) {
    std::string file = dir / "long.log";
    ASSERT_EQ(log_init(file.c_str(), 86400), 0);
    std::string big(300000, 'x');
    log_msg(LOG_INFO, "%s", big.c_str());
    log_trace(0, "src.cc", 1, "fn", "%s", big.c_str());
    log_trace(0, big.c_str(), 1, big.c_str(), "tail");
    log_trace(0, nullptr, 1, nullptr, "no position");
    log_msg(LOG_INFO, "after");
    ASSERT_EQ(log_close(), 0);

    std::string all = slurp(file);
    std::vector<std::string> lines = split_lines(all);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].size(), 127990u);  // mark, time and text together
    EXPECT_EQ(lines[1].size(), LOG_LINE_MAX - 2);
    EXPECT_EQ(lines[2].size(), LOG_LINE_MAX - 2);
    EXPECT_NE(lines[3].find("[:1:] no position"), std::string::npos);
    EXPECT_NE(lines[4].find("] after"), std::string::npos);
    EXPECT_EQ(count_of(all, "\n"), 5u);
}

TEST_F(Log, FoldersAreCreatedAndAnOldLogRotatedAtTheFirstLine) {
    std::string file = dir / "a/b/c/x.log";
    ASSERT_EQ(log_init(file.c_str(), 86400), 0);
    log_msg(LOG_INFO, "first run");
    ASSERT_EQ(log_close(), 0);
    EXPECT_EQ(names_in(dir / "a/b/c"), std::vector<std::string>{"x.log"});

    time_t before = time(nullptr);
    ASSERT_EQ(log_init(file.c_str(), 86400), 0);
    log_msg(LOG_INFO, "second run");
    log_msg(LOG_INFO, "second run again");
    ASSERT_EQ(log_close(), 0);
    time_t after = time(nullptr);

    std::vector<std::string> names = names_in(dir / "a/b/c");
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], "x.log");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(names[1], m, std::regex(R"(x\.log-(\d{8}_\d{6}))"))) << names[1];
    EXPECT_GE(m[1].str(), local_stamp(before));
    EXPECT_LE(m[1].str(), local_stamp(after));
    EXPECT_NE(slurp(dir / "a/b/c" + "/" + names[1]).find("first run"), std::string::npos);
    std::vector<std::string> fresh = lines_of(file);
    ASSERT_EQ(fresh.size(), 2u);  // one rotation per run, not per line
    EXPECT_NE(fresh[0].find("second run"), std::string::npos);
}

// A device named as the log (here through a link to /dev/null) is written to, never renamed.
TEST_F(Log, OnlyARegularLogFileIsRotated) {
    std::string link = dir / "quiet.log";
    ASSERT_EQ(symlink("/dev/null", link.c_str()), 0);
    ASSERT_EQ(log_init(link.c_str(), 86400), 0);
    log_msg(LOG_INFO, "into the void");
    ASSERT_EQ(log_close(), 0);
    EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"quiet.log"});
    struct stat st;
    ASSERT_EQ(stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST_F(Log, IntervalOfZeroOrLessNeverRotates) {
    std::string file = dir / "keep.log";
    ASSERT_EQ(file_write_atomic(file, "old line\n"), 0);
    for (int interval : {0, -5}) {
        ASSERT_EQ(log_init(file.c_str(), interval), 0);
        log_msg(LOG_INFO, "interval %d", interval);
        ASSERT_EQ(log_close(), 0);
    }
    EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"keep.log"});
    std::vector<std::string> lines = lines_of(file);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "old line");
}

// With a one-second interval the log turns over while lines keep coming, and none is lost.
TEST_F(Log, RotatesAgainAfterTheInterval) {
    std::string file = dir / "r.log";
    ASSERT_EQ(log_init(file.c_str(), 1), 0);
    int n = 0;
    bool rotated = wait_until([&] {
        log_msg(LOG_INFO, "tick %d", n++);
        return names_in(dir.path).size() == 2;
    });
    log_msg(LOG_INFO, "tick %d", n++);
    ASSERT_EQ(log_close(), 0);
    ASSERT_TRUE(rotated);
    std::vector<std::string> names = names_in(dir.path);
    ASSERT_EQ(names.size(), 2u);
    std::string all = slurp(dir / names[1]) + slurp(dir / names[0]);
    std::vector<std::string> lines = split_lines(all);
    ASSERT_EQ(lines.size(), size_t(n));
    for (int i = 0; i < n; i++)
        EXPECT_NE(lines[size_t(i)].find("tick " + std::to_string(i)), std::string::npos);
}

TEST_F(Log, EchoAndEmptyName) {
    stderr_capture err(dir / "stderr");
    ASSERT_EQ(log_init("", 86400), 0);
    EXPECT_EQ(log_set_stderr(1), 1);
    log_msg(LOG_INFO, "echoed");
    ASSERT_EQ(log_close(), 0);
    log_set_stderr(0);
    ASSERT_EQ(log_init("", 86400), 0);
    log_msg(LOG_INFO, "silent");
    ASSERT_EQ(log_close(), 0);
    std::string text = err.text();
    EXPECT_EQ(count_of(text, "echoed\n"), 1u);
    EXPECT_EQ(text.find("silent"), std::string::npos);
    EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"stderr"});
}

// A writer stuck in opening its file (a FIFO nobody reads) lets the queue fill. Lines caused by
// outside input stop at their share of it, the program's own fill the rest: exactly 128000 lines
// wait, the next ones are dropped with one overflow text, and once the writer moves, all that
// waited is written followed by the count of what was dropped.
TEST_F(Log, OverflowUnderAStalledWriter) {
    std::string fifo = dir / "fifo.log";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    stderr_capture err(dir / "stderr");
    ASSERT_EQ(log_init(fifo.c_str(), 0), 0);
    log_msg(LOG_INFO, "first");
    // Once the writer took "first" it blocks in the open until a reader comes.
    ASSERT_TRUE(wait_until([] { return log_pending() == 0; }));
    {
        log_outside outside;
        for (int i = 0; i <= LOG_QUEUE_OUTSIDE_MAX; i++) log_msg(LOG_INFO, "peer %d", i);
    }
    EXPECT_EQ(log_pending(), LOG_QUEUE_OUTSIDE_MAX);
    for (int i = LOG_QUEUE_OUTSIDE_MAX; i < LOG_QUEUE_MAX; i++) log_msg(LOG_INFO, "line %d", i);
    EXPECT_EQ(log_pending(), LOG_QUEUE_MAX);
    log_msg(LOG_INFO, "dropped");
    log_trace(0, "s.cc", 1, "f", "dropped too");
    EXPECT_EQ(log_pending(), LOG_QUEUE_MAX);

    // Read everything the writer sends once a reader exists (O_RDWR opens at once).
    int rd = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(rd, 0);
    std::atomic<bool> done{false};
    std::string got;
    std::thread reader([&] {
        char buf[65536];
        for (;;) {
            struct pollfd p = {rd, POLLIN, 0};
            poll(&p, 1, 20);
            ssize_t n = read(rd, buf, sizeof buf);
            if (n > 0) {
                got.append(buf, size_t(n));
            } else if (done) {
                break;
            }
        }
    });
    EXPECT_EQ(log_close(), 0);
    done = true;
    reader.join();
    close(rd);

    std::string text = err.text();
    EXPECT_EQ(text, "ERROR! message queue OVERFLOW!!!\n");
    std::vector<std::string> lines = split_lines(got);
    ASSERT_EQ(lines.size(), size_t(LOG_QUEUE_MAX + 2));
    EXPECT_NE(lines.front().find("] first"), std::string::npos);
    EXPECT_NE(lines[size_t(LOG_QUEUE_MAX)].find("] line 127999"), std::string::npos);
    EXPECT_NE(lines.back().find("log_flush: 3 lines dropped, the queue was full (1 of them "
                                "caused by outside input)"),
              std::string::npos)
        << lines.back();
    EXPECT_EQ(got.find("] dropped"), std::string::npos);
    EXPECT_EQ(got.find("peer " + std::to_string(LOG_QUEUE_OUTSIDE_MAX)), std::string::npos);
}

// Lines queued from many threads right before the close are all written, each thread's in order;
// closing twice, and logging after the close, neither block nor touch freed memory.
TEST_F(Log, NoLossAtCloseAndLateCalls) {
    EXPECT_EQ(log_close(), -1);  // not started
    std::string file = dir / "close.log";
    ASSERT_EQ(log_init(file.c_str(), 86400), 0);
    constexpr int kThreads = 8, kLines = 5000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; i++) log_msg(LOG_INFO, "t%d n%d", t, i);
        });
    for (auto &th : threads) th.join();
    ASSERT_EQ(log_close(), 0);
    EXPECT_EQ(log_close(), -1);

    stderr_capture err(dir / "stderr");
    log_msg(LOG_ERROR, "late line");
    log_trace(0, "s.cc", 1, "f", "late trace");
    EXPECT_NE(err.text().find("late line"), std::string::npos);

    std::vector<std::string> lines = lines_of(file);
    ASSERT_EQ(lines.size(), size_t(kThreads * kLines));
    std::vector<int> next(kThreads, 0);
    for (const std::string &l : lines) {
        int t = -1, n = -1;
        ASSERT_EQ(sscanf(l.c_str() + l.find("] ") + 2, "t%d n%d", &t, &n), 2) << l;
        ASSERT_EQ(n, next[size_t(t)]) << "thread " << t << " out of order";
        next[size_t(t)]++;
    }
}

// A standard error nobody reads any more must neither kill the process nor stop the file.
TEST_F(Log, BrokenStandardErrorStopsOnlyTheEcho) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    int saved = dup(STDERR_FILENO);
    dup2(p[1], STDERR_FILENO);
    close(p[1]);
    close(p[0]);
    std::string file = dir / "pipe.log";
    ASSERT_EQ(log_init(file.c_str(), 86400), 0);
    log_set_stderr(1);
    for (int i = 0; i < 100; i++) log_msg(LOG_INFO, "line %d", i);
    int closed = log_close();
    dup2(saved, STDERR_FILENO);
    close(saved);
    ASSERT_EQ(closed, 0);
    EXPECT_EQ(lines_of(file).size(), 100u);
}
