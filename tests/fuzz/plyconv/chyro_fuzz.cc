// Chyro playlists as they come from outside, written to a file and parsed with the trace on, a
// template prefix and a field separator, so every branch of the graphics reading runs.
#include <libxml/parser.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unistd.h>

#include "chyro.h"
#include "file.h"
#include "plyconv_fuzz.h"
#include "tc.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_setup("chyro", "in.xml");
    chyro_set_log_cb(quiet_log);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (!fuzz_write_input(data, size)) return 0;
    tc_setmode(TC_PAL);
    chyro_params *p = nullptr;
    if (chyro_create(&p, READER_F_TRACE | (size & 1 ? READER_F_TCOUT_CALC : 0) |
                             (size & 2 ? READER_F_CATEGORY_PATH : 0)) < 0)
        return 0;
    chyro_set_param(p, READER_P_APPEND_TMPL, "T_");
    chyro_set_param(p, READER_P_APPEND_PATH, "/media");
    chyro_set_param(p, READER_P_NEWFIELD_SEP, " ; ");
    chyro_set_param(p, READER_P_ASPECT, "*");
    chyro_parse(p, fuzz_input().c_str(), nullptr, format_event, open_day);
    chyro_destroy(&p);
    return 0;
}
