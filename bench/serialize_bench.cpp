// Encode and decode costs of value trees, per element, for small and large
// containers and for a typical reply hash.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../tests/support/colliding_keys.h"
#include "kiv_ipod.h"
#include "serialize/serialize_private.h"

namespace {

serialize_value *int_array(int n) {
    serialize_value *array = serialize_array();
    // A private tail keeps building linear; serialize_array_add walks the list.
    serialize_array_cell *tail = static_cast<serialize_array_cell *>(array->data);
    for (int i = 0; i < n; i++) {
        if (i > 0) {
            tail->next = serialize_array_new();
            tail = tail->next;
        }
        tail->value = serialize_int(i * 7919 - 500000);
    }
    return array;
}

serialize_value *int_hash(int n) {
    serialize_value *hash = serialize_hash();
    serialize_hash_entry *tail = static_cast<serialize_hash_entry *>(hash->data);
    for (int i = 0; i < n; i++) {
        if (i > 0) {
            tail->next = serialize_hash_new();
            tail = tail->next;
        }
        char key[32];
        snprintf(key, sizeof key, "key_%d", i);
        tail->key = strdup(key);
        tail->value = serialize_int(i);
    }
    return hash;
}

serialize_value *reply_hash() {
    serialize_value *hash = serialize_hash();
    const char *texts[] = {"title", "artist", "album", "genre", "composer", "chapter", "serial", "name"};
    const char *ints[] = {"result",   "length",  "position",    "state",       "track_index", "track_count",
                          "chapters", "ipod_id", "sample_rate", "has_artwork", "is_podcast",  "timestamp"};
    for (const char *k : texts) serialize_hash_add(hash, k, serialize_string("Some short text"));
    int64_t v = 1;  // growing integers, kept in range
    for (const char *k : ints)
        serialize_hash_add(hash, k, serialize_int(static_cast<int32_t>(v = v * 37 % 2000000011)));
    return hash;
}

void encode(benchmark::State &state, serialize_value *tree, int64_t elements) {
    for (auto _ : state) {
        int32_t length = 0;
        uint8_t *bytes = serialize(tree, &length);
        benchmark::DoNotOptimize(bytes);
        free(bytes);
    }
    state.SetItemsProcessed(state.iterations() * elements);
    serialize_free(tree);
}

void decode(benchmark::State &state, serialize_value *tree, int64_t elements) {
    int32_t length = 0;
    uint8_t *bytes = serialize(tree, &length);
    serialize_free(tree);
    for (auto _ : state) {
        serialize_value *back = unserialize(bytes, length);
        benchmark::DoNotOptimize(back);
        serialize_free(back);
    }
    state.SetItemsProcessed(state.iterations() * elements);
    state.SetBytesProcessed(state.iterations() * length);
    free(bytes);
}

void BM_EncodeIntArray(benchmark::State &s) {
    encode(s, int_array(static_cast<int>(s.range(0))), s.range(0));
}
void BM_DecodeIntArray(benchmark::State &s) {
    decode(s, int_array(static_cast<int>(s.range(0))), s.range(0));
}
void BM_EncodeHash(benchmark::State &s) {
    encode(s, int_hash(static_cast<int>(s.range(0))), s.range(0));
}
void BM_DecodeHash(benchmark::State &s) {
    decode(s, int_hash(static_cast<int>(s.range(0))), s.range(0));
}
void BM_EncodeReply(benchmark::State &s) {
    encode(s, reply_hash(), 20);
}
void BM_DecodeReply(benchmark::State &s) {
    decode(s, reply_hash(), 20);
}
void BM_DupReply(benchmark::State &s) {
    serialize_value *tree = reply_hash();
    for (auto _ : s) {
        serialize_value *copy = serialize_dup(tree);
        benchmark::DoNotOptimize(copy);
        serialize_free(copy);
    }
    s.SetItemsProcessed(s.iterations() * 20);
    serialize_free(tree);
}

// Hash flooding: one hash of N eight-byte keys, random ones against keys
// that an unkeyed FNV-1a index would send to one probe run (FNV-colliding), and
// against every key on one hash in the index (the worst case of the keyed
// index, built with the test switch), where its probe budget hands over to
// the sorted merge.
void BM_DecodeKeys(benchmark::State &state, int which) {
    size_t n = static_cast<size_t>(state.range(0));
    std::string bytes =
        kivtest::hash_of_keys(which == 1 ? kivtest::fnv_colliding_keys(n) : kivtest::random_keys(n, 7));
    kiv_serialize::collide_all_keys.store(which == 2);
    for (auto _ : state) {
        serialize_value *back = unserialize(bytes.data(), static_cast<int32_t>(bytes.size()));
        benchmark::DoNotOptimize(back);
        serialize_free(back);
    }
    kiv_serialize::collide_all_keys.store(false);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
}

BENCHMARK_CAPTURE(BM_DecodeKeys, random, 0)->Arg(65536)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DecodeKeys, fnv_colliding, 1)->Arg(65536)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DecodeKeys, one_hash, 2)->Arg(65536)->Unit(benchmark::kMillisecond);

BENCHMARK(BM_EncodeIntArray)->Arg(1000)->Arg(100000)->Arg(1000000);
BENCHMARK(BM_DecodeIntArray)->Arg(1000)->Arg(100000)->Arg(1000000);
BENCHMARK(BM_EncodeHash)->Arg(1000)->Arg(100000);
BENCHMARK(BM_DecodeHash)->Arg(1000)->Arg(100000);
BENCHMARK(BM_EncodeReply);
BENCHMARK(BM_DecodeReply);
BENCHMARK(BM_DupReply);

}  // namespace

BENCHMARK_MAIN();
