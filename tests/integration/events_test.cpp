// Events from the fake daemon through kiv_ipod_read: the device list, the
// readiness flag and the track cache follow them, and the event callback
// sees the record with the cache already updated.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "requests_fixture.h"

using kivtest::event;
using reqtest::Client;
using reqtest::Daemon;
namespace wire = kivtest::wire;

namespace {

// What the callback read from each event while it was alive.
struct Seen {
    int type;
    std::string serial;
    std::string connected_serial;
    std::string disconnected_serial;
    int authenticated;
    int mode;
    int session_id;
    int protocol_index;
    std::string protocol_string;
    int data_length;
    std::string data;
    int track_state;  // the cache as the callback saw it
    int device_count;
};

std::string text(const char *t) {
    return t ? t : "<null>";
}

int record(kiv_ipod_client *c, kiv_ipod_event *e, void *user) {
    Seen s;
    s.type = kiv_ipod_event_type(e);
    s.serial = text(kiv_ipod_event_device_serial(e));
    s.connected_serial = text(kiv_ipod_event_connected_serial(e));
    s.disconnected_serial = text(kiv_ipod_event_disconnected_serial(e));
    s.authenticated = kiv_ipod_event_authenticated(e);
    s.mode = kiv_ipod_event_mode_changed(e);
    bool eap = s.type >= 18 && s.type <= 20;
    s.session_id = eap ? kiv_ipod_event_eap_datagram_session_id(e) : -2;
    s.protocol_index = s.type == 18 ? kiv_ipod_event_eap_datagram_protocol_index(e) : -2;
    s.protocol_string = s.type == 18 ? text(kiv_ipod_event_eap_datagram_protocol_string(e)) : "";
    s.data_length = kiv_ipod_event_eap_datagram_data_length(e);
    const unsigned char *bytes = s.type == 20 ? kiv_ipod_event_eap_datagram_data(e) : nullptr;
    if (bytes && s.data_length > 0) s.data.assign(reinterpret_cast<const char *>(bytes), s.data_length);
    s.track_state = kiv_ipod_current_track_state(c);
    s.device_count = kiv_ipod_device_count(c);
    static_cast<std::vector<Seen> *>(user)->push_back(s);
    return 0;
}

// Sends `bytes` and reads until `count` more events reached the callback.
void deliver(Daemon &d, kiv_ipod_client *c, std::vector<Seen> &seen, const std::string &bytes,
             size_t count = 1) {
    size_t target = seen.size() + count;
    d.daemon.send(bytes);
    while (seen.size() < target) ASSERT_GT(kiv_ipod_read(c), 0);
}

// A client with a session on SER1 whose callback records every event.
class EventsFlow : public ::testing::Test {
protected:
    void SetUp() override { kiv_ipod_set_event_cb(c, record, &seen); }
    Daemon d;
    Client cl{d, true};
    kiv_ipod_client *c = cl.client;
    std::vector<Seen> seen;
};

TEST_F(EventsFlow, DevicesComeGetReadyAndGo) {
    deliver(d, c, seen, event("connected_ipod", 9, "SER2", wire::device("SER2", 9, 0, 0, 0)));
    EXPECT_EQ(seen.back().type, 1);
    EXPECT_EQ(seen.back().connected_serial, "SER2");
    EXPECT_EQ(seen.back().device_count, 2) << "the list is updated before the callback";
    EXPECT_EQ(kiv_ipod_device_index(c, "SER2"), 1);
    EXPECT_EQ(kiv_ipod_is_ready(c), 1) << "readiness still follows the current device";

    deliver(d, c, seen,
            event("authenticated", 9, "SER2", wire::device("SER2", 9, 1, 0, 0)) +
                event("mode_changed", 9, "SER2", wire::device("SER2", 9, 1, 1, 0)),
            2);
    EXPECT_EQ(seen[1].authenticated, 1);
    EXPECT_EQ(seen[1].mode, -1);
    EXPECT_EQ(seen[2].mode, 1);
    EXPECT_EQ(kiv_ipod_device_count(c), 2);
    EXPECT_EQ(kiv_ipod_device_is_extended(c, 1), 1);

    // ipod_ready recomputes readiness for the device that it names.
    deliver(d, c, seen, event("ipod_ready", 9, "SER2", wire::device("SER2", 9, 1, 1, 0)));
    EXPECT_EQ(seen.back().type, 15);
    EXPECT_EQ(kiv_ipod_is_ready(c), 0);
    deliver(d, c, seen, event("ipod_ready", 7, "SER1", wire::device("SER1", 7)));
    EXPECT_EQ(kiv_ipod_is_ready(c), 1);

    // A device listed before the current one goes away: the session keeps
    // naming the same device.
    deliver(d, c, seen, event("connected_ipod", 3, "SER0", wire::device("SER0", 3)));
    ASSERT_EQ(kiv_ipod_device_count(c), 3);
    kiv_ipod_set_current_session(c, 2);  // SER0
    deliver(d, c, seen, event("disconnected_ipod", 3, "SER2", wire::s("SER2")));
    EXPECT_EQ(seen.back().disconnected_serial, "SER2");
    EXPECT_EQ(seen.back().connected_serial, "<null>");
    EXPECT_EQ(kiv_ipod_device_count(c), 2);
    EXPECT_EQ(kiv_ipod_current_session(c), 1);
    EXPECT_STREQ(kiv_ipod_device_serial(c, kiv_ipod_current_session(c)), "SER0");
    EXPECT_EQ(kiv_ipod_is_session_opened(c), 1);
}

TEST_F(EventsFlow, CurrentTrackFollowsTheCurrentDevice) {
    deliver(d, c, seen,
            event("play_state_changed", 7, "SER1", wire::i(2)) +
                event("track_index_changed", 7, "SER1", wire::i(4)) +
                event("track_position_changed", 7, "SER1", wire::i(9000)) +
                event("samplerate_retrieved", 7, "SER1", wire::i(44100)) +
                event("shuffle_changed", 7, "SER1", wire::i(1)) +
                event("repeat_changed", 7, "SER1", wire::i(2)) +
                event("chapter_index_changed", 7, "SER1",
                      wire::h({{"track_index", wire::i(5)},
                               {"chapter_index", wire::i(1)},
                               {"chapter_count", wire::i(3)}})),
            7);
    EXPECT_EQ(seen[0].type, 6);
    EXPECT_EQ(seen[0].track_state, 5) << "the callback sees the new state";
    EXPECT_EQ(kiv_ipod_current_track_state(c), 5);
    EXPECT_EQ(kiv_ipod_current_track_position(c), 9000);
    EXPECT_EQ(kiv_ipod_current_sample_rate(c), 44100);
    EXPECT_EQ(kiv_ipod_current_shuffle_state(c), 1);
    EXPECT_EQ(kiv_ipod_current_repeat_state(c), 2);
    EXPECT_EQ(kiv_ipod_current_track_index(c), 5);
    EXPECT_EQ(kiv_ipod_current_chapter_index(c), 1);
    EXPECT_EQ(kiv_ipod_current_chapter_count(c), 3);

    // Another device's events reach the callback but change nothing.
    deliver(
        d, c, seen,
        event("play_state_changed", 8, "SER9", wire::i(0)) + event("shuffle_changed", 8, "SER9", wire::i(0)),
        2);
    EXPECT_EQ(seen.back().type, 12);
    EXPECT_EQ(kiv_ipod_current_track_state(c), 5);
    EXPECT_EQ(kiv_ipod_current_shuffle_state(c), 1);

    // Without an event callback the cache is still updated.
    kiv_ipod_set_event_cb(c, nullptr, nullptr);
    d.daemon.send(event("track_position_changed", 7, "SER1", wire::i(9500)));
    ASSERT_EQ(kiv_ipod_read(c), 1);
    EXPECT_EQ(kiv_ipod_current_track_position(c), 9500);
}

TEST_F(EventsFlow, DisconnectOfTheCurrentDevice) {
    deliver(
        d, c, seen,
        event("play_state_changed", 7, "SER1", wire::i(1)) + event("repeat_changed", 7, "SER1", wire::i(1)),
        2);
    ASSERT_EQ(kiv_ipod_current_track_state(c), 4);

    deliver(d, c, seen, event("disconnected_ipod", 7, "SER1", wire::s("SER1")));
    EXPECT_EQ(seen.back().type, 2);
    EXPECT_EQ(seen.back().track_state, -1);
    EXPECT_EQ(kiv_ipod_current_session(c), -1);
    EXPECT_EQ(kiv_ipod_is_session_opened(c), 0);
    EXPECT_EQ(kiv_ipod_is_ready(c), 0);
    EXPECT_EQ(kiv_ipod_device_count(c), 0);
    EXPECT_EQ(kiv_ipod_current_track_state(c), -1);
    EXPECT_EQ(kiv_ipod_current_repeat_state(c), -1);

    // Requests about the vanished device are refused, not sent.
    size_t sent = d.requests().size();
    EXPECT_EQ(kiv_ipod_play(c), 0u);
    EXPECT_EQ(d.requests().size(), sent);

    // No current device any more: nothing concerns it.
    deliver(d, c, seen, event("play_state_changed", 7, "SER1", wire::i(2)));
    EXPECT_EQ(kiv_ipod_current_track_state(c), -1);
    // A second notice for the same device is harmless.
    deliver(d, c, seen, event("disconnected_ipod", 7, "SER1", wire::s("SER1")));
    EXPECT_EQ(kiv_ipod_device_count(c), 0);
}

TEST_F(EventsFlow, EapEventsAndBrokenEvents) {
    deliver(
        d, c, seen,
        event("eap_session_opened", 7, "SER1",
              wire::h({{"serial", wire::s("SER1")},
                       {"session_id", wire::i(11)},
                       {"protocol_index", wire::i(2)},
                       {"protocol_string", wire::s("com.kiv.test")}})) +
            event(
                "eap_data_received", 7, "SER1",
                wire::h({{"session_id", wire::i(11)}, {"length", wire::i(50)}, {"data", wire::b("hello")}})) +
            event("eap_session_closed", 7, "SER1", wire::h({{"session_id", wire::i(11)}})),
        3);
    EXPECT_EQ(seen[0].type, 18);
    EXPECT_EQ(seen[0].connected_serial, "SER1");
    EXPECT_EQ(seen[0].session_id, 11);
    EXPECT_EQ(seen[0].protocol_index, 2);
    EXPECT_EQ(seen[0].protocol_string, "com.kiv.test");
    EXPECT_EQ(seen[1].type, 20);
    EXPECT_EQ(seen[1].data_length, 5) << "never more than the bytes carried";
    EXPECT_EQ(seen[1].data, "hello");
    EXPECT_EQ(seen[2].type, 19);
    EXPECT_EQ(seen[2].session_id, 11);
    EXPECT_EQ(kivtest::log_count(reqtest::kDebug, "eap_session_opened, session_id=11, protocol_index=2"), 1);

    // An event payload that does not decode is dropped; what follows is
    // delivered normally.
    size_t before = seen.size();
    d.daemon.send(kivtest::frame(0, 1, "\x01garbage") + event("Playlist_Changed", 7, "SER1"));
    while (seen.size() < before + 1) ASSERT_GE(kiv_ipod_read(c), 0);
    EXPECT_EQ(seen.back().type, 255);
    EXPECT_EQ(seen.back().serial, "SER1");
}

}  // namespace
