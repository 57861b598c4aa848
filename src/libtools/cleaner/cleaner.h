// MivraBoxLibCleaner: when the media library is fuller than a limit, deletes the items of chosen
// folders that no daemon holds present and that were not played or touched for some days,
// oldest first, until the usage falls below the limit.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <vector>

#include "svc.h"
#include "mivra_lib.h"
#include "mivrabox_lib.h"

#define CLEANER_PROGRAM "MivraBoxLibCleaner"
#define CLEANER_BANNER CLEANER_PROGRAM "-" MIVRA_VERSION

constexpr int CLEANER_MAX_BOXES = 8;
constexpr int CLEANER_MAX_PATHS = 32;
// Items asked of the library per LibListItems call.
constexpr int CLEANER_PAGE = 200;
// Where each pass lists the paths it deleted, one file per pass.
constexpr const char *CLEANER_LISTS_FOLDER = "/Mivra/runtime/cleaner";

struct cleaner_box {
    int bus = 0;
    text4k url;               // http://HOST:PORT/RPC2
    lib_object_list present;  // the bus's present media, refilled every pass
};

struct cleaner_options {
    svc_base_opts base;
    std::vector<cleaner_box> boxes;  // at most CLEANER_MAX_BOXES
    text4k lib_url;
    std::vector<text4k> paths;  // library folders, at most CLEANER_MAX_PATHS
    int age_played = 30;        // days
    int age_idle = 60;          // days
    int lib_usage_limit = 80;   // percent
    int confirm_delete = 0;
    int sleep_interval = 0;    // seconds; 0 runs one pass
    int minimal_duration = 0;  // seconds
    text4k lists_folder{CLEANER_LISTS_FOLDER};
    std::atomic<int> *stop = nullptr;  // raised by the signal watcher
};

// A library item as read, with what the pass decides about it.
struct cleaner_item {
    mivra_lib_item item;  // item.path is the folder and the name
    int64_t played = 0;   // cue count
    time_t ref_time = 0;  // last cue, or the later of mtime and ctime
};

enum cleaner_verdict {
    CLEANER_CANDIDATE,
    CLEANER_BUSY,
    CLEANER_FORCE_IGNORED,
    CLEANER_TOO_FRESH,
    CLEANER_IDLE_IGNORED,
    CLEANER_TOO_SHORT,
    CLEANER_UNDATED,  // its age cannot be computed: never deleted
};

// Parses the command line and the options files; 0, or -1 after help or a bad option.
int cleaner_opts_parse(cleaner_options *o, int argc, char **argv);
void cleaner_usage();

// used * 100 / total, truncated; -22 when total is not positive (no usage to judge by).
int cleaner_usage_percent(int64_t used, int64_t total);
// True when a configured bus holds path present.
bool cleaner_busy(const cleaner_options &o, const char *path);
// Judges an item that no bus holds, from its cue count and date (cue_ok false: the library did
// not answer, the item counts as never played); sets its played count and reference time. A
// reference date that is missing, zero, in the future or too large to add the age to gives
// CLEANER_UNDATED with the reason in *why.
cleaner_verdict cleaner_judge(const cleaner_options &o, cleaner_item *c, bool cue_ok,
                              int64_t cue_cnt, int64_t cue_date, time_t now,
                              const char **why = nullptr);
// Why a listed item may not even be judged (a name that is no single path element, or a path
// with a control character, which would split the deletion list's lines), or null.
const char *cleaner_name_refused(const mivra_lib_item &item);
// Oldest reference time first; equal times keep the order read.
void cleaner_order(std::vector<cleaner_item> &candidates);

// One pass; 0 when it did its work or found nothing to do, else the negative result of what
// failed (usage, a folder, a deletion); *ends_run is set when it was a daemon's media list.
int cleaner_pass(cleaner_options *o, bool *ends_run = nullptr);
// Passes until done (sleep interval 0), stopped, or ended by a daemon's list; 0, or the failure
// of the last pass.
int cleaner_run(cleaner_options *o);
