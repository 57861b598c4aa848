// Programme guides as they come from outside, written to a file and parsed; every event is
// formatted.
#include <libxml/parser.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unistd.h>

#include "epg.h"
#include "file.h"
#include "plyconv_fuzz.h"

namespace {

std::string g_path;

int open_day(time_t, void *) {
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_setup("epg");
    g_path = fuzz_path("in.xml");
    beinsports_epg_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (file_write_atomic(g_path, std::string_view(reinterpret_cast<const char *>(data), size)) < 0)
        return 0;
    beinsports_epg_parse(g_path.c_str(), nullptr, nullptr, format_event, open_day);
    return 0;
}
