// Calls of the scheduler (MivraSched.): timed items recurring by minute, hour, day, weekday,
// month and year, the log of what it ran, and its on-air state. Every call takes the
// scheduler's server URL first.
#pragma once

#include "mivra.h"

#include <cstdint>
#include <memory>
#include <vector>

struct mivra_sched_item {
    int start_time = 0, duration = 0, tc = 0, enabled = 0, id = 0;
    text4k path, title;
    int64_t min = 0, hour = 0, day = 0, weekday = 0, month = 0, year = 0, calc = 0;
    text4k mode, enc, transfer, prefix;
};

struct mivra_sched_log {
    int64_t start = 0, calc = 0;
    int status = 0, start_time = 0, duration = 0, tc = 0;
    text4k origin, mode, enc, transfer, prefix;
};

// The scheduler's state: result non-zero while an item is on air; then status, duration and the
// start and end are set, else the next start.
struct mivra_sched_state {
    int result = 0;
    int64_t t_now = 0;
    text4k s_now;
    int status = 0, duration = 0;
    int64_t t_start = 0, t_end = 0;
    text4k s_start, s_end;
    int64_t t_next = 0;
    text4k s_next;
};

// Sends every field but id and calc.
int mivra_sched_item_add(const char *url, const mivra_sched_item *item);
int mivra_sched_item_del(const char *url, int id);
int mivra_sched_item_enable(const char *url, int id, int enabled);
int mivra_sched_expand_curr(const char *url, int a);
// A non-zero "result" is returned without a record.
int mivra_sched_item_get(const char *url, int id, std::unique_ptr<mivra_sched_item> *item);
// Items sorted by calc ascending (as a selection sort orders them); returns the count.
int mivra_sched_item_list(const char *url, std::vector<mivra_sched_item> *items);
// Log entries in the reply's order.
int mivra_sched_log_list(const char *url, std::vector<mivra_sched_log> *logs);
// Clears *state, fills it, and returns its result; a negative result is passed on undecoded.
int mivra_sched_get_state(const char *url, mivra_sched_state *state);

// One item struct into *item in two passes: a failure of the first (times, texts, calc) is
// reported and gives -14; a failure of the second (start_time, transfer, prefix) is reported
// and leaves transfer and prefix empty.
int mivra_sched_item_decompose(xmlrpc_value *v, mivra_sched_item *item);
