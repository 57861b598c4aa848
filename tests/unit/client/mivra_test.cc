// The pool, the call families and the list walker against the fake playout engine.
#include "fake_client.h"
#include "mivra_call.h"
#include "mivra_io.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

class PoolTest : public testing::Test {
   protected:
    void SetUp() override {
        ASSERT_EQ(fake.start({"io"}), 0);
        ASSERT_EQ(mivra_init("mivra_test", "1"), MIVRA_POOL_SIZE);
        url = fake.url();
    }
    void TearDown() override { mivra_cleanup(); }
    fake_proc fake;
    std::string url;
};

}  // namespace

TEST(PoolNoInit, CallFailsAtOnceWithoutClients) {
    EXPECT_EQ(mivra_pool_clients(), 0);
    CaptureStderr();
    EXPECT_EQ(mivra_play("http://127.0.0.1:1/RPC2"), -14);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("no XML-RPC client"));
}

TEST_F(PoolTest, CommandResultsAndTheirTexts) {
    // Extra members are ignored; a negative result passes silently.
    fake.script("MivraIO.Stop", "{s:{s:i,s:s}}", "set", "result", -5, "extra", "x");
    CaptureStderr();
    EXPECT_EQ(mivra_stop(url.c_str()), -5);
    EXPECT_EQ(GetCapturedStderr(), "");

    fake.script("MivraIO.Stop", "{s:(s)}", "omit", "result");
    CaptureStderr();
    EXPECT_EQ(mivra_stop(url.c_str()), -14);
    std::string err = GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("mivra_method_no_arg: MivraIO.Stop, decompose value failed: "));
    EXPECT_EQ(err.back(), '\n');

    fake.script("MivraIO.Stop", "{s:{s:s}}", "set", "result", "0");  // mistyped
    EXPECT_EQ(mivra_stop(url.c_str()), -14);

    fake.script("MivraIO.PlaylistLoop", "{s:(is)}", "fault", 7, "engine says no");
    CaptureStderr();
    EXPECT_EQ(mivra_playlist_loop(url.c_str(), 0), -14);
    err = GetCapturedStderr();
    EXPECT_THAT(err, testing::StartsWith("mivra_playlist_loop: xmlrpc_client_callX(" + url +
                                         ", MivraIO.PlaylistLoop) failed: "));
    EXPECT_THAT(err, testing::EndsWith("engine says no (7)"));

    fake.script("MivraIO.Stop", "{s:b,s:i}", "drop", 1, "times", 2);
    EXPECT_EQ(mivra_stop(url.c_str()), -14);
    EXPECT_EQ(mivra_stop(url.c_str()), 0);  // the pool's client recovered
}

TEST_F(PoolTest, ClosedPortGivesMinus14WithText) {
    std::string closed = "http://127.0.0.1:" + std::to_string(free_loopback_port()) + "/RPC2";
    CaptureStderr();
    EXPECT_EQ(mivra_play(closed.c_str()), -14);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("mivra_method_no_arg: xmlrpc_client_callX(" +
                                               closed + ", MivraIO.Play) failed: "));
}

TEST_F(PoolTest, JunkAfterFormatFailsBeforeSending) {
    xr_env env;
    xr_value v(xmlrpc_client_callX(&env, url.c_str(), "MivraIO.Play", "(i)x", 1));
    EXPECT_FALSE(v);
    EXPECT_EQ(env.code(), -500);
    EXPECT_STREQ(env.msg(),
                 "Junk after the argument specifier: 'x'.  There must be exactly one arument.");
    xr_env env2;
    xr_value v2(xmlrpc_client_callX(&env2, url.c_str(), "MivraIO.Play", "(q)"));
    EXPECT_THAT(env2.msg(), HasSubstr("Invalid RPC arguments."));
    EXPECT_EQ(mivra_play(url.c_str()), 0);
    EXPECT_EQ(fake.calls(), std::vector<std::string>{"MivraIO.Play()"});
}

TEST_F(PoolTest, AtMost32CallsInFlight) {
    fake.script("MivraIO.Play", "{s:d,s:i}", "delay", 0.5, "times", 0);
    constexpr int callers = 40;
    std::atomic<int> ok{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < callers; i++)
        threads.emplace_back([&] { ok += mivra_play(url.c_str()) == 0; });
    for (auto &t : threads) t.join();
    EXPECT_EQ(ok.load(), callers);
    EXPECT_EQ(fake.wait_calls(callers, 5, "MivraIO.Play"), callers);
    int most = fake.max_in_flight();
    RecordProperty("max_in_flight", most);
    EXPECT_LE(most, MIVRA_POOL_SIZE);
    // Every slot was used at once: the pool did not serialise the callers.
    EXPECT_GT(most, MIVRA_POOL_SIZE / 2);
}

TEST_F(PoolTest, SilentServerHoldsOnlyItsSlot) {
    fake.script("MivraIO.Pause", "{s:b}", "silence", 1);
    std::thread held([&] { EXPECT_EQ(mivra_pause(url.c_str()), -14); });
    ASSERT_EQ(fake.wait_calls(1, 5, "MivraIO.Pause"), 1);
    EXPECT_EQ(mivra_play(url.c_str()), 0);  // other callers go on meanwhile
    fake.release();
    held.join();
}

TEST_F(PoolTest, BoundOfTheThreadAndInterruptEndUnansweredCalls) {
    using clock = std::chrono::steady_clock;
    auto secs = [](clock::time_point since) {
        return std::chrono::duration<double>(clock::now() - since).count();
    };
    fake.script("MivraIO.Pause", "{s:b,s:i}", "hang", 1, "times", 0);
    // Past its thread's bound a call fails like one without an answer; the thread's count says
    // so, and another thread's calls keep their own (no) bound.
    std::thread bounded([&] {
        mivra_thread_bound(300);
        auto t = clock::now();
        CaptureStderr();
        EXPECT_EQ(mivra_pause(url.c_str()), -14);
        EXPECT_THAT(GetCapturedStderr(), HasSubstr("no answer within 300 ms (-504)"));
        EXPECT_NEAR(secs(t), 0.3, 0.15);
        EXPECT_EQ(mivra_thread_past_bound(), 1);
        EXPECT_EQ(mivra_play(url.c_str()), 0);  // an answered call keeps its reply
        EXPECT_EQ(mivra_thread_past_bound(), 1);
    });
    bounded.join();
    EXPECT_EQ(mivra_thread_bound(), 0);
    EXPECT_EQ(mivra_thread_past_bound(), 0);
    // Unbounded, a call waits until the stop interrupts it; later calls fail at once.
    auto t = clock::now();
    std::thread held([&] { EXPECT_EQ(mivra_pause(url.c_str()), -14); });
    ASSERT_EQ(fake.wait_calls(2, 5, "MivraIO.Pause"), 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    mivra_interrupt();
    held.join();
    EXPECT_NEAR(secs(t), 0.5, 0.25);
    t = clock::now();
    EXPECT_EQ(mivra_play(url.c_str()), -14);
    EXPECT_LT(secs(t), 0.1);
}

namespace {

// List helper outputs: strings of "(s)" items.
int fail_third(xmlrpc_env *env, xmlrpc_value *item, void *out, int n, int size) {
    if (n == 2) {
        xmlrpc_env_set_fault(env, 1, "bad item");
        return -14;
    }
    return mivra_list_iter_string1(env, item, out, n, size);
}

xr_value list_reply(const char *member, std::initializer_list<const char *> items) {
    xr_env env;
    xr_value list(xmlrpc_array_new(&env));
    for (const char *s : items) {
        xr_value one(xmlrpc_build_value(&env, "(s)", s));
        xmlrpc_array_append_item(&env, list.get(), one.get());
    }
    return xr_value(xmlrpc_build_value(&env, "{s:i,s:V}", "result", 0, member, list.get()));
}

}  // namespace

TEST(ListWalker, FailedItemAndEveryLaterOneAreReportedAndSkipped) {
    xr_value reply = list_reply("amend_list", {"a", "b", "c", "d"});
    std::vector<std::string> out;
    xr_env env;
    CaptureStderr();
    EXPECT_EQ(parse_custom_list("caller", &env, reply.get(), "amend_list", fail_third, &out), 2);
    std::string err = GetCapturedStderr();
    EXPECT_EQ(out, (std::vector<std::string>{"a", "b"}));
    const std::string line =
        "caller/parse_custom_list: xmlrpc_array_read_item failed: bad item (1)";
    EXPECT_EQ(err, line + line);
}

TEST(ListWalker, RefusesFaultedEnvAndMissingList) {
    xr_value reply = list_reply("list", {"a"});
    std::vector<std::string> out;
    xr_env env;
    xmlrpc_env_set_fault(&env, 9, "call failed");
    CaptureStderr();
    EXPECT_EQ(parse_custom_list("c", &env, reply.get(), "list", mivra_list_iter_string1, &out),
              -14);
    EXPECT_EQ(GetCapturedStderr(),
              "c/parse_custom_list: xmlrpc_client_callX() failed: call failed (9)");
    xr_env env2;
    EXPECT_EQ(
        parse_custom_list("c", &env2, reply.get(), "amend_list", mivra_list_iter_string1, &out),
        -14);
    EXPECT_TRUE(out.empty());
}

TEST(ListWalker, SimpleListReplacesAndReportsNegativeResult) {
    std::vector<std::string> out = {"old"};
    xr_env env;
    EXPECT_EQ(parse_simple_list_response("c", &env, list_reply("list", {"x", "y"}).release(), &out),
              2);
    EXPECT_EQ(out, (std::vector<std::string>{"x", "y"}));
    xr_env env2;
    xr_value neg(xmlrpc_build_value(&env2, "{s:i}", "result", -2));
    CaptureStderr();
    EXPECT_EQ(parse_simple_list_response("c", &env2, neg.release(), &out), -2);
    EXPECT_EQ(GetCapturedStderr(),
              "c/parse_simple_list_response: return -2 (No such file or directory)");
}
