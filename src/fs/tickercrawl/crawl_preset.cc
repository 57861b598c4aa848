// Preset files: one "key TAB value" per line, reread whenever the file's stat changes.
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "crawl_engine.h"
#include "file.h"
#include "log.h"

namespace {

const char *const kFn = "ticker_crawl_preset_load";
// A preset is a screenful of settings; nothing past this is read.
constexpr long kPresetMaxBytes = 1L << 20;

bool same_stat(const struct stat &a, const struct stat &b) {
    auto same_time = [](const timespec &x, const timespec &y) {
        return x.tv_sec == y.tv_sec && x.tv_nsec == y.tv_nsec;
    };
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_mode == b.st_mode &&
           a.st_nlink == b.st_nlink && a.st_uid == b.st_uid && a.st_gid == b.st_gid &&
           a.st_rdev == b.st_rdev && a.st_size == b.st_size && a.st_blksize == b.st_blksize &&
           a.st_blocks == b.st_blocks && same_time(a.st_mtim, b.st_mtim) &&
           same_time(a.st_ctim, b.st_ctim);
}

int word(const char *v, const char *const *words, int count) {
    for (int i = 1; i < count; i++)
        if (strcasecmp(v, words[i]) == 0) return i;
    return 0;
}

ticker_crawl_colour colour(const char *v) {
    unsigned long argb = strtoul(v, nullptr, 16);
    return {int((argb >> 16) & 0xFF), int((argb >> 8) & 0xFF), int(argb & 0xFF),
            int((argb >> 24) & 0xFF)};
}

enum key_id {
    K_FONT_SIZE,
    K_FONT_FAMILY,
    K_FONT_STYLE,
    K_FONT_ALIGNMENT,
    K_FG,
    K_BG,
    K_LOOP_SPACE,
    K_WIDTH,
    K_HEIGHT,
    K_OFFSET,
    K_STEP,
};

const struct {
    const char *key;
    key_id id;
} kKeys[] = {
    {"font_size", K_FONT_SIZE},   {"font_family", K_FONT_FAMILY},
    {"font_style", K_FONT_STYLE}, {"font_alignment", K_FONT_ALIGNMENT},
    {"fg_colour", K_FG},          {"bg_colour", K_BG},
    {"loop_space", K_LOOP_SPACE}, {"canvas_width", K_WIDTH},
    {"canvas_height", K_HEIGHT},  {"canvas_offset", K_OFFSET},
    {"canvas_step", K_STEP},
};

void apply(ticker_crawl_preset *p, key_id id, const char *v) {
    static const char *const styles[] = {"normal", "oblique", "italic"};
    static const char *const aligns[] = {"left", "center", "right"};
    ticker_crawl_canvas &c = p->canvas;
    switch (id) {
        case K_FONT_SIZE:
            p->font_size = atoi(v);
            break;
        case K_FONT_FAMILY:
            p->font_family = v;
            break;
        case K_FONT_STYLE:
            p->font_style = word(v, styles, 3);
            break;
        case K_FONT_ALIGNMENT:
            p->font_alignment = word(v, aligns, 3);
            break;
        case K_FG:
            c.fg = colour(v);
            break;
        case K_BG:
            c.bg = colour(v);
            break;
        case K_LOOP_SPACE:
            c.loop_space = atoi(v);
            break;
        case K_WIDTH:
            c.canvas_width = atoi(v);
            break;
        case K_HEIGHT:
            c.canvas_height = atoi(v);
            break;
        case K_OFFSET:
            c.canvas_offset = atoi(v);
            break;
        case K_STEP:
            c.canvas_step = strtod(v, nullptr);
            break;
    }
}

void parse_line(ticker_crawl_preset *p, char *line) {
    if (line[0] == '#' || line[0] == 0) return;
    line[strcspn(line, "\n")] = 0;
    line[strcspn(line, "\r")] = 0;
    line[strcspn(line, " ")] = 0;
    char *tab = strrchr(line, '\t');
    if (!tab) return;
    *tab = 0;
    const char *value = tab + 1;
    for (const auto &k : kKeys) {
        if (strcasecmp(line, k.key) == 0) {
            apply(p, k.id, value);
            return;
        }
    }
    log_msg(LOG_ERROR, "%s:%d unparsed parameter [%s]", kFn, 133, line);
}

}  // namespace

int ticker_crawl_preset_load(ticker_crawl_preset *p) {
    struct stat st;
    if (stat(p->filename.c_str(), &st) < 0) {
        int e = errno;
        log_msg(LOG_ERROR, "%s: failed to stat [%s]", kFn, p->filename.c_str());
        return -e;
    }
    if (same_stat(st, p->st)) return 0;
    p->st = st;
    p->loads++;
    // A FIFO or a device would block the opener, and with it the pool; refused until it changes.
    if (!S_ISREG(st.st_mode)) {
        log_msg(LOG_ERROR, "%s: [%s] is not a regular file", kFn, p->filename.c_str());
        return -EINVAL;
    }
    log_msg(LOG_INFO, "%s: loading preset [%s]", kFn, p->filename.c_str());
    unique_file f;
    int r = crawl_open_regular(p->filename.c_str(), f);
    if (r < 0) {
        log_msg(LOG_ERROR, "%s:%d failed to load preset from filename [%s]", kFn, 54,
                p->filename.c_str());
        return r;
    }
    char line[4096];
    long taken = 0;
    while (taken < kPresetMaxBytes && fgets(line, sizeof line, f.get())) {
        taken += long(strlen(line));
        parse_line(p, line);
    }
    f.reset();

    ticker_crawl_canvas &c = p->canvas;
    log_msg(LOG_ERROR, "%s:%d width=[%d], height=[%d], offset=[%d], step=[%lf]", kFn, 137,
            c.canvas_width, c.canvas_height, c.canvas_offset, c.canvas_step);
    log_msg(LOG_ERROR,
            "%s:%d prst->canvas.bg.argb=[%d, %d, %d, %d], prst->canvas.fg.argb=[%d, %d, %d, %d]",
            kFn, 141, c.bg.a, c.bg.r, c.bg.g, c.bg.b, c.fg.a, c.fg.r, c.fg.g, c.fg.b);
    c.canvas_width = (c.canvas_width | 31) - 31;
    // Glyphs far taller than the canvas only cost memory (hundreds of MB per crawl at 10000).
    int font_max = std::clamp(c.canvas_height, 0, TICKER_CRAWL_FONT_MAX / 4) * 4;
    if (p->font_size < 0 || p->font_size > font_max) {
        int bounded = std::clamp(p->font_size, 0, font_max);
        log_msg(LOG_ERROR, "%s: font_size %d of [%s] bounded to %d", kFn, p->font_size,
                p->filename.c_str(), bounded);
        p->font_size = bounded;
    }
    return 0;
}
