// Child-process runner: starts a program with a fixed argument vector, environment and standard
// files, and waits for it to end.
#pragma once

#include <mutex>

// Outcomes of child_spawn_wait besides 0 (exited with status 0) and minus errno (could not start).
constexpr int CHILD_SIGNALED = -30000;     // ended by a signal
constexpr int CHILD_EXIT_FAILED = -40000;  // exited with a non-zero status
constexpr int CHILD_WAIT_FAILED = -20000;  // minus errno: waiting for it failed

// Where a running child is published, so that another thread can end it. The pid is set and
// cleared under mu, and cleared before the child is reaped: a kill under mu never reaches a pid
// that the system may already have given to another process.
struct child_slot {
    std::mutex mu;
    int pid = 0;             // the running child, 0 when none
    bool cancelled = false;  // set by child_cancel; no child starts any more
};

// Runs exe (looked up in PATH when it has no '/') with argv and envp (an empty environment when
// null); stdin is /dev/null, stdout and stderr go to out_file and err_file (/dev/null when null),
// created 0644 when missing and not truncated. The child leads its own process group, so that
// ending it ends whatever it started. Blocks until the child ends; an interrupted wait is
// resumed. With a slot the child is published there while it runs; a cancelled slot starts
// nothing and returns -ECANCELED.
int child_spawn_wait(const char *exe, child_slot *slot, char *const argv[], char *const envp[],
                     const char *out_file, const char *err_file);

// Kills the slot's running child (its whole process group) with SIGKILL and refuses later starts.
void child_cancel(child_slot *slot);
