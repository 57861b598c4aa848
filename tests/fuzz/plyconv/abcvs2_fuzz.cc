// AB CVS2 tables as they come from outside, written to a file and parsed; every event is formatted.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unistd.h>

#include "abcvs2.h"
#include "file.h"

namespace {

std::string g_path;

void quiet_log(const char *, va_list) {}

void cleanup() {
    if (!g_path.empty()) unlink(g_path.c_str());
}

int format_event(abcvs2_handle *, mivrabox_event *ev, void *) {
    char line[MIVRABOX_LINE_SIZE];
    mivrabox_event_format(ev, line, sizeof line);
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    g_path = "/tmp/mivra_abcvs2_fuzz." + std::to_string(getpid()) + ".txt";
    atexit(cleanup);
    abcvs2_set_log_cb(quiet_log);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (file_write_atomic(g_path, std::string_view(reinterpret_cast<const char *>(data), size)) < 0)
        return 0;
    abcvs2_handle *h = nullptr;
    if (abcvs2_create(&h) < 0) return 0;
    abcvs2_parse(h, g_path.c_str(), nullptr, nullptr, format_event);
    abcvs2_destroy(&h);
    return 0;
}
