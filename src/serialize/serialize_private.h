// Helpers shared by the value model, the encoder and the printer.
#ifndef KIV_SERIALIZE_PRIVATE_H
#define KIV_SERIALIZE_PRIVATE_H

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "internal.h"

namespace kiv_serialize {

// Deepest container nesting that the encoder, the decoder and the deep
// copy accept. Deeper trees are refused instead of exhausting the stack.
constexpr int kMaxDepth = 256;

// Longest key the wire format carries: the receiving side reads keys into
// a 256-byte area, so longer keys are refused in both directions.
constexpr size_t kMaxKeyLength = 255;

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

// Heap bytes for a node: a scalar with `payload` bytes, or (payload 0) a
// container.
constexpr size_t node_size(size_t payload) {
    return payload == 0 ? sizeof(serialize_value) : scalar_size(payload);
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

// Releases `node` and everything below it. A node stored with its link
// only has its contents released (its `data` becomes null); its memory
// goes when the link is released.
void release_tree(serialize_value *node);
// Releases everything below `node` but not the node itself.
void release_contents(serialize_value *node);

// Starts `node` as a container of `type` without elements yet; elements
// are linked with append_link, then give_empty_head finishes it.
inline void begin_container(serialize_value *node, int32_t type) {
    node->type = type;
    node->data = nullptr;
    node->length = 0;
}

// Links a cell or entry behind `*tail`, or makes it the container's head.
template <typename Link>
inline void append_link(serialize_value *container, Link **tail, Link *link) {
    if (*tail == nullptr)
        container->data = link;
    else
        (*tail)->next = link;
    *tail = link;
}

// Gives a container that received no element its empty head cell or entry.
bool give_empty_head(serialize_value *container);

// Copies `key` (of `length` bytes, no NUL needed) into a new heap text.
char *copy_key(const char *key, size_t length);

// Whether an entry's key lives in the entry's own block and so goes away
// with it. A separately allocated key can never sit there: that place is
// inside the entry's own block or slot.
inline bool key_is_inline(const serialize_hash_entry *entry) {
    return entry->key == reinterpret_cast<const char *>(entry + 1);
}

// Releases an entry's key unless it is stored with the entry.
inline void free_key(serialize_hash_entry *entry) {
    if (!key_is_inline(entry)) free(entry->key);
}

// A new empty container node of `type` with its head cell or entry.
serialize_value *new_container(int32_t type);

// Formats `value` as "%i" into `out` (at least 12 bytes); returns the length.
int format_int(int32_t value, char *out);
// Formats `value` widened to double as "%f" into `out` (at least 64 bytes);
// returns the length.
int format_float(float value, char *out);
// Parses like atoi, but saturates to INT32_MIN/INT32_MAX on overflow.
int32_t parse_int(const char *text, size_t length);
// The float that strtod of `text` gives, narrowed to single precision.
float parse_float(const char *text);

}  // namespace kiv_serialize

#endif  // KIV_SERIALIZE_PRIVATE_H
