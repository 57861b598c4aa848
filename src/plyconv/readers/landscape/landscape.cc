#include "landscape.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "tc.h"

namespace {

reader_log_slot g_log;

// Line length as read, line end included.
constexpr size_t kMinLine = 274;
constexpr size_t kMaxLine = 290;
constexpr size_t kBuf = 4096;

struct column {
    size_t first, last;  // inclusive
};
constexpr column kStart{1, 8};
constexpr size_t kStartMode = 16;
constexpr column kTitle{33, 52};
constexpr size_t kType = 55;
constexpr column kMarkIn{81, 88};
constexpr column kMedia{110, 133};
constexpr column kDuration{158, 164};
constexpr column kTag{169, 188};
constexpr column kLayers{243, 258};

// Calls fn(line) for every usable line of a map file; false when it cannot be opened.
template <typename F>
bool map_lines(const char *path, F fn) {
    unique_file f(path ? fopen(path, "rt") : nullptr);
    if (!f) return false;
    std::string line;
    while (read_line(f.get(), line)) {
        if (line.size() > kBuf - 1) line.resize(kBuf - 1);
        if (!line.empty() && line[0] == '#') continue;
        size_t cut = line.find_first_of("\r\n");
        if (cut != std::string::npos) line.resize(cut);
        if (line.empty()) continue;
        fn(line.c_str());
    }
    return true;
}

void load_types(landscape_maps *h, const char *path) {
    bool opened = map_lines(path, [h](const char *line) {
        char type[3], layers[33], prefix[129];
        if (sscanf(line, "%2s %32s %128s", type, layers, prefix) < 3) {
            reader_log(g_log, "%s:%d failed to parse line [%s]", "landscape_init", __LINE__, line);
        } else if (strlen(type) != 1) {
            reader_log(g_log, "%s:%d wrong type [%s] of line [%s]", "landscape_init", __LINE__,
                       type, line);
        } else if (strlen(layers) != LANDSCAPE_LAYERS) {
            reader_log(g_log, "%s:%d wrong default layers [%s] of line [%s]", "landscape_init",
                       __LINE__, layers, line);
        } else {
            unsigned char c = (unsigned char)type[0];
            h->layers[c] = layers;
            h->prefix[c] = prefix;
        }
    });
    if (!opened)
        reader_log(g_log, "%s:%d failed to load type_map_filename [%s]", "landscape_init", __LINE__,
                   path ? path : "(null)");
}

void load_layers(landscape_maps *h, const char *path) {
    bool opened = map_lines(path, [h](const char *line) {
        char layer[3], ch[2], name[129];
        if (sscanf(line, "%2s %1s %128s", layer, ch, name) < 3) {
            reader_log(g_log, "%s:%d failed to parse line [%s]", "landscape_init", __LINE__, line);
            return;
        }
        int n = atoi(layer);
        if (n < 1 || n > LANDSCAPE_LAYERS) {
            reader_log(g_log, "%s:%d wrong layer ID [%s] of line [%s]", "landscape_init", __LINE__,
                       layer, line);
            return;
        }
        h->gfx[size_t(n - 1)][(unsigned char)ch[0]] = name;
    });
    if (!opened)
        reader_log(g_log, "%s:%d failed to load type_map_filename [%s]", "landscape_init", __LINE__,
                   path ? path : "(null)");
}

// The field's bytes within the line, trailing spaces cut, unsafe bytes made '_'.
std::string clean(const char *line, size_t len, column col) {
    std::string s;
    if (col.first < len) s.assign(line + col.first, std::min(len - 1, col.last) - col.first + 1);
    while (!s.empty() && s.back() == ' ') s.pop_back();
    for (char &c : s)
        if ((unsigned char)c >= 0x80 || strchr("\n\r\t\"<>&", c)) c = '_';
    return s;
}

// "HHMMSSFF" as "HH:MM:SS:FF".
std::string hmsf(const std::string &f) {
    return f.substr(0, 2) + ":" + f.substr(2, 2) + ":" + f.substr(4, 2) + ":" + f.substr(6, 2);
}

void add_layers(const landscape_maps *h, mivrabox_event *ev, const char *line, size_t len) {
    std::string l = clean(line, len, kLayers);
    if (l.size() != LANDSCAPE_LAYERS) return;
    const text4k &dflt = h->layers[(unsigned char)ev->event_type];
    std::string assets = ev->assets.str();
    for (size_t i = 0; i < l.size(); i++) {
        if (l[i] == '-') l[i] = i < dflt.size() ? dflt.str()[i] : '0';
        if (l[i] == ' ') l[i] = '0';
        if (l[i] == '0') continue;
        const text4k &name = h->gfx[i][(unsigned char)l[i]];
        if (name.empty()) continue;
        if (!assets.empty()) assets += '+';
        assets += name.str();
    }
    ev->assets = assets;
}

// One event of an accepted line; null when its start or duration does not fit.
reader_event_ptr read_line_event(const landscape_maps *h, const char *line, size_t len) {
    std::string start = clean(line, len, kStart), dur = clean(line, len, kDuration);
    if (start.size() != 8 || dur.size() != 7) return nullptr;
    reader_event_ptr ev(mivrabox_event_new());
    if (!ev) return nullptr;
    ev->start_time = hmsf(start);
    char mode = line[kStartMode];
    ev->start_mode = mode == 'M' || mode == 'F' ? mode : ' ';
    ev->title = clean(line, len, kTitle);
    ev->event_type = (signed char)line[kType];
    std::string in = clean(line, len, kMarkIn);
    if (in.size() == 8) ev->mark_in = hmsf(in);
    std::string media = clean(line, len, kMedia);
    const text4k &prefix = h->prefix[(unsigned char)line[kType]];
    ev->media_id = prefix.empty() ? reader_fmt("%s#", media.c_str())
                                  : reader_fmt("%s/%s#", prefix.c_str(), media.c_str());
    int minutes = (dur[0] - '0') * 100 + (dur[1] - '0') * 10 + (dur[2] - '0');
    ev->duration = reader_fmt("%.2d:%.2d:%c%c:%c%c", minutes / 60, minutes % 60, dur[3], dur[4],
                              dur[5], dur[6]);
    ev->tag = clean(line, len, kTag);
    if (ev->event_type != 0) add_layers(h, ev.get(), line, len);
    ev->ar = "*";
    return ev;
}

}  // namespace

int landscape_init(landscape_maps **out, const char *types_map, const char *layers_map) {
    if (!out) return -22;
    auto *h = new (std::nothrow) landscape_maps;
    if (!h) return -12;
    *out = h;
    load_types(h, types_map);
    load_layers(h, layers_map);
    return 0;
}

int landscape_parse(landscape_maps *h, const char *path, void *, void *user,
                    landscape_write_event_cb write_event) {
    if (!h || !path) return -22;
    tc_setmode(TC_PAL);
    unique_fd fd;
    if (int r = reader_source_open(path, fd); r < 0) return r;
    unique_file f(fdopen(fd.get(), "rt"));
    if (!f) return -errno;
    fd.release();
    char buf[kBuf];
    bool rest = false;  // inside the tail of a line longer than the buffer
    size_t total = 0;
    while (fgets(buf, sizeof buf, f.get())) {
        size_t len = strlen(buf);
        // A file that grew past the bound while it was read is refused as one that was too large.
        total += len;
        if (total > size_t(READER_SOURCE_MAX)) return -EFBIG;
        bool whole = len > 0 && buf[len - 1] == '\n';
        // A line longer than the buffer is skipped whole, never read as several lines.
        bool skip = rest || (!whole && len == sizeof buf - 1);
        rest = !whole && len == sizeof buf - 1;
        if (skip || len < kMinLine || len > kMaxLine) continue;
        reader_event_ptr ev = read_line_event(h, buf, len);
        if (ev && write_event) write_event(h, ev.get(), user);
    }
    return ferror(f.get()) ? -EIO : 0;
}

int landscape_destroy(landscape_maps **h) {
    if (!h) return -22;
    delete *h;
    *h = nullptr;
    return 0;
}

int landscape_set_log_cb(reader_log_cb cb) {
    reader_log_set(g_log, cb);
    return 0;
}
