#include "sig.h"

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>

#include "log.h"

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGALRM};

// The handler only writes the signal number into this pipe; it never logs or locks.
int g_pipe[2] = {-1, -1};

struct watcher {
    std::thread th;
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
    unsigned char b = (unsigned char)signo;
    ssize_t r = write(g_pipe[1], &b, 1);
    (void)r;
    errno = saved;
}

void watch_main() {
    watcher &w = W();
    for (;;) {
        unsigned char b;
        ssize_t n = read(g_pipe[0], &b, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || b == 0) return;  // 0 is the watcher's own end mark
        int signo = b;
        if (signo == SIGPIPE) {
            log_msg(LOG_ERROR, "sighandler_ignore: [%d] catched %d", int(getpid()), signo);
            continue;
        }
        log_msg(LOG_ERROR, "sighandler: [%d] catched %d", int(getpid()), signo);
        int before = w.counter ? w.counter->fetch_add(1) : 0;
        {
            std::lock_guard lk(w.mu);
            w.stopping = true;
        }
        w.cv.notify_all();
        if (before == 0 && w.on_first_stop) w.on_first_stop();
    }
}

void set_handlers(void (*h)(int)) {
    struct sigaction sa = {};
    sa.sa_handler = h;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int s : kStopSignals) sigaction(s, &sa, nullptr);
    sigaction(SIGPIPE, &sa, nullptr);
}

}  // namespace

int sig_watch_start(std::atomic<int> *counter, std::function<void()> on_first_stop) {
    watcher &w = W();
    if (w.th.joinable()) return -16;
    if (pipe2(g_pipe, O_CLOEXEC) != 0) return -errno;
    // A flood of signals must never block the handler.
    fcntl(g_pipe[1], F_SETFL, fcntl(g_pipe[1], F_GETFL) | O_NONBLOCK);
    w.counter = counter;
    w.on_first_stop = std::move(on_first_stop);
    w.stopping = false;
    try {
        w.th = std::thread(watch_main);
    } catch (...) {
        close(g_pipe[0]);
        close(g_pipe[1]);
        g_pipe[0] = g_pipe[1] = -1;
        return -11;
    }
    set_handlers(record_signal);
    return 0;
}

void sig_watch_stop() {
    watcher &w = W();
    if (!w.th.joinable()) return;
    set_handlers(SIG_DFL);
    // SIGPIPE stays ignored: a broken socket must be an error return, not the end of the process.
    signal(SIGPIPE, SIG_IGN);
    unsigned char end = 0;
    ssize_t r = write(g_pipe[1], &end, 1);
    (void)r;
    w.th.join();
    close(g_pipe[0]);
    close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
    w.on_first_stop = nullptr;
}

bool sig_wait_stop(int ms) {
    watcher &w = W();
    std::unique_lock lk(w.mu);
    w.cv.wait_for(lk, std::chrono::milliseconds(ms), [&] { return w.stopping; });
    return w.stopping;
}
