// Senders over a real connection: the exact texts on the wire, and that each parses back to the
// arguments it was given.
#include <gtest/gtest.h>

#include <functional>

#include "oxtel_cmd.h"
#include "oxtel_test_util.h"

using namespace oxt;

namespace {

// A link in client mode toward a socket of the test.
struct wire {
    int port = 0;
    unique_fd listener{tcp_listen(&port)};
    test_link link{OXTEL_CLIENT, "127.0.0.1:" + std::to_string(port)};
    unique_fd fd{tcp_accept(listener.get())};
    wire() {
        EXPECT_TRUE(eventually([&] { return link.connected(); }));
    }
    oxtel_ctx *ctx() { return link.get(); }
    std::string next() {
        auto v = read_messages(fd.get(), 1);
        return v.empty() ? "<nothing>" : v[0];
    }
};

// What a parsed message handed to its slot.
struct parsed {
    int slot = -1;
    std::vector<int> ints;
    std::string text;
};

parsed parse_back(const std::string &m) {
    static parsed last;
    oxtel_cbs t{};
    t.EnquireVideoTallies = [](void *) { return last.slot = 12, 0; };
    t.EnableVideoTallies = [](void *, int on) { return last = {13, {on}, ""}, 0; };
    t.EnableVideoTalliesEx = [](void *, int a, int b, int c) {
        return last = {29, {a, b, c}, ""}, 0;
    };
    t.CutKeyer = [](void *, int l, int d) { return last = {10, {l, d}, ""}, 0; };
    t.EnquireMixerInput = [](void *, int m) { return last = {27, {m}, ""}, 0; };
    t.SelectMixerInput = [](void *, int m, int i) { return last = {26, {m, i}, ""}, 0; };
    t.LoadImage = [](void *, int l, const char *n) { return last = {21, {l}, n}, 0; };
    t.UpdateTextField = [](void *, int l, int b, int f, const char *s) {
        return last = {0, {l, b, f}, s}, 0;
    };
    t.RenderBox = [](void *, int l, int b) { return last = {1, {l, b}, ""}, 0; };
    t.RestartAnimation = [](void *, int l) { return last = {22, {l}, ""}, 0; };
    t.StopAnimation = [](void *, int l, int f) { return last = {3, {l, f}, ""}, 0; };
    last = {};
    oxtel_cmd_parser_cb(&t, nullptr, m.c_str(), int(m.size()));
    return last;
}

}  // namespace

TEST(OxtelSenders, WriteTheirExactTexts) {
    wire w;
    struct {
        std::function<int()> send;
        std::string text;
    } cases[] = {
        {[&] { return oxtel_enquire_video_tallies(w.ctx()); }, "Y6"},
        {[&] { return oxtel_enable_video_tallies(w.ctx(), 7); }, "Y61"},
        {[&] { return oxtel_enable_video_tallies(w.ctx(), 0); }, "Y60"},
        {[&] { return oxtel_enable_video_tallies_ex(w.ctx(), 1, 2, 3); }, "Y6123000000"},
        {[&] { return oxtel_cut_keyer(w.ctx(), 10, 1); }, "3A 1"},
        {[&] { return oxtel_enquire_mixer_input(w.ctx(), 11); }, "UEB"},
        {[&] { return oxtel_select_mixer_input(w.ctx(), 1, 12); }, "UE1C"},
        {[&] { return oxtel_load_image(w.ctx(), 15, "LOGO"); }, "R0fLOGO"},
        {[&] { return oxtel_update_text_field(w.ctx(), 1, 2, 0, "a:b"); }, "Z01020a\\3Ab"},
        {[&] { return oxtel_update_text_field(w.ctx(), 1, 2, 0, ""); }, "Z01020"},
        // the format holds over a stray example: one digit of layer, two of box
        {[&] { return oxtel_render_box(w.ctx(), 3, 255); }, "Z33ff"},
        {[&] { return oxtel_restart_animation(w.ctx(), 12); }, "S4c"},
        {[&] { return oxtel_stop_animation(w.ctx(), 11, 0); }, "S1B0"},
    };
    for (auto &k : cases) {
        EXPECT_EQ(k.send(), int(k.text.size())) << k.text;
        EXPECT_EQ(w.next(), k.text);
    }
}

TEST(OxtelSenders, OutputParsesBackToTheArguments) {
    wire w;
    for (int l = 0; l < 16; l++) {
        oxtel_cut_keyer(w.ctx(), l, l % 3);
        EXPECT_EQ(parse_back(w.next()).ints, (std::vector<int>{l, l % 3}));
        oxtel_render_box(w.ctx(), l, 255 - l);
        EXPECT_EQ(parse_back(w.next()).ints, (std::vector<int>{l, 255 - l}));
        oxtel_select_mixer_input(w.ctx(), l, 15 - l);
        EXPECT_EQ(parse_back(w.next()).ints, (std::vector<int>{l, 15 - l}));
        oxtel_stop_animation(w.ctx(), l, 15 - l);
        parsed p = parse_back(w.next());
        EXPECT_EQ(p.slot, 3);
        EXPECT_EQ(p.ints, (std::vector<int>{l, 15 - l}));
    }
    oxtel_enable_video_tallies_ex(w.ctx(), 15, 0, 9);
    EXPECT_EQ(parse_back(w.next()).ints, (std::vector<int>{15, 0, 9}));
    oxtel_restart_animation(w.ctx(), 9);
    EXPECT_EQ(parse_back(w.next()).slot, 22);
    oxtel_enquire_mixer_input(w.ctx(), 4);
    EXPECT_EQ(parse_back(w.next()).ints, std::vector<int>{4});

    // text with every protected character, and a name that tries to inject a second command
    const char *text = "x:y;z\\w|v";
    oxtel_update_text_field(w.ctx(), 15, 200, 9, text);
    parsed t = parse_back(w.next());
    EXPECT_EQ(t.ints, (std::vector<int>{15, 200, 9}));
    EXPECT_EQ(t.text, text);
    oxtel_load_image(w.ctx(), 2, "LOGO:S01");
    parsed li = parse_back(w.next());
    EXPECT_EQ(li.slot, 21);
    EXPECT_EQ(li.text, "LOGO:S01");
}

TEST(OxtelSenders, LongTextIsCutWithoutBreakingAnEscape) {
    wire w;
    std::string text(5000, ':');
    int n = oxtel_update_text_field(w.ctx(), 1, 1, 0, text.c_str());
    EXPECT_LE(n, 4095);
    std::string m = w.next();
    EXPECT_EQ(int(m.size()), n);
    parsed p = parse_back(m);
    EXPECT_EQ(p.slot, 0);
    EXPECT_EQ(p.text, std::string((n - 6) / 3, ':'));
    // the queue holds one message this long: let the first leave it
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lk(w.ctx()->mutex);
        return w.ctx()->tcp.clients[0].write.size == 0;
    }));
    n = oxtel_load_image(w.ctx(), 1, std::string(5000, 'n').c_str());
    EXPECT_EQ(n, 4095);
    EXPECT_EQ(w.next().size(), 4095u);
}

TEST(OxtelSenders, RefuseArgumentsOutOfRange) {
    wire w;
    EXPECT_EQ(oxtel_cut_keyer(w.ctx(), 16, 1), -22);
    EXPECT_EQ(oxtel_cut_keyer(w.ctx(), -1, 1), -22);
    EXPECT_EQ(oxtel_cut_keyer(w.ctx(), 1, 3), -22);
    EXPECT_EQ(oxtel_render_box(w.ctx(), 1, 256), -22);
    EXPECT_EQ(oxtel_render_box(w.ctx(), 16, 0), -22);
    EXPECT_EQ(oxtel_update_text_field(w.ctx(), 1, 1, 16, "x"), -22);
    EXPECT_EQ(oxtel_update_text_field(w.ctx(), 1, -1, 0, "x"), -22);
    EXPECT_EQ(oxtel_load_image(w.ctx(), 1, ""), -22);
    EXPECT_EQ(oxtel_load_image(w.ctx(), 1, nullptr), -22);
    EXPECT_EQ(oxtel_load_image(w.ctx(), 99, "LOGO"), -22);
    EXPECT_EQ(oxtel_select_mixer_input(w.ctx(), 1, 16), -22);
    EXPECT_EQ(oxtel_enquire_mixer_input(w.ctx(), 16), -22);
    EXPECT_EQ(oxtel_enable_video_tallies_ex(w.ctx(), 1, 2, 16), -22);
    EXPECT_EQ(oxtel_restart_animation(w.ctx(), 16), -22);
    EXPECT_EQ(oxtel_stop_animation(w.ctx(), 1, 16), -22);
    // nothing of the refused went out: the next message on the wire is the marker
    oxtel_enquire_video_tallies(w.ctx());
    EXPECT_EQ(w.next(), "Y6");
}

TEST(OxtelSenders, UnconfiguredLinkGivesMinus14) {
    auto ctx = std::make_unique<oxtel_ctx>();
    ASSERT_EQ(oxtel_ctx_init(ctx.get()), 0);
    EXPECT_EQ(oxtel_render_box(ctx.get(), 1, 2), -14);
    EXPECT_EQ(oxtel_enquire_video_tallies(ctx.get()), -14);
    oxtel_ctx_release(ctx.get());
}
