// The list state of arrays and hashes (see lists.h): keeping it right, and
// indexed access and key lookup through it.
#include "serialize/lists.h"

#include <stdint.h>
#include <string.h>

#include <algorithm>

#include "serialize/hash_keys.h"
#include "serialize/links.h"

namespace kiv_serialize {

struct KeySlot {
    serialize_hash_entry *entry;  // null when free
    uint32_t hash;
};

// Largest array of links by position and table of keys: a list long
// enough to need more could not fit in memory beside them, and on a 32-bit
// target the bounds keep the byte counts from overflowing. The positions
// take at most a quarter of the address space and are counted in an
// int32_t; the table, whose size is a power of two, has at most 2^26 slots
// (512 MiB) on a 32-bit target and 2^30 on a 64-bit one. Within them, the
// positions never outnumber the links and the table has at most four
// slots per entry.
constexpr size_t kMaxPositions = std::min<size_t>(SIZE_MAX / 4 / sizeof(void *), INT32_MAX);
constexpr uint32_t kMaxKeySlots = 1u << (22 + sizeof(void *));
static_assert(sizeof(void *) == 4 || sizeof(void *) == 8, "a 32-bit or a 64-bit target");

struct ListExtra {
    void *cursor;  // the link last reached by index, and its index
    int32_t cursor_index;
    void **positions;  // links by position, or null
    int32_t positions_count;
    int32_t positions_capacity;
    KeySlot *keys;          // table of the keys of a hash, or null
    uint32_t key_capacity;  // power of two
    uint32_t key_used;
    bool keys_given_up;
};

void drop_list_extra(serialize_value *node) {
    ListState *s = list_state(node);
    if (s->extra != nullptr) {
        free(s->extra->positions);
        free(s->extra->keys);
        free(s->extra);
    }
    s->extra = nullptr;
    s->head = nullptr;
}

namespace {

inline bool is_empty_head(const serialize_array_cell *head) {
    return head->value == nullptr;
}
inline bool is_empty_head(const serialize_hash_entry *head) {
    return head->key == nullptr;
}

ListExtra *extra_of(ListState *s) {
    if (s->extra == nullptr) {
        s->extra = static_cast<ListExtra *>(sv_malloc(sizeof(ListExtra)));
        if (s->extra != nullptr) {
            memset(s->extra, 0, sizeof(ListExtra));
            s->extra->cursor = s->head;
        }
    }
    return s->extra;
}

void drop_positions(ListState *s) {
    if (s->extra == nullptr) return;
    free(s->extra->positions);
    s->extra->positions = nullptr;
    s->extra->positions_count = 0;
    s->extra->positions_capacity = 0;
}

void drop_keys(ListExtra *e, bool give_up) {
    free(e->keys);
    e->keys = nullptr;
    e->key_capacity = 0;
    e->key_used = 0;
    e->keys_given_up = give_up;
}

void append_position(ListState *s, void *link) {
    ListExtra *e = s->extra;
    if (e == nullptr || e->positions == nullptr) return;
    if (e->positions_count == e->positions_capacity) {
        // Grows by half; the array never holds more than the count.
        size_t capacity = static_cast<size_t>(e->positions_capacity) + e->positions_capacity / 2 + 16;
        if (capacity > kMaxPositions) capacity = kMaxPositions;
        void *grown = injected_failure() ? nullptr : realloc(e->positions, capacity * sizeof(void *));
        if (grown == nullptr || static_cast<size_t>(e->positions_count) >= capacity) {
            drop_positions(s);
            return;
        }
        e->positions = static_cast<void **>(grown);
        e->positions_capacity = static_cast<int32_t>(capacity);
    }
    e->positions[e->positions_count++] = link;
}

// The key's place in the table; every key in the same place while the
// tests' collide_all_keys is set (from before the hash is built until it is
// freed).
uint32_t key_hash(const char *key, size_t length) {
    if (collide_all_keys.load(std::memory_order_relaxed)) return 0;
    const SipKey &k = process_key();
    return static_cast<uint32_t>(siphash<1, 3>(k.k0, k.k1, key, length));
}

// Puts `slot` at the first free place from its home; false when that is
// more than kKeyMaxProbes places away. The keys of a hash are distinct
// (serialize_hash_add replaces the value of a key it holds, the decoder
// merges a repeated key, a copy copies distinct keys), so the table never
// holds the key already.
bool place_slot(ListExtra *e, KeySlot slot) {
    const uint32_t mask = e->key_capacity - 1;
    uint32_t i = slot.hash & mask;
    for (uint32_t probes = 0; e->keys[i].entry != nullptr; i = (i + 1) & mask)
        if (++probes > kKeyMaxProbes) return false;
    e->keys[i] = slot;
    e->key_used++;
    return true;
}

// Puts `entry` into the table (an empty head has no key to put). False
// when the table gave up.
bool place_key(ListExtra *e, serialize_hash_entry *entry) {
    if (entry->key == nullptr) return true;
    return place_slot(e, KeySlot{entry, key_hash(entry->key, strlen(entry->key))});
}

// A table of at least twice `needed` slots holding the keys it held, which
// keep their hashes.
bool grow_keys(ListExtra *e, uint32_t needed) {
    uint32_t capacity = 32;
    while (capacity < needed * 2 && capacity < kMaxKeySlots) capacity *= 2;
    if (capacity < needed * 2) return false;
    auto *fresh = static_cast<KeySlot *>(sv_malloc(capacity * sizeof(KeySlot)));
    if (fresh == nullptr) return false;
    memset(fresh, 0, capacity * sizeof(KeySlot));
    KeySlot *old = e->keys;
    uint32_t old_capacity = e->key_capacity;
    e->keys = fresh;
    e->key_capacity = capacity;
    e->key_used = 0;
    bool placed = true;
    for (uint32_t i = 0; placed && i < old_capacity; i++)
        if (old[i].entry != nullptr) placed = place_slot(e, old[i]);
    free(old);
    if (!placed) drop_keys(e, true);
    return placed;
}

void add_key(ListState *s, serialize_hash_entry *entry) {
    ListExtra *e = s->extra;
    if (e == nullptr || e->keys == nullptr) return;
    if ((e->key_used + 1) * 2 > e->key_capacity && !grow_keys(e, e->key_used + 1)) {
        if (e->keys != nullptr) drop_keys(e, false);
        return;
    }
    if (!place_key(e, entry)) drop_keys(e, true);
}

void note_link(ListState *s, serialize_array_cell *link) {
    append_position(s, link);
}
void note_link(ListState *s, serialize_hash_entry *link) {
    append_position(s, link);
    add_key(s, link);
}

// Counts the chain from `head` again; extras go.
template <typename Link>
void recount(ListState *s, Link *head) {
    if (s->extra != nullptr) {
        drop_positions(s);
        drop_keys(s->extra, false);
    }
    s->head = head;
    if (s->extra != nullptr) {
        s->extra->cursor = head;
        s->extra->cursor_index = 0;
    }
    s->tail = head;
    s->count = 0;
    s->compared = 0;
    if (is_empty_head(head)) return;
    int32_t count = 1;
    Link *tail = head;
    while (tail->next != nullptr && count < INT32_MAX) {
        tail = tail->next;
        count++;
    }
    s->tail = tail;
    s->count = count;
}

template <typename Link>
ListState *fresh_state(const serialize_value *node, int32_t type) {
    if (node == nullptr || node->type != type || node->data == nullptr) return nullptr;
    Link *head = static_cast<Link *>(node->data);
    ListState *s = list_state(node);
    if (s->head != head || (s->count == 0) != is_empty_head(head)) {
        recount(s, head);
    } else if (s->count > 0) {
        // Links linked behind the last one by hand are counted in.
        for (Link *tail = static_cast<Link *>(s->tail); tail->next != nullptr && s->count < INT32_MAX;) {
            tail = tail->next;
            s->count++;
            s->tail = tail;
            note_link(s, tail);
        }
    }
    return s;
}

// Builds the links by position of `s`, whose extra state is `e`; false
// when memory runs out.
template <typename Link>
bool build_positions(ListState *s, ListExtra *e) {
    if (e->positions != nullptr) return true;
    if (static_cast<size_t>(s->count) > kMaxPositions) return false;
    auto *positions = static_cast<void **>(sv_malloc(static_cast<size_t>(s->count) * sizeof(void *)));
    if (positions == nullptr) return false;
    int32_t n = 0;
    for (Link *link = static_cast<Link *>(s->head); link != nullptr && n < s->count; link = link->next)
        positions[n++] = link;
    e->positions = positions;
    e->positions_count = n;
    e->positions_capacity = s->count;
    return n == s->count;
}

template <typename Link>
Link *link_at(ListState *s, int32_t index) {
    if (s == nullptr || index < 0 || index >= s->count) return nullptr;
    if (index == s->count - 1) return static_cast<Link *>(s->tail);
    ListExtra *e = s->extra;
    // With the links by position, any index is one read. The cursor is set
    // but not read first: reads that each wait for the link the last one
    // found cannot overlap.
    if (e != nullptr && index < e->positions_count) {
        e->cursor = e->positions[index];
        e->cursor_index = index;
        return static_cast<Link *>(e->cursor);
    }
    Link *link = static_cast<Link *>(s->head);
    if (index < kShortWalk && (e == nullptr || index < e->cursor_index)) {
        for (int32_t at = 0; at < index; at++) link = link->next;
        return link;
    }
    e = extra_of(s);
    if (e == nullptr) {  // no memory for a cursor: the walk from the head
        for (int32_t at = 0; at < index; at++) link = link->next;
        return link;
    }
    int32_t at = 0;
    if (index >= e->cursor_index) {
        link = static_cast<Link *>(e->cursor);
        at = e->cursor_index;
    }
    if (index - at > kLongWalk && build_positions<Link>(s, e) && index < e->positions_count) {
        link = static_cast<Link *>(e->positions[index]);
    } else {
        for (; at < index; at++) link = link->next;
    }
    e->cursor = link;
    e->cursor_index = index;
    return link;
}

// Builds the table of the keys unless there is one or it was given up;
// without memory, or with keys that crowd one place, there is none after.
void build_keys(ListState *s) {
    ListExtra *e = extra_of(s);
    if (e == nullptr || e->keys_given_up || e->keys != nullptr) return;
    if (!grow_keys(e, static_cast<uint32_t>(s->count))) return;
    for (auto *entry = static_cast<serialize_hash_entry *>(s->head); entry != nullptr; entry = entry->next)
        if (!place_key(e, entry)) {
            drop_keys(e, true);
            return;
        }
}

}  // namespace

KeyTableShape key_table_shape(const serialize_value *hash) {
    const ListState *s = hash_state(hash);
    const ListExtra *e = s != nullptr ? s->extra : nullptr;
    if (e == nullptr) return KeyTableShape{0, 0, false};
    return KeyTableShape{e->keys != nullptr ? e->key_capacity : 0, e->keys != nullptr ? e->key_used : 0,
                         e->keys_given_up};
}

ListState *refresh_array_state(const serialize_value *array) {
    return fresh_state<serialize_array_cell>(array, SERIALIZE_ARRAY);
}

ListState *refresh_hash_state(const serialize_value *hash) {
    return fresh_state<serialize_hash_entry>(hash, SERIALIZE_HASH);
}

serialize_array_cell *array_link_at(const serialize_value *, ListState *s, int32_t index) {
    return link_at<serialize_array_cell>(s, index);
}

serialize_hash_entry *hash_link_at(const serialize_value *, ListState *s, int32_t index) {
    return link_at<serialize_hash_entry>(s, index);
}

serialize_hash_entry *hash_find_key(const serialize_value *, ListState *s, const char *key) {
    if (s == nullptr || key == nullptr || s->count == 0) return nullptr;
    // A key that serialize_hash_get_key just returned: its entry is the
    // cursor (or the last one).
    if (s->extra != nullptr && static_cast<serialize_hash_entry *>(s->extra->cursor)->key == key)
        return static_cast<serialize_hash_entry *>(s->extra->cursor);
    if (static_cast<serialize_hash_entry *>(s->tail)->key == key)
        return static_cast<serialize_hash_entry *>(s->tail);
    if (s->count >= kKeyIndexMin && s->compared / kKeyIndexAfter >= s->count) build_keys(s);
    if (s->extra != nullptr && s->extra->keys != nullptr) {
        const ListExtra *e = s->extra;
        uint32_t hash = key_hash(key, strlen(key));
        uint32_t mask = e->key_capacity - 1;
        // Every key sits at most kKeyMaxProbes slots past its home.
        uint32_t i = hash & mask;
        for (uint32_t probes = 0; e->keys[i].entry != nullptr && probes <= kKeyMaxProbes; probes++) {
            const KeySlot &slot = e->keys[i];
            if (slot.hash == hash && strcmp(slot.entry->key, key) == 0) return slot.entry;
            i = (i + 1) & mask;
        }
        return nullptr;
    }
    int32_t compared = 0;
    serialize_hash_entry *entry = static_cast<serialize_hash_entry *>(s->head);
    for (; entry != nullptr; entry = entry->next) {
        compared++;
        if (entry->key != nullptr && strcmp(entry->key, key) == 0) break;
    }
    s->compared = compared > INT32_MAX - s->compared ? INT32_MAX : s->compared + compared;
    return entry;
}

void list_appended(ListState *s, serialize_array_cell *link) {
    s->count++;
    s->tail = link;
    note_link(s, link);
}

void list_appended(ListState *s, serialize_hash_entry *link) {
    s->count++;
    s->tail = link;
    note_link(s, link);
}

void array_relinked(serialize_value *array, ListState *s, int32_t count, void *tail, void *cursor,
                    int32_t cursor_index) {
    drop_positions(s);
    s->head = array->data;
    s->count = count;
    s->tail = tail;
    if (s->extra != nullptr) {
        s->extra->cursor = cursor;
        s->extra->cursor_index = cursor_index;
    }
}

}  // namespace kiv_serialize
