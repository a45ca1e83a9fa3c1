// Daemon link costs: receiving large replies (per-byte cost must not grow
// with the size) and the round trip of a blocking request, measured beside
// a raw socket ping-pong of the same byte counts.
#include <benchmark/benchmark.h>
#include <errno.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "fake_daemon.h"
#include "handle.h"
#include "link/link.h"
#include "wired_handle.h"

namespace {

using kivtest::frame;

using Wired = kivtest::WiredHandle;

// Receiving one reply of the given payload size, the sender streaming
// replies back to back from its own thread.
void BM_ReceiveReply(benchmark::State &state) {
    const size_t size = static_cast<size_t>(state.range(0));
    const std::string packet = frame(9, 40, std::string(size, 'x'));
    Wired w;
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        while (!stop.load(std::memory_order_relaxed))
            if (!kivtest::write_all(w.peer, packet.data(), packet.size())) break;
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
// The largest reply the framing accepts is 16 MiB of payload.
BENCHMARK(BM_ReceiveReply)->Arg(64 << 10)->Arg((16 << 20) - 64)->UseRealTime();

// The responder answers each 16-byte request with an integer reply.
void respond(int fd) {
    char header[16];
    while (kivtest::read_all(fd, header, sizeof header)) {
        uint32_t tid = (static_cast<uint32_t>(static_cast<uint8_t>(header[4])) << 24) |
                       (static_cast<uint32_t>(static_cast<uint8_t>(header[5])) << 16) |
                       (static_cast<uint32_t>(static_cast<uint8_t>(header[6])) << 8) |
                       static_cast<uint8_t>(header[7]);
        const std::string reply = frame(tid, static_cast<uint8_t>(header[8]),
                                        std::string("i\x01"
                                                    "0",
                                                    3));
        if (!kivtest::write_all(fd, reply.data(), reply.size())) break;
    }
}

// Listens on the daemon's abstract socket name; -1 when it is taken.
int listen_as_daemon() {
    static const char kName[] = "com.kiv.ipod.IPodDaemon";
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path + 1, kName, sizeof kName - 1);
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof kName);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0 || listen(fd, 1) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    return fd;
}

// The daemon's side of a public round trip: the opening request gets a
// device list, an open-session request the result 1 and the same list, and
// every other request the integer 0.
void serve_daemon(int listener) {
    int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) return;
    serialize_value *device = serialize_hash();
    serialize_hash_add(device, "serial", serialize_string("SER1"));
    serialize_hash_add(device, "ipod_id", serialize_int(7));
    serialize_hash_add(device, "authenticated", serialize_int(1));
    serialize_hash_add(device, "extended", serialize_int(1));
    serialize_hash_add(device, "ready", serialize_int(1));
    serialize_value *devices = serialize_array();
    serialize_array_add(devices, device);
    auto encode = [](serialize_value *v) {
        int32_t n = 0;
        uint8_t *b = serialize(v, &n);
        std::string out(reinterpret_cast<char *>(b), static_cast<size_t>(n));
        free(b);
        serialize_free(v);
        return out;
    };
    serialize_value *opening = serialize_hash();
    serialize_hash_add(opening, "devices", serialize_dup(devices));
    serialize_hash_add(opening, "pid", serialize_int(4242));
    serialize_value *session = serialize_hash();
    serialize_hash_add(session, "result", serialize_int(1));
    serialize_hash_add(session, "devices", devices);
    const std::string opening_reply = encode(opening);
    const std::string session_reply = encode(session);
    char header[16];
    std::string payload;
    while (kivtest::read_all(fd, header, sizeof header)) {
        uint32_t tid = (static_cast<uint32_t>(static_cast<uint8_t>(header[4])) << 24) |
                       (static_cast<uint32_t>(static_cast<uint8_t>(header[5])) << 16) |
                       (static_cast<uint32_t>(static_cast<uint8_t>(header[6])) << 8) |
                       static_cast<uint8_t>(header[7]);
        uint32_t length = (static_cast<uint32_t>(static_cast<uint8_t>(header[12])) << 24) |
                          (static_cast<uint32_t>(static_cast<uint8_t>(header[13])) << 16) |
                          (static_cast<uint32_t>(static_cast<uint8_t>(header[14])) << 8) |
                          static_cast<uint8_t>(header[15]);
        payload.resize(length);
        if (length && !kivtest::read_all(fd, &payload[0], length)) break;
        uint8_t opcode = static_cast<uint8_t>(header[8]);
        const std::string body = opcode == 0   ? opening_reply
                                 : opcode == 4 ? session_reply
                                               : std::string(
                                                     "i\x01"
                                                     "0",
                                                     3);
        const std::string reply = frame(tid, opcode, body);
        if (!kivtest::write_all(fd, reply.data(), reply.size())) break;
    }
    close(fd);
}

// A public blocking request with a one-integer reply on a ready handle:
// kiv_ipod_play_sync against an in-process responder on the daemon's
// socket name (the benchmarks run in a private network namespace).
void BM_RoundTripPlaySync(benchmark::State &state) {
    int listener = listen_as_daemon();
    if (listener < 0) {
        state.SkipWithError("cannot listen on the daemon's name (run in a private network namespace)");
        return;
    }
    std::thread daemon(serve_daemon, listener);
    kiv_ipod_client *client = kiv_ipod_connect();
    if (!client || kiv_ipod_open_session_sync(client, 0) != 1 || kiv_ipod_is_ready(client) != 1) {
        state.SkipWithError("handle not ready");
        kiv_ipod_close(client);
        shutdown(listener, SHUT_RDWR);
        close(listener);
        daemon.join();
        return;
    }
    for (auto _ : state) {
        if (kiv_ipod_play_sync(client) != 0) {
            state.SkipWithError("play failed");
            break;
        }
    }
    kiv_ipod_close(client);
    daemon.join();
    close(listener);
}
BENCHMARK(BM_RoundTripPlaySync)->UseRealTime();

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
        if (!kivtest::write_all(sv[0], request.data(), request.size()) ||
            !kivtest::read_all(sv[0], reply, sizeof reply)) {
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
