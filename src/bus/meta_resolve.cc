#include "meta_resolve.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include "log.h"
#include "wallclock.h"

// ---- placeholders ----

void replace_placeholder(char *text, const char *placeholder, const char *value) {
    constexpr size_t cap = 4095;
    if (!text || !placeholder || !*placeholder) return;
    if (!value) value = "";
    char *at = strstr(text, placeholder);
    if (!at) return;
    size_t head = size_t(at - text), plen = strlen(placeholder), vlen = strlen(value);
    if (head + vlen > cap) return;
    size_t tail = strlen(at + plen);
    // The tail moves first (memmove: the ranges overlap), cut so that the text stays in bounds.
    size_t keep = std::min(tail, cap - head - vlen);
    memmove(at + vlen, at + plen, keep);
    memcpy(at, value, vlen);
    at[vlen + keep] = '\0';
}

std::string str_fill(std::string_view text, const str_sub *subs, size_t count, bool first_only) {
    std::string out;
    out.reserve(text.size());
    std::vector<bool> used(count, false);
    size_t i = 0;
    while (i < text.size()) {
        bool hit = false;
        for (size_t k = 0; k < count && !hit; k++) {
            const std::string &from = subs[k].from;
            if (from.empty() || (first_only && used[k]) || text.compare(i, from.size(), from))
                continue;
            out += subs[k].to;
            i += from.size();
            used[k] = true;
            hit = true;
        }
        if (!hit) out += text[i++];
    }
    return out;
}

namespace {

// Key of the "<key/>" token starting at text[i] ('<'), or nullopt when none starts there.
std::optional<std::string_view> token_at(std::string_view text, size_t i) {
    size_t end = text.find("/>", i + 1);
    if (end == std::string_view::npos || end == i + 1) return std::nullopt;
    std::string_view key = text.substr(i + 1, end - i - 1);
    if (key.find_first_of("<>") != std::string_view::npos) return std::nullopt;
    return key;
}

}  // namespace

void meta_keys_collect(std::string_view text, std::vector<std::string> &keys) {
    for (size_t i = text.find('<'); i != std::string_view::npos; i = text.find('<', i + 1)) {
        auto key = token_at(text, i);
        if (!key) continue;
        bool known = false;
        for (const std::string &k : keys) known = known || k == *key;
        if (!known) keys.emplace_back(*key);
        i += key->size() + 2;
    }
}

std::string meta_keys_fill(std::string_view text, const std::vector<std::string> &keys,
                           const std::vector<std::string> &values) {
    std::vector<str_sub> subs;
    subs.reserve(keys.size());
    for (size_t k = 0; k < keys.size(); k++)
        subs.push_back({"<" + keys[k] + "/>", k < values.size() ? values[k] : ""});
    std::string out = str_fill(text, subs.data(), subs.size(), false);
    if (out.size() > 4095) out.resize(4095);
    return out;
}

std::string meta_keys_fill(std::string_view text, const std::vector<std::string> &keys,
                           char *const *values) {
    std::vector<std::string> v(keys.size());
    for (size_t k = 0; k < keys.size(); k++)
        if (values && values[k]) v[k] = values[k];
    return meta_keys_fill(text, keys, v);
}

// ---- keys ----

int mivrabox_event_meta_key_parse(const char *text, mivrabox_meta_key *key) {
    if (!text || !key) return -2;
    auto upper = [](char c) { return c >= 'A' && c <= 'Z'; };
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    const char *rest = nullptr;
    int target = 0, index = 0;
    if (!strncmp(text, "current.", 8)) {
        rest = text + 8;
    } else if (!strncmp(text, "next", 4) && upper(text[4]) && digit(text[5]) && text[6] == '.') {
        target = text[4];
        index = text[5] - '0';
        rest = text + 7;
    } else if (!strncmp(text, "curr.", 5)) {
        rest = text + 5;
    } else if (!strncmp(text, "next.", 5)) {
        target = META_TARGET_ANY;
        rest = text + 5;
    } else if (!strncmp(text, "next", 4) && digit(text[4]) && text[5] == '.') {
        target = META_TARGET_ANY;
        index = text[4] - '0';
        rest = text + 6;
    } else {
        return -2;
    }
    int method;
    if (!strncmp(rest, "ply.", 4)) {
        method = META_PLY;
        rest += 4;
    } else if (!strncmp(rest, "whois.", 6)) {
        method = META_WHOIS;
        rest += 6;
    } else if (!strncmp(rest, "meta.", 5)) {
        method = META_META;
        rest += 5;
    } else {
        return -2;
    }
    key->name = rest;
    key->method = method;
    key->target = target;
    key->index = index;
    return 0;
}

bool meta_ply_field(const mivrabox_event *e, std::string_view name, std::string &out) {
    auto tod = [e](int cuts) {
        struct timeval tv;
        char tc[TIME_TC_SIZE];
        time_ms2tv(e->start, &tv);
        time_tv2tc(&tv, tc);
        std::string s = tc;
        for (int i = 0; i < cuts; i++) {
            size_t c = s.rfind(':');
            if (c != std::string::npos) s.resize(c);
        }
        return s;
    };
    auto media_file = [e] {
        std::string s = e->media_id.str();
        size_t h = s.rfind('#');
        if (h != std::string::npos) s.resize(h);
        size_t sl = s.rfind('/');
        return sl == std::string::npos ? s : s.substr(sl + 1);
    };
    if (name == "title") {
        out = e->title.str();
    } else if (name == "type") {
        out = e->event_type > 0 && e->event_type < 256 ? std::string(1, char(e->event_type)) : "";
    } else if (name == "mark_in") {
        out = e->mark_in.str();
    } else if (name == "mark_out") {
        out = e->mark_out.str();
    } else if (name == "duration") {
        out = e->duration.str();
    } else if (name == "media_id") {
        out = e->media_id.str();
    } else if (name == "start_time") {
        out = e->start_time.str();
    } else if (name == "start_time_HH_MM_SS") {
        out = tod(1);
    } else if (name == "start_time_HH_MM") {
        out = tod(2);
    } else if (name == "media_file") {
        out = media_file();
    } else if (name == "media_file_id") {
        out = media_file();
        // a three-letter extension only
        if (out.size() >= 4 && out.rfind('.') == out.size() - 4) out.resize(out.size() - 4);
    } else {
        return false;
    }
    return true;
}

namespace {

constexpr int kRows = META_INDEX_MAX + 1;

// What one resolution knows about one event's whois reply.
struct whois_slot {
    const mivrabox_event *ev = nullptr;
    bool failed = false;
    char **pairs = nullptr;
    ~whois_slot() { strv_free(&pairs); }
};

struct lookup_map {
    bool wanted[kRows][256] = {};
    const mivrabox_event *ev[kRows][256] = {};
    std::vector<std::unique_ptr<whois_slot>> whois;

    const char *whois_get(const mivrabox_event *e, const char *name, const whois_config *cfg) {
        whois_slot *slot = nullptr;
        for (auto &w : whois)
            if (w->ev == e) slot = w.get();
        if (!slot) {
            whois.push_back(std::make_unique<whois_slot>());
            slot = whois.back().get();
            slot->ev = e;
            // A failure is remembered for this resolution only; the next cue asks again.
            slot->failed =
                !cfg || whois_method_0(cfg, e->media_id.c_str(), e->tag.c_str(), &slot->pairs) <= 0;
        }
        if (slot->failed) return nullptr;
        for (char **p = slot->pairs; p[0] && p[1]; p += 2)
            if (!strcmp(p[0], name)) return p[1];
        return nullptr;
    }
};

}  // namespace

bool mivrabox_meta_reach::takes(const mivrabox_event *e) {
    // Counted as the resolution counts: an event past the reach of both its type and the untyped
    // targets is never picked, and leaving it out moves no count that still matters.
    const int t = e->event_type & 0xFF;
    const bool typed = t != META_TARGET_ANY;
    const bool in = any_counter_ < kRows || (typed && counter_[t] < kRows);
    any_counter_++;
    if (typed) counter_[t]++;
    return in;
}

namespace {

constexpr const char *kResolver = "mivrabox_event_meta_pairs_resolve";

using parsed_keys = std::vector<std::optional<mivrabox_meta_key>>;

// Parses every key and marks the entries the scan must fill; the count of distinct marks.
int keys_parse(const std::vector<std::string> &keys, parsed_keys &parsed, lookup_map &map) {
    int marks = 0;
    parsed.assign(keys.size(), std::nullopt);
    for (size_t k = 0; k < keys.size(); k++) {
        mivrabox_meta_key mk;
        if (mivrabox_event_meta_key_parse(keys[k].c_str(), &mk) < 0) {
            log_msg(LOG_ERROR, "%s: failed to parse meta key [%s]", kResolver, keys[k].c_str());
            continue;
        }
        log_msg(LOG_INFO, "%s: key=[%s] => name=[%s], trg=%d, type=[%d], idx=%d", kResolver,
                keys[k].c_str(), mk.name, mk.method, mk.target, mk.index);
        parsed[k] = mk;
        if (mk.target == META_TARGET_CURRENT || mk.index > META_INDEX_MAX) continue;
        bool &w = map.wanted[mk.index][mk.target];
        if (!w) marks++;
        w = true;
    }
    return marks;
}

// Fills the marked entries from the events after the cued one, stopping once all are filled.
void events_scan(lookup_map &map, int start, int count, mivrabox_event *const *events, int marks) {
    log_msg(LOG_INFO, "%s: scanning playlist, start=%d, count=%d, marks_cnt=%d", kResolver, start,
            count, marks);
    // Every scanned event counts for its type and for the untyped targets, so "nextN1."
    // names the second N event after the cued one whether or not "nextN0." was asked.
    int counter[256] = {};
    int any_counter = 0;
    int filled = 0;
    for (int i = start < 0 ? 0 : start; i < count && filled < marks; i++) {
        const mivrabox_event *ev = events[i];
        if (!ev) continue;
        int t = ev->event_type & 0xFF;
        // the untyped entry first, then the typed one (type 255 has none)
        int slots[2][2] = {{any_counter, META_TARGET_ANY}, {counter[t], t}};
        for (int n = 0; n < (t == META_TARGET_ANY ? 1 : 2); n++) {
            int j = slots[n][0], type = slots[n][1];
            if (j >= kRows || !map.wanted[j][type] || map.ev[j][type]) continue;
            map.ev[j][type] = ev;
            filled++;
            log_msg(LOG_INFO,
                    "%s: i=%d, j=%d, e->event_type=[%c], lookup_map_counter[e->event_type]=%d, "
                    "marks_cnt=%d, e->media_id=[%s], e->start_time=[%s]",
                    kResolver, i, j, t ? t : ' ', counter[t], marks, ev->media_id.c_str(),
                    ev->start_time.c_str());
        }
        any_counter++;
        if (t != META_TARGET_ANY) counter[t]++;
    }
}

// The value of one parsed key, once its event is known; nullopt (logged) when there is none.
std::optional<std::string> key_fill(const mivrabox_meta_key &mk, const mivrabox_event *e,
                                    lookup_map &map, const whois_config *cfg) {
    const mivrabox_event *ev = nullptr;
    if (mk.target == META_TARGET_CURRENT)
        ev = e;
    else if (mk.index <= META_INDEX_MAX)
        ev = map.ev[mk.index][mk.target];
    if (!ev) return std::nullopt;
    std::string v;
    const char *s = nullptr;
    switch (mk.method) {
        case META_PLY:
            if (meta_ply_field(ev, mk.name, v)) return v;
            log_msg(LOG_ERROR, "%s: playlist field [%s] no known", kResolver, mk.name);
            break;
        case META_META:
            if (mivrabox_event_meta_get(ev, mk.name, &s) >= 0 && s) return std::string(s);
            log_msg(LOG_ERROR, "%s: metadata field [%s] not found", kResolver, mk.name);
            break;
        case META_WHOIS:
            if ((s = map.whois_get(ev, mk.name, cfg))) return std::string(s);
            break;
    }
    return std::nullopt;
}

}  // namespace

std::vector<std::string> mivrabox_event_meta_pairs_resolve(const mivrabox_event *e, int e_idx,
                                                           int count, mivrabox_event *const *events,
                                                           const std::vector<std::string> &keys,
                                                           const whois_config *cfg) {
    if (!e || count < 0 || (count > 0 && !events)) return {};
    try {
        auto map = std::make_unique<lookup_map>();
        parsed_keys parsed;
        int marks = keys_parse(keys, parsed, *map);
        events_scan(*map, e_idx + 1, count, events, marks);
        std::vector<std::string> out(keys.size());
        for (size_t k = 0; k < keys.size(); k++) {
            if (!parsed[k]) continue;  // logged by keys_parse
            std::optional<std::string> v = key_fill(*parsed[k], e, *map, cfg);
            if (v)
                out[k] = std::move(*v);
            else
                log_msg(LOG_INFO, "%s: no event/data found for meta key [%s]", kResolver,
                        keys[k].c_str());
        }
        return out;
    } catch (...) {
        return {};
    }
}
