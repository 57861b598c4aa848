#include "bus.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>

#include "log.h"
#include "mivra.h"
#include "tc.h"
#include "wallclock.h"
#include "whois.h"

namespace {

// A remaining time as a timecode text of whole frames.
void remain_text(int64_t ms, char *out) {
    tc_frames2str(tc_sec2frames(double(ms) / 1000.0), out);
}

template <class F>
std::thread bus_thread(F f, bus *b) {
    return std::thread([f, b] {
        try {
            f(b);
        } catch (...) {
            log_msg(LOG_ERROR, "bus[%d]: thread ended on an exception", b->index);
        }
    });
}

void join(std::thread &t) {
    if (t.joinable()) t.join();
}

// A copy of the whole playlist waits this long when a play is due within it.
constexpr int kPlayClearMs = 50;

bool play_near(bus *b) {
    int64_t at = b->play_at_us.load();
    return at >= 0 && at - bus_now_us(b) < kPlayClearMs * 1000;
}

}  // namespace

const bus_hooks bus_hooks_none = {};

int64_t bus_now_us(const bus *b) {
    return b->hooks->now_us ? b->hooks->now_us(b) : time_now_us();
}

int64_t bus_now_ms(const bus *b) {
    return bus_now_us(b) / 1000;
}

bus_cue_points bus_cue_points_of(const char *in, const char *out, const char *duration) {
    bus_cue_points p;
    p.in = in && *in ? tc_str2frames(in) : 0;
    if (out && *out) {
        p.last = tc_str2frames(out);
        p.known = true;
    } else if (duration && *duration) {
        p.last = tc_str2frames(duration) + p.in - 1;
        p.known = true;
    }
    return p;
}

std::vector<std::string> bus_assets_split(std::string_view assets) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at <= assets.size()) {
        size_t plus = assets.find('+', at);
        if (plus == std::string_view::npos) plus = assets.size();
        if (plus > at) out.emplace_back(assets.substr(at, plus - at));
        at = plus + 1;
    }
    return out;
}

bool bus_cue_flag_request(mivrabox_event *e) {
    e->flags &= ~uint64_t(MIVRABOX_F_CUED | MIVRABOX_F_CUE_FAILED);
    e->flags |= MIVRABOX_F_CUE_REQ;
    return e->flags & MIVRABOX_F_PRESENT;
}

bus_answer_guard::bus_answer_guard() : unanswered_(mivra_thread_past_bound()) {}

bool bus_answer_guard::answering() const {
    return mivra_thread_past_bound() == unanswered_;
}

void bus_note_log(bus *b, bus_note what, const mivrabox_event *, const char *media_id, int r) {
    // Only a failed lookup has a line of the engine's own.
    if (what == bus_note::lookup_failed)
        log_msg(LOG_ERROR, "%s[%d] mivra_io_basename_item(%s) failed, r=%d", "bus_lib_proc_queue",
                b->index, media_id, r);
}

bool bus_stats_on() {
    static const bool on = getenv("MIVRA_BUS_STATS") != nullptr;
    return on;
}

// Set on the scheduler thread by bus_lock_scheduler_thread.
static thread_local bool t_scheduler = false;

void bus_lock_scheduler_thread() {
    t_scheduler = true;
}

namespace {

// Microseconds of CPU time of the calling thread.
int64_t thread_cpu_us() {
    struct timespec ts = {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

}  // namespace

void bus_mutex::taken() {
#ifndef NDEBUG
    if (depth_ == 0) owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
#endif
    if (depth_++ == 0 && bus_stats_on()) {
        since_ = std::chrono::steady_clock::now();
        cpu_since_ = thread_cpu_us();
    }
}

#ifndef NDEBUG
void bus_mutex::assert_held(std::source_location where) const {
    if (owner_.load(std::memory_order_relaxed) == std::this_thread::get_id()) return;
    fprintf(stderr, "%s:%u: %s: the bus lock is not held\n", where.file_name(),
            unsigned(where.line()), where.function_name());
    abort();
}
#endif

void bus_mutex::lock() {
    mu_.lock();
    taken();
}

bool bus_mutex::try_lock() {
    if (!mu_.try_lock()) return false;
    taken();
    return true;
}

int bus_mutex::release_all() {
    // Read by the owner only, which holds mu_.
    const int holds = depth_;
    assert(holds > 0);  // only the thread holding the lock may let it go
    for (int i = 0; i < holds; i++) unlock();
    return holds;
}

void bus_mutex::reacquire(int holds) {
    for (int i = 0; i < holds; i++) lock();
}

void bus_mutex::unlock() {
#ifndef NDEBUG
    if (depth_ == 1) owner_.store(std::thread::id(), std::memory_order_relaxed);
#endif
    if (--depth_ == 0 && bus_stats_on()) {
        auto held = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now() - since_)
                        .count();
        std::atomic<int64_t> &longest = longest_[t_scheduler ? 1 : 0];
        if (held > longest.load()) longest = held;
        const int64_t cpu = thread_cpu_us() - cpu_since_;
        std::atomic<int64_t> &longest_cpu = longest_cpu_[t_scheduler ? 1 : 0];
        if (cpu > longest_cpu.load()) longest_cpu = cpu;
    }
    mu_.unlock();
}

// Below the kernel's interrupt threads (50), above every normal thread.
constexpr int kRealtimePriority = 10;

bool bus_thread_realtime(bool on) {
    static std::atomic<bool> refused{false};
    struct sched_param p = {};
    if (!on) return pthread_setschedparam(pthread_self(), SCHED_OTHER, &p) == 0;
    if (refused.load()) return false;
    p.sched_priority = kRealtimePriority;
    int r = pthread_setschedparam(pthread_self(), SCHED_FIFO, &p);
    if (r == 0) return true;
    if (!refused.exchange(true))
        log_msg(LOG_ERROR, "%s: no real-time priority (%s), the scheduler runs at normal priority",
                "bus_thread_realtime", strerror(r));
    return false;
}

namespace {

int thread_start(pthread_t *th, void *(*fn)(void *), void *arg, int policy, int priority) {
    pthread_attr_t attr;
    int r = pthread_attr_init(&attr);
    if (r != 0) return -r;
    struct sched_param p = {};
    p.sched_priority = priority;
    r = pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
    if (r == 0) r = pthread_attr_setschedpolicy(&attr, policy);
    if (r == 0) r = pthread_attr_setschedparam(&attr, &p);
    if (r == 0) r = pthread_create(th, &attr, fn, arg);
    pthread_attr_destroy(&attr);
    return -r;
}

}  // namespace

int bus_thread_normal(pthread_t *th, void *(*fn)(void *), void *arg) {
    return thread_start(th, fn, arg, SCHED_OTHER, 0);
}

int bus_thread_below(pthread_t *th, void *(*fn)(void *), void *arg) {
    int policy = SCHED_OTHER;
    struct sched_param p = {};
    if (pthread_getschedparam(pthread_self(), &policy, &p) == 0 && policy == SCHED_FIFO &&
        p.sched_priority > 1) {
        // Refused (a limit set meanwhile): the thread still starts, at the normal priority.
        if (thread_start(th, fn, arg, SCHED_FIFO, p.sched_priority - 1) == 0) return 0;
    }
    return bus_thread_normal(th, fn, arg);
}

bus::~bus() {
    bus_lib_users_clear(this);
    lib_object_list_clear(&queued);
    lib_object_list_clear(&absent);
    lib_object_list_clear(&present);
    ply_free(&playlist);
}

int bus_init(bus *b) {
    if (!b) return -22;
    if (ply_new(&b->playlist) < 0) return -12;
    lib_object_list_init(&b->queued);
    lib_object_list_init(&b->absent);
    lib_object_list_init(&b->present);
    return 0;
}

bool bus_sleep(bus *b, int ms) {
    std::unique_lock lk(b->exit_mu);
    return b->exit_cv.wait_for(lk, std::chrono::milliseconds(ms), [b] { return b->exit.load(); });
}

int bus_start(bus *b) {
    if (!b) return -22;
    whois_init(nullptr);  // the settings are read at every lookup
    if (b->hooks->start && b->hooks->start(b) < 0) return -11;
    if (!b->current.empty()) {
        std::string path;
        ply_list *loaded = nullptr;
        // A stop signal during a long read ends it: the daemon stops without the playlist, and
        // without having written anything.
        if (path_join(path, b->path.view(), b->current.view()) == 0 &&
            bus_ply_read(b, path.c_str(), &loaded, b->stop_signal) >= 0 &&
            !(b->stop_signal && b->stop_signal->load()) &&
            bus_ply_load_ply(b, loaded, path.c_str(), nullptr) > 0)
            bus_ply_run(b, 1, nullptr);
        if (loaded) ply_free(&loaded);
    }
    try {
        b->th_save = bus_thread(bus_save_proc, b);
        b->th_ply = bus_thread(bus_ply_proc, b);
        b->th_state = bus_thread(bus_lib_proc_state, b);
        b->th_queue = bus_thread(bus_lib_proc_queue, b);
        b->th_append = bus_thread(bus_append_proc, b);
    } catch (...) {
        // The threads that did start are stopped by bus_stop as usual.
        log_msg(LOG_ERROR, "%s[%d] failed to start the bus threads", "bus_start", b->index);
        return -11;
    }
    return 0;
}

int bus_stop(bus *b) {
    if (!b) return -22;
    log_msg(LOG_INFO, "%s[%d] entering", "bus_stop", b->index);
    if (b->hooks->stop_first) b->hooks->stop_first(b);
    {
        std::lock_guard lk(b->exit_mu);
        b->exit = 1;
    }
    b->exit_cv.notify_all();
    join(b->th_append);
    join(b->th_save);
    join(b->th_ply);
    join(b->th_state);
    join(b->th_queue);
    if (b->hooks->stop_last) b->hooks->stop_last(b);
    whois_fini(nullptr);
    log_msg(LOG_INFO, "%s[%d] exiting", "bus_stop", b->index);
    return 0;
}

int bus_free(bus **pb) {
    if (!pb || !*pb) return -22;
    bus *b = *pb;
    *pb = nullptr;
    delete b;
    return 0;
}

int bus_ply_state(bus *b, mivrabox_state *st) {
    if (!st) return -22;
    std::lock_guard lk(b->lock);
    const ply_list *ply = b->playlist;
    int64_t now = bus_now_ms(b);
    char tc[TC_TEXT_SIZE + 8];
    st->f_running = b->running;
    st->amend = ply->revision.load();
    st->count = ply->count();
    st->ply_remain.clear();
    if (ply->count() > 0) {
        const mivrabox_event *last = ply->items.back();
        int64_t end = last->start + tc_frames2ms(mivrabox_event_duration(last, 0));
        if (now < end) {
            remain_text(end - now, tc);
            st->ply_remain = tc;
        }
    }
    st->curr_remain.clear();
    if (b->time_to_next != 0) {
        int64_t v = b->time_to_next;
        char sign = v > 0 ? '+' : '-';
        remain_text(v > 0 ? v : -v, tc + 1);
        tc[0] = sign;
        st->curr_remain = tc;
    }
    struct timeval tv;
    time_ms2tv(now, &tv);
    time_tv2tc(&tv, tc);
    st->time = tc;
    st->lib_queued_count = b->queued.count();
    st->lib_absent_count = b->absent.count();
    st->lib_present_count = b->present.count();
    // Counted as the flags change: a scan would grow with the playlist.
    st->ply_stat_flag_range = b->users.range;
    st->ply_stat_flag_subclip = b->users.subclip;
    if (b->hooks->state_extra) b->hooks->state_extra(b, st, now);
    return 0;
}

void bus_ply_item_start_str(ply_list *ply, int index) {
    if (index < 0 || index >= ply->count()) return;
    mivrabox_event *e = ply->items[size_t(index)];
    struct timeval tv;
    char tc[TIME_TC_SIZE];
    time_ms2tv(e->start, &tv);
    time_tv2tc(&tv, tc);
    e->start_time = tc;
}

std::string bus_arl_path(const bus *b, int64_t start_ms) {
    time_t t = time_t(start_ms / 1000);
    struct tm tm = {};
    localtime_r(&t, &tm);
    char day[32];
    snprintf(day, sizeof(day), "%04d-%02d-%02d.", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return b->path.str() + "/" + day + b->arl_ext.str();
}

void bus_ply_item2arl(bus *b, int index, int64_t airing_sys_id) {
    std::lock_guard lk(b->lock);
    ply_list *ply = b->playlist;
    if (index < 0 || index >= ply->count()) return;
    const mivrabox_event *e = ply->items[size_t(index)];
    std::string line;
    mivrabox_event_format_append(e, line);
    line += '\n';
    std::string path = bus_arl_path(b, e->start);
    // One write of a whole line with O_APPEND: lines of several writers never interleave.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    ssize_t w = fd >= 0 ? write(fd, line.data(), line.size()) : -1;
    if (fd >= 0) close(fd);
    if (w != ssize_t(line.size())) {
        log_msg(LOG_ERROR, "%s: failed to append to file [%s]", "bus_ply_item2arl", path.c_str());
        return;
    }
    if (e->start_mode != 'G') return;
    // A gap filler airs again until the next fixed-time event.
    int f = -1;
    for (int i = index + 1; i < ply->count(); i++)
        if (ply->items[size_t(i)]->start_mode == 'F') {
            f = i;
            break;
        }
    if (f <= 0) return;
    // A copy in front of the event going to air would displace it, and one that starts in the
    // past would only be dropped as overdue.
    int airing = airing_sys_id > 0 ? ply_find_sys_id(ply, airing_sys_id) : -1;
    if (f <= airing) return;
    const mivrabox_event *prev = ply->items[size_t(f - 1)];
    int64_t end = prev->start + tc_frames2ms(mivrabox_event_duration(prev, 0));
    if (end < ply->items[size_t(f)]->start && end > bus_now_ms(b)) {
        line.pop_back();
        bus_ply_insert_event_by_idx(b, line.c_str(), f, nullptr);
    }
}

int bus_ply_name_path(const bus *b, const char *name, std::string &path) {
    if (!name || !path_name_ok(name)) return -22;
    // A file named with a line break or another control byte breaks line-based tools and the
    // XML of every reply that lists or names it.
    for (const char *p = name; *p; p++)
        if (static_cast<unsigned char>(*p) < 0x20) return -22;
    return path_join(path, b->path.view(), std::string(name) + ".ply");
}

void bus_save_proc(bus *b) {
    std::string path;
    bool path_ok = path_join(path, b->path.view(), b->current.view()) == 0;
    log_msg(LOG_INFO, "%s[%d] started", "bus_save_proc", b->index);
    if (!path_ok)
        log_msg(LOG_ERROR, "%s[%d] no usable current playlist path [%s/%s]", "bus_save_proc",
                b->index, b->path.c_str(), b->current.c_str());
    // The revision of the last successful save; none yet.
    std::optional<int> saved;
    while (!bus_sleep(b, 800)) {
        if (!path_ok) continue;
        if (play_near(b) && bus_sleep(b, kPlayClearMs)) break;
        ply_list *dup = nullptr;
        int rev = 0;
        {
            std::lock_guard lk(b->lock);
            rev = b->playlist->revision.load();
        }
        if (saved ? rev == *saved : rev == 0) continue;
        if (ply_new(&dup) < 0) continue;
        if (bus_ply_copy(b, 0, -1, dup, nullptr, &rev) < 0) {
            ply_free(&dup);
            continue;
        }
        log_msg(LOG_INFO, "%s[%d] saving ...", "bus_save_proc", b->index);
        for (int i = 0; i < dup->count(); i++) bus_ply_item_start_str(dup, i);
        char digest[PLY_DIGEST_SIZE] = "";
        int r = ply_save(dup, path.c_str(), b->hooks->saved ? digest : nullptr);
        ply_free(&dup);
        if (r >= 0) {
            saved = rev;
            // Only a save that worked names the file's content.
            if (b->hooks->saved)
                b->hooks->saved(b, digest);
            else
                log_msg(LOG_INFO, "%s[%d] saving done", "bus_save_proc", b->index);
        } else {
            // Not remembered: the next pass tries again.
            log_msg(LOG_ERROR, "%s[%d] saving [%s] failed, r=%d", "bus_save_proc", b->index,
                    path.c_str(), r);
        }
    }
    log_msg(LOG_INFO, "%s[%d] finished", "bus_save_proc", b->index);
}
