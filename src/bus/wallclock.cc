#include "wallclock.h"

#include <atomic>
#include <cstdio>
#include <ctime>

#include "tc.h"

int64_t time_tv2ms(const struct timeval *tv) {
    return int64_t(tv->tv_sec) * 1000 + int64_t(tv->tv_usec) / 1000;
}

void time_ms2tv(int64_t ms, struct timeval *tv) {
    tv->tv_sec = time_t(ms / 1000);
    tv->tv_usec = suseconds_t((ms % 1000) * 1000);
}

void time_tv2tc(const struct timeval *tv, char *out) {
    time_t t = tv->tv_sec;
    struct tm tm = {};
    localtime_r(&t, &tm);
    int f = tc_sec2frames(double(tv->tv_usec) / 1e6);
    snprintf(out, TIME_TC_SIZE, "%.2d:%.2d:%.2d:%.2d", tm.tm_hour, tm.tm_min, tm.tm_sec, f);
}

void time_tc_today2tv(const char *tc, struct timeval *tv) {
    int h = 0, m = 0, s = 0, f = 0;
    tc_str2hmsf(tc, &h, &m, &s, &f);
    struct timeval now;
    time_now(&now);
    time_t t = now.tv_sec;
    struct tm tm = {};
    localtime_r(&t, &tm);
    tm.tm_hour = h;
    tm.tm_min = m;
    tm.tm_sec = s;
    tm.tm_isdst = -1;  // let the local rules decide daylight saving for that time of day
    tv->tv_sec = mktime(&tm);
    tv->tv_usec = suseconds_t(tc_frames2sec(f) * 1e6);
}

namespace {
std::atomic<int64_t> g_advance_us{0};

// System time plus the advance, in microseconds since the epoch.
int64_t advanced_us() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return int64_t(tv.tv_sec) * 1000000 + tv.tv_usec + g_advance_us.load();
}
}  // namespace

void time_advance_set(int64_t us) {
    g_advance_us.store(us);
}

bool time_advance_add(int64_t us, int64_t *out) {
    int64_t old = g_advance_us.load(), sum;
    do {
        if (__builtin_add_overflow(old, us, &sum) || !time_advance_sane(sum)) return false;
    } while (!g_advance_us.compare_exchange_weak(old, sum));
    *out = sum;
    return true;
}

void time_now(struct timeval *tv) {
    int64_t us = advanced_us() + 1000;
    tv->tv_sec = time_t(us / 1000000);
    tv->tv_usec = suseconds_t(us % 1000000);
}

int64_t time_now_ms() {
    return advanced_us() / 1000;
}

int64_t time_now_us() {
    return advanced_us();
}
