// Value encoding beside msgpack-c on the same data: a 20-key reply hash,
// an array of 10,000 integers, a 64 KiB byte string and a 5-level tree.
// Each side encodes from a tree it already holds into a buffer it allocates
// and releases, and decodes into a tree it owns and releases, every
// iteration. msgpack's one-shot decoder borrows strings from its input, so
// its owning decode copies the input first (as a socket reader would).
#include <benchmark/benchmark.h>
#include <msgpack.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "kiv_ipod.h"

namespace {

constexpr int kArrayLength = 10000;
constexpr int kBytesLength = 64 << 10;
constexpr int kTreeDepth = 5;

const char *const kTextKeys[] = {"title",    "artist",  "album",  "genre",
                                 "composer", "chapter", "serial", "name"};
const char *const kIntKeys[] = {"result",      "length",      "position",   "state",
                                "track_index", "track_count", "chapters",   "ipod_id",
                                "sample_rate", "has_artwork", "is_podcast", "timestamp"};
constexpr char kShortText[] = "Some short text";

// Integers of growing size (2 to 10 digits) for the reply's entries.
int32_t next_int(int32_t v) {
    return static_cast<int32_t>(static_cast<int64_t>(v) * 37 % 2000000011);
}

int32_t array_value(int i) {
    return i * 7919 - 500000;
}

// ---------------------------------------------------------------- library trees

serialize_value *kiv_reply() {
    serialize_value *hash = serialize_hash();
    for (const char *k : kTextKeys) serialize_hash_add(hash, k, serialize_string(kShortText));
    int32_t v = 1;
    for (const char *k : kIntKeys) serialize_hash_add(hash, k, serialize_int(v = next_int(v)));
    return hash;
}

serialize_value *kiv_int_array() {
    serialize_value *array = serialize_array();
    // Linked by hand, as a user of the public structs may; the list state
    // counts such links in when the list is next used.
    serialize_array_cell *tail = static_cast<serialize_array_cell *>(array->data);
    for (int i = 0; i < kArrayLength; i++) {
        if (i > 0) {
            tail->next = serialize_array_new();
            tail = tail->next;
        }
        tail->value = serialize_int(array_value(i));
    }
    return array;
}

serialize_value *kiv_bytes() {
    std::string bytes(kBytesLength, '\0');
    for (int i = 0; i < kBytesLength; i++) bytes[i] = static_cast<char>(i * 31);
    return serialize_bytes(bytes.data(), kBytesLength);
}

// Each level is a hash {"id", "name", "children": [3 of the next level]};
// the last level has no children (121 hashes in all).
serialize_value *kiv_tree(int depth = 1, int id = 0) {
    serialize_value *node = serialize_hash();
    serialize_hash_add(node, "id", serialize_int(id));
    serialize_hash_add(node, "name", serialize_string("node name"));
    if (depth < kTreeDepth) {
        serialize_value *children = serialize_array();
        for (int c = 0; c < 3; c++) serialize_array_add(children, kiv_tree(depth + 1, id * 3 + c + 1));
        serialize_hash_add(node, "children", children);
    }
    return node;
}

// ---------------------------------------------------------------- msgpack trees

void mp_str(msgpack_packer *pk, const char *text) {
    size_t n = strlen(text);
    msgpack_pack_str(pk, n);
    msgpack_pack_str_body(pk, text, n);
}

// The anchor's trees are msgpack objects decoded from packed bytes, so that
// they live in one zone like a tree that msgpack-c hands to a user.
struct MpTree {
    msgpack_unpacked unpacked;
    msgpack_sbuffer source;
    MpTree() {
        msgpack_sbuffer_init(&source);
        msgpack_unpacked_init(&unpacked);
    }
    ~MpTree() {
        msgpack_unpacked_destroy(&unpacked);
        msgpack_sbuffer_destroy(&source);
    }
    const msgpack_object &object() {
        size_t offset = 0;
        if (unpacked.zone == nullptr) {
            msgpack_unpack_return r = msgpack_unpack_next(&unpacked, source.data, source.size, &offset);
            if (r != MSGPACK_UNPACK_SUCCESS) {
                fprintf(stderr, "msgpack_unpack_next: %d on %zu bytes\n", static_cast<int>(r), source.size);
                abort();
            }
        }
        return unpacked.data;
    }
};

void mp_tree_node(msgpack_packer *pk, int depth, int id) {
    msgpack_pack_map(pk, depth < kTreeDepth ? 3 : 2);
    mp_str(pk, "id");
    msgpack_pack_int32(pk, id);
    mp_str(pk, "name");
    mp_str(pk, "node name");
    if (depth < kTreeDepth) {
        mp_str(pk, "children");
        msgpack_pack_array(pk, 3);
        for (int c = 0; c < 3; c++) mp_tree_node(pk, depth + 1, id * 3 + c + 1);
    }
}

void mp_build(MpTree *tree, int which) {
    msgpack_packer pk;
    msgpack_packer_init(&pk, &tree->source, msgpack_sbuffer_write);
    switch (which) {
        case 0: {
            msgpack_pack_map(&pk, 20);
            for (const char *k : kTextKeys) {
                mp_str(&pk, k);
                mp_str(&pk, kShortText);
            }
            int32_t v = 1;
            for (const char *k : kIntKeys) {
                mp_str(&pk, k);
                msgpack_pack_int32(&pk, v = next_int(v));
            }
            break;
        }
        case 1:
            msgpack_pack_array(&pk, kArrayLength);
            for (int i = 0; i < kArrayLength; i++) msgpack_pack_int32(&pk, array_value(i));
            break;
        case 2: {
            std::string bytes(kBytesLength, '\0');
            for (int i = 0; i < kBytesLength; i++) bytes[i] = static_cast<char>(i * 31);
            msgpack_pack_bin(&pk, kBytesLength);
            msgpack_pack_bin_body(&pk, bytes.data(), kBytesLength);
            break;
        }
        default:
            mp_tree_node(&pk, 1, 0);
            break;
    }
}

// ---------------------------------------------------------------- benchmarks

serialize_value *kiv_make(int which) {
    switch (which) {
        case 0:
            return kiv_reply();
        case 1:
            return kiv_int_array();
        case 2:
            return kiv_bytes();
        default:
            return kiv_tree();
    }
}

void BM_KivEncode(benchmark::State &state, int which) {
    serialize_value *tree = kiv_make(which);
    int32_t length = 0;
    for (auto _ : state) {
        uint8_t *bytes = serialize(tree, &length);
        benchmark::DoNotOptimize(bytes);
        free(bytes);
    }
    state.counters["bytes"] = length;
    serialize_free(tree);
}

void BM_KivDecode(benchmark::State &state, int which) {
    serialize_value *tree = kiv_make(which);
    int32_t length = 0;
    uint8_t *bytes = serialize(tree, &length);
    serialize_free(tree);
    for (auto _ : state) {
        serialize_value *back = unserialize(bytes, length);
        if (back == nullptr) {
            state.SkipWithError("undecodable");
            break;
        }
        benchmark::DoNotOptimize(back);
        serialize_free(back);
    }
    state.counters["bytes"] = length;
    free(bytes);
}

void BM_MsgpackEncode(benchmark::State &state, int which) {
    MpTree tree;
    mp_build(&tree, which);
    const msgpack_object &object = tree.object();
    size_t length = 0;
    for (auto _ : state) {
        msgpack_sbuffer out;
        msgpack_sbuffer_init(&out);
        msgpack_packer pk;
        msgpack_packer_init(&pk, &out, msgpack_sbuffer_write);
        msgpack_pack_object(&pk, object);
        benchmark::DoNotOptimize(out.data);
        length = out.size;
        msgpack_sbuffer_destroy(&out);
    }
    state.counters["bytes"] = static_cast<double>(length);
}

void BM_MsgpackDecode(benchmark::State &state, int which) {
    MpTree tree;
    mp_build(&tree, which);
    const char *source = tree.source.data;
    const size_t length = tree.source.size;
    for (auto _ : state) {
        char *copy = static_cast<char *>(malloc(length));
        memcpy(copy, source, length);
        msgpack_unpacked result;
        msgpack_unpacked_init(&result);
        size_t offset = 0;
        if (msgpack_unpack_next(&result, copy, length, &offset) != MSGPACK_UNPACK_SUCCESS) {
            state.SkipWithError("undecodable");
            free(copy);
            break;
        }
        benchmark::DoNotOptimize(result.data);
        msgpack_unpacked_destroy(&result);
        free(copy);
    }
    state.counters["bytes"] = static_cast<double>(length);
}

#define ANCHOR_PAIR(name, which)                      \
    BENCHMARK_CAPTURE(BM_KivEncode, name, which);     \
    BENCHMARK_CAPTURE(BM_MsgpackEncode, name, which); \
    BENCHMARK_CAPTURE(BM_KivDecode, name, which);     \
    BENCHMARK_CAPTURE(BM_MsgpackDecode, name, which)

ANCHOR_PAIR(reply20, 0);
ANCHOR_PAIR(int_array10k, 1);
ANCHOR_PAIR(bytes64k, 2);
ANCHOR_PAIR(tree5, 3);

}  // namespace

BENCHMARK_MAIN();
