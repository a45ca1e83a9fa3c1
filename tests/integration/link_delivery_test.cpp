// Dispatch through the shared library against the fake daemon: delivery
// order, callbacks that call the library again, and closing with packets
// still queued. (A daemon that hangs up during a wait: unit/socket_faults
// and the wait model in unit/link_transport.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_daemon.h"
#include "kiv_ipod.h"
#include "log_capture.h"

using kivtest::event;
using kivtest::FakeDaemon;
using kivtest::frame;
namespace wire = kivtest::wire;

namespace {

constexpr uint8_t kCloseSessionOp = 5;

struct Trace {
    std::vector<std::string> steps;
    bool sync_from_ping = false;
    int32_t sync_result = 99;
};

int trace_event(kiv_ipod_client *, kiv_ipod_event *ev, void *data) {
    static_cast<Trace *>(data)->steps.push_back("event " + std::to_string(kiv_ipod_event_type(ev)) + " " +
                                                kiv_ipod_event_device_serial(ev));
    return 0;
}

int trace_reply(kiv_ipod_client *, uint32_t tid, int32_t result, const char *text, void *data) {
    static_cast<Trace *>(data)->steps.push_back("reply " + std::to_string(tid) + " " +
                                                std::to_string(result) +
                                                (text ? std::string(" ") + text : std::string()));
    return 0;
}

int trace_ping(kiv_ipod_client *c, uint32_t tid, void *data) {
    Trace *t = static_cast<Trace *>(data);
    t->steps.push_back("ping " + std::to_string(tid));
    if (t->sync_from_ping) {
        // Answer the ping and make a blocking request from inside the pass.
        t->sync_from_ping = false;
        kiv_ipod_ping(c);
        t->sync_result = kiv_ipod_close_session_sync(c);
        t->steps.push_back("sync " + std::to_string(t->sync_result));
    }
    return 0;
}

kiv_ipod_client *connect_traced(Trace *trace) {
    kiv_ipod_client *c = kiv_ipod_connect();
    if (!c) return nullptr;
    kiv_ipod_set_event_cb(c, trace_event, trace);
    kiv_ipod_set_reply_cb(c, trace_reply, trace);
    kiv_ipod_set_ping_cb(c, trace_ping, trace);
    return c;
}

TEST(LinkDelivery, OneReadDeliversEventReplyAndPingInArrivalOrder) {
    FakeDaemon daemon;
    Trace trace;
    kiv_ipod_client *c = connect_traced(&trace);
    ASSERT_NE(c, nullptr);
    daemon.send(event("fail_to_detect", 3, "SER") + frame(500, 30, wire::h({{"error", wire::s("nope")}})) +
                frame(501, 54, ""));
    EXPECT_EQ(kiv_ipod_read(c), 3);
    EXPECT_EQ(trace.steps, (std::vector<std::string>{"event 3 SER", "reply 500 0 nope", "ping 501"}));

    kiv_ipod_close(c);
}

TEST(LinkDelivery, CallbackMakesASyncRequestInsideThePass) {
    FakeDaemon daemon;
    Trace trace;
    kiv_ipod_client *c = connect_traced(&trace);
    ASSERT_NE(c, nullptr);
    // The daemon puts an event and a ping in front of the blocking reply.
    daemon.set_responder([](const kivtest::Request &r) {
        if (r.opcode == kCloseSessionOp)
            return event("fail_to_detect", 1, "EV") + frame(700, 54, "") + frame(r.tid, r.opcode, wire::i(7));
        return std::string();
    });
    trace.sync_from_ping = true;
    daemon.send(frame(600, 54, "") + frame(601, 54, ""));
    EXPECT_EQ(kiv_ipod_read(c), 2);
    EXPECT_EQ(trace.sync_result, 7);
    // The inner wait dispatched what was queued before its reply returned;
    // the outer pass found the queue already empty.
    EXPECT_EQ(trace.steps,
              (std::vector<std::string>{"ping 600", "ping 601", "event 3 EV", "ping 700", "sync 7"}));
    ASSERT_TRUE(daemon.wait_requests(3));
    auto requests = daemon.requests();
    EXPECT_EQ(requests[1].opcode, 54);  // the ping answer
    EXPECT_EQ(requests[1].tid, 2u);
    EXPECT_EQ(requests[2].opcode, kCloseSessionOp);
    EXPECT_EQ(requests[2].tid, 3u);
    EXPECT_EQ(kivtest::log_count_containing("Another thread already using this call"), 0);
    kiv_ipod_close(c);
}

TEST(LinkDelivery, CloseWithPacketsQueuedDeliversNothing) {
    FakeDaemon daemon;
    daemon.set_open_prefix(event("fail_to_detect", 1, "Q") + frame(900, 54, "") + frame(901, 30, wire::i(1)));
    Trace trace;
    kiv_ipod_client *c = connect_traced(&trace);
    ASSERT_NE(c, nullptr);
    kiv_ipod_close(c);
    EXPECT_TRUE(trace.steps.empty());
    EXPECT_TRUE(daemon.wait_client_closed());
}

}  // namespace
