#include "adapter.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "lib_listing.h"
#include "lib_local.h"
#include "log.h"
#include "sig.h"
#include "text.h"

namespace {

const char *const kRun = "watch_run";
const char *const kConv = "converter";

bool stopping(const adapter_instance *a) {
    return a->stop && a->stop->load() != 0;
}

// Library names and local names as they may stand in a log line.
std::string P(std::string_view s) {
    return text_printable(s);
}

// A wanted value of 0 takes any.
int differs(int wanted, int actual) {
    return wanted != 0 && wanted != actual ? 1 : 0;
}

// Index of the first queued item with this path, -1 when none. Under queue_mu.
int queued_at(const adapter_instance *a, const text4k &path) {
    for (size_t i = 0; i < a->queue.size(); i++)
        if (a->queue[i].path == path) return int(i);
    return -1;
}

// Queues item unless its path is queued already (or, for a listing, being converted: a '+' entry
// for it says that it changed since and is queued); true when queued. Under queue_mu.
bool enqueue(adapter_instance *a, mivra_lib_item &&item, bool listed) {
    if (listed && a->converting == item.path) {
        log_msg(LOG_INFO, "%s: being converted [%s]", kRun, P(item.path.view()).c_str());
        return false;
    }
    int at = queued_at(a, item.path);
    if (at >= 0) {
        log_msg(LOG_INFO, "%s: already enqeued [%s] at %d", kRun, P(item.path.view()).c_str(), at);
        return false;
    }
    if (int(a->queue.size()) >= a->queue_max) {
        // Found again by the scan that follows once the converter made room.
        static log_quiet full(kRun, "more items left to the next scan, queue full");
        if (full.speak())
            log_msg(LOG_ERROR, "%s: queue full (%d items), [%s] left to the next scan", kRun,
                    a->queue_max, P(item.path.view()).c_str());
        a->overflowed = true;
        return false;
    }
    log_msg(LOG_INFO, "%s: enqeued [%s]", kRun, P(item.path.view()).c_str());
    a->queue.push_back(std::move(item));
    return true;
}

// Lists a folder from offset on; -1 when it got to its end (or failed), else the offset of the
// item that found the queue full, where the next scan goes on.
int scan_folder(adapter_instance *a, const text4k &folder, int offset) {
    // One item per call: the library's listing may change under a long scan.
    lib_listing listing;
    for (; !stopping(a); offset++) {
        {
            std::lock_guard lk(a->queue_mu);
            if (int(a->queue.size()) >= a->queue_max) {
                a->overflowed = true;
                return offset;
            }
        }
        std::vector<mivra_lib_item> list;
        int r = mivra_lib_list_items2(a->lib_url.c_str(), folder.c_str(), offset, 1, &list);
        if (r < 0) {
            log_msg(LOG_ERROR, "%s: mivra_lib_list_items(%s) failed, r=%d", kRun, folder.c_str(),
                    r);
            return -1;
        }
        if (list.empty()) return -1;
        if (const char *why = listing.refuse(list)) {
            log_msg(LOG_ERROR, "%s: listing of [%s] ended at offset %d: %s", kRun, folder.c_str(),
                    offset, why);
            return -1;
        }
        for (mivra_lib_item &item : list) {
            if (is_to_convert(a, item) <= 0) continue;
            std::lock_guard lk(a->queue_mu);
            enqueue(a, std::move(item), true);
        }
    }
    return -1;
}

// Every folder again: what the change list can no longer tell is found by listing. A scan that
// found the queue full goes on from there the next time and then comes round to the start, so
// that every item is reached even when the first ones keep coming back.
void scan_all(adapter_instance *a) {
    {
        std::lock_guard lk(a->queue_mu);
        a->overflowed = false;
    }
    const size_t n = a->paths.size();
    size_t first = a->scan_at.first < n ? a->scan_at.first : 0;
    int offset = a->scan_at.first < n ? a->scan_at.second : 0;
    a->scan_at = {0, 0};
    // A scan that began inside a folder ends with that folder read from its start.
    const size_t turns = n + (offset > 0 ? 1 : 0);
    for (size_t k = 0; k < turns && !stopping(a); k++) {
        size_t i = (first + k) % n;
        int stopped = scan_folder(a, a->paths[i], k == 0 ? offset : 0);
        if (stopped >= 0) {
            a->scan_at = {i, stopped};
            break;
        }
    }
    std::lock_guard lk(a->queue_mu);
    a->queue_cv.notify_all();
}

void amend_add(adapter_instance *a, const char *path) {
    std::unique_ptr<mivra_lib_item> item;
    int r = mivra_lib_meta_item(a->lib_url.c_str(), path, &item);
    if (r != 0 || !item) {
        log_msg(LOG_ERROR, "%s: mivra_lib_meta_item(%s) failed, r=%d", kRun, P(path).c_str(), r);
        return;
    }
    if (is_to_convert(a, *item) <= 0) return;
    {
        std::lock_guard lk(a->queue_mu);
        if (!enqueue(a, std::move(*item), false)) return;
    }
    a->queue_cv.notify_all();
}

void amend_drop(adapter_instance *a, const char *path) {
    std::lock_guard lk(a->queue_mu);
    auto gone = std::remove_if(a->queue.begin(), a->queue.end(), [&](const mivra_lib_item &it) {
        if (!(it.path == path)) return false;
        log_msg(LOG_INFO, "%s: dropped from queue [%s]", kRun, P(it.path.view()).c_str());
        return true;
    });
    a->queue.erase(gone, a->queue.end());
}

void amend_apply(adapter_instance *a, const char *entry) {
    log_msg(LOG_INFO, "%s: {%s}", kRun, P(entry).c_str());
    if (entry[0] == '-')
        amend_drop(a, entry + 1);
    else if (entry[0] == '+')
        amend_add(a, entry + 1);
    else
        log_msg(LOG_ERROR, "%s: FAILED TO PARSE {%s}", kRun, P(entry).c_str());
}

// The library's change list is read forward only: idx is the newest change applied.
struct amend_cursor {
    bool started = false;
    int64_t idx = 0;
    bool rescan = false;  // the scan ran without an index before it
};

void poll_changes(adapter_instance *a, amend_cursor &cur) {
    std::unique_ptr<mivra_lib_usage> u;
    int r = mivra_lib_state(a->lib_url.c_str(), ADAPTER_AMENDS, &u);
    if (r < 0 || !u) {
        // The cursor stays: the next poll still gets what this one missed.
        log_msg(LOG_ERROR, "%s: mivra_lib_state failed, r=%d", kRun, r);
        return;
    }
    const int64_t idx = u->amend_idx, held = int64_t(u->amend.size());
    bool rescan = false;
    if (!cur.started) {
        rescan = cur.rescan;
        if (rescan)
            log_msg(LOG_ERROR, "%s: change index %lld read after the scan, rescanning", kRun,
                    (long long)idx);
    } else if (idx < cur.idx) {
        // A restarted library counts anew: what changed meanwhile is in no list we can read.
        log_msg(LOG_ERROR, "%s: change index went down from %lld to %lld, rescanning", kRun,
                (long long)cur.idx, (long long)idx);
        rescan = true;
    } else if (idx - cur.idx > held) {
        log_msg(
            LOG_ERROR,
            "%s: change index jumped from %lld to %lld, past the %lld changes listed, rescanning",
            kRun, (long long)cur.idx, (long long)idx, (long long)held);
        rescan = true;
    } else {
        // Entries come newest first; apply them in the order they happened.
        for (int64_t i = idx - cur.idx - 1; i >= 0 && !stopping(a); i--)
            amend_apply(a, u->amend[size_t(i)].c_str());
    }
    cur.started = true;
    cur.rescan = false;
    cur.idx = idx;
    if (!rescan) {
        // Items that found the queue full are listed again once half of it has gone.
        std::lock_guard lk(a->queue_mu);
        rescan = a->overflowed && int(a->queue.size()) <= a->queue_max / 2;
    }
    if (rescan) scan_all(a);
}

// What tells a file from its replacement or a file put in its place.
struct file_id {
    bool ok = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtim = {};
};

file_id identify(const std::string &path) {
    file_id id;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return id;
    id.ok = true;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.size = st.st_size;
    id.mtim = st.st_mtim;
    return id;
}

bool same_file(const file_id &x, const file_id &y) {
    return x.ok && y.ok && x.dev == y.dev && x.ino == y.ino && x.size == y.size &&
           x.mtim.tv_sec == y.mtim.tv_sec && x.mtim.tv_nsec == y.mtim.tv_nsec;
}

std::vector<std::string> cmdline(const adapter_instance *a, const std::string &local) {
    std::vector<std::string> v = {a->ffmpeg_path.str(), "-i", local};
    for (const text4k &arg : a->ffmpeg_args) v.push_back(arg.str());
    v.push_back("-y");
    v.push_back(local + ".tmp");
    return v;
}

// Puts the result in the media's place, unless the media went or changed while ffmpeg read it:
// the result would then bring back a deleted file or undo a newer one. True when it took it.
bool replace(const std::string &local, const std::string &tmp, const file_id &before) {
    if (!same_file(before, identify(local))) {
        log_msg(LOG_ERROR, "%s: [%s] changed or removed during conversion, [%s] dropped", kConv,
                P(local).c_str(), P(tmp).c_str());
        unlink(tmp.c_str());
        return false;
    }
    // One rename: the media is never missing, readers see the old or the new file.
    if (rename(tmp.c_str(), local.c_str()) != 0) {
        int e = errno;
        log_msg(LOG_ERROR, "%s: rename(%s, %s) failed, r=%d (%s)", kConv, P(tmp).c_str(),
                P(local).c_str(), -e, strerror(e));
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

// Files the converter produced, by local name. The library reports a produced file as changed,
// often with the old file's metadata still: converting it again would never end. Bounded: the
// oldest entries go first.
struct produced_files {
    static constexpr size_t kMax = 4096;
    struct entry {
        file_id id;
        bool logged = false;
    };
    std::map<std::string, entry> by_name;
    std::deque<std::string> order;

    void add(const std::string &local) {
        if (by_name.insert_or_assign(local, entry{identify(local), false}).second)
            order.push_back(local);
        while (order.size() > kMax) {
            by_name.erase(order.front());
            order.pop_front();
        }
    }
    // True when local is still the file the converter made; logs that once.
    bool ours(const std::string &local) {
        auto it = by_name.find(local);
        if (it == by_name.end()) return false;
        if (!same_file(it->second.id, identify(local))) {
            it->second.id = file_id{};  // replaced since: a new media, converted as any other
            return false;
        }
        if (!it->second.logged)
            log_msg(LOG_ERROR,
                    "%s: [%s] is the converter's own result and still differs, not "
                    "converted again",
                    kConv, P(local).c_str());
        it->second.logged = true;
        return true;
    }
};

// Why a local name from the library cannot be given to ffmpeg, or null. A name beginning with
// '-' would be read as an option.
const char *local_refused(std::string_view name) {
    if (name.empty()) return "empty";
    if (name.front() == '-') return "begins with '-'";
    if (adapter_own_file(name)) return "names an output of the converter";
    return nullptr;
}

void convert(adapter_instance *a, produced_files &made, const mivra_lib_item &item) {
    text4k value;
    int r = mivra_lib_basename_item(a->lib_url.c_str(), item.path.c_str(), nullptr, &value, nullptr,
                                    nullptr);
    if (r != 0) {
        log_msg(LOG_ERROR, "%s: mivra_lib_basename_item(%s) failed, r=%d", kConv,
                P(item.path.view()).c_str(), r);
        return;
    }
    // Nothing outside the configured folders is read, converted or replaced, whatever the
    // library answers.
    std::string local;
    const char *why = local_refused(value.view());
    if (!why) why = lib_local_refused(value.str(), a->start_dir, adapter_local_folders(a), &local);
    if (why) {
        log_msg(LOG_ERROR, "%s: local name [%s] of [%s] refused: %s", kConv,
                P(value.view()).c_str(), P(item.path.view()).c_str(), why);
        return;
    }
    const std::string tmp = local + ".tmp";
    if (made.ours(local)) return;
    std::vector<std::string> args = cmdline(a, local);
    std::vector<char *> argv;
    for (std::string &s : args) argv.push_back(s.data());
    argv.push_back(nullptr);

    file_id before = identify(local);
    log_msg(LOG_INFO, "%s: executing [%s]->[%s]", kConv, P(local).c_str(), P(tmp).c_str());
    const std::string out = local + ".std", err = local + ".err";
    r = child_spawn_wait(a->ffmpeg_path.c_str(), &a->child, argv.data(), nullptr, out.c_str(),
                         err.c_str());
    log_msg(LOG_INFO, "%s: done, r=%d", kConv, r);
    if (r == 0) {
        // ffmpeg's words matter only when it failed: a library of converted media would
        // otherwise fill with them.
        unlink(out.c_str());
        unlink(err.c_str());
        if (replace(local, tmp, before)) made.add(local);
    } else {
        // A partial result is of no use; ffmpeg's own words stay in .std and .err.
        unlink(tmp.c_str());
    }
}

void converter_loop(adapter_instance *a) {
    produced_files made;
    std::unique_lock lk(a->queue_mu);
    while (!stopping(a)) {
        a->queue_cv.wait(lk, [a] { return !a->queue.empty() || stopping(a); });
        if (stopping(a)) break;
        mivra_lib_item item = std::move(a->queue.back());
        a->queue.pop_back();
        a->converting = item.path;
        lk.unlock();
        log_msg(LOG_INFO, "%s: item->full=[%s]", kConv, P(item.path.view()).c_str());
        convert(a, made, item);
        lk.lock();
        a->converting.clear();
    }
}

void converter_main(adapter_instance *a) {
    // Stop signals go to the other threads: the wait for ffmpeg is never what they interrupt.
    sigset_t stops;
    sigemptyset(&stops);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGALRM}) sigaddset(&stops, s);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    try {
        converter_loop(a);
    } catch (...) {
        log_msg(LOG_ERROR, "%s: failed, stopped", kConv);
    }
}

}  // namespace

bool adapter_own_file(std::string_view path) {
    for (std::string_view ext : {".tmp", ".std", ".err"})
        if (path.size() > ext.size() && path.ends_with(ext)) return true;
    return false;
}

int is_to_convert(const adapter_instance *a, const mivra_lib_item &item) {
    if (adapter_own_file(item.path.view()) || adapter_own_file(item.name.view())) {
        log_msg(LOG_INFO, "%s: [%s] is an output of the converter, ignored", __func__,
                P(item.path.view()).c_str());
        return 0;
    }
    log_msg(LOG_INFO, "%s: [%s] %dx%d@(num=%d/den=%d)", __func__, P(item.path.view()).c_str(),
            item.width, item.height, item.r_frame_rate_num, item.r_frame_rate_den);
    int e = 0;
    for (const text4k &folder : a->paths) {
        std::string held = folder == "/" ? item.path.str() : folder.str() + "/" + item.name.str();
        if (held != item.path.view()) continue;
        e = differs(a->media_width, item.width) + differs(a->media_height, item.height) +
            differs(a->media_framerate_num, item.r_frame_rate_num) +
            differs(a->media_framerate_den, item.r_frame_rate_den);
        if (e > 0) break;
    }
    log_msg(LOG_ERROR, "%s: e=%d", __func__, e);
    return e;
}

std::vector<std::string> adapter_local_folders(const adapter_instance *a) {
    if (a->start_dir.empty()) return {};
    return {a->start_dir};
}

int watch_run(adapter_instance *a) {
    mivra_init(ADAPTER_PROGRAM, MIVRA_VERSION);
    // The index comes first: a change made while the folders are listed is then applied after.
    amend_cursor cur;
    poll_changes(a, cur);
    cur.rescan = !cur.started;
    scan_all(a);

    std::thread conv;
    try {
        conv = std::thread(converter_main, a);
    } catch (...) {
        log_msg(LOG_ERROR, "%s: converter thread failed to start", kRun);
    }
    while (!stopping(a) && !sig_wait_stop(1000)) poll_changes(a, cur);

    child_cancel(&a->child);
    {
        std::lock_guard lk(a->queue_mu);
        a->queue_cv.notify_all();
    }
    if (conv.joinable()) conv.join();
    a->queue.clear();
    mivra_cleanup();
    return 0;
}
