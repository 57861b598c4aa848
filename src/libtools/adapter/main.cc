// MivraBoxLibAdapter: conforms new library media with an outside ffmpeg.
#include <unistd.h>

#include <atomic>
#include <new>
#include <string>

#include "adapter_opts.h"
#include "log.h"
#include "mivra.h"

namespace {
std::atomic<int> g_stop{0};
// Nice 19 only: the conversions read and write whole files, which the idle I/O class would
// starve behind the playout's reads.
constexpr svc_priority kPriority = {false, 75, 0, true};
}  // namespace

int main(int argc, char **argv) {
    svc_hold_stop_signals();
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
    int status = svc_lower_priority(kPriority);

    watch_run(a);
    delete a;
    svc_end();
    return status;
}
