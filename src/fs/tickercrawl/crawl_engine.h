// Crawl rendering engine: one scrolling text line per frame-file path, laid out with Pango's
// FreeType back end, rendered into BMP frames and advanced one step per frame.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "crawl_ds.h"
#include "crawl_frames.h"
#include "text.h"

typedef struct _PangoLayout PangoLayout;

struct ticker_crawl_colour {
    int r = 0, g = 0, b = 0, a = 0;
};

struct ticker_crawl_canvas {
    ticker_crawl_colour bg, fg;
    int loop_space = 0;    // pixels after each line
    int canvas_width = 0;  // a multiple of 32 once loaded
    int canvas_height = 0;
    int canvas_offset = 0;   // pixels from the top at which lines are drawn
    double canvas_step = 0;  // added to x per step; negative moves the text leftwards
};

// Pango's style and alignment values.
enum { CRAWL_STYLE_NORMAL = 0, CRAWL_STYLE_OBLIQUE = 1, CRAWL_STYLE_ITALIC = 2 };
enum { CRAWL_ALIGN_LEFT = 0, CRAWL_ALIGN_CENTER = 1, CRAWL_ALIGN_RIGHT = 2 };

// font_size is bounded to four times the canvas height and to this, whatever the file says.
constexpr int TICKER_CRAWL_FONT_MAX = 1000;

struct ticker_crawl_preset {
    text4k filename;
    struct stat st {};   // as at the last load; all zero before it
    uint64_t loads = 0;  // counts the changes of st, so that a frame knows its preset
    int font_size = 0;   // points, bounded at load
    text4k font_family;
    int font_style = CRAWL_STYLE_NORMAL;
    int font_alignment = CRAWL_ALIGN_LEFT;
    ticker_crawl_canvas canvas;
};

// Loads the file when its stat changed since the last load (access time left out): 0 or minus
// errno.
int ticker_crawl_preset_load(ticker_crawl_preset *p);

// One laid-out line; the layout is made once and reused for every frame.
struct crawl_line {
    PangoLayout *layout = nullptr;
    int ink[4] = {0, 0, 0, 0};  // x, y, width, height in Pango units
    int logical[4] = {0, 0, 0, 0};
    crawl_line() = default;
    crawl_line(const crawl_line &) = delete;
    crawl_line &operator=(const crawl_line &) = delete;
    crawl_line(crawl_line &&o) noexcept : layout(o.layout) {
        std::copy(o.ink, o.ink + 4, ink);
        std::copy(o.logical, o.logical + 4, logical);
        o.layout = nullptr;
    }
    ~crawl_line();
    double width() const { return logical[2] / 1024.0; }
};
// The lines of one data-source read, in order.
using crawl_group = std::vector<crawl_line>;

struct ticker_crawl_context {
    double x = 0;  // left edge of the first group on the canvas
    std::recursive_mutex mu;
    ticker_crawl_preset preset;
    std::deque<crawl_group> groups;
    uint64_t groups_changes = 0;  // counts every change of groups
    ticker_crawl_ds_binding ds;
    // The last frame rendered, while an open file holds it, and the state it shows.
    std::weak_ptr<const crawl_image> shown;
    double shown_x = 0;
    uint64_t shown_groups = 0, shown_loads = 0;
};

int ticker_crawl_context_create(const char *presets, const char *datas, const char *p,
                                const char *d, ticker_crawl_context **out);
void ticker_crawl_context_destroy(ticker_crawl_context *ctx);

// Lays lines out as one new group at the end of the crawl.
void ticker_crawl_render_texts(ticker_crawl_context *ctx, const crawl_lines &lines);
// Advances the crawl one step, asking the data source for lines before the text runs out.
void ticker_crawl_step(ticker_crawl_context *ctx);
// Renders the current frame as a BMP into image: its size in bytes, or -12 for a canvas too
// large to hold.
int ticker_crawl_render_image(ticker_crawl_context *ctx, std::vector<uint8_t> &image);
// The current frame for one open file, the crawl not stepped: the image of the last frame while an
// open file still holds it and the crawl has not changed since, else a new rendering whose bytes
// are taken from budget for client (what names the crawl in its log). 0, -12 for a canvas too
// large or a budget spent.
int ticker_crawl_frame(ticker_crawl_context *ctx, const std::shared_ptr<crawl_frame_budget> &budget,
                       uint64_t client, const char *what, std::shared_ptr<const crawl_image> &out);
// BMP size for the current canvas, without rendering.
int64_t ticker_crawl_image_size(ticker_crawl_context *ctx);

// Contexts by frame-file path, expired by a monitor thread a minute after their last use.
constexpr int TICKER_CRAWL_POOL_SLOTS = 64;
constexpr int TICKER_CRAWL_EXPIRY_S = 59;  // freed once last use + this < now

struct ticker_crawl_pool {
    struct slot {
        std::string key;  // "P/D/N"; empty when free
        ticker_crawl_context *ctx = nullptr;
        time_t last_use = 0;
        int users = 0;  // fetched and not yet put back: never freed meanwhile
    };
    std::atomic<int> stop{0};
    std::thread monitor;
    std::recursive_mutex mu;
    std::condition_variable_any wake;
    slot slots[TICKER_CRAWL_POOL_SLOTS];
    bool full = false;  // logged when it fills and when it has room again
};

ticker_crawl_pool *ticker_crawl_pool_create();
void ticker_crawl_pool_destroy(ticker_crawl_pool *pool);
// Finds or creates the context of P/D/N and takes one use of it, which the caller ends with
// ticker_crawl_pool_put: 0, -12 when all slots are taken, or the creation error.
int ticker_crawl_pool_fetch(ticker_crawl_pool *pool, const char *presets, const char *datas,
                            const char *p, const char *d, const char *n,
                            ticker_crawl_context **out);
void ticker_crawl_pool_put(ticker_crawl_pool *pool, ticker_crawl_context *ctx);
// Frees the contexts unused since before now - 59 s that nobody is using; the count freed.
int ticker_crawl_pool_expire(ticker_crawl_pool *pool, time_t now);
