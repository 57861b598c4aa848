// Command line and options files of MivraBoxLibAdapter.
#pragma once

#include "adapter.h"
#include "svc.h"

// 0, or -1 after help or a bad option (message and usage printed).
int adapter_opts_parse(adapter_instance *a, svc_base_opts *base, int argc, char **argv);
void adapter_usage();
