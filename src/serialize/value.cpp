// The value tree: constructors, accessors, array and hash operations,
// release (the deep copy is in copy.cpp).
//
// Arrays and hashes are singly linked lists that always keep a head cell or
// entry; an empty container is one whose head holds nothing. Indexed access
// walks the list, which is fine for the short argument lists and replies of
// the protocol. The whole-tree operations (release, copy) walk each chain
// once, so their cost is linear in the size of the tree.
#include <string.h>

#include "serialize/runs.h"
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
    void *block = alloc_block(sizeof(serialize_hash_entry) + length + 1);
    return block == nullptr ? nullptr : init_entry(static_cast<char *>(block), key, length);
}

void *alloc_block(size_t size) {
    void *block = sv_malloc(size);
    if (block != nullptr && (reinterpret_cast<uintptr_t>(block) & (kBlockAlign - 1)) != 0) {
        free(block);
        block = aligned_alloc(kBlockAlign, round_up(size, kBlockAlign));
    }
    assert(block == nullptr || !in_run(block));
    return block;
}

serialize_value *new_container(int32_t type) {
    serialize_value *node = static_cast<serialize_value *>(alloc_block(sizeof(serialize_value)));
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
    return node;
}

// Releases a whole tree without recursion: a cell or entry whose element is
// a container is kept on a stack (linked through its own `next`) until the
// container's turn comes, so hostile or very deep trees cannot exhaust the
// call stack, and every node, cell, entry and key is visited once. An
// element stored with its link goes with the link, after its own contents.
void release_nodes(serialize_value *root, bool keep_root) {
    serialize_array_cell *cells = nullptr;
    serialize_hash_entry *entries = nullptr;
    serialize_value *node = root;
    void *holder = nullptr;  // the link that stores `node`, if any
    for (;;) {
        if (node != nullptr) {
            if (node->type == SERIALIZE_ARRAY) {
                serialize_array_cell *cell = static_cast<serialize_array_cell *>(node->data);
                while (cell != nullptr) {
                    serialize_array_cell *next = cell->next;
                    serialize_value *value = cell->value;
                    if (value != nullptr && is_container(value)) {
                        cell->next = cells;
                        cells = cell;
                    } else {
                        if (value != nullptr && !is_embedded(value)) free(value);
                        free_link(cell);
                    }
                    cell = next;
                }
                node->data = nullptr;
            } else if (node->type == SERIALIZE_HASH) {
                serialize_hash_entry *entry = static_cast<serialize_hash_entry *>(node->data);
                while (entry != nullptr) {
                    serialize_hash_entry *next = entry->next;
                    serialize_value *value = entry->value;
                    free_key(entry);
                    entry->key = nullptr;
                    if (value != nullptr && is_container(value)) {
                        entry->next = entries;
                        entries = entry;
                    } else {
                        if (value != nullptr && !is_embedded(value)) free(value);
                        free_link(entry);
                    }
                    entry = next;
                }
                node->data = nullptr;
            }
            if (!is_embedded(node) && !(keep_root && node == root)) free(node);
        }
        if (holder != nullptr) free_link(holder);
        holder = nullptr;
        void *link;
        if (cells != nullptr) {
            link = cells;
            node = cells->value;
            cells = cells->next;
        } else if (entries != nullptr) {
            link = entries;
            node = entries->value;
            entries = entries->next;
        } else {
            return;
        }
        if (is_embedded(node))
            holder = link;
        else
            free_link(link);
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

serialize_array_cell *array_head(const serialize_value *array) {
    if (array == nullptr || array->type != SERIALIZE_ARRAY) return nullptr;
    return static_cast<serialize_array_cell *>(array->data);
}

serialize_hash_entry *hash_head(const serialize_value *hash) {
    if (hash == nullptr || hash->type != SERIALIZE_HASH) return nullptr;
    return static_cast<serialize_hash_entry *>(hash->data);
}

// The cell of element `index`, or null when there is no such element.
serialize_array_cell *array_cell_at(const serialize_value *array, int32_t index) {
    serialize_array_cell *cell = array_head(array);
    if (cell == nullptr || index < 0 || cell->value == nullptr) return nullptr;
    for (int32_t i = 0; i < index && cell != nullptr; i++) cell = cell->next;
    return cell;
}

serialize_hash_entry *hash_find(const serialize_value *hash, const char *key) {
    serialize_hash_entry *entry = hash_head(hash);
    if (entry == nullptr || key == nullptr || entry->key == nullptr) return nullptr;
    for (; entry != nullptr; entry = entry->next)
        if (strcmp(entry->key, key) == 0) return entry;
    return nullptr;
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
        size_t piece = count - done < kPiece ? count - done : kPiece;
        // Hides the bound of `piece` from the compiler, which would otherwise
        // expand this copy into an inline string move that runs about three
        // times slower than the C library's memcpy on these placements.
        asm("" : "+r"(piece));
        memcpy(out + done, in + done, piece);
    }
}

serialize_value *serialize_blob(const void *source, int32_t length, int32_t type) {
    if (length < 0 || (length > 0 && source == nullptr)) return nullptr;
    auto *node = static_cast<serialize_value *>(alloc_block(node_size(static_cast<size_t>(length) + 1)));
    if (node != nullptr) init_blob(node, source, length, type);
    return node;
}

serialize_value *serialize_int(int32_t value) {
    auto *node = static_cast<serialize_value *>(alloc_block(node_size(4)));
    if (node != nullptr) init_number(node, SERIALIZE_INT, &value);
    return node;
}

serialize_value *serialize_float(float value) {
    auto *node = static_cast<serialize_value *>(alloc_block(node_size(4)));
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
    serialize_array_cell *cell = static_cast<serialize_array_cell *>(alloc_block(sizeof(*cell)));
    if (cell != nullptr) {
        cell->value = nullptr;
        cell->next = nullptr;
    }
    return cell;
}

serialize_hash_entry *serialize_hash_new(void) {
    serialize_hash_entry *entry = static_cast<serialize_hash_entry *>(alloc_block(sizeof(*entry)));
    if (entry != nullptr) {
        entry->key = nullptr;
        entry->value = nullptr;
        entry->next = nullptr;
    }
    return entry;
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
    const serialize_array_cell *cell = array_head(array);
    if (cell == nullptr || cell->value == nullptr) return 0;
    int32_t count = 0;
    for (; cell != nullptr; cell = cell->next) count++;
    return count;
}

serialize_value *serialize_array_get(const serialize_value *array, int32_t index) {
    serialize_array_cell *cell = array_cell_at(array, index);
    return cell == nullptr ? nullptr : cell->value;
}

void serialize_array_add(serialize_value *array, serialize_value *value) {
    serialize_array_cell *cell = array_head(array);
    if (cell == nullptr || value == nullptr) return;
    if (cell->value == nullptr) {
        cell->value = value;
        return;
    }
    while (cell->next != nullptr) cell = cell->next;
    serialize_array_cell *next = serialize_array_new();
    if (next == nullptr) {
        // The array was given the value; it cannot keep it, so it is
        // released rather than leaked.
        serialize_free(value);
        return;
    }
    next->value = value;
    cell->next = next;
}

void serialize_array_insert(serialize_value *array, int32_t index, serialize_value *value) {
    serialize_array_cell *head = array_head(array);
    if (head == nullptr || value == nullptr || index < 0) return;
    if (index == 0) {
        if (head->value == nullptr) {
            head->value = value;
            return;
        }
        serialize_array_cell *cell = serialize_array_new();
        if (cell == nullptr) {
            serialize_free(value);
            return;
        }
        cell->value = value;
        cell->next = head;
        array->data = cell;
        return;
    }
    serialize_array_cell *before = array_cell_at(array, index - 1);
    if (before == nullptr || before->next == nullptr) return;  // never appends
    serialize_array_cell *cell = serialize_array_new();
    if (cell == nullptr) {
        serialize_free(value);
        return;
    }
    cell->value = value;
    cell->next = before->next;
    before->next = cell;
}

void serialize_array_set(serialize_value *array, int32_t index, serialize_value *value) {
    serialize_array_cell *cell = array_head(array);
    if (cell == nullptr || value == nullptr || index < 0) return;
    if (index > 0) {
        cell = array_cell_at(array, index);
        if (cell == nullptr) return;
    }
    if (cell->value != nullptr && cell->value != value) serialize_free(cell->value);
    cell->value = value;
}

void serialize_array_del(serialize_value *array, int32_t index) {
    serialize_array_cell *head = array_head(array);
    if (head == nullptr || index < 0) return;
    if (index == 0) {
        if (head->value == nullptr) return;
        serialize_free(head->value);
        serialize_array_cell *second = head->next;
        if (second != nullptr && is_embedded(second->value)) {
            // The second element lives in its cell's block, so that cell
            // becomes the head instead of handing its element over.
            array->data = second;
            free_link(head);
        } else if (second != nullptr) {
            head->value = second->value;
            head->next = second->next;
            free_link(second);
        } else {
            head->value = nullptr;
            head->next = nullptr;
        }
        return;
    }
    serialize_array_cell *before = array_cell_at(array, index - 1);
    if (before == nullptr || before->next == nullptr) return;
    serialize_array_cell *cell = before->next;
    before->next = cell->next;
    serialize_free(cell->value);
    free_link(cell);
}

void serialize_array_destroy(serialize_value *array) {
    serialize_array_cell *cell = array_head(array);
    if (cell == nullptr) return;
    while (cell != nullptr) {
        serialize_array_cell *next = cell->next;
        release_tree(cell->value);
        free_link(cell);
        cell = next;
    }
    array->data = nullptr;
}

// ---------------------------------------------------------------- hashes

void serialize_hash_add(serialize_value *hash, const char *key, serialize_value *value) {
    serialize_hash_entry *entry = hash_head(hash);
    if (entry == nullptr || key == nullptr || value == nullptr) return;
    if (entry->key == nullptr) {
        entry->key = copy_key(key, strlen(key));
        if (entry->key == nullptr) {
            serialize_free(value);
            return;
        }
        entry->value = value;
        return;
    }
    for (;;) {
        if (strcmp(entry->key, key) == 0) {
            if (entry->value != nullptr && entry->value != value) serialize_free(entry->value);
            entry->value = value;
            return;
        }
        if (entry->next == nullptr) break;
        entry = entry->next;
    }
    serialize_hash_entry *added = new_entry_with_key(key, strlen(key));
    if (added == nullptr) {
        serialize_free(value);
        return;
    }
    added->value = value;
    entry->next = added;
}

serialize_value *serialize_hash_get(const serialize_value *hash, const char *key) {
    serialize_hash_entry *entry = hash_find(hash, key);
    return entry == nullptr ? nullptr : entry->value;
}

int serialize_hash_has_key(const serialize_value *hash, const char *key) {
    return hash_find(hash, key) != nullptr ? 1 : 0;
}

const char *serialize_hash_get_key(const serialize_value *hash, int32_t index) {
    const serialize_hash_entry *entry = hash_head(hash);
    if (entry == nullptr || index < 0 || entry->key == nullptr) return nullptr;
    for (int32_t i = 0; i < index && entry != nullptr; i++) entry = entry->next;
    return entry == nullptr ? nullptr : entry->key;
}

const char *serialize_hash_get_string(const serialize_value *hash, const char *key) {
    const serialize_value *value = serialize_hash_get(hash, key);
    if (value == nullptr || value->type != SERIALIZE_STRING) return nullptr;
    return static_cast<const char *>(value->data);
}

int32_t serialize_hash_count(const serialize_value *hash) {
    const serialize_hash_entry *entry = hash_head(hash);
    if (entry == nullptr || entry->key == nullptr) return 0;
    int32_t count = 0;
    for (; entry != nullptr; entry = entry->next) count++;
    return count;
}

void serialize_hash_destroy(serialize_value *hash) {
    serialize_hash_entry *entry = hash_head(hash);
    if (entry == nullptr) return;
    while (entry != nullptr) {
        serialize_hash_entry *next = entry->next;
        free_key(entry);
        release_tree(entry->value);
        free_link(entry);
        entry = next;
    }
    hash->data = nullptr;
}

// ---------------------------------------------------------------- trees

void serialize_free(serialize_value *node) {
    release_tree(node);
}

}  // extern "C"
