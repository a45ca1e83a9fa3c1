// The request table shared by the request tests: every request function of
// the C interface, called on a handle with valid arguments, with the opcode
// and payload it must send, whether readiness gates it, and how its _sync
// form decodes a success reply, an error reply and a lost connection.
#ifndef KIV_TESTS_REQUEST_TABLE_H
#define KIV_TESTS_REQUEST_TABLE_H

#include <climits>

#include "requests_fixture.h"

namespace reqtable {

using reqtest::device_list;
namespace wire = kivtest::wire;

constexpr int32_t kUnchecked = INT32_MIN;
const std::string kUid("\x01\x02\x03\x04\x05\x06\x07\x08", 8);

// Shapes of _sync decodings, as (success reply, its result, error, lost).
struct Decoding {
    std::string ok_reply;
    int32_t ok;
    int32_t error;  // kUnchecked where the reply shape is undefined
    int32_t lost;   // also the result of a refused _sync form
};
const Decoding kStandard{wire::i(42), 42, -1, -1};
const Decoding kAlwaysZero{wire::i(42), 0, 0, 0};
const Decoding kSuccessFlag{wire::i(4), 1, 0, 0};
const Decoding kNoSync{"", 0, 0, 0};

using C = kiv_ipod_client *;
struct Row {
    const char *name;  // exported name of the asynchronous form
    std::function<uint32_t(C)> async;
    std::function<int32_t(C)> sync;  // empty: no _sync form
    uint8_t opcode;
    std::string payload;  // expected request payload ("" for none)
    bool tested;          // refused while not ready
    Decoding d;
};

// The asynchronous form and its _sync form, called with the same arguments.
#define BOTH(fn, ...) \
#fn, [](C c) { return fn(c, ##__VA_ARGS__); }, [](C c) { return fn##_sync(c, ##__VA_ARGS__); }
#define ASYNC(fn, ...) #fn, [](C c) { return fn(c, ##__VA_ARGS__); }, nullptr

const unsigned char *const kUidBytes = reinterpret_cast<const unsigned char *>(kUid.data());

// The blocking-only health examination: the integer reply, else -1.
inline int32_t examine(C c) {
    serialize_value *v = kiv_ipod_health_examine(c, "probe", nullptr);
    const int32_t r = serialize_type(v) == SERIALIZE_INT ? serialize_get_int(v) : -1;
    serialize_free(v);
    return r;
}

inline std::vector<Row> table() {
    const std::string none;
    const auto i = wire::i;
    auto tracks = [](const char *key) -> Decoding {
        return {wire::h({{key, wire::i(1)}, {"t1", wire::h({{"uid", wire::b(kUid)}})}}), 1, -1, -1};
    };
    // Replies that fill the cache, as (reply, result, error, lost).
    const Decoding session{wire::h({{"result", i(1)}, {"devices", device_list()}}), 1, kUnchecked, 0};
    const Decoding track{wire::h({{"current_track_info", i(3)}}), 3, -1, -1};
    const Decoding art{
        wire::h({{"width", i(2)}, {"height", i(1)}, {"rowstride", i(6)}, {"image", wire::b("abcdef")}}), 1,
        -1, -1};
    const Decoding status{wire::h({{"current_play_status", i(2)}}), 2, -1, -1};
    const Decoding records{wire::a({i(0), i(5), i(10), i(1), wire::s("rec")}), 5, 0, -1};
    const Decoding indexed{wire::h({{"indexed_track_info", i(4)}}), 4, -1, -1};
    const Decoding chapters{wire::a({i(0), wire::s("chapter")}), 1, kUnchecked, -1};
    const Decoding lingo{wire::h({{"major", i(1)}, {"minor", i(12)}}), 1, kUnchecked, -1};
    return {
        {BOTH(kiv_ipod_open_session, 0), 4, i(0), false, session},
        {BOTH(kiv_ipod_close_session), 5, none, false, kStandard},
        {BOTH(kiv_ipod_play), 6, none, true, kStandard},
        {BOTH(kiv_ipod_stop), 7, none, true, kStandard},
        {BOTH(kiv_ipod_pause), 8, none, true, kStandard},
        {BOTH(kiv_ipod_next_track), 9, none, true, kStandard},
        {BOTH(kiv_ipod_prev_track), 10, none, true, kStandard},
        {BOTH(kiv_ipod_start_ffw), 11, none, true, kStandard},
        {BOTH(kiv_ipod_start_rew), 12, none, true, kStandard},
        {BOTH(kiv_ipod_stop_ffwrew), 13, none, true, kStandard},
        {BOTH(kiv_ipod_set_position, -1234), 14, i(-1234), true, kStandard},
        {BOTH(kiv_ipod_current_track_info), 15, none, true, track},
        {ASYNC(kiv_ipod_get_sample_rate), 16, none, true, kNoSync},
        {BOTH(kiv_ipod_current_track_artwork, 5), 17, i(5), true, art},
        {BOTH(kiv_ipod_get_play_state), 18, none, true, status},
        {BOTH(kiv_ipod_get_current_track_index), 19, none, true, kStandard},
        {BOTH(kiv_ipod_set_shuffle, 2), 20, i(2), true, kStandard},
        {BOTH(kiv_ipod_get_shuffle), 21, none, true, kStandard},
        {"kiv_ipod_get_shuffle", kiv_ipod_get_shuffle, _kiv_ipod_get_shuffle_sync, 21, none, true, kStandard},
        {BOTH(kiv_ipod_set_repeat, 1), 22, i(1), true, kStandard},
        {BOTH(kiv_ipod_get_repeat), 23, none, true, kStandard},
        {"kiv_ipod_get_repeat", kiv_ipod_get_repeat, _kiv_ipod_get_repeat_sync, 23, none, true, kStandard},
        {BOTH(kiv_ipod_set_category, 3), 24, i(3), true, kSuccessFlag},
        {BOTH(kiv_ipod_set_hierarchy, 2), 25, i(2), true, kStandard},
        {BOTH(kiv_ipod_select_db, 1, -2), 26, wire::a({i(1), i(-2)}), true, kSuccessFlag},
        {BOTH(kiv_ipod_get_records, 10, 5), 27, wire::a({i(10), i(5)}), true, records},
        {BOTH(kiv_ipod_reauthentication, 1), 28, i(1), true, kStandard},
        {BOTH(kiv_ipod_set_preference, 8, 10), 29, wire::a({i(8), i(2)}), true, kStandard},
        {BOTH(kiv_ipod_get_preference, 8), 30, i(8), true, {i(3), 11, 255, 255}},
        {BOTH(kiv_ipod_indexed_track_info, 4), 31, i(4), true, indexed},
        {BOTH(kiv_ipod_indexed_track_chapter_info, 1, 2), 32, wire::a({i(1), i(2)}), true, chapters},
        // Blocking only: the "async" column runs the one form and reports
        // 1 for an integer reply (the daemon answers 0 there).
        {"kiv_ipod_health_examine", [](C c) { return examine(c) == 0 ? 1u : 0u; }, examine, 33,
         wire::a({wire::s("probe")}), false, kStandard},
        {BOTH(kiv_ipod_write_tag), 34, none, true, kStandard},
        {BOTH(kiv_ipod_set_statechange, 5), 35, i(5), true, kStandard},
        {ASYNC(kiv_ipod_enter_videooutmode), 36, none, true, kNoSync},
        {ASYNC(kiv_ipod_exit_videooutmode), 37, none, true, kNoSync},
        {BOTH(kiv_ipod_get_videooutoptions, 7), 38, i(1), true, kStandard},
        {BOTH(kiv_ipod_set_videooutoptions, 9), 39, i(9), true, kStandard},
        {BOTH(kiv_ipod_navigate_videoout, 3), 40, i(3), true, kStandard},
        {ASYNC(kiv_ipod_get_mode), 41, none, true, kNoSync},
        {ASYNC(kiv_ipod_get_db_itunes_info, 1), 42, i(1), true, kNoSync},
        {BOTH(kiv_ipod_get_db_track_info, 0, 5, 9), 43, wire::a({i(0), i(5), i(9)}), true,
         tracks("get_db_track_info")},
        {BOTH(kiv_ipod_get_pb_track_info, 2, 3, 4), 44, wire::a({i(2), i(3), i(4)}), true,
         tracks("get_pb_track_info")},
        {"kiv_ipod_prepare_uid_list", [](C c) { return kiv_ipod_prepare_uid_list(c, 1, 2, 3, "abcdef"); },
         [](C c) { return kiv_ipod_prepare_uid_list_sync(c, "abc"); }, 45,
         wire::a({i(1), i(2), i(3), wire::b("abc")}), true, kAlwaysZero},
        {BOTH(kiv_ipod_play_uid_list, kUidBytes), 46, wire::b(kUid), true, kAlwaysZero},
        {BOTH(kiv_ipod_request_lingo_version, 10), 47, i(10), true, lingo},
        {ASYNC(kiv_ipod_set_current_playing_track_chapter, 6), 48, i(6), true, kNoSync},
        {ASYNC(kiv_ipod_set_current_playing_track, 7), 49, i(7), true, kNoSync},
        {BOTH(kiv_ipod_set_available_current, 1), 50, i(1), true, kAlwaysZero},
        // Tests the device list instead of readiness: the handshake gave one.
        {ASYNC(kiv_ipod_set_bluetooth_hw_info, 0x240404, 1, "0000", "00:11:22:33:44:55"), 51,
         wire::a({i(0x240404), i(1), wire::s("0000"), wire::s("00:11:22:33:44:55")}), false, kNoSync},
        {ASYNC(kiv_ipod_set_bluetooth_state, 1, "SER1"), 52, wire::a({i(1), wire::s("SER1")}), false,
         kNoSync},
        {BOTH(kiv_ipod_get_artwork_data, kUidBytes), 53, wire::b(kUid), true, kAlwaysZero},
        {ASYNC(kiv_ipod_ping), 54, none, false, kNoSync},
        {ASYNC(kiv_ipod_restart_idps, 1), 55, i(1), false, kNoSync},
        {ASYNC(kiv_ipod_set_config, "key", "value"), 56, wire::a({wire::s("key"), wire::s("value")}), false,
         kNoSync},
        {BOTH(kiv_ipod_launch_application, "com.example.app"), 57, wire::s("com.example.app"), true,
         kStandard},
        {BOTH(kiv_ipod_send_eap_datagram, 3, "x\0yz", 4), 58,
         wire::a({i(3), i(4), wire::b(std::string("x\0yz", 4))}), true, kStandard},
    };
}

#undef BOTH
#undef ASYNC

}  // namespace reqtable

#endif  // KIV_TESTS_REQUEST_TABLE_H
