// The link over real loopback TCP, against the fake device and against sockets of the test.
#include <gtest/gtest.h>

#include "oxtel_test_util.h"

using namespace oxt;
using strings = std::vector<std::string>;

namespace {

std::string client_address(int port) {
    return "127.0.0.1:" + std::to_string(port);
}

// A link in client mode connected to a listener of the test; fd is the accepted peer.
struct client_pair {
    int port = 0;
    unique_fd listener{tcp_listen(&port)};
    test_link link{OXTEL_CLIENT, client_address(port)};
    unique_fd fd{tcp_accept(listener.get())};
    client_pair() {
        EXPECT_TRUE(eventually([&] { return link.connected(); }));
    }
};

// A port on which nothing listens.
int closed_port() {
    int port = 0;
    unique_fd l(tcp_listen(&port));
    return port;
}

}  // namespace

TEST(OxtelClient, FramesMergedAndSplitMessages) {
    fake_device dev;
    test_link link(OXTEL_CLIENT, client_address(dev.port));
    ASSERT_TRUE(dev.wait_line("CONN 0"));
    ASSERT_TRUE(eventually([&] { return link.rec.conn_states() == std::vector<int>{1}; }));

    dev.run("send Y6:Y61:");
    ASSERT_TRUE(eventually([&] { return link.rec.msg_count() == 2; }));
    EXPECT_EQ(link.rec.texts(), (strings{"Y6", "Y61"}));

    // fragments of 1, 3 and 4 bytes arrive apart; CR and LF are ordinary bytes
    dev.run("split 1,3,4 Z0110he\\r\\nlo:A1:A");
    dev.run("send 2:");
    ASSERT_TRUE(eventually([&] { return link.rec.msg_count() == 5; }));
    EXPECT_EQ(link.rec.texts(), (strings{"Y6", "Y61", "Z0110he\r\nlo", "A1", "A2"}));
    EXPECT_EQ(link.rec.msgs[2].first, 0);
}

TEST(OxtelClient, ReconnectsAtOnceAfterCloseAndReset) {
    fake_device dev;
    test_link link(OXTEL_CLIENT, client_address(dev.port));
    ASSERT_TRUE(dev.wait_line("CONN 0"));
    dev.run("close");
    ASSERT_TRUE(dev.wait_line("CONN 1"));
    // A reset that lands before the link has seen its connect complete is a failed attempt
    // (retried a second later), not a lost connection: reset only an established one.
    ASSERT_TRUE(eventually([&] { return link.rec.conn_states().size() == 3; }));
    dev.run("reset");
    ASSERT_TRUE(dev.wait_line("CONN 2"));
    ASSERT_TRUE(eventually([&] { return link.rec.conn_states().size() == 5; }));
    EXPECT_EQ(link.rec.conn_states(), (std::vector<int>{1, 0, 1, 0, 1}));

    ASSERT_TRUE(eventually([&] { return link.connected(); }));
    EXPECT_EQ(link.send("S01"), 3);
    ASSERT_TRUE(dev.wait_received(1));
    EXPECT_EQ(dev.received(), strings{"S01"});
}

TEST(OxtelClient, RetriesWhileDeviceIsAbsentAndDropsSends) {
    fake_device dev;
    dev.run("unlisten");
    test_link link(OXTEL_CLIENT, client_address(dev.port));
    ASSERT_TRUE(log_waits_for("Failed to connect " + client_address(dev.port)));
    EXPECT_EQ(link.send("LOST"), 4);  // the length, although nothing is queued
    EXPECT_TRUE(log_waits_for("not connected, 4 bytes dropped"));

    dev.run("listen");
    ASSERT_TRUE(dev.wait_line("CONN 0"));
    ASSERT_TRUE(eventually([&] { return link.connected(); }));
    EXPECT_EQ(link.send("S02"), 3);
    ASSERT_TRUE(dev.wait_received(1));
    EXPECT_EQ(dev.received(), strings{"S02"});
}

TEST(OxtelClient, FragmentOfOldStreamDoesNotJoinNewConnection) {
    fake_device dev;
    test_link link(OXTEL_CLIENT, client_address(dev.port));
    ASSERT_TRUE(dev.wait_line("CONN 0"));
    dev.run("send X1:Z0110par");
    ASSERT_TRUE(eventually([&] { return link.rec.msg_count() == 1; }));
    dev.run("close");
    ASSERT_TRUE(dev.wait_line("CONN 1"));
    dev.run("send S01:");
    ASSERT_TRUE(eventually([&] { return link.rec.msg_count() == 2; }));
    EXPECT_EQ(link.rec.texts(), (strings{"X1", "S01"}));
}

TEST(OxtelClient, OverrunDiscardsTheWholeOverlongMessage) {
    client_pair p;
    // the longest message that fits, then one with no ':' in 4096 bytes, then one of 5000
    std::string longest(4095, 'a');
    send_all(p.fd.get(), longest + ":");
    ASSERT_TRUE(eventually([&] { return p.link.rec.msg_count() == 1; }));
    EXPECT_EQ(p.link.rec.texts()[0], longest);

    send_all(p.fd.get(), std::string(4096, 'x') + "S02TAIL:S01:");
    send_all(p.fd.get(), std::string(5000, 'y') + ":A1:");
    ASSERT_TRUE(eventually([&] { return p.link.rec.msg_count() == 3; }));
    EXPECT_EQ(p.link.rec.texts(), (strings{longest, "S01", "A1"}));
    EXPECT_TRUE(log_waits_for("buffer uverrun"));
}

TEST(OxtelClient, QueuedMessagesSurviveALostConnectionWhole) {
    // a peer that does not read, with a small receive buffer, backs the queue up
    int port = 0, small = 2048;
    unique_fd listener(tcp_listen(&port, 4, small));
    test_link link(OXTEL_CLIENT, client_address(port));
    unique_fd first(tcp_accept(listener.get()));
    ASSERT_TRUE(eventually([&] { return link.connected(); }));
    auto queued = [&] {
        std::lock_guard lk(link->mutex);
        return link->tcp.clients[0].write.size;
    };
    {
        // small kernel buffers on both ends, so that a write is cut inside a message
        std::lock_guard lk(link->mutex);
        setsockopt(link->sock, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    }
    std::string filler(2000, 'f');
    char msg[64];
    int next = 0;
    // fill until the queue stops draining: the kernel buffers are full by then
    auto end = clock_type::now() + kWait;
    while (clock_type::now() < end) {
        if (queued() > 2000 && !eventually([&] { return queued() <= 2000; }, milliseconds(200)))
            break;
        snprintf(msg, sizeof msg, "M%05d-", next++ % 100000);
        link.send(msg + filler);
    }
    ASSERT_GT(queued(), 2000);
    // a reset loses what the kernel held; what the link still queues goes out next time
    linger lg = {1, 0};
    setsockopt(first.get(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    first.reset();
    unique_fd second(tcp_accept(listener.get()));
    ASSERT_TRUE(second);
    ASSERT_TRUE(eventually([&] { return link.rec.conn_states().size() == 3; }));
    link.send("END");
    strings got = read_messages(second.get(), SIZE_MAX, "END");
    ASSERT_GE(got.size(), 1u);
    EXPECT_EQ(got.back(), "END");
    got.pop_back();
    int last = -1;
    for (const std::string &m : got) {
        ASSERT_EQ(m.size(), 2007u) << m;  // whole messages only, never a torn tail
        ASSERT_EQ(m[0], 'M') << m;
        int k = atoi(m.c_str() + 1);
        EXPECT_GT(k, last);
        last = k;
    }
}

TEST(OxtelClient, CallbacksMaySendThroughTheSameLink) {
    fake_device dev;
    test_link link(OXTEL_CLIENT, client_address(dev.port), false);
    link.rec.on_conn = [](oxtel_ctx *ctx, int state) {
        if (!state) return;
        oxtel_send(ctx, -1, "Y61", 3);
        oxtel_send(ctx, -1, "Y6", 2);
    };
    link.rec.on_msg = [](oxtel_ctx *ctx, int, const std::string &m) {
        std::string r = "Q" + m;
        oxtel_send(ctx, 0, r.data(), int(r.size()));
    };
    ASSERT_EQ(oxtel_net_run(link.get()), 0);
    ASSERT_TRUE(dev.wait_received(2));
    std::string burst;
    for (int i = 0; i < 100; i++) burst += "P" + std::to_string(i) + ":";
    dev.run("send " + burst);
    ASSERT_TRUE(dev.wait_received(102));
    strings got = dev.received();
    EXPECT_EQ(got[0], "Y61");
    EXPECT_EQ(got[1], "Y6");
    EXPECT_EQ(got[2], "QP0");
    EXPECT_EQ(got[101], "QP99");
}

TEST(OxtelClient, BadAddressEndsTheThreadAndStopStillJoins) {
    for (const char *address : {"", "127.0.0.1", "127.0.0.1:0", "127.0.0.1:x"}) {
        test_link link(OXTEL_CLIENT, address);
        EXPECT_EQ(link.run_result, 0);
        EXPECT_TRUE(
            log_waits_for(std::string("Failed to parse port number from [") + address + "]"));
        EXPECT_EQ(link.send("S01"), 3);
        EXPECT_LT(link.timed_stop(), milliseconds(1000));
        EXPECT_TRUE(link.rec.conn_states().empty());
    }
}

TEST(OxtelStop, ReturnsPromptlyWhileConnected) {
    client_pair p;
    EXPECT_LT(p.link.timed_stop(), milliseconds(1000));
    EXPECT_EQ(p.link.rec.conn_states(), (std::vector<int>{1, 0}));
}

TEST(OxtelStop, ReturnsPromptlyWhileWaitingToRetry) {
    int port = closed_port();
    test_link link(OXTEL_CLIENT, client_address(port));
    ASSERT_TRUE(log_waits_for("Failed to connect " + client_address(port)));
    EXPECT_LT(link.timed_stop(), milliseconds(1000));
}

TEST(OxtelStop, ReturnsPromptlyTowardAnAddressThatNeverAnswers) {
    // a listener whose backlog is full drops further SYNs: the connect never completes
    int port = 0;
    unique_fd listener(tcp_listen(&port, 0));
    std::vector<unique_fd> fillers;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(uint16_t(port));
    for (int i = 0; i < 4; i++) {
        fillers.emplace_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        (void)connect(fillers.back().get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    }
    // the premise: one more connect stays pending
    unique_fd probe(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    (void)connect(probe.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    pollfd pf = {probe.get(), POLLOUT, 0};
    ASSERT_EQ(poll(&pf, 1, 200), 0);
    for (const std::string &address : {client_address(port), std::string("10.255.255.1:9")}) {
        test_link link(OXTEL_CLIENT, address);
        ASSERT_TRUE(log_waits_for("Connecting " + address + "..."));
        EXPECT_LT(link.timed_stop(), milliseconds(1000)) << address;
    }
}

TEST(OxtelServer, ServesSeveralPeersAndKeepsTheirStreamsApart) {
    test_link link(OXTEL_SERVER, "0");
    ASSERT_EQ(link.run_result, 0);
    int port = oxtel_net_port(link.get());
    ASSERT_GT(port, 0);
    unique_fd a(tcp_connect(port)), b(tcp_connect(port)), c(tcp_connect(port));
    ASSERT_TRUE(eventually([&] { return link.peers() == 3; }));

    send_all(a.get(), "Z01");
    send_all(b.get(), "S01:");
    ASSERT_TRUE(eventually([&] { return link.rec.msg_count() == 1; }));
    send_all(a.get(), "10ab:");
    ASSERT_TRUE(eventually([&] { return link.rec.msg_count() == 2; }));
    int slot_b = link.rec.msgs[0].first, slot_a = link.rec.msgs[1].first;
    EXPECT_EQ(link.rec.msgs[0].second, "S01");
    EXPECT_EQ(link.rec.msgs[1].second, "Z0110ab");
    EXPECT_NE(slot_a, slot_b);

    EXPECT_EQ(link.send("U0", slot_b), 2);
    EXPECT_EQ(link.send("Y61"), 3);
    EXPECT_EQ(read_messages(a.get(), 1), strings{"Y61"});
    EXPECT_EQ(read_messages(b.get(), 2), (strings{"U0", "Y61"}));
    EXPECT_EQ(read_messages(c.get(), 1), strings{"Y61"});

    // a peer that leaves frees its slot for the next one
    a.reset();
    ASSERT_TRUE(eventually([&] { return link.peers() == 2; }));
    unique_fd d(tcp_connect(port));
    ASSERT_TRUE(eventually([&] { return link.peers() == 3; }));
    EXPECT_EQ(link.send("S4f"), 3);
    EXPECT_EQ(read_messages(d.get(), 1), strings{"S4f"});
    EXPECT_LT(link.timed_stop(), milliseconds(1000));
}

TEST(OxtelServer, GoesOnServingAfterAnAcceptError) {
    test_link link(OXTEL_SERVER, "0");
    int port = oxtel_net_port(link.get());
    unique_fd a(tcp_connect(port));
    ASSERT_TRUE(eventually([&] { return link.peers() == 1; }));
    // a readable descriptor that is no socket takes the listener's place: accept fails
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    ASSERT_EQ(write(p[1], "x", 1), 1);
    ASSERT_GE(dup2(p[0], link->sock), 0);
    close(p[0]);
    ASSERT_TRUE(log_waits_for("accept() failed 88"));
    send_all(a.get(), "S01:");
    ASSERT_TRUE(eventually([&] { return link.rec.msg_count() == 1; }));
    EXPECT_EQ(link.send("Y6"), 2);
    EXPECT_EQ(read_messages(a.get(), 1), strings{"Y6"});
    close(p[1]);
}

TEST(OxtelServer, TalksWithTheFakeDeviceDialingIn) {
    test_link link(OXTEL_SERVER, "0");
    int port = oxtel_net_port(link.get());
    fake_device dev({"--connect", "127.0.0.1:" + std::to_string(port)});
    ASSERT_TRUE(dev.wait_line("CONN 0"));
    ASSERT_TRUE(eventually([&] { return link.peers() == 1; }));
    dev.run("send R41abc:R40LOGO:");
    ASSERT_TRUE(eventually([&] { return link.rec.msg_count() == 2; }));
    EXPECT_EQ(link.rec.texts(), (strings{"R41abc", "R40LOGO"}));
    link.send("Y6");
    ASSERT_TRUE(dev.wait_received(1));
    EXPECT_EQ(dev.received(), strings{"Y6"});
    dev.run("reset");
    EXPECT_TRUE(eventually([&] { return link.peers() == 0; }));
}

TEST(OxtelServer, FullQueueDropsTheMessageForThatPeerOnly) {
    // queue accounting on a server context whose thread is not running
    auto ctx = std::make_unique<oxtel_ctx>();
    log_path();
    ASSERT_EQ(oxtel_ctx_init(ctx.get()), 0);
    ctx->type = OXTEL_SERVER;
    int sp[2][2];
    for (auto &s : sp) ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, s), 0);
    ctx->tcp.clients[3].sock = sp[0][0];
    ctx->tcp.clients[7].sock = sp[1][0];
    std::string big(3999, 'x'), msg(200, 'y');
    EXPECT_EQ(oxtel_send(ctx.get(), 3, big.data(), int(big.size())), 3999);
    EXPECT_EQ(ctx->tcp.clients[3].write.size, 4000);
    EXPECT_EQ(oxtel_send(ctx.get(), -1, msg.data(), int(msg.size())), 200);
    EXPECT_EQ(ctx->tcp.clients[3].write.size, 4000);
    EXPECT_EQ(ctx->tcp.clients[7].write.size, 201);
    EXPECT_EQ(ctx->tcp.clients[7].write.data[200], ':');
    EXPECT_EQ(oxtel_send(ctx.get(), 5, "S01", 3), 3);  // a free slot takes nothing
    EXPECT_EQ(ctx->tcp.clients[5].write.size, 0);
    EXPECT_EQ(oxtel_send(ctx.get(), 128, "S01", 3), -22);
    EXPECT_TRUE(log_waits_for("queue of slot 3 full, 200 bytes dropped"));
    for (auto &s : sp) close(s[0]), close(s[1]);
    ctx->tcp.clients[3].sock = ctx->tcp.clients[7].sock = -1;
    oxtel_ctx_release(ctx.get());
}

TEST(OxtelServer, ClosesPeersBeyondItsSlots) {
    test_link link(OXTEL_SERVER, "0");
    int port = oxtel_net_port(link.get());
    std::vector<unique_fd> peers;
    for (int i = 0; i < OXTEL_MAX_CLIENTS + 1; i++) {
        peers.emplace_back(tcp_connect(port));
        ASSERT_TRUE(peers.back()) << i;
    }
    ASSERT_TRUE(eventually([&] { return link.peers() == OXTEL_MAX_CLIENTS; }));
    ASSERT_TRUE(log_waits_for("no free slot"));
    // exactly one peer sees its connection end
    int ended = 0;
    for (auto &p : peers) {
        pollfd pf = {p.get(), POLLIN, 0};
        char ch;
        if (poll(&pf, 1, 0) > 0 && recv(p.get(), &ch, 1, MSG_DONTWAIT) <= 0) ended++;
    }
    EXPECT_EQ(ended, 1);
}

TEST(OxtelServer, SetUpFailuresAreReturned) {
    EXPECT_EQ(test_link(OXTEL_SERVER, "abc").run_result, -22);
    int port = 0;
    unique_fd taken(tcp_listen(&port));
    EXPECT_EQ(test_link(OXTEL_SERVER, std::to_string(port)).run_result, -98);
}

TEST(OxtelLink, UnconfiguredContextRefusesSends) {
    test_link link(OXTEL_NONE, "");
    EXPECT_EQ(link.run_result, 0);
    EXPECT_FALSE(link->thread.joinable());
    EXPECT_EQ(link.send("S01"), -14);
    char ch;
    EXPECT_EQ(read(link->wake[0], &ch, 1), -1);  // nothing was written to the wake pipe
    EXPECT_EQ(errno, EAGAIN);
}

TEST(OxtelLink, RunTwiceIsRefusedAndReleaseStopsARunningLink) {
    int port = 0;
    unique_fd listener(tcp_listen(&port));
    auto ctx = std::make_unique<oxtel_ctx>();
    log_path();
    ASSERT_EQ(oxtel_ctx_init(ctx.get()), 0);
    ctx->type = OXTEL_CLIENT;
    ctx->address = client_address(port);
    ASSERT_EQ(oxtel_net_run(ctx.get()), 0);
    EXPECT_EQ(oxtel_net_run(ctx.get()), -16);
    EXPECT_EQ(oxtel_ctx_release(ctx.get()), 0);
    EXPECT_FALSE(ctx->thread.joinable());
    EXPECT_EQ(ctx->wake[0], -1);
}
