// Calls of the playout engine (MivraIO.), its records, the UDP fast commands and the audio map
// helpers. Every call takes the engine's server URL first ("http://host:port/RPC2").
#pragma once

#include "mivra.h"

#include <cstddef>
#include <string>
#include <vector>

// Playout status; cleared by mivra_getstatus before anything is sent.
struct mivra_io_status {
    int status = 0;
    text4k name;
    text4k cookie;
    int loop = 0, clip_length = 0, clip_in = 0, clip_dur = 0, clip_pos = 0, clip_start = 0,
        clip_idx = 0, playlist_gen = 0, playlist_dur = 0, playlist_pos = 0, playlist_count = 0;
    double playlist_speed = 0;
    int rec_paused = 0, tc_frames = 0, tc_src = 0;
};

// A clip of the engine's playlist as PlaylistInsert2 and PlaylistAppend2 send it.
struct mivra_playlist_clip {
    text4k name;
    int in = 0, dur = 0;
    text4k overlay_name, overlay_pos, cookie, amap;
};

// An item of PlaylistItems: the clip (overlay_name, overlay_pos and amap stay empty), then its
// place in the playlist.
struct mivra_playlist_item : mivra_playlist_clip {
    int length = 0, pos = 0, start = 0, idx = 0, repeat = 0;
};

// Engine settings; mivra_io_settings_get leaves the fields the engine does not report alone.
struct mivra_io_settings {
    text4k playback_osd, playback_timecode_src, record_timecode_src, record_bitdepth,
        record_channels_map, MivraIO, mode, enc, record_producer_buffer, playback_consumer_preroll,
        playback_consumer_buffer, playback_consumer_prefill, playback_consumer_noscale;
    int record_channels_conf = 0, keyer = 0;
};

struct mivra_io_submode {
    int idx = 0;
    text4k name, desc;
};

// A video mode of SettingsGetModes with its sub-modes and on-screen displays.
struct mivra_io_mode {
    int idx = 0;
    text4k name, desc;
    std::vector<mivra_io_submode> submodes;
    std::vector<std::string> osds;
};

int mivra_getstatus(const char *url, mivra_io_status *status);
int mivra_play(const char *url);
int mivra_play_vari(const char *url, double speed);
int mivra_pause(const char *url);
int mivra_stop(const char *url);
int mivra_cue_play(const char *url);
int mivra_cue_play_with_data(const char *url, int data);
int mivra_record(const char *url);
// The last string is left out of the call when it is null: "(siis)" or "(sii)".
int mivra_cue_record_with_data(const char *url, const char *name, int a, int b, const char *extra);
// The second string is left out of the call when it is null: "(ss)" or "(s)".
int mivra_cue_record(const char *url, const char *name, const char *extra);
int mivra_record_next(const char *url, const char *name, const char *extra);
int mivra_record_pause(const char *url, int pause);
int mivra_playlist_clear(const char *url);
// The three optional strings are sent as "" when null.
int mivra_playlist_append(const char *url, const char *name, int in, int dur, const char *s1,
                          const char *s2, const char *s3);
int mivra_playlist_insert(const char *url, int position, const char *name, int in, int dur,
                          const char *s1, const char *s2, const char *s3);
int mivra_playlist_insert2(const char *url, int position, const mivra_playlist_clip *clip);
int mivra_playlist_append2(const char *url, const mivra_playlist_clip *clip);
// values: value_count strings, or a null-terminated array when value_count < 0 (null entries
// are skipped). Variables: var_count name/value pairs, or worked out from the null-terminated
// arrays when var_count < 0; pairs with a null name or value are skipped.
int mivra_playlist_insert_template(const char *url, int position, const char *name, int a, int b,
                                   int value_count, const char *const *values, int var_count,
                                   const char *const *var_names, const char *const *var_values,
                                   const char *extra);
int mivra_playlist_remove(const char *url, int index);
int mivra_playlist_repeat_clip(const char *url, int a, int b);
int mivra_playlist_resize_clip(const char *url, int a, int b, int c);
int mivra_playlist_move(const char *url, int a, int b);
int mivra_playlist_loop(const char *url, int on);
int mivra_playlist_seek_to(const char *url, int a, int b);
int mivra_playlist_seek(const char *url, int a);
int mivra_playlist_step(const char *url, int a);
// Fills gen, pos, idx (each may be null) and *items; returns the number of items decoded (the
// items before an undecodable one), the engine's negative "result", or -14.
int mivra_playlist_items(const char *url, int *gen, int *pos, int *idx,
                         std::vector<mivra_playlist_item> *items);
// List item function of PlaylistItems: appends to a std::vector<mivra_playlist_item>.
int mivra_playlist_items_iters(xmlrpc_env *env, xmlrpc_value *item, void *output, int n, int size);
// MivraIO.LibBasenameItem "(s)": see mivra_basename_item.
int mivra_io_basename_item(const char *url, const char *name, text4k *value, text4k *object,
                           int64_t *shm_id);
// 0 when every item decoded, the engine's negative "result", or -14.
int mivra_io_settings_get(const char *url, mivra_io_settings *settings);
// Replaces *modes; the number of modes, the engine's negative "result", or -14 (*modes empty).
int mivra_io_settings_get_modes(const char *url, std::vector<mivra_io_mode> *modes);
int mivra_io_settings_save(const char *url);
int mivra_io_settings_set_mode(const char *url, int a, int b);
int mivra_io_settings_set_mode2(const char *url, const char *a, const char *b);
int mivra_io_settings_set_value(const char *url, const char *name, const char *value);

// UDP fast commands to the engine at "host:port": the text and its NUL as one datagram.
// Returns the bytes sent, -22 for an unusable host:port, or a negated errno.
int mivra_udp_send(const char *hostport, const char *text);
int mivra_udp_play(const char *hostport);
int mivra_udp_pause(const char *hostport);
int mivra_udp_stop(const char *hostport);
int mivra_udp_record(const char *hostport);

// Audio channel configurations 0..7 and the channel maps printed with them.
int mivra_audio_conf_count();
const char *mivra_audio_conf_name(int n);
const char *mivra_audio_map_format(int n);
// Value of the map character at position: '0'-'9' are 0-9, 'A'-'Z' 10-35, anything else 0.
int mivra_audio_map_digit(int position, const char *map);
// Prints configuration n with the values digit(0)+1 .. digit(7)+1; "<unknown>" outside 0..7.
char *mivra_audio_map_print(char *buf, size_t size, int n, const char *map);
