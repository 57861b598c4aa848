#include "chyro.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "reader_gfx.h"
#include "tc.h"

namespace {

reader_log_slot g_log;

constexpr uint32_t kKeptIds =
    reader_id_bit(READER_P_CATEGORY2TYPE) | reader_id_bit(READER_P_APPEND_PATH) |
    reader_id_bit(READER_P_APPEND_TMPL) | reader_id_bit(READER_P_ASPECT) |
    reader_id_bit(READER_P_DTMF_OFFSET) | reader_id_bit(READER_P_NEWFIELD_SEP);

constexpr size_t kMaxTemplates = 128;

struct scale_mode {
    const char *scale;
    int mode;
};
constexpr scale_mode kScales[] = {
    {"25", TC_PAL}, {"50", TC_50}, {"30", TC_NTSC}, {"29.97", TC_NTSC_DF}};

#define TRACE(p, ...)                                                    \
    do {                                                                 \
        if ((p)->flags & READER_F_TRACE) reader_log(g_log, __VA_ARGS__); \
    } while (0)

void set_mode(const std::optional<std::string> &scale) {
    if (!scale) return;
    for (const scale_mode &s : kScales)
        if (*scale == s.scale) tc_setmode(s.mode);
}

// Letter of the table entry holding the category, else of the one holding "*", else 0.
int category_type(const chyro_params *p, const std::string &category) {
    for (const std::string &want : {category, std::string("*")}) {
        if (want.empty()) continue;
        for (size_t c = 0; c < p->category.size(); c++)
            if (p->category[c] == want) return int(c);
    }
    return 0;
}

void read_metadata(const chyro_params *p, mivrabox_event *ev, const xmlNode *meta) {
    TRACE(p, "\tmetadata\n");
    for (const xmlNode *c = meta->children; c; c = c->next) {
        if (c->type != XML_ELEMENT_NODE) continue;
        std::string text = xml_text(c);
        if (text.empty()) continue;
        TRACE(p, "\t\t[%s] => [%s]\n", xml_name(c), text.c_str());
        reader_meta_add(ev, xml_name(c), text);
    }
}

void read_file(const chyro_params *p, mivrabox_event *ev, const xmlNode *file) {
    TRACE(p, "\tfile\n");
    for (const xmlNode *c = file->children; c; c = c->next) {
        if (xml_is(c, "name")) {
            std::string name = xml_text(c);
            TRACE(p, "\t\tname=[%s]\n", name.c_str());
            ev->media_id = ev->media_id.str() + p->append_path.str() + "/" + name;
        } else if (xml_is(c, "path") && !(p->flags & READER_F_IGNORE_PATH)) {
            std::string path = xml_text(c);
            TRACE(p, "\t\tpath=[%s]\n", path.c_str());
            ev->media_id = path + ev->media_id.str();
        } else if (xml_is(c, "timecode")) {
            auto tcin = xml_prop(c, "tcin"), tcout = xml_prop(c, "tcout");
            auto dur = xml_prop(c, "duration");
            int in = reader_int(tcin), out = reader_int(tcout), len = reader_int(dur);
            TRACE(p, "\t\ttcin=[%s](%d),tcout=[%s](%d),duration=[%s](%d)\n", opt_c(tcin), in,
                  opt_c(tcout), out, opt_c(dur), len);
            // Sums in 64 bits: frame counts near the int limits must not wrap.
            int64_t last;
            if (p->flags & READER_F_TCOUT_CALC)
                last = int64_t(in) + len - 1;
            else if (p->flags & READER_F_TCOUT_INCLUDED)
                last = out;
            else
                last = int64_t(out) - 1;
            last = std::clamp<int64_t>(last, INT32_MIN, INT32_MAX);
            ev->mark_in = reader_tc(in);
            ev->mark_out = reader_tc(int(last));
            ev->duration = reader_tc(len);
            TRACE(p, "\t\tmark_in=[%s], mark_out=[%s], duration=[%s]\n", ev->mark_in.c_str(),
                  ev->mark_out.c_str(), ev->duration.c_str());
        }
    }
}

// Element text as written: the separator may stand at either end of a line.
std::string raw_text(const xmlNode *n) {
    xmlChar *v = xmlNodeGetContent(n);
    if (!v) return std::string();
    std::string s(reinterpret_cast<const char *>(v));
    xmlFree(v);
    return s;
}

// The pieces of an id-less line between the separators; an empty rest is dropped.
void split_line(const chyro_params *p, mivrabox_event *ev, const std::string &text,
                const std::string &tmpl, int n) {
    const std::string &sep = p->newfield_sep.str();
    size_t pos = 0;
    int k = 0;
    while (!sep.empty()) {
        size_t hit = text.find(sep, pos);
        if (hit == std::string::npos) break;
        std::string piece = text.substr(pos, hit - pos);
        TRACE(p, "\t\t\t[%s] => [%s]\n", reader_fmt("default_%d", k).c_str(), piece.c_str());
        reader_meta_add(ev, reader_fmt("%s_%d@%s#%d", "default", k++, tmpl.c_str(), n), piece);
        pos = hit + sep.size();
    }
    if (pos < text.size() || k == 0) {
        std::string piece = text.substr(pos);
        TRACE(p, "\t\t\t[%s] => [%s]\n", reader_fmt("default_%d", k).c_str(), piece.c_str());
        reader_meta_add(ev, reader_fmt("%s_%d@%s#%d", "default", k, tmpl.c_str(), n), piece);
    }
}

void read_lines(const chyro_params *p, mivrabox_event *ev, const xmlNode *gfx,
                const std::string &tmpl, int n) {
    for (const xmlNode *t = gfx->children; t; t = t->next) {
        if (!xml_is(t, "text")) continue;
        for (const xmlNode *l = t->children; l; l = l->next) {
            if (!xml_is(l, "line")) continue;
            std::string id = xml_prop(l, "id").value_or("");
            std::string text = raw_text(l);
            const char *key = id.empty() ? "default" : id.c_str();
            TRACE(p, "\t\t\t[%s@%s#%d] => [%s]\n", key, tmpl.c_str(), n, text.c_str());
            reader_meta_add(ev, reader_fmt("%s@%s#%d", key, tmpl.c_str(), n), text);
            if (id.empty()) split_line(p, ev, text, tmpl, n);
        }
    }
}

void read_events(const chyro_params *p, mivrabox_event *ev, const xmlNode *events) {
    TRACE(p, "\tevents\n");
    // The clip window as the event stands now: file comes before events.
    int64_t in = ev->mark_in.empty() ? 0 : tc_str2frames(ev->mark_in.c_str());
    int64_t out = ev->mark_out.empty() ? in + tc_str2frames(ev->duration.c_str())
                                       : tc_str2frames(ev->mark_out.c_str());
    std::vector<std::string> used;
    for (const xmlNode *g = events->children; g; g = g->next) {
        if (!xml_is(g, "event")) continue;
        auto start = xml_prop(g, "starttime"), end = xml_prop(g, "endtime");
        auto tmpl = xml_prop(g, "template");
        if (!tmpl || used.size() >= kMaxTemplates) continue;
        int64_t s = reader_int(start), e = reader_int(end);
        if (e <= in || s >= out) continue;
        std::string name = p->append_tmpl.str() + *tmpl;
        gfx_asset_add(ev, name);
        TRACE(p, "\t\ttemplate=[%s]\n", name.c_str());
        TRACE(p, "\t\tmetadatas:\n");
        int n = int(std::count(used.begin(), used.end(), name));
        std::string vin = reader_fmt("%lld", (long long)(std::max(s, in) - in));
        std::string vout = reader_fmt("%lld", (long long)(std::min(e, out) - in));
        TRACE(p, "\t\t\t[in@%s#%d] => [%s(%s)]\n", name.c_str(), n, vin.c_str(), opt_c(start));
        TRACE(p, "\t\t\t[out@%s#%d] => [%s(%s)]\n", name.c_str(), n, vout.c_str(), opt_c(end));
        reader_meta_add(ev, reader_fmt("in@%s#%d", name.c_str(), n), vin);
        reader_meta_add(ev, reader_fmt("out@%s#%d", name.c_str(), n), vout);
        used.push_back(name);
        read_lines(p, ev, g, name, n);
    }
}

void read_schedule(const chyro_params *p, const xmlNode *sched, bool first, void *user,
                   reader_write_event_cb write_event, chyro_open_day_cb open_day) {
    auto id = xml_prop(sched, "id"), mode = xml_prop(sched, "startmode");
    auto date = xml_prop(sched, "startdate"), start = xml_prop(sched, "starttime");
    auto scale = xml_prop(sched, "timescale");
    if (first) {
        if (open_day) open_day(time_t(date ? strtoll(date->c_str(), nullptr, 10) : 0), user);
        set_mode(scale);
    }
    reader_event_ptr ev(mivrabox_event_new());
    if (!ev) return;
    if (id) reader_meta_add(ev.get(), "chyro_event_id", *id);
    if (start) ev->start_time = reader_tc(reader_int(start));
    ev->start_mode = mode == "CLOCK" ? 'F' : mode == "MANUAL" ? 'M' : ' ';
    TRACE(p, "\nfound: \n\tstarttime=[%s][%s]\n\tstartmode=[%s]\n", opt_c(start),
          ev->start_time.c_str(), opt_c(mode));
    for (const xmlNode *c = sched->children; c; c = c->next) {
        if (xml_is(c, "program")) {
            ev->title = xml_text(c);
            TRACE(p, "\tprogram: [%s]\n", ev->title.c_str());
        } else if (xml_is(c, "DTMF")) {
            std::string dtmf = xml_text(c);
            if (dtmf.empty()) continue;
            TRACE(p, "\tDTMF=: [%s]\n", dtmf.c_str());
            if (dtmf.find('@') == std::string::npos)
                dtmf = reader_fmt("%s@%d", dtmf.c_str(), p->dtmf_offset);
            reader_meta_add(ev.get(), "DTMF", dtmf);
        } else if (xml_is(c, "category")) {
            std::string category = xml_text(c);
            ev->event_type = category_type(p, category);
            TRACE(p, "\tcategory: [%s]\n", category.c_str());
            if (p->flags & READER_F_CATEGORY_PATH) ev->media_id = "/" + category;
        } else if (xml_is(c, "metadata")) {
            read_metadata(p, ev.get(), c);
        } else if (xml_is(c, "file")) {
            read_file(p, ev.get(), c);
        } else if (xml_is(c, "events")) {
            read_events(p, ev.get(), c);
        }
    }
    if (p->aspect) ev->ar = *p->aspect;
    if (write_event) write_event(ev.get(), user);
}

}  // namespace

int chyro_create(chyro_params **out, int flags) {
    return reader_create(out, flags, kKeptIds);
}

int chyro_set_flag(chyro_params *p, int bits) {
    return reader_set_flag(p, bits);
}

int chyro_set_param(chyro_params *p, int id, const char *text) {
    return reader_set_param(p, id, text, g_log);
}

int chyro_set_param(chyro_params *p, int id, int value) {
    return reader_set_param(p, id, value);
}

int chyro_destroy(chyro_params **p) {
    return reader_destroy(p);
}

int chyro_set_log_cb(reader_log_cb cb) {
    reader_log_set(g_log, cb);
    return 0;
}

int chyro_parse(chyro_params *p, const char *path, void *user, reader_write_event_cb write_event,
                chyro_open_day_cb open_day) {
    if (!p) return -22;
    // The document is checked whole before any event goes out, then read one schedule at a time.
    const std::vector<xml_step> steps{{"chyro_playlist"}};
    std::optional<std::string> version;
    size_t found = 0;
    int r = xml_records(
        path, steps, [&](size_t, const xmlNode *root) { version = xml_prop(root, "version"); },
        nullptr, &found);
    if (r < 0) return r;
    if (!found) return -2;
    if (version != "1.9") {
        reader_log(g_log, "attr_version=[%s]\n", opt_c(version));
        return -22;
    }
    bool first = true;
    return xml_records(path, steps, nullptr, [&](const xmlNode *c) {
        if (!xml_is(c, "schedule")) return;
        read_schedule(p, c, first, user, write_event, open_day);
        first = false;
    });
}
