// Media object lists of a bus, and the filter that tells playlist names in watched folders.
#pragma once

#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "text.h"

// One media of a bus, registered by the events that use it.
struct lib_object {
    std::string origin;          // the library's file while the media is present; empty for none
    std::string object;          // the media id as the events name it; empty for none
    int ref = 0;                 // events registered on it
    btext<100> duration;         // media length as a timecode text, empty until known
    text32 timecode_at_mark_in;  // single-player daemon: the library's timecodes
    text32 timecode;
    // Its place in the list that holds it, kept by the list: its index plus the list's base
    // (read it through lib_object_list_index).
    size_t slot = 0;
};

// Zeroed object in *out; 0, -22, -12.
int lib_object_new(lib_object **out);
// Frees the object with its texts and clears *po; 0 or -22.
int lib_object_free(lib_object **po);

// A bus registers every event of a playlist by name: the names are hashed, so that a lookup
// costs the same at 100,000 objects as at ten. An object's name must not change while it is
// listed; items may be read directly, but are changed only through the functions below.
struct lib_object_list {
    std::vector<std::unique_ptr<lib_object>> items;  // owned, in order
    // The first object of each name; names held by more than one object are counted in dups.
    std::unordered_map<std::string, lib_object *> by_name;
    int dups = 0;
    // Added to every index in the objects' slots: taking the first object out raises it instead
    // of renumbering the objects after it (the media thread takes them from the front, one by
    // one, from queues of thousands).
    size_t base = 0;
    // Objects with a reference (ref > 0): a sweep with none left takes the whole list at once
    // instead of reading every object. A listed object's ref changes through lib_object_list_ref.
    int live = 0;
    int count() const { return int(items.size()); }
};

// Index of o in l; meaningful only while l holds o.
inline int lib_object_list_index(const lib_object_list *l, const lib_object *o) {
    return int(o->slot - l->base);
}

// Adds delta to the ref of o, an object of l, keeping l's count of objects with a reference.
void lib_object_list_ref(lib_object_list *l, lib_object *o, int delta);

// Results: the value named, or -22 for a null list.
int lib_object_list_init(lib_object_list *l);
// Frees every object; the list stays usable and empty. 0.
int lib_object_list_clear(lib_object_list *l);
// Appends; the list owns the object from here on, also when this fails with -12 (it is then
// freed). Returns the new count.
int lib_object_list_push(lib_object_list *l, lib_object *o);
// Takes the entry out without freeing it (take items[index] first); -2 for a bad index;
// returns the new count.
int lib_object_list_remove(lib_object_list *l, int index);
// Frees and removes; -2 for a bad index; returns the new count.
int lib_object_list_delete(lib_object_list *l, int index);
// Frees and removes the first n objects (at most all) at once; returns the new count.
int lib_object_list_delete_front(lib_object_list *l, int n);
// What a sweep takes out, for its caller to free after its lock: the objects and, when most
// objects went, the list's old name index.
struct lib_object_sweepings {
    std::vector<std::unique_ptr<lib_object>> objects;
    std::vector<std::unordered_map<std::string, lib_object *>> indexes;
};
// Frees and removes, in one pass, every object without a reference left (the whole list at once
// when none has one); returns how many. With out, what goes is handed there instead of being
// freed.
int lib_object_list_sweep(lib_object_list *l, lib_object_sweepings *out = nullptr);
// First object named name, or name with its last '.' and what follows replaced by '#'
// (clip.mxf matches clip#); -2 when none.
int lib_object_list_find_object(const lib_object_list *l, const char *name);
// The object named exactly name (the first such), or null.
lib_object *lib_object_list_find_exact(const lib_object_list *l, std::string_view name);
// First object whose origin is origin; objects without one never match; -2 when none.
int lib_object_list_find_origin(const lib_object_list *l, const char *origin);

// Day bits of the playlist-name filter.
enum mivrabox_day_bit {
    MIVRABOX_DAY_TODAY = 1,
    MIVRABOX_DAY_YESTERDAY = 2,
    MIVRABOX_DAY_TOMORROW = 4,
    MIVRABOX_DAY_IN_2 = 8,
    MIVRABOX_DAY_IN_3 = 16,
};

// 0 when name is a playlist to take, -125 when not: with need_ply its first ".ply" must end
// it; a non-empty pattern must occur in it; a non-zero day_mask needs one of the marked local
// calendar days in it, written "%Y-%m-%d" or "%d%m%y". -22 for a null name.
int mivrabox_ply_name_filter(const char *name, int need_ply, const char *pattern, int day_mask);
// The same at a given moment.
int mivrabox_ply_name_filter_at(const char *name, int need_ply, const char *pattern, int day_mask,
                                time_t now);
