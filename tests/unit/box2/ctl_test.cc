#include <netinet/in.h>
#include <sys/socket.h>
#include <xmlrpc-c/client.h>

#include <set>
#include <string>
#include <thread>

#include "box2_opts.h"
#include "box2_bus.h"
#include "box2_test_util.h"
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

int free_port() {
    unique_fd s(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s.get(), reinterpret_cast<sockaddr *>(&a), sizeof(a));
    socklen_t n = sizeof(a);
    getsockname(s.get(), reinterpret_cast<sockaddr *>(&a), &n);
    return ntohs(a.sin_port);
}

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

namespace {

// A control server with one bus, served on its own thread, and a client to call it.
struct CtlServer : ::testing::Test {
    mivrabox_opts o;
    std::thread th;
    xmlrpc_client *client = nullptr;
    std::string url;
    void SetUp() override {
        box2_test_pin();
        o.port = free_port();
        box2_setup(&o);
        bus *b = nullptr;
        ASSERT_EQ(box2_bus_new(&b), 0);
        o.busses[o.bus_count++] = b;
        ASSERT_EQ(ctl_init(&o), 0);
        th = std::thread([this] { ctl_run(&o); });
        xr_env env;
        xmlrpc_client_setup_global_const(&env);
        xmlrpc_client_create(&env, XMLRPC_CLIENT_NO_FLAGS, "test", "1", nullptr, 0, &client);
        ASSERT_FALSE(env.fault());
        url = "http://127.0.0.1:" + std::to_string(o.port) + "/RPC2";
    }
    void TearDown() override {
        // The client goes first: the server waits for open connections when it stops.
        xmlrpc_client_destroy(client);
        xmlrpc_client_teardown_global_const();
        ctl_stop(&o);
        th.join();
        ctl_release(&o);
        bus_free(&o.busses[0]);
    }
    // {"result", "list" of one-string arrays} of an argument-less call.
    std::pair<int, std::vector<std::string>> list_call(const char *method) {
        xr_env env;
        xmlrpc_server_info *si = xmlrpc_server_info_new(&env, url.c_str());
        xr_value params(xmlrpc_array_new(&env));
        xmlrpc_value *reply = nullptr;
        xmlrpc_client_call2(&env, client, si, method, params.get(), &reply);
        xmlrpc_server_info_free(si);
        xr_value hold(reply);
        EXPECT_FALSE(env.fault()) << env.msg();
        int r = -1;
        xmlrpc_value *list = nullptr;
        xmlrpc_decompose_value(&env, reply, "{s:i,s:A,*}", "result", &r, "list", &list);
        xr_value lh(list);
        std::vector<std::string> names;
        for (int i = 0; !env.fault() && i < xmlrpc_array_size(&env, list); i++) {
            xmlrpc_value *item = nullptr;
            xmlrpc_array_read_item(&env, list, i, &item);
            xr_value ih(item);
            char *s = nullptr;
            xmlrpc_decompose_value(&env, item, "(s)", &s);
            names.emplace_back(s ? s : "");
            free(s);
        }
        return {r, names};
    }
};

// The graphics side answers a listing: names, then the end of the list. A wake-up before the
// end must not end the wait, and a second call within 5 s is answered from the stored names.
TEST_F(CtlServer, TemplateListing) {
    box2_bus *b = box2_of(o.busses[0]);
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    // A name as the device's listing callback stores it.
    auto add = [b](const char *name) {
        std::lock_guard lk(b->tmpl.mu);
        b->tmpl.names.emplace_back(name);
    };
    std::thread device([&] {
        while (!stop) {
            bool busy;
            {
                std::lock_guard lk(b->tmpl.mu);
                busy = b->tmpl.busy && !b->tmpl.done;
            }
            if (busy) {
                add("beta");
                b->tmpl.cv.notify_all();  // spurious: the list is not complete yet
                usleep(20 * 1000);
                add("Alpha");
                add("gamma");
                box2_tmpl_listing_end(b);
                answered++;
            }
            usleep(1000);
        }
    });
    auto r = list_call("MivraLib.LibListTemplates");
    EXPECT_EQ(r.first, 0);
    EXPECT_EQ(r.second, (std::vector<std::string>{"Alpha", "beta", "gamma"}));
    r = list_call("MivraLib.LibListTemplates");
    EXPECT_EQ(r.second.size(), 3u);
    EXPECT_EQ(answered, 1);  // the second answer came from the stored names
    stop = true;
    device.join();
    r = list_call("MivraLib.LibListTemplateVars");
    EXPECT_EQ(r.first, 18);
    EXPECT_EQ(r.second.size(), 18u);
}

}  // namespace
