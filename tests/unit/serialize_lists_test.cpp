// Arrays and hashes against a plain model, built every way the library and
// its users build them (added to, inserted at the front, decoded, copied,
// linked by hand, linked by hand after being read), changed every way (add,
// insert, set, delete, replacing adds) and read every way (count, in order,
// backwards, at random, out of range, by key, through the encoder), across
// the lengths where the list state changes how it works: short walks from
// the head, long jumps through the links by position, the table of keys.
// And reading in order or at random costs the same per element at every
// length.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "fake_daemon.h"
#include "serialize/lists.h"
#include "serialize/serialize_private.h"
#include "value_tree.h"
#include "values.h"

namespace {

namespace wire = kivtest::wire;
using kivtest::encoded;
using kivtest::Tree;

struct Random {
    uint32_t seed;
    int32_t below(uint32_t bound) {
        seed = seed * 1103515245u + 12345u;
        return static_cast<int32_t>((seed >> 8) % bound);
    }
};

// ---------------------------------------------------------------- arrays

enum class Built {
    kAdd,
    kInsertFront,
    kSetEmptyThenAdd,
    kHandLinked,
    kHandLinkedAfterUse,
    kDecoded,
    kCopied
};
constexpr Built kAllWays[] = {Built::kAdd,        Built::kInsertFront,        Built::kSetEmptyThenAdd,
                              Built::kHandLinked, Built::kHandLinkedAfterUse, Built::kDecoded,
                              Built::kCopied};

// Element `v`: an integer, or every third one a text (so that decoded and
// copied lists store elements of more than one size with their cells).
serialize_value *element(int32_t v) {
    return v % 3 == 0 ? serialize_string(std::to_string(v).c_str()) : serialize_int(v);
}
int32_t value_of(const serialize_value *node) {
    if (serialize_type(node) == SERIALIZE_STRING) return std::stoi(serialize_get_string(node));
    return serialize_type(node) == SERIALIZE_INT ? serialize_get_int(node) : INT32_MIN;
}
std::string wire_of(const std::vector<int32_t> &model) {
    std::vector<std::string> items;
    for (int32_t v : model) items.push_back(v % 3 == 0 ? wire::s(std::to_string(v)) : wire::i(v));
    return wire::a(items);
}

// Links `values` behind the last cell of `array` by hand, as a user of the
// public structs may.
void link_by_hand(serialize_value *array, const std::vector<int32_t> &values, size_t from) {
    auto *tail = static_cast<serialize_array_cell *>(array->data);
    while (tail->next != nullptr) tail = tail->next;
    for (size_t i = from; i < values.size(); i++) {
        if (tail->value != nullptr) tail = tail->next = serialize_array_new();
        tail->value = element(values[i]);
    }
}

serialize_value *build_array(Built how, const std::vector<int32_t> &values) {
    serialize_value *array = serialize_array();
    switch (how) {
        case Built::kAdd:
            for (int32_t v : values) serialize_array_add(array, element(v));
            break;
        case Built::kInsertFront:
            for (size_t i = values.size(); i-- > 0;) serialize_array_insert(array, 0, element(values[i]));
            break;
        case Built::kSetEmptyThenAdd:
            for (size_t i = 0; i < values.size(); i++)
                i == 0 ? serialize_array_set(array, 0, element(values[i]))
                       : serialize_array_add(array, element(values[i]));
            break;
        case Built::kHandLinked:
            link_by_hand(array, values, 0);
            break;
        case Built::kHandLinkedAfterUse: {
            size_t half = values.size() / 2;
            for (size_t i = 0; i < half; i++) serialize_array_add(array, element(values[i]));
            EXPECT_EQ(serialize_array_count(array), static_cast<int32_t>(half));
            if (half > 0) {
                EXPECT_EQ(value_of(serialize_array_get(array, static_cast<int32_t>(half / 2))),
                          values[half / 2]);
            }
            link_by_hand(array, values, half);
            break;
        }
        case Built::kDecoded:
        case Built::kCopied: {
            serialize_free(array);
            const std::string bytes = wire_of(values);
            array = unserialize(bytes.data(), static_cast<int32_t>(bytes.size()));
            if (how == Built::kCopied) {
                serialize_value *copy = serialize_dup(array);
                serialize_free(array);
                array = copy;
            }
            break;
        }
    }
    return array;
}

// Reads `array` every way and compares with `model`.
void expect_reads(const serialize_value *array, const std::vector<int32_t> &model, Random &rng,
                  const std::string &where) {
    const auto n = static_cast<int32_t>(model.size());
    ASSERT_EQ(serialize_array_count(array), n) << where;
    for (int32_t i = 0; i < n; i++)
        ASSERT_EQ(value_of(serialize_array_get(array, i)), model[i]) << where << " i " << i;
    for (int32_t i = n; i-- > 0;)
        ASSERT_EQ(value_of(serialize_array_get(array, i)), model[i]) << where << " back " << i;
    for (int k = 0; k < 40 && n > 0; k++) {
        int32_t i = rng.below(static_cast<uint32_t>(n));
        ASSERT_EQ(value_of(serialize_array_get(array, i)), model[i]) << where << " random " << i;
    }
    // A reply's fields read between its records, as the record accessor does.
    for (int32_t i = 4; i < n; i++) {
        ASSERT_EQ(value_of(serialize_array_get(array, 1)), model[1]) << where;
        ASSERT_EQ(value_of(serialize_array_get(array, i)), model[i]) << where << " record " << i;
    }
    for (int32_t i : {-1, n, n + 1, INT32_MAX, INT32_MIN})
        ASSERT_EQ(serialize_array_get(array, i), nullptr) << where;
    ASSERT_EQ(encoded(array), wire_of(model)) << where;
}

TEST(SerializeLists, ArraysAgreeWithTheModelHoweverBuiltChangedAndRead) {
    Random rng{2024};
    int32_t next_value = 1;
    for (size_t length : {0u, 1u, 9u, 70u, 300u}) {
        for (Built how : kAllWays) {
            std::vector<int32_t> model;
            for (size_t i = 0; i < length; i++) model.push_back(next_value++);
            Tree array(build_array(how, model));
            ASSERT_NE(array, nullptr);
            const std::string where = "length " + std::to_string(length) + " way " + std::to_string(int(how));
            expect_reads(array.get(), model, rng, where);
            for (int step = 0; step < 300; step++) {
                const auto n = static_cast<int32_t>(model.size());
                const int32_t index = rng.below(static_cast<uint32_t>(n) + 3) - 1;  // -1 .. n + 1
                const int32_t v = next_value++;
                serialize_value *value = element(v);
                bool taken = false;
                switch (rng.below(6)) {
                    case 0:
                        serialize_array_add(array.get(), value);
                        model.push_back(v);
                        taken = true;
                        break;
                    case 1:  // never appends; index 0 of an empty array takes the value
                        serialize_array_insert(array.get(), index, value);
                        taken = index == 0 || (index > 0 && index < n);
                        if (taken) model.insert(model.begin() + index, v);
                        break;
                    case 2:
                        serialize_array_set(array.get(), index, value);
                        taken = index == 0 || (index > 0 && index < n);
                        if (index == 0 && n == 0)
                            model.push_back(v);
                        else if (taken)
                            model[static_cast<size_t>(index)] = v;
                        break;
                    case 3:
                    case 4: {  // deletions as often as additions, at the end too
                        const int32_t at = rng.below(4) == 0 ? n - 1 : index;
                        serialize_array_del(array.get(), at);
                        if (at >= 0 && at < n) model.erase(model.begin() + at);
                        break;
                    }
                    default:
                        serialize_array_del(array.get(), 0);
                        if (n > 0) model.erase(model.begin());
                        break;
                }
                if (!taken) serialize_free(value);
                // The next read right after the change, near where it was.
                const auto m = static_cast<int32_t>(model.size());
                ASSERT_EQ(serialize_array_count(array.get()), m) << where << " step " << step;
                for (int32_t i : {index - 1, index, index + 1, m - 1})
                    if (i >= 0 && i < m) {
                        ASSERT_EQ(value_of(serialize_array_get(array.get(), i)), model[i])
                            << where << " step " << step;
                    }
                if (step % 50 == 49)
                    expect_reads(array.get(), model, rng, where + " step " + std::to_string(step));
            }
            expect_reads(array.get(), model, rng, where + " end");
        }
    }
}

// ---------------------------------------------------------------- hashes

using HashModel = std::vector<std::pair<std::string, int32_t>>;

std::string key_of(int32_t k) {
    // Keys that differ in case or only in a late byte, and the empty key.
    switch (k % 5) {
        case 0:
            return "key" + std::to_string(k);
        case 1:
            return "KEY" + std::to_string(k);
        case 2:
            return std::string(20, 'p') + std::to_string(k);
        case 3:
            return k == 3 ? "" : std::to_string(k);
        default:
            return "t" + std::to_string(k) + "_";
    }
}

std::string wire_of(const HashModel &model) {
    std::vector<std::pair<std::string, std::string>> entries;
    for (const auto &[key, v] : model) entries.emplace_back(key, wire::i(v));
    return wire::h(entries);
}

void model_add(HashModel &model, const std::string &key, int32_t v) {
    auto at = std::find_if(model.begin(), model.end(), [&](const auto &e) { return e.first == key; });
    if (at == model.end())
        model.emplace_back(key, v);
    else
        at->second = v;
}

enum class HashBuilt { kAdd, kHandLinked, kHandLinkedAfterUse, kDecodedWithRepeats, kCopied };

serialize_value *build_hash(HashBuilt how, const HashModel &model) {
    serialize_value *hash = serialize_hash();
    auto link_by_hand = [hash, &model](size_t from) {
        auto *tail = static_cast<serialize_hash_entry *>(hash->data);
        while (tail->next != nullptr) tail = tail->next;
        for (size_t i = from; i < model.size(); i++) {
            if (tail->key != nullptr) tail = tail->next = serialize_hash_new();
            tail->key = strdup(model[i].first.c_str());
            tail->value = serialize_int(model[i].second);
        }
    };
    switch (how) {
        case HashBuilt::kAdd:
            for (const auto &[key, v] : model) serialize_hash_add(hash, key.c_str(), serialize_int(v));
            break;
        case HashBuilt::kHandLinked:
            link_by_hand(0);
            break;
        case HashBuilt::kHandLinkedAfterUse: {
            size_t half = model.size() / 2;
            for (size_t i = 0; i < half; i++)
                serialize_hash_add(hash, model[i].first.c_str(), serialize_int(model[i].second));
            if (half > 0) {
                EXPECT_EQ(serialize_get_int(serialize_hash_get(hash, model[0].first.c_str())),
                          model[0].second);
            }
            link_by_hand(half);
            break;
        }
        case HashBuilt::kDecodedWithRepeats:
        case HashBuilt::kCopied: {
            serialize_free(hash);
            // Every key first with a stale value, which its repeat replaces in place.
            std::vector<std::pair<std::string, std::string>> entries;
            for (const auto &[key, v] : model) entries.emplace_back(key, wire::i(-v));
            for (const auto &[key, v] : model) entries.emplace_back(key, wire::i(v));
            const std::string bytes = wire::h(entries);
            hash = unserialize(bytes.data(), static_cast<int32_t>(bytes.size()));
            if (how == HashBuilt::kCopied) {
                serialize_value *copy = serialize_dup(hash);
                serialize_free(hash);
                hash = copy;
            }
            break;
        }
    }
    return hash;
}

void expect_hash_reads(const serialize_value *hash, const HashModel &model, Random &rng,
                       const std::string &where) {
    const auto n = static_cast<int32_t>(model.size());
    ASSERT_EQ(serialize_hash_count(hash), n) << where;
    for (int32_t i = 0; i < n; i++) {
        ASSERT_STREQ(serialize_hash_get_key(hash, i), model[i].first.c_str()) << where << " i " << i;
        ASSERT_EQ(serialize_get_int(serialize_hash_get(hash, model[i].first.c_str())), model[i].second)
            << where;
    }
    // Backwards, each value by the key pointer that serialize_hash_get_key
    // returned, as a loop over a hash reads it.
    for (int32_t i = n; i-- > 0;) {
        const char *key = serialize_hash_get_key(hash, i);
        ASSERT_STREQ(key, model[i].first.c_str()) << where;
        ASSERT_EQ(serialize_get_int(serialize_hash_get(hash, key)), model[i].second)
            << where << " back " << i;
    }
    for (int k = 0; k < 40 && n > 0; k++) {
        int32_t i = rng.below(static_cast<uint32_t>(n));
        ASSERT_STREQ(serialize_hash_get_key(hash, i), model[i].first.c_str()) << where << " random " << i;
        ASSERT_EQ(serialize_hash_has_key(hash, model[i].first.c_str()), 1) << where;
    }
    for (int32_t i : {-1, n, n + 1, INT32_MAX}) ASSERT_EQ(serialize_hash_get_key(hash, i), nullptr) << where;
    for (const char *absent : {"absent", "KEY0", "key", "pppp", "t_"}) {
        bool known =
            std::any_of(model.begin(), model.end(), [&](const auto &e) { return e.first == absent; });
        ASSERT_EQ(serialize_hash_has_key(hash, absent), known ? 1 : 0) << where << " " << absent;
    }
    ASSERT_EQ(encoded(hash), wire_of(model)) << where;
}

TEST(SerializeLists, HashesAgreeWithTheModelHoweverBuiltChangedAndRead) {
    Random rng{77};
    for (int32_t length : {0, 5, 15, 16, 17, 100, 400}) {
        for (HashBuilt how : {HashBuilt::kAdd, HashBuilt::kHandLinked, HashBuilt::kHandLinkedAfterUse,
                              HashBuilt::kDecodedWithRepeats, HashBuilt::kCopied}) {
            HashModel model;
            for (int32_t k = 0; k < length; k++) model.emplace_back(key_of(k), k * 7 + 1);
            Tree hash(build_hash(how, model));
            ASSERT_NE(hash, nullptr);
            const std::string where = "length " + std::to_string(length) + " way " + std::to_string(int(how));
            expect_hash_reads(hash.get(), model, rng, where);
            for (int step = 0; step < 200; step++) {
                // A new key or a known one (replaced in place); the key text is copied.
                const int32_t k = rng.below(static_cast<uint32_t>(length) * 2 + 20);
                std::string key = key_of(k);
                const int32_t v = rng.below(1000000);
                serialize_hash_add(hash.get(), key.c_str(), serialize_int(v));
                model_add(model, key, v);
                key.assign(key.size(), '#');
                // Adding the stored value again under its key keeps it.
                serialize_hash_add(hash.get(), key_of(k).c_str(),
                                   serialize_hash_get(hash.get(), key_of(k).c_str()));
                ASSERT_EQ(serialize_hash_count(hash.get()), static_cast<int32_t>(model.size())) << where;
                ASSERT_EQ(serialize_get_int(serialize_hash_get(hash.get(), key_of(k).c_str())), v) << where;
                if (step % 40 == 39)
                    expect_hash_reads(hash.get(), model, rng, where + " step " + std::to_string(step));
            }
            expect_hash_reads(hash.get(), model, rng, where + " end");
        }
    }
}

// ---------------------------------------------------------------- cost

// Processor seconds per element of `work` over a list of n, the fastest of
// three runs (other load on the machine does not count).
double per_element(const std::function<void(int)> &work, int n) {
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
        const std::clock_t start = std::clock();
        work(n);
        best = std::min(best, static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC);
    }
    return best / n;
}

// 16 times the elements may not cost more than 4 times as much per element
// (a walk from the head per element would cost 16 times).
TEST(SerializeLists, BuildingCountingAndReadingInOrderCostTheSamePerElementAtAnyLength) {
    auto array_by_add = [](int n) {
        Tree array(serialize_array());
        for (int i = 0; i < n; i++) {
            serialize_array_add(array.get(), serialize_int(i));
            ASSERT_EQ(serialize_array_count(array.get()), i + 1);
        }
        for (int i = 0; i < n; i++) ASSERT_EQ(serialize_get_int(serialize_array_get(array.get(), i)), i);
    };
    auto decoded_in_order = [](int n) {
        std::vector<std::string> items(static_cast<size_t>(n), wire::i(5));
        const std::string bytes = wire::a(items);
        Tree array(unserialize(bytes.data(), static_cast<int32_t>(bytes.size())));
        for (int i = 0; i < n; i++) ASSERT_NE(serialize_array_get(array.get(), i), nullptr);
    };
    auto decoded_at_random = [](int n) {
        std::vector<std::string> items(static_cast<size_t>(n), wire::i(5));
        const std::string bytes = wire::a(items);
        Tree array(unserialize(bytes.data(), static_cast<int32_t>(bytes.size())));
        Random rng{static_cast<uint32_t>(n)};
        for (int i = 0; i < n; i++)
            ASSERT_NE(serialize_array_get(array.get(), rng.below(static_cast<uint32_t>(n))), nullptr);
    };
    auto hash_by_add = [](int n) {
        Tree hash(serialize_hash());
        for (int i = 0; i < n; i++)
            serialize_hash_add(hash.get(), std::to_string(i).c_str(), serialize_int(i));
        for (int i = 0; i < n; i++) {
            const char *key = serialize_hash_get_key(hash.get(), i);
            ASSERT_NE(key, nullptr);
            ASSERT_EQ(serialize_get_int(serialize_hash_get(hash.get(), key)), i);
        }
    };
    const std::pair<const char *, std::function<void(int)>> works[] = {
        {"array built by add, counted, read in order", array_by_add},
        {"decoded array read in order", decoded_in_order},
        {"decoded array read at random", decoded_at_random},
        {"hash built by add, read by index and key", hash_by_add},
    };
    for (const auto &[name, work] : works) {
        const double small = per_element(work, 2000);
        const double large = per_element(work, 32000);
        EXPECT_LT(large / small, 4.0) << name << ": " << small * 1e9 << " ns, then " << large * 1e9 << " ns";
    }
}

// Every add leaves the container's list state current (its head, its last
// link, its count), so that the next add, count or read in order takes the
// inline path instead of walking the chain again; copies and decodes finish
// with a current state too.
TEST(SerializeLists, AddsKeepTheListStateCurrent) {
    using kiv_serialize::list_state;
    auto expect_current = [](const serialize_value *node, const void *last, int32_t count, const char *how) {
        const kiv_serialize::ListState *s = list_state(node);
        EXPECT_EQ(s->head, node->data) << how;
        EXPECT_EQ(s->tail, last) << how;
        EXPECT_EQ(s->count, count) << how;
    };
    Tree array(serialize_array());
    Tree hash(serialize_hash());
    for (int32_t n = 1; n <= 40; n++) {
        n == 1 ? serialize_array_set(array.get(), 0, serialize_int(n))
               : serialize_array_add(array.get(), serialize_int(n));
        serialize_hash_add(hash.get(), std::to_string(n).c_str(), serialize_int(n));
        auto *cell = static_cast<serialize_array_cell *>(array->data);
        while (cell->next != nullptr) cell = cell->next;
        auto *entry = static_cast<serialize_hash_entry *>(hash->data);
        while (entry->next != nullptr) entry = entry->next;
        expect_current(array.get(), cell, n, "array add");
        expect_current(hash.get(), entry, n, "hash add");
        if (n % 13 != 0) continue;
        const std::string array_bytes = encoded(array.get()), hash_bytes = encoded(hash.get());
        Tree copies[] = {Tree(serialize_dup(array.get())), Tree(serialize_dup(hash.get())),
                         Tree(unserialize(array_bytes.data(), static_cast<int32_t>(array_bytes.size()))),
                         Tree(unserialize(hash_bytes.data(), static_cast<int32_t>(hash_bytes.size())))};
        for (const Tree &copy : copies) {
            EXPECT_EQ(list_state(copy.get())->head, copy->data) << "type " << copy->type;
            EXPECT_EQ(list_state(copy.get())->count, n) << "type " << copy->type;
        }
    }
}

}  // namespace
