#include "bxf.h"

#include <libxml/xmlversion.h>

#include <cerrno>
#include <new>
#include <optional>
#include <string>

namespace {

reader_log_slot g_log;

constexpr const char *kSrc = "bxf";
constexpr const char *kDoc = "bxf_parse";
constexpr const char *kEvent = "bxf_parse_ScheduledEvent";

// Log line with the "bxf:<func>:<line>" prefix; written whatever the flags.
#define BLOG(func, fmt, ...) reader_log(g_log, "%s:%s:%d " fmt, kSrc, func, __LINE__, ##__VA_ARGS__)

std::string value_of(const xmlNode *n) {
    std::optional<std::string> s = xml_content(n);
    return s ? *s : std::string();
}

struct event_walk {
    bxf_ctx *ctx;
    void *user;
    bxf_open_day_cb open_day;
    reader_event_ptr ev;
};

// Each returns false when the scheduled event breaks the structure and must be dropped.
bool read_content(const xmlNode *content) {
    for (const xmlNode *c = content->children; c; c = c->next) {
        BLOG(kEvent, "Content_child=%p, Content_child->name=[%s]", (const void *)c, xml_name(c));
        if (xml_is(c, "Name")) {
            BLOG(kEvent, "Content/Name=[%s]", value_of(c).c_str());
        } else if (xml_is(c, "ContentId")) {
            const xmlNode *h = c->children;
            if (!h) {
                BLOG(kEvent, "HouseNumber_node==NULL");
                return false;
            }
            if (!xml_is(h, "HouseNumber")) {
                BLOG(kEvent, "HouseNumber_node->name==[%s]", xml_name(h));
                return false;
            }
            BLOG(kEvent, "Content/ContentId/HouseNumber=[%s]", value_of(h).c_str());
        }
    }
    return true;
}

bool read_length(event_walk &w, const xmlNode *option, bool primary) {
    const xmlNode *d = xml_child(option, "Duration");
    if (!d) {
        BLOG(kEvent, "<Duration> not found");
        return false;
    }
    const xmlNode *sd = xml_child(d, "SmpteDuration");
    if (!sd) {
        BLOG(kEvent, "<SmpteDuration> not found");
        return false;
    }
    const xmlNode *tc = xml_child(sd, "SmpteTimeCode");
    if (!tc) {
        BLOG(kEvent, "<SmpteTimeCode> not found");
        return false;
    }
    std::string v = value_of(tc);
    BLOG(kEvent, "EventData/LengthOption/Duration/SmpteDuration/SmpteTimeCode=[%s]", v.c_str());
    if (primary) w.ev->duration = v;
    return true;
}

bool read_start(event_walk &w, const xmlNode *start, bool primary) {
    const xmlNode *dt = xml_child(start, "SmpteDateTime");
    if (!dt) {
        BLOG(kEvent, "<SmpteDateTime> not found");
        return false;
    }
    const xmlNode *tc = xml_child(dt, "SmpteTimeCode");
    if (!tc) {
        BLOG(kEvent, "<SmpteTimeCode> not found");
        return false;
    }
    std::string v = value_of(tc);
    std::optional<std::string> date = xml_prop(dt, "broadcastDate");
    BLOG(kEvent, "EventData/StartDateTime/SmpteDateTime/SmpteTimeCode=[%s]", v.c_str());
    BLOG(kEvent, "EventData/StartDateTime/SmpteDateTime[broadcastDate]=[%s]", opt_c(date));
    if (primary) w.ev->start_time = v;
    // Dates are reported only until the first event is out.
    if (w.ctx->events_written == 0 && w.open_day)
        w.open_day(date ? date->c_str() : nullptr, w.user);
    return true;
}

bool read_event_data(event_walk &w, const xmlNode *data) {
    std::optional<std::string> type = xml_prop(data, "eventType");
    bool primary = type && *type == "Primary";
    BLOG(kEvent, "Content_child=%p, Content_child->name=[%s], f_primary=%d", (const void *)data,
         xml_name(data), primary ? 1 : 0);
    BLOG(kEvent, "attr_eventType=[%s]", opt_c(type));
    if (!w.ev) {
        w.ev.reset(mivrabox_event_new());
        if (!w.ev) return false;
    }
    for (const xmlNode *c = data->children; c; c = c->next) {
        BLOG(kEvent, "node=%p, node->name=[%s]", (const void *)c, xml_name(c));
        if (xml_is(c, "EventTitle")) {
            std::string v = value_of(c);
            BLOG(kEvent, "EventData/EventTitle=[%s]", v.c_str());
            if (primary) w.ev->title = v;
        } else if (xml_is(c, "StartMode")) {
            std::string v = value_of(c);
            BLOG(kEvent, "EventData/StartMode=[%s]", v.c_str());
            if (primary) w.ev->start_mode = v == "Fixed" ? 'F' : ' ';
        } else if (xml_is(c, "EndMode")) {
            BLOG(kEvent, "EventData/EndMode=[%s]", value_of(c).c_str());
        } else if (xml_is(c, "LengthOption")) {
            if (!read_length(w, c, primary)) return false;
        } else if (xml_is(c, "StartDateTime")) {
            if (!read_start(w, c, primary)) return false;
        }
    }
    return true;
}

bool read_elements(event_walk &w, const xmlNode *elements) {
    for (const xmlNode *c = elements->children; c; c = c->next) {
        if (xml_is(c, "Content")) {
            BLOG(kEvent, "Content_child=%p, Content_child->name=[%s]", (const void *)c,
                 xml_name(c));
            if (!read_content(c)) return false;
        } else if (xml_is(c, "EventData")) {
            if (!read_event_data(w, c)) return false;
        } else {
            BLOG(kEvent, "Content_child=%p, Content_child->name=[%s]", (const void *)c,
                 xml_name(c));
            return false;
        }
    }
    return true;
}

void read_scheduled_event(bxf_ctx *ctx, const xmlNode *se, void *user,
                          reader_write_event_cb write_event, bxf_open_day_cb open_day) {
    event_walk w{ctx, user, open_day, nullptr};
    for (const xmlNode *c = se->children; c; c = c->next) {
        BLOG(kEvent, "ScheduleElements_node=%p, ScheduleElements_node->name=[%s]", (const void *)c,
             xml_name(c));
        if (!xml_is(c, "ScheduleElements") || !read_elements(w, c)) return;  // event dropped
    }
    if (!w.ev) return;
    if (write_event) write_event(w.ev.get(), user);
    ctx->events_written++;
}

}  // namespace

int bxf_init(bxf_ctx **out, int flags, const char *aspect, const char *category_path) {
    LIBXML_TEST_VERSION
    if (!out) return -EINVAL;
    bxf_ctx *ctx = new (std::nothrow) bxf_ctx;
    if (!ctx) return -ENOMEM;
    ctx->params.flags = flags;
    if (aspect && *aspect) ctx->params.aspect = std::string(aspect);
    if (category_path && *category_path)
        reader_load_category2type(&ctx->params, category_path, g_log, "bxf_init");
    *out = ctx;
    return 0;
}

int bxf_parse(bxf_ctx *ctx, const char *path, void *user, reader_write_event_cb write_event,
              bxf_open_day_cb open_day) {
    if (!ctx || !path) return -EINVAL;
    // Only the first child node counts at each level: an indented message has a text node there.
    // The document is checked whole before any event goes out, then read one event at a time.
    const std::vector<xml_step> steps{
        {"BxfMessage"}, {"BxfData", false, true}, {"Schedule", false, true}};
    const void *first[3] = {};
    std::string first_name[3];
    size_t found = 0;
    int r = xml_records(
        path, steps,
        [&](size_t level, const xmlNode *n) {
            first[level] = n;  // for the messages only: the node is gone by then
            first_name[level] = xml_name(n);
        },
        nullptr, &found);
    if (r < 0) return -EINVAL;
    if (found < 1) return -ENOENT;
    BLOG(kDoc, "BxfData_node=%p, BxfData_node->name=[%s]", first[1], first_name[1].c_str());
    if (found < 2) return -ENOENT;
    BLOG(kDoc, "Schedule_node=%p, Schedule_node->name=[%s]", first[2], first_name[2].c_str());
    if (found < 3) return -ENOENT;
    r = xml_records(path, steps, nullptr, [&](const xmlNode *c) {
        if (xml_is(c, "ScheduleName") || xml_is(c, "Channel")) return;
        if (!xml_is(c, "ScheduledEvent")) {
            BLOG(kDoc, "ScheduledEvent_node=%p, ScheduledEvent_node->name=[%s]", (const void *)c,
                 xml_name(c));
            return;
        }
        read_scheduled_event(ctx, c, user, write_event, open_day);
    });
    return r < 0 ? -EINVAL : 0;
}

int bxf_destroy(bxf_ctx **h) {
    if (!h) return -EINVAL;
    delete *h;
    *h = nullptr;
    return 0;
}

int bxf_set_log_cb(reader_log_cb cb) {
    reader_log_set(g_log, cb);
    return 0;
}
