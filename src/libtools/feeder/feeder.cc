#include "feeder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "file.h"
#include "lib_local.h"
#include "log.h"
#include "mivra.h"
#include "mivra_lib.h"
#include "mivrabox_client.h"
#include "mivrabox_event.h"
#include "sig.h"
#include "text.h"

#define FEEDER_DEBUG(f, ...)                                  \
    do {                                                      \
        if ((f)->base.debug) log_msg(LOG_DEBUG, __VA_ARGS__); \
    } while (0)

namespace {

const char *const kRun = "watch_run";
const char *const kProbe = "probe_source";

bool stopping(const feeder_instance *f) {
    return f->stop && f->stop->load() != 0;
}

std::string_view last_element(std::string_view s) {
    size_t at = s.rfind('/');
    return at == std::string_view::npos ? s : s.substr(at + 1);
}

// Remote paths join with exactly one '/' between folder and name.
std::string remote_join(std::string_view folder, std::string_view name) {
    std::string out(folder);
    if (out.empty() || out.back() != '/') out += '/';
    out += name;
    return out;
}

// Appends a path to a source unless the table is full; false when it is.
bool add_path(feeder_source &src, std::string_view path, std::vector<std::string> *names) {
    if (src.paths.size() >= FEEDER_MAX_PATHS) return false;
    src.paths.emplace_back();
    src.paths.back().path = path;
    if (names) {
        src.paths.back().listed = true;
        src.paths.back().names = std::move(*names);
    }
    return true;
}

// Gathers the absent media of every daemon; a daemon that fails adds nothing.
void gather(feeder_instance *f, std::vector<feeder_event> &merged) {
    for (size_t i = 0; i < f->boxes.size() && !stopping(f); i++) {
        const feeder_box &b = f->boxes[i];
        log_msg(LOG_INFO, "%s: [%d] getting bus #%d of box %s", kRun, int(i), b.bus, b.url.c_str());
        mivrabox_event *list = nullptr;
        int r = mivrabox_errorflag_list_absent(b.url.c_str(), b.bus, &list, nullptr);
        log_msg(LOG_INFO, "%s: [%d] r=%d", kRun, int(i), r);
        for (int k = 0; list && k < r; k++) {
            // Such an id never becomes a local name, a probe path or a line of the absent list.
            if (const char *why = feeder_media_id_refused(list[k].media_id.view())) {
                log_msg(LOG_ERROR, "%s: [%d] media_id [%s] refused, %s", kRun, int(i),
                        text_printable(list[k].media_id.view()).c_str(), why);
                continue;
            }
            feeder_event ev;
            ev.media_id = list[k].media_id.view();
            ev.start_time = list[k].start_time.view();
            ev.start = list[k].start;
            merged.push_back(std::move(ev));
        }
        mivrabox_errorflag_list_free(&list);
    }
}

void run_deep_dives(feeder_instance *f, time_t now) {
    for (size_t j = 0; j < f->sources.size(); j++) {
        feeder_source &s = f->sources[j];
        if (s.type != FEEDER_SRC_PROBE || s.deep_dive == 0 || s.next_deep_dive > now) continue;
        s.next_deep_dive = now + FEEDER_DEEP_DIVE_EVERY;
        s.paths.resize(s.configured);
        log_msg(LOG_INFO, "%s: deep dive [%d/%d] started", kRun, int(j), s.deep_dive);
        int n = feeder_deep_dive(f, s, "/", s.deep_dive);
        log_msg(LOG_INFO, "%s: deep dive [%d/%d] added %d pathes", kRun, int(j), s.deep_dive, n);
    }
}

// Looks for one candidate in the paths of a source; true with *req filled when a request may
// be filed.
bool probe_candidate(feeder_instance *f, feeder_source &src, const feeder_event &ev,
                     const std::string &cand, mivra_ft_request *req) {
    std::string_view base = last_element(cand);
    for (size_t i = 0; i < src.paths.size() && !stopping(f); i++) {
        const feeder_path &p = src.paths[i];
        if (p.listed && std::find(p.names.begin(), p.names.end(), base) == p.names.end()) continue;
        std::string probe = remote_join(p.path.view(), base);
        FEEDER_DEBUG(f, "%s:%d: will probe mivra_filetransfer_probe(%s, %s, %s)", kProbe, 442,
                     f->transfer_url.c_str(), src.target.c_str(), probe.c_str());
        int64_t ptime = 0, psize = 0;
        int r = mivra_filetransfer_probe(f->transfer_url.c_str(), src.target.c_str(), probe.c_str(),
                                         &ptime, &psize);
        FEEDER_DEBUG(f, "%s: media_id=[%s], target=[%s], probe([%s])=%d", kProbe,
                     ev.media_id.c_str(), src.target.c_str(), probe.c_str(), r);
        if (r < 0) continue;
        log_msg(LOG_ERROR,
                "%s:%d: mivra_filetransfer_probe(%s, %s, %s): probe_time=%ld, "
                "probe_size=%ld",
                kProbe, 460, f->transfer_url.c_str(), src.target.c_str(), probe.c_str(),
                long(ptime), long(psize));
        time_t now = time(nullptr);
        if (!feeder_probe_stable(f, probe.c_str(), src.target.c_str(), ptime, psize, now)) continue;

        text4k local;
        const char *ext2 = src.basename_ext.empty() ? nullptr : src.basename_ext.c_str();
        r = mivra_lib_basename_item(f->transfer_url.c_str(), cand.c_str(), ext2, &local, nullptr,
                                    nullptr);
        FEEDER_DEBUG(f, "%s: mivra_lib_basename_item([%s])=%d, filename_local=[%s]", kProbe,
                     cand.c_str(), r, text_printable(local.view()).c_str());
        if (r >= 0) continue;  // already in the library
        // Without a local name from the library there is nowhere to put the file.
        if (ext2 && local.empty()) continue;
        // The transfer writes where the library's name points: only below the library's root.
        if (ext2) {
            if (const char *why =
                    lib_local_refused(local.str(), f->start_dir, {f->start_dir}, nullptr)) {
                log_msg(LOG_ERROR, "%s: local name [%s] of [%s] refused: %s", kProbe,
                        text_printable(local.view()).c_str(), cand.c_str(), why);
                continue;
            }
        }

        mivra_ft_request nr;
        nr.target = src.target.view();
        nr.f_import = 1;
        nr.f_delete = 0;
        nr.object_local = ext2 ? local.view() : std::string_view(cand);
        nr.object_remote = probe;
        feeder_req_cache_expire(f, now);
        int allowed = feeder_req_cache_allowed(f, nr);
        FEEDER_DEBUG(f, "%s: req_cache_allowed()=%d", kProbe, allowed);
        if (!allowed) continue;
        *req = nr;
        return true;
    }
    return false;
}

// Probes one event against one source; true when a request was made ready in *req.
bool probe_source(feeder_instance *f, size_t j, const feeder_event &ev, mivra_ft_request *req) {
    feeder_source &src = f->sources[j];
    FEEDER_DEBUG(f, "%s: probing source j=%d, type %d", kProbe, int(j), src.type);
    if (src.type != FEEDER_SRC_PROBE) return false;
    size_t before = src.paths.size();
    if (!src.paths_file.empty()) {
        std::vector<std::string> lines;
        if (feeder_paths_file_read(src.paths_file.c_str(), lines) < 0) {
            log_msg(LOG_ERROR, "%s: failed to load pathes from external file [%s]", kProbe,
                    src.paths_file.c_str());
        } else {
            int n = 0;
            for (const std::string &l : lines) n += add_path(src, l, nullptr) ? 1 : 0;
            FEEDER_DEBUG(f, "%s: loaded %d pathes from external file [%s]", kProbe, n,
                         src.paths_file.c_str());
        }
    }
    FEEDER_DEBUG(f, "%s: sources_list[%d].pathes_count=%d, pathes_count=%d", kProbe, int(j),
                 int(src.paths.size()), int(before));
    std::vector<std::string> cands = feeder_candidates(ev.media_id.str(), src.exts);
    FEEDER_DEBUG(f, "%s:%d: exts_count=[%d]", kProbe, 407, int(cands.size()));
    bool filed = false;
    for (const std::string &cand : cands) {
        if (stopping(f)) break;
        FEEDER_DEBUG(f, "%s:%d: instance->sources_list[%d].pathes_count=%d", kProbe, 413, int(j),
                     int(src.paths.size()));
        if ((filed = probe_candidate(f, src, ev, cand, req))) break;
    }
    // The paths-file lines are read again at every probe.
    src.paths.resize(before);
    return filed;
}

// Files the request and follows it until it ends, or until it made no progress for the stall
// bound: one transfer that never moves must not keep every other absent media waiting. It is
// cached whatever came of it.
void handle_request(feeder_instance *f, mivra_ft_request &req) {
    using steady = std::chrono::steady_clock;
    int id = mivra_filetransfer_request_add(f->transfer_url.c_str(), &req);
    FEEDER_DEBUG(f, "%s: mivra_filetransfer_request_add: r=%d", kRun, id);
    if (id >= 0) req.id = id;
    auto moved = steady::now();
    int state = -1, progress = -1;
    bool given_up = false;
    while (id >= 0 && !stopping(f)) {
        if (sig_wait_stop(1000)) break;
        mivra_ft_request got;
        int r = mivra_filetransfer_request_get(f->transfer_url.c_str(), id, &got);
        if (r == -2) {
            log_msg(LOG_INFO, "%s: ERROR! request %d was not found", kRun, id);
            break;
        }
        if (r < 0) {
            log_msg(LOG_INFO, "%s: NON FATAL ERROR (%d) for request %d", kRun, r, id);
        } else {
            if (got.state == 2 || got.state == 3) break;
            log_msg(LOG_INFO, "%s: request %d, state %d, progress %d", kRun, id, got.state,
                    got.progress);
            if (got.state != state || got.progress != progress) moved = steady::now();
            state = got.state;
            progress = got.progress;
        }
        if (steady::now() - moved >= std::chrono::seconds(f->stall_timeout)) {
            log_msg(LOG_ERROR, "%s: request %d made no progress for %d seconds, given up", kRun, id,
                    f->stall_timeout);
            given_up = true;
            break;
        }
        if (r < 0 && sig_wait_stop(5000)) break;
    }
    time_t now = time(nullptr);
    feeder_req_cache_expire(f, now);
    // A transfer given up may still be running at the service: the others get their turn
    // before it is asked for again.
    feeder_req_cache_keep(f, req, now,
                          given_up ? FEEDER_REQ_TTL + f->stall_timeout : FEEDER_REQ_TTL);
}

}  // namespace

void feeder_merge(std::vector<feeder_event> &events) {
    std::stable_sort(
        events.begin(), events.end(),
        [](const feeder_event &a, const feeder_event &b) { return a.start < b.start; });
    // A day's list holds tens of thousands of events: one look-up each.
    std::unordered_set<std::string> seen;
    for (feeder_event &ev : events)
        if (!ev.media_id.empty() && !seen.insert(ev.media_id.str()).second) ev.media_id.clear();
}

std::vector<std::string> feeder_candidates(const std::string &media_id,
                                           const std::vector<text4k> &exts) {
    std::vector<std::string> out;
    if (!media_id.empty() && media_id.back() == '#') {
        std::string stem = media_id.substr(0, media_id.rfind('#'));
        for (const text4k &e : exts) out.push_back(e.empty() ? stem : stem + "." + e.str());
    } else {
        out.push_back(media_id);
    }
    // A daemon's media id becomes a remote and a library path: it must stay below both.
    std::erase_if(out, [](const std::string &c) {
        std::string_view base = last_element(c);
        return base.empty() || base == "." || base == ".." || feeder_media_id_refused(c) != nullptr;
    });
    return out;
}

const char *feeder_media_id_refused(std::string_view media_id) {
    for (unsigned char c : media_id)
        if (c < 0x20 || c == 0x7f) return "it holds a control character";
    if (!media_id.empty() && media_id.front() == '/') return "it leaves the library folder";
    for (size_t at = 0; at <= media_id.size();) {
        size_t end = media_id.find('/', at);
        if (end == std::string_view::npos) end = media_id.size();
        if (media_id.substr(at, end - at) == "..") return "it leaves the library folder";
        at = end + 1;
    }
    return nullptr;
}

int feeder_paths_file_read(const char *file, std::vector<std::string> &out) {
    unique_file fp(fopen(file, "rt"));
    if (!fp) return -errno;
    std::string line;
    while (read_line(fp.get(), line)) {
        size_t cut = line.find_first_of("\r");
        if (cut != std::string::npos) line.resize(cut);
        cut = line.find('\t');
        if (cut != std::string::npos) line.resize(cut);
        if (!line.empty()) out.push_back(line);
    }
    return int(out.size());
}

bool feeder_probe_stable(feeder_instance *f, const char *path, const char *target, int64_t time,
                         int64_t size, time_t now) {
    auto &cache = f->probe_cache;
    for (size_t i = 0; i < cache.size(); i++) {
        feeder_probe_entry &e = cache[i];
        if (e.stamp == 0 || !(e.path == path) || !(e.target == target)) continue;
        log_msg(LOG_INFO, "%s:%d: probe_cache_item=%d", kProbe, 466, int(i));
        int64_t pt = e.time, ps = e.size;
        e.time = time;
        e.size = size;
        bool same = true;
        if (pt != time) {
            log_msg(LOG_INFO, "%s:%d: probe_time=%ld <> probe_time_prev=%ld", kProbe, 474,
                    long(time), long(pt));
            same = false;
        }
        if (ps != size) {
            log_msg(LOG_INFO, "%s:%d: probe_size=%ld <> probe_size_prev=%ld", kProbe, 477,
                    long(size), long(ps));
            same = false;
        }
        return same;
    }
    // A file is never taken on its first sight: it may still be arriving.
    size_t oldest = 0;
    for (size_t i = 1; i < cache.size(); i++)
        if (cache[i].stamp < cache[oldest].stamp) oldest = i;
    feeder_probe_entry &e = cache[oldest];
    e.stamp = now;
    e.time = time;
    e.size = size;
    e.path = path;
    e.target = target;
    log_msg(LOG_INFO, "%s:%d: probe_cache_item=%d", kProbe, 466, -2);
    return false;
}

void feeder_req_cache_expire(feeder_instance *f, time_t now) {
    for (feeder_req_entry &e : f->req_cache)
        if (e.stamp != 0 && now - e.stamp > e.ttl) e = feeder_req_entry{};
}

int feeder_req_cache_allowed(const feeder_instance *f, const mivra_ft_request &req) {
    for (const feeder_req_entry &e : f->req_cache)
        if (e.stamp != 0 && e.req.target == req.target && e.req.object_local == req.object_local)
            return 0;
    return 1;
}

void feeder_req_cache_keep(feeder_instance *f, const mivra_ft_request &req, time_t now, int ttl) {
    size_t slot = 0;
    for (size_t i = 0; i < f->req_cache.size(); i++) {
        if (f->req_cache[i].stamp == 0) {
            slot = i;
            break;
        }
        if (f->req_cache[i].stamp < f->req_cache[slot].stamp) slot = i;
    }
    f->req_cache[slot].stamp = now;
    f->req_cache[slot].ttl = ttl;
    f->req_cache[slot].req = req;
}

int feeder_absent_save(const feeder_instance *f) {
    log_msg(LOG_INFO, "%s: updating [%s]", "absent_list_save", f->absent_file.c_str());
    if (f->absent_file.size() < FEEDER_ABSENT_NAME_MIN) return 0;
    std::string text;
    for (const std::string &a : f->absent) text += a + "\r\n";
    // Readers see the old list or the whole new one, never a half-written file.
    int r = file_write_atomic(f->absent_file.str(), text);
    if (r < 0)
        log_msg(LOG_INFO, "%s: failed to open [%s], r=%d : %s", "absent_list_save",
                f->absent_file.c_str(), r, strerror(-r));
    return r;
}

int feeder_absent_clear(const feeder_instance *f) {
    log_msg(LOG_INFO, "%s: removing [%s]", "absent_list_clear", f->absent_file.c_str());
    if (f->absent_file.size() < FEEDER_ABSENT_NAME_MIN) return 0;
    if (unlink(f->absent_file.c_str()) != 0) {
        int r = -errno;
        log_msg(LOG_ERROR, "%s: unlink(%s)=%d", "absent_list_clear", f->absent_file.c_str(), r);
        return r;
    }
    return 0;
}

int feeder_absent_orphan(feeder_instance *f, const std::vector<feeder_event> &events) {
    log_msg(LOG_INFO, "%s: events_count=%d", "absent_list_orphan", int(events.size()));
    if (f->absent.empty()) return -2;
    std::unordered_set<std::string_view> named;
    for (const feeder_event &ev : events) named.insert(last_element(ev.media_id.view()));
    int removed = 0;
    std::erase_if(f->absent, [&](const std::string &item) {
        if (named.count(item)) return false;
        log_msg(LOG_INFO, "%s: item [%s] no more here", "absent_list_orphan", item.c_str());
        f->absent_index.erase(item);
        removed++;
        return true;
    });
    if (removed) {
        log_msg(LOG_INFO, "%s: orphaned %d items", "absent_list_orphan", removed);
        feeder_absent_save(f);
    }
    return removed;
}

int feeder_absent_confirm(feeder_instance *f, const feeder_event &ev) {
    std::string name(last_element(ev.media_id.view()));
    if (!f->absent_index.insert(name).second) return 0;
    f->absent.push_back(name);
    log_msg(LOG_INFO, "%s: new item=[%s]{%s}", "absent_list_confirm", name.c_str(),
            ev.media_id.c_str());
    return 1;
}

int feeder_deep_dive(feeder_instance *f, feeder_source &src, const std::string &path, int depth) {
    if (depth == 0 || stopping(f)) return 0;
    std::vector<std::string> names;
    int r =
        mivra_filetransfer_list(f->transfer_url.c_str(), src.target.c_str(), path.c_str(), &names);
    if (r < 0)
        log_msg(LOG_ERROR, "%s: mivra_filetransfer_list([%s], [%s]) failed, r=%d", "deep_dive",
                src.target.c_str(), path.c_str(), r);
    if (r <= 0) return 0;
    std::vector<std::string> dirs;
    for (const std::string &n : names)
        if (n.size() > 1 && n.back() == '/' && n != "./" && n != "../") dirs.push_back(n);
    if (!add_path(src, path, &names)) {
        log_msg(LOG_ERROR, "%s: path table of [%s] is full, [%s] left out", "deep_dive",
                src.target.c_str(), path.c_str());
        return 0;
    }
    FEEDER_DEBUG(f, "%s: [%d]=[%s], lim=%d", "deep_dive", int(src.paths.size()) - 1, path.c_str(),
                 depth);
    int added = 0;
    for (const std::string &d : dirs) added += feeder_deep_dive(f, src, path + d, depth - 1) + 1;
    return added;
}

void feeder_cycle(feeder_instance *f) {
    std::vector<feeder_event> merged;
    if (f->boxes.empty()) {
        log_msg(LOG_INFO, "%s: merged list has %d elements", kRun, 0);
        feeder_absent_orphan(f, merged);
        return;
    }
    gather(f, merged);
    log_msg(LOG_INFO, "%s: merged list has %d elements", kRun, int(merged.size()));
    if (merged.empty()) {
        feeder_absent_orphan(f, merged);
        return;
    }
    feeder_merge(merged);
    if (!f->sources.empty()) run_deep_dives(f, time(nullptr));
    feeder_absent_orphan(f, merged);

    mivra_ft_request req;
    bool filed = false;
    int added = 0;
    for (const feeder_event &ev : merged) {
        if (stopping(f) || filed) break;
        if (ev.media_id.empty()) continue;
        FEEDER_DEBUG(f, "%s: probing media_id=[%s], time=[%s]", kRun, ev.media_id.c_str(),
                     ev.start_time.c_str());
        for (size_t j = 0; j < f->sources.size() && !filed; j++)
            filed = probe_source(f, j, ev, &req);
        // A stop in the middle of probing proves nothing about the media.
        if (!filed && !stopping(f)) added += feeder_absent_confirm(f, ev);
    }
    // Once for the whole list: written per new item, a day's list would be written thousands of
    // times over.
    if (added) feeder_absent_save(f);
    if (filed) {
        handle_request(f, req);
        return;
    }
    // Nothing found: the remote folders may have changed, so dive again next time.
    for (feeder_source &s : f->sources)
        if (s.type == FEEDER_SRC_PROBE && s.deep_dive != 0) s.next_deep_dive = 0;
}

int watch_run(feeder_instance *f) {
    mivra_init(FEEDER_PROGRAM, MIVRA_VERSION);
    mivra_thread_bound(MIVRA_BOUND_TRANSFER_MS);
    mivra_reply_limit(FEEDER_REPLY_LIMIT);
    for (feeder_source &s : f->sources) s.configured = s.paths.size();
    feeder_absent_clear(f);
    while (!stopping(f)) {
        log_msg(LOG_INFO, "%s: Sleeping...", kRun);
        if (sig_wait_stop(3000) || stopping(f)) break;
        feeder_cycle(f);
    }
    f->absent.clear();
    f->absent_index.clear();
    mivra_cleanup();
    return 0;
}
