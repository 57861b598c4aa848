// Process-wide queued logger: callers queue lines, one writer thread echoes, rotates and appends.
#pragma once

#include <cstddef>

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

// Levelled trace with the caller's position.
#define LOG_TRACE(level, ...) log_trace((level), __FILE__, __LINE__, __func__, __VA_ARGS__)
