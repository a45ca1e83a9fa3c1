// The simulator against the daemon's duties, over a raw socket: opening
// reply, one reply per request with the request's id, reply formats,
// error hashes, artwork both ways, several clients, hostile clients.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "simd_harness.h"

using namespace simdtest;
namespace wire = kivtest::wire;

namespace {

const char kName[] = "kiv.test.simd.protocol";

serialize_value *open_session(Raw &raw, uint32_t tid, Packet &reply) {
    EXPECT_TRUE(raw.send(tid, 4, wire::i(0)));
    EXPECT_TRUE(raw.reply(tid, reply));
    return reply.value();
}

// Sends one request and waits for its reply.
bool ask(Raw &raw, uint32_t tid, uint8_t op, Packet &reply, const std::string &payload = std::string()) {
    return raw.send(tid, op, payload) && raw.reply(tid, reply);
}

int32_t int_of(serialize_value *hash, const char *key) {
    return serialize_get_int(serialize_hash_get(hash, key));
}

}  // namespace

TEST(SimdProtocol, OpeningReplyAndSessionCarryTheDemoDevice) {
    Simulator sim({"--ping-interval", "0"}, kName);
    ASSERT_TRUE(sim.ready());
    Raw raw(kName);
    ASSERT_TRUE(raw.send(1, 0));
    Packet p;
    ASSERT_TRUE(raw.reply(1, p));
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
    ASSERT_TRUE(ask(raw, 2, 6, p));
    EXPECT_STREQ(serialize_hash_get_string(p.value(), "error"), "no session open");

    // A session on a device that does not exist fails; device 0 succeeds.
    ASSERT_TRUE(ask(raw, 3, 4, p, wire::i(1)));
    EXPECT_EQ(int_of(p.value(), "result"), 0);
    open_session(raw, 4, p);
    EXPECT_EQ(int_of(p.value(), "result"), 1);
    EXPECT_EQ(serialize_array_count(serialize_hash_get(p.value(), "devices")), 1);
}

// Every request opcode gets exactly one reply carrying its id, whatever the
// events and pings interleaved with the replies.
TEST(SimdProtocol, EveryRequestGetsExactlyOneReplyWithItsId) {
    Simulator sim({"--ping-interval", "0.05"}, kName);
    ASSERT_TRUE(sim.ready());
    Raw raw(kName);
    Packet p;
    open_session(raw, 1, p);
    const std::string uid = std::string("\0\0\0\0\0\0\0\0", 8);
    std::vector<std::pair<uint8_t, std::string>> requests;
    // Payloads for the opcodes that take one; the rest are sent empty.
    std::map<int, std::string> payloads;
    for (int op : {14, 17, 20, 22, 24, 25, 28, 30, 31, 35, 38, 39, 40, 42, 47, 48, 49, 50, 55})
        payloads[op] = wire::i(0);
    for (int op : {26, 27, 29, 32}) payloads[op] = wire::a({wire::i(0), wire::i(1)});
    for (int op : {43, 44}) payloads[op] = wire::a({wire::i(0), wire::i(3), wire::i(0)});
    for (int op : {46, 53}) payloads[op] = wire::b(uid);
    payloads[33] = wire::a({wire::s("check")});
    payloads[45] = wire::a({wire::i(0), wire::i(0), wire::i(2), wire::b("ab")});
    payloads[51] = wire::a({wire::i(0), wire::i(0), wire::s("0000"), wire::s("00:11")});
    payloads[52] = wire::a({wire::i(1), wire::s("X")});
    payloads[56] = wire::a({wire::s("k"), wire::s("v")});
    payloads[57] = wire::s("com.kiv.echo");
    payloads[58] = wire::a({wire::i(1), wire::i(2), wire::b("hi")});
    for (int op = 5; op <= 58; op++) requests.push_back({static_cast<uint8_t>(op), payloads[op]});
    // Session-closing request last, so that every other one runs in the session.
    std::rotate(requests.begin(), requests.begin() + 1, requests.end());
    std::string burst;
    uint32_t tid = 100;
    std::set<uint32_t> sent;
    for (auto &r : requests) {
        burst += kivtest::frame(tid, r.first, r.second);
        sent.insert(tid++);
    }
    ASSERT_TRUE(raw.send_bytes(burst));  // all at once: several frames per read
    std::multiset<uint32_t> replied;
    Packet q;
    auto end = Clock::now() + std::chrono::seconds(5);
    while (replied.size() < sent.size() && Clock::now() < end && raw.next(q, 1000)) {
        if (q.opcode == 1 || q.opcode == 54) {
            EXPECT_EQ(q.tid, 0u) << "events and pings must not take a request's id";
            continue;
        }
        replied.insert(q.tid);
    }
    // Nothing more arrives for these ids (pings keep coming, so bounded in time).
    auto quiet = Clock::now() + std::chrono::milliseconds(300);
    while (Clock::now() < quiet && raw.next(q, 100))
        if (q.opcode != 1 && q.opcode != 54) replied.insert(q.tid);
    EXPECT_EQ(std::set<uint32_t>(replied.begin(), replied.end()), sent);
    EXPECT_EQ(replied.size(), sent.size());
    EXPECT_TRUE(sim.alive());
}

// The simulator's encoder is its own; its bytes must be exactly those the
// library's encoder makes for the same value (size fields included, which
// the decoder never checks).
TEST(SimdProtocol, EncodingIsByteExact) {
    Simulator sim({"--ping-interval", "0"}, kName);
    ASSERT_TRUE(sim.ready());
    Raw raw(kName);
    Packet p;
    open_session(raw, 1, p);
    std::vector<std::pair<uint8_t, std::string>> requests = {
        {0, ""},
        {15, ""},
        {18, ""},
        {17, wire::i(8)},
        {27, wire::a({wire::i(0), wire::i(5)})},
        {43, wire::a({wire::i(0), wire::i(3), wire::i(0)})},
        {32, wire::a({wire::i(267), wire::i(-1)})},
        {42, wire::i(1)},
        {33, wire::a({wire::s("x"), wire::f(2.5)})},
        {14, wire::i(-1)}};
    ASSERT_TRUE(ask(raw, 2, 24, p, wire::i(3)));
    uint32_t tid = 10;
    for (auto &r : requests) {
        raw.send(tid, r.first, r.second);
        ASSERT_TRUE(raw.reply(tid, p)) << int(r.first);
        ASSERT_NE(p.value(), nullptr) << int(r.first);
        int32_t len = 0;
        uint8_t *again = serialize(p.value(), &len);
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(again), static_cast<size_t>(len)), p.payload)
            << "opcode " << int(r.first);
        free(again);
        tid++;
    }
    // The float the client sent comes back as the same text.
    raw.send(tid, 33, wire::a({wire::s("x"), wire::f(-0.25)}));
    ASSERT_TRUE(raw.reply(tid, p));
    EXPECT_NE(p.payload.find("f\x09-0.250000"), std::string::npos);
}

TEST(SimdProtocol, RepliesHaveTheShapesTheParsersRead) {
    Simulator sim({"--ping-interval", "0"}, kName);
    ASSERT_TRUE(sim.ready());
    Raw raw(kName);
    Packet p;
    open_session(raw, 1, p);

    ASSERT_TRUE(ask(raw, 2, 15, p));
    serialize_value *t = p.value();
    EXPECT_EQ(int_of(t, "current_track_info"), 1);
    int32_t uid_len = 0;
    serialize_get_bytes(serialize_hash_get(t, "uid"), &uid_len);
    EXPECT_EQ(uid_len, 8);
    EXPECT_GT(int_of(t, "length"), 0);

    ASSERT_TRUE(ask(raw, 3, 18, p));
    EXPECT_EQ(int_of(p.value(), "current_play_status"), 0);
    EXPECT_TRUE(serialize_hash_has_key(p.value(), "position"));

    // Records: [category, result, first, count, texts...]; artists are distinct.
    ASSERT_TRUE(ask(raw, 4, 24, p, wire::i(2)));
    int32_t artists = serialize_get_int(p.value());
    EXPECT_GE(artists, 5);
    ASSERT_TRUE(ask(raw, 5, 27, p, wire::a({wire::i(1), wire::i(3)})));
    serialize_value *a = p.value();
    ASSERT_EQ(serialize_array_count(a), 7);
    EXPECT_EQ(serialize_get_int(serialize_array_get(a, 1)), 1);
    EXPECT_EQ(serialize_get_int(serialize_array_get(a, 2)), 1);
    EXPECT_EQ(serialize_get_int(serialize_array_get(a, 3)), 3);
    std::set<std::string> names;
    for (int k = 4; k < 7; k++) names.insert(serialize_get_string(serialize_array_get(a, k)));
    EXPECT_EQ(names.size(), 3u);
    // A window past the end carries result 0 and no texts.
    ASSERT_TRUE(ask(raw, 6, 27, p, wire::a({wire::i(artists), wire::i(3)})));
    EXPECT_EQ(serialize_get_int(serialize_array_get(p.value(), 1)), 0);
    EXPECT_EQ(serialize_array_count(p.value()), 4);

    // Db track info: the marker and full 7-member track hashes.
    ASSERT_TRUE(ask(raw, 7, 43, p, wire::a({wire::i(10), wire::i(2), wire::i(0)})));
    ASSERT_EQ(serialize_hash_count(p.value()), 3);
    EXPECT_TRUE(serialize_hash_has_key(p.value(), "get_db_track_info"));
    EXPECT_EQ(serialize_hash_count(serialize_hash_get(p.value(), serialize_hash_get_key(p.value(), 1))), 7);
    ASSERT_TRUE(ask(raw, 8, 44, p, wire::a({wire::i(0), wire::i(1), wire::i(0)})));
    EXPECT_EQ(serialize_hash_count(serialize_hash_get(p.value(), serialize_hash_get_key(p.value(), 1))), 6);

    ASSERT_TRUE(ask(raw, 9, 47, p, wire::i(4)));
    EXPECT_EQ(int_of(p.value(), "major"), 1);
    ASSERT_TRUE(ask(raw, 10, 16, p));
    EXPECT_GT(int_of(p.value(), "sample_rate"), 0);

    // Invalid input gives an error hash and the connection stays usable.
    for (auto [op, payload] : std::vector<std::pair<int, std::string>>{
             {14, wire::i(-5)},
             {31, wire::i(100000)},
             {20, wire::i(7)},
             {14, wire::s("soon")},
             {58, wire::a({wire::i(99), wire::i(1), wire::b("x")})},
             {45, wire::a({wire::i(0), wire::i(0), wire::i(5), wire::b("ab")})}}) {
        raw.send(20 + op, static_cast<uint8_t>(op), payload);
        ASSERT_TRUE(raw.reply(20 + op, p)) << op;
        EXPECT_NE(serialize_hash_get_string(p.value(), "error"), nullptr) << "opcode " << op;
    }
}

// Small images inline; large ones in a file that only ever grows, so that
// a client mapping made for a larger image stays backed.
TEST(SimdProtocol, ArtworkInlineOrThroughAGrowingSharedFile) {
    char dir[] = "/tmp/simd-art.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    {
        Simulator sim({"--ping-interval", "0", "--artwork-dir", dir}, kName);
        ASSERT_TRUE(sim.ready());
        Raw raw(kName);
        Packet p;
        open_session(raw, 1, p);
        ASSERT_TRUE(ask(raw, 2, 17, p, wire::i(32)));
        int32_t len = 0;
        const void *px = serialize_get_bytes(serialize_hash_get(p.value(), "image"), &len);
        ASSERT_NE(px, nullptr);
        EXPECT_EQ(len, int_of(p.value(), "rowstride") * int_of(p.value(), "height"));
        EXPECT_GE(int_of(p.value(), "rowstride"), 2 * int_of(p.value(), "width"));
        const std::string small(static_cast<const char *>(px), static_cast<size_t>(len));

        ASSERT_TRUE(ask(raw, 3, 17, p, wire::i(200)));
        const char *path = serialize_hash_get_string(p.value(), "image_path");
        ASSERT_NE(path, nullptr);
        const std::string first_path = path;
        EXPECT_EQ(first_path.rfind(dir, 0), 0u);
        size_t big = static_cast<size_t>(int_of(p.value(), "rowstride") * int_of(p.value(), "height"));
        struct stat st;
        ASSERT_EQ(stat(path, &st), 0);
        EXPECT_EQ(static_cast<size_t>(st.st_size), big);
        EXPECT_EQ(st.st_mode & 077, 0u);

        // A smaller image later goes to the same file, at offset 0, without shrinking it.
        ASSERT_TRUE(ask(raw, 4, 17, p, wire::i(100)));
        EXPECT_EQ(first_path, serialize_hash_get_string(p.value(), "image_path"));
        size_t medium = static_cast<size_t>(int_of(p.value(), "rowstride") * int_of(p.value(), "height"));
        ASSERT_EQ(stat(first_path.c_str(), &st), 0);
        EXPECT_EQ(static_cast<size_t>(st.st_size), big);
        std::string content = read_file(first_path);
        // The 32-pixel inline image and the file's 100-pixel one are the
        // same artwork at two sizes: both start with the frame colour.
        EXPECT_EQ(content.substr(0, 2), small.substr(0, 2));
        EXPECT_LT(medium, big);

        // The file goes away with the client.
    }
    EXPECT_EQ(rmdir(dir), 0) << "artwork files left behind in " << dir;
}

TEST(SimdProtocol, SeveralClientsShareThePlayerAndGetTheirOwnEvents) {
    Simulator sim({"--ping-interval", "0"}, kName);
    ASSERT_TRUE(sim.ready());
    Raw a(kName), b(kName), watcher(kName);
    Packet p;
    open_session(a, 1, p);
    open_session(b, 1, p);
    ASSERT_TRUE(ask(watcher, 1, 0, p));

    ASSERT_TRUE(ask(a, 2, 6, p));
    ASSERT_TRUE(b.next(p));
    EXPECT_EQ(event_name(p), "play_state_changed");
    EXPECT_EQ(serialize_get_int(serialize_hash_get(p.value(), "data")), 3);
    // The clock runs: a position event within about a second.
    bool position = false;
    for (int k = 0; k < 5 && !position && b.next(p, 1500);)
        position = event_name(p) == "track_position_changed";
    EXPECT_TRUE(position);
    // b sees the state that a set.
    ASSERT_TRUE(ask(b, 3, 18, p));
    EXPECT_EQ(int_of(p.value(), "current_play_status"), 3);
    EXPECT_GT(int_of(p.value(), "position"), 0);

    // EAP data goes back only to the client that owns the session.
    ASSERT_TRUE(ask(a, 4, 57, p, wire::s("com.kiv.echo")));
    int session = -1;
    for (auto &e : a.others)
        if (event_name(e) == "eap_session_opened")
            session = int_of(serialize_hash_get(e.value(), "data"), "session_id");
    for (int k = 0; session < 0 && k < 20 && a.next(p, 1000); k++)
        if (event_name(p) == "eap_session_opened")
            session = int_of(serialize_hash_get(p.value(), "data"), "session_id");
    ASSERT_GT(session, 0);
    ASSERT_TRUE(ask(a, 5, 58, p,
                    wire::a({wire::i(session), wire::i(4), wire::b(std::string("\x00\x01\xFF\x7F", 4))})));
    bool echoed = false;
    for (int k = 0; k < 20 && !echoed && a.next(p, 1000); k++) {
        if (event_name(p) != "eap_data_received") continue;
        serialize_value *d = serialize_hash_get(p.value(), "data");
        int32_t n = 0;
        const void *bytes = serialize_get_bytes(serialize_hash_get(d, "data"), &n);
        EXPECT_EQ(std::string(static_cast<const char *>(bytes), static_cast<size_t>(n)),
                  std::string("\x00\x01\xFF\x7F", 4));
        EXPECT_EQ(int_of(d, "length"), 4);
        echoed = true;
    }
    EXPECT_TRUE(echoed);
    b.others.clear();
    ASSERT_TRUE(ask(b, 6, 19, p));
    for (int k = 0; k < 10 && b.next(p, 300); k++) b.others.push_back(p);
    for (auto &e : b.others) EXPECT_NE(event_name(e), "eap_data_received");

    // The client without a session got no media events, but sees hot-plug.
    ASSERT_FALSE(watcher.next(p, 200));
    kill(sim.pid(), SIGUSR1);
    std::vector<std::string> seen;
    while (seen.size() < 5 && watcher.next(p, 2000)) seen.push_back(event_name(p));
    EXPECT_EQ(seen, (std::vector<std::string>{"disconnected_ipod", "connected_ipod", "authenticated",
                                              "mode_changed", "ipod_ready"}));
    // Sessions ended with the disconnect.
    ASSERT_TRUE(ask(a, 7, 6, p));
    EXPECT_NE(serialize_hash_get_string(p.value(), "error"), nullptr);
}

// Each kind of hostile client loses its own connection, with a log line,
// while a well-behaved client keeps being served.
TEST(SimdProtocol, HostileClientsAreClosedAloneWithALogLine) {
    Simulator sim({"--ping-interval", "0"}, kName);
    ASSERT_TRUE(sim.ready());
    Raw good(kName);
    Packet p;
    open_session(good, 1, p);
    uint32_t tid = 10;
    auto still_served = [&] {
        good.send(++tid, 19);
        return good.reply(tid, p) && serialize_type(p.value()) == SERIALIZE_INT;
    };

    struct Case {
        const char *what;
        std::string bytes;
        const char *log;
    };
    std::string huge = kivtest::frame(1, 15, "");
    huge[12] = 0x01;  // 16 MiB + ...
    huge[13] = 0x00;
    huge[14] = 0x00;
    huge[15] = 0x01;
    std::vector<Case> cases = {
        {"bad marker", kivtest::frame(1, 15, "", 0x00), "malformed frame"},
        {"oversized length", huge, "oversized payload length 16777217"},
        {"unknown opcode", kivtest::frame(1, 99, ""), "unknown opcode 99"},
        {"event opcode from a client", kivtest::frame(1, 1, ""), "unknown opcode 1"},
        {"control opcode without --allow-control", kivtest::frame(1, 200, wire::s("hotplug")),
         "unknown opcode 200"},
        {"undecodable payload", kivtest::frame(1, 14, "z123"), "malformed payload"},
        {"truncated value",
         kivtest::frame(1, 14,
                        std::string("s\0\0\0\x09"
                                    "abc",
                                    8)),
         "malformed payload"},
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

TEST(SimdProtocol, ClientLimitAndQuietLog) {
    Simulator sim({"--ping-interval", "0", "--max-clients", "2", "--quiet"}, kName);
    ASSERT_TRUE(sim.ready());
    // Connects until served: the simulator may not yet have seen earlier
    // connections (the harness's readiness probe) go away.
    auto served_client = [] {
        for (int k = 0; k < 50; k++) {
            auto r = std::make_unique<Raw>(kName);
            Packet q;
            r->send(1, 0);
            if (r->reply(1, q, 200)) return r;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return std::unique_ptr<Raw>();
    };
    auto a = served_client();
    auto b = served_client();
    ASSERT_TRUE(a && b);
    {
        Raw third(kName);
        third.send(1, 0);
        EXPECT_TRUE(third.wait_closed());
    }
    // A place frees up when a client leaves.
    a.reset();
    EXPECT_TRUE(served_client() != nullptr);
    EXPECT_TRUE(sim.alive());
    EXPECT_EQ(sim.log(), "");  // --quiet: nothing logged, refusals included
}
