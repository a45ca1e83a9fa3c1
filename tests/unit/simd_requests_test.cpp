// The simulator's request table without sockets: every request of the
// protocol table has a handler and no other opcode has one, the requests
// about the iPod are the ones that need a session, and no handler fails
// on any argument a client can send (the sanitizers watch).
#include <gtest/gtest.h>
#include <limits.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "requests.h"

namespace {

using simd::Session;
using simd::Simulation;
using simd::Value;

struct Recorder : simd::Outbox {
    std::vector<ipod_event_type> events;
    int hotplugs = 0;
    void media_event(ipod_event_type type, const Value &, const Session *) override {
        events.push_back(type);
    }
    void device_event(ipod_event_type type, const Value &) override { events.push_back(type); }
    void after_reply(ipod_event_type type, const Value &) override { events.push_back(type); }
    void hotplug() override { hotplugs++; }
    size_t client_count() const override { return 1; }
    void note(const std::string &) override {}
};

TEST(SimdRequests, TableFollowsTheProtocolTable) {
    // Served with the iPod away and no session: the opening, the session
    // requests, and the ones about the accessory itself.
    const unsigned any_state[] = {IPOD_OP_open,
                                  IPOD_OP_open_session,
                                  IPOD_OP_close_session,
                                  IPOD_OP_health_examine,
                                  IPOD_OP_set_bluetooth_hw_info,
                                  IPOD_OP_set_bluetooth_state,
                                  IPOD_OP_restart_idps,
                                  IPOD_OP_set_config,
                                  IPOD_OP_ping};
    for (unsigned op = 0; op < 256; op++) {
        const simd::RequestHandler *h = simd::request_handler(op);
        bool request = ipod_request(op) != nullptr || op == IPOD_OP_open;
        EXPECT_EQ(h != nullptr, request) << op;
        if (!h) continue;
        bool anytime = std::find(std::begin(any_state), std::end(any_state), op) != std::end(any_state);
        // The ping's row is never reached (the daemon answers pings apart).
        if (op != IPOD_OP_ping) {
            EXPECT_EQ(h->needs_session, !anytime) << ipod_opcode_name(op);
        }
    }
}

// Arguments of every shape and extreme values, alone and in arrays.
std::vector<Value> hostile_arguments() {
    std::vector<Value> out;
    const int32_t ints[] = {INT32_MIN, -2, -1, 0,  1,   2,   4,   7,   8,        9,
                            13,        14, 15, 16, 100, 511, 512, 513, INT32_MAX};
    for (int32_t i : ints) out.push_back(Value::integer(i));
    out.push_back(Value::real(1e300));
    out.push_back(Value::string(""));
    out.push_back(Value::string("hotplug"));
    out.push_back(Value::bytes(std::string(8, '\0')));
    out.push_back(Value::bytes(std::string(9, 'x')));
    out.push_back(Value::hash({{"a", Value::integer(1)}}));
    out.push_back(Value::array());
    for (int32_t a : ints)
        for (int32_t b : {INT32_MIN, -1, 0, 1, 8, INT32_MAX}) {
            out.push_back(Value::array({Value::integer(a), Value::integer(b)}));
            out.push_back(Value::array({Value::integer(a), Value::integer(b), Value::bytes("12345678")}));
            out.push_back(Value::array(
                {Value::integer(a), Value::integer(b), Value::integer(8), Value::bytes("12345678")}));
        }
    out.push_back(Value::array({Value::string("k"), Value::string("v")}));
    out.push_back(Value::array({Value::string("k"), Value::integer(1)}));
    return out;
}

// Every handler, in a session, with every argument (and none), one after
// the other on the same state: each reply is an error hash or a value,
// and the player stays on a track of the library.
TEST(SimdRequests, NoArgumentUpsetsAnyHandler) {
    simd::Library lib = simd::generate_library(5);
    Recorder out;
    Simulation sim(lib, out);
    sim.art_dir = testing::TempDir();
    Session s;
    s.id = 1;
    s.open = true;
    s.browse = sim.browser.start();
    std::vector<Value> args = hostile_arguments();
    int errors = 0, replies = 0;
    for (unsigned op = 0; op < IPOD_OP_COUNT; op++) {
        const simd::RequestHandler *h = simd::request_handler(op);
        if (!h || op == IPOD_OP_close_session) continue;
        for (size_t k = 0; k <= args.size(); k++) {
            Value reply = h->serve(sim, s, k < args.size() ? &args[k] : nullptr);
            replies++;
            if (reply.kind == Value::Hash && reply.find("error")) {
                errors++;
                EXPECT_EQ(reply.find("error")->kind, Value::String) << ipod_opcode_name(op);
            }
            ASSERT_GE(sim.player.current_index(), 0);
            ASSERT_LT(static_cast<size_t>(sim.player.current_index()), lib.tracks.size());
            s.open = true;
        }
    }
    // Some arguments are wrong, some are right.
    EXPECT_GT(errors, 0);
    EXPECT_LT(errors, replies);
    s.art.release();
    EXPECT_LE(s.eap.size(), 8u);
    EXPECT_LE(s.uid_list.size(), 65536u);
}

// The device-wide requests tell every client; a session's close ends its
// EAP sessions and tells it.
TEST(SimdRequests, EventsOfSessionRequests) {
    simd::Library lib = simd::generate_library(1);
    Recorder out;
    Simulation sim(lib, out);
    Session s;
    s.browse = sim.browser.start();
    Value zero = Value::integer(0);
    Value app = Value::string("com.kiv.echo");
    simd::request_handler(IPOD_OP_open_session)->serve(sim, s, &zero);
    EXPECT_TRUE(s.open);
    for (int k = 0; k < 10; k++) simd::request_handler(IPOD_OP_launch_application)->serve(sim, s, &app);
    EXPECT_EQ(s.eap.size(), 8u);
    EXPECT_EQ(std::count(out.events.begin(), out.events.end(), IPOD_EVENT_eap_session_opened), 8);
    out.events.clear();
    simd::request_handler(IPOD_OP_close_session)->serve(sim, s, nullptr);
    EXPECT_FALSE(s.open);
    EXPECT_TRUE(s.eap.empty());
    EXPECT_EQ(std::count(out.events.begin(), out.events.end(), IPOD_EVENT_eap_session_closed), 8);
    // No device at another index, and none while the iPod is away.
    Value one = Value::integer(1);
    Value r = simd::request_handler(IPOD_OP_open_session)->serve(sim, s, &one);
    EXPECT_EQ(r.find("result")->i, 0);
    sim.device.unplug();
    r = simd::request_handler(IPOD_OP_open_session)->serve(sim, s, &zero);
    EXPECT_EQ(r.find("result")->i, 0);
    EXPECT_FALSE(s.open);
}

}  // namespace
