// AB CVS2 tables as they come from outside, written to a file and parsed; every event is formatted.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unistd.h>

#include "abcvs2.h"
#include "file.h"
#include "plyconv_fuzz.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_setup("abcvs2", "in.txt");
    abcvs2_set_log_cb(quiet_log);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (!fuzz_write_input(data, size)) return 0;
    abcvs2_handle *h = nullptr;
    if (abcvs2_create(&h) < 0) return 0;
    abcvs2_parse(h, fuzz_input().c_str(), nullptr, nullptr, format_event);
    abcvs2_destroy(&h);
    return 0;
}
