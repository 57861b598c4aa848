// BeInSports EPG reader: a programme guide in XML becomes fixed-time events over one background
// clip, one per programme, with the programme's texts as metadata. No parameters, no log.
#pragma once

#include <ctime>

#include "reader.h"

// Open-day callback: local midnight of each TX_DAY, and the user pointer.
typedef int (*beinsports_epg_open_day_cb)(time_t day, void *user);

// The XML library's version test; 0.
int beinsports_epg_init();
// Releases the XML parser's global state; 0.
int beinsports_epg_cleanup();

// 0 when the document was read; -22 when the XML library cannot read it; -2 when the root is not
// EPG. Each event is released when the callback returns.
int beinsports_epg_parse(const char *path, void *reserved, void *user,
                         reader_write_event_cb write_event, beinsports_epg_open_day_cb open_day);
