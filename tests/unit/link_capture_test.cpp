// The capture writer behind KIV_IPOD_CAPTURE, on a wired handle: frames of
// every size (in the buffer, past it, past the record limit, an oversize
// header that ends the connection) are recorded exactly, and a file that
// stops taking writes turns the capture off once without touching the
// connection.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fake_daemon.h"
#include "internal.h"
#include "link/capture.h"
#include "log_capture.h"
#include "wired_test.h"

namespace {

using kivtest::frame;

struct Rec {
    int direction;
    uint32_t original;  // frame bytes on the wire
    std::string kept;   // frame bytes in the file
};

uint32_t le32(const std::string &s, size_t at) {
    return uint8_t(s[at]) | (uint32_t(uint8_t(s[at + 1])) << 8) | (uint32_t(uint8_t(s[at + 2])) << 16) |
           (uint32_t(uint8_t(s[at + 3])) << 24);
}

std::vector<Rec> records(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    std::string s = ss.str();
    std::vector<Rec> out;
    for (size_t at = 24; at + 16 <= s.size();) {
        uint32_t kept = le32(s, at + 8);
        if (at + 16 + kept > s.size()) break;
        out.push_back({uint8_t(s[at + 16]), le32(s, at + 12) - 8, s.substr(at + 24, kept - 8)});
        at += 16 + kept;
    }
    return out;
}

class CaptureTest : public kivtest::WiredTest {
protected:
    void SetUp() override {
        WiredTest::SetUp();
        char tmpl[] = "/tmp/link-capture.XXXXXX";
        dir = mkdtemp(tmpl);
        path = dir + "/c.pcap";
        client->capture = kiv_capture_open(path.c_str());
        ASSERT_NE(client->capture, nullptr);
    }
    void TearDown() override {
        WiredTest::TearDown();
        for (const std::string &name : names()) unlink((dir + "/" + name).c_str());
        rmdir(dir.c_str());
    }
    std::vector<std::string> names() {
        std::vector<std::string> out;
        DIR *d = opendir(dir.c_str());
        for (dirent *e; d && (e = readdir(d));)
            if (e->d_name[0] != '.') out.push_back(e->d_name);
        if (d) closedir(d);
        return out;
    }
    // Writes `bytes` as the daemon (from a thread: they may exceed the
    // socket buffer) while the handle reads `packets` packets.
    void deliver(const std::string &bytes, int packets) {
        std::thread writer([&] { kivtest::write_all(peer, bytes.data(), bytes.size()); });
        for (int got = 0; got < packets;) {
            int32_t n = ipod_read_packets(client);
            if (n < 0) break;
            got += n;
        }
        writer.join();
    }
    std::string dir, path;
};

TEST_F(CaptureTest, EveryFrameIsRecordedExactlyWhateverItsSize) {
    // Outbound: no payload, and a payload sent in a second write.
    std::string sent[2] = {std::string(16, '\0'), std::string(16 + 10005, '\0')};
    ipod_packet requests[2] = {};
    requests[0].opcode = 6;
    requests[1].opcode = 58;
    requests[1].payload = serialize_bytes(std::string(10000, 'q').data(), 10000);
    for (int k = 0; k < 2; k++) {
        std::thread reader([&] { kivtest::read_all(peer, &sent[k][0], sent[k].size()); });
        ASSERT_GT(ipod_send(client, &requests[k]), 0);
        reader.join();
    }
    serialize_free(static_cast<serialize_value *>(requests[1].payload));

    // Inbound: sizes around the buffer and the record limit, in one stream.
    std::vector<std::string> inbound;
    for (size_t size : {size_t(0), size_t(100), size_t(KIV_CAPTURE_BUFFER), size_t(300 * 1024)})
        inbound.push_back(frame(0, 1, std::string(size, 'x')));
    std::string stream;
    for (auto &f : inbound) stream += f;
    deliver(stream, static_cast<int>(inbound.size()));
    // A header over the payload limit ends the connection; it is recorded.
    std::string oversize = frame(9, 15, "").substr(0, 12) + std::string("\x7f\0\0\0", 4);
    ASSERT_TRUE(kivtest::write_all(peer, oversize.data(), oversize.size()));
    EXPECT_LT(ipod_read_packets(client), 0);

    kiv_capture_close(client->capture);
    client->capture = nullptr;
    std::vector<Rec> got = records(path);
    ASSERT_EQ(got.size(), 2 + inbound.size() + 1);
    for (int k = 0; k < 2; k++) {
        EXPECT_EQ(got[k].direction, KIV_CAPTURE_TO_DAEMON);
        EXPECT_EQ(got[k].kept, sent[k]);
    }
    for (size_t k = 0; k < inbound.size(); k++) {
        const Rec &r = got[2 + k];
        EXPECT_EQ(r.direction, KIV_CAPTURE_FROM_DAEMON);
        EXPECT_EQ(r.original, inbound[k].size()) << k;
        EXPECT_EQ(r.kept, inbound[k].substr(0, KIV_CAPTURE_SNAPLEN - KIV_CAPTURE_PSEUDO_HEADER)) << k;
    }
    EXPECT_EQ(got.back().kept, oversize);
}

TEST_F(CaptureTest, AFailingFileTurnsCaptureOffOnceAndTheConnectionGoesOn) {
    // The capture's descriptor is the one open on the file: point it at a
    // device where every write fails.
    int capture_fd = -1;
    for (int fd = 3; fd < 1024 && capture_fd < 0; fd++) {
        char link[64], target[PATH_MAX] = {};
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        if (readlink(link, target, sizeof target - 1) > 0 && path == target) capture_fd = fd;
    }
    ASSERT_GE(capture_fd, 0);
    int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    dup2(full, capture_fd);
    close(full);

    kivtest::log_clear();
    std::string stream;
    for (int k = 0; k < 3; k++) stream += frame(0, 1, std::string(KIV_CAPTURE_BUFFER / 2, 'x'));
    deliver(stream, 3);
    deliver(stream, 3);
    EXPECT_EQ(kivtest::log_count_containing("capture: write failed"), 1);
    EXPECT_GE(client->fd, 0);
    int queued = 0;
    for (ipod_packet *p = client->packets->next; p; p = p->next) queued++;
    EXPECT_EQ(queued, 6);
}

TEST_F(CaptureTest, ADirectoryGetsAFreshFileUntilNoNameIsLeft) {
    // Descriptor 0 is a descriptor like any other: an application that
    // closed its standard input still captures into a directory.
    int saved_stdin = dup(0);
    close(0);
    kiv_capture *first = kiv_capture_open(dir.c_str());
    dup2(saved_stdin, 0);
    close(saved_stdin);
    ASSERT_NE(first, nullptr);
    kiv_capture_close(first);
    long pid = 0;
    unsigned n = 0;
    for (const std::string &name : names()) sscanf(name.c_str(), "kiv-ipod-%ld-%u.pcap", &pid, &n);
    ASSERT_EQ(pid, long(getpid()));
    // With the next 64 names taken the capture gives up instead of trying
    // forever; the next one finds the name beyond them.
    for (unsigned k = 1; k <= 64; k++)
        close(open((dir + "/kiv-ipod-" + std::to_string(pid) + "-" + std::to_string(n + k) + ".pcap").c_str(),
                   O_CREAT | O_WRONLY, 0600));
    kivtest::log_clear();
    EXPECT_EQ(kiv_capture_open(dir.c_str()), nullptr);
    EXPECT_EQ(kivtest::log_count_containing("capture: cannot create a capture file at " + dir), 1);
    kiv_capture *last = kiv_capture_open(dir.c_str());
    EXPECT_NE(last, nullptr);
    kiv_capture_close(last);
    EXPECT_EQ(names().size(), 1u + 1 + 64 + 1);
}

}  // namespace
