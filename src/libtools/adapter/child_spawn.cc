#include "child_spawn.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

namespace {

std::mutex g_sigchld_mu;
bool g_sigchld_installed = false;

extern "C" void sigchld_nop(int) {}

// A handler of our own, so that a SIGCHLD left ignored by whoever started us (which makes the
// system reap children unasked) cannot take the child's status from the wait.
void sigchld_install() {
    std::lock_guard lk(g_sigchld_mu);
    if (g_sigchld_installed) return;
    struct sigaction sa = {};
    sa.sa_handler = sigchld_nop;
    sigfillset(&sa.sa_mask);
    sa.sa_flags = 0;
    if (sigaction(SIGCHLD, &sa, nullptr) == 0) g_sigchld_installed = true;
}

struct spawn_files {
    posix_spawn_file_actions_t fa;
    spawn_files() { posix_spawn_file_actions_init(&fa); }
    ~spawn_files() { posix_spawn_file_actions_destroy(&fa); }
    spawn_files(const spawn_files &) = delete;
    spawn_files &operator=(const spawn_files &) = delete;
};

struct spawn_attr {
    posix_spawnattr_t at;
    spawn_attr() { posix_spawnattr_init(&at); }
    ~spawn_attr() { posix_spawnattr_destroy(&at); }
    spawn_attr(const spawn_attr &) = delete;
    spawn_attr &operator=(const spawn_attr &) = delete;
};

int prepare_files(spawn_files &f, const char *out_file, const char *err_file) {
    const int out_flags = O_WRONLY | O_CREAT;  // not truncated: as the outputs always were
    int r = posix_spawn_file_actions_addopen(&f.fa, 0, "/dev/null", O_RDONLY, 0);
    if (r == 0)
        r = posix_spawn_file_actions_addopen(&f.fa, 1, out_file ? out_file : "/dev/null", out_flags,
                                             0644);
    if (r == 0)
        r = posix_spawn_file_actions_addopen(&f.fa, 2, err_file ? err_file : "/dev/null", out_flags,
                                             0644);
    return -r;
}

// The caller may block signals (the converter blocks the stop signals): the child starts with
// none blocked, default dispositions, and in a process group of its own.
int prepare_attr(spawn_attr &a) {
    sigset_t none, dfl;
    sigemptyset(&none);
    sigemptyset(&dfl);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGALRM, SIGPIPE, SIGCHLD}) sigaddset(&dfl, s);
    int r = posix_spawnattr_setsigmask(&a.at, &none);
    if (r == 0) r = posix_spawnattr_setsigdefault(&a.at, &dfl);
    if (r == 0) r = posix_spawnattr_setpgroup(&a.at, 0);
    if (r == 0)
        r = posix_spawnattr_setflags(
            &a.at, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    return -r;
}

// Waits until pid has ended without reaping it, so that the pid stays ours meanwhile.
int wait_ended(pid_t pid) {
    for (;;) {
        siginfo_t info = {};
        if (waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT) == 0) return 0;
        if (errno != EINTR) return -errno;
    }
}

int reap(pid_t pid, int *status) {
    for (;;) {
        if (waitpid(pid, status, 0) == pid) return 0;
        if (errno != EINTR) return -errno;
    }
}

}  // namespace

int child_spawn_wait(const char *exe, child_slot *slot, char *const argv[], char *const envp[],
                     const char *out_file, const char *err_file) {
    static char *const kNoEnv[] = {nullptr};
    sigchld_install();
    spawn_files files;
    spawn_attr attr;
    int r = prepare_files(files, out_file, err_file);
    if (r == 0) r = prepare_attr(attr);
    if (r != 0) return r;

    pid_t pid = 0;
    if (slot) {
        // Started and published in one step: child_cancel either sees the pid or stops the start.
        std::lock_guard lk(slot->mu);
        if (slot->cancelled) return -ECANCELED;
        r = posix_spawnp(&pid, exe ? exe : "", &files.fa, &attr.at, argv, envp ? envp : kNoEnv);
        if (r == 0) slot->pid = pid;
    } else {
        r = posix_spawnp(&pid, exe ? exe : "", &files.fa, &attr.at, argv, envp ? envp : kNoEnv);
    }
    if (r != 0) return -r;

    int w = 0;
    if (slot) {
        w = wait_ended(pid);
        std::lock_guard lk(slot->mu);
        slot->pid = 0;
    }
    int status = 0;
    if (w == 0) w = reap(pid, &status);
    if (w < 0) return CHILD_WAIT_FAILED + w;
    if (WIFEXITED(status)) return WEXITSTATUS(status) == 0 ? 0 : CHILD_EXIT_FAILED;
    return CHILD_SIGNALED;
}

void child_cancel(child_slot *slot) {
    if (!slot) return;
    std::lock_guard lk(slot->mu);
    slot->cancelled = true;
    if (slot->pid <= 0) return;
    // The group takes along what the child started; a child that left it still goes.
    kill(-slot->pid, SIGKILL);
    kill(slot->pid, SIGKILL);
}
