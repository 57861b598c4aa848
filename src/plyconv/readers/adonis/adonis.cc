#include "adonis.h"

#include <cstring>

#include "reader_gfx.h"
#include "tc.h"

namespace {

reader_log_slot g_log;

constexpr uint32_t kKeptIds =
    reader_id_bit(READER_P_APPEND_PATH) | reader_id_bit(READER_P_APPEND_TMPL) |
    reader_id_bit(READER_P_EVS_PATH) | reader_id_bit(READER_P_PREPEND_EXT) |
    reader_id_bit(READER_P_WAV_PATH) | reader_id_bit(READER_P_LIVE_PATH) |
    reader_id_bit(READER_P_GXF_TC_MIN) | reader_id_bit(READER_P_GXF_TC_MAX) |
    reader_id_bit(READER_P_GXF_DUR_MAX);

struct category_type {
    const char *category;
    int type;
};
constexpr category_type kCategoryTypes[] = {
    {"Bande-annonce", 'B'},
    {"Série", 'S'},
    {"Publicité (Spots)", 'P'},
    {"Publicité (Non spots)", 'N'},
    {"Habillage", 'H'},
    {"Générique fin", 'G'},
    {"Evénement non qualifié", 'E'},
    {"Film", 'F'},
    {"Jingle Publicité", 'J'},
    {"Programme", 'P'},
};

const char *const kBranding = "adonis_parse_node_Branding";
const char *const kHabPlt = "adonis_parse_SecondaryEvents_HABPLT";
const char *const kHabScript = "adonis_parse_SecondaryEvents_HABSCRIPT";

bool trace(const adonis_params *p) {
    return p->flags & READER_F_TRACE;
}

int frames(const std::optional<std::string> &tc) {
    return tc ? tc_str2frames(tc->c_str()) : 0;
}

// "/NAME" of ".../NAME.ext": from the last '/' on, cut at the last '.'.
std::string base_name(const char *path) {
    std::string s = path;
    size_t slash = s.rfind('/');
    if (slash != std::string::npos) s.erase(0, slash);
    size_t dot = s.rfind('.');
    if (dot != std::string::npos) s.resize(dot);
    return s;
}

// Media whose timecode lies in the GXF range start at their first frame.
void gxf_correct(const adonis_params *p, mivrabox_event *ev) {
    if (p->gxf_tc_min.empty() || p->gxf_tc_max.empty() || p->gxf_dur_max.empty()) return;
    const std::string &in = ev->mark_in.str();
    if (in < p->gxf_tc_min.str() || in > p->gxf_tc_max.str()) return;
    if (!(ev->duration.str() < p->gxf_dur_max.str())) return;
    reader_log(g_log, "%s:%d GXF_MEDIA_TIMECODE=%s detected", kBranding, 715, in.c_str());
    int origin = tc_str2frames(in.c_str());
    gfx_rebase_mark(ev->mark_in, origin, g_log, kBranding, "mark_in", 724);
    gfx_rebase_mark(ev->mark_out, origin, g_log, kBranding, "mark_out", 733);
}

void graphics(const adonis_params *p, mivrabox_event *ev, const xmlNode *branding) {
    reader_meta_add(ev, "IDStartVITC", "_");
    gfx_audio_map(ev, branding, p->wav_path.c_str(), trace(p), g_log, kHabPlt);

    gfx_layers layers;
    gfx_scenarios scenarios;
    for (const xmlNode *c = branding->children; c; c = c->next) {
        if (xml_is(c, "Secondary")) {
            if (xml_prop(c, "Type") != "BrixaOverlay") continue;
            auto param = xml_prop(c, "Param");
            auto ext = xml_prop(c, "ExtParam");
            auto mark_in = xml_prop(c, "MarkIn");
            auto duration = xml_prop(c, "Duration");
            if (trace(p))
                reader_log(g_log,
                           "%s: Parameter=[%s], ExtendedParameter=[%s], attr_OffsetIn=[%s], "
                           "attr_Duration=[%s]",
                           kHabScript, opt_c(param), opt_c(ext), opt_c(mark_in), opt_c(duration));
            gfx_layers_script(layers, ext ? *ext : std::string(), frames(mark_in), trace(p), g_log,
                              kHabScript);
        } else if (xml_is(c, "Scenario")) {
            auto name = xml_prop(c, "Name");
            if (trace(p)) reader_log(g_log, "%s:%d Name=%s", kHabPlt, 543, opt_c(name));
            gfx_scenario *s = gfx_scenario_add(scenarios, name ? *name : std::string());
            if (!s) continue;
            s->start = frames(xml_prop(c, "MarkIn"));
            s->duration = frames(xml_prop(c, "Duration"));
            for (const xmlNode *ch = c->children; ch; ch = ch->next) {
                if (!xml_is(ch, "Change")) continue;
                auto cname = xml_prop(ch, "Name");
                auto path = xml_prop(ch, "Path");
                auto tmpl = xml_prop(ch, "Template");
                auto text = xml_prop(ch, "Text");
                if (trace(p))
                    reader_log(g_log, "%s:%d CHANGE Name=[%s], Text=[%s], Path=[%s], Template=[%s]",
                               kHabPlt, 563, opt_c(cname), opt_c(text), opt_c(path), opt_c(tmpl));
                const std::optional<std::string> &value = text ? text : tmpl ? tmpl : path;
                gfx_change_add(*s, cname ? *cname : std::string(), value ? *value : std::string());
            }
        } else if (xml_is(c, "SubTitle")) {
            gfx_subtitle(ev, c, g_log, kHabPlt, 607);
        }
    }
    gfx_layers_emit(layers, ev, p->append_tmpl.c_str(), "");
    gfx_scenarios_emit(scenarios, ev, p->append_tmpl.c_str(),
                       (p->flags & READER_F_TMPL_TYPE) ? "HAB-PLT_" : "");
}

void parse_branding(const adonis_params *p, const xmlNode *b, const std::string &base,
                    reader_write_event_cb write_event, void *user) {
    auto src_fmt = xml_prop(b, "SrcFmt");
    auto category = xml_prop(b, "Category");
    auto key = xml_prop(b, "Key");
    auto id = xml_prop(b, "ID");
    auto title = xml_prop(b, "ScenarTitle");
    auto mark_in = xml_prop(b, "MarkIn");
    auto mark_out = xml_prop(b, "MarkOut");
    auto start = xml_prop(b, "Start");
    auto duration = xml_prop(b, "Duration");
    auto start_mode = xml_prop(b, "StartMode");

    reader_event_ptr ev(mivrabox_event_new());
    if (!ev) return;
    ev->start_mode = start_mode == "clock" ? 'F' : start_mode == "manual" ? 'M' : ' ';
    if (start && start->size() > 11) ev->start_time = std::string_view(*start).substr(11);
    if (duration) ev->duration = *duration;
    if (mark_in) ev->mark_in = *mark_in;
    if (mark_out) ev->mark_out = *mark_out;
    gxf_correct(p, ev.get());

    if (id == "Live:SDI_in") {
        ev->media_id = p->live_path.str() + "live.png";
        ev->event_type = 'L';
    } else {
        ev->media_id =
            p->append_path.str() + "/" + (id ? *id : std::string()) + p->prepend_ext.str();
    }
    if (title) ev->title = *title;
    if (category) {
        for (const category_type &t : kCategoryTypes) {
            if (!reader_type_unset(ev->event_type)) break;
            if (*category == t.category) ev->event_type = t.type;
        }
        reader_meta_add(ev.get(), "attr_Category", *category);
    }
    if (src_fmt == "4:3-1") ev->ar = "PAL43";
    reader_meta_add(ev.get(), "adonis_branding_key", key ? *key : std::string());
    graphics(p, ev.get(), b);
    reader_hand_over(ev.get(), "adonis_playlist_name", base.c_str(), write_event, user);
}

}  // namespace

int adonis_create(adonis_params **out, int flags) {
    return reader_create(out, flags, kKeptIds);
}

int adonis_set_flag(adonis_params *p, int bits) {
    return reader_set_flag(p, bits);
}

int adonis_set_param(adonis_params *p, int id, const char *text) {
    return reader_set_param(p, id, text, g_log);
}

int adonis_set_param(adonis_params *p, int id, int value) {
    return reader_set_param(p, id, value);
}

int adonis_destroy(adonis_params **p) {
    return reader_destroy(p);
}

int adonis_set_log_cb(reader_log_cb cb) {
    reader_log_set(g_log, cb);
    return 0;
}

int adonis_parse(adonis_params *p, const char *path, void *user, reader_write_event_cb write_event,
                 adonis_open_day_cb open_day) {
    if (!p) return -22;
    try {
        // The document is checked whole before any event goes out, then read one branding at a
        // time.
        const std::vector<xml_step> steps{{"Request"}, {"Put"}};
        std::optional<std::string> channel;
        size_t found = 0;
        int r = xml_records(
            path, steps,
            [&](size_t level, const xmlNode *n) {
                if (level == 0) channel = xml_prop(n, "Channel");
            },
            nullptr, &found);
        if (r < 0) return r;
        if (!found) {
            if (trace(p)) {
                // Only the message needs the other document's root: read whole for it alone.
                xml_doc_ptr doc = xml_read(path);
                reader_log(g_log, "Error: expected 'Request' but xml_Envelope->name=[%s]",
                           xml_name(doc ? xmlDocGetRootElement(doc.get()) : nullptr));
            }
            return -2;
        }
        if (found < steps.size()) {
            if (trace(p)) reader_log(g_log, "Error: expected '%s' tag not found", "Put");
            return -2;
        }
        std::string base = base_name(path);
        bool opened = false;
        r = xml_records(path, steps, nullptr, [&](const xmlNode *c) {
            if (!xml_is(c, "Branding")) return;
            if (!opened && open_day) {
                auto start = xml_prop(c, "Start");
                open_day(reader_day(start ? start->c_str() : "", "%d/%m/%Y"), user, base.c_str(),
                         channel ? channel->c_str() : "");
            }
            opened = true;
            parse_branding(p, c, base, write_event, user);
        });
        return r < 0 ? r : 0;
    } catch (const std::bad_alloc &) {
        return -12;
    }
}
