#include "mivrabox_ply.h"

#include <rhash.h>

#include <optional>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <sys/stat.h>
#include <unistd.h>

#include "file.h"

namespace {

bool playing_first(const ply_list *l) {
    return !l->items.empty() && (l->items[0]->flags & MIVRABOX_F_PLAYING);
}

// Puts an event the list now owns at index (append when outside); -12 releases it.
int insert_owned(ply_list *l, mivrabox_event *ev, int index) {
    if (index < 0 || index >= l->count()) index = l->count();
    try {
        l->items.insert(l->items.begin() + index, ev);
    } catch (const std::bad_alloc &) {
        mivrabox_event_unref(&ev);
        return -12;
    }
    l->revision++;
    l->shape++;
    return index;
}

// An event leaves the list: the last cued and played ids no longer name one of its events (they
// are unique in it), and every look-up of them would read the whole list in vain.
void forget(ply_list *l, const mivrabox_event *ev) {
    if (ev->sys_id == 0) return;
    if (l->last_cued_sys_id == ev->sys_id) l->last_cued_sys_id = 0;
    if (l->last_played_sys_id == ev->sys_id) l->last_played_sys_id = 0;
}

// Releases the events in [lo, hi) that gone(ev) names, keeping the order of the rest: only the
// range is read, so that deleting a few events of a long list does not pass over all of it.
template <class Gone>
void release_in(ply_list *l, size_t lo, size_t hi, Gone gone) {
    size_t w = lo, lead = 0;
    for (size_t i = lo; i < hi; i++) {
        mivrabox_event *ev = l->items[i];
        if (gone(ev)) {
            lead += w == lo;
            forget(l, ev);
            mivrabox_event_unref(&ev);
            l->revision++;
            l->shape++;
        } else {
            l->items[w++] = ev;
        }
    }
    l->items.erase(l->items.begin() + std::ptrdiff_t(w), l->items.begin() + std::ptrdiff_t(hi));
    // The run taken off the front moves the events after it by as much, up to the next one gone.
    if (lo == 0) l->base += int64_t(lead);
}

// Nothing but blanks, CR and TAB: an empty line or a line of empty fields.
bool blank_line(std::string_view s) {
    for (char c : s)
        if (c != ' ' && c != '\t' && c != '\r') return false;
    return true;
}

int load_line(ply_list *l, std::string_view line) {
    if (blank_line(line)) return 0;
    mivrabox_event *ev = mivrabox_event_parse(line);
    if (!ev) return 0;
    return insert_owned(l, ev, -1) < 0 ? -12 : 0;
}

// Reads whole lines of any length up to PLY_LINE_MAX through one growing buffer.
int load_fd(ply_list *l, int fd, const std::atomic<int> *stop) {
    std::string buf(size_t(1) << 18, '\0');
    size_t have = 0, total = 0;
    bool skipping = false;  // inside a line longer than PLY_LINE_MAX
    for (;;) {
        if (have == buf.size()) {
            if (buf.size() * 2 <= PLY_LINE_MAX + 1) {
                buf.resize(buf.size() * 2);
            } else {
                skipping = true;
                have = 0;
            }
        }
        ssize_t n = ::read(fd, buf.data() + have, buf.size() - have);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -errno;
        }
        if (n == 0) break;
        // The size checked at the open does not hold a file that grows while it is read.
        total += size_t(n);
        if (total > PLY_FILE_MAX) return -27;
        if (stop && stop->load()) return -4;
        size_t end = have + size_t(n), pos = 0;
        const char *base = buf.data();
        // Only the new bytes can hold the LF that ends the line already started.
        const void *lf = memchr(base + have, '\n', end - have);
        while (lf) {
            size_t e = size_t(static_cast<const char *>(lf) - base);
            if (skipping)
                skipping = false;
            else if (int r = load_line(l, std::string_view(base + pos, e - pos)); r < 0)
                return r;
            pos = e + 1;
            lf = memchr(base + pos, '\n', end - pos);
        }
        have = end - pos;
        if (pos && have) memmove(buf.data(), base + pos, have);
    }
    if (have && !skipping) return load_line(l, std::string_view(buf.data(), have));
    return 0;
}

// A rewritten playlist keeps the permissions of the file it replaces.
int file_mode(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 ? int(st.st_mode & 07777) : 0666;
}

}  // namespace

ply_list::~ply_list() {
    for (mivrabox_event *ev : items) mivrabox_event_unref(&ev);
}

int ply_new(ply_list **out) {
    if (!out) return -22;
    *out = new (std::nothrow) ply_list;
    return *out ? 0 : -12;
}

int ply_free(ply_list **pl) {
    if (!pl || !*pl) return -22;
    delete *pl;
    *pl = nullptr;
    return 0;
}

int ply_dup(const ply_list *l, ply_list **out) {
    if (!l || !out) return -22;
    std::unique_ptr<ply_list> d(new (std::nothrow) ply_list);
    if (!d) return -12;
    try {
        d->items.reserve(l->items.size());
    } catch (const std::bad_alloc &) {
        return -12;
    }
    for (const mivrabox_event *ev : l->items) {
        mivrabox_event *c = mivrabox_event_clone(ev);
        if (!c) return -12;
        d->items.push_back(c);  // reserved: cannot throw
    }
    *out = d.release();
    return 0;
}

int ply_insert_event(ply_list *l, const mivrabox_event *ev, int index, int keep_runtime) {
    if (!l || !ev) return -22;
    if (index == 0 && playing_first(l)) return -2;
    mivrabox_event *c = mivrabox_event_clone(ev);
    if (!c) return -12;
    if (!keep_runtime) {
        c->start = 0;
        c->flags = 0;
    }
    return insert_owned(l, c, index);
}

int ply_insert_event_fresh(ply_list *l, const mivrabox_event *ev, int index) {
    return ply_insert_event(l, ev, index, 0);
}

int ply_replace_event(ply_list *l, mivrabox_event *ev, int index, mivrabox_event **old) {
    if (!l || !ev) return -22;
    if (index < 0 || index >= l->count()) return -2;
    ev->start = 0;
    ev->flags = 0;
    mivrabox_event *c = mivrabox_event_clone(ev);
    if (!c) return -12;
    mivrabox_event *prev = l->items[index];
    forget(l, prev);
    l->items[index] = c;
    l->revision++;
    l->shape++;
    if (old)
        *old = prev;
    else
        mivrabox_event_unref(&prev);
    return index;
}

int ply_remove_slot(ply_list *l, int index) {
    if (!l || index < 0 || index >= l->count()) return -22;
    l->items.erase(l->items.begin() + index);
    if (index == 0) l->base++;
    l->revision++;
    l->shape++;
    return l->count();
}

int ply_delete_event(ply_list *l, int index) {
    if (!l || index < 0 || index >= l->count()) return -22;
    mivrabox_event *ev = l->items[index];
    forget(l, ev);
    l->items.erase(l->items.begin() + index);
    if (index == 0) l->base++;
    mivrabox_event_unref(&ev);
    l->revision++;
    l->shape++;
    return l->count();
}

int ply_delete_events(ply_list *l, int n, const int64_t *indexes) {
    if (!l || (n > 0 && !indexes)) return -22;
    size_t lo = l->items.size(), hi = 0;
    for (int i = 0; i < n; i++)
        if (indexes[i] >= 0 && indexes[i] < l->count()) {
            const size_t at = size_t(indexes[i]);
            l->items[at]->start = -1;
            lo = std::min(lo, at);
            hi = std::max(hi, at + 1);
        }
    if (lo < hi) release_in(l, lo, hi, [](const mivrabox_event *ev) { return ev->start == -1; });
    return 0;
}

int ply_delete_range(ply_list *l, int first, int last) {
    if (!l) return -22;
    // Only the range is read: the scheduler takes events off the front of a long list.
    const size_t lo = size_t(std::max(first, 0));
    const size_t hi = size_t(std::clamp<int64_t>(int64_t(last) + 1, 0, l->count()));
    if (lo < hi) release_in(l, lo, hi, [](const mivrabox_event *ev) { return ev->sys_id != 0; });
    return 0;
}

int ply_clear(ply_list *l) {
    if (!l) return -22;
    for (mivrabox_event *ev : l->items) mivrabox_event_unref(&ev);
    l->items.clear();
    l->last_cued_sys_id = 0;
    l->last_played_sys_id = 0;
    l->revision++;
    l->shape++;
    return 0;
}

int ply_insert_text(ply_list *l, const char *line, int index) {
    if (!l || !line) return -22;
    mivrabox_event *ev = mivrabox_event_parse(line);
    if (!ev) return -22;
    // A parsed event is already fresh: the list takes it without a clone.
    if (index == 0 && playing_first(l)) {
        mivrabox_event_unref(&ev);
        return -2;
    }
    return insert_owned(l, ev, index);
}

int ply_replace_text(ply_list *l, const char *line, int index, mivrabox_event **old) {
    if (!l || !line) return -22;
    mivrabox_event *ev = mivrabox_event_parse(line);
    if (!ev) return -22;
    int r = ply_replace_event(l, ev, index, old);
    mivrabox_event_unref(&ev);
    return r;
}

int ply_append_list(ply_list *l, const ply_list *other) {
    if (!l || !other) return -22;
    int before = l->count();
    int n = other->count();  // l may be other
    for (int i = 0; i < n; i++) {
        int r = ply_insert_event(l, other->items[i], -1, 0);
        if (r < 0) return r;
    }
    return before;
}

int ply_find_sys_id(const ply_list *l, int64_t sys_id) {
    if (!l) return -22;
    for (size_t i = 0; i < l->items.size(); i++)
        if (l->items[i]->sys_id == sys_id) return int(i);
    return -2;
}

int ply_find_sys_ids(const ply_list *l, int n, const int64_t *sys_ids, int *out) {
    if (!l || n < 0 || (n > 0 && (!sys_ids || !out))) return -22;
    // One pass over the list whatever the number of ids: a control call names thousands.
    std::unordered_map<int64_t, int> at;
    try {
        at.reserve(size_t(n));
        for (int i = 0; i < n; i++) at.emplace(sys_ids[i], -2);
        for (size_t i = 0; i < l->items.size(); i++) {
            auto it = at.find(l->items[i]->sys_id);
            if (it != at.end() && it->second < 0) it->second = int(i);
        }
    } catch (const std::bad_alloc &) {
        return -12;
    }
    int found = 0;
    for (int i = 0; i < n; i++) {
        out[i] = at[sys_ids[i]];
        if (out[i] >= 0) found++;
    }
    return found;
}

int ply_load(ply_list **out, const char *path, const std::atomic<int> *stop) {
    if (!out || !path) return -22;
    unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) return -errno;
    struct stat st;
    if (fstat(fd.get(), &st) < 0) return -errno;
    if (S_ISREG(st.st_mode) && uint64_t(st.st_size) > PLY_FILE_MAX) return -27;
    std::unique_ptr<ply_list> l(new (std::nothrow) ply_list);
    if (!l) return -12;
    int r;
    try {
        r = load_fd(l.get(), fd.get(), stop);
    } catch (const std::bad_alloc &) {
        r = -12;
    }
    if (r < 0) return r;
    *out = l.release();
    return (*out)->count();
}

namespace {

// MD5 of the written lines through librhash, freed on every path.
struct md5_ctx {
    rhash ctx = nullptr;
    md5_ctx() : ctx(rhash_init(RHASH_MD5)) {}
    ~md5_ctx() {
        if (ctx) rhash_free(ctx);
    }
    md5_ctx(const md5_ctx &) = delete;
    md5_ctx &operator=(const md5_ctx &) = delete;
};

}  // namespace

void ply_digest_init() {
    rhash_library_init();
}

int ply_save(const ply_list *l, const char *path, char *digest) {
    if (!l || !path) return -22;
    std::optional<md5_ctx> md5;
    if (digest) {
        md5.emplace();
        if (!md5->ctx) return -12;
    }
    atomic_file f;
    int r = f.open(path, file_mode(path));
    if (r) return r;
    constexpr size_t chunk = size_t(1) << 17;
    try {
        std::string buf;
        buf.reserve(2 * chunk);
        for (const mivrabox_event *ev : l->items) {
            size_t at = buf.size();
            // A line is never empty (it holds 14 TABs): 0 means memory ran out.
            if (mivrabox_event_format_append(ev, buf) == 0) return -12;
            // The digest covers the lines alone, without their line ends.
            if (md5) rhash_update(md5->ctx, buf.data() + at, buf.size() - at);
            buf.push_back('\n');
            if (buf.size() >= chunk) {
                if ((r = f.write(buf))) return r;
                buf.clear();
            }
        }
        if ((r = f.write(buf))) return r;
    } catch (const std::bad_alloc &) {
        return -12;
    }
    if ((r = f.commit())) return r;
    if (md5) {
        rhash_final(md5->ctx, nullptr);
        rhash_print(digest, md5->ctx, RHASH_MD5, RHPR_HEX | RHPR_UPPERCASE);
    }
    return l->count();
}
