// Builds a value tree from the fuzzer's bytes, encodes it and checks that
// the decoded copy equals the original (floats compared through their
// "%f" text, as they travel).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "kiv_ipod.h"

namespace {

struct Input {
    const uint8_t *p;
    size_t n;
    uint8_t byte() {
        if (n == 0) return 0;
        n--;
        return *p++;
    }
    int32_t i32() {
        uint32_t v = 0;
        for (int k = 0; k < 4; k++) v = (v << 8) | byte();
        return static_cast<int32_t>(v);
    }
    std::string text(bool nul_free) {
        size_t len = byte() % 24;
        std::string s;
        for (size_t k = 0; k < len && n > 0; k++) {
            char c = static_cast<char>(byte());
            if (nul_free && c == '\0') c = 'x';
            s.push_back(c);
        }
        return s;
    }
};

serialize_value *build(Input &in, int depth) {
    switch (in.byte() % (depth > 8 ? 4 : 6)) {
        case 0:
            return serialize_int(in.i32());
        case 1: {
            int32_t bits = in.i32();
            float f;
            memcpy(&f, &bits, sizeof f);
            return serialize_float(f);
        }
        case 2:
            return serialize_string(in.text(true).c_str());
        case 3: {
            std::string b = in.text(false);
            return serialize_bytes(b.data(), static_cast<int32_t>(b.size()));
        }
        case 4: {
            serialize_value *a = serialize_array();
            int count = in.byte() % 6;
            for (int k = 0; k < count; k++) serialize_array_add(a, build(in, depth + 1));
            return a;
        }
        default: {
            serialize_value *h = serialize_hash();
            int count = in.byte() % 6;
            for (int k = 0; k < count; k++) {
                std::string key = in.text(true);
                serialize_hash_add(h, key.c_str(), build(in, depth + 1));
            }
            return h;
        }
    }
}

bool same(const serialize_value *a, const serialize_value *b) {
    if (serialize_type(a) != serialize_type(b)) return false;
    switch (serialize_type(a)) {
        case SERIALIZE_INT:
            return serialize_get_int(a) == serialize_get_int(b);
        case SERIALIZE_FLOAT: {
            char ta[64], tb[64];
            snprintf(ta, sizeof ta, "%f", static_cast<double>(serialize_get_float(a)));
            // The copy holds the value of the original's text: printing it
            // again must give the same text.
            snprintf(tb, sizeof tb, "%f", static_cast<double>(serialize_get_float(b)));
            return strcmp(ta, tb) == 0 || (strstr(ta, "nan") && strstr(tb, "nan"));
        }
        case SERIALIZE_STRING:
        case SERIALIZE_BYTES: {
            int32_t la = 0, lb = 0;
            const void *pa = serialize_get_bytes(a, &la);
            const void *pb = serialize_get_bytes(b, &lb);
            return la == lb && memcmp(pa, pb, static_cast<size_t>(la)) == 0;
        }
        case SERIALIZE_ARRAY: {
            int32_t n = serialize_array_count(a);
            if (n != serialize_array_count(b)) return false;
            for (int32_t k = 0; k < n; k++)
                if (!same(serialize_array_get(a, k), serialize_array_get(b, k))) return false;
            return true;
        }
        case SERIALIZE_HASH: {
            int32_t n = serialize_hash_count(a);
            if (n != serialize_hash_count(b)) return false;
            for (int32_t k = 0; k < n; k++) {
                const char *ka = serialize_hash_get_key(a, k);
                const char *kb = serialize_hash_get_key(b, k);
                if (kb == nullptr || strcmp(ka, kb) != 0) return false;
                if (!same(serialize_hash_get(a, ka), serialize_hash_get(b, kb))) return false;
            }
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in{data, size};
    serialize_value *tree = build(in, 0);
    int32_t len = 0;
    uint8_t *bytes = serialize(tree, &len);
    if (bytes == nullptr || len != serialize_pack_calc(tree)) abort();
    serialize_value *back = unserialize(bytes, len);
    if (back == nullptr || !same(tree, back)) abort();
    serialize_value *dup = serialize_dup(tree);
    if (dup == nullptr || !same(tree, dup)) abort();
    serialize_free(dup);
    serialize_free(back);
    free(bytes);
    serialize_free(tree);
    return 0;
}
