// The option table of MivraBox2.
#pragma once

#include "bus_opts.h"

#define BOX2_PROGRAM "MivraBox2"
#define BOX2_BANNER BOX2_PROGRAM "-" MIVRA_VERSION

// Parses the command line and the options files it names into rec (busses created by add-bus).
// 0, or -1 after help or an option that the table does not hold.
int box2_opts_parse(mivrabox_opts *rec, int argc, char **argv);
void box2_usage();
