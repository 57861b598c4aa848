// SGT reader: an SGT playlist import message becomes playlist events, one per <Lines>; an evs
// playlist is split into one evs file per branding.
#pragma once

#include <ctime>

#include "reader.h"

using sgt_params = reader_params;

// Open-day callback: the broadcast day, the user pointer, the playlist name and the channel
// (both borrowed for the call).
typedef int (*sgt_open_day_cb)(time_t day, void *user, const char *name, const char *channel);

int sgt_create(sgt_params **out, int flags);
int sgt_set_flag(sgt_params *p, int bits);
// Text parameters; id 5 alone takes a number. Every id returns 0.
int sgt_set_param(sgt_params *p, int id, const char *text);
int sgt_set_param(sgt_params *p, int id, int value);
int sgt_destroy(sgt_params **p);
// Null restores the default hook (standard error).
int sgt_set_log_cb(reader_log_cb cb);

// 0; -22 when the file cannot be read as XML; -2 for a wrong structure (a root other than
// Envelope also splits the document into evs files). Each event is released when the callback
// returns.
int sgt_parse(sgt_params *p, const char *path, void *user, reader_write_event_cb write_event,
              sgt_open_day_cb open_day);
