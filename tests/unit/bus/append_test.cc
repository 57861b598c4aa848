// Drop folder on real temporary folders with real inotify: the start-up sweep, dropped and
// renamed playlists, other files, hidden files, sub-folders and failed loads.
#include <sys/stat.h>

#include <thread>

#include "bus_test_util.h"
#include "wait_util.h"

namespace {

using oxt::eventually;
namespace fs = std::filesystem;

struct AppendTest : ::testing::Test {
    temp_dir dir;
    std::string drop;
    bus *b = nullptr;
    std::thread th;

    void SetUp() override {
        bus_test_pin();
        oxt::log_path();
        ASSERT_EQ(bus_test_new(&b), 0);
        b->path = dir.path.string();
        drop = dir.file("drop");
        fs::create_directory(drop);
        b->auto_append = drop;
    }
    void TearDown() override {
        stop();
        bus_free(&b);
    }
    void start() {
        th = std::thread(bus_append_proc, b);
        ASSERT_TRUE(oxt::log_waits_for("bus_append_proc[0] started"));
    }
    void stop() {
        b->exit = 1;
        if (th.joinable()) th.join();
    }
    std::string path(const std::string &name) { return drop + "/" + name; }
    bool exists(const std::string &name) { return fs::exists(path(name)); }
    void put(const std::string &name, const std::string &content) {
        std::ofstream(path(name)) << content;
    }
    static std::string playlist(std::initializer_list<const char *> media) {
        std::string s;
        for (const char *m : media) s += ev_line(m) + "\n";
        return s;
    }
    int count() {
        std::lock_guard lk(b->lock);
        return b->playlist->count();
    }
    std::string media(int i) {
        std::lock_guard lk(b->lock);
        return b->playlist->items[size_t(i)]->media_id.str();
    }
};

TEST_F(AppendTest, SweepAtStart) {
    put("a.ply", playlist({"a1", "a2"}));
    put("notes.txt", "not a playlist");
    put("x.ply.bak", playlist({"x"}));
    put("b.ply.ply", playlist({"b"}));
    put(".hidden.ply", playlist({"h"}));
    fs::create_directory(path("sub.ply"));
    start();
    ASSERT_TRUE(oxt::log_waits_for("bus_append_proc: EXISTING file [a.ply]"));
    ASSERT_TRUE(eventually([&] { return !exists("a.ply") && !exists("notes.txt"); }));
    ASSERT_TRUE(eventually([&] { return !exists("x.ply.bak") && !exists("b.ply.ply"); }));
    EXPECT_EQ(count(), 2);  // the others were deleted unread
    EXPECT_EQ(media(1), "a2");
    EXPECT_TRUE(exists(".hidden.ply"));
    EXPECT_TRUE(fs::is_directory(path("sub.ply")));
    EXPECT_FALSE(b->running);  // loading does not start the bus
    EXPECT_TRUE(
        oxt::log_waits_for("bus_append_file[0] will try OPEN [a.ply] origin [" + path("a.ply")));
}

TEST_F(AppendTest, WatchOpensAppendsAndKeepsFailures) {
    start();
    // Dropped before or after the watch began: the sweep or the watch takes it.
    put("first.ply", playlist({"f1"}));
    ASSERT_TRUE(eventually([&] { return count() == 1 && !exists("first.ply"); }));
    // Written under a hidden name, renamed into place when complete.
    put(".second.tmp", playlist({"s1", "s2"}));
    fs::rename(path(".second.tmp"), path("second.ply"));
    ASSERT_TRUE(eventually([&] { return count() == 3 && !exists("second.ply"); }));
    EXPECT_EQ(media(0), "f1");
    EXPECT_EQ(media(2), "s2");
    EXPECT_TRUE(oxt::log_waits_for("will try APPEND [second.ply]"));
    // Nothing readable in it: kept in "failed", not lost.
    put("broken.ply", "garbage\nmore garbage\n");
    ASSERT_TRUE(eventually([&] { return fs::exists(path("failed/broken.ply")); }));
    EXPECT_FALSE(exists("broken.ply"));
    EXPECT_EQ(count(), 3);
    put("readme.md", "x");
    fs::create_directory(path("newdir.ply"));
    put(".partial.ply", playlist({"p"}));
    put("last.ply", playlist({"l"}));
    ASSERT_TRUE(eventually([&] { return count() == 4 && !exists("last.ply"); }));
    EXPECT_FALSE(exists("readme.md"));
    EXPECT_TRUE(exists(".partial.ply"));
    EXPECT_TRUE(fs::is_directory(path("newdir.ply")));
    // An empty file is an empty playlist: nothing to keep.
    put("empty.ply", "");
    ASSERT_TRUE(eventually([&] { return !exists("empty.ply"); }));
    EXPECT_FALSE(fs::exists(path("failed/empty.ply")));
    stop();
    EXPECT_TRUE(oxt::log_waits_for("bus_append_proc[0] finished"));
}

TEST_F(AppendTest, NoFolderOrMissingFolder) {
    b->auto_append = "";
    start();
    th.join();
    EXPECT_TRUE(oxt::log_waits_for("bus_append_proc[0] ignored"));
    b->auto_append = dir.file("nowhere");
    start();
    th.join();
    EXPECT_TRUE(oxt::log_waits_for("bus_append_proc: opendir() failed"));
}

}  // namespace
