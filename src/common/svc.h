// What the programs share at start-up: the timecode mode of every program, and for the
// long-running ones the options every one of them takes, the start and end of a service process
// (detach, log, timecode mode, signal watcher) and the priorities of background services.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "opts.h"
#include "text.h"

// Every program sets the timecode mode from TC_MODE at start-up, here, before any timecode is
// read; pal stays when it is unset or names no mode. tc_setmode's result: 0, -2 unset, -22 no mode.
int svc_tc_setmode();
// The same in a program that logs: the result is logged as "tc_setmode return %d".
int svc_tc_setmode_logged();

// The XML-RPC URL of a service given as host:port in an option: "http://<hostport>/RPC2".
std::string svc_rpc_url(const char *hostport);

struct svc_base_opts {
    text4k log_file_name;
    int log_rotate_interval = 86400;
    int demonize = 0, nodemonize = 0;
    int debug = 0;        // each --debug adds one
    text4k options_file;  // the last options file that parsed without error
};

// Option ids of the shared options; a program numbers its own outside SVC_OPT_BASE..+8.
enum svc_opt_id {
    SVC_OPT_BASE = 0x100,
    SVC_OPT_LOG_FILE_NAME = SVC_OPT_BASE,
    SVC_OPT_LOG_ROTATE_INTERVAL,
    SVC_OPT_DEMONIZE,
    SVC_OPT_NODEMONIZE,
    SVC_OPT_HELP,
    SVC_OPT_REALTIME_IO,
    SVC_OPT_CPU_AFFINITY,
    SVC_OPT_REALTIME_CPU,
    SVC_OPT_DEBUG,
};

// How a program's command line differs from the others'.
struct svc_parse_form {
    // The file systems also take "--realtime-io=<n>"; the daemons refuse a value.
    int realtime_io_arg = no_argument;
    // The program's own defaults, put back at every parse after the shared ones.
    std::function<void()> defaults;
};

// The shared options, appended to a program's own table.
void svc_base_table(std::vector<opts_def> &table, int realtime_io_arg = no_argument);
// Sets the defaults that every parse puts back.
void svc_base_defaults(svc_base_opts &o, const char *log_file_name);
// 1 when id is a shared option (applied), 0 when it is not one.
int svc_base_apply(svc_base_opts &o, int id, const char *arg);
// Parses a long-running program's command line and options files: its own table with the shared
// options behind it, the shared ones applied here and the rest by apply, the defaults (log file
// "<program>.log", rotation, then form.defaults) set before and at every parse, and the path of
// each file read kept in o. The values of the options marked path, and the log file name, are
// made absolute against the working folder, so that they keep their meaning when the program
// detaches; one that cannot be ends the parse with 1 ("ERROR: path too long [<path>]").
int svc_opts_parse(svc_base_opts &o, const char *program, std::vector<opts_def> table,
                   std::function<int(int id, const char *arg)> apply, std::function<void()> usage,
                   int argc, char **argv, const svc_parse_form &form = {});
// The first line of a long-running program's main: a stop signal that arrives before its
// handlers are installed waits for them (svc_begin) instead of killing the process.
void svc_hold_stop_signals();
// Makes a relative path absolute against the working folder, which detaching changes to "/".
// -36 when the result would not fit, -errno when the folder cannot be read.
int svc_make_absolute(text4k &path);
// The same for each path, with "ERROR: path too long [<path>]" on standard error at the first
// that fails; 0 or its result.
int svc_make_absolute_all(const std::vector<text4k *> &paths);

// The start-up sequence of a long-running program; what differs between them is stated here.
struct svc_start {
    const char *banner;
    // Detach when asked; a FUSE file system leaves it to FUSE and only stops the terminal echo.
    bool detach = true;
    // Set the timecode mode after the banner (the crawl file system never reads a timecode).
    bool tc_mode = true;
    // The signal watcher raises *stop (none when null: FUSE watches the signals itself);
    // on_first_stop runs on the watcher thread at the first stop signal.
    std::atomic<int> *stop = nullptr;
    std::function<void()> on_first_stop;
};
// Stops the log's echo to the terminal before the process detaches (svc_begin's first step,
// and a FUSE program's before FUSE detaches it).
void svc_quiet_if_detaching(const svc_base_opts &o);
// Detaches when asked, starts the log, logs the banner, sets the timecode mode and starts the
// signal watcher, each as s states.
void svc_begin(const svc_base_opts &o, const svc_start &s);
void svc_begin(const svc_base_opts &o, const char *banner, std::atomic<int> *stop,
               std::function<void()> on_first_stop = {});
// Logs "Bye!", stops the signal watcher (its handlers stay, only counting) and closes the log.
void svc_end();

// How a background service yields to the playout. The lines are the source positions that its
// failure messages have always named.
struct svc_priority {
    bool io_idle;     // the idle I/O class besides nice 19
    int nice_line;    // in "%s:%d setpriority failes, ..."
    int ioprio_line;  // in "%s:%d ioprio_set failes, ..."
    // The media adapter's form: a failed setpriority is logged with r=-errno and is its exit
    // status; the others log r=errno and run on with 0.
    bool nice_status = false;
};
// Lowers the process to nice 19 and, when asked, into the idle I/O class; failures are logged and
// the service runs on. 0, or the errno of a failed call that p makes the service's exit status.
int svc_lower_priority(const svc_priority &p);
