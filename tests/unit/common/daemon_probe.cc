// Detaches with daemonize and reports what the detached process looks like, for proc_test.
// Usage: daemon_probe <absolute report path>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <limits.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "file.h"
#include "proc.h"

namespace {

// Open descriptors from 3 up, as "3 5 7".
std::string high_fds() {
    std::string out;
    DIR *d = opendir("/proc/self/fd");
    if (!d) return "?";
    while (dirent *e = readdir(d)) {
        int fd = atoi(e->d_name);
        if (e->d_name[0] == '.' || fd < 3 || fd == dirfd(d)) continue;
        out += std::to_string(fd) + " ";
    }
    closedir(d);
    return out;
}

std::string target(int fd) {
    char link[PATH_MAX];
    ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link, sizeof link - 1);
    return n < 0 ? "closed" : std::string(link, size_t(n));
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    std::string before = high_fds();
    // Left in the stdio buffer: the parent must hand it on once, the child never.
    printf("before detach\n");
    int r = daemonize();
    mode_t mask = umask(022);
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) cwd[0] = 0;
    std::string report = "result " + std::to_string(r) + "\npid " + std::to_string(getpid()) +
                         "\nsid " + std::to_string(getsid(0)) + "\ncwd " + cwd + "\numask " +
                         std::to_string(mask) + "\nfd0 " + target(0) + "\nfd1 " + target(1) +
                         "\nfd2 " + target(2) + "\nbefore " + before + "\nafter " + high_fds() +
                         "\n";
    return file_write_atomic(argv[1], report) == 0 ? 0 : 1;
}
