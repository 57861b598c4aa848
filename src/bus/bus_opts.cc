#include "bus_opts.h"

#include <cstdio>
#include <new>
#include <string>

#include "bus.h"
#include "svc.h"

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

void bus_opts_url(text4k &url, const char *addr) {
    url = svc_rpc_url(addr);
}

bus *bus_opts_last(mivrabox_opts *rec) {
    return rec->bus_count > 0 ? rec->busses[rec->bus_count - 1] : nullptr;
}

namespace {

// 1 when id is a per-bus option both daemons share.
int apply_bus(bus *b, int id, const char *arg) {
    switch (id) {
        case BUS_OPT_PATH:
            b->path = arg;
            return 1;
        case BUS_OPT_LIB:
            bus_opts_url(b->lib_url, arg);
            return 1;
        case BUS_OPT_CURRENT:
            b->current = arg;
            return 1;
        case BUS_OPT_ARL_EXT:
            b->arl_ext = arg;
            return 1;
        case BUS_OPT_WHOIS_METHOD:
            b->whois_method = opts_int(arg);
            return 1;
        case BUS_OPT_WHOIS_ARG_0:
        case BUS_OPT_WHOIS_ARG_1:
        case BUS_OPT_WHOIS_ARG_2:
        case BUS_OPT_WHOIS_ARG_3:
            b->whois_arg[id - BUS_OPT_WHOIS_ARG_0] = arg;
            return 1;
        case BUS_OPT_AUTO_APPEND:
            b->auto_append = arg;
            return 1;
    }
    return 0;
}

bool is_bus_opt(int id) {
    return id >= BUS_OPT_PATH && id <= BUS_OPT_AUTO_APPEND;
}

}  // namespace

int bus_opts_apply(mivrabox_opts *rec, int id, const char *arg) {
    switch (id) {
        case BUS_OPT_PORT:
            // A port that is no number would leave the server on a port picked by chance.
            return opts_port(arg, &rec->port) ? 1 : -1;
        case BUS_OPT_ADD_BUS: {
            // Surplus busses are ignored.
            if (rec->bus_count >= BUS_MAX || !rec->daemon || !rec->daemon->bus_alloc) return 1;
            bus *b = nullptr;
            if (rec->daemon->bus_alloc(&b) < 0) return 1;
            b->index = rec->bus_count;
            rec->busses[rec->bus_count++] = b;
            return 1;
        }
    }
    if (!is_bus_opt(id)) return 0;
    // Per-bus options before the first add-bus are ignored without a message.
    bus *b = bus_opts_last(rec);
    if (b) apply_bus(b, id, arg);
    return 1;
}

int bus_opts_parse(mivrabox_opts *rec, const char *prog, const opts_def *table, size_t n,
                   int (*own)(mivrabox_opts *rec, int id, const char *arg), void (*usage)(),
                   int argc, char **argv) {
    svc_parse_form form;
    form.defaults = [rec] { rec->port = BUS_DEFAULT_PORT; };
    return svc_opts_parse(
        *rec, prog, std::vector<opts_def>(table, table + n),
        [rec, own](int id, const char *arg) {
            if (int r = bus_opts_apply(rec, id, arg)) return r < 0 ? -1 : 0;
            return own ? own(rec, id, arg) : 0;
        },
        usage, argc, argv, form);
}

void bus_opts_usage(const char *banner, const char *prog) {
    fprintf(stderr,
            "%s\n"
            "Usage:\n"
            "    %s [args]\n"
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
            banner, prog);
}
