// The value tree: construction, array and hash operations, accessors, null
// handling, deep copy, release and running out of memory.
#include <gtest/gtest.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "fake_daemon.h"
#include "serialize/links.h"
#include "serialize/serialize_private.h"
#include "value_tree.h"
#include "values.h"

namespace {

namespace wire = kivtest::wire;

using kivtest::encoded;
using kivtest::Tree;

TEST(SerializeValue, ScalarsHoldTheirPayload) {
    Tree i(serialize_int(-123456));
    EXPECT_EQ(serialize_type(i.get()), SERIALIZE_INT);
    EXPECT_EQ(i->length, 4);
    EXPECT_EQ(serialize_get_int(i.get()), -123456);
    // One block: the payload sits directly behind the three fields (in the
    // struct's tail padding where it has some), so a number node is no
    // larger than the struct itself.
    char *behind_fields =
        reinterpret_cast<char *>(i.get()) + offsetof(serialize_value, length) + sizeof(int32_t);
    EXPECT_EQ(i->data, static_cast<void *>(behind_fields)) << "payload lives behind the three fields";

    char text[] = "hello";
    Tree s(serialize_string(text));
    text[0] = 'j';
    EXPECT_STREQ(serialize_get_string(s.get()), "hello");
    EXPECT_EQ(s->length, 5);
    int32_t length = -1;
    const void *raw = serialize_get_bytes(s.get(), &length);
    EXPECT_EQ(length, 5);
    EXPECT_EQ(memcmp(raw, "hello", 5), 0);

    const uint8_t data[] = {0, 0xff, 'x'};
    Tree b(serialize_bytes(data, 3));
    EXPECT_EQ(serialize_type(b.get()), SERIALIZE_BYTES);
    raw = serialize_get_bytes(b.get(), &length);
    EXPECT_EQ(length, 3);
    EXPECT_EQ(memcmp(raw, data, 3), 0);
    EXPECT_EQ(static_cast<const uint8_t *>(raw)[3], 0) << "byte strings are terminated for safety";
    Tree none(serialize_bytes(nullptr, 0));
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(none->length, 0);
    EXPECT_EQ(serialize_bytes(data, -1), nullptr);
    // On a text or a byte string the number accessors read its first four
    // bytes, or give 0 when it has fewer.
    for (const char *chars : {"", "abc", "abcd", "abcde"}) {
        int32_t want_int = 0;
        float want_float = 0.0f;
        if (strlen(chars) >= 4) {
            memcpy(&want_int, chars, 4);
            memcpy(&want_float, chars, 4);
        }
        for (const Tree &t : {Tree(serialize_string(chars)), Tree(serialize_bytes(chars, strlen(chars)))}) {
            EXPECT_EQ(serialize_get_int(t.get()), want_int) << chars << " as type " << t->type;
            EXPECT_EQ(serialize_get_float(t.get()), want_float) << chars << " as type " << t->type;
        }
    }
}

TEST(SerializeValue, NullAndMistypedNodesAreHarmless) {
    serialize_free(nullptr);
    EXPECT_EQ(serialize_type(nullptr), -1);
    EXPECT_EQ(serialize_get_int(nullptr), 0);
    EXPECT_EQ(serialize_get_float(nullptr), 0.0f);
    EXPECT_EQ(serialize_get_string(nullptr), nullptr);
    int32_t length = 77;
    EXPECT_EQ(serialize_get_bytes(nullptr, &length), nullptr);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(serialize_string(nullptr), nullptr);
    EXPECT_EQ(serialize_dup(nullptr), nullptr);
    EXPECT_EQ(serialize(nullptr, &length), nullptr);
    for (auto calc :
         {serialize_pack_calc, serialize_int_pack_calc, serialize_float_pack_calc, serialize_string_pack_calc,
          serialize_bytes_pack_calc, serialize_array_pack_calc, serialize_hash_pack_calc})
        EXPECT_EQ(calc(nullptr), -1);
    // The writers refuse a null destination or node, and write nothing.
    {
        Tree number(serialize_int(1)), text(serialize_string("t")), list(serialize_array());
        uint8_t out[16] = {0};
        for (auto pack :
             {serialize_int_pack, serialize_float_pack, serialize_array_pack, serialize_hash_pack}) {
            EXPECT_EQ(pack(out, nullptr), -1);
            EXPECT_EQ(pack(nullptr, number.get()), -1);
        }
        EXPECT_EQ(serialize_array_pack(nullptr, list.get()), -1);
        EXPECT_EQ(serialize_string_pack(out, nullptr, SERIALIZE_STRING), -1);
        EXPECT_EQ(serialize_string_pack(nullptr, text.get(), SERIALIZE_STRING), -1);
        EXPECT_EQ(out[0], 0);
    }
    EXPECT_EQ(serialize_array_count(nullptr), 0);
    EXPECT_EQ(serialize_array_get(nullptr, 0), nullptr);
    EXPECT_EQ(serialize_hash_count(nullptr), 0);
    EXPECT_EQ(serialize_hash_get(nullptr, "k"), nullptr);
    EXPECT_EQ(serialize_hash_has_key(nullptr, "k"), 0);
    EXPECT_EQ(serialize_hash_get_string(nullptr, "k"), nullptr);
    EXPECT_EQ(serialize_hash_get_key(nullptr, 0), nullptr);
    EXPECT_EQ(serialize_print(nullptr), 0);

    Tree hash(serialize_hash());
    serialize_hash_add(hash.get(), "n", serialize_int(3));
    serialize_hash_add(hash.get(), "s", serialize_string("text"));
    EXPECT_EQ(serialize_hash_get_string(hash.get(), "missing"), nullptr);
    EXPECT_EQ(serialize_hash_get_string(hash.get(), "n"), nullptr);
    EXPECT_STREQ(serialize_hash_get_string(hash.get(), "s"), "text");
    EXPECT_EQ(serialize_hash_get(hash.get(), nullptr), nullptr);
    // Null keys and values are ignored; the caller keeps the value.
    Tree keep(serialize_int(1));
    serialize_hash_add(hash.get(), nullptr, keep.get());
    serialize_hash_add(hash.get(), "x", nullptr);
    EXPECT_EQ(encoded(hash.get()), wire::h({{"n", wire::i(3)}, {"s", wire::s("text")}}));

    // Accessors on containers do not hand out their list pointers, and
    // container functions on the other container type see an empty one.
    EXPECT_EQ(serialize_get_int(hash.get()), 0);
    EXPECT_EQ(serialize_get_string(hash.get()), nullptr);
    EXPECT_EQ(serialize_get_string(keep.get()), nullptr);
    EXPECT_EQ(serialize_array_count(hash.get()), 0);
    serialize_array_add(hash.get(), keep.get());
    EXPECT_EQ(serialize_hash_count(hash.get()), 2);
    Tree array(serialize_array());
    serialize_hash_add(array.get(), "k", keep.get());
    EXPECT_EQ(serialize_hash_count(array.get()), 0);
    EXPECT_EQ(serialize_array_count(array.get()), 0);
    serialize_array_add(array.get(), nullptr);
    EXPECT_EQ(serialize_array_count(array.get()), 0);

    // Insertions, deletions and destruction with a null or mistyped
    // argument change nothing.
    serialize_array_add(array.get(), serialize_int(5));
    serialize_array_insert(array.get(), 1, nullptr);
    serialize_array_insert(array.get(), 0, nullptr);
    serialize_array_insert(nullptr, 0, keep.get());
    serialize_array_del(nullptr, 0);
    serialize_array_destroy(nullptr);
    serialize_array_destroy(hash.get());
    serialize_hash_destroy(nullptr);
    serialize_hash_destroy(array.get());
    EXPECT_EQ(encoded(array.get()), wire::a({wire::i(5)}));
    EXPECT_EQ(encoded(hash.get()), wire::h({{"n", wire::i(3)}, {"s", wire::s("text")}}));
}

TEST(SerializeValue, DestroyLeavesOnlyTheNode) {
    serialize_value *array = serialize_array();
    serialize_array_add(array, serialize_string("x"));
    serialize_array_add(array, serialize_hash());
    serialize_array_destroy(array);
    EXPECT_EQ(serialize_array_count(array), 0);
    serialize_free(array);
    // Containers long enough to have an index (by position, by key), read
    // at random and by key, leave nothing behind either (the leak checker
    // sees an index that stayed), and read as empty.
    serialize_value *hash = serialize_hash();
    serialize_value *long_array = serialize_array();
    for (int i = 0; i < 100; i++) {
        serialize_hash_add(hash, ("k" + std::to_string(i)).c_str(), serialize_int(i));
        serialize_array_add(long_array, serialize_int(i));
    }
    for (int i = 99; i >= 0; i -= 7) {
        EXPECT_EQ(serialize_get_int(serialize_hash_get(hash, ("k" + std::to_string(i)).c_str())), i);
        EXPECT_EQ(serialize_get_int(serialize_array_get(long_array, i)), i);
    }
    serialize_hash_destroy(hash);
    serialize_array_destroy(long_array);
    EXPECT_EQ(serialize_hash_count(hash), 0);
    EXPECT_EQ(serialize_hash_get(hash, "k1"), nullptr);
    EXPECT_EQ(serialize_array_count(long_array), 0);
    EXPECT_EQ(serialize_array_get(long_array, 1), nullptr);
    serialize_free(hash);
    serialize_free(long_array);
}

// Decoded, copied and added entries keep their key in the entry's own
// block; every operation that drops an entry or a key must release such a
// key with its entry and a separately allocated key on its own (ASan reports
// a leak or a double free otherwise).
TEST(SerializeValue, KeysStoredWithTheirEntriesAreReleasedOnce) {
    Tree source(serialize_array());
    for (int h = 0; h < 3; h++) {
        serialize_value *hash = serialize_hash();
        for (int i = 0; i < 20; i++)
            serialize_hash_add(hash, ("key" + std::to_string(i)).c_str(), serialize_int(h * 100 + i));
        serialize_array_add(source.get(), hash);
    }
    const std::string bytes = encoded(source.get());
    Tree decoded(unserialize(bytes.data(), static_cast<int32_t>(bytes.size())));
    ASSERT_NE(decoded, nullptr);
    serialize_value *first = serialize_array_get(decoded.get(), 0);
    for (auto *e = static_cast<serialize_hash_entry *>(first->data); e != nullptr; e = e->next)
        EXPECT_TRUE(kiv_serialize::key_is_stored(e)) << e->key;

    // Replacing a value keeps the key; adding puts a new key at the end.
    serialize_hash_add(first, "key0", serialize_string("replaced"));
    serialize_hash_add(first, "key20", serialize_int(20));
    EXPECT_STREQ(serialize_hash_get_string(first, "key0"), "replaced");
    EXPECT_STREQ(serialize_hash_get_key(first, 20), "key20");
    EXPECT_EQ(serialize_hash_count(first), 21);
    // A caller may still swap in a key of its own; it is freed on its own,
    // the stored one with its entry. (The table of keys that a lookup in a
    // large hash builds does not see such a swap: this is a small hash.)
    const std::string small = wire::h({{"a", wire::i(1)}, {"b", wire::s("text")}});
    Tree swapped(unserialize(small.data(), static_cast<int32_t>(small.size())));
    ASSERT_NE(swapped, nullptr);
    auto *second_entry = static_cast<serialize_hash_entry *>(swapped->data)->next;
    EXPECT_TRUE(kiv_serialize::key_is_stored(second_entry));
    second_entry->key = strdup("own key");
    EXPECT_FALSE(kiv_serialize::key_is_stored(second_entry));
    EXPECT_STREQ(serialize_hash_get_string(swapped.get(), "own key"), "text");

    Tree copy(serialize_dup(decoded.get()));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(encoded(copy.get()), encoded(decoded.get()));

    // Dropping whole hashes: delete, replace, destroy.
    serialize_array_del(decoded.get(), 1);
    serialize_array_set(decoded.get(), 1, serialize_int(7));
    EXPECT_EQ(serialize_array_count(decoded.get()), 2);
    const std::string hash_bytes = encoded(serialize_array_get(copy.get(), 0));
    serialize_value *alone = unserialize(hash_bytes.data(), static_cast<int32_t>(hash_bytes.size()));
    ASSERT_NE(alone, nullptr);
    EXPECT_EQ(serialize_hash_count(alone), 21);
    serialize_hash_destroy(alone);
    EXPECT_EQ(alone->data, nullptr);
    free(alone);
}
// Random operations on arrays and hashes built from constructors, decoded
// (their cells or entries in shared runs, each with its element) and
// deep-copied, against a plain model: add, insert (which never appends),
// set, delete at any index, in range or not, and hash adds that replace in
// place. A value the container refuses stays the caller's, who frees it;
// every block must be released exactly once (ASan reports a leak, a double
// free or a stray access otherwise).
TEST(SerializeValue, StoredElementsBehaveLikeOwnNodes) {
    std::mt19937 rng(12345);
    auto next = [&rng](uint32_t bound) { return static_cast<int32_t>(rng() % bound); };
    // Element i of every kind, with its encoding by the independent encoder.
    auto element = [](int i) -> std::pair<serialize_value *, std::string> {
        switch (i % 4) {
            case 0:
                return {serialize_int(i), wire::i(i)};
            case 1: {
                std::string text(static_cast<size_t>(i % 90), 'x');
                return {serialize_string(text.c_str()), wire::s(text)};
            }
            case 2: {
                serialize_value *hash = serialize_hash();
                serialize_hash_add(hash, "n", serialize_int(i));
                serialize_hash_add(hash, "list", serialize_array());
                return {hash, wire::h({{"n", wire::i(i)}, {"list", wire::a({})}})};
            }
            default: {
                serialize_value *array = serialize_array();
                serialize_array_add(array, serialize_int(i));
                return {array, wire::a({wire::i(i)})};
            }
        }
    };
    // Large enough for several runs.
    std::vector<std::string> model;
    Tree built(serialize_array());
    for (int i = 0; i < 4000; i++) {
        auto [value, bytes] = element(i);
        serialize_array_add(built.get(), value);
        model.push_back(bytes);
    }
    const std::string bytes = encoded(built.get());
    Tree decoded(unserialize(bytes.data(), static_cast<int32_t>(bytes.size())));
    Tree copied(serialize_dup(built.get()));
    ASSERT_NE(decoded, nullptr);
    ASSERT_NE(copied, nullptr);
    serialize_value *trees[] = {built.get(), decoded.get(), copied.get()};

    for (int step = 0; step < 3000; step++) {
        const int32_t count = static_cast<int32_t>(model.size());
        int32_t op = next(7);
        int32_t index = next(static_cast<uint32_t>(count) + 3) - 1;  // -1 to count + 1
        if (op == 6 && step % 3 != 0) op = 0;                        // deletions dominate, so runs empty out
        if (op == 0 && step % 2 == 0) index = 0;
        // Whether the container takes the value, and the model after it.
        auto [unused, new_bytes] = element(step);
        serialize_free(unused);
        bool takes = false;
        switch (op) {
            case 0:
                if (index >= 0 && index < count) model.erase(model.begin() + index);
                break;
            case 1:
                takes = index == 0 || (index > 0 && index < count);
                if (takes) model.insert(model.begin() + index, new_bytes);
                break;
            case 2:
                takes = index == 0 || (index > 0 && index < count);
                if (index == 0 && count == 0)
                    model.push_back(new_bytes);
                else if (takes)
                    model[static_cast<size_t>(index)] = new_bytes;
                break;
            case 3:
                takes = true;
                model.push_back(new_bytes);
                break;
            default:
                break;
        }
        for (serialize_value *tree : trees) {
            serialize_value *value = op >= 1 && op <= 3 ? element(step).first : nullptr;
            switch (op) {
                case 0:
                    serialize_array_del(tree, index);
                    break;
                case 1:
                    serialize_array_insert(tree, index, value);
                    break;
                case 2:
                    serialize_array_set(tree, index, value);
                    break;
                case 3:
                    serialize_array_add(tree, value);
                    break;
                case 4: {
                    serialize_value *target = serialize_array_get(tree, index);
                    if (serialize_type(target) == SERIALIZE_HASH)
                        serialize_hash_add(target, "n", serialize_string("replaced"));
                    else if (serialize_type(target) == SERIALIZE_ARRAY)
                        serialize_array_del(target, 0);
                    break;
                }
                case 5:
                    // Setting the element that is already there keeps it.
                    serialize_array_set(tree, index, serialize_array_get(tree, index));
                    break;
                default:
                    serialize_array_del(tree, 0);
                    break;
            }
            if (!takes) serialize_free(value);
        }
        if (op == 6 && count > 0) model.erase(model.begin());
        if (op == 4 && index >= 0 && index < count)
            model[static_cast<size_t>(index)] = encoded(serialize_array_get(built.get(), index));
        ASSERT_EQ(serialize_array_count(built.get()), static_cast<int32_t>(model.size())) << "step " << step;
        if (step % 100 == 0 || model.size() < 50) {
            const std::string expected = wire::a(model);
            for (serialize_value *tree : trees) ASSERT_EQ(encoded(tree), expected) << "step " << step;
            ASSERT_EQ(serialize_array_get(built.get(), static_cast<int32_t>(model.size())), nullptr);
            ASSERT_EQ(serialize_array_get(built.get(), -1), nullptr);
        }
    }

    // Emptied from the front and reused; decoded containers destroyed
    // inside their tree, which is then released as a whole, each block once.
    while (serialize_array_count(decoded.get()) > 0) serialize_array_del(decoded.get(), 0);
    serialize_array_del(decoded.get(), 0);
    serialize_array_add(decoded.get(), serialize_int(5));
    EXPECT_EQ(encoded(decoded.get()), wire::a({wire::i(5)}));
    const std::string nested = wire::h({{"a", wire::h({{"n", wire::i(2)}})}, {"b", wire::a({wire::i(3)})}});
    Tree nested_decoded(unserialize(nested.data(), static_cast<int32_t>(nested.size())));
    ASSERT_NE(nested_decoded, nullptr);
    serialize_value *a = serialize_hash_get(nested_decoded.get(), "a");
    serialize_value *b = serialize_hash_get(nested_decoded.get(), "b");
    serialize_hash_destroy(a);
    serialize_array_destroy(b);
    EXPECT_EQ(a->data, nullptr);
    EXPECT_EQ(b->data, nullptr);
}

// Copies of random trees equal their decoded encoding
// (SerializeEncoding.RandomTreesEncodeAsTheIndependentEncoderAndRoundTrip);
// here: floats are rounded as their text is, copies are independent, and
// what the encoder refuses is not copied.
TEST(SerializeValue, DupEqualsEncodeThenDecode) {
    for (float f : {0.0000001f, 1.0f / 3.0f}) {
        Tree value(serialize_float(f)), copy(serialize_dup(value.get()));
        ASSERT_NE(copy, nullptr);
        EXPECT_EQ(serialize_get_float(copy.get()), f < 0.1f ? 0.0f : 0.333333f);
    }
    Tree hash(serialize_hash());
    serialize_value *inner = serialize_array();
    serialize_array_add(inner, serialize_bytes("\0\1", 2));
    serialize_hash_add(hash.get(), "inner", inner);
    serialize_hash_add(hash.get(), "z", serialize_string("z"));
    Tree hash_copy(serialize_dup(hash.get()));
    ASSERT_NE(hash_copy, nullptr);
    serialize_hash_add(hash.get(), "z", serialize_int(1));
    serialize_array_del(inner, 0);
    EXPECT_EQ(encoded(hash_copy.get()),
              wire::h({{"inner", wire::a({wire::b(std::string("\0\1", 2))})}, {"z", wire::s("z")}}));
    serialize_hash_add(hash.get(), std::string(300, 'k').c_str(), serialize_int(1));
    EXPECT_EQ(serialize_dup(hash.get()), nullptr);
}

TEST(SerializeValue, VeryDeepTreesAreReleasedWithoutRecursion) {
    // Far deeper than any call stack could recurse through.
    serialize_value *root = serialize_array();
    serialize_value *level = root;
    for (int i = 0; i < 300000; i++) {
        serialize_value *next = (i % 2) ? serialize_array() : serialize_hash();
        if (level->type == SERIALIZE_ARRAY) {
            serialize_array_add(level, serialize_int(i));
            serialize_array_add(level, next);
        } else {
            serialize_hash_add(level, "v", serialize_int(i));
            serialize_hash_add(level, "next", next);
        }
        level = next;
    }
    EXPECT_EQ(serialize_dup(root), nullptr);
    EXPECT_EQ(serialize(root, nullptr), nullptr);
    serialize_free(root);
}

// Allocation failures at every site of encoding, copying and decoding are
// covered by FaultAlloc.EncodeCopyAndDecodeAreAllOrNothingAtEverySite.
TEST(SerializeValue, RunningOutOfMemoryLosesNothingElse) {
    // Adds that cannot allocate (a cell; an entry with its key in one
    // block; the key of an empty hash's head) release the value they were
    // given and leave the container as it was.
    Tree array(serialize_array()), hash(serialize_hash()), empty(serialize_hash());
    serialize_array_add(array.get(), serialize_int(1));
    serialize_hash_add(hash.get(), "a", serialize_int(1));
    for (int op = 0; op < 4; op++) {
        serialize_value *value = serialize_int(2);
        kiv_serialize::alloc_fail_countdown.store(1);
        if (op == 0) serialize_array_add(array.get(), value);
        if (op == 1) serialize_array_insert(array.get(), 0, value);
        if (op == 2) serialize_hash_add(hash.get(), "b", value);
        if (op == 3) serialize_hash_add(empty.get(), "c", value);
        EXPECT_EQ(kiv_serialize::alloc_fail_countdown.exchange(0), 0) << "op " << op << " did not allocate";
    }
    EXPECT_EQ(encoded(array.get()), wire::a({wire::i(1)}));
    EXPECT_EQ(encoded(hash.get()), wire::h({{"a", wire::i(1)}}));
    EXPECT_EQ(encoded(empty.get()), wire::h({}));
    // A copy that runs out of memory at any allocation is null, and frees
    // what it had built (the leak checker sees the rest); empty containers
    // at every level take allocations of their own.
    Tree tree(serialize_hash());
    serialize_hash_add(tree.get(), "empty", serialize_array());
    serialize_hash_add(tree.get(), "also", serialize_hash());
    Tree inner(serialize_array());
    serialize_array_add(inner.get(), serialize_hash());
    serialize_array_add(inner.get(), serialize_string("x"));
    serialize_hash_add(tree.get(), "inner", serialize_dup(inner.get()));
    int failures = 0;
    for (int at = 1; at < 64; at++) {
        kiv_serialize::alloc_fail_countdown.store(at);
        Tree copy(serialize_dup(tree.get()));
        const bool failed = kiv_serialize::alloc_fail_countdown.exchange(0) == 0;
        if (!failed) {
            EXPECT_EQ(encoded(copy.get()), encoded(tree.get()));
            break;
        }
        failures++;
        EXPECT_EQ(copy.get(), nullptr) << "failing allocation " << at;
    }
    EXPECT_GE(failures, 4) << "the copy made fewer allocations than it has empty containers";
    // Constructors return null.
    kiv_serialize::alloc_fail_countdown.store(1);
    EXPECT_EQ(serialize_string("x"), nullptr);
    kiv_serialize::alloc_fail_countdown.store(2);
    EXPECT_EQ(serialize_array(), nullptr);
    kiv_serialize::alloc_fail_countdown.store(0);
}

}  // namespace

// Large copies take a piecewise path when the destination sits just past
// the source modulo 4 KiB; every placement and odd length must still give
// the exact bytes, the tail piece included.
TEST(SerializeValue, LargeCopiesAreExactWhateverTheirPlacement) {
    const size_t length = 3 * 4096 + 777;
    std::vector<char> arena(2 * length + 3 * 4096);
    for (size_t i = 0; i < length; i++) arena[i] = static_cast<char>(i * 131 + 7);
    for (size_t distance : {size_t{0}, size_t{1}, size_t{17}, size_t{63}, size_t{64}, size_t{2048}}) {
        char *dst = arena.data() + length + 4096 - (length % 4096) + distance;
        memset(dst, 0, length);
        kiv_copy_bytes(dst, arena.data(), length);
        EXPECT_EQ(memcmp(dst, arena.data(), length), 0) << "distance " << distance;
    }
    // A decoded byte string of that size comes back byte for byte.
    Tree big(serialize_bytes(arena.data(), static_cast<int32_t>(length)));
    std::string wire = encoded(big.get());
    Tree back(unserialize(wire.data(), static_cast<int32_t>(wire.size())));
    ASSERT_NE(back.get(), nullptr);
    ASSERT_EQ(back->length, static_cast<int32_t>(length));
    EXPECT_EQ(memcmp(back->data, arena.data(), length), 0);
}
