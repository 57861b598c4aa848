// What the reader tests share: the sinks of a reader's callbacks (the events it hands on, the
// days it notes, the lines it logs) and a time zone set for one test.
#pragma once

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdlib>
#include <cstdio>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "mivrabox_event.h"

// Events kept with one reference each, released with the sink, and the days noted in the form
// the reader's day callback gives them.
template <class Day>
struct reader_sink {
    std::vector<mivrabox_event *> events;
    std::vector<Day> days;
    ~reader_sink() {
        for (mivrabox_event *ev : events) mivrabox_event_unref(&ev);
    }
    const mivrabox_event &at(size_t i) const { return *events.at(i); }
    // The pairs of event i by key.
    std::map<std::string, std::string> pairs(size_t i) const {
        std::map<std::string, std::string> m;
        for (const mivrabox_meta_pair &p : events.at(i)->pairs) m[p.key.str()] = p.value.str();
        return m;
    }
    // The pairs of event i in their order, repeated keys kept.
    std::vector<std::pair<std::string, std::string>> pair_list(size_t i) const {
        std::vector<std::pair<std::string, std::string>> v;
        for (const mivrabox_meta_pair &p : events.at(i)->pairs)
            v.emplace_back(p.key.str(), p.value.str());
        return v;
    }
};

// The readers' event callback: keeps ev, referenced, in the Sink user points at.
template <class Sink>
int keep_event_in(mivrabox_event *ev, void *user) {
    mivrabox_event_ref(ev);
    static_cast<Sink *>(user)->events.push_back(ev);
    return 0;
}

// The event callback of the readers that pass their handle along: it must be the Sink's own.
template <class Sink, class H>
int keep_handle_event_in(H *h, mivrabox_event *ev, void *user) {
    EXPECT_EQ(h, static_cast<Sink *>(user)->handle);
    return keep_event_in<Sink>(ev, user);
}

// The day callback of the readers that note a day as a time.
template <class Sink>
int note_time_in(time_t day, void *user) {
    static_cast<Sink *>(user)->days.push_back(day);
    return 0;
}

// Lines logged through capture_log; a test clears them before it looks.
inline std::vector<std::string> g_logged;

inline void capture_log(const char *fmt, va_list ap) {
    char buf[1024];
    vsnprintf(buf, sizeof buf, fmt, ap);
    g_logged.push_back(buf);
}

inline void quiet_log(const char *, va_list) {}

// Sets TZ for its lifetime, then puts back the value it had (or none).
class tz_scope {
   public:
    explicit tz_scope(const char *tz) {
        if (const char *old = getenv("TZ")) saved_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~tz_scope() {
        if (saved_)
            setenv("TZ", saved_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    tz_scope(const tz_scope &) = delete;
    tz_scope &operator=(const tz_scope &) = delete;

   private:
    std::optional<std::string> saved_;
};
