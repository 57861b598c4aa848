// MivraBoxLibFeeder: asks daemons which media their playlists miss, looks for each one on the
// remote storage the file-transfer service reaches, and files one transfer request per cycle so
// that the file lands in the media library. Keeps the absent list file for operators.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "svc.h"
#include "mivra_ft.h"

#define FEEDER_PROGRAM "MivraBoxLibFeeder"
#define FEEDER_BANNER FEEDER_PROGRAM "-" MIVRA_VERSION

constexpr int FEEDER_MAX_BOXES = 10;
constexpr int FEEDER_MAX_SOURCES = 10;
constexpr int FEEDER_MAX_PATHS = 8192;
constexpr int FEEDER_MAX_EXTS = 32;
// Below this length the absent-list name turns the file off.
constexpr size_t FEEDER_ABSENT_NAME_MIN = 5;
constexpr int FEEDER_PROBE_CACHE = 2048;
constexpr int FEEDER_REQ_CACHE = 64;
constexpr int FEEDER_REQ_TTL = 180;  // seconds a filed request blocks the same one
constexpr int FEEDER_DEEP_DIVE_EVERY = 3600;
// Seconds a transfer may go without progress before the feeder gives it up (--stall-timeout).
constexpr int FEEDER_STALL_TIMEOUT = 600;
// Largest reply the feeder reads: a daemon's absent list of a whole day of events (about 400
// bytes an event on the wire) is well below it.
constexpr size_t FEEDER_REPLY_LIMIT = size_t(64) << 20;

enum feeder_source_type { FEEDER_SRC_LIB = 1, FEEDER_SRC_PROBE = 2 };

// A remote folder to probe, with the names it holds when a deep dive listed it.
struct feeder_path {
    text4k path;
    bool listed = false;
    std::vector<std::string> names;
};

struct feeder_source {
    int type = 0;
    text4k url;  // of a library source; the cycle does not use it
    text4k target;
    std::vector<feeder_path> paths;  // configured, then deep-dive, then paths-file ones
    std::vector<text4k> exts;
    text4k paths_file, exts_file;  // the extensions file is stored only
    int deep_dive = 0;
    text4k basename_ext;
    time_t next_deep_dive = 0;
    size_t configured = 0;  // paths given in the options
};

struct feeder_box {
    int bus = 0;
    text4k url;
};

// One absent media as the daemons report it, merged over all of them.
struct feeder_event {
    text4k media_id;
    text32 start_time;
    int64_t start = 0;  // milliseconds, the sort key
};

struct feeder_probe_entry {
    time_t stamp = 0;  // 0: free
    int64_t time = 0, size = 0;
    text4k path, target;
};

struct feeder_req_entry {
    time_t stamp = 0;          // 0: free
    int ttl = FEEDER_REQ_TTL;  // seconds it blocks the same request
    mivra_ft_request req;
};

struct feeder_instance {
    svc_base_opts base;
    text4k transfer_url;
    std::vector<feeder_box> boxes;
    std::vector<feeder_source> sources;
    text4k absent_file;
    std::vector<std::string> absent;               // basenames, in the order found
    std::unordered_set<std::string> absent_index;  // the same names, to look them up
    int stall_timeout = FEEDER_STALL_TIMEOUT;      // seconds
    std::vector<feeder_probe_entry> probe_cache =
        std::vector<feeder_probe_entry>(FEEDER_PROBE_CACHE);
    std::array<feeder_req_entry, FEEDER_REQ_CACHE> req_cache;
    std::atomic<int> *stop = nullptr;
    // The folder the feeder was started in, the library's root: a local name that the library
    // answers is requested only when it lies below it. Empty when it could not be read.
    std::string start_dir;
};

int feeder_opts_parse(feeder_instance *f, int argc, char **argv);
void feeder_usage();

// Earliest first (ties keep the daemons' order); later events of a media already seen get a
// blank media id, so that each media is handled once.
void feeder_merge(std::vector<feeder_event> &events);
// A media id names a file below the library and the remote folders: one that starts at the root
// or climbs out with a ".." element could land anywhere, and one with a control character
// would split the absent list's lines (and the log's), so they are refused. Null when the id
// may be used, else why not.
const char *feeder_media_id_refused(std::string_view media_id);
// File names to look for: one per extension when the id ends in '#', else the id itself.
// Names that could leave a folder (refused as above, or an empty, "." or ".." last element) give
// none.
std::vector<std::string> feeder_candidates(const std::string &media_id,
                                           const std::vector<text4k> &exts);
// Lines of a paths file: each cut at its first LF, CR, then TAB; empty ones skipped.
int feeder_paths_file_read(const char *file, std::vector<std::string> &out);
// True when a file was seen before at path and target with the same time and size; a first
// sight fills the oldest entry and gives false.
bool feeder_probe_stable(feeder_instance *f, const char *path, const char *target, int64_t time,
                         int64_t size, time_t now);
// Frees the cached requests older than FEEDER_REQ_TTL.
void feeder_req_cache_expire(feeder_instance *f, time_t now);
// 0 when a cached request has the same target and local name, else 1.
int feeder_req_cache_allowed(const feeder_instance *f, const mivra_ft_request &req);
// Keeps req in the first free slot, or in that of the oldest entry, for ttl seconds.
void feeder_req_cache_keep(feeder_instance *f, const mivra_ft_request &req, time_t now,
                           int ttl = FEEDER_REQ_TTL);

// The absent list and its file.
int feeder_absent_save(const feeder_instance *f);
int feeder_absent_clear(const feeder_instance *f);
// Drops the entries no merged event names any more; the number dropped, -2 without a list.
int feeder_absent_orphan(feeder_instance *f, const std::vector<feeder_event> &events);
// Adds the media's last path element unless it is listed; 1 when added. The caller saves the
// file once for all it added.
int feeder_absent_confirm(feeder_instance *f, const feeder_event &ev);

// Directories added below path (recursively, depth levels).
int feeder_deep_dive(feeder_instance *f, feeder_source &src, const std::string &path, int depth);
// One cycle: gather, probe, and file at most one request. Tests call it directly.
void feeder_cycle(feeder_instance *f);
// Cycles until stopped.
int watch_run(feeder_instance *f);
