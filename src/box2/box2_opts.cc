#include "box2_opts.h"

#include <cstdio>

#include "box2_bus.h"

namespace {

enum opt_id {
    O_IO_A = BUS_OPT_OWN,
    O_IO_B,
    O_OXTEL,
    O_IO_DELAY,
    O_DEFAULT_ASSET,
};

// Order drives getopt_long; the options of every long-running program follow (svc.h).
const opts_def kTable[] = {
    {"port", required_argument, BUS_OPT_PORT},
    {"add-bus", no_argument, BUS_OPT_ADD_BUS},
    {"path", required_argument, BUS_OPT_PATH, true},
    {"io-a", required_argument, O_IO_A},
    {"io-b", required_argument, O_IO_B},
    {"oxtel", required_argument, O_OXTEL},
    {"io-delay", required_argument, O_IO_DELAY},
    {"lib", required_argument, BUS_OPT_LIB},
    {"current", required_argument, BUS_OPT_CURRENT},
    {"default-asset", required_argument, O_DEFAULT_ASSET},
    {"arl-ext", required_argument, BUS_OPT_ARL_EXT},
    {"whois-method", required_argument, BUS_OPT_WHOIS_METHOD},
    {"whois-arg-0", required_argument, BUS_OPT_WHOIS_ARG_0},
    {"whois-arg-1", required_argument, BUS_OPT_WHOIS_ARG_1},
    {"whois-arg-2", required_argument, BUS_OPT_WHOIS_ARG_2},
    {"whois-arg-3", required_argument, BUS_OPT_WHOIS_ARG_3},
    {"auto-append", required_argument, BUS_OPT_AUTO_APPEND, true},
};

int apply_own(mivrabox_opts *rec, int id, const char *arg) {
    // Per-bus options before the first add-bus are ignored without a message.
    box2_bus *b = static_cast<box2_bus *>(bus_opts_last(rec));
    if (!b) return 0;
    switch (id) {
        case O_IO_A:
            b->io_a = arg;
            bus_opts_url(b->io_a_url, arg);
            break;
        case O_IO_B:
            b->io_b = arg;
            bus_opts_url(b->io_b_url, arg);
            break;
        case O_OXTEL:
            b->oxtel_addr = arg;
            break;
        case O_IO_DELAY:
            b->io_delay = opts_int(arg);
            break;
        case O_DEFAULT_ASSET:
            b->default_asset = arg;
            break;
    }
    return 0;
}

}  // namespace

void box2_usage() {
    bus_opts_usage(BOX2_BANNER, BOX2_PROGRAM);
}

int box2_opts_parse(mivrabox_opts *rec, int argc, char **argv) {
    box2_setup(rec);
    return bus_opts_parse(rec, BOX2_PROGRAM, kTable, std::size(kTable), apply_own, box2_usage, argc,
                          argv);
}
