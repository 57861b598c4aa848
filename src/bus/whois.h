// Whois lookup: one HTTP GET per media, built from a URL template, answered by key TAB value lines.
// Shared by both daemons.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "text.h"

// Per-bus settings (options whois-method and whois-arg-0 .. 3; arg 0 is the URL template with
// "<MEDIA_ID>" and "<TAG>").
struct whois_config {
    int method = 0;
    text4k arg[4];
    // Instant on whois_clock_ms after which a lookup is useless (0: none): a transfer is cut
    // there, and none starts once it passed.
    int64_t deadline_ms = 0;
};

// Monotonic milliseconds, the clock of whois_config::deadline_ms.
int64_t whois_clock_ms();

// Transfer limits: a hung endpoint must not hold the cue of the next event for long.
constexpr long WHOIS_CONNECT_TIMEOUT_MS = 2000;
constexpr long WHOIS_TOTAL_TIMEOUT_MS = 5000;
constexpr size_t WHOIS_REPLY_MAX = size_t(1) << 20;

// Owned arrays of owned texts, closed by a null entry: the pairs of a whois reply.

// Appends a copy of text (a null text is refused with -22); 0, or -12 without memory.
int strv_add_dup(char ***v, int *count, const char *text);
// Appends text itself, which the array then owns (freed with free()).
int strv_add(char ***v, int *count, char *text);
void strv_free(char ***v);
// -22 when v or *v is null, else frees count texts and the array and clears both; 0.
int strv_free_n(char ***v, int *count);
// A new array holding copies of every text; 0, or -12.
int strv_from(const std::vector<std::string> &texts, char ***v);

// Called when a bus starts and stops; 0.
int whois_init(whois_config *cfg);
int whois_fini(whois_config *cfg);

// Looks the media up: the number of pairs (1 or more) with *pairs set to an owned array
// key, value, key, value, ... closed by a null entry (free with strv_free); -2 when the method is
// not 0 or the reply holds no pair, -14 when the transfer failed, timed out, the deadline had
// passed or the reply was too big, -42 when no data came back, -22 for bad arguments.
int whois_method_0(const whois_config *cfg, const char *media_id, const char *tag, char ***pairs);

// The reply body as pairs: lines end at LF or CR, empty lines are skipped, a line is split at
// its first TAB, a line without TAB is ignored, and a line with an empty key continues the value
// of the pair before it after an LF. out gets key, value, key, value, ...; returns the pair count.
int whois_reply_parse(std::string_view body, std::vector<std::string> &out);

// The request URL: the template with its first "<MEDIA_ID>" and first "<TAG>" replaced in one
// pass by the percent-encoded media id (a trailing '#' removed) and tag. -22 when the result
// would pass 4095 bytes.
int whois_url(const char *tmpl, const char *media_id, const char *tag, std::string &url);
