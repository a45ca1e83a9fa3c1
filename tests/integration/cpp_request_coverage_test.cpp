// Every request of the C interface from C++: one row per request function
// of the C header (asynchronous, _sync and blocking forms), each naming the
// kiv::ipod::Client member that reaches it and the opcode it must send. The
// header is read at run time, so a request added to it without a row here
// (and so, most likely, without a C++ member) fails the first test.
#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "kiv/ipod.hpp"
#include "requests_fixture.h"

namespace ki = kiv::ipod;
using namespace std::chrono_literals;

namespace {

// What a call ended with: none for a success.
ki::ErrorKind kind_of(ki::Client &c, const std::optional<ki::RequestId> &id) {
    return id ? ki::ErrorKind::none : static_cast<ki::ErrorKind>(kiv_ipod_last_error_kind(c.get()));
}
template <class T>
ki::ErrorKind kind_of(ki::Client &, const ki::Result<T> &r) {
    return r ? ki::ErrorKind::none : r.error().kind();
}

struct Row {
    const char *c;           // the C function
    int opcode;              // what it sends
    bool gated;              // refused without a ready device
    ki::ErrorKind on_error;  // what an error reply makes of it
    std::function<ki::ErrorKind(ki::Client &)> call;
};
constexpr auto kNone = ki::ErrorKind::none, kDaemon = ki::ErrorKind::daemon;

const ki::Uid kUid{1, 2, 3, 4, 5, 6, 7, 8};
const unsigned char kBytes[] = {9, 8, 7};

// clang-format off
#define ROW(cname, op, gated, on_error, expr) \
    {cname, op, gated, on_error, [](ki::Client &c) { return kind_of(c, c.expr); }}
#define ASYNC(name, op, expr) ROW("kiv_ipod_" name, op, true, kNone, expr)
#define SYNC(name, op, expr) ROW("kiv_ipod_" name "_sync", op, true, kDaemon, expr)
#define BOTH(name, op, async, sync) ASYNC(name, op, async), SYNC(name, op, sync)
// Sent whatever the readiness.
#define UNGATED(name, op, expr) ROW("kiv_ipod_" name, op, false, kNone, expr)
// clang-format on

const std::vector<Row> &table() {
    static const std::vector<Row> rows = {
        BOTH("play", 6, play(), play_sync()),
        BOTH("stop", 7, stop(), stop_sync()),
        BOTH("pause", 8, pause(), pause_sync()),
        BOTH("next_track", 9, next_track(), next_track_sync()),
        BOTH("prev_track", 10, prev_track(), prev_track_sync()),
        BOTH("start_ffw", 11, start_ffw(), start_ffw_sync()),
        BOTH("start_rew", 12, start_rew(), start_rew_sync()),
        BOTH("stop_ffwrew", 13, stop_ffwrew(), stop_ffwrew_sync()),
        BOTH("set_position", 14, set_position(1s), set_position_sync(1s)),
        BOTH("current_track_info", 15, current_track_info(), current_track_info_sync()),
        ASYNC("get_sample_rate", 16, get_sample_rate()),
        BOTH("current_track_artwork", 17, current_track_artwork(), current_track_artwork_sync()),
        BOTH("get_play_state", 18, get_play_state(), get_play_state_sync()),
        BOTH("get_current_track_index", 19, get_current_track_index(), get_current_track_index_sync()),
        BOTH("set_shuffle", 20, set_shuffle(ki::Shuffle::off), set_shuffle_sync(ki::Shuffle::off)),
        BOTH("get_shuffle", 21, get_shuffle(), get_shuffle_sync()),
        ROW("_kiv_ipod_get_shuffle_sync", 21, true, kDaemon, get_shuffle_sync()),
        BOTH("set_repeat", 22, set_repeat(ki::Repeat::all), set_repeat_sync(ki::Repeat::all)),
        BOTH("get_repeat", 23, get_repeat(), get_repeat_sync()),
        ROW("_kiv_ipod_get_repeat_sync", 23, true, kDaemon, get_repeat_sync()),
        BOTH("set_category", 24, set_category(ki::Category::album), set_category_sync(ki::Category::album)),
        BOTH("set_hierarchy", 25, set_hierarchy(1), set_hierarchy_sync(1)),
        BOTH("select_db", 26, select_db(ki::Category::album, 0), select_db_sync(ki::Category::album, 0)),
        ASYNC("get_records", 27, get_records(0, 3)),
        // Its C form answers 0 for any reply that is not a records array,
        // an error included, and keeps no text: the daemon's integer 0.
        ROW("kiv_ipod_get_records_sync", 27, true, kNone, get_records_sync(0, 3)),
        BOTH("reauthentication", 28, reauthentication(0), reauthentication_sync(0)),
        BOTH("set_preference", 29, set_preference(ki::Preference::screen, ki::Setting::screen_fit),
             set_preference_sync(ki::Preference::screen, ki::Setting::screen_fit)),
        BOTH("get_preference", 30, get_preference(ki::Preference::screen),
             get_preference_sync(ki::Preference::screen)),
        BOTH("indexed_track_info", 31, indexed_track_info(2), indexed_track_info_sync(2)),
        BOTH("indexed_track_chapter_info", 32, indexed_track_chapter_info(2, 0),
             indexed_track_chapter_info_sync(2, 0)),
        // The examination hands any reply back, an error hash included.
        UNGATED("health_examine", 33, health_examine("battery")),
        BOTH("write_tag", 34, write_tag(), write_tag_sync()),
        BOTH("set_statechange", 35, set_statechange(1), set_statechange_sync(1)),
        ASYNC("enter_videooutmode", 36, enter_videooutmode()),
        ASYNC("exit_videooutmode", 37, exit_videooutmode()),
        BOTH("get_videooutoptions", 38, get_videooutoptions(true), get_videooutoptions_sync(true)),
        BOTH("set_videooutoptions", 39, set_videooutoptions(1), set_videooutoptions_sync(1)),
        BOTH("navigate_videoout", 40, navigate_videoout(1), navigate_videoout_sync(1)),
        ASYNC("get_mode", 41, get_mode()),
        ASYNC("get_db_itunes_info", 42, get_db_itunes_info(0)),
        BOTH("get_db_track_info", 43, get_db_track_info(0, 2, 0), get_db_track_info_sync(0, 2, 0)),
        BOTH("get_pb_track_info", 44, get_pb_track_info(0, 2, 0), get_pb_track_info_sync(0, 2, 0)),
        BOTH("prepare_uid_list", 45, prepare_uid_list(0, 1, ki::ByteView(kBytes, sizeof kBytes)),
             prepare_uid_list_sync("uids")),
        BOTH("play_uid_list", 46, play_uid_list(kUid), play_uid_list_sync(kUid)),
        BOTH("request_lingo_version", 47, request_lingo_version(ki::Lingo::general),
             request_lingo_version_sync(ki::Lingo::general)),
        ASYNC("set_current_playing_track_chapter", 48, set_current_playing_track_chapter(1)),
        ASYNC("set_current_playing_track", 49, set_current_playing_track(1)),
        BOTH("set_available_current", 50, set_available_current(1), set_available_current_sync(1)),
        UNGATED("set_bluetooth_hw_info", 51, set_bluetooth_hw_info(0x200404, 1, "0000", "00:11:22:33:44:55")),
        UNGATED("set_bluetooth_state", 52, set_bluetooth_state(true, "SER")),
        BOTH("get_artwork_data", 53, get_artwork_data(kUid), get_artwork_data_sync(kUid)),
        UNGATED("ping", 54, ping()),
        UNGATED("restart_idps", 55, restart_idps(0)),
        UNGATED("set_config", 56, set_config("key", "value")),
        BOTH("launch_application", 57, launch_application("com.example.app"),
             launch_application_sync("com.example.app")),
        BOTH("send_eap_datagram", 58, send_eap_datagram(1, ki::ByteView(kBytes, sizeof kBytes)),
             send_eap_datagram_sync(1, ki::ByteView(kBytes, sizeof kBytes))),
        // Last: they change the session the other rows need.
        UNGATED("close_session", 5, close_session()),
        ROW("kiv_ipod_close_session_sync", 5, false, kDaemon, close_session_sync()),
        UNGATED("open_session", 4, open_session(0)),
        UNGATED("open_session_sync", 4, open_session_sync(0)),
    };
    return rows;
}

// The request functions of the C header (and of include/kiv_ipod/*.h when
// it is split): exported, taking the handle first, and either naming their
// opcode (asynchronous forms, the blocking examination) or named _sync.
std::set<std::string> header_requests() {
    std::string file = __FILE__;
    std::string include = file.substr(0, file.rfind("/tests/")) + "/include";
    std::vector<std::string> headers{include + "/kiv_ipod.h"};
    for (const std::string &n : kivtest::dir_names(include + "/kiv_ipod"))
        if (n.size() > 2 && n.compare(n.size() - 2, 2, ".h") == 0)
            headers.push_back(include + "/kiv_ipod/" + n);
    const std::regex async(
        R"(/\*\*((?:[^*]|\*(?!/))*)\*/\s*KIV_EXPORT\s+(?:uint32_t|serialize_value\s*\*)\s*)"
        R"((kiv_ipod_\w+)\s*\(\s*kiv_ipod_client\b)");
    const std::regex sync(R"(KIV_EXPORT\s+\w+\s+(_?kiv_ipod_\w+_sync)\s*\(\s*kiv_ipod_client\b)");
    std::set<std::string> names;
    for (auto &h : headers) {
        std::string text = kivtest::read_file(h);
        for (std::sregex_iterator it(text.begin(), text.end(), async), end; it != end; ++it)
            if ((*it)[1].str().find("opcode") != std::string::npos) names.insert((*it)[2]);
        for (std::sregex_iterator it(text.begin(), text.end(), sync), end; it != end; ++it)
            names.insert((*it)[1]);
    }
    return names;
}

// A client connected to a fake daemon with one device, waits bounded.
class CppRequestCoverage : public ::testing::Test {
protected:
    void SetUp() override {
        auto connected = ki::Client::connect();
        ASSERT_TRUE(connected.ok());
        c = std::move(*connected);
        c.set_timeout(5s);
    }
    reqtest::Daemon d;
    ki::Client c;
};

TEST(CppRequestTable, EveryRequestOfTheHeaderHasAMember) {
    auto header = header_requests();
    ASSERT_GE(header.size(), 90u) << "the header was not read";
    std::set<std::string> rows;
    for (auto &r : table()) EXPECT_TRUE(rows.insert(r.c).second) << "two rows for " << r.c;
    for (auto &n : header) EXPECT_TRUE(rows.count(n)) << n << ": a request of the C header without a C++ row";
    for (auto &n : rows)
        EXPECT_TRUE(header.count(n)) << n << ": a row for a function the C header does not have";
}

// Each member sends the opcode of its C function, exactly once.
TEST_F(CppRequestCoverage, EachMemberSendsItsOpcode) {
    c.on_reply([](const ki::Reply &) {});
    ASSERT_TRUE(c.open_session_sync(0).ok());
    for (auto &r : table()) {
        SCOPED_TRACE(r.c);
        d.daemon.clear_requests();
        (void)r.call(c);
        ASSERT_TRUE(d.daemon.wait_requests(1));
        auto got = d.requests();
        EXPECT_EQ(got[0].opcode, r.opcode);
        // Replies to the asynchronous forms are dispatched by the next wait.
        EXPECT_TRUE(c.connected());
        if (!c.session_opened()) {
            ASSERT_TRUE(c.open_session_sync(0).ok());
        }
    }
}

// Without a ready device the library refuses the gated requests and sends
// the others; the session rows come last, since they make the device ready.
TEST_F(CppRequestCoverage, GatedRequestsFailAsNotReady) {
    for (auto &r : table()) {
        SCOPED_TRACE(r.c);
        ki::ErrorKind kind = r.call(c);
        if (r.gated) {
            EXPECT_EQ(kind, ki::ErrorKind::not_ready);
        } else {
            EXPECT_NE(kind, ki::ErrorKind::not_ready);
        }
    }
}

// Every reply an error: each _sync form fails with the daemon's kind; the
// asynchronous forms were sent.
TEST_F(CppRequestCoverage, ErrorRepliesReachEverySyncForm) {
    ASSERT_TRUE(c.open_session_sync(0).ok());
    d.answer([](const kivtest::Request &r) {
        return kivtest::frame(r.tid, r.opcode == 54 ? 2 : r.opcode,
                              kivtest::wire::h({{"error", kivtest::wire::s("refused")}}));
    });
    for (auto &r : table()) {
        SCOPED_TRACE(r.c);
        EXPECT_EQ(r.call(c), r.on_error);
        EXPECT_TRUE(c.connected());
    }
}

// Once the connection is lost, every form fails as not_connected.
TEST_F(CppRequestCoverage, LostConnectionFailsEveryForm) {
    ASSERT_TRUE(c.open_session_sync(0).ok());
    d.daemon.close_client();
    while (c.read()) {
    }
    for (auto &r : table()) {
        SCOPED_TRACE(r.c);
        EXPECT_EQ(r.call(c), ki::ErrorKind::not_connected);
    }
}

}  // namespace
