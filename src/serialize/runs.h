// Shared heap runs for the cells or entries of a container that the decoder
// or the deep copy builds, each stored together with its element.
//
// A run is one malloc block: a header counting the references to it, then
// slots. A slot is [back pointer to the run][cell or entry (+ key)][element
// node and payload]. Building a 10,000-element array then costs a handful
// of allocations instead of one or two per element.
//
// Placement rule (checked by in_run, asserted in debug builds): every heap
// block of the value tree starts at a multiple of kBlockAlign (alloc_block
// makes sure of it), and every link or element in a run starts exactly
// kHalfAlign past such a multiple. So the address of a link or of a node
// says whether it is a block of its own (released with free) or lives in a
// run (a link gives its slot back to the run; a stored element goes with
// its link).
//
// Lifetime rule: a run is referenced once by each slot whose link has not
// been released, and once by the RunBuilder while it hands out slots from
// it. A decode may release slots of the run it is filling (a repeated hash
// key takes the place of a container whose cells sit there), so without the builder's
// own reference the run could be freed under the builder and the next slot
// written into freed memory.
#ifndef KIV_SERIALIZE_RUNS_H
#define KIV_SERIALIZE_RUNS_H

#include <assert.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "serialize/serialize_private.h"

namespace kiv_serialize {

constexpr size_t kBlockAlign = alignof(max_align_t);
constexpr size_t kHalfAlign = kBlockAlign / 2;
static_assert(kHalfAlign % alignof(serialize_value) == 0, "stored elements stay aligned");
static_assert(kHalfAlign % alignof(serialize_hash_entry) == 0, "links stay aligned");
static_assert(kHalfAlign >= sizeof(void *), "the back pointer fits in front of the link");

constexpr size_t round_up(size_t size, size_t unit) {
    return (size + unit - 1) / unit * unit;
}

// True for a link or node that lives in a run (see the placement rule).
inline bool in_run(const void *p) {
    uintptr_t offset = reinterpret_cast<uintptr_t>(p) & (kBlockAlign - 1);
    assert((offset == 0 || offset == kHalfAlign) && "a tree node or link outside the placement rule");
    return offset != 0;
}

inline bool is_embedded(const serialize_value *node) {
    return in_run(node);
}

// A heap block aligned to kBlockAlign, for every node and link that is not
// in a run. malloc gives that alignment on every platform the library
// targets; another allocator's block is replaced by an aligned one. Either
// is released with free.
void *alloc_block(size_t size);

struct Run {
    size_t live;  // slots whose link has not been released, plus one while a builder fills the run
};
constexpr size_t kRunHeader = round_up(sizeof(Run), kBlockAlign);
// Runs are at most this large, unless one element needs more.
constexpr size_t kRunBytes = 64 << 10;

// Offsets inside a slot: the link, and the element behind a link that ends
// at `link_end` (the next offset of the element's alignment class).
constexpr size_t kLinkOffset = kHalfAlign;
constexpr size_t element_offset(size_t link_end) {
    return round_up(link_end - kHalfAlign, kBlockAlign) + kHalfAlign;
}
constexpr size_t kCellElementOffset = element_offset(kLinkOffset + sizeof(serialize_array_cell));
constexpr size_t entry_element_offset(size_t key_length) {
    return element_offset(kLinkOffset + sizeof(serialize_hash_entry) + key_length + 1);
}
constexpr size_t slot_size(size_t element_offset, size_t element_size) {
    return round_up(element_offset + element_size, kBlockAlign);
}

// Releases a cell or entry block, or gives its slot back to its run.
inline void free_link(void *link) {
    if (!in_run(link)) {
        free(link);
        return;
    }
    Run *run;
    memcpy(&run, static_cast<char *>(link) - sizeof(run), sizeof(run));
    assert(!in_run(run) && run->live > 0 && "a link released twice or outside its run");
    if (--run->live == 0) free(run);
}

// Hands out slots for the links of one container, opening a new run when
// the current one is full. `hint` is the room worth reserving for the
// remaining slots; runs are capped at kRunBytes. The builder holds a
// reference on the run it fills until it opens the next one or goes out of
// scope, so that slots released meanwhile never free the run under it.
class RunBuilder {
public:
    RunBuilder() = default;
    RunBuilder(const RunBuilder &) = delete;
    RunBuilder &operator=(const RunBuilder &) = delete;
    ~RunBuilder() { drop_run(); }

    // A slot of `size` bytes (a multiple of kBlockAlign), its back pointer
    // set; returns the link inside it, or null when memory runs out.
    char *take(size_t size, size_t hint) {
        if (static_cast<size_t>(end_ - next_) < size) {
            size_t capacity = hint < kRunBytes ? hint : kRunBytes;
            if (capacity < size) capacity = size;
            char *block = static_cast<char *>(alloc_block(kRunHeader + capacity));
            if (block == nullptr) return nullptr;
            drop_run();
            run_ = reinterpret_cast<Run *>(block);
            run_->live = 1;  // the builder's own reference
            next_ = block + kRunHeader;
            end_ = next_ + capacity;
        }
        char *slot = next_;
        next_ += size;
        run_->live++;
        char *link = slot + kLinkOffset;
        memcpy(link - sizeof(run_), &run_, sizeof(run_));
        assert(in_run(link));
        return link;
    }

private:
    void drop_run() {
        if (run_ != nullptr && --run_->live == 0) free(run_);
        run_ = nullptr;
    }

    Run *run_ = nullptr;
    char *next_ = nullptr;
    char *end_ = nullptr;
};

// Sets up the entry at `link` with its key (`length` bytes, no NUL
// needed) copied directly behind it; value and next start null.
inline serialize_hash_entry *init_entry(char *link, const char *key, size_t length) {
    auto *entry = reinterpret_cast<serialize_hash_entry *>(link);
    char *text = reinterpret_cast<char *>(entry + 1);
    // Hides the bound of `length`, which would otherwise turn this short
    // copy into an inline string move that is slow to start.
    asm("" : "+r"(length));
    memcpy(text, key, length);
    text[length] = '\0';
    entry->key = text;
    entry->value = nullptr;
    entry->next = nullptr;
    return entry;
}

// The element stored at `offset` of the slot whose link is `link`.
inline serialize_value *slot_element(char *link, size_t offset) {
    return reinterpret_cast<serialize_value *>(link - kLinkOffset + offset);
}

}  // namespace kiv_serialize

#endif  // KIV_SERIALIZE_RUNS_H
