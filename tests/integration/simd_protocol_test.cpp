// The simulator against the daemon's duties, over a raw socket: opening
// reply, one reply per request with the request's id, reply formats,
// error hashes, artwork both ways, several clients, hostile clients.

#include <map>

#include "simd_harness.h"

using namespace simdtest;
namespace wire = kivtest::wire;

namespace {

const char kName[] = "kiv.test.simd.protocol";

serialize_value *open_session(Raw &raw, uint32_t tid, Packet &reply) {
    EXPECT_TRUE(raw.ask(tid, 4, reply, wire::i(0)));
    return reply.value();
}

int32_t int_of(serialize_value *hash, const char *key) {
    return serialize_get_int(serialize_hash_get(hash, key));
}

// The simulator's encoder is its own; its bytes must be exactly those the
// library's encoder makes for the same value (size fields included, which
// the decoder never checks).
void expect_byte_exact(Packet &p) {
    ASSERT_NE(p.value(), nullptr) << "opcode " << int(p.opcode);
    int32_t len = 0;
    uint8_t *again = serialize(p.value(), &len);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(again), static_cast<size_t>(len)), p.payload)
        << "opcode " << int(p.opcode);
    free(again);
}

// A simulator without pings and a raw client of it.
struct SimdProtocol : testing::Test {
    Simulator sim{{"--ping-interval", "0"}, kName};
    Raw raw{kName};
    Packet p;
};

}  // namespace

// The opening reply and the session carry the demo device; replies have the
// shapes the library's parsers read.
TEST_F(SimdProtocol, OpeningReplySessionAndReplyShapes) {
    ASSERT_TRUE(raw.ask(1, 0, p));
    serialize_value *h = p.value();
    ASSERT_EQ(serialize_type(h), SERIALIZE_HASH);
    EXPECT_EQ(int_of(h, "pid"), sim.pid());
    serialize_value *devices = serialize_hash_get(h, "devices");
    ASSERT_EQ(serialize_array_count(devices), 1);
    serialize_value *d = serialize_array_get(devices, 0);
    EXPECT_STREQ(serialize_hash_get_string(d, "serial"), "SIMPOD0000000001");
    EXPECT_NE(serialize_hash_get_string(d, "name"), nullptr);
    EXPECT_NE(serialize_hash_get_string(d, "version"), nullptr);
    for (const char *key : {"authenticated", "extended", "ready"}) EXPECT_EQ(int_of(d, key), 1) << key;
    EXPECT_GE(int_of(d, "audio_count"), 200);
    EXPECT_EQ(serialize_type(serialize_hash_get(d, "product_id")), SERIALIZE_INT);
    EXPECT_EQ(serialize_type(serialize_hash_get(d, "ipod_id")), SERIALIZE_INT);

    // Requests about the iPod before a session are refused with an error hash.
    ASSERT_TRUE(raw.ask(2, 6, p));
    EXPECT_STREQ(serialize_hash_get_string(p.value(), "error"), "no session open");

    // A session on a device that does not exist fails; device 0 succeeds.
    ASSERT_TRUE(raw.ask(3, 4, p, wire::i(1)));
    EXPECT_EQ(int_of(p.value(), "result"), 0);
    open_session(raw, 4, p);
    EXPECT_EQ(int_of(p.value(), "result"), 1);
    EXPECT_EQ(serialize_array_count(serialize_hash_get(p.value(), "devices")), 1);

    ASSERT_TRUE(raw.ask(5, 15, p));
    serialize_value *t = p.value();
    EXPECT_EQ(int_of(t, "current_track_info"), 1);
    int32_t uid_len = 0;
    serialize_get_bytes(serialize_hash_get(t, "uid"), &uid_len);
    EXPECT_EQ(uid_len, 8);
    EXPECT_GT(int_of(t, "length"), 0);

    ASSERT_TRUE(raw.ask(6, 18, p));
    EXPECT_EQ(int_of(p.value(), "current_play_status"), 0);
    EXPECT_TRUE(serialize_hash_has_key(p.value(), "position"));

    // Records: [category, result, first, count, texts...]; artists are distinct.
    ASSERT_TRUE(raw.ask(7, 24, p, wire::i(2)));
    int32_t artists = serialize_get_int(p.value());
    EXPECT_GE(artists, 5);
    ASSERT_TRUE(raw.ask(8, 27, p, wire::a({wire::i(1), wire::i(3)})));
    serialize_value *a = p.value();
    ASSERT_EQ(serialize_array_count(a), 7);
    for (int k : {1, 2, 3}) EXPECT_EQ(serialize_get_int(serialize_array_get(a, k)), k == 3 ? 3 : 1) << k;
    std::set<std::string> names;
    for (int k = 4; k < 7; k++) names.insert(serialize_get_string(serialize_array_get(a, k)));
    EXPECT_EQ(names.size(), 3u);
    // A window past the end carries result 0 and no texts.
    ASSERT_TRUE(raw.ask(9, 27, p, wire::a({wire::i(artists), wire::i(3)})));
    EXPECT_EQ(serialize_get_int(serialize_array_get(p.value(), 1)), 0);
    EXPECT_EQ(serialize_array_count(p.value()), 4);

    // Db track info: the marker and full 7-member track hashes.
    ASSERT_TRUE(raw.ask(10, 43, p, wire::a({wire::i(10), wire::i(2), wire::i(0)})));
    ASSERT_EQ(serialize_hash_count(p.value()), 3);
    EXPECT_TRUE(serialize_hash_has_key(p.value(), "get_db_track_info"));
    EXPECT_EQ(serialize_hash_count(serialize_hash_get(p.value(), serialize_hash_get_key(p.value(), 1))), 7);
    ASSERT_TRUE(raw.ask(11, 44, p, wire::a({wire::i(0), wire::i(1), wire::i(0)})));
    EXPECT_EQ(serialize_hash_count(serialize_hash_get(p.value(), serialize_hash_get_key(p.value(), 1))), 6);

    ASSERT_TRUE(raw.ask(12, 47, p, wire::i(4)));
    EXPECT_EQ(int_of(p.value(), "major"), 1);
    ASSERT_TRUE(raw.ask(13, 16, p));
    EXPECT_GT(int_of(p.value(), "sample_rate"), 0);

    // Invalid input gives an error hash and the connection stays usable.
    for (auto [op, payload] : std::vector<std::pair<int, std::string>>{
             {14, wire::i(-5)},
             {31, wire::i(100000)},
             {20, wire::i(7)},
             {14, wire::s("soon")},
             {58, wire::a({wire::i(99), wire::i(1), wire::b("x")})},
             {45, wire::a({wire::i(0), wire::i(0), wire::i(5), wire::b("ab")})}}) {
        ASSERT_TRUE(raw.ask(20 + op, static_cast<uint8_t>(op), p, payload)) << op;
        EXPECT_NE(serialize_hash_get_string(p.value(), "error"), nullptr) << "opcode " << op;
        expect_byte_exact(p);
    }
}

// Every request opcode gets exactly one reply carrying its id, whatever the
// events and pings interleaved with the replies, each encoded byte-exact.
TEST(SimdProtocolUnderPings, EveryRequestGetsExactlyOneByteExactReplyWithItsId) {
    Simulator sim({"--ping-interval", "0.05"}, kName);
    Raw raw(kName);
    Packet p;
    open_session(raw, 1, p);
    // Payloads for the opcodes that take one; the rest are sent empty.
    std::map<int, std::string> payloads;
    for (int op : {14, 17, 20, 22, 25, 28, 30, 31, 35, 38, 39, 40, 47, 48, 49, 50, 55})
        payloads[op] = wire::i(0);
    for (int op : {26, 27, 29}) payloads[op] = wire::a({wire::i(0), wire::i(1)});
    for (int op : {43, 44}) payloads[op] = wire::a({wire::i(0), wire::i(3), wire::i(0)});
    for (int op : {46, 53}) payloads[op] = wire::b(std::string(8, '\0'));
    payloads[24] = wire::i(3);
    payloads[32] = wire::a({wire::i(267), wire::i(-1)});  // a track with chapters
    payloads[33] = wire::a({wire::s("check"), wire::f(-0.25)});
    payloads[42] = wire::i(1);
    payloads[45] = wire::a({wire::i(0), wire::i(0), wire::i(2), wire::b("ab")});
    payloads[51] = wire::a({wire::i(0), wire::i(0), wire::s("0000"), wire::s("00:11")});
    payloads[52] = wire::a({wire::i(1), wire::s("X")});
    payloads[56] = wire::a({wire::s("k"), wire::s("v")});
    payloads[57] = wire::s("com.kiv.echo");
    payloads[58] = wire::a({wire::i(1), wire::i(2), wire::b("hi")});
    // The opening request again first; the session-closing request (5) last,
    // so that every other one runs in the session.
    std::string burst = kivtest::frame(100, 0, "");
    std::set<uint32_t> sent{100};
    for (int op = 6; op <= 59; op++) {
        burst += kivtest::frame(100 + op, static_cast<uint8_t>(op == 59 ? 5 : op), payloads[op]);
        sent.insert(100 + op);
    }
    ASSERT_TRUE(raw.send_bytes(burst));  // all at once: several frames per read
    std::multiset<uint32_t> replied;
    Packet q;
    // Until every id is answered, then 300 ms more: nothing else may come for these ids.
    for (auto quiet = deadline(5000); Clock::now() < quiet && raw.next(q, ms_left(quiet));) {
        if (q.opcode == 1 || q.opcode == 54) {
            EXPECT_EQ(q.tid, 0u) << "events and pings must not take a request's id";
            continue;
        }
        replied.insert(q.tid);
        expect_byte_exact(q);
        // The float the client sent comes back as the same text.
        EXPECT_TRUE(q.tid != 133 || q.payload.find("f\x09-0.250000") != std::string::npos);
        if (replied.size() == sent.size()) quiet = std::min(quiet, deadline(300));
    }
    EXPECT_EQ(std::set<uint32_t>(replied.begin(), replied.end()), sent);
    EXPECT_EQ(replied.size(), sent.size());
    EXPECT_TRUE(sim.alive());
}

TEST_F(SimdProtocol, SeveralClientsShareThePlayerAndGetTheirOwnEvents) {
    Raw b(kName), watcher(kName);
    open_session(raw, 1, p);
    open_session(b, 1, p);
    ASSERT_TRUE(watcher.ask(1, 0, p));

    ASSERT_TRUE(raw.ask(2, 6, p));
    ASSERT_TRUE(b.next(p));
    EXPECT_EQ(event_name(p), "play_state_changed");
    EXPECT_EQ(serialize_get_int(serialize_hash_get(p.value(), "data")), 3);
    // The clock runs: a position event within about a second.
    EXPECT_TRUE(b.wait_event("track_position_changed", p));
    // b sees the state that a set.
    ASSERT_TRUE(b.ask(3, 18, p));
    EXPECT_EQ(int_of(p.value(), "current_play_status"), 3);
    EXPECT_GT(int_of(p.value(), "position"), 0);

    // EAP data goes back only to the client that owns the session.
    ASSERT_TRUE(raw.ask(4, 57, p, wire::s("com.kiv.echo")));
    ASSERT_TRUE(raw.wait_event("eap_session_opened", p));
    const int session = int_of(serialize_hash_get(p.value(), "data"), "session_id");
    ASSERT_GT(session, 0);
    ASSERT_TRUE(raw.ask(
        5, 58, p, wire::a({wire::i(session), wire::i(4), wire::b(std::string("\x00\x01\xFF\x7F", 4))})));
    ASSERT_TRUE(raw.wait_event("eap_data_received", p));
    serialize_value *d = serialize_hash_get(p.value(), "data");
    int32_t n = 0;
    const void *bytes = serialize_get_bytes(serialize_hash_get(d, "data"), &n);
    EXPECT_EQ(std::string(static_cast<const char *>(bytes), static_cast<size_t>(n)),
              std::string("\x00\x01\xFF\x7F", 4));
    EXPECT_EQ(int_of(d, "length"), 4);
    EXPECT_FALSE(b.wait_event("eap_data_received", p, 500));

    // The client without a session got no media events, but sees hot-plug.
    ASSERT_FALSE(watcher.next(p, 200));
    kill(sim.pid(), SIGUSR1);
    std::vector<std::string> seen;
    while (seen.size() < 5 && watcher.next(p, 2000)) seen.push_back(event_name(p));
    EXPECT_EQ(seen, (std::vector<std::string>{"disconnected_ipod", "connected_ipod", "authenticated",
                                              "mode_changed", "ipod_ready"}));
    // Sessions ended with the disconnect.
    ASSERT_TRUE(raw.ask(7, 6, p));
    EXPECT_NE(serialize_hash_get_string(p.value(), "error"), nullptr);
}

// Each kind of hostile client loses its own connection, with a log line,
// while a well-behaved client keeps being served.
TEST_F(SimdProtocol, HostileClientsAreClosedAloneWithALogLine) {
    open_session(raw, 1, p);
    uint32_t tid = 10;
    auto still_served = [&] {
        raw.send(++tid, 19);
        return raw.reply(tid, p) && serialize_type(p.value()) == SERIALIZE_INT;
    };

    struct Case {
        const char *what;
        std::string bytes;
        const char *log;
    };
    const std::string huge = kivtest::frame(1, 15, "").replace(12, 4, wire::be32(16777217));  // 16 MiB + 1
    std::vector<Case> cases = {
        {"bad marker", kivtest::frame(1, 15, "", 0x00), "malformed frame"},
        {"oversized length", huge, "oversized payload length 16777217"},
        {"unknown opcode", kivtest::frame(1, 99, ""), "unknown opcode 99"},
        {"event opcode from a client", kivtest::frame(1, 1, ""), "unknown opcode 1"},
        {"control opcode without --allow-control", kivtest::frame(1, 200, wire::s("hotplug")),
         "unknown opcode 200"},
        {"undecodable payload", kivtest::frame(1, 14, "z123"), "malformed payload"},
        {"truncated value", kivtest::frame(1, 14, wire::s("abcdefghi").substr(0, 8)), "malformed payload"},
        {"hash count beyond the data", kivtest::frame(1, 14, std::string("h\0\0\0\x04\x7F\xFF\xFF\xFF", 9)),
         "malformed payload"},
        {"trailing bytes", kivtest::frame(1, 14, wire::i(1) + "x"), "malformed payload"},
    };
    for (auto &c : cases) {
        Raw bad(kName);
        ASSERT_TRUE(bad.send_bytes(c.bytes)) << c.what;
        EXPECT_TRUE(bad.wait_closed()) << c.what;
        EXPECT_TRUE(sim.wait_log(c.log)) << c.what << "\n" << sim.log();
        EXPECT_TRUE(still_served()) << c.what;
    }
    // Garbage in a stream that began well: the good frames before it are answered.
    {
        Raw bad(kName);
        bad.send_bytes(kivtest::frame(1, 0, "") + "garbage garbage garbage");
        EXPECT_TRUE(bad.reply(1, p));
        EXPECT_TRUE(bad.wait_closed());
    }
    // Abrupt disconnects: mid-header, mid-payload, with replies unread.
    for (int k = 0; k < 3; k++) {
        Raw bad(kName);
        std::string f = kivtest::frame(1, 31, wire::i(3));
        bad.send_bytes(k == 0 ? f.substr(0, 7) : k == 1 ? f.substr(0, f.size() - 1) : f + f + f);
    }
    EXPECT_TRUE(sim.wait_log("disconnected"));
    EXPECT_TRUE(still_served());
    EXPECT_TRUE(sim.alive());
    EXPECT_EQ(sim.stop(), 0);
}
