// Start-up record of the bus daemons and the option table of MivraBox2.
#pragma once

#include <atomic>

#include "text.h"

struct bus;
struct ctl_server;

constexpr int BUS_MAX = 16;
constexpr int BOX2_DEFAULT_PORT = 3001;
constexpr int BOX2_DEFAULT_ROTATE = 86400;
#define BOX2_PROGRAM "MivraBox2"
#define BOX2_BANNER BOX2_PROGRAM "-" MIVRA_VERSION

struct mivrabox_opts {
    int bus_count = 0;
    bus *busses[BUS_MAX] = {};
    ctl_server *ctl = nullptr;
    std::atomic<int> stop_requested{0};  // a stop signal came, maybe before the server ran
    int port = BOX2_DEFAULT_PORT;
    int cpu_affinity = 0;
    int realtime_io = 0;
    int realtime_cpu = 0;
    std::atomic<int> *sig_counter = nullptr;
    int debug = 0;
    int demonize = 0;
    int nodemonize = 0;
    text4k opts_file;
    text4k log_file_name{BOX2_PROGRAM ".log"};
    int log_rotate_interval = BOX2_DEFAULT_ROTATE;
};

// -22 for a null out pointer, -12 when allocation fails, else 0.
int opts_new(mivrabox_opts **out);
// Frees the busses that were never started, then the record; clears *rec.
int opts_release(mivrabox_opts **rec);

// Parses the command line and the options files it names into rec (busses created by add-bus).
// 0, or -1 after help or an option that the table does not hold.
int box2_opts_parse(mivrabox_opts *rec, int argc, char **argv);
void box2_usage();
