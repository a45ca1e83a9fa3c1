// Values and framing of the daemon protocol, as the simulator sees them.
//
// The simulator carries its own small codec instead of the library's so
// that a fault in one side's encoding shows up as a test failure instead
// of cancelling out. The decoder is strict: it never reads past the bytes
// it is given and rejects anything that is not one well-formed value.
#ifndef KIV_SIMD_WIRE_H
#define KIV_SIMD_WIRE_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "protocol/protocol.h"

namespace simd {

struct Value {
    enum Kind { Int, Float, String, Bytes, Array, Hash };

    Kind kind = Int;
    int32_t i = 0;
    double f = 0.0;
    std::string s;                                       // String and Bytes
    std::vector<Value> items;                            // Array
    std::vector<std::pair<std::string, Value>> entries;  // Hash, in order

    static Value integer(int32_t v);
    static Value real(double v);
    static Value string(std::string text);
    static Value bytes(std::string data);
    static Value array(std::vector<Value> elements = {});
    static Value hash(std::vector<std::pair<std::string, Value>> members = {});

    // Hash helpers: add appends (or overwrites an existing key), find returns
    // null for a missing key.
    Value &add(const std::string &key, Value v);
    const Value *find(const std::string &key) const;
    bool is_int() const { return kind == Int; }
};

// Appends the encoding of `v` to `out`.
void encode(const Value &v, std::string &out);
std::string encode(const Value &v);

// Decodes exactly one value that must fill all `len` bytes. Returns false
// for a truncated value, an unknown type letter, trailing bytes, nesting
// deeper than 32 levels, a key longer than 255 bytes, or more than
// `max_values` values in all (then `*too_many`, when given, is set): the
// limit stops the decoding early, so that its cost stays bounded whatever
// the payload.
bool decode(const uint8_t *data, size_t len, Value &out, size_t max_values = SIZE_MAX,
            bool *too_many = nullptr);

// Frame layout and payload limit: protocol/protocol.h.
constexpr size_t kHeaderSize = IPOD_HEADER_SIZE;
constexpr uint8_t kMarker = IPOD_HEADER_MARKER;
constexpr uint32_t kMaxPayload = IPOD_MAX_PAYLOAD;

std::string frame(uint32_t tid, uint8_t opcode, const std::string &payload);
uint32_t read_be32(const uint8_t *p);

}  // namespace simd

#endif
