// Cue and play on the two players of a bus: one asynchronous cue lane per player.
#include <unistd.h>

#include <string>
#include <string_view>

#include "box2_bus.h"
#include "log.h"
#include "mivra_io.h"
#include "oxtel_cmd.h"
#include "tc.h"

namespace {

using lock_t = std::lock_guard<bus_mutex>;

// Sources of the mixer: the two players, then the two live inputs.
constexpr int SRC_IO_A = 0, SRC_IO_B = 1, SRC_LIVE_0 = 2, SRC_LIVE_1 = 3;

// What a cue needs of an event, read under the bus lock: the control methods may change the
// event while the cue talks to the player.
struct cue_job {
    std::string media_id, origin, in, out, dur;
    int64_t sys_id = 0;
};

int live_source(std::string_view media_id) {
    if (media_id == "#0") return SRC_LIVE_0;
    if (media_id == "#1") return SRC_LIVE_1;
    return -1;
}

// Under the bus lock: the cue t is still the newest and its event did not go to air after it was
// handed over (a take may cue the event on air again).
bool cue_current(const box2_bus *b, const mivrabox_event *e, const box2_cue_ticket &t) {
    b->lock.assert_held();
    return b->cue_seq == t.seq && (t.was_playing || !(e->flags & MIVRABOX_F_PLAYING));
}

}  // namespace

int bus_io_async_cue_enqueu(box2_bus *b, mivrabox_event *e) {
    b->lock.assert_held();
    // The player that is not on air, or the live input.
    const int player = b->last_play_src == SRC_IO_B ? SRC_IO_A : SRC_IO_B;
    int src = live_source(e->media_id.view());
    if (src < 0) src = player;
    b->last_cue_src = src;
    const uint64_t seq = ++b->cue_seq;
    std::lock_guard lk(b->cue_mu);
    if (!bus_cue_flag_request(e))
        log_msg(LOG_ERROR, "%s[%d]: {%s} does not exist, but will force cue",
                "bus_io_async_cue_enqueu", b->index, e->media_id.c_str());
    log_msg(LOG_ERROR, "%s[%d]: {%s} sys_id=%ld", "bus_io_async_cue_enqueu", b->index,
            e->media_id.c_str(), long(e->sys_id));
    // A live input calls no player: any lane that is free does, the one of the player not on
    // air first.
    int lane = player;
    if (src >= SRC_LIVE_0 && b->cue_lanes[lane].busy && !b->cue_lanes[1 - lane].busy)
        lane = 1 - lane;
    // The lanes are ending: nothing would take it.
    if (b->cue_exit) return 0;
    // A cue not yet taken is replaced: only the newest matters.
    for (auto &l : b->cue_lanes)
        if (l.ev) mivrabox_event_unref(&l.ev);
    box2_bus::cue_lane &l = b->cue_lanes[lane];
    mivrabox_event_ref(e);
    l.ev = e;
    l.ticket = {seq, src, (e->flags & MIVRABOX_F_PLAYING) != 0};
    b->cue_cv.notify_all();
    return 0;
}

namespace {

cue_job job_of(box2_bus *b, const mivrabox_event *e) {
    cue_job j;
    lock_t lk(b->lock);
    j.media_id = e->media_id.str();
    j.origin = e->origin.str();
    j.in = e->mark_in.str();
    j.out = e->mark_out.str();
    j.dur = e->duration.str();
    j.sys_id = e->sys_id;
    return j;
}

// The cue on player src: stopped, paused at its new item and nothing else in its list.
int player_cue(box2_bus *b, int src, const cue_job &j) {
    const char *url = (src == SRC_IO_A ? b->io_a_url : b->io_b_url).c_str();
    const bus_cue_points pts = bus_cue_points_of(j.in.c_str(), j.out.c_str(), j.dur.c_str());
    const int c = pts.in, last = pts.last;
    // An in point without an end would give a negative length.
    int len = last - c < 0 ? 0 : last - c;
    const bus_answer_guard guard;
    mivra_stop(url);
    if (guard.answering()) mivra_cue_play(url);
    if (guard.answering()) mivra_pause(url);
    if (guard.answering()) mivra_playlist_loop(url, 0);
    int r = guard.answering()
                ? mivra_playlist_insert(url, 0, j.origin.c_str(), c, len, nullptr, nullptr, nullptr)
                : RESULT_NO_ANSWER;
    if (r < 0)
        log_msg(LOG_ERROR, "%s[%d]: mivra_playlist_insert(%s{%s}, %d, %d) failed, r=%d",
                "bus_io_cue", b->index, j.origin.c_str(), j.media_id.c_str(), c, last, r);
    else
        log_msg(LOG_INFO, "%s[%d]: %s{%s} cued (%d, %d), r=%d", "bus_io_cue", b->index,
                j.origin.c_str(), j.media_id.c_str(), c, last, r);
    return r;
}

}  // namespace

int bus_io_cue(box2_bus *b, mivrabox_event *e, const box2_cue_ticket &t) {
    const int src = t.src;
    const cue_job j = job_of(b, e);
    log_msg(LOG_INFO, "%s[%d]: media_id=[%s], e=%p", "bus_io_cue", b->index, j.media_id.c_str(),
            (void *)e);
    const int r = src == SRC_IO_A || src == SRC_IO_B ? player_cue(b, src, j) : 0;
    const uint64_t flag = r < 0 ? MIVRABOX_F_CUE_FAILED : MIVRABOX_F_CUED;
    // A cue that answered after the event went to air (played as cue failed), or after a newer
    // cue was handed over, would switch the mixer and the graphics away from what airs next.
    std::lock_guard cg(b->cue_cg_mu);
    auto left_aside = [&] {
        log_msg(LOG_INFO, "%s[%d]: {%s} sys_id=%ld answered too late, left aside", "bus_io_cue",
                b->index, j.media_id.c_str(), long(j.sys_id));
        return r;
    };
    {
        lock_t lk(b->lock);
        if (!cue_current(b, e, t)) return left_aside();
    }
    oxtel_select_mixer_input(&b->oxtel, 1, src);
    log_msg(LOG_INFO, "%s[%d]: bus->last_cue_src=%d", "bus_io_cue", b->index, src);
    // The graphics lookups end before the event's play is due (bus_cg_cue); an event taken or
    // overdue is played as soon as it is flagged, so they come first.
    bus_cg_cue(b, e);
    {
        lock_t lk(b->lock);
        if (!cue_current(b, e, t)) return left_aside();
        if (ply_find_sys_id(b->playlist, j.sys_id) == 0) {
            log_msg(LOG_INFO, "%s: top event, video_source=%d", "bus_io_cue", src);
            oxtel_select_mixer_input(&b->oxtel, 0, src);
            oxtel_send(&b->oxtel, -1, "U0", 2);
        }
        // Flags last: the scheduler plays as soon as it sees them, to the source and with the
        // graphics set above.
        e->flags |= flag;
        b->playlist->revision++;
    }
    return r;
}

int bus_io_play(box2_bus *b, mivrabox_event *e) {
    b->lock.assert_held();
    log_msg(LOG_INFO, "%s[%d]: last_cue_src=%d, last_play_src=%d, e=%p", "bus_io_play", b->index,
            b->last_cue_src, b->last_play_src, (void *)e);
    if (b->last_cue_src == SRC_IO_A || b->last_cue_src == SRC_IO_B) {
        const char *addr = (b->last_cue_src == SRC_IO_A ? b->io_a : b->io_b).c_str();
        int r = mivra_udp_play(addr);
        log_msg(LOG_INFO, "%s[%d]: sent play [%s], r=%d", "bus_io_play", b->index, addr, r);
    }
    // The engine starts after its delay; the graphics and the mixer follow it.
    if (b->io_delay > 0) usleep(useconds_t(b->io_delay) * 1000);
    bus_cg_play(b);
    oxtel_send(&b->oxtel, -1, "U1", 2);
    oxtel_select_mixer_input(&b->oxtel, 0, b->last_cue_src);
    oxtel_send(&b->oxtel, -1, "U0", 2);
    oxtel_select_mixer_input(&b->oxtel, 1, b->last_play_src);
    b->last_play_src = b->last_cue_src;
    e->flags |= MIVRABOX_F_ON_AIR;
    b->playlist->revision++;
    return 0;
}

void bus_io_async_cue_proc(box2_bus *b, int lane) {
    log_msg(LOG_INFO, "%s[%d]: entering", "bus_io_async_cue_proc", b->index);
    mivra_thread_bound(MIVRA_BOUND_PLAYER_MS);
    box2_bus::cue_lane &l = b->cue_lanes[lane];
    for (;;) {
        if (b->cue_exit) break;
        mivrabox_event *e;
        box2_cue_ticket t;
        {
            std::unique_lock lk(b->cue_mu);
            l.busy = false;
            b->cue_cv.wait(lk, [&] { return b->cue_exit.load() != 0 || l.ev != nullptr; });
            if (b->cue_exit) break;
            e = l.ev;  // its reference comes along
            l.ev = nullptr;
            t = l.ticket;
            l.busy = true;
        }
        {
            lock_t lk(b->lock);
            log_msg(LOG_INFO, "%s: sys_id=[%ld]", "bus_io_async_cue_proc", long(e->sys_id));
            // An event that left the playlist, or went to air while its cue waited for the lane,
            // needs it no more.
            if (ply_find_sys_id(b->playlist, e->sys_id) < 0 || !cue_current(b, e, t)) {
                mivrabox_event_unref(&e);
                continue;
            }
        }
        bus_io_cue(b, e, t);
        lock_t lk(b->lock);
        mivrabox_event_unref(&e);
    }
    log_msg(LOG_INFO, "%s[%d]: exiting", "bus_io_async_cue_proc", b->index);
}
