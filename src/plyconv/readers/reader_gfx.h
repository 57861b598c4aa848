// Graphics of one event, shared by the SGT and Adonis readers: the layer table of the script
// secondary events, the scenario table of the brandings, and the audio map of the AES attributes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reader.h"

constexpr size_t GFX_LAYER_NAMES = 32;  // one bit each in a record's set
constexpr size_t GFX_LAYER_RECORDS = 128;
constexpr size_t GFX_SCENARIOS = 128;
constexpr size_t GFX_CHANGES = 16;

struct gfx_layers {
    struct record {
        uint32_t visible = 0;  // bit i: names[i] shows
        int offset = 0;        // frames
    };
    std::vector<std::string> names;
    std::vector<record> records;
};

// Reads one script secondary event: the '|' tokens after the first that end in ".visible=true"
// name the visible layers; the record gets them with the offset.
void gfx_layers_script(gfx_layers &t, std::string_view ext_param, int offset, bool trace,
                       reader_log_slot &log, const char *func);
// Writes the in and out pairs of every layer and its assets (template, prefix, name).
void gfx_layers_emit(const gfx_layers &t, mivrabox_event *ev, const char *tmpl, const char *prefix);

struct gfx_scenario {
    std::string name;
    int64_t start = 0;                                         // frames from the branding's start
    int64_t duration = 0;                                      // frames
    std::vector<std::pair<std::string, std::string>> changes;  // at most GFX_CHANGES
};
using gfx_scenarios = std::vector<gfx_scenario>;

// Appends a scenario; null when the table is full.
gfx_scenario *gfx_scenario_add(gfx_scenarios &t, std::string_view name);
void gfx_change_add(gfx_scenario &s, std::string_view name, std::string_view value);
// Writes assets and the in, dur and change pairs, numbering repeated names.
void gfx_scenarios_emit(const gfx_scenarios &t, mivrabox_event *ev, const char *tmpl,
                        const char *prefix);

// audio_map from "01234567" and the AES1..AES4 attributes: "AES<k>" routes stereo pair k to the
// attribute's pair, any other value becomes a STEREO_<n> pair with the wav path.
// The attributes are read from the branding element; with trace they are logged first.
void gfx_audio_map(mivrabox_event *ev, const xmlNode *branding, const char *wav_path, bool trace,
                   reader_log_slot &log, const char *func);

// The first TitleItem of a SubTitle element becomes the pair "STL_<Page>" = Path (logged).
void gfx_subtitle(mivrabox_event *ev, const xmlNode *subtitle, reader_log_slot &log,
                  const char *func, int line);

// Moves a non-empty mark back by origin frames (logged as "<what> [old] -> [new]").
void gfx_rebase_mark(text32 &mark, int origin, reader_log_slot &log, const char *func,
                     const char *what, int line);

// Appends "+" and the asset name to the event's assets.
void gfx_asset_add(mivrabox_event *ev, std::string_view name);
