// The option table of MivraBox1 over the options both daemons share.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "box1_bus.h"
#include "file.h"
#include "wallclock.h"

namespace {

enum opt_id {
    O_IO = BUS_OPT_OWN,
    O_DEFAULT_ASSET,
    O_LIVE_0,
    O_LIVE_1,
    O_LIVE_2,
    O_LIVE_3,
    O_PEER_MASTER_BOX,
    O_PEER_MASTER_BUS,
    O_PEER_SLAVE_BOX,
    O_PEER_SLAVE_BUS,
    O_AA_KEYWORD,
    O_AA_TODAY,
    O_AA_TOMORROW,
    O_AA_YESTERDAY,
    O_AA_TOMORROW_P1,
    O_AA_TOMORROW_P2,
    O_ADVANCE,
};

// Order drives getopt_long; the options of every long-running program follow (svc.h).
const opts_def kTable[] = {
    {"port", required_argument, BUS_OPT_PORT},
    {"add-bus", no_argument, BUS_OPT_ADD_BUS},
    {"path", required_argument, BUS_OPT_PATH, true},
    {"io", required_argument, O_IO},
    {"lib", required_argument, BUS_OPT_LIB},
    {"current", required_argument, BUS_OPT_CURRENT},
    {"default-asset", required_argument, O_DEFAULT_ASSET},
    {"arl-ext", required_argument, BUS_OPT_ARL_EXT},
    {"whois-method", required_argument, BUS_OPT_WHOIS_METHOD},
    {"whois-arg-0", required_argument, BUS_OPT_WHOIS_ARG_0},
    {"whois-arg-1", required_argument, BUS_OPT_WHOIS_ARG_1},
    {"whois-arg-2", required_argument, BUS_OPT_WHOIS_ARG_2},
    {"whois-arg-3", required_argument, BUS_OPT_WHOIS_ARG_3},
    {"live-0", required_argument, O_LIVE_0},
    {"live-1", required_argument, O_LIVE_1},
    {"live-2", required_argument, O_LIVE_2},
    {"live-3", required_argument, O_LIVE_3},
    {"auto-append", required_argument, BUS_OPT_AUTO_APPEND, true},
    {"peer-master-box", required_argument, O_PEER_MASTER_BOX},
    {"peer-master-bus", required_argument, O_PEER_MASTER_BUS},
    {"peer-slave-box", required_argument, O_PEER_SLAVE_BOX},
    {"peer-slave-bus", required_argument, O_PEER_SLAVE_BUS},
    {"auto-append-filter-keyword", required_argument, O_AA_KEYWORD},
    {"auto-append-filter-today", no_argument, O_AA_TODAY},
    {"auto-append-filter-tomorrow", no_argument, O_AA_TOMORROW},
    {"auto-append-filter-yesterday", no_argument, O_AA_YESTERDAY},
    {"auto-append-filter-tomorrow-p1", no_argument, O_AA_TOMORROW_P1},
    {"auto-append-filter-tomorrow-p2", no_argument, O_AA_TOMORROW_P2},
    {"gettimeofday-advance", required_argument, O_ADVANCE},
};
// With the nine options of every long-running program behind it: 38.
static_assert(std::size(kTable) == 29);

int apply_own(mivrabox_opts *rec, int id, const char *arg) {
    if (id == O_ADVANCE) {
        // Process-wide, also before any add-bus; written before any thread runs.
        int64_t us = strtoll(arg, nullptr, 10);
        if (!time_advance_sane(us)) return -1;
        time_advance_set(us);
        return 0;
    }
    // Per-bus options before the first add-bus are ignored without a message.
    box1_bus *b = static_cast<box1_bus *>(bus_opts_last(rec));
    if (!b) return 0;
    switch (id) {
        case O_IO:
            bus_opts_url(b->io_url, arg);
            break;
        case O_DEFAULT_ASSET:
            // "<type>:<assets>"; an empty value has no second character to look at.
            if (!arg[0] || arg[1] != ':') {
                fprintf(stderr,
                        "ERROR! wrong format for --default-asset. should be "
                        "--default-asset=\"<event_type>:<asset>[+<asset>...]\"\n");
                return 1;
            }
            b->default_assets[static_cast<unsigned char>(arg[0])] = arg + 2;
            break;
        case O_LIVE_0:
        case O_LIVE_1:
        case O_LIVE_2:
        case O_LIVE_3:
            b->live[id - O_LIVE_0] = arg;
            break;
        case O_PEER_MASTER_BOX:
            bus_opts_url(b->peer_master_url, arg);
            break;
        case O_PEER_MASTER_BUS:
            b->peer_master_bus = opts_int(arg);
            break;
        case O_PEER_SLAVE_BOX:
            bus_opts_url(b->peer_slave_url, arg);
            break;
        case O_PEER_SLAVE_BUS:
            b->peer_slave_bus = opts_int(arg);
            break;
        case O_AA_KEYWORD:
            b->aa_keyword = arg;
            break;
        case O_AA_TODAY:
            b->aa_day_mask |= 1;
            break;
        case O_AA_TOMORROW:
            b->aa_day_mask |= 4;
            break;
        case O_AA_YESTERDAY:
            b->aa_day_mask |= 2;
            break;
        case O_AA_TOMORROW_P1:
            b->aa_day_mask |= 8;
            break;
        case O_AA_TOMORROW_P2:
            b->aa_day_mask |= 16;
            break;
    }
    return 0;
}

}  // namespace

void box1_usage() {
    bus_opts_usage(BOX1_BANNER, BOX1_PROGRAM);
}

int box1_opts_parse(mivrabox_opts *rec, int argc, char **argv) {
    box1_setup(rec);
    return bus_opts_parse(rec, BOX1_PROGRAM, kTable, std::size(kTable), apply_own, box1_usage, argc,
                          argv);
}
