// The C++ value layer (kiv/value.hpp): the builder encodes exactly what
// the independent test encoder writes, views read every type back, and
// iteration and lookup walk the lists once (a long list stays fast).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <string>
#include <tuple>
#include <vector>

#include "fake_daemon.h"
#include "kiv/value.hpp"

namespace ki = kiv::ipod;
namespace wire = kivtest::wire;

namespace {

std::string encode(const ki::Value &v) {
    int32_t n = 0;
    uint8_t *bytes = serialize(v.get(), &n);
    std::string out(reinterpret_cast<const char *>(bytes), bytes ? static_cast<size_t>(n) : 0);
    free(bytes);
    return out;
}

ki::Value decode(const std::string &bytes) {
    return ki::Value::adopt(unserialize(bytes.data(), static_cast<int32_t>(bytes.size())));
}

TEST(CppValue, BuilderEncodesAsTheIndependentEncoder) {
    const unsigned char raw[] = {0, 1, 0xff};
    ki::Value v = ki::Value::hash({{"result", 1},
                                   {"name", "Music"},
                                   {"ids", ki::Value::array({1, -2, std::string("three")})},
                                   {"raw", ki::Value::bytes(ki::ByteView(raw, sizeof raw))},
                                   {"empty", ki::Value::array()},
                                   {"result", 2}});  // a repeated key keeps its place, takes the last value
    EXPECT_EQ(encode(v), wire::h({{"result", wire::i(2)},
                                  {"name", wire::s("Music")},
                                  {"ids", wire::a({wire::i(1), wire::i(-2), wire::s("three")})},
                                  {"raw", wire::b(std::string("\0\1\xff", 3))},
                                  {"empty", wire::a({})}}));
    // Handing a tree over leaves the Value empty; adding an empty Value adds nothing.
    ki::Value list = ki::Value::array();
    ki::Value one = 1;
    list.push_back(std::move(one));
    list.push_back(std::move(one));
    EXPECT_FALSE(one);
    EXPECT_EQ(encode(list), wire::a({wire::i(1)}));
    serialize_free(list.release());
    EXPECT_FALSE(list);
}

TEST(CppValue, ViewsReadEveryTypeBack) {
    ki::Value v = decode(wire::h({{"i", wire::i(-7)},
                                  {"f", wire::f(1.5)},
                                  {"s", wire::s("text")},
                                  {"b", wire::b(std::string("a\0b", 3))},
                                  {"a", wire::a({wire::i(1), wire::s("x")})},
                                  {"h", wire::h({})}}));
    ASSERT_TRUE(v);
    ki::ValueView root = *v.view();
    EXPECT_EQ(root.type(), ki::ValueType::hash);
    EXPECT_EQ(root.size(), 6u);
    // Each accessor answers for its own type only: the accessors that
    // answer, as "i"nt, "f"loat, "s"tring, "b"ytes.
    const std::tuple<const char *, ki::ValueType, std::string> expect[] = {
        {"i", ki::ValueType::integer, "i"}, {"f", ki::ValueType::real, "f"},
        {"s", ki::ValueType::string, "sb"}, {"b", ki::ValueType::bytes, "b"},
        {"a", ki::ValueType::array, ""},    {"h", ki::ValueType::hash, ""}};
    for (const auto &[key, type, answers] : expect) {
        auto node = root.find(key);
        ASSERT_TRUE(node) << key;
        EXPECT_EQ(node->type(), type) << key;
        EXPECT_EQ(std::string(node->as_int() ? "i" : "") + (node->as_float() ? "f" : "") +
                      (node->as_string() ? "s" : "") + (node->as_bytes() ? "b" : ""),
                  answers)
            << key;
    }
    EXPECT_EQ(root.find("i")->as_int(), -7);
    EXPECT_EQ(root.find("f")->as_float(), 1.5f);
    EXPECT_EQ(root.find("s")->as_string(), "text");
    ki::ByteView b = *root.find("b")->as_bytes();
    EXPECT_EQ(std::string(b.begin(), b.end()), std::string("a\0b", 3));
    EXPECT_FALSE(root.find("missing"));
    EXPECT_FALSE(root.find("i")->find("i")) << "lookup in a scalar finds nothing";
    std::vector<std::string> keys;
    for (auto [key, value] : root.entries())
        keys.push_back(std::string(key) + ":" + std::to_string(int(value.type())));
    EXPECT_EQ(keys, (std::vector<std::string>{"i:0", "f:1", "s:2", "b:3", "a:4", "h:5"}));
    int elements = 0;
    for (ki::ValueView e : root.find("a")->elements()) elements += e.as_int().value_or(10);
    EXPECT_EQ(elements, 11);
    EXPECT_EQ(root.find("h")->size(), 0u);
    EXPECT_EQ(root.find("h")->entries().begin(), root.find("h")->entries().end());
    // A copy is independent of its source.
    ki::Value copy = v.copy();
    v = ki::Value::adopt(nullptr);
    EXPECT_EQ(copy.view()->find("s")->as_string(), "text");
}

// 200000 elements: a walk that restarted from the head for each element
// (index by index) would take about 2e10 steps.
TEST(CppValue, IterationAndLookupAreLinear) {
    const int n = 200000;
    std::vector<std::string> elements;
    std::vector<std::pair<std::string, std::string>> hash;
    for (int k = 0; k < n; k++) hash.emplace_back("k" + std::to_string(k), wire::i(k));
    for (const auto &entry : hash) elements.push_back(entry.second);
    ki::Value a = decode(wire::a(elements));
    ki::Value h = decode(wire::h(hash));
    ASSERT_TRUE(a && h);
    auto start = std::chrono::steady_clock::now();
    long long sum = 0;
    for (ki::ValueView e : a.view()->elements()) sum += *e.as_int();
    for (auto [key, value] : h.view()->entries()) sum += *value.as_int() + static_cast<long long>(key.size());
    EXPECT_EQ(h.view()->find("k" + std::to_string(n - 1))->as_int(), n - 1);
    EXPECT_EQ(a.view()->size(), static_cast<size_t>(n));
    EXPECT_EQ(sum, 2LL * n * (n - 1) / 2 + 10 * 2 + 90 * 3 + 900 * 4 + 9000 * 5 + 90000 * 6 + 100000 * 7);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
