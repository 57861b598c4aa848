// The watch-folder loop: files present at start are converted at once, later ones once they have
// settled (no event on them for over 3 s and a quiet second in the folder).
#include <dirent.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "file.h"
#include "log.h"
#include "plyconv.h"

namespace {

constexpr int WATCH_QUEUE_SIZE = 1024;
constexpr size_t WATCH_BUF_SIZE = 4210688;
constexpr uint32_t WATCH_MASK = 0xFFD;  // every event but IN_MODIFY
constexpr uint32_t WATCH_QUEUE_MASK = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_CLOSE_NOWRITE;
constexpr uint32_t WATCH_DROP_MASK = IN_OPEN | IN_MOVED_FROM | IN_DELETE;

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
};

bool source_present(const plyconv_ctx *c, const char *name) {
    std::string path;
    struct stat st;
    return path_join(path, c->src.c_str(), name) == 0 && lstat(path.c_str(), &st) == 0 &&
           S_ISREG(st.st_mode);
}

void convert(watch_state &w, const char *name) {
    ply_conv(w.c, name);
    if (source_present(w.c, name)) w.stuck.insert(name);
}

void queue_drop(watch_state &w, const char *name) {
    for (auto &q : w.queue)
        if (q.used && q.name == name) {
            log_msg(LOG_ERROR, "%s: queue dropped [%s]", "watch_run", name);
            q.used = false;
        }
}

void queue_add(watch_state &w, const char *name) {
    queue_drop(w, name);
    for (auto &q : w.queue)
        if (!q.used) {
            q.used = true;
            q.name = name;
            gettimeofday(&q.tv, nullptr);
            log_msg(LOG_INFO, "%s: queue added [%s]", "watch_run", name);
            return;
        }
    log_msg(LOG_ERROR, "%s: queue overflowed", "watch_run");
}

void queue_prolong(watch_state &w, const char *name) {
    for (auto &q : w.queue)
        if (q.used && q.name == name) {
            gettimeofday(&q.tv, nullptr);
            log_msg(LOG_ERROR, "%s: queue prolongate [%s]", "watch_run", name);
        }
}

void queue_process(watch_state &w) {
    struct timeval now;
    for (auto &q : w.queue) {
        if (!q.used) continue;
        log_msg(LOG_INFO, "%s: checking queue item [%s]", "watch_run", q.name.c_str());
        gettimeofday(&now, nullptr);
        long long us = (now.tv_sec - q.tv.tv_sec) * 1000000LL + (now.tv_usec - q.tv.tv_usec);
        if (us <= 3000000) continue;
        log_msg(LOG_INFO, "%s: queue processing [%s]", "watch_run", q.name.c_str());
        std::string name = q.name.c_str();
        q.used = false;
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
    if ((e->mask & IN_ISDIR) || e->len == 0) return;
    const char *name = e->name;
    w.last_event = std::chrono::steady_clock::now();
    if (w.c->base.debug > 0) log_mask(e->mask);
    if (e->mask & WATCH_QUEUE_MASK) {
        log_msg(LOG_INFO, "%s: IN_CLOSE_WRITE/IN_MOVED_TO/IN_CREATE/IN_CLOSE_NOWRITE [%s]",
                "watch_run", name);
        if (e->mask & (IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE))
            w.stuck.erase(name);  // new content: worth another try
        else if (w.stuck.count(name))
            return;
        queue_add(w, name);
        return;
    }
    if (e->mask & WATCH_DROP_MASK) {
        log_msg(LOG_INFO, "%s: IN_OPEN/IN_DELETE/IN_MOVED_FROM [%s]", "watch_run", name);
        queue_drop(w, name);
        if (e->mask & (IN_DELETE | IN_MOVED_FROM)) w.stuck.erase(name);
    }
    if (e->mask & IN_ATTRIB) {
        log_msg(LOG_INFO, "%s: IN_ATTRIB [%s]", "watch_run", name);
        queue_prolong(w, name);
    }
}

int convert_existing(watch_state &w) {
    plyconv_ctx *c = w.c;
    DIR *d = opendir(c->src.c_str());
    if (!d) {
        int r = -errno;
        log_msg(LOG_ERROR, "%s: opendir() failed, errno=%d (%s)", "watch_run", r, strerror(-r));
        return r;
    }
    // Names first: converting deletes and moves entries of the folder being listed.
    std::vector<std::string> names;
    while (struct dirent *de = readdir(d)) {
        if (!strcmp(de->d_name, ".") || !strcmp(de->d_name, "..")) continue;
        names.emplace_back(de->d_name);
    }
    closedir(d);
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
        if (!S_ISREG(st.st_mode)) continue;
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
            queue_process(w);
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
        if (std::chrono::steady_clock::now() - w.last_event >= std::chrono::seconds(1))
            queue_process(w);
    }
    return r;
}
