// What the plyconv fuzz targets share: a private temporary folder for the files their readers
// parse (removed with its contents at exit), quiet log and libxml2 hooks, and the write-event
// callback that formats each event as a playlist line, as the daemon would.
#pragma once

#include <libxml/parser.h>

#include <cstdarg>
#include <cstdlib>
#include <string>

#include "mivrabox_event.h"

inline std::string &fuzz_dir() {
    static std::string dir;
    return dir;
}

inline void quiet_log(const char *, va_list) {}
inline void quiet_xml(void *, const char *, ...) {}

// Once per process: the folder "/tmp/mivra_<target>_fuzz_XXXXXX" and libxml2's errors silenced.
inline void fuzz_setup(const char *target) {
    std::string tmpl = std::string("/tmp/mivra_") + target + "_fuzz_XXXXXX";
    if (!mkdtemp(tmpl.data())) abort();
    fuzz_dir() = tmpl;
    atexit([] { (void)!system(("rm -rf '" + fuzz_dir() + "'").c_str()); });
    xmlSetGenericErrorFunc(nullptr, quiet_xml);
}

// A file of the folder.
inline std::string fuzz_path(const char *name) {
    return fuzz_dir() + "/" + name;
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
