// White-box tests of framing, reassembly, transaction ids, reply waits,
// queue limits and nesting, on a handle wired to one end of a socket pair.
#include "link_fixture.h"

using namespace linktest;

namespace {

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

// A payload the encoder refuses (a key longer than 255 bytes) cannot be sent
// faithfully: the send fails like a write, logged once, as a limit, and the
// connection goes so that nothing waits for a reply that cannot come.
TEST_F(Link, APayloadThatCannotBeEncodedFailsTheSend) {
    serialize_value *payload = serialize_hash();
    serialize_hash_add(payload, std::string(300, 'k').c_str(), serialize_int(1));
    ipod_packet request = {};
    request.opcode = 6;
    request.payload = payload;
    EXPECT_EQ(ipod_send(client, &request), -1);
    EXPECT_EQ(kivtest::log_count(kError, "send error: payload cannot be encoded\n"), 1);
    EXPECT_EQ(kiv_ipod_last_error_kind(client), KIV_IPOD_ERROR_LIMIT);
    EXPECT_EQ(client->fd, -1);
    char byte;
    EXPECT_EQ(read(peer, &byte, 1), 0) << "nothing was written";
    serialize_free(payload);
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
        std::string request;
        for (int k = 0; k < 2 * kBusy + 1 && kivtest::read_frame(peer, request); k++) {
            std::string answer;
            if (k < kBusy)
                answer =
                    kivtest::event("playlist_changed", 1, "A") + kivtest::event("playlist_changed", 1, "B");
            answer += frame(kivtest::u32_at(request, 4), 6, wire::i(0));
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

// A packet left queued by an earlier pass is dispatched at once when the
// descriptor has nothing to read, whatever errno holds from before (a
// stale EINTR is not a reason to poll again).
TEST_F(Link, ALeftOverPacketIsDispatchedAtOnceWhateverErrnoHeld) {
    trace();
    ipod_packet *left = ipod_packet_new();
    ASSERT_NE(left, nullptr);
    left->tid = 77;
    left->opcode = IPOD_OP_ping;
    ipod_queue_append(client, left);
    EXPECT_EXIT(
        {
            alarm(5);
            errno = EINTR;
            const int32_t read = kiv_ipod_read(client);
            _exit(read == 0 && g_order == std::vector<std::string>{"ping 77"} ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

// The last read of a large frame asks for a whole chunk and may take the
// next frame's bytes with the frame's end: both frames are kept, the large
// one not taking over a buffer that holds more than itself.
TEST_F(Link, ALargeFramesLastReadThatTakesTheNextFrameKeepsBoth) {
    const std::string big = frame(5, 30, std::string(100000, 'p')), small = frame(6, 31, "xy");
    put(big.substr(0, big.size() - 100));
    while (client->rx_len < big.size() - 100 && ipod_readable_now(client))
        ASSERT_GE(ipod_read_packets(client), 0);
    put(big.substr(big.size() - 100) + small);
    while (kiv_ipod_pending(client) < 2 && ipod_readable_now(client)) ASSERT_GE(ipod_read_packets(client), 0);
    EXPECT_EQ(take_queue(), (std::vector<std::string>{big, small}));
}

}  // namespace
