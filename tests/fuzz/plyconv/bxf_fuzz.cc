// BXF messages as they come from outside, written to a file and parsed, so every level of the
// schedule walk runs.
#include <libxml/parser.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unistd.h>

#include "bxf.h"
#include "file.h"
#include "plyconv_fuzz.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_setup("bxf", "in.xml");
    bxf_set_log_cb(quiet_log);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (!fuzz_write_input(data, size)) return 0;
    bxf_ctx *ctx = nullptr;
    if (bxf_init(&ctx, 3, "*", "") < 0) return 0;
    bxf_parse(ctx, fuzz_input().c_str(), nullptr, format_event, open_day);
    bxf_destroy(&ctx);
    return 0;
}
