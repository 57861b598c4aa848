#include "reader_gfx.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>

#include "tc.h"

namespace {

constexpr std::string_view kVisible = ".visible=true";

std::string asset_name(const char *tmpl, const char *prefix, std::string_view name) {
    std::string s = tmpl ? tmpl : "";
    s += prefix ? prefix : "";
    s += name;
    return s;
}

void blanks_to_underscore(std::string &s) {
    for (char &c : s)
        if (c == ' ') c = '_';
}

}  // namespace

void gfx_asset_add(mivrabox_event *ev, std::string_view name) {
    std::string a = ev->assets.str();
    a += '+';
    a += name;
    ev->assets = a;
}

void gfx_layers_script(gfx_layers &t, std::string_view ext_param, int offset, bool trace,
                       reader_log_slot &log, const char *func) {
    gfx_layers::record rec;
    rec.offset = offset;
    int token = 0;
    size_t pos = 0;
    while (pos <= ext_param.size()) {
        size_t bar = ext_param.find('|', pos);
        if (bar == std::string_view::npos) bar = ext_param.size();
        std::string_view tok = ext_param.substr(pos, bar - pos);
        pos = bar + 1;
        if (tok.empty()) continue;
        // The first token names the script itself.
        if (token++ == 0) continue;
        size_t at = tok.find(kVisible);
        if (at == std::string_view::npos) {
            if (trace)
                reader_log(log, "%s: skipped[1] ExtendedParameter[%d]=[%.*s]>", func, token - 1,
                           int(tok.size()), tok.data());
            continue;
        }
        if (at + kVisible.size() != tok.size()) {
            std::string_view tail = tok.substr(at);
            if (trace)
                reader_log(log, "%s: skipped[2] ExtendedParameter, tail=[%.*s]>", func,
                           int(tail.size()), tail.data());
            continue;
        }
        std::string name(tok.substr(0, at));
        for (char &c : name) c = char(toupper((unsigned char)c));
        size_t i = 0;
        while (i < t.names.size() && t.names[i] != name) i++;
        if (i == t.names.size()) {
            if (t.names.size() >= GFX_LAYER_NAMES) continue;  // no bit left to tell it apart
            t.names.push_back(name);
        }
        rec.visible |= uint32_t(1) << i;
    }
    if (t.records.size() < GFX_LAYER_RECORDS) t.records.push_back(rec);
}

void gfx_layers_emit(const gfx_layers &t, mivrabox_event *ev, const char *tmpl,
                     const char *prefix) {
    for (size_t i = 0; i < t.names.size(); i++) {
        uint32_t bit = uint32_t(1) << i;
        std::string asset = asset_name(tmpl, prefix, t.names[i]);
        int n = 0;
        bool was = false;
        for (const gfx_layers::record &r : t.records) {
            bool is = r.visible & bit;
            if (is && !was) {
                gfx_asset_add(ev, asset);
                reader_meta_add(ev, reader_fmt("in@%s#%d", asset.c_str(), n),
                                reader_fmt("%d", r.offset));
            } else if (!is && was) {
                reader_meta_add(ev, reader_fmt("out@%s#%d", asset.c_str(), n),
                                reader_fmt("%d", r.offset));
                n++;
            }
            was = is;
        }
    }
}

gfx_scenario *gfx_scenario_add(gfx_scenarios &t, std::string_view name) {
    if (t.size() >= GFX_SCENARIOS) return nullptr;
    gfx_scenario &s = t.emplace_back();
    s.name = name.substr(0, text4k::capacity);
    return &s;
}

void gfx_change_add(gfx_scenario &s, std::string_view name, std::string_view value) {
    if (s.changes.size() >= GFX_CHANGES) return;
    s.changes.emplace_back(std::string(name.substr(0, text4k::capacity)),
                           std::string(value.substr(0, text4k::capacity)));
}

void gfx_scenarios_emit(const gfx_scenarios &t, mivrabox_event *ev, const char *tmpl,
                        const char *prefix) {
    std::vector<std::string> names;
    for (const gfx_scenario &s : t) {
        std::string name = s.name;
        blanks_to_underscore(name);
        int n = 0;
        for (const std::string &earlier : names) n += earlier == name;
        names.push_back(name);
        std::string asset = asset_name(tmpl, prefix, name);
        gfx_asset_add(ev, asset);
        reader_meta_add(ev, reader_fmt("in@%s#%d", asset.c_str(), n),
                        reader_fmt("%" PRId64, s.start));
        reader_meta_add(ev, reader_fmt("dur@%s#%d", asset.c_str(), n),
                        reader_fmt("%" PRId64, s.duration));
        for (const auto &[cname, value] : s.changes) {
            std::string key = cname;
            blanks_to_underscore(key);
            for (char &c : key)
                if (c == '.') c = '_';
            reader_meta_add(ev, reader_fmt("%s@%s#%d", key.c_str(), asset.c_str(), n), value);
        }
    }
}

void gfx_audio_map(mivrabox_event *ev, const xmlNode *branding, const char *wav_path, bool trace,
                   reader_log_slot &log, const char *func) {
    std::optional<std::string> aes[4];
    for (int i = 0; i < 4; i++) aes[i] = xml_prop(branding, reader_fmt("AES%d", i + 1).c_str());
    if (trace)
        reader_log(log, "%s: attr_AES = { %s, %s, %s, %s }", func, opt_c(aes[0]), opt_c(aes[1]),
                   opt_c(aes[2]), opt_c(aes[3]));
    std::string map = "01234567";
    for (int n = 1; n <= 4; n++) {
        const std::optional<std::string> &v = aes[n - 1];
        if (!v) continue;
        if (v->compare(0, 3, "AES") == 0) {
            // Only the four stereo pairs exist; another digit routes nothing.
            int k = v->size() > 3 ? (*v)[3] - '0' : 0;
            if (k < 1 || k > 4) continue;
            map[size_t(2 * (n - 1))] = char('0' + 2 * (k - 1));
            map[size_t(2 * (n - 1) + 1)] = char('0' + 2 * (k - 1) + 1);
        } else {
            reader_meta_add(ev, reader_fmt("STEREO_%d", n),
                            reader_fmt("%s/%s", wav_path ? wav_path : "", v->c_str()));
        }
    }
    ev->audio_map = map;
}

void gfx_subtitle(mivrabox_event *ev, const xmlNode *subtitle, reader_log_slot &log,
                  const char *func, int line) {
    const xmlNode *item = xml_child(subtitle, "TitleItem");
    if (!item) return;
    auto page = xml_prop(item, "Page");
    auto path = xml_prop(item, "Path");
    std::string key = "STL_" + (page ? *page : std::string());
    reader_log(log, "%s:%d %s=%s", func, line, key.c_str(), opt_c(path));
    reader_meta_add(ev, key, path ? *path : std::string());
}

void gfx_rebase_mark(text32 &mark, int origin, reader_log_slot &log, const char *func,
                     const char *what, int line) {
    if (mark.empty()) return;
    char buf[TC_TEXT_SIZE];
    tc_frames2str(tc_str2frames(mark.c_str()) - origin, buf);
    reader_log(log, "%s:%d %s [%s] -> [%s]", func, line, what, mark.c_str(), buf);
    mark = buf;
}
