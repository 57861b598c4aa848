// Drop folder of a bus: playlists dropped into it are opened or appended, then removed.
#include <dirent.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "bus.h"
#include "file.h"
#include "log.h"
#include "mivra.h"

namespace {

// Room for many events with their names.
constexpr size_t kBufSize = 4 * 1024 * 1024 + 16 * 1024;
// Playlists that did not load go here, so that nothing dropped is lost.
constexpr const char *kFailedDir = "failed";

struct dir_closer {
    void operator()(DIR *d) const { closedir(d); }
};

bool is_playlist(std::string_view name) {
    size_t at = name.find(".ply");
    return at != std::string_view::npos && at + 4 == name.size();
}

void keep_failed(bus *b, const std::string &path, const char *name) {
    std::string dir, to;
    if (path_join(dir, b->auto_append.view(), kFailedDir) < 0 || path_join(to, dir, name) < 0 ||
        mkdir_p(dir) < 0 || rename(path.c_str(), to.c_str()) < 0) {
        log_msg(LOG_ERROR, "%s[%d] cannot keep [%s] in [%s], errno=%d (%s)", "bus_append_file",
                b->index, name, kFailedDir, errno, strerror(errno));
        unlink(path.c_str());
        return;
    }
    log_msg(LOG_ERROR, "%s[%d] kept [%s] as [%s]", "bus_append_file", b->index, name, to.c_str());
}

// A full sweep of the folder: regular files only, in directory order. False when the folder
// cannot be read.
bool sweep(bus *b) {
    static const char *const name = "bus_append_proc";
    std::unique_ptr<DIR, dir_closer> d(opendir(b->auto_append.c_str()));
    if (!d) {
        log_msg(LOG_ERROR, "%s: opendir() failed, errno=%d (%s)", name, -errno, strerror(errno));
        return false;
    }
    while (struct dirent *de = readdir(d.get())) {
        std::string path;
        if (de->d_name[0] == '.' || path_join(path, b->auto_append.view(), de->d_name) < 0)
            continue;
        struct stat st;
        if (stat(path.c_str(), &st) < 0) {
            // Gone meanwhile (taken by someone else): nothing to do.
            if (errno != ENOENT)
                log_msg(LOG_ERROR, "%s: stat(%s) failed, errno=%d (%s)", name, path.c_str(), -errno,
                        strerror(errno));
            continue;
        }
        if (!S_ISREG(st.st_mode)) continue;
        log_msg(LOG_INFO, "%s: EXISTING file [%s]", name, de->d_name);
        bus_append_file(b, de->d_name);
    }
    return true;
}

}  // namespace

int bus_append_file(bus *b, const char *name) {
    static const char *const fn = "bus_append_file";
    // Other programs write under a hidden name and rename the whole file into place.
    if (!name || name[0] == '.') return 0;
    std::string path;
    if (path_join(path, b->auto_append.view(), name) < 0) {
        log_msg(LOG_ERROR, "%s[%d] refused name [%s]", fn, b->index, name);
        return -22;
    }
    struct stat st;
    // Already handled (the sweep and the watch may both report a file), or no plain file.
    if (stat(path.c_str(), &st) < 0 || !S_ISREG(st.st_mode)) return 0;
    // The daemon's name filter logs what it refuses.
    bool allowed = !b->hooks->append_allowed || b->hooks->append_allowed(b, name);
    if (!is_playlist(name)) {
        unlink(path.c_str());
        return 0;
    }
    // A playlist for another day or channel is set aside, not lost.
    if (!allowed) {
        keep_failed(b, path, name);
        return -125;
    }
    int r, added = 0;
    // Read and parsed before the bus lock: a large file must not hold the channel. The list then
    // goes on to the daemon (a peer, say) once the lock is let go.
    ply_list *loaded = nullptr;
    bool appending = false;
    r = bus_ply_read(b, path.c_str(), &loaded, &b->exit);
    {
        std::lock_guard lk(b->lock);
        mivrabox_state state;
        auto word = [b] { return b->playlist->count() > 0 ? "APPEND" : "OPEN"; };
        log_msg(LOG_INFO, "%s[%d] will try %s [%s] origin [%s]", fn, b->index, word(), name,
                path.c_str());
        int before = b->playlist->count();
        appending = before > 0;
        if (r >= 0)
            r = appending ? bus_ply_append_ply(b, loaded, path.c_str(), &state)
                          : bus_ply_load_ply(b, loaded, path.c_str(), &state);
        added = b->playlist->count() - before;
        log_msg(LOG_INFO, "%s[%d] done (r=%d) %s [%s] origin [%s]", fn, b->index, r, word(), name,
                path.c_str());
    }
    // Only an append is handed on; a load moved the events into the bus.
    if (appending && r >= 0)
        bus_ply_appended(b, &loaded);
    else if (loaded)
        ply_free(&loaded);
    // The bus is stopping: the file stays for the next start.
    if (r == -4) return r;
    // A file with content of which no event could be read is kept like one that failed.
    if (r < 0 || (added <= 0 && st.st_size > 0))
        keep_failed(b, path, name);
    else
        unlink(path.c_str());
    return r;
}

void bus_append_proc(bus *b) {
    static const char *const name = "bus_append_proc";
    log_msg(LOG_INFO, "%s[%d] started", name, b->index);
    // A dropped playlist is outside input: what it starts (a push to a peer) shares the pool's
    // outside part with the control port.
    mivra_call_scope outside(MIVRA_BOUND_RELAY_MS, 1);
    if (b->auto_append.empty()) {
        log_msg(LOG_INFO, "%s[%d] ignored", name, b->index);
        log_msg(LOG_INFO, "%s[%d] finished", name, b->index);
        return;
    }
    // The watch comes before the sweep, so that nothing dropped during the sweep is missed.
    unique_fd fd(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (!fd) {
        log_msg(LOG_ERROR, "%s: inotify_init() failed, errno=%d (%s)", name, -errno,
                strerror(errno));
    } else if (inotify_add_watch(fd.get(), b->auto_append.c_str(), IN_ALL_EVENTS & ~IN_MODIFY) <
               0) {
        log_msg(LOG_ERROR, "%s: inotify_add_watch(%s) failed, errno=%d [%s]", name,
                b->auto_append.c_str(), -errno, strerror(errno));
        fd.reset();
    }
    if (sweep(b) && fd) {
        std::vector<char> buf(kBufSize);
        while (!b->exit) {
            struct pollfd p = {fd.get(), POLLIN, 0};
            // Short waits: the stop flag is looked at between them.
            int n = poll(&p, 1, 250);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                log_msg(LOG_ERROR, "%s: select failed: %s", name, strerror(errno));
                break;
            }
            if (n == 0) continue;
            ssize_t len = read(fd.get(), buf.data(), buf.size());
            if (len < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (len < 0) {
                log_msg(LOG_ERROR, "%s: read failed: %s", name, strerror(errno));
                break;
            }
            bool overflow = false;
            for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= len;) {
                auto *ev = reinterpret_cast<const inotify_event *>(buf.data() + at);
                at += ssize_t(sizeof(inotify_event) + ev->len);
                if (ev->mask & IN_Q_OVERFLOW) overflow = true;
                if (ev->len == 0 || (ev->mask & IN_ISDIR) ||
                    !(ev->mask & (IN_CLOSE_WRITE | IN_MOVED_TO)))
                    continue;
                log_msg(LOG_INFO, "%s: IN_CLOSE_WRITE || IN_MOVED_TO [%s]", name, ev->name);
                bus_append_file(b, ev->name);
            }
            // Events were lost: what they were about is still in the folder.
            if (overflow) {
                log_msg(LOG_ERROR, "%s[%d] event queue overflow, sweeping again", name, b->index);
                sweep(b);
            }
        }
    }
    log_msg(LOG_INFO, "%s[%d] finished", name, b->index);
}
