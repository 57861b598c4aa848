// Chyro reader: a Chyro playlist (root chyro_playlist, version "1.9") becomes playlist events, one
// per schedule, with its graphics events clipped to the clip's marks.
#pragma once

#include <ctime>

#include "reader.h"

using chyro_params = reader_params;

// Open-day callback: the startdate of the first schedule and the user pointer.
typedef int (*chyro_open_day_cb)(time_t day, void *user);

int chyro_create(chyro_params **out, int flags);
int chyro_set_flag(chyro_params *p, int bits);
// Text parameters (id 1 loads the category-to-type file); id 5 alone takes a number. Always 0.
int chyro_set_param(chyro_params *p, int id, const char *text);
int chyro_set_param(chyro_params *p, int id, int value);
int chyro_destroy(chyro_params **p);
// Null restores the default hook (standard error).
int chyro_set_log_cb(reader_log_cb cb);

// 0; -22 when the file cannot be read as XML or its version is not "1.9"; -2 for another root.
// Sets the timecode mode from the first schedule's timescale. Each event is released when the
// callback returns.
int chyro_parse(chyro_params *p, const char *path, void *user, reader_write_event_cb write_event,
                chyro_open_day_cb open_day);
