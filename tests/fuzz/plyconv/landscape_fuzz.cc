// Landscape schedules as they come from outside. The input is cut at its first NUL: the part
// before is the types map, the rest the schedule (the layers map is fixed), so both line readers
// see arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unistd.h>

#include "file.h"
#include "plyconv_fuzz.h"
#include "landscape.h"

namespace {

std::string g_dir;

std::string at(const char *name) {
    return g_dir + "/" + name;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_setup("landscape");
    g_dir = fuzz_dir();
    landscape_set_log_cb(quiet_log);
    file_write_atomic(at("layers"), "1 2 LOGO\n2 1 CLOCK\n16 A TICKER\n3 \x80 HIGH\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view in(reinterpret_cast<const char *>(data), size);
    size_t nul = in.find('\0');
    std::string_view types = nul == std::string_view::npos ? std::string_view() : in.substr(0, nul);
    std::string_view sched = nul == std::string_view::npos ? in : in.substr(nul + 1);
    if (file_write_atomic(at("types"), types) < 0 || file_write_atomic(at("in.scx"), sched) < 0)
        return 0;
    landscape_maps *h = nullptr;
    if (landscape_init(&h, at("types").c_str(), at("layers").c_str()) < 0) return 0;
    landscape_parse(h, at("in.scx").c_str(), nullptr, nullptr, format_event);
    landscape_destroy(&h);
    return 0;
}
