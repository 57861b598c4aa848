// Metadata fields: unescaping stays inside the text, and parsed pairs survive a write and read.
#include <cstdlib>
#include <cstring>
#include <string>

#include "mivrabox_event.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    std::string copy = text;
    size_t n = mivrabox_unescape(copy.data(), copy.size());
    if (n > copy.size()) abort();
    std::string c_copy = text.c_str();  // the C form stops at the first NUL
    mivrabox_unescape(c_copy.data());
    if (strlen(c_copy.c_str()) > text.size()) abort();

    mivrabox_event *ev = mivrabox_event_new();
    if (mivrabox_event_meta_parse(&ev, text) != 0) abort();
    for (const auto &p : ev->pairs)
        if (p.key.empty() || p.value.empty() || p.key.size() > 255 || p.value.size() > 4095)
            abort();
    std::string field;
    mivrabox_event_meta_format_append(ev, field);
    mivrabox_event *back = mivrabox_event_new();
    mivrabox_event_meta_parse(&back, field);
    if (back->meta_count() != ev->meta_count()) abort();
    for (int i = 0; i < ev->meta_count(); i++)
        if (!(back->pairs[i].key == ev->pairs[i].key) ||
            !(back->pairs[i].value == ev->pairs[i].value))
            abort();
    mivrabox_event_unref(&back);
    mivrabox_event_unref(&ev);
    return 0;
}
