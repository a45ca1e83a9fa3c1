// kiv-ipod-simd --replay: a client session recorded against the simulator
// and played back to the same script gives the client the same output; a
// changed script is named where it leaves the recording; the connection
// asked for is the one replayed; ping answers never diverge; files that
// are not whole captures are refused with dump's reason.
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "simd_harness.h"

using namespace simdtest;

namespace {

const char kScript[] = "status\nshuffle on\nrepeat all\ntrack 3\nstatus\n";

// The client running `script` on `socket`, its frames captured into
// `capture` when that is not empty.
simdtest::Run client(const std::string &socket, const std::string &script, const std::string &capture = "") {
    if (!capture.empty()) setenv("KIV_IPOD_CAPTURE", capture.c_str(), 1);
    simdtest::Run r = run_cli({"--socket", socket, "script", "-"}, script);
    unsetenv("KIV_IPOD_CAPTURE");
    return r;
}

// A replaying simulator; finish() waits for its exit.
struct Replay {
    FILE *err = tmpfile();
    pid_t pid;
    explicit Replay(const std::string &socket, std::vector<std::string> args) {
        args.insert(args.begin(), {"--socket", socket});
        pid = spawn("kiv-ipod-simd", args, -1, -1, fileno(err));
        // A connection that closes before its first frame is not replayed to.
        EXPECT_TRUE(wait_until([&] {
            int fd = kivtest::connect_abstract(socket);
            if (fd >= 0) close(fd);
            return fd >= 0;
        }));
    }
    ~Replay() { fclose(err); }
    simdtest::Run finish(int timeout_ms = 20000) {
        simdtest::Run r;
        r.code = wait_exit(pid, timeout_ms);
        r.err = read_file(err);
        return r;
    }
};

// Records kScript against the simulator into `path`; its output.
std::string record(const std::string &path) {
    Simulator sim({"--ping-interval", "0"}, "replay.live");
    simdtest::Run live = client("replay.live", kScript, path);
    EXPECT_EQ(live.code, 0) << live.err;
    return live.out;
}

}  // namespace

TEST(SimdReplay, SameScriptSameOutputAtEverySpeed) {
    if (!tool_exists("kiv-ipod")) GTEST_SKIP() << "kiv-ipod not built (CLI11 missing)";
    TempDir dir;
    const std::string cap = dir.path + "/cap.pcap", live = record(cap);
    ASSERT_FALSE(live.empty());
    for (const char *speed : {"0", "1", "3.5"}) {
        SCOPED_TRACE(speed);
        Replay rep("replay.rep", {"--replay", cap, "--speed", speed});
        simdtest::Run out = client("replay.rep", kScript);
        simdtest::Run r = rep.finish();
        EXPECT_EQ(out.code, 0) << out.err;
        EXPECT_EQ(out.out, live);
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_NE(r.err.find("requests matched, 0 recorded frames skipped, 0 divergences"), std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("replay complete"), std::string::npos) << r.err;
    }
}

// A script that leaves the recording, or a client that leaves it early:
// the replay fails and names where.
TEST(SimdReplay, ChangedScriptNamesTheRequestThatDiverges) {
    if (!tool_exists("kiv-ipod")) GTEST_SKIP() << "kiv-ipod not built (CLI11 missing)";
    TempDir dir;
    const std::string cap = dir.path + "/cap.pcap";
    record(cap);
    struct Case {
        const char *script;
        bool lenient;
        std::vector<std::string> named;  // in the report, in this order
        int client_code;
    } cases[] = {
        // Same request, another payload: the two values side by side.
        {"status\nshuffle on\nrepeat one\ntrack 3\nstatus\n",
         false,
         {"the request's payload differs", "(request 8 of ", "set_repeat 2", "| ", "set_repeat 1",
          "incomplete"},
         3},
        // Another request than the recorded one.
        {"status\nnext\nrepeat all\ntrack 3\nstatus\n",
         false,
         {"another request than the recorded one", "(request 7 of ", "set_shuffle", "| ", "next_track"},
         3},
        // Lenient: the payload's divergence is reported, the replay goes on.
        {"status\nshuffle on\nrepeat one\ntrack 3\nstatus\n",
         true,
         {"set_repeat 1", "0 recorded frames skipped, 1 divergences", "played to the end, with divergences"},
         0},
        // Lenient: skipped ahead to the next recorded request of the opcode.
        {"status\ntrack 3\nstatus\n",
         true,
         {"indexed_track_info", "4 recorded frames skipped", "with divergences"},
         0},
        // Past the end of the recording.
        {"status\nshuffle on\nrepeat all\ntrack 3\nstatus\nnext\n", false, {"past the end of"}, 3},
        // A client that leaves early, its own run a success: the replay
        // ends incomplete, and says why.
        {"status\n", false, {"incomplete: stopped at record", "the client closed the connection"}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.script);
        std::vector<std::string> args{"--replay", cap, "--speed", "0"};
        if (c.lenient) args.push_back("--replay-lenient");
        Replay rep("replay.rep", args);
        simdtest::Run out = client("replay.rep", c.script);
        simdtest::Run r = rep.finish();
        EXPECT_EQ(r.code, 1) << r.err;
        EXPECT_EQ(out.code, c.client_code) << out.err;
        size_t at = 0;
        for (const auto &n : c.named) {
            at = r.err.find(n, at);
            ASSERT_NE(at, std::string::npos) << "no '" << n << "' in order in\n" << r.err;
        }
    }
}

// The simulator's capture numbers its clients: the one asked for is served.
TEST(SimdReplay, ConnectionAskedForIsReplayed) {
    if (!tool_exists("kiv-ipod")) GTEST_SKIP() << "kiv-ipod not built (CLI11 missing)";
    TempDir dir;
    const std::string cap = dir.path + "/sim.pcap";
    const std::string first = "status\n", second = "track 5\nshuffle on\n";
    std::string second_out;
    {
        Simulator sim({"--ping-interval", "0", "--capture", cap}, "replay.live");
        ASSERT_EQ(client("replay.live", first).code, 0);
        simdtest::Run b = client("replay.live", second);
        ASSERT_EQ(b.code, 0) << b.err;
        second_out = b.out;
    }
    std::vector<uint32_t> connections;
    simdtest::Run dump = run_cli({"--json", "dump", cap});
    ASSERT_EQ(dump.code, 0) << dump.err;
    std::istringstream lines(dump.out);
    for (std::string l; std::getline(lines, l);) {
        uint32_t c = nlohmann::json::parse(l)["connection"];
        if (std::find(connections.begin(), connections.end(), c) == connections.end())
            connections.push_back(c);
    }
    ASSERT_EQ(connections.size(), 2u);
    {
        Replay rep("replay.rep",
                   {"--replay", cap, "--connection", std::to_string(connections[1]), "--speed", "0"});
        simdtest::Run out = client("replay.rep", second);
        simdtest::Run r = rep.finish();
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(out.out, second_out);
        EXPECT_NE(r.err.find("connection #" + std::to_string(connections[1])), std::string::npos) << r.err;
    }
    {  // By default the first: the second script leaves it.
        Replay rep("replay.rep", {"--replay", cap, "--speed", "0"});
        client("replay.rep", second);
        simdtest::Run r = rep.finish();
        EXPECT_EQ(r.code, 1) << r.err;
        EXPECT_NE(r.err.find("connection #" + std::to_string(connections[0])), std::string::npos) << r.err;
    }
}

namespace {

std::string le32(uint32_t v) {
    std::string s;
    for (int k = 0; k < 4; k++) s += static_cast<char>(v >> (8 * k));
    return s;
}

std::string pcap_header(uint32_t link = 147) {
    return le32(0xA1B2C3D4u) + std::string("\x02\x00\x04\x00", 4) + le32(0) + le32(0) + le32(256 * 1024) +
           le32(link);
}

// One record at `ms` milliseconds: direction, connection 0, the frame.
std::string record_of(int direction, uint32_t ms, const std::string &frame) {
    std::string body = std::string(1, static_cast<char>(direction)) + std::string(7, '\0') + frame;
    const uint32_t n = static_cast<uint32_t>(body.size());
    return le32(1000 + ms / 1000) + le32(ms % 1000 * 1000) + le32(n) + le32(n) + body;
}

}  // namespace

// A recorded ping answer that does not come is skipped, an extra one is
// accepted: neither is a divergence.
TEST(SimdReplay, PingAnswersNeverDiverge) {
    TempDir dir;
    const std::string reply19 =
        "i\x01"
        "4";
    std::string file =
        pcap_header() + record_of(0, 0, kivtest::frame(1, 19, "")) +
        record_of(1, 1, kivtest::frame(1, 19, reply19)) + record_of(1, 50, kivtest::frame(0, 54, "")) +
        record_of(0, 51, kivtest::frame(9, 54, "")) +
        record_of(1, 52,
                  kivtest::frame(9, 0,
                                 "i\x01"
                                 "0")) +
        record_of(0, 60, kivtest::frame(2, 19, "")) + record_of(1, 61, kivtest::frame(2, 19, reply19));
    const std::string cap = dir.file("ping.pcap", file);
    Replay rep("replay.rep", {"--replay", cap});
    {
        Raw raw("replay.rep");
        Packet p;
        ASSERT_TRUE(raw.ask(100, 19, p));
        EXPECT_EQ(p.payload, reply19);
        ASSERT_TRUE(raw.next(p));  // the recorded ping, about 50 ms later
        EXPECT_EQ(p.opcode, 54);
        // Not answered; an extra answer later instead, then the next request.
        ASSERT_TRUE(raw.ask(101, 19, p));
        EXPECT_EQ(p.tid, 101u);
        ASSERT_TRUE(raw.send(102, 54));
    }
    simdtest::Run r = rep.finish();
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("ping answers: 0 matched, 1 missing, 1 extra"), std::string::npos) << r.err;
}

// Files that are not whole captures: exit 2 with the reason dump gives.
TEST(SimdReplay, FilesThatCannotBeReplayedAreRefused) {
    TempDir dir;
    const std::string one = record_of(0, 0, kivtest::frame(1, 19, ""));
    std::string impossible = pcap_header() + one;
    impossible.replace(24 + 8, 4, le32(0x7FFFFFFFu));
    struct Case {
        const char *name;
        std::string content;
        const char *reason;
        bool dump_agrees;
    } cases[] = {
        {"truncated", pcap_header() + one.substr(0, one.size() - 3), "ends inside record 1", true},
        {"header", pcap_header() + one.substr(0, 9), "ends inside the header of record 1", true},
        {"foreign", "GIF89a and so on, not a capture at all", "not a capture file (no pcap header)", true},
        {"short", "\xd4\xc3\xb2", "not a capture file (too short)", true},
        {"link", pcap_header(1) + one, "not a kiv-ipod capture (link type 1", true},
        {"impossible", impossible, "record 1 has an impossible length 2147483647", true},
        {"empty", pcap_header(), "holds no frames", false},
        {"headless", pcap_header() + record_of(0, 0, std::string("\xfe\0\0", 3)),
         "record 1 holds a frame shorter than its 16-byte header", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file(c.name, c.content);
        simdtest::Run r = run_tool("kiv-ipod-simd", {"--socket", "replay.bad", "--replay", path}, "", 10000);
        EXPECT_EQ(r.code, 2);
        EXPECT_NE(r.err.find(path + ": " + c.reason), std::string::npos) << r.err;
        if (!c.dump_agrees) continue;
        simdtest::Run d = run_cli({"dump", path});
        EXPECT_EQ(d.code, 2);
        EXPECT_NE(d.err.find(path + ": " + c.reason), std::string::npos) << d.err;
    }
    simdtest::Run r = run_tool("kiv-ipod-simd", {"--replay", dir.path}, "", 10000);
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("is a directory"), std::string::npos) << r.err;
}
