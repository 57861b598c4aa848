// Graphics placeholders, metadata keys and whois replies from arbitrary bytes: the key scan and
// the one-pass filler (values that hold placeholders of their own), the key parser and the
// resolver over a small playlist, the whois reply parser and the URL and in-place replacers.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "log.h"
#include "meta_resolve.h"
#include "mivrabox_ply.h"
#include "tc.h"

namespace {

ply_list *playlist() {
    static ply_list *ply = [] {
        log_init("/dev/null", 86400);
        log_set_stderr(0);
        tc_setmode(TC_PAL);
        ply_list *p = nullptr;
        ply_new(&p);
        const char *lines[] = {
            "10:00:00:00\t \t\t\t00:00:10:00\tC\t/m/a.mxf#\tA\t\t\t\tartist\\tX\t\t\t",
            "10:00:10:00\t \t\t\t00:00:10:00\tN\tb\tB\t\t\t\tartist\\tY\t\t\t",
            "10:00:20:00\t \t\t\t00:00:10:00\tN\tc.wav\tC\t\t\t\t\t\t\t",
        };
        for (const char *l : lines) ply_insert_text(p, l, -1);
        return p;
    }();
    return ply;
}

void check(bool ok) {
    if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ply_list *ply = playlist();
    std::string text(reinterpret_cast<const char *>(data), size);
    std::string_view all(text);
    // What follows the first NUL becomes the values.
    size_t nul = all.find('\0');
    std::string_view body = all.substr(0, nul);
    std::string_view rest = nul == std::string_view::npos ? "" : all.substr(nul + 1);

    std::vector<std::string> keys;
    meta_keys_collect(body, keys);
    std::vector<std::string> vals;
    std::vector<char *> vp;
    for (size_t i = 0; i < keys.size(); i++) {
        // Values that name placeholders, their own among them, must go out unexamined.
        vals.push_back(i % 2 ? "<" + keys[i] + "/>" + std::string(rest) : std::string(rest));
    }
    for (auto &v : vals) vp.push_back(v.data());
    check(meta_keys_fill(body, keys, vp.data()).size() <= 4095);
    check(meta_keys_fill(body, keys, nullptr).size() <= body.size());

    // The keys against the playlist, without whois.
    std::vector<std::string> kp;
    std::string body_key(body);
    kp.push_back(body_key);
    kp.insert(kp.end(), keys.begin(), keys.end());
    mivrabox_meta_key mk;
    if (mivrabox_event_meta_key_parse(body_key.c_str(), &mk) == 0)
        check(mk.name >= body_key.c_str() && mk.name <= body_key.c_str() + body_key.size());
    int idx = size ? data[0] % 3 : 0;
    check(mivrabox_event_meta_pairs_resolve(ply->items[size_t(idx)], idx, ply->count(),
                                            ply->items.data(), kp, nullptr)
              .size() == kp.size());

    std::vector<std::string> kv;
    int pairs = whois_reply_parse(all, kv);
    check(size_t(pairs) * 2 == kv.size());
    for (size_t i = 0; i < kv.size(); i += 2)
        check(!kv[i].empty() && kv[i].find_first_of("\r\n\t") == std::string::npos);

    std::string url, tmpl(body), id(rest);
    if (whois_url(tmpl.c_str(), id.c_str(), id.c_str(), url) == 0) check(url.size() <= 4095);

    char buf[4096];
    size_t m = std::min(body.size(), sizeof buf - 1);
    memcpy(buf, body.data(), m);
    buf[m] = 0;
    std::string ph(rest.substr(0, 16)), value(rest);
    replace_placeholder(buf, ph.c_str(), value.c_str());
    check(strnlen(buf, sizeof buf) <= 4095);
    return 0;
}
