// The byte encoding of value trees.
//
// Every value is a type letter and a body: numbers as decimal text behind a
// one-byte length, strings and byte strings behind a big-endian 32-bit
// length, arrays and hashes behind a 32-bit size and a 32-bit count. The
// encoder makes two passes over the tree (size, then bytes into a single
// buffer); the decoder builds containers with a private tail pointer and an
// index of keys for large hashes, so both are linear in the input. The
// decoder never reads past the bytes it is given: lengths or headers that
// run past the end make the whole result null.
#include <errno.h>
#include <locale.h>
#include <string.h>

#include <charconv>

#include "internal.h"
#include "serialize/serialize_private.h"

namespace kiv_serialize {

int format_int(int32_t value, char *out) {
    char digits[10];
    int n = 0;
    uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    int length = 0;
    if (value < 0) out[length++] = '-';
    while (n > 0) out[length++] = digits[--n];
    return length;
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

int32_t parse_int(const char *text, size_t length) {
    // Common case first: an optional minus and at most nine digits, which
    // cannot overflow. Anything else takes the general parser, which gives
    // the same value for these texts too.
    size_t i = length > 0 && text[0] == '-' ? 1 : 0;
    if (i < length && length - i <= 9 && static_cast<unsigned>(text[i] - '0') <= 9) {
        uint32_t value = 0;
        for (; i < length; i++) {
            unsigned digit = static_cast<unsigned>(text[i] - '0');
            if (digit > 9) break;
            value = value * 10 + digit;
        }
        int32_t magnitude = static_cast<int32_t>(value);
        return text[0] == '-' ? -magnitude : magnitude;
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
    int length = value < 0 ? 2 : 1;
    while (magnitude >= 10) {
        magnitude /= 10;
        length++;
    }
    return length;
}

// ---------------------------------------------------------------- size pass

int64_t encoded_length(const serialize_value *node, int depth) {
    if (node == nullptr) return kInvalid;
    switch (node->type) {
        case SERIALIZE_INT:
            return 2 + int_text_length(serialize_get_int(node));
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
// These run only on trees that the size pass accepted.

uint32_t write_value(uint8_t *out, const serialize_value *node);

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

uint32_t write_array(uint8_t *out, const serialize_value *node) {
    uint32_t count = 0;
    uint32_t pos = 9;
    const serialize_array_cell *cell = static_cast<const serialize_array_cell *>(node->data);
    for (; cell != nullptr && cell->value != nullptr; cell = cell->next) {
        pos += write_value(out + pos, cell->value);
        count++;
    }
    out[0] = kLetterArray;
    put_be32(out + 1, pos - 5);
    put_be32(out + 5, count);
    return pos;
}

uint32_t write_hash(uint8_t *out, const serialize_value *node) {
    uint32_t count = 0;
    uint32_t pos = 9;
    const serialize_hash_entry *entry = static_cast<const serialize_hash_entry *>(node->data);
    for (; entry != nullptr && entry->key != nullptr; entry = entry->next) {
        size_t key_length = strlen(entry->key);
        out[pos] = static_cast<uint8_t>(key_length >> 8);
        out[pos + 1] = static_cast<uint8_t>(key_length);
        memcpy(out + pos + 2, entry->key, key_length);
        pos += 2 + static_cast<uint32_t>(key_length);
        pos += write_value(out + pos, entry->value);
        count++;
    }
    out[0] = kLetterHash;
    // The size counts four bytes for each two-byte key length field.
    put_be32(out + 1, pos - 5 + 2 * count);
    put_be32(out + 5, count);
    return pos;
}

uint32_t write_value(uint8_t *out, const serialize_value *node) {
    switch (node->type) {
        case SERIALIZE_INT: {
            char text[12];
            return write_number(out, kLetterInt, text, format_int(serialize_get_int(node), text));
        }
        case SERIALIZE_FLOAT: {
            char text[64];
            return write_number(out, kLetterFloat, text, format_float(serialize_get_float(node), text));
        }
        case SERIALIZE_STRING:
        case SERIALIZE_BYTES:
            return write_blob(out, node, node->type);
        case SERIALIZE_ARRAY:
            return write_array(out, node);
        case SERIALIZE_HASH:
            return write_hash(out, node);
        default:
            return 0;
    }
}

// ---------------------------------------------------------------- decoding

// Result of decoding one element inside a container.
enum class Decoded { kValue, kSkipped, kFailed };

serialize_value *decode_body(uint8_t letter, const uint8_t *body, int64_t avail, int64_t *consumed,
                             int depth);

serialize_value *decode_number(const uint8_t *body, int64_t avail, int64_t *consumed, bool is_float) {
    if (avail < 1) return nullptr;
    size_t n = body[0];
    if (static_cast<int64_t>(n) > avail - 1) return nullptr;
    *consumed = 1 + static_cast<int64_t>(n);
    // The text ends at its length or at an embedded NUL, whichever is first.
    // The integer parser stops at the first byte that is not a digit (a NUL
    // included), so it reads the body in place; strtod needs a terminated
    // copy.
    if (!is_float) return serialize_int(parse_int(reinterpret_cast<const char *>(body + 1), n));
    char text[256];
    memcpy(text, body + 1, n);
    text[n] = '\0';
    return serialize_float(parse_float(text));
}

serialize_value *decode_blob(const uint8_t *body, int64_t avail, int64_t *consumed, int32_t type) {
    if (avail < 4) return nullptr;
    uint32_t length = get_be32(body);
    if (length > static_cast<uint32_t>(INT32_MAX) || static_cast<int64_t>(length) > avail - 4) return nullptr;
    serialize_value *node = serialize_blob(body + 4, static_cast<int32_t>(length), type);
    if (node != nullptr) *consumed = 4 + static_cast<int64_t>(length);
    return node;
}

// Reads one element at `p`: its letter, then its body. Unknown letters are
// skipped (only the letter byte is consumed).
Decoded decode_element(const uint8_t *body, int64_t avail, int64_t *p, int depth, serialize_value **out) {
    uint8_t letter = body[(*p)++];
    switch (letter) {
        case kLetterInt:
        case kLetterFloat:
        case kLetterString:
        case kLetterBytes:
        case kLetterArray:
        case kLetterHash:
            break;
        default:
            return Decoded::kSkipped;
    }
    int64_t consumed = 0;
    *out = decode_body(letter, body + *p, avail - *p, &consumed, depth);
    if (*out == nullptr) return Decoded::kFailed;
    *p += consumed;
    return Decoded::kValue;
}

serialize_value *decode_array(const uint8_t *body, int64_t avail, int64_t *consumed, int depth) {
    if (depth > kMaxDepth || avail < 8) return nullptr;
    serialize_value *array = new_container(SERIALIZE_ARRAY);
    if (array == nullptr) return nullptr;
    serialize_array_cell *tail = static_cast<serialize_array_cell *>(array->data);
    uint32_t count = get_be32(body + 4);
    int64_t p = 8;
    for (; count > 0 && p < avail; count--) {
        serialize_value *element = nullptr;
        Decoded result = decode_element(body, avail, &p, depth + 1, &element);
        if (result == Decoded::kFailed) {
            serialize_free(array);
            return nullptr;
        }
        if (result == Decoded::kSkipped) continue;
        if (tail->value != nullptr) {
            serialize_array_cell *cell = serialize_array_new();
            if (cell == nullptr) {
                serialize_free(element);
                serialize_free(array);
                return nullptr;
            }
            tail->next = cell;
            tail = cell;
        }
        tail->value = element;
    }
    *consumed = p;
    return array;
}

// Open-addressing index of the entries of a hash being decoded, so that
// duplicate keys are found without walking the entry list. Small hashes are
// searched linearly and never build it.
constexpr uint32_t kIndexThreshold = 16;

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

// Keys of a small hash being decoded, for the duplicate check: each key's
// length and first eight bytes (zero padded) are compared before the text,
// so a new key costs a few integer compares instead of a strcmp per entry.
struct SmallKeys {
    serialize_hash_entry *entry[kIndexThreshold];
    uint64_t prefix[kIndexThreshold];
    uint32_t length[kIndexThreshold];
};

serialize_value *decode_hash(const uint8_t *body, int64_t avail, int64_t *consumed, int depth) {
    if (depth > kMaxDepth || avail < 8) return nullptr;
    // The entries are linked as they come, each with its key in its own
    // block; the head is the first entry, or an empty head at the end.
    serialize_value *hash = static_cast<serialize_value *>(sv_malloc(sizeof(serialize_value)));
    if (hash == nullptr) return nullptr;
    hash->type = SERIALIZE_HASH;
    hash->data = nullptr;
    hash->length = 0;
    serialize_hash_entry *tail = nullptr;
    uint32_t entries = 0;
    KeyIndex index;
    SmallKeys small;
    uint32_t count = get_be32(body + 4);
    int64_t p = 8;
    for (; count > 0 && p < avail; count--) {
        // An entry that starts must be complete: key length, key, letter.
        if (avail - p < 3) {
            serialize_free(hash);
            return nullptr;
        }
        uint32_t key_length = (static_cast<uint32_t>(body[p]) << 8) | body[p + 1];
        if (key_length > kMaxKeyLength || static_cast<int64_t>(key_length) >= avail - p - 2) {
            serialize_free(hash);
            return nullptr;
        }
        // The key ends at its length or at an embedded NUL. The copy is
        // zero padded so that its first eight bytes can be read as one word.
        const char *key_bytes = reinterpret_cast<const char *>(body + p + 2);
        size_t key_text_length = strnlen(key_bytes, key_length);
        char key[kMaxKeyLength + 1 + 8];
        memcpy(key, key_bytes, key_text_length);
        memset(key + key_text_length, 0, 8);
        p += 2 + key_length;

        serialize_value *value = nullptr;
        Decoded result = decode_element(body, avail, &p, depth + 1, &value);
        if (result == Decoded::kFailed) {
            serialize_free(hash);
            return nullptr;
        }
        if (result == Decoded::kSkipped) continue;

        uint64_t prefix;
        memcpy(&prefix, key, 8);
        serialize_hash_entry *found = nullptr;
        if (index.capacity != 0) {
            found = *index.slot_for(key);
        } else if (entries > kIndexThreshold) {
            // The index could not be allocated: walk the whole chain.
            for (serialize_hash_entry *e = static_cast<serialize_hash_entry *>(hash->data); e != nullptr;
                 e = e->next)
                if (strcmp(e->key, key) == 0) {
                    found = e;
                    break;
                }
        } else {
            uint32_t seen = entries < kIndexThreshold ? entries : kIndexThreshold;
            for (uint32_t i = 0; i < seen; i++) {
                if (small.prefix[i] == prefix && small.length[i] == key_text_length &&
                    (key_text_length <= 8 || memcmp(small.entry[i]->key, key, key_text_length) == 0)) {
                    found = small.entry[i];
                    break;
                }
            }
        }
        if (found != nullptr) {
            // A repeated key keeps its first place and takes the later value.
            serialize_free(found->value);
            found->value = value;
            continue;
        }
        serialize_hash_entry *entry = new_entry_with_key(key, key_text_length);
        if (entry == nullptr) {
            serialize_free(value);
            serialize_free(hash);
            return nullptr;
        }
        entry->value = value;
        if (tail == nullptr)
            hash->data = entry;
        else
            tail->next = entry;
        tail = entry;
        if (entries < kIndexThreshold) {
            small.entry[entries] = entry;
            small.prefix[entries] = prefix;
            small.length[entries] = static_cast<uint32_t>(key_text_length);
        }
        entries++;
        if (index.capacity != 0 && index.used * 2 < index.capacity) {
            *index.slot_for(entry->key) = entry;
            index.used++;
        } else if (entries >= kIndexThreshold &&
                   !index.rebuild(static_cast<serialize_hash_entry *>(hash->data), entries)) {
            index.drop();  // out of memory: fall back to the linear search
        }
    }
    if (hash->data == nullptr) {
        hash->data = serialize_hash_new();
        if (hash->data == nullptr) {
            free(hash);
            return nullptr;
        }
    }
    *consumed = p;
    return hash;
}

serialize_value *decode_body(uint8_t letter, const uint8_t *body, int64_t avail, int64_t *consumed,
                             int depth) {
    switch (letter) {
        case kLetterInt:
            return decode_number(body, avail, consumed, false);
        case kLetterFloat:
            return decode_number(body, avail, consumed, true);
        case kLetterString:
            return decode_blob(body, avail, consumed, SERIALIZE_STRING);
        case kLetterBytes:
            return decode_blob(body, avail, consumed, SERIALIZE_BYTES);
        case kLetterArray:
            return decode_array(body, avail, consumed, depth);
        case kLetterHash:
            return decode_hash(body, avail, consumed, depth);
        default:
            return nullptr;
    }
}

// Entry point of the exported _unpack functions: any (body, avail) is safe,
// and the position counter moves only when a value was decoded.
serialize_value *unpack(uint8_t letter, const uint8_t *body, int32_t avail, int32_t *pos) {
    if (body == nullptr || avail <= 0) return nullptr;
    int64_t consumed = 0;
    serialize_value *node = decode_body(letter, body, avail, &consumed, 1);
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
    if (out == nullptr || serialize_array_pack_calc(node) < 0) return -1;
    return static_cast<int32_t>(write_array(out, node));
}

int32_t serialize_hash_pack(uint8_t *out, const serialize_value *node) {
    if (out == nullptr || serialize_hash_pack_calc(node) < 0) return -1;
    return static_cast<int32_t>(write_hash(out, node));
}

uint8_t *serialize(const serialize_value *node, int32_t *length) {
    if (length != nullptr) *length = 0;
    int32_t size = checked_length(node);
    if (size < 0) return nullptr;
    uint8_t *buffer = static_cast<uint8_t *>(sv_malloc(static_cast<size_t>(size)));
    if (buffer == nullptr) return nullptr;
    write_value(buffer, node);
    if (length != nullptr) *length = size;
    return buffer;
}

// ---------------------------------------------------------------- decoding

serialize_value *unserialize(const void *data, int32_t length) {
    if (data == nullptr || length < 1) return nullptr;
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    int64_t consumed = 0;
    return decode_body(bytes[0], bytes + 1, static_cast<int64_t>(length) - 1, &consumed, 1);
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
