// Signal watcher: handlers only record the signal; a normal thread logs it and acts.
#pragma once

#include <atomic>
#include <functional>

// Installs the handlers (SIGINT, SIGTERM, SIGHUP, SIGALRM stop; SIGPIPE is only logged) and
// starts the watcher thread. Each stop signal adds one to *counter; on_first_stop runs on the
// watcher thread for the first one only. 0, or a negated errno.
int sig_watch_start(std::atomic<int> *counter, std::function<void()> on_first_stop = {});
// Stops the watcher thread and restores the default dispositions.
void sig_watch_stop();
// Sleeps up to ms milliseconds, waking early when a stop signal arrives; true when stopping.
bool sig_wait_stop(int ms);
