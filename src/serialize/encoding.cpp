// The byte encoding of value trees.
//
// Every value is a type letter and a body: numbers as decimal text behind a
// one-byte length, strings and byte strings behind a big-endian 32-bit
// length, arrays and hashes behind a 32-bit size and a 32-bit count. The
// encoder makes two passes over the tree (size, then bytes into a single
// buffer); the decoder builds containers with a private tail pointer, their
// cells and entries in shared runs (runs.h), and finds repeated keys with a
// small table or an index, so both are linear in the input. The
// decoder never reads past the bytes it is given: lengths or headers that
// run past the end make the whole result null.
#include <errno.h>
#include <locale.h>
#include <string.h>

#include <charconv>

#include "internal.h"
#include "serialize/runs.h"
#include "serialize/serialize_private.h"

namespace kiv_serialize {

int format_int(int32_t value, char *out) {
    // Two digits at a time from a table, with the length known up front.
    return static_cast<int>(std::to_chars(out, out + 11, value).ptr - out);
}

int format_float(float value, char *out) {
    // Fixed notation with six decimals, independent of the locale, exactly
    // as "%f" prints the value widened to double ("nan", "-nan", "inf").
    std::to_chars_result r =
        std::to_chars(out, out + 63, static_cast<double>(value), std::chars_format::fixed, 6);
    *r.ptr = '\0';
    return static_cast<int>(r.ptr - out);
}

// Blanks, a plus sign, long or saturating texts: the full atoi rules.
static int32_t parse_int_general(const char *text, size_t length) {
    size_t i = 0;
    while (i < length && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) i++;
    bool negative = false;
    if (i < length && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    // Accumulate as a negative number, whose range is one larger.
    int64_t value = 0;
    for (; i < length && text[i] >= '0' && text[i] <= '9'; i++) {
        value = value * 10 - (text[i] - '0');
        if (value < INT32_MIN) {
            value = INT32_MIN - 1LL;  // saturated; keep consuming digits
        }
    }
    if (negative) return value < INT32_MIN ? INT32_MIN : static_cast<int32_t>(value);
    return value < -static_cast<int64_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(-value);
}

// The value of eight decimal digits at `text`, converted a word at a time;
// false when one of the eight bytes is not a digit.
static bool eight_digits(const char *text, uint64_t *value) {
    uint64_t word;
    memcpy(&word, text, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    word = __builtin_bswap64(word);  // first digit in the low byte
#endif
    constexpr uint64_t kHigh = 0xF0F0F0F0F0F0F0F0ull;
    uint64_t digits = word & 0x0F0F0F0F0F0F0F0Full;
    if ((word & kHigh) != 0x3030303030303030ull || ((digits + 0x0606060606060606ull) & kHigh) != 0)
        return false;
    digits = (digits * 2561) >> 8;  // pairs: 10 * high + low
    digits = ((digits & 0x00FF00FF00FF00FFull) * 6553601) >> 16;
    *value = ((digits & 0x0000FFFF0000FFFFull) * 42949672960001ull) >> 32;
    return true;
}

int32_t parse_int(const char *text, size_t length) {
    // Common case first: an optional minus and at most ten digits, which fit
    // a 64-bit sum and are clamped to the 32-bit range. Anything else takes
    // the general parser, which gives the same value for these texts too.
    bool negative = length > 0 && text[0] == '-';
    size_t i = negative ? 1 : 0;
    if (i < length && length - i <= 10 && static_cast<unsigned>(text[i] - '0') <= 9) {
        uint64_t value = 0;
        if (length - i >= 8 && eight_digits(text + i, &value)) i += 8;
        for (; i < length; i++) {
            unsigned digit = static_cast<unsigned>(text[i] - '0');
            if (digit > 9) break;
            value = value * 10 + digit;
        }
        if (negative) return value >= 2147483648u ? INT32_MIN : -static_cast<int32_t>(value);
        return value > static_cast<uint64_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(value);
    }
    return parse_int_general(text, length);
}

float parse_float(const char *text) {
    // strtod in the "C" locale, so that a process locale with a decimal
    // comma does not change how the peer's text is read.
    static locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    int saved = errno;
    double value =
        c_locale != static_cast<locale_t>(0) ? strtod_l(text, nullptr, c_locale) : strtod(text, nullptr);
    errno = saved;
    return static_cast<float>(value);
}

}  // namespace kiv_serialize

using namespace kiv_serialize;

namespace {

constexpr uint8_t kLetterInt = 'i';
constexpr uint8_t kLetterFloat = 'f';
constexpr uint8_t kLetterString = 's';
constexpr uint8_t kLetterBytes = 'b';
constexpr uint8_t kLetterArray = 'a';
constexpr uint8_t kLetterHash = 'h';

// Lengths in the size pass: int64 so that sums cannot overflow before they
// are checked against the 32-bit result.
constexpr int64_t kInvalid = -1;
constexpr int64_t kMaxEncoded = INT32_MAX;

void put_be32(uint8_t *out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

uint32_t get_be32(const uint8_t *in) {
    return (static_cast<uint32_t>(in[0]) << 24) | (static_cast<uint32_t>(in[1]) << 16) |
           (static_cast<uint32_t>(in[2]) << 8) | static_cast<uint32_t>(in[3]);
}

int int_text_length(int32_t value) {
    uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    int sign = value < 0 ? 1 : 0;
    if (magnitude < 100000) {
        if (magnitude < 100) return sign + (magnitude < 10 ? 1 : 2);
        return sign + (magnitude < 1000 ? 3 : magnitude < 10000 ? 4 : 5);
    }
    if (magnitude < 10000000) return sign + (magnitude < 1000000 ? 6 : 7);
    return sign + (magnitude < 100000000 ? 8 : magnitude < 1000000000 ? 9 : 10);
}

// The integer of a node known to be one.
int32_t int_payload(const serialize_value *node) {
    int32_t value;
    memcpy(&value, node->data, 4);
    return value;
}

// ---------------------------------------------------------------- size pass

int64_t encoded_length(const serialize_value *node, int depth) {
    if (node == nullptr) return kInvalid;
    switch (node->type) {
        case SERIALIZE_INT:
            return 2 + int_text_length(int_payload(node));
        case SERIALIZE_FLOAT: {
            char text[64];
            return 2 + format_float(serialize_get_float(node), text);
        }
        case SERIALIZE_STRING:
        case SERIALIZE_BYTES:
            if (node->length < 0) return kInvalid;
            return 5 + static_cast<int64_t>(node->length);
        case SERIALIZE_ARRAY: {
            if (depth >= kMaxDepth) return kInvalid;
            int64_t total = 9;
            const serialize_array_cell *cell = static_cast<const serialize_array_cell *>(node->data);
            for (; cell != nullptr && cell->value != nullptr; cell = cell->next) {
                int64_t element = encoded_length(cell->value, depth + 1);
                if (element < 0) return kInvalid;
                total += element;
                if (total > kMaxEncoded) return kInvalid;
            }
            return total;
        }
        case SERIALIZE_HASH: {
            if (depth >= kMaxDepth) return kInvalid;
            int64_t total = 9;
            const serialize_hash_entry *entry = static_cast<const serialize_hash_entry *>(node->data);
            for (; entry != nullptr && entry->key != nullptr; entry = entry->next) {
                size_t key_length = strnlen(entry->key, kMaxKeyLength + 1);
                if (key_length > kMaxKeyLength) return kInvalid;
                int64_t element = encoded_length(entry->value, depth + 1);
                if (element < 0) return kInvalid;
                total += 2 + static_cast<int64_t>(key_length) + element;
                if (total > kMaxEncoded) return kInvalid;
            }
            return total;
        }
        default:
            return kInvalid;
    }
}

int32_t checked_length(const serialize_value *node) {
    int64_t length = encoded_length(node, 0);
    return length < 0 || length > kMaxEncoded ? -1 : static_cast<int32_t>(length);
}

// ---------------------------------------------------------------- write pass
// Writes a tree into a buffer of the size that the size pass gave, checking
// the room left before every write.

uint32_t write_number(uint8_t *out, uint8_t letter, const char *text, int length) {
    out[0] = letter;
    out[1] = static_cast<uint8_t>(length);
    memcpy(out + 2, text, static_cast<size_t>(length));
    return 2 + static_cast<uint32_t>(length);
}

uint32_t write_blob(uint8_t *out, const serialize_value *node, int32_t type) {
    out[0] = type == SERIALIZE_STRING ? kLetterString : kLetterBytes;
    uint32_t length = static_cast<uint32_t>(node->length);
    put_be32(out + 1, length);
    if (length > 0) kiv_copy_bytes(out + 5, node->data, length);
    return 5 + length;
}

struct Output {
    uint8_t *bytes;
    size_t length;
    size_t capacity;

    bool reserve(size_t more) const { return capacity - length >= more; }
    uint8_t *end() { return bytes + length; }
};

bool write_value(Output &out, const serialize_value *node, int depth) {
    if (node == nullptr) return false;
    switch (node->type) {
        case SERIALIZE_INT: {
            int32_t value = int_payload(node);
            int length = int_text_length(value);
            if (!out.reserve(2 + static_cast<size_t>(length))) return false;
            // The digits go straight into place; their count follows the letter.
            uint8_t *at = out.end();
            char *digits = reinterpret_cast<char *>(at + 2);
            std::to_chars(digits, digits + length, value);
            at[0] = kLetterInt;
            at[1] = static_cast<uint8_t>(length);
            out.length += 2 + static_cast<size_t>(length);
            return true;
        }
        case SERIALIZE_FLOAT: {
            char text[64];
            int length = format_float(serialize_get_float(node), text);
            if (!out.reserve(2 + static_cast<size_t>(length))) return false;
            out.length += write_number(out.end(), kLetterFloat, text, length);
            return true;
        }
        case SERIALIZE_STRING:
        case SERIALIZE_BYTES:
            if (node->length < 0 || !out.reserve(5 + static_cast<size_t>(node->length))) return false;
            out.length += write_blob(out.end(), node, node->type);
            return true;
        case SERIALIZE_ARRAY: {
            if (depth >= kMaxDepth || !out.reserve(9)) return false;
            size_t start = out.length;
            out.length += 9;
            uint32_t count = 0;
            const serialize_array_cell *cell = static_cast<const serialize_array_cell *>(node->data);
            for (; cell != nullptr && cell->value != nullptr; cell = cell->next) {
                if (!write_value(out, cell->value, depth + 1)) return false;
                count++;
            }
            uint8_t *header = out.bytes + start;
            header[0] = kLetterArray;
            put_be32(header + 1, static_cast<uint32_t>(out.length - start - 5));
            put_be32(header + 5, count);
            return true;
        }
        case SERIALIZE_HASH: {
            if (depth >= kMaxDepth || !out.reserve(9)) return false;
            size_t start = out.length;
            out.length += 9;
            uint32_t count = 0;
            const serialize_hash_entry *entry = static_cast<const serialize_hash_entry *>(node->data);
            for (; entry != nullptr && entry->key != nullptr; entry = entry->next) {
                size_t key_length = strnlen(entry->key, kMaxKeyLength + 1);
                if (key_length > kMaxKeyLength || !out.reserve(2 + key_length)) return false;
                uint8_t *at = out.end();
                at[0] = static_cast<uint8_t>(key_length >> 8);
                at[1] = static_cast<uint8_t>(key_length);
                memcpy(at + 2, entry->key, key_length);
                out.length += 2 + key_length;
                if (!write_value(out, entry->value, depth + 1)) return false;
                count++;
            }
            uint8_t *header = out.bytes + start;
            header[0] = kLetterHash;
            // The size counts four bytes for each two-byte key length field.
            put_be32(header + 1, static_cast<uint32_t>(out.length - start - 5) + 2 * count);
            put_be32(header + 5, count);
            return true;
        }
        default:
            return false;
    }
}

// Writes a tree that the size pass accepted into `bytes`, which has exactly
// `size` bytes.
int32_t write_checked(uint8_t *bytes, int32_t size, const serialize_value *node) {
    Output out{bytes, 0, static_cast<size_t>(size)};
    return write_value(out, node, 0) ? static_cast<int32_t>(out.length) : -1;
}

// ---------------------------------------------------------------- decoding

bool decode_into(RunBuilder &runs, serialize_value *node, uint8_t letter, const uint8_t *body, int64_t avail,
                 int64_t *consumed, int depth);

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
            return node_size(0);
        default:
            return 0;
    }
}

// A root node decoded from (letter, body), or null.
serialize_value *decode_root(RunBuilder &runs, uint8_t letter, const uint8_t *body, int64_t avail,
                             int64_t *consumed, int depth) {
    size_t size = decoded_size(letter, body, avail);
    auto *node = static_cast<serialize_value *>(size == 0 ? nullptr : alloc_block(size));
    if (node == nullptr) return nullptr;
    if (!decode_into(runs, node, letter, body, avail, consumed, depth)) {
        free(node);
        return nullptr;
    }
    return node;
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
        int32_t value = parse_int(reinterpret_cast<const char *>(body + 1), n);
        init_number(node, SERIALIZE_INT, &value);
        return true;
    }
    char text[256];
    memcpy(text, body + 1, n);
    text[n] = '\0';
    float value = parse_float(text);
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

// Arrays and hashes are built with a private tail pointer. The cells and
// entries of the whole tree, with their elements, are placed in shared
// runs. Unknown letters inside a container are skipped (only the letter
// byte is consumed); an element that starts must be complete.
//
// Room worth reserving when a run opens: about four bytes of tree for each
// byte of input still to decode (a small number takes 48 bytes for its
// 3 to 12 input bytes; a text about as many as its input), and enough for
// a few entries, so that a small event or reply takes one run.
size_t input_room(int64_t left) {
    constexpr int64_t kFewEntries = 256;
    if (left >= static_cast<int64_t>(kRunBytes / 4)) return kRunBytes;
    return static_cast<size_t>(left) * 4 + kFewEntries;
}

bool decode_array(RunBuilder &runs, serialize_value *array, const uint8_t *body, int64_t avail,
                  int64_t *consumed, int depth) {
    if (depth > kMaxDepth || avail < 8) return false;
    begin_container(array, SERIALIZE_ARRAY);
    serialize_array_cell *tail = nullptr;
    uint32_t count = get_be32(body + 4);
    int64_t p = 8;
    for (; count > 0 && p < avail; count--) {
        uint8_t letter = body[p++];
        if (!is_known_letter(letter)) continue;
        size_t size = decoded_size(letter, body + p, avail - p);
        char *link =
            size == 0 ? nullptr : runs.take(slot_size(kCellElementOffset, size), input_room(avail - p));
        if (link == nullptr) {
            release_contents(array);
            return false;
        }
        auto *cell = reinterpret_cast<serialize_array_cell *>(link);
        serialize_value *element = slot_element(link, kCellElementOffset);
        int64_t used = 0;
        if (!decode_into(runs, element, letter, body + p, avail - p, &used, depth + 1)) {
            free_link(cell);
            release_contents(array);
            return false;
        }
        p += used;
        cell->value = element;
        cell->next = nullptr;
        append_link(array, &tail, cell);
    }
    if (!give_empty_head(array)) return false;
    *consumed = p;
    return true;
}

// Open-addressing index of the entries of a hash being decoded, so that
// duplicate keys are found without walking the entry list. Small hashes
// never build it.
constexpr uint32_t kIndexThreshold = 32;

struct KeyIndex {
    serialize_hash_entry **slots = nullptr;
    uint32_t capacity = 0;  // power of two, or 0 when there is no index
    uint32_t used = 0;

    KeyIndex() = default;
    KeyIndex(const KeyIndex &) = delete;
    KeyIndex &operator=(const KeyIndex &) = delete;
    ~KeyIndex() { free(slots); }

    void drop() {
        free(slots);
        slots = nullptr;
        capacity = 0;
        used = 0;
    }

    static uint32_t hash_of(const char *key) {
        uint32_t h = 2166136261u;
        for (; *key != '\0'; key++) h = (h ^ static_cast<uint8_t>(*key)) * 16777619u;
        return h;
    }

    serialize_hash_entry **slot_for(const char *key) const {
        uint32_t mask = capacity - 1;
        for (uint32_t i = hash_of(key) & mask;; i = (i + 1) & mask)
            if (slots[i] == nullptr || strcmp(slots[i]->key, key) == 0) return &slots[i];
    }

    // Rebuilds the index over the whole chain with room for twice `needed`.
    // On failure the old index is left untouched and false returned.
    bool rebuild(serialize_hash_entry *head, uint32_t needed) {
        uint32_t size = 64;
        while (size < needed * 2) size *= 2;
        serialize_hash_entry **fresh =
            static_cast<serialize_hash_entry **>(sv_malloc(size * sizeof(serialize_hash_entry *)));
        if (fresh == nullptr) return false;
        memset(fresh, 0, size * sizeof(serialize_hash_entry *));
        free(slots);
        slots = fresh;
        capacity = size;
        used = 0;
        for (serialize_hash_entry *e = head; e != nullptr; e = e->next) {
            *slot_for(e->key) = e;
            used++;
        }
        return true;
    }
};

// The first eight bytes of a key (fewer when it is shorter, zero padded)
// as one little-endian word, read straight from the input when eight bytes
// are there to read.
uint64_t key_prefix(const char *bytes, size_t length, bool can_read_word) {
    size_t n = length < 8 ? length : 8;
    uint64_t word = 0;
    if (can_read_word) {
        memcpy(&word, bytes, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        word = __builtin_bswap64(word);
#endif
        if (n < 8) word &= (uint64_t{1} << (8 * n)) - 1;
    } else {
        for (size_t i = 0; i < n; i++) word |= uint64_t{static_cast<uint8_t>(bytes[i])} << (8 * i);
    }
    return word;
}

// Length of a key that ends at `length` bytes or at a NUL, scanning a word
// at a time.
size_t key_text_length_of(const char *bytes, size_t length) {
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHighs = 0x8080808080808080ull;
    size_t n = 0;
    for (; n + 8 <= length; n += 8) {
        uint64_t word;
        memcpy(&word, bytes + n, 8);
        if (((word - kOnes) & ~word & kHighs) != 0) break;
    }
    while (n < length && bytes[n] != '\0') n++;
    return n;
}

// Keys of the first kIndexThreshold entries of a hash being decoded, for
// the duplicate check: a 64-slot table keyed by each key's length and first
// eight bytes, so that a new key costs a probe or two and integer compares
// instead of a strcmp per entry.
struct SmallKeys {
    static constexpr int kSlotBits = 6;
    static constexpr uint32_t kSlots = 1u << kSlotBits;
    static_assert(kSlots >= 2 * kIndexThreshold, "the table stays at most half full");

    uint8_t slot[kSlots] = {};  // 1 + position in the arrays below; 0 when free
    serialize_hash_entry *entry[kIndexThreshold];
    uint64_t prefix[kIndexThreshold];
    uint32_t length[kIndexThreshold];
    uint32_t count = 0;

    static uint32_t home(uint64_t prefix, size_t length) {
        return static_cast<uint32_t>(((prefix + length) * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits));
    }

    // The entry whose key is `key` (`length` bytes, first word `word`), or
    // null; then `*free_slot` is where such a key goes.
    serialize_hash_entry *find(const char *key, size_t length, uint64_t word, uint32_t *free_slot) const {
        for (uint32_t i = home(word, length);; i = (i + 1) % kSlots) {
            uint32_t at = slot[i];
            if (at == 0) {
                *free_slot = i;
                return nullptr;
            }
            at--;
            if (prefix[at] == word && this->length[at] == length &&
                (length <= 8 || memcmp(entry[at]->key, key, length) == 0))
                return entry[at];
        }
    }

    void add(uint32_t free_slot, serialize_hash_entry *added, uint64_t word, size_t key_length) {
        entry[count] = added;
        prefix[count] = word;
        length[count] = static_cast<uint32_t>(key_length);
        slot[free_slot] = static_cast<uint8_t>(++count);
    }
};

bool decode_hash(RunBuilder &runs, serialize_value *hash, const uint8_t *body, int64_t avail,
                 int64_t *consumed, int depth) {
    if (depth > kMaxDepth || avail < 8) return false;
    begin_container(hash, SERIALIZE_HASH);
    serialize_hash_entry *tail = nullptr;
    uint32_t entries = 0;
    KeyIndex index;
    SmallKeys small;
    uint32_t count = get_be32(body + 4);
    int64_t p = 8;
    for (; count > 0 && p < avail; count--) {
        // An entry that starts must be complete: key length, key, letter.
        if (avail - p < 3) {
            release_contents(hash);
            return false;
        }
        uint32_t key_length = (static_cast<uint32_t>(body[p]) << 8) | body[p + 1];
        if (key_length > kMaxKeyLength || static_cast<int64_t>(key_length) >= avail - p - 2) {
            release_contents(hash);
            return false;
        }
        // The key ends at its length or at an embedded NUL.
        const char *key_bytes = reinterpret_cast<const char *>(body + p + 2);
        size_t key_text_length = key_text_length_of(key_bytes, key_length);
        bool can_read_word = avail - p - 2 >= 8;
        p += 2 + key_length;
        uint8_t letter = body[p++];
        if (!is_known_letter(letter)) continue;

        serialize_hash_entry *found = nullptr;
        uint64_t prefix = 0;
        uint32_t free_slot = 0;
        if (entries < kIndexThreshold) {
            prefix = key_prefix(key_bytes, key_text_length, can_read_word);
            found = small.find(key_bytes, key_text_length, prefix, &free_slot);
        } else {
            char key[kMaxKeyLength + 1];
            memcpy(key, key_bytes, key_text_length);
            key[key_text_length] = '\0';
            if (index.capacity != 0) {
                found = *index.slot_for(key);
            } else {
                // The index could not be allocated: walk the whole chain.
                for (serialize_hash_entry *e = static_cast<serialize_hash_entry *>(hash->data); e != nullptr;
                     e = e->next)
                    if (strcmp(e->key, key) == 0) {
                        found = e;
                        break;
                    }
            }
        }
        int64_t used = 0;
        if (found != nullptr) {
            // A repeated key keeps its first place and takes the later value.
            serialize_value *value = decode_root(runs, letter, body + p, avail - p, &used, depth + 1);
            if (value == nullptr) {
                release_contents(hash);
                return false;
            }
            p += used;
            release_tree(found->value);
            found->value = value;
            continue;
        }
        size_t size = decoded_size(letter, body + p, avail - p);
        size_t offset = entry_element_offset(key_text_length);
        char *link = size == 0 ? nullptr : runs.take(slot_size(offset, size), input_room(avail - p));
        if (link == nullptr) {
            release_contents(hash);
            return false;
        }
        serialize_hash_entry *entry = init_entry(link, key_bytes, key_text_length);
        serialize_value *element = slot_element(link, offset);
        if (!decode_into(runs, element, letter, body + p, avail - p, &used, depth + 1)) {
            free_link(entry);
            release_contents(hash);
            return false;
        }
        p += used;
        entry->value = element;
        append_link(hash, &tail, entry);
        if (entries < kIndexThreshold) small.add(free_slot, entry, prefix, key_text_length);
        entries++;
        if (index.capacity != 0 && index.used * 2 < index.capacity) {
            *index.slot_for(entry->key) = entry;
            index.used++;
        } else if (entries >= kIndexThreshold &&
                   !index.rebuild(static_cast<serialize_hash_entry *>(hash->data), entries)) {
            index.drop();  // out of memory: fall back to the linear search
        }
    }
    if (!give_empty_head(hash)) return false;
    *consumed = p;
    return true;
}

// Decodes (letter, body) into `node`, whose block has decoded_size bytes.
// On failure everything allocated below `node` is released.
bool decode_into(RunBuilder &runs, serialize_value *node, uint8_t letter, const uint8_t *body, int64_t avail,
                 int64_t *consumed, int depth) {
    switch (letter) {
        case kLetterInt:
            return decode_number(node, body, avail, consumed, false);
        case kLetterFloat:
            return decode_number(node, body, avail, consumed, true);
        case kLetterString:
            return decode_blob(node, body, consumed, SERIALIZE_STRING);
        case kLetterBytes:
            return decode_blob(node, body, consumed, SERIALIZE_BYTES);
        case kLetterArray:
            return decode_array(runs, node, body, avail, consumed, depth);
        case kLetterHash:
            return decode_hash(runs, node, body, avail, consumed, depth);
        default:
            return false;
    }
}

// Entry point of the exported _unpack functions: any (body, avail) is safe,
// and the position counter moves only when a value was decoded.
serialize_value *unpack(uint8_t letter, const uint8_t *body, int32_t avail, int32_t *pos) {
    if (body == nullptr || avail <= 0) return nullptr;
    int64_t consumed = 0;
    RunBuilder runs;
    serialize_value *node = decode_root(runs, letter, body, avail, &consumed, 1);
    if (node != nullptr && pos != nullptr) *pos += static_cast<int32_t>(consumed);
    return node;
}

}  // namespace

extern "C" {

// ---------------------------------------------------------------- sizes

int32_t serialize_pack_calc(const serialize_value *node) {
    return checked_length(node);
}

int32_t serialize_int_pack_calc(const serialize_value *node) {
    if (node == nullptr) return -1;
    return 2 + int_text_length(serialize_get_int(node));
}

int32_t serialize_float_pack_calc(const serialize_value *node) {
    if (node == nullptr) return -1;
    char text[64];
    return 2 + format_float(serialize_get_float(node), text);
}

int32_t serialize_string_pack_calc(const serialize_value *node) {
    if (node == nullptr || node->length < 0 || node->length > INT32_MAX - 5) return -1;
    return 5 + node->length;
}

int32_t serialize_bytes_pack_calc(const serialize_value *node) {
    return serialize_string_pack_calc(node);
}

int32_t serialize_array_pack_calc(const serialize_value *node) {
    if (node == nullptr || node->type != SERIALIZE_ARRAY) return -1;
    return checked_length(node);
}

int32_t serialize_hash_pack_calc(const serialize_value *node) {
    if (node == nullptr || node->type != SERIALIZE_HASH) return -1;
    return checked_length(node);
}

// ---------------------------------------------------------------- writers

int32_t serialize_int_pack(uint8_t *out, const serialize_value *node) {
    if (out == nullptr || node == nullptr) return -1;
    char text[12];
    return static_cast<int32_t>(
        write_number(out, kLetterInt, text, format_int(serialize_get_int(node), text)));
}

int32_t serialize_float_pack(uint8_t *out, const serialize_value *node) {
    if (out == nullptr || node == nullptr) return -1;
    char text[64];
    return static_cast<int32_t>(
        write_number(out, kLetterFloat, text, format_float(serialize_get_float(node), text)));
}

int32_t serialize_string_pack(uint8_t *out, const serialize_value *node, int32_t type) {
    if (out == nullptr || node == nullptr || node->length < 0 || node->length > INT32_MAX - 5) return -1;
    return static_cast<int32_t>(write_blob(out, node, type));
}

// The container writers check the tree first: a tree that the size
// functions refuse (over-long key, too deep, too large) writes nothing.
int32_t serialize_array_pack(uint8_t *out, const serialize_value *node) {
    int32_t size = serialize_array_pack_calc(node);
    if (out == nullptr || size < 0) return -1;
    return write_checked(out, size, node);
}

int32_t serialize_hash_pack(uint8_t *out, const serialize_value *node) {
    int32_t size = serialize_hash_pack_calc(node);
    if (out == nullptr || size < 0) return -1;
    return write_checked(out, size, node);
}

uint8_t *serialize(const serialize_value *node, int32_t *length) {
    if (length != nullptr) *length = 0;
    // Two walks (size, then bytes into an exact buffer) cost less on a large
    // tree than one walk into a buffer that keeps growing.
    int32_t size = checked_length(node);
    if (size < 0) return nullptr;
    uint8_t *buffer = static_cast<uint8_t *>(sv_malloc(static_cast<size_t>(size)));
    if (buffer == nullptr) return nullptr;
    write_checked(buffer, size, node);
    if (length != nullptr) *length = size;
    return buffer;
}

// ---------------------------------------------------------------- decoding

serialize_value *unserialize(const void *data, int32_t length) {
    if (data == nullptr || length < 1) return nullptr;
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    int64_t consumed = 0;
    RunBuilder runs;
    return decode_root(runs, bytes[0], bytes + 1, static_cast<int64_t>(length) - 1, &consumed, 1);
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
