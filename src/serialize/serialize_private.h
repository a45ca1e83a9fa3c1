// Helpers shared by the value model, the encoder and the printer.
#ifndef KIV_SERIALIZE_PRIVATE_H
#define KIV_SERIALIZE_PRIVATE_H

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "values.h"

namespace kiv_serialize {

// Deepest container nesting that the encoder, the decoder and the deep
// copy accept; the printer counts deeper parts of a tree without writing
// them. Every walk over a tree (size, write, decode, copy, print, release)
// keeps an explicit stack of at most this many frames instead of
// recursing, so that the call stack a value needs does not depend on its
// depth.
constexpr int kMaxDepth = 256;

// Limits of one dump of the value printer (serialize_print). The library
// dumps what the daemon sent on its own (an event's data, a refused
// reply), so a hostile or broken daemon decides the size of the tree: an
// unbounded dump of a 16 MB reply would write millions of records and evict
// everything else from the device's log (logd keeps 256 KiB per buffer by
// default). The largest dump of a well-formed reply, a device record or a
// track's metadata, holds a few dozen values and well under 2 KiB of text.
//
// Values (nodes of any type) that one dump writes; the next one and
// everything after it are left out.
constexpr uint32_t kPrintMaxValues = 256;
// Bytes of text that one dump writes (indentation, keys and scalars, before
// the closing line that says what was left out): a small fraction of the
// log buffer, and twice what the largest real dump needs.
constexpr size_t kPrintMaxText = 4096;
// Longest record: a line longer than this (a long text or byte string)
// continues in the next record. The Android logger truncates a record
// beyond 4068 bytes (its tag and priority included).
constexpr size_t kPrintRecordBytes = 1024;

// Longest key the wire format carries: the receiving side reads keys into
// a 256-byte area, so longer keys are refused in both directions.
constexpr size_t kMaxKeyLength = 255;

// Tests and benchmarks: when set, the index that finds repeated keys in a
// hash being decoded gives every key the same hash, the worst case that
// keys chosen by someone who knew the per-process secret could cause. The
// index's probe budget and its sorted fallback keep that case O(n log n).
extern std::atomic<bool> collide_all_keys;

// SipHash-2-4 of `length` bytes under the key (k0, k1), as published;
// the index uses the same function with one compression and three
// finalization rounds. For the tests of the reference vectors.
uint64_t siphash24(uint64_t k0, uint64_t k1, const char *data, size_t length);

// Fault injection for tests: when positive, the allocation that brings the
// counter to zero fails. Zero (the default) disables it.
extern std::atomic<int> alloc_fail_countdown;

inline bool injected_failure() {
    return alloc_fail_countdown.load(std::memory_order_relaxed) > 0 &&
           alloc_fail_countdown.fetch_sub(1, std::memory_order_relaxed) == 1;
}

inline void *sv_malloc(size_t size) {
    return injected_failure() ? nullptr : malloc(size);
}

// Type letters of the byte encoding.
constexpr uint8_t kLetterInt = 'i';
constexpr uint8_t kLetterFloat = 'f';
constexpr uint8_t kLetterString = 's';
constexpr uint8_t kLetterBytes = 'b';
constexpr uint8_t kLetterArray = 'a';
constexpr uint8_t kLetterHash = 'h';

inline uint32_t get_be32(const uint8_t *in) {
    return (static_cast<uint32_t>(in[0]) << 24) | (static_cast<uint32_t>(in[1]) << 16) |
           (static_cast<uint32_t>(in[2]) << 8) | static_cast<uint32_t>(in[3]);
}

inline bool is_container(const serialize_value *node) {
    return node->type == SERIALIZE_ARRAY || node->type == SERIALIZE_HASH;
}

// Payload of a scalar node: directly behind the three fields. On LP64 the
// struct ends in four bytes of tail padding, so a number's payload lives
// there and the whole node is one 24-byte block (a 32-byte heap chunk, the
// same size class as a list cell) instead of 28 bytes rounded up to 48.
constexpr size_t kPayloadOffset = offsetof(serialize_value, length) + sizeof(int32_t);
static_assert(kPayloadOffset % alignof(int32_t) == 0, "number payloads stay aligned");

inline void *payload_of(serialize_value *node) {
    return reinterpret_cast<char *>(node) + kPayloadOffset;
}

// Bytes to allocate for a scalar node carrying `payload` bytes.
constexpr size_t scalar_size(size_t payload) {
    return kPayloadOffset + payload > sizeof(serialize_value) ? kPayloadOffset + payload
                                                              : sizeof(serialize_value);
}

// Heap bytes for a scalar node with `payload` bytes (containers take
// kContainerSize, lists.h).
constexpr size_t node_size(size_t payload) {
    return scalar_size(payload);
}

// Copies a short text (a key) of `n` bytes in a few word moves, never
// touching a byte outside either range: the compiler would otherwise turn a
// copy whose length it knows to be small into a string move that is slow
// to start.
inline void copy_short(char *dst, const char *src, size_t n) {
    if (n >= 8) {
        size_t i = 0;
        for (; i + 8 < n; i += 8) memcpy(dst + i, src + i, 8);
        memcpy(dst + n - 8, src + n - 8, 8);
    } else if (n >= 4) {
        memcpy(dst, src, 4);
        memcpy(dst + n - 4, src + n - 4, 4);
    } else {
        for (size_t i = 0; i < n; i++) dst[i] = src[i];
    }
}

// Fill a node whose block has room for the payload.
inline void init_number(serialize_value *node, int32_t type, const void *four_bytes) {
    node->type = type;
    node->data = payload_of(node);
    node->length = 4;
    memcpy(node->data, four_bytes, 4);
}

inline void init_blob(serialize_value *node, const void *source, int32_t length, int32_t type) {
    node->type = type;
    node->data = payload_of(node);
    node->length = length;
    char *bytes = static_cast<char *>(node->data);
    if (length > 0) kiv_copy_bytes(bytes, source, static_cast<size_t>(length));
    // Byte strings get the terminator too, so that reading one as a text
    // never runs past the block.
    bytes[length] = '\0';
}

// A new hash entry whose key (`length` bytes, no NUL needed) is stored in
// the same heap block, directly behind the entry: one allocation instead of
// two. Value and next start null.
serialize_hash_entry *new_entry_with_key(const char *key, size_t length);

// Releases `node`, a block of its own, and everything below it.
void release_tree(serialize_value *node);
// Releases everything below `node` but not the node itself (an element
// stored with its link: its memory goes with the link).
void release_contents(serialize_value *node);

// Starts `node` as a container of `type` without elements yet; elements
// are linked behind it, then give_empty_head finishes it.
inline void begin_container(serialize_value *node, int32_t type) {
    node->type = type;
    node->data = nullptr;
    node->length = 0;
}

// Gives a container that received no element its empty head cell or entry.
bool give_empty_head(serialize_value *container);

// Copies `key` (of `length` bytes, no NUL needed) into a new heap text.
char *copy_key(const char *key, size_t length);

// A new empty container node of `type` with its head cell or entry.
serialize_value *new_container(int32_t type);

// Length of the "%i" text of `value`: its digit count by comparisons, no
// loop, and the sign.
inline int int_text_length(int32_t value) {
    uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    int sign = value < 0 ? 1 : 0;
    if (magnitude < 100000) {
        if (magnitude < 100) return sign + (magnitude < 10 ? 1 : 2);
        return sign + (magnitude < 1000 ? 3 : magnitude < 10000 ? 4 : 5);
    }
    if (magnitude < 10000000) return sign + (magnitude < 1000000 ? 6 : 7);
    return sign + (magnitude < 100000000 ? 8 : magnitude < 1000000000 ? 9 : 10);
}

// Writes the `length` characters of the "%i" text of `value` (length from
// int_text_length) at `out`: two digits a step from a table, from the last
// one back; no locale.
inline void write_int_text(char *out, int32_t value, int length) {
    static const char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    out[0] = '-';  // overwritten by a digit when the value is not negative
    char *at = out + length;
    while (magnitude >= 100) {
        uint32_t pair = magnitude % 100;
        magnitude /= 100;
        at -= 2;
        memcpy(at, kPairs + 2 * pair, 2);
    }
    if (magnitude >= 10) {
        memcpy(at - 2, kPairs + 2 * magnitude, 2);
    } else {
        at[-1] = static_cast<char>('0' + magnitude);
    }
}

// Formats `value` as "%i" into `out` (at least 12 bytes); returns the length.
int format_int(int32_t value, char *out);
// Formats `value` widened to double as "%f" into `out` (at least 64 bytes);
// returns the length.
int format_float(float value, char *out);
// Parses like atoi the `length` bytes at `text`, but saturates to
// INT32_MIN/INT32_MAX on overflow. `readable` is how many bytes from `text`
// may be read (at least `length`; more lets short texts convert a word at
// a time).
int32_t parse_int(const char *text, size_t length, size_t readable = 0);
// The float that strtod of `text` gives, narrowed to single precision.
float parse_float(const char *text);

}  // namespace kiv_serialize

#endif  // KIV_SERIALIZE_PRIVATE_H
