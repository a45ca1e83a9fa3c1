// Hash flooding: keys chosen to collide in the decoder's duplicate index
// must cost about what random keys cost, and repeated keys must come out
// as the format says (first place, last value) on every path of the index.
#include <gtest/gtest.h>
#include <string.h>
#include <time.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "colliding_keys.h"
#include "serialize/lists.h"
#include "serialize/serialize_private.h"
#include "value_tree.h"

namespace {

using kivtest::Tree;

double cpu_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The least CPU time of a few decodes of `bytes`, each checked to give a
// hash of `entries` entries.
double decode_seconds(const std::string &bytes, int32_t entries) {
    double best = 1e9;
    for (int run = 0; run < 3; run++) {
        double start = cpu_seconds();
        Tree tree(unserialize(bytes.data(), static_cast<int32_t>(bytes.size())));
        double spent = cpu_seconds() - start;
        EXPECT_EQ(serialize_hash_count(tree.get()), entries);
        if (spent < best) best = spent;
        // Far too slow already: the index is flooded; once is enough.
        if (spent > 2.0) break;
    }
    return best;
}

// Restores the index's normal hash when a test ends.
struct CollideAllKeys {
    explicit CollideAllKeys(bool on) { kiv_serialize::collide_all_keys.store(on); }
    ~CollideAllKeys() { kiv_serialize::collide_all_keys.store(false); }
};

TEST(SerializeHashFlood, TheKeyedHashIsSipHash) {
    // The reference vectors of SipHash-2-4 (key 00..0f, messages 00..n-1).
    char message[64];
    for (int i = 0; i < 64; i++) message[i] = static_cast<char>(i);
    const uint64_t k0 = 0x0706050403020100ull, k1 = 0x0f0e0d0c0b0a0908ull;
    EXPECT_EQ(kiv_serialize::siphash24(k0, k1, message, 0), 0x726fdb47dd0e0e31ull);
    EXPECT_EQ(kiv_serialize::siphash24(k0, k1, message, 1), 0x74f839c593dc67fdull);
    EXPECT_EQ(kiv_serialize::siphash24(k0, k1, message, 8), 0x93f5f5799a932462ull);
    EXPECT_EQ(kiv_serialize::siphash24(k0, k1, message, 15), 0xa129ca6149be45e5ull);
    EXPECT_EQ(kiv_serialize::siphash24(k0, k1, message, 63), 0x958a324ceb064572ull);
}

// 32,768 keys whose FNV-1a hashes share their low 18 bits would cost an
// unkeyed FNV-1a index with linear probing about 4 s of CPU in one decode
// (random keys of the same length: a few milliseconds): each probes
// through the run of all the earlier ones. Both must cost about the same,
// and so must keys that all get one hash in the index (the case that keys
// chosen with the per-process secret would be), which the probe budget
// and the sorted merge keep within a small factor.
TEST(SerializeHashFlood, CollidingKeysCostAboutWhatRandomKeysCost) {
    constexpr size_t kKeys = 32768;
    std::vector<std::string> colliding = kivtest::fnv_colliding_keys(kKeys);
    for (const std::string &k : colliding) ASSERT_EQ(kivtest::fnv1a(k) & 0x3FFFF, 0u);
    const std::string flood = kivtest::hash_of_keys(colliding);
    const std::string random = kivtest::hash_of_keys(kivtest::random_keys(kKeys, 7));
    const int32_t n = static_cast<int32_t>(kKeys);
    // Generous for sanitizer builds: a constant for the timer's grain and a
    // factor of four (a flooded index takes a thousand times as long).
    constexpr double kSlack = 0.1, kFactor = 4.0;

    double random_cost = decode_seconds(random, n);
    double flood_cost = decode_seconds(flood, n);
    EXPECT_LE(flood_cost, kFactor * random_cost + kSlack)
        << "FNV-colliding keys " << flood_cost << " s, random keys " << random_cost << " s";

    CollideAllKeys all(true);
    double all_random = decode_seconds(random, n);
    double all_flood = decode_seconds(flood, n);
    EXPECT_LE(all_random, kFactor * random_cost + kSlack)
        << "one hash for every key " << all_random << " s, random keys " << random_cost << " s";
    EXPECT_LE(all_flood, kFactor * random_cost + kSlack)
        << "one hash for every key " << all_flood << " s, random keys " << random_cost << " s";
}

// The hash the format gives for a list of (key, value): each key at the
// place of its first occurrence with its last value.
std::string reference_encoding(const std::vector<std::pair<std::string, Tree>> &entries) {
    std::vector<std::string> order;
    std::map<std::string, const serialize_value *> last;
    for (const auto &e : entries) {
        if (last.find(e.first) == last.end()) order.push_back(e.first);
        last[e.first] = e.second.get();
    }
    Tree hash(serialize_hash());
    auto *tail = static_cast<serialize_hash_entry *>(hash->data);
    for (size_t i = 0; i < order.size(); i++) {
        if (i > 0) tail = tail->next = serialize_hash_new();
        tail->key = strdup(order[i].c_str());
        tail->value = serialize_dup(last[order[i]]);
    }
    return kivtest::encoded(hash.get());
}

// The wire form of a hash listing these entries as they are, repeats
// included.
std::string raw_encoding(const std::vector<std::pair<std::string, Tree>> &entries) {
    std::string body;
    for (const auto &e : entries) {
        body += static_cast<char>(e.first.size() >> 8);
        body += static_cast<char>(e.first.size() & 0xFF);
        body += e.first + kivtest::encoded(e.second.get());
    }
    std::string out = "h";
    uint32_t n = static_cast<uint32_t>(entries.size());
    for (uint32_t v : {static_cast<uint32_t>(4 + body.size() + 2 * n), n})
        for (int s = 24; s >= 0; s -= 8) out += static_cast<char>((v >> s) & 0xFF);
    return out + body;
}

Tree random_value(std::mt19937 &rng, int depth) {
    switch (rng() % (depth > 1 ? 6 : 8)) {
        case 0:
        case 1:
        case 2:
        case 3:
            return Tree(serialize_int(static_cast<int32_t>(rng() % 1000)));
        case 4:
        case 5:
            return Tree(serialize_string(std::string(rng() % 5, 'v').c_str()));
        case 6: {
            Tree array(serialize_array());
            for (int n = static_cast<int>(rng() % 4); n > 0; n--)
                serialize_array_add(array.get(), random_value(rng, depth + 1).release());
            return array;
        }
        default: {
            // A nested hash with repeated keys of its own.
            std::vector<std::pair<std::string, Tree>> entries;
            for (int n = static_cast<int>(rng() % 40); n > 0; n--)
                entries.emplace_back("n" + std::to_string(rng() % 20), random_value(rng, depth + 1));
            std::string raw = raw_encoding(entries);
            return Tree(unserialize(raw.data(), static_cast<int32_t>(raw.size())));
        }
    }
}

// Repeated keys on every path: the small table (the first 32 keys), the
// index, and, with every key on one hash, the sorted merge; nested hashes
// and containers as the repeated values included.
TEST(SerializeHashFlood, RepeatedKeysKeepTheirFirstPlaceAndTheirLastValue) {
    std::mt19937 rng(99);
    for (bool collide : {false, true}) {
        CollideAllKeys mode(collide);
        for (int round = 0; round < 60; round++) {
            size_t count = round % 4 == 0 ? 3000 : 1 + rng() % 200;
            size_t distinct = 1 + rng() % (count + 1);
            std::vector<std::pair<std::string, Tree>> entries;
            for (size_t i = 0; i < count; i++)
                entries.emplace_back("key" + std::to_string(rng() % distinct), random_value(rng, 0));
            std::string raw = raw_encoding(entries);
            Tree decoded(unserialize(raw.data(), static_cast<int32_t>(raw.size())));
            ASSERT_NE(decoded.get(), nullptr);
            EXPECT_EQ(kivtest::encoded(decoded.get()), reference_encoding(entries))
                << "collide " << collide << ", round " << round << ", " << count << " entries";
        }
    }
}

// Lookups in a decoded hash of keys chosen to collide under an unkeyed hash
// find every key, and no absent one (the key table hashes with the
// per-process secret).
TEST(SerializeHashFlood, LookupsInADecodedHashFindEveryKey) {
    std::vector<std::string> keys = kivtest::fnv_colliding_keys(2000);
    std::string bytes = kivtest::hash_of_keys(keys);
    Tree hash(unserialize(bytes.data(), static_cast<int32_t>(bytes.size())));
    ASSERT_EQ(serialize_hash_count(hash.get()), 2000);
    for (size_t i = 0; i < keys.size(); i += 97) {
        EXPECT_EQ(serialize_hash_has_key(hash.get(), keys[i].c_str()), 1);
        EXPECT_EQ(serialize_get_int(serialize_hash_get(hash.get(), keys[i].c_str())),
                  static_cast<int32_t>(i % 10));
    }
    EXPECT_EQ(serialize_hash_has_key(hash.get(), "absent"), 0);
}

// Lookups by key through the public functions stay right when every key
// lands on the same place of the key table: with as many keys as the table
// can hold that way (the last one as far from its place as a key may be),
// one more (the table gives up and lookups walk the list), and many more;
// keys added after the table exists are found too, a missing key is not.
TEST(SerializeHashFlood, LookupsStayRightWhenEveryKeyCollidesInTheTable) {
    CollideAllKeys collide(true);
    const int32_t limit = static_cast<int32_t>(kiv_serialize::kKeyMaxProbes) + 1;
    for (int32_t n : {kiv_serialize::kKeyIndexMin, limit, limit + 1, 4 * limit}) {
        SCOPED_TRACE(n);
        Tree hash(serialize_hash());
        const auto key = [](int32_t i) { return "key" + std::to_string(i); };
        const auto check_all = [&](int32_t count) {
            // Each key read a few times: enough comparisons for the table.
            for (int round = 0; round < 3; round++)
                for (int32_t i = 0; i < count; i++) {
                    ASSERT_EQ(serialize_get_int(serialize_hash_get(hash.get(), key(i).c_str())), i) << key(i);
                }
            EXPECT_EQ(serialize_hash_get(hash.get(), "absent"), nullptr);
        };
        for (int32_t i = 0; i < n - 1; i++) serialize_hash_add(hash.get(), key(i).c_str(), serialize_int(i));
        check_all(n - 1);
        serialize_hash_add(hash.get(), key(n - 1).c_str(), serialize_int(n - 1));
        check_all(n);
        // Up to the limit every key stays in the table; past it the table
        // is given up for good.
        const kiv_serialize::KeyTableShape shape = kiv_serialize::key_table_shape(hash.get());
        EXPECT_EQ(shape.given_up, n > limit);
        EXPECT_EQ(shape.keys, n > limit ? 0u : uint32_t(n));
        // The same keys decoded: the table is built from the whole list at
        // once, and given up the same way.
        const std::string bytes = kivtest::encoded(hash.get());
        Tree decoded(unserialize(bytes.data(), static_cast<int32_t>(bytes.size())));
        std::swap(hash, decoded);
        check_all(n);
        EXPECT_EQ(kiv_serialize::key_table_shape(hash.get()).given_up, n > limit);
    }
}

// A table of keys follows the chain it was built for: a hash whose chain is
// swapped by hand for another's finds the other's values.
TEST(SerializeHashFlood, AChainSwappedByHandIsLookedUpAnew) {
    Tree first(serialize_hash()), second(serialize_hash());
    for (int32_t i = 0; i < 40; i++) {
        const std::string key = "k" + std::to_string(i);
        serialize_hash_add(first.get(), key.c_str(), serialize_int(i));
        serialize_hash_add(second.get(), key.c_str(), serialize_int(100 + i));
    }
    for (int round = 0; round < 3; round++)
        for (int32_t i = 0; i < 40; i++)
            ASSERT_NE(serialize_hash_get(first.get(), ("k" + std::to_string(i)).c_str()), nullptr);
    ASSERT_GT(kiv_serialize::key_table_shape(first.get()).slots, 0u) << "the table was built";
    std::swap(first->data, second->data);
    for (int32_t i = 0; i < 40; i++) {
        const std::string key = "k" + std::to_string(i);
        EXPECT_EQ(serialize_get_int(serialize_hash_get(first.get(), key.c_str())), 100 + i) << key;
        EXPECT_EQ(serialize_get_int(serialize_hash_get(second.get(), key.c_str())), i) << key;
    }
}

// The key table of a hash that grows by adds holds every distinct key once
// (a repeated key is found at its first entry and does not make the table
// give up) and is never more than half full, at every size.
TEST(SerializeHashFlood, TheKeyTableHoldsEachKeyOnceAndStaysHalfEmpty) {
    Tree hash(serialize_hash());
    std::mt19937 random(7);
    int32_t distinct = 0;
    for (int32_t i = 0; i < 3000; i++) {
        const bool repeat = i > 0 && random() % 4 == 0;
        const std::string key = "k" + std::to_string(repeat ? int32_t(random() % distinct) : distinct);
        if (!repeat) distinct++;
        serialize_hash_add(hash.get(), key.c_str(), serialize_int(i));
        // Enough lookups that the table is built early and then kept up.
        ASSERT_NE(serialize_hash_get(hash.get(), key.c_str()), nullptr);
        ASSERT_NE(serialize_hash_get(hash.get(), "k0"), nullptr);
        const kiv_serialize::KeyTableShape shape = kiv_serialize::key_table_shape(hash.get());
        ASSERT_FALSE(shape.given_up) << i;
        if (shape.slots == 0) continue;
        ASSERT_EQ(shape.keys, uint32_t(distinct)) << i;
        ASSERT_LE(2 * shape.keys, shape.slots) << i;
    }
    EXPECT_GT(kiv_serialize::key_table_shape(hash.get()).slots, 0u) << "no table was built";
}

}  // namespace
