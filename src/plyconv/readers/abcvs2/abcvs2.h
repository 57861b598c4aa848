// AB CVS2 reader: a TAB-separated table of 17 columns, found by the names of its header row,
// becomes playlist events. ISO-8859-1 tables are converted to UTF-8 cell by cell.
#pragma once

#include <iconv.h>

#include "reader.h"

// Identifies the reader to its callback; it carries no settings.
struct abcvs2_handle {};

typedef int (*abcvs2_write_event_cb)(abcvs2_handle *h, mivrabox_event *ev, void *user);

constexpr size_t ABCVS2_CELL_SIZE = 4096;

// 0; -22 for a null out pointer; -12 when memory runs out.
int abcvs2_create(abcvs2_handle **out);
// Clears the caller's handle; -22 for a null pointer.
int abcvs2_destroy(abcvs2_handle **h);
// Null restores the default hook (standard error).
int abcvs2_set_log_cb(reader_log_cb cb);

// The cell converted into buf (cleared first, at most ABCVS2_CELL_SIZE - 1 bytes and a NUL);
// a failure is logged and what was converted up to it is kept. Returns buf.
char *conv_str(iconv_t cd, const char *cell, char *buf);

// 0 when the file was read; the negated errno when it cannot be opened; -12 when memory runs out.
// Each event is released when the callback returns.
int abcvs2_parse(abcvs2_handle *h, const char *path, void *reserved, void *user,
                 abcvs2_write_event_cb write_event);
