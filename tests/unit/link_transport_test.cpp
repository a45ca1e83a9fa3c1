// White-box tests of framing, reassembly, transaction ids, reply waits,
// dispatch (routing, decoding, diagnostics), socket faults and the capture
// writer, on a handle wired to one end of a socket pair.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cache/cache.h"
#include "events/events.h"
#include "fake_daemon.h"
#include "handle.h"
#include "link/capture.h"
#include "link/link.h"
#include "log_capture.h"
#include "protocol/protocol.h"
#include "requests/preference.h"
#include "wired_handle.h"

using kivtest::frame;
namespace wire = kivtest::wire;

namespace {

constexpr int kError = 6;

// A handle wired to one end of a socket pair; the test plays the daemon on
// `peer`. TearDown may be followed by SetUp again for a fresh pair, and a
// test that closes `peer` sets it to -1.
// The descriptors this process has open.
int open_descriptors() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (dirent *e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n - 1;  // the listing's own
}

// Every test leaves as many descriptors open as it found: the handle, its
// capture file and the capture directory are all closed.
// (Counted around the whole test, which may tear down and set up again.)
class WiredTest : public ::testing::Test {
protected:
    WiredTest() : descriptors_(open_descriptors()) {}
    ~WiredTest() override { EXPECT_EQ(open_descriptors(), descriptors_) << "descriptors left open"; }
    void SetUp() override { ASSERT_TRUE(kivtest::wire_handle(&client, &peer)); }
    void TearDown() override {
        kiv_ipod_close(client);
        client = nullptr;
        if (peer >= 0) close(peer);
        peer = -1;
    }
    kiv_ipod_client *client = nullptr;
    int peer = -1;

private:
    int descriptors_;
};

// Every callback appends a line here, in delivery order.
std::vector<std::string> g_order;

int record_ping(kiv_ipod_client *, uint32_t tid, void *) {
    g_order.push_back("ping " + std::to_string(tid));
    return 0;
}

int record_reply(kiv_ipod_client *c, uint32_t tid, int32_t result, const char *text, void *) {
    // A text handed over is the handle's own copy.
    if (text) {
        EXPECT_EQ(text, c->last_error);
    }
    g_order.push_back("reply " + std::to_string(tid) + " " + std::to_string(result) +
                      (text ? std::string(" ") + text : std::string()));
    return 0;
}

int record_event(kiv_ipod_client *, kiv_ipod_event *e, void *) {
    g_order.push_back("event " + std::to_string(kiv_ipod_event_type(e)));
    return 0;
}

class Link : public WiredTest {
protected:
    void SetUp() override {
        WiredTest::SetUp();
        kivtest::log_clear();
        g_order.clear();
    }
    void trace() {
        kiv_ipod_set_ping_cb(client, record_ping, nullptr);
        kiv_ipod_set_reply_cb(client, record_reply, nullptr);
        kiv_ipod_set_event_cb(client, record_event, nullptr);
    }
    void put(const std::string &bytes) { ASSERT_TRUE(kivtest::write_all(peer, bytes.data(), bytes.size())); }
    // Everything the library wrote so far (the peer end is drained).
    std::string taken() {
        std::string out;
        char buf[65536];
        for (ssize_t n; (n = recv(peer, buf, sizeof buf, MSG_DONTWAIT)) > 0;) out.append(buf, size_t(n));
        return out;
    }
    std::vector<ipod_packet *> queued() {
        std::vector<ipod_packet *> out;
        for (ipod_packet *p = client->packets->next; p; p = p->next) out.push_back(p);
        return out;
    }
    // The queued packets re-encoded, and the queue emptied.
    std::vector<std::string> take_queue() {
        std::vector<std::string> out;
        uint64_t bytes = 0;
        for (ipod_packet *p : queued()) {
            out.push_back(
                frame(p->tid, uint8_t(p->opcode),
                      std::string(p->length ? static_cast<const char *>(p->payload) : "", p->length)));
            bytes += p->footprint;
            // Payloads below the hand-over size live in their packet's block.
            if (p->length > 0 && p->length < 64 * 1024) {
                EXPECT_EQ(p->payload, static_cast<void *>(p + 1));
            }
        }
        EXPECT_EQ(client->queued_bytes, bytes);
        EXPECT_EQ(size_t(kiv_ipod_pending(client)), out.size());
        EXPECT_EQ(client->packets_tail, out.empty() ? client->packets : queued().back());
        while (client->packets->next) ipod_packet_free(ipod_queue_unlink_after(client, client->packets));
        EXPECT_EQ(client->packets_tail, client->packets);
        return out;
    }
};

// Ids count up from the last one and wrap from INT32_MAX (or a negative
// last id) to 1, never 0; the id goes big-endian, only the low 8 bits of
// the opcode travel.
TEST_F(Link, RequestBytesOnTheWireAndTransactionIdsWrapToOne) {
    ipod_packet request = {};
    request.opcode = 0x136;
    client->last_tid = INT32_MAX - 1;
    for (uint32_t tid : {uint32_t(INT32_MAX), 1u, 1u}) {
        if (tid == 1 && request.tid == 1) client->last_tid = -7;
        EXPECT_EQ(ipod_send(client, &request), 16);
        EXPECT_EQ(request.tid, tid);
    }
    EXPECT_EQ(taken(), frame(INT32_MAX, 0x36, "") + frame(1, 0x36, "") + frame(1, 0x36, ""));

    // Payloads encoded and counted in the header; the last one too large to
    // go out with its header in one write.
    const std::string big(100000, '\x5a');
    struct Case {
        serialize_value *value;
        int opcode;
        std::string payload;
    } cases[] = {{serialize_int(-42), 14, wire::i(-42)},
                 {serialize_array(), 26, wire::a({wire::i(3), wire::s("abc")})},
                 {serialize_bytes(big.data(), int32_t(big.size())), 58, wire::b(big)}};
    serialize_array_add(cases[1].value, serialize_int(3));
    serialize_array_add(cases[1].value, serialize_string("abc"));
    uint32_t tid = 2;
    for (Case &k : cases) {
        request.payload = k.value;
        request.opcode = k.opcode;
        const std::string expected = frame(tid, uint8_t(k.opcode), k.payload);
        std::string got(expected.size(), '\0');
        std::thread reader([&] { kivtest::read_all(peer, &got[0], got.size()); });
        EXPECT_EQ(ipod_send(client, &request), int32_t(expected.size()));
        reader.join();
        EXPECT_EQ(got, expected);
        EXPECT_EQ(client->last_tid, int32_t(tid++));
        serialize_free(k.value);
    }
}

TEST_F(Link, WriteToAVanishedPeerFailsWithoutSigpipe) {
    struct sigaction old, dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dfl, &old);
    close(peer);
    peer = -1;
    ipod_packet request = {};
    request.opcode = 6;
    EXPECT_EQ(ipod_send(client, &request), -1);
    EXPECT_EQ(request.tid, 1u);
    EXPECT_EQ(client->fd, -1);
    EXPECT_EQ(kivtest::log_count(kError, std::string("send error: ") + strerror(EPIPE) + "\n"), 1);
    // Later sends still hand out ids and fail, without another line each;
    // reads fail.
    EXPECT_EQ(ipod_send(client, &request), -1);
    EXPECT_EQ(request.tid, 2u);
    EXPECT_EQ(kivtest::log_count_containing("send error: "), 1);
    EXPECT_EQ(ipod_read_packets(client), -1);
    sigaction(SIGPIPE, &old, nullptr);

    // A peer that leaves with a request unread resets the connection: that
    // is a lost connection too, not a read without data.
    TearDown();
    SetUp();
    EXPECT_EQ(ipod_send(client, &request), 16);
    close(peer);
    peer = -1;
    EXPECT_EQ(ipod_read_packets(client), -1);
    EXPECT_EQ(client->fd, -1);

    // The end of the stream is a lost connection whatever errno held before.
    TearDown();
    SetUp();
    close(peer);
    peer = -1;
    errno = EAGAIN;
    EXPECT_EQ(ipod_read_packets(client), -1);
    EXPECT_EQ(client->fd, -1);
}

// (Fewer bytes than a header, one at a time: the stalled-daemon test.)
TEST_F(Link, ReassemblyAtEverySplitPoint) {
    const std::vector<std::string> frames = {frame(7, 1, wire::h({{"event", wire::s("x")}})),
                                             frame(8, 20, ""), frame(9, 54, "", 0x00),
                                             frame(10, 21, wire::i(123456))};
    std::string stream;
    std::vector<size_t> ends;
    for (const std::string &f : frames) ends.push_back((stream += f).size());
    for (size_t cut = 1; cut < stream.size(); cut++) {
        SCOPED_TRACE(cut);
        put(stream.substr(0, cut));
        // A packet is queued by the read that brings its last byte, not before.
        int32_t complete = 0;
        for (size_t e : ends) complete += e <= cut;
        EXPECT_EQ(ipod_read_packets(client), complete);
        put(stream.substr(cut));
        EXPECT_EQ(ipod_read_packets(client), 4 - complete);
        std::vector<std::string> got = take_queue();
        ASSERT_EQ(got.size(), 4u);
        got[2][0] = 0x00;  // the marker byte is not checked
        EXPECT_EQ(got, frames);
        EXPECT_EQ(client->rx_len, 0u);
        EXPECT_EQ(client->rx_buf, nullptr);
    }
}

// Random streams of frames from empty to several hundred KiB, written in
// random pieces while the handle reads: every frame arrives intact and in
// order, whether a large one fills the buffer alone or shares it. The first
// stream is one 4 MiB frame, which must not take a read per KiB.
TEST_F(Link, RandomStreamsInRandomPiecesArriveIntact) {
    std::mt19937 rng(22);
    for (int round = 0; round < 6; round++) {
        SCOPED_TRACE(round);
        std::vector<std::string> frames;
        std::string stream;
        const size_t count = round == 0 ? 1 : 1 + rng() % 40;
        for (size_t k = 0; k < count; k++) {
            size_t size =
                round == 0 ? 4u << 20 : std::vector<size_t>{0, 9, 700, 5000, 70000, 200000}[rng() % 6];
            std::string payload(size, '\0');
            uint32_t x = rng();
            for (char &ch : payload) ch = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
            frames.push_back(frame(uint32_t(k + 1), uint8_t(rng()), payload));
            stream += frames.back();
        }
        std::vector<size_t> pieces;
        for (size_t at = 0; at < stream.size(); at += pieces.back())
            pieces.push_back(round == 0 ? stream.size() : 1 + rng() % (rng() % 2 ? 20 : 90000));
        std::thread writer([&] {
            size_t at = 0;
            for (size_t n : pieces) {
                n = std::min(n, stream.size() - at);
                if (!kivtest::write_all(peer, stream.data() + at, n)) break;
                at += n;
            }
        });
        size_t total = 0;
        int reads = 0;
        for (; total < count && reads < 1000000; reads++) {
            int32_t got = ipod_read_packets(client);
            ASSERT_GE(got, 0);
            total += size_t(got);
        }
        writer.join();
        if (round == 0) {
            EXPECT_LT(reads, 2000);  // 1024-byte reads alone would need over 4000
        }
        EXPECT_TRUE(take_queue() == frames);
        EXPECT_EQ(client->rx_len, 0u);
    }
}

TEST_F(Link, OversizePayloadClosesTheConnection) {
    // Exactly at the limit is still awaited.
    put(frame(5, 2, "").substr(0, 12) + wire::be32(IPOD_MAX_PAYLOAD));
    EXPECT_EQ(ipod_read_packets(client), 0);
    EXPECT_GE(client->fd, 0);
    EXPECT_EQ(kivtest::log_count_containing("exceeds the limit"), 0);

    // A packet in front of the oversize header is still handed out.
    TearDown();
    SetUp();
    put(frame(6, 2, wire::i(1)) + frame(7, 2, "").substr(0, 12) + wire::be32(0xFFFFFFF0u));
    EXPECT_EQ(ipod_read_packets(client), 1);
    EXPECT_EQ(client->fd, -1);
    EXPECT_EQ(client->rx_buf, nullptr);
    EXPECT_EQ(kivtest::log_count(kError,
                                 "ipod_read_packets, payload length 4294967280 exceeds the limit of "
                                 "16777216 bytes\n"),
              1);
    EXPECT_EQ(take_queue(), std::vector<std::string>{frame(6, 2, wire::i(1))});
    EXPECT_EQ(ipod_read_packets(client), -1);
}

// Pings, replies and events ahead of and behind an awaited id (a reply, a
// packet error, or an event carrying that id), with and without dispatch,
// or a daemon that hangs up instead of answering. The model: a dispatching
// wait delivers everything else that arrived, in order; a plain one
// delivers nothing and leaves it queued in order for the next
// kiv_ipod_read, which after a hang-up delivers it and reports the loss.
// A frame torn by the hang-up is never delivered.
TEST_F(Link, WaitsDeliverInArrivalOrderAgainstAModel) {
    std::mt19937 rng(7);
    const uint32_t awaited = 5;
    for (int round = 0; round < 120; round++) {
        SCOPED_TRACE(round);
        TearDown();
        SetUp();
        trace();
        const int dispatch = round % 2;
        const bool hang_up = round % 4 >= 2;
        const uint8_t awaited_op = std::vector<uint8_t>{IPOD_OP_packet_error, 30, 1}[rng() % 3];
        const int others = int(rng() % 6), at = hang_up ? -1 : int(rng() % (others + 1));
        std::string stream;
        std::vector<std::string> expected;
        for (int k = 0; k <= others; k++) {
            if (k == at) stream += frame(awaited, awaited_op, awaited_op == 1 ? wire::h({}) : wire::i(-1));
            if (k == others) break;
            const uint32_t tid = 90 + uint32_t(k);
            switch (rng() % 3) {
                case 0:
                    stream += frame(tid, 54, "");
                    expected.push_back("ping " + std::to_string(tid));
                    break;
                case 1:
                    stream += frame(tid, 30, wire::i(k));
                    expected.push_back("reply " + std::to_string(tid) + " " + std::to_string(k));
                    break;
                default:
                    stream += kivtest::event("fail_to_detect", 1, "S", "", tid);
                    expected.push_back("event 3");
            }
        }
        const std::string torn = frame(98, 30, wire::i(1));
        if (hang_up) stream += torn.substr(0, rng() % torn.size());
        put(stream);
        if (hang_up) shutdown(peer, SHUT_WR);
        ipod_packet *reply = ipod_wait_reply(client, awaited, dispatch);
        EXPECT_EQ(reply == nullptr, hang_up);
        EXPECT_EQ(client->fd == -1, hang_up);
        if (reply) {
            EXPECT_EQ(reply->opcode, awaited_op);
        }
        ipod_packet_free(reply);
        EXPECT_EQ(client->waiting, 0);
        EXPECT_EQ(kivtest::log_count(kError, "Packet error: transaction id 0x0005\n"),
                  !hang_up && awaited_op == IPOD_OP_packet_error ? 1 : 0);
        if (dispatch) {
            EXPECT_EQ(g_order, expected);
            EXPECT_TRUE(queued().empty());
        } else {
            EXPECT_TRUE(g_order.empty());
            EXPECT_EQ(queued().size(), expected.size());
            if (!hang_up) put(frame(99, 54, ""));
            if (!hang_up) expected.push_back("ping 99");
            EXPECT_EQ(kiv_ipod_read(client), hang_up ? -1 : 1);
            EXPECT_EQ(g_order, expected);
            EXPECT_TRUE(queued().empty());
        }
        EXPECT_EQ(kivtest::log_count(kError, "Another thread already using this call\n"), 0);
    }
}

using Clock = std::chrono::steady_clock;

// Rounded up: the library counts whole milliseconds, so a wait of N ms ends
// after more than N - 1 ms of this clock.
int64_t ms_since(Clock::time_point start) {
    return std::chrono::ceil<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST_F(Link, ExpiredWaitKeepsTheConnectionAndTheLateReplyIsMatchedById) {
    trace();
    client->ready = 1;
    EXPECT_EQ(kiv_ipod_set_timeout(client, 80), 0);
    put(frame(77, 54, ""));  // arrives during the wait, left for the next pass
    Clock::time_point start = Clock::now();
    EXPECT_EQ(kiv_ipod_play_sync(client), -1);
    EXPECT_GE(ms_since(start), 80);
    EXPECT_EQ(kivtest::log_count(kError, "kiv_ipod_play_sync, no reply within 80 ms\n"), 1);
    EXPECT_EQ(kivtest::log_count_containing("no reply within"), 1);
    EXPECT_GE(client->fd, 0);
    EXPECT_EQ(g_order, (std::vector<std::string>{}));

    // The late reply goes to the reply callback under its id; the next
    // blocking request gets its own.
    put(frame(1, 6, wire::i(5)) + frame(2, 6, wire::i(7)));
    EXPECT_EQ(kiv_ipod_play_sync(client), 7);
    EXPECT_EQ(g_order, (std::vector<std::string>{"ping 77", "reply 1 5"}));
    EXPECT_EQ(kiv_ipod_set_timeout(client, -5), 80);
    EXPECT_EQ(kiv_ipod_set_timeout(client, 0), 0);
    EXPECT_EQ(kiv_ipod_set_timeout(nullptr, 5), 0);
}

TEST_F(Link, AWriteThatCannotFinishIsBoundedAndClosesTheConnection) {
    const std::string big(8u << 20, 'x');
    // Meanwhile on a second handle, a blocking descriptor without a bound
    // waits as long as its peer takes to read, here longer than one second.
    kiv_ipod_client *patient = nullptr;
    int patient_peer = -1;
    ASSERT_TRUE(kivtest::wire_handle(&patient, &patient_peer));
    int32_t patient_wrote = 0;
    std::thread patient_writer(
        [&] { patient_wrote = ipod_write_all(patient, big.data(), uint32_t(big.size())); });
    std::thread slow_reader([&] {
        usleep((IPOD_NONBLOCKING_WRITE_WAIT_MS + 300) * 1000);
        std::string sink(big.size(), '\0');
        kivtest::read_all(patient_peer, &sink[0], sink.size());
    });
    // The peer never reads. Blocking descriptor with a bound; non-blocking
    // descriptor with a bound, and without one (then one second).
    struct Case {
        bool nonblocking;
        int32_t timeout;
        int64_t at_least;
    };
    const Case cases[] = {{false, 60, 60}, {true, 60, 60}, {true, 0, IPOD_NONBLOCKING_WRITE_WAIT_MS}};
    for (const Case &k : cases) {
        SCOPED_TRACE(std::to_string(k.nonblocking) + " " + std::to_string(k.timeout));
        TearDown();
        SetUp();
        if (k.nonblocking) {
            ASSERT_EQ(fcntl(client->fd, F_SETFL, fcntl(client->fd, F_GETFL) | O_NONBLOCK), 0);
        }
        kiv_ipod_set_timeout(client, k.timeout);
        Clock::time_point start = Clock::now();
        int32_t written = 0;
        auto done = std::async(std::launch::async, [&] {
            written = ipod_write_all(client, big.data(), static_cast<uint32_t>(big.size()));
        });
        if (done.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            ADD_FAILURE() << "still blocked";
            shutdown(peer, SHUT_RDWR);
        }
        done.get();
        EXPECT_EQ(written, -1);
        EXPECT_GE(ms_since(start), k.at_least);
        EXPECT_EQ(client->fd, -1);
        EXPECT_EQ(kivtest::log_count(kError, std::string("send error: ") + strerror(ETIMEDOUT) + "\n"), 1);
    }
    patient_writer.join();
    slow_reader.join();
    EXPECT_EQ(patient_wrote, int32_t(big.size()));
    kiv_ipod_close(patient);
    close(patient_peer);
}

TEST_F(Link, RequestsThatAreNotSentReturnNoIdAndFillNoSlot) {
    client->ready = 1;
    close(peer);  // the first write fails, later ones find the connection lost
    peer = -1;
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round);
        EXPECT_EQ(kiv_ipod_current_track_info(client), 0u);
        EXPECT_EQ(kiv_ipod_get_preference(client, 1), 0u);
        EXPECT_EQ(kiv_ipod_open_session(client, 0), 0u);
        EXPECT_EQ(kiv_ipod_ping(client), 0u);
        EXPECT_EQ(kiv_ipod_get_play_state_sync(client), -1);
        EXPECT_EQ(client->fd, -1);
        for (uint32_t slot : client->pending) EXPECT_EQ(slot, 0u);
    }
}

TEST_F(Link, AFloodWhileNothingDispatchesClosesTheConnectionAtTheQueueLimit) {
    signal(SIGPIPE, SIG_IGN);
    // 1 MiB events, well past the limit, then the daemon hangs up. Without
    // dispatch: the handshake or a non-dispatching wait; with it: a blocking
    // request whose reply has not come.
    const std::string one = kivtest::event("playlist_changed", 1, "S", wire::b(std::string(1u << 20, 'e')));
    for (int dispatch = 0; dispatch < 2; dispatch++) {
        SCOPED_TRACE(dispatch);
        TearDown();
        SetUp();
        std::thread flood([&] {
            for (size_t k = 0; k < IPOD_MAX_QUEUED / one.size() + 8; k++)
                if (!kivtest::write_all(peer, one.data(), one.size())) break;
            shutdown(peer, SHUT_WR);
        });
        EXPECT_EQ(ipod_wait_reply(client, 5, dispatch), nullptr);
        flood.join();
        EXPECT_EQ(client->fd, -1);
        uint64_t held = 0;
        for (ipod_packet *p : queued()) held += p->footprint;
        EXPECT_LE(held, IPOD_MAX_QUEUED);
        EXPECT_EQ(client->queued_bytes, held);
        EXPECT_EQ(kivtest::log_count(kError, "ipod_read_packets, inbound queue exceeds the limit of " +
                                                 std::to_string(IPOD_MAX_QUEUED) + " bytes\n"),
                  1);
    }
}

// A daemon that answers each of the first `busy` requests with two events
// ahead of the reply, and the rest with the reply alone: every event makes
// the callback below send one more blocking request.
struct Nesting {
    int depth = 0;
    int deepest = 0;
    int events = 0;
    int failures = 0;
    static int on_event(kiv_ipod_client *c, kiv_ipod_event *, void *data) {
        auto *self = static_cast<Nesting *>(data);
        self->events++;
        self->deepest = std::max(self->deepest, ++self->depth);
        if (kiv_ipod_play_sync(c) != 0) self->failures++;
        self->depth--;
        return 0;
    }
};

TEST_F(Link, NestedBlockingRequestsStopNestingAtTheLimit) {
    constexpr int kBusy = 300;
    std::thread daemon([&] {
        char header[16];
        for (int k = 0; k < 2 * kBusy + 1 && kivtest::read_all(peer, header, sizeof header); k++) {
            uint32_t tid = (uint32_t(uint8_t(header[4])) << 24) | (uint32_t(uint8_t(header[5])) << 16) |
                           (uint32_t(uint8_t(header[6])) << 8) | uint8_t(header[7]);
            std::string answer;
            if (k < kBusy)
                answer =
                    kivtest::event("playlist_changed", 1, "A") + kivtest::event("playlist_changed", 1, "B");
            answer += frame(tid, 6, wire::i(0));
            if (!kivtest::write_all(peer, answer.data(), answer.size())) break;
        }
    });
    client->ready = 1;
    Nesting nesting;
    kiv_ipod_set_event_cb(client, Nesting::on_event, &nesting);
    EXPECT_EQ(kiv_ipod_play_sync(client), 0);
    // What the nested requests read after a pass began is left to later
    // reads, which hand it out without waiting for more data.
    for (int reads = 0; !queued().empty() && reads < 2 * kBusy; reads++) EXPECT_GE(kiv_ipod_read(client), 0);
    daemon.join();
    // Every event was delivered and every request answered, and no more
    // than the limit of passes ran inside each other.
    EXPECT_EQ(nesting.events, 2 * kBusy);
    EXPECT_EQ(nesting.failures, 0);
    EXPECT_LE(nesting.deepest, IPOD_MAX_NESTED_DISPATCH);
    EXPECT_GE(nesting.deepest, IPOD_MAX_NESTED_DISPATCH - 1);
    EXPECT_TRUE(queued().empty());
    EXPECT_EQ(client->dispatch_depth, 0u);
}

// Dispatch through kiv_ipod_read: reply routing, generic decoding with its
// per-kind adjustments, last_error lifetime and the diagnostics.
class Dispatch : public Link {
protected:
    void SetUp() override {
        Link::SetUp();
        trace();
    }
    // Queues the bytes and runs one read with its dispatch pass.
    int32_t deliver(const std::string &bytes) {
        put(bytes);
        return kiv_ipod_read(client);
    }
    std::string last() { return g_order.empty() ? std::string() : g_order.back(); }
};

// An integer is the result; a hash with "error" is a failure with its text
// (kept as last_error until the next reply); anything else, nothing or an
// undecodable payload (logged) is a plain 0.
TEST_F(Dispatch, GenericDecodingOfUnroutedReplies) {
    const struct {
        std::string payload;
        int32_t result;
        const char *text;
    } rows[] = {{wire::i(17), 17, nullptr},
                {wire::h({{"error", wire::s("boom")}, {"x", wire::i(3)}}), 0, "boom"},
                {wire::h({{"result", wire::i(1)}}), 0, nullptr},
                {wire::s("5"), 0, nullptr},
                {wire::f(2.5), 0, nullptr},
                {wire::a({wire::i(1)}), 0, nullptr},
                {wire::b("\x01"), 0, nullptr},
                {"", 0, nullptr},
                {"Zjunk", 0, nullptr}};
    uint32_t tid = 30;
    for (const auto &row : rows) {
        SCOPED_TRACE(tid);
        EXPECT_EQ(deliver(frame(tid, 30, row.payload)), 1);
        ASSERT_EQ(g_order.size(), tid - 29);
        EXPECT_EQ(last(), "reply " + std::to_string(tid++) + " " + std::to_string(row.result) +
                              (row.text ? std::string(" ") + row.text : std::string()));
        EXPECT_STREQ(client->last_error, row.text);
    }
    EXPECT_EQ(kivtest::log_count_containing("undecodable payload"), 1);
}

// A reply whose id is in a slot adjusts the handle: the track index from an
// integer, the record count from a category or database selection (with
// the success flag for the latter), the preference number; the artwork-data
// slot is never consulted.
TEST_F(Dispatch, PostProcessingByPendingSlot) {
    client->preference_type = 3;
    const std::string pref = std::to_string(static_cast<int32_t>(preference_setting_from_wire(3, 1)));
    int32_t *index = &client->current_track.track_index, *count = &client->record_count;
    const struct {
        int kind;
        uint8_t op;
        std::string payload, line;
        int32_t *field;
        int32_t value;
    } rows[] = {{IPOD_REPLY_current_track_index, 19, wire::i(5), "5", index, 5},
                {IPOD_REPLY_current_track_index, 19, "", "0", index, 5},  // no value: no adjustment
                {IPOD_REPLY_current_track_index, 19, "Zjunk", "0", index, 5},
                {IPOD_REPLY_category, 24, wire::i(-1), "0", count, -1},
                {IPOD_REPLY_category, 24, wire::h({{"error", wire::s("E")}}), "0 E", count, -1},
                {IPOD_REPLY_select_db, 26, wire::i(12), "1", count, 12},
                {IPOD_REPLY_preference, 30, wire::i(1), pref, nullptr, 0},
                {IPOD_REPLY_artwork_data, 53, wire::i(9), "9", nullptr, 0}};
    uint32_t tid = 40;
    for (const auto &row : rows) {
        SCOPED_TRACE(tid);
        client->pending[row.kind] = tid;
        deliver(frame(tid, row.op, row.payload));
        EXPECT_EQ(last(), "reply " + std::to_string(tid++) + " " + row.line);
        if (row.field) {
            EXPECT_EQ(*row.field, row.value);
        }
    }
}

TEST_F(Dispatch, RoutingTableOrderAndEmptySlots) {
    // A routed slot wins over post-processing of the same id; the uid-list
    // reply is not even decoded.
    client->pending[IPOD_REPLY_current_track_index] = 50;
    client->pending[IPOD_REPLY_uid_list] = 50;
    client->current_track.track_index = 3;
    deliver(frame(50, 45, "Zjunk"));
    EXPECT_EQ(last(), "reply 50 1");
    EXPECT_EQ(client->current_track.track_index, 3);
    EXPECT_EQ(kivtest::log_count_containing("undecodable"), 0);

    // Id 0 with every slot empty is not taken by the first slot.
    reset_cache(client);
    deliver(frame(0, 30, wire::i(8)));
    EXPECT_EQ(last(), "reply 0 8");

    // Text policy of the routed kinds: current and indexed track info,
    // artwork and sample rate hand their error text to the callback, the
    // others a null text.
    const std::pair<int, bool> kinds[] = {{IPOD_REPLY_current_track_info, true},
                                          {IPOD_REPLY_indexed_track_info, true},
                                          {IPOD_REPLY_play_state, false},
                                          {IPOD_REPLY_current_track_artwork, true},
                                          {IPOD_REPLY_sample_rate, true},
                                          {IPOD_REPLY_records, false},
                                          {IPOD_REPLY_open_session, false},
                                          {IPOD_REPLY_db_itunes_info, false},
                                          {IPOD_REPLY_db_track_info, false},
                                          {IPOD_REPLY_pb_track_info, false},
                                          {IPOD_REPLY_indexed_track_chapter_info, false},
                                          {IPOD_REPLY_uid_list, false},
                                          {IPOD_REPLY_lingo_version, false}};
    uint32_t tid = 60;
    for (const auto &[kind, passes] : kinds) {
        client->pending[kind] = tid;
        deliver(frame(tid, 30, wire::h({{"error", wire::s("E")}})));
        const std::string line = last();
        EXPECT_EQ(line.rfind("reply " + std::to_string(tid) + " ", 0), 0u) << line;
        EXPECT_EQ(line.substr(line.size() - 2) == " E", passes) << line;
        tid++;
    }
}

TEST_F(Dispatch, MissingCallbacksAndTheWaitingDiagnostic) {
    kiv_ipod_set_reply_cb(client, nullptr, nullptr);
    kiv_ipod_set_ping_cb(client, nullptr, nullptr);
    client->pending[IPOD_REPLY_current_track_info] = 70;
    EXPECT_EQ(deliver(frame(70, 15, wire::h({{"title", wire::s("kept out")}})) + frame(71, 54, "")), 2);
    EXPECT_EQ(client->current_track.title, nullptr);  // dropped unparsed
    EXPECT_EQ(kivtest::log_count_containing("Some packet didn't treated: "), 1);
    EXPECT_EQ(kivtest::log_count_containing("tid(0x46), opcode(0xf)\n"), 1);
    EXPECT_EQ(kivtest::log_count(kError, "ping_cb is not set!!!!"), 1);
    EXPECT_EQ(client->packets->next, nullptr);

    kiv_ipod_set_ping_cb(client, record_ping, nullptr);
    client->waiting = 1;
    deliver(frame(72, 54, ""));
    EXPECT_EQ(kivtest::log_count(kError, "Another thread already using this call\n"), 1);
    EXPECT_EQ(g_order, std::vector<std::string>{"ping 72"});  // the pass ran anyway
    client->waiting = 0;
}

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

// The capture writer behind KIV_IPOD_CAPTURE: frames of every size (in the
// buffer, past it, past the record limit, an oversize header that ends the
// connection) are recorded exactly; a file that stops taking writes turns
// the capture off once without touching the connection.
class CaptureTest : public WiredTest {
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
    // The file header: pcap 2.4 little-endian, no zone or accuracy, the
    // snap length and the link type.
    std::ifstream file(path, std::ios::binary);
    std::string header(24, '\0');
    file.read(&header[0], 24);
    EXPECT_EQ(header, wire::be32(0xD4C3B2A1u) + std::string("\2\0\4\0", 4) + std::string(8, '\0') +
                          wire::be32(__builtin_bswap32(KIV_CAPTURE_SNAPLEN)) +
                          wire::be32(__builtin_bswap32(KIV_CAPTURE_LINKTYPE)));
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

// One framed request from the library, header and payload; false at the
// end of the stream.
bool read_request(int fd, std::string &out) {
    out.assign(16, '\0');
    if (!kivtest::read_all(fd, &out[0], 16)) return false;
    uint32_t length = 0;
    for (int k = 12; k < 16; k++) length = length << 8 | uint8_t(out[k]);
    out.resize(16 + length);
    return kivtest::read_all(fd, &out[16], out.size() - 16);
}

// Socket faults on a handle wired to a socket pair whose far end plays a
// misbehaving daemon: a hang-up at every byte offset of the reply to a
// blocking request, writes and reads cut short by a tiny socket buffer
// under a storm of interrupting signals, and a daemon that stalls while the
// caller polls a non-blocking descriptor.
class SocketFaults : public WiredTest {
protected:
    void SetUp() override {
        WiredTest::SetUp();
        // A session is open on a ready device, so that requests are sent.
        const std::string devices = wire::a({wire::device("A", 1)});
        client->devices = unserialize(devices.data(), int32_t(devices.size()));
        client->ready = 1;
        client->session_opened = 1;
        kiv_ipod_set_reply_cb(client, on_reply, &replies);
    }
    void TearDown() override {
        if (daemon.joinable()) daemon.join();
        WiredTest::TearDown();
    }
    static int on_reply(kiv_ipod_client *, uint32_t, int32_t, const char *, void *count) {
        ++*static_cast<int *>(count);
        return 0;
    }

    int replies = 0;
    std::thread daemon;
};

TEST_F(SocketFaults, HangUpAtEveryOffsetOfAReplyDuringABlockingRequest) {
    // The library's first request gets id 1 on a fresh handle.
    const std::string reply = frame(1, 5,
                                    wire::h({{"current_track_info", wire::i(1)},
                                             {"title", wire::s("Song")},
                                             {"artist", wire::s("Artist")},
                                             {"length", wire::i(1000)}}));
    for (size_t cut = 0; cut <= reply.size(); cut++) {
        TearDown();
        replies = 0;
        SetUp();
        int far = peer;
        daemon = std::thread([far, &reply, cut] {
            std::string request;
            if (read_request(far, request)) kivtest::write_all(far, reply.data(), cut);
            shutdown(far, SHUT_WR);
        });
        int32_t result = kiv_ipod_current_track_info_sync(client);
        daemon.join();
        SCOPED_TRACE(cut);
        if (cut < reply.size()) {
            // A half-received reply is no reply: failure, connection lost,
            // nothing cached from the partial bytes; a later call on the
            // lost handle fails at once instead of hanging.
            EXPECT_EQ(result, -1);
            EXPECT_EQ(kiv_ipod_fd(client), -1);
            EXPECT_EQ(kiv_ipod_is_ready(client), -1);
            EXPECT_EQ(kiv_ipod_current_track_title(client), nullptr);
            EXPECT_EQ(kiv_ipod_current_track_info_sync(client), -1);
        } else {
            EXPECT_EQ(result, 1);
            EXPECT_STREQ(kiv_ipod_current_track_title(client), "Song");
            EXPECT_GE(kiv_ipod_fd(client), 0);
        }
    }
}

std::atomic<int> alarms{0};
void on_alarm(int) {
    alarms.fetch_add(1, std::memory_order_relaxed);
}

// SIGALRM every 100 us without SA_RESTART, so that blocking reads, writes
// and polls keep failing with EINTR; only the test thread takes it.
class SignalStorm {
public:
    SignalStorm() {
        struct sigaction act {};
        act.sa_handler = on_alarm;
        sigemptyset(&act.sa_mask);
        act.sa_flags = 0;
        sigaction(SIGALRM, &act, &old_);
        itimerval timer{{0, 100}, {0, 100}};
        setitimer(ITIMER_REAL, &timer, nullptr);
    }
    ~SignalStorm() {
        itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &old_, nullptr);
    }

private:
    struct sigaction old_ {};
};

TEST_F(SocketFaults, ShortWritesAndReadsUnderAnInterruptStorm) {
    // Tiny buffers: every write of the library is cut short.
    int small = 4096;
    setsockopt(client->fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);

    std::string big(2 << 20, '\0');
    for (size_t k = 0; k < big.size(); k++) big[k] = static_cast<char>(k * 131 + (k >> 9));
    const std::string title(1 << 20, 't');
    const std::string reply = frame(
        2, 5,
        wire::h(
            {{"current_track_info", wire::i(1)}, {"title", wire::s(title)}, {"uid", wire::b("ABCDEFGH")}}));
    std::string first, second;
    int far = peer;
    // The daemon thread starts with SIGALRM blocked, so the storm hits the
    // caller.
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    daemon = std::thread([&, far] {
        // The large request arrives in many short reads.
        if (!read_request(far, first)) return;
        if (!read_request(far, second)) return;
        // The large reply goes out in small pieces.
        for (size_t at = 0; at < reply.size(); at += 1000)
            if (!kivtest::write_all(far, reply.data() + at, std::min<size_t>(1000, reply.size() - at)))
                return;
    });
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    int32_t result;
    {
        SignalStorm storm;
        ipod_packet request{};
        request.opcode = 60;
        request.payload = serialize_bytes(big.data(), static_cast<int32_t>(big.size()));
        EXPECT_GT(ipod_send(client, &request), 0);
        serialize_free(static_cast<serialize_value *>(request.payload));
        result = kiv_ipod_current_track_info_sync(client);
    }
    daemon.join();
    EXPECT_GT(alarms.load(), 10) << "the storm did not interrupt anything";
    // The request arrived whole and byte-exact despite the short writes.
    ASSERT_EQ(first.size(), 16 + 5 + big.size());
    EXPECT_EQ(static_cast<uint8_t>(first[8]), 60);
    EXPECT_TRUE(first.compare(21, std::string::npos, big) == 0);
    ASSERT_EQ(second.size(), 16u);  // the track request, id 2, no payload
    EXPECT_EQ(second[7], 2);
    // The reply arrived whole despite the interrupted reads.
    EXPECT_EQ(result, 1);
    ASSERT_NE(kiv_ipod_current_track_title(client), nullptr);
    EXPECT_EQ(kiv_ipod_current_track_title(client), title);
    EXPECT_GE(kiv_ipod_fd(client), 0);
}

TEST_F(SocketFaults, StalledDaemonNeverCostsANonBlockingReaderItsConnection) {
    ASSERT_EQ(fcntl(client->fd, F_SETFL, fcntl(client->fd, F_GETFL) | O_NONBLOCK), 0);
    const std::string packet = frame(9, 9, wire::i(3));
    // Nothing at all, then a packet that trickles in byte by byte with
    // empty polls in between: never a lost connection, never a packet
    // before its last byte.
    for (int k = 0; k < 1000; k++) ASSERT_EQ(kiv_ipod_read(client), 0);
    for (size_t at = 0; at < packet.size(); at++) {
        ASSERT_TRUE(kivtest::write_all(peer, packet.data() + at, 1));
        int32_t got = kiv_ipod_read(client);
        EXPECT_EQ(got, at + 1 == packet.size() ? 1 : 0) << "after byte " << at;
        EXPECT_EQ(kiv_ipod_read(client), 0);
        EXPECT_GE(kiv_ipod_fd(client), 0);
    }
    EXPECT_EQ(replies, 1);
    // Under an interrupt storm too.
    {
        SignalStorm storm;
        for (int k = 0; k < 20000; k++) ASSERT_EQ(kiv_ipod_read(client), 0);
    }
    EXPECT_GE(kiv_ipod_fd(client), 0);
    // A wait sleeps instead of giving up.
    const std::string late = frame(4, 30, wire::i(9));
    std::thread later([&] {
        usleep(30000);
        kivtest::write_all(peer, late.data(), late.size());
    });
    ipod_packet *reply = ipod_wait_reply(client, 4, 0);
    later.join();
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->length, wire::i(9).size());
    ipod_packet_free(reply);
    EXPECT_GE(kiv_ipod_fd(client), 0);
    // Only the end of the stream loses it, even with errno left at EINTR
    // by an interrupted call of the application.
    close(peer);
    peer = -1;
    errno = EINTR;
    EXPECT_EQ(kiv_ipod_read(client), -1);
    EXPECT_EQ(kiv_ipod_fd(client), -1);
}

}  // namespace
