#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <unistd.h>

#include "helpers.h"
#include "log.h"
#include "sig.h"

namespace {

class Sig : public ::testing::Test {
   protected:
    void SetUp() override {
        log_set_stderr(0);
        ASSERT_EQ(log_init(log_file.c_str(), 86400), 0);
    }
    void TearDown() override {
        sig_watch_stop();
        log_close();
        log_set_stderr(1);
    }
    temp_dir dir;
    std::string log_file = dir / "sig.log";
};

}  // namespace

// Handlers only record; the watcher logs each signal, counts stop signals and runs the stop
// action for the first one only. SIGPIPE is logged and nothing else.
TEST_F(Sig, StopSignalsAreCountedAndLogged) {
    std::atomic<int> counter{0}, first{0};
    ASSERT_EQ(sig_watch_start(&counter, [&] { first++; }), 0);
    EXPECT_EQ(sig_watch_start(&counter), -16);
    EXPECT_FALSE(sig_wait_stop(0));

    raise(SIGPIPE);
    raise(SIGTERM);
    ASSERT_TRUE(wait_until([&] { return counter == 1; }));
    EXPECT_TRUE(sig_wait_stop(5000));
    // The watcher wakes the waiters before it runs the stop action.
    EXPECT_TRUE(wait_until([&] { return first == 1; }));
    for (int s : {SIGHUP, SIGINT, SIGALRM, SIGTERM}) raise(s);
    ASSERT_TRUE(wait_until([&] { return counter == 5; }));
    sig_watch_stop();
    EXPECT_EQ(counter, 5);
    EXPECT_EQ(first, 1);
    ASSERT_EQ(log_close(), 0);

    std::string text = slurp(log_file);
    std::string pid = std::to_string(getpid());
    EXPECT_EQ(count_of(text, "] sighandler_ignore: [" + pid + "] catched 13\n"), 1u) << text;
    EXPECT_EQ(count_of(text, "] sighandler: [" + pid + "] catched 15\n"), 2u) << text;
    for (int s : {SIGHUP, SIGINT, SIGALRM})
        EXPECT_EQ(count_of(text, "] sighandler: [" + pid + "] catched " + std::to_string(s) + "\n"),
                  1u);
    for (const std::string &l : split_lines(text)) EXPECT_EQ(l.substr(0, 2), "! ") << l;
}

// More signals than the wake-up pipe holds: none of them goes uncounted.
TEST_F(Sig, FloodKeepsEveryCount) {
    std::atomic<int> counter{0};
    ASSERT_EQ(sig_watch_start(&counter), 0);
    constexpr int kSignals = 100000;
    for (int i = 0; i < kSignals; i++) raise(SIGHUP);
    EXPECT_TRUE(wait_until([&] { return counter == kSignals; }, 30000)) << counter;
}

TEST_F(Sig, NoCounterAndAThrowingStopAction) {
    ASSERT_EQ(sig_watch_start(nullptr, [] { throw 1; }), 0);
    raise(SIGINT);
    EXPECT_TRUE(sig_wait_stop(10000));
    sig_watch_stop();
    ASSERT_EQ(log_close(), 0);
    EXPECT_NE(slurp(log_file).find("stop action failed"), std::string::npos);
}
