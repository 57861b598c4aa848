#include "tc.h"

#include <atomic>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Written at start-up (and by the readers that fix their own rate), read everywhere.
std::atomic<int> g_mode{TC_PAL};

int clamp32(long long v) {
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return int(v);
}

int mode() {
    return g_mode.load(std::memory_order_relaxed);
}

// Counted frames per second of the non-drop modes; 0 for no mode.
int fps(int m) {
    switch (m) {
        case TC_PAL:
            return 25;
        case TC_50:
            return 50;
        case TC_NTSC:
        case TC_NTSC_DF:
            return 30;
        default:
            return 0;
    }
}

// Reads one "%d" as scanf would (leading blanks, a sign, digits), clamped to int; *over is set
// when the number did not fit.
bool scan_int(const char *&p, int *out, bool *over = nullptr) {
    const char *q = p;
    while (isspace((unsigned char)*q)) q++;
    bool neg = false;
    if (*q == '+' || *q == '-') neg = *q++ == '-';
    if (!isdigit((unsigned char)*q)) return false;
    long long v = 0;
    while (isdigit((unsigned char)*q)) {
        if (v < 1000000000000LL) v = v * 10 + (*q - '0');
        q++;
    }
    if (over && (neg ? -v < INT_MIN : v > INT_MAX)) *over = true;
    *out = clamp32(neg ? -v : v);
    p = q;
    return true;
}

// The frame count of the fields, unclamped: every field fits an int, so no product overflows.
long long hmsf_frames(int h, int m, int s, int f) {
    int md = mode();
    int rate = fps(md);
    if (!rate) return 0;
    long long H = h, M = m, S = s, F = f;
    if (md == TC_NTSC_DF) {
        long long T = H * 60 + M;
        return H * 108000 + M * 1800 + S * 30 + F - 2 * (T - T / 10);
    }
    return ((H * 60 + M) * 60 + S) * rate + F;
}

}  // namespace

int tc_mode_parse(const char *name) {
    if (!name) return -22;
    static const char *const names[] = {"pal", "50", "ntsc", "ntsc_df"};
    for (int i = 0; i < 4; i++)
        if (!strcmp(name, names[i])) return i;
    return -22;
}

int tc_setmode(int m) {
    if (m == TC_FROM_ENV) {
        const char *env = getenv("TC_MODE");
        if (!env) return -2;
        int parsed = tc_mode_parse(env);
        if (parsed < 0) return -22;
        m = parsed;
    }
    g_mode.store(m, std::memory_order_relaxed);
    return 0;
}

int tc_getmode() {
    return mode();
}

int tc_frames2hmsf(int frames, int *h, int *m, int *s, int *f) {
    int md = mode();
    int rate = fps(md);
    long long n = frames;
    if (!rate) {
        *h = *m = *s = *f = 0;
        return 0;
    }
    if (md == TC_NTSC_DF) {
        long long d = n / 17982, r = n % 17982;
        n += 18 * d;
        if (r > 2) n += 2 * ((r - 2) / 1798);
    }
    *f = int(n % rate);
    long long t = n / rate;
    *s = int(t % 60);
    long long minutes = t / 60;
    *m = int(minutes % 60);
    *h = clamp32(minutes / 60);
    return 0;
}

char *tc_frames2str(int frames, char *buf) {
    if (frames < 0) {
        buf[0] = 0;
        return buf;
    }
    int h, m, s, f;
    tc_frames2hmsf(frames, &h, &m, &s, &f);
    // Hours grow past two digits for counts beyond 99 h; the field still holds them.
    snprintf(buf, TC_TEXT_SIZE, "%.2d:%.2d:%.2d:%.2d", h, m, s, f);
    return buf;
}

int tc_hmsf2frames(int h, int m, int s, int f) {
    return clamp32(hmsf_frames(h, m, s, f));
}

bool tc_str_fits(const char *text) {
    if (!text) return true;
    const char *p = text;
    int v[4];
    bool over = false;
    bool ok = scan_int(p, &v[0], &over);
    for (int i = 1; ok && i < 4; i++) ok = *p++ == ':' && scan_int(p, &v[i], &over);
    // The other form reads groups of at most two digits, which always fit.
    if (!ok) return true;
    long long n = hmsf_frames(v[0], v[1], v[2], v[3]);
    return !over && n >= INT_MIN && n <= INT_MAX;
}

int tc_str2hmsf(const char *text, int *h, int *m, int *s, int *f) {
    if (!text) return -1;
    // The plain form: four integers separated by colons.
    {
        const char *p = text;
        int v[4];
        bool ok = scan_int(p, &v[0]);
        for (int i = 1; ok && i < 4; i++) ok = *p++ == ':' && scan_int(p, &v[i]);
        if (ok) {
            *h = v[0], *m = v[1], *s = v[2], *f = v[3];
            return 0;
        }
    }
    // Otherwise digit groups of at most two digits; anything else separates.
    int g[4], n = 0;
    for (const char *p = text; *p && n < 4;) {
        if (!isdigit((unsigned char)*p)) {
            p++;
            continue;
        }
        int v = *p++ - '0';
        if (isdigit((unsigned char)*p)) v = v * 10 + (*p++ - '0');
        g[n++] = v;
    }
    switch (n) {
        case 0:
            return -1;
        case 1:
            *h = 0, *m = 0, *s = g[0], *f = 0;
            break;
        case 2:
            *h = 0, *m = g[0], *s = g[1], *f = 0;
            break;
        case 3:
            *h = 0, *m = g[0], *s = g[1], *f = g[2];
            break;
        default:
            *h = g[0], *m = g[1], *s = g[2], *f = g[3];
            break;
    }
    return n;
}

int tc_str2frames(const char *text) {
    int h = 0, m = 0, s = 0, f = 0;
    tc_str2hmsf(text, &h, &m, &s, &f);
    return tc_hmsf2frames(h, m, s, f);
}

int tc_str2ms(const char *text) {
    return tc_frames2ms(tc_str2frames(text));
}

int tc_frames2ms(int frames) {
    switch (mode()) {
        case TC_PAL:
            return clamp32(frames * 40LL);
        case TC_50:
            return clamp32(frames * 20LL);
        default:
            return clamp32(frames * 1001000LL / 30000);
    }
}

double tc_frames2sec(int frames) {
    switch (mode()) {
        case TC_PAL:
            return frames / 25.0;
        case TC_50:
            return frames / 50.0;
        default:
            return frames * 1001.0 / 30000.0;
    }
}

int tc_sec2frames(double seconds) {
    double rate = mode() == TC_PAL ? 25.0 : mode() == TC_50 ? 50.0 : 30000.0 / 1001.0;
    double v = seconds * rate + 0.01;
    if (std::isnan(v)) return 0;
    if (v >= double(INT_MAX)) return INT_MAX;
    if (v <= double(INT_MIN)) return INT_MIN;
    return int(v);
}

int tc_ms2frames(int ms) {
    switch (mode()) {
        case TC_PAL:
            return clamp32(ms * 25LL / 1000);
        case TC_50:
            return clamp32(ms * 50LL / 1000);
        default:
            return clamp32(ms * 30000LL / 1001000);
    }
}

int tc_digits2frames(const char *text) {
    constexpr long long kFold = 100000000;  // four two-digit pairs
    if (!text) return -1;
    long long groups[12];
    int n = 0;
    for (const char *p = text; *p && n < 12;) {
        if (!isdigit((unsigned char)*p)) {
            p++;
            continue;
        }
        long long v = 0;
        // The twelfth group is read by its first digit only.
        bool last = n == 11;
        while (isdigit((unsigned char)*p)) {
            // Only the last eight digits and whether anything stands before them matter to the
            // four pairs taken below, so a long run is folded instead of overflowing.
            v = v * 10 + (*p - '0');
            if (v >= kFold * 10) v = kFold + v % kFold;
            p++;
            if (last) break;
        }
        groups[n++] = v;
    }
    if (!n) return -1;
    // Pairs from the right: frames, seconds, minutes, hours.
    int fields[4] = {0, 0, 0, 0};
    int k = 0;
    for (int i = n - 1; i >= 0 && k < 4; i--) {
        long long v = groups[i];
        do {
            fields[k++] = int(v % 100);
            v /= 100;
        } while (v != 0 && k < 4);
    }
    return tc_hmsf2frames(fields[3], fields[2], fields[1], fields[0]);
}

char *tc_bcd2str(uint32_t bcd, char *buf) {
    static const char digits[] = "0123456789??????";
    int at = 0;
    for (int i = 0; i < 8; i++) {
        if (i == 2 || i == 4 || i == 6) buf[at++] = ':';
        buf[at++] = digits[(bcd >> (28 - 4 * i)) & 0xf];
    }
    buf[at] = 0;
    return buf;
}

int tc_bcd2frames(uint32_t bcd) {
    char buf[12];
    return tc_str2frames(tc_bcd2str(bcd, buf));
}

uint32_t tc_frames2bcd(int frames) {
    if (frames < 0) return 0;
    char buf[TC_TEXT_SIZE];
    tc_frames2str(frames, buf);
    uint32_t v = 0;
    int k = 0;
    for (const char *p = buf; *p && k < 8; p++) {
        if (!isdigit((unsigned char)*p)) continue;
        v = (v << 4) | uint32_t(*p - '0');
        k++;
    }
    return v;
}

int tc_rescale(int a, int b, double x) {
    if (a == 0) return 0;
    double v = double(b) * x / double(a) + 0.01;
    if (std::isnan(v)) return 0;
    if (v >= double(INT_MAX)) return INT_MAX;
    if (v <= double(INT_MIN)) return INT_MIN;
    return int(v);
}

double tc_ratio(int a, int b, int c) {
    if (c == 0) return 0;
    return double(a) * double(b) / double(c);
}

int64_t tc_muldiv_ms(int a, int b, int c) {
    if (c == 0) return 0;
    // a x b x 1000 can pass 64 bits; the product is taken in 128.
    __int128 v = (__int128)a * b * 1000 / c;
    if (v > INT64_MAX) return INT64_MAX;
    if (v < INT64_MIN) return INT64_MIN;
    return int64_t(v);
}

int tc_ms_scale(int a, int b, int c) {
    if (b == 0) return 0;
    return clamp32((long long)a * c / b / 1000);
}

int tc_zero() {
    return 0;
}
