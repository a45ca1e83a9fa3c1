// Decodes arbitrary bytes. Whatever decodes must re-encode to bytes that
// decode to the same encoding again (encode is a fixed point after one
// round), and nothing may read outside the input. Every container reads
// the same through the public functions (count, index in order and
// backwards, by key) as its links say, also after elements are deleted. Mutations mostly edit
// the decoded tree (value_mutator.h); the dictionary (unserialize_fuzz.dict)
// holds the type letters and the length fields.
#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "kiv_ipod.h"
#include "value_mutator.h"

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t *data, size_t size, size_t max_size, unsigned int seed) {
    std::minstd_rand rng(seed);
    if (rng() % 4 != 0) {
        size_t n = value_mutator::mutate(data, size, max_size, static_cast<unsigned int>(rng()));
        if (n != 0) return n;
    }
    return LLVMFuzzerMutate(data, size, max_size);
}

extern "C" size_t LLVMFuzzerCustomCrossOver(const uint8_t *data1, size_t size1, const uint8_t *data2,
                                            size_t size2, uint8_t *out, size_t max_out_size,
                                            unsigned int seed) {
    return value_mutator::cross_over(data1, size1, data2, size2, out, max_out_size, seed);
}

// The containers of the tree `root` read through the public functions
// agree with their links.
static void check_lists(const serialize_value *root) {
    std::vector<const serialize_value *> todo{root};
    while (!todo.empty()) {
        const serialize_value *v = todo.back();
        todo.pop_back();
        std::vector<const void *> links;
        if (serialize_type(v) == SERIALIZE_ARRAY) {
            for (auto *c = static_cast<const serialize_array_cell *>(v->data); c && c->value; c = c->next)
                links.push_back(c);
            if (serialize_array_count(v) != static_cast<int32_t>(links.size())) abort();
            for (size_t i = links.size(); i-- > 0;) {
                const auto *cell = static_cast<const serialize_array_cell *>(links[i]);
                if (serialize_array_get(v, static_cast<int32_t>(i)) != cell->value) abort();
                todo.push_back(cell->value);
            }
            if (serialize_array_get(v, static_cast<int32_t>(links.size())) != nullptr) abort();
        } else if (serialize_type(v) == SERIALIZE_HASH) {
            for (auto *e = static_cast<const serialize_hash_entry *>(v->data); e && e->key; e = e->next)
                links.push_back(e);
            if (serialize_hash_count(v) != static_cast<int32_t>(links.size())) abort();
            for (size_t i = 0; i < links.size(); i++) {
                const auto *entry = static_cast<const serialize_hash_entry *>(links[i]);
                const char *key = serialize_hash_get_key(v, static_cast<int32_t>(i));
                if (key != entry->key || serialize_hash_get(v, std::string(key).c_str()) != entry->value)
                    abort();
                todo.push_back(entry->value);
            }
        }
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (1u << 20)) return 0;
    serialize_value *v = unserialize(data, static_cast<int32_t>(size));
    if (v == nullptr) return 0;
    int32_t len1 = 0;
    uint8_t *enc1 = serialize(v, &len1);
    if (enc1 != nullptr) {
        serialize_value *w = unserialize(enc1, len1);
        if (w == nullptr) abort();
        int32_t len2 = 0;
        uint8_t *enc2 = serialize(w, &len2);
        if (enc2 == nullptr || len1 != len2 || memcmp(enc1, enc2, static_cast<size_t>(len1)) != 0) abort();
        free(enc2);
        serialize_free(w);
        free(enc1);
    }
    serialize_print(v);
    check_lists(v);
    // Deletions at places the input picks, read again.
    for (size_t i = 0; i < size && i < 8 && serialize_array_count(v) > 0; i++) {
        serialize_array_del(v, data[i] % serialize_array_count(v));
        check_lists(v);
    }
    serialize_free(v);
    return 0;
}
