// The bus of MivraBox2: its record, its hooks into the engine, and the control-port calls it
// answers itself.
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>

#include "box2_bus.h"
#include "box2_opts.h"
#include "ctl.h"
#include "log.h"

namespace {

int hook_cue(bus *b, mivrabox_event *e) {
    return bus_io_async_cue_enqueu(box2_of(b), e);
}

int hook_play(bus *b, mivrabox_event *e) {
    return bus_io_play(box2_of(b), e);
}

// Ends the cue lanes and lets go the cues that none of them took.
void cue_lanes_stop(box2_bus *b) {
    {
        std::lock_guard lk(b->cue_mu);
        b->cue_exit = 1;
    }
    b->cue_cv.notify_all();
    for (auto &l : b->cue_lanes)
        if (l.th.joinable()) l.th.join();
    std::lock_guard lk(b->lock);
    std::lock_guard cue_lk(b->cue_mu);
    for (auto &l : b->cue_lanes)
        if (l.ev) mivrabox_event_unref(&l.ev);
}

// The graphics device (without an address there is nothing to connect to) and the cue lanes.
int hook_start(bus *bb) {
    box2_bus *b = box2_of(bb);
    if (!b->oxtel_addr.empty()) {
        b->oxtel.address = b->oxtel_addr;
        b->oxtel.type = OXTEL_CLIENT;
        b->oxtel.user = b;
        box2_cg_link_setup(b);
        oxtel_net_run(&b->oxtel);
    }
    b->cue_exit = 0;
    try {
        for (int k = 0; k < 2; k++)
            b->cue_lanes[k].th = std::thread([b, k] {
                try {
                    bus_io_async_cue_proc(b, k);
                } catch (...) {
                    log_msg(LOG_ERROR, "bus[%d]: thread ended on an exception", b->index);
                }
            });
    } catch (...) {
        log_msg(LOG_ERROR, "%s[%d] failed to start the bus threads", "bus_start", b->index);
        cue_lanes_stop(b);
        return -11;
    }
    return 0;
}

// The cue lanes and the graphics link end before the other bus threads.
void hook_stop_first(bus *bb) {
    box2_bus *b = box2_of(bb);
    cue_lanes_stop(b);
    oxtel_net_stop(&b->oxtel);
}

void hook_idle(bus *b) {
    b->lock.assert_held();
    bus_cg_idle(box2_of(b));
}

const char *relay_io_url(const bus *b) {
    return static_cast<const box2_bus *>(b)->io_a_url.c_str();
}

// Templates of bus 0's graphics device, asked at most every 5 s.
xmlrpc_value *ctl_method_MivraLib_LibListTemplates(xmlrpc_env *env, xmlrpc_value *, void *si,
                                                   void *) {
    mivrabox_opts *o = ctl_opts(si);
    log_msg(LOG_ERROR, "%s:", "ctl_method_MivraLib_LibListTemplates");
    xr_value list = ctl_held(env, xmlrpc_array_new(env));
    if (env->fault_occurred) return nullptr;
    box2_bus *b = box2_of(ctl_bus_at(o, 0));
    if (!b) return xmlrpc_build_value(env, "{s:i,s:V}", "result", -22, "list", list.get());
    box2_tmpl_listing &t = b->tmpl;
    std::unique_lock lk(t.mu);
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    bool stale = t.last.tv_sec + 5 < now.tv_sec ||
                 (t.last.tv_sec + 5 == now.tv_sec && t.last.tv_nsec < now.tv_nsec);
    if (stale) {
        t.busy = 1;
        t.done = false;
        t.names.clear();
        box2_cg_tmpl_request(b);
        // Only the end of the list counts: a spurious wake-up must not cache a partial list.
        bool done = t.cv.wait_for(lk, std::chrono::seconds(1), [&] { return t.done; });
        t.busy = 0;
        if (!done) {
            t.names.clear();
            lk.unlock();
            return xmlrpc_build_value(env, "{s:i,s:V}", "result", ETIMEDOUT, "list", list.get());
        }
        clock_gettime(CLOCK_REALTIME, &t.last);
    }
    std::vector<std::string> names = t.names;
    lk.unlock();
    std::sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
        return strcasecmp(a.c_str(), b.c_str()) < 0;
    });
    for (const std::string &n : names) {
        ctl_list_push_name(env, list.get(), n.c_str());
        if (env->fault_occurred) return nullptr;
    }
    return xmlrpc_build_value(env, "{s:i,s:V}", "result", 0, "list", list.get());
}

xmlrpc_value *ctl_method_MivraLib_LibListTemplateVars(xmlrpc_env *env, xmlrpc_value *, void *,
                                                      void *) {
    log_msg(LOG_ERROR, "%s:", "ctl_method_MivraLib_LibListTemplateVars");
    xr_value list = ctl_held(env, xmlrpc_array_new(env));
    if (env->fault_occurred) return nullptr;
    char key[64];
    for (int i = 0; i < 16; i++) {
        snprintf(key, sizeof(key), "current.meta.%d", i);
        ctl_list_push_name(env, list.get(), key);
    }
    ctl_list_push_name(env, list.get(), "current.meta.DSK");
    ctl_list_push_name(env, list.get(), "current.meta.LOOP_OUT");
    if (env->fault_occurred) return nullptr;
    return xmlrpc_build_value(env, "{s:i,s:V}", "result", 18, "list", list.get());
}

const bus_hooks kHooks = {
    .cue = hook_cue,
    .play = hook_play,
    .idle = hook_idle,
    .start = hook_start,
    .stop_first = hook_stop_first,
    .cue_lead_ms = 500,
    .take_waits_requested = true,
    .spare_next_cue = true,
    .queued_mark = MIVRABOX_F_QUEUED,
};

// The shared methods, and the two template listings of the graphics device, which the control
// port answers itself instead of relaying them to the library.
const ctl_method_def kMethods[] = {
    CTL_SHARED("GetState"),
    CTL_SHARED("Run"),
    CTL_SHARED("InsertEvent"),
    CTL_SHARED("InsertEvent2"),
    CTL_SHARED("UpdateEvent"),
    CTL_SHARED("UpdateEvent2"),
    CTL_SHARED("GetEvent"),
    CTL_SHARED("DeleteEvent"),
    CTL_SHARED("DeleteEvents"),
    CTL_SHARED("DeleteEvents2"),
    CTL_SHARED("ListPlaylists"),
    CTL_SHARED("LoadPlaylist"),
    CTL_SHARED("SavePlaylist"),
    CTL_SHARED("ClosePlaylist"),
    CTL_SHARED("AppendPlaylist"),
    CTL_SHARED("Take"),
    CTL_SHARED("TakeN"),
    CTL_SHARED("LibList"),
    CTL_SHARED("GetEvents"),
    CTL_SHARED("SearchEvent"),
    CTL_SHARED("AbsentList"),
    CTL_SHARED("ErrorFlagList"),
    CTL_SHARED("Fallback"),
    CTL_SHARED("TrimPadEvent"),
    CTL_SHARED("ResetEventsTC"),
    {"MivraLib.LibListTemplates", ctl_guarded<ctl_method_MivraLib_LibListTemplates>},
    {"MivraLib.LibListTemplateVars", ctl_guarded<ctl_method_MivraLib_LibListTemplateVars>},
};

}  // namespace

const bus_daemon box2_daemon = {
    .program = BOX2_PROGRAM,
    .banner = BOX2_BANNER,
    .bus_alloc = box2_bus_new,
    .hooks = &kHooks,
    .io_delay = 0,
    .xml_size_limit = 0,
    .methods = kMethods,
    .method_count = std::size(kMethods),
    .relay_io_url = relay_io_url,
    .serve_start = nullptr,
    .serve_stop = nullptr,
};

box2_bus::~box2_bus() {
    oxtel_ctx_release(&oxtel);
}

int box2_bus_new(bus **out) {
    return bus_daemon_new<box2_bus>(box2_daemon, out,
                                    [](box2_bus *b) { return oxtel_ctx_init(&b->oxtel); });
}

void box2_setup(mivrabox_opts *rec) {
    rec->daemon = &box2_daemon;
}
