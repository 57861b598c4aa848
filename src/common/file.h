// RAII holders for descriptors and streams, and the replace-by-rename file writer.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <unistd.h>

class unique_fd {
   public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    unique_fd(unique_fd &&o) noexcept : fd_(o.release()) {}
    unique_fd &operator=(unique_fd &&o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    ~unique_fd() { reset(); }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

   private:
    int fd_ = -1;
};

struct file_closer {
    void operator()(FILE *f) const {
        if (f) fclose(f);
    }
};
using unique_file = std::unique_ptr<FILE, file_closer>;

// Writes a file so that readers only ever see the old or the whole new content: a hidden,
// uniquely named temporary in the same folder, every write and the close checked, then rename.
// On failure the temporary is removed, the target is untouched and a negated errno is returned.
class atomic_file {
   public:
    atomic_file() = default;
    atomic_file(const atomic_file &) = delete;
    atomic_file &operator=(const atomic_file &) = delete;
    ~atomic_file();
    // Creates the temporary beside path with the given mode: less the umask for a new file,
    // exactly when path already names one (so that a caller can keep its mode).
    int open(const std::string &path, int mode = 0644);
    FILE *stream() { return f_; }
    int write(std::string_view data);
    // Flushes, syncs, closes and renames over the target; 0 or a negated errno.
    int commit();
    // Drops the temporary; the target stays as it was.
    void abort();
    const std::string &temp_path() const { return tmp_; }

   private:
    FILE *f_ = nullptr;
    std::string path_, tmp_;
    int err_ = 0;
};

// Whole-content convenience over atomic_file.
int file_write_atomic(const std::string &path, std::string_view data, int mode = 0644);
// Reads a whole file; 0 or a negated errno.
int file_read_all(const std::string &path, std::string &out);
// Creates every missing folder of path (the last element too); 0 or a negated errno.
int mkdir_p(const std::string &path, int mode = 0777);
