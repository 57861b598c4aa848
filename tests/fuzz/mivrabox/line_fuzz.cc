// Playlist lines from files and peers: parsing never fails unsafely, and a line the writer
// produced reads back to the same line.
#include <cstdlib>
#include <string>

#include "mivrabox_event.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);
    mivrabox_event *ev = mivrabox_event_parse(text);
    if (!ev) return 0;
    std::string line;
    mivrabox_event_format_append(ev, line);
    static char buf[MIVRABOX_LINE_SIZE];
    mivrabox_event_format(ev, buf, sizeof buf);
    if (line.compare(0, sizeof buf - 1, buf) != 0) abort();
    if (line.find_first_of("\r\n") != std::string::npos) abort();

    mivrabox_event *again = mivrabox_event_parse(line);
    if (!again) abort();
    std::string line2;
    mivrabox_event_format_append(again, line2);
    if (line2 != line || again->meta_count() != ev->meta_count()) abort();
    mivrabox_event_unref(&again);
    mivrabox_event_unref(&ev);
    return 0;
}
