// The command parser as a table: each form with its slot, fields and empty-slot code.
#include <gtest/gtest.h>

#include <thread>

#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "oxtel_cmd.h"
#include "oxtel_test_util.h"

namespace {

struct call {
    int slot = -1;
    std::vector<int> ints;
    std::vector<std::string> texts;
};

struct calls {
    std::vector<call> v;
    int result = 0;
};

template <int Slot, typename... A>
int rec(void *user, A... args) {
    auto *c = static_cast<calls *>(user);
    call k;
    k.slot = Slot;
    [[maybe_unused]] auto put = [&k](auto a) {
        if constexpr (std::is_same_v<decltype(a), int>)
            k.ints.push_back(a);
        else
            k.texts.emplace_back(a);
    };
    (put(args), ...);
    c->v.push_back(k);
    return c->result;
}

// Every slot records its own number: a slot bound to the wrong command shows at once.
oxtel_cbs recording_table() {
    oxtel_cbs t{};
    t.UpdateTextField = rec<0>;
    t.RenderBox = rec<1>;
    t.StartAnimation = rec<2>;
    t.StopAnimation = rec<3>;
    t.CutA = rec<4>;
    t.CutB = rec<5>;
    t.CutAB = rec<6>;
    t.FadeA = rec<7>;
    t.FadeB = rec<8>;
    t.FadeAB = rec<9>;
    t.CutKeyer = rec<10>;
    t.CutABLayer = rec<11>;
    t.EnquireVideoTallies = rec<12>;
    t.EnableVideoTallies = rec<13>;
    t.QuerySubsequentFile = rec<14>;
    t.QuerySubsequentFileResponse = rec<15>;
    t.QueryFirstFile = rec<16>;
    t.QueryFirstFileResponse = rec<17>;
    t.EnquireFileInfo = rec<18>;
    t.EraseStore = rec<19>;
    t.EnquireLoadImage = rec<20>;
    t.LoadImage = rec<21>;
    t.RestartAnimation = rec<22>;
    t.EnquireLayerDatasourceList = rec<23>;
    t.SetLayerDatasourceValue = rec<24>;
    t.SelectAnimationFrame = rec<25>;
    t.SelectMixerInput = rec<26>;
    t.EnquireMixerInput = rec<27>;
    t.ImageLoadTally = rec<28>;
    t.EnableVideoTalliesEx = rec<29>;
    t.SetPGMDVEMode = rec<30>;
    t.LoadAndRunDVESequence = rec<31>;
    t.RunDVESequence = rec<32>;
    t.RunDVESequenceInReverse = rec<33>;
    t.SetPVWDVEMode = rec<34>;
    t.SetDVERoutingInput = rec<35>;
    t.EnquireDVERoutingInput = rec<36>;
    t.SetDVELoadAction = rec<37>;
    t.EnquireDVELoadAction = rec<38>;
    t.SetDVEConfiguration = rec<39>;
    t.EnquireDVEConfiguration = rec<40>;
    t.LoadDVESequenceWithAction = rec<41>;
    t.EnquireDVESequenceName = rec<42>;
    t.PlayDVESequence = rec<43>;
    t.EnableDVETallies = rec<44>;
    t.EnquireDVETallies = rec<45>;
    t.DVESequenceTallies = rec<46>;
    t.ResponseDVESequenceName = rec<47>;
    t.TriggerMacro = rec<48>;
    return t;
}

struct form_case {
    std::string msg;
    int slot;
    std::vector<int> ints;
    std::vector<std::string> texts;
    int code;  // result when the slot is empty
};

const std::vector<form_case> kCases = {
    {"Z0A2F1he\\3Allo", 0, {10, 0x2F, 1}, {"he:llo"}, 5},
    {"Z01230", 0, {1, 0x23, 0}, {""}, 5},
    {"Z33ff", 1, {3, 0xff}, {}, 6},
    {"S01", 2, {1}, {}, 3},
    {"S1B0", 3, {11, 0}, {}, 4},
    {"U0", 4, {}, {}, 7},
    {"U1", 5, {}, {}, 7},
    {"U4", 6, {}, {}, 7},
    {"U2123", 7, {0x123}, {}, 10},
    {"U3fff", 8, {0xfff}, {}, 11},
    {"U5001", 9, {1}, {}, 12},
    {"31 2", 10, {1, 2}, {}, 13},
    {"3A 1", 10, {10, 1}, {}, 13},
    {"11 1", 11, {1, 1, 0}, {}, 14},
    {"11 1 A", 11, {1, 1, 10}, {}, 14},
    {"1f 0abc", 11, {15, 0, 0xabc}, {}, 14},
    {"Y6", 12, {}, {}, 15},
    {"Y61", 13, {1}, {}, 16},
    {"Y6a", 13, {'a' - '0'}, {}, 16},
    {"R5$VIDEO", 14, {}, {"VIDEO"}, 17},
    {"R51name", 15, {1}, {"name"}, 18},
    {"R50x\\3Ay", 15, {0}, {"x:y"}, 18},
    {"R4$VIDEO", 16, {}, {"VIDEO"}, 19},
    {"R41abc", 17, {1}, {"abc"}, 20},
    {"R3file", 18, {}, {"file"}, 21},
    {"A1", 19, {1}, {}, 1},
    {"R0f", 20, {15}, {}, 22},
    {"R0fLOGO", 21, {15}, {"LOGO"}, 1},
    {"S43", 22, {3}, {}, 23},
    {"m6a", 23, {10}, {}, 24},
    {"m2123key|value", 24, {0, 1, 3}, {"key", "value"}, 25},
    {"m2f3fk\\7Cx|v\\3A", 24, {1, 1, 15}, {"k|x", "v:"}, 25},
    {"m2012kk|", 24, {1, 0, 2}, {"kk", ""}, 25},
    {"m2123k|a|b", 24, {0, 1, 3}, {"k", "a|b"}, 25},
    {"S21abcd", 25, {1, 0xabcd}, {}, 26},
    {"UE12", 26, {1, 2}, {}, 27},
    {"UE12x", 26, {1, 2}, {}, 27},
    {"UE 1 2", 26, {1, 2}, {}, 27},
    {"UE3", 27, {3}, {}, 28},
    {"UE 3", 27, {3}, {}, 28},
    {"Y91LOGO", 28, {1}, {"LOGO"}, 29},
    {"Y6123000000", 29, {1, 2, 3}, {}, 30},
    {"W105", 30, {5}, {}, 31},
    {"W2AB", 31, {0xAB, 1, 3}, {}, 32},
    {"W2AB123", 31, {0xAB, 0x123, 3}, {}, 32},
    {"W2AB1234", 31, {0xAB, 0x123, 4}, {}, 32},
    {"W7123", 32, {0x123, 3}, {}, 33},
    {"W71234", 32, {0x123, 4}, {}, 33},
    {"W8123", 33, {0x123, 3}, {}, 34},
    {"WP01", 34, {1}, {}, 35},
    {"WR123", 35, {1, 2, 3}, {}, 36},
    {"WR12", 36, {1, 2}, {}, 37},
    {"WV1G", 37, {1, 0}, {}, 38},
    {"WV1", 37, {1, 3}, {}, 38},
    {"WW5", 38, {5}, {}, 39},
    {"WX1A", 39, {0x1A}, {}, 40},
    {"WX", 40, {}, {}, 41},
    {"WY12", 41, {0x12, 3}, {}, 42},
    {"WY125", 41, {0x12, 5}, {}, 42},
    {"WZ12", 42, {0x12, 3}, {}, 43},
    {"WZ127", 42, {0x12, 7}, {}, 43},
    {"Wb12", 43, {0x12, 3}, {}, 44},
    {"YWb1", 44, {1}, {}, 45},
    {"YWb", 45, {}, {}, 46},
    {"Wb1234", 46, {0x12, 3, 4}, {}, 47},
    {"WZ121name", 47, {0x12, 1}, {"name"}, 48},
    {"x0abcd", 48, {0xabcd}, {}, 49},
};

const std::vector<std::string> kNotCommands = {
    "",     "S0G",     "31 3",   "Y6123",   "R42abc", "R40", "m2123k|", "W2AB34", "m2123|x|y",
    "Z011", "U6",      "Q",      "R5$",     "x0abcg", "UE",  "W2A",     "WZ1",    "1f 3",
    "3A1",  "UE 1 2 ", "Y61234", "m212key", "S2123",  "A",   "AG",      "Wb1",    "Z3f",
};

int parse(const oxtel_cbs *t, calls *c, const std::string &m) {
    return oxtel_cmd_parser_cb(t, c, m.c_str(), int(m.size()));
}

}  // namespace

TEST(OxtelParser, EveryFormCallsItsSlotWithItsFields) {
    oxtel_cbs t = recording_table();
    std::set<int> slots;
    for (const form_case &k : kCases) {
        calls c;
        c.result = 100 + k.slot;
        EXPECT_EQ(parse(&t, &c, k.msg), 100 + k.slot) << k.msg;
        ASSERT_EQ(c.v.size(), 1u) << k.msg;
        EXPECT_EQ(c.v[0].slot, k.slot) << k.msg;
        EXPECT_EQ(c.v[0].ints, k.ints) << k.msg;
        EXPECT_EQ(c.v[0].texts, k.texts) << k.msg;
        slots.insert(k.slot);
    }
    EXPECT_EQ(slots.size(), size_t(OXTEL_CB_COUNT));
}

TEST(OxtelParser, EmptySlotsLogAndReturnTheCode) {
    oxt::log_path();
    oxtel_cbs empty{};
    for (const form_case &k : kCases) {
        calls c;
        EXPECT_EQ(parse(nullptr, &c, k.msg), k.code) << k.msg;
        EXPECT_EQ(parse(&empty, &c, k.msg), k.code) << k.msg;
    }
    // only the set slot is called; its neighbours stay empty
    oxtel_cbs one{};
    one.QuerySubsequentFileResponse = rec<15>;
    calls c;
    EXPECT_EQ(parse(&one, &c, "R41abc"), 20);
    EXPECT_EQ(parse(&one, &c, "R51name"), 0);
    ASSERT_EQ(c.v.size(), 1u);
    EXPECT_EQ(c.v[0].slot, 15);
    // Each link thread has its own allowance of such lines a second: a fresh one logs these.
    std::thread([] {
        for (std::string m : {"A1", "m2123key|value", "Y6a"}) parse(nullptr, nullptr, m);
    }).join();
    EXPECT_TRUE(oxt::log_waits_for("EraseStore(1)"));
    EXPECT_TRUE(oxt::log_waits_for("SetLayerDatasourceValue(0x12, 3, [key],[value])"));
    EXPECT_TRUE(oxt::log_waits_for("EnableVideoTallies(a)"));
}

TEST(OxtelParser, RejectsWhatIsNoCommand) {
    oxt::log_path();
    oxtel_cbs t = recording_table();
    for (const std::string &m : kNotCommands) {
        calls c;
        EXPECT_EQ(parse(&t, &c, m), -22) << m;
        EXPECT_TRUE(c.v.empty()) << m;
        EXPECT_EQ(oxtel_cmd_match(m.c_str(), int(m.size()), nullptr), 0) << m;
    }
    EXPECT_TRUE(oxt::log_waits_for("Unrecognized sequence []"));
    // device text reaches the log with its control characters escaped
    std::string nasty = "Q\n! forged line\x1b";
    std::thread([&] { EXPECT_EQ(parse(&t, nullptr, nasty), -22); }).join();
    EXPECT_TRUE(oxt::log_waits_for("Unrecognized sequence [Q\\x0a! forged line\\x1b]"));
    EXPECT_FALSE(oxt::log_has("\n! forged line"));
    EXPECT_EQ(parse(nullptr, nullptr, "Z01100a\tb"), 5);
    EXPECT_TRUE(oxt::log_waits_for("String=[a\\x09b]"));
}

TEST(OxtelParser, NoMessageMatchesTwoForms) {
    // every form, its cut and grown variants and single-character changes of it
    const std::string alphabet = "0129aAfFgG $|:\\xYWRSUZm";
    std::set<std::string> probes;
    for (const form_case &k : kCases) {
        const std::string &m = k.msg;
        for (size_t n = 0; n <= m.size(); n++) probes.insert(m.substr(0, n));
        for (char ch : alphabet) {
            probes.insert(m + ch);
            probes.insert(m + ch + ch);
            for (size_t i = 0; i < m.size(); i++) {
                std::string v = m;
                v[i] = ch;
                probes.insert(v);
            }
        }
    }
    for (const std::string &p : probes) {
        int slot = -1;
        EXPECT_LE(oxtel_cmd_match(p.c_str(), int(p.size()), &slot), 1) << p;
    }
    for (const form_case &k : kCases) {
        int slot = -1;
        EXPECT_EQ(oxtel_cmd_match(k.msg.c_str(), int(k.msg.size()), &slot), 1) << k.msg;
        EXPECT_EQ(slot, k.slot) << k.msg;
    }
}

TEST(OxtelParser, LengthBoundsTheMessage) {
    // bytes past the length are not part of the message; a NUL inside it is an ordinary byte
    oxtel_cbs t = recording_table();
    calls c;
    EXPECT_EQ(oxtel_cmd_parser_cb(&t, &c, "S01xyz", 3), 0);
    ASSERT_EQ(c.v.size(), 1u);
    EXPECT_EQ(c.v[0].slot, 2);
    std::string with_nul("R0fA\0B", 6);
    EXPECT_EQ(oxtel_cmd_parser_cb(&t, &c, with_nul.data(), 6), 0);
    EXPECT_EQ(c.v.back().texts[0], "A");
}
