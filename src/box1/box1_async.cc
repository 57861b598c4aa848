// Asynchronous cue and play of MivraBox1: one short-lived thread per operation, chained per bus.
#include <malloc.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "box1_bus.h"
#include "log.h"
#include "meta_resolve.h"
#include "mivra_io.h"
#include "mivra_lib.h"
#include "tc.h"
#include "whois.h"

namespace {

constexpr uint64_t CUE_DONE = MIVRABOX_F_CUED | MIVRABOX_F_CUE_FAILED;
// The player's list holds a handful of items; a player that keeps answering success to every
// removal must not keep the play thread for ever.
constexpr int kRemoveMax = 1000;

void trace(const char *fn, int line, const bus_async *a) {
    fprintf(stderr, "%s:%s:%d [%p] async=%p\n", "bus_async", fn, line,
            reinterpret_cast<void *>(pthread_self()), static_cast<const void *>(a));
}

// The copy's own event of the operation: texts are read there, never from the bus playlist,
// whose events the control methods and the media threads change under the bus lock.
const mivrabox_event *copy_event(const bus_async *a, int *index) {
    const bus_reach &r = a->reach;
    int i = r.copy.p && !r.copy.p->items.empty() ? r.idx : -1;
    if (index) *index = i;
    // The reach begins with the event itself.
    return i >= 0 ? r.copy.p->items[0] : a->event;
}

void free_record(bus_async *a) {
    if (!a->sync) mivrabox_event_unref(&a->event);
    delete a;
}

}  // namespace

namespace {

// Operations in flight in the process, and the most of them since the chains last drained.
std::atomic<int> g_live{0};
std::atomic<int> g_peak{0};
// A burst of takes leaves this many operations queued behind one another, each with its copy
// of the playlist; the heap they used is handed back once they are all done.
constexpr int kBurst = 8;

void op_begins() {
    int n = ++g_live;
    int peak = g_peak.load();
    while (n > peak && !g_peak.compare_exchange_weak(peak, n)) {
    }
}

void op_ends() {
    if (--g_live == 0 && g_peak.exchange(0) >= kBurst) malloc_trim(0);
}

void *async_entry(void *arg) {
    auto *a = static_cast<bus_async *>(arg);
    try {
        a->entry(a);
    } catch (...) {
        log_msg(LOG_ERROR, "bus[%d]: async thread ended on an exception", a->b->index);
    }
    a->done = 1;
    op_ends();
    return nullptr;
}

// Joins a record's thread, if it ever ran, and frees it with whatever is still linked behind it:
// only records whose own thread never started keep a predecessor.
void release_chain(bus_async *a) {
    while (a) {
        if (a->started) {
            pthread_join(a->th, nullptr);
            a->started = false;
        }
        bus_async *prev = a->previous;
        free_record(a);
        a = prev;
    }
}

}  // namespace

int bus_async_start(box1_bus *b, mivrabox_event *e, void (*entry)(bus_async *), bool urgent) {
    bus_async *a = new (std::nothrow) bus_async;
    if (!a) return -12;
    a->b = b;
    a->entry = entry;
    a->previous = b->async_head;
    mivrabox_event_ref(e);
    a->event = e;
    b->async_head = a;
    // Started by the scheduler, whose real-time priority it would otherwise inherit: a cue's
    // copies, player and library calls run at the normal one from their first instruction. A
    // play's two player calls are due now: a cue's copies or a control reply being built on the
    // same processor must not hold them up by a time slice.
    op_begins();
    int r = urgent ? bus_thread_below(&a->th, async_entry, a)
                   : bus_thread_normal(&a->th, async_entry, a);
    if (r < 0) {
        op_ends();
        // Never started: nothing to join, and nothing more will happen to it.
        log_msg(LOG_ERROR, "%s[%d] cannot start a thread", "bus_async_start", b->index);
        a->done = 1;
        return -11;
    }
    a->started = true;
    return 0;
}

int bus_async_wait(bus_async *a) {
    if (!a) return -22;
    trace(__func__, __LINE__, a);
    // Each record is waited for by one thread only: its successor, or the stop for the newest.
    if (a->started) {
        pthread_join(a->th, nullptr);
        a->started = false;
    }
    return 0;
}

int bus_async_clean(bus_async **pa) {
    if (!pa || !*pa) return -22;
    bus_async *a = *pa;
    trace(__func__, __LINE__, a);
    if (!a->done) return -11;
    *pa = nullptr;
    release_chain(a);
    return 0;
}

// In the successor's thread: the predecessor has nothing more to do once joined, so it goes at
// once with its playlist copy, and a burst of takes leaves no chain of records behind.
void box1_async_wait_previous(bus_async *a) {
    bus_async *prev = a->previous;
    if (!prev) return;
    bus_async_wait(prev);
    a->previous = nullptr;
    release_chain(prev);
}

int bus_async_cue(box1_bus *b, mivrabox_event *e) {
    b->lock.assert_held();
    if (!bus_cue_flag_request(e))
        log_msg(LOG_ERROR, "%s[%d] {%s} does not exist, but will force cue", "bus_async_cue",
                b->index, e->media_id.c_str());
    log_msg(LOG_ERROR, "%s[%d] {%s} e=%p", "bus_async_cue", b->index, e->media_id.c_str(),
            (void *)e);
    int r = bus_async_start(b, e, bus_async_cue_proc);
    // A cue that never ran has failed: the take waiting for it goes on.
    if (r < 0) e->flags |= MIVRABOX_F_CUE_FAILED;
    return 0;
}

int bus_async_play(box1_bus *b, mivrabox_event *e) {
    b->lock.assert_held();
    if (!(e->flags & MIVRABOX_F_CUED))
        log_msg(LOG_ERROR, "%s[%d] {%s} does not cued, but will force play", "bus_async_play",
                b->index, e->media_id.c_str());
    e->flags &= ~uint64_t(MIVRABOX_F_PLAY_FAILED | MIVRABOX_F_ON_AIR);
    e->flags |= MIVRABOX_F_PLAYING;
    log_msg(LOG_ERROR, "%s[%d] {%s}", "bus_async_play", b->index, e->media_id.c_str());
    if (bus_async_start(b, e, bus_async_play_proc, true) < 0) e->flags |= MIVRABOX_F_PLAY_FAILED;
    return 0;
}

void bus_async_cue_proc(bus_async *a) {
    mivra_thread_bound(MIVRA_BOUND_PLAYER_MS);
    // The play started with this cue goes first: its player calls are due now, while the copies
    // below read the whole of a large playlist, milliseconds of a processor that the play's
    // player may be waiting for. The cue's own player calls would wait for the play anyway.
    box1_async_wait_previous(a);
    // The copies the cue reads are made here, in short holds of the lock, not in the
    // scheduler's: a large playlist would hold it as long. An event no longer in the playlist
    // resolves as the first one would.
    if (bus_ply_reach_copy(a->b, a->event->sys_id, true, a->reach) < 0) {
        log_msg(LOG_ERROR, "%s[%d] sys_id=%ld: no memory for the cue's copies",
                "bus_async_cue_proc", a->b->index, long(a->event->sys_id));
        a->event->flags |= MIVRABOX_F_CUE_FAILED;
        return;
    }
    bus_async_cue_func(a, a->b->io_url.c_str());
}

namespace {

// The template variables the player's templates ask for, then the playlist values every cue
// sends.
std::vector<std::string> cue_var_names(const box1_bus *b, const mivrabox_event *e,
                                       const std::vector<std::string> &templates, const char *fn) {
    std::vector<std::string> names;
    for (const std::string &t : templates) {
        std::vector<std::string> vars;
        int r = mivra_lib_list_template_vars(b->lib_url.c_str(), t.c_str(), &vars);
        if (r < 0) {
            log_msg(LOG_ERROR, "%s[%d] media_id=[%s] mivra_lib_list_template_vars(%s) failed, r=%d",
                    fn, b->index, e->media_id.c_str(), t.c_str(), r);
            continue;
        }
        names.insert(names.end(), vars.begin(), vars.end());
    }
    for (const char *n :
         {"curr.ply.duration", "next.ply.duration", "curr.ply.type", "next.ply.type",
          "curr.ply.start_time", "next.ply.start_time", "nextC0.ply.start_time"})
        names.emplace_back(n);
    return names;
}

// The request with its templates and values, as the player's insert call takes them.
int cue_insert(const char *url, const box1_cue_request &q) {
    std::vector<const char *> tv, nv, vv;
    for (const std::string &t : q.templates) tv.push_back(t.c_str());
    tv.push_back(nullptr);
    for (size_t i = 0; i < q.names.size(); i++) {
        nv.push_back(q.names[i].c_str());
        vv.push_back(q.values[i].c_str());
    }
    nv.push_back(nullptr);
    vv.push_back(nullptr);
    return mivra_playlist_insert_template(url, 0, q.source.c_str(), q.in, q.out,
                                          int(q.templates.size()), tv.data(), int(q.names.size()),
                                          nv.data(), vv.data(), nullptr);
}

}  // namespace

int bus_async_cue_func(bus_async *a, const char *url) {
    static const char *const fn = "bus_async_cue_func";
    box1_bus *b = a->b;
    int idx = -1;
    const mivrabox_event *e = copy_event(a, &idx);
    const unsigned type = unsigned(e->event_type) & 0xff;

    const std::string assets = box1_cue_assets(b->default_assets[type].c_str(), e);
    log_msg(LOG_INFO, "%s[%d] media_id=[%s] assets=[%s] event_type=[%c]", fn, b->index,
            e->media_id.c_str(), assets.c_str(), type ? int(type) : ' ');
    std::vector<std::string> templates = bus_assets_split(assets);
    fprintf(stderr, "%s:%d [%p] templates=%zu\n", fn, __LINE__,
            reinterpret_cast<void *>(pthread_self()), templates.size());
    std::vector<std::string> names = cue_var_names(b, e, templates, fn);

    whois_config cfg;
    cfg.method = b->whois_method;
    for (int i = 0; i < 4; i++) cfg.arg[i] = b->whois_arg[i].view();
    // A name without a value is sent empty.
    // The copies at their playlist indexes, null elsewhere: the resolution reads no other.
    const bus_reach &reach = a->reach;
    std::vector<mivrabox_event *> events(size_t(reach.count), nullptr);
    for (size_t k = 0; reach.copy.p && k < reach.reach.size(); k++)
        events[size_t(reach.reach[k])] = reach.copy.p->items[k];
    std::vector<std::string> values = mivrabox_event_meta_pairs_resolve(
        e, idx < 0 ? 0 : idx, reach.count, events.data(), names, &cfg);
    values.resize(names.size());
    const box1_cue_request q = box1_cue_request_build(e, std::move(templates), std::move(names),
                                                      std::move(values), b->live);
    for (size_t i = 0; i < q.names.size(); i++)
        log_msg(LOG_INFO, "%s[%d] [%d] [%s]=>[%s]", fn, b->index, int(i), q.names[i].c_str(),
                q.values[i].c_str());

    box1_async_wait_previous(a);
    // A player that left the loop switch unanswered would leave the insert too.
    const bus_answer_guard guard;
    mivra_playlist_loop(url, 0);
    const bool answering = guard.answering();
    fprintf(stderr, "%s:%d [%p] source=[%s] in=%d out=%d\n", fn, __LINE__,
            reinterpret_cast<void *>(pthread_self()), q.source.c_str(), q.in, q.out);
    int r = answering ? cue_insert(url, q) : RESULT_NO_ANSWER;
    if (r < 0) {
        log_msg(LOG_ERROR, "%s[%d] mivra_playlist_insert_template(%s)(%s) failed, r=%d", fn,
                b->index, e->media_id.c_str(), q.source.c_str(), r);
        a->event->flags |= MIVRABOX_F_CUE_FAILED;
    } else {
        log_msg(LOG_INFO, "%s[%d] %s (%s) cued, r=%d (e=%p)", fn, b->index, e->media_id.c_str(),
                q.source.c_str(), r, (void *)a->event);
        a->event->flags |= MIVRABOX_F_CUED;
    }
    return r;
}

void bus_async_play_proc(bus_async *a) {
    static const char *const fn = "bus_async_play_proc";
    box1_bus *b = a->b;
    const char *url = b->io_url.c_str();
    mivra_thread_bound(MIVRA_BOUND_PLAYER_MS);
    box1_async_wait_previous(a);
    int r = mivra_playlist_seek_to(url, 0, 0);
    if (r < 0) {
        log_msg(LOG_ERROR, "%s[%d] mivra_playlist_seek_to failed, r=%d", fn, b->index, r);
        a->event->flags |= MIVRABOX_F_PLAY_FAILED;
    } else if ((r = mivra_play(url)) < 0) {
        log_msg(LOG_ERROR, "%s[%d] mivra_play failed, r=%d", fn, b->index, r);
        a->event->flags |= MIVRABOX_F_PLAY_FAILED;
    } else {
        a->event->flags |= MIVRABOX_F_ON_AIR;
        // The player keeps only the item now playing; the next cue inserts before it.
        log_msg(LOG_INFO, "%s[%d] playlist cleaning...", fn, b->index);
        for (int n = 0; n < kRemoveMax && mivra_playlist_remove(url, 1) >= 0; n++) {
        }
        log_msg(LOG_INFO, "%s[%d] playlist cleaning done", fn, b->index);
    }
    // The bus playlist object lives as long as the bus.
    b->playlist->revision++;
}

int bus_async_cue_sync_idx(box1_bus *b, int index, const char *url) {
    b->lock.assert_held();
    if (index < 0 || index >= b->playlist->count()) return -22;
    bus_async *a = new (std::nothrow) bus_async;
    if (!a) return -12;
    a->b = b;
    a->sync = true;
    const int64_t sys_id = b->playlist->items[size_t(index)]->sys_id;
    // The copies (short holds) and the player call are made without the lock, however many
    // holds the caller has.
    const int holds = b->lock.release_all();
    int r = bus_ply_reach_copy(b, sys_id, false, a->reach);
    if (r == 0) {
        a->event = a->reach.copy.p->items[0];
        r = bus_async_cue_func(a, url);
    } else if (r == -2) {
        r = -22;  // the event left the playlist meanwhile
    }
    b->lock.reacquire(holds);
    free_record(a);
    return r;
}
