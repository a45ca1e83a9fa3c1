// The fixtures of the link's white-box tests: a handle wired to one end of
// a socket pair, with the test playing the daemon on the other end, and
// callbacks that record what is delivered, in order.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cache/cache.h"
#include "events/events.h"
#include "fake_daemon.h"
#include "handle.h"
#include "link/capture.h"
#include "link/link.h"
#include "log_capture.h"
#include "protocol/protocol.h"
#include "requests/preference.h"
#include "wired_handle.h"

namespace linktest {

using kivtest::frame;
namespace wire = kivtest::wire;

constexpr int kError = 6;

using kivtest::open_descriptors;

// A handle wired to one end of a socket pair; the test plays the daemon on
// `peer`. TearDown may be followed by SetUp again for a fresh pair, and a
// test that closes `peer` sets it to -1. Every test leaves as many
// descriptors open as it found: the handle, its capture file and the
// capture directory are all closed.
// (Counted around the whole test, which may tear down and set up again.)
class WiredTest : public ::testing::Test {
protected:
    WiredTest() : descriptors_(open_descriptors()) {}
    ~WiredTest() override { EXPECT_EQ(open_descriptors(), descriptors_) << "descriptors left open"; }
    void SetUp() override { ASSERT_TRUE(kivtest::wire_handle(&client, &peer)); }
    void TearDown() override {
        kiv_ipod_close(client);
        client = nullptr;
        if (peer >= 0) close(peer);
        peer = -1;
    }
    kiv_ipod_client *client = nullptr;
    int peer = -1;

private:
    int descriptors_;
};

// Every callback appends a line here, in delivery order.
inline std::vector<std::string> g_order;

inline int record_ping(kiv_ipod_client *, uint32_t tid, void *) {
    g_order.push_back("ping " + std::to_string(tid));
    return 0;
}

inline int record_reply(kiv_ipod_client *c, uint32_t tid, int32_t result, const char *text, void *) {
    // A text handed over is the handle's own copy.
    if (text) {
        EXPECT_EQ(text, c->last_error);
    }
    g_order.push_back("reply " + std::to_string(tid) + " " + std::to_string(result) +
                      (text ? std::string(" ") + text : std::string()));
    return 0;
}

inline int record_event(kiv_ipod_client *, kiv_ipod_event *e, void *) {
    g_order.push_back("event " + std::to_string(kiv_ipod_event_type(e)));
    return 0;
}

class Link : public WiredTest {
protected:
    void SetUp() override {
        WiredTest::SetUp();
        kivtest::log_clear();
        g_order.clear();
    }
    void trace() {
        kiv_ipod_set_ping_cb(client, record_ping, nullptr);
        kiv_ipod_set_reply_cb(client, record_reply, nullptr);
        kiv_ipod_set_event_cb(client, record_event, nullptr);
    }
    void put(const std::string &bytes) { ASSERT_TRUE(kivtest::write_all(peer, bytes.data(), bytes.size())); }
    // Everything the library wrote so far (the peer end is drained).
    std::string taken() {
        std::string out;
        char buf[65536];
        for (ssize_t n; (n = recv(peer, buf, sizeof buf, MSG_DONTWAIT)) > 0;) out.append(buf, size_t(n));
        return out;
    }
    std::vector<ipod_packet *> queued() {
        std::vector<ipod_packet *> out;
        for (ipod_packet *p = client->packets->next; p; p = p->next) out.push_back(p);
        return out;
    }
    // The queued packets re-encoded, and the queue emptied.
    std::vector<std::string> take_queue() {
        std::vector<std::string> out;
        uint64_t bytes = 0;
        for (ipod_packet *p : queued()) {
            out.push_back(
                frame(p->tid, uint8_t(p->opcode),
                      std::string(p->length ? static_cast<const char *>(p->payload) : "", p->length)));
            bytes += p->footprint;
            // Payloads below the hand-over size live in their packet's block.
            if (p->length > 0 && p->length < 64 * 1024) {
                EXPECT_EQ(p->payload, static_cast<void *>(p + 1));
            }
        }
        EXPECT_EQ(client->queued_bytes, bytes);
        EXPECT_EQ(size_t(kiv_ipod_pending(client)), out.size());
        EXPECT_EQ(client->packets_tail, out.empty() ? client->packets : queued().back());
        while (client->packets->next) ipod_packet_free(ipod_queue_unlink_after(client, client->packets));
        EXPECT_EQ(client->packets_tail, client->packets);
        return out;
    }
};

}  // namespace linktest
