// Walks the whole request table: for every request, the opcode and payload
// bytes that reach the daemon, the refusal while not ready, and the _sync
// result for a success reply, an error reply and a lost connection.
#include <climits>

#include "requests_fixture.h"

namespace {

using namespace reqtest;

constexpr int32_t kUnchecked = INT32_MIN;
const std::string kUid("\x01\x02\x03\x04\x05\x06\x07\x08", 8);
const std::string kErrorReply = wire::h({{"error", wire::s("boom")}});

struct Row {
    const char *name;  // exported name of the asynchronous form
    uint8_t opcode;
    std::string payload;  // expected request payload ("" for none)
    bool tested;          // refused while not ready
    std::function<uint32_t(kiv_ipod_client *)> async;
    std::function<int32_t(kiv_ipod_client *)> sync;  // empty: no _sync form
    std::string ok_reply;
    int32_t ok_result;
    int32_t error_result;  // kUnchecked where the reply shape is undefined
    int32_t lost_result;   // also the result of a refused _sync form
};

// Shapes of _sync decodings, as (success reply, its result, error, lost).
struct Decoding {
    std::string ok_reply;
    int32_t ok;
    int32_t error;
    int32_t lost;
};
const Decoding kStandard{wire::i(42), 42, -1, -1};
const Decoding kAlwaysZero{wire::i(42), 0, 0, 0};
const Decoding kSuccessFlag{wire::i(4), 1, 0, 0};
const Decoding kNoSync{"", 0, 0, 0};

Row row(const char *name, uint8_t opcode, std::string payload, bool tested,
        std::function<uint32_t(kiv_ipod_client *)> async, std::function<int32_t(kiv_ipod_client *)> sync,
        const Decoding &d) {
    return Row{
        name,    opcode, std::move(payload), tested, std::move(async), std::move(sync), d.ok_reply, d.ok,
        d.error, d.lost};
}

std::vector<Row> table() {
    using C = kiv_ipod_client *;
    const auto *uid = reinterpret_cast<const unsigned char *>(kUid.data());
    const std::string none;
    std::vector<Row> t = {
        row(
            "kiv_ipod_open_session", 4, wire::i(0), false, [](C c) { return kiv_ipod_open_session(c, 0); },
            [](C c) { return kiv_ipod_open_session_sync(c, 0); },
            {wire::h({{"result", wire::i(1)}, {"devices", device_list()}}), 1, kUnchecked, 0}),
        row("kiv_ipod_close_session", 5, none, false, kiv_ipod_close_session, kiv_ipod_close_session_sync,
            kStandard),
        row("kiv_ipod_play", 6, none, true, kiv_ipod_play, kiv_ipod_play_sync, kStandard),
        row("kiv_ipod_stop", 7, none, true, kiv_ipod_stop, kiv_ipod_stop_sync, kStandard),
        row("kiv_ipod_pause", 8, none, true, kiv_ipod_pause, kiv_ipod_pause_sync, kStandard),
        row("kiv_ipod_next_track", 9, none, true, kiv_ipod_next_track, kiv_ipod_next_track_sync, kStandard),
        row("kiv_ipod_prev_track", 10, none, true, kiv_ipod_prev_track, kiv_ipod_prev_track_sync, kStandard),
        row("kiv_ipod_start_ffw", 11, none, true, kiv_ipod_start_ffw, kiv_ipod_start_ffw_sync, kStandard),
        row("kiv_ipod_start_rew", 12, none, true, kiv_ipod_start_rew, kiv_ipod_start_rew_sync, kStandard),
        row("kiv_ipod_stop_ffwrew", 13, none, true, kiv_ipod_stop_ffwrew, kiv_ipod_stop_ffwrew_sync,
            kStandard),
        row(
            "kiv_ipod_set_position", 14, wire::i(-1234), true,
            [](C c) { return kiv_ipod_set_position(c, -1234); },
            [](C c) { return kiv_ipod_set_position_sync(c, -1234); }, kStandard),
        row("kiv_ipod_current_track_info", 15, none, true, kiv_ipod_current_track_info,
            kiv_ipod_current_track_info_sync, {wire::h({{"current_track_info", wire::i(3)}}), 3, -1, -1}),
        row("kiv_ipod_get_sample_rate", 16, none, true, kiv_ipod_get_sample_rate, nullptr, kNoSync),
        row(
            "kiv_ipod_current_track_artwork", 17, wire::i(5), true,
            [](C c) { return kiv_ipod_current_track_artwork(c, 5); },
            [](C c) { return kiv_ipod_current_track_artwork_sync(c, 5); },
            {wire::h({{"width", wire::i(2)},
                      {"height", wire::i(1)},
                      {"rowstride", wire::i(6)},
                      {"image", wire::b("abcdef")}}),
             1, -1, -1}),
        row("kiv_ipod_get_play_state", 18, none, true, kiv_ipod_get_play_state, kiv_ipod_get_play_state_sync,
            {wire::h({{"current_play_status", wire::i(2)}}), 2, -1, -1}),
        row("kiv_ipod_get_current_track_index", 19, none, true, kiv_ipod_get_current_track_index,
            kiv_ipod_get_current_track_index_sync, kStandard),
        row(
            "kiv_ipod_set_shuffle", 20, wire::i(2), true, [](C c) { return kiv_ipod_set_shuffle(c, 2); },
            [](C c) { return kiv_ipod_set_shuffle_sync(c, 2); }, kStandard),
        row("kiv_ipod_get_shuffle", 21, none, true, kiv_ipod_get_shuffle, kiv_ipod_get_shuffle_sync,
            kStandard),
        row("kiv_ipod_get_shuffle", 21, none, true, kiv_ipod_get_shuffle, _kiv_ipod_get_shuffle_sync,
            kStandard),
        row(
            "kiv_ipod_set_repeat", 22, wire::i(1), true, [](C c) { return kiv_ipod_set_repeat(c, 1); },
            [](C c) { return kiv_ipod_set_repeat_sync(c, 1); }, kStandard),
        row("kiv_ipod_get_repeat", 23, none, true, kiv_ipod_get_repeat, kiv_ipod_get_repeat_sync, kStandard),
        row("kiv_ipod_get_repeat", 23, none, true, kiv_ipod_get_repeat, _kiv_ipod_get_repeat_sync, kStandard),
        row(
            "kiv_ipod_set_category", 24, wire::i(3), true, [](C c) { return kiv_ipod_set_category(c, 3); },
            [](C c) { return kiv_ipod_set_category_sync(c, 3); }, kSuccessFlag),
        row(
            "kiv_ipod_set_hierarchy", 25, wire::i(2), true, [](C c) { return kiv_ipod_set_hierarchy(c, 2); },
            [](C c) { return kiv_ipod_set_hierarchy_sync(c, 2); }, kStandard),
        row(
            "kiv_ipod_select_db", 26, wire::a({wire::i(1), wire::i(-2)}), true,
            [](C c) { return kiv_ipod_select_db(c, 1, -2); },
            [](C c) { return kiv_ipod_select_db_sync(c, 1, -2); }, kSuccessFlag),
        row(
            "kiv_ipod_get_records", 27, wire::a({wire::i(10), wire::i(5)}), true,
            [](C c) { return kiv_ipod_get_records(c, 10, 5); },
            [](C c) { return kiv_ipod_get_records_sync(c, 10, 5); },
            {wire::a({wire::i(0), wire::i(5), wire::i(10), wire::i(1), wire::s("rec")}), 5, 0, -1}),
        row(
            "kiv_ipod_reauthentication", 28, wire::i(1), true,
            [](C c) { return kiv_ipod_reauthentication(c, 1); },
            [](C c) { return kiv_ipod_reauthentication_sync(c, 1); }, kStandard),
        row(
            "kiv_ipod_set_preference", 29, wire::a({wire::i(8), wire::i(2)}), true,
            [](C c) { return kiv_ipod_set_preference(c, 8, 10); },
            [](C c) { return kiv_ipod_set_preference_sync(c, 8, 10); }, kStandard),
        row(
            "kiv_ipod_get_preference", 30, wire::i(8), true,
            [](C c) { return kiv_ipod_get_preference(c, 8); },
            [](C c) { return kiv_ipod_get_preference_sync(c, 8); }, {wire::i(3), 11, 255, 255}),
        row(
            "kiv_ipod_indexed_track_info", 31, wire::i(4), true,
            [](C c) { return kiv_ipod_indexed_track_info(c, 4); },
            [](C c) { return kiv_ipod_indexed_track_info_sync(c, 4); },
            {wire::h({{"indexed_track_info", wire::i(4)}}), 4, -1, -1}),
        row(
            "kiv_ipod_indexed_track_chapter_info", 32, wire::a({wire::i(1), wire::i(2)}), true,
            [](C c) { return kiv_ipod_indexed_track_chapter_info(c, 1, 2); },
            [](C c) { return kiv_ipod_indexed_track_chapter_info_sync(c, 1, 2); },
            {wire::a({wire::i(0), wire::s("chapter")}), 1, kUnchecked, -1}),
        // Blocking only: the "async" column runs the one form and reports
        // 1 for a returned value.
        row(
            "kiv_ipod_health_examine", 33, wire::a({wire::s("probe")}), false,
            [](C c) -> uint32_t {
                serialize_value *v = kiv_ipod_health_examine(c, "probe", nullptr);
                serialize_free(v);
                return v != nullptr ? 1u : 0u;
            },
            [](C c) -> int32_t {
                serialize_value *v = kiv_ipod_health_examine(c, "probe", nullptr);
                int32_t r = serialize_type(v) == SERIALIZE_INT ? serialize_get_int(v) : -1;
                serialize_free(v);
                return r;
            },
            {wire::i(42), 42, -1, -1}),
        row("kiv_ipod_write_tag", 34, none, true, kiv_ipod_write_tag, kiv_ipod_write_tag_sync, kStandard),
        row(
            "kiv_ipod_set_statechange", 35, wire::i(5), true,
            [](C c) { return kiv_ipod_set_statechange(c, 5); },
            [](C c) { return kiv_ipod_set_statechange_sync(c, 5); }, kStandard),
        row("kiv_ipod_enter_videooutmode", 36, none, true, kiv_ipod_enter_videooutmode, nullptr, kNoSync),
        row("kiv_ipod_exit_videooutmode", 37, none, true, kiv_ipod_exit_videooutmode, nullptr, kNoSync),
        row(
            "kiv_ipod_get_videooutoptions", 38, wire::i(1), true,
            [](C c) { return kiv_ipod_get_videooutoptions(c, 7); },
            [](C c) { return kiv_ipod_get_videooutoptions_sync(c, 7); }, kStandard),
        row(
            "kiv_ipod_set_videooutoptions", 39, wire::i(9), true,
            [](C c) { return kiv_ipod_set_videooutoptions(c, 9); },
            [](C c) { return kiv_ipod_set_videooutoptions_sync(c, 9); }, kStandard),
        row(
            "kiv_ipod_navigate_videoout", 40, wire::i(3), true,
            [](C c) { return kiv_ipod_navigate_videoout(c, 3); },
            [](C c) { return kiv_ipod_navigate_videoout_sync(c, 3); }, kStandard),
        row("kiv_ipod_get_mode", 41, none, true, kiv_ipod_get_mode, nullptr, kNoSync),
        row(
            "kiv_ipod_get_db_itunes_info", 42, wire::i(1), true,
            [](C c) { return kiv_ipod_get_db_itunes_info(c, 1); }, nullptr, kNoSync),
        row(
            "kiv_ipod_get_db_track_info", 43, wire::a({wire::i(0), wire::i(5), wire::i(9)}), true,
            [](C c) { return kiv_ipod_get_db_track_info(c, 0, 5, 9); },
            [](C c) { return kiv_ipod_get_db_track_info_sync(c, 0, 5, 9); },
            {wire::h({{"get_db_track_info", wire::i(1)}, {"t1", wire::h({{"uid", wire::b(kUid)}})}}), 1, -1,
             -1}),
        row(
            "kiv_ipod_get_pb_track_info", 44, wire::a({wire::i(2), wire::i(3), wire::i(4)}), true,
            [](C c) { return kiv_ipod_get_pb_track_info(c, 2, 3, 4); },
            [](C c) { return kiv_ipod_get_pb_track_info_sync(c, 2, 3, 4); },
            {wire::h({{"get_pb_track_info", wire::i(1)}, {"t1", wire::h({{"uid", wire::b(kUid)}})}}), 1, -1,
             -1}),
        row(
            "kiv_ipod_prepare_uid_list", 45, wire::a({wire::i(1), wire::i(2), wire::i(3), wire::b("abc")}),
            true, [](C c) { return kiv_ipod_prepare_uid_list(c, 1, 2, 3, "abcdef"); },
            [](C c) { return kiv_ipod_prepare_uid_list_sync(c, "abc"); }, kAlwaysZero),
        row(
            "kiv_ipod_play_uid_list", 46, wire::b(kUid), true,
            [uid](C c) { return kiv_ipod_play_uid_list(c, uid); },
            [uid](C c) { return kiv_ipod_play_uid_list_sync(c, uid); }, kAlwaysZero),
        row(
            "kiv_ipod_request_lingo_version", 47, wire::i(10), true,
            [](C c) { return kiv_ipod_request_lingo_version(c, 10); },
            [](C c) { return kiv_ipod_request_lingo_version_sync(c, 10); },
            {wire::h({{"major", wire::i(1)}, {"minor", wire::i(12)}}), 1, kUnchecked, -1}),
        row(
            "kiv_ipod_set_current_playing_track_chapter", 48, wire::i(6), true,
            [](C c) { return kiv_ipod_set_current_playing_track_chapter(c, 6); }, nullptr, kNoSync),
        row(
            "kiv_ipod_set_current_playing_track", 49, wire::i(7), true,
            [](C c) { return kiv_ipod_set_current_playing_track(c, 7); }, nullptr, kNoSync),
        row(
            "kiv_ipod_set_available_current", 50, wire::i(1), true,
            [](C c) { return kiv_ipod_set_available_current(c, 1); },
            [](C c) { return kiv_ipod_set_available_current_sync(c, 1); }, kAlwaysZero),
        // Tests the device list instead of readiness: the handshake gave one.
        row(
            "kiv_ipod_set_bluetooth_hw_info", 51,
            wire::a({wire::i(0x240404), wire::i(1), wire::s("0000"), wire::s("00:11:22:33:44:55")}), false,
            [](C c) { return kiv_ipod_set_bluetooth_hw_info(c, 0x240404, 1, "0000", "00:11:22:33:44:55"); },
            nullptr, kNoSync),
        row(
            "kiv_ipod_set_bluetooth_state", 52, wire::a({wire::i(1), wire::s("SER1")}), false,
            [](C c) { return kiv_ipod_set_bluetooth_state(c, 1, "SER1"); }, nullptr, kNoSync),
        row(
            "kiv_ipod_get_artwork_data", 53, wire::b(kUid), true,
            [uid](C c) { return kiv_ipod_get_artwork_data(c, uid); },
            [uid](C c) { return kiv_ipod_get_artwork_data_sync(c, uid); }, kAlwaysZero),
        row("kiv_ipod_ping", 54, none, false, kiv_ipod_ping, nullptr, kNoSync),
        row(
            "kiv_ipod_restart_idps", 55, wire::i(1), false, [](C c) { return kiv_ipod_restart_idps(c, 1); },
            nullptr, kNoSync),
        row(
            "kiv_ipod_set_config", 56, wire::a({wire::s("key"), wire::s("value")}), false,
            [](C c) { return kiv_ipod_set_config(c, "key", "value"); }, nullptr, kNoSync),
        row(
            "kiv_ipod_launch_application", 57, wire::s("com.example.app"), true,
            [](C c) { return kiv_ipod_launch_application(c, "com.example.app"); },
            [](C c) { return kiv_ipod_launch_application_sync(c, "com.example.app"); }, kStandard),
        row(
            "kiv_ipod_send_eap_datagram", 58,
            wire::a({wire::i(3), wire::i(4), wire::b(std::string("x\0yz", 4))}), true,
            [](C c) { return kiv_ipod_send_eap_datagram(c, 3, "x\0yz", 4); },
            [](C c) { return kiv_ipod_send_eap_datagram_sync(c, 3, "x\0yz", 4); }, kStandard),
    };
    return t;
}

// The _sync form against a daemon that answers the row's opcode with `reply`.
int32_t sync_with_reply(Daemon &d, const Row &r, const std::string &reply) {
    uint8_t op = r.opcode;
    d.answer([op, reply](const kivtest::Request &q) {
        return frame(q.tid, q.opcode, q.opcode == op ? reply : wire::i(0));
    });
    Client c(d, true);
    return r.sync(c.client);
}

TEST(RequestTable, EveryOpcodeSendsRefusesAndDecodes) {
    Daemon d;
    std::vector<uint8_t> seen;
    for (const Row &r : table()) {
        SCOPED_TRACE(r.name);
        if (seen.empty() || seen.back() != r.opcode) seen.push_back(r.opcode);

        // Sent while ready: opcode, payload and transaction id.
        {
            d.answer_with(wire::i(0));
            Client c(d, true);
            uint32_t tid = r.async(c.client);
            EXPECT_NE(tid, 0u);
            ASSERT_TRUE(d.daemon.wait_requests(1));
            auto got = d.requests();
            ASSERT_EQ(got.size(), 1u);
            EXPECT_EQ(got[0].opcode, r.opcode);
            EXPECT_EQ(got[0].payload, r.payload);
            if (r.opcode != 33) {
                EXPECT_EQ(got[0].tid, tid);
            }
            EXPECT_EQ(static_cast<uint8_t>(got[0].header[0]), 0xFE);
        }

        // Not ready: refused with its own name, or sent all the same.
        {
            Client c(d, false);
            uint32_t tid = r.async(c.client);
            if (r.tested) {
                EXPECT_EQ(tid, 0u);
                EXPECT_EQ(kivtest::log_count(kDebug, std::string("not ready ") + r.name + "\n"), 1);
                c.expect_nothing_sent();
                if (r.sync) {
                    EXPECT_EQ(r.sync(c.client), r.lost_result);
                    c.expect_nothing_sent();
                }
            } else {
                EXPECT_NE(tid, 0u);
                ASSERT_TRUE(d.daemon.wait_requests(1));
                EXPECT_EQ(d.requests()[0].opcode, r.opcode);
                EXPECT_EQ(kivtest::log_count_containing("not ready"), 0);
            }
        }

        if (!r.sync) continue;
        EXPECT_EQ(sync_with_reply(d, r, r.ok_reply), r.ok_result) << "success reply";
        if (r.error_result != kUnchecked) {
            EXPECT_EQ(sync_with_reply(d, r, kErrorReply), r.error_result) << "error reply";
        }

        // The daemon drops the connection instead of answering.
        {
            d.answer_with(wire::i(0));
            Client c(d, true);
            uint8_t op = r.opcode;
            d.answer_raw([op](const kivtest::Request &q) {
                return q.opcode == op ? std::string() : frame(q.tid, q.opcode, wire::i(0));
            });
            std::thread closer([&d] {
                d.daemon.wait_requests(1, 5000);
                d.daemon.close_client();
            });
            EXPECT_EQ(r.sync(c.client), r.lost_result) << "lost connection";
            closer.join();
            EXPECT_EQ(kiv_ipod_fd(c.client), -1);
        }

        // The daemon never answers: with a bound the wait ends, naming the
        // waiting function, and the connection stays.
        {
            d.answer_with(wire::i(0));
            Client c(d, true);
            uint8_t op = r.opcode;
            d.answer_raw([op](const kivtest::Request &q) {
                return q.opcode == op ? std::string() : frame(q.tid, q.opcode, wire::i(0));
            });
            kiv_ipod_set_timeout(c.client, 20);
            EXPECT_EQ(r.sync(c.client), r.lost_result) << "no reply";
            const std::string line = ", no reply within 20 ms\n";
            const std::string name = r.name;
            EXPECT_EQ(kivtest::log_count(kError, name + "_sync" + line) +
                          kivtest::log_count(kError, "_" + name + "_sync" + line) +
                          kivtest::log_count(kError, name + line),
                      1);
            EXPECT_GE(kiv_ipod_fd(c.client), 0);
        }
    }
    // Every request opcode from 4 to 58 was walked.
    std::vector<uint8_t> expected;
    for (int op = 4; op <= 58; op++) expected.push_back(static_cast<uint8_t>(op));
    EXPECT_EQ(seen, expected);
}

}  // namespace
