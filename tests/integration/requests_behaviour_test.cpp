// Requests with logic of their own: uid-list transfer, preference
// conversions, non-dispatching waits, slot takeover, success flags, health
// examination, nested _sync calls, trace lines and caller pointers.
#include <atomic>

#include "requests_fixture.h"

namespace {

using namespace reqtest;
using kivtest::Request;

const std::string kUid("\x10\x20\x30\x40\x50\x60\x70\x80", 8);
const unsigned char *uid_ptr() {
    return reinterpret_cast<const unsigned char *>(kUid.data());
}

std::string playlist_event() {
    return kivtest::event("playlist_changed", 7, "SER1");
}

// The texts of the priority-3 records that contain one of `needles`.
std::vector<std::string> debug_lines_with(std::initializer_list<const char *> needles) {
    std::vector<std::string> out;
    for (const auto &rec : kivtest::log_records()) {
        if (rec.priority != kDebug) continue;
        for (const char *n : needles) {
            if (rec.text.find(n) != std::string::npos) {
                out.push_back(rec.text);
                break;
            }
        }
    }
    return out;
}

int error_records() {
    int n = 0;
    for (const auto &rec : kivtest::log_records()) n += rec.priority == kError ? 1 : 0;
    return n;
}

std::string hex_line(const char *prefix, int32_t v) {
    char buf[128];
    snprintf(buf, sizeof buf, "%s %d %xH", prefix, v, static_cast<unsigned>(v));
    return buf;
}

// A daemon and a handle with a session open on it.
struct Ready : testing::Test {
    Daemon d;
    Client c{d, true};
};

TEST_F(Ready, UidListSyncFormSendsTheWholeTextAsOneExactChunk) {
    // Empty text, exactly two uids, and one byte over two uids.
    const std::string texts[] = {"", std::string(16, 'u'), std::string(16, 'u') + "v"};
    for (const std::string &text : texts) {
        d.daemon.clear_requests();
        EXPECT_EQ(kiv_ipod_prepare_uid_list_sync(c.client, text.c_str()), 0);
        auto got = d.requests();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].opcode, 45);
        EXPECT_EQ(got[0].payload, wire::a({wire::i(0), wire::i(0), wire::i(static_cast<int32_t>(text.size())),
                                           wire::b(text)}));
    }
    // The asynchronous form (its payload is in the request table) logs
    // the transfer id.
    kivtest::log_clear();
    uint32_t tid = kiv_ipod_prepare_uid_list(c.client, 2, 3, 5, "ab\0cdXYZ");
    EXPECT_EQ(
        kivtest::log_count(kDebug, "kiv_ipod_prepare_uid_list, transfer_id=" + std::to_string(tid) + "\n"),
        1);
}

TEST_F(Ready, PreferencesEverySettingRoundTripsAndStrayNumbersTravelAsZero) {
    // Settings are numbered across the types; each type's values from 0.
    const int types[20] = {0, 0, 1, 1, 2, 2, 3, 3, 8, 8, 8, 8, 9, 9, 10, 10, 12, 12, 13, 13};
    int value = 0;
    for (uint32_t setting = 0; setting < 20; setting++) {
        SCOPED_TRACE(setting);
        if (setting > 0) value = types[setting - 1] == types[setting] ? value + 1 : 0;
        d.daemon.clear_requests();
        d.answer_with(wire::i(0));
        EXPECT_EQ(kiv_ipod_set_preference_sync(c.client, types[setting], setting), 0);
        EXPECT_EQ(d.requests().at(0).payload, wire::a({wire::i(types[setting]), wire::i(value)}));
        d.answer_with(wire::i(value));
        EXPECT_EQ(kiv_ipod_get_preference_sync(c.client, types[setting]), static_cast<int32_t>(setting));
    }
    // The setting alone picks the wire value; invalid types and settings
    // (negative ones included, compared unsigned) become 0.
    const struct {
        int type;
        uint32_t setting;
        int wire_type, wire_value;
    } sends[] = {{8, 10, 8, 2},           {5, 3, 0, 1},   {0, 20, 0, 0}, {-1, 5, 0, 1},
                 {14, 0xFFFFFFFFu, 0, 0}, {13, 11, 13, 3}};
    for (const auto &s : sends) {
        d.daemon.clear_requests();
        kiv_ipod_set_preference_sync(c.client, s.type, s.setting);
        EXPECT_EQ(d.requests().at(0).payload, wire::a({wire::i(s.wire_type), wire::i(s.wire_value)}))
            << s.type << "/" << s.setting;
    }
    // Replies that name no setting of the type become 255, never -1; an
    // invalid type (11, asked last) travels as 0 and converts to 255 for any reply.
    for (const auto &[type, reply] : {std::pair(8, wire::i(4)), std::pair(0, wire::i(-1)),
                                      std::pair(1, wire::s("1")), std::pair(11, wire::i(0))}) {
        d.answer_with(reply);
        EXPECT_EQ(kiv_ipod_get_preference_sync(c.client, type), 255) << type;
    }
    EXPECT_EQ(d.requests().back().payload, wire::i(0));

    // Dispatch converts an asynchronous reply with the caller's type.
    ReplyLog replies;
    replies.install(c.client);
    d.answer_with(wire::i(2));
    uint32_t tid = kiv_ipod_get_preference(c.client, 8);
    ASSERT_TRUE(replies.read_until(c.client, 1));
    EXPECT_EQ(replies.entries[0].tid, tid);
    EXPECT_EQ(replies.entries[0].result, 10);
}

struct Delivered {
    std::vector<std::string> order;
    static int on_event(kiv_ipod_client *, kiv_ipod_event *e, void *data) {
        static_cast<Delivered *>(data)->order.push_back("event" + std::to_string(kiv_ipod_event_type(e)));
        return 0;
    }
    static int on_ping(kiv_ipod_client *, uint32_t, void *data) {
        static_cast<Delivered *>(data)->order.push_back("ping");
        return 0;
    }
    void install(kiv_ipod_client *c) {
        kiv_ipod_set_event_cb(c, on_event, this);
        kiv_ipod_set_ping_cb(c, on_ping, this);
    }
};

TEST(NonDispatchingWaits, LaunchAndEapLeaveEarlierPacketsQueued) {
    Daemon d;
    // Every request is answered after an event that arrived first.
    d.answer([](const Request &r) { return playlist_event() + frame(r.tid, r.opcode, wire::i(1)); });
    Client c(d, true);
    Delivered seen;
    seen.install(c.client);

    EXPECT_EQ(kiv_ipod_launch_application_sync(c.client, "com.example.app"), 1);
    EXPECT_EQ(kiv_ipod_send_eap_datagram_sync(c.client, 2, "abc", 3), 1);
    EXPECT_TRUE(seen.order.empty());

    // The next read that completes a packet delivers them first, in order.
    d.daemon.send(frame(0, 54, ""));
    EXPECT_GT(kiv_ipod_read(c.client), 0);
    EXPECT_EQ(seen.order, (std::vector<std::string>{"event14", "event14", "ping"}));

    // A dispatching wait (also the health examination's) delivers what
    // arrived before its reply.
    seen.order.clear();
    EXPECT_EQ(kiv_ipod_play_sync(c.client), 1);
    serialize_free(kiv_ipod_health_examine(c.client, "probe", nullptr));
    EXPECT_EQ(seen.order, (std::vector<std::string>{"event14", "event14"}));
}

TEST(Slots, ALaterRequestOfTheSameKindTakesTheSlotOver) {
    Daemon d;
    std::vector<Request> held;
    std::mutex m;
    d.answer([&](const Request &r) {
        std::lock_guard<std::mutex> lock(m);
        held.push_back(r);
        return std::string();
    });
    Client c(d, true);
    ReplyLog replies;
    replies.install(c.client);

    uint32_t first = kiv_ipod_get_play_state(c.client);
    uint32_t second = kiv_ipod_get_play_state(c.client);
    uint32_t prepare = kiv_ipod_prepare_uid_list(c.client, 0, 1, 8, kUid.data());
    uint32_t play = kiv_ipod_play_uid_list(c.client, uid_ptr());
    ASSERT_TRUE(d.daemon.wait_requests(4));
    d.daemon.send(frame(first, 18, wire::h({{"current_play_status", wire::i(1)}})) +
                  frame(second, 18, wire::h({{"current_play_status", wire::i(2)}})) +
                  frame(prepare, 45, wire::i(5)) + frame(play, 46, wire::i(5)));
    ASSERT_TRUE(replies.read_until(c.client, 4));
    // The replaced requests get the generic decoding (a hash gives 0, the
    // integer itself); the latest ones their slot's handling.
    EXPECT_EQ(replies.entries[0].tid, first);
    EXPECT_EQ(replies.entries[0].result, 0);
    EXPECT_EQ(replies.entries[1].tid, second);
    EXPECT_EQ(replies.entries[1].result, 2);
    EXPECT_EQ(replies.entries[2].result, 5);
    EXPECT_EQ(replies.entries[3].result, 1);

    // Opening a session clears every slot: a pending play-state reply
    // then gets the generic decoding.
    uint32_t pending = kiv_ipod_get_play_state(c.client);
    ASSERT_TRUE(d.daemon.wait_requests(5));
    d.answer_with(wire::i(0));
    EXPECT_EQ(kiv_ipod_open_session_sync(c.client, 0), 1);
    replies.entries.clear();
    d.daemon.send(frame(pending, 18, wire::h({{"current_play_status", wire::i(3)}})));
    ASSERT_TRUE(replies.read_until(c.client, 1));
    EXPECT_EQ(replies.entries[0].tid, pending);
    EXPECT_EQ(replies.entries[0].result, 0);
}

TEST_F(Ready, SuccessFlagOfSelectDbAndSetCategoryStoresTheCount) {
    // The error text is readable after the call, and a later reply that
    // carries none leaves none behind.
    const struct {
        std::string reply;
        int32_t result, count;
        const char *error;
    } cases[] = {
        {wire::i(0), 1, 0, nullptr},
        {wire::i(7), 1, 7, nullptr},
        {wire::i(-5), 0, -5, nullptr},
        {wire::h({{"error", wire::s("no db")}}), 0, -1, "no db"},
        {wire::h({{"other", wire::i(3)}}), 0, -1, nullptr},
        {wire::i(2), 1, 2, nullptr},
        {"", 0, -1, nullptr},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.reply.size());
        d.answer_with(k.reply);
        EXPECT_EQ(kiv_ipod_select_db_sync(c.client, 1, 2), k.result);
        EXPECT_EQ(kiv_ipod_record_count(c.client), k.count);
        EXPECT_STREQ(kiv_ipod_last_error(c.client), k.error);
        EXPECT_EQ(kiv_ipod_set_category_sync(c.client, 3), k.result);
        EXPECT_EQ(kiv_ipod_record_count(c.client), k.count);
        EXPECT_STREQ(kiv_ipod_last_error(c.client), k.error);
    }
    // A refused request counts as a missing reply.
    Client idle(d, false);
    d.answer_with(wire::i(4));
    EXPECT_EQ(kiv_ipod_select_db_sync(idle.client, 1, 2), 0);
    EXPECT_EQ(kiv_ipod_record_count(idle.client), -1);
}

TEST(HealthExamine, TakesTheCallersValueAndReturnsTheRawReply) {
    Daemon d;
    Client c(d, false);  // sent whatever `ready` holds
    d.answer_with(wire::h({{"error", wire::s("unhealthy")}}));
    serialize_value *extra = serialize_hash();
    serialize_hash_add(extra, "depth", serialize_int(3));
    serialize_value *reply = kiv_ipod_health_examine(c.client, "probe", extra);  // `extra` now belongs to it
    ASSERT_EQ(serialize_type(reply), SERIALIZE_HASH);
    EXPECT_STREQ(serialize_hash_get_string(reply, "error"), "unhealthy");
    serialize_free(reply);
    EXPECT_EQ(d.requests().at(0).payload, wire::a({wire::s("probe"), wire::h({{"depth", wire::i(3)}})}));

    d.answer_with("");
    EXPECT_EQ(kiv_ipod_health_examine(c.client, "probe", nullptr), nullptr);

    // A null text is refused; the value handed over is still released
    // (the leak checker of the sanitizer and valgrind runs sees it).
    d.daemon.clear_requests();
    kivtest::log_clear();
    EXPECT_EQ(kiv_ipod_health_examine(c.client, nullptr, serialize_string("lost")), nullptr);
    EXPECT_EQ(error_records(), 1);
    c.expect_nothing_sent();
}

// Reply ids are never confused when a callback runs a _sync request
// inside another request's wait or inside kiv_ipod_read.
struct Nested {
    int32_t inner = INT32_MIN;
    int calls = 0;
    static int on_event(kiv_ipod_client *c, kiv_ipod_event *, void *data) {
        auto *self = static_cast<Nested *>(data);
        if (self->calls++ == 0) self->inner = kiv_ipod_get_play_state_sync(c);
        return 0;
    }
    static int on_reply(kiv_ipod_client *c, uint32_t, int32_t result, const char *, void *data) {
        auto *self = static_cast<Nested *>(data);
        if (self->calls++ == 0) self->inner = kiv_ipod_set_position_sync(c, result);
        return 0;
    }
};

TEST(NestedSync, CallbacksMayRunSyncRequestsDuringAWait) {
    Daemon d;
    std::atomic<int> play_states{0};
    d.answer([&](const Request &r) {
        if (r.opcode == 18) {
            // The outer request's reply comes after an event; the inner
            // one's reply carries a different status.
            if (play_states++ == 0) {
                return playlist_event() + frame(r.tid, 18, wire::h({{"current_play_status", wire::i(2)}}));
            }
            return frame(r.tid, 18, wire::h({{"current_play_status", wire::i(3)}}));
        }
        if (r.opcode == 14) return frame(r.tid, 14, wire::i(77));
        return frame(r.tid, r.opcode, wire::i(9));
    });
    Client c(d, true);
    Nested nested;
    kiv_ipod_set_event_cb(c.client, Nested::on_event, &nested);
    EXPECT_EQ(kiv_ipod_get_play_state_sync(c.client), 2);
    EXPECT_EQ(nested.inner, 3);
    // Replies are applied in arrival order: the inner reply (code 3) came
    // after the outer one (code 2) and is the state that stays.
    EXPECT_EQ(kiv_ipod_current_track_state(c.client), 1);

    // Inside kiv_ipod_read: the reply callback runs a _sync request.
    Nested from_read;
    kiv_ipod_set_reply_cb(c.client, Nested::on_reply, &from_read);
    ASSERT_NE(kiv_ipod_get_shuffle(c.client), 0u);
    while (from_read.calls == 0) ASSERT_GE(kiv_ipod_read(c.client), 0);
    EXPECT_EQ(from_read.inner, 77);
    d.daemon.clear_requests();
    EXPECT_EQ(kiv_ipod_set_shuffle_sync(c.client, 1), 9);
}

TEST(ArrivalOrder, EventsThatFollowABlockingReplyAreAppliedAfterIt) {
    using kivtest::event;
    Daemon d;
    d.answer_raw([](const Request &r) {
        switch (r.opcode) {
            case 4:  // the reply lists a second device, which then goes away
                return frame(r.tid, 4,
                             wire::h({{"result", wire::i(1)},
                                      {"devices",
                                       wire::a({wire::device("SER1", 7), wire::device("SER2", 8)})}})) +
                       event("disconnected_ipod", 8, "SER2", wire::s("SER2"));
            case 18:  // stopped before the reply, playing in it, paused after it
                return event("play_state_changed", 7, "SER1", wire::i(0)) +
                       frame(r.tid, 18, wire::h({{"current_play_status", wire::i(1)}})) +
                       event("play_state_changed", 7, "SER1", wire::i(2));
            default:  // an error reply, then an event
                return frame(r.tid, r.opcode, wire::h({{"error", wire::s("busy")}})) + playlist_event();
        }
    });
    Client c(d, false);
    std::vector<int> types;
    record_event_types(c.client, &types);
    EXPECT_EQ(kiv_ipod_open_session_sync(c.client, 0), 1);
    EXPECT_EQ(kiv_ipod_device_count(c.client), 1);
    EXPECT_EQ(kiv_ipod_device_index(c.client, "SER2"), -1);
    EXPECT_EQ(kiv_ipod_get_play_state_sync(c.client), 1);
    EXPECT_EQ(kiv_ipod_current_track_state(c.client), 5);  // code 2, paused
    // The events that follow clear the error text for their own dispatch;
    // after the call it is the reply's again.
    EXPECT_EQ(kiv_ipod_play_sync(c.client), -1);
    EXPECT_STREQ(kiv_ipod_last_error(c.client), "busy");
    EXPECT_EQ(types, (std::vector<int>{KIV_IPOD_EVENT_DISCONNECTED, KIV_IPOD_EVENT_PLAY_STATE_CHANGED,
                                       KIV_IPOD_EVENT_PLAY_STATE_CHANGED, KIV_IPOD_EVENT_PLAYLIST_CHANGED}));
}

TEST_F(Ready, TraceLinesOfVideoOutAndLingoAndArtworkAreExact) {
    d.answer_with(wire::h({{"error", wire::s("nope")}}));
    EXPECT_EQ(kiv_ipod_set_videooutoptions_sync(c.client, 9), -1);
    uint32_t tid = d.requests().at(0).tid;
    EXPECT_EQ(debug_lines_with({"videoout"}),
              (std::vector<std::string>{hex_line("kiv_ipod_set_videooutoptions_sync", 9),
                                        hex_line("kiv_ipod_set_videooutoptions", 9),
                                        hex_line("kiv_ipod_set_videooutoptions  transfer id = ", tid),
                                        "kiv_ipod_set_videooutoptions_sync result -1 ffffffffH"}));

    kivtest::log_clear();
    d.daemon.clear_requests();
    d.answer_with(wire::i(0));
    tid = kiv_ipod_get_videooutoptions(c.client, 0);
    ASSERT_TRUE(d.daemon.wait_requests(1));
    EXPECT_EQ(d.requests()[0].payload, wire::i(0));
    EXPECT_EQ(
        debug_lines_with({"videoout", "returning"}),
        (std::vector<std::string>{hex_line("kiv_ipod_get_videooutoptions", 0), hex_line("returning", tid)}));
    kivtest::log_clear();
    EXPECT_EQ(kiv_ipod_get_videooutoptions_sync(c.client, -3), 0);
    EXPECT_EQ(kivtest::log_count(kDebug, "kiv_ipod_get_videooutoptions_sync"), 1);
    EXPECT_EQ(kivtest::log_count(kDebug, hex_line("kiv_ipod_get_videooutoptions", -3)), 1);

    // Refused: no transfer line, but the result line still shows -1.
    Client idle(d, false);
    EXPECT_EQ(kiv_ipod_set_statechange_sync(idle.client, -2), -1);
    EXPECT_EQ(
        debug_lines_with({"statechange", "not ready"}),
        (std::vector<std::string>{
            hex_line("kiv_ipod_set_statechange_sync", -2), hex_line("kiv_ipod_set_statechange", -2),
            "not ready kiv_ipod_set_statechange\n", "kiv_ipod_set_statechange_sync result -1 ffffffffH"}));

    // Lingo version on stderr only; artwork data on both.
    kivtest::log_clear();
    testing::internal::CaptureStderr();
    kiv_ipod_request_lingo_version(c.client, 10);
    kiv_ipod_get_artwork_data_sync(c.client, uid_ptr());
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("kiv_ipod_request_lingo_version, lingo=0x0A\n"), std::string::npos);
    EXPECT_NE(err.find("kiv_ipod_get_artwork_data_sync\nkiv_ipod_get_artwork_data\n"), std::string::npos);
    EXPECT_EQ(kivtest::log_count_containing("lingo"), 0);
    EXPECT_EQ(kivtest::log_count(kDebug, "kiv_ipod_get_artwork_data_sync\n"), 1);
    EXPECT_EQ(kivtest::log_count(kDebug, "kiv_ipod_get_artwork_data\n"), 1);
}

TEST_F(Ready, CallerPointersNullOrNegativeRangesAreRefusedWithOneErrorLine) {
    const char data[4] = {'a', 'b', 'c', 'd'};
    const struct {
        const char *what;
        std::function<int64_t()> call;
        int64_t refused;
    } cases[] = {
        {"eap null data", [&] { return kiv_ipod_send_eap_datagram(c.client, 1, nullptr, 4); }, 0},
        {"eap negative", [&] { return kiv_ipod_send_eap_datagram(c.client, 1, data, -1); }, 0},
        {"eap sync", [&] { return kiv_ipod_send_eap_datagram_sync(c.client, 1, nullptr, 2); }, -1},
        {"uid list null", [&] { return kiv_ipod_prepare_uid_list(c.client, 0, 0, 3, nullptr); }, 0},
        {"uid list negative", [&] { return kiv_ipod_prepare_uid_list(c.client, 0, 0, -8, data); }, 0},
        {"uid list sync null", [&] { return kiv_ipod_prepare_uid_list_sync(c.client, nullptr); }, 0},
        {"play uid null", [&] { return kiv_ipod_play_uid_list(c.client, nullptr); }, 0},
        {"play uid sync null", [&] { return kiv_ipod_play_uid_list_sync(c.client, nullptr); }, 0},
        {"artwork uid null", [&] { return kiv_ipod_get_artwork_data(c.client, nullptr); }, 0},
        {"launch null", [&] { return kiv_ipod_launch_application(c.client, nullptr); }, 0},
        {"launch sync null", [&] { return kiv_ipod_launch_application_sync(c.client, nullptr); }, -1},
        {"config key", [&] { return kiv_ipod_set_config(c.client, nullptr, "v"); }, 0},
        {"config value", [&] { return kiv_ipod_set_config(c.client, "k", nullptr); }, 0},
        {"bt state", [&] { return kiv_ipod_set_bluetooth_state(c.client, 1, nullptr); }, 0},
        {"bt pin", [&] { return kiv_ipod_set_bluetooth_hw_info(c.client, 1, 1, nullptr, nullptr); }, 0},
        {"bt address", [&] { return kiv_ipod_set_bluetooth_hw_info(c.client, 1, 1, "0000", nullptr); }, 0},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        kivtest::log_clear();
        EXPECT_EQ(k.call(), k.refused);
        EXPECT_EQ(error_records(), 1);
        c.expect_nothing_sent();
    }
    // Zero bytes need no pointer: an empty byte string is sent.
    d.daemon.clear_requests();
    EXPECT_EQ(kiv_ipod_send_eap_datagram_sync(c.client, 6, nullptr, 0), 0);
    EXPECT_EQ(d.requests().at(0).payload, wire::a({wire::i(6), wire::i(0), wire::b("")}));
    // Null texts show as "(null)" in the entry line.
    kivtest::log_clear();
    kiv_ipod_set_bluetooth_hw_info(c.client, 1, 1, nullptr, nullptr);
    EXPECT_EQ(kivtest::log_count_containing("pin_code=(null), address=(null)"), 1);
}

TEST(Sessions, OpenCloseTrackIndexAndDeviceList) {
    Daemon d;
    {
        Client c(d, false);
        // The first request after the handshake (id 1) carries id 2.
        EXPECT_EQ(kiv_ipod_close_session(c.client), 2u);
        EXPECT_EQ(kiv_ipod_is_session_opened(c.client), 0);
    }
    {
        Client c(d, true);
        EXPECT_EQ(kiv_ipod_is_session_opened(c.client), 1);
        d.answer([](const Request &) { return std::string(); });  // no reply yet
        kiv_ipod_close_session(c.client);
        EXPECT_EQ(kiv_ipod_is_session_opened(c.client), 0);

        // `ready` is unchanged: the requests below are still sent.
        d.answer_with(wire::i(5));
        EXPECT_EQ(kiv_ipod_get_current_track_index_sync(c.client), 5);
        EXPECT_EQ(kiv_ipod_current_track_index(c.client), 5);
        d.answer_with(wire::h({{"error", wire::s("x")}}));
        EXPECT_EQ(kiv_ipod_get_current_track_index_sync(c.client), -1);
        EXPECT_EQ(kiv_ipod_current_track_index(c.client), -1);

        // Standard decoding: a hash without "error", an empty payload and
        // a float are failures; a packet-error reply is still decoded.
        for (const std::string &reply : {wire::h({{"ok", wire::i(1)}}), std::string(), wire::f(1.5)}) {
            d.answer_with(reply);
            EXPECT_EQ(kiv_ipod_play_sync(c.client), -1);
        }
        d.answer([](const Request &r) { return frame(r.tid, 3, wire::i(6)); });
        EXPECT_EQ(kiv_ipod_stop_sync(c.client), 6);
    }
    {
        // Without any known device the Bluetooth information is refused.
        d.daemon.set_devices(wire::a({}));
        Client c(d, false);
        EXPECT_EQ(kiv_ipod_set_bluetooth_hw_info(c.client, 0x10, 2, "1234", "aa:bb"), 0u);
        EXPECT_EQ(
            kivtest::log_count(kDebug,
                               "kiv_ipod_set_bluetooth_hw_info, device_class=0x00000010, pairing_type=2, "
                               "pin_code=****, address=aa:bb\n"),
            1);
        EXPECT_EQ(kivtest::log_count_containing("1234"), 0);  // the PIN never reaches the log
        EXPECT_EQ(kivtest::log_count(kDebug, "kiv_ipod_set_bluetooth_hw_info, No valid device.\n"), 1);
        c.expect_nothing_sent();
    }
}

}  // namespace
