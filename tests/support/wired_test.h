// Test fixture around a library handle wired to one end of a socket pair;
// the test plays the daemon on `peer`. TearDown may be followed by SetUp
// again for a fresh pair, and a test that closes `peer` sets it to -1.
#ifndef KIV_TEST_WIRED_TEST_H
#define KIV_TEST_WIRED_TEST_H

#include <gtest/gtest.h>
#include <unistd.h>

#include "wired_handle.h"

namespace kivtest {

class WiredTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(wire_handle(&client, &peer)); }
    void TearDown() override {
        kiv_ipod_close(client);
        client = nullptr;
        if (peer >= 0) close(peer);
        peer = -1;
    }

    kiv_ipod_client *client = nullptr;
    int peer = -1;
};

}  // namespace kivtest

#endif  // KIV_TEST_WIRED_TEST_H
