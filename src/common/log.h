// Process-wide queued logger: callers queue lines, one writer thread echoes, rotates and appends.
#pragma once

#include <cstddef>
#include <mutex>

// log_msg types; any other value is written as information.
enum log_type { LOG_INFO = 0, LOG_ERROR = 1, LOG_DEBUG = 2 };

// Lines a caller may leave waiting before new ones are dropped.
constexpr int LOG_QUEUE_MAX = 128000;
// Longest formatted line, its LF and NUL included.
constexpr size_t LOG_LINE_MAX = 128032;

int log_init(const char *name, int interval);
int log_msg(int type, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void log_trace(int level, const char *source, int line, const char *function, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));
int log_set_stderr(int flag);
void log_set_level(int level);
int log_close();
// Lines queued and not yet taken by the writer.
int log_pending();
// Queues text as one error line per line of it when the writer runs; false, with nothing
// queued, when it does not (a program without a log, or before log_init and after log_close).
bool log_error_text(const char *text);

// True when a trace line of this level is written.
bool log_trace_on(int level);

// Pending lines that outside input may hold: the rest of the queue is kept for the program's own
// lines, so that a flood from a device or a peer never costs the program a line of its own.
constexpr int LOG_QUEUE_OUTSIDE_MAX = LOG_QUEUE_MAX / 2;
// Period of a log_quiet: its first lines of each period are written, the others counted.
constexpr int LOG_QUIET_MS = 1000;

// While one lives, the lines its thread logs count as caused by outside input (see
// LOG_QUEUE_OUTSIDE_MAX). Scopes nest.
class log_outside {
   public:
    log_outside();
    ~log_outside();
    log_outside(const log_outside &) = delete;
    log_outside &operator=(const log_outside &) = delete;

   private:
    bool was_;
};

// Lines of one kind that outside input can cause at any rate (an unknown message, a tally): the
// first `burst` of each second are written, the others only counted, and one line
// "<who>: <count> <what>" says the count once the second is over; the writer thread says it
// even when nothing more comes. Any thread may use one.
class log_quiet {
   public:
    log_quiet(const char *who, const char *what, int burst = 1);
    ~log_quiet();
    log_quiet(const log_quiet &) = delete;
    log_quiet &operator=(const log_quiet &) = delete;
    // True when this line may be written; false when it was counted instead.
    bool speak();
    // Says the count of a period that is over; the writer calls it.
    void report();

   private:
    int take_due(long long now_ms);
    const char *who_, *what_;
    int burst_;
    std::mutex mu_;
    long long end_ms_ = 0;
    int used_ = 0, held_ = 0;
};

// Levelled trace with the caller's position.
#define LOG_TRACE(level, ...) log_trace((level), __FILE__, __LINE__, __func__, __VA_ARGS__)
