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

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_setup("epg", "in.xml");
    beinsports_epg_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (!fuzz_write_input(data, size)) return 0;
    beinsports_epg_parse(fuzz_input().c_str(), nullptr, nullptr, format_event, open_day);
    return 0;
}
