// The feeder's rules: which media it probes and under which names, when a file is taken, which
// requests it files again, and what the absent list holds.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "feeder.h"
#include "file.h"

namespace {

// Relative paths and the default log name are made absolute against the working folder.
std::string in_cwd(const char *name) {
    char cwd[4096];
    return std::string(getcwd(cwd, sizeof cwd) ? cwd : "") + "/" + name;
}

feeder_event ev(const char *id, int64_t start) {
    feeder_event e;
    e.media_id = id;
    e.start = start;
    return e;
}

struct tmp_dir {
    std::string path;
    tmp_dir() {
        char t[] = "/tmp/feeder_test_XXXXXX";
        path = mkdtemp(t) ? t : "";
    }
    ~tmp_dir() { (void)!system(("rm -rf '" + path + "'").c_str()); }
};

TEST(FeederMerge, EarliestEventOfEachMediaIsKept) {
    std::vector<feeder_event> v = {ev("b", 30), ev("a", 20), ev("b", 10),
                                   ev("c", 20), ev("a", 5),  ev("", 1)};
    feeder_merge(v);
    std::vector<std::string> ids;
    for (auto &e : v) ids.push_back(e.media_id.str() + "@" + std::to_string(e.start));
    EXPECT_EQ(ids, (std::vector<std::string>{"@1", "a@5", "b@10", "@20", "c@20", "@30"}));
}

TEST(FeederCandidates, HashIdsTakeEachExtension) {
    std::vector<text4k> exts = {"mxf", ""};
    EXPECT_EQ(feeder_candidates("news/CLIP#", exts),
              (std::vector<std::string>{"news/CLIP.mxf", "news/CLIP"}));
    EXPECT_EQ(feeder_candidates("CLIP#", {}), std::vector<std::string>{});
    EXPECT_EQ(feeder_candidates("CLIP.mxf", exts), std::vector<std::string>{"CLIP.mxf"});
    // Names that climb out of a folder or name none are never probed nor requested.
    EXPECT_EQ(feeder_candidates("../etc/passwd", exts), std::vector<std::string>{});
    EXPECT_EQ(feeder_candidates("a/../../b.mxf", exts), std::vector<std::string>{});
    EXPECT_EQ(feeder_candidates("/etc/x2", exts), std::vector<std::string>{});
    EXPECT_EQ(feeder_candidates("/in/CLIP#", exts), std::vector<std::string>{});
    EXPECT_EQ(feeder_candidates("dir/", exts), std::vector<std::string>{});
    EXPECT_EQ(feeder_candidates("..#", {""}), std::vector<std::string>{});
    EXPECT_EQ(feeder_candidates("a..b.mxf", exts), std::vector<std::string>{"a..b.mxf"});
}

TEST(FeederPathsFile, LinesAreCutAtCrAndTab) {
    tmp_dir d;
    std::string file = d.path + "/paths.txt";
    ASSERT_EQ(file_write_atomic(file, "/in\r\n\n/b\tcomment\n\r\n/c"), 0);
    std::vector<std::string> out;
    EXPECT_EQ(feeder_paths_file_read(file.c_str(), out), 3);
    EXPECT_EQ(out, (std::vector<std::string>{"/in", "/b", "/c"}));
    EXPECT_LT(feeder_paths_file_read((d.path + "/none").c_str(), out), 0);
}

TEST(FeederProbeCache, TakenOnlyAfterTwoEqualProbes) {
    feeder_instance f;
    EXPECT_FALSE(feeder_probe_stable(&f, "/in/a", "t", 100, 5, 1000));  // first sight
    EXPECT_TRUE(feeder_probe_stable(&f, "/in/a", "t", 100, 5, 1003));
    EXPECT_FALSE(feeder_probe_stable(&f, "/in/a", "t", 100, 6, 1006));  // still growing
    EXPECT_FALSE(feeder_probe_stable(&f, "/in/a", "t", 101, 6, 1009));
    EXPECT_TRUE(feeder_probe_stable(&f, "/in/a", "t", 101, 6, 1012));
    // Another target is another file.
    EXPECT_FALSE(feeder_probe_stable(&f, "/in/a", "u", 101, 6, 1012));
    EXPECT_EQ(f.probe_cache[0].stamp, 1000);  // a hit keeps the stamp
    EXPECT_EQ(f.probe_cache[1].stamp, 1012);
}

TEST(FeederProbeCache, FullCacheReusesTheOldestEntry) {
    feeder_instance f;
    for (int i = 0; i < FEEDER_PROBE_CACHE; i++)
        feeder_probe_stable(&f, ("/p" + std::to_string(i)).c_str(), "t", 1, 1, 5000 - i);
    // The last one filled has the oldest stamp; the newcomer takes its place.
    EXPECT_FALSE(feeder_probe_stable(&f, "/new", "t", 1, 1, 9000));
    EXPECT_EQ(f.probe_cache[FEEDER_PROBE_CACHE - 1].path, "/new");
    EXPECT_TRUE(feeder_probe_stable(&f, "/p0", "t", 1, 1, 9001));
}

TEST(FeederReqCache, SameTargetAndLocalNameWaitsOutTheTtl) {
    feeder_instance f;
    mivra_ft_request a;
    a.target = "store";
    a.object_local = "CLIP.mxf";
    EXPECT_EQ(feeder_req_cache_allowed(&f, a), 1);
    feeder_req_cache_keep(&f, a, 1000);
    EXPECT_EQ(feeder_req_cache_allowed(&f, a), 0);
    mivra_ft_request b = a;
    b.target = "other";
    EXPECT_EQ(feeder_req_cache_allowed(&f, b), 1);
    feeder_req_cache_expire(&f, 1000 + FEEDER_REQ_TTL);
    EXPECT_EQ(feeder_req_cache_allowed(&f, a), 0);
    feeder_req_cache_expire(&f, 1000 + FEEDER_REQ_TTL + 1);
    EXPECT_EQ(feeder_req_cache_allowed(&f, a), 1);
    // A full cache gives up its oldest entry.
    for (int i = 0; i < FEEDER_REQ_CACHE; i++) {
        b.object_local = std::to_string(i);
        feeder_req_cache_keep(&f, b, 2000 + i);
    }
    feeder_req_cache_keep(&f, a, 3000);
    b.object_local = "0";
    EXPECT_EQ(feeder_req_cache_allowed(&f, b), 1);
    b.object_local = "1";
    EXPECT_EQ(feeder_req_cache_allowed(&f, b), 0);
    EXPECT_EQ(feeder_req_cache_allowed(&f, a), 0);
}

std::string read_file(const std::string &p) {
    std::string s;
    return file_read_all(p, s) == 0 ? s : "<none>";
}

TEST(FeederAbsentList, ConfirmOrphanAndFile) {
    tmp_dir d;
    feeder_instance f;
    f.absent_file = d.path + "/absent.txt";
    EXPECT_EQ(feeder_absent_orphan(&f, {}), -2);
    EXPECT_EQ(feeder_absent_confirm(&f, ev("news/A.mxf", 1)), 1);
    EXPECT_EQ(feeder_absent_confirm(&f, ev("B#", 2)), 1);
    EXPECT_EQ(feeder_absent_confirm(&f, ev("other/A.mxf", 3)), 0);  // same basename
    EXPECT_EQ(read_file(f.absent_file.str()), "<none>");            // the caller saves once
    EXPECT_EQ(feeder_absent_save(&f), 0);
    EXPECT_EQ(read_file(f.absent_file.str()), "A.mxf\r\nB#\r\n");
    EXPECT_EQ(feeder_absent_orphan(&f, {ev("x/B#", 1)}), 1);
    EXPECT_EQ(read_file(f.absent_file.str()), "B#\r\n");
    EXPECT_EQ(feeder_absent_orphan(&f, {}), 1);
    EXPECT_EQ(read_file(f.absent_file.str()), "");
    EXPECT_EQ(feeder_absent_clear(&f), 0);
    EXPECT_EQ(read_file(f.absent_file.str()), "<none>");
}

TEST(FeederAbsentList, ShortNameWritesAndRemovesNothing) {
    tmp_dir d;
    std::string cwd(4096, '\0');
    ASSERT_TRUE(getcwd(cwd.data(), cwd.size()));
    ASSERT_EQ(chdir(d.path.c_str()), 0);
    ASSERT_EQ(file_write_atomic("abcd", "keep"), 0);
    feeder_instance f;
    f.absent_file = "abcd";
    EXPECT_EQ(feeder_absent_confirm(&f, ev("A", 1)), 1);
    EXPECT_EQ(feeder_absent_clear(&f), 0);
    EXPECT_EQ(read_file("abcd"), "keep");
    ASSERT_EQ(chdir(cwd.c_str()), 0);
}

int parse(feeder_instance *f, std::vector<std::string> args) {
    args.insert(args.begin(), "MivraBoxLibFeeder");
    std::vector<char *> av;
    for (auto &a : args) av.push_back(a.data());
    av.push_back(nullptr);
    return feeder_opts_parse(f, int(args.size()), av.data());
}

TEST(FeederOpts, SourcesBoxesAndBounds) {
    feeder_instance f;
    std::vector<std::string> args = {
        "--path=/ignored", "--transfer=ft:1",         "--box=b:1",           "--bus=4",
        "--src-probe",     "--target=store",          "--path=/in",          "--ext=mxf",
        "--ext=",          "--deep-dive=2",           "--basename-ext=.mov", "--src-lib=lib:2",
        "--target=lib",    "--absent-list=/tmp/a.txt"};
    for (int i = 0; i < 12; i++) args.push_back("--box=x:" + std::to_string(i));
    for (int i = 0; i < 12; i++) args.push_back("--src-probe");
    ASSERT_EQ(parse(&f, args), 0);
    EXPECT_EQ(f.transfer_url, "http://ft:1/RPC2");
    ASSERT_EQ(f.boxes.size(), 10u);
    EXPECT_EQ(f.boxes[0].bus, 4);
    ASSERT_EQ(f.sources.size(), 10u);
    const feeder_source &s = f.sources[0];
    EXPECT_EQ(s.type, FEEDER_SRC_PROBE);
    EXPECT_EQ(s.target, "store");
    ASSERT_EQ(s.paths.size(), 1u);
    EXPECT_EQ(s.paths[0].path, "/in");
    ASSERT_EQ(s.exts.size(), 2u);
    EXPECT_EQ(s.exts[1], "");
    EXPECT_EQ(s.deep_dive, 2);
    EXPECT_EQ(s.basename_ext, ".mov");
    EXPECT_EQ(f.sources[1].type, FEEDER_SRC_LIB);
    EXPECT_EQ(f.sources[1].url, "http://lib:2/RPC2");
    EXPECT_EQ(f.sources[1].target, "lib");
    EXPECT_EQ(f.absent_file, "/tmp/a.txt");
    EXPECT_EQ(f.base.log_file_name.str(), in_cwd("MivraBoxLibFeeder.log"));

    feeder_instance g;
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse(&g, {"--help"}), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("MivraBoxLibFeeder-"), std::string::npos);
    EXPECT_NE(err.find("Register transfer PROBE source"), std::string::npos);
}

}  // namespace
