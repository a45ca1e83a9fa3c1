// The value tree: constructors, accessors, array and hash operations,
// release and deep copy.
//
// Arrays and hashes are singly linked lists that always keep a head cell or
// entry; an empty container is one whose head holds nothing. Indexed access
// walks the list, which is fine for the short argument lists and replies of
// the protocol. The whole-tree operations (release, copy) walk each chain
// once, so their cost is linear in the size of the tree.
#include <string.h>

#include "internal.h"
#include "serialize/serialize_private.h"

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
    serialize_hash_entry *entry =
        static_cast<serialize_hash_entry *>(sv_malloc(sizeof(serialize_hash_entry) + length + 1));
    if (entry == nullptr) return nullptr;
    char *text = reinterpret_cast<char *>(entry + 1);
    memcpy(text, key, length);
    text[length] = '\0';
    entry->key = text;
    entry->value = nullptr;
    entry->next = nullptr;
    return entry;
}

serialize_value *new_container(int32_t type) {
    serialize_value *node = static_cast<serialize_value *>(sv_malloc(sizeof(serialize_value)));
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

// Releases a whole tree without recursion: a cell or entry whose element is
// a container is kept on a stack (linked through its own `next`) until the
// container's turn comes, so hostile or very deep trees cannot exhaust the
// call stack, and every node, cell, entry and key is visited once.
void release_tree(serialize_value *root) {
    serialize_array_cell *cells = nullptr;
    serialize_hash_entry *entries = nullptr;
    serialize_value *node = root;
    for (;;) {
        if (node != nullptr) {
            if (node->type == SERIALIZE_ARRAY) {
                serialize_array_cell *cell = static_cast<serialize_array_cell *>(node->data);
                while (cell != nullptr) {
                    serialize_array_cell *next = cell->next;
                    if (cell->value != nullptr && is_container(cell->value)) {
                        cell->next = cells;
                        cells = cell;
                    } else {
                        free(cell->value);
                        free(cell);
                    }
                    cell = next;
                }
            } else if (node->type == SERIALIZE_HASH) {
                serialize_hash_entry *entry = static_cast<serialize_hash_entry *>(node->data);
                while (entry != nullptr) {
                    serialize_hash_entry *next = entry->next;
                    free_key(entry);
                    entry->key = nullptr;
                    if (entry->value != nullptr && is_container(entry->value)) {
                        entry->next = entries;
                        entries = entry;
                    } else {
                        free(entry->value);
                        free(entry);
                    }
                    entry = next;
                }
            }
            free(node);
        }
        if (cells != nullptr) {
            serialize_array_cell *cell = cells;
            cells = cell->next;
            node = cell->value;
            free(cell);
        } else if (entries != nullptr) {
            serialize_hash_entry *entry = entries;
            entries = entry->next;
            node = entry->value;
            free(entry);
        } else {
            return;
        }
    }
}

// Deep copy with the result that an encode and a decode would give: floats
// become the value of their six-decimal text, and a tree the encoder
// refuses (too deep, over-long key) gives null.
serialize_value *copy_tree(const serialize_value *node, int depth) {
    switch (node->type) {
        case SERIALIZE_INT:
            return serialize_int(serialize_get_int(node));
        case SERIALIZE_FLOAT: {
            char text[64];
            format_float(serialize_get_float(node), text);
            return serialize_float(parse_float(text));
        }
        case SERIALIZE_STRING:
        case SERIALIZE_BYTES:
            return serialize_blob(node->data, node->length, node->type);
        case SERIALIZE_ARRAY: {
            if (depth >= kMaxDepth) return nullptr;
            serialize_value *copy = new_container(SERIALIZE_ARRAY);
            if (copy == nullptr) return nullptr;
            serialize_array_cell *tail = static_cast<serialize_array_cell *>(copy->data);
            const serialize_array_cell *cell = static_cast<const serialize_array_cell *>(node->data);
            for (; cell != nullptr && cell->value != nullptr; cell = cell->next) {
                serialize_value *element = copy_tree(cell->value, depth + 1);
                if (element == nullptr) {
                    release_tree(copy);
                    return nullptr;
                }
                if (tail->value != nullptr) {
                    serialize_array_cell *next = serialize_array_new();
                    if (next == nullptr) {
                        release_tree(element);
                        release_tree(copy);
                        return nullptr;
                    }
                    tail->next = next;
                    tail = next;
                }
                tail->value = element;
            }
            return copy;
        }
        case SERIALIZE_HASH: {
            if (depth >= kMaxDepth) return nullptr;
            serialize_value *copy = new_container(SERIALIZE_HASH);
            if (copy == nullptr) return nullptr;
            serialize_hash_entry *tail = static_cast<serialize_hash_entry *>(copy->data);
            const serialize_hash_entry *entry = static_cast<const serialize_hash_entry *>(node->data);
            for (; entry != nullptr && entry->key != nullptr; entry = entry->next) {
                size_t key_length = strlen(entry->key);
                serialize_value *element =
                    key_length <= kMaxKeyLength ? copy_tree(entry->value, depth + 1) : nullptr;
                if (element == nullptr) {
                    release_tree(copy);
                    return nullptr;
                }
                // The head entry exists already and takes a separate key;
                // later entries carry their key in their own block.
                serialize_hash_entry *target = tail;
                if (tail->key != nullptr)
                    target = new_entry_with_key(entry->key, key_length);
                else
                    tail->key = copy_key(entry->key, key_length);
                if (target == nullptr || target->key == nullptr) {
                    release_tree(element);
                    release_tree(copy);
                    return nullptr;
                }
                target->value = element;
                if (target != tail) {
                    tail->next = target;
                    tail = target;
                }
            }
            return copy;
        }
        default:
            return nullptr;
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
    size_t size = scalar_size(static_cast<size_t>(length) + 1);
    serialize_value *node = static_cast<serialize_value *>(sv_malloc(size));
    if (node == nullptr) return nullptr;
    node->type = type;
    node->data = payload_of(node);
    node->length = length;
    char *bytes = static_cast<char *>(node->data);
    if (length > 0) kiv_copy_bytes(bytes, source, static_cast<size_t>(length));
    // Byte strings get the terminator too, so that reading one as a text
    // never runs past the block.
    bytes[length] = '\0';
    return node;
}

serialize_value *serialize_int(int32_t value) {
    serialize_value *node = static_cast<serialize_value *>(sv_malloc(scalar_size(4)));
    if (node == nullptr) return nullptr;
    node->type = SERIALIZE_INT;
    node->data = payload_of(node);
    node->length = 4;
    memcpy(node->data, &value, 4);
    return node;
}

serialize_value *serialize_float(float value) {
    serialize_value *node = static_cast<serialize_value *>(sv_malloc(scalar_size(4)));
    if (node == nullptr) return nullptr;
    node->type = SERIALIZE_FLOAT;
    node->data = payload_of(node);
    node->length = 4;
    memcpy(node->data, &value, 4);
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
    serialize_array_cell *cell = static_cast<serialize_array_cell *>(sv_malloc(sizeof(*cell)));
    if (cell != nullptr) {
        cell->value = nullptr;
        cell->next = nullptr;
    }
    return cell;
}

serialize_hash_entry *serialize_hash_new(void) {
    serialize_hash_entry *entry = static_cast<serialize_hash_entry *>(sv_malloc(sizeof(*entry)));
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
        if (second != nullptr) {
            head->value = second->value;
            head->next = second->next;
            free(second);
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
    free(cell);
}

void serialize_array_destroy(serialize_value *array) {
    serialize_array_cell *cell = array_head(array);
    if (cell == nullptr) return;
    while (cell != nullptr) {
        serialize_array_cell *next = cell->next;
        release_tree(cell->value);
        free(cell);
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
        free(entry);
        entry = next;
    }
    hash->data = nullptr;
}

// ---------------------------------------------------------------- trees

void serialize_free(serialize_value *node) {
    release_tree(node);
}

serialize_value *serialize_dup(const serialize_value *node) {
    if (node == nullptr) return nullptr;
    return copy_tree(node, 0);
}

}  // extern "C"
