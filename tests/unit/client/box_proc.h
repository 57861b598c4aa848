// A bus daemon from the build folder on a free port with a bus folder of its own, for the box
// client tests against the real daemons.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "fake_client.h"

extern char **environ;

namespace fs = std::filesystem;

// A daemon beside this test in the build tree: <build>/tests/unit/client -> <build>/<rel>.
inline fs::path box_path(const char *rel) {
    if (const char *b = getenv("MIVRA_BUILD")) return fs::path(b) / rel;
    fs::path self = fs::read_symlink("/proc/self/exe").parent_path();
    return self.parent_path().parent_path().parent_path() / rel;
}

inline bool answers(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

class box_proc {
   public:
    // rel: the daemon in the build folder, e.g. "src/box2/MivraBox2".
    explicit box_proc(const char *rel) : rel_(rel) {}
    ~box_proc() { stop(); }

    // Starts the daemon with one bus; a port taken in between makes it end, and it is tried
    // again on another.
    // extra: option lines of the bus, after its folder.
    bool start(const std::string &extra = "") {
        extra_ = extra;
        char tmpl[] = "/tmp/boxclient-XXXXXX";
        if (!mkdtemp(tmpl)) return false;
        dir = tmpl;
        bus = dir / "bus0";
        fs::create_directory(bus);
        for (int attempt = 0; attempt < 5; attempt++) {
            port = free_loopback_port();
            if (spawn() && wait_ready()) return true;
            stop_proc();
        }
        return false;
    }

    void stop() {
        stop_proc();
        if (!dir.empty()) {
            std::error_code ec;
            fs::remove_all(dir, ec);
            dir.clear();
        }
    }

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port) + "/RPC2"; }

    fs::path dir, bus;
    int port = 0;

   private:
    bool spawn() {
        fs::path conf = dir / "box.conf";
        std::ofstream(conf) << "--port=" << port
                            << "\n--log-file-name=" << (dir / "box.log").string()
                            << "\n--add-bus\n--path=" << bus.string()
                            << "\n--current=current.ply\n--arl-ext=arl\n"
                            << extra_;
        std::string exe = box_path(rel_).string(), conf_s = conf.string();
        std::vector<char *> argv = {exe.data(), conf_s.data(), nullptr};
        std::string err = (dir / "stderr.txt").string();
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        setenv("TZ", "UTC", 1);
        setenv("TC_MODE", "pal", 1);
        int rc = posix_spawn(&pid_, exe.c_str(), &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0) pid_ = -1;
        return rc == 0;
    }

    bool wait_ready() {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            int status;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            if (answers(port)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    void stop_proc() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        reap_child(pid_, 10);
        pid_ = -1;
    }

    const char *rel_;
    std::string extra_;
    pid_t pid_ = -1;
};
