// abcvsreader: one AB CVS table to a playlist file.
#include <cstdio>

#include "abcvs.h"
#include "reader.h"
#include "svc.h"

namespace {

reader_output g_out;

int conv_write_event(abcvs_handle *, mivrabox_event *ev, void *) {
    reader_output_event(g_out, ev);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "Error! Not enough arguments.\nUsage:\n\t%s <src.cvs> <dst.ply>\n",
                argv[0]);
        return 1;
    }
    svc_tc_setmode();
    if (reader_output_open(g_out, argv[2]) < 0) return 1;

    abcvs_handle *h = nullptr;
    if (abcvs_create(&h) == 0) {
        abcvs_parse(h, argv[1], stderr, nullptr, conv_write_event);
        abcvs_destroy(&h);
    }

    return reader_output_close(g_out) < 0 ? 1 : 0;
}
