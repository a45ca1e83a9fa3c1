// Decodes arbitrary bytes. Whatever decodes must re-encode to bytes that
// decode to the same encoding again (encode is a fixed point after one
// round), and nothing may read outside the input.
#include <stdlib.h>
#include <string.h>

#include "kiv_ipod.h"

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
