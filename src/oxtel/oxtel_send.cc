#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "oxtel_cmd.h"

namespace {

constexpr int kCmdSize = 4096;

bool digit_ok(int v) {
    return v >= 0 && v <= 15;
}
bool byte_ok(int v) {
    return v >= 0 && v <= 255;
}

// Formats one fixed-width command and queues it to every peer.
__attribute__((format(printf, 2, 3))) int send_fmt(oxtel_ctx *ctx, const char *fmt, ...) {
    char buf[32];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0 || n >= int(sizeof buf)) return -EINVAL;
    return oxtel_send(ctx, -1, buf, n);
}

}  // namespace

int oxtel_enquire_video_tallies(oxtel_ctx *ctx) {
    return oxtel_send(ctx, -1, "Y6", 2);
}

int oxtel_enable_video_tallies(oxtel_ctx *ctx, int on) {
    return oxtel_send(ctx, -1, on ? "Y61" : "Y60", 3);
}

int oxtel_enable_video_tallies_ex(oxtel_ctx *ctx, int a, int b, int c) {
    if (!digit_ok(a) || !digit_ok(b) || !digit_ok(c)) return -EINVAL;
    return send_fmt(ctx, "Y6%1x%1x%1x%1x%1x%02x%02x", a, b, c, 0, 0, 0, 0);
}

int oxtel_cut_keyer(oxtel_ctx *ctx, int layer, int direction) {
    // the device reads a direction of 0, 1 or 2 only
    if (!digit_ok(layer) || direction < 0 || direction > 2) return -EINVAL;
    return send_fmt(ctx, "3%1X %1X", layer, direction);
}

int oxtel_enquire_mixer_input(oxtel_ctx *ctx, int mixer) {
    if (!digit_ok(mixer)) return -EINVAL;
    return send_fmt(ctx, "UE%1X", mixer);
}

int oxtel_select_mixer_input(oxtel_ctx *ctx, int mixer, int input) {
    if (!digit_ok(mixer) || !digit_ok(input)) return -EINVAL;
    return send_fmt(ctx, "UE%1X%1X", mixer, input);
}

int oxtel_load_image(oxtel_ctx *ctx, int layer, const char *name) {
    // an empty name would turn the command into EnquireLoadImage
    if (!digit_ok(layer) || !name || !*name) return -EINVAL;
    char buf[kCmdSize];
    int n = snprintf(buf, sizeof buf, "R0%1x", layer);
    // escaped, so that a ':' in a name cannot end the command and start another
    n += oxtel_escape(buf + n, kCmdSize - n, name, 0);
    return oxtel_send(ctx, -1, buf, n);
}

int oxtel_update_text_field(oxtel_ctx *ctx, int layer, int box, int flags, const char *text) {
    if (!digit_ok(layer) || !byte_ok(box) || !digit_ok(flags)) return -EINVAL;
    char buf[kCmdSize];
    int n = snprintf(buf, sizeof buf, "Z0%1x%02x%1x", layer, box, flags);
    if (text && *text) n += oxtel_escape(buf + n, 4090, text, 0);
    return oxtel_send(ctx, -1, buf, n);
}

int oxtel_render_box(oxtel_ctx *ctx, int layer, int box) {
    if (!digit_ok(layer) || !byte_ok(box)) return -EINVAL;
    return send_fmt(ctx, "Z3%1x%02x", layer, box);
}

int oxtel_restart_animation(oxtel_ctx *ctx, int layer) {
    if (!digit_ok(layer)) return -EINVAL;
    return send_fmt(ctx, "S4%1x", layer);
}

int oxtel_stop_animation(oxtel_ctx *ctx, int layer, int flags) {
    if (!digit_ok(layer) || !digit_ok(flags)) return -EINVAL;
    return send_fmt(ctx, "S1%1X%1X", layer, flags);
}
