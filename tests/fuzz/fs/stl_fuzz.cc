// STL files as they come from outside: the size rule, every block's text conversion, the .mpl
// builder, and the file names of the tree.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "log.h"
#include "stl.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    log_set_stderr(0);
    log_init("", 86400);  // no file: lines are dropped
    return 0;
}

namespace {

void convert(const stl_file &file, int64_t start) {
    std::string text;
    stl_to_mpl(file, start, text);
    char out[STL_TEXT_SIZE];
    for (int i = 0; i < 4; i++) stl_tti_text(file, i, out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    uint8_t mode = data[0];
    data++;
    size--;
    stl_file file;
    if (mode < 0x80) {
        // The bytes as a whole file.
        if (stl_parse(data, size, file) == 0) convert(file, 0);
    } else if (mode < 0xF0) {
        // The bytes as GSI and blocks with a header count that matches, to reach the texts.
        std::string b(reinterpret_cast<const char *>(data), size);
        if (b.size() < STL_GSI_SIZE) b.resize(STL_GSI_SIZE, ' ');
        size_t blocks = (b.size() - STL_GSI_SIZE) / STL_TTI_SIZE;
        b.resize(STL_GSI_SIZE + blocks * STL_TTI_SIZE);
        char tnb[8];
        snprintf(tnb, sizeof tnb, "%05zu", blocks % 100000);
        b.replace(238, 5, tnb, 5);
        if (stl_parse(reinterpret_cast<const uint8_t *>(b.data()), b.size(), file) == 0)
            convert(file, int64_t(mode - 0x80) * 25);
    } else if (size < 512) {
        // A tree path: only the name rules run, the source folder does not exist.
        std::string path(reinterpret_cast<const char *>(data), size);
        if (path.find('\0') != std::string::npos) return 0;
        std::string text;
        mpl_build("/nonexistent-mivra-stl-src", path.c_str(), text);
    }
    return 0;
}
