// Playlist writers: the shared run of the command-line writers (arguments, timecode mode,
// playlist, broadcast day, late output) and the formatters of each outside document.
#pragma once

#include <ctime>
#include <new>
#include <string>
#include <string_view>

#include "mivrabox_event.h"
#include "mivrabox_ply.h"

// Broadcast day of the playlist.
struct ply_wr_day {
    int year = 0, month = 0, day = 0;
};

// What one document formatter needs besides the playlist.
struct ply_wr_ctx {
    ply_wr_day day;
    const char *src = "";      // playlist path as given on the command line
    const char *channel = "";  // branding channel name
    const char *dep = "";      // value of DEP
};

// Appends the whole document for list l to out; 0 or a negated errno.
using ply_wr_format_fn = int (*)(const ply_list *l, const ply_wr_ctx &ctx, std::string &out);

// One writer program, as data: its command line, its rules and its formatter.
struct ply_wr_prog {
    int min_args, max_args;  // positional arguments; the last one is the optional output
    const char *usage;       // usage line with %s for the invocation name
    int fixed_tc_mode;       // -1: from TC_MODE with the rate report; else this mode, silently
    bool eight_digit_day;    // broadcast day also from a YYYYMMDD segment after '_'
    bool open_errno;         // the open failure names the errno
    bool with_channel;       // the first argument is the channel name
    ply_wr_format_fn format;
};

// The program of that name, or null.
const ply_wr_prog *ply_wr_find(const char *name);
// Runs a writer program; returns the exit status.
int ply_wr_main(int argc, char **argv, const ply_wr_prog &prog);

// Broadcast day from the playlist path's base name cut at its last '.': "%d-%d-%d", or with
// eight_digit a segment of exactly eight digits at the start or after a '_'. Returns 1 when
// parsed as year-month-day, 2 when parsed from eight digits, else 0 with *fields set to what
// "%d-%d-%d" read (the day is left alone). *name gets the cut base name.
int ply_wr_day_from_name(const char *path, bool eight_digit, ply_wr_day *day, int *fields,
                         std::string *name);
// Today's local date.
ply_wr_day ply_wr_today();

// Rate text of a timecode mode: "25" for 0 and unknown modes, "50", "30", "29.97".
const char *ply_wr_rate_text(int mode);

// Local midnight of the day, daylight saving as the calendar has it.
time_t ply_wr_day_time(const ply_wr_day &day);
// The start "hh:mm:ss:ff" on the day taken as local standard time, turned into UTC; the
// frames are kept as read (missing numbers are 0).
void ply_wr_utc_start(const ply_wr_day &day, const char *start_time, struct tm *utc, int *frames);

// media_id after its last '/', or all of it.
std::string_view ply_wr_base_name(std::string_view media_id);
// SGT media name: the base name cut at its first '#'.
std::string_view ply_wr_sgt_media_name(std::string_view media_id);
// Text cut at its last '.', or all of it.
std::string_view ply_wr_cut_ext(std::string_view name);
// SGT start type text of a start mode.
const char *ply_wr_start_type(char start_mode);
// Value of the first or last pair with the key, or "".
const char *ply_wr_meta_first(const mivrabox_event *ev, const char *key);
const char *ply_wr_meta_last(const mivrabox_event *ev, const char *key);

// Appends text for a double-quoted attribute: '"', '&', '\'', '<' and '>' as entities. The
// result grows as needed, so a long title is never cut inside an entity or a character.
void xml_escape_attr(std::string &out, std::string_view text);
// The text escaped for an attribute, as a new string.
std::string ply_wr_attr(std::string_view text);
// Appends element content: '&', '<' and '>' as entities.
void ply_wr_xml_text(std::string &out, std::string_view text);
// Appends a CDATA section holding text; a "]]>" inside is split over two sections.
void ply_wr_cdata(std::string &out, std::string_view text);
// Appends text as one cell of the semicolon table: ';', CR and LF would split the row or its
// cells, so they become spaces.
void ply_wr_cell(std::string &out, std::string_view text);

// Appends formatted text to out.
void ply_wr_appendf(std::string &out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Runs f, turning a failed allocation into -12.
template <class F>
int ply_wr_guard(F &&f) {
    try {
        f();
        return 0;
    } catch (const std::bad_alloc &) {
        return -12;
    }
}

// Document formatters.
int ply_wr_sgt(const ply_list *l, const ply_wr_ctx &ctx, std::string &out);
int ply_wr_sgt2(const ply_list *l, const ply_wr_ctx &ctx, std::string &out);
int ply_wr_chyro(const ply_list *l, const ply_wr_ctx &ctx, std::string &out);
int ply_wr_abcvs_table(const ply_list *l, const ply_wr_ctx &ctx, std::string &out);
int ply_wr_branding(const ply_list *l, const ply_wr_ctx &ctx, std::string &out);
