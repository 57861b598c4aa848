#include "sgt.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "file.h"
#include "reader_gfx.h"
#include "tc.h"

namespace {

reader_log_slot g_log;

constexpr uint32_t kKeptIds =
    reader_id_bit(READER_P_APPEND_PATH) | reader_id_bit(READER_P_APPEND_TMPL) |
    reader_id_bit(READER_P_EVS_PATH) | reader_id_bit(READER_P_PREPEND_EXT) |
    reader_id_bit(READER_P_WAV_PATH) | reader_id_bit(READER_P_LIVE_PATH);

struct title_type {
    const char *prefix;
    int type;
};
constexpr title_type kTitleTypes[] = {
    {"PUB ", 'C'},       {"JINGLES ", 'J'},     {"BILLBOARDS ", 'B'},
    {"HABILLAGE ", 'H'}, {"SPOTS ARCOM ", 'S'}, {"BANDES ANNONCES ", 'T'},
};

void sgt_log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void sgt_log(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    reader_vlog(g_log, fmt, ap);
    va_end(ap);
}

bool trace(const sgt_params *p) {
    return p->flags & READER_F_TRACE;
}

int frames(const std::optional<std::string> &tc) {
    return tc ? tc_str2frames(tc->c_str()) : 0;
}

std::string sub(const std::string &s, size_t pos, size_t len) {
    return pos < s.size() ? s.substr(pos, len) : std::string();
}

// "hh:mm:ss" and the milliseconds of a date or duration text, at 40 ms a frame.
std::string clock_tc(const std::optional<std::string> &text, size_t at, size_t ms_at) {
    if (!text) return std::string();
    int ms = atoi(sub(*text, ms_at, 3).c_str());
    char buf[64];
    snprintf(buf, sizeof buf, "%s:%.02d", sub(*text, at, 8).c_str(), ms / 40);
    return buf;
}

// Frames of a "dd/mm/yyyy hh:mm:ss:ff" text: the date counts 25 frames a second.
int64_t branding_frames(const std::optional<std::string> &start) {
    if (!start) return 0;
    int64_t day = reader_day(start->c_str(), "%d/%m/%Y");
    return day * 25 + tc_str2frames(sub(*start, 11, std::string::npos).c_str());
}

void habplt_branding(const sgt_params *p, mivrabox_event *ev, gfx_scenarios &scenarios,
                     const xmlNode *branding) {
    const char *fn = "sgt_parse_SecondaryEvents_HABPLT";
    auto start = xml_prop(branding, "Start");
    auto vitc = xml_prop(branding, "IDStartVITC");
    int64_t origin = branding_frames(start);

    if (vitc && *vitc != "00:00:00:00") {
        sgt_log("%s:%d IDStartVITC=%s", fn, 534, vitc->c_str());
        reader_meta_add(ev, "IDStartVITC", *vitc);
        int base = tc_str2frames(vitc->c_str());
        gfx_rebase_mark(ev->mark_in, base, g_log, fn, "mark_in", 545);
        gfx_rebase_mark(ev->mark_out, base, g_log, fn, "mark_out", 554);
    }
    gfx_audio_map(ev, branding, p->wav_path.c_str(), trace(p), g_log, fn);

    for (const xmlNode *c = branding->children; c; c = c->next) {
        if (xml_is(c, "Scenario")) {
            auto name = xml_prop(c, "Name");
            if (trace(p)) sgt_log("%s:%d Name=%s", fn, 599, opt_c(name));
            gfx_scenario *s = gfx_scenario_add(scenarios, name ? *name : std::string());
            if (!s) continue;
            s->start = branding_frames(xml_prop(c, "Start")) - origin;
            s->duration = frames(xml_prop(c, "Duration"));
            for (const xmlNode *ch = c->children; ch; ch = ch->next) {
                if (!xml_is(ch, "Change")) continue;
                auto cname = xml_prop(ch, "Name");
                auto path = xml_prop(ch, "Path");
                auto text = xml_prop(ch, "Text");
                if (trace(p))
                    sgt_log("%s:%d CHANGE Name=[%s], Text=[%s], Path=[%s]", fn, 618, opt_c(cname),
                            opt_c(text), opt_c(path));
                std::string value = text ? *text : path ? "/TODO/assets/evs/" + *path : "";
                gfx_change_add(*s, cname ? *cname : std::string(), value);
            }
        } else if (xml_is(c, "SubTitle")) {
            gfx_subtitle(ev, c, g_log, fn, 656);
        }
    }
}

// Finds the branding of a HAB-PLT secondary event in its evs file.
void habplt(const sgt_params *p, mivrabox_event *ev, gfx_scenarios &scenarios,
            const std::string &key) {
    // The key comes from the document: it may only name a file inside the evs folder.
    xml_doc_ptr doc;
    if (path_name_ok(key)) {
        std::string path = p->evs_path.str() + "/" + key + ".xml";
        doc = xml_read(path.c_str());
    }
    const xmlNode *root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    if (doc && !xml_is(root, "Branding")) {
        sgt_log("%s: Error: expected '%s' but xmlDocGetRootElement->name=[%s]",
                "sgt_evs_branding_lookup", "Branding", xml_name(root));
        root = nullptr;
    }
    if (!root) {
        sgt_log("%s: failed to find Branding with Key=[%s]", "sgt_parse_node_Lines", key.c_str());
        return;
    }
    habplt_branding(p, ev, scenarios, root);
}

void secondary(const sgt_params *p, mivrabox_event *ev, gfx_layers &layers,
               gfx_scenarios &scenarios, const xmlNode *n) {
    const char *fn = "sgt_parse_node_Lines";
    auto comp = xml_prop(n, "SevComponentType");
    auto name = xml_prop(n, "Name");
    auto offset_in = xml_prop(n, "OffsetIn");
    auto type = xml_prop(n, "Type");
    auto duration = xml_prop(n, "Duration");
    auto event_id = xml_prop(n, "EventId");
    std::string param = xml_text(xml_child(n, "Parameter"));
    std::string ext = xml_text(xml_child(n, "ExtendedParameter"));
    if (trace(p)) {
        sgt_log(
            "%s: <SecondaryEvents SevComponentType=[%s], Name=[%s], OffsetIn=[%s], "
            "Type=[%s], Duration=[%s], EventId=[%s]>",
            fn, opt_c(comp), opt_c(name), opt_c(offset_in), opt_c(type), opt_c(duration),
            opt_c(event_id));
        sgt_log("%s:      Parameter=[%s]", fn, param.c_str());
        sgt_log("%s:      ExtendedParameter=[%s]", fn, ext.c_str());
    }
    if (!type) return;
    if (*type == "HAB-SCRIPT") {
        const char *sfn = "sgt_parse_SecondaryEvents_HABSCRIPT";
        if (trace(p))
            sgt_log(
                "%s: Parameter=[%s], ExtendedParameter=[%s], attr_OffsetIn=[%s], "
                "attr_Duration=[%s]",
                sfn, param.c_str(), ext.c_str(), opt_c(offset_in), opt_c(duration));
        gfx_layers_script(layers, ext, frames(offset_in), trace(p), g_log, sfn);
    } else if (*type == "BLEU") {
        std::string asset = (p->append_tmpl.str() + "BLEU").substr(0, 127);
        gfx_asset_add(ev, asset);
        reader_meta_add(ev, "in@" + asset + "#0", std::to_string(frames(offset_in)));
        reader_meta_add(ev, "dur@" + asset + "#0", std::to_string(frames(duration)));
    } else if (*type == "HAB-PLT") {
        habplt(p, ev, scenarios, ext);
    }
}

void parse_line(const sgt_params *p, const xmlNode *lines, int index, const std::string &name,
                reader_write_event_cb write_event, void *user) {
    const char *fn = "sgt_parse_node_Lines";
    auto date = xml_prop(lines, "Date");
    auto format = xml_prop(lines, "RestitutionFormat");
    auto start_type = xml_prop(lines, "StartType");
    auto transition = xml_prop(lines, "TransitionType");
    auto duration = xml_prop(lines, "Duration");
    if (trace(p))
        sgt_log(
            "%s: <Lines{%5d} Date=[%s], RestitutionFormat=[%s], StartType=[%s], "
            "TransitionType=[%s], Duration=[%s]>",
            fn, index, opt_c(date), opt_c(format), opt_c(start_type), opt_c(transition),
            opt_c(duration));

    reader_event_ptr ev(mivrabox_event_new());
    if (!ev) return;
    ev->start_mode = start_type == "Clock" ? 'F' : start_type == "Manual" ? 'M' : ' ';
    ev->start_time = clock_tc(date, 11, 20);
    ev->duration = clock_tc(duration, 0, 9);

    gfx_layers layers;
    gfx_scenarios scenarios;
    for (const xmlNode *c = lines->children; c; c = c->next) {
        if (xml_is(c, "IdControlProtocol")) {
            auto tc_in = xml_prop(c, "TcIn");
            auto tc_out = xml_prop(c, "TcOut");
            auto idcp = xml_prop(c, "Idcp");
            if (trace(p))
                sgt_log("%s: <IdControlProtocol TcIn=[%s], TcOut=[%s], Idcp=[%s]>", fn,
                        opt_c(tc_in), opt_c(tc_out), opt_c(idcp));
            if (tc_in) ev->mark_in = *tc_in;
            if (tc_out) ev->mark_out = *tc_out;
            ev->media_id =
                p->append_path.str() + "/" + (idcp ? *idcp : std::string()) + p->prepend_ext.str();
        } else if (xml_is(c, "Live")) {
            std::string lname = xml_text(xml_child(c, "Name"));
            std::string desc = xml_text(xml_child(c, "Description"));
            ev->media_id = p->live_path.str() + "live.png";
            ev->event_type = 'L';
            reader_meta_add(ev.get(), "Live_Description", desc);
            reader_meta_add(ev.get(), "Live_Name", lname);
        } else if (xml_is(c, "Title")) {
            std::string title = xml_text(c);
            if (trace(p)) sgt_log("%s: <Title>=[%s]", fn, title.c_str());
            ev->title = title;
            for (const title_type &t : kTitleTypes) {
                if (!reader_type_unset(ev->event_type)) break;
                if (title.compare(0, strlen(t.prefix), t.prefix) == 0) ev->event_type = t.type;
            }
        } else if (xml_is(c, "EventId")) {
            std::string id = xml_text(c);
            if (trace(p)) sgt_log("%s: <EventId>=[%s]", fn, id.c_str());
            reader_meta_add(ev.get(), "sgt_event_id", id);
        } else if (xml_is(c, "SecondaryEvents")) {
            secondary(p, ev.get(), layers, scenarios, c);
        }
    }
    const char *prefix_script = (p->flags & READER_F_TMPL_TYPE) ? "HAB-SCRIPT_" : "";
    const char *prefix_plt = (p->flags & READER_F_TMPL_TYPE) ? "HAB-PLT_" : "";
    gfx_layers_emit(layers, ev.get(), p->append_tmpl.c_str(), prefix_script);
    gfx_scenarios_emit(scenarios, ev.get(), p->append_tmpl.c_str(), prefix_plt);
    reader_hand_over(ev.get(), "sgt_playlist_name", name.c_str(), write_event, user);
}

// Saves a branding element as its own document, replacing the file in one rename.
void save_branding(const sgt_params *p, const xmlNode *branding, const std::string &key) {
    const char *fn = "sgt_explode_evs";
    // The key comes from the document: it may only name a file inside the evs folder.
    if (!path_name_ok(key)) {
        sgt_log("%s: refused Branding Key=[%s]", fn, key.c_str());
        return;
    }
    std::string path = p->evs_path.str() + "/" + key + ".xml";
    sgt_log("%s: saving [%s]...", fn, path.c_str());
    xml_doc_ptr doc(xmlNewDoc(reinterpret_cast<const xmlChar *>("1.0")));
    if (!doc) return;
    xmlNode *copy = xmlDocCopyNode(const_cast<xmlNode *>(branding), doc.get(), 1);
    if (!copy) return;
    xmlDocSetRootElement(doc.get(), copy);
    xmlChar *mem = nullptr;
    int size = 0;
    xmlDocDumpMemoryEnc(doc.get(), &mem, &size, "utf-8");
    if (!mem) return;
    int r = file_write_atomic(path, std::string_view(reinterpret_cast<char *>(mem), size_t(size)));
    xmlFree(mem);
    if (r < 0) {
        sgt_log("%s: failed to save [%s], r=%d (%s)", fn, path.c_str(), r, strerror(-r));
        return;
    }
    if (trace(p)) sgt_log("%s: saved [%s]", fn, path.c_str());
}

// An evs playlist: every branding (also inside nested <Put> elements) becomes its evs file.
void explode_evs(const sgt_params *p, const char *path, const xmlDoc *doc) {
    const char *fn = "sgt_explode_evs";
    sgt_log("%s: xmlReadFile(%s)...", fn, path);
    const xmlNode *root = xmlDocGetRootElement(doc);
    if (!xml_is(root, "Playlist")) {
        sgt_log("%s: Failed to find <Playlist> tag in [%s]", fn, path);
        return;
    }
    for (const xmlNode *level = root; level;) {
        const xmlNode *put = nullptr;
        for (const xmlNode *c = level->children; c; c = c->next) {
            if (xml_is(c, "Put")) {
                sgt_log("%s: <Put> found", fn);
                put = c;
            } else if (xml_is(c, "Branding")) {
                auto key = xml_prop(c, "Key");
                auto id = xml_prop(c, "ID");
                if (!key || !id) {
                    sgt_log("%s: Failed to find attributes ID or Key at <Branding> tag", fn);
                    continue;
                }
                save_branding(p, c, *key);
            }
        }
        level = put;
    }
}

}  // namespace

int sgt_create(sgt_params **out, int flags) {
    return reader_create(out, flags, kKeptIds);
}

int sgt_set_flag(sgt_params *p, int bits) {
    return reader_set_flag(p, bits) < 0 ? -22 : 0;
}

int sgt_set_param(sgt_params *p, int id, const char *text) {
    return reader_set_param(p, id, text, g_log);
}

int sgt_set_param(sgt_params *p, int id, int value) {
    return reader_set_param(p, id, value);
}

int sgt_destroy(sgt_params **p) {
    return reader_destroy(p);
}

int sgt_set_log_cb(reader_log_cb cb) {
    reader_log_set(g_log, cb);
    return 0;
}

int sgt_parse(sgt_params *p, const char *path, void *user, reader_write_event_cb write_event,
              sgt_open_day_cb open_day) {
    if (!p) return -22;
    try {
        // The document is checked whole (and its header taken) before any event goes out, then
        // read one line at a time.
        const std::vector<xml_step> steps{
            {"Envelope"}, {"Body"}, {"ImportPlaylist"}, {"ImportPlaylist.Message"}, {"Playlist"}};
        const char *names[3] = {"Channel", "BroadcastDate", "Name"};
        std::optional<std::string> parts[3];
        size_t found = 0;
        int r = xml_records(
            path, steps, nullptr,
            [&](const xmlNode *c) {
                for (int i = 0; i < 3; i++)
                    if (!parts[i] && xml_is(c, names[i])) parts[i] = xml_text(c);
            },
            &found);
        if (r < 0) return r;
        if (!found) {
            // Not a playlist: an evs playlist, which is read whole.
            xml_doc_ptr doc = xml_read(path);
            if (!doc) return -22;
            if (trace(p))
                sgt_log("Error: expected 'Envelope' but xml_Envelope->name=[%s]",
                        xml_name(xmlDocGetRootElement(doc.get())));
            explode_evs(p, path, doc.get());
            return -2;
        }
        if (found < steps.size()) {
            if (trace(p)) sgt_log("Error: expected '%s' tag not found", steps[found].name);
            return -2;
        }
        for (int i = 0; i < 3; i++) {
            if (!parts[i]) {
                if (trace(p)) sgt_log("Error: expected '%s' tag not found", names[i]);
                return -2;
            }
        }
        const std::string &channel = *parts[0];
        const std::string &date = *parts[1];
        const std::string &name = *parts[2];
        if (trace(p)) {
            sgt_log("Notice: Channel=[%s]", channel.c_str());
            sgt_log("Notice: BroadcastDate=[%s]", date.c_str());
            sgt_log("Notice: Name=[%s]", name.c_str());
        }
        if (open_day)
            open_day(reader_day(date.c_str(), "%Y-%m-%d"), user, name.c_str(), channel.c_str());
        int index = 0;
        r = xml_records(path, steps, nullptr, [&](const xmlNode *c) {
            if (xml_is(c, "Lines")) parse_line(p, c, index++, name, write_event, user);
        });
        return r < 0 ? r : 0;
    } catch (const std::bad_alloc &) {
        return -12;
    }
}
