// Byte format of value trees: exact encodings, decoding of well-formed and
// hostile input, limits, and round trips.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "internal.h"
#include "serialize/serialize_private.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct TreeDeleter {
    void operator()(serialize_value *v) const { serialize_free(v); }
};
using Tree = std::unique_ptr<serialize_value, TreeDeleter>;

Bytes encode(const serialize_value *v) {
    int32_t length = -7;
    uint8_t *buffer = serialize(v, &length);
    if (buffer == nullptr) return Bytes();
    Bytes out(buffer, buffer + length);
    free(buffer);
    return out;
}

// Decodes from a heap block of exactly the given size, so that AddressSanitizer
// reports any read past the end.
Tree decode(const uint8_t *data, size_t size) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[size == 0 ? 1 : size]);
    if (size > 0) memcpy(exact.get(), data, size);
    return Tree(unserialize(size == 0 ? nullptr : exact.get(), static_cast<int32_t>(size)));
}
Tree decode(const Bytes &bytes) {
    return decode(bytes.data(), bytes.size());
}
Tree decode(const std::string &bytes) {
    return decode(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
}

Bytes hex(const std::string &text) {
    Bytes out;
    for (size_t i = 0; i + 1 < text.size();) {
        if (text[i] == ' ') {
            i++;
            continue;
        }
        out.push_back(static_cast<uint8_t>(strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
        i += 2;
    }
    return out;
}

std::string be32(uint32_t v) {
    return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                       static_cast<char>(v)};
}
std::string be16(uint32_t v) {
    return std::string{static_cast<char>(v >> 8), static_cast<char>(v)};
}
std::string wire_int(const std::string &text) {
    return "i" + std::string(1, static_cast<char>(text.size())) + text;
}
std::string wire_str(const std::string &s) {
    return "s" + be32(static_cast<uint32_t>(s.size())) + s;
}
// Containers with a size field of 0: the decoder never reads it.
std::string wire_array(uint32_t count, const std::string &body) {
    return "a" + be32(0) + be32(count) + body;
}
std::string wire_hash(uint32_t count, const std::string &body) {
    return "h" + be32(0) + be32(count) + body;
}
std::string wire_entry(const std::string &key, const std::string &value) {
    return be16(static_cast<uint32_t>(key.size())) + key + value;
}

bool trees_equal(const serialize_value *a, const serialize_value *b) {
    if (a == nullptr || b == nullptr) return a == b;
    if (a->type != b->type) return false;
    switch (a->type) {
        case SERIALIZE_INT:
            return serialize_get_int(a) == serialize_get_int(b);
        case SERIALIZE_FLOAT:
            return memcmp(a->data, b->data, 4) == 0;
        case SERIALIZE_STRING:
        case SERIALIZE_BYTES:
            return a->length == b->length && memcmp(a->data, b->data, static_cast<size_t>(a->length)) == 0;
        case SERIALIZE_ARRAY: {
            int32_t n = serialize_array_count(a);
            if (n != serialize_array_count(b)) return false;
            for (int32_t i = 0; i < n; i++)
                if (!trees_equal(serialize_array_get(a, i), serialize_array_get(b, i))) return false;
            return true;
        }
        case SERIALIZE_HASH: {
            int32_t n = serialize_hash_count(a);
            if (n != serialize_hash_count(b)) return false;
            for (int32_t i = 0; i < n; i++) {
                const char *key = serialize_hash_get_key(a, i);
                if (strcmp(key, serialize_hash_get_key(b, i)) != 0) return false;
                if (!trees_equal(serialize_hash_get(a, key), serialize_hash_get(b, key))) return false;
            }
            return true;
        }
    }
    return false;
}

// True when `part` is what a decoder may keep of `full` when the bytes end
// early at an element boundary: every container holds a prefix of the full
// container's elements, all complete except possibly the last container.
bool is_prefix_tree(const serialize_value *part, const serialize_value *full) {
    if (part == nullptr || full == nullptr || part->type != full->type) return false;
    if (part->type == SERIALIZE_ARRAY) {
        int32_t n = serialize_array_count(part);
        if (n > serialize_array_count(full)) return false;
        for (int32_t i = 0; i < n; i++) {
            const serialize_value *p = serialize_array_get(part, i), *f = serialize_array_get(full, i);
            if (!(i == n - 1 ? is_prefix_tree(p, f) : trees_equal(p, f))) return false;
        }
        return true;
    }
    if (part->type == SERIALIZE_HASH) {
        int32_t n = serialize_hash_count(part);
        if (n > serialize_hash_count(full)) return false;
        for (int32_t i = 0; i < n; i++) {
            const char *key = serialize_hash_get_key(part, i);
            if (strcmp(key, serialize_hash_get_key(full, i)) != 0) return false;
            const serialize_value *p = serialize_hash_get(part, key), *f = serialize_hash_get(full, key);
            if (!(i == n - 1 ? is_prefix_tree(p, f) : trees_equal(p, f))) return false;
        }
        return true;
    }
    return trees_equal(part, full);
}

// A tree with every kind of value, nested three levels.
Tree sample_tree() {
    serialize_value *root = serialize_hash();
    serialize_hash_add(root, "result", serialize_int(-42));
    serialize_hash_add(root, "ratio", serialize_float(1.5f));
    serialize_hash_add(root, "title", serialize_string("Song \xc3\xa9"));
    const uint8_t uid[8] = {0, 1, 2, 0xff, 0x20, 0x7f, 'a', 0};
    serialize_hash_add(root, "uid", serialize_bytes(uid, 8));
    serialize_value *list = serialize_array();
    serialize_array_add(list, serialize_int(1));
    serialize_array_add(list, serialize_string(""));
    serialize_value *inner = serialize_hash();
    serialize_hash_add(inner, "k", serialize_array());
    serialize_hash_add(inner, "", serialize_int(7));
    serialize_array_add(list, inner);
    serialize_array_add(list, serialize_hash());
    serialize_hash_add(root, "list", list);
    return Tree(root);
}

TEST(SerializeEncoding, WorkedExamplesAreByteExact) {
    Tree hash(serialize_hash());
    serialize_hash_add(hash.get(), "result", serialize_int(1));
    Bytes expected = hex("68 00000011 00000001 0006 726573756C74 69 01 31");
    EXPECT_EQ(encode(hash.get()), expected);
    EXPECT_EQ(serialize_pack_calc(hash.get()), 20);
    Tree back = decode(expected);
    ASSERT_NE(back, nullptr);
    ASSERT_EQ(serialize_hash_count(back.get()), 1);
    EXPECT_STREQ(serialize_hash_get_key(back.get(), 0), "result");
    EXPECT_EQ(serialize_type(serialize_hash_get(back.get(), "result")), SERIALIZE_INT);
    EXPECT_EQ(serialize_get_int(serialize_hash_get(back.get(), "result")), 1);

    Tree array(serialize_array());
    serialize_array_add(array.get(), serialize_float(1.5f));
    serialize_array_add(array.get(), serialize_string("title"));
    serialize_array_add(array.get(), serialize_hash());
    EXPECT_EQ(encode(array.get()), hex("61 00000021 00000003 66 08 312E353030303030 "
                                       "73 00000005 7469746C65 68 00000004 00000000"));
    EXPECT_EQ(serialize_pack_calc(array.get()), 38);
}

TEST(SerializeEncoding, ScalarsAndEmptyContainers) {
    struct Case {
        serialize_value *value;
        const char *bytes;
    };
    const Case cases[] = {
        {serialize_int(0), "69 01 30"},
        {serialize_int(-1), "69 02 2D31"},
        {serialize_int(INT32_MAX), "69 0A 32313437343833363437"},
        {serialize_int(INT32_MIN), "69 0B 2D32313437343833363438"},
        {serialize_int(1000), "69 04 31303030"},
        {serialize_float(1.5f), "66 08 312E353030303030"},
        {serialize_float(0.0000001f), "66 08 302E303030303030"},
        {serialize_float(-0.25f), "66 09 2D302E323530303030"},
        {serialize_float(100.0f), "66 0A 3130302E303030303030"},
        {serialize_string(""), "73 00000000"},
        {serialize_bytes("", 0), "62 00000000"},
        {serialize_bytes("\0\x01", 2), "62 00000002 0001"},
        {serialize_array(), "61 00000004 00000000"},
        {serialize_hash(), "68 00000004 00000000"},
    };
    for (const Case &c : cases) {
        Tree value(c.value);
        Bytes expected = hex(c.bytes);
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(encode(value.get()), expected);
        EXPECT_EQ(serialize_pack_calc(value.get()), static_cast<int32_t>(expected.size()));
        // The per-type writers and size functions agree with serialize().
        uint8_t out[64];
        memset(out, 0xAA, sizeof out);
        int32_t written = -1, calc = -1;
        switch (value->type) {
            case SERIALIZE_INT:
                written = serialize_int_pack(out, value.get());
                calc = serialize_int_pack_calc(value.get());
                break;
            case SERIALIZE_FLOAT:
                written = serialize_float_pack(out, value.get());
                calc = serialize_float_pack_calc(value.get());
                break;
            case SERIALIZE_STRING:
            case SERIALIZE_BYTES:
                written = serialize_string_pack(out, value.get(), value->type);
                calc = value->type == SERIALIZE_STRING ? serialize_string_pack_calc(value.get())
                                                       : serialize_bytes_pack_calc(value.get());
                break;
            case SERIALIZE_ARRAY:
                written = serialize_array_pack(out, value.get());
                calc = serialize_array_pack_calc(value.get());
                break;
            case SERIALIZE_HASH:
                written = serialize_hash_pack(out, value.get());
                calc = serialize_hash_pack_calc(value.get());
                break;
        }
        EXPECT_EQ(written, static_cast<int32_t>(expected.size()));
        EXPECT_EQ(calc, written);
        EXPECT_EQ(Bytes(out, out + expected.size()), expected);
        EXPECT_EQ(out[expected.size()], 0xAA) << "wrote past its own length";
        // Decoding gives the value back (floats as their printed value).
        Tree back = decode(expected);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(encode(back.get()), expected);
    }
    Tree tiny = decode(hex("66 08 302E303030303030"));
    ASSERT_NE(tiny, nullptr);
    EXPECT_EQ(serialize_get_float(tiny.get()), 0.0f);

    // A string node written with any tag other than 2 is a byte string.
    Tree text(serialize_string("ab"));
    uint8_t out[8];
    ASSERT_EQ(serialize_string_pack(out, text.get(), SERIALIZE_BYTES), 7);
    EXPECT_EQ(out[0], 'b');
    ASSERT_EQ(serialize_string_pack(out, text.get(), 9), 7);
    EXPECT_EQ(out[0], 'b');

    // serialize() without a length pointer still encodes.
    Tree one(serialize_int(5));
    uint8_t *buffer = serialize(one.get(), nullptr);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(Bytes(buffer, buffer + 3), hex("69 01 35"));
    free(buffer);
}

TEST(SerializeEncoding, FloatTextIsPrintfOfTheWidenedValue) {
    std::mt19937 rng(1234);
    std::vector<uint32_t> patterns = {0x00000000u, 0x80000000u, 0x7f800000u, 0xff800000u, 0x7fc00000u,
                                      0xffc00000u, 0x7f7fffffu, 0xff7fffffu, 0x00000001u, 0x3f000000u};
    for (int i = 0; i < 20000; i++) patterns.push_back(rng());
    for (uint32_t bits : patterns) {
        float f;
        memcpy(&f, &bits, 4);
        char expected[128];
        int n = snprintf(expected, sizeof expected, "%f", static_cast<double>(f));
        Tree node(serialize_float(f));
        Bytes bytes = encode(node.get());
        ASSERT_EQ(bytes.size(), static_cast<size_t>(n) + 2) << expected;
        ASSERT_EQ(bytes[1], n);
        ASSERT_EQ(std::string(bytes.begin() + 2, bytes.end()), expected);
        ASSERT_EQ(serialize_float_pack_calc(node.get()), n + 2);
        // Decoding is strtod of the text, narrowed.
        Tree back = decode(bytes);
        ASSERT_NE(back, nullptr);
        float want = static_cast<float>(strtod(expected, nullptr));
        float got = serialize_get_float(back.get());
        ASSERT_TRUE(memcmp(&want, &got, 4) == 0 || (want != want && got != got)) << expected;
    }
}

TEST(SerializeEncoding, SizeFieldsOfContainers) {
    for (int n : {0, 1, 3, 40}) {
        Tree hash(serialize_hash());
        Tree array(serialize_array());
        for (int i = 0; i < n; i++) {
            std::string key = "key" + std::to_string(i * 37);
            serialize_hash_add(hash.get(), key.c_str(), serialize_string(key.c_str()));
            serialize_array_add(array.get(), serialize_int(i * 1001 - 7));
        }
        Bytes h = encode(hash.get());
        Bytes a = encode(array.get());
        auto field = [](const Bytes &b, size_t at) {
            return (uint32_t(b[at]) << 24) | (uint32_t(b[at + 1]) << 16) | (uint32_t(b[at + 2]) << 8) |
                   b[at + 3];
        };
        EXPECT_EQ(field(h, 1), h.size() - 5 + 2 * n);
        EXPECT_EQ(field(h, 5), static_cast<uint32_t>(n));
        EXPECT_EQ(field(a, 1), a.size() - 5);
        EXPECT_EQ(field(a, 5), static_cast<uint32_t>(n));
        EXPECT_EQ(serialize_hash_pack_calc(hash.get()), static_cast<int32_t>(h.size()));
        EXPECT_EQ(serialize_array_pack_calc(array.get()), static_cast<int32_t>(a.size()));
    }
}

TEST(SerializeEncoding, DecodingFollowsTheContainerRules) {
    // Unknown first letter.
    EXPECT_EQ(decode(std::string("x\x01"
                                 "1")),
              nullptr);
    EXPECT_EQ(decode(std::string("I\x01"
                                 "1")),
              nullptr);

    // A count of 3 with only 2 elements before the end.
    Tree short_array = decode(wire_array(3, wire_int("1") + wire_int("2")));
    ASSERT_NE(short_array, nullptr);
    ASSERT_EQ(serialize_array_count(short_array.get()), 2);
    EXPECT_EQ(serialize_get_int(serialize_array_get(short_array.get(), 1)), 2);

    // An unknown letter between two integers is skipped and still counts.
    Tree skipped = decode(wire_array(3, wire_int("1") + "Z" + wire_int("2")));
    ASSERT_NE(skipped, nullptr);
    ASSERT_EQ(serialize_array_count(skipped.get()), 2);
    EXPECT_EQ(serialize_get_int(serialize_array_get(skipped.get(), 0)), 1);
    EXPECT_EQ(serialize_get_int(serialize_array_get(skipped.get(), 1)), 2);
    Tree counted = decode(wire_array(2, wire_int("1") + "Z" + wire_int("2")));
    ASSERT_NE(counted, nullptr);
    EXPECT_EQ(serialize_array_count(counted.get()), 1);

    // In a hash, an entry with an unknown letter is dropped after its letter.
    Tree dropped = decode(
        wire_hash(3, wire_entry("a", wire_int("1")) + wire_entry("b", "?") + wire_entry("c", wire_int("3"))));
    ASSERT_NE(dropped, nullptr);
    ASSERT_EQ(serialize_hash_count(dropped.get()), 2);
    EXPECT_STREQ(serialize_hash_get_key(dropped.get(), 1), "c");
    EXPECT_EQ(serialize_hash_has_key(dropped.get(), "b"), 0);

    // A repeated key keeps the first place and takes the later value.
    Tree dup = decode(wire_hash(3, wire_entry("x", wire_int("1")) + wire_entry("y", wire_int("2")) +
                                       wire_entry("x", wire_str("later"))));
    ASSERT_NE(dup, nullptr);
    ASSERT_EQ(serialize_hash_count(dup.get()), 2);
    EXPECT_STREQ(serialize_hash_get_key(dup.get(), 0), "x");
    EXPECT_STREQ(serialize_hash_get_string(dup.get(), "x"), "later");

    // Trailing bytes do not change the result; the size field is not read.
    std::string value = wire_hash(1, wire_entry("result", wire_int("1")));
    Tree plain = decode(value);
    Tree trailing = decode(value + "garbage\xff");
    ASSERT_NE(trailing, nullptr);
    EXPECT_TRUE(trees_equal(plain.get(), trailing.get()));

    // A count of zero ends the container even when bytes follow.
    Tree empty = decode(wire_array(0, wire_int("1")));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(serialize_array_count(empty.get()), 0);

    // Keys and texts end at an embedded NUL, as a C string copy would.
    Tree nul = decode(wire_hash(1, wire_entry(std::string("ab\0cd", 5), wire_int(std::string("12\0"
                                                                                             "34",
                                                                                             5)))));
    ASSERT_NE(nul, nullptr);
    EXPECT_STREQ(serialize_hash_get_key(nul.get(), 0), "ab");
    EXPECT_EQ(serialize_get_int(serialize_hash_get(nul.get(), "ab")), 12);
}

TEST(SerializeEncoding, IntegerTextParsesLikeAtoiAndSaturates) {
    struct Case {
        std::string text;
        int32_t value;
    };
    const Case cases[] = {
        {"42", 42},
        {"  +42abc", 42},
        {"\t\n\v\f\r-7", -7},
        {"-0", 0},
        {"", 0},
        {"abc", 0},
        {"- 5", 0},
        {"+-5", 0},
        {"007", 7},
        {"2147483647", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"2147483648", INT32_MAX},
        {"-2147483649", INT32_MIN},
        {"99999999999999999999999999", INT32_MAX},
        {"-99999999999999999999999999x", INT32_MIN},
        {std::string(200, '9'), INT32_MAX},
        {"12.9", 12},
        {"999999999", 999999999},
        {"-999999999", -999999999},
        {"1234567890", 1234567890},
        {"-1234567890x", -1234567890},
        {"9999999999", INT32_MAX},
        {"-9999999999", INT32_MIN},
        {"4294967297", INT32_MAX},
        {"-4294967297", INT32_MIN},
        {"0000000000042", 42},
        {"-", 0},
        {"5-3", 5},
        {std::string("7\xb0", 2), 7},
    };
    for (const Case &c : cases) {
        Tree value = decode(wire_int(c.text));
        ASSERT_NE(value, nullptr) << c.text;
        EXPECT_EQ(serialize_get_int(value.get()), c.value) << c.text;
    }

    // Texts of up to 12 characters, mostly digits with a sign or a stray
    // byte here and there, against strtoll clamped to 32 bits.
    uint32_t seed = 7;
    const char alphabet[] = "0123456789012345678901234567890123456789-+ x/:";
    for (int round = 0; round < 200000; round++) {
        seed = seed * 1103515245u + 12345u;
        size_t length = (seed >> 16) % 13;
        std::string text;
        for (size_t k = 0; k < length; k++) {
            seed = seed * 1103515245u + 12345u;
            text += alphabet[(seed >> 16) % (sizeof alphabet - 1)];
        }
        long long reference = strtoll(text.c_str(), nullptr, 10);
        reference = reference > INT32_MAX ? INT32_MAX : reference < INT32_MIN ? INT32_MIN : reference;
        ASSERT_EQ(kiv_serialize::parse_int(text.data(), text.size()), reference) << '"' << text << '"';
    }
}

// Repeated keys in hashes of every size: keys that share a long prefix,
// differ only in length, are empty or end at an embedded NUL. The result is
// checked against a plain model (first place, last value).
TEST(SerializeEncoding, RepeatedKeysAreFoundWhateverTheirShape) {
    const std::vector<std::string> shapes = {"track_index", "track_inde",   "track_indexx",
                                             "track_count", "abcdefgh",     "abcdefghi",
                                             "abcdefgi",    "ab",           "",
                                             "a",           "abcdefgh\x01", "b"};
    for (int distinct : {3, 12, 15, 16, 17, 40}) {
        std::vector<std::string> names;
        for (int i = 0; i < distinct; i++)
            names.push_back(i < static_cast<int>(shapes.size()) ? shapes[static_cast<size_t>(i)]
                                                                : "key" + std::to_string(i));
        // Each name twice, the second round in another order, plus a key
        // whose embedded NUL makes it "ab" again.
        std::vector<std::pair<std::string, int>> wire_entries;
        for (int i = 0; i < distinct; i++) wire_entries.emplace_back(names[static_cast<size_t>(i)], i);
        for (int i = distinct - 1; i >= 0; i -= 2)
            wire_entries.emplace_back(names[static_cast<size_t>(i)], 100 + i);
        wire_entries.emplace_back(std::string("ab\0zz", 5), 999);

        std::vector<std::pair<std::string, int>> model;
        std::string body;
        for (const auto &[raw, value] : wire_entries) {
            body += wire_entry(raw, wire_int(std::to_string(value)));
            std::string key = raw.substr(0, strnlen(raw.c_str(), raw.size()));
            auto it = std::find_if(model.begin(), model.end(), [&](const auto &e) { return e.first == key; });
            if (it == model.end())
                model.emplace_back(key, value);
            else
                it->second = value;
        }
        Tree hash = decode(wire_hash(static_cast<uint32_t>(wire_entries.size()), body));
        ASSERT_NE(hash, nullptr) << distinct;
        ASSERT_EQ(serialize_hash_count(hash.get()), static_cast<int32_t>(model.size())) << distinct;
        for (size_t i = 0; i < model.size(); i++) {
            EXPECT_EQ(serialize_hash_get_key(hash.get(), static_cast<int32_t>(i)), model[i].first)
                << distinct;
            EXPECT_EQ(serialize_get_int(serialize_hash_get(hash.get(), model[i].first.c_str())),
                      model[i].second)
                << distinct << " " << model[i].first;
        }
    }
}

// A repeated key whose earlier value is a container releases that
// container's cells while the decoder still hands out slots from the run
// they share: a small array that spilled into a run of its own, a text
// larger than the first run had left, containers at every size and depth.
// The entries that follow must land in live memory (AddressSanitizer
// reports the write otherwise) and the tree must equal the one without the
// replaced value.
TEST(SerializeEncoding, ReplacedContainersNeverFreeTheRunBeingFilled) {
    auto ints = [](int n) {
        std::string body;
        for (int i = 0; i < n; i++) body += wire_int(std::to_string(i));
        return wire_array(static_cast<uint32_t>(n), body);
    };
    const std::string one = wire_int("1"), two = wire_int("2");
    struct Case {
        std::string payload, without_replaced;
    };
    std::vector<Case> cases = {
        {wire_hash(3, wire_entry("a", ints(10)) + wire_entry("a", one) + wire_entry("b", two)),
         wire_hash(2, wire_entry("a", one) + wire_entry("b", two))},
        {wire_hash(4, wire_entry("a", wire_str(std::string(30000, 't'))) +
                          wire_entry("k", wire_array(1, wire_str(std::string(40000, 'u')))) +
                          wire_entry("k", one) + wire_entry("x", one)),
         wire_hash(3, wire_entry("a", wire_str(std::string(30000, 't'))) + wire_entry("k", one) +
                          wire_entry("x", one))}};
    for (int n : {1, 9, 10, 11, 40, 3000}) {
        for (const std::string &inner : {ints(n), wire_hash(1, wire_entry("x", ints(n))),
                                         wire_array(2, wire_array(1, ints(n)) + wire_str("s"))}) {
            cases.push_back(
                {wire_hash(4, wire_entry("a", inner) + wire_entry("a", one) + wire_entry("b", inner) +
                                  wire_entry("c", two)),
                 wire_hash(3, wire_entry("a", one) + wire_entry("b", inner) + wire_entry("c", two))});
            // The same one level down, inside an array.
            cases.push_back({wire_array(2, cases.back().payload + inner),
                             wire_array(2, cases.back().without_replaced + inner)});
        }
    }
    for (const Case &c : cases) {
        Tree got = decode(c.payload), want = decode(c.without_replaced);
        ASSERT_NE(want, nullptr);
        EXPECT_TRUE(trees_equal(got.get(), want.get())) << c.payload.size();
    }
}

TEST(SerializeEncoding, LengthsPastTheEndRejectTheWholeTree) {
    const std::string bad[] = {
        "",
        "i",
        "i\x03"
        "12",                                                                 // text length past the end
        "s" + be32(6) + "short",                                              // string length past the end
        std::string("b\0\0\0", 4),                                            // length field cut
        "a" + be32(0) + std::string("\0\0\0", 3),                             // header on 7 bytes
        "h" + be32(4),                                                        // header on 4 bytes
        wire_hash(1, be16(10) + "abc"),                                       // key past the end
        wire_hash(1, be16(3) + "abc"),                                        // key without its letter
        wire_hash(2, wire_entry("a", wire_int("1")) + std::string(1, '\0')),  // cut key length
        wire_array(2, wire_int("1") + "s" + be32(100) + "x"),                 // element cut off
        wire_array(2, wire_int("1") + "i"),                                   // letter with no body
        wire_array(1, wire_hash(1, wire_entry("k", "s" + be32(9)))),          // deep element cut off
        wire_hash(1, wire_entry(std::string(256, 'k'), wire_int("1"))),       // key length 256
        wire_hash(1, be16(0xffff) + std::string(70000, 'k') + wire_int("1")),
        "s" + be32(0x80000000u) + "x",  // string length >= 2^31
        "b" + be32(0xffffffffu),
    };
    for (const std::string &bytes : bad) EXPECT_EQ(decode(bytes), nullptr) << testing::PrintToString(bytes);

    // The largest key is accepted.
    Tree max_key = decode(wire_hash(1, wire_entry(std::string(255, 'k'), wire_int("1"))));
    ASSERT_NE(max_key, nullptr);
    EXPECT_EQ(strlen(serialize_hash_get_key(max_key.get(), 0)), 255u);
}

TEST(SerializeEncoding, UnpackFunctionsAreSafeForAnyInput) {
    const uint8_t body[] = {0x02, '-', '9', 0xEE};
    int32_t pos = 10;
    Tree value(serialize_int_unpack(body, 3, &pos));
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(serialize_get_int(value.get()), -9);
    EXPECT_EQ(pos, 13);
    for (int32_t avail : {INT32_MIN, -1, 0, 1, 2}) {
        pos = 5;
        EXPECT_EQ(serialize_int_unpack(body, avail, &pos), nullptr) << avail;
        EXPECT_EQ(serialize_float_unpack(body, avail, &pos), nullptr) << avail;
        EXPECT_EQ(serialize_string_unpack(body, avail, &pos, SERIALIZE_STRING), nullptr) << avail;
        EXPECT_EQ(serialize_array_unpack(body, avail, &pos), nullptr) << avail;
        EXPECT_EQ(serialize_hash_unpack(body, avail, &pos), nullptr) << avail;
        EXPECT_EQ(pos, 5) << "a failed decode moved the position";
    }
    EXPECT_EQ(serialize_array_unpack(nullptr, 100, &pos), nullptr);

    std::string s = be32(3) + "abcXYZ";
    pos = 0;
    Tree bytes(
        serialize_string_unpack(reinterpret_cast<const uint8_t *>(s.data()), 7, &pos, SERIALIZE_BYTES));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(serialize_type(bytes.get()), SERIALIZE_BYTES);
    EXPECT_EQ(pos, 7);

    std::string array = be32(0) + be32(2) + wire_int("1") + wire_str("ab") + "tail";
    pos = 1;
    Tree list(serialize_array_unpack(reinterpret_cast<const uint8_t *>(array.data()),
                                     static_cast<int32_t>(array.size()), &pos));
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(serialize_array_count(list.get()), 2);
    EXPECT_EQ(pos, 1 + 8 + 3 + 7);
}

TEST(SerializeEncoding, EveryTruncationGivesNullOrAPrefixTree) {
    std::vector<Tree> trees;
    trees.push_back(sample_tree());
    Tree nested(serialize_array());
    serialize_value *level = nested.get();
    for (int i = 0; i < 5; i++) {
        serialize_array_add(level, serialize_int(i));
        serialize_value *next = serialize_array();
        serialize_array_add(level, next);
        level = next;
    }
    serialize_array_add(level, serialize_bytes("\x01\x02\x03", 3));
    trees.push_back(std::move(nested));
    Tree scalar_list(serialize_array());
    for (int i = 0; i < 10; i++) serialize_array_add(scalar_list.get(), serialize_float(i * 0.5f));
    trees.push_back(std::move(scalar_list));

    int partial = 0, rejected = 0;
    for (const Tree &tree : trees) {
        Bytes full = encode(tree.get());
        ASSERT_FALSE(full.empty());
        Tree whole = decode(full);
        ASSERT_TRUE(trees_equal(whole.get(), tree.get()));
        for (size_t cut = 0; cut < full.size(); cut++) {
            Tree part = decode(full.data(), cut);
            if (part == nullptr) {
                rejected++;
                continue;
            }
            partial++;
            EXPECT_TRUE(is_prefix_tree(part.get(), tree.get())) << "cut at " << cut;
            EXPECT_FALSE(trees_equal(part.get(), tree.get())) << "cut at " << cut << " lost nothing?";
        }
    }
    // Both outcomes occur: cuts inside an element and cuts between elements.
    EXPECT_GT(partial, 10);
    EXPECT_GT(rejected, 50);
}

TEST(SerializeEncoding, RandomMutationsNeverReadOutsideTheBuffer) {
    Bytes base = encode(sample_tree().get());
    std::mt19937 rng(99);
    for (int round = 0; round < 20000; round++) {
        Bytes bytes = base;
        int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; e++) {
            size_t at = rng() % bytes.size();
            switch (rng() % 3) {
                case 0:
                    bytes[at] = static_cast<uint8_t>(rng());
                    break;
                case 1:
                    bytes[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
                    break;
                default:
                    bytes.resize(at + 1);
                    break;
            }
        }
        Tree decoded = decode(bytes);
        if (decoded == nullptr) continue;
        // Whatever was accepted is a well-formed tree: it re-encodes, and the
        // encoding decodes to the same tree.
        Bytes again = encode(decoded.get());
        ASSERT_FALSE(again.empty());
        Tree back = decode(again);
        ASSERT_TRUE(trees_equal(back.get(), decoded.get()));
    }
}

TEST(SerializeEncoding, NestingIsBoundedBothWays) {
    auto nested_bytes = [](int levels) {
        std::string out;
        for (int i = 0; i < levels; i++) out += "a" + be32(0) + be32(1);
        return out;
    };
    Tree ok = decode(nested_bytes(256));
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(decode(nested_bytes(257)), nullptr);
    // Hostile depth far beyond the limit is refused without recursion.
    EXPECT_EQ(decode(nested_bytes(200000)), nullptr);
    std::string hashes;
    for (int i = 0; i < 300; i++) hashes += "h" + be32(0) + be32(1) + be16(1) + "k";
    EXPECT_EQ(decode(hashes + wire_int("1")), nullptr);

    // The encoder refuses what the decoder would refuse.
    Tree deep(serialize_array());
    serialize_value *level = deep.get();
    for (int i = 1; i < 256; i++) {
        serialize_value *next = serialize_array();
        serialize_array_add(level, next);
        level = next;
    }
    Bytes encoded = encode(deep.get());
    ASSERT_FALSE(encoded.empty());
    EXPECT_NE(decode(encoded), nullptr);
    serialize_array_add(level, serialize_hash());  // level 257
    EXPECT_EQ(serialize_pack_calc(deep.get()), -1);
    int32_t length = 99;
    EXPECT_EQ(serialize(deep.get(), &length), nullptr);
    EXPECT_EQ(length, 0);
}

TEST(SerializeEncoding, OverlongKeysAreNeverWritten) {
    for (size_t size : {size_t(256), size_t(65535), size_t(65536 + 3)}) {
        Tree hash(serialize_hash());
        serialize_hash_add(hash.get(), "ok", serialize_int(1));
        serialize_hash_add(hash.get(), std::string(size, 'k').c_str(), serialize_int(2));
        EXPECT_EQ(serialize_pack_calc(hash.get()), -1);
        EXPECT_EQ(serialize_hash_pack_calc(hash.get()), -1);
        EXPECT_EQ(serialize(hash.get(), nullptr), nullptr);
        uint8_t out[16];
        memset(out, 0x55, sizeof out);
        EXPECT_EQ(serialize_hash_pack(out, hash.get()), -1);
        EXPECT_EQ(out[0], 0x55);
        // Nested inside an array, the whole tree is refused.
        Tree array(serialize_array());
        serialize_array_add(array.get(), serialize_dup(hash.get()));
        serialize_array_add(array.get(), hash.release());
        EXPECT_EQ(serialize_array_pack_calc(array.get()), -1);
        EXPECT_EQ(serialize_array_pack(out, array.get()), -1);
    }
    Tree max(serialize_hash());
    serialize_hash_add(max.get(), std::string(255, 'k').c_str(), serialize_int(2));
    Bytes bytes = encode(max.get());
    ASSERT_EQ(bytes.size(), 9u + 2 + 255 + 3);
    EXPECT_EQ(bytes[9], 0);
    EXPECT_EQ(bytes[10], 255);
}

TEST(SerializeEncoding, NestedTreesRoundTrip) {
    Tree tree = sample_tree();
    Bytes bytes = encode(tree.get());
    Tree back = decode(bytes);
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(trees_equal(back.get(), tree.get()));
    EXPECT_EQ(encode(back.get()), bytes);

    // Large containers keep order, and duplicate keys of a large hash still
    // collapse onto their first place.
    std::string body;
    const int n = 3000;
    for (int i = 0; i < n; i++) body += wire_entry("key" + std::to_string(i), wire_int(std::to_string(i)));
    body += wire_entry("key5", wire_str("five")) + wire_entry("key2999", wire_int("-1")) +
            wire_entry("key17", wire_int("17000"));
    Tree big = decode(wire_hash(n + 3, body));
    ASSERT_NE(big, nullptr);
    ASSERT_EQ(serialize_hash_count(big.get()), n);
    for (int i = 0; i < n; i += 97)
        EXPECT_EQ(serialize_hash_get_key(big.get(), i), "key" + std::to_string(i));
    EXPECT_STREQ(serialize_hash_get_string(big.get(), "key5"), "five");
    EXPECT_EQ(serialize_get_int(serialize_hash_get(big.get(), "key2999")), -1);
    EXPECT_EQ(serialize_get_int(serialize_hash_get(big.get(), "key17")), 17000);
    EXPECT_EQ(serialize_get_int(serialize_hash_get(big.get(), "key18")), 18);
    EXPECT_STREQ(serialize_hash_get_key(big.get(), 5), "key5");

    Tree list(serialize_array());
    for (int i = 0; i < n; i++) serialize_array_add(list.get(), serialize_int(i - 1500));
    Tree list_back = decode(encode(list.get()));
    ASSERT_NE(list_back, nullptr);
    EXPECT_TRUE(trees_equal(list_back.get(), list.get()));
}

}  // namespace
