// The value tree: constructors, accessors, array and hash operations,
// release (the deep copy is in copy.cpp).
//
// Arrays and hashes are singly linked lists that always keep a head cell or
// entry; an empty container is one whose head holds nothing. Each container
// keeps the state of its list (lists.h), so that counting, appending and
// reading in order are O(1) amortised and a lookup by key in a large hash
// O(1) expected. Links and who owns them are described in links.h.
#include <string.h>

#include <algorithm>

#include "serialize/links.h"
#include "serialize/lists.h"
#include "serialize/serialize_private.h"
#include "values.h"

namespace kiv_serialize {

std::atomic<int> alloc_fail_countdown{0};

char *copy_key(const char *key, size_t length) {
    char *copy = static_cast<char *>(sv_malloc(length + 1));
    if (copy == nullptr) return nullptr;
    memcpy(copy, key, length);
    copy[length] = '\0';
    return copy;
}

serialize_hash_entry *new_entry_with_key(const char *key, size_t length) {
    auto *link = static_cast<EntryLink *>(sv_malloc(sizeof(EntryLink) + length + 1));
    if (link == nullptr) return nullptr;
    char *text = reinterpret_cast<char *>(link + 1);
    copy_short(text, key, length);
    text[length] = '\0';
    link->owner = nullptr;
    link->entry.key = text;
    link->entry.value = nullptr;
    link->entry.next = nullptr;
    return &link->entry;
}

serialize_value *new_container(int32_t type) {
    auto *node = static_cast<serialize_value *>(sv_malloc(kContainerSize));
    if (node == nullptr) return nullptr;
    void *head;
    if (type == SERIALIZE_ARRAY)
        head = serialize_array_new();
    else
        head = serialize_hash_new();
    if (head == nullptr) {
        free(node);
        return nullptr;
    }
    node->type = type;
    node->data = head;
    node->length = 0;
    clear_list_state(node);  // the first access finds the empty head
    return node;
}

namespace {

// The links of a container being released whose elements are containers,
// kept on a stack linked through their own `next` until their turn comes.
struct PendingLinks {
    serialize_array_cell *cells = nullptr;
    serialize_hash_entry *entries = nullptr;
};

// Releases the links of `node` and the scalar elements; links holding a
// container go on `pending`.
void release_links(serialize_value *node, PendingLinks *pending) {
    if (node->type == SERIALIZE_ARRAY) {
        auto *cell = static_cast<serialize_array_cell *>(node->data);
        while (cell != nullptr) {
            serialize_array_cell *next = cell->next;
            serialize_value *value = cell->value;
            if (value != nullptr && is_container(value)) {
                cell->next = pending->cells;
                pending->cells = cell;
            } else {
                if (value != nullptr && !element_is_stored(cell)) free(value);
                free_link(cell);
            }
            cell = next;
        }
    } else {
        auto *entry = static_cast<serialize_hash_entry *>(node->data);
        while (entry != nullptr) {
            serialize_hash_entry *next = entry->next;
            serialize_value *value = entry->value;
            free_key(entry);
            entry->key = nullptr;
            if (value != nullptr && is_container(value)) {
                entry->next = pending->entries;
                pending->entries = entry;
            } else {
                if (value != nullptr && !element_is_stored(entry)) free(value);
                free_link(entry);
            }
            entry = next;
        }
    }
    node->data = nullptr;
    drop_list_extra(node);
}

}  // namespace

// Releases a whole tree without recursion, visiting every node, link and
// key once, so that hostile or very deep trees cannot exhaust the call
// stack. An element stored with its link goes with the link, after its own
// contents.
void release_nodes(serialize_value *root, bool keep_root) {
    PendingLinks pending;
    serialize_value *node = root;
    bool stored = keep_root;                      // whether `node`'s memory is not to be freed
    serialize_array_cell *holder_cell = nullptr;  // the link that stores `node`, if any
    serialize_hash_entry *holder_entry = nullptr;
    for (;;) {
        if (node != nullptr) {
            if (is_container(node)) release_links(node, &pending);
            if (!stored) free(node);
        }
        if (holder_cell != nullptr) free_link(holder_cell);
        if (holder_entry != nullptr) free_link(holder_entry);
        holder_cell = nullptr;
        holder_entry = nullptr;
        if (pending.cells != nullptr) {
            serialize_array_cell *link = pending.cells;
            pending.cells = link->next;
            node = link->value;
            stored = element_is_stored(link);
            if (stored)
                holder_cell = link;
            else
                free_link(link);
        } else if (pending.entries != nullptr) {
            serialize_hash_entry *link = pending.entries;
            pending.entries = link->next;
            node = link->value;
            stored = element_is_stored(link);
            if (stored)
                holder_entry = link;
            else
                free_link(link);
        } else {
            return;
        }
    }
}

// Gives a container that received no element its empty head.
bool give_empty_head(serialize_value *container) {
    if (container->data == nullptr)
        container->data = container->type == SERIALIZE_ARRAY ? static_cast<void *>(serialize_array_new())
                                                             : static_cast<void *>(serialize_hash_new());
    return container->data != nullptr;
}

void release_tree(serialize_value *node) {
    release_nodes(node, false);
}

void release_contents(serialize_value *node) {
    release_nodes(node, true);
}

}  // namespace kiv_serialize

using namespace kiv_serialize;

namespace {

// Deleting element 0: the head keeps its place and takes the second
// element, unless that element is stored with its cell; then the second
// cell becomes the head.
void delete_first(serialize_value *array, ListState *s) {
    auto *head = static_cast<serialize_array_cell *>(array->data);
    release_value(head);
    serialize_array_cell *second = head->next;
    if (second == nullptr) {
        head->value = nullptr;
        array_relinked(array, s, 0, head, head, 0);
    } else if (element_is_stored(second)) {
        array->data = second;
        free_link(head);
        array_relinked(array, s, s->count - 1, s->tail, second, 0);
    } else {
        head->value = second->value;
        head->next = second->next;
        void *tail = s->tail == second ? head : s->tail;
        free_link(second);
        array_relinked(array, s, s->count - 1, tail, head, 0);
    }
}

}  // namespace

extern "C" {

void kiv_copy_bytes(void *dst, const void *src, size_t count) {
    constexpr size_t kPiece = 1024;
    uintptr_t distance = (reinterpret_cast<uintptr_t>(dst) - reinterpret_cast<uintptr_t>(src)) & 4095;
    if (count < 4096 || distance >= 64) {
        memcpy(dst, src, count);
        return;
    }
    char *out = static_cast<char *>(dst);
    const char *in = static_cast<const char *>(src);
    for (size_t done = 0; done < count; done += kPiece) {
        const size_t piece = std::min(count - done, kPiece);
        // Through a pointer the compiler cannot see through: it would
        // otherwise expand this copy of a known small bound into an inline
        // string move that runs about three times slower than the C
        // library's memcpy on these placements.
        static void *(*const volatile copy)(void *, const void *, size_t) = memcpy;
        copy(out + done, in + done, piece);
    }
}

serialize_value *serialize_blob(const void *source, int32_t length, int32_t type) {
    if (length < 0 || (length > 0 && source == nullptr)) return nullptr;
    auto *node = static_cast<serialize_value *>(sv_malloc(node_size(static_cast<size_t>(length) + 1)));
    if (node != nullptr) init_blob(node, source, length, type);
    return node;
}

serialize_value *serialize_int(int32_t value) {
    auto *node = static_cast<serialize_value *>(sv_malloc(node_size(4)));
    if (node != nullptr) init_number(node, SERIALIZE_INT, &value);
    return node;
}

serialize_value *serialize_float(float value) {
    auto *node = static_cast<serialize_value *>(sv_malloc(node_size(4)));
    if (node != nullptr) init_number(node, SERIALIZE_FLOAT, &value);
    return node;
}

serialize_value *serialize_string(const char *text) {
    if (text == nullptr) return nullptr;
    size_t length = strlen(text);
    if (length > INT32_MAX) return nullptr;
    return serialize_blob(text, static_cast<int32_t>(length), SERIALIZE_STRING);
}

serialize_value *serialize_bytes(const void *data, int32_t length) {
    return serialize_blob(data, length, SERIALIZE_BYTES);
}

serialize_value *serialize_array(void) {
    return new_container(SERIALIZE_ARRAY);
}

serialize_value *serialize_hash(void) {
    return new_container(SERIALIZE_HASH);
}

serialize_array_cell *serialize_array_new(void) {
    auto *link = static_cast<CellLink *>(sv_malloc(sizeof(CellLink)));
    if (link == nullptr) return nullptr;
    link->owner = nullptr;
    link->cell.value = nullptr;
    link->cell.next = nullptr;
    return &link->cell;
}

serialize_hash_entry *serialize_hash_new(void) {
    // One byte more than the link, so that a key allocated elsewhere never
    // sits where a key stored with its entry would (links.h).
    auto *link = static_cast<EntryLink *>(sv_malloc(sizeof(EntryLink) + 1));
    if (link == nullptr) return nullptr;
    link->owner = nullptr;
    link->entry.key = nullptr;
    link->entry.value = nullptr;
    link->entry.next = nullptr;
    return &link->entry;
}

int32_t serialize_type(const serialize_value *node) {
    return node == nullptr ? -1 : node->type;
}

// The scalar accessors do not convert between types. They read the payload
// only of nodes that have one, so a container or null node yields 0/NULL
// instead of its list pointers.
int32_t serialize_get_int(const serialize_value *node) {
    if (node == nullptr || node->type < SERIALIZE_INT || node->type > SERIALIZE_BYTES) return 0;
    if (node->type >= SERIALIZE_STRING && node->length < 4) return 0;
    int32_t value;
    memcpy(&value, node->data, 4);
    return value;
}

float serialize_get_float(const serialize_value *node) {
    if (node == nullptr || node->type < SERIALIZE_INT || node->type > SERIALIZE_BYTES) return 0.0f;
    if (node->type >= SERIALIZE_STRING && node->length < 4) return 0.0f;
    float value;
    memcpy(&value, node->data, 4);
    return value;
}

const char *serialize_get_string(const serialize_value *node) {
    if (node == nullptr || (node->type != SERIALIZE_STRING && node->type != SERIALIZE_BYTES)) return nullptr;
    return static_cast<const char *>(node->data);
}

const void *serialize_get_bytes(const serialize_value *node, int32_t *length) {
    if (node == nullptr || (node->type != SERIALIZE_STRING && node->type != SERIALIZE_BYTES)) {
        if (length != nullptr) *length = 0;
        return nullptr;
    }
    if (length != nullptr) *length = node->length;
    return node->data;
}

// ---------------------------------------------------------------- arrays

int32_t serialize_array_count(const serialize_value *array) {
    const ListState *s = array_state(array);
    return s == nullptr ? 0 : s->count;
}

serialize_value *serialize_array_get(const serialize_value *array, int32_t index) {
    serialize_array_cell *cell = array_link_at(array, array_state(array), index);
    return cell == nullptr ? nullptr : cell->value;
}

void serialize_array_add(serialize_value *array, serialize_value *value) {
    ListState *s = array_state(array);
    if (s == nullptr || value == nullptr) return;
    if (s->count == 0) {
        auto *head = static_cast<serialize_array_cell *>(array->data);
        head->value = value;
        list_appended(s, head);
        return;
    }
    serialize_array_cell *next = serialize_array_new();
    if (next == nullptr) {
        // The array was given the value; it cannot keep it, so it is
        // released rather than leaked.
        serialize_free(value);
        return;
    }
    next->value = value;
    static_cast<serialize_array_cell *>(s->tail)->next = next;
    list_appended(s, next);
}

void serialize_array_insert(serialize_value *array, int32_t index, serialize_value *value) {
    ListState *s = array_state(array);
    if (s == nullptr || value == nullptr || index < 0) return;
    if (index == 0 && s->count == 0) {
        serialize_array_add(array, value);
        return;
    }
    if (index >= s->count) return;  // never appends
    serialize_array_cell *before = index == 0 ? nullptr : array_link_at(array, s, index - 1);
    serialize_array_cell *cell = serialize_array_new();
    if (cell == nullptr) {
        serialize_free(value);
        return;
    }
    cell->value = value;
    if (before == nullptr) {
        cell->next = static_cast<serialize_array_cell *>(array->data);
        array->data = cell;
    } else {
        cell->next = before->next;
        before->next = cell;
    }
    array_relinked(array, s, s->count + 1, s->tail, cell, index);
}

void serialize_array_set(serialize_value *array, int32_t index, serialize_value *value) {
    ListState *s = array_state(array);
    if (s == nullptr || value == nullptr || index < 0) return;
    if (index == 0 && s->count == 0) {
        serialize_array_add(array, value);
        return;
    }
    serialize_array_cell *cell = array_link_at(array, s, index);
    if (cell == nullptr) return;
    if (cell->value != value) release_value(cell);
    cell->value = value;
}

void serialize_array_del(serialize_value *array, int32_t index) {
    ListState *s = array_state(array);
    if (s == nullptr || index < 0 || index >= s->count) return;
    if (index == 0) {
        delete_first(array, s);
        return;
    }
    serialize_array_cell *before = array_link_at(array, s, index - 1);
    serialize_array_cell *cell = before->next;
    before->next = cell->next;
    void *tail = s->tail == cell ? before : s->tail;
    release_value(cell);
    free_link(cell);
    array_relinked(array, s, s->count - 1, tail, before, index - 1);
}

void serialize_array_destroy(serialize_value *array) {
    if (array == nullptr || array->type != SERIALIZE_ARRAY) return;
    auto *cell = static_cast<serialize_array_cell *>(array->data);
    while (cell != nullptr) {
        serialize_array_cell *next = cell->next;
        release_value(cell);
        free_link(cell);
        cell = next;
    }
    array->data = nullptr;
    drop_list_extra(array);
}

// ---------------------------------------------------------------- hashes

void serialize_hash_add(serialize_value *hash, const char *key, serialize_value *value) {
    ListState *s = hash_state(hash);
    if (s == nullptr || key == nullptr || value == nullptr) return;
    if (s->count == 0) {
        auto *head = static_cast<serialize_hash_entry *>(hash->data);
        head->key = copy_key(key, strlen(key));
        if (head->key == nullptr) {
            serialize_free(value);
            return;
        }
        head->value = value;
        list_appended(s, head);
        return;
    }
    serialize_hash_entry *found = hash_find_key(hash, s, key);
    if (found != nullptr) {
        if (found->value != value) release_value(found);
        found->value = value;
        return;
    }
    serialize_hash_entry *added = new_entry_with_key(key, strlen(key));
    if (added == nullptr) {
        serialize_free(value);
        return;
    }
    added->value = value;
    static_cast<serialize_hash_entry *>(s->tail)->next = added;
    list_appended(s, added);
}

serialize_value *serialize_hash_get(const serialize_value *hash, const char *key) {
    serialize_hash_entry *entry = hash_find_key(hash, hash_state(hash), key);
    return entry == nullptr ? nullptr : entry->value;
}

int serialize_hash_has_key(const serialize_value *hash, const char *key) {
    return hash_find_key(hash, hash_state(hash), key) != nullptr ? 1 : 0;
}

const char *serialize_hash_get_key(const serialize_value *hash, int32_t index) {
    const serialize_hash_entry *entry = hash_link_at(hash, hash_state(hash), index);
    return entry == nullptr ? nullptr : entry->key;
}

const char *serialize_hash_get_string(const serialize_value *hash, const char *key) {
    const serialize_value *value = serialize_hash_get(hash, key);
    if (value == nullptr || value->type != SERIALIZE_STRING) return nullptr;
    return static_cast<const char *>(value->data);
}

int32_t serialize_hash_count(const serialize_value *hash) {
    const ListState *s = hash_state(hash);
    return s == nullptr ? 0 : s->count;
}

void serialize_hash_destroy(serialize_value *hash) {
    if (hash == nullptr || hash->type != SERIALIZE_HASH) return;
    auto *entry = static_cast<serialize_hash_entry *>(hash->data);
    while (entry != nullptr) {
        serialize_hash_entry *next = entry->next;
        free_key(entry);
        release_value(entry);
        free_link(entry);
        entry = next;
    }
    hash->data = nullptr;
    drop_list_extra(hash);
}

// ---------------------------------------------------------------- trees

void serialize_free(serialize_value *node) {
    release_tree(node);
}

}  // extern "C"
