#include "file.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::atomic<unsigned> g_tmp_seq{0};

// ".<name>.<pid>.<seq>.tmp" beside the target: hidden, and unique across threads and processes.
std::string temp_name(const std::string &path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    // A target name near NAME_MAX must still leave room for the markers around it.
    if (base.size() > 200) base.resize(200);
    return dir + "." + base + "." + std::to_string(getpid()) + "." +
           std::to_string(g_tmp_seq.fetch_add(1)) + ".tmp";
}

}  // namespace

atomic_file::~atomic_file() {
    abort();
}

int atomic_file::open(const std::string &path, int mode) {
    abort();
    path_ = path;
    for (int attempt = 0; attempt < 100; attempt++) {
        tmp_ = temp_name(path);
        int fd = ::open(tmp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            int e = errno;
            tmp_.clear();
            return -e;
        }
        // A file that replaces another gets the mode asked exactly (a caller passes the old
        // file's to keep it); the umask only shapes new ones.
        struct stat st;
        if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) (void)fchmod(fd, mode & 07777);
        f_ = fdopen(fd, "w");
        if (!f_) {
            int e = errno;
            ::close(fd);
            ::unlink(tmp_.c_str());
            tmp_.clear();
            return -e;
        }
        err_ = 0;
        return 0;
    }
    tmp_.clear();
    return -EEXIST;
}

int atomic_file::write(std::string_view data) {
    if (!f_) return -EBADF;
    if (err_) return err_;
    errno = 0;
    if (!data.empty() && fwrite(data.data(), 1, data.size(), f_) != data.size())
        err_ = errno ? -errno : -EIO;
    return err_;
}

int atomic_file::commit() {
    if (!f_) return -EBADF;
    int r = err_;
    if (!r && ferror(f_)) r = -EIO;
    if (!r && fflush(f_) != 0) r = -errno;
    if (!r && fsync(fileno(f_)) != 0) r = -errno;
    int c = fclose(f_);
    f_ = nullptr;
    if (!r && c != 0) r = -errno;
    if (!r && ::rename(tmp_.c_str(), path_.c_str()) != 0) r = -errno;
    if (r) ::unlink(tmp_.c_str());
    tmp_.clear();
    return r;
}

void atomic_file::abort() {
    if (f_) {
        fclose(f_);
        f_ = nullptr;
    }
    if (!tmp_.empty()) {
        ::unlink(tmp_.c_str());
        tmp_.clear();
    }
}

int file_write_atomic(const std::string &path, std::string_view data, int mode) {
    atomic_file f;
    int r = f.open(path, mode);
    if (r) return r;
    r = f.write(data);
    if (r) return r;
    return f.commit();
}

int file_read_all(const std::string &path, std::string &out) {
    out.clear();
    unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return -errno;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -errno;
        }
        if (n == 0) break;
        out.append(buf, size_t(n));
    }
    return 0;
}

int mkdir_p(const std::string &path, int mode) {
    if (path.empty()) return -22;
    for (size_t i = 1; i <= path.size(); i++) {
        if (i < path.size() && path[i] != '/') continue;
        std::string prefix = path.substr(0, i);
        if (::mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) return -errno;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return -errno;
    return S_ISDIR(st.st_mode) ? 0 : -ENOTDIR;
}
