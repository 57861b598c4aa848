// The crawl engine and its data sources without a mount: what a reader of frames cannot see.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "../common/helpers.h"
#include "crawl_engine.h"

// Fontconfig keeps its process-wide configuration until exit; that is no leak of ours.
extern "C" const char *__lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace {

void put(const std::string &path, const std::string &text) {
    std::ofstream(path) << text;
}

// Reads until the source answers something other than started or busy.
int collect(ticker_crawl_ds_binding &b, crawl_lines &lines) {
    int r = -16;
    wait_until([&] {
        r = ticker_crawl_datasource_read(&b, lines);
        return r != -11 && r != -16;
    });
    return r;
}

const char *kPreset =
    "font_family\tDejaVu Sans\nfont_size\t12\nbg_colour\tFF000000\nfg_colour\tFFFFFFFF\n"
    "loop_space\t0\ncanvas_width\t64\ncanvas_height\t16\ncanvas_step\t-8\n";

}  // namespace

TEST(CrawlPreset, ReadingRulesAndReload) {
    temp_dir d;
    put(d / "p",
        "# comment\nFONT_STYLE\tItalic\nfont_alignment\tCENTER\nfont_family\tDejaVu Sans Bold\n"
        "canvas_width\t100\ncanvas_height\t50 trailing words\nbogus\t1\nloop_space 9\n"
        "x\tloop_space\t7\nfg_colour\t80FF0102\r\nbg_colour\tzz\ncanvas_step\t-2.5\n");
    ticker_crawl_preset p;
    p.filename = d / "p";
    ASSERT_EQ(ticker_crawl_preset_load(&p), 0);
    EXPECT_EQ(p.font_style, CRAWL_STYLE_ITALIC);
    EXPECT_EQ(p.font_alignment, CRAWL_ALIGN_CENTER);
    EXPECT_EQ(p.font_family.str(), "DejaVu");  // a blank ends the value
    const ticker_crawl_canvas &c = p.canvas;
    EXPECT_EQ(c.canvas_width, 96);
    EXPECT_EQ(c.canvas_height, 50);
    EXPECT_EQ(c.loop_space, 0);  // no TAB, or a key that is not one
    EXPECT_EQ((std::vector<int>{c.fg.a, c.fg.r, c.fg.g, c.fg.b}),
              (std::vector<int>{0x80, 0xFF, 1, 2}));
    EXPECT_EQ((std::vector<int>{c.bg.a, c.bg.r, c.bg.g, c.bg.b}), (std::vector<int>{0, 0, 0, 0}));
    EXPECT_EQ(c.canvas_step, -2.5);

    // Unchanged file: not read again. Changed: read again over the values in force.
    p.font_size = 99;
    EXPECT_EQ(ticker_crawl_preset_load(&p), 0);
    EXPECT_EQ(p.font_size, 99);
    put(d / "p", "font_style\tbogus\nfont_size\t30\n");
    EXPECT_EQ(ticker_crawl_preset_load(&p), 0);
    EXPECT_EQ(p.font_size, 30);
    EXPECT_EQ(p.font_style, CRAWL_STYLE_NORMAL);
    EXPECT_EQ(p.canvas.canvas_width, 96);
    unlink((d / "p").c_str());
    EXPECT_EQ(ticker_crawl_preset_load(&p), -ENOENT);
    EXPECT_EQ(p.font_size, 30);
}

TEST(CrawlSource, KindsAndReadProtocol) {
    temp_dir d;
    put(d / "news.TXT", "one\ttwo\r\n\n\nlast");
    put(d / "empty.txt", "\n\r\n\n");
    put(d / "feed.Rss", "x\n");
    for (const char *name : {"news.txt.bak", "plain", "feed.rss.old"}) {
        ticker_crawl_ds_binding b;
        EXPECT_EQ(ticker_crawl_datasource_init(&b, (d / name).c_str()), -2) << name;
    }
    ticker_crawl_ds_binding rss;
    ASSERT_EQ(ticker_crawl_datasource_init(&rss, (d / "feed.Rss").c_str()), 0);
    EXPECT_STREQ(rss.ds->name, "RSS datasource for crawl");
    ticker_crawl_datasource_release(&rss);
    EXPECT_EQ(rss.ds, nullptr);

    ticker_crawl_ds_binding b;
    ASSERT_EQ(ticker_crawl_datasource_init(&b, (d / "news.TXT").c_str()), 0);
    EXPECT_STREQ(b.ds->name, "simple text file datasourcer");
    crawl_lines lines;
    EXPECT_EQ(ticker_crawl_datasource_read(&b, lines), -11);
    EXPECT_EQ(collect(b, lines), 2);
    EXPECT_EQ(lines, (crawl_lines{"one two", "last"}));
    // Each read after a collected one reads the file again.
    put(d / "news.TXT", "changed\n");
    EXPECT_EQ(ticker_crawl_datasource_read(&b, lines), -11);
    EXPECT_EQ(collect(b, lines), 1);
    EXPECT_EQ(lines, crawl_lines{"changed"});
    ticker_crawl_datasource_release(&b);

    ASSERT_EQ(ticker_crawl_datasource_init(&b, (d / "empty.txt").c_str()), 0);
    EXPECT_EQ(ticker_crawl_datasource_read(&b, lines), -11);
    EXPECT_EQ(collect(b, lines), -2);
    // A result left uncollected is freed with the source.
    EXPECT_EQ(ticker_crawl_datasource_read(&b, lines), -11);
    EXPECT_TRUE(wait_until([] { return ticker_crawl_datasource_readers() == 0; }));
    ticker_crawl_datasource_release(&b);
}

// Bounds a mounted crawl cannot show: a long line is cut between characters, a read by bytes.
TEST(CrawlSource, LineSinkBounds) {
    crawl_line_sink sink("test");
    std::string wide;
    while (wide.size() < 5000) wide += "\xC3\xA9";  // two bytes each
    EXPECT_TRUE(sink.add(wide));
    ASSERT_EQ(sink.lines, crawl_lines{wide.substr(0, 4094)});
    while (sink.add(wide)) {
    }
    EXPECT_EQ(sink.lines.size(), TICKER_CRAWL_READ_BYTES / 4094);
    EXPECT_FALSE(sink.add("short"));
}

// A feed whose server never answers: the source goes while its reader waits, and the global
// clean-up leaves the libraries alone until the reader has ended.
TEST(CrawlSource, DestroyedWhileItsReaderRuns) {
    temp_dir d;
    int s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(s, 4), 0);  // never accepted: the request waits for ever
    ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr *>(&a), &len), 0);
    put(d / "stall.rss", "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/feed\n");

    ASSERT_EQ(ticker_crawl_datasource_global_init(), 0);
    ticker_crawl_ds_binding b;
    ASSERT_EQ(ticker_crawl_datasource_init(&b, (d / "stall.rss").c_str()), 0);
    crawl_lines lines;
    EXPECT_EQ(ticker_crawl_datasource_read(&b, lines), -11);
    EXPECT_EQ(ticker_crawl_datasource_read(&b, lines), -16);
    ticker_crawl_datasource_release(&b);
    EXPECT_EQ(ticker_crawl_datasource_readers(), 1);
    EXPECT_EQ(ticker_crawl_datasource_global_cleanup(50), -16);

    close(s);  // resets the waiting connection: the download fails and the reader ends
    EXPECT_TRUE(wait_until([] { return ticker_crawl_datasource_readers() == 0; }));
    EXPECT_EQ(ticker_crawl_datasource_global_cleanup(50), 0);
}

TEST(CrawlPool, ContextsInUseOutliveTheirExpiry) {
    temp_dir d;
    put(d / "p", kPreset);
    put(d / "a.txt", "text\n");
    ticker_crawl_pool *pool = ticker_crawl_pool_create();
    ASSERT_NE(pool, nullptr);
    ticker_crawl_context *ctx = nullptr, *again = nullptr;
    ASSERT_EQ(
        ticker_crawl_pool_fetch(pool, d.path.c_str(), d.path.c_str(), "p", "a.txt", "n", &ctx), 0);
    ASSERT_EQ(
        ticker_crawl_pool_fetch(pool, d.path.c_str(), d.path.c_str(), "p", "a.txt", "n", &again),
        0);
    EXPECT_EQ(ctx, again);
    ticker_crawl_step(ctx);  // starts a reader that the expiry must not disturb
    ticker_crawl_pool_put(pool, again);
    time_t later = time(nullptr) + 120;
    EXPECT_EQ(ticker_crawl_pool_expire(pool, later), 0);
    ticker_crawl_pool_put(pool, ctx);
    EXPECT_EQ(ticker_crawl_pool_expire(pool, later), 1);
    EXPECT_TRUE(wait_until([] { return ticker_crawl_datasource_readers() == 0; }));
    ticker_crawl_pool_destroy(pool);
}

TEST(CrawlEngine, StepFreesGroupsThatLeftTheCanvas) {
    temp_dir d;
    put(d / "p", kPreset);
    put(d / "a.txt", "first line\nsecond line\n");
    ticker_crawl_context *ctx = nullptr;
    ASSERT_EQ(ticker_crawl_context_create(d.path.c_str(), d.path.c_str(), "p", "a.txt", &ctx), 0);
    ticker_crawl_step(ctx);
    EXPECT_EQ(ctx->x, 64);  // new text enters at the right edge
    ASSERT_TRUE(wait_until([&] {
        ticker_crawl_step(ctx);
        return !ctx->groups.empty();
    }));
    ASSERT_EQ(ctx->groups.front().size(), 2u);
    int first = 0;
    for (const crawl_line &l : ctx->groups.front()) first = int(first + l.width());
    ASSERT_GT(first, 0);
    // One step more and the whole first group is off the left edge, one pixel past it.
    ctx->x = 8 - first - 1;
    size_t groups = ctx->groups.size();
    ticker_crawl_step(ctx);
    EXPECT_EQ(ctx->x, -1);
    EXPECT_LE(ctx->groups.size(), groups);  // the read it started may add one later

    // Lines that take no room never pile up, however often the source is read.
    put(d / "a.txt", "\xE2\x80\x8B\n");  // a zero-width space
    ctx->groups.clear();
    for (int i = 0; i < 200; i++) {
        ticker_crawl_step(ctx);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_LE(ctx->groups.size(), 1u);
    EXPECT_TRUE(wait_until([] { return ticker_crawl_datasource_readers() == 0; }));
    ticker_crawl_context_destroy(ctx);
}

TEST(CrawlEngine, CanvasesNoFrameCanHold) {
    temp_dir d;
    put(d / "a.txt", "text\n");
    put(d / "p", "canvas_width\t-40\ncanvas_height\t-3\nbg_colour\tFF000000\n");
    ticker_crawl_context *ctx = nullptr;
    ASSERT_EQ(ticker_crawl_context_create(d.path.c_str(), d.path.c_str(), "p", "a.txt", &ctx), 0);
    std::vector<uint8_t> img;
    EXPECT_EQ(ticker_crawl_render_image(ctx, img), 54);
    EXPECT_EQ(img.size(), 54u);
    put(d / "p", "canvas_width\t1048576\ncanvas_height\t4096\n");
    EXPECT_EQ(ticker_crawl_render_image(ctx, img), -12);
    ticker_crawl_context_destroy(ctx);
}

// The bound across clients and one client's share, and what a freed image gives back; the
// system test shows one client's share through a mount.
TEST(CrawlFrames, BoundAndShares) {
    auto budget = std::make_shared<crawl_frame_budget>(100);  // share 75
    struct step {
        int64_t size;
        uint64_t client;
        int result;
    } steps[] = {{70, 1, 0}, {10, 1, -12},  // past client 1's share
                 {25, 2, 0}, {6, 3, -12},   // past the bound, though 3 holds nothing
                 {5, 1, 0},  {1, 2, -12}};
    for (const step &s : steps) EXPECT_EQ(budget->take(s.size, s.client, "p/d/n"), s.result);
    EXPECT_EQ(budget->held(), 100);
    budget->give_back(70, 1);
    EXPECT_EQ(budget->held(), 30);
    EXPECT_EQ(budget->take(70, 1, "p/d/n"), 0);  // client 1 holds 75 again: its share
    {
        // An image gives its bytes back with its last holder.
        auto img = std::make_shared<crawl_image>();
        img->budget = budget;
        img->charged = 40;
        img->client = 1;
        budget->give_back(70, 1);
        ASSERT_EQ(budget->take(40, 1, "p/d/n"), 0);
        std::shared_ptr<const crawl_image> other = img;
        img.reset();
        EXPECT_EQ(budget->held(), 70);
    }
    EXPECT_EQ(budget->held(), 30);
}
