/* A tiny program built against the installed library. */
#include <kiv_ipod.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(void) {
    static const unsigned char expected[] = {0x68, 0,   0,   0,   0x11, 0,   0,   0,   1, 0,
                                             6,    'r', 'e', 's', 'u',  'l', 't', 'i', 1, '1'};
    serialize_value *v = serialize_hash();
    serialize_hash_add(v, "result", serialize_int(1));
    int32_t len = 0;
    uint8_t *bytes = serialize(v, &len);
    int ok =
        bytes != NULL && len == (int32_t)sizeof expected && memcmp(bytes, expected, sizeof expected) == 0;
    free(bytes);
    serialize_free(v);
    puts(ok ? "consumer ok" : "consumer: wrong encoding");
    return ok ? 0 : 1;
}
