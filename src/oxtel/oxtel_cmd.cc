#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>

#include "log.h"
#include "oxtel_cmd.h"
#include "text.h"

namespace {

constexpr int kTextSize = 8192;

// ---- command forms as data ----

enum class fk : uint8_t {
    end,   // no more fields
    lit,   // one literal character
    hex,   // n checked hex digits
    opt,   // up to n unchecked hex digits (a non-digit counts 0); none gives the default
    chr,   // one checked hex digit, valued as its character code minus '0'
    dir,   // '0', '1' or '2'
    flag,  // '0' or '1'
    bits,  // one checked hex digit giving two values: its bit 0 and its bit 1
    skip,  // up to n characters of any kind, ignored
    text,  // the rest, unescaped
    kv,    // the rest as key '|' value, each unescaped; the key is not empty
};

struct fld {
    fk k = fk::end;
    uint8_t n = 0;
    int16_t def = 0;  // opt: value when absent; lit: the character
};

constexpr fld H(int n) {
    return {fk::hex, uint8_t(n), 0};
}
constexpr fld O(int n, int def) {
    return {fk::opt, uint8_t(n), int16_t(def)};
}
constexpr fld L(char c) {
    return {fk::lit, 1, int16_t(c)};
}
constexpr fld SKIP(int n) {
    return {fk::skip, uint8_t(n), 0};
}
constexpr fld C1{fk::chr, 1, 0};
constexpr fld D3{fk::dir, 1, 0};
constexpr fld F1{fk::flag, 1, 0};
constexpr fld B1{fk::bits, 1, 0};
constexpr fld S{fk::text, 0, 0};
constexpr fld KV{fk::kv, 0, 0};

// Whole message lengths at which a form is accepted.
struct lens {
    uint8_t v[4] = {};
    bool or_more = false;  // v[0] or any greater length
    bool accepts(int n) const {
        if (or_more) return n >= v[0];
        for (uint8_t x : v)
            if (x && x == n) return true;
        return false;
    }
};
constexpr lens exactly(int n) {
    return {{uint8_t(n)}, false};
}
constexpr lens one_of(int a, int b, int c = 0, int d = 0) {
    return {{uint8_t(a), uint8_t(b), uint8_t(c), uint8_t(d)}, false};
}
constexpr lens at_least(int n) {
    return {{uint8_t(n)}, true};
}

// Decoded fields: integers in field order, texts in field order.
struct cmd_args {
    int i[5];
    const char *s[2];
};

template <typename T>
T pick(const cmd_args &a, int &ii, int &si);
template <>
int pick<int>(const cmd_args &a, int &ii, int &) {
    return a.i[ii++];
}
template <>
const char *pick<const char *>(const cmd_args &a, int &, int &si) {
    return a.s[si++];
}

template <typename... A>
int invoke(int (*fn)(void *, A...), void *user, const cmd_args &a, int first) {
    int ii = first, si = 0;
    (void)ii, (void)si;  // commands without fields take none
    // a braced list is evaluated left to right, so the fields are taken in order
    return std::apply(fn, std::tuple<void *, A...>{user, pick<A>(a, ii, si)...});
}

// Calls the slot M when it is set: true with its result in *res, false when it is empty.
using dispatch_fn = bool (*)(const oxtel_cbs &, void *, const cmd_args &, int, int *);
template <auto M>
bool dispatch(const oxtel_cbs &t, void *user, const cmd_args &a, int first, int *res) {
    auto fn = t.*M;
    if (!fn) return false;
    *res = invoke(fn, user, a, first);
    return true;
}

// Log line of a command whose slot is empty; texts arrive with control characters escaped.
using log_fn = void (*)(const cmd_args &);

struct cmd_form {
    int slot;
    const char *lead;  // leading characters
    fld f[5];
    lens len;
    dispatch_fn call;
    int first;  // index of the first integer handed to the slot
    int code;   // result when the slot is empty
    log_fn log;
};

#define CB(member) dispatch<&oxtel_cbs::member>
#define LOGF(...)                                                              \
    [](const cmd_args &a) {                                                    \
        (void)a;                                                               \
        log_trace(10, __FILE__, __LINE__, "oxtel_cmd_parser_cb", __VA_ARGS__); \
    }

// Forms are disjoint: two forms of equal lead differ in length or in a character class.
// One record per command, kept on its own lines.
// clang-format off
const cmd_form kForms[] = {
    {0, "Z0", {H(1), H(2), H(1), S}, at_least(6), CB(UpdateTextField), 0, 5,
     LOGF("Update Text Field(Layer=[%d], Box=[%d], Flags=[%d], String=[%s])", a.i[0], a.i[1],
          a.i[2], a.s[0])},
    {1, "Z3", {H(1), H(2)}, exactly(5), CB(RenderBox), 0, 6,
     LOGF("Render Box(Layer=[%d], Box=[%d])", a.i[0], a.i[1])},
    {2, "S0", {H(1)}, exactly(3), CB(StartAnimation), 0, 3,
     LOGF("Start Animation(Layer=[%d])", a.i[0])},
    {3, "S1", {H(1), H(1)}, exactly(4), CB(StopAnimation), 0, 4,
     LOGF("Stop Animation(Layer=[%d], Flags=[%d])", a.i[0], a.i[1])},
    {4, "U0", {}, exactly(2), CB(CutA), 0, 7, LOGF("CutA()")},
    {5, "U1", {}, exactly(2), CB(CutB), 0, 7, LOGF("CutB()")},
    {6, "U4", {}, exactly(2), CB(CutAB), 0, 7, LOGF("CutAB()")},
    {7, "U2", {H(3)}, exactly(5), CB(FadeA), 0, 10, LOGF("FadeA(%d)", a.i[0])},
    {8, "U3", {H(3)}, exactly(5), CB(FadeB), 0, 11, LOGF("FadeB(%d)", a.i[0])},
    {9, "U5", {H(3)}, exactly(5), CB(FadeAB), 0, 12, LOGF("FadeAB(%d)", a.i[0])},
    {10, "3", {H(1), L(' '), D3}, exactly(4), CB(CutKeyer), 0, 13,
     LOGF("CutKeyer(layer=%d, dir=%d)", a.i[0], a.i[1])},
    {11, "1", {H(1), L(' '), D3, O(3, 0)}, one_of(4, 5, 6, 7), CB(CutABLayer), 0, 14,
     LOGF("CutAB(layer=%d, dir=%d, dur=%d)", a.i[0], a.i[1], a.i[2])},
    {12, "Y6", {}, exactly(2), CB(EnquireVideoTallies), 0, 15, LOGF("EnquireVideoTallies()")},
    {13, "Y6", {C1}, exactly(3), CB(EnableVideoTallies), 0, 16,
     LOGF("EnableVideoTallies(%c)", char(a.i[0] + '0'))},
    {14, "R5$", {S}, at_least(4), CB(QuerySubsequentFile), 0, 17,
     LOGF("QuerySubsequentFile(%s)", a.s[0])},
    {15, "R5", {F1, S}, at_least(4), CB(QuerySubsequentFileResponse), 0, 18,
     LOGF("QuerySubsequentFileResponse(%d, %s)", a.i[0], a.s[0])},
    {16, "R4$", {S}, at_least(4), CB(QueryFirstFile), 0, 19, LOGF("QueryFirstFile(%s)", a.s[0])},
    {17, "R4", {F1, S}, at_least(4), CB(QueryFirstFileResponse), 0, 20,
     LOGF("QueryFirstFileResponse(%d, %s)", a.i[0], a.s[0])},
    {18, "R3", {S}, at_least(3), CB(EnquireFileInfo), 0, 21, LOGF("EnquireFileInfo(%s)", a.s[0])},
    {19, "A", {H(1)}, exactly(2), CB(EraseStore), 0, 1, LOGF("EraseStore(%d)", a.i[0])},
    {20, "R0", {H(1)}, exactly(3), CB(EnquireLoadImage), 0, 22,
     LOGF("EnquireLoadImage(%d)", a.i[0])},
    {21, "R0", {H(1), S}, at_least(4), CB(LoadImage), 0, 1,
     LOGF("LoadImage(%d,%s)", a.i[0], a.s[0])},
    {22, "S4", {H(1)}, exactly(3), CB(RestartAnimation), 0, 23,
     LOGF("RestartAnimation(%d)", a.i[0])},
    {23, "m6", {H(1)}, exactly(3), CB(EnquireLayerDatasourceList), 0, 24,
     LOGF("EnquireLayerDatasourceList(%d)", a.i[0])},
    // the first digit only shows in the log; the slot gets the second digit's two low bits
    {24, "m2", {H(1), B1, H(1), KV}, at_least(8), CB(SetLayerDatasourceValue), 1, 25,
     LOGF("SetLayerDatasourceValue(0x%X, %d, [%s],[%s])",
          unsigned(a.i[0] << 4 | a.i[1] | a.i[2] << 1), a.i[3], a.s[0], a.s[1])},
    {25, "S2", {H(1), H(4)}, exactly(7), CB(SelectAnimationFrame), 0, 26,
     LOGF("SelectAnimationFrame(%d, %d)", a.i[0], a.i[1])},
    {26, "UE", {H(1), H(1), SKIP(1)}, one_of(4, 5), CB(SelectMixerInput), 0, 27,
     LOGF("SelectMixerInput(%d, %d)", a.i[0], a.i[1])},
    {26, "UE ", {H(1), L(' '), H(1)}, exactly(6), CB(SelectMixerInput), 0, 27,
     LOGF("SelectMixerInput(%d, %d)", a.i[0], a.i[1])},
    {27, "UE", {H(1)}, exactly(3), CB(EnquireMixerInput), 0, 28,
     LOGF("EnquireMixerInput(%d)", a.i[0])},
    {27, "UE ", {H(1)}, exactly(4), CB(EnquireMixerInput), 0, 28,
     LOGF("EnquireMixerInput(%d)", a.i[0])},
    {28, "Y9", {H(1), S}, at_least(4), CB(ImageLoadTally), 0, 29,
     LOGF("ImageLoadTally(%d, %s)", a.i[0], a.s[0])},
    {29, "Y6", {H(1), H(1), H(1), SKIP(6)}, exactly(11), CB(EnableVideoTalliesEx), 0, 30,
     LOGF("EnableVideoTallies(%d, %d, %d)", a.i[0], a.i[1], a.i[2])},
    {30, "W10", {H(1)}, exactly(4), CB(SetPGMDVEMode), 0, 31, LOGF("SetPGMDVEMode(%d)", a.i[0])},
    {31, "W2", {H(2), O(3, 1), O(1, 3)}, one_of(4, 7, 8), CB(LoadAndRunDVESequence), 0, 32,
     LOGF("LoadAndRunDVESequence(%d, %d, %d)", a.i[0], a.i[1], a.i[2])},
    {32, "W7", {H(3), O(1, 3)}, one_of(5, 6), CB(RunDVESequence), 0, 33,
     LOGF("RunDVESequence(%d, %d)", a.i[0], a.i[1])},
    {33, "W8", {H(3), O(1, 3)}, one_of(5, 6), CB(RunDVESequenceInReverse), 0, 34,
     LOGF("RunDVESequenceInReverse(%d, %d)", a.i[0], a.i[1])},
    {34, "WP0", {H(1)}, exactly(4), CB(SetPVWDVEMode), 0, 35, LOGF("SetPVWDVEMode(%d)", a.i[0])},
    {35, "WR", {H(1), H(1), H(1)}, exactly(5), CB(SetDVERoutingInput), 0, 36,
     LOGF("SetDVERoutingInput(%d, %d, %d)", a.i[0], a.i[1], a.i[2])},
    {36, "WR", {H(1), H(1)}, exactly(4), CB(EnquireDVERoutingInput), 0, 37,
     LOGF("EnquireDVERoutingInput(%d, %d)", a.i[0], a.i[1])},
    {37, "WV", {H(1), O(1, 3)}, one_of(3, 4), CB(SetDVELoadAction), 0, 38,
     LOGF("SetDVELoadAction(%d, %d)", a.i[0], a.i[1])},
    {38, "WW", {H(1)}, exactly(3), CB(EnquireDVELoadAction), 0, 39,
     LOGF("EnquireDVELoadAction(%d)", a.i[0])},
    {39, "WX", {H(2)}, exactly(4), CB(SetDVEConfiguration), 0, 40,
     LOGF("SetDVEConfiguration(%d)", a.i[0])},
    {40, "WX", {}, exactly(2), CB(EnquireDVEConfiguration), 0, 41,
     LOGF("EnquireDVEConfiguration()")},
    {41, "WY", {H(2), O(1, 3)}, one_of(4, 5), CB(LoadDVESequenceWithAction), 0, 42,
     LOGF("LoadDVESequenceWithAction(%d, %d)", a.i[0], a.i[1])},
    {42, "WZ", {H(2), O(1, 3)}, one_of(4, 5), CB(EnquireDVESequenceName), 0, 43,
     LOGF("EnquireDVESequenceName(%d, %d)", a.i[0], a.i[1])},
    {43, "Wb", {H(2), O(1, 3)}, one_of(4, 5), CB(PlayDVESequence), 0, 44,
     LOGF("PlayDVESequence(%d, %d)", a.i[0], a.i[1])},
    {44, "YWb", {H(1)}, exactly(4), CB(EnableDVETallies), 0, 45,
     LOGF("EnableDVETallies(%d)", a.i[0])},
    {45, "YWb", {}, exactly(3), CB(EnquireDVETallies), 0, 46, LOGF("EnquireDVETallies()")},
    {46, "Wb", {H(2), H(1), H(1)}, exactly(6), CB(DVESequenceTallies), 0, 47,
     LOGF("DVESequenceTallies(%d, %d, %d)", a.i[0], a.i[1], a.i[2])},
    {47, "WZ", {H(2), H(1), S}, at_least(6), CB(ResponseDVESequenceName), 0, 48,
     LOGF("ResponseDVESequenceName(%d, %d, [%s])", a.i[0], a.i[1], a.s[0])},
    {48, "x0", {H(4)}, exactly(6), CB(TriggerMacro), 0, 49, LOGF("TriggerMacro(%d)", a.i[0])},
};
// clang-format on

#undef CB
#undef LOGF

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Where decoding stands in a message: the read position and the next number and text slots.
struct cursor {
    const char *m;
    int n;
    int pos = 0, ni = 0, ns = 0;
    int left() const { return n - pos; }
};

// A field of numbers or fixed characters; false when the message is not this command.
bool decode_number(const fld &f, cursor &c, cmd_args &a) {
    const char *m = c.m;
    int left = c.left();
    switch (f.k) {
        case fk::lit:
            if (left < 1 || m[c.pos] != char(f.def)) return false;
            c.pos++;
            return true;
        case fk::hex: {
            if (left < f.n) return false;
            int v = 0;
            for (int j = 0; j < f.n; j++) {
                int d = hex_value(m[c.pos + j]);
                if (d < 0) return false;
                v = v * 16 + d;
            }
            a.i[c.ni++] = v;
            c.pos += f.n;
            return true;
        }
        case fk::opt: {
            int take = left < f.n ? left : f.n;
            int v = 0;
            for (int j = 0; j < take; j++) {
                int d = hex_value(m[c.pos + j]);
                v = v * 16 + (d < 0 ? 0 : d);
            }
            a.i[c.ni++] = take ? v : f.def;
            c.pos += take;
            return true;
        }
        case fk::chr:
            if (left < 1 || hex_value(m[c.pos]) < 0) return false;
            a.i[c.ni++] = m[c.pos++] - '0';
            return true;
        case fk::dir:
            if (left < 1 || m[c.pos] < '0' || m[c.pos] > '2') return false;
            a.i[c.ni++] = m[c.pos++] - '0';
            return true;
        case fk::flag:
            if (left < 1 || (m[c.pos] != '0' && m[c.pos] != '1')) return false;
            a.i[c.ni++] = m[c.pos++] - '0';
            return true;
        case fk::bits: {
            int d = left < 1 ? -1 : hex_value(m[c.pos]);
            if (d < 0) return false;
            a.i[c.ni++] = d & 1;
            a.i[c.ni++] = (d >> 1) & 1;
            c.pos++;
            return true;
        }
        case fk::skip:
            c.pos += left < f.n ? left : f.n;
            return true;
        default:
            return false;
    }
}

// A text field, which takes the rest of the message; false when the message is not this command.
bool decode_text(const fld &f, cursor &c, cmd_args &a, char (*texts)[kTextSize]) {
    const char *m = c.m;
    int pos = c.pos, left = c.left();
    if (f.k == fk::text) {
        // count 0 would mean "up to the NUL": an empty rest is copied as empty
        texts[c.ns][0] = 0;
        if (left > 0) oxtel_unescape(texts[c.ns], kTextSize, m + pos, left);
        a.s[c.ns] = texts[c.ns];
        c.ns++;
        c.pos = c.n;
        return true;
    }
    // fk::kv: "key|value"
    const void *bar = memchr(m + pos, '|', size_t(left));
    if (!bar) return false;
    int k = int(static_cast<const char *>(bar) - (m + pos));
    if (k == 0) return false;  // an empty key names nothing
    oxtel_unescape(texts[0], kTextSize, m + pos, k);
    texts[1][0] = 0;
    if (left - k - 1 > 0) oxtel_unescape(texts[1], kTextSize, m + pos + k + 1, left - k - 1);
    a.s[0] = texts[0];
    a.s[1] = texts[1];
    c.ns = 2;
    c.pos = c.n;
    return true;
}

// Decodes msg against one form; texts go to the buffers of texts. false when it is not this
// command.
bool decode(const cmd_form &form, const char *m, int n, cmd_args &a, char (*texts)[kTextSize]) {
    if (!form.len.accepts(n)) return false;
    cursor c{m, n};
    c.pos = int(strlen(form.lead));
    if (c.pos > n || memcmp(m, form.lead, size_t(c.pos)) != 0) return false;
    for (const fld &f : form.f) {
        if (f.k == fk::end) break;
        bool text = f.k == fk::text || f.k == fk::kv;
        if (!(text ? decode_text(f, c, a, texts) : decode_number(f, c, a))) return false;
    }
    return c.pos == n;
}

}  // namespace

int oxtel_cmd_parser_cb(const oxtel_cbs *table, void *user, const char *msg, int length) {
    if (!msg || length < 0) length = 0;
    if (!msg) msg = "";
    // A device may send anything at any rate: per link thread, the first unknown message and the
    // first few unhandled commands of each second are logged, the others counted.
    thread_local log_quiet unrecognized("oxtel_cmd_parser_cb", "unrecognized sequences not logged");
    thread_local log_quiet unhandled("oxtel_cmd_parser_cb", "unhandled commands not logged", 10);
    char texts[2][kTextSize];
    for (const cmd_form &form : kForms) {
        cmd_args a{};
        if (!decode(form, msg, length, a, texts)) continue;
        int res = 0;
        if (table && form.call(*table, user, a, form.first, &res)) return res;
        if (!log_trace_on(10) || !unhandled.speak()) return form.code;
        std::string shown[2];
        for (int k = 0; k < 2; k++) {
            if (!a.s[k]) continue;
            shown[k] = text_printable(a.s[k]);
            a.s[k] = shown[k].c_str();
        }
        form.log(a);
        return form.code;
    }
    if (log_trace_on(0) && unrecognized.speak()) {
        std::string shown = text_printable(std::string_view(msg, size_t(length)));
        LOG_TRACE(0, "Unrecognized sequence [%s]", shown.c_str());
    }
    return -EINVAL;
}

int oxtel_cmd_match(const char *msg, int length, int *slot) {
    if (slot) *slot = -1;
    if (!msg || length < 0) length = 0;
    if (!msg) msg = "";
    char texts[2][kTextSize];
    int count = 0;
    for (const cmd_form &form : kForms) {
        cmd_args a{};
        if (!decode(form, msg, length, a, texts)) continue;
        if (count++ == 0 && slot) *slot = form.slot;
    }
    return count;
}
