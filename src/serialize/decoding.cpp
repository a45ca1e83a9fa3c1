// The decoder of the byte encoding (see encoding.cpp for the format).
//
// One loop over the input builds the tree with a private tail pointer per
// container and places cells and entries in shared slabs (links.h); repeated
// keys are found with hash_keys.h, so decoding is linear in the input
// whatever keys arrive. The decoder never reads past the bytes it is given:
// lengths or headers that run past the end make the whole result null.
#include <string.h>

#include <algorithm>

#include "serialize/hash_keys.h"
#include "serialize/links.h"
#include "serialize/lists.h"
#include "serialize/serialize_private.h"
#include "values.h"

namespace kiv_serialize {

static inline bool is_digit(char c) {
    return static_cast<unsigned>(c - '0') <= 9;
}

// Blanks, a plus sign, long or saturating texts: the full atoi rules.
static int32_t parse_int_general(const char *text, size_t length) {
    size_t i = 0;
    while (i < length && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) i++;
    bool negative = false;
    if (i < length && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    // Accumulate as a negative number, whose range is one larger.
    int64_t value = 0;
    for (; i < length && is_digit(text[i]); i++) {
        // Saturated one below the range, and the digits still consumed.
        value = std::max<int64_t>(value * 10 - (text[i] - '0'), INT32_MIN - int64_t{1});
    }
    if (negative) return static_cast<int32_t>(std::max<int64_t>(value, INT32_MIN));
    return static_cast<int32_t>(-std::max<int64_t>(value, -static_cast<int64_t>(INT32_MAX)));
}

// The eight bytes at `text` as a word whose low byte is the first.
static uint64_t load_digits(const char *text) {
    uint64_t word;
    memcpy(&word, text, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    word = __builtin_bswap64(word);
#endif
    return word;
}

// The value of the eight decimal digits in `word` (first digit in the low
// byte), converted a word at a time; false when one of the eight bytes is
// not a digit.
static bool eight_digits(uint64_t word, uint64_t *value) {
    constexpr uint64_t kHigh = 0xF0F0F0F0F0F0F0F0ull;
    uint64_t digits = word & 0x0F0F0F0F0F0F0F0Full;
    if ((word & kHigh) != 0x3030303030303030ull || ((digits + 0x0606060606060606ull) & kHigh) != 0)
        return false;
    digits = (digits * 2561) >> 8;  // pairs: 10 * high + low
    digits = ((digits & 0x00FF00FF00FF00FFull) * 6553601) >> 16;
    *value = ((digits & 0x0000FFFF0000FFFFull) * 42949672960001ull) >> 32;
    return true;
}

int32_t parse_int(const char *text, size_t length, size_t readable) {
    // Common case first: an optional minus and at most ten digits, which fit
    // a 64-bit sum and are clamped to the 32-bit range. Anything else takes
    // the general parser, which gives the same value for these texts too.
    bool negative = length > 0 && text[0] == '-';
    size_t i = negative ? 1 : 0;
    if (i < length && length - i <= 10 && is_digit(text[i])) {
        uint64_t value = 0;
        size_t n = length - i;
        if (n < 8 && readable >= i + 8) {
            // Fewer than eight digits with eight bytes to read: the digits
            // move to the top of the word behind '0's, and one conversion
            // gives the value.
            uint64_t word = load_digits(text + i) << (8 * (8 - n));
            if (eight_digits(word | (0x3030303030303030ull >> (8 * n)), &value)) i = length;
        } else if (n >= 8 && eight_digits(load_digits(text + i), &value)) {
            i += 8;
        }
        for (; i < length && is_digit(text[i]); i++)
            value = value * 10 + static_cast<unsigned>(text[i] - '0');
        if (negative) return value >= 2147483648u ? INT32_MIN : -static_cast<int32_t>(value);
        return value > static_cast<uint64_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(value);
    }
    return parse_int_general(text, length);
}

std::atomic<bool> collide_all_keys{false};

uint64_t siphash24(uint64_t k0, uint64_t k1, const char *data, size_t length) {
    return siphash<2, 4>(k0, k1, data, length);
}

}  // namespace kiv_serialize

using namespace kiv_serialize;

namespace {

bool is_known_letter(uint8_t letter) {
    switch (letter) {
        case kLetterInt:
        case kLetterFloat:
        case kLetterString:
        case kLetterBytes:
        case kLetterArray:
        case kLetterHash:
            return true;
        default:
            return false;
    }
}

bool is_container_letter(uint8_t letter) {
    return letter == kLetterArray || letter == kLetterHash;
}

// Heap bytes for the node that (letter, body) decodes to, or 0 when the
// letter is unknown or a string's length runs past the input.
size_t decoded_size(uint8_t letter, const uint8_t *body, int64_t avail) {
    switch (letter) {
        case kLetterInt:
        case kLetterFloat:
            return node_size(4);
        case kLetterString:
        case kLetterBytes: {
            if (avail < 4) return 0;
            uint32_t length = get_be32(body);
            if (length > static_cast<uint32_t>(INT32_MAX) || static_cast<int64_t>(length) > avail - 4)
                return 0;
            return node_size(static_cast<size_t>(length) + 1);
        }
        case kLetterArray:
        case kLetterHash:
            return kContainerSize;
        default:
            return 0;
    }
}

// A float's text is copied into a terminated scratch area for strtod; the
// area stays in this leaf call's frame.
__attribute__((noinline)) float decode_float_text(const uint8_t *text, size_t n) {
    char copy[256];
    memcpy(copy, text, n);
    copy[n] = '\0';
    return parse_float(copy);
}

bool decode_number(serialize_value *node, const uint8_t *body, int64_t avail, int64_t *consumed,
                   bool is_float) {
    if (avail < 1) return false;
    size_t n = body[0];
    if (static_cast<int64_t>(n) > avail - 1) return false;
    *consumed = 1 + static_cast<int64_t>(n);
    // The text ends at its length or at an embedded NUL, whichever is first.
    // The integer parser stops at the first byte that is not a digit (a NUL
    // included), so it reads the body in place; strtod needs a terminated
    // copy.
    if (!is_float) {
        int32_t value =
            parse_int(reinterpret_cast<const char *>(body + 1), n, static_cast<size_t>(avail - 1));
        init_number(node, SERIALIZE_INT, &value);
        return true;
    }
    float value = decode_float_text(body + 1, n);
    init_number(node, SERIALIZE_FLOAT, &value);
    return true;
}

bool decode_blob(serialize_value *node, const uint8_t *body, int64_t *consumed, int32_t type) {
    // decoded_size checked the length against the input.
    uint32_t length = get_be32(body);
    init_blob(node, body + 4, static_cast<int32_t>(length), type);
    *consumed = 4 + static_cast<int64_t>(length);
    return true;
}

// Decodes a scalar (letter, body) into `node`, whose block has
// decoded_size bytes.
bool decode_scalar(serialize_value *node, uint8_t letter, const uint8_t *body, int64_t avail,
                   int64_t *consumed) {
    switch (letter) {
        case kLetterInt:
            return decode_number(node, body, avail, consumed, false);
        case kLetterFloat:
            return decode_number(node, body, avail, consumed, true);
        case kLetterString:
            return decode_blob(node, body, consumed, SERIALIZE_STRING);
        default:
            return decode_blob(node, body, consumed, SERIALIZE_BYTES);
    }
}

// Arrays and hashes are built with a private tail pointer. The cells and
// entries of the whole tree, with their elements, are placed in shared
// slabs. Unknown letters inside a container are skipped (only the letter
// byte is consumed); an element that starts must be complete.
//
// Room worth reserving when a slab opens: about four bytes of tree for each
// byte of input still to decode (a small number takes 48 bytes for its
// 3 to 12 input bytes; a text about as many as its input), and enough for
// a few entries, so that a small event or reply takes one slab; at most a
// slab.
size_t input_room(int64_t left) {
    constexpr int64_t kFewEntries = 256;
    return static_cast<size_t>(std::min(left * 4 + kFewEntries, static_cast<int64_t>(kSlabBytes)));
}

// ------------------------------------------------ the decoder
//
// One loop over the input with an explicit stack of the open containers
// (at most kMaxDepth), so that the call stack stays the same however deep
// the value. A container is linked into its parent as soon as its header
// is read; on any failure the whole tree built so far is released.

// Hash levels whose duplicate checks live in the decoder itself; deeper
// open hashes take theirs from the heap (once per level and decode).
constexpr int kInlineHashKeys = 4;

struct DecodeFrame {
    serialize_value *node;
    void *tail;  // last cell or entry linked
    uint32_t remaining;
    uint32_t entries;  // elements or entries linked
    HashKeys *keys;    // null for an array
};

class Decoder {
public:
    Decoder(const uint8_t *body, int64_t avail) : in_(body), end_(avail) {}
    Decoder(const Decoder &) = delete;
    Decoder &operator=(const Decoder &) = delete;
    ~Decoder() {
        for (int i = 0; i < open_; i++)
            if (frames_[i].keys != nullptr) frames_[i].keys->index.drop();
        for (int i = 0; i < heap_keys_; i++) free(heap_keys_list_[i]);
    }

    // The value (letter, body), or null; `*consumed` is set to its length.
    serialize_value *decode(uint8_t letter, int64_t *consumed) {
        size_t size = decoded_size(letter, in_, end_);
        auto *root = static_cast<serialize_value *>(size == 0 ? nullptr : sv_malloc(size));
        if (root == nullptr) return nullptr;
        int64_t p = 0;
        if (!is_container_letter(letter)) {
            if (!decode_scalar(root, letter, in_, end_, &p)) {
                free(root);
                return nullptr;
            }
        } else {
            if (!open(root, letter, &p)) {
                free(root);
                return nullptr;
            }
            if (!fill(&p)) {
                release_tree(root);
                return nullptr;
            }
        }
        *consumed = p;
        return root;
    }

private:
    template <typename Link>
    static void append(DecodeFrame &f, Link *link) {
        if (f.tail == nullptr)
            f.node->data = link;
        else
            static_cast<Link *>(f.tail)->next = link;
        f.tail = link;
    }

    HashKeys *acquire_keys() {
        if (hash_levels_ < kInlineHashKeys) return &inline_keys_[hash_levels_++];
        int i = hash_levels_ - kInlineHashKeys;
        if (i == heap_keys_) {
            auto *keys = static_cast<HashKeys *>(sv_malloc(sizeof(HashKeys)));
            if (keys == nullptr) return nullptr;
            heap_keys_list_[heap_keys_++] = keys;
        }
        hash_levels_++;
        return heap_keys_list_[i];
    }

    // Reads the header of a container at `*p` into `node` and opens it.
    bool open(serialize_value *node, uint8_t letter, int64_t *p) {
        if (open_ >= kMaxDepth || end_ - *p < 8) return false;
        HashKeys *keys = nullptr;
        if (letter == kLetterHash) {
            keys = acquire_keys();
            if (keys == nullptr) return false;
            keys->open();
        }
        begin_container(node, keys != nullptr ? SERIALIZE_HASH : SERIALIZE_ARRAY);
        clear_list_state(node);
        frames_[open_++] = DecodeFrame{node, nullptr, get_be32(in_ + *p + 4), 0, keys};
        *p += 8;
        return true;
    }

    bool close(DecodeFrame &f) {
        bool relinked = false;  // repeated keys merged: the list state is counted when first used
        if (f.keys != nullptr) {
            relinked = f.keys->merge_at_close;
            bool merged = !relinked || merge_repeated_keys(f.node, f.entries);
            f.keys->index.drop();
            f.keys = nullptr;
            hash_levels_--;
            if (!merged) return false;
        }
        if (!give_empty_head(f.node)) return false;
        if (!relinked)
            set_list_state(f.node, f.tail != nullptr ? f.tail : f.node->data,
                           static_cast<int32_t>(f.entries));
        open_--;
        return true;
    }

    bool fill(int64_t *pos) {
        int64_t p = *pos;
        while (open_ > 0) {
            DecodeFrame &f = frames_[open_ - 1];
            if (f.remaining == 0 || p >= end_) {
                if (!close(f)) return false;
                continue;
            }
            f.remaining--;
            if (!(f.keys == nullptr ? array_element(f, &p) : hash_entry(f, &p))) return false;
        }
        *pos = p;
        return true;
    }

    // The element at `*p` of the array `f`.
    __attribute__((always_inline)) bool array_element(DecodeFrame &f, int64_t *pos) {
        int64_t p = *pos;
        uint8_t letter = in_[p++];
        *pos = p;
        if (!is_known_letter(letter)) return true;
        size_t size = decoded_size(letter, in_ + p, end_ - p);
        void *place = size == 0 ? nullptr : slabs_.take(cell_slot_size(size), input_room(end_ - p));
        if (place == nullptr) return false;
        serialize_array_cell *cell = init_slab_cell(place, slabs_.slab());
        serialize_value *element = cell->value;
        if (is_container_letter(letter)) {
            if (!open(element, letter, &p)) {
                free_link(cell);
                return false;
            }
        } else {
            int64_t used = 0;
            if (!decode_scalar(element, letter, in_ + p, end_ - p, &used)) {
                free_link(cell);
                return false;
            }
            p += used;
        }
        append(f, cell);
        f.entries++;
        *pos = p;
        return true;
    }

    // The entry at `*p` of the hash `f`: key length, key, letter, value.
    __attribute__((always_inline)) bool hash_entry(DecodeFrame &f, int64_t *pos) {
        int64_t p = *pos;
        // An entry that starts must be complete: key length, key, letter.
        if (end_ - p < 3) return false;
        uint32_t key_length = (static_cast<uint32_t>(in_[p]) << 8) | in_[p + 1];
        if (key_length > kMaxKeyLength || static_cast<int64_t>(key_length) >= end_ - p - 2) return false;
        // The key ends at its length or at an embedded NUL.
        const char *key_bytes = reinterpret_cast<const char *>(in_ + p + 2);
        size_t key_text_length = key_text_length_of(key_bytes, key_length);
        bool can_read_word = end_ - p - 2 >= 8;
        p += 2 + key_length;
        uint8_t letter = in_[p++];
        *pos = p;
        if (!is_known_letter(letter)) return true;

        HashKeys &keys = *f.keys;
        KeyLookup lookup{0, 0, 0, nullptr};
        serialize_hash_entry *found =
            keys.find(key_bytes, key_text_length, can_read_word, f.entries, &lookup);
        size_t size = decoded_size(letter, in_ + p, end_ - p);
        if (found != nullptr) {
            // A repeated key keeps its first place and takes the later
            // value, in a block of its own (the earlier value may sit in
            // the entry's slot).
            auto *value = static_cast<serialize_value *>(size == 0 ? nullptr : sv_malloc(size));
            if (value == nullptr) return false;
            if (!(is_container_letter(letter) ? open(value, letter, &p) : decode_value(value, letter, &p))) {
                free(value);
                return false;
            }
            release_value(found);
            found->value = value;
            *pos = p;
            return true;
        }
        void *place =
            size == 0 ? nullptr : slabs_.take(entry_slot_size(size, key_text_length), input_room(end_ - p));
        if (place == nullptr) return false;
        serialize_hash_entry *entry = init_slab_entry(place, slabs_.slab(), size, key_bytes, key_text_length);
        serialize_value *element = entry->value;
        if (!(is_container_letter(letter) ? open(element, letter, &p) : decode_value(element, letter, &p))) {
            free_link(entry);
            return false;
        }
        append(f, entry);
        *pos = p;
        if (!keys.add(entry, key_text_length, lookup, f.entries)) return false;
        f.entries++;
        return true;
    }

    bool decode_value(serialize_value *node, uint8_t letter, int64_t *p) {
        int64_t used = 0;
        if (!decode_scalar(node, letter, in_ + *p, end_ - *p, &used)) return false;
        *p += used;
        return true;
    }

    const uint8_t *in_;
    int64_t end_;
    SlabBuilder slabs_;
    int open_ = 0;         // frames in use
    int hash_levels_ = 0;  // HashKeys in use (open hashes)
    int heap_keys_ = 0;    // HashKeys allocated past the inline ones
    DecodeFrame frames_[kMaxDepth];
    HashKeys inline_keys_[kInlineHashKeys];
    HashKeys *heap_keys_list_[kMaxDepth];
};

// Entry point of the exported _unpack functions: any (body, avail) is safe,
// and the position counter moves only when a value was decoded.
serialize_value *unpack(uint8_t letter, const uint8_t *body, int32_t avail, int32_t *pos) {
    if (body == nullptr || avail <= 0) return nullptr;
    int64_t consumed = 0;
    Decoder decoder(body, avail);
    serialize_value *node = decoder.decode(letter, &consumed);
    if (node != nullptr && pos != nullptr) *pos += static_cast<int32_t>(consumed);
    return node;
}

}  // namespace

extern "C" {

serialize_value *unserialize(const void *data, int32_t length) {
    if (data == nullptr || length < 1) return nullptr;
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    int64_t consumed = 0;
    Decoder decoder(bytes + 1, static_cast<int64_t>(length) - 1);
    return decoder.decode(bytes[0], &consumed);
}

serialize_value *serialize_int_unpack(const uint8_t *body, int32_t avail, int32_t *pos) {
    return unpack(kLetterInt, body, avail, pos);
}

serialize_value *serialize_float_unpack(const uint8_t *body, int32_t avail, int32_t *pos) {
    return unpack(kLetterFloat, body, avail, pos);
}

serialize_value *serialize_string_unpack(const uint8_t *body, int32_t avail, int32_t *pos, int32_t type) {
    return unpack(type == SERIALIZE_STRING ? kLetterString : kLetterBytes, body, avail, pos);
}

serialize_value *serialize_array_unpack(const uint8_t *body, int32_t avail, int32_t *pos) {
    return unpack(kLetterArray, body, avail, pos);
}

serialize_value *serialize_hash_unpack(const uint8_t *body, int32_t avail, int32_t *pos) {
    return unpack(kLetterHash, body, avail, pos);
}

}  // extern "C"
