// Adonis reader: an Adonis request (<Request><Put><Branding>...) becomes playlist events, one per
// branding, with the graphics tables of the SGT reader.
#pragma once

#include <ctime>

#include "reader.h"

using adonis_params = reader_params;

// Open-day callback: the day of the first branding, the user pointer, the input base name and
// the channel (both borrowed for the call).
typedef int (*adonis_open_day_cb)(time_t day, void *user, const char *base, const char *channel);

int adonis_create(adonis_params **out, int flags);
int adonis_set_flag(adonis_params *p, int bits);
// Text parameters; id 5 alone takes a number. Every id returns 0.
int adonis_set_param(adonis_params *p, int id, const char *text);
int adonis_set_param(adonis_params *p, int id, int value);
int adonis_destroy(adonis_params **p);
// Null restores the default hook (standard error).
int adonis_set_log_cb(reader_log_cb cb);

// 0; -22 when the file cannot be read as XML; -2 for a root other than Request or no Put.
// Each event is released when the callback returns.
int adonis_parse(adonis_params *p, const char *path, void *user, reader_write_event_cb write_event,
                 adonis_open_day_cb open_day);
