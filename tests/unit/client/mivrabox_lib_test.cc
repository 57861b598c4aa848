#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "mivrabox_lib.h"

namespace {

lib_object *object(const char *name, const char *origin = "") {
    lib_object *o = nullptr;
    lib_object_new(&o);
    o->object = name;
    o->origin = origin;
    return o;
}

// Sets TZ for one test and restores the previous zone after it.
struct scoped_tz {
    std::string old;
    bool had;
    explicit scoped_tz(const char *tz) {
        const char *o = getenv("TZ");
        had = o != nullptr;
        if (o) old = o;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~scoped_tz() {
        if (had)
            setenv("TZ", old.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
};

time_t utc(int y, int mon, int d, int h, int min) {
    struct tm t = {};
    t.tm_year = y - 1900;
    t.tm_mon = mon - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = min;
    return timegm(&t);
}

int accept(const char *name, int mask, time_t now) {
    return mivrabox_ply_name_filter_at(name, 1, "", mask, now);
}

}  // namespace

TEST(LibObjectList, FindByNameVariantAndOrigin) {
    lib_object_list l;
    lib_object_list_init(&l);
    EXPECT_EQ(lib_object_list_find_origin(&l, "/lib/a.mxf"), -2);
    lib_object_list_push(&l, object("", "/lib/none.mxf"));
    lib_object_list_push(&l, object("clip#"));
    lib_object_list_push(&l, object("news.hd#", "/lib/news.hd.mxf"));
    lib_object_list_push(&l, object("plain"));
    EXPECT_EQ(lib_object_list_find_object(&l, "clip.mxf"), 1);
    EXPECT_EQ(lib_object_list_find_object(&l, "clip"), -2);
    EXPECT_EQ(lib_object_list_find_object(&l, "news.hd.mov"), 2);  // only the last '.' counts
    EXPECT_EQ(lib_object_list_find_object(&l, "plain"), 3);
    EXPECT_EQ(lib_object_list_find_object(&l, ""), -2);
    EXPECT_EQ(lib_object_list_find_object(&l, nullptr), -2);
    // Objects without an origin never match one.
    EXPECT_EQ(lib_object_list_find_origin(&l, ""), -2);
    EXPECT_EQ(lib_object_list_find_origin(&l, "/lib/news.hd.mxf"), 2);
    EXPECT_EQ(lib_object_list_find_origin(&l, nullptr), -2);
    lib_object_list_clear(&l);
}

TEST(LibObjectList, RemoveDeleteAndClearTwice) {
    lib_object_list l;
    for (const char *n : {"a", "b", "c"}) EXPECT_GT(lib_object_list_push(&l, object(n)), 0);
    lib_object *first = l.items[0].get();
    EXPECT_EQ(lib_object_list_remove(&l, 0), 2);
    EXPECT_EQ(l.items[0]->object, "b");
    EXPECT_EQ(l.items[1]->object, "c");
    EXPECT_EQ(first->object, "a");  // still ours
    lib_object_free(&first);
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(lib_object_list_remove(&l, 2), -2);
    EXPECT_EQ(lib_object_list_delete(&l, -1), -2);
    EXPECT_EQ(lib_object_list_delete(&l, 1), 1);
    EXPECT_EQ(lib_object_list_clear(&l), 0);
    EXPECT_EQ(lib_object_list_clear(&l), 0);
    EXPECT_EQ(l.count(), 0);
    EXPECT_EQ(lib_object_list_remove(&l, 0), -2);
    EXPECT_EQ(lib_object_list_push(&l, object("d")), 1);  // usable after a clear
    EXPECT_EQ(lib_object_list_push(&l, nullptr), -22);
}

// Objects taken from the front (the media thread's queue), from the middle, moved to the end and
// swept: every object's index stays its place in the list, and look-ups by name answer it.
TEST(LibObjectList, IndexesAfterRemovalsAnywhere) {
    lib_object_list l;
    for (int i = 0; i < 8; i++) lib_object_list_push(&l, object(("m" + std::to_string(i)).c_str()));
    auto check = [&](const char *step) {
        for (size_t i = 0; i < l.items.size(); i++) {
            EXPECT_EQ(lib_object_list_index(&l, l.items[i].get()), int(i)) << step;
            EXPECT_EQ(lib_object_list_find_object(&l, l.items[i]->object.c_str()), int(i)) << step;
        }
    };
    lib_object_list_delete(&l, 0);
    lib_object_list_delete(&l, 0);
    check("front twice");
    lib_object *o = l.items[0].get();
    lib_object_list_remove(&l, 0);
    lib_object_list_push(&l, o);  // to the end, as a lookup that failed
    check("front to end");
    lib_object_list_delete(&l, 2);
    check("middle");
    auto set_refs = [&](auto ref_of) {
        for (auto &p : l.items) lib_object_list_ref(&l, p.get(), ref_of(*p) - p->ref);
    };
    set_refs([&](const lib_object &o) { return &o == l.items[1].get() ? 0 : 1; });
    EXPECT_EQ(lib_object_list_sweep(&l), 1);
    check("swept");
    lib_object_list_delete(&l, 0);
    check("front after a sweep");
    EXPECT_EQ(l.count(), 3);
    // A name held twice: the second object takes the name over when the first goes.
    lib_object_list_push(&l, object("m7"));
    lib_object_list_push(&l, object("m9"));
    EXPECT_EQ(lib_object_list_delete_front(&l, 2), 3);
    check("two off the front");
    set_refs([](const lib_object &o) { return o.object == "m9" ? 0 : 1; });
    EXPECT_EQ(lib_object_list_sweep(&l), 1);
    check("swept again");
    EXPECT_EQ(lib_object_list_find_object(&l, "m9"), -2);
    EXPECT_EQ(lib_object_list_delete_front(&l, 9), 0);
    EXPECT_EQ(lib_object_list_find_object(&l, "m7"), -2);
    // Most go, into the caller's hands: the index is made of those that stay, a name held
    // twice among them included.
    for (const char *n : {"a", "b", "c", "d", "b"}) lib_object_list_push(&l, object(n));
    set_refs([](const lib_object &o) { return o.object == "b" ? 1 : 0; });
    lib_object_sweepings out;
    EXPECT_EQ(lib_object_list_sweep(&l, &out), 3);
    EXPECT_EQ(out.objects.size(), 3u);
    EXPECT_EQ(out.indexes.size(), 1u);
    EXPECT_EQ(lib_object_list_find_object(&l, "b"), 0);
    EXPECT_EQ(lib_object_list_find_object(&l, "a"), -2);
    EXPECT_EQ(l.dups, 1);
    EXPECT_EQ(lib_object_list_delete_front(&l, 1), 1);
    check("the other b takes the name");
    // None keeps a reference (a closed playlist): the whole list goes to the caller at once,
    // after the objects it already holds; the list is empty and fills again from index 0.
    for (const char *n : {"x", "y"}) lib_object_list_push(&l, object(n));
    set_refs([](const lib_object &o) { return o.object == "y" ? 1 : 0; });
    EXPECT_EQ(l.live, 1);
    lib_object_list_ref(&l, l.items[2].get(), -1);
    EXPECT_EQ(l.live, 0);
    EXPECT_EQ(lib_object_list_sweep(&l, &out), 3);
    EXPECT_EQ(out.objects.size(), 6u);
    EXPECT_EQ(out.indexes.size(), 2u);
    EXPECT_EQ(l.count(), 0);
    EXPECT_EQ(lib_object_list_find_object(&l, "b"), -2);
    lib_object_list_push(&l, object("x"));
    check("filled again");
}

TEST(PlyNameFilter, NamePatternAndDays) {
    scoped_tz tz("UTC0");
    time_t may1 = utc(2024, 5, 1, 9, 0);
    EXPECT_EQ(mivrabox_ply_name_filter_at("a.ply", 1, "", 0, may1), 0);
    for (const char *bad : {"a.ply.tmp", "a.ply.ply", "a.PLY", "aply"})
        EXPECT_EQ(mivrabox_ply_name_filter_at(bad, 1, "", 0, may1), -125) << bad;
    EXPECT_EQ(mivrabox_ply_name_filter_at("a.ply.tmp", 0, "", 0, may1), 0);
    EXPECT_EQ(mivrabox_ply_name_filter_at("news_a.ply", 1, "news", 0, may1), 0);
    EXPECT_EQ(mivrabox_ply_name_filter_at("sport_a.ply", 1, "news", 0, may1), -125);

    EXPECT_EQ(accept("news_2024-05-01.ply", 1, may1), 0);
    EXPECT_EQ(accept("news_010524.ply", 1, may1), 0);
    EXPECT_EQ(accept("news_2024-05-02.ply", 1, may1), -125);
    EXPECT_EQ(accept("news_2024-05-02.ply", 5, may1), 0);
    EXPECT_EQ(accept("news_300424.ply", 2, may1), 0);
    EXPECT_EQ(accept("news_2024-05-03.ply", 8, may1), 0);
    EXPECT_EQ(accept("news_040524.ply", 16, may1), 0);
    EXPECT_EQ(accept("news_040524.ply", 15, may1), -125);
    EXPECT_EQ(mivrabox_ply_name_filter(nullptr, 0, "", 0), -22);
}

// Days around a daylight-saving change last 23 or 25 hours: counting them in seconds would
// name the wrong day for an hour.
TEST(PlyNameFilter, DaysFollowTheCalendarAcrossDaylightSaving) {
    scoped_tz tz("CET-1CEST,M3.5.0,M10.5.0/3");
    // 2024-04-01 00:30 CEST, the night after the short day of 31 March.
    time_t spring = utc(2024, 3, 31, 22, 30);
    EXPECT_EQ(accept("p_2024-03-31.ply", 2, spring), 0);
    EXPECT_EQ(accept("p_2024-03-30.ply", 2, spring), -125);
    EXPECT_EQ(accept("p_2024-04-01.ply", 1, spring), 0);
    // 2024-10-27 23:30 CET, the evening of the long day.
    time_t autumn = utc(2024, 10, 27, 22, 30);
    EXPECT_EQ(accept("p_261024.ply", 2, autumn), 0);
    EXPECT_EQ(accept("p_271024.ply", 2, autumn), -125);
    EXPECT_EQ(accept("p_2024-10-28.ply", 4, autumn), 0);
    EXPECT_EQ(accept("p_2024-10-30.ply", 16, autumn), 0);
}
