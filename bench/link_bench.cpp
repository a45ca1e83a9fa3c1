// Daemon link costs: receiving large replies (per-byte cost must not grow
// with the size) and the round trip of a blocking request, measured beside
// a raw socket ping-pong of the same byte counts.
#include <benchmark/benchmark.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "internal.h"

namespace {

std::string be32(uint32_t v) {
    std::string out(4, '\0');
    for (int k = 0; k < 4; k++) out[k] = static_cast<char>((v >> (24 - 8 * k)) & 0xFF);
    return out;
}

std::string frame(uint32_t tid, uint8_t opcode, const std::string &payload) {
    std::string out(16, '\0');
    out[0] = static_cast<char>(0xFE);
    out.replace(4, 4, be32(tid));
    out[8] = static_cast<char>(opcode);
    out.replace(12, 4, be32(static_cast<uint32_t>(payload.size())));
    return out + payload;
}

bool write_full(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool read_full(int fd, char *p, size_t n) {
    while (n > 0) {
        ssize_t r = read(fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// A handle wired to one end of a socket pair; `peer` is the other end.
struct Wired {
    kiv_ipod_client *client = nullptr;
    int peer = -1;
    Wired() {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) abort();
        client = static_cast<kiv_ipod_client *>(calloc(1, sizeof(kiv_ipod_client)));
        client->packets = ipod_packet_new();
        client->packets_tail = client->packets;
        reset_cache(client);
        client->fd = sv[0];
        peer = sv[1];
    }
    ~Wired() {
        kiv_ipod_close(client);
        close(peer);
    }
};

// Receiving one reply of the given payload size, the sender streaming
// replies back to back from its own thread.
void BM_ReceiveReply(benchmark::State &state) {
    const size_t size = static_cast<size_t>(state.range(0));
    const std::string packet = frame(9, 40, std::string(size, 'x'));
    Wired w;
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        while (!stop.load(std::memory_order_relaxed))
            if (!write_full(w.peer, packet.data(), packet.size())) break;
    });
    for (auto _ : state) {
        int32_t got = 0;
        while (got == 0) got = ipod_read_packets(w.client);
        if (got < 0) {
            state.SkipWithError("connection lost");
            break;
        }
        while (w.client->packets->next)
            ipod_packet_free(ipod_queue_unlink_after(w.client, w.client->packets));
    }
    stop = true;
    shutdown(w.client->fd, SHUT_RDWR);
    sender.join();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(packet.size()));
    state.counters["ns_per_byte"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * static_cast<double>(packet.size()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ReceiveReply)->Arg(64 << 10)->Arg(4 << 20)->UseRealTime();

// The responder answers each 16-byte request with an integer reply.
void respond(int fd) {
    char header[16];
    while (read_full(fd, header, sizeof header)) {
        uint32_t tid = (static_cast<uint32_t>(static_cast<uint8_t>(header[4])) << 24) |
                       (static_cast<uint32_t>(static_cast<uint8_t>(header[5])) << 16) |
                       (static_cast<uint32_t>(static_cast<uint8_t>(header[6])) << 8) |
                       static_cast<uint8_t>(header[7]);
        const std::string reply = frame(tid, static_cast<uint8_t>(header[8]),
                                        std::string("i\x01"
                                                    "0",
                                                    3));
        if (!write_full(fd, reply.data(), reply.size())) break;
    }
}

// A blocking request through the library: send, wait with dispatch, free.
void BM_RoundTripLibrary(benchmark::State &state) {
    Wired w;
    std::thread responder(respond, w.peer);
    for (auto _ : state) {
        ipod_packet request = {};
        request.opcode = 6;
        ipod_send(w.client, &request);
        ipod_packet *reply = ipod_wait_reply(w.client, request.tid, 1);
        if (!reply) {
            state.SkipWithError("no reply");
            break;
        }
        ipod_packet_free(reply);
    }
    shutdown(w.client->fd, SHUT_RDWR);
    responder.join();
}
BENCHMARK(BM_RoundTripLibrary)->UseRealTime();

// The same byte counts (16 out, 19 back) over a bare socket pair.
void BM_RoundTripRawSocket(benchmark::State &state) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) abort();
    std::thread responder(respond, sv[1]);
    const std::string request = frame(1, 6, "");
    char reply[19];
    for (auto _ : state) {
        if (!write_full(sv[0], request.data(), request.size()) || !read_full(sv[0], reply, sizeof reply)) {
            state.SkipWithError("raw ping-pong failed");
            break;
        }
    }
    shutdown(sv[0], SHUT_RDWR);
    responder.join();
    close(sv[0]);
    close(sv[1]);
}
BENCHMARK(BM_RoundTripRawSocket)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
