// BXF reader: the schedule of a BXF message (BxfMessage/BxfData/Schedule) becomes playlist events,
// one per scheduled event, with title, start mode, start time and duration only.
#pragma once

#include <libxml/tree.h>

#include "reader.h"

// Context of one reader. Flags, aspect and category table are kept for the caller; parsing does
// not read them.
struct bxf_ctx {
    reader_params params;  // flags, aspect copy, category table
    int events_written = 0;
    // Kept for callers; the document is streamed, one event at a time, so these stay null.
    xmlDoc *doc = nullptr;
    xmlNode *root = nullptr;
};

// Open-day callback: the broadcastDate text (null when the attribute is missing) and the user
// pointer.
typedef int (*bxf_open_day_cb)(const char *date, void *user);

// 0 (also when the category file cannot be read); -22 for a null handle pointer; -12 out of memory.
int bxf_init(bxf_ctx **out, int flags, const char *aspect, const char *category_path);
// 0; -22 when the file cannot be read as XML (or a null context or path); -2 when BxfMessage,
// BxfData and Schedule are not each the first child node of the level above. Each event is
// released when the callback returns.
int bxf_parse(bxf_ctx *ctx, const char *path, void *user, reader_write_event_cb write_event,
              bxf_open_day_cb open_day);
// 0 and the handle cleared; -22 for a null handle pointer.
int bxf_destroy(bxf_ctx **h);
// Null restores the default hook (standard error).
int bxf_set_log_cb(reader_log_cb cb);
