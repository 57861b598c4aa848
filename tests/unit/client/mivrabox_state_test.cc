#include <gtest/gtest.h>

#include <string>

#include "mivrabox_state.h"
#include "xr.h"

// btext compares with a string literal through two equally good conversions; tests compare
// through this exact overload.
template <size_t N, size_t M>
bool operator==(const btext<N> &a, const char (&b)[M]) {
    return a.view() == std::string_view(b);
}

namespace {

mivrabox_state sample() {
    mivrabox_state s;
    s.f_running = 1;
    s.amend = int64_t(1) << 40;
    s.count = 123456789012;
    s.time = "12:34:56:07";
    for (int i = 0; i < 5; i++) s.er[i] = -int64_t(i) * 10000000000;
    s.curr_remain = "+00:00:10:00";
    s.ply_remain = "05:00:00:00";
    s.lib_queued_count = 1;
    s.lib_absent_count = 2;
    s.lib_present_count = 3;
    s.ply_stat_flag_range = 4;
    s.ply_stat_flag_subclip = 5;
    s.absent_remain = "00:01:00:00";
    s.last_playlist = "2024-05-01 \xc3\xa9t\xc3\xa9.ply";
    s.type_C_remain = "00:00:01:00";
    s.type_L_remain = "00:00:02:00";
    s.fixed_time_remain = "00:00:03:00";
    s.ply_hash = "0123456789abcdef0123456789abcdef";
    return s;
}

std::string xml_of(xmlrpc_value *v) {
    xr_env env;
    xmlrpc_mem_block *mem = xmlrpc_mem_block_new(&env, 0);
    xmlrpc_serialize_value(&env, mem, v);
    std::string xml(static_cast<const char *>(xmlrpc_mem_block_contents(mem)),
                    xmlrpc_mem_block_size(mem));
    xmlrpc_mem_block_free(mem);
    EXPECT_FALSE(env.fault()) << env.msg();
    return xml;
}

// Two states are the same when they compose to the same document: every member, in order.
void expect_same(const mivrabox_state &a, const mivrabox_state &b) {
    xr_env env;
    xr_value va(mivrabox_state_compose(&env, &a)), vb(mivrabox_state_compose(&env, &b));
    ASSERT_TRUE(va && vb) << env.msg();
    EXPECT_EQ(xml_of(va.get()), xml_of(vb.get()));
}

// The state as a peer sends it: through XML and back, so that the wire types are checked.
xr_value over_the_wire(xmlrpc_value *v) {
    std::string xml = xml_of(v);
    size_t amend = xml.find("<name>amend</name>");
    EXPECT_LT(xml.find("<i8>", amend), xml.find("</member>", amend)) << xml;
    xr_env env;
    xmlrpc_value *back = nullptr;
    xmlrpc_parse_value_xml(&env, xml.data(), xml.size(), &back);
    EXPECT_FALSE(env.fault()) << env.msg();
    return xr_value(back);
}

// A state struct built member by member, so that tests can leave out or retype one.
xr_value build(const char *skip, const char *as_int = nullptr, int er_items = 5) {
    xr_env env;
    mivrabox_state s = sample();
    xr_value full(mivrabox_state_compose(&env, &s));
    xr_value out(xmlrpc_struct_new(&env));
    int n = xmlrpc_struct_size(&env, full.get());
    for (int i = 0; i < n; i++) {
        xmlrpc_value *k = nullptr, *v = nullptr;
        xmlrpc_struct_read_member(&env, full.get(), i, &k, &v);
        xr_value kh(k), vh(v);
        const char *key = nullptr;
        xmlrpc_read_string(&env, k, &key);
        std::string name(key);
        free(const_cast<char *>(key));
        if (skip && strstr(skip, ("," + name + ",").c_str())) continue;
        if (as_int && name == as_int) {
            xr_value i32(xmlrpc_int_new(&env, 7));
            xmlrpc_struct_set_value(&env, out.get(), name.c_str(), i32.get());
        } else if (name == "er") {
            xr_value er(xmlrpc_array_new(&env));
            for (int j = 0; j < er_items; j++) {
                xr_value item(xmlrpc_i8_new(&env, 100 + j));
                xmlrpc_array_append_item(&env, er.get(), item.get());
            }
            xmlrpc_struct_set_value(&env, out.get(), "er", er.get());
        } else {
            xmlrpc_struct_set_value(&env, out.get(), name.c_str(), v);
        }
    }
    EXPECT_FALSE(env.fault()) << env.msg();
    return out;
}

}  // namespace

TEST(MivraboxState, ComposeThenDecomposeOverTheWire) {
    xr_env env;
    mivrabox_state s = sample();
    xr_value v(mivrabox_state_compose(&env, &s));
    ASSERT_TRUE(v) << env.msg();
    EXPECT_EQ(xmlrpc_struct_size(&env, v.get()), 18);
    xr_value wire = over_the_wire(v.get());
    mivrabox_state d;
    d.f_running = 99;
    ASSERT_EQ(mivrabox_state_decompose(&env, wire.get(), &d), 0);
    expect_same(d, s);
    EXPECT_FALSE(env.fault());

    // Through a reply struct, as the box clients read it.
    xr_value reply(xmlrpc_build_value(&env, "{s:i,s:S}", "result", 0, "state", wire.get()));
    mivrabox_state p;
    ASSERT_EQ(mivrabox_state_probe_decompose(&env, reply.get(), &p), 0);
    expect_same(p, s);
}

TEST(MivraboxState, TextsAreBoundedAndMadeSendable) {
    xr_env env;
    mivrabox_state s = sample();
    s.time = std::string(40, '1');
    s.last_playlist = "bad\xff\xfe name \xc3.ply";
    xr_value v(mivrabox_state_compose(&env, &s));
    ASSERT_TRUE(v) << env.msg();
    mivrabox_state d;
    ASSERT_EQ(mivrabox_state_decompose(&env, v.get(), &d), 0);
    EXPECT_EQ(d.time, std::string(31, '1'));
    EXPECT_EQ(d.last_playlist, "bad?? name ?.ply");
}

TEST(MivraboxState, OptionalMembersMayBeMissing) {
    xr_env env;
    xr_value v = build(",ply_hash,last_playlist,fixed_time_remain,");
    mivrabox_state d;
    testing::internal::CaptureStderr();
    EXPECT_EQ(mivrabox_state_decompose(&env, v.get(), &d), 0);
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(d.ply_hash.empty());
    EXPECT_TRUE(d.last_playlist.empty());
    EXPECT_TRUE(d.fixed_time_remain.empty());
    EXPECT_EQ(d.type_C_remain, "00:00:01:00");
    EXPECT_EQ(d.count, 123456789012);
}

TEST(MivraboxState, RequiredMembersAndTypesAreChecked) {
    xr_env env;
    mivrabox_state d;
    for (const char *skip : {",count,", ",er,", ",ply_remain,", ",ply_stat_flag_subclip,"}) {
        xr_value v = build(skip);
        d.f_running = 5;
        testing::internal::CaptureStderr();
        EXPECT_EQ(mivrabox_state_decompose(&env, v.get(), &d), -14) << skip;
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("mivrabox_state_decompose: xmlrpc_decompose_value failed"),
                  std::string::npos);
        EXPECT_EQ(d.f_running, 0);
    }
    xr_value narrow = build(nullptr, "count");  // a 32-bit count is refused
    testing::internal::CaptureStderr();
    EXPECT_EQ(mivrabox_state_decompose(&env, narrow.get(), &d), -14);

    xr_value no_state(xmlrpc_build_value(&env, "{s:i}", "result", -22));
    d.count = 5;
    EXPECT_EQ(mivrabox_state_probe_decompose(&env, no_state.get(), &d), -14);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("mivrabox_state_probe_decompose:"), std::string::npos);
    EXPECT_EQ(d.count, 0);
    EXPECT_FALSE(env.fault());  // the caller's env is left clean
}

TEST(MivraboxState, ShortAndLongErArrays) {
    xr_env env;
    mivrabox_state d;
    xr_value three = build(nullptr, nullptr, 3);
    ASSERT_EQ(mivrabox_state_decompose(&env, three.get(), &d), 0);
    EXPECT_EQ(d.er[0], 100);
    EXPECT_EQ(d.er[2], 102);
    EXPECT_EQ(d.er[3], 0);
    EXPECT_EQ(d.er[4], 0);
    xr_value seven = build(nullptr, nullptr, 7);
    ASSERT_EQ(mivrabox_state_decompose(&env, seven.get(), &d), 0);
    EXPECT_EQ(d.er[4], 104);
    xr_value none = build(nullptr, nullptr, 0);
    ASSERT_EQ(mivrabox_state_decompose(&env, none.get(), &d), 0);
    EXPECT_EQ(d.er[0], 0);
}
