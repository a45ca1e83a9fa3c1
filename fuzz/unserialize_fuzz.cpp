// Decodes arbitrary bytes. Whatever decodes must re-encode to bytes that
// decode to the same encoding again (encode is a fixed point after one
// round), and nothing may read outside the input. Mutations mostly edit
// the decoded tree (value_mutator.h); the dictionary (unserialize_fuzz.dict)
// holds the type letters and the length fields.
#include <stdlib.h>
#include <string.h>

#include <random>

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
    serialize_free(v);
    return 0;
}
