// What a cue of MivraBox1 asks its player, built from the event and what was gathered for it.
#include "box1_bus.h"

namespace {

// What "#LIVE..." stands for on this bus.
std::string source_of(const text4k *live, const mivrabox_event *e) {
    const std::string origin = e->origin.str();
    if (origin.size() == 6 && origin.compare(0, 5, "#LIVE") == 0 && origin[5] >= '0' &&
        origin[5] < '0' + BOX1_LIVE_SOURCES)
        return live[origin[5] - '0'].str();
    if (origin == "#LIVEX") return e->title.str();
    if (origin == "#LIVE-NDI") return "#freerun:ndi:" + e->title.str();
    return origin;
}

}  // namespace

std::string box1_cue_assets(const char *type_assets, const mivrabox_event *e) {
    std::string assets = type_assets ? type_assets : "";
    if (e->assets.c_str()[0] == '+')
        assets += e->assets.str();
    else if (!e->assets.empty())
        assets = e->assets.str();
    return assets;
}

box1_cue_request box1_cue_request_build(const mivrabox_event *e, std::vector<std::string> templates,
                                        std::vector<std::string> names,
                                        std::vector<std::string> values, const text4k *live) {
    box1_cue_request q;
    q.templates = std::move(templates);
    q.names = std::move(names);
    q.values = std::move(values);
    q.values.resize(q.names.size());
    for (const mivrabox_meta_pair &p : e->pairs) {
        q.names.push_back("current.meta." + p.key.str());
        q.values.push_back(p.value.str());
    }
    auto clip = [&q](const char *name, const text32 &v) {
        if (v.empty()) return;
        q.names.emplace_back(name);
        q.values.push_back(v.str());
    };
    clip("current.clip.ar", e->ar);
    clip("current.clip.audio_map", e->audio_map);
    clip("current.clip.audio_amp", e->audio_amp);
    const bus_cue_points pts =
        bus_cue_points_of(e->mark_in.c_str(), e->mark_out.c_str(), e->duration.c_str());
    q.in = pts.in;
    q.out = pts.last;
    q.source = source_of(live, e);
    return q;
}
