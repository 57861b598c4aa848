// MivraBoxLibAdapter: conforms new library media with an outside ffmpeg.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

#include "adapter_opts.h"
#include "log.h"
#include "mivra.h"

namespace {
std::atomic<int> g_stop{0};
}

int main(int argc, char **argv) {
    adapter_instance *a = new (std::nothrow) adapter_instance;
    if (!a) return 1;
    a->stop = &g_stop;
    svc_base_opts base;
    int r = adapter_opts_parse(a, &base, argc, argv);
    if (r != 0) {
        delete a;
        return r & 0xff;
    }
    // Detaching moves the process to "/": the names relative to where it was started are kept
    // whole before that.
    std::string cwd(4096, '\0');
    if (getcwd(cwd.data(), cwd.size())) a->start_dir = cwd.c_str();
    if (!a->start_dir.empty() && a->ffmpeg_path.view().find('/') != std::string_view::npos &&
        a->ffmpeg_path.c_str()[0] != '/')
        a->ffmpeg_path = a->start_dir + "/" + a->ffmpeg_path.str();
    // A service that never answers must not hold the stop.
    svc_begin(base, ADAPTER_BANNER, a->stop, mivra_interrupt);

    // Conversions take whole cores for minutes; the playout beside them comes first. The
    // converter thread and ffmpeg, started later, inherit the value.
    int status = 0;
    if (setpriority(PRIO_PROCESS, 0, 19) != 0) {
        int e = errno;
        log_msg(LOG_ERROR, "%s:%d setpriority failes, r=%d (%s)", "main", 75, -e, strerror(e));
        status = e;
    }

    watch_run(a);
    delete a;
    svc_end();
    return status;
}
