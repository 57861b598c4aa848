#include "mivrabox_event.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "tc.h"

namespace {

// Field order of the playlist line.
enum line_field {
    LF_START_TIME,
    LF_START_MODE,
    LF_MARK_IN,
    LF_MARK_OUT,
    LF_DURATION,
    LF_TYPE,
    LF_MEDIA_ID,
    LF_TITLE,
    LF_ASSETS,
    LF_FOLLOW_TIME,
    LF_TAG,
    LF_META,
    LF_AUDIO_MAP,
    LF_AUDIO_AMP,
    LF_AR,
    LF_EXTRA,
    LF_KEPT  // fields beyond are counted only
};

// The earlier and current forms of the line end after assets, metadata, audio_amp, ar, extra.
bool field_count_ok(int n) {
    return n == 9 || n == 12 || n == 14 || n == 15 || n == 16;
}

// A record's text ends at its first NUL, as it would in a fixed array.
std::string_view c_view(std::string_view s) {
    const void *z = memchr(s.data(), 0, s.size());
    return z ? s.substr(0, static_cast<const char *>(z) - s.data()) : s;
}

bool breaks_line(char c) {
    return c == '\t' || c == '\n' || c == '\r';
}

// Plain text field, up to its first NUL: TAB, CR and LF would split or shift the line, so they
// become spaces.
char *put_plain(char *d, std::string_view s) {
    for (char c : s) {
        if (static_cast<unsigned char>(c) <= '\r') {
            if (c == 0) break;
            if (breaks_line(c)) c = ' ';
        }
        *d++ = c;
    }
    return d;
}

char put_char(int c, char none) {
    char ch = char(c);
    return c == 0 || breaks_line(ch) ? none : ch;
}

// Escapes one key or value of the metadata field; at most 4 output bytes per input byte.
char *put_meta_text(char *d, std::string_view s) {
    for (char c : s) {
        switch (c) {
            case 0:
                return d;
            case '\n':
                d = static_cast<char *>(mempcpy(d, "\\\\n", 3));
                break;
            case '\r':
                d = static_cast<char *>(mempcpy(d, "\\\\r", 3));
                break;
            case '\t':
                d = static_cast<char *>(mempcpy(d, "\\\\t", 3));
                break;
            case '\\':
                d = static_cast<char *>(mempcpy(d, "\\\\\\\\", 4));
                break;
            default:
                *d++ = c;
        }
    }
    return d;
}

size_t meta_bound(const mivrabox_event *ev) {
    size_t n = 0;
    for (const auto &p : ev->pairs) n += 4 * (p.key.size() + p.value.size()) + 4;
    return n;
}

char *put_meta(char *d, const mivrabox_event *ev) {
    bool first = true;
    for (const auto &p : ev->pairs) {
        if (!first) d = static_cast<char *>(mempcpy(d, "\\n", 2));
        first = false;
        d = put_meta_text(d, p.key.view());
        d = static_cast<char *>(mempcpy(d, "\\t", 2));
        d = put_meta_text(d, p.value.view());
    }
    return d;
}

// Room that write_line may use for this event.
size_t line_bound(const mivrabox_event *ev) {
    return ev->start_time.size() + ev->mark_in.size() + ev->mark_out.size() + ev->duration.size() +
           ev->media_id.size() + ev->title.size() + ev->assets.size() + ev->follow_time.size() +
           ev->tag.size() + ev->audio_map.size() + ev->audio_amp.size() + ev->ar.size() +
           meta_bound(ev) + 2 /* mode, type */ + 14 /* TABs */;
}

// Writes the whole line at d, which holds line_bound(ev) bytes; returns the length.
size_t write_line(const mivrabox_event *ev, char *d) {
    char *const start = d;
    auto tab = [&d] { *d++ = '\t'; };
    d = put_plain(d, ev->start_time.view()), tab();
    *d++ = put_char(static_cast<unsigned char>(ev->start_mode), ' '), tab();
    d = put_plain(d, ev->mark_in.view()), tab();
    d = put_plain(d, ev->mark_out.view()), tab();
    d = put_plain(d, ev->duration.view()), tab();
    *d++ = put_char(ev->event_type, ' '), tab();
    d = put_plain(d, ev->media_id.view()), tab();
    d = put_plain(d, ev->title.view()), tab();
    d = put_plain(d, ev->assets.view()), tab();
    d = put_plain(d, ev->follow_time.view()), tab();
    d = put_plain(d, ev->tag.view()), tab();
    d = put_meta(d, ev), tab();
    d = put_plain(d, ev->audio_map.view()), tab();
    d = put_plain(d, ev->audio_amp.view()), tab();
    d = put_plain(d, ev->ar.view());
    return size_t(d - start);
}

mivrabox_event *parse_line(std::string_view text) {
    text = c_view(text);
    std::string_view f[LF_KEPT];
    int n = 0;
    for (size_t pos = 0;;) {
        size_t tab = text.find('\t', pos);
        if (n < LF_KEPT) f[n] = text.substr(pos, tab == std::string_view::npos ? tab : tab - pos);
        n++;
        if (tab == std::string_view::npos) break;
        pos = tab + 1;
    }
    if (!field_count_ok(n)) return nullptr;
    for (int k : {LF_START_TIME, LF_MARK_IN, LF_MARK_OUT, LF_DURATION, LF_FOLLOW_TIME})
        if (!tc_str_fits(std::string(f[k]).c_str())) return nullptr;

    mivrabox_event *ev = mivrabox_event_new();
    if (!ev) return nullptr;
    ev->start_time = f[LF_START_TIME];
    std::string_view mode = f[LF_START_MODE];
    ev->start_mode = !mode.empty() && MIVRABOX_START_MODES.find(mode[0]) != std::string_view::npos
                         ? mode[0]
                         : ' ';
    ev->mark_in = f[LF_MARK_IN];
    ev->mark_out = f[LF_MARK_OUT];
    ev->duration = f[LF_DURATION];
    std::string_view type = f[LF_TYPE];
    ev->event_type = type.empty() || type[0] == ' ' ? 0 : static_cast<unsigned char>(type[0]);
    ev->media_id = f[LF_MEDIA_ID];
    ev->title = f[LF_TITLE];
    ev->assets = f[LF_ASSETS];
    ev->follow_time = f[LF_FOLLOW_TIME];
    ev->tag = f[LF_TAG];
    if (!f[LF_META].empty() && mivrabox_event_meta_parse(&ev, f[LF_META]) < 0) {
        mivrabox_event_unref(&ev);
        return nullptr;
    }
    ev->audio_map = f[LF_AUDIO_MAP];
    ev->audio_amp = f[LF_AUDIO_AMP];
    ev->ar = f[LF_AR];
    ev->extra = f[LF_EXTRA];
    return ev;
}

std::atomic<int64_t> g_sys_id{0};

}  // namespace

mivrabox_event *mivrabox_event_new() {
    return new (std::nothrow) mivrabox_event;
}

int mivrabox_event_ref(mivrabox_event *ev) {
    if (!ev) return -22;
    return ev->refcount.fetch_add(1) + 1;
}

int mivrabox_event_unref(mivrabox_event **pev) {
    if (!pev || !*pev) return -22;
    mivrabox_event *ev = *pev;
    *pev = nullptr;
    // A count of 0 or less before the release also frees: such a record was never shared.
    if (ev->refcount.fetch_sub(1) <= 1) delete ev;
    return 0;
}

mivrabox_event *mivrabox_event_clone(const mivrabox_event *ev) {
    if (!ev) return nullptr;
    try {
        auto *c = new mivrabox_event(*ev);
        c->refcount = 1;
        return c;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

size_t mivrabox_event_format_append(const mivrabox_event *ev, std::string &out) {
    if (!ev) return 0;
    try {
        size_t old = out.size();
        out.resize(old + line_bound(ev));
        size_t n = write_line(ev, out.data() + old);
        out.resize(old + n);
        return n;
    } catch (const std::bad_alloc &) {
        return 0;
    }
}

char *mivrabox_event_format(const mivrabox_event *ev, char *buf, size_t size) {
    if (!buf || size == 0) return buf;
    buf[0] = 0;
    if (!ev) return buf;
    if (line_bound(ev) < size) {
        buf[write_line(ev, buf)] = 0;
        return buf;
    }
    std::string line;
    mivrabox_event_format_append(ev, line);
    str_copy(buf, size, line);
    return buf;
}

mivrabox_event *mivrabox_event_parse(std::string_view text) {
    try {
        return parse_line(text);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

mivrabox_event *mivrabox_event_parse(const char *text) {
    return text ? mivrabox_event_parse(std::string_view(text)) : nullptr;
}

mivrabox_event *mivrabox_event_meta_add(mivrabox_event **pev, std::string_view key,
                                        std::string_view value) {
    if (!pev || !*pev) return nullptr;
    if (key.empty() || value.empty()) {
        fprintf(stderr, "ASSERT(%s:%d): key=[%.*s], val=[%.*s]\n", __FILE__, __LINE__,
                int(key.size()), key.data(), int(value.size()), value.data());
        return *pev;
    }
    try {
        mivrabox_meta_pair &p = (*pev)->pairs.emplace_back();
        p.key = key;
        p.value = value;
    } catch (const std::bad_alloc &) {
    }
    return *pev;
}

mivrabox_event *mivrabox_event_meta_add(mivrabox_event **pev, const char *key, const char *value) {
    if (!key || !value) {
        fprintf(stderr, "ASSERT(%s:%d): key=[%s], val=[%s]\n", __FILE__, __LINE__,
                key ? key : "(null)", value ? value : "(null)");
        return pev ? *pev : nullptr;
    }
    return mivrabox_event_meta_add(pev, std::string_view(key), std::string_view(value));
}

int mivrabox_event_meta_get(const mivrabox_event *ev, const char *key, const char **value) {
    if (value) *value = nullptr;
    if (!ev || !key) return -2;
    for (size_t i = 0; i < ev->pairs.size(); i++) {
        if (ev->pairs[i].key == std::string_view(key)) {
            if (value) *value = ev->pairs[i].value.c_str();
            return int(i);
        }
    }
    return -2;
}

void mivrabox_event_meta_format_append(const mivrabox_event *ev, std::string &out) {
    if (!ev || ev->pairs.empty()) return;
    size_t old = out.size();
    out.resize(old + meta_bound(ev));
    out.resize(size_t(put_meta(out.data() + old, ev) - out.data()));
}

char *mivrabox_event_meta_format(const mivrabox_event *ev, char **out) {
    std::string s;
    try {
        mivrabox_event_meta_format_append(ev, s);
    } catch (const std::bad_alloc &) {
        if (out) *out = nullptr;
        return nullptr;
    }
    char *r = static_cast<char *>(malloc(s.size() + 1));
    if (r) memcpy(r, s.c_str(), s.size() + 1);
    if (out) *out = r;
    return r;
}

size_t mivrabox_unescape(char *text, size_t len) {
    if (!text) return 0;
    const char *bs = static_cast<const char *>(memchr(text, '\\', len));
    if (!bs) return len;
    size_t w = size_t(bs - text), i = w;
    while (i < len) {
        char c = text[i++];
        if (c != '\\') {
            text[w++] = c;
            continue;
        }
        if (i == len) break;  // a lone backslash at the end is dropped
        switch (text[i++]) {
            case '\\':
                text[w++] = '\\';
                break;
            case 'n':
                text[w++] = '\n';
                break;
            case 'r':
                text[w++] = '\r';
                break;
            case 't':
                text[w++] = '\t';
                break;
            default:
                break;  // unknown escapes vanish with their character
        }
    }
    return w;
}

char *mivrabox_unescape(char *text) {
    if (!text) return text;
    text[mivrabox_unescape(text, strlen(text))] = 0;
    return text;
}

int mivrabox_event_meta_parse(mivrabox_event **pev, std::string_view text) {
    if (!pev || !*pev) return -22;
    text = c_view(text);
    if (text.empty()) return 0;
    try {
        // The first unescape turns the pair separators into TAB and LF; the escaped content
        // keeps one level, removed from each key and value on its own before it is bounded.
        std::string all(text);
        all.resize(mivrabox_unescape(all.data(), all.size()));
        std::string key, value;
        for (size_t pos = 0;;) {
            size_t tab = all.find('\t', pos);
            if (tab == std::string::npos) break;
            size_t lf = all.find('\n', tab + 1);
            key.assign(all, pos, tab - pos);
            value.assign(all, tab + 1, lf == std::string::npos ? lf : lf - tab - 1);
            key.resize(mivrabox_unescape(key.data(), key.size()));
            value.resize(mivrabox_unescape(value.data(), value.size()));
            if (!key.empty() && !value.empty()) {
                mivrabox_meta_pair &p = (*pev)->pairs.emplace_back();
                p.key = key;
                p.value = value;
            }
            if (lf == std::string::npos) break;
            pos = lf + 1;
        }
    } catch (const std::bad_alloc &) {
        return -12;
    }
    return 0;
}

int mivrabox_event_meta_parse(mivrabox_event **pev, const char *text) {
    return mivrabox_event_meta_parse(pev, text ? std::string_view(text) : std::string_view());
}

int mivrabox_event_duration(const mivrabox_event *ev, int dflt) {
    if (!ev) return dflt;
    if (!ev->duration.empty()) {
        int d = tc_str2frames(ev->duration.c_str());
        if (d >= 0) return d;
    }
    if (!ev->mark_in.empty() && !ev->mark_out.empty()) {
        int in = tc_str2frames(ev->mark_in.c_str());
        int out = tc_str2frames(ev->mark_out.c_str());
        if (in >= 0 && out >= in) return int(std::min<int64_t>(int64_t(out) - in + 1, INT32_MAX));
    }
    return dflt;
}

int64_t mivrabox_sys_id_next() {
    return g_sys_id.fetch_add(1) + 1;
}

int64_t mivrabox_now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}
