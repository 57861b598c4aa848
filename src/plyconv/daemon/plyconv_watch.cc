// The watch-folder loop: files present at start are converted at once, later ones once they have
// settled (no change to them for over 3 s, and a quiet second in the folder or, in a folder that
// never falls quiet, at the latest WATCH_HOLD_MAX after the last turn that converted).
#include <dirent.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <unordered_map>
#include <string>
#include <vector>

#include "file.h"
#include "log.h"
#include "plyconv.h"

namespace {

constexpr int WATCH_QUEUE_SIZE = 1024;
constexpr size_t WATCH_BUF_SIZE = 4210688;
// Changes only: an open or a read (a backup agent, a monitor, our own conversion) is no activity
// and must never hold a conversion back.
constexpr uint32_t WATCH_MASK = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE |
                                IN_DELETE | IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
constexpr uint32_t WATCH_QUEUE_MASK = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE;
constexpr uint32_t WATCH_DROP_MASK = IN_MOVED_FROM | IN_DELETE;
// A folder that never falls quiet still has its settled files converted this often.
constexpr auto WATCH_HOLD_MAX = std::chrono::seconds(10);

struct watch_queue_item {
    bool used = false;
    text4k name;
    struct timeval tv = {};
};

struct watch_state {
    plyconv_ctx *c = nullptr;
    std::vector<watch_queue_item> queue = std::vector<watch_queue_item>(WATCH_QUEUE_SIZE);
    // Sources a conversion could neither delete nor move: our own reading of them must not queue
    // them again, or they would be converted over and over.
    std::set<std::string> stuck;
    // Last event that named a file; events on the folder itself (anyone listing it) are not
    // activity, or a watcher polling the folder would hold every conversion back for good.
    std::chrono::steady_clock::time_point last_event;
    std::chrono::steady_clock::time_point last_process = std::chrono::steady_clock::now();
    // Slot of each queued name.
    std::unordered_map<std::string, size_t> index;
    // Names were lost (a full queue, an inotify overflow): the folder is listed again once the
    // queue has room.
    bool resweep = false;
};

// Anything but a folder: a FIFO or a device is refused by the conversion and so leaves.
bool source_present(const plyconv_ctx *c, const char *name) {
    std::string path;
    struct stat st;
    return path_join(path, c->src.c_str(), name) == 0 && lstat(path.c_str(), &st) == 0 &&
           !S_ISDIR(st.st_mode);
}

void convert(watch_state &w, const char *name) {
    ply_conv(w.c, name);
    if (source_present(w.c, name)) w.stuck.insert(name);
}

void queue_free(watch_state &w, watch_queue_item &q) {
    w.index.erase(q.name.c_str());
    q.used = false;
}

void queue_drop(watch_state &w, const char *name) {
    auto it = w.index.find(name);
    if (it == w.index.end()) return;
    log_msg(LOG_ERROR, "%s: queue dropped [%s]", "watch_run", name);
    queue_free(w, w.queue[it->second]);
}

// False when the queue is full: the name is then left to the next sweep.
bool queue_add(watch_state &w, const char *name) {
    queue_drop(w, name);
    for (size_t i = 0; i < w.queue.size(); i++) {
        watch_queue_item &q = w.queue[i];
        if (q.used) continue;
        q.used = true;
        q.name = name;
        gettimeofday(&q.tv, nullptr);
        w.index[name] = i;
        log_msg(LOG_INFO, "%s: queue added [%s]", "watch_run", name);
        return true;
    }
    log_msg(LOG_ERROR, "%s: queue overflowed", "watch_run");
    w.resweep = true;
    return false;
}

void queue_prolong(watch_state &w, const char *name, bool quiet) {
    auto it = w.index.find(name);
    if (it == w.index.end()) return;
    gettimeofday(&w.queue[it->second].tv, nullptr);
    if (!quiet) log_msg(LOG_ERROR, "%s: queue prolongate [%s]", "watch_run", name);
}

void queue_process(watch_state &w) {
    w.last_process = std::chrono::steady_clock::now();
    struct timeval now;
    for (auto &q : w.queue) {
        if (!q.used) continue;
        log_msg(LOG_INFO, "%s: checking queue item [%s]", "watch_run", q.name.c_str());
        gettimeofday(&now, nullptr);
        long long us = (now.tv_sec - q.tv.tv_sec) * 1000000LL + (now.tv_usec - q.tv.tv_usec);
        if (us <= 3000000) continue;
        log_msg(LOG_INFO, "%s: queue processing [%s]", "watch_run", q.name.c_str());
        std::string name = q.name.c_str();
        queue_free(w, q);
        // Gone since it was queued (converted under another event, moved away): nothing to do.
        if (source_present(w.c, name.c_str())) convert(w, name.c_str());
    }
}

void log_mask(uint32_t mask) {
    static const struct {
        uint32_t bit;
        const char *text;
    } bits[] = {
        {IN_ACCESS, "    > IN_ACCESS"},
        {IN_MODIFY, "    > IN_MODIFY"},
        {IN_ATTRIB, "    > IN_ATTRIB"},
        {IN_CLOSE_WRITE, "    > IN_CLOSE_WRITE"},
        {IN_CLOSE_NOWRITE, "    > IN_CLOSE_NOWRITE"},
        {IN_OPEN, "    > IN_OPEN"},
        {IN_MOVED_FROM, "    > IN_MOVED_FROM"},
        {IN_MOVED_TO, "    > IN_MOVED_TO"},
        {IN_CREATE, "    > IN_CREATE"},
        {IN_DELETE, "    > IN_DELETE"},
        {IN_DELETE_SELF, "    > IN_DELETE_SELF"},
    };
    log_msg(LOG_ERROR, "%s: e->mask=", "watch_run");
    for (auto &b : bits)
        if (mask & b.bit) log_msg(LOG_ERROR, "%s", b.text);
}

void handle_event(watch_state &w, const struct inotify_event *e) {
    if (e->mask & IN_Q_OVERFLOW) {
        log_msg(LOG_ERROR, "%s: inotify queue overflowed", "watch_run");
        w.resweep = true;
        return;
    }
    if ((e->mask & IN_ISDIR) || e->len == 0) return;
    const char *name = e->name;
    w.last_event = std::chrono::steady_clock::now();
    if (w.c->base.debug > 0) log_mask(e->mask);
    if (e->mask & WATCH_QUEUE_MASK) {
        log_msg(LOG_INFO, "%s: IN_CLOSE_WRITE/IN_MOVED_TO/IN_CREATE [%s]", "watch_run", name);
        w.stuck.erase(name);  // new content: worth another try
        queue_add(w, name);
        return;
    }
    if (e->mask & WATCH_DROP_MASK) {
        log_msg(LOG_INFO, "%s: IN_DELETE/IN_MOVED_FROM [%s]", "watch_run", name);
        queue_drop(w, name);
        w.stuck.erase(name);
    }
    if (e->mask & IN_ATTRIB) {
        log_msg(LOG_INFO, "%s: IN_ATTRIB [%s]", "watch_run", name);
        queue_prolong(w, name, false);
    }
    // A file still being written stays unsettled; one line per write would flood the log.
    if (e->mask & IN_MODIFY) queue_prolong(w, name, true);
}

// The names of the folder, "." and ".." left out; false when it cannot be listed.
bool list_names(const char *folder, std::vector<std::string> &names) {
    DIR *d = opendir(folder);
    if (!d) return false;
    while (struct dirent *de = readdir(d)) {
        if (!strcmp(de->d_name, ".") || !strcmp(de->d_name, "..")) continue;
        names.emplace_back(de->d_name);
    }
    closedir(d);
    return true;
}

// After lost names: queues what the folder holds and the queue does not, as far as there is room;
// the rest waits for the next sweep.
void resweep(watch_state &w) {
    if (!w.resweep || w.index.size() >= w.queue.size()) return;
    std::vector<std::string> names;
    if (!list_names(w.c->src.c_str(), names)) {
        log_msg(LOG_ERROR, "%s: opendir() failed, errno=%d (%s)", "watch_run", -errno,
                strerror(errno));
        return;
    }
    log_msg(LOG_INFO, "%s: sweeping [%s] again", "watch_run", w.c->src.c_str());
    w.resweep = false;
    for (auto &n : names) {
        if (w.index.count(n) || w.stuck.count(n) || !source_present(w.c, n.c_str())) continue;
        if (w.index.size() >= w.queue.size()) {
            w.resweep = true;  // full again: the rest next time
            break;
        }
        queue_add(w, n.c_str());
    }
}

// Converts what has settled once the folder was quiet for a second, or at the latest
// WATCH_HOLD_MAX after the last such turn; then takes in names lost meanwhile.
void queue_turn(watch_state &w, bool timed_out) {
    auto now = std::chrono::steady_clock::now();
    if (timed_out || now - w.last_event >= std::chrono::seconds(1) ||
        now - w.last_process >= WATCH_HOLD_MAX)
        queue_process(w);
    resweep(w);
}

int convert_existing(watch_state &w) {
    plyconv_ctx *c = w.c;
    // Names first: converting deletes and moves entries of the folder being listed.
    std::vector<std::string> names;
    if (!list_names(c->src.c_str(), names)) {
        int r = -errno;
        log_msg(LOG_ERROR, "%s: opendir() failed, errno=%d (%s)", "watch_run", r, strerror(-r));
        return r;
    }
    for (auto &n : names) {
        std::string path;
        if (path_join(path, c->src.c_str(), n) < 0) continue;
        struct stat st;
        if (stat(path.c_str(), &st) != 0) {
            int r = -errno;
            if (r == -ENOENT) continue;  // gone since the listing
            log_msg(LOG_ERROR, "%s: stat(%s) failed, errno=%d (%s)", "watch_run", path.c_str(), r,
                    strerror(-r));
            return r;
        }
        // A FIFO or device goes on to the conversion, which refuses it without reading.
        if (S_ISDIR(st.st_mode)) continue;
        log_msg(LOG_INFO, "%s: EXISTING file [%s]", "watch_run", n.c_str());
        convert(w, n.c_str());
    }
    return 0;
}

}  // namespace

int watch_run(plyconv_ctx *c) {
    watch_state w;
    w.c = c;
    // The watch comes first: a file dropped while the folder is listed is then still seen. One
    // seen both ways is converted once, since the queue skips sources that are gone.
    unique_fd fd(inotify_init1(IN_CLOEXEC));
    if (fd.get() < 0) {
        int r = -errno;
        log_msg(LOG_ERROR, "%s: inotify_init() failed, errno=%d (%s)", "watch_run", r,
                strerror(-r));
        return r;
    }
    if (inotify_add_watch(fd.get(), c->src.c_str(), WATCH_MASK) < 0) {
        int r = -errno;
        log_msg(LOG_ERROR, "%s: inotify_add_watch(%s) failed, errno=%d [%s]", "watch_run",
                c->src.c_str(), r, strerror(-r));
        return r;
    }
    int r = convert_existing(w);
    if (r < 0) return r;
    log_msg(LOG_INFO, "%s: watching [%s]", "watch_run", c->src.c_str());
    std::vector<char> buf(WATCH_BUF_SIZE);
    while (c->stop->load() == 0) {
        struct pollfd p = {fd.get(), POLLIN, 0};
        int n = poll(&p, 1, 1000);
        if (n < 0) {
            // A signal that does not stop us (SIGPIPE) only cuts the wait short.
            if (errno == EINTR) continue;
            r = -errno;
            log_msg(LOG_ERROR, "%s: select failed: %s", "watch_run", strerror(-r));
            break;
        }
        if (n == 0) {
            queue_turn(w, true);
            continue;
        }
        ssize_t len = read(fd.get(), buf.data(), buf.size());
        if (len < 0) {
            if (errno == EINTR) continue;
            r = -errno;
            log_msg(LOG_ERROR, "%s: read failed: %s", "watch_run", strerror(-r));
            break;
        }
        for (ssize_t off = 0; off + ssize_t(sizeof(struct inotify_event)) <= len;) {
            auto *e = reinterpret_cast<const struct inotify_event *>(buf.data() + off);
            handle_event(w, e);
            off += sizeof(struct inotify_event) + e->len;
        }
        queue_turn(w, false);
    }
    return r;
}
