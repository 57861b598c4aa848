#include "log.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <thread>
#include <utility>
#include <unistd.h>
#include <vector>

#include "text.h"

namespace {

constexpr char kOverflow[] = "ERROR! message queue OVERFLOW!!!\n";
// Bound of an information line before its LF: mark, time and text together.
constexpr size_t kTextMax = 127990;
static_assert(kTextMax + 2 <= LOG_LINE_MAX, "the LF and the NUL must fit");

// closing: log_close has begun; new lines go to standard error, queued ones are still written.
enum class state { idle, running, closing, closed };

struct logger {
    std::mutex mu;
    std::condition_variable cv;
    // FIFO ring of pending lines: head is the oldest, count never exceeds LOG_QUEUE_MAX.
    std::vector<std::string> ring;
    size_t head = 0, count = 0;
    state st = state::idle;
    bool stop = false;
    std::thread writer;

    // Writer-side settings; name and interval are fixed while the writer runs.
    std::string name;
    long long interval = 86400;
    long long last_rotation = 0;
    std::atomic<int> echo{1};
    std::atomic<int> level{20};

    // Lines refused since the writer last said so, under mu: the program's own, and those of
    // outside input turned away by its share of the queue.
    long long dropped_own = 0, dropped_outside = 0;

    // Every log_quiet alive, so that the writer says their counts when their second is over.
    std::mutex quiet_mu;
    std::vector<log_quiet *> quiets;
};

thread_local bool t_outside = false;

long long steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

logger &L() {
    static logger *l = new logger;  // never destroyed: late calls from exiting threads stay safe
    return *l;
}

void write_all(int fd, const char *p, size_t n, bool *broken) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (broken && errno == EPIPE) *broken = true;
            return;
        }
        p += w;
        n -= size_t(w);
    }
}

// Queues one formatted line, or sends it to standard error when no writer runs.
void enqueue(std::string &&line) {
    const bool outside = t_outside;
    logger &l = L();
    std::unique_lock lk(l.mu, std::defer_lock);
    try {
        lk.lock();
    } catch (...) {
        // A lock that cannot be taken must not lose the line.
        write_all(STDERR_FILENO, line.data(), line.size(), nullptr);
        return;
    }
    if (l.st != state::running) {
        lk.unlock();
        write_all(STDERR_FILENO, line.data(), line.size(), nullptr);
        return;
    }
    if (l.count >= size_t(outside ? LOG_QUEUE_OUTSIDE_MAX : LOG_QUEUE_MAX)) {
        // One overflow text per run of drops: the count follows in the log once there is room.
        const bool first = l.dropped_own == 0 && l.dropped_outside == 0;
        (outside ? l.dropped_outside : l.dropped_own)++;
        lk.unlock();
        if (first) write_all(STDERR_FILENO, kOverflow, sizeof(kOverflow) - 1, nullptr);
        return;
    }
    l.ring[(l.head + l.count) % l.ring.size()] = std::move(line);
    l.count++;
}

struct stamp {
    struct tm tm;
    int ms;
};

stamp now_stamp() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    stamp s;
    time_t t = ts.tv_sec;
    localtime_r(&t, &s.tm);
    s.ms = int(ts.tv_nsec / 1000000);
    return s;
}

// Renames an existing log aside when the interval has passed; interval <= 0 never rotates.
void maybe_rotate(logger &l) {
    if (l.interval <= 0) return;
    time_t now = time(nullptr);
    if (l.last_rotation + l.interval >= now) return;
    struct tm tm;
    localtime_r(&now, &tm);
    char suffix[64];
    strftime(suffix, sizeof suffix, "-%Y%m%d_%H%M%S", &tm);
    std::string rotated = l.name + suffix;
    // Only a log file of our own goes aside: a device (/dev/null) or a pipe named as the log
    // stays where it is.
    struct stat st;
    if (stat(l.name.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        (void)::rename(l.name.c_str(), rotated.c_str());
    l.last_rotation = now;
}

void make_folders(const std::string &name) {
    for (size_t i = 1; i < name.size(); i++) {
        if (name[i] != '/') continue;
        (void)::mkdir(name.substr(0, i).c_str(), 0777);
    }
}

// "e": a child started meanwhile (the media adapter's converter) must not inherit the log.
FILE *open_log(logger &l) {
    FILE *f = fopen(l.name.c_str(), "ae");
    if (!f && errno == ENOENT) {
        make_folders(l.name);
        f = fopen(l.name.c_str(), "ae");
    }
    return f;
}

// Writes a batch in queue order: echo, rotation, append. Only the writer thread gets here.
void write_batch(logger &l, std::vector<std::string> &batch) {
    FILE *f = nullptr;
    for (std::string &line : batch) {
        if (l.echo.load(std::memory_order_relaxed)) {
            bool broken = false;
            write_all(STDERR_FILENO, line.data(), line.size(), &broken);
            if (broken) l.echo = 0;  // nobody reads our standard error any more
        }
        if (!l.name.empty()) {
            long long before = l.last_rotation;
            maybe_rotate(l);
            if (f && before != l.last_rotation) {
                fclose(f);
                f = nullptr;
            }
            if (!f) f = open_log(l);
            if (f) fwrite(line.data(), 1, line.size(), f);
        }
    }
    if (f) fclose(f);
    batch.clear();
}

void put_head(std::string &line, int type, const stamp &s);

// Lines moved per take: the writer holds the queue's lock for that many moves at most, however
// many a burst left, so that a thread logging meanwhile (a real-time one too) waits microseconds.
constexpr size_t kTakeMax = 1024;

// Moves the oldest pending lines, up to kTakeMax, into batch in queue order, followed by the
// count of lines dropped meanwhile once none is left; true then when log_close asked to stop.
bool take_pending(logger &l, std::vector<std::string> &batch) {
    std::unique_lock lk(l.mu);
    // The pause gathers a batch; a burst already waiting is taken at once.
    if (l.count < kTakeMax) l.cv.wait_for(lk, std::chrono::milliseconds(1), [&] { return l.stop; });
    for (size_t n = 0; n < kTakeMax && l.count > 0; n++) {
        batch.push_back(std::move(l.ring[l.head]));
        l.ring[l.head] = std::string();
        l.head = (l.head + 1) % l.ring.size();
        l.count--;
    }
    // The count follows the lines queued before the drops: said once they are all taken.
    const bool drained = l.count == 0;
    long long own = drained ? std::exchange(l.dropped_own, 0) : 0;
    long long outside = drained ? std::exchange(l.dropped_outside, 0) : 0;
    bool stop = l.stop && drained;
    lk.unlock();
    if (own + outside > 0) {
        std::string line;
        put_head(line, LOG_ERROR, now_stamp());
        char text[160];
        snprintf(text, sizeof text,
                 "log_flush: %lld lines dropped, the queue was full (%lld of them caused by "
                 "outside input)\n",
                 own + outside, outside);
        line += text;
        batch.push_back(std::move(line));
    }
    return stop;
}

// Says the counts of every log_quiet whose second is over, a few times a second.
void report_quiets(logger &l, long long &next_ms) {
    long long now = steady_ms();
    if (now < next_ms) return;
    next_ms = now + 100;
    std::lock_guard lk(l.quiet_mu);
    for (log_quiet *q : l.quiets) q->report();
}

void writer_main() {
    // A reader of standard error going away must not kill the program.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    logger &l = L();
    std::vector<std::string> batch;
    try {
        batch.reserve(kTakeMax + 1);  // not under the queue's lock
    } catch (...) {
    }
    long long next_report = 0;
    for (bool stopping = false; !stopping;) {
        try {
            report_quiets(l, next_report);
            stopping = take_pending(l, batch);
            write_batch(l, batch);
        } catch (...) {
            // Out of memory while writing: those lines are lost, the writer goes on.
            batch.clear();
        }
    }
}

// The mark, date and milliseconds that open every information line.
void put_head(std::string &line, int type, const stamp &s) {
    line.append(type == LOG_ERROR ? "! " : type == LOG_DEBUG ? "? " : "  ");
    char tbuf[64];
    size_t n = strftime(tbuf, sizeof tbuf, "[%Y-%m-%d %H:%M:%S", &s.tm);
    line.append(tbuf, n);
    snprintf(tbuf, sizeof tbuf, ".%.03d] ", s.ms);
    line.append(tbuf);
}

// Source position of a trace line; very long names are cut with the line bound.
void put_trace_head(std::string &line, const stamp &s, const char *source, int line_no,
                    const char *function) {
    char tbuf[64];
    strftime(tbuf, sizeof tbuf, "%Y-%m-%d %H:%M:%S", &s.tm);
    source = source ? source : "";
    function = function ? function : "";
    char head[512];
    int hn =
        snprintf(head, sizeof head, "%s.%.3d [%s:%d:%s] ", tbuf, s.ms, source, line_no, function);
    if (hn < 0) return;
    if (size_t(hn) < sizeof head) {
        line.assign(head, size_t(hn));
        return;
    }
    size_t keep = std::min(size_t(hn), LOG_LINE_MAX - 2);
    line.resize(keep + 1);
    snprintf(line.data(), line.size(), "%s.%.3d [%s:%d:%s] ", tbuf, s.ms, source, line_no,
             function);
    line.resize(keep);
}

}  // namespace

int log_init(const char *name, int interval) {
    logger &l = L();
    try {
        std::lock_guard lk(l.mu);
        if (l.st == state::running || l.st == state::closing) return -16;
        l.name.assign(name ? name : "");
        if (l.name.size() > 4095) l.name.resize(4095);
        l.interval = interval;
        l.last_rotation = 0;
        l.ring.assign(size_t(LOG_QUEUE_MAX), std::string());
        l.head = l.count = 0;
        l.stop = false;
        l.writer = std::thread(writer_main);
        l.st = state::running;
    } catch (const std::bad_alloc &) {
        return -12;
    } catch (...) {
        return -11;
    }
    return 0;
}

int log_msg(int type, const char *fmt, ...) {
    try {
        stamp s = now_stamp();
        std::string line;
        line.reserve(128);
        put_head(line, type, s);
        va_list ap;
        va_start(ap, fmt);
        str_vappend(line, kTextMax - std::min(kTextMax, line.size()), fmt, ap);
        va_end(ap);
        line.push_back('\n');
        enqueue(std::move(line));
    } catch (...) {
        // No room for the copy: the line is dropped rather than queued half made.
    }
    return 0;
}

void log_trace(int level, const char *source, int line_no, const char *function, const char *fmt,
               ...) {
    if (level > L().level.load(std::memory_order_relaxed)) return;
    try {
        stamp s = now_stamp();
        std::string line;
        put_trace_head(line, s, source, line_no, function);
        // Room is kept for the LF and the NUL of the whole line.
        va_list ap;
        va_start(ap, fmt);
        str_vappend(line, LOG_LINE_MAX - 2 - line.size(), fmt, ap);
        va_end(ap);
        line.push_back('\n');
        enqueue(std::move(line));
    } catch (...) {
    }
}

bool log_error_text(const char *text) {
    {
        logger &l = L();
        std::lock_guard lk(l.mu);
        if (l.st != state::running) return false;
    }
    std::string_view rest(text ? text : "");
    while (!rest.empty()) {
        size_t nl = rest.find('\n');
        std::string_view one = rest.substr(0, nl);
        if (!one.empty()) log_msg(LOG_ERROR, "%.*s", int(one.size()), one.data());
        rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
    }
    return true;
}

bool log_trace_on(int level) {
    return level <= L().level.load(std::memory_order_relaxed);
}

log_outside::log_outside() : was_(t_outside) {
    t_outside = true;
}

log_outside::~log_outside() {
    t_outside = was_;
}

log_quiet::log_quiet(const char *who, const char *what, int burst)
    : who_(who ? who : ""), what_(what ? what : ""), burst_(burst < 1 ? 1 : burst) {
    logger &l = L();
    try {
        std::lock_guard lk(l.quiet_mu);
        l.quiets.push_back(this);
    } catch (...) {
        // Unlisted, its count is still said at its next line or when it ends.
    }
}

log_quiet::~log_quiet() {
    logger &l = L();
    {
        std::lock_guard lk(l.quiet_mu);
        std::erase(l.quiets, this);
    }
    int n;
    {
        std::lock_guard lk(mu_);
        n = std::exchange(held_, 0);
    }
    if (n > 0) log_msg(LOG_ERROR, "%s: %d %s", who_, n, what_);
}

int log_quiet::take_due(long long now_ms) {
    if (held_ == 0 || now_ms < end_ms_) return 0;
    return std::exchange(held_, 0);
}

bool log_quiet::speak() {
    const long long now = steady_ms();
    int due = 0;
    bool ok;
    {
        std::lock_guard lk(mu_);
        due = take_due(now);
        if (now >= end_ms_) {
            end_ms_ = now + LOG_QUIET_MS;
            used_ = 0;
        }
        ok = used_ < burst_;
        if (ok)
            used_++;
        else
            held_++;
    }
    // The count of the period before comes first.
    if (due > 0) log_msg(LOG_ERROR, "%s: %d %s", who_, due, what_);
    return ok;
}

void log_quiet::report() {
    int due;
    {
        std::lock_guard lk(mu_);
        due = take_due(steady_ms());
    }
    if (due > 0) log_msg(LOG_ERROR, "%s: %d %s", who_, due, what_);
}

int log_pending() {
    logger &l = L();
    std::lock_guard lk(l.mu);
    return int(l.count);
}

int log_set_stderr(int flag) {
    L().echo = flag;
    return flag;
}

void log_set_level(int level) {
    L().level = level;
}

int log_close() {
    logger &l = L();
    try {
        {
            std::lock_guard lk(l.mu);
            if (l.st != state::running) return -1;
            l.st = state::closing;
            l.stop = true;
        }
        l.cv.notify_all();
        l.writer.join();  // the writer drains what is left before it ends
        std::lock_guard lk(l.mu);
        l.st = state::closed;
        l.ring.clear();
        l.ring.shrink_to_fit();
        l.head = l.count = 0;
    } catch (...) {
        return -2;
    }
    return 0;
}
