// Landscape reader: a schedule of fixed-column lines (".scx") becomes playlist events, with the
// types map (default layers and media folder per type letter) and the layers map (graphics
// template per layer and layer character).
#pragma once

#include <array>

#include "reader.h"

constexpr int LANDSCAPE_LAYERS = 16;

struct landscape_maps {
    // Graphics template of layer 1..16 shown as a layer character (by its unsigned byte value).
    std::array<std::array<text4k, 256>, LANDSCAPE_LAYERS> gfx;
    // Default layer string (16 characters) and media folder per type letter.
    std::array<text4k, 256> layers;
    std::array<text4k, 256> prefix;
};

typedef int (*landscape_write_event_cb)(landscape_maps *h, mivrabox_event *ev, void *user);

// 0 once the handle exists, whatever the map files hold; -22 for a null handle pointer; -12
// when memory runs out. Map problems are logged.
int landscape_init(landscape_maps **out, const char *types_map, const char *layers_map);
// 0 when the file was read to its end; the negated errno when it cannot be opened. Sets the
// timecode mode to pal. Each event is released when the callback returns.
int landscape_parse(landscape_maps *h, const char *path, void *reserved, void *user,
                    landscape_write_event_cb write_event);
int landscape_destroy(landscape_maps **h);
// Null restores the default hook (standard error).
int landscape_set_log_cb(reader_log_cb cb);
