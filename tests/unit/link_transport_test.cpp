// White-box tests of framing, reassembly, transaction ids and reply waits,
// on a handle wired to one end of a socket pair.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "fake_daemon.h"
#include "internal.h"
#include "log_capture.h"
#include "wired_test.h"

using kivtest::frame;
namespace wire = kivtest::wire;

namespace {

constexpr int kError = 6;

class Link : public kivtest::WiredTest {
protected:
    void SetUp() override {
        WiredTest::SetUp();
        kivtest::log_clear();
    }

    void put(const std::string &bytes) {
        size_t at = 0;
        while (at < bytes.size()) {
            ssize_t n = write(peer, bytes.data() + at, bytes.size() - at);
            ASSERT_GT(n, 0);
            at += static_cast<size_t>(n);
        }
    }
    // Everything the library wrote so far (the peer end is drained).
    std::string taken() {
        std::string out;
        char buf[65536];
        for (;;) {
            ssize_t n = recv(peer, buf, sizeof buf, MSG_DONTWAIT);
            if (n <= 0) break;
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }
    std::vector<ipod_packet *> queued() {
        std::vector<ipod_packet *> out;
        for (ipod_packet *p = client->packets->next; p; p = p->next) out.push_back(p);
        return out;
    }
    std::string payload_of(const ipod_packet *p) {
        return p->length ? std::string(static_cast<const char *>(p->payload), p->length) : std::string();
    }
};

TEST_F(Link, RequestBytesOnTheWire) {
    // No payload: header only, big-endian id, low 8 bits of the opcode.
    ipod_packet request = {};
    request.opcode = 0x136;  // only 0x36 travels
    EXPECT_EQ(ipod_send(client, &request), 16);
    EXPECT_EQ(request.tid, 1u);
    EXPECT_EQ(taken(), frame(1, 0x36, ""));

    // Integer and array payloads, encoded and counted in the header.
    serialize_value *value = serialize_int(-42);
    request.payload = value;
    request.opcode = 14;
    EXPECT_EQ(ipod_send(client, &request), 16 + 5);
    EXPECT_EQ(taken(), frame(2, 14, wire::i(-42)));
    serialize_free(value);

    value = serialize_array();
    serialize_array_add(value, serialize_int(3));
    serialize_array_add(value, serialize_string("abc"));
    request.payload = value;
    request.opcode = 26;
    ipod_send(client, &request);
    EXPECT_EQ(taken(), frame(3, 26, wire::a({wire::i(3), wire::s("abc")})));
    serialize_free(value);

    // A payload too large to go out with its header in one write.
    std::string big(100000, '\x5a');
    value = serialize_bytes(big.data(), static_cast<int32_t>(big.size()));
    request.payload = value;
    request.opcode = 58;
    std::string expected = frame(4, 58, wire::b(big));
    std::string got;
    std::thread reader([&] {
        char buf[65536];
        while (got.size() < expected.size()) {
            ssize_t n = read(peer, buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
    });
    EXPECT_EQ(ipod_send(client, &request), static_cast<int32_t>(expected.size()));
    reader.join();
    EXPECT_EQ(got, expected);
    serialize_free(value);
    EXPECT_EQ(request.tid, 4u);
    EXPECT_EQ(client->last_tid, 4);
}

TEST_F(Link, TransactionIdsWrapToOneAndNeverGiveZero) {
    ipod_packet request = {};
    request.opcode = 6;
    client->last_tid = INT32_MAX - 1;
    ipod_send(client, &request);
    EXPECT_EQ(request.tid, static_cast<uint32_t>(INT32_MAX));
    ipod_send(client, &request);
    EXPECT_EQ(request.tid, 1u);
    ipod_send(client, &request);
    EXPECT_EQ(request.tid, 2u);
    client->last_tid = -7;
    ipod_send(client, &request);
    EXPECT_EQ(request.tid, 1u);
    EXPECT_EQ(taken(), frame(INT32_MAX, 6, "") + frame(1, 6, "") + frame(2, 6, "") + frame(1, 6, ""));
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
    // Later sends still hand out ids and report the failure; reads fail.
    ipod_send(client, &request);
    EXPECT_EQ(request.tid, 2u);
    EXPECT_EQ(kivtest::log_count_containing("send error: "), 2);
    EXPECT_EQ(ipod_read_packets(client), -1);
    sigaction(SIGPIPE, &old, nullptr);
}

TEST_F(Link, ReassemblyAtEverySplitPoint) {
    const std::string stream = frame(7, 1, wire::h({{"event", wire::s("x")}})) + frame(8, 20, "") +
                               frame(9, 54, "", 0x00) + frame(10, 21, wire::i(123456));
    const std::vector<size_t> ends = {16 + wire::h({{"event", wire::s("x")}}).size(),
                                      16 + wire::h({{"event", wire::s("x")}}).size() + 16,
                                      16 + wire::h({{"event", wire::s("x")}}).size() + 32, stream.size()};
    for (size_t cut = 1; cut < stream.size(); cut++) {
        SCOPED_TRACE(cut);
        put(stream.substr(0, cut));
        int32_t first = ipod_read_packets(client);
        int32_t complete = 0;
        for (size_t e : ends) complete += e <= cut;
        // A packet is queued by the read that brings its last byte, not before.
        EXPECT_EQ(first, complete);
        put(stream.substr(cut));
        EXPECT_EQ(ipod_read_packets(client), 4 - complete);
        auto q = queued();
        ASSERT_EQ(q.size(), 4u);
        EXPECT_EQ(q[0]->tid, 7u);
        EXPECT_EQ(q[0]->opcode, 1);
        EXPECT_EQ(payload_of(q[0]), wire::h({{"event", wire::s("x")}}));
        EXPECT_EQ(q[1]->tid, 8u);
        EXPECT_EQ(q[1]->length, 0u);
        EXPECT_EQ(q[2]->tid, 9u);  // marker byte 0x00 is accepted
        EXPECT_EQ(q[2]->opcode, 54);
        EXPECT_EQ(q[3]->tid, 10u);
        EXPECT_EQ(payload_of(q[3]), wire::i(123456));
        EXPECT_EQ(client->packets_tail, q[3]);
        EXPECT_EQ(client->rx_len, 0u);
        EXPECT_EQ(client->rx_buf, nullptr);
        while (client->packets->next) ipod_packet_free(ipod_queue_unlink_after(client, client->packets));
        EXPECT_EQ(client->packets_tail, client->packets);
    }
}

TEST_F(Link, ManyPacketsInOneReadAndPartialTail) {
    std::string stream;
    for (uint32_t k = 1; k <= 50; k++) stream += frame(k, 30, "");
    put(stream + frame(51, 30, wire::i(1)).substr(0, 10));
    EXPECT_EQ(ipod_read_packets(client), 50);  // 816 bytes: one read
    EXPECT_EQ(client->rx_len, 10u);
    auto q = queued();
    ASSERT_EQ(q.size(), 50u);
    for (uint32_t k = 0; k < 50; k++) EXPECT_EQ(q[k]->tid, k + 1);
    put(frame(51, 30, wire::i(1)).substr(10));
    EXPECT_EQ(ipod_read_packets(client), 1);
    EXPECT_EQ(queued().back()->tid, 51u);

    // Fewer than 16 bytes complete nothing.
    put(std::string(15, '\0'));
    EXPECT_EQ(ipod_read_packets(client), 0);
    EXPECT_EQ(client->rx_len, 15u);
}

TEST_F(Link, OversizePayloadClosesTheConnection) {
    // Exactly at the limit is still awaited.
    std::string header = frame(5, 2, "").substr(0, 12) + wire::be32(IPOD_MAX_PAYLOAD);
    put(header);
    EXPECT_EQ(ipod_read_packets(client), 0);
    EXPECT_GE(client->fd, 0);
    EXPECT_EQ(kivtest::log_count_containing("exceeds the limit"), 0);
    close(client->fd);
    client->fd = -1;
    free(client->rx_buf);
    client->rx_buf = nullptr;
    client->rx_len = client->rx_cap = 0;

    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    client->fd = sv[0];
    close(peer);
    peer = sv[1];
    // A packet in front of the oversize header is still handed out.
    put(frame(6, 2, wire::i(1)) + frame(7, 2, "").substr(0, 12) + wire::be32(0xFFFFFFF0u));
    EXPECT_EQ(ipod_read_packets(client), 1);
    EXPECT_EQ(client->fd, -1);
    EXPECT_EQ(client->rx_buf, nullptr);
    EXPECT_EQ(kivtest::log_count(kError,
                                 "ipod_read_packets, payload length 4294967280 exceeds the limit of "
                                 "16777216 bytes\n"),
              1);
    ASSERT_EQ(queued().size(), 1u);
    EXPECT_EQ(queued()[0]->tid, 6u);
    EXPECT_EQ(ipod_read_packets(client), -1);
}

TEST_F(Link, LargePayloadArrivesIntactInFewReads) {
    std::string payload(4 << 20, '\0');
    for (size_t k = 0; k < payload.size(); k++) payload[k] = static_cast<char>(k * 131 + 7);
    const std::string packet = frame(77, 40, payload);
    std::thread writer([&] { put(packet); });
    int reads = 0;
    int32_t got = 0;
    while (got == 0 && reads < 100000) {
        got = ipod_read_packets(client);
        reads++;
    }
    writer.join();
    ASSERT_EQ(got, 1);
    EXPECT_LT(reads, 2000);  // 1024-byte reads alone would need over 4000
    auto q = queued();
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0]->length, payload.size());
    EXPECT_TRUE(payload_of(q[0]) == payload);
}

// A large packet alone in the buffer becomes its own payload block; one
// sharing the buffer with its neighbours is copied out. Either way every
// payload, and the stream after it, arrives intact.
TEST_F(Link, LargePayloadsAloneOrWithNeighboursArriveIntact) {
    std::string big(200000, '\0');
    for (size_t k = 0; k < big.size(); k++) big[k] = static_cast<char>(k * 7 + 3);
    std::string other(70000, '\0');
    for (size_t k = 0; k < other.size(); k++) other[k] = static_cast<char>(k * 13 + 1);
    const std::string stream = frame(1, 40, big) + frame(2, 41, wire::i(5)) + frame(3, 42, other) +
                               frame(4, 43, big) + frame(5, 44, wire::i(6));
    std::thread writer([&] { put(stream); });
    size_t total = 0;
    for (int reads = 0; total < 5 && reads < 100000; reads++) {
        int32_t got = ipod_read_packets(client);
        ASSERT_GE(got, 0);
        total += static_cast<size_t>(got);
    }
    writer.join();
    auto q = queued();
    ASSERT_EQ(q.size(), 5u);
    const std::string expected[] = {big, wire::i(5), other, big, wire::i(6)};
    for (size_t k = 0; k < 5; k++) {
        EXPECT_EQ(q[k]->tid, k + 1);
        EXPECT_EQ(q[k]->opcode, 40 + k);
        EXPECT_TRUE(payload_of(q[k]) == expected[k]) << "packet " << k + 1;
    }
    EXPECT_EQ(client->rx_len, 0u);
}

TEST_F(Link, NonBlockingDescriptorWithoutDataIsNoPacket) {
    ASSERT_EQ(fcntl(client->fd, F_SETFL, fcntl(client->fd, F_GETFL) | O_NONBLOCK), 0);
    EXPECT_EQ(ipod_read_packets(client), 0);
    EXPECT_EQ(kiv_ipod_read(client), 0);
    EXPECT_GE(client->fd, 0);
    put(frame(3, 30, ""));
    EXPECT_EQ(ipod_read_packets(client), 1);

    // A wait on a non-blocking descriptor sleeps instead of giving up.
    std::thread later([&] {
        usleep(30000);
        put(frame(4, 30, wire::i(9)));
    });
    ipod_packet *reply = ipod_wait_reply(client, 4, 0);
    later.join();
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(payload_of(reply), wire::i(9));
    ipod_packet_free(reply);
    EXPECT_GE(client->fd, 0);
}

void on_alarm(int) {}

TEST_F(Link, InterruptedReadIsRetried) {
    struct sigaction act = {}, old;
    act.sa_handler = on_alarm;  // no SA_RESTART: the read returns EINTR
    sigaction(SIGALRM, &act, &old);
    itimerval timer = {};
    timer.it_value.tv_usec = 20000;
    setitimer(ITIMER_REAL, &timer, nullptr);
    std::thread later([&] {
        usleep(120000);
        put(frame(3, 30, ""));
    });
    EXPECT_EQ(ipod_read_packets(client), 1);
    later.join();
    EXPECT_GE(client->fd, 0);
    sigaction(SIGALRM, &old, nullptr);
}

struct Seen {
    std::vector<std::string> order;
};

int record_ping(kiv_ipod_client *, uint32_t tid, void *data) {
    static_cast<Seen *>(data)->order.push_back("ping " + std::to_string(tid));
    return 0;
}

int record_reply(kiv_ipod_client *, uint32_t tid, int32_t result, const char *text, void *data) {
    static_cast<Seen *>(data)->order.push_back("reply " + std::to_string(tid) + " " + std::to_string(result) +
                                               (text ? std::string(" ") + text : std::string()));
    return 0;
}

TEST_F(Link, WaitWithoutDispatchKeepsOthersQueuedInOrder) {
    Seen seen;
    kiv_ipod_set_ping_cb(client, record_ping, &seen);
    kiv_ipod_set_reply_cb(client, record_reply, &seen);
    put(frame(90, 54, "") + frame(91, 30, wire::i(1)) + frame(5, 3, wire::i(-1)) + frame(92, 54, ""));
    ipod_packet *reply = ipod_wait_reply(client, 5, 0);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->opcode, IPOD_OP_PACKET_ERROR);
    EXPECT_EQ(kivtest::log_count(kError, "Packet error: transaction id 0x0005\n"), 1);
    ipod_packet_free(reply);
    EXPECT_TRUE(seen.order.empty());
    EXPECT_EQ(client->waiting, 0);
    ASSERT_EQ(queued().size(), 3u);
    EXPECT_EQ(client->packets_tail, queued()[2]);

    // The next read that completes a packet delivers the old ones first.
    put(frame(93, 54, ""));
    EXPECT_EQ(kiv_ipod_read(client), 1);
    EXPECT_EQ(seen.order, (std::vector<std::string>{"ping 90", "reply 91 1", "ping 92", "ping 93"}));
    EXPECT_TRUE(queued().empty());
}

TEST_F(Link, WaitWithDispatchDeliversEverythingElseBeforeReturning) {
    Seen seen;
    kiv_ipod_set_ping_cb(client, record_ping, &seen);
    kiv_ipod_set_reply_cb(client, record_reply, &seen);
    put(frame(90, 54, "") + frame(91, 30, wire::i(4)));
    put(frame(6, 30, wire::i(0)) + frame(92, 54, ""));
    ipod_packet *reply = ipod_wait_reply(client, 6, 1);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->tid, 6u);
    ipod_packet_free(reply);
    // Packets after the reply in the same read are delivered too.
    EXPECT_EQ(seen.order, (std::vector<std::string>{"ping 90", "reply 91 4", "ping 92"}));
    EXPECT_EQ(kivtest::log_count(kError, "Another thread already using this call\n"), 0);
    EXPECT_EQ(kivtest::log_count_containing("Packet error"), 0);
}

TEST_F(Link, ConnectionEndingDuringAWait) {
    Seen seen;
    kiv_ipod_set_ping_cb(client, record_ping, &seen);
    // Without dispatch nothing is delivered, and nothing leaks on close.
    put(frame(90, 54, "") + frame(91, 30, wire::i(4)));
    shutdown(peer, SHUT_WR);
    EXPECT_EQ(ipod_wait_reply(client, 6, 0), nullptr);
    EXPECT_EQ(client->fd, -1);
    EXPECT_EQ(client->waiting, 0);
    EXPECT_TRUE(seen.order.empty());
    EXPECT_EQ(queued().size(), 2u);

    // No read will ever complete a packet again: the next kiv_ipod_read
    // delivers what the wait left queued, then reports the loss.
    kiv_ipod_set_reply_cb(client, record_reply, &seen);
    EXPECT_EQ(kiv_ipod_read(client), -1);
    EXPECT_EQ(seen.order, (std::vector<std::string>{"ping 90", "reply 91 4"}));
    EXPECT_TRUE(queued().empty());
    EXPECT_EQ(kiv_ipod_read(client), -1);
}

TEST_F(Link, ConnectionEndingDuringADispatchingWaitDeliversWhatArrived) {
    Seen seen;
    kiv_ipod_set_ping_cb(client, record_ping, &seen);
    kiv_ipod_set_reply_cb(client, record_reply, &seen);
    put(frame(90, 54, "") + frame(91, 30, wire::i(4)) + frame(92, 54, "").substr(0, 5));
    shutdown(peer, SHUT_WR);
    EXPECT_EQ(ipod_wait_reply(client, 6, 1), nullptr);
    EXPECT_EQ(client->fd, -1);
    EXPECT_EQ(seen.order, (std::vector<std::string>{"ping 90", "reply 91 4"}));
    EXPECT_TRUE(queued().empty());
    EXPECT_EQ(kivtest::log_count(kError, "Another thread already using this call\n"), 0);
}

TEST_F(Link, AnEventWithTheAwaitedIdEndsTheWait) {
    put(frame(90, 54, "") + frame(6, 1, wire::h({})));
    ipod_packet *got = ipod_wait_reply(client, 6, 0);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->opcode, 1);
    ipod_packet_free(got);
    EXPECT_EQ(queued().size(), 1u);
}

using Clock = std::chrono::steady_clock;

int64_t ms_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Runs `body` on another thread; if it has not finished within `limit_ms`,
// fails and calls `unblock` so that the thread can end.
template <typename Body, typename Unblock>
void finishes_within(int limit_ms, Body body, Unblock unblock) {
    auto done = std::async(std::launch::async, body);
    if (done.wait_for(std::chrono::milliseconds(limit_ms)) != std::future_status::ready) {
        ADD_FAILURE() << "still blocked after " << limit_ms << " ms";
        unblock();
    }
    done.get();
}

TEST_F(Link, ExpiredWaitKeepsTheConnectionAndTheLateReplyIsMatchedById) {
    Seen seen;
    kiv_ipod_set_reply_cb(client, record_reply, &seen);
    client->ready = 1;
    EXPECT_EQ(kiv_ipod_set_timeout(client, 80), 0);
    put(frame(77, 54, ""));  // arrives during the wait, delivered when it ends
    kiv_ipod_set_ping_cb(client, record_ping, &seen);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(kiv_ipod_play_sync(client), -1);
    EXPECT_GE(ms_since(start), 80);
    EXPECT_EQ(kivtest::log_count(kError, "kiv_ipod_play_sync, no reply within 80 ms\n"), 1);
    EXPECT_EQ(kivtest::log_count_containing("no reply within"), 1);
    EXPECT_GE(client->fd, 0);
    EXPECT_EQ(seen.order, (std::vector<std::string>{"ping 77"}));

    // The late reply goes to the reply callback under its id; the next
    // blocking request gets its own.
    put(frame(1, 6, wire::i(5)) + frame(2, 6, wire::i(7)));
    EXPECT_EQ(kiv_ipod_play_sync(client), 7);
    EXPECT_EQ(seen.order, (std::vector<std::string>{"ping 77", "reply 1 5"}));
    EXPECT_EQ(kiv_ipod_set_timeout(client, -5), 80);
    EXPECT_EQ(kiv_ipod_set_timeout(client, 0), 0);
}

TEST_F(Link, AWriteThatCannotFinishIsBoundedAndClosesTheConnection) {
    // The peer never reads. Blocking descriptor with a bound; non-blocking
    // descriptor with a bound, and without one (then one second).
    struct Case {
        bool nonblocking;
        int32_t timeout;
        int64_t at_least;
    };
    const Case cases[] = {{false, 60, 60}, {true, 60, 60}, {true, 0, IPOD_NONBLOCKING_WRITE_WAIT_MS}};
    const std::string big(8u << 20, 'x');
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
        finishes_within(
            5000, [&] { written = ipod_write_all(client, big.data(), static_cast<uint32_t>(big.size())); },
            [&] { shutdown(peer, SHUT_RDWR); });
        EXPECT_EQ(written, -1);
        EXPECT_GE(ms_since(start), k.at_least);
        EXPECT_EQ(client->fd, -1);
        EXPECT_EQ(kivtest::log_count(kError, std::string("send error: ") + strerror(ETIMEDOUT) + "\n"), 1);
    }
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
        EXPECT_EQ(kiv_ipod_get_play_state_sync(client), -1);
        EXPECT_EQ(client->fd, -1);
        EXPECT_EQ(client->current_track_info_tid, 0u);
        EXPECT_EQ(client->preference_tid, 0u);
        EXPECT_EQ(client->open_session_tid, 0u);
        EXPECT_EQ(client->play_state_tid, 0u);
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
        for (ipod_packet *p : queued()) held += sizeof(ipod_packet) + p->length;
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

}  // namespace
