// Graphics layers driven against the fake device over real TCP: the connect handshake, tallies,
// item preparation, the exact command sequence of a cue, a play and the idle walk on a test
// clock, placeholders filled at cue time (also from a real whois endpoint), and the listing.
#include <atomic>
#include <future>

#include "box2_bus.h"
#include "bus_test_util.h"
#include "oxtel_test_util.h"
#include "whois_fake.h"

namespace {

using oxt::eventually;

std::atomic<int64_t> g_now{0};
int64_t test_now(const bus *) {
    return g_now.load() * 1000;
}

constexpr int64_t kStart = 1700000000000;

struct GfxTest : ::testing::Test {
    temp_dir dir;
    oxt::fake_device dev{{"--answer"}};
    box2_bus *b = nullptr;
    bus_hooks hooks;  // the daemon's, on the test's clock
    size_t mark = 0;  // messages of the device already looked at

    void SetUp() override {
        bus_test_pin();
        oxt::log_path();
        ASSERT_GT(dev.port, 0);
        bus *nb = nullptr;
        ASSERT_EQ(box2_bus_new(&nb), 0);
        b = box2_of(nb);
        b->path = dir.path.string();
        hooks = *b->hooks;
        hooks.now_us = test_now;
        b->hooks = &hooks;
        g_now = kStart;
        b->oxtel.type = OXTEL_CLIENT;
        b->oxtel.address = "127.0.0.1:" + std::to_string(dev.port);
        b->oxtel.user = b;
        box2_cg_link_setup(b);
        ASSERT_EQ(oxtel_net_run(&b->oxtel), 0);
        ASSERT_EQ(take(2), (std::vector<std::string>{"Y61", "Y6"}));
    }
    void TearDown() override {
        if (!b) return;  // the set-up stopped before the bus was made
        oxtel_net_stop(&b->oxtel);
        bus *nb = b;
        bus_free(&nb);
    }
    // The next n messages the device received.
    std::vector<std::string> take(size_t n) {
        EXPECT_TRUE(dev.wait_received(mark + n)) << "wanted " << n << " more";
        auto all = dev.received();
        std::vector<std::string> out(all.begin() + long(std::min(mark, all.size())),
                                     all.begin() + long(std::min(mark + n, all.size())));
        mark += n;
        return out;
    }
    // Sends a marker through the link and returns what came before it: every command queued so
    // far, and nothing that was not.
    std::vector<std::string> drain() {
        oxtel_send(&b->oxtel, -1, "Y60", 3);
        EXPECT_TRUE(eventually([&] {
            auto all = dev.received();
            return all.size() > mark && all.back() == "Y60";
        }));
        auto all = dev.received();
        std::vector<std::string> out(all.begin() + long(mark), all.end() - 1);
        mark = all.size();
        oxtel_send(&b->oxtel, -1, "Y61", 3);  // tallies back on
        take(1);
        return out;
    }
    mivrabox_event *add(const std::string &line) {
        EXPECT_GE(bus_ply_insert_event_by_idx(b, line.c_str(), -1, nullptr), 0) << line;
        return b->playlist->items.back();
    }
    // The event as the play code leaves it when graphics go to air.
    void playing(mivrabox_event *e) {
        e->flags = (e->flags | MIVRABOX_F_PLAYING) & ~uint64_t(MIVRABOX_F_ON_AIR);
        e->start = g_now;
    }
    void on_air(mivrabox_event *e) { e->flags |= MIVRABOX_F_ON_AIR; }
    void at_frame(int64_t f) { g_now = b->playlist->items[0]->start + f * CG_FRAME_MS; }
    const cg_item *current(int layer) { return b->cg.current[layer].get(); }
    const cg_item *next(int layer) { return b->cg.next[layer].get(); }
    // The device's image tally of a layer, as its callbacks left it.
    std::string image_tally(int layer) {
        std::lock_guard lk(b->cg.tally_mu);
        return b->cg.image_tally[layer].str();
    }
    bool loaded(int layer, const char *templ) {
        return eventually([&] { return image_tally(layer) == templ; });
    }
    // Key-off of every layer but those listed, in layer order, with the loads between.
    static std::vector<std::string> play_seq(std::vector<std::pair<int, std::string>> loads) {
        std::vector<std::string> out;
        for (int i = 0; i < CG_LAYERS; i++) {
            char k[8];
            snprintf(k, sizeof k, "3%X 0", i);
            out.push_back(k);
            for (auto &l : loads)
                if (l.first == i) {
                    snprintf(k, sizeof k, "R0%x", i);
                    out.push_back(k + l.second);
                }
        }
        return out;
    }
};

TEST_F(GfxTest, TalliesFollowTheDeviceAndClearOnReconnect) {
    dev.run("send Y93LOGO:33 1:Y94A\\\\3Ab:");
    ASSERT_TRUE(loaded(4, "A:b"));
    EXPECT_EQ(image_tally(3), "LOGO");
    EXPECT_EQ(box2_cg_key_tally(b, 3), 1);
    dev.run("send Y93>:");
    ASSERT_TRUE(loaded(3, ""));
    // A new connection starts from nothing and asks again.
    dev.run("close");
    ASSERT_EQ(take(2), (std::vector<std::string>{"Y61", "Y6"}));
    EXPECT_EQ(image_tally(4), "");
    EXPECT_EQ(box2_cg_key_tally(b, 3), 0);
    EXPECT_TRUE(oxt::log_waits_for("oxtel_cb_conn: conn=0"));
    EXPECT_TRUE(oxt::log_waits_for("tally _CutKeyer: 3 1"));
}

TEST_F(GfxTest, ItemPreparation) {
    cg_chain next[CG_LAYERS];
    mivrabox_event *e = add(gfx_line(
        'C', "m", "t", "LOGO++LOGO+LOGO+bad:name",
        "DSK@LOGO#0=1|DSK@LOGO#1=2|0@LOGO#1=hello|15@LOGO#1=last|in@LOGO#1=-50|out@LOGO#1=-10|"
        "dur@LOGO#0=25|in@LOGO#0=5|in@LOGO#0=7|LOOP_OUT@LOGO#0=3|DSK@bad:name#0=4|DSK@LOGO#2=16"));
    bus_cg_cue_item_preps(b, e, 750, next);
    ASSERT_TRUE(next[1] && next[2]);
    EXPECT_FALSE(next[1]->next || next[2]->next || next[4]);
    const cg_item &a = *next[1], &c = *next[2];
    EXPECT_EQ(a.flags, CG_F_DSK | CG_F_DUR | CG_F_IN | CG_F_LOOP_OUT);
    EXPECT_EQ(a.in, 7);  // a later pair overrides
    EXPECT_EQ(cg_item_start(&a), 7);
    EXPECT_EQ(cg_item_end(&a), 32);
    EXPECT_EQ(*c.box[0], "hello");
    EXPECT_EQ(*c.box[15], "last");
    EXPECT_FALSE(c.box[1]);
    EXPECT_EQ(cg_item_start(&c), 700);
    EXPECT_EQ(cg_item_end(&c), 740);
    EXPECT_TRUE(oxt::log_waits_for("bus_cg_cue_item_preps: template [LOGO] has no DSK specified"));
    EXPECT_TRUE(oxt::log_waits_for("template [bad:name] holds ':', dropped"));
    // Without a known event length, points counted from the end stay unset.
    cg_chain unknown[CG_LAYERS];
    bus_cg_cue_item_preps(b, e, 0, unknown);
    ASSERT_TRUE(unknown[2]);
    EXPECT_EQ(unknown[2]->flags, CG_F_DSK);
    EXPECT_EQ(cg_item_start(unknown[2].get()), 0);
    EXPECT_EQ(cg_item_end(unknown[2].get()), 0);
}

// The exact device traffic of one event: nothing at cue, key-offs and loads at play, then the
// idle walk on the frames of its metadata.
TEST_F(GfxTest, CuePlayAndIdleSequence) {
    mivrabox_event *e =
        add(gfx_line('C', "m", "Title", "LOWER+LOGO",
                     "DSK@LOWER#0=2|0@LOWER#0=<current.ply.title/> now|1@LOWER#0=<nope.x/>|"
                     "in@LOWER#0=50|out@LOWER#0=500|LOOP_OUT@LOWER#0=100|DSK@LOGO#0=5"));
    ASSERT_EQ(bus_cg_cue(b, e), 0);
    ASSERT_TRUE(next(2) && next(5));
    EXPECT_EQ(*next(2)->box[0], "Title now");
    EXPECT_EQ(*next(2)->box[1], "");
    EXPECT_TRUE(drain().empty());

    playing(e);
    ASSERT_EQ(bus_cg_play(b), 0);
    on_air(e);
    EXPECT_EQ(drain(), play_seq({{2, "LOWER"}, {5, "LOGO"}}));
    EXPECT_EQ(current(2)->state, CG_LOADING);
    ASSERT_TRUE(loaded(2, "LOWER") && loaded(5, "LOGO"));

    at_frame(0);
    ASSERT_EQ(bus_cg_idle(b), 0);
    EXPECT_EQ(drain(),
              (std::vector<std::string>{"Z02000Title now", "Z02010", "Z35ff", "S45", "35 1"}));
    EXPECT_EQ(current(2)->state, CG_TEXTED);
    EXPECT_EQ(current(5)->state, CG_LOOPED_OUT);  // no end: it stays until the next play
    at_frame(49);
    bus_cg_idle(b);
    EXPECT_TRUE(drain().empty());
    at_frame(50);
    bus_cg_idle(b);
    EXPECT_EQ(drain(), (std::vector<std::string>{"Z32ff", "S42", "32 1"}));
    at_frame(399);
    bus_cg_idle(b);
    EXPECT_TRUE(drain().empty());
    at_frame(400);
    bus_cg_idle(b);
    EXPECT_EQ(drain(), (std::vector<std::string>{"S120"}));
    at_frame(500);
    bus_cg_idle(b);
    EXPECT_EQ(drain(), (std::vector<std::string>{"32 0"}));
    EXPECT_EQ(current(2), nullptr);
    ASSERT_NE(current(5), nullptr);
    EXPECT_TRUE(oxt::log_waits_for("bus_cg_idle: [0]@500 cleaning 2"));

    // Nothing plays: the walk waits.
    e->flags = 0;
    EXPECT_EQ(bus_cg_idle(b), -11);
}

// Relative points and chains: an in point counted back from the end, and the next item of a
// layer taking over once the first is cleaned.
TEST_F(GfxTest, RelativeInPointAndChains) {
    mivrabox_event *e = add(gfx_line(
        'C', "m", "t", "A+B", "DSK@A#0=3|in@A#0=-50|dur@A#0=10|DSK@B#0=3|in@B#0=0", "00:00:30:00"));
    dev.run("send Y93A:");  // already on the device: no load at all
    ASSERT_TRUE(loaded(3, "A"));
    ASSERT_EQ(bus_cg_cue(b, e), 0);
    playing(e);
    bus_cg_play(b);
    on_air(e);
    EXPECT_EQ(current(3)->state, CG_TEXTED);
    drain();
    at_frame(699);
    bus_cg_idle(b);
    EXPECT_TRUE(drain().empty());
    at_frame(700);  // 750 - 50
    bus_cg_idle(b);
    EXPECT_EQ(drain(), (std::vector<std::string>{"Z33ff", "S43", "33 1"}));
    at_frame(710);
    bus_cg_idle(b);
    EXPECT_EQ(drain(), (std::vector<std::string>{"33 0"}));
    ASSERT_NE(current(3), nullptr);
    EXPECT_EQ(current(3)->templ, "B");
    bus_cg_idle(b);
    // The device may answer the load before the walk looks for it; B then goes on at once.
    std::vector<std::string> seq = drain();
    const std::vector<std::string> on{"R03B", "Z33ff", "S43", "33 1"};
    EXPECT_TRUE(seq == std::vector<std::string>{"R03B"} || seq == on)
        << testing::PrintToString(seq);
}

// On the real clock, with the idle walk run about every millisecond as the scheduler does: the
// in, loop-out and out points of a layer are met within 50 ms.
TEST_F(GfxTest, LayerTimingsOnTheWallClock) {
    b->hooks = &bus_hooks_none;
    dev.run("send Y92T:");
    ASSERT_TRUE(loaded(2, "T"));
    mivrabox_event *e =
        add(gfx_line('C', "m", "t", "T", "DSK@T#0=2|in@T#0=10|out@T#0=40|LOOP_OUT@T#0=15"));
    ASSERT_EQ(bus_cg_cue(b, e), 0);
    using clk = std::chrono::steady_clock;
    clk::time_point t0, seen[3];
    {
        std::lock_guard lk(b->lock);
        playing(e);
        e->start = mivrabox_now_ms();
        t0 = clk::now();
        bus_cg_play(b);
        on_air(e);
    }
    // Points passed: started (in), looped out (out minus loop-out), gone (out).
    for (int k = 0; k < 3 && clk::now() - t0 < std::chrono::seconds(5);) {
        {
            std::lock_guard lk(b->lock);
            bus_cg_idle(b);
            int st = current(2) ? current(2)->state : CG_LAST + 1;
            const int reached[3] = {CG_STARTED, CG_LOOPED_OUT, CG_LAST + 1};
            while (k < 3 && st >= reached[k]) seen[k++] = clk::now();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(800));
    }
    const int want_ms[3] = {400, 1000, 1600};
    for (int k = 0; k < 3; k++) {
        auto at = std::chrono::duration_cast<std::chrono::milliseconds>(seen[k] - t0).count();
        EXPECT_NEAR(double(at), want_ms[k], 50.0) << "point " << k;
    }
    // Already on the device: texted at play, keyed on at its in point.
    std::vector<std::string> want = play_seq({});
    want.insert(want.begin() + 3, "Z32ff");
    want.erase(want.begin() + 2);
    for (const char *m : {"Z32ff", "S42", "32 1", "S120", "32 0"}) want.push_back(m);
    EXPECT_EQ(drain(), want);
}

// A play promotes only the graphics built for the event it plays; an event that left the
// playlist prepares nothing.
TEST_F(GfxTest, PlayOfAnotherEventKeysOff) {
    mivrabox_event *a = add(gfx_line('C', "a", "a", "LOGO", "DSK@LOGO#0=1"));
    mivrabox_event *other = add(gfx_line('C', "b", "b"));
    ASSERT_EQ(bus_cg_cue(b, a), 0);
    playing(other);
    bus_cg_play(b);
    EXPECT_EQ(drain(), play_seq({}));
    EXPECT_EQ(current(1), nullptr);
    EXPECT_NE(next(1), nullptr);  // still a's, should a play after all
    mivrabox_event gone;
    gone.sys_id = 999999;
    EXPECT_EQ(bus_cg_cue(b, &gone), -2);
    EXPECT_NE(next(1), nullptr);
    // When a plays after all, its items go to air, once.
    on_air(other);
    playing(a);
    bus_cg_play(b);
    ASSERT_NE(current(1), nullptr);
    EXPECT_EQ(current(1)->templ, "LOGO");
    EXPECT_EQ(next(1), nullptr);
    on_air(a);
    bus_cg_play(b);
    EXPECT_EQ(current(1), nullptr);
}

// A template the device already shows is re-texted and keyed without a reload; a layer keyed
// on with a later start is keyed off until then; layers without an item are keyed off.
TEST_F(GfxTest, AlreadyLoadedLayers) {
    dev.run("send Y95LOGO:Y96CLOCK:36 1:");
    ASSERT_TRUE(loaded(5, "LOGO") && loaded(6, "CLOCK"));
    ASSERT_TRUE(eventually([&] { return box2_cg_key_tally(b, 6) == 1; }));
    mivrabox_event *e = add(gfx_line('C', "m", "t", "LOGO+CLOCK",
                                     "DSK@LOGO#0=5|0@LOGO#0=hi|DSK@CLOCK#0=6|in@CLOCK#0=25"));
    ASSERT_EQ(bus_cg_cue(b, e), 0);
    playing(e);
    bus_cg_play(b);
    std::vector<std::string> want = play_seq({});
    want.erase(want.begin() + 5, want.begin() + 7);
    want.insert(want.begin() + 5, {"Z05000hi", "Z35ff", "S45", "35 1", "Z36ff", "36 0"});
    EXPECT_EQ(drain(), want);
    EXPECT_EQ(current(5)->state, CG_STARTED);
    EXPECT_EQ(current(6)->state, CG_TEXTED);
}

TEST_F(GfxTest, DefaultAssetsOfTheSameType) {
    std::string defaults =
        gfx_line('C', "x", "x", "BUG", "DSK@BUG#0=7|0@BUG#0=<current.ply.title/>") + "\n" +
        gfx_line('N', "y", "y", "NEWSBUG", "DSK@NEWSBUG#0=8") + "\n";
    ASSERT_EQ(file_write_atomic(dir.file("defaults.ply"), defaults), 0);
    b->default_asset = "defaults.ply";
    mivrabox_event *e = add(gfx_line('C', "m", "Mine", "+LOGO", "DSK@LOGO#0=7"));
    ASSERT_EQ(bus_cg_cue(b, e), 0);
    ASSERT_NE(next(7), nullptr);
    EXPECT_EQ(next(7)->templ, "BUG");
    EXPECT_EQ(*next(7)->box[0], "Mine");  // filled from the cued event
    ASSERT_NE(next(7)->next, nullptr);
    EXPECT_EQ(next(7)->next->templ, "LOGO");
    EXPECT_EQ(next(8), nullptr);
    // With assets of its own the event takes only those; an unreadable file adds nothing.
    e = add(gfx_line('C', "m", "Mine", "LOGO", "DSK@LOGO#0=7"));
    ASSERT_EQ(bus_cg_cue(b, e), 0);
    EXPECT_EQ(next(7)->templ, "LOGO");
    b->default_asset = "missing.ply";
    e = add(gfx_line('C', "m", "Mine", "", ""));
    ASSERT_EQ(bus_cg_cue(b, e), 0);
    for (int i = 0; i < CG_LAYERS; i++) EXPECT_EQ(next(i), nullptr);
}

// Placeholders from the playlist, the event's pairs and a real whois lookup, one request per
// cue; a hung endpoint holds only the cue, never the bus lock that play and idle need.
TEST_F(GfxTest, PlaceholdersAndWhoisAtCue) {
    whois_fake fake;
    b->whois_arg[0] = fake.url();
    fake.reply(R"("match": "id=clip", "body": "label\tThe Label\n")");
    mivrabox_event *e =
        add(gfx_line('C', "clip", "Now", "L3",
                     "DSK@L3#0=4|artist=Me|0@L3#0=<current.ply.title/>, "
                     "<curr.meta.artist/>, <current.whois.label/>, <next.ply.title/>."));
    add(gfx_line('N', "later", "Later"));
    ASSERT_EQ(bus_cg_cue(b, e), 0);
    EXPECT_EQ(*next(4)->box[0], "Now, Me, The Label, Later.");
    EXPECT_EQ(fake.requests(), (std::vector<std::string>{"/whois?id=clip&tag="}));
    ASSERT_EQ(bus_cg_cue(b, e), 0);
    EXPECT_EQ(fake.requests().size(), 2u);

    fake.reply(R"("match": "id=slow", "body": "label\tLate\n", "delay": 30)");
    mivrabox_event *slow =
        add(gfx_line('C', "slow", "S", "L3", "DSK@L3#0=4|0@L3#0=<current.whois.label/>"));
    auto cue = std::async(std::launch::async, [&] { return bus_cg_cue(b, slow); });
    ASSERT_TRUE(eventually([&] { return fake.requests().size() == 3; }));
    playing(e);
    bus_cg_play(b);  // not blocked by the hung lookup
    on_air(e);
    EXPECT_EQ(cue.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    EXPECT_EQ(current(4)->templ, "L3");
    EXPECT_EQ(cue.get(), 0);  // after the lookup's time-out, with an empty text
    EXPECT_EQ(*next(4)->box[0], "");
}

// The listing handshake against the device: names one by one until the end of the list; an
// answer while no listing runs changes nothing.
TEST_F(GfxTest, TemplateListing) {
    dev.run("templates beta,a:b,gamma");
    auto list = [&] {
        std::unique_lock lk(b->tmpl.mu);
        b->tmpl.busy = 1;
        b->tmpl.done = false;
        box2_cg_tmpl_request(b);
        bool done = b->tmpl.cv.wait_for(lk, std::chrono::seconds(5), [&] { return b->tmpl.done; });
        b->tmpl.busy = 0;
        return done;
    };
    ASSERT_TRUE(list());
    EXPECT_EQ(b->tmpl.names, (std::vector<std::string>{"beta", "a:b", "gamma"}));
    dev.run("send R40zzz:R50yyy:R41$VIDEO:");
    dev.run("send Y90x:");  // anything after them: they were handled when this is
    ASSERT_TRUE(loaded(0, "x"));
    EXPECT_EQ(b->tmpl.names.size(), 3u);
    dev.run("templates ");
    ASSERT_TRUE(list());
    EXPECT_TRUE(b->tmpl.names.empty());
}

}  // namespace
