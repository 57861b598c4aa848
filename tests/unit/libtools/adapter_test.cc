// The child-process runner's outcomes.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "child_spawn.h"

namespace {

class ChildSpawn : public ::testing::Test {
   protected:
    void SetUp() override {
        char tmpl[] = "/tmp/adapter-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

    std::string script(const std::string &body) {
        std::string path = dir_ + "/s" + std::to_string(n_++) + ".sh";
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        chmod(path.c_str(), 0755);
        return path;
    }
    std::string slurp(const std::string &path) {
        std::ostringstream s;
        s << std::ifstream(path).rdbuf();
        return s.str();
    }
    int run(const std::string &exe, child_slot *slot = nullptr) {
        std::vector<char *> argv = {const_cast<char *>(exe.c_str()), nullptr};
        return child_spawn_wait(exe.c_str(), slot, argv.data(), nullptr, (dir_ + "/out").c_str(),
                                (dir_ + "/err").c_str());
    }

    std::string dir_;
    int n_ = 0;
};

TEST_F(ChildSpawn, OutcomesOfTheChild) {
    struct {
        const char *body;
        int want;
    } cases[] = {
        {"exit 0", 0},
        {"exit 7", CHILD_EXIT_FAILED},
        {"kill -TERM $$", CHILD_SIGNALED},
        // Nothing inherited: not even PATH.
        {"[ -z \"$(tr -d '\\000' < /proc/$$/environ)\" ]", 0},
        // stdin is /dev/null: the read finds its end at once.
        {"read x && exit 1; echo out; echo err >&2", 0},
    };
    for (const auto &c : cases) EXPECT_EQ(run(script(c.body)), c.want) << c.body;
    EXPECT_EQ(slurp(dir_ + "/out"), "out\n");
    EXPECT_EQ(slurp(dir_ + "/err"), "err\n");
    EXPECT_EQ(run(dir_ + "/missing"), -ENOENT);
    EXPECT_EQ(run("no-such-ffmpeg-in-path"), -ENOENT);
    child_slot cancelled;  // a stop came first: nothing starts
    child_cancel(&cancelled);
    EXPECT_EQ(run(script("exit 0"), &cancelled), -ECANCELED);
}

extern "C" void on_usr1(int) {}

TEST_F(ChildSpawn, AnInterruptedWaitGoesOnWaiting) {
    struct sigaction sa = {}, old;
    sa.sa_handler = on_usr1;  // no SA_RESTART: the wait sees EINTR
    sigaction(SIGUSR1, &sa, &old);
    pthread_t waiter = pthread_self();
    std::atomic<bool> done{false};
    std::thread poke([&] {
        for (int i = 0; i < 20 && !done; i++) {
            usleep(20000);
            pthread_kill(waiter, SIGUSR1);
        }
    });
    std::string marker = dir_ + "/finished";
    child_slot slot;
    EXPECT_EQ(run(script("sleep 0.5; touch " + marker), &slot), 0);
    done = true;
    poke.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(access(marker.c_str(), F_OK), 0);  // the child ran to its end
}

}  // namespace
