// What the cleaner spares and what it deletes first, and how its options land.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "cleaner.h"

namespace {

// Relative paths and the default log name are made absolute against the working folder.
std::string in_cwd(const char *name) {
    char cwd[4096];
    return std::string(getcwd(cwd, sizeof cwd) ? cwd : "") + "/" + name;
}

constexpr int64_t kDay = 86400;
constexpr time_t kNow = 1800000000;

cleaner_item item(const char *path, int64_t mtime, int64_t ctime, double dur = 30) {
    cleaner_item c;
    c.item.path = path;
    c.item.st_mtime_ = mtime;
    c.item.st_ctime_ = ctime;
    c.item.duration_eff = dur;
    return c;
}

TEST(CleanerUsage, PercentIsTruncatedAndNeverWraps) {
    EXPECT_EQ(cleaner_usage_percent(80, 100), 80);
    EXPECT_EQ(cleaner_usage_percent(7999, 10000), 79);
    EXPECT_EQ(cleaner_usage_percent(0, 100), 0);
    // used * 100 is past 2^63 here.
    EXPECT_EQ(cleaner_usage_percent(int64_t(9e18), int64_t(9.2e18)), 97);
    // No total: nothing to judge by, so no pass may delete on it.
    EXPECT_EQ(cleaner_usage_percent(10, 0), -22);
    EXPECT_EQ(cleaner_usage_percent(10, -5), -22);
}

TEST(CleanerJudge, PlayedItemsGoByTheirLastCue) {
    cleaner_options o;  // age_played 30, age_idle 60
    // The file is years old, but it was cued ten days ago.
    cleaner_item c = item("m/a.mxf", kNow - 1000 * kDay, kNow - 1000 * kDay);
    EXPECT_EQ(cleaner_judge(o, &c, true, 3, kNow - 10 * kDay, kNow), CLEANER_TOO_FRESH);
    EXPECT_EQ(c.played, 3);
    EXPECT_EQ(c.ref_time, kNow - 10 * kDay);
    // Exactly at the limit it goes; one second before, it stays.
    EXPECT_EQ(cleaner_judge(o, &c, true, 1, kNow - 30 * kDay, kNow), CLEANER_CANDIDATE);
    EXPECT_EQ(cleaner_judge(o, &c, true, 1, kNow - 30 * kDay + 1, kNow), CLEANER_TOO_FRESH);
    // A recent file with an old cue is judged by the cue.
    c = item("m/b.mxf", kNow, kNow);
    EXPECT_EQ(cleaner_judge(o, &c, true, 2, kNow - 31 * kDay, kNow), CLEANER_CANDIDATE);
    EXPECT_EQ(c.ref_time, kNow - 31 * kDay);
}

TEST(CleanerJudge, NeverPlayedItemsGoByTheLaterFileTime) {
    cleaner_options o;
    cleaner_item c = item("m/a.mxf", kNow - 100 * kDay, kNow - 59 * kDay);
    EXPECT_EQ(cleaner_judge(o, &c, true, 0, 0, kNow), CLEANER_IDLE_IGNORED);
    EXPECT_EQ(c.ref_time, kNow - 59 * kDay);
    c = item("m/a.mxf", kNow - 61 * kDay, kNow - 100 * kDay);
    EXPECT_EQ(cleaner_judge(o, &c, true, 0, 0, kNow), CLEANER_CANDIDATE);
    EXPECT_EQ(c.ref_time, kNow - 61 * kDay);
    EXPECT_EQ(c.played, 0);
    // A cue query that failed counts as never played, whatever it left in the counters.
    c = item("m/a.mxf", kNow - 61 * kDay, 0);
    EXPECT_EQ(cleaner_judge(o, &c, false, 5, kNow, kNow), CLEANER_CANDIDATE);
    EXPECT_EQ(c.played, 0);
}

TEST(CleanerJudge, IdleAgeZeroSparesEveryUnplayedItem) {
    cleaner_options o;
    o.age_idle = 0;
    cleaner_item c = item("m/a.mxf", 1, 1);
    EXPECT_EQ(cleaner_judge(o, &c, true, 0, 0, kNow), CLEANER_FORCE_IGNORED);
    // Played items are still judged by their cue.
    EXPECT_EQ(cleaner_judge(o, &c, true, 1, kNow - 40 * kDay, kNow), CLEANER_CANDIDATE);
}

TEST(CleanerJudge, ShortItemsAreSparedOnlyOnceOldEnough) {
    cleaner_options o;
    o.minimal_duration = 10;
    cleaner_item c = item("m/a.mxf", kNow - 100 * kDay, 0, 9.5);
    EXPECT_EQ(cleaner_judge(o, &c, true, 0, 0, kNow), CLEANER_TOO_SHORT);
    c.item.duration_eff = 10;
    EXPECT_EQ(cleaner_judge(o, &c, true, 0, 0, kNow), CLEANER_CANDIDATE);
    // Freshness is told first.
    c = item("m/a.mxf", kNow, 0, 1);
    EXPECT_EQ(cleaner_judge(o, &c, true, 0, 0, kNow), CLEANER_IDLE_IGNORED);
}

TEST(CleanerOrder, OldestFirstAndReadOrderAmongEqualTimes) {
    std::vector<cleaner_item> v;
    const char *names[] = {"c", "a1", "b", "a2", "d", "a3"};
    time_t times[] = {300, 100, 200, 100, 50, 100};
    for (int i = 0; i < 6; i++) {
        v.push_back(item(names[i], 0, 0));
        v.back().ref_time = times[i];
    }
    cleaner_order(v);
    std::vector<std::string> got;
    for (auto &c : v) got.push_back(c.item.path.str());
    EXPECT_EQ(got, (std::vector<std::string>{"d", "a1", "a2", "a3", "b", "c"}));
}

TEST(CleanerBusy, AnyBusHoldingThePathSparesIt) {
    cleaner_options o;
    o.boxes.resize(2);
    lib_object *a = nullptr, *b = nullptr, *none = nullptr;
    lib_object_new(&a);
    lib_object_new(&b);
    lib_object_new(&none);
    a->origin = "media/a.mxf";
    b->origin = "media/b.mxf";
    none->object = "absent";  // no origin: never matches
    lib_object_list_push(&o.boxes[0].present, a);
    lib_object_list_push(&o.boxes[1].present, none);
    lib_object_list_push(&o.boxes[1].present, b);
    EXPECT_TRUE(cleaner_busy(o, "media/a.mxf"));
    EXPECT_TRUE(cleaner_busy(o, "media/b.mxf"));
    EXPECT_FALSE(cleaner_busy(o, "media/c.mxf"));
    EXPECT_FALSE(cleaner_busy(o, ""));
}

int parse(cleaner_options *o, std::vector<std::string> args) {
    args.insert(args.begin(), "MivraBoxLibCleaner");
    std::vector<char *> av;
    for (auto &a : args) av.push_back(a.data());
    av.push_back(nullptr);
    return cleaner_opts_parse(o, int(args.size()), av.data());
}

TEST(CleanerOpts, DefaultsBoxesPathsAndBounds) {
    cleaner_options o;
    ASSERT_EQ(parse(&o, {}), 0);
    EXPECT_EQ(o.age_idle, 60);
    EXPECT_EQ(o.age_played, 30);
    EXPECT_EQ(o.lib_usage_limit, 80);
    EXPECT_EQ(o.sleep_interval, 0);
    EXPECT_EQ(o.confirm_delete, 0);
    EXPECT_EQ(o.base.log_file_name.str(), in_cwd("MivraBoxLibCleaner.log"));
    EXPECT_EQ(o.lists_folder, "/Mivra/runtime/cleaner");

    cleaner_options p;
    std::vector<std::string> args = {"--bus=3",          "--box=h:1",    "--bus=2",
                                     "--box=h:2",        "--lib=l:9",    "--confirm-delete",
                                     "--confirm-delete", "--age-idle=0", "--minimal-duration=5",
                                     "--debug"};
    for (int i = 0; i < 10; i++) args.push_back("--box=x:" + std::to_string(i));
    for (int i = 0; i < 40; i++) args.push_back("--path=p" + std::to_string(i));
    ASSERT_EQ(parse(&p, args), 0);
    ASSERT_EQ(p.boxes.size(), 8u);
    EXPECT_EQ(p.boxes[0].url, "http://h:1/RPC2");
    EXPECT_EQ(p.boxes[0].bus, 2);  // the --bus before any --box went nowhere
    EXPECT_EQ(p.boxes[1].bus, 0);
    EXPECT_EQ(p.boxes[7].url, "http://x:5/RPC2");
    EXPECT_EQ(p.lib_url, "http://l:9/RPC2");
    ASSERT_EQ(p.paths.size(), 32u);
    EXPECT_EQ(p.paths[31], "p31");
    EXPECT_EQ(p.confirm_delete, 2);
    EXPECT_EQ(p.age_idle, 0);
    EXPECT_EQ(p.minimal_duration, 5);
    EXPECT_EQ(p.base.debug, 1);
}

TEST(CleanerOpts, OptionsFileAndUnknownOption) {
    char dir[] = "/tmp/cleaner_opts_XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    std::string file = std::string(dir) + "/c.opts";
    FILE *f = fopen(file.c_str(), "w");
    ASSERT_TRUE(f);
    fputs("# cleaner\n  --lib=lib:1  \n\n--path=media\n--lib-usage-limit=90\n", f);
    fclose(f);
    cleaner_options o;
    // The file's parse puts the log name back to its default.
    ASSERT_EQ(parse(&o, {"--log-file-name=x.log", file}), 0);
    EXPECT_EQ(o.lib_url, "http://lib:1/RPC2");
    ASSERT_EQ(o.paths.size(), 1u);
    EXPECT_EQ(o.lib_usage_limit, 90);
    EXPECT_EQ(o.base.log_file_name.str(), in_cwd("MivraBoxLibCleaner.log"));
    EXPECT_EQ(o.base.options_file, file);
    unlink(file.c_str());
    rmdir(dir);

    cleaner_options q;
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse(&q, {"--no-such"}), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("ERROR: Incorrect argument! [--no-such]"), std::string::npos);
    EXPECT_NE(err.find("MivraBoxLibCleaner-"), std::string::npos);
    EXPECT_NE(err.find("Library path to check items"), std::string::npos);
}

}  // namespace
