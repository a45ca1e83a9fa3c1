// Helpers shared by the request tests: a fake daemon with one attached
// device, and client handles connected to it, with or without a session.
#ifndef KIV_TESTS_REQUESTS_FIXTURE_H
#define KIV_TESTS_REQUESTS_FIXTURE_H

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_daemon.h"
#include "kiv_ipod.h"
#include "log_capture.h"

namespace reqtest {

using kivtest::FakeDaemon;
using kivtest::frame;
namespace wire = kivtest::wire;

constexpr int kDebug = 3;
constexpr int kError = 6;

inline std::string device_list() {
    return wire::a({wire::device("SER1", 7)});
}

// A track information reply under `key` (current_track_info or
// indexed_track_info) with every member set.
inline std::string track_reply(const char *key, const char *title, int result = 1) {
    return wire::h({{key, wire::i(result)},
                    {"title", wire::s(title)},
                    {"uid", wire::b("ABCDEFGH")},
                    {"chapter", wire::s("Intro")},
                    {"artist", wire::s("Artist")},
                    {"album", wire::s("Album")},
                    {"composer", wire::s("Composer")},
                    {"genre", wire::s("Genre")},
                    {"length", wire::i(240000)},
                    {"position", wire::i(1000)},
                    {"state", wire::i(KIV_IPOD_WIRE_STATUS_PLAYING)},
                    {"number_of_tracks", wire::i(12)},
                    {"track_index", wire::i(3)},
                    {"chapter_index", wire::i(1)},
                    {"has_chapters", wire::i(1)},
                    {"is_podcast", wire::i(1)}});
}

// Answers each request by opcode: open session is always accepted, the
// rest goes to the test's handler (default: the integer 0).
class Daemon {
public:
    using Handler = std::function<std::string(const kivtest::Request &)>;

    Daemon() {
        signal(SIGPIPE, SIG_IGN);
        alarm(120);  // a wait that never ends fails the test instead of hanging it
        daemon.set_devices(device_list());
        answer([](const kivtest::Request &r) { return frame(r.tid, r.opcode, wire::i(0)); });
    }
    ~Daemon() { alarm(0); }

    void answer(Handler handler) {
        daemon.set_responder([handler](const kivtest::Request &r) {
            if (r.opcode != 4) return handler(r);  // open session: accepted on the one device
            return frame(r.tid, 4, wire::h({{"result", wire::i(1)}, {"devices", device_list()}}));
        });
    }
    // Like answer(), without the automatic open-session reply.
    void answer_raw(Handler handler) { daemon.set_responder(std::move(handler)); }
    // Answers every request with `payload` under its own id.
    void answer_with(const std::string &payload) {
        answer([payload](const kivtest::Request &r) { return frame(r.tid, r.opcode, payload); });
    }

    // Requests received since the last clear.
    std::vector<kivtest::Request> requests() { return daemon.requests(); }

    FakeDaemon daemon;
};

// A connected handle; `ready` opens a session on device 0 first. The
// request log and the log capture start empty.
class Client {
public:
    Client(Daemon &d, bool ready) : daemon_(d) {
        client = kiv_ipod_connect();
        EXPECT_NE(client, nullptr);
        if (ready && client != nullptr) {
            EXPECT_EQ(kiv_ipod_open_session_sync(client, 0), 1);
            EXPECT_EQ(kiv_ipod_is_ready(client), 1);
        }
        d.daemon.clear_requests();
        kivtest::log_clear();
    }
    ~Client() { kiv_ipod_close(client); }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    // Proves that nothing was sent before this point: sends a ping (which
    // is never refused) and checks that it is the only request received.
    void expect_nothing_sent() {
        daemon_.daemon.clear_requests();
        uint32_t tid = kiv_ipod_ping(client);
        ASSERT_NE(tid, 0u);
        ASSERT_TRUE(daemon_.daemon.wait_requests(1));
        auto got = daemon_.requests();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].opcode, 54);
        daemon_.daemon.clear_requests();
    }

    kiv_ipod_client *client = nullptr;

private:
    Daemon &daemon_;
};

// Records every reply the reply callback receives.
struct ReplyLog {
    struct Entry {
        uint32_t tid;
        int32_t result;
        std::string text;
        bool has_text;
    };
    std::vector<Entry> entries;

    static int callback(kiv_ipod_client *, uint32_t tid, int32_t result, const char *text, void *data) {
        auto *self = static_cast<ReplyLog *>(data);
        self->entries.push_back({tid, result, text ? text : "", text != nullptr});
        return 0;
    }
    void install(kiv_ipod_client *client) { kiv_ipod_set_reply_cb(client, callback, this); }
    // Reads until `count` replies have reached the callback (or the link fails).
    bool read_until(kiv_ipod_client *client, size_t count) {
        while (entries.size() < count) {
            if (kiv_ipod_read(client) < 0) return false;
        }
        return true;
    }
};

// Records the type of every event the handle delivers into `types`.
inline void record_event_types(kiv_ipod_client *client, std::vector<int> *types) {
    kiv_ipod_set_event_cb(
        client,
        [](kiv_ipod_client *, kiv_ipod_event *e, void *data) {
            static_cast<std::vector<int> *>(data)->push_back(kiv_ipod_event_type(e));
            return 0;
        },
        types);
}

}  // namespace reqtest

#endif  // KIV_TESTS_REQUESTS_FIXTURE_H
