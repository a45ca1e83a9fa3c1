// Events from the fake daemon through kiv_ipod_read in the shared library:
// the handle follows each event (device list, readiness, track cache)
// before the event callback sees it. What each event does in detail is
// checked against the decoder itself in unit/events_test.cpp.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "requests_fixture.h"

using kivtest::event;
namespace wire = kivtest::wire;

namespace {

// The event and the handle, as the callback saw them.
int record(kiv_ipod_client *c, kiv_ipod_event *e, void *user) {
    const char *serial = kiv_ipod_event_device_serial(e);
    static_cast<std::vector<std::string> *>(user)->push_back(
        std::to_string(kiv_ipod_event_type(e)) + " " + (serial ? serial : "-") + " devices=" +
        std::to_string(kiv_ipod_device_count(c)) + " ready=" + std::to_string(kiv_ipod_is_ready(c)) +
        " state=" + std::to_string(kiv_ipod_current_track_state(c)) +
        " shuffle=" + std::to_string(kiv_ipod_current_shuffle_state(c)));
    return 0;
}

TEST(EventsFlow, TheHandleFollowsEachEventBeforeTheCallbackSeesIt) {
    reqtest::Daemon d;
    reqtest::Client cl{d, true};  // a session on SER1 (ipod_id 7), ready
    kiv_ipod_client *c = cl.client;
    std::vector<std::string> seen;
    kiv_ipod_set_event_cb(c, record, &seen);
    auto deliver = [&](const std::string &bytes, size_t events) {
        d.daemon.send(bytes);
        for (size_t target = seen.size() + events; seen.size() < target;) ASSERT_GT(kiv_ipod_read(c), 0);
    };
    deliver(event("connected_ipod", 9, "SER2", wire::device("SER2", 9, 0, 0, 0)) +
                event("play_state_changed", 7, "SER1", wire::i(2)) +
                event("shuffle_changed", 9, "SER2", wire::i(1)) +  // not the current device
                event("shuffle_changed", 7, "SER1", wire::i(1)) +
                event("ipod_ready", 7, "SER1", wire::device("SER1", 7, 1, 1, 0)) +
                event("ipod_ready", 7, "SER1", wire::device("SER1", 7)) +
                kivtest::frame(0, 1, "\x01garbage") +  // undecodable: dropped, the rest goes on
                event("Playlist_Changed", 7, "SER1"),  // names are exact: an unknown event
            7);
    // Without an event callback the handle still follows.
    kiv_ipod_set_event_cb(c, nullptr, nullptr);
    d.daemon.send(event("shuffle_changed", 7, "SER1", wire::i(0)));
    ASSERT_EQ(kiv_ipod_read(c), 1);
    EXPECT_EQ(kiv_ipod_current_shuffle_state(c), 0);
    kiv_ipod_set_event_cb(c, record, &seen);
    // A second notice for the vanished device is harmless.
    deliver(event("disconnected_ipod", 7, "SER1", wire::s("SER1")) +
                event("disconnected_ipod", 7, "SER1", wire::s("SER1")),
            2);
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "1 SER2 devices=2 ready=1 state=-1 shuffle=-1",
                        "6 SER1 devices=2 ready=1 state=5 shuffle=-1",
                        "12 SER2 devices=2 ready=1 state=5 shuffle=-1",
                        "12 SER1 devices=2 ready=1 state=5 shuffle=1",
                        "15 SER1 devices=2 ready=0 state=5 shuffle=1",
                        "15 SER1 devices=2 ready=1 state=5 shuffle=1",
                        "255 SER1 devices=2 ready=1 state=5 shuffle=1",
                        "2 SER1 devices=1 ready=0 state=-1 shuffle=-1",
                        "2 SER1 devices=1 ready=0 state=-1 shuffle=-1",
                    }));
    EXPECT_EQ(kiv_ipod_current_session(c), -1);
    EXPECT_EQ(kiv_ipod_is_session_opened(c), 0);

    // Requests about the vanished device are refused, not sent.
    size_t sent = d.requests().size();
    EXPECT_EQ(kiv_ipod_play(c), 0u);
    EXPECT_EQ(d.requests().size(), sent);
}

}  // namespace
