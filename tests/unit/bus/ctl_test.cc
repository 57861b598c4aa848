// The control server frame: the shared method table, stopping around the run, a busy port.
#include <netinet/in.h>
#include <sys/socket.h>
#include <xmlrpc-c/client.h>

#include <set>
#include <string>
#include <thread>

#include "bus_opts.h"
#include "bus_test_util.h"
#include "ctl.h"
#include "file.h"
#include "xr.h"

#include <atomic>
#include <vector>

// xmlrpc-c keeps a small block when server creation fails on a busy port.
extern "C" const char *__lsan_default_suppressions() {
    return "leak:xmlrpc_server_abyss_create\n";
}

namespace {

TEST(Ctl, MethodTableIsData) {
    EXPECT_EQ(ctl_methods_shared_count, 25u);
    std::set<std::string> names;
    for (size_t i = 0; i < ctl_methods_shared_count; i++) {
        EXPECT_EQ(std::string(ctl_methods_shared[i].name).rfind("MivraBox.", 0), 0u);
        EXPECT_NE(ctl_methods_shared[i].handler, nullptr);
        names.insert(ctl_methods_shared[i].name);
    }
    EXPECT_EQ(names.size(), 25u);
    EXPECT_STREQ(ctl_methods_shared[0].name, "MivraBox.GetState");
    EXPECT_STREQ(ctl_methods_shared[24].name, "MivraBox.ResetEventsTC");
}

// A stop that arrives before the server loop runs still ends it.
TEST(Ctl, StopBeforeRun) {
    mivrabox_opts o;
    o.port = free_port();
    EXPECT_EQ(ctl_stop(&o), -22);  // no server yet, but remembered
    ASSERT_EQ(ctl_init(&o), 0);
    EXPECT_EQ(ctl_run(&o), 0);
    EXPECT_EQ(ctl_release(&o), 0);
    EXPECT_EQ(ctl_release(&o), -22);
}

TEST(Ctl, StopWhileRunningAndStopBetweenCheckAndLoop) {
    for (int round = 0; round < 20; round++) {
        mivrabox_opts o;
        o.port = free_port();
        ASSERT_EQ(ctl_init(&o), 0);
        std::thread stopper([&] {
            if (round % 2) usleep(1000 * (round % 5));
            ctl_stop(&o);
        });
        EXPECT_EQ(ctl_run(&o), 0);
        stopper.join();
        ctl_release(&o);
    }
}

TEST(Ctl, BusyPortFailsInit) {
    mivrabox_opts o;
    unique_fd s(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    bind(s.get(), reinterpret_cast<sockaddr *>(&a), sizeof(a));
    listen(s.get(), 1);
    socklen_t n = sizeof(a);
    getsockname(s.get(), reinterpret_cast<sockaddr *>(&a), &n);
    o.port = ntohs(a.sin_port);
    EXPECT_EQ(ctl_init(&o), -14);
    EXPECT_EQ(o.ctl, nullptr);
    EXPECT_EQ(ctl_init(nullptr), -22);
}

}  // namespace
