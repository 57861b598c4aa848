// Calls of the media library (MivraLib.): items and folders, item metadata, fill level and the
// list of recent changes, overlays, thumbnails, subclips, cue registration and templates. Every
// call takes the library's server URL first ("http://host:port/RPC2").
//
// Lists are handed over as vectors that the call replaces (left empty on failure); records as
// unique_ptr that the call clears on entry and sets only on success.
#pragma once

#include "mivra.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// A library item as LibListItems and LibMetaItem describe it. The library sends most numbers as
// texts; those that do not parse count as 0.
struct mivra_lib_item {
    text4k name;
    text4k path;  // folder/name of a listing, the asked path of LibMetaItem
    // Named with a trailing '_': <sys/stat.h> defines st_mtime, st_ctime and st_atime as macros.
    int64_t st_ino = 0, st_size = 0, st_mtime_ = 0, st_ctime_ = 0, st_atime_ = 0;
    text4k format_name;
    double duration_eff = 0;  // duration_v, or duration when duration_v is 0
    double duration = 0, duration_v = 0, duration_a = 0;
    int nb_frames = 0, nb_streams = 0, width = 0, height = 0;
    int display_aspect_ratio_num = 0, display_aspect_ratio_den = 0;
    int sample_aspect_ratio_num = 0, sample_aspect_ratio_den = 0;
    int r_frame_rate_num = 0, r_frame_rate_den = 0;
    text32 sample_fmt;
    int sample_rate = 0, channels = 0;
    text32 timecode;  // "00:00:00:00" when the library gives none
    text32 timecode_at_mark_in, timecode_at_mark_out;
    int subclips = 0;
};

struct mivra_lib_dir_entry {
    text4k name;
    text4k path;
};

// Fill level (LibDiskUsage) or fill level and recent changes (LibState).
struct mivra_lib_usage {
    int total_items = 0;
    int64_t used_space = 0;  // LibDiskUsage only
    int64_t total_space = 0, free_space = 0;
    int64_t amend_idx = 0;  // LibState only: index of the newest change
    int amend_count = 0;
    std::vector<text4k> amend;  // newest first: "+name" added, "-name" removed
};

// A folder of overlays (path, size = number of files, children) or one of its files (name, path,
// size in bytes).
struct mivra_lib_overlay {
    text4k path;
    text4k name;
    int64_t size = 0;
    std::vector<mivra_lib_overlay> children;
};

struct mivra_lib_subclip {
    int index = 0;  // position among those decoded
    int mark_in = 0, duration = 0;
    text4k title;
    int64_t tag = 0;  // the caller's tag, copied into each
};

// Decodes one item struct member by member: a member that does not decode is reported and left
// at its default, so an item always results.
void mivra_lib_meta_item_decompose(xmlrpc_value *v, mivra_lib_item *item);

// "(iss)"; the found item's name into *item (emptied first). -2 and -14 results pass silently,
// other negative ones are reported.
int mivra_lib_search_item(const char *url, int a, const char *s, const char *name, text4k *item);
int mivra_lib_search_item_dur_range(const char *url, int a, const char *s, double d1, double d2,
                                    text4k *item);
// Sub-folders of folder, sorted by name descending (case-insensitive). Entries whose name cannot
// stand as one path element are reported and skipped. Returns the count.
int mivra_lib_list_dirs(const char *url, const char *folder,
                        std::vector<mivra_lib_dir_entry> *list);
// Items of folder ("(s)" when offset and count are both -1, else "(sii)"), sorted by name
// ascending (case-insensitive); items without a usable name are reported and skipped.
int mivra_lib_list_items2(const char *url, const char *folder, int offset, int count,
                          std::vector<mivra_lib_item> *list);
int mivra_lib_list_items(const char *url, const char *folder, std::vector<mivra_lib_item> *list);
// Metadata of path; a non-zero "result" is returned without a record.
int mivra_lib_meta_item(const char *url, const char *path, std::unique_ptr<mivra_lib_item> *item);
// "(ss)", or "(s)" when name2 is null or empty; see mivra_basename_item.
int mivra_lib_basename_item(const char *url, const char *name, const char *name2, text4k *value,
                            text4k *object, int64_t *shm_id);
int mivra_lib_basename_overlay(const char *url, const char *name, text4k *value);
// Fill level and the newest changes (at most n). Returns the number of changes, or -14, also
// when the change list did not decode whole: the caller then asks again rather than skip changes.
int mivra_lib_state(const char *url, int n, std::unique_ptr<mivra_lib_usage> *usage);
// List item function of LibState's "amend_list": appends to a mivra_lib_usage.
int mivra_lib_state_iters(xmlrpc_env *env, xmlrpc_value *item, void *output, int n, int size);
int mivra_lib_disk_usage(const char *url, std::unique_ptr<mivra_lib_usage> *usage);
int mivra_lib_register_item(const char *url, const char *name);
int mivra_lib_delete_item(const char *url, const char *name);
int mivra_lib_delete_dir(const char *url, const char *folder);
int mivra_lib_create_dir(const char *url, const char *folder);
int mivra_lib_rename_item(const char *url, const char *from, const char *to);
// cue_cnt and cue_date are decoded only into the addresses given.
int mivra_lib_register_cue(const char *url, const char *name, int a, int64_t *cue_cnt,
                           int64_t *cue_date);
// The image bytes into *bytes (replaced).
int mivra_lib_thumb_item(const char *url, const char *s1, const char *s2, int a, int b,
                         std::string *bytes);
int mivra_lib_thumb_overlay(const char *url, const char *name, std::string *bytes);
// Folders with their files; returns the number of folders.
int mivra_lib_list_overlays(const char *url, std::vector<mivra_lib_overlay> *tree);
int mivra_lib_list_subclips(const char *url, const char *name, std::vector<mivra_lib_subclip> *list,
                            int64_t tag);
int mivra_lib_delete_subclip(const char *url, const char *name, int a);
int mivra_lib_register_subclip(const char *url, const char *name, int a, int b, const char *title);
// Template names, and the variables of one template (replacing *list).
int mivra_lib_list_templates(const char *url, std::vector<std::string> *list);
int mivra_lib_list_template_vars(const char *url, const char *name, std::vector<std::string> *list);
// Layers of a template appended to *layers (their bytes as texts); returns the number appended.
int mivra_lib_tmpl_get(const char *url, const char *name, std::vector<std::string> *layers);
int mivra_lib_tmpl_set(const char *url, const char *name, const std::vector<std::string> &layers);
int mivra_lib_tmpl_add(const char *url, const char *name);
int mivra_lib_tmpl_del(const char *url, const char *name);
int mivra_lib_tmpl_rename(const char *url, const char *name, const char *to);
int mivra_lib_tmpl_replace(const char *url, const char *name, const char *with);
int mivra_lib_tmpl_clone(const char *url, const char *name, const char *to);
// Fonts as "family\tstyle" texts appended to *fonts; returns the number appended.
int mivra_lib_tmpl_fonts(const char *url, std::vector<std::string> *fonts);
int mivra_lib_tmpl_fonts2(const char *url, std::vector<std::string> *fonts);
// Builds a template; values and variables as mivra_playlist_insert_template takes them. The
// built "value" into *out.
int mivra_lib_build_template(const char *url, text4k *out, const char *name, const char *extra,
                             int a, int b, int value_count, const char *const *values,
                             int var_count, const char *const *var_names,
                             const char *const *var_values);
