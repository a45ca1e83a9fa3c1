// The duplicate check of a hash being decoded: which earlier entry, if
// any, holds the key of a new one.
//
// A repeated key must find the entry of its first occurrence. The first
// kIndexThreshold keys of a hash go into a small table; from then on into
// an index keyed with a per-process secret (SipHash-1-3), so that a daemon
// cannot choose keys that pile up in one probe run. Should that ever happen
// anyway (the index counts every slot it looks at against a budget linear in
// the number of keys), the hash gives its index up, takes its further
// entries unchecked and merges repeated keys by sorting when it is
// complete: the cost stays O(n log n) whatever the keys and the seed.

#ifndef KIV_SERIALIZE_HASH_KEYS_H
#define KIV_SERIALIZE_HASH_KEYS_H

#include <string.h>
#include <sys/random.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "serialize/links.h"
#include "serialize/serialize_private.h"

namespace kiv_serialize {

constexpr uint32_t kIndexThreshold = 32;
// Slots that the index may look at, in total over the whole hash (lookups,
// insertions and rebuilds), for each key and on top of all of them. A keyed
// hash at the index's load (at most one half) needs about five per key.
constexpr uint64_t kIndexProbesPerKey = 16;
constexpr uint64_t kIndexProbeSlack = 1024;

struct SipKey {
    uint64_t k0, k1;
};

inline uint64_t rotl64(uint64_t x, int bits) {
    return (x << bits) | (x >> (64 - bits));
}

inline uint64_t load_le64(const char *bytes) {
    uint64_t word;
    memcpy(&word, bytes, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    word = __builtin_bswap64(word);
#endif
    return word;
}

template <int kCompression, int kFinalization>
inline uint64_t siphash(uint64_t k0, uint64_t k1, const char *data, size_t length) {
    uint64_t v0 = 0x736f6d6570736575ull ^ k0;
    uint64_t v1 = 0x646f72616e646f6dull ^ k1;
    uint64_t v2 = 0x6c7967656e657261ull ^ k0;
    uint64_t v3 = 0x7465646279746573ull ^ k1;
    auto round = [&] {
        v0 += v1;
        v1 = rotl64(v1, 13);
        v1 ^= v0;
        v0 = rotl64(v0, 32);
        v2 += v3;
        v3 = rotl64(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl64(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl64(v1, 17);
        v1 ^= v2;
        v2 = rotl64(v2, 32);
    };
    size_t whole = length & ~size_t{7};
    for (size_t i = 0; i < whole; i += 8) {
        uint64_t m = load_le64(data + i);
        v3 ^= m;
        for (int r = 0; r < kCompression; r++) round();
        v0 ^= m;
    }
    uint64_t last = static_cast<uint64_t>(length) << 56;
    for (size_t i = 0; i < (length & 7); i++)
        last |= uint64_t{static_cast<uint8_t>(data[whole + i])} << (8 * i);
    v3 ^= last;
    for (int r = 0; r < kCompression; r++) round();
    v0 ^= last;
    v2 ^= 0xff;
    for (int r = 0; r < kFinalization; r++) round();
    return v0 ^ v1 ^ v2 ^ v3;
}

// The per-process secret of the index: 128 bits from the kernel, or, where
// getrandom fails, from the clocks, the addresses and the process id.
inline SipKey make_process_key() {
    uint64_t words[2] = {0, 0};
    if (getrandom(words, sizeof words, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof words)) {
        struct timespec mono = {0, 0}, real = {0, 0};
        clock_gettime(CLOCK_MONOTONIC, &mono);
        clock_gettime(CLOCK_REALTIME, &real);
        words[0] =
            siphash<2, 4>(static_cast<uint64_t>(mono.tv_nsec) ^ (static_cast<uint64_t>(mono.tv_sec) << 30),
                          reinterpret_cast<uintptr_t>(&words) ^ static_cast<uint64_t>(getpid()),
                          reinterpret_cast<const char *>(&real), sizeof real);
        words[1] = siphash<2, 4>(words[0], reinterpret_cast<uintptr_t>(&make_process_key),
                                 reinterpret_cast<const char *>(&mono), sizeof mono);
    }
    return SipKey{words[0], words[1]};
}

inline const SipKey &process_key() {
    static const SipKey key = make_process_key();
    return key;
}

// The first eight bytes of a key (fewer when it is shorter, zero padded)
// as one little-endian word, read straight from the input when eight bytes
// are there to read.
inline uint64_t key_prefix(const char *bytes, size_t length, bool can_read_word) {
    size_t n = length < 8 ? length : 8;
    uint64_t word = 0;
    if (can_read_word) {
        word = load_le64(bytes);
        if (n < 8) word &= (uint64_t{1} << (8 * n)) - 1;
    } else {
        for (size_t i = 0; i < n; i++) word |= uint64_t{static_cast<uint8_t>(bytes[i])} << (8 * i);
    }
    return word;
}

// Length of a key that ends at `length` bytes or at a NUL, scanning a word
// at a time.
inline size_t key_text_length_of(const char *bytes, size_t length) {
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHighs = 0x8080808080808080ull;
    size_t n = 0;
    for (; n + 8 <= length; n += 8) {
        uint64_t word;
        memcpy(&word, bytes + n, 8);
        if (((word - kOnes) & ~word & kHighs) != 0) break;
    }
    while (n < length && bytes[n] != '\0') n++;
    return n;
}

// Keys of the first kIndexThreshold entries of a hash being decoded, for
// the duplicate check: a 64-slot table keyed by each key's length and first
// eight bytes, so that a new key costs a probe or two and integer compares
// instead of a strcmp per entry. Its hash is not keyed: with at most
// kIndexThreshold keys a probe run costs at most that many compares.
struct SmallKeys {
    static constexpr int kSlotBits = 6;
    static constexpr uint32_t kSlots = 1u << kSlotBits;
    static_assert(kSlots >= 2 * kIndexThreshold, "the table stays at most half full");

    uint8_t slot[kSlots];  // 1 + position in the arrays below; 0 when free
    serialize_hash_entry *entry[kIndexThreshold];
    uint64_t prefix[kIndexThreshold];
    uint32_t length[kIndexThreshold];
    uint32_t count;

    void reset() {
        memset(slot, 0, sizeof slot);
        count = 0;
    }

    static uint32_t home(uint64_t prefix, size_t length) {
        return static_cast<uint32_t>(((prefix + length) * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits));
    }

    // The entry whose key is `key` (`length` bytes, first word `word`), or
    // null; then `*free_slot` is where such a key goes.
    serialize_hash_entry *find(const char *key, size_t length, uint64_t word, uint32_t *free_slot) const {
        for (uint32_t i = home(word, length);; i = (i + 1) % kSlots) {
            uint32_t at = slot[i];
            if (at == 0) {
                *free_slot = i;
                return nullptr;
            }
            at--;
            if (prefix[at] == word && this->length[at] == length &&
                (length <= 8 || memcmp(entry[at]->key, key, length) == 0))
                return entry[at];
        }
    }

    void add(uint32_t free_slot, serialize_hash_entry *added, uint64_t word, size_t key_length) {
        entry[count] = added;
        prefix[count] = word;
        length[count] = static_cast<uint32_t>(key_length);
        slot[free_slot] = static_cast<uint8_t>(++count);
    }
};

// Open-addressing index of the entries of a hash being decoded, past the
// first kIndexThreshold, with each entry's keyed hash beside it so that a
// probe compares texts only when the hashes agree.
struct KeyIndex {
    struct Slot {
        serialize_hash_entry *entry;
        uint64_t hash;
    };
    enum Result { kAbsent, kFound, kOverBudget };

    Slot *slots;
    uint32_t capacity;  // power of two, or 0 when there is no index
    uint32_t used;
    uint64_t probes;  // slots looked at so far
    SipKey key;
    bool collide;  // collide_all_keys, read when the index was built

    void reset() {
        slots = nullptr;
        capacity = 0;
        used = 0;
        probes = 0;
    }
    void drop() {
        free(slots);
        reset();
    }

    uint64_t hash_of(const char *text, size_t length) const {
        return collide ? 0 : siphash<1, 3>(key.k0, key.k1, text, length);
    }

    static uint64_t budget(uint32_t entries) {
        return kIndexProbesPerKey * (uint64_t{entries} + 1) + kIndexProbeSlack;
    }

    // Looks for the key `text` (`length` bytes, no NUL) with hash `hash`.
    // kAbsent leaves in `*free` the slot where it goes.
    Result find(uint64_t hash, const char *text, size_t length, uint32_t entries, Slot **free_slot,
                serialize_hash_entry **found) {
        uint32_t mask = capacity - 1;
        uint64_t limit = budget(entries);
        for (uint32_t i = static_cast<uint32_t>(hash) & mask;; i = (i + 1) & mask) {
            if (++probes > limit) return kOverBudget;
            Slot &s = slots[i];
            if (s.entry == nullptr) {
                *free_slot = &s;
                return kAbsent;
            }
            if (s.hash == hash && strncmp(s.entry->key, text, length) == 0 && s.entry->key[length] == '\0') {
                *found = s.entry;
                return kFound;
            }
        }
    }

    // Places a key known to be absent.
    Result place(Slot *table, uint32_t size, serialize_hash_entry *entry, uint64_t hash, uint64_t limit) {
        uint32_t mask = size - 1;
        for (uint32_t i = static_cast<uint32_t>(hash) & mask;; i = (i + 1) & mask) {
            if (++probes > limit) return kOverBudget;
            if (table[i].entry == nullptr) {
                table[i] = Slot{entry, hash};
                return kAbsent;
            }
        }
    }

    // A table of at least twice `needed` slots holding the entries of the
    // current one; kFound when it is in place, kAbsent when memory ran out.
    Result grow(uint32_t needed, uint32_t entries) {
        uint32_t size = 64;
        while (size < needed * 2) size *= 2;
        Slot *fresh = static_cast<Slot *>(sv_malloc(size * sizeof(Slot)));
        if (fresh == nullptr) return kAbsent;
        memset(fresh, 0, size * sizeof(Slot));
        uint64_t limit = budget(entries);
        for (uint32_t i = 0; i < capacity; i++)
            if (slots[i].entry != nullptr &&
                place(fresh, size, slots[i].entry, slots[i].hash, limit) == kOverBudget) {
                free(fresh);
                return kOverBudget;
            }
        free(slots);
        slots = fresh;
        capacity = size;
        return kFound;
    }
};

// Where a key was looked for, so that adding it needs no second search.
struct KeyLookup {
    uint64_t prefix;  // small table: the key's first word and its free slot
    uint32_t free_slot;
    uint64_t hash;  // index: the key's hash and its free slot
    KeyIndex::Slot *slot;
};

// The duplicate check of one hash being decoded.
struct HashKeys {
    SmallKeys small;
    KeyIndex index;
    bool merge_at_close;  // the index gave up: repeated keys are merged at the end

    void open() {
        small.reset();
        index.reset();
        merge_at_close = false;
    }

    void give_up() {
        index.drop();
        merge_at_close = true;
    }

    // The entry of an earlier occurrence of the key, or null. `entries`
    // counts the entries linked so far.
    serialize_hash_entry *find(const char *key, size_t length, bool can_read_word, uint32_t entries,
                               KeyLookup *lookup) {
        if (merge_at_close) return nullptr;
        if (entries < kIndexThreshold) {
            lookup->prefix = key_prefix(key, length, can_read_word);
            return small.find(key, length, lookup->prefix, &lookup->free_slot);
        }
        lookup->hash = index.hash_of(key, length);
        serialize_hash_entry *found = nullptr;
        switch (index.find(lookup->hash, key, length, entries, &lookup->slot, &found)) {
            case KeyIndex::kFound:
                return found;
            case KeyIndex::kAbsent:
                return nullptr;
            default:
                give_up();
                return nullptr;
        }
    }

    // Registers `entry` (key of `length` bytes), looked for with `lookup`,
    // as entry number `entries`. False when memory runs out.
    bool add(serialize_hash_entry *entry, size_t length, const KeyLookup &lookup, uint32_t entries) {
        if (merge_at_close) return true;
        if (entries < kIndexThreshold) {
            small.add(lookup.free_slot, entry, lookup.prefix, length);
            return entries + 1 < kIndexThreshold || build_index();
        }
        if (index.used * 2 < index.capacity) {
            *lookup.slot = KeyIndex::Slot{entry, lookup.hash};
            index.used++;
            return true;
        }
        KeyIndex::Result grown = index.grow(entries + 1, entries);
        if (grown == KeyIndex::kAbsent) return false;
        if (grown == KeyIndex::kOverBudget ||
            index.place(index.slots, index.capacity, entry, lookup.hash, KeyIndex::budget(entries)) ==
                KeyIndex::kOverBudget) {
            give_up();
            return true;
        }
        index.used++;
        return true;
    }

    // The small table is full: the index takes its keys.
    bool build_index() {
        index.key = process_key();
        index.collide = collide_all_keys.load(std::memory_order_relaxed);
        KeyIndex::Result grown = index.grow(small.count, small.count);
        if (grown == KeyIndex::kAbsent) return false;
        for (uint32_t i = 0; grown == KeyIndex::kFound && i < small.count; i++) {
            serialize_hash_entry *entry = small.entry[i];
            if (index.place(index.slots, index.capacity, entry, index.hash_of(entry->key, small.length[i]),
                            KeyIndex::budget(small.count)) == KeyIndex::kOverBudget)
                grown = KeyIndex::kOverBudget;
        }
        if (grown == KeyIndex::kOverBudget) {
            give_up();
            return true;
        }
        index.used = small.count;
        return true;
    }
};

// Releases one entry that is not linked: key, value, link.
inline void release_entry(serialize_hash_entry *entry) {
    free_key(entry);
    release_value(entry);
    free_link(entry);
}

// Merges the repeated keys of a complete hash of `entries` entries linked
// without a duplicate check: sorted by key and position, each key keeps the
// place of its first occurrence and the value of its last, as the
// duplicate check would have left it. The last occurrence's entry moves to
// that place (its value may sit in its slot, so the value cannot move
// alone); the other occurrences are released. False when memory runs out.
inline bool merge_repeated_keys(serialize_value *hash, uint32_t entries) {
    // Each key's first eight bytes as a big-endian word (zero padded, and
    // keys hold no NUL), so that most comparisons are of integers in the
    // array rather than of texts spread over the tree; in the order of
    // strcmp.
    struct Item {
        uint64_t prefix;
        serialize_hash_entry *entry;
        size_t position;
    };
    auto prefix_of = [](const char *key) {
        uint64_t word = 0;
        for (int i = 0; i < 8 && key[i] != '\0'; i++)
            word |= uint64_t{static_cast<uint8_t>(key[i])} << (56 - 8 * i);
        return word;
    };
    auto key_order = [](const Item &a, const Item &b) {
        if (a.prefix != b.prefix) return a.prefix < b.prefix ? -1 : 1;
        // Equal words: both keys are shorter than eight bytes and equal, or
        // both go on.
        if ((a.prefix & 0xFF) == 0) return 0;
        return strcmp(a.entry->key + 8, b.entry->key + 8);
    };
    size_t n = entries;
    auto *items = static_cast<Item *>(sv_malloc(n * sizeof(Item)));
    auto *kept = static_cast<serialize_hash_entry **>(sv_malloc(n * sizeof(serialize_hash_entry *)));
    if (items == nullptr || kept == nullptr) {
        free(items);
        free(kept);
        return false;
    }
    size_t count = 0;
    for (auto *e = static_cast<serialize_hash_entry *>(hash->data); e != nullptr && count < n; e = e->next) {
        items[count] = Item{prefix_of(e->key), e, count};
        count++;
    }
    std::sort(items, items + count, [&key_order](const Item &a, const Item &b) {
        int order = key_order(a, b);
        return order < 0 || (order == 0 && a.position < b.position);
    });
    for (size_t i = 0; i < count; i++) kept[i] = nullptr;
    for (size_t i = 0; i < count;) {
        size_t end = i + 1;
        while (end < count && key_order(items[end], items[i]) == 0) end++;
        kept[items[i].position] = items[end - 1].entry;
        for (size_t d = i; d + 1 < end; d++) release_entry(items[d].entry);
        i = end;
    }
    serialize_hash_entry *tail = nullptr;
    for (size_t i = 0; i < count; i++) {
        if (kept[i] == nullptr) continue;
        if (tail == nullptr)
            hash->data = kept[i];
        else
            tail->next = kept[i];
        tail = kept[i];
    }
    if (tail != nullptr) tail->next = nullptr;
    free(items);
    free(kept);
    return true;
}

}  // namespace kiv_serialize

#endif  // KIV_SERIALIZE_HASH_KEYS_H
