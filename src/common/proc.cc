#include "proc.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int daemonize() {
    // Buffered output must not be written twice, once by each process.
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "ERROR: 'fork' failed with code %d\n", int(pid));
        return 1;
    }
    if (pid > 0) _exit(0);

    // Files and folders a daemon creates (logs, playlists, as-run files) are not writable by
    // other accounts; a file that needs another mode sets it explicitly.
    umask(022);
    pid_t sid = setsid();
    if (sid < 0) {
        fprintf(stderr, "ERROR: 'setid' failed with code %d\n", int(sid));
        return 1;
    }
    int r = chdir("/");
    if (r < 0) {
        fprintf(stderr, "ERROR: Unable to change root directory. 'chdir' failed with code %d\n", r);
        return 1;
    }
    int fd = open("/dev/null", O_RDWR);
    if (fd >= 0) {
        dup2(fd, STDIN_FILENO);
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
        // When 0, 1 or 2 were closed, the open took one of them: it must stay.
        if (fd > STDERR_FILENO) close(fd);
    }
    return 0;
}

char *strip_ctl_chars(char *text) {
    if (!text) return text;
    char *w = text;
    for (const char *r = text; *r; r++)
        if (*r != '\t' && *r != '\n' && *r != '\r') *w++ = *r;
    *w = 0;
    return text;
}
