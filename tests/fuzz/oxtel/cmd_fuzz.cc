// Device messages through the command parser, and text through unescape and escape.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "log.h"
#include "oxtel_cmd.h"

namespace {

int on_text(void *, int, int, int, const char *text) {
    return int(strlen(text));
}
int on_kv(void *, int, int, int, const char *k, const char *v) {
    return int(strlen(k) + strlen(v));
}
int on_name(void *, int, const char *name) {
    return int(strlen(name));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = (log_set_level(-1), true);  // unhandled commands would flood stderr
    (void)quiet;
    if (size > 16384) return 0;
    // exact-size copies: nothing may be read past the length
    std::vector<char> msg(data, data + size);
    int n = int(size);

    oxtel_cbs table{};
    table.UpdateTextField = on_text;
    table.SetLayerDatasourceValue = on_kv;
    table.LoadImage = on_name;
    table.QueryFirstFileResponse = on_name;
    int slot = -1;
    if (oxtel_cmd_match(msg.data(), n, &slot) > 1) abort();  // the forms must stay disjoint
    int with = oxtel_cmd_parser_cb(&table, nullptr, msg.data(), n);
    int without = oxtel_cmd_parser_cb(nullptr, nullptr, msg.data(), n);
    if ((with == -22) != (slot < 0) || (without == -22) != (slot < 0)) abort();

    // unescape within a capacity taken from the input, then the escape round trip
    int cap = size ? 1 + data[0] % 64 : 1;
    std::vector<char> small(static_cast<size_t>(cap));
    int u = oxtel_unescape(small.data(), cap, msg.data(), n);
    if (u < 0 || u >= cap || small[size_t(u)] != 0) abort();
    if (n == 0) return 0;
    std::vector<char> plain(size + 1);
    int p = oxtel_unescape(plain.data(), int(plain.size()), msg.data(), n);
    std::vector<char> esc(size * 3 + 1);
    int e = oxtel_escape(esc.data(), int(esc.size()), plain.data(), p);
    if (memchr(esc.data(), ':', size_t(e))) abort();
    std::vector<char> back(size_t(e) + 1);
    int b = oxtel_unescape(back.data(), int(back.size()), esc.data(), e);
    if (b != p || memcmp(back.data(), plain.data(), size_t(p)) != 0) abort();
    return 0;
}
