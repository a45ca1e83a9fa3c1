// Encode and decode costs of value trees, per element, for small and large
// containers and for a typical reply hash.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../tests/support/colliding_keys.h"
#include "kiv_ipod.h"
#include "serialize/serialize_private.h"

namespace {

serialize_value *int_array(int n) {
    serialize_value *array = serialize_array();
    // Linked by hand, as a user of the public structs may; the list state
    // counts such links in when the list is next used.
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

// The stack of the deepest value the decoder accepts: 256 levels, hashes
// and arrays in turn, decoded, printed, copied, encoded and freed on a
// thread whose stack is painted; the counter is the bytes it touched.
size_t stack_touched(void (*work)(const std::string *), const std::string *input) {
    constexpr size_t kSize = 1 << 20;
    constexpr unsigned char kPaint = 0xA5;
    void *stack = nullptr;
    if (posix_memalign(&stack, 4096, kSize) != 0) return 0;
    memset(stack, kPaint, kSize);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstack(&attr, stack, kSize);
    struct Job {
        void (*work)(const std::string *);
        const std::string *input;
    } job = {work, input};
    pthread_t thread;
    auto run = [](void *arg) -> void * {
        Job *j = static_cast<Job *>(arg);
        j->work(j->input);
        return nullptr;
    };
    if (pthread_create(&thread, &attr, run, &job) == 0) pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    size_t untouched = 0;
    const unsigned char *bytes = static_cast<const unsigned char *>(stack);
    while (untouched < kSize && bytes[untouched] == kPaint) untouched++;
    free(stack);
    return kSize - untouched;
}

std::string deepest_mixed_value() {
    serialize_value *value = serialize_int(0);
    for (int level = 1; level < 256; level++) {
        serialize_value *outer = level % 2 ? serialize_hash() : serialize_array();
        if (level % 2)
            serialize_hash_add(outer, "k", value);
        else
            serialize_array_add(outer, value);
        value = outer;
    }
    int32_t length = 0;
    uint8_t *bytes = serialize(value, &length);
    std::string out(reinterpret_cast<const char *>(bytes), bytes ? static_cast<size_t>(length) : 0);
    free(bytes);
    serialize_free(value);
    return out;
}

void BM_DeepestValueStack(benchmark::State &state) {
    const std::string input = deepest_mixed_value();
    size_t touched = 0;
    for (auto _ : state) {
        touched = stack_touched(
            [](const std::string *bytes) {
                serialize_value *value = unserialize(bytes->data(), static_cast<int32_t>(bytes->size()));
                serialize_print(value);
                serialize_value *copy = serialize_dup(value);
                int32_t length = 0;
                free(serialize(copy, &length));
                serialize_free(copy);
                serialize_free(value);
            },
            &input);
    }
    state.counters["stack_bytes"] = static_cast<double>(touched);
}
BENCHMARK(BM_DeepestValueStack)->Iterations(3);

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
