// Playlist event record, its one-line text form and its metadata pairs.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "text.h"

// Runtime flag bits of an event: one vocabulary for the daemons and the box clients.
enum mivrabox_flag : uint64_t {
    MIVRABOX_F_CUE_REQ = 0x1,
    MIVRABOX_F_PLAYING = 0x2,  // a playing first event is never displaced by an insert at 0
    MIVRABOX_F_PRESENT = 0x4,
    MIVRABOX_F_CUED = 0x8,
    MIVRABOX_F_CUE_FAILED = 0x10,
    MIVRABOX_F_PLAY_FAILED = 0x20,
    MIVRABOX_F_ON_AIR = 0x40,  // start no longer recomputed
    MIVRABOX_F_ABSENT = 0x80,
    MIVRABOX_F_RANGE = 0x100,
    MIVRABOX_F_QUEUED = 0x200,
    MIVRABOX_F_PARTIAL = 0x400,
    MIVRABOX_F_DISCONT = 0x2000000,
};

// Auxiliary media state of the single-player daemon: two bits per kind k at bit 11 + 2k.
constexpr int MIVRABOX_AUX_SHIFT = 11;
constexpr int MIVRABOX_AUX_KINDS = 7;
inline int mivrabox_aux_get(uint64_t flags, int kind) {
    return int((flags >> (MIVRABOX_AUX_SHIFT + 2 * kind)) & 3);
}
inline uint64_t mivrabox_aux_set(uint64_t flags, int kind, int state) {
    int shift = MIVRABOX_AUX_SHIFT + 2 * kind;
    return (flags & ~(uint64_t(3) << shift)) | (uint64_t(state & 3) << shift);
}

// std::atomic that copies by value, so that records holding one stay plain copyable values.
template <class T>
struct mivrabox_atomic : std::atomic<T> {
    using std::atomic<T>::operator=;
    mivrabox_atomic() noexcept : std::atomic<T>(T()) {}
    mivrabox_atomic(T v) noexcept : std::atomic<T>(v) {}
    mivrabox_atomic(const mivrabox_atomic &o) noexcept
        : std::atomic<T>(o.load(std::memory_order_relaxed)) {}
    mivrabox_atomic &operator=(const mivrabox_atomic &o) noexcept {
        this->store(o.load(std::memory_order_relaxed), std::memory_order_relaxed);
        return *this;
    }
};

// A pointer that copies as null.
struct mivrabox_lib_mark {
    const void *p = nullptr;
    mivrabox_lib_mark() = default;
    mivrabox_lib_mark(const mivrabox_lib_mark &) noexcept {}
    mivrabox_lib_mark &operator=(const mivrabox_lib_mark &) noexcept {
        p = nullptr;
        return *this;
    }
};

// Start modes accepted in line field 1; all but 'F', 'M' and 'G' are scheduled as follow.
constexpr std::string_view MIVRABOX_START_MODES = " FMG[-]I(=)O";

// Line width that callers format into; the reader converters use twice as much.
constexpr size_t MIVRABOX_LINE_SIZE = 16384;

struct mivrabox_meta_pair {
    btext<256> key;
    text4k value;
};

// One timed playlist item. Heap record, reference counted: created by mivrabox_event_new,
// _parse or _clone with one reference, freed at its last mivrabox_event_unref.
struct mivrabox_event {
    int event_type = 0;  // line field 5, 0 when none
    text32 start_time;
    text4k media_id;
    text4k title;
    text32 mark_in;
    text32 mark_out;
    text32 duration;
    text4k assets;  // '+'-separated secondary elements
    // Runtime fields, never in the line. start -1 marks an event for deletion in a ply_list.
    int64_t start = 0;  // milliseconds since the epoch
    // Changed by cue and play threads that do not hold the bus lock.
    mivrabox_atomic<uint64_t> flags;
    text4k origin;
    int64_t amend = 0;
    int64_t sys_id = 0;
    char start_mode = 0;  // one of MIVRABOX_START_MODES, or 0
    text32 follow_time;
    text4k tag;
    text32 audio_map;
    text32 audio_amp;
    text32 ar;
    text4k extra;  // a sixteenth line field: kept, never written
    // Released from threads that do not hold the bus lock.
    mivrabox_atomic<int> refcount{1};
    // A bus's media registration, under its lock: the event is registered while lib_owner is its
    // own address, under the id lib_id. Never copied: a clone is not registered.
    mivrabox_lib_mark lib_owner;
    std::string lib_id;
    // Where the event last stood in a playlist, as its index plus the list's base then (see
    // ply_list::base): a hint, true only while the list holds the event there.
    mutable int64_t place = -1;
    std::vector<mivrabox_meta_pair> pairs;

    int meta_count() const { return int(pairs.size()); }
};

mivrabox_event *mivrabox_event_new();
// New count, or -22 for a null event.
int mivrabox_event_ref(mivrabox_event *ev);
// Clears *pev and frees the event when this was its last reference; 0, or -22.
int mivrabox_event_unref(mivrabox_event **pev);
// Full copy (runtime fields and pairs too) with one reference; null on a null source or no memory.
mivrabox_event *mivrabox_event_clone(const mivrabox_event *ev);

// Writes the 15-field playlist line, without line end, cut at size - 1 bytes; returns buf.
// TAB, CR and LF inside a plain text field are written as spaces so that the line keeps its
// shape; the metadata field is escaped.
char *mivrabox_event_format(const mivrabox_event *ev, char *buf, size_t size);
// Appends the whole playlist line, uncut, to out; returns its length (0 for a null event).
size_t mivrabox_event_format_append(const mivrabox_event *ev, std::string &out);

// Parses one playlist line (no line end removed; the text ends at its first NUL).
// Null when the field count is not 9, 12, 14, 15 or 16, or memory runs out.
mivrabox_event *mivrabox_event_parse(const char *text);
mivrabox_event *mivrabox_event_parse(std::string_view text);

// Appends a pair, key cut at 255 and value at 4095 bytes. A null or empty key or value adds
// nothing and is reported on standard error. Returns *pev.
mivrabox_event *mivrabox_event_meta_add(mivrabox_event **pev, const char *key, const char *value);
mivrabox_event *mivrabox_event_meta_add(mivrabox_event **pev, std::string_view key,
                                        std::string_view value);
// Index of the first pair whose key equals key (case matters), *value set to its value;
// -2 with *value null when none matches.
int mivrabox_event_meta_get(const mivrabox_event *ev, const char *key, const char **value);
// The metadata field in a new heap text (free()); *out is set too. Null when memory runs out.
char *mivrabox_event_meta_format(const mivrabox_event *ev, char **out);
// Appends the metadata field to out.
void mivrabox_event_meta_format_append(const mivrabox_event *ev, std::string &out);
// Adds the pairs of a metadata field; 0 (-22 for a null event, -12 without memory).
int mivrabox_event_meta_parse(mivrabox_event **pev, const char *text);
int mivrabox_event_meta_parse(mivrabox_event **pev, std::string_view text);

// In-place unescape of the metadata field: "\\\\" -> '\\', "\\n" -> LF, "\\r" -> CR,
// "\\t" -> TAB; a backslash before anything else is dropped with that character, a backslash
// at the end is dropped. Returns text.
char *mivrabox_unescape(char *text);
// The same over a buffer; returns the new length.
size_t mivrabox_unescape(char *text, size_t len);

// Duration in frames of the current timecode mode: DUR when it reads as 0 or more, else
// OUT - IN + 1 when both read and OUT >= IN >= 0, else dflt.
int mivrabox_event_duration(const mivrabox_event *ev, int dflt);

// Next number of the process-wide sys_id counter: 1, 2, ... once each, from any thread.
int64_t mivrabox_sys_id_next();
// Event time base: milliseconds since the epoch from the system clock.
int64_t mivrabox_now_ms();
