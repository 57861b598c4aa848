// Whois lookups over real HTTP against the fake endpoint, alone and through the resolver.
#include <chrono>

#include "whois_fake.h"
#include "meta_resolve.h"

namespace {

struct WhoisTest : ::testing::Test {
    whois_fake fake;
    whois_config wc;
    void SetUp() override {
        bus_test_pin();
        oxt::log_path();
        ASSERT_GT(fake.port, 0);
        wc.arg[0] = fake.url();
        whois_init(&wc);
    }
    int lookup(const char *id, const char *tag, std::vector<std::string> *out = nullptr) {
        char **pairs = nullptr;
        int r = whois_method_0(&wc, id, tag, &pairs);
        if (pairs) {
            for (char **p = pairs; *p; p++)
                if (out) out->push_back(*p);
            strv_free(&pairs);
        }
        return r;
    }
};

TEST_F(WhoisTest, RepliesAndFailures) {
    fake.reply(R"("match": "id=good", "body": "artist\tX\r\n\tY\r\ntitle\tZ\r\n")");
    fake.reply(R"("match": "id=missing", "status": 404, "body": "a\tb")");
    fake.reply(R"("match": "id=empty", "body": "")");
    fake.reply(R"("match": "id=notab", "body": "no pairs\nhere\n")");
    fake.reply(R"("match": "id=huge", "body": "a\tb\n", "size": 1048577)");
    fake.reply(R"("match": "id=large", "body": "a\tb\n", "size": 1048576)");
    std::vector<std::string> kv;
    EXPECT_EQ(lookup("good#", "a tag", &kv), 2);
    EXPECT_EQ(kv, (std::vector<std::string>{"artist", "X\nY", "title", "Z"}));
    EXPECT_EQ(fake.requests().back(), "/whois?id=good&tag=a%20tag");
    EXPECT_EQ(lookup("missing", ""), -14);
    EXPECT_EQ(lookup("empty", ""), -42);
    EXPECT_EQ(lookup("notab", ""), -2);
    EXPECT_EQ(lookup("huge", ""), -14);  // one byte over the cap
    EXPECT_EQ(lookup("large", ""), 1);   // exactly the cap
    wc.method = 1;
    EXPECT_EQ(lookup("good", ""), -2);
    EXPECT_EQ(fake.requests().size(), 6u);  // method 1 asks nobody
    // Nobody listening: a failed transfer.
    wc.method = 0;
    int port = 0, fd = oxt::tcp_listen(&port);
    close(fd);
    wc.arg[0] = "http://127.0.0.1:" + std::to_string(port) + "/<MEDIA_ID>";
    EXPECT_EQ(lookup("good", ""), -14);
}

// A hung endpoint costs the time-out, not the time it hangs.
TEST_F(WhoisTest, HungEndpointTimesOut) {
    fake.reply(R"("match": "id=slow", "body": "a\tb\n", "delay": 20)");
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(lookup("slow", ""), -14);
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(took, std::chrono::milliseconds(WHOIS_TOTAL_TIMEOUT_MS + 1500));
}

// One request per event and resolution, a failure remembered for the rest of it, asked again by
// the next resolution; whois values reach only the keys that asked.
TEST_F(WhoisTest, ResolverAsksOncePerEvent) {
    ply_list *ply = nullptr;
    ASSERT_EQ(ply_new(&ply), 0);
    ply_insert_text(ply, gfx_line('C', "cur", "t0").c_str(), -1);
    ply_insert_text(ply, gfx_line('N', "nx", "t1", "", "", "00:00:10:00", "tg").c_str(), -1);
    fake.reply(R"("match": "id=cur", "body": "label\tL\nartist\tA\n")");
    fake.reply(R"("match": "id=nx", "status": 500)");
    std::vector<std::string> keys = {"current.whois.label", "curr.whois.artist",
                                     "current.whois.none",  "next.whois.label",
                                     "nextN0.whois.label",  "current.ply.title"};
    for (int round = 1; round <= 2; round++) {
        const std::vector<std::string> vals = mivrabox_event_meta_pairs_resolve(
            ply->items[0], 0, ply->count(), ply->items.data(), keys, &wc);
        ASSERT_EQ(vals.size(), 6u);
        EXPECT_EQ(vals[0], "L");
        EXPECT_EQ(vals[1], "A");
        EXPECT_EQ(vals[2], "");
        EXPECT_EQ(vals[3], "");
        EXPECT_EQ(vals[4], "");
        EXPECT_EQ(vals[5], "t0");
        auto reqs = fake.requests();
        ASSERT_EQ(reqs.size(), size_t(2 * round));
        EXPECT_EQ(reqs[size_t(2 * round - 1)], "/whois?id=nx&tag=tg");
    }
    EXPECT_EQ(ply->items[0]->meta_count(), 0);  // the resolver changes no event
    ply_free(&ply);
}

}  // namespace
