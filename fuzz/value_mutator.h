// Structure-aware mutation of encoded value trees, for the fuzzers whose
// input is (or carries) an encoding. The bytes are parsed into a tree, one
// to three tree edits are applied and the tree is written back with
// consistent lengths and counts, so that the fuzzer spends its time on what
// the decoder does with a well-formed tree: keys that repeat (with any
// value before and after), subtrees copied, moved, wrapped or repeated,
// texts around the size of a run, elements dropped. Bytes that do not
// parse are left to the generic mutator.
#ifndef KIV_FUZZ_VALUE_MUTATOR_H
#define KIV_FUZZ_VALUE_MUTATOR_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

extern "C" size_t LLVMFuzzerMutate(uint8_t *data, size_t size, size_t max_size);

namespace value_mutator {

struct Node {
    char letter = 'i';                                   // 'i', 'f', 's', 'b', 'a' or 'h'
    std::string scalar;                                  // number text or string bytes
    std::vector<std::pair<std::string, Node>> children;  // keys are empty in arrays
};

inline uint32_t be32(const std::string &in, size_t at) {
    return (uint32_t{static_cast<uint8_t>(in[at])} << 24) |
           (uint32_t{static_cast<uint8_t>(in[at + 1])} << 16) |
           (uint32_t{static_cast<uint8_t>(in[at + 2])} << 8) | uint32_t{static_cast<uint8_t>(in[at + 3])};
}

inline void put_be32(std::string &out, size_t value) {
    for (int k = 3; k >= 0; k--) out += static_cast<char>(value >> (8 * k));
}

// Parses one value at `*at`; false when the bytes are not a whole encoding
// (unknown letters inside containers included: they stay with the
// generic mutator).
inline bool parse(const std::string &in, size_t *at, Node *node, int depth) {
    if (depth > 64 || *at >= in.size()) return false;
    node->letter = in[(*at)++];
    size_t left = in.size() - *at;
    switch (node->letter) {
        case 'i':
        case 'f': {
            if (left < 1 || static_cast<uint8_t>(in[*at]) > left - 1) return false;
            size_t n = static_cast<uint8_t>(in[*at]);
            node->scalar = in.substr(*at + 1, n);
            *at += 1 + n;
            return true;
        }
        case 's':
        case 'b': {
            if (left < 4 || be32(in, *at) > left - 4) return false;
            size_t n = be32(in, *at);
            node->scalar = in.substr(*at + 4, n);
            *at += 4 + n;
            return true;
        }
        case 'a':
        case 'h': {
            if (left < 8) return false;
            uint32_t count = be32(in, *at + 4);
            *at += 8;
            for (uint32_t k = 0; k < count; k++) {
                std::string key;
                if (node->letter == 'h') {
                    if (in.size() - *at < 2) return false;
                    size_t n =
                        (size_t{static_cast<uint8_t>(in[*at])} << 8) | static_cast<uint8_t>(in[*at + 1]);
                    if (in.size() - *at - 2 < n) return false;
                    key = in.substr(*at + 2, n);
                    *at += 2 + n;
                }
                node->children.emplace_back(key, Node());
                if (!parse(in, at, &node->children.back().second, depth + 1)) return false;
            }
            return true;
        }
        default:
            return false;
    }
}

inline void write(const Node &node, std::string &out) {
    out += node.letter;
    if (node.letter == 'i' || node.letter == 'f') {
        out += static_cast<char>(node.scalar.size());
        out += node.scalar;
        return;
    }
    if (node.letter == 's' || node.letter == 'b') {
        put_be32(out, node.scalar.size());
        out += node.scalar;
        return;
    }
    size_t start = out.size();
    out += std::string(8, '\0');
    for (const auto &child : node.children) {
        if (node.letter == 'h') {
            out += static_cast<char>(child.first.size() >> 8);
            out += static_cast<char>(child.first.size());
            out += child.first;
        }
        write(child.second, out);
    }
    // The size counts four bytes per key length field, as the encoder does.
    std::string header;
    put_be32(header, out.size() - start - 4 + (node.letter == 'h' ? 2 * node.children.size() : 0));
    put_be32(header, node.children.size());
    out.replace(start, 8, header);
}

inline size_t encoded_size(const Node &node) {
    if (node.letter == 'i' || node.letter == 'f') return 2 + node.scalar.size();
    if (node.letter == 's' || node.letter == 'b') return 5 + node.scalar.size();
    size_t total = 9;
    for (const auto &child : node.children) total += 2 + child.first.size() + encoded_size(child.second);
    return total;
}

inline void collect(Node *node, std::vector<Node *> &all, std::vector<Node *> &containers) {
    all.push_back(node);
    if (node->letter != 'a' && node->letter != 'h') return;
    containers.push_back(node);
    for (auto &child : node->children) collect(&child.second, all, containers);
}

// Sizes around the ones the decoder cares about: one byte, a key's limit,
// a small run, half and all of a large run, and beyond.
inline size_t interesting_length(std::minstd_rand &rng) {
    static const size_t kLengths[] = {0, 1, 7, 8, 255, 256, 4000, 16384, 30000, 32768, 40000, 65536, 70000};
    return kLengths[rng() % (sizeof kLengths / sizeof kLengths[0])];
}

inline Node random_scalar(std::minstd_rand &rng) {
    static const char *const kNumbers[] = {"0",           "1",           "-1",  "2147483647",
                                           "-2147483648", "99999999999", "1.5", ""};
    Node n;
    switch (rng() % 4) {
        case 0:
        case 1:
            n.letter = (rng() % 2) ? 'i' : 'f';
            n.scalar = kNumbers[rng() % (sizeof kNumbers / sizeof kNumbers[0])];
            break;
        default:
            n.letter = (rng() % 2) ? 's' : 'b';
            n.scalar.assign(rng() % 3 == 0 ? interesting_length(rng) : rng() % 16,
                            static_cast<char>('a' + rng() % 26));
            break;
    }
    return n;
}

// A key: one already in the tree (so that it repeats), or a short new one.
inline std::string pick_key(std::minstd_rand &rng, const std::vector<Node *> &containers) {
    std::vector<const std::string *> keys;
    for (const Node *c : containers)
        if (c->letter == 'h')
            for (const auto &child : c->children) keys.push_back(&child.first);
    if (!keys.empty() && rng() % 4 != 0) return *keys[rng() % keys.size()];
    static const char *const kKeys[] = {"a", "b", "k", "x", "", "event", "data", "abcdefgh", "abcdefghi"};
    return kKeys[rng() % (sizeof kKeys / sizeof kKeys[0])];
}

inline void insert_child(std::minstd_rand &rng, Node *into, std::string key, Node value) {
    size_t at = into->children.empty() ? 0 : rng() % (into->children.size() + 1);
    if (into->letter != 'h') key.clear();
    into->children.insert(into->children.begin() + static_cast<long>(at), {std::move(key), std::move(value)});
}

// One tree edit; false when it found nothing to edit.
inline bool edit(std::minstd_rand &rng, Node &root, size_t max_size) {
    std::vector<Node *> all, containers;
    collect(&root, all, containers);
    Node *node = all[rng() % all.size()];
    Node *container = containers.empty() ? nullptr : containers[rng() % containers.size()];
    switch (rng() % 10) {
        case 0:  // a later entry repeats the key of an earlier one
        case 1: {
            if (container == nullptr || container->letter != 'h' || container->children.empty()) return false;
            size_t from = rng() % container->children.size();
            Node value = (rng() % 2) ? random_scalar(rng) : *all[rng() % all.size()];
            size_t at = from + 1 + rng() % (container->children.size() - from);
            container->children.insert(container->children.begin() + static_cast<long>(at),
                                       {container->children[from].first, std::move(value)});
            return true;
        }
        case 2: {  // rename an entry to a key found elsewhere
            if (container == nullptr || container->letter != 'h' || container->children.empty()) return false;
            container->children[rng() % container->children.size()].first = pick_key(rng, containers);
            return true;
        }
        case 3: {  // copy a subtree into a container
            if (container == nullptr) return false;
            Node copy = *node;
            insert_child(rng, container, pick_key(rng, containers), std::move(copy));
            return true;
        }
        case 4: {  // repeat a container's elements
            if (container == nullptr || container->children.empty()) return false;
            size_t times = 1 + rng() % 16;
            auto copy = container->children;
            for (size_t k = 0; k < times; k++)
                container->children.insert(container->children.end(), copy.begin(), copy.end());
            return true;
        }
        case 5: {  // wrap a value into an array or a hash
            Node inner = *node;
            std::string key = pick_key(rng, containers);  // before `node` loses its subtree
            node->letter = (rng() % 2) ? 'a' : 'h';
            node->scalar.clear();
            node->children.clear();
            node->children.emplace_back(node->letter == 'h' ? key : std::string(), std::move(inner));
            return true;
        }
        case 6: {  // drop an element or entry
            if (container == nullptr || container->children.empty()) return false;
            container->children.erase(container->children.begin() +
                                      static_cast<long>(rng() % container->children.size()));
            return true;
        }
        case 7: {  // a text of a size near a run's
            if (node->letter != 's' && node->letter != 'b') *node = random_scalar(rng);
            node->letter = (rng() % 2) ? 's' : 'b';
            node->scalar.assign(interesting_length(rng), static_cast<char>('a' + rng() % 26));
            return encoded_size(root) <= max_size;
        }
        case 8: {  // another scalar, or an edited payload
            if (rng() % 2 || node->letter == 'a' || node->letter == 'h') {
                *node = random_scalar(rng);
                return true;
            }
            std::string buf = node->scalar;
            buf.resize(node->scalar.size() * 2 + 16);
            buf.resize(
                LLVMFuzzerMutate(reinterpret_cast<uint8_t *>(&buf[0]), node->scalar.size(), buf.size()));
            if (node->letter == 'i' || node->letter == 'f') buf.resize(buf.size() < 255 ? buf.size() : 255);
            node->scalar = buf;
            return true;
        }
        default: {  // move an element within its container
            if (container == nullptr || container->children.size() < 2) return false;
            std::swap(container->children[rng() % container->children.size()],
                      container->children[rng() % container->children.size()]);
            return true;
        }
    }
}

// Mutates the encoding in data[0..size) in place; returns the new size, or
// 0 when the bytes do not parse or the result would not fit (the caller
// then uses the generic mutator).
inline size_t mutate(uint8_t *data, size_t size, size_t max_size, unsigned int seed) {
    std::string in(reinterpret_cast<const char *>(data), size);
    Node root;
    size_t at = 0;
    if (!parse(in, &at, &root, 0)) return 0;
    std::string tail = in.substr(at);
    std::minstd_rand rng(seed);
    int edits = 1 + static_cast<int>(rng() % 3), done = 0;
    for (int tries = 0; done < edits && tries < 16; tries++) {
        if (encoded_size(root) > max_size) break;
        if (edit(rng, root, max_size)) done++;
    }
    std::string out;
    write(root, out);
    if (rng() % 8 == 0) out += tail;
    if (done == 0 || out.size() > max_size) return 0;
    memcpy(data, out.data(), out.size());
    return out.size();
}

// Inserts a random subtree of `other` into a random container of `data`.
inline size_t cross_over(const uint8_t *data, size_t size, const uint8_t *other, size_t other_size,
                         uint8_t *out, size_t max_out, unsigned int seed) {
    std::string a(reinterpret_cast<const char *>(data), size),
        b(reinterpret_cast<const char *>(other), other_size);
    Node ta, tb;
    size_t at = 0, bt = 0;
    if (!parse(a, &at, &ta, 0) || !parse(b, &bt, &tb, 0)) return 0;
    std::minstd_rand rng(seed);
    std::vector<Node *> all_a, containers_a, all_b, containers_b;
    collect(&ta, all_a, containers_a);
    collect(&tb, all_b, containers_b);
    if (containers_a.empty()) return 0;
    Node *into = containers_a[rng() % containers_a.size()];
    insert_child(rng, into, pick_key(rng, containers_a), *all_b[rng() % all_b.size()]);
    std::string result;
    write(ta, result);
    if (result.size() > max_out) return 0;
    memcpy(out, result.data(), result.size());
    return result.size();
}

}  // namespace value_mutator

#endif  // KIV_FUZZ_VALUE_MUTATOR_H
