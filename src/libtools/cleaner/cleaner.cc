#include "cleaner.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <unordered_set>

#include "file.h"
#include "lib_listing.h"
#include "log.h"
#include "mivra.h"
#include "mivrabox_client.h"
#include "sig.h"
#include "text.h"

namespace {

const char *const kFn = "cleaner_run";
constexpr int kPresentList = 2;  // MivraBox.LibList: 0 queued, 1 absent, 2 present
constexpr int64_t kDay = 86400;

bool stopping(const cleaner_options *o) {
    return o->stop && o->stop->load() != 0;
}

// The library's fill as it reports it.
struct lib_fill {
    int64_t used = 0, total = 0;
    int pct = 0;
};

// The library's fill level in percent; a negative result when it cannot be judged (logged).
int read_usage(const cleaner_options *o, lib_fill *fill) {
    std::unique_ptr<mivra_lib_usage> u;
    int r = mivra_lib_disk_usage(o->lib_url.c_str(), &u);
    if (r < 0 || !u) {
        if (r >= 0) r = RESULT_NO_ANSWER;
        log_msg(LOG_ERROR, "%s: mivra_lib_state(%s) failed with r=%d", kFn, o->lib_url.c_str(), r);
        return r;
    }
    int pct = cleaner_usage_percent(u->used_space, u->total_space);
    // A library that reports no space gives nothing to judge by: deleting would be blind.
    if (pct < 0)
        log_msg(LOG_ERROR, "%s: library reports total space %lld, used %lld", kFn,
                (long long)u->total_space, (long long)u->used_space);
    *fill = lib_fill{u->used_space, u->total_space, pct};
    return pct;
}

// Refills every box's present list; the first failure ends the run, so that nothing a daemon
// may be using is deleted.
int read_boxes(cleaner_options *o) {
    for (cleaner_box &b : o->boxes) {
        int r = mivrabox_lib_list(b.url.c_str(), b.bus, kPresentList, &b.present, nullptr);
        if (r < 0) {
            log_msg(LOG_ERROR, "%s: mivrabox_lib_list(%s, %d, %d) failed with r=%d", kFn,
                    b.url.c_str(), b.bus, kPresentList, r);
            return r;
        }
        log_msg(LOG_INFO, "%s: mivrabox_lib_list(%s, %d, %d) read %d items", kFn, b.url.c_str(),
                b.bus, kPresentList, r);
    }
    return 0;
}

// 0, or the failure of the last folder that could not be read (the others are still read).
int read_items(const cleaner_options *o, std::vector<cleaner_item> &items) {
    int failed = 0;
    // A path listed twice (a library that repeats itself, a folder given twice) is judged and
    // deleted once.
    std::unordered_set<std::string> seen;
    for (const text4k &folder : o->paths) {
        if (stopping(o)) return failed;
        log_msg(LOG_INFO, "%s: reading [%s]", kFn, folder.c_str());
        lib_listing listing;
        for (int offset = 0; !stopping(o); offset += CLEANER_PAGE) {
            std::vector<mivra_lib_item> page;
            int r = mivra_lib_list_items2(o->lib_url.c_str(), folder.c_str(), offset, CLEANER_PAGE,
                                          &page);
            if (r < 0) {
                log_msg(LOG_ERROR, "%s: mivra_lib_list_items2(%s, %s, %d, %d) failed with %d", kFn,
                        o->lib_url.c_str(), folder.c_str(), offset, CLEANER_PAGE, r);
                failed = r;
                break;
            }
            if (r == 0) break;
            if (const char *why = listing.refuse(page)) {
                log_msg(LOG_ERROR, "%s: listing of [%s] ended at offset %d: %s", kFn,
                        folder.c_str(), offset, why);
                break;
            }
            // The listing already holds folder/name as each item's path.
            for (mivra_lib_item &it : page) {
                if (const char *why = cleaner_name_refused(it)) {
                    log_msg(LOG_ERROR, "%s: REFUSED [%s]: %s", kFn,
                            text_printable(it.path.view()).c_str(), why);
                    continue;
                }
                if (seen.insert(it.path.str()).second)
                    items.push_back(cleaner_item{std::move(it), 0, 0});
            }
            log_msg(LOG_INFO, "%s: read %d items, now %d items", kFn, r, int(items.size()));
        }
    }
    return failed;
}

// Keeps the candidates of items, logging why each other one is spared.
std::vector<cleaner_item> select_candidates(const cleaner_options *o,
                                            std::vector<cleaner_item> &items, time_t now) {
    std::vector<cleaner_item> out;
    for (cleaner_item &c : items) {
        if (stopping(o)) break;
        const std::string shown = text_printable(c.item.path.view());
        const char *path = shown.c_str();
        if (cleaner_busy(*o, path)) {
            log_msg(LOG_INFO, "%s: BUSY [%s]", kFn, path);
            continue;
        }
        int64_t cnt = 0, date = 0;
        bool cue_ok =
            mivra_lib_register_cue(o->lib_url.c_str(), c.item.path.c_str(), 1, &cnt, &date) >= 0;
        const char *why = "";
        switch (cleaner_judge(*o, &c, cue_ok, cnt, date, now, &why)) {
            case CLEANER_CANDIDATE:
                out.push_back(std::move(c));
                break;
            case CLEANER_FORCE_IGNORED:
                log_msg(LOG_INFO, "%s: FORCE IGNORED [%s]", kFn, path);
                break;
            case CLEANER_TOO_FRESH:
                log_msg(LOG_INFO, "%s: TOO FRESH [%s]", kFn, path);
                break;
            case CLEANER_IDLE_IGNORED:
                log_msg(LOG_INFO, "%s: IDLE IGNORED [%s]", kFn, path);
                break;
            case CLEANER_TOO_SHORT:
                log_msg(LOG_INFO, "%s: TOO SHORT [%s], (%f < %d)", kFn, path, c.item.duration_eff,
                        o->minimal_duration);
                break;
            case CLEANER_UNDATED:
                log_msg(LOG_ERROR, "%s: UNDATED [%s], %s: kept", kFn, path, why);
                break;
            case CLEANER_BUSY:
                break;
        }
    }
    return out;
}

// Appends one deleted path to the pass's list as a whole line; the deletion stands either way.
void list_deleted(const cleaner_options *o, time_t pass_time, const char *path) {
    std::string name = o->lists_folder.str() + "/" + std::to_string(long(pass_time)) + ".lst";
    unique_fd fd(open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    std::string line = std::string(path) + "\n";
    if (!fd || write(fd.get(), line.data(), line.size()) != ssize_t(line.size()))
        log_msg(LOG_ERROR, "%s: failed to list [%s] in [%s]: %s", kFn, path, name.c_str(),
                strerror(errno));
}

// Deletes oldest first while the library is over its limit. A library may account for a
// deletion late (or not while a player holds the file open), so the pass also counts what it
// deleted itself against the fill it started with, and stops on the lower of the two. 0, or the
// failure that stopped the deleting.
int delete_candidates(const cleaner_options *o, const std::vector<cleaner_item> &cands,
                       const lib_fill &start, time_t pass_time) {
    int64_t deleted = 0;
    for (const cleaner_item &c : cands) {
        if (stopping(o)) return 0;
        char when[32] = "";
        struct tm tm;
        time_t t = c.ref_time;
        if (gmtime_r(&t, &tm)) strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
        const std::string shown = text_printable(c.item.path.view());
        log_msg(LOG_INFO, "%s: DELETING [%s] [%s] was played %ld times", kFn, when, shown.c_str(),
                long(c.played));
        lib_fill now;
        int pct = read_usage(o, &now);
        if (pct < 0) return pct;
        if (deleted > 0) {
            int counted = cleaner_usage_percent(start.used - deleted, start.total);
            if (counted >= 0 && counted < pct) {
                log_msg(LOG_INFO,
                        "%s: library reports usage=%d%%, %lld deleted in this pass make it %d%%",
                        kFn, pct, (long long)deleted, counted);
                pct = counted;
            }
        }
        if (pct < o->lib_usage_limit) {
            log_msg(LOG_INFO, "%s: no more deleting, usage=%d%% < limit=%d%%", kFn, pct,
                    o->lib_usage_limit);
            return 0;
        }
        log_msg(LOG_INFO, "%s: library usage=%d%% >= limit=%d%%", kFn, pct, o->lib_usage_limit);
        if (!o->confirm_delete) continue;
        int r = mivra_lib_delete_item(o->lib_url.c_str(), c.item.path.c_str());
        if (r < 0) {
            log_msg(LOG_ERROR, "%s: mivra_lib_delete_item(%s, %s) failed with r=%d", kFn,
                    o->lib_url.c_str(), shown.c_str(), r);
            return r;
        }
        deleted += std::max<int64_t>(c.item.st_size, 0);
        list_deleted(o, pass_time, c.item.path.c_str());
    }
    return 0;
}

}  // namespace

int cleaner_usage_percent(int64_t used, int64_t total) {
    if (total <= 0) return -22;
    if (used <= 0) return 0;
    // 128 bits: used * 100 must not wrap for a library of any size.
    __int128 pct = __int128(used) * 100 / total;
    return int(std::min<__int128>(pct, 100000));
}

bool cleaner_busy(const cleaner_options &o, const char *path) {
    for (const cleaner_box &b : o.boxes)
        if (lib_object_list_find_origin(&b.present, path) >= 0) return true;
    return false;
}

cleaner_verdict cleaner_judge(const cleaner_options &o, cleaner_item *c, bool cue_ok,
                              int64_t cue_cnt, int64_t cue_date, time_t now, const char **why) {
    c->played = cue_ok ? cue_cnt : 0;
    int64_t ref, age;
    cleaner_verdict fresh;
    if (c->played > 0) {
        ref = cue_date;
        age = int64_t(o.age_played) * kDay;
        fresh = CLEANER_TOO_FRESH;
    } else {
        if (o.age_idle == 0) return CLEANER_FORCE_IGNORED;
        ref = std::max(c->item.st_mtime_, c->item.st_ctime_);
        age = int64_t(o.age_idle) * kDay;
        fresh = CLEANER_IDLE_IGNORED;
    }
    c->ref_time = time_t(ref);
    // Only an age that can be computed may cost the station a media: a date the library left
    // out, zero, ahead of the clock or near the end of time says nothing about it.
    const char *undated = nullptr;
    int64_t limit = 0;
    if (ref <= 0)
        undated = "no date";
    else if (ref > int64_t(now))
        undated = "dated in the future";
    else if (__builtin_add_overflow(ref, age, &limit))
        undated = "date out of range";
    if (undated) {
        if (why) *why = undated;
        return CLEANER_UNDATED;
    }
    if (int64_t(now) < limit) return fresh;
    if (c->item.duration_eff < double(o.minimal_duration)) return CLEANER_TOO_SHORT;
    return CLEANER_CANDIDATE;
}

const char *cleaner_name_refused(const mivra_lib_item &item) {
    if (!path_name_ok(item.name.view())) return "not a file name";
    if (text_has_control(item.name.view()) || text_has_control(item.path.view()))
        return "name holds a control character";
    return nullptr;
}

void cleaner_order(std::vector<cleaner_item> &candidates) {
    std::stable_sort(
        candidates.begin(), candidates.end(),
        [](const cleaner_item &a, const cleaner_item &b) { return a.ref_time < b.ref_time; });
}

int cleaner_pass(cleaner_options *o, bool *ends_run) {
    if (ends_run) *ends_run = false;
    log_msg(LOG_INFO, "%s: starting (age_idle=%d, age_played=%d, lib_usage_limit=%d)", kFn,
            o->age_idle, o->age_played, o->lib_usage_limit);
    lib_fill start;
    int pct = read_usage(o, &start);
    if (pct < 0) return pct;
    if (pct < o->lib_usage_limit) {
        log_msg(LOG_INFO, "%s: library usage is %d%% < %d%%, exiting ", kFn, pct,
                o->lib_usage_limit);
        return 0;
    }
    log_msg(LOG_INFO, "%s: library usage is %d%%", kFn, pct);
    int r = read_boxes(o);
    if (r < 0) {
        if (ends_run) *ends_run = true;
        return r;
    }

    std::vector<cleaner_item> items;
    int failed = read_items(o, items);
    if (!items.empty()) {
        time_t pass_time = time(nullptr);
        std::vector<cleaner_item> cands = select_candidates(o, items, pass_time);
        cleaner_order(cands);
        log_msg(LOG_INFO, "%s: -------------- starting deleting items ---------------", kFn);
        if (int d = delete_candidates(o, cands, start, pass_time); d < 0) failed = d;
    }
    log_msg(LOG_INFO, "%s: -------------- finished  ---------------", kFn);
    return failed;
}

int cleaner_run(cleaner_options *o) {
    mivra_init(CLEANER_PROGRAM, MIVRA_VERSION);
    int r = 0;
    while (!stopping(o)) {
        bool ends_run = false;
        r = cleaner_pass(o, &ends_run);
        if (ends_run || o->sleep_interval <= 0) break;
        log_msg(LOG_INFO, "%s: will sleep for %d seconds", kFn, o->sleep_interval);
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(o->sleep_interval);
        while (!stopping(o)) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            sig_wait_stop(int(std::min<int64_t>(left.count(), 100)));
        }
    }
    mivra_cleanup();
    return r;
}
