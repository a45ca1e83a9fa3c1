// Keys of a hash that a duplicate index with an unkeyed 32-bit FNV-1a and
// linear probing from its low bits sends to one slot: their hashes share
// the low 18 bits (every table up to 262,144 slots), so n of them cost
// n * n / 2 probes there. Shared by the hash flooding test and benchmark.
#ifndef KIV_TEST_COLLIDING_KEYS_H
#define KIV_TEST_COLLIDING_KEYS_H

#include <stdint.h>

#include <random>
#include <string>
#include <unordered_set>
#include <vector>

namespace kivtest {

inline uint32_t fnv1a(const std::string &key) {
    uint32_t h = 2166136261u;
    for (unsigned char c : key) h = (h ^ c) * 16777619u;
    return h;
}

// `count` distinct keys of eight bytes, none of them NUL, whose FNV-1a
// hashes end in 18 zero bits. Five bytes number the key, two are searched
// and the last is solved for: the low 18 bits of (h ^ b) * prime are zero
// exactly when those of h ^ b are, and b sets the low eight of them.
inline std::vector<std::string> fnv_colliding_keys(size_t count) {
    constexpr uint32_t kMask = (1u << 18) - 1;
    std::vector<std::string> keys;
    keys.reserve(count);
    for (uint64_t i = 0; keys.size() < count; i++) {
        std::string key(8, '\0');
        uint32_t h = 2166136261u;
        uint64_t n = i;
        for (int d = 0; d < 5; d++, n /= 255) {
            key[d] = static_cast<char>(1 + n % 255);
            h = (h ^ static_cast<uint8_t>(key[d])) * 16777619u;
        }
        bool found = false;
        for (uint32_t x = 1; x < 256 && !found; x++) {
            uint32_t hx = (h ^ x) * 16777619u;
            for (uint32_t y = 1; y < 256 && !found; y++) {
                uint32_t hy = (hx ^ y) * 16777619u;
                uint32_t last = hy & 0xFF;
                if ((hy & kMask & ~0xFFu) != 0 || last == 0) continue;
                key[5] = static_cast<char>(x);
                key[6] = static_cast<char>(y);
                key[7] = static_cast<char>(last);
                found = true;
            }
        }
        if (found) keys.push_back(key);
    }
    return keys;
}

// `count` distinct random keys of eight bytes, none of them NUL.
inline std::vector<std::string> random_keys(size_t count, uint32_t seed) {
    std::mt19937 rng(seed);
    std::unordered_set<std::string> seen;
    std::vector<std::string> keys;
    keys.reserve(count);
    while (keys.size() < count) {
        std::string key(8, '\0');
        for (char &c : key) c = static_cast<char>(1 + rng() % 255);
        if (seen.insert(key).second) keys.push_back(key);
    }
    return keys;
}

// The encoding of a hash with these keys, each holding the integer of its
// position modulo 10 ("i", 1, the digit).
inline std::string hash_of_keys(const std::vector<std::string> &keys) {
    std::string body;
    for (size_t i = 0; i < keys.size(); i++) {
        body += static_cast<char>(keys[i].size() >> 8);
        body += static_cast<char>(keys[i].size() & 0xFF);
        body += keys[i];
        body += "i\001";
        body += static_cast<char>('0' + i % 10);
    }
    uint32_t n = static_cast<uint32_t>(keys.size());
    uint32_t size = static_cast<uint32_t>(4 + body.size() + 2 * keys.size());
    std::string out = "h";
    for (uint32_t v : {size, n})
        for (int s = 24; s >= 0; s -= 8) out += static_cast<char>((v >> s) & 0xFF);
    return out + body;
}

}  // namespace kivtest

#endif  // KIV_TEST_COLLIDING_KEYS_H
