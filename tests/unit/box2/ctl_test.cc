// MivraBox2's own control calls: the graphics template listing.
#include <netinet/in.h>
#include <sys/socket.h>
#include <xmlrpc-c/client.h>

#include <set>
#include <string>
#include <thread>

#include "box2_opts.h"
#include "box2_bus.h"
#include "bus_test_util.h"
#include "ctl.h"
#include "file.h"
#include "xr.h"

#include <atomic>
#include <vector>

namespace {

// A control server with one bus, served on its own thread, and a client to call it.
struct CtlServer : ::testing::Test {
    mivrabox_opts o;
    std::thread th;
    xmlrpc_client *client = nullptr;
    std::string url;
    void SetUp() override {
        bus_test_pin();
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
