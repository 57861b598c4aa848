// Options files: the input is written to a file and parsed against a small option table.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <fcntl.h>
#include <unistd.h>

#include "file.h"
#include "opts.h"

namespace {

struct fuzz_state {
    std::string path;
    int port = 0, applied = 0;
    std::string last;
    opts_program p;

    fuzz_state() {
        char tmpl[] = "/tmp/mivra_opts_fuzz_XXXXXX";
        int fd = mkstemp(tmpl);
        if (fd >= 0) close(fd);
        path = tmpl;
        p.prog = "fuzz";
        p.table = {{"port", required_argument, 'p'},
                   {"add-bus", no_argument, 'b'},
                   {"path", required_argument, 'P'},
                   {"log-file-name", required_argument, 'l'},
                   {"help", no_argument, 'h'}};
        p.defaults = [this] { port = 3001; };
        // Touch every value so that a bad pointer handed to apply shows up.
        p.apply = [this](int id, const char *arg) {
            applied++;
            last.assign(arg ? arg : "");
            if (id == 'p') port = opts_int(arg);
            return 0;
        };
        p.usage = [] {};
    }
    ~fuzz_state() { unlink(path.c_str()); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static fuzz_state st;
    // Written in place: the parse may name this very file, which must then be read once.
    unique_fd fd(open(st.path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (!fd || write(fd.get(), data, size) != ssize_t(size)) return 0;
    fd.reset();
    std::string arg0 = "fuzz", arg1 = st.path;
    char *argv[] = {arg0.data(), arg1.data(), nullptr};
    st.applied = 0;
    opts_from_file(st.p, 2, argv);
    return 0;
}
