// Crawl contexts: laying lines out, stepping the crawl and rendering BMP frames.
#include "crawl_engine.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include <pango/pangoft2.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "log.h"

namespace {

constexpr int kBmpHeader = 54;
// Far beyond any broadcast canvas; a preset asking for more gets no frame rather than a crash.
constexpr int64_t kImageMax = int64_t(1) << 30;

struct gobject_unref {
    void operator()(void *o) const {
        if (o) g_object_unref(o);
    }
};
struct font_desc_free {
    void operator()(PangoFontDescription *d) const { pango_font_description_free(d); }
};

int bits_per_pixel(const ticker_crawl_canvas &c) {
    return c.bg.a == 255 ? 24 : 32;
}

// Canvas dimensions; a negative value in a preset is an empty canvas, not a huge allocation.
int dim(int v) {
    return v < 0 ? 0 : v;
}

int64_t image_size(const ticker_crawl_canvas &c) {
    return kBmpHeader +
           int64_t(dim(c.canvas_width)) * dim(c.canvas_height) * (bits_per_pixel(c) / 8);
}

// Sum of (line width + loop space) in an integer, each partial sum truncated (and held inside
// int, whatever loop space a preset gives).
int text_width(const crawl_group &g, int loop_space, int total = 0) {
    for (const crawl_line &l : g) {
        double sum = std::trunc(total + l.width() + loop_space);
        total = sum <= INT_MIN ? INT_MIN : sum >= INT_MAX ? INT_MAX : int(sum);
    }
    return total;
}

// Pango units for a pixel position, held inside int for lines far off the canvas.
int pango_units(double px) {
    double u = std::trunc(px * 1024);
    return u <= INT_MIN ? INT_MIN : u >= INT_MAX ? INT_MAX : int(u);
}

void put16(uint8_t *p, unsigned v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void put32(uint8_t *p, uint32_t v) {
    put16(p, v & 0xFFFF);
    put16(p + 2, v >> 16);
}

void bmp_header(uint8_t *h, int w, int height, int bpp, uint32_t image) {
    memset(h, 0, kBmpHeader);
    h[0] = 'B';
    h[1] = 'M';
    put32(h + 2, kBmpHeader + image);
    put32(h + 10, kBmpHeader);
    put32(h + 14, 40);
    put32(h + 18, uint32_t(w));
    put32(h + 22, uint32_t(height));
    put16(h + 26, 1);
    put16(h + 28, unsigned(bpp));
    put32(h + 34, image);
    put32(h + 38, 2835);
    put32(h + 42, 2835);
}

// The pixel bytes (blue, green, red, alpha) for each coverage level.
void pixel_table(const ticker_crawl_canvas &c, uint8_t table[256][4]) {
    const ticker_crawl_colour &fg = c.fg, &bg = c.bg;
    for (int l = 0; l < 256; l++) {
        int m = 255 - l;
        uint8_t *px = table[l];
        if (bg.a != 0) {
            px[0] = uint8_t((fg.b * l + bg.b * m) / 255);
            px[1] = uint8_t((fg.g * l + bg.g * m) / 255);
            px[2] = uint8_t((fg.r * l + bg.r * m) / 255);
            px[3] = uint8_t((l * l + m * bg.a) / 255);
        } else {
            px[0] = uint8_t(fg.b);
            px[1] = uint8_t(fg.g);
            px[2] = uint8_t(fg.r);
            px[3] = uint8_t(l);
        }
    }
}

}  // namespace

crawl_line::~crawl_line() {
    if (layout) g_object_unref(layout);
}

int ticker_crawl_context_create(const char *presets, const char *datas, const char *p,
                                const char *d, ticker_crawl_context **out) {
    const char *fn = "ticker_crawl_context_create";
    std::unique_ptr<ticker_crawl_context> ctx(new (std::nothrow) ticker_crawl_context);
    if (!ctx) return -12;
    std::string path = std::string(presets) + "/" + p;
    ctx->preset.filename = path;
    int r = ticker_crawl_preset_load(&ctx->preset);
    if (r < 0) {
        log_msg(LOG_ERROR, "%s: ticker_crawl_preset_init failed, r=%d", fn, r);
        return r;
    }
    path = std::string(datas) + "/" + d;
    r = ticker_crawl_datasource_init(&ctx->ds, path.c_str());
    if (r < 0) {
        log_msg(LOG_ERROR, "%s: ticker_crawl_datasource_init failed, r=%d", fn, r);
        return r;
    }
    *out = ctx.release();
    return 0;
}

void ticker_crawl_context_destroy(ticker_crawl_context *ctx) {
    if (!ctx) return;
    ticker_crawl_datasource_release(&ctx->ds);
    delete ctx;
}

void ticker_crawl_render_texts(ticker_crawl_context *ctx, const crawl_lines &lines) {
    const char *fn = "ticker_crawl_render_texts";
    log_msg(LOG_INFO, "%s:%d starting", fn, 212);
    std::unique_ptr<PangoFontMap, gobject_unref> fontmap(pango_ft2_font_map_new());
    std::unique_ptr<PangoContext, gobject_unref> pc(pango_font_map_create_context(fontmap.get()));
    std::unique_ptr<PangoLayout, gobject_unref> tmpl;
    {
        std::lock_guard<std::recursive_mutex> lk(ctx->mu);
        ticker_crawl_preset_load(&ctx->preset);
        const ticker_crawl_preset &p = ctx->preset;
        std::unique_ptr<PangoFontDescription, font_desc_free> desc(
            pango_font_description_from_string(p.font_family.c_str()));
        if (!desc) {
            log_msg(LOG_ERROR, "%s:%d pango_font_description_from_string(%s)", fn, 309,
                    p.font_family.c_str());
            return;
        }
        pango_font_description_set_size(desc.get(), p.font_size * 1024);
        pango_font_description_set_style(desc.get(), PangoStyle(p.font_style));
        tmpl.reset(pango_layout_new(pc.get()));
        pango_layout_set_auto_dir(tmpl.get(), TRUE);
        pango_layout_set_width(tmpl.get(), -1);
        pango_layout_set_font_description(tmpl.get(), desc.get());
        pango_layout_set_alignment(tmpl.get(), PangoAlignment(p.font_alignment));
    }
    crawl_group group;
    group.reserve(lines.size());
    for (const std::string &text : lines) {
        crawl_line l;
        l.layout = pango_layout_copy(tmpl.get());
        pango_layout_set_text(l.layout, text.c_str(), int(text.size()));
        pango_layout_context_changed(l.layout);
        PangoRectangle ink, logical;
        pango_layout_get_extents(l.layout, &ink, &logical);
        l.ink[0] = ink.x, l.ink[1] = ink.y, l.ink[2] = ink.width, l.ink[3] = ink.height;
        l.logical[0] = logical.x, l.logical[1] = logical.y;
        l.logical[2] = logical.width, l.logical[3] = logical.height;
        log_msg(LOG_INFO, "%s:%d line=[%s]", fn, 266, text.c_str());
        group.push_back(std::move(l));
    }
    std::lock_guard<std::recursive_mutex> lk(ctx->mu);
    ctx->groups.push_back(std::move(group));
    ctx->groups_changes++;
}

void ticker_crawl_step(ticker_crawl_context *ctx) {
    std::lock_guard<std::recursive_mutex> lk(ctx->mu);
    ticker_crawl_preset_load(&ctx->preset);
    const ticker_crawl_canvas &c = ctx->preset.canvas;
    int total = 0;
    for (const crawl_group &g : ctx->groups) total = text_width(g, c.loop_space, total);
    double pending;
    if (!ctx->groups.empty() && total != 0) {
        ctx->x += c.canvas_step;
        pending = ctx->x + total;
    } else {
        // Lines that take no room (no font size set, say) would pile up with every read.
        if (!ctx->groups.empty()) ctx->groups_changes++;
        ctx->groups.clear();
        ctx->x = c.canvas_width;
        pending = c.canvas_width;
    }
    if (pending < (3 * int64_t(c.canvas_width)) / 2) {
        crawl_lines lines;
        if (ticker_crawl_datasource_read(&ctx->ds, lines) > 0)
            ticker_crawl_render_texts(ctx, lines);
    }
    if (ctx->groups.empty()) return;
    int first = text_width(ctx->groups.front(), c.loop_space);
    if (ctx->x + first < 0) {
        ctx->x += first;
        ctx->groups.pop_front();
        ctx->groups_changes++;
    }
}

int64_t ticker_crawl_image_size(ticker_crawl_context *ctx) {
    std::lock_guard<std::recursive_mutex> lk(ctx->mu);
    return image_size(ctx->preset.canvas);
}

namespace {

// Renders the current frame into image, the preset already loaded; under the context mutex.
int render_locked(ticker_crawl_context *ctx, std::vector<uint8_t> &image) {
    const ticker_crawl_canvas &c = ctx->preset.canvas;
    int64_t size = image_size(c);
    if (size > kImageMax) return -12;
    int w = dim(c.canvas_width), h = dim(c.canvas_height);
    try {
        std::vector<uint8_t> coverage(size_t(w) * size_t(h), 0);
        if (w > 0 && h > 0) {
            FT_Bitmap bm;
            memset(&bm, 0, sizeof bm);
            bm.rows = unsigned(h);
            bm.width = unsigned(w);
            bm.pitch = w;
            bm.buffer = coverage.data();
            bm.num_grays = 256;
            bm.pixel_mode = FT_PIXEL_MODE_GRAY;
            double at = ctx->x;
            for (const crawl_group &g : ctx->groups) {
                for (const crawl_line &l : g) {
                    double next = at + l.width() + c.loop_space;
                    if (next >= 0 && at <= c.canvas_width)
                        pango_ft2_render_layout_subpixel(&bm, l.layout, pango_units(at),
                                                         pango_units(c.canvas_offset));
                    at = next;
                }
            }
        }
        int bpp = bits_per_pixel(c), bytes = bpp / 8;
        image.assign(size_t(size), 0);
        bmp_header(image.data(), w, h, bpp, uint32_t(size - kBmpHeader));
        uint8_t table[256][4];
        pixel_table(c, table);
        uint8_t *out = image.data() + kBmpHeader;
        for (int row = h - 1; row >= 0; row--) {  // stored bottom-up
            const uint8_t *in = coverage.data() + size_t(row) * size_t(w);
            for (int col = 0; col < w; col++, out += bytes) memcpy(out, table[in[col]], bytes);
        }
    } catch (const std::bad_alloc &) {
        return -12;
    }
    return int(size);
}

}  // namespace

int ticker_crawl_render_image(ticker_crawl_context *ctx, std::vector<uint8_t> &image) {
    std::lock_guard<std::recursive_mutex> lk(ctx->mu);
    ticker_crawl_preset_load(&ctx->preset);
    return render_locked(ctx, image);
}

int ticker_crawl_frame(ticker_crawl_context *ctx, const std::shared_ptr<crawl_frame_budget> &budget,
                       uint64_t client, const char *what, std::shared_ptr<const crawl_image> &out) {
    std::lock_guard<std::recursive_mutex> lk(ctx->mu);
    ticker_crawl_preset_load(&ctx->preset);
    // Same position, lines and preset: the same pixels, so no second copy and nothing taken.
    std::shared_ptr<const crawl_image> last = ctx->shown.lock();
    if (last && ctx->shown_x == ctx->x && ctx->shown_groups == ctx->groups_changes &&
        ctx->shown_loads == ctx->preset.loads) {
        out = std::move(last);
        return 0;
    }
    int64_t size = image_size(ctx->preset.canvas);
    if (size > kImageMax) return -12;
    try {
        auto img = std::make_shared<crawl_image>();
        if (budget) {
            // Taken before rendering, so that renders at once never pass the bound together.
            int r = budget->take(size, client, what);
            if (r < 0) return r;
            img->budget = budget;
            img->charged = size;
            img->client = client;
        }
        int r = render_locked(ctx, img->bmp);
        if (r < 0) return r;
        ctx->shown = img;
        ctx->shown_x = ctx->x;
        ctx->shown_groups = ctx->groups_changes;
        ctx->shown_loads = ctx->preset.loads;
        out = std::move(img);
        return 0;
    } catch (const std::bad_alloc &) {
        return -12;
    }
}
