// What one handle's caches hold, counted against one limit, so that replies
// that each respect the payload limit cannot together make the handle grow
// without bound.
#ifndef KIV_CACHE_RETAINED_H
#define KIV_CACHE_RETAINED_H

#include <stdint.h>

#include "handle.h"

#ifdef __cplusplus
extern "C" {
#endif

// Bytes a tree occupies on the heap: every node, link, key and payload
// block with the allocator's header and rounding. Linear in the tree.
uint64_t value_footprint(const serialize_value *value);
// Bytes a cached text (with its NUL) occupies; 0 for none.
uint64_t text_footprint(const char *text);

// Whether the cache of `kind` may hold `bytes` in place of what it holds
// now. True: the figure is recorded. False: the handle would pass
// IPOD_MAX_RETAINED; one error line names `name`, nothing is recorded and
// the caller leaves that cache as it was.
int cache_admit(kiv_ipod_client *client, int kind, uint64_t bytes, const char *name);
// Records what the cache of `kind` holds now (0 once released).
void cache_retained_set(kiv_ipod_client *client, int kind, uint64_t bytes);
// Everything the caches hold.
uint64_t cache_retained_total(const kiv_ipod_client *client);

#ifdef __cplusplus
}
#endif

#endif  // KIV_CACHE_RETAINED_H
