// The links of arrays and hashes (cells and entries), who owns each one,
// and the slabs that hold the links the decoder and the deep copy make.
//
// Every link is the public cell or entry followed by one word, its owner:
// the slab it sits in, or null for a heap block of its own. A link in a
// slab stores its element directly behind it, and an entry's key follows
// the element:
//
//   [cell  | owner][element node and payload]
//   [entry | owner][element node and payload][key and NUL]
//
// so that "this element is stored with its link" is the comparison
// `owner != null && value == link + 1`, and "the key is stored with its
// entry" the comparison of the key with the end of the element that the
// slab place holds (an element replaced by a later value keeps its type and
// length there, so its size stays known). A link of its own holds no
// element; the entries that serialize_hash_add makes keep their key
// directly behind the link, and "the key is stored with its entry" is then
// `key == link + 1` (serialize_hash_new allocates one byte more than a bare
// entry, so that a key allocated elsewhere can never sit there).
//
// Lifetime rule: a slab counts one reference for each link in it that has
// not been released, and one for the SlabBuilder while it hands out links
// from it; the slab is freed when the count reaches zero. (A decode
// releases links of the slab it is filling when a repeated key replaces a
// container whose links sit there; the builder's own reference keeps the
// slab alive under it.)
#ifndef KIV_SERIALIZE_LINKS_H
#define KIV_SERIALIZE_LINKS_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>

#include "serialize/lists.h"
#include "serialize/serialize_private.h"

namespace kiv_serialize {

struct Slab {
    size_t live;  // links not yet released, plus one while a builder fills the slab
};

struct CellLink {
    serialize_array_cell cell;
    Slab *owner;
};
struct EntryLink {
    serialize_hash_entry entry;
    Slab *owner;
};

// Every piece of a slab (its header, links, elements, the end of a key)
// starts at a multiple of this.
constexpr size_t kSlotAlign = alignof(CellLink);
static_assert(alignof(EntryLink) == kSlotAlign && alignof(serialize_value) <= kSlotAlign,
              "links and elements share one alignment");
static_assert(sizeof(CellLink) % kSlotAlign == 0 && sizeof(EntryLink) % kSlotAlign == 0,
              "elements behind a link stay aligned");

constexpr size_t round_up(size_t size, size_t unit) {
    return (size + unit - 1) / unit * unit;
}

constexpr size_t kSlabHeader = round_up(sizeof(Slab), kSlotAlign);
// Slabs are at most this large, unless one link with its element needs more.
constexpr size_t kSlabBytes = 64 << 10;

inline CellLink *link_of(serialize_array_cell *cell) {
    return reinterpret_cast<CellLink *>(cell);
}
inline EntryLink *link_of(serialize_hash_entry *entry) {
    return reinterpret_cast<EntryLink *>(entry);
}
inline const CellLink *link_of(const serialize_array_cell *cell) {
    return reinterpret_cast<const CellLink *>(cell);
}
inline const EntryLink *link_of(const serialize_hash_entry *entry) {
    return reinterpret_cast<const EntryLink *>(entry);
}

// Where a slab link's element goes.
template <typename Link>
inline serialize_value *element_place(Link *link) {
    return reinterpret_cast<serialize_value *>(link_of(link) + 1);
}

// Bytes of a slab link with an element of `element_size` bytes (and, for
// an entry, a key of `key_length` bytes).
constexpr size_t cell_slot_size(size_t element_size) {
    return round_up(sizeof(CellLink) + element_size, kSlotAlign);
}
constexpr size_t entry_slot_size(size_t element_size, size_t key_length) {
    return round_up(sizeof(EntryLink) + element_size + key_length + 1, kSlotAlign);
}

// Whether `link`'s element is stored with it (and so goes with the link).
template <typename Link>
inline bool element_is_stored(const Link *link) {
    return link_of(link)->owner != nullptr && link->value == element_place(const_cast<Link *>(link));
}

// Bytes of the block of `element`, in a slab place or of its own: its node
// and payload (a negative length, on a node built by hand, as none).
inline size_t stored_size(const serialize_value *element) {
    if (is_container(element)) return kContainerSize;
    if (element->type == SERIALIZE_INT || element->type == SERIALIZE_FLOAT) return node_size(4);
    return node_size(static_cast<size_t>(std::max<int32_t>(element->length, 0)) + 1);
}

// Whether an entry's key is stored with it: behind the element of its slab
// place, or behind the link of an entry of its own.
inline bool key_is_stored(const serialize_hash_entry *entry) {
    const EntryLink *link = link_of(entry);
    const char *behind = reinterpret_cast<const char *>(link + 1);
    if (link->owner != nullptr) behind += stored_size(reinterpret_cast<const serialize_value *>(behind));
    return entry->key == behind;
}

// Releases an entry's key unless it is stored with the entry.
inline void free_key(serialize_hash_entry *entry) {
    if (!key_is_stored(entry)) free(entry->key);
}

// Releases a link of its own, or gives its place back to its slab.
template <typename Link>
inline void free_link(Link *link) {
    Slab *owner = link_of(link)->owner;
    if (owner == nullptr)
        free(link);
    else if (--owner->live == 0)
        free(owner);
}

// Releases the element of `link`: only its contents when it is stored with
// the link, whose memory it shares.
template <typename Link>
inline void release_value(Link *link) {
    serialize_value *value = link->value;
    if (value == nullptr) return;
    if (element_is_stored(link))
        release_contents(value);
    else
        release_tree(value);
}

// Hands out slab links for one container, opening a new slab when the
// current one is full. `hint` is the room worth reserving for the links
// still to come; slabs are capped at kSlabBytes. The builder holds its
// reference on the slab it fills until it opens the next one or goes out
// of scope.
class SlabBuilder {
public:
    SlabBuilder() = default;
    SlabBuilder(const SlabBuilder &) = delete;
    SlabBuilder &operator=(const SlabBuilder &) = delete;
    ~SlabBuilder() { drop_slab(); }

    // Room for a link of `size` bytes (a multiple of kSlotAlign) with its
    // owner set, or null when memory runs out.
    void *take(size_t size, size_t hint) {
        if (static_cast<size_t>(end_ - next_) < size) {
            size_t capacity = hint < kSlabBytes ? hint : kSlabBytes;
            if (capacity < size) capacity = size;
            char *block = static_cast<char *>(sv_malloc(kSlabHeader + capacity));
            if (block == nullptr) return nullptr;
            drop_slab();
            slab_ = reinterpret_cast<Slab *>(block);
            slab_->live = 1;  // the builder's own reference
            next_ = block + kSlabHeader;
            end_ = next_ + capacity;
        }
        char *link = next_;
        next_ += size;
        slab_->live++;
        return link;
    }

    Slab *slab() const { return slab_; }

private:
    void drop_slab() {
        if (slab_ != nullptr && --slab_->live == 0) free(slab_);
        slab_ = nullptr;
    }

    Slab *slab_ = nullptr;
    char *next_ = nullptr;
    char *end_ = nullptr;
};

// A slab cell at `place` (from SlabBuilder::take) with its element's place
// as its value; next starts null.
inline serialize_array_cell *init_slab_cell(void *place, Slab *owner) {
    auto *link = static_cast<CellLink *>(place);
    link->owner = owner;
    link->cell.value = element_place(&link->cell);
    link->cell.next = nullptr;
    return &link->cell;
}

// A slab entry at `place` whose element takes `element_size` bytes, with
// the key (`length` bytes, no NUL needed) copied behind the element and
// the element's place as its value; next starts null.
inline serialize_hash_entry *init_slab_entry(void *place, Slab *owner, size_t element_size, const char *key,
                                             size_t length) {
    auto *link = static_cast<EntryLink *>(place);
    link->owner = owner;
    char *text = static_cast<char *>(place) + sizeof(EntryLink) + element_size;
    copy_short(text, key, length);
    text[length] = '\0';
    link->entry.key = text;
    link->entry.value = element_place(&link->entry);
    link->entry.next = nullptr;
    return &link->entry;
}

}  // namespace kiv_serialize

#endif  // KIV_SERIALIZE_LINKS_H
