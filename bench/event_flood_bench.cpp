// A flood of track-position events through kiv_ipod_read: the cost of one
// event (read, decode, cache update, callback, release) and the memory the
// process holds after 1,000 and after 100,000 events, which must not grow
// with the count.
#include <benchmark/benchmark.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "fake_daemon.h"
#include "handle.h"
#include "link/capture.h"
#include "protocol/protocol.h"
#include "wired_handle.h"

// Counts heap allocations made while `counting` is set: the executable's
// malloc family takes precedence over libc's for the whole process (the
// library included) and forwards to glibc's own entry points.
extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void __libc_free(void *);

namespace {

using kivtest::frame;
std::atomic<bool> counting{false};
std::atomic<int64_t> allocations{0};
}  // namespace

extern "C" void *malloc(size_t size) {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
extern "C" void *calloc(size_t count, size_t size) {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
extern "C" void *realloc(void *old, size_t size) {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(old, size);
}
extern "C" void free(void *block) {
    __libc_free(block);
}

namespace {

std::string encode(serialize_value *value) {
    int32_t length = 0;
    uint8_t *bytes = serialize(value, &length);
    std::string out(reinterpret_cast<char *>(bytes), static_cast<size_t>(length));
    free(bytes);
    serialize_free(value);
    return out;
}

// One "track_position_changed" event for the current device.
std::string position_event(int position) {
    serialize_value *h = serialize_hash();
    serialize_hash_add(h, "event", serialize_string("track_position_changed"));
    serialize_hash_add(h, "session", serialize_int(0));
    serialize_hash_add(h, "ipod_id", serialize_int(7));
    serialize_hash_add(h, "ipod_serial", serialize_string("SER1"));
    serialize_hash_add(h, "data", serialize_int(position));
    return frame(0, IPOD_OP_event, encode(h));
}

long current_rss_kb() {
    long pages = 0, resident = 0;
    FILE *f = fopen("/proc/self/statm", "r");
    if (!f) return -1;
    if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = -1;
    fclose(f);
    return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long peak_rss_kb() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// A handle with one current device, wired to one end of a socket pair.
struct Wired : kivtest::WiredHandle {
    Wired() {
        serialize_value *device = serialize_hash();
        serialize_hash_add(device, "serial", serialize_string("SER1"));
        serialize_hash_add(device, "ipod_id", serialize_int(7));
        client->devices = serialize_array();
        serialize_array_add(client->devices, device);
        client->current_session = 0;
    }
};

int count_event(kiv_ipod_client *, kiv_ipod_event *, void *data) {
    ++*static_cast<int64_t *>(data);
    return 0;
}

// With `capture_dir`, every handle writes a capture file there
// (KIV_IPOD_CAPTURE), removed after the run.
void flood(benchmark::State &state, const char *capture_dir) {
    const int64_t events = state.range(0);
    // The writer repeats one batch of 64 events, so the bench itself holds
    // no memory proportional to the count.
    std::string batch;
    for (int i = 0; i < 64; ++i) batch += position_event(1000 + i);
    const int64_t batches = events / 64;

    int64_t delivered = 0;
    allocations = 0;
    for (auto _ : state) {
        Wired w;
        if (capture_dir) w.client->capture = kiv_capture_open(capture_dir);
        delivered = 0;
        kiv_ipod_set_event_cb(w.client, count_event, &delivered);
        std::thread writer([&] {
            for (int64_t b = 0; b < batches; ++b)
                if (!kivtest::write_all(w.peer, batch.data(), batch.size())) break;
        });
        counting = true;
        while (delivered < batches * 64)
            if (kiv_ipod_read(w.client) < 0) break;
        counting = false;
        writer.join();
        if (kiv_ipod_current_track_position(w.client) != 1063) state.SkipWithError("wrong final position");
    }
    state.SetItemsProcessed(state.iterations() * batches * 64);
    state.counters["ns_per_event"] =
        benchmark::Counter(static_cast<double>(state.iterations() * batches * 64),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["events_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * batches * 64), benchmark::Counter::kIsRate);
    state.counters["allocs_per_event"] =
        static_cast<double>(allocations.load()) / static_cast<double>(state.iterations() * batches * 64);
    state.counters["rss_kb"] = static_cast<double>(current_rss_kb());
    state.counters["peak_rss_kb"] = static_cast<double>(peak_rss_kb());
}

void BM_EventFlood(benchmark::State &state) {
    flood(state, nullptr);
}

// The same flood with the packet capture on: every event also goes through
// the capture buffer into a file.
void BM_EventFloodCaptured(benchmark::State &state) {
    char dir[] = "/tmp/kiv-capture-bench.XXXXXX";
    if (!mkdtemp(dir)) return state.SkipWithError("no temporary directory");
    flood(state, dir);
    std::string remove = std::string("rm -rf ") + dir;
    if (system(remove.c_str()) != 0) state.SkipWithError("cannot remove the capture files");
}
// 1,000 first and then 100,000: the peak after the larger run shows
// whether memory grows with the count.
BENCHMARK(BM_EventFlood)->Arg(1024)->Arg(100032)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_EventFloodCaptured)->Arg(100032)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
