// kiv::ipod::ReconnectingClient against the simulator, which is killed and
// started anew under the same socket name in the middle of a session, ten
// times, with requests in flight: each request completes or fails with its
// kind, the session comes back on the same serial number, and no descriptor
// is left behind (ASan reports a handle that is never closed).
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "kiv/ipod.hpp"
#include "simd_harness.h"

namespace ki = kiv::ipod;
using simdtest::Simulator;
using namespace std::chrono_literals;

namespace {

using kivtest::open_descriptors;

struct Notes {
    std::vector<ki::ConnectionChange> lost, restored;
    std::set<ki::RequestId> replied;
};

ki::ReconnectingClient connect(Notes &notes, ki::ReconnectOptions options) {
    auto r = ki::ReconnectingClient::connect(options);
    EXPECT_TRUE(r.ok()) << (r ? "" : r.error().text());
    if (!r) return ki::ReconnectingClient();
    ki::ReconnectingClient c = std::move(*r);
    c.on_connection_lost([&notes](const ki::ConnectionChange &ch) { notes.lost.push_back(ch); });
    c.on_connection_restored([&notes](const ki::ConnectionChange &ch) { notes.restored.push_back(ch); });
    c.on_reply([&notes](ki::Client &, const ki::Reply &r) { notes.replied.insert(r.id); });
    return c;
}

// Steps until `done` holds; false after `ms`.
template <class F>
bool step_until(ki::ReconnectingClient &c, F done, int ms = 10000) {
    for (auto end = simdtest::deadline(ms); !done();) {
        if (simdtest::ms_left(end) <= 0) return false;
        (void)c.step(50ms);
    }
    return true;
}

class Reconnect : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("KIV_IPOD_TIMEOUT_MS", "5000", 1);  // bounds each opening handshake
        simd = std::make_unique<Simulator>(std::vector<std::string>{"--quiet", "--ping-interval", "0"});
        ASSERT_TRUE(simd->ready());
    }
    void TearDown() override { unsetenv("KIV_IPOD_TIMEOUT_MS"); }
    void kill_simulator() {
        kill(simd->pid(), SIGKILL);
        simd.reset();
    }
    std::unique_ptr<Simulator> simd;
};

TEST_F(Reconnect, TenRestartsWithRequestsInFlight) {
    const int fds_before = open_descriptors();
    Notes notes;
    {
        ki::ReconnectingClient c = connect(notes, {true, 0ms, 20ms, 2000ms, 5000ms});
        ASSERT_TRUE(c.connected());
        ASSERT_TRUE(c.open_session(0).ok());
        const std::string serial = *c.session_serial();
        for (int round = 0; round < 10; round++) {
            SCOPED_TRACE("round " + std::to_string(round));
            // Transaction ids start anew on each connection.
            std::set<ki::RequestId> sent;
            notes.replied.clear();
            // Requests in flight: sent, their replies not read yet.
            for (int i = 0; i < 3; i++) {
                auto id = c.send([](ki::Client &k) { return k.get_play_state(); });
                ASSERT_TRUE(id.ok()) << id.error().text();
                sent.insert(*id);
            }
            kill_simulator();
            // The loss shows on the next read or request, with its kind.
            auto r = c.call([](ki::Client &k) { return k.current_track_info_sync(); });
            if (!r) {
                EXPECT_EQ(r.error().kind(), ki::ErrorKind::not_connected) << r.error().text();
            }
            ASSERT_TRUE(step_until(c, [&] { return notes.lost.size() == size_t(round) + 1; }));
            EXPECT_FALSE(c.connected());
            EXPECT_EQ(c.fd(), -1);
            const auto &lost = notes.lost.back();
            EXPECT_FALSE(lost.devices.empty());
            EXPECT_EQ(lost.session_serial, serial);
            // Every request sent has its reply or is reported unanswered.
            for (auto id : lost.unanswered) {
                EXPECT_TRUE(sent.count(id)) << static_cast<uint32_t>(id);
                EXPECT_FALSE(notes.replied.count(id)) << static_cast<uint32_t>(id);
            }
            const std::set<ki::RequestId> unanswered(lost.unanswered.begin(), lost.unanswered.end());
            for (auto id : sent) EXPECT_TRUE(notes.replied.count(id) + unanswered.count(id) == 1);
            // While disconnected, requests fail at once.
            auto t0 = simdtest::Clock::now();
            auto refused = c.call([](ki::Client &k) { return k.play_sync(); });
            auto unsent = c.send([](ki::Client &k) { return k.play(); });
            ASSERT_FALSE(refused);
            EXPECT_EQ(refused.error().kind(), ki::ErrorKind::not_connected);
            ASSERT_FALSE(unsent);
            EXPECT_EQ(unsent.error().kind(), ki::ErrorKind::not_connected);
            EXPECT_LT(simdtest::Clock::now() - t0, 1s);
            // A few retries fail before the daemon is back.
            (void)c.step(30ms);
            simd = std::make_unique<Simulator>(std::vector<std::string>{"--quiet", "--ping-interval", "0"});
            ASSERT_TRUE(simd->ready());
            ASSERT_TRUE(step_until(c, [&] { return notes.restored.size() == size_t(round) + 1; }));
            const auto &back = notes.restored.back();
            EXPECT_TRUE(back.session_reopened);
            EXPECT_EQ(back.session_serial, serial);
            ASSERT_FALSE(back.devices.empty());
            EXPECT_EQ(back.devices[0].serial, serial);
            EXPECT_GE(back.attempts, 1u);
            // The session works again, and so do the handlers.
            ASSERT_TRUE(c.client()->session_opened());
            auto state = c.call([](ki::Client &k) { return k.get_play_state_sync(); });
            EXPECT_TRUE(state.ok()) << state.error().text();
            auto id = c.send([](ki::Client &k) { return k.get_current_track_index(); });
            ASSERT_TRUE(id.ok());
            ASSERT_TRUE(step_until(c, [&] { return notes.replied.count(*id) == 1; }));
        }
        c.close();
        EXPECT_FALSE(c.connected());
        EXPECT_EQ(c.retry_in(), std::nullopt);
    }
    EXPECT_EQ(open_descriptors(), fds_before);
}

// The back-off: first retry at once, then doubling up to the bound; a
// client without the option stays lost.
TEST_F(Reconnect, BackOffIsBoundedAndOffByDefault) {
    Notes notes;
    ki::ReconnectingClient off = connect(notes, {});
    ki::ReconnectingClient on = connect(notes, {true, 0ms, 200ms, 500ms, 5000ms});
    ASSERT_TRUE(off.connected() && on.connected());
    kill_simulator();
    ASSERT_TRUE(step_until(off, [&] { return !off.connected(); }));
    ASSERT_TRUE(step_until(on, [&] { return !on.connected(); }));
    EXPECT_EQ(off.retry_in(), std::nullopt);
    EXPECT_FALSE(off.retry());
    ASSERT_TRUE(on.retry_in());
    EXPECT_EQ(on.retry_in()->count(), 0);  // the first retry at once
    std::vector<std::chrono::milliseconds> delays;
    for (int i = 0; i < 5; i++) {
        EXPECT_FALSE(on.retry());
        ASSERT_TRUE(on.retry_in());
        delays.push_back(*on.retry_in());
        std::this_thread::sleep_for(*on.retry_in());
    }
    // 200, 400, then 500 ms each time (a little less, as time passed).
    for (size_t i = 0; i < delays.size(); i++) {
        auto expected = std::min(200ms * (1 << i), 500ms);
        EXPECT_LE(delays[i], expected) << i;
        EXPECT_GT(delays[i], expected - 150ms) << i;
    }
    // close() stops the retries at once.
    on.close();
    EXPECT_EQ(on.retry_in(), std::nullopt);
    simd = std::make_unique<Simulator>(std::vector<std::string>{"--quiet"});
    EXPECT_FALSE(on.retry());
    EXPECT_FALSE(on.step(10ms));
    EXPECT_TRUE(notes.restored.empty());
}

// A daemon whose device list starts empty: the device is announced later
// with its event, and the kept session is re-opened then.
std::unique_ptr<kivtest::FakeDaemon> late_device_daemon() {
    namespace wire = kivtest::wire;
    auto d = std::make_unique<kivtest::FakeDaemon>();
    d->set_devices(wire::a({}));
    d->set_responder([](const kivtest::Request &r) {
        if (r.opcode == 4)
            return kivtest::frame(
                r.tid, 4,
                wire::h({{"result", wire::i(1)}, {"devices", wire::a({wire::device("LATE0001", 1)})}}));
        return kivtest::frame(r.tid, r.opcode == 54 ? 2 : r.opcode, wire::i(0));
    });
    return d;
}

TEST(ReconnectLateDevice, SessionReopensWhenTheDeviceIsAnnounced) {
    setenv("KIV_IPOD_TIMEOUT_MS", "5000", 1);
    Notes notes;
    auto d = late_device_daemon();
    ki::ReconnectingClient c = connect(notes, {true, 0ms, 20ms, 500ms, 5000ms});
    const std::string announce =
        kivtest::event("connected_ipod", 1, "LATE0001", kivtest::wire::device("LATE0001", 1));
    d->send(announce);
    ASSERT_TRUE(step_until(c, [&] { return !c.devices().empty(); }));
    ASSERT_TRUE(c.open_session(0).ok());
    d.reset();
    ASSERT_TRUE(step_until(c, [&] { return notes.lost.size() == 1; }));
    d = late_device_daemon();
    ASSERT_TRUE(step_until(c, [&] { return notes.restored.size() == 1; }));
    EXPECT_FALSE(notes.restored[0].session_reopened);  // not in the list yet
    EXPECT_EQ(notes.restored[0].session_serial, "LATE0001");
    d->send(announce);
    ASSERT_TRUE(step_until(c, [&] { return c.client() && c.client()->session_opened(); }));
    EXPECT_TRUE(c.client()->ready());
    unsetenv("KIV_IPOD_TIMEOUT_MS");
}

}  // namespace
