// Process-level helpers of the long-running programs.
#pragma once

// Detaches from the terminal into "/" with a umask of 022; 0 in the detached child, 1 on
// failure. The parent never returns.
int daemonize();

// Frees *rec and clears it: -22 for a null address, -12 when *rec was already null, else 0.
template <class T>
int opts_free(T **rec) {
    if (!rec) return -22;
    if (!*rec) return -12;
    delete *rec;
    *rec = nullptr;
    return 0;
}

// Removes every TAB, LF and CR in place; returns text.
char *strip_ctl_chars(char *text);
