/* Compiled as strict C99: the public header must be plain C. */
#include "kiv_ipod.h"

static int on_event(kiv_ipod_client *c, kiv_ipod_event *e, void *d) {
    (void)c;
    (void)d;
    return kiv_ipod_event_type(e);
}

int c99_header_check(void);
int c99_header_check(void) {
    serialize_value *v = serialize_hash();
    serialize_hash_add(v, "result", serialize_int(1));
    int32_t len = 0;
    uint8_t *bytes = serialize(v, &len);
    serialize_value *back = unserialize(bytes, len);
    kiv_ipod_event_cb cb = on_event;
    (void)cb;
    serialize_free(back);
    serialize_free(v);
    return len + SERIALIZE_HASH;
}
