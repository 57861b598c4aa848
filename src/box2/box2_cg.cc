// Graphics side of a bus: its layers, its Oxtel link callbacks and the device's template listing.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "box2_bus.h"
#include "log.h"
#include "meta_resolve.h"
#include "tc.h"
#include "text.h"

const char *const cg_state_names[7] = {"NONE",    "LOADING",    "LOADED", "TEXTED",
                                       "STARTED", "LOOPED_OUT", "LAST"};

cg_item::~cg_item() {
    cg_chain rest = std::move(next);
    while (rest) rest = std::move(rest->next);
}

namespace {

using lock_t = std::lock_guard<bus_mutex>;

int resolve(const cg_item *it, int v) {
    return v < 0 ? v + it->ev_len : v;
}

const char *state_name(int s) {
    return s >= 0 && s <= CG_LAST ? cg_state_names[s] : "?";
}

cg_chain *chain_tail(cg_chain *head) {
    while (*head) head = &(*head)->next;
    return head;
}

// Outside text (template names, box texts, looked-up values, the device's answers) as it may
// stand in a log line.
std::string shown(std::string_view s) {
    return text_printable(s);
}

int read_int(const char *s) {
    long v = strtol(s, nullptr, 10);
    return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : int(v);
}

void send_boxes(box2_bus *b, int layer, const cg_item *it, const char *fn, bool play, int64_t f) {
    for (int j = 0; j < CG_BOXES; j++) {
        if (!it->box[j]) continue;
        if (play)
            log_msg(LOG_INFO, "%s: [%d] layer %d textbox %d <= [%s]", fn, b->index, layer, j,
                    shown(*it->box[j]).c_str());
        else
            log_msg(LOG_INFO, "%s: [%d]@%ld layer %d textbox %d => [%s]", fn, b->index, long(f),
                    layer, j, shown(*it->box[j]).c_str());
        oxtel_update_text_field(&b->oxtel, layer, j, 0, it->box[j]->c_str());
    }
}

bool image_loaded(box2_bus *b, int layer, const cg_item *it) {
    std::lock_guard lk(b->cg.tally_mu);
    return b->cg.image_tally[layer] == it->templ;
}

}  // namespace

// ---- items ----

int cg_item_start(const cg_item *it) {
    if (it->flags & CG_F_IN) return resolve(it, it->in);
    if ((it->flags & CG_F_OUT) && (it->flags & CG_F_DUR)) return resolve(it, it->out) - it->dur;
    return 0;
}

int cg_item_end(const cg_item *it) {
    if (it->flags & CG_F_OUT) return resolve(it, it->out);
    if ((it->flags & CG_F_IN) && (it->flags & CG_F_DUR)) return resolve(it, it->in) + it->dur;
    return 0;
}

void bus_cg_item_free(cg_chain *head) {
    if (head) head->reset();
}

int box2_cg_event_len(const mivrabox_event *e) {
    const bus_cue_points p =
        bus_cue_points_of(e->mark_in.c_str(), e->mark_out.c_str(), e->duration.c_str());
    // No length known: relative points stay unset.
    return p.known ? p.last - p.in + 1 : 0;
}

void bus_cg_cue_item_preps(box2_bus *, const mivrabox_event *e, int ev_len, cg_chain *next) {
    static const char *const name = "bus_cg_cue_item_preps";
    std::vector<std::string> seen;
    for (const std::string &templ : bus_assets_split(e->assets.view())) {
        int n = 0;
        for (const std::string &s : seen) n += s == templ;
        seen.push_back(templ);
        // A ':' would end the load command on the wire and start another.
        if (templ.find(':') != std::string::npos) {
            log_msg(LOG_ERROR, "%s: template [%s] holds ':', dropped", name, shown(templ).c_str());
            continue;
        }
        auto it = std::make_unique<cg_item>();
        it->templ = templ;
        it->ev_len = ev_len;
        std::string suffix = "@" + templ + "#" + std::to_string(n);
        for (int j = 0; j < CG_BOXES; j++) {
            const char *v = nullptr;
            std::string key = std::to_string(j) + suffix;
            if (mivrabox_event_meta_get(e, key.c_str(), &v) >= 0 && v) it->box[j] = v;
        }
        struct field {
            const char *prefix;
            int cg_item::*member;
            int flag;
        };
        static const field fields[] = {{"in", &cg_item::in, CG_F_IN},
                                       {"out", &cg_item::out, CG_F_OUT},
                                       {"dur", &cg_item::dur, CG_F_DUR},
                                       {"DSK", &cg_item::dsk, CG_F_DSK},
                                       {"LOOP_OUT", &cg_item::loop_out, CG_F_LOOP_OUT}};
        for (const mivrabox_meta_pair &p : e->pairs)
            for (const field &fd : fields)
                if (p.key.view() == fd.prefix + suffix) {
                    (*it).*fd.member = read_int(p.value.c_str());
                    it->flags |= fd.flag;
                }
        // Points counted back from the end need a known length.
        if (ev_len <= 0 && (it->flags & CG_F_IN) && it->in < 0) it->flags &= ~CG_F_IN;
        if (ev_len <= 0 && (it->flags & CG_F_OUT) && it->out < 0) it->flags &= ~CG_F_OUT;
        if (!(it->flags & CG_F_DSK) || it->dsk < 0 || it->dsk >= CG_LAYERS) {
            log_msg(LOG_ERROR, "%s: template [%s] has no DSK specified", name,
                    shown(templ).c_str());
            continue;
        }
        *chain_tail(&next[it->dsk]) = std::move(it);
    }
}

// ---- cue, play, idle ----

namespace {

// What a cue reads of the bus: copies of the events the graphics may read (bus_ply_reach_copy),
// the default assets' file and the lookup's settings and deadline.
struct cue_input {
    bus_reach r;
    std::string asset_path;
    whois_config wc;
};

int cue_input_take(box2_bus *b, const mivrabox_event *ev, cue_input &in) {
    if (int r = bus_ply_reach_copy(b, ev->sys_id, false, in.r); r < 0) return r;
    lock_t lk(b->lock);
    if (!b->default_asset.empty()) in.asset_path = b->path.str() + "/" + b->default_asset.str();
    in.wc.method = b->whois_method;
    for (int i = 0; i < 4; i++) in.wc.arg[i] = b->whois_arg[i];
    // Graphics still building when the play takes the lock are dropped: a lookup that ends
    // later is useless and would only hold up the cue of the next event. A manual event airs
    // when taken; only the transfer limits apply to it.
    const mivrabox_event *e = in.r.copy.p->items[0];
    if (e->start_mode != 'M' && e->start > 0) {
        int64_t left = e->start - b->io_delay - CG_CUE_MARGIN_MS - bus_now_ms(b);
        in.wc.deadline_ms = std::max<int64_t>(1, whois_clock_ms() + left);
    }
    return 0;
}

// The event's items, after those of the default assets for its type unless it names its own.
void cue_items_build(box2_bus *b, const mivrabox_event *e, const std::string &asset_path,
                     cg_chain *next) {
    int len = box2_cg_event_len(e);
    if (e->assets.empty() || e->assets.view()[0] == '+') {
        ply_holder defaults;
        if (!asset_path.empty() && asset_path.size() <= 4095 &&
            ply_load(&defaults.p, asset_path.c_str()) >= 0)
            for (const mivrabox_event *d : defaults.p->items)
                if (d->event_type == e->event_type) bus_cg_cue_item_preps(b, d, len, next);
    }
    bus_cg_cue_item_preps(b, e, len, next);
}

void log_texts(const char *name, const char *what, const std::vector<std::string> &v) {
    for (size_t k = 0; k < v.size(); k++)
        log_msg(LOG_INFO, "%s: %s[%d]=[%s]", name, what, int(k), shown(v[k]).c_str());
}

// The boxes' metadata keys looked up and replaced by their values.
void cue_boxes_fill(const char *name, cue_input &in, const std::vector<mivrabox_event *> &events,
                    cg_chain *next) {
    std::vector<std::string> keys;
    for (int l = 0; l < CG_LAYERS; l++)
        for (cg_item *it = next[l].get(); it; it = it->next.get())
            for (auto &box : it->box)
                if (box) meta_keys_collect(*box, keys);
    log_msg(LOG_INFO, "%s: metas.keys.count=%d", name, int(keys.size()));
    log_texts(name, "key", keys);
    if (keys.empty()) return;
    const std::vector<std::string> vals = mivrabox_event_meta_pairs_resolve(
        events[size_t(in.r.idx)], in.r.idx, in.r.count, events.data(), keys, &in.wc);
    log_msg(LOG_INFO, "%s: metas.vals.count=%d", name, int(vals.size()));
    log_texts(name, "val", vals);
    for (int l = 0; l < CG_LAYERS; l++)
        for (cg_item *it = next[l].get(); it; it = it->next.get())
            for (auto &box : it->box)
                if (box) *box = meta_keys_fill(*box, keys, vals);
}

}  // namespace

int bus_cg_cue(box2_bus *b, const mivrabox_event *ev) {
    static const char *const name = "bus_cg_cue";
    if (!b || !ev) return -22;
    try {
        cue_input in;
        if (int r = cue_input_take(b, ev, in); r < 0) return r;
        // Built privately and installed in one step below: a play never sees half a chain.
        std::vector<mivrabox_event *> events(size_t(in.r.count), nullptr);
        for (size_t k = 0; k < in.r.reach.size(); k++)
            events[size_t(in.r.reach[k])] = in.r.copy.p->items[k];
        cg_chain next[CG_LAYERS];
        cue_items_build(b, events[size_t(in.r.idx)], in.asset_path, next);
        cue_boxes_fill(name, in, events, next);

        lock_t lk(b->lock);
        for (int i = 0; i < CG_LAYERS; i++) {
            b->cg.next[i] = std::move(next[i]);
            const cg_item *it = b->cg.next[i].get();
            if (it)
                log_msg(LOG_INFO, "%s: [%d] NEXT, layer %d state %d (%s) templ=[%s]", name,
                        b->index, i, it->state, state_name(it->state),
                        shown(it->templ.view()).c_str());
        }
        b->cg.next_sys_id = ev->sys_id;
        return 0;
    } catch (...) {
        return -12;
    }
}

int bus_cg_play(box2_bus *b) {
    static const char *const name = "bus_cg_play";
    if (!b) return -22;
    lock_t lk(b->lock);
    // The next items go to air only with the event they were built for: it must be playing,
    // and no other event may be the one being played (playing, not on air yet).
    // Both are near the front: the look ends once it has met them, not at the playlist's end, and
    // without graphics waiting there is nothing to look for.
    const mivrabox_event *tagged = nullptr, *being_played = nullptr;
    const int64_t next = b->cg.next_sys_id;
    for (size_t i = 0; next != 0 && i < b->playlist->items.size(); i++) {
        const mivrabox_event *e = b->playlist->items[i];
        if (tagged && being_played) break;
        uint64_t f = e->flags;
        if (!tagged && e->sys_id == next) tagged = e;
        if (!being_played && (f & MIVRABOX_F_PLAYING) && !(f & MIVRABOX_F_ON_AIR)) being_played = e;
    }
    bool ours =
        tagged && (tagged->flags & MIVRABOX_F_PLAYING) && (!being_played || being_played == tagged);
    for (int i = 0; i < CG_LAYERS; i++) {
        bus_cg_item_free(&b->cg.current[i]);
        if (ours) b->cg.current[i] = std::move(b->cg.next[i]);
    }
    if (ours) b->cg.next_sys_id = 0;
    for (int i = 0; i < CG_LAYERS; i++) {
        cg_item *it = b->cg.current[i].get();
        if (!it) {
            log_msg(LOG_INFO, "%s: [%d] key off %d", name, b->index, i);
            oxtel_cut_keyer(&b->oxtel, i, 0);
            continue;
        }
        if (!image_loaded(b, i, it)) {
            it->state = CG_LOADING;
            log_msg(LOG_INFO, "%s: [%d] key off %d {%s}", name, b->index, i,
                    shown(it->templ.view()).c_str());
            oxtel_cut_keyer(&b->oxtel, i, 0);
            oxtel_load_image(&b->oxtel, i, it->templ.c_str());
        } else {
            log_msg(LOG_INFO, "%s: [%d] layer %d already loaded {%s}", name, b->index, i,
                    shown(it->templ.view()).c_str());
            send_boxes(b, i, it, name, true, 0);
            it->state = CG_TEXTED;
            oxtel_render_box(&b->oxtel, i, 255);
            int start = cg_item_start(it);
            if (box2_cg_key_tally(b, i) == 0) {
                if (start <= 0) {
                    log_msg(LOG_INFO, "%s: [%d] key on %d, restart anim", name, b->index, i);
                    it->state = CG_STARTED;
                    oxtel_restart_animation(&b->oxtel, i);
                    oxtel_cut_keyer(&b->oxtel, i, 1);
                }
            } else if (start > 0) {
                log_msg(LOG_INFO, "%s: [%d] key off %d", name, b->index, i);
                oxtel_cut_keyer(&b->oxtel, i, 0);
            }
        }
        log_msg(LOG_INFO, "%s: [%d] layer %d state %d (%s)", name, b->index, i, it->state,
                state_name(it->state));
    }
    return 0;
}

namespace {

// One step of the item on air on a layer at frame f of the event: false when it waits.
bool cg_step(box2_bus *b, int i, long f, const char *name) {
    const int ix = b->index;
    cg_item *it = b->cg.current[i].get();
    const int start = cg_item_start(it), end = cg_item_end(it);
    switch (it->state) {
        case CG_NONE:
            if (image_loaded(b, i, it)) {
                it->state = CG_LOADED;
                break;
            }
            log_msg(LOG_INFO, "%s: [%d]@%ld layer %d loading [%s]", name, ix, f, i,
                    shown(it->templ.view()).c_str());
            oxtel_load_image(&b->oxtel, i, it->templ.c_str());
            it->state = CG_LOADING;
            break;
        case CG_LOADING:
            if (!image_loaded(b, i, it)) return false;
            log_msg(LOG_INFO, "%s: [%d]@%ld layer %d loaded [%s]", name, ix, f, i,
                    shown(it->templ.view()).c_str());
            it->state = CG_LOADED;
            break;
        case CG_LOADED:
            send_boxes(b, i, it, name, false, f);
            it->state = CG_TEXTED;
            break;
        case CG_TEXTED:
            if (start >= 0 && f < start) return false;
            it->state = CG_STARTED;
            log_msg(LOG_INFO, "%s: [%d]@%ld restarting %d", name, ix, f, i);
            oxtel_render_box(&b->oxtel, i, 255);
            oxtel_restart_animation(&b->oxtel, i);
            oxtel_cut_keyer(&b->oxtel, i, 1);
            break;
        case CG_STARTED:
            if ((it->flags & CG_F_LOOP_OUT) && it->loop_out >= 0) {
                if (end <= 0 || f < end - it->loop_out) return false;
                log_msg(LOG_INFO, "%s: [%d]@%ld continuing %d", name, ix, f, i);
                oxtel_stop_animation(&b->oxtel, i, 0);
            }
            it->state = CG_LOOPED_OUT;
            break;
        case CG_LOOPED_OUT:
            if (end <= 0 || f < end) return false;
            log_msg(LOG_INFO, "%s: [%d]@%ld stopping %d", name, ix, f, i);
            oxtel_cut_keyer(&b->oxtel, i, 0);
            it->state = CG_LAST;
            break;
        default:
            // LAST: the chain's next item takes the layer from the next turn on.
            log_msg(LOG_INFO, "%s: [%d]@%ld cleaning %d", name, ix, f, i);
            b->cg.current[i] = std::move(it->next);
            return false;
    }
    return true;
}

}  // namespace

int bus_cg_idle(box2_bus *b) {
    static const char *const name = "bus_cg_idle";
    if (!b) return -22;
    lock_t lk(b->lock);
    const ply_list *ply = b->playlist;
    if (ply->count() == 0 || !(ply->items[0]->flags & MIVRABOX_F_PLAYING)) return -11;
    const long f = long((bus_now_ms(b) - ply->items[0]->start) / CG_FRAME_MS);
    for (int i = 0; i < CG_LAYERS; i++)
        while (b->cg.current[i] && cg_step(b, i, f, name)) {
        }
    return 0;
}

// ---- tallies and the link callbacks ----

int box2_cg_key_tally(box2_bus *b, int layer) {
    std::lock_guard lk(b->cg.tally_mu);
    return layer >= 0 && layer < CG_LAYERS ? b->cg.key_tally[layer] : 0;
}

namespace {

// A device reports its state at will: per link thread (one a bus), the first tallies of each
// second are logged, enough for a full report of every layer, the others counted.
log_quiet &tally_quiet() {
    thread_local log_quiet q("oxtel_cb_cmd", "more tallies not logged", 2 * CG_LAYERS + 8);
    return q;
}

int cb_cut_keyer(void *user, int layer, int dir) {
    box2_bus *b = static_cast<box2_bus *>(user);
    if (tally_quiet().speak()) log_msg(LOG_INFO, "tally %s: %d %d", "_CutKeyer", layer, dir);
    std::lock_guard lk(b->cg.tally_mu);
    if (layer >= 0 && layer < CG_LAYERS) b->cg.key_tally[layer] = dir;
    return 0;
}

int cb_image_load_tally(void *user, int layer, const char *text) {
    box2_bus *b = static_cast<box2_bus *>(user);
    if (tally_quiet().speak())
        log_msg(LOG_INFO, "tally %s: %d [%s]", "_ImageLoadTally", layer, shown(text).c_str());
    std::lock_guard lk(b->cg.tally_mu);
    if (layer < 0 || layer >= CG_LAYERS) return 0;
    if (text[0] == '>')
        b->cg.image_tally[layer].clear();
    else
        b->cg.image_tally[layer] = text;
    return 0;
}

int cb_nothing_i(void *, int) {
    return 0;
}

int cb_nothing_iii(void *, int, int, int) {
    return 0;
}

// One answer of the template listing; first clears what an earlier listing left.
int listing_answer(box2_bus *b, int flag, const char *text, bool first) {
    box2_tmpl_listing &t = b->tmpl;
    {
        std::lock_guard lk(t.mu);
        if (!t.busy) return 0;
        if (first) t.names.clear();
        if (flag != 1 && t.names.size() < 4096) t.names.emplace_back(text);
    }
    if (flag == 1)
        box2_tmpl_listing_end(b);
    else
        oxtel_send(&b->oxtel, -1, "R5$VIDEO", 8);
    return 0;
}

int cb_first_file(void *user, int flag, const char *text) {
    return listing_answer(static_cast<box2_bus *>(user), flag, text, true);
}

int cb_next_file(void *user, int flag, const char *text) {
    return listing_answer(static_cast<box2_bus *>(user), flag, text, false);
}

oxtel_cbs make_cbs() {
    oxtel_cbs t = {};
    t.CutKeyer = cb_cut_keyer;
    t.EnableVideoTallies = cb_nothing_i;
    t.QuerySubsequentFileResponse = cb_next_file;
    t.QueryFirstFileResponse = cb_first_file;
    t.ImageLoadTally = cb_image_load_tally;
    t.EnableVideoTalliesEx = cb_nothing_iii;
    return t;
}

}  // namespace

const oxtel_cbs bus_oxtel_cbs = make_cbs();

int oxtel_cb_cmd(oxtel_ctx *, int, void *user, char *msg, int len) {
    try {
        return oxtel_cmd_parser_cb(&bus_oxtel_cbs, user, msg, len);
    } catch (...) {
        return -12;
    }
}

int oxtel_cb_conn(oxtel_ctx *ctx, int state, void *user) {
    box2_bus *b = static_cast<box2_bus *>(user);
    log_msg(LOG_INFO, "%s: conn=%d", "oxtel_cb_conn", state);
    {
        std::lock_guard lk(b->cg.tally_mu);
        for (int i = 0; i < CG_LAYERS; i++) {
            b->cg.key_tally[i] = 0;
            b->cg.image_tally[i].clear();
        }
    }
    if (state == 1) {
        // The device then reports its current keyer and image state.
        oxtel_enable_video_tallies(ctx, 1);
        oxtel_enquire_video_tallies(ctx);
    }
    return 0;
}

void box2_cg_link_setup(box2_bus *b) {
    b->oxtel.data_cb = oxtel_cb_cmd;
    b->oxtel.conn_cb = oxtel_cb_conn;
}

int box2_cg_tmpl_request(box2_bus *b) {
    return oxtel_send(&b->oxtel, -1, "R4$VIDEO", 8);
}

void box2_tmpl_listing_end(box2_bus *b) {
    {
        std::lock_guard lk(b->tmpl.mu);
        b->tmpl.done = true;
    }
    b->tmpl.cv.notify_all();
}
