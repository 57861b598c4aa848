// The child-process runner's outcomes, and which library items the adapter takes.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "adapter.h"

namespace {

// True when a process of the group is alive (zombies waiting for their reaper do not count).
bool group_runs(int pgid) {
    std::unique_ptr<DIR, int (*)(DIR *)> proc(opendir("/proc"), closedir);
    while (dirent *e = readdir(proc.get())) {
        std::ifstream f(std::string("/proc/") + e->d_name + "/stat");
        std::string line;
        if (!std::getline(f, line) || line.rfind(')') == std::string::npos) continue;
        std::istringstream rest(line.substr(line.rfind(')') + 1));
        std::string state;
        int ppid = 0, pgrp = 0;
        if (rest >> state >> ppid >> pgrp && pgrp == pgid && state != "Z") return true;
    }
    return false;
}

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

TEST_F(ChildSpawn, CancelEndsTheChildAndWhatItStarted) {
    child_slot slot;
    int r = 1;
    std::thread t([&] { r = run(script("sleep 30; exit 0"), &slot); });
    int pid = 0;
    for (int i = 0; i < 500 && pid == 0; i++) {
        usleep(10000);
        std::lock_guard lk(slot.mu);
        pid = slot.pid;
    }
    ASSERT_GT(pid, 0);
    usleep(100000);  // let the shell start its sleep
    child_cancel(&slot);
    t.join();
    EXPECT_EQ(r, CHILD_SIGNALED);
    EXPECT_EQ(slot.pid, 0);
    // Nothing of the group runs on, the shell's sleep included.
    for (int i = 0; i < 100 && group_runs(pid); i++) usleep(10000);
    EXPECT_FALSE(group_runs(pid));
    // A cancelled slot starts nothing more.
    std::string marker = dir_ + "/ran";
    EXPECT_EQ(run(script("touch " + marker), &slot), -ECANCELED);
    EXPECT_NE(access(marker.c_str(), F_OK), 0);
}

mivra_lib_item lib_item(const char *path, int w, int h, int num, int den) {
    mivra_lib_item it;
    it.path = path;
    it.name = std::string_view(path).substr(std::string_view(path).rfind('/') + 1);
    it.width = w;
    it.height = h;
    it.r_frame_rate_num = num;
    it.r_frame_rate_den = den;
    return it;
}

TEST(AdapterIsToConvert, CountsWhatTheFirstHoldingFolderWants) {
    struct {
        std::vector<const char *> paths;
        int w, h, num, den;
        mivra_lib_item item;
        int want;
    } cases[] = {
        {{"media"}, 640, 360, 25, 1, lib_item("media/a", 320, 240, 30000, 1001), 4},
        {{"media"}, 640, 0, 0, 1, lib_item("media/a", 640, 240, 30000, 1001), 1},
        {{"media"}, 0, 0, 0, 0, lib_item("media/a", 320, 240, 30000, 1001), 0},
        {{"media"}, 640, 360, 25, 1, lib_item("media/sub/a", 320, 240, 25, 1), 0},
        {{"/"}, 640, 360, 25, 1, lib_item("media/sub/a", 320, 240, 25, 1), 2},
        {{"news", "media/"}, 640, 360, 25, 1, lib_item("media/a", 320, 240, 25, 1), 0},
        {{"media", "/"}, 640, 360, 25, 1, lib_item("media/a", 640, 360, 25, 1), 0},
    };
    for (auto &c : cases) {
        adapter_instance a;
        for (const char *p : c.paths) a.paths.emplace_back(p);
        a.media_width = c.w;
        a.media_height = c.h;
        a.media_framerate_num = c.num;
        a.media_framerate_den = c.den;
        EXPECT_EQ(is_to_convert(&a, c.item), c.want) << c.item.path.c_str();
    }
}

}  // namespace
