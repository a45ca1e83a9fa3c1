// The byte encoding of value trees: number texts and the encoder.
//
// Every value is a type letter and a body: numbers as decimal text behind a
// one-byte length, strings and byte strings behind a big-endian 32-bit
// length, arrays and hashes behind a 32-bit size and a 32-bit count. The
// encoder makes two passes over the tree (size, then bytes into a single
// buffer), each a walk with an explicit stack of the open containers
// instead of recursion, so the call stack does not grow with the depth of
// a tree. The decoder is in decoding.cpp.
#include <errno.h>
#include <locale.h>
#include <string.h>

#include <charconv>

#include "serialize/links.h"
#include "serialize/serialize_private.h"
#include "values.h"

namespace kiv_serialize {

int format_int(int32_t value, char *out) {
    int length = int_text_length(value);
    write_int_text(out, value, length);
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

// The integer of a node known to be one.
int32_t int_payload(const serialize_value *node) {
    int32_t value;
    memcpy(&value, node->data, 4);
    return value;
}

// Length of a float node's "%f" text, formatted in a scratch area of its
// own frame.
__attribute__((noinline)) int float_text_length(const serialize_value *node) {
    char text[64];
    return format_float(serialize_get_float(node), text);
}

// ---------------------------------------------------------------- tree walks
// The size pass, the write pass, the decoder, the deep copy and the printer
// walk containers with an explicit stack of at most kMaxDepth frames
// instead of recursing, so that the stack a value needs is one fixed frame
// per walk, whatever its depth (see kMaxDepth).

// One open container of an encoder walk: its next cell or entry, and where
// its encoding starts (write pass).
struct EncodeFrame {
    const void *link;
    size_t start;
    uint32_t count;
    bool hash;
};

// The next element of the innermost open container, or null when the walk
// is over; pops containers that have no element left and calls
// `close(frame)` for each. A hash entry's key goes through `key(entry)`,
// which returns false to stop the walk (over-long key, no room).
template <typename Key, typename Close>
const serialize_value *next_element(EncodeFrame *frames, int *open, bool *failed, Key key, Close close) {
    while (*open > 0) {
        EncodeFrame &f = frames[*open - 1];
        if (!f.hash) {
            const auto *cell = static_cast<const serialize_array_cell *>(f.link);
            if (cell != nullptr && cell->value != nullptr) {
                f.link = cell->next;
                f.count++;
                return cell->value;
            }
        } else {
            const auto *entry = static_cast<const serialize_hash_entry *>(f.link);
            if (entry != nullptr && entry->key != nullptr) {
                f.link = entry->next;
                f.count++;
                if (!key(entry)) {
                    *failed = true;
                    return nullptr;
                }
                // A null value is refused by the caller.
                if (entry->value == nullptr) *failed = true;
                return entry->value;
            }
        }
        if (!close(f)) {
            *failed = true;
            return nullptr;
        }
        --*open;
    }
    return nullptr;
}

// ---------------------------------------------------------------- size pass

int64_t encoded_length(const serialize_value *root) {
    EncodeFrame frames[kMaxDepth];
    int open = 0;
    bool failed = false;
    int64_t total = 0;
    auto key = [&total](const serialize_hash_entry *entry) {
        size_t key_length = strnlen(entry->key, kMaxKeyLength + 1);
        if (key_length > kMaxKeyLength) return false;
        total += 2 + static_cast<int64_t>(key_length);
        return true;
    };
    auto close = [](const EncodeFrame &) { return true; };
    for (const serialize_value *node = root;;) {
        if (node == nullptr) return kInvalid;
        switch (node->type) {
            case SERIALIZE_INT:
                total += 2 + int_text_length(int_payload(node));
                break;
            case SERIALIZE_FLOAT:
                total += 2 + float_text_length(node);
                break;
            case SERIALIZE_STRING:
            case SERIALIZE_BYTES:
                if (node->length < 0) return kInvalid;
                total += 5 + static_cast<int64_t>(node->length);
                break;
            case SERIALIZE_ARRAY:
            case SERIALIZE_HASH:
                if (open >= kMaxDepth) return kInvalid;
                frames[open++] = EncodeFrame{node->data, 0, 0, node->type == SERIALIZE_HASH};
                total += 9;
                break;
            default:
                return kInvalid;
        }
        if (total > kMaxEncoded) return kInvalid;
        node = next_element(frames, &open, &failed, key, close);
        if (failed) return kInvalid;
        if (node == nullptr) return total;
    }
}

// The size pass refuses a total past kMaxEncoded as it adds, so what it
// returns is -1 or fits an int32_t.
int32_t checked_length(const serialize_value *node) {
    return static_cast<int32_t>(encoded_length(node));
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

// The float's text at `out` (room for 2 + 64 bytes); kept out of the walk's
// frame, like every scratch area.
__attribute__((noinline)) bool write_float(Output &out, const serialize_value *node) {
    char text[64];
    int length = format_float(serialize_get_float(node), text);
    if (!out.reserve(2 + static_cast<size_t>(length))) return false;
    out.length += write_number(out.end(), kLetterFloat, text, length);
    return true;
}

bool write_tree(Output &out, const serialize_value *root) {
    EncodeFrame frames[kMaxDepth];
    int open = 0;
    bool failed = false;
    auto key = [&out](const serialize_hash_entry *entry) {
        size_t key_length = strnlen(entry->key, kMaxKeyLength + 1);
        if (key_length > kMaxKeyLength || !out.reserve(2 + key_length)) return false;
        uint8_t *at = out.end();
        at[0] = static_cast<uint8_t>(key_length >> 8);
        at[1] = static_cast<uint8_t>(key_length);
        memcpy(at + 2, entry->key, key_length);
        out.length += 2 + key_length;
        return true;
    };
    auto close = [&out](const EncodeFrame &f) {
        uint8_t *header = out.bytes + f.start;
        uint32_t size = static_cast<uint32_t>(out.length - f.start - 5);
        if (f.hash) {
            header[0] = kLetterHash;
            // The size counts four bytes for each two-byte key length field.
            size += 2 * f.count;
        } else {
            header[0] = kLetterArray;
        }
        put_be32(header + 1, size);
        put_be32(header + 5, f.count);
        return true;
    };
    for (const serialize_value *node = root;;) {
        if (node == nullptr) return false;
        switch (node->type) {
            case SERIALIZE_INT: {
                int32_t value = int_payload(node);
                int length = int_text_length(value);
                if (!out.reserve(2 + static_cast<size_t>(length))) return false;
                // The digits go straight into place; their count follows the letter.
                uint8_t *at = out.end();
                char *digits = reinterpret_cast<char *>(at + 2);
                write_int_text(digits, value, length);
                at[0] = kLetterInt;
                at[1] = static_cast<uint8_t>(length);
                out.length += 2 + static_cast<size_t>(length);
                break;
            }
            case SERIALIZE_FLOAT:
                if (!write_float(out, node)) return false;
                break;
            case SERIALIZE_STRING:
            case SERIALIZE_BYTES:
                if (node->length < 0 || !out.reserve(5 + static_cast<size_t>(node->length))) return false;
                out.length += write_blob(out.end(), node, node->type);
                break;
            case SERIALIZE_ARRAY:
            case SERIALIZE_HASH:
                if (open >= kMaxDepth || !out.reserve(9)) return false;
                frames[open++] = EncodeFrame{node->data, out.length, 0, node->type == SERIALIZE_HASH};
                out.length += 9;
                break;
            default:
                return false;
        }
        node = next_element(frames, &open, &failed, key, close);
        if (failed) return false;
        if (node == nullptr) return true;
    }
}

// Writes a tree that the size pass accepted into `bytes`, which has exactly
// `size` bytes.
int32_t write_checked(uint8_t *bytes, int32_t size, const serialize_value *node) {
    Output out{bytes, 0, static_cast<size_t>(size)};
    return write_tree(out, node) ? static_cast<int32_t>(out.length) : -1;
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

}  // extern "C"
