// Scheduler, file-transfer and transcoder wrappers against their fakes, and the listing order.
#include "mivra_fake_fixture.h"
#include "mivra_ft.h"
#include "mivra_lib.h"
#include "mivra_sched.h"
#include "mivra_sort.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <strings.h>

using testing::ElementsAre;
using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// One process serves them all, as the feeder's transfer address does.
class SvcTest : public mivra_fake_fixture {
   protected:
    int start_fakes() override { return fake.start({"sched", "ft", "ftc", "lib"}); }
};

// The scheduler's item struct with calc and an id.
constexpr const char *item_fmt =
    "{s:i,s:i,s:i,s:i,s:s,s:s,s:I,s:I,s:I,s:I,s:I,s:I,s:I,s:s,s:s,s:i,s:s,s:s}";
#define SCHED_ITEM(id, calc)                                                                       \
    "duration", 10, "tc", 0, "id", id, "enabled", 1, "path", "p", "title", "t", "min", int64_t(0), \
        "hour", int64_t(0), "day", int64_t(0), "weekday", int64_t(0), "month", int64_t(0), "year", \
        int64_t(0), "calc", int64_t(calc), "mode", "m", "enc", "e", "start_time", 0, "transfer",   \
        "", "prefix", ""

std::vector<int> ids(const std::vector<mivra_sched_item> &v) {
    std::vector<int> out;
    for (auto &i : v) out.push_back(i.id);
    return out;
}

}  // namespace

TEST_F(SvcTest, SchedulerWireFormsAndItemOrder) {
    mivra_sched_item it;
    it.min = 30;
    it.hour = 20;
    it.day = 1;
    it.weekday = -1;
    it.month = 2;
    it.year = 2027;
    it.enabled = 1;
    it.duration = 60;
    it.title = "news";
    it.path = "news.mxf";
    it.start_time = 5;
    it.prefix = "p";
    EXPECT_EQ(mivra_sched_item_add(u, &it), 0);
    EXPECT_EQ(mivra_sched_item_enable(u, 1, 0), 0);
    EXPECT_EQ(mivra_sched_expand_curr(u, 3), 0);
    EXPECT_EQ(mivra_sched_item_del(u, 9), -2);
    EXPECT_THAT(
        fake.calls("MivraSched."),
        ElementsAre("MivraSched.SchedAddItem(i8:30,i8:20,i8:1,i8:-1,i8:2,i8:2027,i4:1,"
                    "i4:60,i4:0,string:\"news\",string:\"news.mxf\",string:\"\","
                    "string:\"\",i4:5,string:\"\",string:\"p\")",
                    "MivraSched.SchedEnableItem(i4:1,i4:0)", "MivraSched.SchedExpandCurr(i4:3)",
                    "MivraSched.SchedDeleteItem(i4:9)"));
    std::unique_ptr<mivra_sched_item> got;
    EXPECT_EQ(mivra_sched_item_get(u, 1, &got), 0);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->calc, 202702012030);
    EXPECT_EQ(got->title.str(), "news");
    EXPECT_EQ(got->prefix.str(), "p");
    EXPECT_EQ(got->enabled, 0);
    // Not found: the result, and no stale record.
    EXPECT_EQ(mivra_sched_item_get(u, 7, &got), -2);
    EXPECT_FALSE(got);

    // calc 30, 10, 20 lists as 10, 20, 30; equal calcs alone keep their order.
    fake.script("MivraSched.SchedListItems",
                (std::string("{s:{s:i,s:(") + item_fmt + item_fmt + item_fmt + ")}}").c_str(),
                "reply", "result", 0, "list", SCHED_ITEM(1, 30), SCHED_ITEM(2, 10),
                SCHED_ITEM(3, 20));
    std::vector<mivra_sched_item> items;
    EXPECT_EQ(mivra_sched_item_list(u, &items), 3);
    EXPECT_THAT(ids(items), ElementsAre(2, 3, 1));
    fake.script("MivraSched.SchedListItems",
                (std::string("{s:{s:i,s:(") + item_fmt + item_fmt + ")}}").c_str(), "reply",
                "result", 0, "list", SCHED_ITEM(4, 5), SCHED_ITEM(5, 5));
    EXPECT_EQ(mivra_sched_item_list(u, &items), 2);
    EXPECT_THAT(ids(items), ElementsAre(4, 5));
}

TEST_F(SvcTest, SchedulerItemWithoutPrefixOrCalc) {
    mivra_sched_item it;
    it.year = 2027;
    ASSERT_EQ(mivra_sched_item_add(u, &it), 0);
    // Without prefix: kept, transfer and prefix empty, one message; alike in a get and a list.
    fake.script("MivraSched.SchedGetItem", "{s:{s:{s:s}}}", "set", "item", "only", "x");
    std::unique_ptr<mivra_sched_item> got;
    CaptureStderr();
    EXPECT_EQ(mivra_sched_item_get(u, 1, &got), -14);  // not an item at all
    EXPECT_THAT(GetCapturedStderr(),
                HasSubstr("mivra_sched_item_decompose: xmlrpc_decompose_value failed"));
    EXPECT_FALSE(got);
    std::string no_prefix = std::string("{s:{s:i,s:(") + item_fmt + ")}}";
    no_prefix.replace(no_prefix.find(",s:s}"), 5, "}");
    fake.script("MivraSched.SchedListItems", no_prefix.c_str(), "reply", "result", 0, "list",
                "duration", 10, "tc", 0, "id", 8, "enabled", 1, "path", "p", "title", "t", "min",
                int64_t(0), "hour", int64_t(0), "day", int64_t(0), "weekday", int64_t(0), "month",
                int64_t(0), "year", int64_t(0), "calc", int64_t(1), "mode", "m", "enc", "e",
                "start_time", 7, "transfer", "tr");
    std::vector<mivra_sched_item> items;
    CaptureStderr();
    EXPECT_EQ(mivra_sched_item_list(u, &items), 1);
    EXPECT_THAT(GetCapturedStderr(),
                HasSubstr("mivra_sched_item_decompose: xmlrpc_decompose_value failed"));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].transfer.str(), "");
    EXPECT_EQ(items[0].start_time, 7);
    EXPECT_EQ(items[0].title.str(), "t");
    // Without calc the whole list fails.
    std::string no_calc = std::string("{s:{s:i,s:({s:i})}}");
    fake.script("MivraSched.SchedListItems", no_calc.c_str(), "reply", "result", 0, "list", "id",
                1);
    CaptureStderr();
    EXPECT_EQ(mivra_sched_item_list(u, &items), -14);
    GetCapturedStderr();
    EXPECT_TRUE(items.empty());
}

TEST_F(SvcTest, SchedulerStateFormsAndLog) {
    mivra_sched_item it;
    it.duration = 60;
    ASSERT_EQ(mivra_sched_item_add(u, &it), 0);
    mivra_sched_state st;
    st.status = 9;
    EXPECT_EQ(mivra_sched_get_state(u, &st), 0);
    EXPECT_EQ(st.result, 0);
    EXPECT_GT(st.t_now, 1000000000);
    EXPECT_FALSE(st.s_now.empty());
    EXPECT_EQ(st.s_next.str(), "0");
    EXPECT_EQ(st.status, 0);  // cleared
    EXPECT_EQ(st.t_start, 0);
    ctl("Fake.SchedOnAir", "(i)", 1);
    EXPECT_EQ(mivra_sched_get_state(u, &st), 1);
    EXPECT_EQ(st.status, 1);
    EXPECT_EQ(st.duration, 60);
    EXPECT_EQ(st.t_end - st.t_start, 60);
    EXPECT_TRUE(st.s_next.empty());
    // The scheduler's failure passes on as it is, not as a broken state.
    fake.script("MivraSched.SchedGetState", "{s:{s:i}}", "reply", "result", -5);
    CaptureStderr();
    EXPECT_EQ(mivra_sched_get_state(u, &st), -5);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("MivraSched.SchedGetState return -5"));
    EXPECT_EQ(st.result, -5);
    EXPECT_EQ(st.t_now, 0);

    ctl("Fake.SchedLog", "(({s:i,s:i,s:i,s:s,s:i,s:i,s:s,s:s,s:i,s:s,s:s}{s:i}))", "duration", 5,
        "tc", 0, "status", 2, "origin", "o", "start", 100, "calc", 90, "mode", "m", "enc", "e",
        "start_time", 1, "transfer", "", "prefix", "", "duration", 1);
    std::vector<mivra_sched_log> logs;
    CaptureStderr();
    EXPECT_EQ(mivra_sched_log_list(u, &logs), -14);  // the second entry does not decode
    EXPECT_THAT(GetCapturedStderr(),
                HasSubstr("mivra_sched_log_decompose: xmlrpc_decompose_value failed"));
    EXPECT_TRUE(logs.empty());
    ctl("Fake.SchedLog", "(({s:i,s:i,s:i,s:s,s:i,s:i,s:s,s:s,s:i,s:s,s:s}))", "duration", 5, "tc",
        0, "status", 2, "origin", "o", "start", 100, "calc", 90, "mode", "m", "enc", "e",
        "start_time", 1, "transfer", "", "prefix", "");
    EXPECT_EQ(mivra_sched_log_list(u, &logs), 1);
    EXPECT_EQ(logs[0].start, 100);
    EXPECT_EQ(logs[0].origin.str(), "o");
}

TEST_F(SvcTest, FeederTransferRoundTrip) {
    ctl("Fake.FtSetRemote", "(ssii)", "store", "/in/NEWS1.mxf", 1700000000, 5000);
    ctl("Fake.FtSetRemote", "(ssii)", "store", "/in/sub/x.mxf", 1, 1);
    std::vector<std::string> names = {"a"};
    EXPECT_EQ(mivra_filetransfer_list(u, "store", "/in", &names), 2);
    EXPECT_THAT(names, ElementsAre("a", "NEWS1.mxf", "sub"));
    int64_t t = -1, size = -1;
    EXPECT_EQ(mivra_filetransfer_probe(u, "store", "/in/NEWS1.mxf", &t, &size), 0);
    EXPECT_EQ(t, 1700000000);
    EXPECT_EQ(size, 5000);
    // Not there: -2 without a message, outputs untouched.
    CaptureStderr();
    EXPECT_EQ(mivra_filetransfer_probe(u, "store", "/in/none", &t, &size), -2);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(t, 1700000000);
    // A probe that lacks the size did not see the file.
    fake.script("MivraFileTransfer.ProbeRemote", "{s:(s)}", "omit", "size");
    CaptureStderr();
    EXPECT_EQ(mivra_filetransfer_probe(u, "store", "/in/NEWS1.mxf", &t, &size), -14);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("MivraFileTransfer.ProbeRemote, decompose value"));
    EXPECT_EQ(size, 5000);

    // The library lookup goes to the transfer address; absent, it names the local file.
    text4k local;
    EXPECT_EQ(mivra_lib_basename_item(u, "NEWS1", ".mxf", &local, nullptr, nullptr), -2);
    EXPECT_EQ(local.str(), "NEWS1.mxf");

    mivra_ft_request req;
    req.target = "store";
    req.f_import = 1;
    req.f_delete = 0;
    req.object_local = local;
    req.object_remote = "/in/NEWS1.mxf";
    int id = mivra_filetransfer_request_add(u, &req);
    EXPECT_EQ(id, 1);
    mivra_ft_request got;
    EXPECT_EQ(mivra_filetransfer_request_get(u, id, &got), 0);
    EXPECT_EQ(got.state, 1);
    EXPECT_EQ(mivra_filetransfer_request_get(u, id, &got), 0);
    EXPECT_EQ(got.state, 2);
    EXPECT_EQ(got.progress, 100);
    EXPECT_EQ(got.object_local.str(), "NEWS1.mxf");
    EXPECT_GT(got.created, 1000000000);
    EXPECT_EQ(mivra_lib_basename_item(u, "NEWS1", ".mxf", &local, nullptr, nullptr), 0);

    // A request for a file that is gone fails with state 3.
    req.object_remote = "/in/gone.mxf";
    id = mivra_filetransfer_request_add(u, &req);
    EXPECT_EQ(mivra_filetransfer_request_get(u, id, &got), 0);
    EXPECT_EQ(mivra_filetransfer_request_get(u, id, &got), 0);
    EXPECT_EQ(got.state, 3);
    EXPECT_EQ(got.error.str(), "remote file not found");
    EXPECT_EQ(mivra_filetransfer_request_get(u, 99, &got), -2);

    // A request that does not decode has no state to read.
    fake.script("MivraFileTransfer.RequestGet", "{s:{s:{s:i}}}", "set", "item", "id", 1);
    got.state = 42;
    CaptureStderr();
    EXPECT_EQ(mivra_filetransfer_request_get(u, 1, &got), -14);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("mivra_filetransfer_request_get: "
                                               "xmlrpc_decompose_value failed"));
    EXPECT_EQ(got.state, 42);

    EXPECT_THAT(fake.calls("MivraFileTransfer.RequestAdd")[0],
                testing::StrEq("MivraFileTransfer.RequestAdd(string:\"store\",i4:1,i4:0,"
                               "string:\"NEWS1.mxf\",string:\"/in/NEWS1.mxf\")"));
    EXPECT_THAT(fake.calls("MivraFileTransfer.ListRemote"),
                ElementsAre("MivraFileTransfer.ListRemote(string:\"store\",string:\"/in\")"));
}

TEST_F(SvcTest, CappedListsFillWhatDecodes) {
    mivra_ft_request req;
    req.target = "store";
    req.object_remote = "/r";
    for (int i = 0; i < 5; i++) ASSERT_EQ(mivra_filetransfer_request_add(u, &req), i + 1);
    mivra_ft_request list[3];
    EXPECT_EQ(mivra_filetransfer_requests_list(u, 0, 0, list, 2), 2);
    EXPECT_EQ(list[1].id, 2);
    EXPECT_EQ(list[2].id, 0);
    CaptureStderr();
    EXPECT_EQ(mivra_filetransfer_requests_list(u, 0, 0, list, 0), 0);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_THAT(fake.calls("MivraFileTransfer.RequestsList"),
                ElementsAre("MivraFileTransfer.RequestsList(i4:0,i4:0,i4:2)",
                            "MivraFileTransfer.RequestsList(i4:0,i4:0,i4:0)"));

    // Item 1 lacks "error": item 0 filled, item 1 and 2 untouched, the count filled returned.
    const char *full = "{s:i,s:s,s:i,s:i,s:s,s:s,s:i,s:i,s:s,s:I,s:I}";
    const char *no_error = "{s:i,s:s,s:i,s:i,s:s,s:s,s:i,s:i,s:I,s:I}";
#define FT_REQ(id)                                                                               \
    "id", id, "target", "t", "f_delete", 1, "f_import", 0, "object_local", "l", "object_remote", \
        "r", "progress", 5, "state", 1
    fake.script("MivraFileTransfer.RequestsList",
                (std::string("{s:{s:i,s:(") + full + no_error + full + ")}}").c_str(), "reply",
                "result", 0, "list", FT_REQ(11), "error", "", "updated", int64_t(1), "created",
                int64_t(2), FT_REQ(12), "updated", int64_t(1), "created", int64_t(2), FT_REQ(13),
                "error", "", "updated", int64_t(1), "created", int64_t(2));
    mivra_ft_request three[3];
    three[1].target = "mine";
    CaptureStderr();
    EXPECT_EQ(mivra_filetransfer_requests_list(u, 0, 0, three, 3), 1);
    EXPECT_THAT(GetCapturedStderr(),
                HasSubstr("mivra_filetransfer_requests_list: xmlrpc_decompose_value failed"));
    EXPECT_EQ(three[0].id, 11);
    EXPECT_EQ(three[0].f_delete, 1);
    EXPECT_EQ(three[0].created, 2);
    EXPECT_EQ(three[1].target.str(), "mine");
    EXPECT_EQ(three[1].id, 0);
    EXPECT_EQ(three[2].id, 0);

    mivra_ft_target targets[4];
    EXPECT_EQ(mivra_filetransfer_targets_list(u, 0, targets, 4), 1);
    EXPECT_EQ(targets[0].host.str(), "10.0.0.5");
    EXPECT_EQ(targets[0].passw.str(), "secret");

    EXPECT_EQ(mivra_filetransfer_request_cancel(u, 1), 0);
    EXPECT_EQ(mivra_filetransfer_request_restart(u, 1), 0);
    EXPECT_EQ(mivra_filetransfer_request_del(u, 1), 0);
    EXPECT_EQ(mivra_filetransfer_request_del(u, 1), -2);
}

TEST_F(SvcTest, TranscoderRequests) {
    mivra_ftc_request r;
    r.src_object = "src.mxf";
    r.in = "00:00:01:00";
    r.dur = "00:00:10:00";
    r.dst_object = "dst.mp4";
    r.factory = "f";
    r.profile = "p";
    r.f_delete = 1;
    r.audio_map = "01";
    r.audio_conf = 2;
    r.timecode = "10:00:00:00";
    r.osd = "o";
    r.transfer_target = "store";
    r.transfer_f_delete = 1;
    EXPECT_EQ(mivra_filetranscoder_request_add(u, &r), 1);
    EXPECT_THAT(fake.calls("MivraFileTranscoder.RequestAdd"),
                ElementsAre("MivraFileTranscoder.RequestAdd(string:\"src.mxf\","
                            "string:\"00:00:01:00\",string:\"00:00:10:00\",string:\"dst.mp4\","
                            "string:\"f\",string:\"p\",i4:1,string:\"01\",i4:2,"
                            "string:\"10:00:00:00\",string:\"o\",string:\"store\",i4:1)"));
    mivra_ftc_request list[2];
    EXPECT_EQ(mivra_filetranscoder_requests_list(u, 0, 0, list, 2), 1);
    EXPECT_EQ(list[0].src_local.str(), "/local/src.mxf");
    EXPECT_EQ(list[0].audio_conf, 2);
    EXPECT_EQ(list[0].transfer_target.str(), "store");
    EXPECT_EQ(list[0].transfer_f_delete, 1);
    EXPECT_EQ(mivra_filetranscoder_request_cancel(u, 1), 0);
    EXPECT_EQ(mivra_filetranscoder_requests_list(u, 0, 0, list, 2), 1);
    EXPECT_EQ(list[0].state, 3);
    EXPECT_EQ(mivra_filetranscoder_request_restart(u, 1), 0);
    EXPECT_EQ(mivra_filetranscoder_request_del(u, 1), 0);
    EXPECT_EQ(mivra_filetranscoder_request_del(u, 1), -2);
}

namespace {

// The selection sort the listings are defined by, quadratic, as the reference.
std::vector<int> selection_reference(std::vector<std::string> v, bool desc) {
    std::vector<int> idx(v.size());
    for (size_t i = 0; i < v.size(); i++) idx[i] = int(i);
    for (size_t i = 0; i < v.size(); i++) {
        size_t best = i;
        for (size_t j = i + 1; j < v.size(); j++) {
            int c = strcasecmp(v[j].c_str(), v[best].c_str());
            if (desc ? c > 0 : c < 0) best = j;
        }
        std::swap(v[i], v[best]);
        std::swap(idx[i], idx[best]);
    }
    return idx;
}

}  // namespace

TEST(SelectionOrder, MatchesTheQuadraticSortIncludingEqualKeys) {
    std::mt19937 rng(7);
    for (int round = 0; round < 200; round++) {
        int n = int(rng() % 40);
        std::vector<std::string> v;
        // Few distinct names, in both cases: many equal keys, where the sort is not stable.
        for (int i = 0; i < n; i++) {
            std::string s(1, char((rng() % 2 ? 'a' : 'A') + rng() % 4));
            v.push_back(s + char('0' + rng() % 2));
        }
        for (bool desc : {false, true}) {
            auto order = mivra_selection_order(n, [&](int a, int b) {
                int c = strcasecmp(v[size_t(a)].c_str(), v[size_t(b)].c_str());
                return desc ? -c : c;
            });
            EXPECT_EQ(order, selection_reference(v, desc)) << "round " << round;
        }
    }
    EXPECT_TRUE(mivra_selection_order(0, [](int, int) { return 0; }).empty());
}
