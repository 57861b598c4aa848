// Timecodes: frame counts at one process-wide rate, written "hh:mm:ss:ff".
#pragma once

#include <cstdint>

enum tc_modes { TC_PAL = 0, TC_50 = 1, TC_NTSC = 2, TC_NTSC_DF = 3, TC_FROM_ENV = 4 };

// Callers keep timecode texts in fields of this size.
constexpr int TC_TEXT_SIZE = 32;

int tc_mode_parse(const char *name);
int tc_setmode(int mode);
int tc_getmode();

int tc_frames2hmsf(int frames, int *h, int *m, int *s, int *f);
char *tc_frames2str(int frames, char *buf);  // buf holds at least TC_TEXT_SIZE bytes
int tc_hmsf2frames(int h, int m, int s, int f);
int tc_str2hmsf(const char *text, int *h, int *m, int *s, int *f);
// False when the text's fields, or the frame count they make, do not fit an int: such a time
// would only come out clamped or wrapped.
bool tc_str_fits(const char *text);
int tc_str2frames(const char *text);
int tc_str2ms(const char *text);
int tc_frames2ms(int frames);
double tc_frames2sec(int frames);
int tc_sec2frames(double seconds);
int tc_ms2frames(int ms);
int tc_digits2frames(const char *text);
char *tc_bcd2str(uint32_t bcd, char *buf);  // buf holds at least 12 bytes
int tc_bcd2frames(uint32_t bcd);
uint32_t tc_frames2bcd(int frames);
int tc_rescale(int a, int b, double x);
double tc_ratio(int a, int b, int c);
int64_t tc_muldiv_ms(int a, int b, int c);
int tc_ms_scale(int a, int b, int c);
int tc_zero();
