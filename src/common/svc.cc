#include "svc.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "log.h"
#include "proc.h"
#include "sig.h"
#include "tc.h"

std::string svc_rpc_url(const char *hostport) {
    return std::string("http://") + (hostport ? hostport : "") + "/RPC2";
}

int svc_tc_setmode() {
    return tc_setmode(TC_FROM_ENV);
}

int svc_tc_setmode_logged() {
    int r = svc_tc_setmode();
    log_msg(LOG_INFO, "tc_setmode return %d", r);
    return r;
}

void svc_base_table(std::vector<opts_def> &table, int realtime_io_arg) {
    // getopt_long is run without its own messages and every name here is whole, so the order
    // among them decides nothing.
    static const opts_def shared[] = {
        {"log-file-name", required_argument, SVC_OPT_LOG_FILE_NAME, true},
        {"log-rotate-interval", required_argument, SVC_OPT_LOG_ROTATE_INTERVAL},
        {"demonize", no_argument, SVC_OPT_DEMONIZE},
        {"nodemonize", no_argument, SVC_OPT_NODEMONIZE},
        {"help", no_argument, 'h'},
        {"realtime-io", no_argument, SVC_OPT_REALTIME_IO},
        {"cpu-affinity", required_argument, SVC_OPT_CPU_AFFINITY},
        {"realtime-cpu", required_argument, SVC_OPT_REALTIME_CPU},
        {"debug", no_argument, SVC_OPT_DEBUG},
    };
    for (opts_def d : shared) {
        if (d.id == SVC_OPT_REALTIME_IO) d.has_arg = realtime_io_arg;
        table.push_back(d);
    }
}

void svc_base_defaults(svc_base_opts &o, const char *log_file_name) {
    o.log_file_name = log_file_name;
    o.log_rotate_interval = 86400;
}

int svc_base_apply(svc_base_opts &o, int id, const char *arg) {
    switch (id) {
        case SVC_OPT_LOG_FILE_NAME:
            o.log_file_name = arg;
            return 1;
        case SVC_OPT_LOG_ROTATE_INTERVAL:
            o.log_rotate_interval = opts_int(arg);
            return 1;
        case SVC_OPT_DEMONIZE:
            o.demonize = 1;
            return 1;
        case SVC_OPT_NODEMONIZE:
            o.nodemonize = 1;
            return 1;
        // Accepted so that existing options files still load: a background service or file
        // system never raises its priority, a daemon sets its scheduler's per bus thread
        // (bus_thread_realtime), and no program pins a processor, so nothing reads them.
        case SVC_OPT_REALTIME_IO:
        case SVC_OPT_CPU_AFFINITY:
        case SVC_OPT_REALTIME_CPU:
            return 1;
        case SVC_OPT_DEBUG:
            o.debug++;
            return 1;
        default:
            return 0;
    }
}

void svc_quiet_if_detaching(const svc_base_opts &o) {
    if (o.demonize && !o.nodemonize) log_set_stderr(0);
}

void svc_begin(const svc_base_opts &o, const svc_start &s) {
    if (s.detach && o.demonize && !o.nodemonize) {
        svc_quiet_if_detaching(o);
        daemonize();
    }
    log_init(o.log_file_name.c_str(), o.log_rotate_interval);
    log_msg(LOG_INFO, "%s", s.banner);
    if (s.tc_mode) svc_tc_setmode_logged();
    if (s.stop) sig_watch_start(s.stop, s.on_first_stop);
}

void svc_begin(const svc_base_opts &o, const char *banner, std::atomic<int> *stop,
               std::function<void()> on_first_stop) {
    svc_begin(o, svc_start{banner, true, true, stop, std::move(on_first_stop)});
}

void svc_hold_stop_signals() {
    sig_block_stop();
}

void svc_end() {
    log_msg(LOG_INFO, "Bye!");
    // The handlers stay installed until the process ends: a late stop signal is only counted.
    sig_watch_stop();
    log_close();
}

int svc_opts_parse(svc_base_opts &o, const char *program, std::vector<opts_def> table,
                   std::function<int(int id, const char *arg)> apply, std::function<void()> usage,
                   int argc, char **argv, const svc_parse_form &form) {
    opts_program p;
    p.prog = program;
    p.table = std::move(table);
    svc_base_table(p.table, form.realtime_io_arg);
    std::string log_name = std::string(program) + ".log";
    p.defaults = [&o, log_name, own = form.defaults] {
        svc_base_defaults(o, log_name.c_str());
        if (own) own();
    };
    std::vector<int> path_ids;
    for (const opts_def &d : p.table)
        if (d.path) path_ids.push_back(d.id);
    p.apply = [&o, own = std::move(apply), path_ids](int id, const char *arg) {
        // Detaching moves the process to "/": a relative path means the folder it started in.
        text4k abs;
        if (arg && std::find(path_ids.begin(), path_ids.end(), id) != path_ids.end()) {
            abs = arg;
            if (svc_make_absolute_all({&abs}) < 0) return 1;
            arg = abs.c_str();
        }
        if (svc_base_apply(o, id, arg)) return 0;
        return own ? own(id, arg) : 0;
    };
    p.usage = std::move(usage);
    p.file_read = [&o](const std::string &path) { o.options_file = path; };
    // The record holds the defaults also when no parse runs to its end.
    p.defaults();
    int r = opts_from_file(p, argc, argv);
    // The default log name, and one that no option changed, is relative too.
    if (r == 0 && svc_make_absolute_all({&o.log_file_name}) < 0) return 1;
    return r;
}

int svc_make_absolute(text4k &path) {
    if (path.empty() || path.view().front() == '/') return 0;
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return -errno;
    std::string abs = std::string(cwd) + "/" + path.str();
    if (!text4k::fits(abs)) return -ENAMETOOLONG;
    path = abs;
    return 0;
}

int svc_make_absolute_all(const std::vector<text4k *> &paths) {
    for (text4k *p : paths) {
        if (int r = svc_make_absolute(*p); r < 0) {
            fprintf(stderr, "ERROR: path too long [%s]\n", p->c_str());
            return r;
        }
    }
    return 0;
}

namespace {
// ioprio_set(2) has no libc wrapper.
constexpr int kIoprioWhoProcess = 1;
constexpr int kIoprioClassShift = 13;
constexpr int kIoprioClassIdle = 3;
}  // namespace

int svc_lower_priority(const svc_priority &p) {
    if (setpriority(PRIO_PROCESS, 0, 19) != 0) {
        int e = errno;
        log_msg(LOG_ERROR, "%s:%d setpriority failes, r=%d (%s)", "main", p.nice_line,
                p.nice_status ? -e : e, strerror(e));
        if (p.nice_status) return e;
    }
    if (!p.io_idle) return 0;
    if (syscall(SYS_ioprio_set, kIoprioWhoProcess, int(getpid()),
                kIoprioClassIdle << kIoprioClassShift) != 0) {
        int e = errno;
        log_msg(LOG_ERROR, "%s:%d ioprio_set failes, r=%d (%s)", "main", p.ioprio_line, e,
                strerror(e));
        return e;
    }
    return 0;
}
