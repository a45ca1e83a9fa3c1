// What a container knows about its own list, so that counting, appending
// and reading in order cost O(1) amortised through the public functions,
// and a lookup by key in a large hash O(1) expected.
//
// Every array or hash node that the library makes is a ContainerNode: the
// public node followed by its ListState, in the same block. The state is a
// cache of facts about the chain (head, last link, number of links) and is
// checked against the chain on every use: a chain whose head is not the one recorded is counted again, and
// links that someone linked behind the recorded last one are counted in.
// Reading by index past the first few links keeps the link last read and
// its index (the cursor) in the container's extra block, allocated then; a
// long jump (more than kLongWalk links) builds an array of the links by
// position there too; a lookup by key in a hash of at least kKeyIndexMin entries
// builds a table of its keys. Both are dropped whenever the chain changes
// in a way they cannot follow, and rebuilt when needed.
#ifndef KIV_SERIALIZE_LISTS_H
#define KIV_SERIALIZE_LISTS_H

#include <stddef.h>
#include <stdint.h>

#include "serialize/serialize_private.h"

namespace kiv_serialize {

struct ListExtra;

struct ListState {
    void *head;        // the chain's head when the state was last right; null: unknown
    void *tail;        // its last link
    ListExtra *extra;  // the link last read and its index, links by position, table of keys
    int32_t count;     // links, 0 for an empty container
    int32_t compared;  // keys compared by lookups without the table of keys
};

struct ContainerNode {
    serialize_value node;
    ListState list;
};

// Heap bytes of an array or hash node.
constexpr size_t kContainerSize = sizeof(ContainerNode);

// A walk shorter than this from the head needs no cursor and leaves it
// where it is, so that reading a reply's first fields costs no extra block
// and, between the records, does not send the next record's read back to
// the head.
constexpr int32_t kShortWalk = 8;
// A jump longer than this builds the array of links by position (one
// pointer per link, at most the container's count).
constexpr int32_t kLongWalk = 64;
// Hashes with fewer entries are searched by comparing keys in order; a
// larger hash builds its table of keys once its lookups have compared
// kKeyIndexAfter times as many keys as it holds (so that reading a few
// fields of a reply costs no table, and a hash read by key many times costs
// at most a constant factor more than if it had had its table from the
// start).
constexpr int32_t kKeyIndexMin = 16;
constexpr int32_t kKeyIndexAfter = 2;
// A table operation that looks at more slots than this gives the table up
// for the rest of the container's life (lookups then compare keys in
// order): keys keyed with a per-process secret never come near it.
constexpr uint32_t kKeyMaxProbes = 64;

inline ListState *list_state(const serialize_value *node) {
    return &reinterpret_cast<ContainerNode *>(const_cast<serialize_value *>(node))->list;
}

// Starts the state of a container that is being built: unknown, nothing
// extra.
inline void clear_list_state(serialize_value *node) {
    ListState *s = list_state(node);
    s->head = nullptr;
    s->extra = nullptr;
}

// Records the state of a finished chain: `tail` its last link, `count` its
// links (0 when the head is empty).
inline void set_list_state(serialize_value *node, void *tail, int32_t count) {
    ListState *s = list_state(node);
    s->head = node->data;
    s->tail = tail;
    s->count = count;
    s->compared = 0;
}

// Releases what the state built on the heap; the state becomes unknown.
void drop_list_extra(serialize_value *node);

// The state of `array` (or `hash`) brought up to date with its chain, or
// null when the node is not one with a head. The checks of a state that is
// right are inline; counting the chain again, or the links linked behind
// its last one, is not.
ListState *refresh_array_state(const serialize_value *array);
ListState *refresh_hash_state(const serialize_value *hash);

inline ListState *array_state(const serialize_value *array) {
    if (array == nullptr || array->type != SERIALIZE_ARRAY || array->data == nullptr) return nullptr;
    ListState *s = list_state(array);
    const auto *head = static_cast<const serialize_array_cell *>(array->data);
    if (s->head == head && s->count > 0 && head->value != nullptr &&
        static_cast<const serialize_array_cell *>(s->tail)->next == nullptr)
        return s;
    return refresh_array_state(array);
}

inline ListState *hash_state(const serialize_value *hash) {
    if (hash == nullptr || hash->type != SERIALIZE_HASH || hash->data == nullptr) return nullptr;
    ListState *s = list_state(hash);
    const auto *head = static_cast<const serialize_hash_entry *>(hash->data);
    if (s->head == head && s->count > 0 && head->key != nullptr &&
        static_cast<const serialize_hash_entry *>(s->tail)->next == nullptr)
        return s;
    return refresh_hash_state(hash);
}

// The link at `index`, or null when the index is not below the count.
serialize_array_cell *array_link_at(const serialize_value *array, ListState *s, int32_t index);
serialize_hash_entry *hash_link_at(const serialize_value *hash, ListState *s, int32_t index);

// The first entry whose key is `key`, or null.
serialize_hash_entry *hash_find_key(const serialize_value *hash, ListState *s, const char *key);

// What a hash's table of keys looks like, for the tests of its invariants
// (at most half full; every distinct key in it unless it was given up).
struct KeyTableShape {
    uint32_t slots;  // 0 without a table
    uint32_t keys;
    bool given_up;
};
KeyTableShape key_table_shape(const serialize_value *hash);

// `link` became the last link (an add, or a value put into the empty head).
void list_appended(ListState *s, serialize_array_cell *link);
void list_appended(ListState *s, serialize_hash_entry *link);

// The chain of `array` changed inside (insert, delete): it now has `count`
// links, its last link is `tail`, and `cursor` is link number
// `cursor_index`. Links by position are dropped.
void array_relinked(serialize_value *array, ListState *s, int32_t count, void *tail, void *cursor,
                    int32_t cursor_index);

}  // namespace kiv_serialize

#endif  // KIV_SERIALIZE_LISTS_H
