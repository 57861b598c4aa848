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
// System time plus one millisecond.
void time_now(struct timeval *tv);
// Milliseconds since the epoch from the system clock.
int64_t time_now_ms();
