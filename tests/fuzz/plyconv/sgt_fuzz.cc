// SGT documents as they come from outside: the bytes are written to a file and parsed with the
// trace on, against an evs folder that holds one branding, so the lookups and the evs split run.
#include <libxml/parser.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unistd.h>

#include "file.h"
#include "plyconv_fuzz.h"
#include "sgt.h"

namespace {

std::string g_dir;

int count_event(mivrabox_event *ev, void *user) {
    char line[MIVRABOX_LINE_SIZE];
    mivrabox_event_format(ev, line, sizeof line);
    ++*static_cast<int *>(user);
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_setup("sgt");
    g_dir = fuzz_dir();
    mkdir_p(g_dir + "/evs");
    file_write_atomic(g_dir + "/evs/B.xml",
                      "<Branding Start=\"01/03/2024 10:00:00:00\" IDStartVITC=\"10:00:00:00\" "
                      "AES1=\"AES2\" AES2=\"MIX\"><Scenario Name=\"a b\" "
                      "Start=\"01/03/2024 10:00:01:00\" Duration=\"00:00:01:00\">"
                      "<Change Name=\"x.y\" Text=\"t\"/></Scenario><SubTitle>"
                      "<TitleItem Path=\"p\" Page=\"1\"/></SubTitle></Branding>");
    sgt_set_log_cb(quiet_log);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string path = g_dir + "/in.xml";
    if (file_write_atomic(path, std::string_view(reinterpret_cast<const char *>(data), size)) < 0)
        return 0;
    sgt_params *p = nullptr;
    if (sgt_create(&p, READER_F_TRACE | READER_F_TMPL_TYPE) < 0) return 0;
    sgt_set_param(p, READER_P_EVS_PATH, (g_dir + "/evs").c_str());
    sgt_set_param(p, READER_P_APPEND_TMPL, "T_");
    int events = 0;
    sgt_parse(p, path.c_str(), &events, count_event, open_day);
    sgt_destroy(&p);
    return 0;
}
