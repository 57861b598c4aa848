// sgtreader: one SGT schedule to a playlist file (or standard output).
#include <cstdio>
#include <ctime>

#include "reader.h"
#include "sgt.h"

namespace {

constexpr setting kSettings[] = {
    {READER_P_ASPECT, "*", 0},
    {READER_P_APPEND_PATH, "/KORVELTV/VIDEO", 0},
    {READER_P_WAV_PATH, "/KORVELTV/AUDIO", 0},
    {READER_P_LIVE_PATH, "/KORVELTV/LIVE/", 0},
    {READER_P_PREPEND_EXT, "#", 0},
    {READER_P_APPEND_TMPL, "KORVELTV_", 0},
    {READER_P_CATEGORY2TYPE, "category2type.txt", 0},
    {READER_P_DTMF_OFFSET, nullptr, 29},
    {READER_P_NEWFIELD_SEP, " ; ", 0},
    {READER_P_EVS_PATH, "/usr/local/src/MivraBox.git/src/sgt/evs", 0},
};

constexpr int kFlags =
    READER_F_IGNORE_PATH | READER_F_TRACE | READER_F_TCOUT_INCLUDED | READER_F_TCOUT_CALC;

constexpr reader_cmdline kCmdline = {"<src.xml> [dst.ply]", 1, 2, 2};

}  // namespace

int main(int argc, char **argv) {
    return reader_main(argc, argv, kCmdline, [](const char *src, reader_output *out) {
        sgt_params *p = nullptr;
        int r = sgt_create(&p, kFlags);
        if (r < 0) return r;
        reader_settings_apply(p, kSettings, std::size(kSettings),
                              [](auto *q, int id, auto v) { sgt_set_param(q, id, v); });
        r = sgt_parse(p, src, out, conv_write_event, cb_startdate);
        sgt_destroy(&p);
        return r;
    });
}
