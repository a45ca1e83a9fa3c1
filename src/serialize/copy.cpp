// Deep copy of a value tree (serialize_dup): the result that an encode and
// a decode would give, built directly. The walk keeps an explicit stack of
// the open containers instead of recursing, so the call stack does not grow
// with the depth of a tree.
#include <string.h>

#include <new>

#include "serialize/links.h"
#include "serialize/lists.h"
#include "serialize/serialize_private.h"
#include "values.h"

using namespace kiv_serialize;

namespace {

// Heap bytes for a copy of `node` (a node, or a node and its payload), or
// 0 when it cannot be copied.
size_t copy_size(const serialize_value *node) {
    if (node == nullptr) return 0;
    switch (node->type) {
        case SERIALIZE_INT:
        case SERIALIZE_FLOAT:
            return node_size(4);
        case SERIALIZE_STRING:
        case SERIALIZE_BYTES:
            return node->length < 0 ? 0 : node_size(static_cast<size_t>(node->length) + 1);
        case SERIALIZE_ARRAY:
        case SERIALIZE_HASH:
            return kContainerSize;
        default:
            return 0;
    }
}

// Room for the links of the copies of a container's elements with the
// elements, all in one slab.
size_t copy_room(const serialize_value *node) {
    size_t room = 0;
    if (node->type == SERIALIZE_ARRAY) {
        for (auto *cell = static_cast<const serialize_array_cell *>(node->data);
             cell != nullptr && cell->value != nullptr; cell = cell->next)
            room += cell_slot_size(copy_size(cell->value));
    } else {
        for (auto *entry = static_cast<const serialize_hash_entry *>(node->data);
             entry != nullptr && entry->key != nullptr; entry = entry->next)
            room += entry_slot_size(copy_size(entry->value), strlen(entry->key));
    }
    return room;
}

// Copies a scalar `node` into `copy`, whose block has copy_size(node)
// bytes; floats become the value of their six-decimal text.
__attribute__((noinline)) void copy_scalar(serialize_value *copy, const serialize_value *node) {
    switch (node->type) {
        case SERIALIZE_INT: {
            int32_t value = serialize_get_int(node);
            init_number(copy, SERIALIZE_INT, &value);
            break;
        }
        case SERIALIZE_FLOAT: {
            char text[64];
            format_float(serialize_get_float(node), text);
            float value = parse_float(text);
            init_number(copy, SERIALIZE_FLOAT, &value);
            break;
        }
        default:
            init_blob(copy, node->data, node->length, node->type);
            break;
    }
}

// One container being copied: the next source cell or entry, the copy and
// its last link, and the slab that holds the copies of its elements.
struct CopyFrame {
    const void *source;
    serialize_value *copy;
    void *tail;
    size_t room;
    int32_t count;
    SlabBuilder *slabs;
};

// Deep copy of the tree `root` into `copy`, whose block has
// copy_size(root) bytes, with the result that an encode and a decode would
// give: floats become the value of their six-decimal text, and a tree the
// encoder refuses (too deep, over-long key) is not copied. The cells or
// entries of a container share one slab, each with its element. The walk
// keeps an explicit stack of at most kMaxDepth open containers, each
// linked into its parent when it opens. On failure everything allocated
// below `copy` is released and false returned.
class Copier {
public:
    Copier() = default;
    Copier(const Copier &) = delete;
    Copier &operator=(const Copier &) = delete;
    ~Copier() {
        while (open_ > 0) pop();
    }

    bool copy(serialize_value *copy, const serialize_value *root) {
        if (!is_container(root)) {
            copy_scalar(copy, root);
            return true;
        }
        push(copy, root);  // the root always gets a frame: none is open
        if (!fill()) {
            while (open_ > 0) pop();
            release_contents(copy);
            return false;
        }
        return true;
    }

private:
    bool push(serialize_value *copy, const serialize_value *node) {
        if (open_ >= kMaxDepth) return false;
        begin_container(copy, node->type);
        clear_list_state(copy);
        CopyFrame &f = frames_[open_++];
        f.source = node->data;
        f.copy = copy;
        f.tail = nullptr;
        f.room = copy_room(node);
        f.count = 0;
        f.slabs = new (&builders_[open_ - 1]) SlabBuilder();
        return true;
    }

    void pop() { frames_[--open_].slabs->~SlabBuilder(); }

    // The copy of the container of `f` is complete.
    bool finish(CopyFrame &f) {
        if (!give_empty_head(f.copy)) return false;
        set_list_state(f.copy, f.tail != nullptr ? f.tail : f.copy->data, f.count);
        pop();
        return true;
    }

    template <typename Link>
    static void append(CopyFrame &f, Link *link) {
        if (f.tail == nullptr)
            f.copy->data = link;
        else
            static_cast<Link *>(f.tail)->next = link;
        f.tail = link;
        f.count++;
    }

    // Copies `element` into the place behind `link`, or opens it; false on
    // failure (the link is then released).
    template <typename Link>
    bool place(Link *link, const serialize_value *element) {
        serialize_value *copy = link->value;
        if (is_container(element)) {
            if (!push(copy, element)) {
                free_link(link);
                return false;
            }
        } else {
            copy_scalar(copy, element);
        }
        return true;
    }

    bool fill() {
        while (open_ > 0) {
            CopyFrame &f = frames_[open_ - 1];
            if (f.copy->type == SERIALIZE_ARRAY) {
                const auto *cell = static_cast<const serialize_array_cell *>(f.source);
                if (cell == nullptr || cell->value == nullptr) {
                    if (!finish(f)) return false;
                    continue;
                }
                f.source = cell->next;
                size_t size = copy_size(cell->value);
                size_t slot = cell_slot_size(size);
                void *room = size == 0 ? nullptr : f.slabs->take(slot, f.room);
                if (room == nullptr) return false;
                f.room -= slot;
                serialize_array_cell *copied = init_slab_cell(room, f.slabs->slab());
                if (!place(copied, cell->value)) return false;
                append(f, copied);
            } else {
                const auto *entry = static_cast<const serialize_hash_entry *>(f.source);
                if (entry == nullptr || entry->key == nullptr) {
                    if (!finish(f)) return false;
                    continue;
                }
                f.source = entry->next;
                size_t key_length = strlen(entry->key);
                size_t size = key_length <= kMaxKeyLength ? copy_size(entry->value) : 0;
                size_t slot = entry_slot_size(size, key_length);
                void *room = size == 0 ? nullptr : f.slabs->take(slot, f.room);
                if (room == nullptr) return false;
                f.room -= slot;
                serialize_hash_entry *copied =
                    init_slab_entry(room, f.slabs->slab(), size, entry->key, key_length);
                if (!place(copied, entry->value)) return false;
                append(f, copied);
            }
        }
        return true;
    }

    int open_ = 0;
    CopyFrame frames_[kMaxDepth];
    // The slab builders of the open frames, constructed when a frame opens.
    alignas(SlabBuilder) unsigned char builders_[kMaxDepth][sizeof(SlabBuilder)];
};

}  // namespace

extern "C" {

serialize_value *serialize_dup(const serialize_value *node) {
    size_t size = copy_size(node);
    auto *copy = static_cast<serialize_value *>(size == 0 ? nullptr : sv_malloc(size));
    if (copy == nullptr) return nullptr;
    Copier copier;
    if (!copier.copy(copy, node)) {
        free(copy);
        return nullptr;
    }
    return copy;
}

}  // extern "C"
