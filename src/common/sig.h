// Signal watcher: handlers only record the signal; a normal thread logs it and acts.
#pragma once

#include <atomic>
#include <functional>

// Blocks the stop signals in the calling thread and in every thread it starts later, so that a
// stop signal sent before the handlers exist waits for them instead of killing the process. The
// first line of a program's main, before any thread exists; sig_watch_start unblocks them.
void sig_block_stop();
// Installs the handlers (SIGINT, SIGTERM, SIGHUP, SIGALRM stop; SIGPIPE is only logged), starts
// the watcher thread and unblocks the stop signals in the calling thread, so that one that
// arrived meanwhile is handled now. Each stop signal adds one to *counter; on_first_stop runs on
// the watcher thread for the first one only. 0, or a negated errno.
int sig_watch_start(std::atomic<int> *counter, std::function<void()> on_first_stop = {});
// Stops the watcher thread. The handlers stay until the process ends: a stop signal during the
// shut-down or after it is only counted, never the end of the process by the signal.
void sig_watch_stop();
// Sleeps up to ms milliseconds, waking early when a stop signal arrives; true when stopping.
bool sig_wait_stop(int ms);
