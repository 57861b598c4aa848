// One row of the table that bench/run prints once every benchmark ran: what was measured, its
// figure and the baseline's figure from the same run, their ratio, and which way is better.
// bench/run shows a row of two rates of one unit ("... calls/s") as figure / baseline, "higher".
#pragma once

#include <cstdio>
#include <string>

inline void bench_summary(const std::string &what, const std::string &figure,
                          const std::string &baseline, double ratio, const char *better) {
    printf("SUMMARY\t%s\t%s\t%s\t%.2f\t%s\n", what.c_str(), figure.c_str(), baseline.c_str(), ratio,
           better);
}

// printf into a string, for the figure columns.
inline std::string bench_fmt(const char *fmt, double v) {
    char buf[64];
    snprintf(buf, sizeof buf, fmt, v);
    return buf;
}
