// The debug printer: which records it logs, in which order, at which
// priority and under which tag.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "internal.h"
#include "log_capture.h"
#include "value_tree.h"

namespace {

using kivtest::Tree;

// The texts of the records logged while printing `node` at `depth`; every
// record must be a debug record of the library's tag.
std::vector<std::string> printed(const serialize_value *node, int32_t depth = 0) {
    kivtest::log_clear();
    serialize_print_depth(node, depth);
    return kivtest::debug_texts();
}

using Texts = std::vector<std::string>;

TEST(SerializePrinter, ScalarsAndTheWorkedExample) {
    Tree hash(serialize_hash());
    serialize_hash_add(hash.get(), "result", serialize_int(1));
    EXPECT_EQ(printed(hash.get()), (Texts{"{\n", "  ", "\"result\"=>", "  ", "1\n", "}\n"}));
    kivtest::log_clear();
    serialize_print(hash.get());
    EXPECT_EQ(kivtest::log_records().size(), 6u);

    Tree number(serialize_int(-5));
    EXPECT_EQ(printed(number.get(), 2), (Texts{"  ", "  ", "-5\n"}));
    EXPECT_EQ(printed(number.get(), -3), (Texts{"-5\n"}));
    Tree f(serialize_float(1.5f));
    EXPECT_EQ(printed(f.get()), (Texts{"1.500000\n"}));
    Tree s(serialize_string("a b%s"));
    EXPECT_EQ(printed(s.get(), 1), (Texts{"  ", "a b%s\n"}));
    Tree bytes(serialize_bytes("A B\x7e\x7f\x21\x00\xff", 8));
    EXPECT_EQ(printed(bytes.get()), (Texts{"A", "\\x20", "B", "~", "\\x7f", "!", "\\x00", "\\xff", "\n"}));
    Tree no_bytes(serialize_bytes("", 0));
    EXPECT_EQ(printed(no_bytes.get()), (Texts{"\n"}));
    serialize_value odd = {42, nullptr, 0};
    EXPECT_EQ(printed(&odd, 1), (Texts{"  ", "unknown type\n"}));
}

TEST(SerializePrinter, ContainersIndentTheirElements) {
    Tree array(serialize_array());
    serialize_array_add(array.get(), serialize_int(1));
    serialize_array_add(array.get(), serialize_int(2));
    EXPECT_EQ(printed(array.get()), (Texts{"  ", "1\n", "  ", "2\n"}));
    Tree empty_array(serialize_array());
    EXPECT_EQ(printed(empty_array.get()), Texts{});
    Tree empty_hash(serialize_hash());
    EXPECT_EQ(printed(empty_hash.get(), 1), (Texts{"  ", "{\n", "  ", "}\n"}));

    // A hash inside a hash, and an array as the value of an entry.
    Tree outer(serialize_hash());
    serialize_value *inner = serialize_hash();
    serialize_hash_add(inner, "x", serialize_string("y"));
    serialize_hash_add(outer.get(), "in", inner);
    serialize_value *list = serialize_array();
    serialize_array_add(list, serialize_int(7));
    serialize_hash_add(outer.get(), "list", list);
    EXPECT_EQ(printed(outer.get()),
              (Texts{"{\n", "  ", "\"in\"=>", "  ", "{\n", "  ", "  ", "\"x\"=>", "  ", "  ", "y\n", "  ",
                     "}\n", "  ", "\"list\"=>", "  ", "  ", "7\n", "}\n"}));
    // Printing leaves the tree as it was.
    EXPECT_EQ(serialize_hash_count(outer.get()), 2);
    EXPECT_STREQ(serialize_hash_get_string(inner, "x"), "y");
}

}  // namespace
