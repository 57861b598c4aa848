// What the library maintenance services share: the options every one of them takes, and the
// start and end of a service process (detach, log, signal watcher).
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "opts.h"
#include "text.h"

struct lt_base_opts {
    text4k log_file_name;
    int log_rotate_interval = 86400;
    int demonize = 0, nodemonize = 0;
    int debug = 0;  // each --debug adds one
    // Stored only: nothing reads them.
    int realtime_io = 0, cpu_affinity = 0, realtime_cpu = 0;
    text4k options_file;  // the last options file that parsed without error
};

// Option ids of the shared options; a service's own ids stay below LT_OPT_BASE.
enum lt_opt_id {
    LT_OPT_BASE = 0x100,
    LT_OPT_LOG_FILE_NAME = LT_OPT_BASE,
    LT_OPT_LOG_ROTATE_INTERVAL,
    LT_OPT_DEMONIZE,
    LT_OPT_NODEMONIZE,
    LT_OPT_HELP,
    LT_OPT_REALTIME_IO,
    LT_OPT_CPU_AFFINITY,
    LT_OPT_REALTIME_CPU,
    LT_OPT_DEBUG,
};

// The shared options, appended to a service's own table.
void lt_base_table(std::vector<opts_def> &table);
// Sets the defaults that every parse puts back.
void lt_base_defaults(lt_base_opts &o, const char *log_file_name);
// 1 when id is a shared option (applied), 0 when it is not one.
int lt_base_apply(lt_base_opts &o, int id, const char *arg);
// Parses a service's command line and options files: its table, its own apply and usage, the
// shared defaults put back at every parse and the path of each file read kept in o.
int lt_opts_parse(lt_base_opts &o, const char *program, std::vector<opts_def> table,
                  std::function<int(int id, const char *arg)> apply, std::function<void()> usage,
                  int argc, char **argv);

// Detaches when asked (the log stops echoing to the terminal first), starts the log, logs the
// banner and starts the signal watcher on *stop.
void lt_service_begin(const lt_base_opts &o, const char *banner, std::atomic<int> *stop);
// Logs "Bye!", restores the signal dispositions and closes the log.
void lt_service_end();
