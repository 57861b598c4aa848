// nolink_fs: a passthrough FUSE file system over a backing folder that refuses hard links, as
// network and FAT-style mounts do. Tests mount it to prove that a program saves its files with
// create, write and rename alone.
//
//     nolink_fs <backing-dir> <mountpoint> -f [fuse options]
//
// Unmount with `fusermount -u <mountpoint>`.

#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

namespace {

std::string g_backing;  // absolute, without a trailing '/'; set once before fuse_main

std::string nolink_path(const char *path) {
    return g_backing + path;
}

int nolink_result(int r) {
    return r < 0 ? -errno : r;
}

int nolink_getattr(const char *path, struct stat *st) {
    return nolink_result(lstat(nolink_path(path).c_str(), st));
}

struct dir_closer {
    void operator()(DIR *d) const { closedir(d); }
};

int nolink_readdir(const char *path, void *buf, fuse_fill_dir_t filler, off_t, fuse_file_info *) {
    std::unique_ptr<DIR, dir_closer> d(opendir(nolink_path(path).c_str()));
    if (!d) return -errno;
    while (dirent *e = readdir(d.get())) {
        struct stat st = {};
        st.st_ino = e->d_ino;
        st.st_mode = DTTOIF(e->d_type);
        if (filler(buf, e->d_name, &st, 0)) break;
    }
    return 0;
}

int nolink_mkdir(const char *path, mode_t mode) {
    return nolink_result(mkdir(nolink_path(path).c_str(), mode));
}

int nolink_unlink(const char *path) {
    return nolink_result(unlink(nolink_path(path).c_str()));
}

int nolink_rename(const char *from, const char *to) {
    return nolink_result(rename(nolink_path(from).c_str(), nolink_path(to).c_str()));
}

int nolink_link(const char *, const char *) {
    return -EPERM;  // the point of this file system
}

int nolink_chmod(const char *path, mode_t mode) {
    return nolink_result(chmod(nolink_path(path).c_str(), mode));
}

int nolink_truncate(const char *path, off_t size) {
    return nolink_result(truncate(nolink_path(path).c_str(), size));
}

int nolink_ftruncate(const char *, off_t size, fuse_file_info *fi) {
    return nolink_result(ftruncate(int(fi->fh), size));
}

int nolink_utimens(const char *path, const timespec ts[2]) {
    return nolink_result(utimensat(AT_FDCWD, nolink_path(path).c_str(), ts, AT_SYMLINK_NOFOLLOW));
}

// The descriptor lives in fi->fh from open or create until release.
int nolink_create(const char *path, mode_t mode, fuse_file_info *fi) {
    int fd = open(nolink_path(path).c_str(), fi->flags | O_CREAT, mode);
    if (fd < 0) return -errno;
    fi->fh = uint64_t(fd);
    return 0;
}

int nolink_open(const char *path, fuse_file_info *fi) {
    int fd = open(nolink_path(path).c_str(), fi->flags);
    if (fd < 0) return -errno;
    fi->fh = uint64_t(fd);
    return 0;
}

int nolink_read(const char *, char *buf, size_t size, off_t off, fuse_file_info *fi) {
    ssize_t n = pread(int(fi->fh), buf, size, off);
    return n < 0 ? -errno : int(n);
}

int nolink_write(const char *, const char *buf, size_t size, off_t off, fuse_file_info *fi) {
    ssize_t n = pwrite(int(fi->fh), buf, size, off);
    return n < 0 ? -errno : int(n);
}

int nolink_release(const char *, fuse_file_info *fi) {
    close(int(fi->fh));
    return 0;
}

int nolink_fsync(const char *, int datasync, fuse_file_info *fi) {
    int fd = int(fi->fh);
    return nolink_result(datasync ? fdatasync(fd) : fsync(fd));
}

fuse_operations nolink_operations() {
    fuse_operations ops = {};
    ops.getattr = nolink_getattr;
    ops.readdir = nolink_readdir;
    ops.mkdir = nolink_mkdir;
    ops.unlink = nolink_unlink;
    ops.rename = nolink_rename;
    ops.link = nolink_link;
    ops.chmod = nolink_chmod;
    ops.truncate = nolink_truncate;
    ops.ftruncate = nolink_ftruncate;
    ops.utimens = nolink_utimens;
    ops.create = nolink_create;
    ops.open = nolink_open;
    ops.read = nolink_read;
    ops.write = nolink_write;
    ops.release = nolink_release;
    ops.fsync = nolink_fsync;
    return ops;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s <backing-dir> <mountpoint> [-f] [fuse options]\n",
                argc > 0 ? argv[0] : "nolink_fs");
        return 2;
    }
    char real[PATH_MAX];
    struct stat st;
    if (!realpath(argv[1], real) || stat(real, &st) != 0 || !S_ISDIR(st.st_mode)) {
        fprintf(stderr, "nolink_fs: %s is not a folder\n", argv[1]);
        return 1;
    }
    // The daemon changes to "/" once mounted: paths must not depend on the working folder.
    g_backing = real;
    if (g_backing == "/") g_backing.clear();
    std::vector<char *> args{argv[0]};
    for (int i = 2; i < argc; i++) args.push_back(argv[i]);
    args.push_back(nullptr);
    const fuse_operations ops = nolink_operations();
    return fuse_main(int(args.size()) - 1, args.data(), &ops, nullptr);
}
