#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "file.h"
#include "mivrabox_ply.h"

namespace {

// A temporary folder removed with its files.
struct temp_dir {
    std::string path;
    temp_dir() {
        char tmpl[] = "/tmp/mivrabox_ply_XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~temp_dir() {
        std::vector<std::string> names = files();
        for (auto &n : names) unlink((path + "/" + n).c_str());
        rmdir(path.c_str());
    }
    std::string file(const char *name) const { return path + "/" + name; }
    std::vector<std::string> files() const {
        std::vector<std::string> out;
        if (DIR *d = opendir(path.c_str())) {
            while (dirent *e = readdir(d))
                if (e->d_name[0] != '.' || (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")))
                    out.push_back(e->d_name);
            closedir(d);
        }
        return out;
    }
};

struct list_ptr {
    ply_list *l = nullptr;
    list_ptr() { ply_new(&l); }
    ~list_ptr() {
        if (l) ply_free(&l);
    }
    ply_list *operator->() const { return l; }
};

std::string line(int i, const char *type = "C") {
    return "10:00:" + std::to_string(10 + i) + ":00\tF\t\t\t00:00:10:00\t" + type + "\tclip" +
           std::to_string(i) + "\ttitle " + std::to_string(i) + "\t";
}

// Titles of the list in order, one letter per event (clip<n> -> n).
std::string order(const ply_list *l) {
    std::string s;
    for (auto *ev : l->items) s += ev->media_id.str().substr(4);
    return s;
}

void fill(ply_list *l, int n) {
    for (int i = 0; i < n; i++) ASSERT_EQ(ply_insert_text(l, line(i).c_str(), -1), i);
}

}  // namespace

TEST(PlyList, InsertPositionsAndThePlayingHead) {
    list_ptr l;
    fill(l.l, 3);
    l->items[0]->flags |= MIVRABOX_F_PLAYING;
    mivrabox_event *ev = mivrabox_event_parse(line(7));
    ev->start = 1234;
    ev->flags = MIVRABOX_F_CUED;
    int rev = l->revision;
    EXPECT_EQ(ply_insert_event(l.l, ev, 0, 0), -2);
    EXPECT_EQ(ply_insert_text(l.l, line(8).c_str(), 0), -2);
    EXPECT_EQ(order(l.l), "012");
    EXPECT_EQ(l->revision, rev);
    EXPECT_EQ(ply_insert_event(l.l, ev, 1, 0), 1);
    EXPECT_EQ(l->items[1]->start, 0);
    EXPECT_EQ(l->items[1]->flags, 0u);
    EXPECT_NE(l->items[1], ev);  // the list holds its own clone
    EXPECT_EQ(ply_insert_event(l.l, ev, 99, 1), 4);
    EXPECT_EQ(l->items[4]->start, 1234);
    EXPECT_EQ(ply_insert_event_fresh(l.l, ev, -1), 5);
    EXPECT_EQ(order(l.l), "071277");
    EXPECT_EQ(l->revision, rev + 3);
    l->items[0]->flags = 0;
    EXPECT_EQ(ply_insert_text(l.l, line(9).c_str(), 0), 0);
    EXPECT_EQ(ply_insert_text(l.l, "not a line", 0), -22);
    EXPECT_EQ(ply_insert_event(nullptr, ev, 0, 0), -22);
    mivrabox_event_unref(&ev);
}

TEST(PlyList, DeleteSetsAndRanges) {
    list_ptr l;
    fill(l.l, 6);
    int rev = l->revision;
    l->items[5]->start = -1;  // outside the events named: kept whatever its start
    const int64_t idx[] = {4, 1, 4, 17, -3};
    EXPECT_EQ(ply_delete_events(l.l, 5, idx), 0);
    EXPECT_EQ(order(l.l), "0235");
    EXPECT_EQ(l->revision, rev + 2);

    list_ptr r;
    fill(r.l, 5);
    for (auto *ev : r->items) ev->sys_id = 100 + ev->media_id.str()[4];
    r->items[2]->sys_id = 0;
    EXPECT_EQ(ply_delete_range(r.l, 1, 100), 0);
    EXPECT_EQ(order(r.l), "02");
    EXPECT_EQ(ply_delete_range(r.l, 1, 0), 0);
    EXPECT_EQ(ply_delete_range(r.l, 5, 9), 0);
    EXPECT_EQ(order(r.l), "02");
    EXPECT_EQ(ply_find_sys_id(r.l, 100 + '0'), 0);
    EXPECT_EQ(ply_find_sys_id(r.l, 100 + '3'), -2);
}

TEST(PlyList, ReplaceRemoveClearAndTheirRevisions) {
    list_ptr l;
    fill(l.l, 3);
    EXPECT_EQ(l->revision, 3);
    mivrabox_event *old = nullptr;
    EXPECT_EQ(ply_replace_text(l.l, line(5).c_str(), 1, &old), 1);
    ASSERT_TRUE(old);
    EXPECT_EQ(old->media_id, "clip1");
    EXPECT_EQ(old->refcount, 1);  // handed over to us
    EXPECT_EQ(ply_replace_text(l.l, line(6).c_str(), 3, nullptr), -2);
    EXPECT_EQ(ply_replace_text(l.l, line(6).c_str(), 2, nullptr), 2);
    EXPECT_EQ(order(l.l), "056");
    EXPECT_EQ(l->revision, 5);

    mivrabox_event *slot = l->items[0];
    EXPECT_EQ(ply_remove_slot(l.l, 0), 2);
    EXPECT_EQ(slot->refcount, 1);  // not released: we own it now
    mivrabox_event_unref(&slot);
    EXPECT_EQ(ply_delete_event(l.l, 5), -22);
    EXPECT_EQ(ply_delete_event(l.l, 1), 1);
    EXPECT_EQ(l->revision, 7);
    EXPECT_EQ(ply_clear(l.l), 0);
    EXPECT_EQ(l->count(), 0);
    EXPECT_EQ(l->revision, 8);
    mivrabox_event_unref(&old);
}

// The last cued and played ids are forgotten when their event leaves the list by any way, and
// kept while it stays.
TEST(PlyList, LastIdsForgottenWhenTheirEventLeaves) {
    struct step {
        const char *what;
        std::function<void(ply_list *)> change;
        int64_t cued, played;  // afterwards; the list has sys_ids 1..5, cued 2 and played 4
    } steps[] = {
        {"other deleted", [](ply_list *l) { ply_delete_event(l, 0); }, 2, 4},
        {"cued deleted", [](ply_list *l) { ply_delete_event(l, 1); }, 0, 4},
        {"played in a set",
         [](ply_list *l) {
             const int64_t i[] = {3};
             ply_delete_events(l, 1, i);
         },
         2, 0},
        {"range over both", [](ply_list *l) { ply_delete_range(l, 1, 3); }, 0, 0},
        {"cued replaced", [](ply_list *l) { ply_replace_text(l, line(9).c_str(), 1, nullptr); }, 0,
         4},
        {"cleared", [](ply_list *l) { ply_clear(l); }, 0, 0},
    };
    for (const step &s : steps) {
        list_ptr l;
        fill(l.l, 5);
        for (int i = 0; i < 5; i++) l->items[size_t(i)]->sys_id = i + 1;
        l->last_cued_sys_id = 2;
        l->last_played_sys_id = 4;
        s.change(l.l);
        EXPECT_EQ(l->last_cued_sys_id, s.cued) << s.what;
        EXPECT_EQ(l->last_played_sys_id, s.played) << s.what;
    }
}

// A place kept on an event gives its index back without a search while only events at the front
// went (the scheduler retires them every play), and never a wrong one after any other change.
TEST(PlyList, PlacesSurviveTheFrontAndNeverLie) {
    struct step {
        const char *what;
        std::function<void(ply_list *)> change;
        const char *kept;  // the events still found from their places, after the change
    } steps[] = {
        {"first deleted", [](ply_list *l) { ply_delete_event(l, 0); }, "12345678"},
        {"first taken out",
         [](ply_list *l) {
             mivrabox_event *e = l->items[0];
             ply_remove_slot(l, 0);
             mivrabox_event_unref(&e);
         },
         "12345678"},
        {"run off the front", [](ply_list *l) { ply_delete_range(l, 0, 2); }, "345678"},
        {"front run, one kept (no sys_id)",
         [](ply_list *l) {
             l->items[1]->sys_id = 0;
             ply_delete_range(l, 0, 2);
         },
         "1"},
        {"one in the middle", [](ply_list *l) { ply_delete_event(l, 4); }, "0123"},
        {"set with the first", [](ply_list *l) {
             const int64_t i[] = {0, 6};
             ply_delete_events(l, 2, i);
         },
         "12345"},
        {"inserted before", [](ply_list *l) { ply_insert_text(l, line(9).c_str(), 3); }, "012"},
        {"appended", [](ply_list *l) { ply_insert_text(l, line(9).c_str(), -1); }, "012345678"},
        {"cleared and filled again",
         [](ply_list *l) {
             ply_clear(l);
             fill(l, 9);
         },
         ""},
    };
    for (const step &s : steps) {
        list_ptr l;
        fill(l.l, 9);
        for (int i = 0; i < 9; i++) {
            l->items[size_t(i)]->sys_id = i + 1;
            ply_place_keep(l.l, l->items[size_t(i)], i);
        }
        s.change(l.l);
        std::string kept;
        for (int i = 0; i < l->count(); i++) {
            const int at = ply_place_index(l.l, l->items[size_t(i)]);
            EXPECT_TRUE(at == i || at == -1) << s.what << ": " << at << " for " << i;
            if (at == i) kept += l->items[size_t(i)]->media_id.str().substr(4);
        }
        EXPECT_EQ(kept, s.kept) << s.what;
    }
}

TEST(PlyList, DupAndAppend) {
    list_ptr l;
    fill(l.l, 3);
    l->items[1]->flags = MIVRABOX_F_CUED;
    l->items[1]->sys_id = 9;
    l->items[1]->start = 5000;
    l->total_duration = 30000;
    l->last_cued_sys_id = 9;
    ply_list *d = nullptr;
    ASSERT_EQ(ply_dup(l.l, &d), 0);
    EXPECT_EQ(d->revision, 0);
    EXPECT_EQ(d->total_duration, 0);
    EXPECT_EQ(d->last_cued_sys_id, 0);
    EXPECT_EQ(d->items[1]->flags, MIVRABOX_F_CUED);
    EXPECT_EQ(d->items[1]->start, 5000);
    EXPECT_NE(d->items[1], l->items[1]);

    EXPECT_EQ(ply_append_list(d, d), 3);  // onto itself
    EXPECT_EQ(order(d), "012012");
    EXPECT_EQ(d->items[4]->flags, 0u);
    EXPECT_EQ(d->items[4]->start, 0);
    EXPECT_EQ(d->items[4]->sys_id, 9);
    ply_free(&d);
    EXPECT_EQ(d, nullptr);
    EXPECT_EQ(ply_free(&d), -22);
}

TEST(PlyFile, SaveAndLoadKeepEveryByte) {
    temp_dir dir;
    list_ptr l;
    fill(l.l, 50);
    mivrabox_event *rich = mivrabox_event_parse(line(60));
    rich->title = std::string(4095, 'T');
    rich->tag = "tag";
    rich->audio_map = "1 2 3 4";
    for (int i = 0; i < 8; i++)
        mivrabox_event_meta_add(&rich, "key\t" + std::to_string(i), std::string(3000, '\\'));
    ASSERT_EQ(ply_insert_event(l.l, rich, 7, 0), 7);
    mivrabox_event_unref(&rich);
    l->items[3]->flags = MIVRABOX_F_PLAYING;
    l->items[3]->sys_id = 3;

    std::string a = dir.file("a.ply"), b = dir.file("b.ply");
    ASSERT_EQ(ply_save(l.l, a.c_str()), 51);
    ply_list *back = nullptr;
    ASSERT_EQ(ply_load(&back, a.c_str()), 51);
    EXPECT_EQ(back->revision, 51);
    EXPECT_EQ(back->items[3]->flags, 0u);
    EXPECT_EQ(back->items[3]->sys_id, 0);
    EXPECT_EQ(back->items[7]->meta_count(), 8);
    EXPECT_EQ(back->items[7]->pairs[5].value, std::string(3000, '\\'));
    ASSERT_EQ(ply_save(back, b.c_str()), 51);
    std::string da, db;
    ASSERT_EQ(file_read_all(a, da), 0);
    ASSERT_EQ(file_read_all(b, db), 0);
    EXPECT_EQ(da, db);
    EXPECT_GT(da.size(), 30000u);  // the long line was written whole
    ply_free(&back);
    EXPECT_EQ(dir.files().size(), 2u);  // no temporary left behind
}

TEST(PlyFile, LoaderSkipsOnlyWhatIsNotAnEvent) {
    temp_dir dir;
    std::string live = "\t \t\t\t\tL\t#LIVE1\t\t\t\t\t\t\t\t";  // a follow live event, no title
    ASSERT_LT(live.size(), 32u);
    std::string big = line(3) + "\t\t\tk\\t" + std::string(20000, 'v');  // 12 fields
    std::string content = line(0) + "\n" + "\n" + "\t\t\t\t\t\t\t\t\n" +
                          "\t \t\t\t\t \t\t\t\t\t\t\t\t\t\n" + live + "\n" +
                          "garbage without tabs\n" + "a\tb\n" + big + "\n" + line(4) + "\r\n" +
                          line(5);  // last line without LF
    std::string path = dir.file("in.ply");
    ASSERT_EQ(file_write_atomic(path, content), 0);
    ply_list *l = nullptr;
    ASSERT_EQ(ply_load(&l, path.c_str()), 5);
    EXPECT_EQ(l->items[1]->media_id, "#LIVE1");
    EXPECT_EQ(l->items[1]->event_type, 'L');
    EXPECT_EQ(l->items[2]->pairs.at(0).value.size(), 4095u);
    EXPECT_EQ(l->items[3]->assets, "\r");  // a CR before the LF stays in the last field
    EXPECT_EQ(l->items[4]->media_id, "clip5");
    ply_free(&l);

    EXPECT_EQ(ply_load(&l, dir.file("missing.ply").c_str()), -ENOENT);
    EXPECT_EQ(l, nullptr);
}

TEST(PlyFile, OverlongLineIsSkippedWhole) {
    temp_dir dir;
    std::string path = dir.file("huge.ply");
    std::string content = line(1) + "\n" + line(2) + "\t\t\t" +
                          std::string(PLY_LINE_MAX + 100, 'x') + "\n" + line(3) + "\n";
    ASSERT_EQ(file_write_atomic(path, content), 0);
    ply_list *l = nullptr;
    ASSERT_EQ(ply_load(&l, path.c_str()), 2);
    EXPECT_EQ(order(l), "13");
    ply_free(&l);
}

// A write that fails half-way (file size limit) must leave the old playlist as it was.
TEST(PlyFile, FailedSaveKeepsTheOldFile) {
    temp_dir dir;
    std::string path = dir.file("current.ply");
    list_ptr small;
    fill(small.l, 2);
    ASSERT_EQ(ply_save(small.l, path.c_str()), 2);
    std::string before;
    ASSERT_EQ(file_read_all(path, before), 0);

    list_ptr big;
    fill(big.l, 20000);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {65536, 65536};
        setrlimit(RLIMIT_FSIZE, &lim);
        int r = ply_save(big.l, path.c_str());
        _exit(r == -EFBIG ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "ply_save did not report -EFBIG";
    std::string after;
    ASSERT_EQ(file_read_all(path, after), 0);
    EXPECT_EQ(after, before);
    EXPECT_EQ(dir.files(), std::vector<std::string>{"current.ply"});

    EXPECT_EQ(ply_save(small.l, dir.file("no/such/dir.ply").c_str()), -ENOENT);
}
