// Builds a value tree from the fuzzer's bytes, encodes it and checks that
// the decoded copy and the deep copy equal the original (floats compared
// through their "%f" text, as they travel). The rest of the bytes then
// drive the same changes on all three trees, which must stay equal: a
// decoded or copied tree keeps its elements with their cells and entries,
// a tree built from constructors does not.
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

// Applies one change, chosen by `op`, to `tree` with `value` (null for a
// change that takes none). Returns whether the tree took `value` over.
bool change(serialize_value *tree, uint8_t op, int32_t index, serialize_value *value) {
    if (serialize_type(tree) == SERIALIZE_HASH) {
        if (value == nullptr) return false;
        char key[3] = {'k', static_cast<char>('0' + index), '\0'};
        serialize_hash_add(tree, key, value);
        return true;
    }
    int32_t count = serialize_array_count(tree);
    bool fits = index == 0 || index < count;
    switch (op % 5) {
        case 0:
            serialize_array_del(tree, index);
            return false;
        case 1:
            serialize_array_set(tree, index, value);
            return fits;
        case 2:
            serialize_array_insert(tree, index, value);
            return fits;
        case 3:
            serialize_array_add(tree, value);
            return true;
        default: {
            serialize_value *inner = serialize_array_get(tree, index);
            if (serialize_type(inner) == SERIALIZE_ARRAY) serialize_array_del(inner, 0);
            if (serialize_type(inner) == SERIALIZE_HASH)
                serialize_hash_add(inner, "k0", serialize_int(index));
            return false;
        }
    }
}

void change_alike(Input &in, serialize_value *const trees[3]) {
    if (serialize_type(trees[0]) != SERIALIZE_ARRAY && serialize_type(trees[0]) != SERIALIZE_HASH) return;
    for (int step = 0; step < 32 && in.n > 0; step++) {
        uint8_t op = in.byte();
        int32_t index = in.byte() % 8;
        bool takes_value = op % 5 >= 1 && op % 5 <= 3;
        Input after = in;
        for (int k = 0; k < 3; k++) {
            Input from = in;
            serialize_value *value = takes_value ? build(from, 6) : nullptr;
            after = from;
            if (!change(trees[k], op, index, value)) serialize_free(value);
        }
        in = after;
        if (!same(trees[0], trees[1]) || !same(trees[0], trees[2])) abort();
    }
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
    serialize_value *const trees[3] = {tree, back, dup};
    change_alike(in, trees);
    serialize_free(dup);
    serialize_free(back);
    free(bytes);
    serialize_free(tree);
    return 0;
}
