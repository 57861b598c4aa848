// Option parsing shared by every long-running program: long options from the command line, then
// options files named by the non-option arguments, one argument per line, read recursively.
#pragma once

#include <getopt.h>

#include <functional>
#include <string>
#include <vector>

struct opts_def {
    const char *name;  // long name, without the dashes
    int has_arg;       // no_argument or required_argument
    int id;            // handed to apply; 'h' is the conventional help
    // A local file or folder: a long-running program makes it absolute before apply sees it.
    bool path = false;
};

struct opts_program {
    const char *prog;              // "opts_from_file" messages name no program, usage does
    std::vector<opts_def> table;   // order drives getopt_long
    const char *short_opts = "h";  // short options for getopt_long
    // Sets the defaults that every parse puts back (log name, rotation, port).
    std::function<void()> defaults;
    // Applies one option; a negative result ends the parse as an unknown option would, a
    // positive one ends every parse (options files included) with that result.
    // The id 'h' is handled before apply is called.
    std::function<int(int id, const char *arg)> apply;
    // Prints the usage text on standard error.
    std::function<void()> usage;
    // Told the path of each options file that parsed without error.
    std::function<void(const std::string &path)> file_read;
};

// 0 when the whole parse went through; -1 after help or an option that the table does not hold
// (message and usage text printed), so that the caller can end.
int opts_from_file(const opts_program &p, int argc, char **argv);

// Integer option values: base 10, text that is no number gives 0, trailing text ignored.
int opts_int(const char *arg);
// A TCP or UDP port: only decimal digits, 1 to 65535. False, with *port untouched, otherwise.
bool opts_port(const char *arg, int *port);
