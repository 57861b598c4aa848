// chyroreader: one Chyro playlist to a playlist file (or standard output).
#include <cstdio>
#include <ctime>

#include "chyro.h"
#include "reader.h"

namespace {

constexpr setting kSettings[] = {
    {READER_P_ASPECT, "*", 0},
    {READER_P_APPEND_PATH, "/KORVELTV", 0},
    {READER_P_APPEND_TMPL, "KORVELTV_", 0},
    {READER_P_CATEGORY2TYPE, "category2type.txt", 0},
    {READER_P_DTMF_OFFSET, nullptr, 29},
    {READER_P_NEWFIELD_SEP, " ; ", 0},
};

constexpr int kFlags =
    READER_F_IGNORE_PATH | READER_F_TRACE | READER_F_TCOUT_INCLUDED | READER_F_TCOUT_CALC;

constexpr reader_cmdline kCmdline = {"<src.xml> [dst.ply]", 1, 2, 2};

}  // namespace

int main(int argc, char **argv) {
    return reader_main(argc, argv, kCmdline, [](const char *src, reader_output *out) {
        chyro_params *p = nullptr;
        int r = chyro_create(&p, kFlags);
        if (r < 0) return r;
        reader_settings_apply(p, kSettings, std::size(kSettings),
                              [](auto *q, int id, auto v) { chyro_set_param(q, id, v); });
        r = chyro_parse(p, src, out, conv_write_event, cb_startdate);
        chyro_destroy(&p);
        return r;
    });
}
