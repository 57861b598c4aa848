#include <gtest/gtest.h>

#include <fcntl.h>
#include <map>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "helpers.h"
#include "proc.h"

extern char **environ;

namespace {

// Key/value lines of the probe's report.
std::map<std::string, std::string> parse_report(const std::string &text) {
    std::map<std::string, std::string> out;
    for (const std::string &l : split_lines(text)) {
        size_t sp = l.find(' ');
        out[l.substr(0, sp)] = sp == std::string::npos ? "" : l.substr(sp + 1);
    }
    return out;
}

struct probe_run {
    int parent_status = -1;
    std::string stdout_text;
    std::map<std::string, std::string> report;
};

// Starts the probe with the given descriptor set-up and waits for the detached child's report.
probe_run run_probe(const temp_dir &dir, bool close_std) {
    probe_run run;
    std::string report = dir / (close_std ? "closed.txt" : "open.txt");
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return run;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (close_std) {
        for (int fd = 0; fd < 3; fd++) posix_spawn_file_actions_addclose(&fa, fd);
    } else {
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    }
    char *argv[] = {const_cast<char *>(DAEMON_PROBE), report.data(), nullptr};
    pid_t pid = -1;
    int r = posix_spawn(&pid, DAEMON_PROBE, &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    if (r == 0) {
        waitpid(pid, &run.parent_status, 0);
        // Read until every holder of the write end, the detached child included, let go.
        char buf[256];
        ssize_t n;
        while ((n = read(out[0], buf, sizeof buf)) > 0) run.stdout_text.append(buf, size_t(n));
        if (wait_until([&] { return access(report.c_str(), F_OK) == 0; }))
            run.report = parse_report(slurp(report));
    }
    close(out[0]);
    return run;
}

void expect_detached(const probe_run &run) {
    ASSERT_TRUE(WIFEXITED(run.parent_status));
    EXPECT_EQ(WEXITSTATUS(run.parent_status), 0);
    ASSERT_FALSE(run.report.empty()) << "the detached child wrote no report";
    auto r = run.report;
    EXPECT_EQ(r["result"], "0");
    EXPECT_EQ(r["sid"], r["pid"]) << "not a new session";
    EXPECT_NE(std::to_string(getsid(0)), r["sid"]);
    EXPECT_EQ(r["cwd"], "/");
    EXPECT_EQ(r["umask"], std::to_string(022)) << "other accounts could rewrite what it creates";
    EXPECT_EQ(r["fd0"], "/dev/null");
    EXPECT_EQ(r["fd1"], "/dev/null");
    EXPECT_EQ(r["fd2"], "/dev/null");
    EXPECT_EQ(r["after"], r["before"]) << "a descriptor was left open or closed";
}

}  // namespace

TEST(Daemonize, DetachesWithStandardStreamsOnDevNull) {
    temp_dir dir;
    probe_run run = run_probe(dir, false);
    expect_detached(run);
    // The parent flushed the pending stdio text before the fork, and only the parent wrote it.
    EXPECT_EQ(run.stdout_text, "before detach\n");
}

// Started with 0-2 closed, /dev/null itself lands on 0 and must stay open.
TEST(Daemonize, StartedWithStandardStreamsClosed) {
    temp_dir dir;
    expect_detached(run_probe(dir, true));
}

TEST(Proc, OptsFree) {
    struct rec {
        int x = 1;
    };
    rec *p = new rec;
    EXPECT_EQ(opts_free(&p), 0);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(opts_free(&p), -12);
    EXPECT_EQ(opts_free<rec>(nullptr), -22);
}

TEST(Proc, StripCtlChars) {
    char a[] = "a\tb\r\nc";
    EXPECT_STREQ(strip_ctl_chars(a), "abc");
    char b[] = "plain text";
    EXPECT_STREQ(strip_ctl_chars(b), "plain text");
    char c[] = "";
    EXPECT_STREQ(strip_ctl_chars(c), "");
    char d[] = "\n\n\t";
    EXPECT_STREQ(strip_ctl_chars(d), "");
    EXPECT_EQ(strip_ctl_chars(nullptr), nullptr);
}
