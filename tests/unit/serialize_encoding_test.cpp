// Byte format of value trees. Random trees are encoded by the library and by
// the tests' own encoder (kivtest::wire) and must agree byte for byte; the
// decoder is compared with a small reference decoder on random, truncated
// and mutated input; limits and regressions are spelled out.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "fake_daemon.h"
#include "kiv_ipod.h"
#include "serialize/serialize_private.h"
#include "value_tree.h"

namespace {

namespace wire = kivtest::wire;
using Entries = std::vector<std::pair<std::string, std::string>>;

using kivtest::encoded;
using kivtest::Tree;

// Decodes from a heap block of exactly the given size, so that AddressSanitizer
// reports any read past the end.
Tree decode(const char *data, size_t size) {
    std::unique_ptr<char[]> exact(new char[size == 0 ? 1 : size]);
    if (size > 0) memcpy(exact.get(), data, size);
    return Tree(unserialize(size == 0 ? nullptr : exact.get(), static_cast<int32_t>(size)));
}
Tree decode(const std::string &bytes) {
    return decode(bytes.data(), bytes.size());
}

std::string be16(uint32_t v) {
    return std::string{static_cast<char>(v >> 8), static_cast<char>(v)};
}
// Raw pieces for input the independent encoder would not write: containers
// whose size field is 0 (the decoder never reads it) and any count.
std::string raw_int(const std::string &text) {
    return "i" + std::string(1, static_cast<char>(text.size())) + text;
}
std::string raw_array(uint32_t count, const std::string &body) {
    return "a" + wire::be32(0) + wire::be32(count) + body;
}
std::string raw_hash(uint32_t count, const std::string &body) {
    return "h" + wire::be32(0) + wire::be32(count) + body;
}
std::string raw_entry(const std::string &key, const std::string &value) {
    return be16(static_cast<uint32_t>(key.size())) + key + value;
}

int32_t clamped_strtoll(const std::string &text) {
    long long v = strtoll(text.c_str(), nullptr, 10);
    return static_cast<int32_t>(std::min<long long>(std::max<long long>(v, INT32_MIN), INT32_MAX));
}

// ------------------------------------------------------------ reference
// decoder What the decoder must give for (letter, body), as the independent
// encoder's bytes of that tree, or nullopt when the whole input is refused:
// numbers are their text up to its length or an embedded NUL (atoi with
// saturation, strtod narrowed to float); a length or header that runs past
// the end refuses everything; a container stops at its count or at the end
// of the input; an unknown letter inside a container is skipped and counts;
// a repeated key keeps its first place and takes the later value; keys end
// at a NUL and are at most 255 bytes; nesting is at most 256 levels.
std::optional<std::string> model(uint8_t letter, const uint8_t *body, int64_t avail, int depth,
                                 int64_t *used) {
    auto be32_at = [&](int64_t at) {
        return (uint32_t{body[at]} << 24) | (uint32_t{body[at + 1]} << 16) | (uint32_t{body[at + 2]} << 8) |
               body[at + 3];
    };
    switch (letter) {
        case 'i':
        case 'f': {
            if (avail < 1 || body[0] > avail - 1) return std::nullopt;
            *used = 1 + body[0];
            std::string text(reinterpret_cast<const char *>(body + 1), body[0]);
            text = text.c_str();
            if (letter == 'i') return wire::i(clamped_strtoll(text));
            return wire::f(static_cast<float>(strtod(text.c_str(), nullptr)));
        }
        case 's':
        case 'b': {
            if (avail < 4 || be32_at(0) > static_cast<uint32_t>(INT32_MAX) || be32_at(0) > avail - 4)
                return std::nullopt;
            *used = 4 + be32_at(0);
            std::string bytes(reinterpret_cast<const char *>(body + 4), be32_at(0));
            return letter == 's' ? wire::s(bytes) : wire::b(bytes);
        }
        case 'a':
        case 'h': {
            if (depth > 256 || avail < 8) return std::nullopt;
            std::vector<std::string> elements;
            Entries entries;
            int64_t p = 8;
            for (uint32_t count = be32_at(4); count > 0 && p < avail; count--) {
                std::string key;
                if (letter == 'h') {
                    if (avail - p < 3) return std::nullopt;
                    uint32_t key_length = (uint32_t{body[p]} << 8) | body[p + 1];
                    if (key_length > 255 || key_length >= avail - p - 2) return std::nullopt;
                    key = std::string(reinterpret_cast<const char *>(body + p + 2), key_length).c_str();
                    p += 2 + key_length;
                }
                uint8_t element_letter = body[p++];
                if (element_letter == 0 || strchr("ifsbah", element_letter) == nullptr) continue;
                int64_t element_used = 0;
                auto value = model(element_letter, body + p, avail - p, depth + 1, &element_used);
                if (!value) return std::nullopt;
                p += element_used;
                auto same =
                    std::find_if(entries.begin(), entries.end(), [&](auto &e) { return e.first == key; });
                if (letter == 'a')
                    elements.push_back(*value);
                else if (same != entries.end())
                    same->second = *value;
                else
                    entries.emplace_back(key, *value);
            }
            *used = p;
            return letter == 'a' ? wire::a(elements) : wire::h(entries);
        }
        default:
            return std::nullopt;
    }
}

// The decoder against the reference decoder on `bytes`.
void expect_decodes_as_model(const std::string &bytes) {
    std::optional<std::string> want;
    int64_t used = 0;
    if (!bytes.empty())
        want = model(static_cast<uint8_t>(bytes[0]), reinterpret_cast<const uint8_t *>(bytes.data()) + 1,
                     static_cast<int64_t>(bytes.size()) - 1, 1, &used);
    Tree got = decode(bytes);
    if (!want) {
        ASSERT_EQ(got, nullptr) << testing::PrintToString(bytes);
    } else {
        ASSERT_NE(got, nullptr) << testing::PrintToString(bytes);
        ASSERT_EQ(encoded(got.get()), *want) << testing::PrintToString(bytes);
    }
}

// ------------------------------------------------------------ generators

struct Random {
    std::mt19937 rng;
    explicit Random(uint32_t seed) : rng(seed) {}
    uint32_t below(uint32_t n) { return rng() % n; }
    bool one_in(uint32_t n) { return below(n) == 0; }
    std::string bytes(size_t n, uint8_t lowest) {
        std::string out;
        for (size_t k = 0; k < n; k++) out += static_cast<char>(lowest + below(256u - lowest));
        return out;
    }
};

int32_t some_int(Random &r) {
    const int32_t edges[] = {0, -1, 1, 9, 10, -10, INT32_MAX, INT32_MIN, 99999, 100000, -1000000000};
    return r.one_in(2) ? edges[r.below(sizeof edges / sizeof edges[0])] : static_cast<int32_t>(r.rng());
}

// A random tree built with the library's constructors, with the
// independent encoder's bytes of it.
std::pair<Tree, std::string> random_tree(Random &r, int depth = 0) {
    switch (r.below(depth >= 4 ? 4 : 7)) {
        case 0: {
            int32_t v = some_int(r);
            return {Tree(serialize_int(v)), wire::i(v)};
        }
        case 1: {
            // Zeros, infinities, NaNs, the largest and the smallest float, any
            // bits, and mostly small magnitudes.
            const uint32_t edges[] = {0x00000000u, 0x80000000u, 0x7f800000u, 0xff800000u, 0x7fc00000u,
                                      0xffc00000u, 0x7f7fffffu, 0xff7fffffu, 0x00000001u, 0x3f000000u};
            uint32_t bits = r.one_in(4) ? edges[r.below(10)] : r.one_in(2) ? r.rng() : r.rng() & 0xBFFFFFFFu;
            float f;
            memcpy(&f, &bits, 4);
            return {Tree(serialize_float(f)), wire::f(static_cast<double>(f))};
        }
        case 2: {
            std::string text = r.bytes(r.one_in(8) ? 300 : r.below(12), 1);
            return {Tree(serialize_string(text.c_str())), wire::s(text)};
        }
        case 3: {
            std::string data = r.bytes(r.below(12), 0);
            return {Tree(serialize_bytes(data.data(), static_cast<int32_t>(data.size()))), wire::b(data)};
        }
        case 4:
        case 5: {
            Tree array(serialize_array());
            std::vector<std::string> elements;
            for (uint32_t n = depth == 0 && r.one_in(6) ? 40 : r.below(5); n > 0; n--) {
                auto [element, bytes] = random_tree(r, depth + 1);
                serialize_array_add(array.get(), element.release());
                elements.push_back(bytes);
            }
            return {std::move(array), wire::a(elements)};
        }
        default: {
            Tree hash(serialize_hash());
            Entries entries;
            std::set<std::string> used;
            for (uint32_t n = depth == 0 && r.one_in(6) ? 40 : r.below(5); n > 0; n--) {
                std::string key = r.one_in(10) ? r.bytes(255, 1) : r.bytes(r.below(10), 1);
                if (!used.insert(key).second) continue;
                auto [value, bytes] = random_tree(r, depth + 1);
                serialize_hash_add(hash.get(), key.c_str(), value.release());
                entries.emplace_back(key, bytes);
            }
            return {std::move(hash), wire::h(entries)};
        }
    }
}

// Irregular input that the independent encoder would never write: number
// texts with signs, blanks and junk, counts one off, unknown letters,
// repeated keys of similar shape and keys with an embedded NUL, in
// containers around the size where the decoder starts indexing keys.
std::string irregular_value(Random &r, int depth = 0) {
    static const std::string keys[] = {"track_index",  "track_inde", "track_indexx",
                                       "abcdefgh",     "abcdefghi",  "abcdefgi",
                                       "ab",           "",           "a",
                                       "abcdefgh\x01", "b",          std::string("ab\0zz", 5)};
    static const char text_bytes[] = "0123456789012345678901234567890123456789-+ \t\n.eEx/:n\0";
    switch (r.below(depth >= 3 ? 3 : 5)) {
        case 0:
        case 1: {
            std::string text;
            for (uint32_t n = r.one_in(8) ? 30 : r.below(14); n > 0; n--)
                text += text_bytes[r.below(sizeof text_bytes - 1)];
            return (r.one_in(2) ? "i" : "f") + std::string(1, static_cast<char>(text.size())) + text;
        }
        case 2:
            return wire::s(r.bytes(r.below(6), 0));
        default: {
            bool hash = r.one_in(2);
            uint32_t n = depth == 0 && r.one_in(4) ? 30 + r.below(60) : r.below(5);
            std::string body;
            for (uint32_t k = 0; k < n; k++) {
                std::string value =
                    r.one_in(12) ? std::string(1, "Z?\0I"[r.below(4)]) : irregular_value(r, depth + 1);
                if (!hash)
                    body += value;
                else
                    body +=
                        raw_entry(r.one_in(2) ? keys[r.below(12)] : "k" + std::to_string(r.below(70)), value);
            }
            uint32_t count = n + (r.one_in(4) ? r.below(3) - 1 : 0);
            return (hash ? raw_hash(count, body) : raw_array(count, body));
        }
    }
}

// Small random edits: bytes replaced, bits flipped, a byte (a length, count
// or letter) one off, bytes cut out or letters put in, the end cut off.
std::string mutated(std::string bytes, Random &r) {
    for (uint32_t edits = 1 + r.below(3); edits > 0 && !bytes.empty(); edits--) {
        size_t at = r.below(static_cast<uint32_t>(bytes.size()));
        switch (r.below(6)) {
            case 0:
                bytes[at] = static_cast<char>(r.rng());
                break;
            case 1:
                bytes[at] = static_cast<char>(bytes[at] ^ (1 << r.below(8)));
                break;
            case 2:
                bytes[at] = static_cast<char>(bytes[at] + (r.one_in(2) ? 1 : -1));
                break;
            case 3:
                bytes.erase(at, 1 + r.below(4));
                break;
            case 4:
                bytes.insert(at, 1, "ifsbahZ"[r.below(7)]);
                break;
            default:
                bytes.resize(at);
                break;
        }
    }
    return bytes;
}

// Every per-type writer and size function gives what serialize() gives,
// and writes nothing past its own length, for `node` and every node below.
void expect_writers_agree(const serialize_value *node, const std::string &want) {
    using Pack = int32_t (*)(uint8_t *, const serialize_value *);
    using Calc = int32_t (*)(const serialize_value *);
    static const std::map<int32_t, std::pair<Pack, Calc>> writers = {
        {SERIALIZE_INT, {serialize_int_pack, serialize_int_pack_calc}},
        {SERIALIZE_FLOAT, {serialize_float_pack, serialize_float_pack_calc}},
        {SERIALIZE_STRING,
         {[](uint8_t *o, const serialize_value *n) { return serialize_string_pack(o, n, SERIALIZE_STRING); },
          serialize_string_pack_calc}},
        {SERIALIZE_BYTES,
         {[](uint8_t *o, const serialize_value *n) { return serialize_string_pack(o, n, SERIALIZE_BYTES); },
          serialize_bytes_pack_calc}},
        {SERIALIZE_ARRAY, {serialize_array_pack, serialize_array_pack_calc}},
        {SERIALIZE_HASH, {serialize_hash_pack, serialize_hash_pack_calc}}};
    std::vector<uint8_t> out(want.size() + 1, 0xAA);
    const auto &[pack, calc_of] = writers.at(node->type);
    const int32_t written = pack(out.data(), node), calc = calc_of(node);
    ASSERT_EQ(written, static_cast<int32_t>(want.size()));
    ASSERT_EQ(calc, written);
    ASSERT_EQ(serialize_pack_calc(node), written);
    ASSERT_EQ(std::string(out.begin(), out.end() - 1), want);
    ASSERT_EQ(out.back(), 0xAA) << "wrote past its own length";
    for (int32_t i = 0; i < serialize_array_count(node); i++)
        expect_writers_agree(serialize_array_get(node, i), encoded(serialize_array_get(node, i)));
    for (int32_t i = 0; i < serialize_hash_count(node); i++) {
        const serialize_value *value = serialize_hash_get(node, serialize_hash_get_key(node, i));
        expect_writers_agree(value, encoded(value));
    }
}

TEST(SerializeEncoding, WorkedExamplesAreByteExact) {
    Tree hash(serialize_hash());
    serialize_hash_add(hash.get(), "result", serialize_int(1));
    EXPECT_EQ(encoded(hash.get()), std::string("h\0\0\0\x11\0\0\0\x01\0\x06result"
                                               "i\x01"
                                               "1",
                                               20));
    EXPECT_EQ(serialize_pack_calc(hash.get()), 20);

    Tree array(serialize_array());
    serialize_array_add(array.get(), serialize_float(1.5f));
    serialize_array_add(array.get(), serialize_string("title"));
    serialize_array_add(array.get(), serialize_hash());
    EXPECT_EQ(encoded(array.get()), std::string("a\0\0\0\x21\0\0\0\x03"
                                                "f\x08"
                                                "1.500000"
                                                "s\0\0\0\x05"
                                                "title"
                                                "h\0\0\0\x04\0\0\0\0",
                                                38));

    // A string node written with any tag other than 2 is a byte string;
    // serialize() without a length pointer still encodes.
    Tree text(serialize_string("ab"));
    uint8_t out[8];
    for (int32_t tag : {SERIALIZE_BYTES, 9}) {
        ASSERT_EQ(serialize_string_pack(out, text.get(), tag), 7);
        EXPECT_EQ(out[0], 'b');
    }
    uint8_t *buffer = serialize(text.get(), nullptr);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(memcmp(buffer, "s\0\0\0\2ab", 7), 0);
    free(buffer);
}

// Random trees of every type and shape (extreme integers, any float, whose
// text is printf "%f" of the widened value, empty and long texts, keys up
// to 255 bytes, containers of 0 to 40 elements): the library writes the
// independent encoder's bytes, every writer agrees, and the bytes decode
// to a tree that writes them again, as a copy does.
TEST(SerializeEncoding, RandomTreesEncodeAsTheIndependentEncoderAndRoundTrip) {
    Random r(2024);
    for (int round = 0; round < 700; round++) {
        auto [tree, want] = random_tree(r);
        ASSERT_EQ(encoded(tree.get()), want) << round;
        expect_writers_agree(tree.get(), want);
        Tree back = decode(want);
        ASSERT_NE(back, nullptr) << round;
        ASSERT_EQ(encoded(back.get()), want) << round;
        ASSERT_EQ(encoded(Tree(serialize_dup(tree.get())).get()), want) << round;
    }
}

// Integer texts: the fast path (a minus and up to ten digits) and the
// general one (blanks, plus, long or saturating texts) both give strtoll
// clamped to 32 bits.
TEST(SerializeEncoding, IntegerTextParsesLikeAtoiAndSaturates) {
    std::vector<std::string> texts = {"  +42abc",
                                      "\t\n\v\f\r-7",
                                      "-0",
                                      "- 5",
                                      "+-5",
                                      "-",
                                      "5-3",
                                      "2147483647",
                                      "-2147483648",
                                      "2147483648",
                                      "-2147483649",
                                      "9999999999",
                                      "-9999999999",
                                      "4294967297",
                                      "-4294967297",
                                      "99999999999999999999999999",
                                      "-99999999999999999999999999x",
                                      std::string(200, '9'),
                                      "0000000000042",
                                      std::string("7\xb0", 2)};
    Random r(7);
    const char alphabet[] = "0123456789012345678901234567890123456789-+ x/:";
    for (int round = 0; round < 200000; round++) {
        std::string text;
        for (uint32_t n = r.below(14); n > 0; n--) text += alphabet[r.below(sizeof alphabet - 1)];
        texts.push_back(text);
    }
    for (const std::string &text : texts) {
        const int64_t want = clamped_strtoll(text);
        ASSERT_EQ(kiv_serialize::parse_int(text.data(), text.size()), want) << '"' << text << '"';
        // With bytes after the text that may be read (digits or not): the
        // same value, whatever they hold.
        for (const char *after : {"98765432", "x-\0 7+9/"}) {
            const std::string padded = text + std::string(after, 8);
            ASSERT_EQ(kiv_serialize::parse_int(padded.data(), text.size(), padded.size()), want)
                << '"' << text << "\" followed by " << after;
        }
    }
}

// The decoder against the reference decoder: well-formed trees cut at
// every offset, irregular containers (counts one off, unknown letters,
// repeated keys of similar shapes, junk in number texts) whole and cut,
// and random edits of both.
TEST(SerializeEncoding, DecoderMatchesTheReferenceOnRandomCutAndMutatedInput) {
    Random r(99);
    for (int round = 0; round < 70; round++) {
        std::string bytes = r.one_in(2) ? random_tree(r).second : irregular_value(r);
        for (size_t cut = 0; cut <= bytes.size(); cut += 1 + bytes.size() / 150)
            expect_decodes_as_model(bytes.substr(0, cut));
        for (int k = 0; k < 20; k++) expect_decodes_as_model(mutated(bytes, r));
        // Trailing bytes change nothing.
        expect_decodes_as_model(bytes + "garbage\xff");
    }
    // Hostile lengths (past the end, 2^31 and more, keys over 255 bytes).
    const std::string hostile[] = {
        "s" + wire::be32(0x80000000u) + "x",
        "b" + wire::be32(0xffffffffu),
        raw_hash(1, raw_entry(std::string(256, 'k'), raw_int("1"))),
        raw_hash(1, be16(0xffff) + std::string(70000, 'k') + raw_int("1")),
        raw_hash(1, raw_entry(std::string(255, 'k'), raw_int("1"))),
    };
    for (const std::string &bytes : hostile) expect_decodes_as_model(bytes);
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
        for (int i = 0; i < n; i++) body += raw_int(std::to_string(i));
        return raw_array(static_cast<uint32_t>(n), body);
    };
    const std::string one = raw_int("1"), two = raw_int("2");
    struct Case {
        std::string payload, without_replaced;
    };
    std::vector<Case> cases = {
        {raw_hash(3, raw_entry("a", ints(10)) + raw_entry("a", one) + raw_entry("b", two)),
         raw_hash(2, raw_entry("a", one) + raw_entry("b", two))},
        {raw_hash(4, raw_entry("a", wire::s(std::string(30000, 't'))) +
                         raw_entry("k", raw_array(1, wire::s(std::string(40000, 'u')))) +
                         raw_entry("k", one) + raw_entry("x", one)),
         raw_hash(3, raw_entry("a", wire::s(std::string(30000, 't'))) + raw_entry("k", one) +
                         raw_entry("x", one))}};
    for (int n : {1, 9, 10, 11, 40, 3000}) {
        for (const std::string &inner : {ints(n), raw_hash(1, raw_entry("x", ints(n))),
                                         raw_array(2, raw_array(1, ints(n)) + wire::s("s"))}) {
            cases.push_back({raw_hash(4, raw_entry("a", inner) + raw_entry("a", one) + raw_entry("b", inner) +
                                             raw_entry("c", two)),
                             raw_hash(3, raw_entry("a", one) + raw_entry("b", inner) + raw_entry("c", two))});
            // The same one level down, inside an array.
            cases.push_back({raw_array(2, cases.back().payload + inner),
                             raw_array(2, cases.back().without_replaced + inner)});
        }
    }
    for (const Case &c : cases) {
        Tree got = decode(c.payload), want = decode(c.without_replaced);
        ASSERT_NE(want, nullptr);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(encoded(got.get()), encoded(want.get())) << c.payload.size();
    }
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

    std::string s = wire::be32(3) + "abcXYZ";
    pos = 0;
    Tree bytes(
        serialize_string_unpack(reinterpret_cast<const uint8_t *>(s.data()), 7, &pos, SERIALIZE_BYTES));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(serialize_type(bytes.get()), SERIALIZE_BYTES);
    EXPECT_EQ(pos, 7);

    std::string array = wire::be32(0) + wire::be32(2) + raw_int("1") + wire::s("ab") + "tail";
    pos = 1;
    Tree list(serialize_array_unpack(reinterpret_cast<const uint8_t *>(array.data()),
                                     static_cast<int32_t>(array.size()), &pos));
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(serialize_array_count(list.get()), 2);
    EXPECT_EQ(pos, 1 + 8 + 3 + 7);
}

TEST(SerializeEncoding, NestingIsBoundedBothWays) {
    auto nested_bytes = [](int levels) {
        std::string out;
        for (int i = 0; i < levels; i++) out += raw_array(1, "");
        return out;
    };
    EXPECT_NE(decode(nested_bytes(256)), nullptr);
    EXPECT_EQ(decode(nested_bytes(257)), nullptr);
    // Hostile depth far beyond the limit is refused without recursion.
    EXPECT_EQ(decode(nested_bytes(200000)), nullptr);
    std::string hashes;
    for (int i = 0; i < 300; i++) hashes += raw_hash(1, be16(1) + "k");
    EXPECT_EQ(decode(hashes + raw_int("1")), nullptr);

    // The encoder refuses what the decoder would refuse.
    Tree deep(serialize_array());
    serialize_value *level = deep.get();
    for (int i = 1; i < 256; i++) {
        serialize_value *next = serialize_array();
        serialize_array_add(level, next);
        level = next;
    }
    EXPECT_NE(decode(encoded(deep.get())), nullptr);
    serialize_array_add(level, serialize_hash());  // level 257
    EXPECT_EQ(serialize_pack_calc(deep.get()), -1);
    EXPECT_EQ(encoded(deep.get()), "<null>");
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
}

}  // namespace
