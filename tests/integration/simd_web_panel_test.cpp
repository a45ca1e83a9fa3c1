// The simulator's web panel: the command queue between the HTTP threads and
// the poll loop, and the panel's actions as a client of the simulator sees
// them (device buttons, faults, the request log, the event stream).
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>

#include "simd_harness.h"
#include "web_panel.h"

using namespace simdtest;
namespace wire = kivtest::wire;

namespace {

// Several threads post at once while a consumer waits on the descriptor as
// the loop does: every command arrives once, each thread's in its order,
// and no wake-up is lost. A full queue refuses.
TEST(SimdWebQueue, CommandsArriveOnceInOrderWithoutLostWakeUps) {
    simd::CommandQueue q;
    ASSERT_GE(q.fd(), 0);
    constexpr int kThreads = 4, kEach = 300;
    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; t++)
        producers.emplace_back([&q, t] {
            for (int k = 0; k < kEach; k++) {
                simd::Command c;
                c.arg = t * kEach + k;
                while (!q.post(c)) std::this_thread::yield();
            }
        });
    std::vector<int> next(kThreads, 0);
    int got = 0;
    while (got < kThreads * kEach) {
        pollfd p{q.fd(), POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 2000), 1) << "a posted command did not wake the loop (" << got << " taken)";
        for (auto &c : q.take()) {
            int t = c.arg / kEach;
            ASSERT_EQ(c.arg % kEach, next[t]++) << "thread " << t;
            got++;
        }
    }
    for (auto &p : producers) p.join();
    // A poster may signal after the loop already took its command: such a
    // wake-up finds nothing, and once taken the descriptor is quiet.
    pollfd p{q.fd(), POLLIN, 0};
    if (poll(&p, 1, 0) == 1) {
        EXPECT_TRUE(q.take().empty());
    }
    EXPECT_EQ(poll(&p, 1, 0), 0) << "readable with nothing queued";

    for (size_t k = 0; k < simd::kMaxQueuedCommands; k++) ASSERT_TRUE(q.post(simd::Command()));
    EXPECT_FALSE(q.post(simd::Command()));
    EXPECT_EQ(q.take().size(), simd::kMaxQueuedCommands);
}

void loopback_up() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq r{};
    strcpy(r.ifr_name, "lo");
    if (ioctl(fd, SIOCGIFFLAGS, &r) == 0) {
        r.ifr_flags |= IFF_UP;
        ioctl(fd, SIOCSIFFLAGS, &r);
    }
    close(fd);
}

// One HTTP/1.1 exchange with the panel; the status code, the whole response in `out`.
// `body` is sent as a form; nullptr sends no Content-Length at all (as `curl -X POST` does).
int http(int port, const std::string &method, const std::string &target, std::string *out = nullptr,
         const std::string &headers = std::string(), int read_ms = 3000, const char *body = "") {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string host =
        headers.rfind("Host:", 0) == 0 ? "" : "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
    std::string length = !body    ? ""
                         : !*body ? "Content-Length: 0\r\n"
                                  : "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                                        std::to_string(strlen(body)) + "\r\n";
    std::string req = method + " " + target + " HTTP/1.1\r\n" + host + length + "Connection: close\r\n" +
                      headers + "\r\n" + (body ? body : "");
    std::string res;
    char buf[4096];
    ssize_t n;
    pollfd p{fd, POLLIN, 0};
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        kivtest::write_all(fd, req.data(), req.size()))
        for (auto end = deadline(read_ms);
             poll(&p, 1, std::max(ms_left(end), 0)) > 0 && (n = read(fd, buf, sizeof buf)) > 0;)
            res.append(buf, static_cast<size_t>(n));
    close(fd);
    if (out) *out = res;
    return res.rfind("HTTP/1.1 ", 0) == 0 ? atoi(res.c_str() + 9) : -1;
}

// The port of a simulator's panel, from its log line.
int panel_port(const Simulator &sim) {
    if (!sim.wait_log("web panel on http://127.0.0.1:")) return -1;
    std::string log = sim.log();
    return atoi(log.c_str() + log.find("127.0.0.1:") + 10);
}

// The panel's tests: skipped in a build without it, and the loopback
// interface up (the test has a network namespace of its own).
class SimdWebPanel : public ::testing::Test {
protected:
    void SetUp() override {
#ifndef KIV_SIMD_WEB
        GTEST_SKIP() << "the simulator is built without the web panel (cpp-httplib missing)";
#endif
        loopback_up();
    }
};

TEST_F(SimdWebPanel, ButtonsAndFaultsReachTheClientsAndTheLogShowsThem) {
    const char *name = kDaemonName;  // the library's
    Simulator sim({"--web", "0", "--ping-interval", "0"}, name);
    const int port = panel_port(sim);
    ASSERT_GT(port, 0) << sim.log();
    std::string res;
    ASSERT_EQ(http(port, "GET", "/", &res), 200);
    EXPECT_NE(res.find("/panel.js"), std::string::npos);

    Raw raw(name);
    Packet p;
    ASSERT_TRUE(raw.ask(1, 4, p, wire::i(0)));

    // Device buttons produce the events of a real device.
    EXPECT_EQ(http(port, "POST", "/api/device/next"), 200);
    EXPECT_TRUE(raw.wait_event("track_index_changed", p));
    EXPECT_EQ(http(port, "POST", "/api/device/repeat?mode=2"), 200);
    EXPECT_TRUE(raw.wait_event("repeat_changed", p));

    // Faults, each for the next request only where it says so.
    EXPECT_EQ(http(port, "POST", "/api/fault/delay?ms=300"), 200);
    EXPECT_GE(round_trip_ms(raw, 10, p), 300);
    EXPECT_EQ(http(port, "POST", "/api/fault/delay?ms=0"), 200);
    EXPECT_LT(round_trip_ms(raw, 11, p), 250);
    EXPECT_EQ(http(port, "POST", "/api/fault/error_next?text=boom"), 200);
    ASSERT_GE(round_trip_ms(raw, 12, p), 0);
    EXPECT_STREQ(serialize_hash_get_string(p.value(), "error"), "boom");
    ASSERT_GE(round_trip_ms(raw, 13, p), 0);
    EXPECT_EQ(serialize_type(p.value()), SERIALIZE_INT);
    // Through the library: an error reply to a request with a reply handler
    // still hands its text to the reply callback.
    kiv_ipod_client *c = kiv_ipod_connect();
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(kiv_ipod_open_session_sync(c, 0), 1);
    std::string text;
    kiv_ipod_set_reply_cb(
        c,
        [](kiv_ipod_client *, uint32_t, int32_t, const char *t, void *out) {
            *static_cast<std::string *>(out) = t ? t : "(none)";
            return 0;
        },
        &text);
    EXPECT_EQ(http(port, "POST", "/api/fault/error_next?text=gone"), 200);
    ASSERT_NE(kiv_ipod_current_track_info(c), 0u);
    for (pollfd pfd{kiv_ipod_fd(c), POLLIN, 0}; text.empty() && poll(&pfd, 1, 3000) == 1;)
        ASSERT_GE(kiv_ipod_read(c), 0);
    EXPECT_EQ(text, "gone");
    // The cached index follows a blocking request, also one whose reply never comes.
    const int32_t index = kiv_ipod_get_current_track_index_sync(c);
    EXPECT_GE(index, 0);
    EXPECT_EQ(kiv_ipod_current_track_index(c), index);
    kiv_ipod_set_timeout(c, 300);
    EXPECT_EQ(http(port, "POST", "/api/fault/drop_next"), 200);
    EXPECT_EQ(kiv_ipod_get_current_track_index_sync(c), -1);
    EXPECT_EQ(kiv_ipod_current_track_index(c), -1);
    kiv_ipod_close(c);
    EXPECT_EQ(http(port, "POST", "/api/fault/drop_next"), 200);
    EXPECT_LT(round_trip_ms(raw, 14, p, 400), 0) << "the dropped reply came";
    EXPECT_GE(round_trip_ms(raw, 15, p), 0);
    EXPECT_EQ(http(port, "POST", "/api/fault/ignore_pings?on=1"), 200);
    EXPECT_TRUE(raw.send(16, 54) && !raw.reply(16, p, 300));
    EXPECT_EQ(http(port, "POST", "/api/fault/ignore_pings?on=0"), 200);
    EXPECT_TRUE(raw.ask(17, 54, p));

    // The page's log names the requests, ids and results.
    ASSERT_EQ(http(port, "GET", "/api/state", &res), 200);
    for (const char *needle : {"\"name\":\"get_current_track_index\"", "\"result\":\"error: boom\"",
                               "\"tid\":14", "\"result\":\"no reply\"", "\"delay_ms\":0"})
        EXPECT_NE(res.find(needle), std::string::npos) << needle << " in " << res;

    // The event stream carries the state; several pages and buttons at once.
    std::atomic<int> streamed{0};
    std::vector<std::thread> pages;
    for (int k = 0; k < 3; k++)
        pages.emplace_back([&] {
            std::string s;
            http(port, "GET", "/api/events", &s, "", 600);
            if (s.find("data: {") != std::string::npos) streamed++;
            for (int j = 0; j < 5; j++) http(port, "POST", "/api/device/play_pause");
        });
    for (uint32_t tid = 100; tid < 130; tid++) EXPECT_GE(round_trip_ms(raw, tid, p), 0);
    for (auto &t : pages) t.join();
    EXPECT_EQ(streamed, 3);

    // Text that is not UTF-8 is shown replaced, and the panel stays up.
    EXPECT_EQ(http(port, "POST", "/api/fault/error_next?text=%FF%FE"), 200);
    EXPECT_EQ(http(port, "GET", "/api/state", &res), 200);
    EXPECT_NE(res.find("\"error_next\":\"\xEF\xBF\xBD\xEF\xBF\xBD\""), std::string::npos) << res;
    EXPECT_EQ(http(port, "POST", "/api/fault/clear"), 200);

    // Refused: bad values, unknown actions, another site's page.
    EXPECT_EQ(http(port, "POST", "/api/fault/delay?ms=-1"), 400);
    EXPECT_EQ(http(port, "POST", "/api/fault/delay?ms=600001"), 400);
    EXPECT_EQ(http(port, "POST", "/api/device/eject"), 409);
    EXPECT_EQ(http(port, "POST", "/api/fault/close_client?id=999"), 409);
    EXPECT_EQ(http(port, "POST", "/api/device/next", nullptr, "Origin: http://evil.example\r\n"), 403);
    std::string rebound = "Host: evil.example:" + std::to_string(port) + "\r\n";
    EXPECT_EQ(http(port, "GET", "/api/state", nullptr, rebound), 403);
    EXPECT_EQ(http(port, "POST", "/api/device/next", nullptr, rebound), 403);
    EXPECT_EQ(http(port, "GET", "/", nullptr, "Host: localhost:" + std::to_string(port) + "\r\n"), 200);

    // Hot-plug, then closing the client.
    EXPECT_EQ(http(port, "POST", "/api/device/hotplug"), 200);
    EXPECT_TRUE(raw.wait_event("disconnected_ipod", p));
    EXPECT_TRUE(raw.wait_event("ipod_ready", p));
    ASSERT_EQ(http(port, "GET", "/api/state", &res), 200);
    size_t at = res.find("\"clients\":[{\"id\":");
    ASSERT_NE(at, std::string::npos) << res;
    std::string id = std::to_string(atoi(res.c_str() + at + 17));
    EXPECT_EQ(http(port, "POST", "/api/fault/close_client?id=" + id), 200);
    EXPECT_TRUE(raw.wait_closed());
    EXPECT_EQ(sim.stop(), 0);
}

// Parameters in the query, in a form body or both; a POST without a body
// (no Content-Length) is served at once. Every answer is JSON, failures
// included; the state shows the delay that each request set.
TEST_F(SimdWebPanel, ParametersFromQueryOrBodyAndJsonForEveryAnswer) {
    Simulator sim({"--web", "0", "--ping-interval", "0", "--quiet"}, "kiv.test.simd.web.params");
    const int port = panel_port(sim);
    ASSERT_GT(port, 0) << "--web 0 --quiet prints the port\n" << sim.log();
    struct Case {
        const char *method, *target, *body;  // body nullptr: no Content-Length
        int status;
        const char *reply;  // a fragment of the JSON answer
        int delay_ms;       // the delay in the state afterwards, -1: not looked at
    };
    const Case cases[] = {
        {"POST", "/api/fault/delay?ms=250", nullptr, 200, "{\"ok\":true}", 250},
        {"POST", "/api/fault/delay?ms=260", "", 200, "{\"ok\":true}", 260},
        {"POST", "/api/fault/delay", "ms=270", 200, "{\"ok\":true}", 270},
        {"POST", "/api/fault/delay?ms=280", "other=1", 200, "{\"ok\":true}", 280},
        {"POST", "/api/fault/delay?ms=0", nullptr, 200, "{\"ok\":true}", 0},
        {"POST", "/api/fault/delay", nullptr, 400, "\"error\":\"ms must be a number from 0 to 60000\"", 0},
        {"POST", "/api/fault/delay?ms=x", nullptr, 400, "\"ok\":false", 0},
        {"POST", "/api/device/eject", nullptr, 409, "\"ok\":false", -1},
        {"POST", "/api/nothing", nullptr, 404, "\"ok\":false", -1},
        {"POST", "/api/nothing", "", 404, "\"ok\":false", -1},
        {"GET", "/nothing", "", 404, "\"ok\":false", -1},
    };
    for (const Case &c : cases) {
        std::string what =
            std::string(c.method) + " " + c.target + (c.body ? " with a body" : " without a body");
        std::string res;
        auto t0 = Clock::now();
        EXPECT_EQ(http(port, c.method, c.target, &res, "", 3000, c.body), c.status) << what << "\n" << res;
        EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2)) << what;
        EXPECT_NE(res.find("Content-Type: application/json"), std::string::npos) << what << "\n" << res;
        EXPECT_NE(res.find(c.reply), std::string::npos) << what << "\n" << res;
        if (c.delay_ms < 0) continue;
        ASSERT_EQ(http(port, "GET", "/api/state", &res), 200);
        EXPECT_NE(res.find("\"delay_ms\":" + std::to_string(c.delay_ms) + ","), std::string::npos)
            << what << "\n"
            << res;
    }
    EXPECT_EQ(sim.stop(), 0);
}

// A port where another simulator's panel listens is refused (exit 1, the
// port named), and the first simulator keeps serving every request.
TEST_F(SimdWebPanel, PortInUseIsRefused) {
    Simulator first({"--web", "0", "--ping-interval", "0"}, "kiv.test.simd.web.first");
    const int port = panel_port(first);
    ASSERT_GT(port, 0) << first.log();
    simdtest::Run second = run_tool(
        "kiv-ipod-simd", {"--socket", "kiv.test.simd.web.second", "--web", std::to_string(port), "--quiet"},
        "", 10000);
    EXPECT_EQ(second.code, 1) << second.err;
    EXPECT_NE(second.err.find("cannot listen on 127.0.0.1:" + std::to_string(port)), std::string::npos)
        << second.err;
    EXPECT_NE(second.err.find("in use"), std::string::npos) << second.err;
    for (int k = 0; k < 10; k++) EXPECT_EQ(http(port, "POST", "/api/device/next"), 200);
    EXPECT_EQ(first.stop(), 0);
}

}  // namespace
