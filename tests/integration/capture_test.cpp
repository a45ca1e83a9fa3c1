// Packet capture: a scripted session against the simulator, captured by the
// library (KIV_IPOD_CAPTURE) and by the simulator (--capture), must hold the
// same frames; the Wireshark dissector and `kiv-ipod dump` must decode every
// frame of both files, and report broken files instead of failing.
#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>

#include "log_capture.h"
#include "simd_harness.h"

using namespace simdtest;

namespace {

// The 32-bit number at `at`: little-endian (capture headers) or big-endian (frames).
uint32_t u32(const std::string &s, size_t at, bool big = false) {
    return kivtest::u32_at(s, at, big);
}

struct Record {
    int direction;
    uint32_t connection;
    std::string frame;
    uint32_t tid() const { return u32(frame, 4, true); }
    int opcode() const { return uint8_t(frame[8]); }
};

// The test's own reader of the capture layout (pcap, link type 147, 8-byte
// pseudo-header); fails the test on anything else.
std::vector<Record> read_capture(const std::string &path) {
    std::string s = read_file(path);
    std::vector<Record> out;
    EXPECT_GE(s.size(), 24u) << path;
    if (s.size() < 24) return out;
    EXPECT_EQ(u32(s, 0), 0xA1B2C3D4u);
    EXPECT_EQ(u32(s, 20), 147u);
    for (size_t at = 24; at < s.size();) {
        EXPECT_LE(at + 16, s.size()) << path;
        if (at + 16 > s.size()) break;
        uint32_t kept = u32(s, at + 8);
        EXPECT_EQ(kept, u32(s, at + 12)) << "no frame of this session is cut";
        EXPECT_LE(at + 16 + kept, s.size()) << path;
        if (at + 16 + kept > s.size() || kept < 8 + 16) break;
        std::string body = s.substr(at + 16, kept);
        Record r{uint8_t(body[0]), u32(body, 4, true), body.substr(8)};
        EXPECT_EQ(uint8_t(r.frame[0]), 0xFE);
        out.push_back(r);
        at += 16 + kept;
    }
    return out;
}

std::vector<std::string> frames(const std::vector<Record> &records, int direction) {
    std::vector<std::string> out;
    for (const auto &r : records)
        if (r.direction == direction) out.push_back(r.frame);
    return out;
}

// Each record as "direction,tid,opcode", as the tools print them.
std::vector<std::string> keys(const std::vector<Record> &records) {
    std::vector<std::string> out;
    for (const auto &r : records)
        out.push_back(std::to_string(r.direction) + "," + std::to_string(r.tid()) + "," +
                      std::to_string(r.opcode()));
    return out;
}

// Runs a shell command; its exit code and everything it printed.
simdtest::Run shell(const std::string &command) {
    simdtest::Run r;
    FILE *p = popen((command + " 2>&1").c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int status = pclose(p);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// A tshark command with the dissector that reads `path`. As root, tshark
// loads Lua scripts only where init.lua allows it, so it runs as nobody on
// world-readable copies of the script and the capture instead.
std::string tshark(const std::string &args, const std::string &path) {
    const std::string self = __FILE__;
    const std::string lua = self.substr(0, self.rfind("/tests/")) + "/tools/wireshark/kiv_ipod.lua";
    if (geteuid() != 0 || shell("setpriv --version").code != 0)
        return "tshark -n -X lua_script:" + lua + " " + args + " -r " + path;
    std::string dir = path.substr(0, path.rfind('/'));
    shell("chmod 0755 " + dir + " && cp " + lua + " " + dir + "/dissector.lua && cp " + path + " " + dir +
          "/tshark-input && chmod 0644 " + dir + "/dissector.lua " + dir + "/tshark-input");
    return "setpriv --reuid=65534 --regid=65534 --clear-groups env HOME=/tmp tshark -n -X lua_script:" + dir +
           "/dissector.lua " + args + " -r " + dir + "/tshark-input";
}

// The names in a directory; a directory that cannot be read fails the test.
std::vector<std::string> list_dir(const std::string &path) {
    std::vector<std::string> names;
    DIR *d = opendir(path.c_str());
    EXPECT_NE(d, nullptr) << path << ": " << strerror(errno);
    if (!d) return names;
    errno = 0;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] != '.') names.push_back(e->d_name);
        errno = 0;
    }
    EXPECT_EQ(errno, 0) << path << ": " << strerror(errno);
    closedir(d);
    return names;
}

// "hello from the demo", the EAP datagram, as it shows in hex.
const char kHelloHex[] = "68656c6c6f2066726f6d207468652064656d6f";

// The demo's commands, on one connection.
const char kScript[] =
    "devices\nstatus\ntracks --category artist --count 5\ntracks --category album --select artist=0\n"
    "track 266\nplay\nwatch 1.5\npause\nnext\nstatus\nartwork\nartwork --size 48\n"
    "eap send com.kiv.echo \"hello from the demo\"\nping\n";

struct Session {
    std::string dir, lib, simd;
};

// Captures the scripted session on both sides once for every test here.
const Session &session() {
    static Session s;
    if (!s.dir.empty()) return s;
    char tmpl[] = "/tmp/capture-test.XXXXXX";
    s.dir = mkdtemp(tmpl);
    chmod(s.dir.c_str(), 0755);  // tshark may run as nobody (see tshark())
    atexit([] { shell("rm -rf " + s.dir); });
    s.simd = s.dir + "/simd.pcap";
    mkdir((s.dir + "/lib").c_str(), 0700);
    Simulator sim({"--capture", s.simd, "--ping-interval", "0.5"});
    EXPECT_TRUE(sim.ready()) << sim.log();
    setenv("KIV_IPOD_CAPTURE", (s.dir + "/lib").c_str(), 1);
    simdtest::Run run = run_cli({"script", "-"}, kScript);
    unsetenv("KIV_IPOD_CAPTURE");
    EXPECT_EQ(run.code, 0) << run.out << run.err;
    // The simulator has read everything the client wrote once it has seen
    // the script's connection close (the readiness probe's was the first).
    EXPECT_TRUE(wait_until(
        [&] {
            const std::string log = sim.log();
            size_t first = log.find("connection closed");
            return first != std::string::npos &&
                   log.find("connection closed", first + 1) != std::string::npos;
        },
        10000))
        << sim.log();
    sim.stop();
    const std::vector<std::string> names = list_dir(s.dir + "/lib");
    EXPECT_EQ(names.size(), 1u) << "one file in the capture directory";
    s.lib = s.dir + "/lib/" + (names.empty() ? std::string() : names[0]);
    return s;
}

}  // namespace

TEST(Capture, BothSidesHoldTheSameFramesAndTheToolsDecodeThem) {
    if (!tool_exists("kiv-ipod")) GTEST_SKIP() << "kiv-ipod not built (CLI11 missing)";
    const Session &s = session();
    struct stat st;
    ASSERT_EQ(stat(s.lib.c_str(), &st), 0) << "one file in the capture directory: " << s.lib;
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(s.lib.find("kiv-ipod-"), s.lib.rfind('/') + 1) << s.lib;
    std::vector<Record> lib = read_capture(s.lib), simd = read_capture(s.simd);

    // The simulator numbers its connections; the script's is the one that
    // carried frames (the harness's readiness probe sent none).
    std::map<uint32_t, std::vector<Record>> by_connection;
    for (const auto &r : simd) by_connection[r.connection].push_back(r);
    ASSERT_EQ(by_connection.size(), 1u);
    const std::vector<Record> &one = by_connection.begin()->second;
    // Everything the client sent reached the simulator. What the simulator
    // sent reached the client, in order, except what was still on its way
    // when the script ended: pings and events only.
    EXPECT_EQ(frames(lib, 0), frames(one, 0));
    const std::vector<std::string> received = frames(lib, 1), sent = frames(one, 1);
    ASSERT_LE(received.size(), sent.size());
    EXPECT_TRUE(std::equal(received.begin(), received.end(), sent.begin()));
    for (size_t k = received.size(); k < sent.size(); k++)
        EXPECT_TRUE(sent[k][8] == 54 || sent[k][8] == 1) << int(uint8_t(sent[k][8]));

    // What the script did: every request id once, in order, from 1; each
    // answered; an EAP datagram, events and pings among the inbound frames.
    std::vector<uint32_t> tids;
    std::map<int, int> inbound_opcodes;
    for (const auto &r : lib) {
        if (r.direction == 0) tids.push_back(r.tid());
        if (r.direction == 1) inbound_opcodes[r.opcode()]++;
    }
    for (size_t k = 0; k < tids.size(); k++) EXPECT_EQ(tids[k], k + 1);
    EXPECT_GT(inbound_opcodes[1], 3) << "events";
    EXPECT_GT(inbound_opcodes[54], 0) << "pings";
    EXPECT_EQ(lib.front().opcode(), 0);

    // kiv-ipod dump: one JSON object per frame, the same ids and opcodes.
    // Each file in its own arrival order (the two sides interleave the
    // directions differently).
    const std::pair<std::string, const std::vector<Record> *> files[] = {{s.lib, &lib}, {s.simd, &one}};
    for (const auto &[path, records] : files) {
        simdtest::Run dump = run_cli({"--json", "dump", path});
        ASSERT_EQ(dump.code, 0) << dump.err;
        std::vector<std::string> seen;
        std::string line;
        for (std::istringstream lines(dump.out); std::getline(lines, line);) {
            auto o = nlohmann::json::parse(line);
            const char *direction = o["direction"] == "to_daemon"     ? "0"
                                    : o["direction"] == "from_daemon" ? "1"
                                                                      : "?";
            seen.push_back(direction + ("," + o["tid"].dump()) + "," + o["opcode"].dump());
            EXPECT_FALSE(o.contains("problems")) << line;
        }
        EXPECT_EQ(seen, keys(*records));
        EXPECT_NE(dump.out.find(kHelloHex), std::string::npos);
        simdtest::Run text = run_cli({"dump", "-v", path});
        EXPECT_NE(text.out.find("event track_position_changed"), std::string::npos) << text.out;
        EXPECT_NE(text.out.find("name: string \"Demo iPod\""), std::string::npos);
    }

    if (shell("tshark --version").code != 0) GTEST_SKIP() << "tshark not installed";
    ASSERT_NE(shell(tshark("-c 1 -T fields -e kiv_ipod.tid", s.lib)).out.find("1\n"), std::string::npos)
        << "tshark did not load the dissector";
    for (const auto &[path, records] : files) {
        simdtest::Run all = shell(tshark("-2 -V", path));
        ASSERT_EQ(all.code, 0) << all.out;
        for (const char *bad : {"Lua Error", "Malformed", "Expert Info (Error", "Expert Info (Warn"})
            EXPECT_EQ(all.out.find(bad), std::string::npos) << bad << "\n" << all.out.substr(0, 4000);
        EXPECT_NE(all.out.find("string \"Demo iPod\""), std::string::npos);
        std::string lower = all.out;
        for (auto &ch : lower) ch = static_cast<char>(tolower(ch));
        EXPECT_NE(lower.find(kHelloHex), std::string::npos);
        simdtest::Run fields =
            shell(tshark("-2 -T fields -E separator=, -e kiv_ipod.direction -e kiv_ipod.tid"
                         " -e kiv_ipod.opcode -e kiv_ipod.event -e kiv_ipod.response_in",
                         path));
        std::vector<std::string> seen;
        int unanswered = 0;
        std::string line;
        for (std::istringstream lines(fields.out); std::getline(lines, line);) {
            if (line.rfind("Running as", 0) == 0) continue;
            std::istringstream cells(line);  // direction,tid,opcode,event,response_in
            std::vector<std::string> f;
            for (std::string cell; std::getline(cells, cell, ',');) f.push_back(cell);
            f.resize(5);
            seen.push_back(f[0] + "," + f[1] + "," + f[2]);
            if (f[0] == "1" && f[2] == "1") {
                EXPECT_NE(f[3], "") << "event name: " << line;
            }
            if (f[0] == "0" && f[4].empty()) unanswered++;
        }
        EXPECT_EQ(seen, keys(*records));
        EXPECT_EQ(unanswered, 0) << "every request links to its reply";
    }
}

TEST(Capture, BrokenFilesAreReportedNotFatal) {
    if (!tool_exists("kiv-ipod")) GTEST_SKIP() << "kiv-ipod not built (CLI11 missing)";
    const Session &s = session();
    std::string good = read_file(s.lib);
    ASSERT_GT(good.size(), 200u);
    auto write = [&](const std::string &name, const std::string &bytes) {
        std::string path = s.dir + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    };
    // Hand-broken frames: the first record's marker, the second's length
    // (past the frame), and the first payload byte (its type letter) of
    // the next record that has a payload. A record: 16 bytes of header,
    // 8 of pseudo-header, then the frame (its payload length at 12).
    std::vector<size_t> at;
    for (size_t pos = 24; pos + 16 <= good.size(); pos += 16 + u32(good, pos + 8)) at.push_back(pos);
    ASSERT_GE(at.size(), 3u);
    size_t with_payload = 2;
    while (with_payload < at.size() && u32(good, at[with_payload] + 16 + 8 + 12, true) == 0) with_payload++;
    ASSERT_LT(with_payload, at.size());
    std::string broken = good;
    broken[at[0] + 16 + 8] = 'X';                  // marker
    broken[at[1] + 16 + 8 + 12] = '\x7f';          // payload length
    broken[at[with_payload] + 16 + 8 + 16] = 'Z';  // type letter
    std::string path = write("broken.pcap", broken);
    simdtest::Run dump = run_cli({"dump", path});
    EXPECT_EQ(dump.code, 0) << dump.err;
    for (const char *fault : {"wrong marker 0x58", "past the frame", "undecodable value"})
        EXPECT_NE(dump.out.find(fault), std::string::npos) << fault << "\n" << dump.out;

    // A file cut inside a record, or not a capture at all: exit 2 and why.
    for (const auto &bad :
         {std::make_pair(std::string("cut.pcap"), good.substr(0, good.size() - 3)),
          std::make_pair(std::string("foreign.pcap"), std::string("#!/bin/sh\necho not a capture\n")),
          std::make_pair(std::string("other.pcap"), good.substr(0, 20) + std::string("\x01\0\0\0", 4))}) {
        simdtest::Run r = run_cli({"dump", write(bad.first, bad.second)});
        EXPECT_EQ(r.code, 2) << bad.first;
        EXPECT_NE(r.err.find(bad.first + ": "), std::string::npos) << r.err;
    }

    if (shell("tshark --version").code != 0) GTEST_SKIP() << "tshark not installed";
    simdtest::Run ts = shell(tshark("-V", path));
    EXPECT_EQ(ts.out.find("Lua Error"), std::string::npos) << ts.out;
    for (const char *expert : {"Wrong marker", "past the end of the frame", "Undecodable value"})
        EXPECT_NE(ts.out.find(expert), std::string::npos) << expert << "\n" << ts.out.substr(0, 3000);
}

TEST(Capture, UnsafeOrUnwritableTargetLeavesTheConnectionWorking) {
    Simulator sim({"--ping-interval", "0"});
    ASSERT_TRUE(sim.ready());
    TempDir tmp;
    const std::string &dir = tmp.path;
    std::string existing = dir + "/existing", link = dir + "/link", target = dir + "/target";
    std::ofstream(existing) << "keep";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    for (const std::string &path : {existing, link, dir + "/missing/file"}) {
        kivtest::log_clear();
        setenv("KIV_IPOD_CAPTURE", path.c_str(), 1);
        kiv_ipod_client *c = kiv_ipod_connect();
        unsetenv("KIV_IPOD_CAPTURE");
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(kivtest::log_count_containing("capture: cannot create"), 1) << path;
        EXPECT_GE(kiv_ipod_open_session_sync(c, 0), 0);
        kiv_ipod_close(c);
    }
    EXPECT_EQ(read_file(existing), "keep");
    EXPECT_NE(access(target.c_str(), F_OK), 0) << "nothing written through the link";
}
