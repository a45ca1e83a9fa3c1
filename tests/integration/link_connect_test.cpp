// Connecting, the opening handshake, the handle's accessors, delivery and
// events through the shared library, and closing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "fake_daemon.h"
#include "kiv_ipod.h"
#include "log_capture.h"
#include "requests_fixture.h"

using kivtest::event;
using kivtest::FakeDaemon;
using kivtest::frame;
namespace wire = kivtest::wire;

namespace {

constexpr int kDebug = 3;

TEST(LinkConnect, OpeningHandshakeKeepsPidAndDevices) {
    FakeDaemon daemon;
    daemon.set_pid(777);
    daemon.set_devices(wire::a({wire::device("SERIAL-A", 5), wire::device("SERIAL-B", 6)}));
    kivtest::log_clear();
    kiv_ipod_client *c = kiv_ipod_connect();
    ASSERT_NE(c, nullptr);

    // The opening request: marker, id 1 big-endian, opcode 0, no payload.
    auto requests = daemon.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].header, std::string("\xFE\0\0\0\0\0\0\x01\0\0\0\0\0\0\0\0", 16));
    EXPECT_EQ(requests[0].payload, "");

    EXPECT_GE(kiv_ipod_fd(c), 0);
    EXPECT_EQ(kiv_ipod_pid(c), 777);
    EXPECT_EQ(kivtest::log_count(kDebug, "kiv_ipod_pid, pid=777\n"), 1);
    EXPECT_EQ(kiv_ipod_is_remote(c), 0);
    EXPECT_EQ(kiv_ipod_is_session_opened(c), 0);
    EXPECT_EQ(kiv_ipod_is_ready(c), 0);
    EXPECT_EQ(kiv_ipod_device_count(c), 2);
    EXPECT_EQ(kiv_ipod_device_index(c, "SERIAL-B"), 1);
    kiv_ipod_close(c);
    EXPECT_TRUE(daemon.wait_client_closed());

    // An application that closed its standard input gets descriptor 0 for
    // the connection: a descriptor like any other.
    int saved_stdin = dup(0);
    close(0);
    c = kiv_ipod_connect();
    if (c) {
        EXPECT_EQ(kiv_ipod_fd(c), 0);
        EXPECT_EQ(kiv_ipod_pid(c), 777);
    }
    kiv_ipod_close(c);
    dup2(saved_stdin, 0);
    close(saved_stdin);
    EXPECT_NE(c, nullptr);
}

// Opening replies that carry nothing usable leave a connected handle without
// pid or devices; a daemon that hangs up instead of answering leaves a lost
// one.
TEST(LinkConnect, OpeningRepliesWithoutUsableContentAndNoReplyAtAll) {
    const struct {
        const char *name;
        std::string reply;
    } cases[] = {
        {"empty payload", frame(1, 0, "")},
        {"not a hash", frame(1, 0, wire::i(5))},
        {"undecodable", frame(1, 0, "Zjunk")},
        {"hash without pid and with a non-array device list",
         frame(1, 0, wire::h({{"devices", wire::s("nope")}}))},
        {"pid of the wrong type", frame(1, 0, wire::h({{"pid", wire::s("12")}, {"devices", wire::a({})}}))},
        {"hang-up", ""},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.name);
        FakeDaemon daemon;
        daemon.set_open_reply(k.reply);
        const bool hang_up = k.reply.empty();
        daemon.set_responder([](const kivtest::Request &) { return std::string(); });
        std::thread closer([&] {
            if (hang_up && daemon.wait_requests(1)) daemon.close_client();
        });
        kiv_ipod_client *c = kiv_ipod_connect();
        closer.join();
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(kiv_ipod_fd(c) >= 0, !hang_up);
        EXPECT_EQ(kiv_ipod_is_ready(c), hang_up ? -1 : 0);
        EXPECT_EQ(kiv_ipod_pid(c), 0);
        EXPECT_EQ(kiv_ipod_device_count(c), 0);
        if (hang_up) {
            EXPECT_EQ(kiv_ipod_read(c), -1);
        }
        kiv_ipod_close(c);
    }
}

// KIV_IPOD_SOCKET set and not empty names the daemon's socket; otherwise
// the built-in name is used, where nobody listens in this test: then no
// handle, and the attempt and its failure are logged. An abstract name is
// its exact bytes (a prefix of a listening name is another name), at most
// 107 of them.
TEST(LinkConnect, SocketNameFromTheEnvironmentAndNoDaemon) {
    const std::string longest(107, 'n'), too_long(108, 'n');
    FakeDaemon other("kiv.test.OtherDaemon"), far(longest);
    other.set_pid(31);
    far.set_pid(31);
    const struct {
        const char *value;
        bool connects;
    } cases[] = {{"kiv.test.OtherDaemon", true},
                 {"kiv.test.OtherDaemo", false},
                 {longest.c_str(), true},
                 {too_long.c_str(), false},
                 {"", false},
                 {nullptr, false}};
    for (const auto &[value, connects] : cases) {
        SCOPED_TRACE(value ? value : "(unset)");
        if (value)
            setenv("KIV_IPOD_SOCKET", value, 1);
        else
            unsetenv("KIV_IPOD_SOCKET");
        kivtest::log_clear();
        kiv_ipod_client *c = kiv_ipod_connect();
        EXPECT_EQ(c != nullptr, connects);
        if (c != nullptr) {
            EXPECT_EQ(kiv_ipod_pid(c), 31);
        }
        EXPECT_EQ(kivtest::log_count(kDebug, "connect_to_server\n"), 1);
        EXPECT_EQ(kivtest::log_count(kDebug, "connect_to_server, failed to connect to ipod service\n"),
                  connects ? 0 : 1);
        EXPECT_EQ(kivtest::log_count(kDebug, "connect_to_server, success\n"), connects ? 1 : 0);
        kiv_ipod_close(c);
    }
    unsetenv("KIV_IPOD_SOCKET");
}

TEST(LinkConnect, TimeoutFromTheEnvironmentBoundsTheHandshake) {
    FakeDaemon daemon;
    daemon.set_open_reply("");  // accepts, never answers
    setenv("KIV_IPOD_TIMEOUT_MS", "120", 1);
    kivtest::log_clear();
    auto start = std::chrono::steady_clock::now();
    auto connecting = std::async(std::launch::async, kiv_ipod_connect);
    if (connecting.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        ADD_FAILURE() << "kiv_ipod_connect still blocked";
        daemon.close_client();
    }
    kiv_ipod_client *c = connecting.get();
    // The library counts whole milliseconds: a 120 ms bound ends after more than 119.
    EXPECT_GT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(119));
    // A daemon that does not complete the handshake is no daemon: NULL.
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(kivtest::log_count(6, "kiv_ipod_connect, no reply within 120 ms\n"), 1);
    // With standard input closed the connection takes descriptor 0: a
    // handshake that times out there fails like any other.
    const int saved_stdin = fcntl(0, F_DUPFD_CLOEXEC, 3);  // -1: already closed
    close(0);
    c = kiv_ipod_connect();
    const bool zero_was_free = fcntl(0, F_GETFD) == -1;
    if (saved_stdin >= 0) {
        dup2(saved_stdin, 0);
        close(saved_stdin);
    }
    EXPECT_EQ(c, nullptr);
    EXPECT_TRUE(zero_was_free) << "the failed handshake closes its descriptor";
    // One that answers in time gives a handle with the bound as its own.
    daemon.set_open_reply(frame(1, 0, ""));
    c = kiv_ipod_connect();
    unsetenv("KIV_IPOD_TIMEOUT_MS");
    ASSERT_NE(c, nullptr);
    EXPECT_GE(kiv_ipod_fd(c), 0);
    EXPECT_EQ(kiv_ipod_set_timeout(c, 0), 120);
    kiv_ipod_close(c);

    // Text that is not a positive number of milliseconds sets no bound.
    for (const char *text : {"abc", "-5", "0", "12ms", ""}) {
        SCOPED_TRACE(text);
        setenv("KIV_IPOD_TIMEOUT_MS", text, 1);
        c = kiv_ipod_connect();
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(kiv_ipod_set_timeout(c, 0), 0);
        kiv_ipod_close(c);
    }
    unsetenv("KIV_IPOD_TIMEOUT_MS");
}

// Delivery against the fake daemon: arrival order, and closing with
// packets still queued. (Callbacks that make blocking requests: NestedSync
// in requests_behaviour_test and the nested-dispatch unit test; a daemon that
// hangs up during a wait: the socket-fault and wait-model unit tests.)
int trace_event(kiv_ipod_client *, kiv_ipod_event *ev, void *data) {
    static_cast<std::vector<std::string> *>(data)->push_back(
        "event " + std::to_string(kiv_ipod_event_type(ev)) + " " + kiv_ipod_event_device_serial(ev));
    return 0;
}

int trace_reply(kiv_ipod_client *, uint32_t tid, int32_t result, const char *text, void *data) {
    static_cast<std::vector<std::string> *>(data)->push_back(
        "reply " + std::to_string(tid) + " " + std::to_string(result) + " " + (text ? text : "-"));
    return 0;
}

int trace_ping(kiv_ipod_client *, uint32_t tid, void *data) {
    static_cast<std::vector<std::string> *>(data)->push_back("ping " + std::to_string(tid));
    return 0;
}

// A process that has no descriptor left cannot connect: -1 and NULL, and
// the attempt is logged. (No daemon is needed: the socket is never made.)
TEST(LinkConnect, NoDescriptorLeftMeansNoConnection) {
    EXPECT_EXIT(
        {
            alarm(10);
            struct rlimit few;
            few.rlim_cur = few.rlim_max = 64;
            setrlimit(RLIMIT_NOFILE, &few);
            while (dup(2) >= 0) {
            }
            kivtest::log_clear();
            const bool refused = connect_to_server() == -1 && kiv_ipod_connect() == nullptr;
            _exit(refused && kivtest::log_count(3, "connect_to_server, failed to create socket\n") == 2 ? 0
                                                                                                        : 1);
        },
        testing::ExitedWithCode(0), "");
}

// Packets that came ahead of the opening reply stay queued: a close drops
// them, the next read delivers them ahead of its own.
TEST(LinkDelivery, OneReadInArrivalOrderAndCloseWithPacketsQueuedDeliversNothing) {
    FakeDaemon daemon;
    daemon.set_open_prefix(event("fail_to_detect", 1, "Q") + frame(900, 54, "") + frame(901, 30, wire::i(1)));
    for (int round = 0; round < 2; round++) {
        std::vector<std::string> trace;
        kiv_ipod_client *c = kiv_ipod_connect();
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(kiv_ipod_pid(c), 4242);
        kiv_ipod_set_event_cb(c, trace_event, &trace);
        kiv_ipod_set_reply_cb(c, trace_reply, &trace);
        kiv_ipod_set_ping_cb(c, trace_ping, &trace);
        if (round == 1) {
            daemon.send(event("fail_to_detect", 3, "SER") +
                        frame(500, 30, wire::h({{"error", wire::s("nope")}})) + frame(501, 54, ""));
            EXPECT_EQ(kiv_ipod_read(c), 3);
        }
        kiv_ipod_close(c);
        const std::vector<std::string> expected = {"event 3 Q",   "ping 900",         "reply 901 1 -",
                                                   "event 3 SER", "reply 500 0 nope", "ping 501"};
        EXPECT_EQ(trace, round == 0 ? std::vector<std::string>() : expected);
        EXPECT_TRUE(daemon.wait_client_closed());
    }
}

// Events from the fake daemon through kiv_ipod_read in the shared library:
// the handle follows each event (device list, readiness, track cache)
// before the event callback sees it. What each event does in detail is
// checked against the decoder itself in unit/events_test.cpp.
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

    // (Requests while not ready are refused unsent: the request table test.)
}

}  // namespace
