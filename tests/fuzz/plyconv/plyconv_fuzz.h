// What the plyconv fuzz targets share: a private temporary folder for the files their readers
// parse (removed with its contents at exit) with the file each run's input is written to, quiet
// log and libxml2 hooks, the write-event callback that formats each event as a playlist line, as
// the daemon would, and day callbacks that accept every day.
#pragma once

#include <libxml/parser.h>

#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "file.h"
#include "mivrabox_event.h"

inline std::string &fuzz_dir() {
    static std::string dir;
    return dir;
}

inline void quiet_log(const char *, va_list) {}
inline void quiet_xml(void *, const char *, ...) {}

// A file of the folder.
inline std::string fuzz_path(const char *name) {
    return fuzz_dir() + "/" + name;
}

// The file of the folder each run's input is written to.
inline std::string &fuzz_input() {
    static std::string path;
    return path;
}

// Once per process: the folder "/tmp/mivra_<target>_fuzz_XXXXXX", its input file named input
// (for the targets that parse one file) and libxml2's errors silenced.
inline void fuzz_setup(const char *target, const char *input = nullptr) {
    std::string tmpl = std::string("/tmp/mivra_") + target + "_fuzz_XXXXXX";
    if (!mkdtemp(tmpl.data())) abort();
    fuzz_dir() = tmpl;
    if (input) fuzz_input() = fuzz_path(input);
    atexit([] { (void)!system(("rm -rf '" + fuzz_dir() + "'").c_str()); });
    xmlSetGenericErrorFunc(nullptr, quiet_xml);
}

// Writes one run's input to the input file; false when it could not be written.
inline bool fuzz_write_input(const uint8_t *data, size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);
    return file_write_atomic(fuzz_input(), text) >= 0;
}

inline int format_event(mivrabox_event *ev, void *) {
    char line[MIVRABOX_LINE_SIZE];
    mivrabox_event_format(ev, line, sizeof line);
    return 0;
}

// For the readers that hand their handle first.
template <class H>
int format_event(H *, mivrabox_event *ev, void *user) {
    return format_event(ev, user);
}

// Day callbacks of the readers that note days: every day is accepted.
inline int open_day(time_t, void *) {
    return 0;
}
inline int open_day(const char *, void *) {
    return 0;
}
inline int open_day(time_t, void *, const char *, const char *) {
    return 0;
}
