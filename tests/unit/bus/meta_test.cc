// Placeholder filling, metadata keys, the resolver over a playlist copy and the whois reply form.
#include <memory>

#include "bus_test_util.h"
#include "wait_util.h"
#include "meta_resolve.h"

namespace {

// The resolver's values; a key without one has the empty text.
struct resolved {
    std::vector<std::string> v;
    const char *at(int i) const { return v.at(size_t(i)).c_str(); }
};

TEST(MetaFill, OnePassNeverRescansInsertedText) {
    std::vector<std::string> keys;
    meta_keys_collect("<a/> and <b/> and <a/>", keys);
    EXPECT_EQ(keys, (std::vector<std::string>{"a", "b"}));
    // A value holding its own placeholder, or another key's, goes out as it is.
    char a[] = "<a/>!", b[] = "<a/>";
    char *vals[] = {a, b};
    EXPECT_EQ(meta_keys_fill("<a/> and <b/> and <a/>", keys, vals), "<a/>! and <a/> and <a/>!");
    // Missing values leave empty texts.
    char *none[] = {nullptr, nullptr};
    EXPECT_EQ(meta_keys_fill("x<a/>y<b/>z", keys, none), "xyz");
}

TEST(MetaFill, LiteralAngleBracketsStayText) {
    std::vector<std::string> keys;
    std::string text = "a < b <current.ply.title/> c<> <x> <y/>";
    meta_keys_collect(text, keys);
    EXPECT_EQ(keys, (std::vector<std::string>{"current.ply.title", "y"}));
    char t[] = "T", y[] = "Y";
    char *vals[] = {t, y};
    EXPECT_EQ(meta_keys_fill(text, keys, vals), "a < b T c<> <x> Y");
    keys.clear();
    meta_keys_collect("<//> </> <<k/>", keys);  // "/" is a key; "</>" has none
    EXPECT_EQ(keys, (std::vector<std::string>{"/", "k"}));
}

TEST(MetaFill, ResultStaysWithinItsBound) {
    std::vector<std::string> keys = {"k"};
    std::string big(3000, 'v');
    char *vals[] = {big.data()};
    EXPECT_EQ(meta_keys_fill("<k/><k/>", keys, vals).size(), 4095u);
}

TEST(MetaFill, ReplacePlaceholderInPlace) {
    char text[4096] = "id=<ID>&x=<ID>";
    replace_placeholder(text, "<ID>", "abc");
    EXPECT_STREQ(text, "id=abc&x=<ID>");
    replace_placeholder(text, "<TAG>", "zzz");  // none: unchanged
    EXPECT_STREQ(text, "id=abc&x=<ID>");
    std::string big(4093, 'v');
    replace_placeholder(text, "<ID>", big.c_str());  // would pass 4095: nothing replaced
    EXPECT_STREQ(text, "id=abc&x=<ID>");
    std::string tail(4000, 't');
    snprintf(text, sizeof text, "<P>%s", tail.c_str());
    replace_placeholder(text, "<P>", std::string(200, 'v').c_str());
    EXPECT_EQ(strlen(text), 4095u);  // cut, still terminated
    EXPECT_EQ(std::string(text, 200), std::string(200, 'v'));
}

TEST(MetaKey, Forms) {
    struct {
        const char *text;
        int method, target, index;
        const char *name;
    } ok[] = {
        {"current.ply.title", META_PLY, 0, 0, "title"},
        {"curr.meta.artist", META_META, 0, 0, "artist"},
        {"next.whois.label", META_WHOIS, 255, 0, "label"},
        {"next3.ply.type", META_PLY, 255, 3, "type"},
        {"nextN1.meta.artist", META_META, 'N', 1, "artist"},
        {"nextZ9.ply.", META_PLY, 'Z', 9, ""},
    };
    for (auto &c : ok) {
        mivrabox_meta_key k;
        ASSERT_EQ(mivrabox_event_meta_key_parse(c.text, &k), 0) << c.text;
        EXPECT_EQ(k.method, c.method) << c.text;
        EXPECT_EQ(k.target, c.target) << c.text;
        EXPECT_EQ(k.index, c.index) << c.text;
        EXPECT_STREQ(k.name, c.name) << c.text;
    }
    for (const char *bad : {"later.ply.title", "current.plyx", "next.x.y", "nextn0.ply.title",
                            "nextNN.ply.title", "next10.ply.a", "", "current"}) {
        mivrabox_meta_key k;
        EXPECT_EQ(mivrabox_event_meta_key_parse(bad, &k), -2) << bad;
    }
}

struct ResolveTest : ::testing::Test {
    ply_list *ply = nullptr;
    void SetUp() override {
        bus_test_pin();
        ASSERT_EQ(ply_new(&ply), 0);
    }
    void TearDown() override { ply_free(&ply); }
    void add(char type, const std::string &media, const std::string &title,
             const std::string &meta = "") {
        std::string line = gfx_line(type, media, title, "", meta, "00:00:10:00");
        ASSERT_GE(ply_insert_text(ply, line.c_str(), -1), 0) << line;
    }
    resolved resolve(int cued, std::vector<std::string> keys, const whois_config *wc = nullptr) {
        resolved h{mivrabox_event_meta_pairs_resolve(ply->items[size_t(cued)], cued, ply->count(),
                                                     ply->items.data(), keys, wc)};
        EXPECT_EQ(h.v.size(), keys.size());
        return h;
    }
};

TEST_F(ResolveTest, TargetsCountEveryScannedEventOfTheirType) {
    add('C', "c0", "cued", "artist=me");
    add('P', "p1", "promo1");
    add('N', "n1", "news1", "artist=A1");
    add('P', "p2", "promo2");
    add('N', "n2", "news2", "artist=A2");
    auto all = resolve(0, {"next.ply.title", "nextN0.meta.artist", "nextN1.meta.artist",
                           "curr.meta.artist", "next1.ply.title", "nextP1.ply.media_id"});
    EXPECT_STREQ(all.at(0), "promo1");
    EXPECT_STREQ(all.at(1), "A1");
    EXPECT_STREQ(all.at(2), "A2");
    EXPECT_STREQ(all.at(3), "me");
    EXPECT_STREQ(all.at(4), "news1");  // the second event after the cued one, any type
    EXPECT_STREQ(all.at(5), "p2");
    EXPECT_EQ(all.v.size(), 6u);
    // Asked alone, nextN1. still names the second N event.
    auto alone = resolve(0, {"nextN1.meta.artist"});
    EXPECT_STREQ(alone.at(0), "A2");
    // Nothing past the end, bad keys, unknown fields and pairs.
    auto none = resolve(3, {"nextN1.ply.title", "later.ply.title", "current.ply.nope",
                            "current.meta.nope", "nextN5.ply.title", "next.ply.title"});
    for (int i = 0; i < 5; i++) EXPECT_EQ(none.v[size_t(i)], "") << i;
    EXPECT_STREQ(none.at(5), "news2");
}

TEST_F(ResolveTest, PlaylistFields) {
    add('C', "/media/news/clip01.mxf#", "T");
    add('C', "dir/archive.tar.gz", "T2");
    mivrabox_event *e = ply->items[0];
    e->start = (int64_t(14) * 3600 + 5 * 60 + 9) * 1000 + 80;  // 14:05:09 and 2 frames, UTC
    e->start_time = "14:05:09:02";
    auto v =
        resolve(0, {"current.ply.start_time_HH_MM", "current.ply.start_time_HH_MM_SS",
                    "current.ply.media_file", "current.ply.media_file_id", "current.ply.type",
                    "current.ply.duration", "current.ply.start_time", "next.ply.media_file_id"});
    EXPECT_STREQ(v.at(0), "14:05");
    EXPECT_STREQ(v.at(1), "14:05:09");
    EXPECT_STREQ(v.at(2), "clip01.mxf");
    EXPECT_STREQ(v.at(3), "clip01");
    EXPECT_STREQ(v.at(4), "C");
    EXPECT_STREQ(v.at(5), "00:00:10:00");
    EXPECT_STREQ(v.at(6), "14:05:09:02");
    EXPECT_STREQ(v.at(7), "archive.tar.gz");  // only a three-letter extension goes
}

TEST(WhoisReply, LinesPairsAndContinuations) {
    std::vector<std::string> kv;
    EXPECT_EQ(whois_reply_parse("artist\tX\r\n\tY\r\ntitle\tZ\r\n", kv), 2);
    EXPECT_EQ(kv, (std::vector<std::string>{"artist", "X\nY", "title", "Z"}));
    kv.clear();
    EXPECT_EQ(whois_reply_parse("\tlost\nno tab here\n\n\ra\tb\tc\rk\t", kv), 2);
    EXPECT_EQ(kv, (std::vector<std::string>{"a", "b\tc", "k", ""}));
    kv.clear();
    EXPECT_EQ(whois_reply_parse("nothing\nat all", kv), 0);
    EXPECT_TRUE(kv.empty());
}

TEST(WhoisUrl, BothPlaceholdersInOnePassEncoded) {
    std::string url;
    ASSERT_EQ(whois_url("http://h/q?id=<MEDIA_ID>&t=<TAG>&again=<TAG>", "a b/<TAG>&c#", "x&y", url),
              0);
    // The id's own "<TAG>" is not filled and both values are percent-encoded.
    EXPECT_EQ(url, "http://h/q?id=a%20b%2F%3CTAG%3E%26c&t=x%26y&again=<TAG>");
    ASSERT_EQ(whois_url("http://h/<MEDIA_ID>", "clip#", "", url), 0);
    EXPECT_EQ(url, "http://h/clip");
    EXPECT_EQ(whois_url(("http://h/" + std::string(4080, 'p') + "<MEDIA_ID>").c_str(),
                        std::string(100, 'm').c_str(), "", url),
              -22);
}

TEST(Strv, AddDupAndFree) {
    char **v = nullptr;
    int n = 0;
    EXPECT_EQ(strv_add_dup(&v, &n, "a"), 0);
    EXPECT_EQ(strv_add(&v, &n, strdup("b")), 0);
    EXPECT_EQ(strv_add_dup(&v, &n, nullptr), -22);
    ASSERT_EQ(n, 2);
    EXPECT_STREQ(v[1], "b");
    EXPECT_EQ(v[2], nullptr);
    strv_free(&v);
    EXPECT_EQ(v, nullptr);
    EXPECT_EQ(strv_free_n(&v, &n), -22);
}

}  // namespace
