// AB CVS tables as they come from outside, written to a file and parsed; every event is formatted.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unistd.h>

#include "abcvs.h"
#include "file.h"
#include "plyconv_fuzz.h"

namespace {

std::string g_path;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_setup("abcvs");
    g_path = fuzz_path("in.cvs");
    abcvs_set_log_cb(quiet_log);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (file_write_atomic(g_path, std::string_view(reinterpret_cast<const char *>(data), size)) < 0)
        return 0;
    abcvs_handle *h = nullptr;
    if (abcvs_create(&h) < 0) return 0;
    abcvs_parse(h, g_path.c_str(), nullptr, nullptr, format_event);
    abcvs_destroy(&h);
    return 0;
}
