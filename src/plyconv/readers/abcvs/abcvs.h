// AB CVS reader: a table of ';'-separated rows (header first, 20 columns) becomes playlist events.
#pragma once

#include "reader.h"

// Identifies the reader to its callback; it carries no settings.
struct abcvs_handle {};

typedef int (*abcvs_write_event_cb)(abcvs_handle *h, mivrabox_event *ev, void *user);

// 0; -22 for a null out pointer; -12 when memory runs out.
int abcvs_create(abcvs_handle **out);
// Clears the caller's handle; -22 for a null pointer.
int abcvs_destroy(abcvs_handle **h);
// Null restores the default hook (standard error).
int abcvs_set_log_cb(reader_log_cb cb);

// Sets the timecode mode to 50. 0 when the file was read; the negated errno when it cannot be
// opened; -12 when memory runs out. Each event is released when the callback returns.
int abcvs_parse(abcvs_handle *h, const char *path, void *reserved, void *user,
                abcvs_write_event_cb write_event);
