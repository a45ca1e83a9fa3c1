// White-box tests of socket faults on a handle wired to a socket pair, and
// of the abstract-namespace connect.
#include <sys/un.h>

#include "link_fixture.h"

using namespace linktest;

namespace {

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
            if (kivtest::read_frame(far, request)) kivtest::write_all(far, reply.data(), cut);
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
        if (!kivtest::read_frame(far, first)) return;
        if (!kivtest::read_frame(far, second)) return;
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

// The abstract-namespace connect of a build without libcutils reaches
// exactly the name it is given (a prefix or an extension of a listening
// name is another name), of up to 107 bytes; a longer one is refused with
// ENAMETOOLONG before any connect.
TEST(AbstractConnect, ReachesExactlyTheNameItIsGiven) {
    const std::string listening = "kiv.test.AbstractConnect", longest(107, 'a'), too_long(108, 'a');
    kivtest::FakeDaemon daemon(listening), far(longest);
    const struct {
        std::string name;
        int result, error;
    } cases[] = {{listening, 0, 0},
                 {listening.substr(0, listening.size() - 1), -1, ECONNREFUSED},
                 {listening + "x", -1, ECONNREFUSED},
                 {longest, 0, 0},
                 {too_long, -1, ENAMETOOLONG}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        errno = 0;
        EXPECT_EQ(ipod_connect_abstract(fd, c.name.c_str()), c.result);
        if (c.result < 0) {
            EXPECT_EQ(errno, c.error);
        }
        close(fd);
    }
}

// A daemon that stopped accepting: its listen queue is full, and a plain
// connect would wait until it goes away. With a time-out from the
// environment each connect waits that long and fails.
TEST(AbstractConnect, AFullListenQueueBoundsTheConnect) {
    const std::string name = "kiv.test.Stalled." + std::to_string(getpid());
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr;
    const socklen_t addr_len = kivtest::abstract_address(name, &addr);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), addr_len), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    std::vector<int> queued;
    for (int k = 0; k < 64; k++) {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        queued.push_back(fd);
        if (ipod_connect_abstract(fd, name.c_str()) != 0) break;
    }
    ASSERT_EQ(errno, EAGAIN) << "the queue is full";
    setenv("KIV_IPOD_SOCKET", name.c_str(), 1);
    setenv("KIV_IPOD_TIMEOUT_MS", "100", 1);
    kiv_ipod_client *c = nullptr;
    for (int attempt = 0; attempt < 3; attempt++) {
        kivtest::log_clear();
        const auto start = std::chrono::steady_clock::now();
        auto connecting = std::async(std::launch::async, kiv_ipod_connect);
        if (connecting.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            ADD_FAILURE() << "the connect waited past its bound";
            shutdown(listener, SHUT_RDWR);
        }
        c = connecting.get();
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, std::chrono::milliseconds(90));
        EXPECT_LT(took, std::chrono::milliseconds(1500));
        EXPECT_EQ(c, nullptr);
        kiv_ipod_close(c);
        EXPECT_EQ(kivtest::log_count(3, "connect_to_server, failed to connect to ipod service\n"), 1);
    }
    for (int fd : queued) close(fd);
    close(listener);
    // A connect that succeeds takes the send time-out off again: writes are
    // bounded by polling, not by the socket.
    kivtest::FakeDaemon daemon(name);
    c = kiv_ipod_connect();
    ASSERT_NE(c, nullptr);
    timeval left = {1, 1};
    socklen_t left_size = sizeof left;
    ASSERT_EQ(getsockopt(kiv_ipod_fd(c), SOL_SOCKET, SO_SNDTIMEO, &left, &left_size), 0);
    EXPECT_EQ(left.tv_sec, 0);
    EXPECT_EQ(left.tv_usec, 0);
    kiv_ipod_close(c);
    unsetenv("KIV_IPOD_SOCKET");
    unsetenv("KIV_IPOD_TIMEOUT_MS");
}

}  // namespace
