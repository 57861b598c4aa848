#include "adapter.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "log.h"
#include "sig.h"

namespace {

const char *const kRun = "watch_run";
const char *const kConv = "converter";

bool stopping(const adapter_instance *a) {
    return a->stop && a->stop->load() != 0;
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

void scan_folder(adapter_instance *a, const text4k &folder) {
    // One item per call: the library's listing may change under a long scan.
    for (int offset = 0; !stopping(a); offset++) {
        std::vector<mivra_lib_item> list;
        int r = mivra_lib_list_items2(a->lib_url.c_str(), folder.c_str(), offset, 1, &list);
        if (r < 0) {
            log_msg(LOG_ERROR, "%s: mivra_lib_list_items(%s) failed, r=%d", kRun, folder.c_str(),
                    r);
            return;
        }
        if (list.empty()) return;
        for (mivra_lib_item &item : list) {
            if (is_to_convert(a, item) <= 0) continue;
            log_msg(LOG_INFO, "%s: enqeued [%s]", kRun, item.path.c_str());
            std::lock_guard lk(a->queue_mu);
            a->queue.push_back(std::move(item));
        }
    }
}

void amend_add(adapter_instance *a, const char *path) {
    std::unique_ptr<mivra_lib_item> item;
    int r = mivra_lib_meta_item(a->lib_url.c_str(), path, &item);
    if (r != 0 || !item) {
        log_msg(LOG_ERROR, "%s: mivra_lib_meta_item(%s) failed, r=%d", kRun, path, r);
        return;
    }
    if (is_to_convert(a, *item) <= 0) return;
    {
        std::lock_guard lk(a->queue_mu);
        int at = queued_at(a, item->path);
        if (at >= 0) {
            log_msg(LOG_INFO, "%s: already enqeued [%s] at %d", kRun, item->path.c_str(), at);
            return;
        }
        log_msg(LOG_INFO, "%s: enqeued [%s]", kRun, item->path.c_str());
        a->queue.push_back(std::move(*item));
    }
    a->queue_cv.notify_all();
}

void amend_drop(adapter_instance *a, const char *path) {
    std::lock_guard lk(a->queue_mu);
    auto gone = std::remove_if(a->queue.begin(), a->queue.end(), [&](const mivra_lib_item &it) {
        if (!(it.path == path)) return false;
        log_msg(LOG_INFO, "%s: dropped from queue [%s]", kRun, it.path.c_str());
        return true;
    });
    a->queue.erase(gone, a->queue.end());
}

void amend_apply(adapter_instance *a, const char *entry) {
    log_msg(LOG_INFO, "%s: {%s}", kRun, entry);
    if (entry[0] == '-')
        amend_drop(a, entry + 1);
    else if (entry[0] == '+')
        amend_add(a, entry + 1);
    else
        log_msg(LOG_ERROR, "%s: FAILED TO PARSE {%s}", kRun, entry);
}

// The library's change list is read forward only: idx is the newest change applied.
struct amend_cursor {
    bool started = false;
    int64_t idx = 0;
};

void poll_changes(adapter_instance *a, amend_cursor &cur) {
    std::unique_ptr<mivra_lib_usage> u;
    int r = mivra_lib_state(a->lib_url.c_str(), ADAPTER_AMENDS, &u);
    if (r < 0 || !u) {
        // The cursor stays: the next poll still gets what this one missed.
        log_msg(LOG_ERROR, "%s: mivra_lib_state failed, r=%d", kRun, r);
        return;
    }
    if (cur.started && u->amend_idx > cur.idx) {
        int64_t k = std::min<int64_t>(int64_t(u->amend.size()), u->amend_idx - cur.idx);
        // Entries come newest first; apply them in the order they happened.
        for (int64_t i = k - 1; i >= 0 && !stopping(a); i--) amend_apply(a, u->amend[i].c_str());
    }
    // Also when the index went down: a restarted library counts anew.
    cur.started = true;
    cur.idx = u->amend_idx;
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
// the result would then bring back a deleted file or undo a newer one.
void replace(const std::string &local, const std::string &tmp, const file_id &before) {
    if (!same_file(before, identify(local))) {
        log_msg(LOG_ERROR, "%s: [%s] changed or removed during conversion, [%s] dropped", kConv,
                local.c_str(), tmp.c_str());
        unlink(tmp.c_str());
        return;
    }
    // One rename: the media is never missing, readers see the old or the new file.
    if (rename(tmp.c_str(), local.c_str()) != 0) {
        int e = errno;
        log_msg(LOG_ERROR, "%s: rename(%s, %s) failed, r=%d (%s)", kConv, tmp.c_str(),
                local.c_str(), -e, strerror(e));
        unlink(tmp.c_str());
    }
}

void convert(adapter_instance *a, const mivra_lib_item &item) {
    text4k value;
    int r = mivra_lib_basename_item(a->lib_url.c_str(), item.path.c_str(), nullptr, &value, nullptr,
                                    nullptr);
    if (r != 0 || value.empty()) {
        log_msg(LOG_ERROR, "%s: mivra_lib_basename_item(%s) failed, r=%d", kConv, item.path.c_str(),
                r != 0 ? r : -2);
        return;
    }
    const std::string local = value.str(), tmp = local + ".tmp";
    std::vector<std::string> args = cmdline(a, local);
    std::vector<char *> argv;
    for (std::string &s : args) argv.push_back(s.data());
    argv.push_back(nullptr);

    file_id before = identify(local);
    log_msg(LOG_INFO, "%s: executing [%s]->[%s]", kConv, local.c_str(), tmp.c_str());
    r = child_spawn_wait(a->ffmpeg_path.c_str(), &a->child, argv.data(), nullptr,
                         (local + ".std").c_str(), (local + ".err").c_str());
    log_msg(LOG_INFO, "%s: done, r=%d", kConv, r);
    if (r == 0) {
        replace(local, tmp, before);
    } else {
        // A partial result is of no use; ffmpeg's own words stay in .std and .err.
        unlink(tmp.c_str());
    }
}

void converter_loop(adapter_instance *a) {
    std::unique_lock lk(a->queue_mu);
    while (!stopping(a)) {
        a->queue_cv.wait(lk, [a] { return !a->queue.empty() || stopping(a); });
        if (stopping(a)) break;
        mivra_lib_item item = std::move(a->queue.back());
        a->queue.pop_back();
        lk.unlock();
        log_msg(LOG_INFO, "%s: item->full=[%s]", kConv, item.path.c_str());
        convert(a, item);
        lk.lock();
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

int is_to_convert(const adapter_instance *a, const mivra_lib_item &item) {
    log_msg(LOG_INFO, "%s: [%s] %dx%d@(num=%d/den=%d)", __func__, item.path.c_str(), item.width,
            item.height, item.r_frame_rate_num, item.r_frame_rate_den);
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

int watch_run(adapter_instance *a) {
    mivra_init(ADAPTER_PROGRAM, MIVRA_VERSION);
    for (const text4k &folder : a->paths) scan_folder(a, folder);

    std::thread conv;
    try {
        conv = std::thread(converter_main, a);
    } catch (...) {
        log_msg(LOG_ERROR, "%s: converter thread failed to start", kRun);
    }
    amend_cursor cur;
    while (!stopping(a)) {
        poll_changes(a, cur);
        sig_wait_stop(1000);
    }

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
