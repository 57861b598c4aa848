// MivraBoxLibAdapter: conforms the media of chosen library folders to one picture size and frame
// rate. It lists the folders at start, then follows the library's change list every second;
// each item that differs from the wanted values is queued, and a converter thread runs an outside
// ffmpeg on it and puts the result in the file's place.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "child_spawn.h"
#include "mivra_lib.h"

#define ADAPTER_PROGRAM "MivraBoxLibAdapter"
#define ADAPTER_BANNER ADAPTER_PROGRAM "-" MIVRA_VERSION

constexpr int ADAPTER_MAX_PATHS = 128;
constexpr int ADAPTER_MAX_ARGS = 128;
// Changes asked of the library per poll.
constexpr int ADAPTER_AMENDS = 64;
// Items that may wait for the converter (--queue-max): a conversion takes minutes, so a library
// that reports new items faster than that would otherwise grow the queue without end.
constexpr int ADAPTER_QUEUE_MAX = 256;

struct adapter_instance {
    text4k lib_url;             // http://HOST:PORT/RPC2
    std::vector<text4k> paths;  // library folders, "/" for every item; at most ADAPTER_MAX_PATHS
    text4k ffmpeg_path;         // looked up in PATH when it has no '/'
    std::vector<text4k> ffmpeg_args;  // in the order given; at most ADAPTER_MAX_ARGS
    // Wanted values; 0 takes any.
    int media_width = 0, media_height = 0;
    int media_framerate_num = 0, media_framerate_den = 0;

    // The folder the adapter was started in: relative local names resolve against it, also
    // after detaching moved the process to "/". Empty when it could not be read.
    std::string start_dir;

    child_slot child;  // the running ffmpeg, ended at stop

    // Items waiting for the converter, newest last: the newest is converted first.
    std::mutex queue_mu;
    std::condition_variable queue_cv;
    std::vector<mivra_lib_item> queue;
    text4k converting;  // the path the converter took, empty between items
    int queue_max = ADAPTER_QUEUE_MAX;
    // An item found no room: the folders are scanned again once the queue has room, from
    // where the last scan stopped (folder index, offset); scans run on the main loop alone.
    bool overflowed = false;
    std::pair<size_t, int> scan_at{0, 0};

    std::atomic<int> *stop = nullptr;  // raised by the signal watcher
};

// True for the converter's own outputs beside a media ("x.mov.tmp", ".std", ".err"): the library
// reports them like any file, and converting them would only breed more of them.
bool adapter_own_file(std::string_view path);
// The number of wanted values that the item misses in the first configured folder that holds it
// directly (sub-folders do not count) and misses any; 0 when none does, and for the converter's
// own outputs. Above 0: convert it.
int is_to_convert(const adapter_instance *a, const mivra_lib_item &item);
// The local folders the converter may read and replace files in: the folder the adapter was
// started in, the library's root, whose local names the library answers relative to.
std::vector<std::string> adapter_local_folders(const adapter_instance *a);
// Scans the folders, runs the converter thread and follows the library's changes until stopped.
int watch_run(adapter_instance *a);
