// Wall-clock helpers: event starts are milliseconds since the epoch from the system clock, their
// texts the local time of day with frames in the process-wide timecode mode.
#pragma once

#include <sys/time.h>

#include <cstdint>

// Room for "hh:mm:ss:ff" of the wall clock (hours stay below 24).
constexpr int TIME_TC_SIZE = 16;

int64_t time_tv2ms(const struct timeval *tv);
void time_ms2tv(int64_t ms, struct timeval *tv);
// Local time of day of tv as "%.2d:%.2d:%.2d:%.2d"; out holds TIME_TC_SIZE bytes.
void time_tv2tc(const struct timeval *tv, char *out);
// Today's instant (local date of now) at the time of day of a timecode text.
void time_tc_today2tv(const char *tc, struct timeval *tv);
// System time plus the clock advance plus one millisecond.
void time_now(struct timeval *tv);
// Milliseconds since the epoch from the system clock plus the clock advance.
int64_t time_now_ms();
// The same clock in microseconds.
int64_t time_now_us();
// Process-wide clock advance in microseconds (0 unless a daemon sets it), one atomic value.
void time_advance_set(int64_t us);
// The advance stays within a century either way: beyond it the bus clock names no date a
// playlist can mean, and near 64 bits the sum with the system time wraps into the past.
constexpr int64_t TIME_ADVANCE_MAX_US = int64_t(36525) * 86400 * 1000000;
inline bool time_advance_sane(int64_t us) {
    return us >= -TIME_ADVANCE_MAX_US && us <= TIME_ADVANCE_MAX_US;
}
// Adds us in one atomic step; false, with the advance unchanged, when the sum leaves the sane
// range. *out gets the new advance.
bool time_advance_add(int64_t us, int64_t *out);
