// A test with the fakes in one child process and the pool set up against it.
#pragma once

#include "fake_client.h"
#include "mivra.h"

#include <gtest/gtest.h>

#include <string>

class mivra_fake_fixture : public testing::Test {
   protected:
    // Starts the fakes the test needs, e.g. fake.start({"lib"}).
    virtual int start_fakes() = 0;
    void SetUp() override {
        ASSERT_EQ(start_fakes(), 0);
        mivra_init("mivra_test", "1");
        url = fake.url();
        u = url.c_str();
    }
    void TearDown() override { mivra_cleanup(); }
    // Runs a control method of the fake and drops its answer.
    template <class... A>
    void ctl(const char *method, const char *format, A... args) {
        xmlrpc_value *r = fake.control(method, format, args...);
        ASSERT_NE(r, nullptr) << method;
        xmlrpc_DECREF(r);
    }
    fake_proc fake;
    std::string url;
    const char *u = nullptr;
};
