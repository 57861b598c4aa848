#include "sig.h"

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <thread>
#include <unistd.h>

#include "log.h"

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGALRM};
constexpr int kMaxSig = 65;

// Signals received and not yet handled, per number. The handler only adds here and writes a
// wake-up byte: a full pipe then loses a wake-up, never a count.
std::atomic<unsigned> g_pending[kMaxSig];
static_assert(std::atomic<unsigned>::is_always_lock_free, "the handler must not lock");

// Kept open for the life of the process, so that a late handler never writes to a closed or
// reused descriptor.
int g_pipe[2] = {-1, -1};

struct watcher {
    std::thread th;
    std::atomic<bool> quit{false};
    std::atomic<int> *counter = nullptr;
    std::function<void()> on_first_stop;
    std::mutex mu;
    std::condition_variable cv;
    bool stopping = false;  // a stop signal arrived (wakes sig_wait_stop)
};

watcher &W() {
    static watcher *w = new watcher;
    return *w;
}

extern "C" void record_signal(int signo) {
    int saved = errno;
    if (signo > 0 && signo < kMaxSig) g_pending[signo].fetch_add(1, std::memory_order_relaxed);
    unsigned char b = 1;
    ssize_t r = write(g_pipe[1], &b, 1);
    (void)r;
    errno = saved;
}

void handle_stop(watcher &w, int signo) {
    log_msg(LOG_ERROR, "sighandler: [%d] catched %d", int(getpid()), signo);
    int before = w.counter ? w.counter->fetch_add(1) : 0;
    {
        std::lock_guard lk(w.mu);
        w.stopping = true;
    }
    w.cv.notify_all();
    if (before != 0 || !w.on_first_stop) return;
    try {
        w.on_first_stop();
    } catch (...) {
        log_msg(LOG_ERROR, "sighandler: stop action failed");
    }
}

// Handles every signal counted so far, in signal-number order.
void drain_pending(watcher &w) {
    for (int signo = 1; signo < kMaxSig; signo++) {
        for (unsigned n = g_pending[signo].exchange(0); n > 0; n--) {
            if (signo == SIGPIPE)
                log_msg(LOG_ERROR, "sighandler_ignore: [%d] catched %d", int(getpid()), signo);
            else
                handle_stop(w, signo);
        }
    }
}

void watch_main() {
    watcher &w = W();
    while (!w.quit.load()) {
        struct pollfd pfd = {g_pipe[0], POLLIN, 0};
        if (poll(&pfd, 1, -1) < 0 && errno != EINTR) break;
        unsigned char buf[256];
        while (read(g_pipe[0], buf, sizeof buf) > 0) {
        }
        drain_pending(w);
    }
    drain_pending(w);
}

void set_handlers(void (*h)(int)) {
    struct sigaction sa = {};
    sa.sa_handler = h;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int s : kStopSignals) sigaction(s, &sa, nullptr);
    sigaction(SIGPIPE, &sa, nullptr);
}

void stop_set(sigset_t *set) {
    sigemptyset(set);
    for (int s : kStopSignals) sigaddset(set, s);
}

int open_pipe() {
    if (g_pipe[0] >= 0) return 0;
    // Both ends non-blocking: a flood of signals never blocks the handler, and the watcher
    // empties the pipe without waiting.
    if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return -errno;
    return 0;
}

}  // namespace

void sig_block_stop() {
    sigset_t set;
    stop_set(&set);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int sig_watch_start(std::atomic<int> *counter, std::function<void()> on_first_stop) {
    watcher &w = W();
    if (w.th.joinable()) return -16;
    int r = open_pipe();
    if (r) return r;
    for (auto &p : g_pending) p.store(0);
    w.counter = counter;
    w.on_first_stop = std::move(on_first_stop);
    w.stopping = false;
    w.quit = false;
    try {
        w.th = std::thread(watch_main);
    } catch (...) {
        return -11;
    }
    set_handlers(record_signal);
    sigset_t set;
    stop_set(&set);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    return 0;
}

void sig_watch_stop() {
    watcher &w = W();
    if (!w.th.joinable()) return;
    // The handlers stay: they only count, into a pipe that stays open.
    w.quit = true;
    unsigned char b = 1;
    ssize_t r = write(g_pipe[1], &b, 1);
    (void)r;
    w.th.join();
    w.on_first_stop = nullptr;
}

bool sig_wait_stop(int ms) {
    watcher &w = W();
    std::unique_lock lk(w.mu);
    w.cv.wait_for(lk, std::chrono::milliseconds(ms), [&] { return w.stopping; });
    return w.stopping;
}
