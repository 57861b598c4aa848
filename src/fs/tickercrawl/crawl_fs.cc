#include "crawl_fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "log.h"

namespace {

enum opt_id { OPT_SRC_DATAS = 1, OPT_SRC_PRESETS, OPT_FRAMES_MAX };

// A whole number of MiB from 1 to the limit, digits only: anything else is refused, since a
// bound read as 0 would refuse every frame.
bool frames_max(const char *arg, int64_t *mib) {
    if (!*arg || strlen(arg) > 7 || strspn(arg, "0123456789") != strlen(arg)) return false;
    int64_t v = strtoll(arg, nullptr, 10);
    if (v < 1 || v > CRAWL_FRAMES_MAX_MIB_LIMIT) return false;
    *mib = v;
    return true;
}

int apply(fs_options &fo, int id, const char *arg) {
    auto &o = static_cast<crawl_options &>(fo);
    switch (id) {
        case OPT_SRC_DATAS:
            o.src_datas = arg;
            break;
        case OPT_SRC_PRESETS:
            o.src_presets = arg;
            break;
        case OPT_FRAMES_MAX:
            return frames_max(arg, &o.frames_max_mib) ? 0 : -1;
        default:
            return -1;
    }
    return 0;
}

const fs_program kProgram = {
    CRAWL_PROGRAM,
    CRAWL_BANNER,
    {{{"src-datas", required_argument, OPT_SRC_DATAS},
      "--src-datas=<PATH>",
      "Source path of text files"},
     {{"src-presets", required_argument, OPT_SRC_PRESETS},
      "--src-presets=<PATH>",
      "Source path of presets files"},
     {{"frames-max", required_argument, OPT_FRAMES_MAX},
      "--frames-max=<MiB>",
      "Bound on the frames open files hold together (512)"}},
    apply,
};

// Path components after the leading "/": at most three; a deeper path counts as four.
struct tree_path {
    int count = 0;
    std::string part[3];
};

int split(const char *path, tree_path &t) {
    if (path[0] != '/') return -2;
    const char *at = path + 1;
    while (*at) {
        if (t.count == 3) return t.count = 4;
        const char *slash = strchr(at, '/');
        size_t n = slash ? size_t(slash - at) : strlen(at);
        t.part[t.count++].assign(at, n);
        if (!slash) break;
        at = slash + 1;
    }
    return t.count;
}

// "%s/%s" of a folder and a name from the tree, bounded as every path here.
bool real_path(std::string &out, const text4k &folder, const std::string &name) {
    out = folder.str() + "/" + name;
    return out.size() <= 1024;
}

// A use of a pooled context for the length of one call: the monitor never frees it meanwhile.
class context_use {
   public:
    context_use(ticker_crawl_pool *pool) : pool_(pool) {}
    ~context_use() {
        if (ctx_) ticker_crawl_pool_put(pool_, ctx_);
    }
    int fetch(const crawl_options &o, const tree_path &t) {
        return ticker_crawl_pool_fetch(pool_, o.src_presets.c_str(), o.src_datas.c_str(),
                                       t.part[0].c_str(), t.part[1].c_str(), t.part[2].c_str(),
                                       &ctx_);
    }
    ticker_crawl_context *get() const { return ctx_; }

   private:
    ticker_crawl_pool *pool_;
    ticker_crawl_context *ctx_ = nullptr;
};

crawl_options *opts_of_context() {
    fuse_context *c = fuse_get_context();
    return c ? static_cast<crawl_options *>(c->private_data) : nullptr;
}

// The process of the calling thread, read from /proc: the threads of one client share its share
// of the frames. The thread id itself when that fails.
uint64_t client_of(pid_t tid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", int(tid));
    unique_file f(fopen(path, "re"));
    char line[256];
    while (f && fgets(line, sizeof line, f.get())) {
        if (strncmp(line, "Tgid:", 5) == 0) return strtoull(line + 5, nullptr, 10);
    }
    return uint64_t(tid);
}

crawl_frame *frame_of(const fuse_file_info *fi) {
    return reinterpret_cast<crawl_frame *>(uintptr_t(fi->fh));
}

// No exception crosses into FUSE.
template <class F>
int guarded(F f) {
    try {
        return f();
    } catch (...) {
        return -ENOMEM;
    }
}

int fs_getattr(const char *path, struct stat *st) {
    crawl_options *o = opts_of_context();
    if (!o) return -EIO;
    return guarded([&] { return crawl_tree_getattr(*o, path, st); });
}

int fs_readdir(const char *path, void *buf, fuse_fill_dir_t filler, off_t, fuse_file_info *) {
    crawl_options *o = opts_of_context();
    if (!o) return -EIO;
    return guarded([&] {
        std::vector<std::string> names;
        int r = crawl_tree_readdir(*o, path, names);
        if (r < 0) return r;
        for (const std::string &n : names)
            if (filler(buf, n.c_str(), nullptr, 0)) break;
        return 0;
    });
}

int fs_open(const char *path, fuse_file_info *fi) {
    crawl_options *o = opts_of_context();
    if (!o) return -EIO;
    return guarded([&] {
        crawl_frame *frame = nullptr;
        fuse_context *c = fuse_get_context();
        int r = crawl_tree_open(*o, path, fi->flags, client_of(c ? c->pid : 0), &frame);
        if (r < 0) return r;
        fi->fh = uint64_t(uintptr_t(frame));
        // Frames change size with the preset: reads must not stop at a size the kernel cached.
        fi->direct_io = 1;
        return 0;
    });
}

int fs_read(const char *, char *buf, size_t size, off_t offset, fuse_file_info *fi) {
    crawl_frame *frame = frame_of(fi);
    if (!frame) return -EBADF;
    return crawl_tree_read(*frame, buf, size, offset);
}

int fs_release(const char *, fuse_file_info *fi) {
    crawl_options *o = opts_of_context();
    crawl_frame *frame = frame_of(fi);
    if (o && o->debug)
        log_msg(LOG_DEBUG, "%s: m->img=%p, fi->fh=%p", "fs_release",
                frame && frame->img ? static_cast<const void *>(frame->img->bmp.data()) : nullptr,
                static_cast<void *>(frame));
    crawl_tree_release(frame);
    fi->fh = 0;
    return 0;
}

void *fs_init(fuse_conn_info *) {
    crawl_options *o = opts_of_context();
    if (!o) return nullptr;
    // FUSE detached the process and watches the signals; no timecode is ever read here.
    svc_begin(*o, svc_start{CRAWL_BANNER, false, false, nullptr, {}});
    ticker_crawl_datasource_global_init();
    o->pool = ticker_crawl_pool_create();
    if (!o->pool) log_msg(LOG_ERROR, "%s: ticker_crawl_pool_create failed", "fs_init");
    try {
        o->frames = std::make_shared<crawl_frame_budget>(o->frames_max_mib << 20);
    } catch (const std::bad_alloc &) {
        log_msg(LOG_ERROR, "%s: no memory for the frame budget", "fs_init");
    }
    return o;
}

void fs_destroy(void *data) {
    auto *o = static_cast<crawl_options *>(data);
    if (o) {
        if (o->stop) ++*o->stop;
        ticker_crawl_pool_destroy(o->pool);
        o->pool = nullptr;
    }
    ticker_crawl_datasource_global_cleanup();
    svc_end();
}

fuse_operations make_operations() {
    fuse_operations ops;
    memset(&ops, 0, sizeof ops);
    ops.getattr = fs_getattr;
    ops.readdir = fs_readdir;
    ops.open = fs_open;
    ops.read = fs_read;
    ops.release = fs_release;
    ops.init = fs_init;
    ops.destroy = fs_destroy;
    return ops;
}

}  // namespace

int crawl_opts_parse(crawl_options &o, int argc, char **argv) {
    return fs_opts_parse(kProgram, o, argc, argv);
}

int crawl_tree_getattr(const crawl_options &o, const char *path, struct stat *st) {
    memset(st, 0, sizeof *st);
    tree_path t;
    int r = split(path, t);
    if (o.debug) log_msg(LOG_DEBUG, "%s: [%s], r=%d", "fs_getattr", path, r);
    std::string real;
    switch (r) {
        case 0:
            st->st_mode = S_IFDIR | 0755;
            st->st_nlink = 2;
            return 0;
        case 1:
        case 2:
            if (!real_path(real, r == 1 ? o.src_presets : o.src_datas, t.part[r - 1]))
                return -ENAMETOOLONG;
            if (stat(real.c_str(), st) < 0) return -errno;
            st->st_mode = S_IFDIR | 0755;
            return 0;
        case 3: {
            if (!o.pool) return -EIO;
            context_use use(o.pool);
            if ((r = use.fetch(o, t)) < 0) return r;
            if (o.debug) log_msg(LOG_DEBUG, "%s:%d ctx=%p", "fs_getattr", 259, (void *)use.get());
            st->st_mode = S_IFREG | 0444;
            st->st_nlink = 2;
            st->st_size = off_t(ticker_crawl_image_size(use.get()));
            st->st_atime = st->st_mtime = st->st_ctime = time(nullptr);
            return 0;
        }
        default:
            return -ENOENT;
    }
}

int crawl_tree_readdir(const crawl_options &o, const char *path, std::vector<std::string> &names) {
    tree_path t;
    int r = split(path, t);
    if (o.debug) log_msg(LOG_DEBUG, "%s: path=[%s], r=%d", "fs_readdir", path, r);
    if (r < 0 || r > 2) {
        if (o.debug) log_msg(LOG_DEBUG, "%s: non parsed [%s]", "fs_readdir", path);
        return -ENOENT;
    }
    names = {".", ".."};
    if (r == 2) return 0;
    const text4k &folder = r == 0 ? o.src_presets : o.src_datas;
    std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir(folder.c_str()), closedir);
    if (!dir) return 0;
    std::string real;
    struct stat st;
    while (dirent *d = readdir(dir.get())) {
        if (!real_path(real, folder, d->d_name) || stat(real.c_str(), &st) < 0) continue;
        if (r == 0 ? S_ISREG(st.st_mode) : d->d_name[0] != '.') names.emplace_back(d->d_name);
    }
    return 0;
}

int crawl_tree_open(const crawl_options &o, const char *path, int flags, uint64_t client,
                    crawl_frame **frame) {
    *frame = nullptr;
    tree_path t;
    int r = split(path, t);
    if (r != 3) {
        if (o.debug) log_msg(LOG_DEBUG, "%s: [%s], r=%d", "fs_open", path, r);
        return -ENOENT;
    }
    // The frames are read-only: root would otherwise get a writable open that no write serves.
    if ((flags & O_ACCMODE) != O_RDONLY) return -EACCES;
    // No budget, no frames: they would be held without bound.
    if (!o.pool || !o.frames) return -EIO;
    context_use use(o.pool);
    if ((r = use.fetch(o, t)) < 0) return r;
    auto f = std::make_unique<crawl_frame>();
    std::string what = t.part[0] + "/" + t.part[1] + "/" + t.part[2];
    // The frame and its step as one, so that two opens at once of a moving crawl show two steps,
    // not one twice. Only this crawl waits meanwhile.
    std::lock_guard<std::recursive_mutex> lk(use.get()->mu);
    r = ticker_crawl_frame(use.get(), o.frames, client, what.c_str(), f->img);
    if (o.debug)
        log_msg(LOG_DEBUG, "%s: ticker_crawl_render_image(%p), r=%d, fi->fh=%p", "fs_open",
                (void *)use.get(), r, (void *)f.get());
    if (r < 0) return r;
    ticker_crawl_step(use.get());
    *frame = f.release();
    return 0;
}

int crawl_tree_read(const crawl_frame &frame, char *buf, size_t size, off_t offset) {
    if (offset < 0) return -EINVAL;
    if (!frame.img) return -EBADF;
    const std::vector<uint8_t> &bmp = frame.img->bmp;
    if (uint64_t(offset) >= bmp.size()) return 0;
    size_t n = std::min(size, bmp.size() - size_t(offset));
    memcpy(buf, bmp.data() + offset, n);
    return int(n);
}

void crawl_tree_release(crawl_frame *frame) {
    delete frame;
}

const fuse_operations &crawl_fs_operations() {
    static const fuse_operations ops = make_operations();
    return ops;
}
