#include "box2_opts.h"

#include <cstdio>
#include <new>

#include "bus.h"
#include "opts.h"

namespace {

enum opt_id {
    O_PORT = 1000,
    O_ADD_BUS,
    O_PATH,
    O_IO_A,
    O_IO_B,
    O_OXTEL,
    O_IO_DELAY,
    O_LIB,
    O_CURRENT,
    O_DEFAULT_ASSET,
    O_ARL_EXT,
    O_WHOIS_METHOD,
    O_WHOIS_ARG_0,
    O_WHOIS_ARG_1,
    O_WHOIS_ARG_2,
    O_WHOIS_ARG_3,
    O_AUTO_APPEND,
    O_LOG_FILE_NAME,
    O_LOG_ROTATE_INTERVAL,
    O_DEMONIZE,
    O_NODEMONIZE,
    O_HELP = 'h',
    O_REALTIME_IO = 2000,
    O_CPU_AFFINITY,
    O_DEBUG,
    O_REALTIME_CPU,
};

// Order drives getopt_long.
const opts_def kTable[] = {
    {"port", required_argument, O_PORT},
    {"add-bus", no_argument, O_ADD_BUS},
    {"path", required_argument, O_PATH},
    {"io-a", required_argument, O_IO_A},
    {"io-b", required_argument, O_IO_B},
    {"oxtel", required_argument, O_OXTEL},
    {"io-delay", required_argument, O_IO_DELAY},
    {"lib", required_argument, O_LIB},
    {"current", required_argument, O_CURRENT},
    {"default-asset", required_argument, O_DEFAULT_ASSET},
    {"arl-ext", required_argument, O_ARL_EXT},
    {"whois-method", required_argument, O_WHOIS_METHOD},
    {"whois-arg-0", required_argument, O_WHOIS_ARG_0},
    {"whois-arg-1", required_argument, O_WHOIS_ARG_1},
    {"whois-arg-2", required_argument, O_WHOIS_ARG_2},
    {"whois-arg-3", required_argument, O_WHOIS_ARG_3},
    {"auto-append", required_argument, O_AUTO_APPEND},
    {"log-file-name", required_argument, O_LOG_FILE_NAME},
    {"log-rotate-interval", required_argument, O_LOG_ROTATE_INTERVAL},
    {"demonize", no_argument, O_DEMONIZE},
    {"nodemonize", no_argument, O_NODEMONIZE},
    {"help", no_argument, O_HELP},
    {"realtime-io", no_argument, O_REALTIME_IO},
    {"cpu-affinity", required_argument, O_CPU_AFFINITY},
    {"debug", no_argument, O_DEBUG},
    {"realtime-cpu", required_argument, O_REALTIME_CPU},
};

// A player or service address given as host:port, kept as written and as its RPC URL.
void set_url(text4k &url, const char *addr) {
    char buf[4096 + 16];
    snprintf(buf, sizeof(buf), "http://%s/RPC2", addr);
    url = buf;
}

int apply_bus(bus *b, int id, const char *arg) {
    switch (id) {
        case O_PATH:
            b->path = arg;
            break;
        case O_IO_A:
            b->io_a = arg;
            set_url(b->io_a_url, arg);
            break;
        case O_IO_B:
            b->io_b = arg;
            set_url(b->io_b_url, arg);
            break;
        case O_OXTEL:
            b->oxtel_addr = arg;
            break;
        case O_IO_DELAY:
            b->io_delay = opts_int(arg);
            break;
        case O_LIB:
            set_url(b->lib_url, arg);
            break;
        case O_CURRENT:
            b->current = arg;
            break;
        case O_DEFAULT_ASSET:
            b->default_asset = arg;
            break;
        case O_ARL_EXT:
            b->arl_ext = arg;
            break;
        case O_WHOIS_METHOD:
            b->whois_method = opts_int(arg);
            break;
        case O_WHOIS_ARG_0:
        case O_WHOIS_ARG_1:
        case O_WHOIS_ARG_2:
        case O_WHOIS_ARG_3:
            b->whois_arg[id - O_WHOIS_ARG_0] = arg;
            break;
        case O_AUTO_APPEND:
            b->auto_append = arg;
            break;
    }
    return 0;
}

int apply(mivrabox_opts *rec, int id, const char *arg) {
    switch (id) {
        case O_PORT:
            rec->port = opts_int(arg);
            return 0;
        case O_ADD_BUS: {
            if (rec->bus_count >= BUS_MAX) return 0;  // surplus busses are ignored
            bus *b = nullptr;
            if (bus_new(&b) < 0) return 0;
            b->index = rec->bus_count;
            rec->busses[rec->bus_count++] = b;
            return 0;
        }
        case O_LOG_FILE_NAME:
            rec->log_file_name = arg;
            return 0;
        case O_LOG_ROTATE_INTERVAL:
            rec->log_rotate_interval = opts_int(arg);
            return 0;
        case O_DEMONIZE:
            rec->demonize = 1;
            return 0;
        case O_NODEMONIZE:
            rec->nodemonize = 1;
            return 0;
        case O_REALTIME_IO:
            rec->realtime_io = 1;
            return 0;
        case O_CPU_AFFINITY:
            rec->cpu_affinity = opts_int(arg);
            return 0;
        case O_DEBUG:
            rec->debug++;
            return 0;
        case O_REALTIME_CPU:
            rec->realtime_cpu = opts_int(arg);
            return 0;
    }
    // Per-bus options before the first add-bus are ignored without a message.
    if (rec->bus_count == 0) return 0;
    return apply_bus(rec->busses[rec->bus_count - 1], id, arg);
}

}  // namespace

int opts_new(mivrabox_opts **out) {
    if (!out) return -22;
    *out = new (std::nothrow) mivrabox_opts;
    return *out ? 0 : -12;
}

int opts_release(mivrabox_opts **rec) {
    if (!rec) return -22;
    if (!*rec) return -12;
    for (int i = 0; i < (*rec)->bus_count; i++) bus_free(&(*rec)->busses[i]);
    delete *rec;
    *rec = nullptr;
    return 0;
}

void box2_usage() {
    fprintf(stderr,
            "%s\n"
            "Usage:\n"
            "    MivraBox2 [args]\n"
            "Where args:\n"
            "    --add-bus                              activate bus\n"
            "    --path=<PATH>                          path where playlist/asrunlog will be "
            "saved    --io=<IP:PORT>                         IO connection\n"
            "    --lib=<IP:PORT>                        LIB connection\n"
            "    --demonize                         Become daemon on executing\n"
            "\n"
            "                                       Log file operation\n"
            "    --log-file-name=<STR>\n"
            "    --log-rotate-interval=<INT>\n"
            "\n"
            "    -h, --help                         Show this help and usage\n",
            BOX2_BANNER);
}

int box2_opts_parse(mivrabox_opts *rec, int argc, char **argv) {
    opts_program p;
    p.prog = BOX2_PROGRAM;
    p.table.assign(std::begin(kTable), std::end(kTable));
    p.defaults = [rec] {
        rec->log_file_name = BOX2_PROGRAM ".log";
        rec->log_rotate_interval = BOX2_DEFAULT_ROTATE;
        rec->port = BOX2_DEFAULT_PORT;
    };
    p.apply = [rec](int id, const char *arg) { return apply(rec, id, arg); };
    p.usage = box2_usage;
    p.file_read = [rec](const std::string &path) { rec->opts_file = path; };
    return opts_from_file(p, argc, argv);
}
