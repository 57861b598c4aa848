// Media library wrappers against the library fake: wire forms, lenient item decoding, listing
// paths and order, the change list, and the failure texts.
#include "mivra_fake_fixture.h"
#include "mivra_lib.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

class LibTest : public mivra_fake_fixture {
   protected:
    int start_fakes() override { return fake.start({"lib"}); }
    void add(const char *path, double duration = 10, const char *id = "") {
        ctl("Fake.AddItem", "(s{s:d,s:s})", path, "duration", duration, "id", id);
    }
};

std::vector<std::string> names(const std::vector<mivra_lib_item> &items) {
    std::vector<std::string> out;
    for (auto &i : items) out.push_back(i.name.str() + "=" + i.path.str());
    return out;
}

}  // namespace

TEST_F(LibTest, ListItemsBuildsPathsSortsAndPages) {
    for (const char *p : {"media/b.mxf", "media/A.mxf", "media/c.mxf"}) add(p);
    std::vector<mivra_lib_item> items;
    EXPECT_EQ(mivra_lib_list_items(u, "media", &items), 3);
    EXPECT_THAT(names(items),
                ElementsAre("A.mxf=media/A.mxf", "b.mxf=media/b.mxf", "c.mxf=media/c.mxf"));
    // A folder ending in '/' gives the same paths.
    EXPECT_EQ(mivra_lib_list_items(u, "media/", &items), 3);
    EXPECT_EQ(items[0].path.str(), "media/A.mxf");
    // Paging sends offset and count; both -1 sends the folder alone.
    EXPECT_EQ(mivra_lib_list_items2(u, "media", 1, 1, &items), 1);
    EXPECT_THAT(names(items), ElementsAre("A.mxf=media/A.mxf"));
    EXPECT_EQ(mivra_lib_list_items2(u, "media", -1, 20, &items), 3);
    EXPECT_THAT(fake.calls("MivraLib.LibListItems"),
                ElementsAre("MivraLib.LibListItems(string:\"media\")",
                            "MivraLib.LibListItems(string:\"media/\")",
                            "MivraLib.LibListItems(string:\"media\",i4:1,i4:1)",
                            "MivraLib.LibListItems(string:\"media\",i4:-1,i4:20)"));
    // Names equal but for case keep the reply's order; an empty folder gives name = path.
    add("X.mxf");
    add("x.mxf");
    EXPECT_EQ(mivra_lib_list_items(u, "", &items), 2);
    EXPECT_THAT(names(items), ElementsAre("X.mxf=X.mxf", "x.mxf=x.mxf"));
    EXPECT_EQ(mivra_lib_list_items(u, "empty", &items), 0);
    EXPECT_TRUE(items.empty());
}

TEST_F(LibTest, ItemWithoutUsableNameIsSkippedNeverAFolderPath) {
    ctl("Fake.AddItem", "(s{s:(s)})", "media/a.mxf", "omit", "name");
    ctl("Fake.AddItem", "(s{s:s})", "media/b.mxf", "name", "..");
    ctl("Fake.AddItem", "(s{s:s})", "media/c.mxf", "name", "sub/c.mxf");
    add("media/ok.mxf");
    std::vector<mivra_lib_item> items;
    CaptureStderr();
    EXPECT_EQ(mivra_lib_list_items(u, "media", &items), 1);
    std::string err = GetCapturedStderr();
    EXPECT_THAT(names(items), ElementsAre("ok.mxf=media/ok.mxf"));
    EXPECT_THAT(err, HasSubstr("mivra_lib_list_items2: item 0 with name [] skipped"));
    EXPECT_THAT(err, HasSubstr("item 1 with name [..] skipped"));
    EXPECT_THAT(err, HasSubstr("item 2 with name [sub/c.mxf] skipped"));
}

TEST_F(LibTest, ItemDecodingIsLenient) {
    ctl("Fake.AddItem", "(s{s:d,s:s,s:s,s:s,s:i,s:(ss)})", "media/clip.mxf", "duration", 12.5,
        "duration_v", "0", "r_frame_rate", "30000/1001", "st_size", "12", "extra", 1, "omit",
        "timecode", "sample_fmt");
    std::unique_ptr<mivra_lib_item> item;
    CaptureStderr();
    EXPECT_EQ(mivra_lib_meta_item(u, "media/clip.mxf", &item), 0);
    std::string err = GetCapturedStderr();
    ASSERT_TRUE(item);
    EXPECT_EQ(item->name.str(), "clip.mxf");
    EXPECT_EQ(item->path.str(), "media/clip.mxf");
    EXPECT_DOUBLE_EQ(item->duration, 12.5);
    EXPECT_DOUBLE_EQ(item->duration_eff, 12.5);  // duration_v "0"
    EXPECT_EQ(item->nb_frames, 312);             // "312", the fake rounds 12.5 * 25 to even
    EXPECT_EQ(item->width, 1920);
    EXPECT_EQ(item->display_aspect_ratio_num, 16);
    EXPECT_EQ(item->display_aspect_ratio_den, 9);
    EXPECT_EQ(item->r_frame_rate_num, 30000);
    EXPECT_EQ(item->r_frame_rate_den, 1001);
    EXPECT_EQ(item->sample_rate, 48000);
    EXPECT_EQ(item->timecode.str(), "00:00:00:00");
    EXPECT_EQ(item->sample_fmt.str(), "");
    EXPECT_EQ(item->st_size, 0);  // sent as a string: reported, left 0
    EXPECT_GT(item->st_mtime_, 1000000000);
    EXPECT_GT(item->st_ino, 1000);
    // One line per failed member (timecode, sample_fmt, st_size), marks silent.
    int lines = 0;
    for (size_t at = err.find("mivra_lib_meta_item_decompose:"); at != std::string::npos;
         at = err.find("mivra_lib_meta_item_decompose:", at + 1))
        lines++;
    EXPECT_EQ(lines, 3) << err;
    EXPECT_THAT(err, Not(HasSubstr("timecode_at_mark")));
}

TEST_F(LibTest, MetaItemClearsThePointerAndHandsNoRecordOnFailure) {
    add("media/a.mxf", 4);
    std::unique_ptr<mivra_lib_item> item = std::make_unique<mivra_lib_item>();
    EXPECT_EQ(mivra_lib_meta_item(u, "nothere", &item), -2);
    EXPECT_FALSE(item);
    item = std::make_unique<mivra_lib_item>();
    fake.script("MivraLib.LibMetaItem", "{s:{s:i}}", "reply", "result", 1);
    EXPECT_EQ(mivra_lib_meta_item(u, "a.mxf", &item), 1);
    EXPECT_FALSE(item);
    item = std::make_unique<mivra_lib_item>();
    fake.script("MivraLib.LibMetaItem", "{s:(s)}", "omit", "item");
    CaptureStderr();
    EXPECT_EQ(mivra_lib_meta_item(u, "a.mxf", &item), -14);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("mivra_lib_meta_item: decompose value failed: "));
    EXPECT_FALSE(item);
    EXPECT_EQ(mivra_lib_meta_item(u, "a.mxf", &item), 0);
    ASSERT_TRUE(item);
    EXPECT_DOUBLE_EQ(item->duration_eff, 4);
}

TEST_F(LibTest, ListDirsDescendingWithPaths) {
    for (const char *p : {"media/b/x", "media/A/x", "media/c/x"}) add(p);
    std::vector<mivra_lib_dir_entry> dirs;
    for (const char *folder : {"media", "media/"}) {
        EXPECT_EQ(mivra_lib_list_dirs(u, folder, &dirs), 3);
        ASSERT_EQ(dirs.size(), 3u);
        EXPECT_EQ(dirs[0].path.str(), "media/c");
        EXPECT_EQ(dirs[1].path.str(), "media/b");
        EXPECT_EQ(dirs[2].path.str(), "media/A");
    }
    EXPECT_EQ(mivra_lib_list_dirs(u, "", &dirs), 1);
    EXPECT_EQ(dirs[0].path.str(), "media");
    // A negative result is reported with its text and no list is handed.
    fake.script("MivraLib.LibListDirs", "{s:{s:i}}", "reply", "result", -5);
    CaptureStderr();
    EXPECT_EQ(mivra_lib_list_dirs(u, "media", &dirs), -5);
    EXPECT_THAT(GetCapturedStderr(),
                HasSubstr("mivra_lib_list_dirs: MivraLib.LibListDirs return -5 (Input/output "
                          "error)"));
    EXPECT_TRUE(dirs.empty());
}

TEST_F(LibTest, StateWithNoneSomeAndABrokenChangeList) {
    ctl("Fake.SetSpace", "(I)", int64_t(1) << 40);
    std::unique_ptr<mivra_lib_usage> st;
    EXPECT_EQ(mivra_lib_state(u, 512, &st), 0);
    ASSERT_TRUE(st);  // allocated though the list is empty
    EXPECT_EQ(st->amend_count, 0);
    EXPECT_EQ(st->amend_idx, 0);
    EXPECT_EQ(st->total_space, int64_t(1) << 40);
    EXPECT_EQ(st->free_space, int64_t(1) << 40);

    add("media/a.mxf");
    add("media/b.mxf");
    ctl("Fake.RemoveItem", "(s)", "media/a.mxf");
    EXPECT_EQ(mivra_lib_state(u, 64, &st), 3);
    ASSERT_TRUE(st);
    EXPECT_EQ(st->amend_idx, 3);
    EXPECT_EQ(st->total_items, 1);
    EXPECT_EQ(st->free_space, (int64_t(1) << 40) - 1000000);
    EXPECT_THAT(st->amend, ElementsAre("-a.mxf", "+b.mxf", "+a.mxf"));  // newest first
    EXPECT_EQ(mivra_lib_state(u, 2, &st), 2);
    EXPECT_THAT(fake.calls("MivraLib.LibState"),
                ElementsAre("MivraLib.LibState(i4:512)", "MivraLib.LibState(i4:64)",
                            "MivraLib.LibState(i4:2)"));

    // A change that does not decode fails the whole answer: the caller must ask again.
    fake.script("MivraLib.LibState", "{s:{s:((s)(i)(s))}}", "set", "amend_list", "+x", 5, "+y");
    CaptureStderr();
    EXPECT_EQ(mivra_lib_state(u, 512, &st), -14);
    std::string err = GetCapturedStderr();
    EXPECT_FALSE(st);
    EXPECT_THAT(err, HasSubstr("mivra_lib_state_iters: xmlrpc_array_read_item failed"));
    EXPECT_THAT(err, HasSubstr("mivra_lib_state/parse_custom_list: xmlrpc_array_read_item"));

    fake.script("MivraLib.LibState", "{s:(s)}", "omit", "amend_idx");
    CaptureStderr();
    EXPECT_EQ(mivra_lib_state(u, 512, &st), -14);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("mivra_lib_state: decompose value failed: "));
    fake.script("MivraLib.LibState", "{s:{s:i}}", "set", "result", -5);
    CaptureStderr();
    EXPECT_EQ(mivra_lib_state(u, 512, &st), -5);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("MivraLib.LibState return -5"));
    EXPECT_FALSE(st);
}

TEST_F(LibTest, DiskUsageAndRegisterCue) {
    add("media/a.mxf");
    std::unique_ptr<mivra_lib_usage> du;
    EXPECT_EQ(mivra_lib_disk_usage(u, &du), 0);
    ASSERT_TRUE(du);
    EXPECT_EQ(du->total_items, 1);
    EXPECT_EQ(du->used_space, 1000000);
    EXPECT_EQ(du->free_space + du->used_space, du->total_space);
    fake.script("MivraLib.LibDiskUsage", "{s:{s:s}}", "set", "used_space", "1");
    CaptureStderr();
    EXPECT_EQ(mivra_lib_disk_usage(u, &du), -14);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("mivra_lib_disk_usage: decompose value failed"));
    EXPECT_FALSE(du);

    int64_t cnt = -1, date = -1;
    EXPECT_EQ(mivra_lib_register_cue(u, "a.mxf", 3, &cnt, &date), 0);
    EXPECT_EQ(cnt, 1);
    EXPECT_GT(date, 1000000000);
    EXPECT_EQ(mivra_lib_register_cue(u, "a.mxf", 3, &cnt, nullptr), 0);
    EXPECT_EQ(cnt, 2);
    // Without addresses only "result" is read, so a reply without the counters is fine.
    fake.script("MivraLib.LibRegisterCue", "{s:(ss)}", "omit", "cue_cnt", "cue_date");
    EXPECT_EQ(mivra_lib_register_cue(u, "a.mxf", 3, nullptr, nullptr), 0);
    fake.script("MivraLib.LibRegisterCue", "{s:(s)}", "omit", "cue_date");
    CaptureStderr();
    EXPECT_EQ(mivra_lib_register_cue(u, "a.mxf", 3, &cnt, &date), -14);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("mivra_lib_register_cue: decompose 'cue_date'"));
    EXPECT_THAT(fake.calls("MivraLib.LibRegisterCue")[0],
                testing::StrEq("MivraLib.LibRegisterCue(string:\"a.mxf\",i4:3)"));
}

TEST_F(LibTest, BasenameWithAndWithoutSecondName) {
    add("media/PROMO1.mxf", 10, "PROMO1");
    text4k value, object;
    int64_t shm = 0;
    EXPECT_EQ(mivra_lib_basename_item(u, "PROMO1", nullptr, &value, &object, &shm), 0);
    EXPECT_EQ(object.str(), "PROMO1.mxf");
    EXPECT_GT(shm, 1000);
    EXPECT_EQ(mivra_lib_basename_item(u, "NEW", ".mxf", &value, &object, &shm), -2);
    EXPECT_EQ(value.str(), "NEW.mxf");
    EXPECT_EQ(shm, -1);
    EXPECT_EQ(mivra_lib_basename_item(u, "NEW", "", &value, nullptr, nullptr), -2);
    EXPECT_THAT(fake.calls("MivraLib.LibBasenameItem"),
                ElementsAre("MivraLib.LibBasenameItem(string:\"PROMO1\")",
                            "MivraLib.LibBasenameItem(string:\"NEW\",string:\".mxf\")",
                            "MivraLib.LibBasenameItem(string:\"NEW\")"));
}

TEST_F(LibTest, CommandWireFormsAndShortTexts) {
    add("media/a.mxf");
    struct {
        std::function<int()> call;
        const char *wire;
        int result;
    } cases[] = {
        {[&] { return mivra_lib_register_item(u, "a"); }, "MivraLib.LibRegisterItem(string:\"a\")",
         0},
        {[&] { return mivra_lib_create_dir(u, "new"); }, "MivraLib.LibCreateDir(string:\"new\")",
         0},
        {[&] { return mivra_lib_delete_dir(u, "new"); }, "MivraLib.LibDeleteDir(string:\"new\")",
         0},
        {[&] { return mivra_lib_rename_item(u, "media/a.mxf", "media/b.mxf"); },
         "MivraLib.LibRenameItem(string:\"media/a.mxf\",string:\"media/b.mxf\")", 0},
        {[&] { return mivra_lib_delete_item(u, "media/b.mxf"); },
         "MivraLib.LibDeleteItem(string:\"media/b.mxf\")", 0},
        {[&] { return mivra_lib_delete_item(u, "media/b.mxf"); },
         "MivraLib.LibDeleteItem(string:\"media/b.mxf\")", -2},
        {[&] { return mivra_lib_register_subclip(u, "a", 10, 20, nullptr); },
         "MivraLib.LibRegisterSubclip(string:\"a\",i4:10,i4:20,string:\"\")", 0},
        {[&] { return mivra_lib_delete_subclip(u, "a", 0); },
         "MivraLib.LibDeleteSubclip(string:\"a\",i4:0)", 0},
        {[&] { return mivra_lib_tmpl_add(u, "t"); }, "MivraLib.LibTemplateAdd(string:\"t\")", 0},
        {[&] { return mivra_lib_tmpl_clone(u, "t", "t2"); },
         "MivraLib.LibTemplateClone(string:\"t\",string:\"t2\")", 0},
        {[&] { return mivra_lib_tmpl_rename(u, "t2", "t3"); },
         "MivraLib.LibTemplateRename(string:\"t2\",string:\"t3\")", 0},
        {[&] { return mivra_lib_tmpl_replace(u, "t", "t3"); },
         "MivraLib.LibTemplateReplace(string:\"t\",string:\"t3\")", 0},
        {[&] { return mivra_lib_tmpl_del(u, "t3"); }, "MivraLib.LibTemplateDel(string:\"t3\")", 0},
        {[&] {
             return mivra_lib_tmpl_set(u, "t", {"ab", std::string("c\0d", 3)});
         },
         "MivraLib.LibTemplateSet(string:\"t\",array[array[base64:YWI=],array[base64:YwBk]])", 0},
    };
    // In order: each case works on what the cases before it left in the library.
    for (auto &c : cases) {
        EXPECT_EQ(c.call(), c.result) << c.wire;
        EXPECT_EQ(fake.calls("MivraLib.").back(), c.wire);
    }
    // A broken reply to a short-text command names the function and its argument.
    fake.script("MivraLib.LibDeleteDir", "{s:(s)}", "omit", "result");
    CaptureStderr();
    EXPECT_EQ(mivra_lib_delete_dir(u, "x"), -14);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("mivra_lib_delete_item: decompose value failed: "));
    // Nothing reachable and null texts: no "(null)" printed.
    CaptureStderr();
    EXPECT_EQ(mivra_lib_delete_item(nullptr, nullptr), -14);
    EXPECT_EQ(mivra_lib_register_cue(nullptr, nullptr, 1, nullptr, nullptr), -14);
    std::string err = GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("mivra_lib_delete_item: xmlrpc_client_callX(,) failed: "));
    EXPECT_THAT(err, Not(HasSubstr("(null)")));
}

TEST_F(LibTest, SearchReportsOnlyUnexpectedFailures) {
    add("media/a.mxf", 30);
    text4k found = "stale";
    EXPECT_EQ(mivra_lib_search_item(u, 0, nullptr, "a", &found), 0);
    EXPECT_EQ(found.str(), "a.mxf");
    EXPECT_EQ(mivra_lib_search_item_dur_range(u, 1, "x", 20.0, 40.0, &found), 0);
    EXPECT_THAT(fake.calls("MivraLib.LibSearchItemDurRange"),
                ElementsAre("MivraLib.LibSearchItemDurRange(i4:1,string:\"x\",double:20.0,"
                            "double:40.0)"));
    CaptureStderr();
    EXPECT_EQ(mivra_lib_search_item(u, 0, "", "zz", &found), -2);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(found.str(), "");
    fake.script("MivraLib.LibSearchItem", "{s:{s:i}}", "reply", "result", -5);
    CaptureStderr();
    EXPECT_EQ(mivra_lib_search_item(u, 0, "", "a", &found), -5);
    EXPECT_EQ(GetCapturedStderr(), "mivra_lib_search_item: MivraLib.LibSearchItem return -5\n");
}

TEST_F(LibTest, TemplatesFontsOverlaysSubclipsThumbs) {
    std::vector<std::string> list = {"old"};
    EXPECT_EQ(mivra_lib_list_templates(u, &list), 2);
    EXPECT_THAT(list, ElementsAre("lower_third", "clock"));
    EXPECT_EQ(mivra_lib_list_template_vars(u, "lower_third", &list), 2);
    EXPECT_THAT(list, ElementsAre("title", "subtitle"));
    CaptureStderr();
    EXPECT_EQ(mivra_lib_list_template_vars(u, "none", &list), -2);
    EXPECT_THAT(GetCapturedStderr(),
                HasSubstr("mivra_lib_list_template_vars/parse_simple_list_response: return -2"));

    // Layers and fonts are appended to what the caller holds.
    std::vector<std::string> layers = {"keep"};
    EXPECT_EQ(mivra_lib_tmpl_set(u, "clock", {std::string("a\0b", 3), "<x/>"}), 0);
    EXPECT_EQ(mivra_lib_tmpl_get(u, "clock", &layers), 2);
    EXPECT_THAT(layers, ElementsAre("keep", std::string("a\0b", 3), "<x/>"));
    std::vector<std::string> fonts;
    EXPECT_EQ(mivra_lib_tmpl_fonts(u, &fonts), 2);
    EXPECT_EQ(mivra_lib_tmpl_fonts2(u, &fonts), 2);
    EXPECT_THAT(fonts, ElementsAre("Sans\tRegular", "Sans\tBold", "Sans\tRegular", "Sans\tBold"));

    text4k built;
    const char *values[] = {"v1", nullptr};
    const char *vn[] = {"a", nullptr};
    const char *vv[] = {"1", nullptr};
    EXPECT_EQ(mivra_lib_build_template(u, &built, "clock", nullptr, 1, 2, -1, values, -1, vn, vv),
              0);
    EXPECT_EQ(built.str(), "clock|v1|a=1");
    EXPECT_THAT(fake.calls("MivraLib.LibTemplateBuild"),
                ElementsAre("MivraLib.LibTemplateBuild(string:\"clock\",string:\"\",i4:1,i4:2,"
                            "array[string:\"v1\"],struct{a=string:\"1\"})"));
    CaptureStderr();
    EXPECT_EQ(
        mivra_lib_build_template(u, &built, "none", "", 0, 0, 0, nullptr, 0, nullptr, nullptr), -2);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("MivraLib.LibTemplateBuild return -2 (No such"));

    std::vector<mivra_lib_overlay> tree;
    EXPECT_EQ(mivra_lib_list_overlays(u, &tree), 2);
    ASSERT_EQ(tree.size(), 2u);
    EXPECT_EQ(tree[0].path.str(), "ovl/logos");
    EXPECT_EQ(tree[0].size, 1);
    ASSERT_EQ(tree[0].children.size(), 1u);
    EXPECT_EQ(tree[0].children[0].name.str(), "logo.png");
    EXPECT_EQ(tree[0].children[0].size, 1234);
    EXPECT_TRUE(tree[1].children.empty());
    fake.script("MivraLib.LibListOverlays", "{s:{s:({s:s,s:({s:s})})}}", "set", "list", "path", "p",
                "list", "name", "n");
    CaptureStderr();
    EXPECT_EQ(mivra_lib_list_overlays(u, &tree), -14);
    EXPECT_THAT(GetCapturedStderr(),
                HasSubstr("mivra_lib_list_overlays_level: xmlrpc_decompose_value failed"));
    EXPECT_TRUE(tree.empty());

    std::vector<mivra_lib_subclip> subs;
    EXPECT_EQ(mivra_lib_list_subclips(u, "a", &subs, 77), 0);
    ASSERT_EQ(mivra_lib_register_subclip(u, "a", 5, 50, "one"), 0);
    ASSERT_EQ(mivra_lib_register_subclip(u, "a", 60, 10, "two"), 0);
    EXPECT_EQ(mivra_lib_list_subclips(u, "a", &subs, 77), 2);
    EXPECT_EQ(subs[1].index, 1);
    EXPECT_EQ(subs[1].mark_in, 60);
    EXPECT_EQ(subs[1].title.str(), "two");
    EXPECT_EQ(subs[1].tag, 77);

    std::string png;
    EXPECT_EQ(mivra_lib_thumb_item(u, "a", "b", 1, 2, &png), 0);
    EXPECT_EQ(png, std::string("\x89PNG\r\n\x1a\na", 9));
    EXPECT_EQ(mivra_lib_thumb_overlay(u, "l", &png), 0);
    EXPECT_EQ(png.size(), 9u);
    fake.script("MivraLib.LibThumbOverlay", "{s:{s:s}}", "set", "png", "not base64");
    CaptureStderr();
    EXPECT_EQ(mivra_lib_thumb_overlay(u, "l", &png), -14);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("mivra_lib_thumb_overlay: xmlrpc_client_callX("));
    text4k ov;
    EXPECT_EQ(mivra_lib_basename_overlay(u, "x/logo.png", &ov), 0);
    EXPECT_EQ(ov.str(), "ovl/logos/logo.png");
}
