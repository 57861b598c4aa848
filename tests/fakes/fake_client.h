// C++ side of the fakes: starts fake.py as a child process on a free port and drives its
// "Fake." control methods (scripts, call log, datagrams) with a client of its own, so that the
// pool under test is never used for the test's own bookkeeping.
#pragma once

#include <xmlrpc-c/base.h>

#include <initializer_list>
#include <string>
#include <sys/types.h>
#include <vector>

struct xmlrpc_client;

// A loopback TCP port that was free a moment ago (nothing listens on it).
int free_loopback_port();
// Waits up to seconds for child pid to end, then kills it; the child is reaped either way.
void reap_child(pid_t pid, int seconds);

class fake_proc {
   public:
    fake_proc() = default;
    fake_proc(const fake_proc &) = delete;
    fake_proc &operator=(const fake_proc &) = delete;
    ~fake_proc();

    // Starts the named fakes ("io", ...) in one process; 0, or -1 with the reason on stderr.
    int start(std::initializer_list<const char *> names);
    void stop();

    int port() const { return port_; }
    std::string url() const;       // http://127.0.0.1:<port>/RPC2
    std::string hostport() const;  // 127.0.0.1:<port>

    // Queues a reply script (see fake_base.py) built from an xmlrpc-c format, e.g.
    // script("MivraIO.Play", "{s:{s:i}}", "set", "result", -5).
    void script(const char *method, const char *format, ...);
    // Canonical texts of the logged calls of a method, of a namespace ("MivraIO.") or all.
    std::vector<std::string> calls(const char *which = "");
    int wait_calls(int n, double timeout = 10, const char *which = "");
    struct datagram {
        std::string data;
        double time;
    };
    std::vector<datagram> datagrams();
    int wait_datagrams(int n, double timeout = 10);
    int max_in_flight();
    void reset();
    void release();

    // Calls a control method; the reply (caller releases) or null after a message on stderr.
    xmlrpc_value *control(const char *method, const char *format, ...);

   private:
    pid_t pid_ = -1;
    int stdin_fd_ = -1;
    int port_ = 0;
    xmlrpc_client *client_ = nullptr;
};
