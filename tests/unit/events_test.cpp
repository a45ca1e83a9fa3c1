// The device registry (lookups, refusals, insert-or-replace, readiness),
// event decoding, the effects of events on the handle, and the accessors.
#include "events/events.h"

#include <gtest/gtest.h>

#include <memory>

#include "client_fixture.h"
#include "log_capture.h"

using namespace fixture;
using kivtest::log_clear;
using kivtest::log_count;

namespace {

constexpr int kDebug = 3;

// No list (or one of the wrong shape), an empty list, an index out of range:
// refused, with one debug line each; missing keys and values of another
// type answer 0 / null.
TEST(Devices, RefusalsAndAccessorsReadTheirKeys) {
    Client c;
    log_clear();
    EXPECT_EQ(kiv_ipod_device_index(c, "A"), -1);
    EXPECT_EQ(kivtest::log_records().size(), 0u) << "lookup by serial without a list logs nothing";
    EXPECT_EQ(kiv_ipod_device_audio_count(c, 0), 0);
    EXPECT_EQ(log_count(kDebug, "is_device_available, No valid device.\n"), 1);
    EXPECT_EQ(get_current_ipod_id(c), -1);
    EXPECT_EQ(log_count(kDebug, "get_current_ipod_id, No valid device.\n"), 1);
    c->devices = I(3);
    EXPECT_EQ(kiv_ipod_device_count(c), 0);
    EXPECT_EQ(kiv_ipod_device_name(c, 0), nullptr);
    c.set_devices({});
    log_clear();
    EXPECT_EQ(kiv_ipod_device_index(c, "A"), -1);
    EXPECT_EQ(log_count(kDebug, "kiv_ipod_device_index, not found ipod. (serial=A)\n"), 1);

    c.set_devices({device("A", 5), device("B", 6, 1, 0, 1)});
    log_clear();
    EXPECT_EQ(kiv_ipod_device_serial(c, -1), nullptr);
    EXPECT_EQ(kiv_ipod_device_port(c, 2), 0);
    EXPECT_EQ(log_count(kDebug, "is_device_available, Selected device(-1) is not available.\n"), 1);
    EXPECT_EQ(log_count(kDebug, "is_device_available, Selected device(2) is not available.\n"), 1);
    EXPECT_EQ(kiv_ipod_device_count(c), 2);
    EXPECT_EQ(kiv_ipod_device_index(c, "B"), 1);
    EXPECT_STREQ(kiv_ipod_device_serial(c, 1), "B");
    EXPECT_STREQ(kiv_ipod_device_name(c, 1), "name-B");
    EXPECT_STREQ(kiv_ipod_software_version(c, 0), "1.2.3");
    const struct {
        int (*get)(kiv_ipod_client *, int);
        int index, expected;
    } ints[] = {{kiv_ipod_device_audio_count, 0, 7},   {kiv_ipod_device_support_itunes_db, 0, 1},
                {kiv_ipod_device_is_extended, 1, 0},   {kiv_ipod_device_authenticated, 1, 1},
                {kiv_ipod_device_ready, 1, 1},         {kiv_ipod_device_product_id, 0, 0x1261},
                {kiv_ipod_device_sound_card_id, 0, 2}, {kiv_ipod_device_port, 0, 3},
                {kiv_ipod_device_used, 0, 1},          {kiv_ipod_device_type, 0, 4}};
    for (const auto &row : ints) EXPECT_EQ(row.get(c, row.index), row.expected) << &row - ints;

    c.set_devices({H({{"serial", S("X")}, {"name", I(1)}, {"port", S("p")}})});
    EXPECT_EQ(kiv_ipod_device_name(c, 0), nullptr);
    EXPECT_EQ(kiv_ipod_device_port(c, 0), 0);
    EXPECT_EQ(kiv_ipod_device_used(c, 0), 0);
}

// update_device replaces the record with the same serial (keeping its own
// copy) or appends, creating the list if there is none; a record without a
// serial could never be found again and is ignored. Ever new serials stop
// being added at the device limit, and a removal makes room again.
TEST(Devices, UpdateReplacesBySerialOrAppendsUpToTheLimit) {
    Client c;
    auto update = [&](Value rec) {
        update_device(c, rec);
        serialize_free(rec);
    };
    update(device("A", 5));
    ASSERT_EQ(kiv_ipod_device_count(c), 1);
    update(device("B", 6));
    Value newer = device("A", 9, 1, 1, 0);
    update_device(c, newer);
    serialize_hash_add(newer, "ipod_id", I(77));
    serialize_free(newer);
    EXPECT_EQ(kiv_ipod_device_count(c), 2);
    EXPECT_EQ(kiv_ipod_device_index(c, "A"), 0);
    EXPECT_EQ(kiv_ipod_device_ready(c, 0), 0);
    EXPECT_EQ(value_int_or(serialize_array_get(c->devices, 0), "ipod_id", -1), 9);
    update(H({{"ipod_id", I(3)}}));
    update_device(c, nullptr);
    EXPECT_EQ(kiv_ipod_device_count(c), 2);

    log_clear();
    for (int i = 0; i < KIV_IPOD_MAX_DEVICES + 1; ++i) update(device(("S" + std::to_string(i)).c_str(), i));
    EXPECT_EQ(kiv_ipod_device_count(c), KIV_IPOD_MAX_DEVICES);
    EXPECT_EQ(kivtest::log_count_containing("not added"), 3);
    update(device("A", 500));
    EXPECT_EQ(get_current_ipod_id(c), 500);
    remove_device(c, 1);
    update(device("new", 1));
    EXPECT_EQ(kiv_ipod_device_index(c, "new"), KIV_IPOD_MAX_DEVICES - 1);
    EXPECT_EQ(kiv_ipod_device_count(c), KIV_IPOD_MAX_DEVICES);

    // A whole list from the daemon is held to the same limit, keeping its
    // first records; a list within it is copied whole.
    for (int n : {KIV_IPOD_MAX_DEVICES, KIV_IPOD_MAX_DEVICES + 1, 5000}) {
        Value list = serialize_array();
        for (int i = 0; i < n; ++i) serialize_array_add(list, device(("L" + std::to_string(i)).c_str(), i));
        log_clear();
        Value copy = copy_device_list(list, "test");
        EXPECT_EQ(serialize_array_count(copy), KIV_IPOD_MAX_DEVICES) << n;
        EXPECT_EQ(kivtest::log_count_containing("the rest not kept"), n > KIV_IPOD_MAX_DEVICES ? 1 : 0);
        EXPECT_STREQ(serialize_hash_get_string(serialize_array_get(copy, KIV_IPOD_MAX_DEVICES - 1), "serial"),
                     ("L" + std::to_string(KIV_IPOD_MAX_DEVICES - 1)).c_str());
        serialize_free(copy);
        serialize_free(list);
    }
}

TEST(Devices, ReadinessRule) {
    Client c;
    c.set_devices(
        {device("A", 5, 1, 0, 1), device("B", 6, 2, 1, 1), device("C", 7), device("D", 8, 1, 1, 0)});
    // Result and flag for each index (4: no such device); the flag starts
    // opposite to the expected one.
    const int expected[][2] = {{0, 0}, {2, 0}, {1, 1}, {0, 0}, {0, 0}};
    for (int k = 0; k < 5; k++) {
        c->ready = expected[k][1] ? 0 : 1;
        EXPECT_EQ(set_ready(c, k), expected[k][0]) << k;
        EXPECT_EQ(c->ready, unsigned(expected[k][1])) << k;
    }
}

// The session index is stored unchecked; a removal ahead of it shifts it
// so that it still names the same device.
TEST(Devices, CurrentSessionIsStoredUncheckedAndRemovalKeepsItOnTheSameDevice) {
    Client c;
    c.set_devices({device("A", 5), device("B", 6), device("C", 7)});
    EXPECT_EQ(kiv_ipod_current_session(c), 0);
    EXPECT_EQ(get_current_ipod_id(c), 5);
    c->ready = 1;
    EXPECT_EQ(kiv_ipod_set_current_session(c, 5), 5);
    EXPECT_EQ(kiv_ipod_current_session(c), 5);
    EXPECT_EQ(c->ready, 1u);
    EXPECT_EQ(get_current_ipod_id(c), -1);
    kiv_ipod_set_current_session(c, 2);
    remove_device(c, 0);
    EXPECT_EQ(kiv_ipod_device_count(c), 2);
    EXPECT_EQ(c->current_session, 1);
    EXPECT_EQ(get_current_ipod_id(c), 7);
    remove_device(c, 1);  // the current one: the caller handles the session
    remove_device(c, 1);  // out of range: nothing
    remove_device(c, -1);
    EXPECT_EQ(kiv_ipod_device_count(c), 1);
    EXPECT_STREQ(kiv_ipod_device_serial(c, 0), "B");
}

struct EventFree {
    void operator()(kiv_ipod_event *e) const { kiv_ipod_event_free(e); }
};
using Event = std::unique_ptr<kiv_ipod_event, EventFree>;

Event decode(kiv_ipod_client *c, Value payload) {
    Packet p(payload);
    return Event(event_decode(c, p.get()));
}

// Two devices, the first one current.
void two_devices(Client &c) {
    c.set_devices({device("A", 5), device("B", 6)});
    c->current_session = 0;
}

TEST(Events, RecordFieldsAndNames) {
    Client c;
    c->last_error = strdup("stale");
    log_clear();
    Event e = decode(c, event("playlist_changed", 0x12345, "SER", H({{"x", I(1)}}), 0x10002));
    ASSERT_TRUE(e);
    EXPECT_EQ(kiv_ipod_event_type(e.get()), KIV_IPOD_EVENT_PLAYLIST_CHANGED);
    EXPECT_EQ(e->ipod_id, 0x2345);
    EXPECT_EQ(e->session, 2);
    EXPECT_STREQ(kiv_ipod_event_device_serial(e.get()), "SER");
    ASSERT_NE(e->data, nullptr);
    EXPECT_EQ(value_int_or(e->data, "x", -1), 1);
    EXPECT_EQ(c->last_error, nullptr);
    EXPECT_EQ(log_count(kDebug, "type=playlist_changed"), 1);

    // Unknown and miscased names: EventsFlow in link_connect_test.
    Event no_data = decode(c, event("fail_to_detect", 1, "S"));
    EXPECT_EQ(no_data->type, KIV_IPOD_EVENT_FAIL_TO_DETECT);
    EXPECT_EQ(no_data->data, nullptr);
    EXPECT_EQ(kiv_ipod_event_type(nullptr), 255);

    const struct {
        const char *name;
        int type;
    } names[] = {{"connected_ipod", 1},         {"disconnected_ipod", 2},    {"fail_to_detect", 3},
                 {"authenticated", 4},          {"mode_changed", 5},         {"play_state_changed", 6},
                 {"track_index_changed", 7},    {"samplerate_retrieved", 9}, {"track_position_changed", 10},
                 {"chapter_index_changed", 11}, {"shuffle_changed", 12},     {"repeat_changed", 13},
                 {"playlist_changed", 14},      {"ipod_ready", 15},          {"eap_session_opened", 18},
                 {"eap_session_closed", 19},    {"eap_data_received", 20}};
    for (const auto &n : names) {
        // Data of an unexpected shape must not disturb the decoding.
        Event ev = decode(c, event(n.name, 999, "Z", S("zz")));
        ASSERT_TRUE(ev) << n.name;
        EXPECT_EQ(ev->type, n.type) << n.name;
        bool connection =
            n.type == 1 || n.type == 4 || n.type == 5 || n.type == 15 || n.type == 18 || n.type == 19;
        EXPECT_EQ(is_connection_event(ev.get()), connection ? 1 : 0) << n.name;
    }
}

TEST(Events, MalformedPayloadsAreDroppedOrHarmless) {
    Client c;
    two_devices(c);
    log_clear();
    Packet empty;
    EXPECT_EQ(event_decode(c, empty.get()), nullptr);
    Packet garbage(std::string("\x7f garbage"));
    EXPECT_EQ(event_decode(c, garbage.get()), nullptr);
    EXPECT_EQ(decode(c, A({I(1)})), nullptr);
    EXPECT_EQ(kivtest::log_count_containing("event_decode, undecodable event dropped.\n"), 3);

    // A hash missing every expected entry still yields a record.
    Event bare = decode(c, H({}));
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->type, 255);
    EXPECT_EQ(kiv_ipod_event_device_serial(bare.get()), nullptr);

    // Without an ipod_id an event concerns no device, even one with id 0.
    c.set_devices({device("A", 0)});
    Event no_id = decode(c, H({{"event", S("play_state_changed")}, {"data", I(2)}}));
    EXPECT_EQ(c->current_track.state, -1);
}

// Each value event of the current device sets its field. The same event
// for another device, with no current device (whatever the id), or with its
// data missing or of another type changes nothing, and is still delivered.
TEST(Events, ValueEventsUpdateTheCacheOfTheCurrentDeviceOnly) {
    const struct {
        const char *name;
        int32_t value;
        int (*field)(kiv_ipod_client *);
        int expected;
    } rows[] = {{"play_state_changed", 2, kiv_ipod_current_track_state, 5},
                {"track_index_changed", 11, kiv_ipod_current_track_index, 11},
                {"samplerate_retrieved", 44100, kiv_ipod_current_sample_rate, 44100},
                {"track_position_changed", 1234, kiv_ipod_current_track_position, 1234},
                {"shuffle_changed", 1, kiv_ipod_current_shuffle_state, 1},
                {"repeat_changed", 2, kiv_ipod_current_repeat_state, 2}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        Client c;
        two_devices(c);
        const int before = row.field(c);
        ASSERT_NE(before, row.expected);
        EXPECT_TRUE(decode(c, event(row.name, 6, "B", I(row.value))));
        decode(c, event(row.name, 5, "A", S("late")));
        decode(c, event(row.name, 5, "A"));
        EXPECT_EQ(row.field(c), before);
        decode(c, event(row.name, 5, "A", I(row.value)));
        EXPECT_EQ(row.field(c), row.expected);
        c->current_session = -1;
        decode(c, event(row.name, 5, "A", I(0)));
        decode(c, event(row.name, 0, "A", I(0)));
        EXPECT_EQ(row.field(c), row.expected);
    }

    Client c;
    two_devices(c);
    decode(c, event("chapter_index_changed", 5, "A",
                    H({{"track_index", I(3)}, {"chapter_index", I(4)}, {"chapter_count", I(9)}})));
    EXPECT_EQ(kiv_ipod_current_track_index(c), 3);
    EXPECT_EQ(kiv_ipod_current_chapter_index(c), 4);
    EXPECT_EQ(kiv_ipod_current_chapter_count(c), 9);
    // Missing or wrong-typed entries leave their fields alone.
    decode(c, event("chapter_index_changed", 5, "A", H({{"chapter_index", I(6)}, {"track_index", S("x")}})));
    EXPECT_EQ(kiv_ipod_current_track_index(c), 3);
    EXPECT_EQ(kiv_ipod_current_chapter_index(c), 6);
    EXPECT_EQ(kiv_ipod_current_chapter_count(c), 9);
    decode(c, event("chapter_index_changed", 6, "B", H({{"chapter_index", I(1)}})));
    EXPECT_EQ(kiv_ipod_current_chapter_index(c), 6);
}

TEST(Events, DeviceEventsMaintainTheList) {
    Client c;
    // Events may arrive before any list exists.
    decode(c, event("connected_ipod", 5, "A", device("A", 5, 0, 0, 0)));
    ASSERT_EQ(kiv_ipod_device_count(c), 1);
    decode(c, event("connected_ipod", 6, "B", device("B", 6, 0, 0, 0)));
    decode(c, event("authenticated", 5, "A", device("A", 5, 1, 0, 0)));
    decode(c, event("mode_changed", 5, "A", device("A", 5, 1, 1, 0)));
    EXPECT_EQ(kiv_ipod_device_count(c), 2);
    EXPECT_EQ(kiv_ipod_device_index(c, "A"), 0);
    EXPECT_EQ(kiv_ipod_device_is_extended(c, 0), 1);
    EXPECT_EQ(c->ready, 0u);

    // ipod_ready computes readiness for the named device, wherever it is.
    decode(c, event("ipod_ready", 6, "B", device("B", 6, 1, 1, 1)));
    EXPECT_EQ(c->ready, 1u);
    decode(c, event("ipod_ready", 5, "A", device("A", 5, 1, 1, 0)));
    EXPECT_EQ(c->ready, 0u);
    // Without a serial the event names no device: nothing changes.
    decode(c, event("ipod_ready", 6, "B", H({{"ready", I(1)}})));
    decode(c, event("connected_ipod", 5, "A", I(3)));
    EXPECT_EQ(c->ready, 0u);
    EXPECT_EQ(kiv_ipod_device_count(c), 2);
}

// A disconnect removes the device its serial names (the ipod_id decides
// only for an unknown serial); only the current device's ends the session
// and resets the cache.
TEST(Events, DisconnectRemovesTheNamedDevice) {
    Client c;
    c.set_devices({device("A", 5), device("B", 5), device("C", 7)});
    c->current_session = 2;
    c->session_opened = 1;
    c->current_track.state = 1;
    // Same ipod_id as the current device, but the serial names device A.
    Event e = decode(c, event("disconnected_ipod", 7, "A", S("A")));
    EXPECT_EQ(kiv_ipod_event_disconnected_serial(e.get()), std::string("A"));
    EXPECT_EQ(kiv_ipod_device_count(c), 2);
    EXPECT_EQ(c->session_opened, 1u);
    EXPECT_EQ(c->current_track.state, 1);
    // The current session still names device C after the shift.
    EXPECT_EQ(c->current_session, 1);
    EXPECT_STREQ(kiv_ipod_device_serial(c, c->current_session), "C");

    // An unknown serial: the ipod_id decides (here: the current device).
    decode(c, event("disconnected_ipod", 7, "Q", S("Q")));
    EXPECT_EQ(c->current_track.state, -1);
    EXPECT_EQ(kiv_ipod_device_count(c), 2);

    // Data that is not a serial text removes nothing and resets nothing.
    c->current_track.state = 1;
    decode(c, event("disconnected_ipod", 7, "C", I(3)));
    decode(c, event("disconnected_ipod", 7, "C"));
    EXPECT_EQ(kiv_ipod_device_count(c), 2);
    EXPECT_EQ(c->current_track.state, 1);

    // The current device's serial, whatever the ipod_id (the rest of the
    // reset: EventsFlow in link_connect_test).
    c->current_session = 1;
    c->pending[IPOD_REPLY_play_state] = 9;
    decode(c, event("disconnected_ipod", 77, "C", S("C")));
    EXPECT_EQ(c->current_session, -1);
    EXPECT_EQ(c->pending[IPOD_REPLY_play_state], 0u);

    // Without a device list no serial names a device: the session stays.
    Client bare;
    bare->current_session = 0;
    bare->session_opened = 1;
    decode(bare, event("disconnected_ipod", 77, "A", S("A")));
    EXPECT_EQ(bare->current_session, 0);
    EXPECT_EQ(bare->session_opened, 1u);
}

// Every accessor on the kinds of event it reads and on others: the carried
// value, or a neutral one (-1, 0 or null) with a debug line for the EAP ones.
TEST(Events, Accessors) {
    Client c;
    log_clear();
    Event opened = decode(c, event("eap_session_opened", 1, "S",
                                   H({{"serial", S("S1")},
                                      {"session_id", I(4)},
                                      {"protocol_index", I(2)},
                                      {"protocol_string", S("com.x")}})));
    EXPECT_EQ(log_count(kDebug, "eap_session_opened, session_id=4, protocol_index=2"), 1);
    Event closed = decode(c, event("eap_session_closed", 1, "S", H({{"session_id", I(4)}})));
    EXPECT_EQ(log_count(kDebug, "eap_session_closed, session_id=4"), 1);
    Event data =
        decode(c, event("eap_data_received", 1, "S",
                        H({{"session_id", I(4)}, {"length", I(3)}, {"data", B(std::string("\0\1\2", 3))}})));
    EXPECT_EQ(log_count(kDebug, "eap_data_received"), 1);
    Event gone = decode(c, event("disconnected_ipod", 1, "S", S("S1")));
    Event auth = decode(c, event("authenticated", 1, "S", H({{"serial", S("S")}, {"authenticated", I(1)}})));
    Event mode = decode(c, event("mode_changed", 1, "S", H({{"serial", S("S")}, {"extended", I(0)}})));
    Event bare_auth = decode(c, event("authenticated", 1, "S", H({{"serial", S("S")}})));
    Event state = decode(c, event("play_state_changed", 1, "S", I(1)));
    Event empty_open = decode(c, event("eap_session_opened", 1, "S", H({{"x", I(0)}})));
    Event no_bytes = decode(c, event("eap_data_received", 1, "S", H({{"length", I(5)}})));
    log_clear();
    const struct {
        kiv_ipod_event *e;
        int (*get)(kiv_ipod_event *);
        int expected;
    } ints[] = {{auth.get(), kiv_ipod_event_authenticated, 1},
                {mode.get(), kiv_ipod_event_mode_changed, 0},
                {mode.get(), kiv_ipod_event_authenticated, -1},
                {auth.get(), kiv_ipod_event_mode_changed, -1},
                {bare_auth.get(), kiv_ipod_event_authenticated, -1},
                {opened.get(), kiv_ipod_event_eap_datagram_session_id, 4},
                {closed.get(), kiv_ipod_event_eap_datagram_session_id, 4},
                {data.get(), kiv_ipod_event_eap_datagram_session_id, 4},
                {state.get(), kiv_ipod_event_eap_datagram_session_id, -1},
                {empty_open.get(), kiv_ipod_event_eap_datagram_session_id, -1},
                {opened.get(), kiv_ipod_event_eap_datagram_protocol_index, 2},
                {closed.get(), kiv_ipod_event_eap_datagram_protocol_index, -1},
                {empty_open.get(), kiv_ipod_event_eap_datagram_protocol_index, -1},
                {data.get(), kiv_ipod_event_eap_datagram_data_length, 3},
                {state.get(), kiv_ipod_event_eap_datagram_data_length, -1},
                {no_bytes.get(), kiv_ipod_event_eap_datagram_data_length, 0}};
    for (size_t k = 0; k < sizeof ints / sizeof ints[0]; k++)
        EXPECT_EQ(ints[k].get(ints[k].e), ints[k].expected) << "row " << k;
    auto text = [](const char *t) { return std::string(t ? t : "<null>"); };
    EXPECT_EQ(text(kiv_ipod_event_connected_serial(opened.get())), "S1");
    EXPECT_EQ(text(kiv_ipod_event_connected_serial(gone.get())), "<null>");
    EXPECT_EQ(text(kiv_ipod_event_connected_serial(nullptr)), "<null>");
    EXPECT_EQ(text(kiv_ipod_event_disconnected_serial(opened.get())), "<null>");
    EXPECT_EQ(text(kiv_ipod_event_eap_datagram_protocol_string(opened.get())), "com.x");
    EXPECT_EQ(text(kiv_ipod_event_eap_datagram_protocol_string(data.get())), "<null>");
    EXPECT_EQ(text(kiv_ipod_event_eap_datagram_protocol_string(empty_open.get())), "<null>");
    const unsigned char *bytes = kiv_ipod_event_eap_datagram_data(data.get());
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(bytes[1], 1);
    EXPECT_EQ(bytes[2], 2);
    EXPECT_EQ(kiv_ipod_event_eap_datagram_data(opened.get()), nullptr);
    EXPECT_EQ(kiv_ipod_event_eap_datagram_data(no_bytes.get()), nullptr);
    for (const char *line :
         {"kiv_ipod_event_eap_datagram_protocol_index, not eap related event, event->type=19",
          "kiv_ipod_event_eap_datagram_protocol_string, not eap related event, event->type=20",
          "kiv_ipod_event_eap_datagram_session_id, not eap related event, event->type=6",
          "kiv_ipod_event_eap_datagram_data, event->type=18"})
        EXPECT_EQ(log_count(kDebug, line), 1) << line;
    // Each refusal is followed by the event's data, printed: the opened
    // event's (for the datagram) and the datagram's (for the protocol text).
    EXPECT_EQ(kivtest::log_count_containing("\"protocol_string\"=>"), 1);
    EXPECT_EQ(kivtest::log_count_containing("\"length\"=>"), 1);
    // An EAP event without the key asked for prints its data too: the
    // session id and the protocol text of the one without either.
    EXPECT_EQ(kivtest::log_count_containing("\"x\"=>"), 2);
    EXPECT_NE(kiv_ipod_event_data(state.get()), nullptr);
    EXPECT_EQ(kiv_ipod_event_data(state.get()), state->data);
    EXPECT_EQ(kiv_ipod_event_data(nullptr), nullptr);
    EXPECT_EQ(is_connection_event(nullptr), 0);
    kiv_ipod_event_free(nullptr);
}

TEST(Events, EapLengthNeverExceedsTheCarriedBytes) {
    Client c;
    const struct {
        Value length, data;
        int expected;
    } rows[] = {{I(1000), B("abcd"), 4}, {I(2), B("abcd"), 2}, {I(-4), B("abcd"), -1}, {I(4), S("abcd"), 0}};
    for (const auto &row : rows) {
        Event e =
            decode(c, event("eap_data_received", 1, "S", H({{"length", row.length}, {"data", row.data}})));
        EXPECT_EQ(kiv_ipod_event_eap_datagram_data_length(e.get()), row.expected);
        if (row.expected == 0) {
            EXPECT_EQ(kiv_ipod_event_eap_datagram_data(e.get()), nullptr);
        }
    }
}

}  // namespace
