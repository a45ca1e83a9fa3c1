#include "wire.h"

#include <stdio.h>
#include <stdlib.h>

namespace simd {

Value Value::integer(int32_t v) {
    Value r;
    r.kind = Int;
    r.i = v;
    return r;
}

Value Value::real(double v) {
    Value r;
    r.kind = Float;
    r.f = v;
    return r;
}

Value Value::string(std::string text) {
    Value r;
    r.kind = String;
    r.s = std::move(text);
    return r;
}

Value Value::bytes(std::string data) {
    Value r;
    r.kind = Bytes;
    r.s = std::move(data);
    return r;
}

Value Value::array(std::vector<Value> elements) {
    Value r;
    r.kind = Array;
    r.items = std::move(elements);
    return r;
}

Value Value::hash(std::vector<std::pair<std::string, Value>> members) {
    Value r;
    r.kind = Hash;
    for (auto &m : members) r.add(m.first, std::move(m.second));
    return r;
}

Value &Value::add(const std::string &key, Value v) {
    for (auto &e : entries) {
        if (e.first == key) {
            e.second = std::move(v);
            return e.second;
        }
    }
    entries.emplace_back(key, std::move(v));
    return entries.back().second;
}

const Value *Value::find(const std::string &key) const {
    if (kind != Hash) return nullptr;
    // From the back: when a received hash repeats a key, the later value wins.
    for (auto it = entries.rbegin(); it != entries.rend(); ++it)
        if (it->first == key) return &it->second;
    return nullptr;
}

static void put_be32(std::string &out, uint32_t v) {
    out.push_back(static_cast<char>(v >> 24));
    out.push_back(static_cast<char>(v >> 16));
    out.push_back(static_cast<char>(v >> 8));
    out.push_back(static_cast<char>(v));
}

static void set_be32(std::string &out, size_t at, uint32_t v) {
    out[at] = static_cast<char>(v >> 24);
    out[at + 1] = static_cast<char>(v >> 16);
    out[at + 2] = static_cast<char>(v >> 8);
    out[at + 3] = static_cast<char>(v);
}

uint32_t read_be32(const uint8_t *p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

void encode(const Value &v, std::string &out) {
    char text[64];
    switch (v.kind) {
        case Value::Int: {
            int n = snprintf(text, sizeof text, "%i", v.i);
            out.push_back('i');
            out.push_back(static_cast<char>(n));
            out.append(text, static_cast<size_t>(n));
            break;
        }
        case Value::Float: {
            // Wide enough for any finite float printed in fixed notation.
            char wide[512];
            int n = snprintf(wide, sizeof wide, "%f", static_cast<double>(static_cast<float>(v.f)));
            out.push_back('f');
            out.push_back(static_cast<char>(n));
            out.append(wide, static_cast<size_t>(n));
            break;
        }
        case Value::String:
        case Value::Bytes:
            out.push_back(v.kind == Value::String ? 's' : 'b');
            put_be32(out, static_cast<uint32_t>(v.s.size()));
            out += v.s;
            break;
        case Value::Array: {
            size_t start = out.size();
            out.push_back('a');
            put_be32(out, 0);
            put_be32(out, static_cast<uint32_t>(v.items.size()));
            for (auto &item : v.items) encode(item, out);
            set_be32(out, start + 1, static_cast<uint32_t>(out.size() - start - 5));
            break;
        }
        case Value::Hash: {
            size_t start = out.size();
            out.push_back('h');
            put_be32(out, 0);
            put_be32(out, static_cast<uint32_t>(v.entries.size()));
            for (auto &e : v.entries) {
                out.push_back(static_cast<char>((e.first.size() >> 8) & 0xFF));
                out.push_back(static_cast<char>(e.first.size() & 0xFF));
                out += e.first;
                encode(e.second, out);
            }
            // The size field counts four bytes per key length, which takes two.
            set_be32(out, start + 1, static_cast<uint32_t>(out.size() - start - 5 + 2 * v.entries.size()));
            break;
        }
    }
}

std::string encode(const Value &v) {
    std::string out;
    encode(v, out);
    return out;
}

namespace {

struct Reader {
    const uint8_t *p;
    size_t len;
    size_t pos = 0;
    size_t left;  // values still allowed
    bool too_many = false;

    bool need(size_t n) const { return len - pos >= n; }

    bool value(Value &out, int depth) {
        if (depth > 32 || !need(1)) return false;
        if (left == 0) {
            too_many = true;
            return false;
        }
        left--;
        uint8_t letter = p[pos++];
        switch (letter) {
            case 'i':
            case 'f': {
                if (!need(1)) return false;
                size_t n = p[pos++];
                if (n == 0 || !need(n)) return false;
                std::string text(reinterpret_cast<const char *>(p + pos), n);
                pos += n;
                char *end = nullptr;
                if (letter == 'i') {
                    long long v = strtoll(text.c_str(), &end, 10);
                    if (*end != '\0' || v < INT32_MIN || v > INT32_MAX) return false;
                    out = Value::integer(static_cast<int32_t>(v));
                } else {
                    double v = strtod(text.c_str(), &end);
                    if (*end != '\0') return false;
                    out = Value::real(v);
                }
                return true;
            }
            case 's':
            case 'b': {
                if (!need(4)) return false;
                size_t n = read_be32(p + pos);
                pos += 4;
                if (!need(n)) return false;
                std::string data(reinterpret_cast<const char *>(p + pos), n);
                pos += n;
                out = letter == 's' ? Value::string(std::move(data)) : Value::bytes(std::move(data));
                return true;
            }
            case 'a':
            case 'h': {
                if (!need(8)) return false;
                uint32_t count = read_be32(p + pos + 4);
                pos += 8;
                out = letter == 'a' ? Value::array() : Value::hash();
                for (uint32_t k = 0; k < count; k++) {
                    // Every element takes at least two bytes: a hostile count
                    // cannot make us loop (or reserve) beyond the data.
                    if (!need(2)) return false;
                    if (letter == 'a') {
                        Value item;
                        if (!value(item, depth + 1)) return false;
                        out.items.push_back(std::move(item));
                    } else {
                        size_t klen = (size_t(p[pos]) << 8) | p[pos + 1];
                        pos += 2;
                        if (klen > 255 || !need(klen)) return false;
                        std::string key(reinterpret_cast<const char *>(p + pos), klen);
                        pos += klen;
                        Value item;
                        if (!value(item, depth + 1)) return false;
                        // Appended without a duplicate search, which would make
                        // a large hostile hash quadratic; find() takes the last.
                        out.entries.emplace_back(std::move(key), std::move(item));
                    }
                }
                return true;
            }
            default:
                return false;
        }
    }
};

}  // namespace

bool decode(const uint8_t *data, size_t len, Value &out, size_t max_values, bool *too_many) {
    Reader r{data, len, 0, max_values};
    bool ok = r.value(out, 0) && r.pos == len;
    if (too_many) *too_many = r.too_many;
    return ok;
}

std::string frame(uint32_t tid, uint8_t opcode, const std::string &payload) {
    std::string out(kHeaderSize, '\0');
    out[0] = static_cast<char>(kMarker);
    set_be32(out, 4, tid);
    out[8] = static_cast<char>(opcode);
    set_be32(out, 12, static_cast<uint32_t>(payload.size()));
    out += payload;
    return out;
}

}  // namespace simd
