#ifndef FUSE_USE_VERSION
#define FUSE_USE_VERSION 26
#endif
#include "stl_fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "fs_launch.h"
#include "log.h"
#include "opts.h"
#include "stl.h"
#include "svc.h"

namespace {

enum opt_id { OPT_SRC = 1 };

int apply(fs_options &o, int id, const char *arg) {
    if (id != OPT_SRC) return -1;
    static_cast<stl_options &>(o).src = arg;
    return 0;
}

const fs_program kProgram = {
    STL_PROGRAM,
    STL_BANNER,
    {{{"src", required_argument, OPT_SRC}, "--src=<PATH>", "Source path of STL files"}},
    apply,
};

stl_options *opts_of_context() {
    fuse_context *c = fuse_get_context();
    return c ? static_cast<stl_options *>(c->private_data) : nullptr;
}

std::string *handle_of(const fuse_file_info *fi) {
    return reinterpret_cast<std::string *>(uintptr_t(fi->fh));
}

// The path under src that a tree path (always beginning with '/') stands for.
int src_path(const stl_options &o, const char *path, std::string &out) {
    out = o.src.str();
    out += path;
    return out.size() > 4095 ? -ENAMETOOLONG : 0;
}

int stl_fs_getattr(const char *path, struct stat *st) {
    stl_options *o = opts_of_context();
    if (!o) return -EIO;
    try {
        return stl_tree_getattr(*o, path, st);
    } catch (...) {
        return -ENOMEM;
    }
}

int stl_fs_readdir(const char *path, void *buf, fuse_fill_dir_t filler, off_t, fuse_file_info *) {
    stl_options *o = opts_of_context();
    if (!o) return -EIO;
    try {
        std::vector<std::string> names;
        int r = stl_tree_readdir(*o, path, names);
        if (r < 0) return r;
        for (const std::string &n : names)
            if (filler(buf, n.c_str(), nullptr, 0)) break;
        return 0;
    } catch (...) {
        return -ENOMEM;
    }
}

int stl_fs_open(const char *path, fuse_file_info *fi) {
    stl_options *o = opts_of_context();
    if (!o) return -EIO;
    try {
        std::string *text = nullptr;
        int r = stl_tree_open(*o, path, fi->flags, &text);
        if (r < 0) return r;
        fi->fh = uint64_t(uintptr_t(text));
        return 0;
    } catch (...) {
        return -ENOMEM;
    }
}

int stl_fs_read(const char *, char *buf, size_t size, off_t offset, fuse_file_info *fi) {
    std::string *text = handle_of(fi);
    if (!text) return -EBADF;
    return stl_tree_read(*text, buf, size, offset);
}

int stl_fs_release(const char *, fuse_file_info *fi) {
    stl_tree_release(handle_of(fi));
    fi->fh = 0;
    return 0;
}

void *stl_fs_init(fuse_conn_info *) {
    stl_options *o = opts_of_context();
    // FUSE detached the process and watches the signals. Its frame numbers count at 25 per
    // second whatever the mode; the mode is set all the same, as in every program.
    if (o) svc_begin(*o, svc_start{STL_BANNER, false, true, nullptr, {}});
    return o;
}

void stl_fs_destroy(void *data) {
    auto *o = static_cast<stl_options *>(data);
    if (o && o->stop) ++*o->stop;
    svc_end();
}

fuse_operations make_operations() {
    fuse_operations ops;
    memset(&ops, 0, sizeof ops);
    ops.getattr = stl_fs_getattr;
    ops.readdir = stl_fs_readdir;
    ops.open = stl_fs_open;
    ops.read = stl_fs_read;
    ops.release = stl_fs_release;
    ops.init = stl_fs_init;
    ops.destroy = stl_fs_destroy;
    return ops;
}

}  // namespace

void stl_usage() {
    fs_usage(kProgram);
}

int stl_opts_parse(stl_options &o, int argc, char **argv) {
    return fs_opts_parse(kProgram, o, argc, argv);
}

std::vector<std::string> stl_fuse_args(const stl_options &o, const char *prog) {
    return fs_fuse_args(prog ? prog : STL_PROGRAM, o);
}

int stl_tree_getattr(const stl_options &o, const char *path, struct stat *st) {
    log_msg(LOG_DEBUG, "%s: [%s]", "stl_fs_getattr", path);
    memset(st, 0, sizeof *st);
    if (strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    std::string text;
    int r = mpl_build(o.src.c_str(), path, text);
    if (r == 0) {
        st->st_mode = S_IFREG | 0444;
        st->st_nlink = 1;
        st->st_size = off_t(text.size());
        st->st_atime = st->st_mtime = st->st_ctime = time(nullptr);
        return 0;
    }
    if (r != -ENOENT) return r;

    std::string real;
    if ((r = src_path(o, path, real)) < 0) return r;
    if (stat(real.c_str(), st) < 0) return -errno;
    if (!S_ISREG(st->st_mode)) {
        memset(st, 0, sizeof *st);
        return -ECONNREFUSED;
    }
    st->st_mode = S_IFDIR | 0755;
    return 0;
}

int stl_tree_readdir(const stl_options &o, const char *path, std::vector<std::string> &names) {
    names = {".", ".."};
    if (strcmp(path, "/") != 0) return 0;
    std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir(o.src.c_str()), closedir);
    if (!dir) {
        int e = errno;
        log_msg(LOG_ERROR, "%s: opendir [%s] failed, errno=%d", "stl_fs_readdir", o.src.c_str(), e);
        return -e;
    }
    std::string real;
    struct stat st;
    while (dirent *d = readdir(dir.get())) {
        if (path_join(real, o.src.view(), d->d_name) < 0) continue;  // ".", ".." or too long
        if (stat(real.c_str(), &st) == 0 && S_ISREG(st.st_mode)) names.emplace_back(d->d_name);
    }
    return 0;
}

int stl_tree_open(const stl_options &o, const char *path, int flags, std::string **handle) {
    log_msg(LOG_DEBUG, "%s: [%s]", "stl_fs_open", path);
    *handle = nullptr;
    // The texts are read-only: root would otherwise get a writable open that no write serves.
    if ((flags & O_ACCMODE) != O_RDONLY) return -EACCES;
    auto text = std::make_unique<std::string>();
    int r = mpl_build(o.src.c_str(), path, *text);
    if (r < 0) return r;
    *handle = text.release();
    return 0;
}

int stl_tree_read(const std::string &text, char *buf, size_t size, off_t offset) {
    if (offset < 0) return -EINVAL;
    if (uint64_t(offset) >= text.size()) return 0;
    size_t n = std::min(size, text.size() - size_t(offset));
    memcpy(buf, text.data() + offset, n);
    return int(n);
}

void stl_tree_release(std::string *handle) {
    delete handle;
}

const fuse_operations &stl_fs_operations() {
    static const fuse_operations ops = make_operations();
    return ops;
}
