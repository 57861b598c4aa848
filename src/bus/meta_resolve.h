// Event-metadata resolver: placeholder keys of graphics text boxes ("current.ply.title",
// "nextN0.meta.artist", "next.whois.label") resolved against the cued event and a copy of the
// playlist. Shared by both daemons; works on the caller's copy and holds no lock.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "mivrabox_event.h"
#include "whois.h"

// ---- placeholders ----

// Replaces the first occurrence of placeholder in text (a buffer of 4096 bytes) by value, in
// place; nothing happens when there is none or when the value would not fit in 4095 bytes.
void replace_placeholder(char *text, const char *placeholder, const char *value);

struct str_sub {
    std::string from, to;
};
// One left-to-right pass over text: where one of the placeholders starts, its value goes out and
// the scan continues after the placeholder, so inserted text is never looked at again.
// first_only replaces each placeholder once at most.
std::string str_fill(std::string_view text, const str_sub *subs, size_t count, bool first_only);

// Graphics placeholders are "<key/>" tokens whose key holds no '<' or '>'; a '<' that starts no
// such token is plain text. Appends each key not yet in keys, in order of first occurrence.
void meta_keys_collect(std::string_view text, std::vector<std::string> &keys);
// Fills every token of a key in keys by its value (an empty text when values[i] is null) in one
// pass; the result is cut at 4095 bytes.
std::string meta_keys_fill(std::string_view text, const std::vector<std::string> &keys,
                           char *const *values);
// The same with the resolver's values (a key past the end of values gets the empty text).
std::string meta_keys_fill(std::string_view text, const std::vector<std::string> &keys,
                           const std::vector<std::string> &values);

// ---- keys ----

enum mivrabox_meta_method { META_PLY = 0, META_WHOIS = 1, META_META = 2 };
constexpr int META_TARGET_CURRENT = 0;
constexpr int META_TARGET_ANY = 255;
constexpr int META_INDEX_MAX = 4;  // targets "next<D>." and "next<L><D>." with D above are empty

struct mivrabox_meta_key {
    const char *name = nullptr;  // into the key text
    int method = 0;
    int target = 0;  // 0 the cued event, 255 any event, 'A'..'Z' events of that type
    int index = 0;   // 0 to 9
};

// 0, or -2 when the text is no key.
int mivrabox_event_meta_key_parse(const char *text, mivrabox_meta_key *key);

// Resolves keys for the cued event e at index e_idx of events[0, count): one value per key, the
// empty text for a key that names nothing (a key that does not parse, an event or a field that is
// not there, a failed whois lookup). Whois is asked at most once per event. Empty for bad
// arguments or without memory.
std::vector<std::string> mivrabox_event_meta_pairs_resolve(const mivrabox_event *e, int e_idx,
                                                           int count, mivrabox_event *const *events,
                                                           const std::vector<std::string> &keys,
                                                           const whois_config *cfg);

// Which events after the cued one a resolution for it may read, whatever its keys: each event
// among the first of its type or of all within the targets' reach. Shown the events that follow
// the cued one in playlist order, one call each; resolving over an array that keeps only the
// cued event and those taken (null elsewhere) gives the same values.
class mivrabox_meta_reach {
   public:
    bool takes(const mivrabox_event *e);

   private:
    int counter_[256] = {};
    int any_counter_ = 0;
};

// The value of a "ply." field of an event; false when the name is no field.
bool meta_ply_field(const mivrabox_event *e, std::string_view name, std::string &out);
