// How failures reach the application: a refused handshake, the kind of the
// latest failure, a handle closed from its own callbacks, event names.
#include <string.h>

#include <set>
#include <thread>

#include "requests_fixture.h"

using namespace reqtest;

namespace {

// An error reply to the opening request is a failed connect, whose text
// the application can read on the thread that connected (a thread that has
// not had a refusal reads none); the next successful connect clears it.
TEST(FailureReporting, AHandshakeAnsweredWithAnErrorFails) {
    const auto error_on_a_new_thread = [] {
        const char *seen = "unset";
        std::thread([&seen] { seen = kiv_ipod_connect_error(); }).join();
        return seen;
    };
    EXPECT_EQ(error_on_a_new_thread(), nullptr);
    Daemon d;
    d.daemon.set_open_reply(frame(1, 0, wire::h({{"error", wire::s("battery low")}})));
    kivtest::log_clear();
    EXPECT_EQ(kiv_ipod_connect(), nullptr);
    ASSERT_NE(kiv_ipod_connect_error(), nullptr);
    EXPECT_STREQ(kiv_ipod_connect_error(), "battery low");
    EXPECT_EQ(error_on_a_new_thread(), nullptr);
    EXPECT_EQ(
        kivtest::log_count(kError, "kiv_ipod_connect, the daemon refused the connection: battery low\n"), 1);

    d.daemon.set_open_reply(frame(1, 0, wire::h({{"devices", device_list()}, {"pid", wire::i(9)}})));
    kiv_ipod_client *client = kiv_ipod_connect();
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(kiv_ipod_connect_error(), nullptr);
    EXPECT_EQ(kiv_ipod_pid(client), 9);
    kiv_ipod_close(client);
}

// Each way a call can fail leaves its kind; the next call that succeeds
// clears it.
TEST(FailureReporting, EveryFailureHasAKind) {
    Daemon d;
    d.answer([](const kivtest::Request &r) -> std::string {
        if (r.opcode == 6) return frame(r.tid, 6, wire::h({{"error", wire::s("no media")}}));  // play
        if (r.opcode == 8) return std::string();  // pause: no answer
        return frame(r.tid, r.opcode, wire::i(0));
    });
    struct Row {
        const char *what;
        bool ready;
        std::function<int64_t(kiv_ipod_client *)> call;
        int64_t result;
        kiv_ipod_error_kind kind;
    };
    const Row rows[] = {
        {"daemon error", true, [](kiv_ipod_client *c) { return kiv_ipod_play_sync(c); }, -1,
         KIV_IPOD_ERROR_DAEMON},
        {"not ready, async", false, [](kiv_ipod_client *c) { return int64_t(kiv_ipod_stop(c)); }, 0,
         KIV_IPOD_ERROR_NOT_READY},
        {"not ready, sync", false, [](kiv_ipod_client *c) { return kiv_ipod_stop_sync(c); }, -1,
         KIV_IPOD_ERROR_NOT_READY},
        {"timed out", true,
         [](kiv_ipod_client *c) {
             kiv_ipod_set_timeout(c, 50);
             return kiv_ipod_pause_sync(c);
         },
         -1, KIV_IPOD_ERROR_TIMEOUT},
        {"invalid argument", true,
         [](kiv_ipod_client *c) { return int64_t(kiv_ipod_launch_application(c, nullptr)); }, 0,
         KIV_IPOD_ERROR_INVALID_ARGUMENT},
        {"invalid range", true,
         [](kiv_ipod_client *c) { return int64_t(kiv_ipod_send_eap_datagram(c, 1, nullptr, 4)); }, 0,
         KIV_IPOD_ERROR_INVALID_ARGUMENT},
        {"lost", true,
         [&d](kiv_ipod_client *c) {
             d.daemon.close_client();
             int64_t result = kiv_ipod_stop_sync(c);
             // Once lost, the asynchronous form fails the same way.
             EXPECT_EQ(kiv_ipod_stop(c), 0u);
             return result;
         },
         -1, KIV_IPOD_ERROR_NOT_CONNECTED},
        {"lost while waiting", true,
         [&d](kiv_ipod_client *c) {
             std::thread hang_up([&d] {
                 std::this_thread::sleep_for(std::chrono::milliseconds(50));
                 d.daemon.close_client();
             });
             int64_t result = kiv_ipod_pause_sync(c);  // never answered
             hang_up.join();
             return result;
         },
         -1, KIV_IPOD_ERROR_NOT_CONNECTED},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        Client c(d, row.ready);
        ASSERT_NE(c.client, nullptr);
        EXPECT_EQ(kiv_ipod_last_error_kind(c.client), KIV_IPOD_ERROR_NONE);
        EXPECT_EQ(row.call(c.client), row.result);
        EXPECT_EQ(kiv_ipod_last_error_kind(c.client), row.kind);
        if (row.kind != KIV_IPOD_ERROR_NOT_CONNECTED) {
            kiv_ipod_set_timeout(c.client, 0);
            EXPECT_NE(kiv_ipod_ping(c.client), 0u);
            EXPECT_EQ(kiv_ipod_last_error_kind(c.client), KIV_IPOD_ERROR_NONE) << "cleared by a success";
        }
    }
    EXPECT_EQ(kiv_ipod_last_error_kind(nullptr), KIV_IPOD_ERROR_INVALID_ARGUMENT);
}

struct Closer {
    int calls = 0;
    static int close_on_event(kiv_ipod_client *c, kiv_ipod_event *, void *data) {
        static_cast<Closer *>(data)->calls++;
        kiv_ipod_close(c);
        // The handle is closed but still readable until the library
        // returns: further calls fail at once.
        EXPECT_EQ(kiv_ipod_play_sync(c), -1);
        EXPECT_EQ(kiv_ipod_read(c), -1);
        return 0;
    }
    static int close_on_reply(kiv_ipod_client *c, uint32_t, int32_t, const char *, void *data) {
        static_cast<Closer *>(data)->calls++;
        kiv_ipod_close(c);
        return 0;
    }
};

// kiv_ipod_close from a callback takes effect when the outermost library
// call returns; that call fails, and no callback runs after the close
// (ASan and valgrind check that nothing is used after it is freed).
TEST(FailureReporting, ClosingFromACallbackIsDeferredToTheOutermostCall) {
    Daemon d;
    {
        Client c(d, true);
        Closer closer;
        kiv_ipod_set_event_cb(c.client, Closer::close_on_event, &closer);
        d.daemon.send(kivtest::event("playlist_changed", 7, "SER1") +
                      kivtest::event("playlist_changed", 7, "SER1"));
        int32_t result = 0;
        for (int i = 0; i < 20 && closer.calls == 0; i++) result = kiv_ipod_read(c.client);
        EXPECT_EQ(result, -1);
        EXPECT_EQ(closer.calls, 1);
        c.client = nullptr;  // freed by the read
    }
    {
        // Inside a blocking call: a reply delivered to the reply callback
        // ahead of the awaited one closes the handle.
        Client c(d, true);
        Closer closer;
        kiv_ipod_set_reply_cb(c.client, Closer::close_on_reply, &closer);
        d.answer([](const kivtest::Request &r) {
            return frame(999, 6, wire::i(0)) + frame(r.tid, r.opcode, wire::i(0));
        });
        EXPECT_EQ(kiv_ipod_play_sync(c.client), -1);
        EXPECT_EQ(closer.calls, 1);
        c.client = nullptr;
    }
}

// Every name the decoder knows maps to its type and back: an event sent
// under kiv_ipod_event_name(type) arrives as that type.
TEST(FailureReporting, EventNamesRoundTripThroughTheDecoder) {
    Daemon d;
    Client c(d, true);
    std::vector<int> types;
    record_event_types(c.client, &types);
    std::vector<int> named;
    std::set<std::string> names;
    for (int type = -1; type <= 256; type++) {
        const char *name = kiv_ipod_event_name(type);
        if (!name) continue;
        named.push_back(type);
        names.insert(name);
        d.daemon.send(kivtest::event(name, 99, "OTHER"));
    }
    EXPECT_EQ(named.size(), names.size()) << "one name per type";
    EXPECT_GE(named.size(), 17u);
    for (int i = 0; i < 200 && types.size() < named.size(); i++) kiv_ipod_read(c.client);
    EXPECT_EQ(types, named);
    EXPECT_EQ(kiv_ipod_event_name(KIV_IPOD_EVENT_UNKNOWN), nullptr);
}

}  // namespace
