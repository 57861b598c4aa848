#include "epg.h"

#include <libxml/parser.h>

#include <cstdio>
#include <cstring>
#include <new>

namespace {

const char *const kDays[] = {"DIMANCHE", "LUNDI",    "MARDI", "MERCREDI",
                             "JEUDI",    "VENDREDI", "SAMEDI"};
const char *const kMonths[] = {"JANVIER",   "FEVRIER", "MARS",     "AVRIL",
                               "MAI",       "JUIN",    "JUILLET",  "AOUT",
                               "SEPTEMBRE", "OCTOBRE", "NOVEMBRE", "DECEMBRE"};

// Local midnight of "%d-%d-%d"; numbers not read stay 0 and the calendar normalises them.
time_t tx_day(const std::string &text) {
    int year = 0, month = 0, day = 0;
    sscanf(text.c_str(), "%d-%d-%d", &year, &month, &day);
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    tm.tm_mday = day;
    tm.tm_mon = month - 1;
    tm.tm_year = year - 1900;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

std::string day_text(const struct tm &day) {
    // Out-of-range fields (a failed conversion) read as the all-zero day.
    const char *name = day.tm_wday >= 0 && day.tm_wday < 7 ? kDays[day.tm_wday] : kDays[0];
    const char *month = day.tm_mon >= 0 && day.tm_mon < 12 ? kMonths[day.tm_mon] : kMonths[0];
    return reader_fmt("%s %d %s", name, day.tm_mday, month);
}

void program(const xmlNode *prog, const struct tm &day, void *user,
             reader_write_event_cb write_event) {
    reader_event_ptr ev(mivrabox_event_new());
    if (!ev) return;
    ev->event_type = 'P';
    ev->start_mode = 'F';
    ev->media_id = "/assets/beinsports/epg_bg.mov";
    ev->mark_in = "00:00:00:00";
    ev->assets = "beinsports";
    reader_meta_add(ev.get(), "TX_DAY", day_text(day));
    for (const xmlNode *c = prog->children; c; c = c->next) {
        const char *name = nullptr;
        for (const char *n : {"START_TIME", "DURATION", "EVENEMENT_COMPL", "TITRE"})
            if (xml_is(c, n)) name = n;
        if (!name) continue;
        // An element without text sets nothing, as a missing one.
        std::optional<std::string> text = xml_content(c);
        if (!text || text->empty()) continue;
        if (!strcmp(name, "START_TIME")) {
            ev->start_time = *text + ":00:00";
        } else if (!strcmp(name, "DURATION")) {
            ev->mark_out = *text + ":00:00";
            ev->duration = *text + ":00:00";
        } else if (!strcmp(name, "TITRE")) {
            ev->title = *text;
        }
        reader_meta_add(ev.get(), name, *text);
    }
    if (write_event) write_event(ev.get(), user);
}

}  // namespace

int beinsports_epg_init() {
    LIBXML_TEST_VERSION
    return 0;
}

int beinsports_epg_cleanup() {
    xmlCleanupParser();
    xmlMemoryDump();
    return 0;
}

int beinsports_epg_parse(const char *path, void *, void *user, reader_write_event_cb write_event,
                         beinsports_epg_open_day_cb open_day) {
    try {
        // The document is checked whole before any event goes out, then read one program at a
        // time.
        const std::vector<xml_step> steps{{"EPG"}, {"BROADCAST_DAY", true}};
        size_t found = 0;
        int r = xml_records(path, steps, nullptr, nullptr, &found);
        if (r < 0) return r;
        if (!found) return -2;
        struct tm day;
        memset(&day, 0, sizeof day);
        r = xml_records(path, steps, nullptr, [&](const xmlNode *c) {
            if (xml_is(c, "TX_DAY")) {
                time_t t = tx_day(xml_content(c).value_or(""));
                if (open_day) open_day(t, user);
                struct tm local;
                if (localtime_r(&t, &local)) day = local;
            } else if (xml_is(c, "PROGRAM")) {
                program(c, day, user, write_event);
            }
        });
        return r < 0 ? r : 0;
    } catch (const std::bad_alloc &) {
        return -12;
    }
}
