// Adonis requests as they come from outside, written to a file and parsed with the trace on and
// all three GXF limits set, so the mark correction runs too.
#include <libxml/parser.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unistd.h>

#include "adonis.h"
#include "file.h"
#include "plyconv_fuzz.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_setup("adonis", "in.xml");
    adonis_set_log_cb(quiet_log);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (!fuzz_write_input(data, size)) return 0;
    adonis_params *p = nullptr;
    if (adonis_create(&p, READER_F_TRACE | READER_F_TMPL_TYPE) < 0) return 0;
    adonis_set_param(p, READER_P_APPEND_TMPL, "T_");
    adonis_set_param(p, READER_P_GXF_TC_MIN, "10:00:00:00");
    adonis_set_param(p, READER_P_GXF_TC_MAX, "10:59:59:24");
    adonis_set_param(p, READER_P_GXF_DUR_MAX, "01:00:00:00");
    adonis_parse(p, fuzz_input().c_str(), nullptr, format_event, open_day);
    adonis_destroy(&p);
    return 0;
}
