// The debug printer: the text it logs (the concatenation of its records),
// one record per line, at which priority and under which tag, and the
// limits of one dump.
#include <gtest/gtest.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "kiv_ipod.h"
#include "log_capture.h"
#include "serialize/serialize_private.h"
#include "value_tree.h"

namespace {

using kiv_serialize::kPrintMaxText;
using kiv_serialize::kPrintMaxValues;
using kiv_serialize::kPrintRecordBytes;
using kivtest::Tree;
using Texts = std::vector<std::string>;

// The records logged while printing `node` at `depth`; every record must be
// a debug record of the library's tag.
Texts records_of(const serialize_value *node, int32_t depth = 0) {
    kivtest::log_clear();
    EXPECT_EQ(serialize_print_depth(node, depth), 0);  // whatever it printed
    return kivtest::debug_texts();
}

std::string joined(const Texts &texts) {
    std::string out;
    for (const std::string &t : texts) out += t;
    return out;
}

// The concatenated text of a dump.
std::string printed(const serialize_value *node, int32_t depth = 0) {
    return joined(records_of(node, depth));
}

// The text of the printer, piece by piece as a printer without limits and
// with a record per piece would log it: the reference for dumps within the
// limits.
void reference(const serialize_value *node, int64_t depth, std::string *out, size_t *values) {
    if (node == nullptr) return;
    ++*values;
    auto indent = [out](int64_t n) {
        for (int64_t i = 0; i < n; i++) *out += "  ";
    };
    char text[64];
    if (node->type == SERIALIZE_ARRAY) {
        for (int32_t i = 0; i < serialize_array_count(node); i++)
            reference(serialize_array_get(node, i), depth + 1, out, values);
        return;
    }
    indent(depth);  // every other value starts its line indented
    switch (node->type) {
        case SERIALIZE_INT:
            *out += std::to_string(serialize_get_int(node)) + "\n";  // "%d"
            return;
        case SERIALIZE_FLOAT:
            *out += std::to_string(static_cast<double>(serialize_get_float(node))) + "\n";  // "%f"
            return;
        case SERIALIZE_STRING:
            *out += serialize_get_string(node) + std::string("\n");
            return;
        case SERIALIZE_BYTES: {
            int32_t length = 0;
            const auto *bytes = static_cast<const uint8_t *>(serialize_get_bytes(node, &length));
            for (int32_t i = 0; i < length; i++) {
                if (bytes[i] >= 0x21 && bytes[i] <= 0x7E) {
                    *out += static_cast<char>(bytes[i]);
                } else {
                    snprintf(text, sizeof text, "\\x%02x", bytes[i]);
                    *out += text;
                }
            }
            *out += "\n";
            return;
        }
        case SERIALIZE_HASH:
            *out += "{\n";
            for (int32_t i = 0; i < serialize_hash_count(node); i++) {
                const char *key = serialize_hash_get_key(node, i);
                indent(depth + 1);
                *out += "\"" + std::string(key) + "\"=>";
                reference(serialize_hash_get(node, key), depth + 1, out, values);
            }
            indent(depth);
            *out += "}\n";
            return;
        default:
            *out += "unknown type\n";
            return;
    }
}

std::string reference_text(const serialize_value *node, int32_t depth = 0, size_t *values = nullptr) {
    std::string out;
    size_t count = 0;
    reference(node, depth, &out, &count);
    if (values != nullptr) *values = count;
    return out;
}

// One record per line: every record ends a line, except one that is full.
void expect_one_record_per_line(const Texts &records) {
    for (size_t i = 0; i < records.size(); i++) {
        const std::string &r = records[i];
        ASSERT_FALSE(r.empty()) << i;
        EXPECT_TRUE(r.back() == '\n' || r.size() == kPrintRecordBytes) << "record " << i << ": " << r;
        EXPECT_LE(r.size(), kPrintRecordBytes) << i;
    }
}

TEST(SerializePrinter, ScalarsAndTheWorkedExample) {
    Tree hash(serialize_hash());
    serialize_hash_add(hash.get(), "result", serialize_int(1));
    // The text of the six pieces ("{", indentation, key, indentation, value,
    // "}"), one record per line.
    EXPECT_EQ(records_of(hash.get()), (Texts{"{\n", "  \"result\"=>  1\n", "}\n"}));
    EXPECT_EQ(printed(hash.get()), std::string("{\n") + "  " + "\"result\"=>" + "  " + "1\n" + "}\n");

    Tree number(serialize_int(-5));
    EXPECT_EQ(records_of(number.get(), 2), (Texts{"    -5\n"}));
    EXPECT_EQ(printed(number.get(), -3), "-5\n");
    Tree f(serialize_float(1.5f));
    EXPECT_EQ(printed(f.get()), "1.500000\n");
    Tree s(serialize_string("a b%s"));
    EXPECT_EQ(printed(s.get(), 1), "  a b%s\n");
    Tree bytes(serialize_bytes("A B\x7e\x7f\x21\x00\xff", 8));
    EXPECT_EQ(records_of(bytes.get()), (Texts{"A\\x20B~\\x7f!\\x00\\xff\n"}));
    Tree no_bytes(serialize_bytes("", 0));
    EXPECT_EQ(records_of(no_bytes.get()), (Texts{"\n"}));
    serialize_value odd = {42, nullptr, 0};
    EXPECT_EQ(records_of(&odd, 1), (Texts{"  unknown type\n"}));
    EXPECT_EQ(records_of(nullptr), Texts{});
}

TEST(SerializePrinter, ContainersIndentTheirElements) {
    Tree array(serialize_array());
    serialize_array_add(array.get(), serialize_int(1));
    serialize_array_add(array.get(), serialize_int(2));
    EXPECT_EQ(records_of(array.get()), (Texts{"  1\n", "  2\n"}));
    Tree empty_array(serialize_array());
    EXPECT_EQ(records_of(empty_array.get()), Texts{});
    Tree empty_hash(serialize_hash());
    EXPECT_EQ(records_of(empty_hash.get(), 1), (Texts{"  {\n", "  }\n"}));

    // A hash inside a hash, and an array as the value of an entry.
    Tree outer(serialize_hash());
    serialize_value *inner = serialize_hash();
    serialize_hash_add(inner, "x", serialize_string("y"));
    serialize_hash_add(outer.get(), "in", inner);
    serialize_value *list = serialize_array();
    serialize_array_add(list, serialize_int(7));
    serialize_hash_add(outer.get(), "list", list);
    EXPECT_EQ(printed(outer.get()),
              "{\n"
              "  \"in\"=>  {\n"
              "    \"x\"=>    y\n"
              "  }\n"
              "  \"list\"=>    7\n"
              "}\n");
    EXPECT_EQ(printed(outer.get()), reference_text(outer.get()));
    // Printing leaves the tree as it was.
    EXPECT_EQ(serialize_hash_count(outer.get()), 2);
    EXPECT_STREQ(serialize_hash_get_string(inner, "x"), "y");
}

// A random tree of at most `budget` values.
serialize_value *random_tree(std::mt19937 &rng, int depth, int *budget, unsigned width = 6) {
    --*budget;
    int kind = static_cast<int>(rng() % (depth > 6 || *budget <= 0 ? 4 : 6));
    switch (kind) {
        case 0:
            return serialize_int(static_cast<int32_t>(rng()));
        case 1:
            return serialize_float(static_cast<float>(static_cast<int32_t>(rng())) / 1024.0f);
        case 2: {
            std::string text(rng() % 12, 'x');
            for (char &c : text) c = static_cast<char>(' ' + rng() % 95);
            return serialize_string(text.c_str());
        }
        case 3: {
            std::string bytes(rng() % 10, '\0');
            for (char &c : bytes) c = static_cast<char>(rng());
            return serialize_bytes(bytes.data(), static_cast<int32_t>(bytes.size()));
        }
        case 4: {
            serialize_value *array = serialize_array();
            for (int n = static_cast<int>(rng() % width); n > 0 && *budget > 0; n--)
                serialize_array_add(array, random_tree(rng, depth + 1, budget, width));
            return array;
        }
        default: {
            serialize_value *hash = serialize_hash();
            for (int n = static_cast<int>(rng() % width); n > 0 && *budget > 0; n--) {
                std::string key = "k" + std::to_string(rng() % 20);
                serialize_hash_add(hash, key.c_str(), random_tree(rng, depth + 1, budget, width));
            }
            return hash;
        }
    }
}

// Within the limits the text is exactly the reference, one record per
// line; beyond them it is the reference cut short, then one
// line that says what was left out, and never more than the limits.
TEST(SerializePrinter, RandomTreesWithinAndBeyondTheLimits) {
    std::mt19937 rng(20240611);
    int within = 0, beyond = 0;
    for (int round = 0; round < 600; round++) {
        bool large = round % 3 == 0;
        int budget = large ? 600 : 60;
        Tree tree(random_tree(rng, 0, &budget, large ? 16 : 6));
        int32_t depth = static_cast<int32_t>(rng() % 4) - 1;
        size_t values = 0;
        std::string want = reference_text(tree.get(), depth, &values);
        Texts records = records_of(tree.get(), depth);
        std::string got = joined(records);
        if (values <= kPrintMaxValues && want.size() <= kPrintMaxText) {
            within++;
            EXPECT_EQ(got, want) << "round " << round;
            expect_one_record_per_line(records);
            continue;
        }
        beyond++;
        ASSERT_FALSE(records.empty());
        const std::string last = records.back();
        EXPECT_EQ(last.rfind("... ", 0), 0u) << last;
        EXPECT_NE(last.find(" not shown\n"), std::string::npos) << last;
        std::string shown = got.substr(0, got.size() - last.size());
        // What was shown is the start of the full text (a cut line ends
        // with a newline of its own).
        std::string head = shown;
        if (!head.empty() && want.compare(0, head.size(), head) != 0) head.pop_back();
        EXPECT_EQ(want.compare(0, head.size(), head), 0) << "round " << round;
        EXPECT_LE(shown.size(), kPrintMaxText + 1);  // the newline of a cut line
        EXPECT_LE(records.size(), 2 * kPrintMaxValues + kPrintMaxText / kPrintRecordBytes + 2);
        expect_one_record_per_line(Texts(records.begin(), records.end() - 1));
    }
    EXPECT_GT(within, 300);
    EXPECT_GT(beyond, 30);
}

// The limits of one dump, each reached on its own, and the line that says
// what was left out.
TEST(SerializePrinter, HugeTreesWriteABoundedDump) {
    // A 16 MB byte string: 4 KiB of its bytes in four records, the newline
    // of the cut line, then the count of the others, instead of a record
    // per byte.
    {
        std::string big(16000000, 'A');
        Tree bytes(serialize_bytes(big.data(), static_cast<int32_t>(big.size())));
        Texts records = records_of(bytes.get());
        ASSERT_EQ(records.size(), 6u);
        for (int i = 0; i < 4; i++) EXPECT_EQ(records[i], std::string(kPrintRecordBytes, 'A'));
        EXPECT_EQ(records[4], "\n");
        EXPECT_EQ(records[5], "... " + std::to_string(16000000 - kPrintMaxText) + " more bytes not shown\n");
    }
    // Escaped bytes are never cut inside an escape.
    {
        std::string zeros(100000, '\0');
        Tree bytes(serialize_bytes(zeros.data(), static_cast<int32_t>(zeros.size())));
        std::string got = printed(bytes.get(), 1);
        std::string shown = "  ";
        while (shown.size() + 4 <= kPrintMaxText) shown += "\\x00";
        size_t bytes_shown = (shown.size() - 2) / 4;
        EXPECT_EQ(got, shown + "\n... " + std::to_string(100000 - bytes_shown) + " more bytes not shown\n");
    }
    // A 1,000,000-element array: the array and 255 elements, then the count
    // of the elements left out.
    {
        Tree array(serialize_array());
        auto *tail = static_cast<serialize_array_cell *>(array->data);
        for (int i = 0; i < 1000000; i++) {
            if (i > 0) tail = tail->next = serialize_array_new();
            tail->value = serialize_int(i % 10);
        }
        Texts records = records_of(array.get());
        ASSERT_EQ(records.size(), kPrintMaxValues);
        for (size_t i = 0; i + 1 < records.size(); i++)
            EXPECT_EQ(records[i], "  " + std::to_string(i % 10) + "\n");
        EXPECT_EQ(records.back(),
                  "... " + std::to_string(1000000 - (kPrintMaxValues - 1)) + " more values not shown\n");
    }
    // A long text line cut by the text budget, inside a hash: the bytes of
    // the text and the values after it.
    {
        Tree hash(serialize_hash());
        serialize_hash_add(hash.get(), "title", serialize_string(std::string(10000, 't').c_str()));
        serialize_hash_add(hash.get(), "more", serialize_int(1));
        Texts records = records_of(hash.get());
        std::string got = joined(records);
        std::string head = "{\n  \"title\"=>  ";
        size_t shown = kPrintMaxText - head.size();
        EXPECT_EQ(got, head + std::string(shown, 't') + "\n... " + std::to_string(10000 - shown) +
                           " more bytes and 1 more values not shown\n");
        expect_one_record_per_line(Texts(records.begin(), records.end() - 1));
    }
    // An indentation deeper than the budget: cut like any text.
    {
        Tree number(serialize_int(3));
        Texts records = records_of(number.get(), INT32_MAX);
        EXPECT_EQ(joined(Texts(records.begin(), records.end() - 1)), std::string(kPrintMaxText, ' ') + "\n");
        EXPECT_EQ(records.back(), "... 0 more values not shown\n");
    }
    // Every limit at once, on a tree of a million values in hashes.
    {
        Tree root(serialize_array());
        auto *cell = static_cast<serialize_array_cell *>(root->data);
        for (int i = 0; i < 1000; i++) {
            if (i > 0) cell = cell->next = serialize_array_new();
            cell->value = serialize_hash();
            auto *entry = static_cast<serialize_hash_entry *>(cell->value->data);
            for (int k = 0; k < 999; k++) {
                if (k > 0) entry = entry->next = serialize_hash_new();
                entry->key = strdup(("key" + std::to_string(k)).c_str());
                entry->value = serialize_string("value");
            }
        }
        Texts records = records_of(root.get());
        size_t bytes = 0;
        for (const std::string &r : records) bytes += r.size();
        EXPECT_LE(records.size(), 2 * kPrintMaxValues + kPrintMaxText / kPrintRecordBytes + 2);
        EXPECT_LE(bytes, kPrintMaxText + 100);
        // The text budget ends it: fewer values than the value budget show.
        const std::string &last = records.back();
        ASSERT_EQ(last.rfind("... ", 0), 0u) << last;
        unsigned long long more = std::stoull(last.substr(4));
        EXPECT_GT(more, 1000 * 1000 + 1 - kPrintMaxValues);
        EXPECT_LT(more, 1000 * 1000 + 1u);
        EXPECT_EQ(last, "... " + std::to_string(more) + " more values not shown\n");
    }
}

// A tree deeper than any the decoder accepts, built by hand, prints its
// first values; its deepest part is counted as far as the walk reaches.
TEST(SerializePrinter, TreesDeeperThanTheLimitAreCut) {
    serialize_value *root = serialize_array();
    serialize_value *level = root;
    for (int i = 0; i < 3 * kiv_serialize::kMaxDepth; i++) {
        serialize_value *next = serialize_array();
        serialize_array_add(level, next);
        level = next;
    }
    serialize_array_add(level, serialize_int(1));
    Texts records = records_of(root);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0], "... at least 1 more values not shown\n");
    serialize_free(root);
}

}  // namespace
