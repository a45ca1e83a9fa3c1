// Lists through the public functions, per element, at 1,000 to 1,000,000
// elements: an array built by serialize_array_add, counted, read in order
// and at random; a hash built by serialize_hash_add, read in order by
// index and key, and looked up by key at random; and the lists the
// library caches, read through their accessors (records, the db track
// list, chapters), with a records reply whose "first" field lies. The cost
// per element should not grow with the length, except where the machine's
// caches stop holding the list (random reads of a million elements).
#include <benchmark/benchmark.h>
#include <stdarg.h>
#include <stdio.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "cache/cache.h"
#include "fake_daemon.h"
#include "handle.h"
#include "link/link.h"
#include "protocol/protocol.h"
#include "values.h"

// Log records are formatted, as the library formats them, and dropped.
extern "C" __attribute__((visibility("default"))) int __android_log_vprint(int, const char *, const char *fmt,
                                                                           va_list ap) {
    char buf[256];
    return vsnprintf(buf, sizeof buf, fmt, ap);
}

namespace {

namespace wire = kivtest::wire;

// Indexes 0 .. n-1 in a fixed shuffled order.
std::vector<int32_t> shuffled(int32_t n) {
    std::vector<int32_t> order(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; i++) order[static_cast<size_t>(i)] = i;
    uint32_t seed = 99;
    for (int32_t i = n - 1; i > 0; i--) {
        seed = seed * 1103515245u + 12345u;
        std::swap(order[static_cast<size_t>(i)], order[(seed >> 4) % static_cast<uint32_t>(i + 1)]);
    }
    return order;
}

serialize_value *array_of(int32_t n) {
    serialize_value *array = serialize_array();
    for (int32_t i = 0; i < n; i++) serialize_array_add(array, serialize_int(i));
    return array;
}

std::vector<std::string> keys_of(int32_t n) {
    std::vector<std::string> keys;
    for (int32_t i = 0; i < n; i++) keys.push_back("track_" + std::to_string(i));
    return keys;
}

serialize_value *hash_of(const std::vector<std::string> &keys) {
    serialize_value *hash = serialize_hash();
    int32_t i = 0;
    for (const std::string &key : keys) serialize_hash_add(hash, key.c_str(), serialize_int(i++));
    return hash;
}

void BM_ArrayBuildByAdd(benchmark::State &state) {
    const auto n = static_cast<int32_t>(state.range(0));
    for (auto _ : state) {
        serialize_value *array = array_of(n);
        benchmark::DoNotOptimize(array);
        state.PauseTiming();
        serialize_free(array);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * n);
}

// One count per element added, as a loop that checks the length does.
void BM_ArrayCount(benchmark::State &state) {
    const auto n = static_cast<int32_t>(state.range(0));
    serialize_value *array = array_of(n);
    for (auto _ : state)
        for (int32_t i = 0; i < n; i++) benchmark::DoNotOptimize(serialize_array_count(array));
    serialize_free(array);
    state.SetItemsProcessed(state.iterations() * n);
}

void BM_ArrayGetInOrder(benchmark::State &state) {
    const auto n = static_cast<int32_t>(state.range(0));
    serialize_value *array = array_of(n);
    for (auto _ : state)
        for (int32_t i = 0; i < n; i++) benchmark::DoNotOptimize(serialize_array_get(array, i));
    serialize_free(array);
    state.SetItemsProcessed(state.iterations() * n);
}

void BM_ArrayGetAtRandom(benchmark::State &state) {
    const auto n = static_cast<int32_t>(state.range(0));
    serialize_value *array = array_of(n);
    const std::vector<int32_t> order = shuffled(n);
    for (auto _ : state)
        for (int32_t i : order) benchmark::DoNotOptimize(serialize_array_get(array, i));
    serialize_free(array);
    state.SetItemsProcessed(state.iterations() * n);
}

// The machine's own cost of the same random reads, with no library code:
// n blocks of a cell's size reached through an array of pointers to them
// (a position, then the block), read in the same order, in a loop of a
// few instructions, so that many reads are in flight at once. Past the
// caches even this grows several times from 1,000 to 1,000,000; a read
// through a function call has fewer reads in flight and grows more.
void BM_FloorRandomRead(benchmark::State &state) {
    const auto n = static_cast<int32_t>(state.range(0));
    std::vector<serialize_array_cell *> blocks(static_cast<size_t>(n));
    for (auto &block : blocks) block = new serialize_array_cell{nullptr, nullptr};
    const std::vector<int32_t> order = shuffled(n);
    for (auto _ : state)
        for (int32_t i : order) {
            serialize_value *value = blocks[static_cast<size_t>(i)]->value;  // loaded, as a read returns it
            benchmark::DoNotOptimize(value);
        }
    for (auto *block : blocks) delete block;
    state.SetItemsProcessed(state.iterations() * n);
}

void BM_HashBuildByAdd(benchmark::State &state) {
    const std::vector<std::string> keys = keys_of(static_cast<int32_t>(state.range(0)));
    for (auto _ : state) {
        serialize_value *hash = hash_of(keys);
        benchmark::DoNotOptimize(hash);
        state.PauseTiming();
        serialize_free(hash);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// Every entry by index, then its value by its key.
void BM_HashGetKeyInOrder(benchmark::State &state) {
    const auto n = static_cast<int32_t>(state.range(0));
    serialize_value *hash = hash_of(keys_of(n));
    for (auto _ : state)
        for (int32_t i = 0; i < n; i++)
            benchmark::DoNotOptimize(serialize_hash_get(hash, serialize_hash_get_key(hash, i)));
    serialize_free(hash);
    state.SetItemsProcessed(state.iterations() * n);
}

void BM_HashLookupAtRandom(benchmark::State &state) {
    const auto n = static_cast<int32_t>(state.range(0));
    const std::vector<std::string> keys = keys_of(n);
    serialize_value *hash = hash_of(keys);
    const std::vector<int32_t> order = shuffled(n);
    for (auto _ : state)
        for (int32_t i : order)
            benchmark::DoNotOptimize(serialize_hash_get(hash, keys[static_cast<size_t>(i)].c_str()));
    serialize_free(hash);
    state.SetItemsProcessed(state.iterations() * n);
}

// The same for a hash: the C++ library's own unordered_map, built from the
// same keys and looked up in the same order, with no code of ours.
void BM_FloorHashBuild(benchmark::State &state) {
    const std::vector<std::string> keys = keys_of(static_cast<int32_t>(state.range(0)));
    for (auto _ : state) {
        std::unordered_map<std::string, int32_t> map;
        int32_t i = 0;
        for (const std::string &key : keys) map[key] = i++;
        benchmark::DoNotOptimize(map);
        state.PauseTiming();
        map = {};
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_FloorHashLookupAtRandom(benchmark::State &state) {
    const auto n = static_cast<int32_t>(state.range(0));
    const std::vector<std::string> keys = keys_of(n);
    std::unordered_map<std::string, int32_t> map;
    for (int32_t i = 0; i < n; i++) map[keys[static_cast<size_t>(i)]] = i;
    const std::vector<int32_t> order = shuffled(n);
    for (auto _ : state)
        for (int32_t i : order) {
            int32_t value = map.find(keys[static_cast<size_t>(i)])->second;
            benchmark::DoNotOptimize(value);
        }
    state.SetItemsProcessed(state.iterations() * n);
}

// ---------------------------------------------------------------- cached lists

// A records reply as the daemon sends it: [0, ok, first, count, texts...],
// decoded into the handle's cache.
serialize_value *records_reply(int32_t n, int32_t first, int32_t count) {
    std::vector<std::string> items{wire::i(0), wire::i(1), wire::i(first), wire::i(count)};
    for (int32_t i = 0; i < n; i++) items.push_back(wire::s("record " + std::to_string(i)));
    const std::string bytes = wire::a(items);
    return unserialize(bytes.data(), static_cast<int32_t>(bytes.size()));
}

void records(benchmark::State &state, int32_t first) {
    const auto n = static_cast<int32_t>(state.range(0));
    kiv_ipod_client *client = ipod_client_new(-1);
    // A lying reply also claims to hold far more than it does.
    client->records = records_reply(n, first, first == 1000 ? n : INT32_MAX);
    for (auto _ : state)
        for (int32_t i = 0; i < n; i++) benchmark::DoNotOptimize(kiv_ipod_record(client, 1000 + i));
    if ((kiv_ipod_record(client, 1000) != nullptr) != (first == 1000)) state.SkipWithError("wrong records");
    kiv_ipod_close(client);
    state.SetItemsProcessed(state.iterations() * n);
}

// Every record in order through kiv_ipod_record.
void BM_RecordsInOrder(benchmark::State &state) {
    records(state, 1000);
}
// The same reads when the reply claims to start far below what it holds,
// and to hold far more: every index lies past the records it carries,
// within what it claims.
void BM_RecordsLyingFirst(benchmark::State &state) {
    records(state, -4000000);
}

// A cached list read in order by index through its accessor.
void cached_list(benchmark::State &state, serialize_value *kiv_ipod_client::*slot,
                 serialize_value *(*accessor)(kiv_ipod_client *)) {
    const auto n = static_cast<int32_t>(state.range(0));
    kiv_ipod_client *client = ipod_client_new(-1);
    std::vector<std::string> items;
    for (int32_t i = 0; i < n; i++) items.push_back(wire::b("uid" + std::to_string(i % 100000)));
    const std::string bytes = wire::a(items);
    client->*slot = unserialize(bytes.data(), static_cast<int32_t>(bytes.size()));
    for (auto _ : state) {
        serialize_value *list = accessor(client);
        for (int32_t i = 0; i < n; i++) benchmark::DoNotOptimize(serialize_array_get(list, i));
    }
    if (serialize_array_count(accessor(client)) != n) state.SkipWithError("wrong list");
    kiv_ipod_close(client);
    state.SetItemsProcessed(state.iterations() * n);
}

void BM_DbTracksByIndex(benchmark::State &state) {
    cached_list(state, &kiv_ipod_client::db_track_info, kiv_ipod_get_result_db_track_info);
}
void BM_ChaptersByIndex(benchmark::State &state) {
    cached_list(state, &kiv_ipod_client::indexed_track_chapter_info,
                kiv_ipod_get_result_indexed_track_chapter_info);
}

#define PER_LENGTH(bm) BENCHMARK(bm)->RangeMultiplier(10)->Range(1000, 1000000)->Unit(benchmark::kMicrosecond)
PER_LENGTH(BM_ArrayBuildByAdd);
PER_LENGTH(BM_ArrayCount);
PER_LENGTH(BM_ArrayGetInOrder);
PER_LENGTH(BM_ArrayGetAtRandom);
PER_LENGTH(BM_FloorRandomRead);
PER_LENGTH(BM_HashBuildByAdd);
PER_LENGTH(BM_HashGetKeyInOrder);
PER_LENGTH(BM_HashLookupAtRandom);
PER_LENGTH(BM_FloorHashBuild);
PER_LENGTH(BM_FloorHashLookupAtRandom);
PER_LENGTH(BM_RecordsInOrder);
PER_LENGTH(BM_RecordsLyingFirst);
PER_LENGTH(BM_DbTracksByIndex);
PER_LENGTH(BM_ChaptersByIndex);

}  // namespace

BENCHMARK_MAIN();
