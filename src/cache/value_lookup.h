// Helpers shared by the cache parsers and the event decoder.
#ifndef KIV_CACHE_VALUE_LOOKUP_H
#define KIV_CACHE_VALUE_LOOKUP_H

#include "link/link.h"

#ifdef __cplusplus
extern "C" {
#endif

// Tolerant lookups in a decoded hash: a null or non-hash container, a
// missing key or a value of another type gives the fallback (or null).
int32_t value_int_or(const serialize_value *hash, const char *key, int32_t fallback);
const char *value_text(const serialize_value *hash, const char *key);
// The entry under `key` when it has type `type`, else null.
serialize_value *value_typed(const serialize_value *hash, const char *key, int32_t type);
// Decodes a packet's payload; null when there is none or it is malformed.
serialize_value *cache_decode(const ipod_packet *packet);
// Sets client->last_error to a copy of `text` (null clears it).
void cache_set_error(kiv_ipod_client *client, const char *text);
// Takes a daemon error: when `value` is a hash with an "error" entry, keeps
// its text in last_error (null when it is not a text) and returns 1.
int cache_take_error(kiv_ipod_client *client, const serialize_value *value);
// The same for a reply packet that its handler does not otherwise decode.
int cache_take_packet_error(kiv_ipod_client *client, const ipod_packet *packet);

#ifdef __cplusplus
}
#endif

#endif  // KIV_CACHE_VALUE_LOOKUP_H
