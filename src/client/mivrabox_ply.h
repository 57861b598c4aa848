// Playlist list: an ordered array of owned events with a revision counter, and playlist files.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "mivrabox_event.h"

// Longest line the playlist reader takes in; a longer one is skipped whole.
constexpr size_t PLY_LINE_MAX = size_t(16) << 20;
// Largest playlist file read, far beyond any real one (a million events of 256 bytes); a larger
// file is refused whole with -27 before it is read.
constexpr uint64_t PLY_FILE_MAX = uint64_t(256) << 20;

struct ply_list {
    // Raised by every insert, replace, removal and clear; reported as the box state's amend.
    // Single-player cue and play threads raise it without the bus lock.
    std::atomic<int> revision{0};
    int total_duration = 0;  // milliseconds, kept by the daemon's start-time recomputation
    std::vector<mivrabox_event *> items;  // each one reference owned by the list
    int64_t last_cued_sys_id = 0;
    int64_t last_played_sys_id = 0;
    // Raised by every change of which events the list holds or where (not of an event's fields),
    // and by a change of an event's start mode: an index of the events is kept against it.
    uint64_t shape = 0;
    // Indexes of the fixed-time events in order, as of shape fixed_shape (kept by the bus).
    std::vector<int> fixed_idx;
    uint64_t fixed_shape = UINT64_MAX;
    // Raised by the count of events taken off the front of the list at once (the scheduler
    // retires the events before the one it plays): the events after them keep their places.
    int64_t base = 0;

    ply_list() = default;
    ply_list(const ply_list &) = delete;
    ply_list &operator=(const ply_list &) = delete;
    ~ply_list();
    int count() const { return int(items.size()); }
};

// The index of e in l by the place it was last given there; -1 when that no longer tells (e moved
// since, or was never placed): never a wrong index.
inline int ply_place_index(const ply_list *l, const mivrabox_event *e) {
    const int64_t i = e->place - l->base;
    return i >= 0 && i < l->count() && l->items[size_t(i)] == e ? int(i) : -1;
}
// Keeps index as e's place in l.
inline void ply_place_keep(const ply_list *l, const mivrabox_event *e, int index) {
    e->place = l->base + index;
}

// Results: the value named, or -22 for a null list or event, -12 when memory runs out.
int ply_new(ply_list **out);
int ply_free(ply_list **pl);
// Clones every event with its runtime fields; revision, total and last ids of the copy are 0.
int ply_dup(const ply_list *l, ply_list **out);
// Inserts a clone before index (appends when index < 0 or >= count); start and flags of the
// clone are cleared unless keep_runtime. -2 for index 0 while the first event plays.
// Returns the index where the event now stands.
int ply_insert_event(ply_list *l, const mivrabox_event *ev, int index, int keep_runtime);
int ply_insert_event_fresh(ply_list *l, const mivrabox_event *ev, int index);
// Clears start and flags of ev, then puts a clone of it at index; the old event goes to *old
// (the caller owns it) or is released. -2 when index is outside the list; returns index.
int ply_replace_event(ply_list *l, mivrabox_event *ev, int index, mivrabox_event **old);
// Takes the entry out without releasing the event; -22 for a bad index; returns the new count.
int ply_remove_slot(ply_list *l, int index);
// Releases and removes; -22 for a bad index; returns the new count.
int ply_delete_event(ply_list *l, int index);
// Deletes the events at the given indexes (outside ones and duplicates are harmless); 0.
int ply_delete_events(ply_list *l, int n, const int64_t *indexes);
// Deletes the events from first to last inclusive that carry a sys_id; 0.
int ply_delete_range(ply_list *l, int first, int last);
int ply_clear(ply_list *l);
// Parse and insert fresh, or replace; -22 when the line does not parse.
int ply_insert_text(ply_list *l, const char *line, int index);
int ply_replace_text(ply_list *l, const char *line, int index, mivrabox_event **old);
// Appends fresh clones of other's events; returns l's count before.
int ply_append_list(ply_list *l, const ply_list *other);
// Index of the first event with sys_id, -2 when none.
int ply_find_sys_id(const ply_list *l, int64_t sys_id);
// The same for n ids at once, in one pass over the list: out[i] is the index of sys_ids[i] or -2.
// Returns how many were found, or -22, -12.
int ply_find_sys_ids(const ply_list *l, int n, const int64_t *sys_ids, int *out);

// Reads a playlist file into a new list (*out; a list already there is not freed). Blank lines,
// lines of empty fields and lines that do not parse are skipped. Returns the number of events
// (also the list's revision), or a negated errno: -27 for a file over PLY_FILE_MAX, -4 when
// stop (may be null) was raised while reading.
int ply_load(ply_list **out, const char *path, const std::atomic<int> *stop = nullptr);
// Replaces the file at path by the whole list, one line each, through a hidden temporary file
// renamed over it; on any failure the old file stays. Returns the number of events or a
// negated errno. With digest (PLY_DIGEST_SIZE bytes), a save that worked writes there the MD5 of
// the lines joined without their line ends, in upper-case hexadecimal.
constexpr size_t PLY_DIGEST_SIZE = 33;
int ply_save(const ply_list *l, const char *path, char *digest = nullptr);
// Once per process before the first save with a digest.
void ply_digest_init();
