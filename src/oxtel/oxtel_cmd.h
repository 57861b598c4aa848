// Oxtel commands: the parser that turns a framed message into a call of one slot of a callback
// table, and the senders that queue the commands this system issues.
#pragma once

#include "oxtel.h"

using oxtel_cb_v = int (*)(void *user);
using oxtel_cb_i = int (*)(void *user, int a);
using oxtel_cb_ii = int (*)(void *user, int a, int b);
using oxtel_cb_iii = int (*)(void *user, int a, int b, int c);
using oxtel_cb_s = int (*)(void *user, const char *text);
using oxtel_cb_is = int (*)(void *user, int a, const char *text);
using oxtel_cb_iis = int (*)(void *user, int a, int b, const char *text);
using oxtel_cb_iiis = int (*)(void *user, int a, int b, int c, const char *text);
using oxtel_cb_iiiss = int (*)(void *user, int a, int b, int c, const char *key, const char *value);

// One slot per command, in slot order (0 to 48); an empty slot makes the parser log the command.
// Texts handed to a slot live only for the duration of the call.
struct oxtel_cbs {
    oxtel_cb_iiis UpdateTextField;            // 0: layer, box, flags, text
    oxtel_cb_ii RenderBox;                    // 1: layer, box
    oxtel_cb_i StartAnimation;                // 2: layer
    oxtel_cb_ii StopAnimation;                // 3: layer, flags
    oxtel_cb_v CutA;                          // 4
    oxtel_cb_v CutB;                          // 5
    oxtel_cb_v CutAB;                         // 6
    oxtel_cb_i FadeA;                         // 7: duration
    oxtel_cb_i FadeB;                         // 8: duration
    oxtel_cb_i FadeAB;                        // 9: duration
    oxtel_cb_ii CutKeyer;                     // 10: layer, direction
    oxtel_cb_iii CutABLayer;                  // 11: layer, direction, duration
    oxtel_cb_v EnquireVideoTallies;           // 12
    oxtel_cb_i EnableVideoTallies;            // 13: digit character minus '0'
    oxtel_cb_s QuerySubsequentFile;           // 14: name
    oxtel_cb_is QuerySubsequentFileResponse;  // 15: flag, name
    oxtel_cb_s QueryFirstFile;                // 16: name
    oxtel_cb_is QueryFirstFileResponse;       // 17: flag, name
    oxtel_cb_s EnquireFileInfo;               // 18: name
    oxtel_cb_i EraseStore;                    // 19: store
    oxtel_cb_i EnquireLoadImage;              // 20: layer
    oxtel_cb_is LoadImage;                    // 21: layer, name
    oxtel_cb_i RestartAnimation;              // 22: layer
    oxtel_cb_i EnquireLayerDatasourceList;    // 23: layer
    oxtel_cb_iiiss SetLayerDatasourceValue;   // 24: bit 0, bit 1, digit, key, value
    oxtel_cb_ii SelectAnimationFrame;         // 25: layer, frame
    oxtel_cb_ii SelectMixerInput;             // 26: mixer, input
    oxtel_cb_i EnquireMixerInput;             // 27: mixer
    oxtel_cb_is ImageLoadTally;               // 28: layer, name
    oxtel_cb_iii EnableVideoTalliesEx;        // 29: three digits
    oxtel_cb_i SetPGMDVEMode;                 // 30: mode
    oxtel_cb_iii LoadAndRunDVESequence;       // 31: sequence, value (1), value (3)
    oxtel_cb_ii RunDVESequence;               // 32: sequence, value (3)
    oxtel_cb_ii RunDVESequenceInReverse;      // 33: sequence, value (3)
    oxtel_cb_i SetPVWDVEMode;                 // 34: mode
    oxtel_cb_iii SetDVERoutingInput;          // 35: three values
    oxtel_cb_ii EnquireDVERoutingInput;       // 36: two values
    oxtel_cb_ii SetDVELoadAction;             // 37: value, action (3)
    oxtel_cb_i EnquireDVELoadAction;          // 38: value
    oxtel_cb_i SetDVEConfiguration;           // 39: configuration
    oxtel_cb_v EnquireDVEConfiguration;       // 40
    oxtel_cb_ii LoadDVESequenceWithAction;    // 41: sequence, action (3)
    oxtel_cb_ii EnquireDVESequenceName;       // 42: sequence, value (3)
    oxtel_cb_ii PlayDVESequence;              // 43: sequence, value (3)
    oxtel_cb_i EnableDVETallies;              // 44: value
    oxtel_cb_v EnquireDVETallies;             // 45
    oxtel_cb_iii DVESequenceTallies;          // 46: sequence, two values
    oxtel_cb_iis ResponseDVESequenceName;     // 47: sequence, value, name
    oxtel_cb_i TriggerMacro;                  // 48: macro
};

constexpr int OXTEL_CB_COUNT = 49;
static_assert(sizeof(oxtel_cbs) == OXTEL_CB_COUNT * sizeof(void *), "one pointer per slot");

// Decodes one framed message (NUL-terminated, length bytes) and calls its slot of table (which
// may be null). Returns the slot's result; the command's code after a log line when the slot is
// empty; -22 for a message that is no command.
int oxtel_cmd_parser_cb(const oxtel_cbs *table, void *user, const char *msg, int length);

// Number of command forms that accept the message (0 or 1 when the forms are disjoint), and the
// slot of the first one (-1 when none): a check for tests and fuzzing.
int oxtel_cmd_match(const char *msg, int length, int *slot);

// Senders: each queues one command to every peer (slot -1). Result of oxtel_send, or -22 for an
// argument out of range (layers, mixers, inputs and digits 0 to 15, boxes 0 to 255, keyer
// directions 0 to 2) or an empty template name.
int oxtel_enquire_video_tallies(oxtel_ctx *ctx);
int oxtel_enable_video_tallies(oxtel_ctx *ctx, int on);
int oxtel_enable_video_tallies_ex(oxtel_ctx *ctx, int a, int b, int c);
int oxtel_cut_keyer(oxtel_ctx *ctx, int layer, int direction);
int oxtel_enquire_mixer_input(oxtel_ctx *ctx, int mixer);
int oxtel_select_mixer_input(oxtel_ctx *ctx, int mixer, int input);
int oxtel_load_image(oxtel_ctx *ctx, int layer, const char *name);
int oxtel_update_text_field(oxtel_ctx *ctx, int layer, int box, int flags, const char *text);
int oxtel_render_box(oxtel_ctx *ctx, int layer, int box);
int oxtel_restart_animation(oxtel_ctx *ctx, int layer);
int oxtel_stop_animation(oxtel_ctx *ctx, int layer, int flags);
