// Compressed event bodies from peers: inflating never fails unsafely, what inflates is a line
// within the body bounds, and a line that parses travels back through a body unchanged.
#include <cstdlib>
#include <string>
#include <vector>

#include "mivrabox_body.h"
#include "mivrabox_event.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string line;
    int n = mivrabox_body_inflate(data, size, line);
    if (n < 0) {
        if (!line.empty()) abort();
        // The same bytes as a line: every line the body holds comes back whole.
        std::string_view text(reinterpret_cast<const char *>(data), size);
        std::vector<unsigned char> body;
        if (mivrabox_body_deflate(text, body) > 0) {
            std::string back;
            if (mivrabox_body_inflate(body.data(), body.size(), back) != int(size)) abort();
            if (back != text) abort();
        }
        return 0;
    }
    if (size_t(n) != line.size() || line.size() > MIVRABOX_BODY_LINE_MAX) abort();
    if (line.find('\0') != std::string::npos) abort();
    mivrabox_event *ev = mivrabox_event_parse(line);
    if (!ev) return 0;
    std::string formatted;
    std::vector<unsigned char> body;
    if (mivrabox_body_line(ev, formatted) >= 0 && mivrabox_body_deflate(formatted, body) > 0) {
        std::string back;
        if (mivrabox_body_inflate(body.data(), body.size(), back) < 0 || back != formatted) abort();
    }
    mivrabox_event_unref(&ev);
    return 0;
}
