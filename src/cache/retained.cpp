// Accounting of what the caches of a handle hold.
#include "cache/retained.h"

#include <string.h>

#include "handle.h"
#include "link/link.h"
#include "protocol/protocol.h"
#include "serialize/links.h"

extern "C" {

uint64_t value_footprint(const serialize_value *value) {
    if (value == nullptr) return 0;
    uint64_t bytes = 0;
    switch (value->type) {
        case SERIALIZE_ARRAY:
            bytes += ipod_block_footprint(kiv_serialize::kContainerSize);
            for (auto *cell = static_cast<const serialize_array_cell *>(value->data); cell; cell = cell->next)
                bytes += ipod_block_footprint(sizeof(kiv_serialize::CellLink)) + value_footprint(cell->value);
            return bytes;
        case SERIALIZE_HASH:
            bytes += ipod_block_footprint(kiv_serialize::kContainerSize);
            for (auto *entry = static_cast<const serialize_hash_entry *>(value->data); entry;
                 entry = entry->next) {
                bytes += ipod_block_footprint(sizeof(kiv_serialize::EntryLink) +
                                              (entry->key ? strlen(entry->key) + 1 : 0));
                bytes += value_footprint(entry->value);
            }
            return bytes;
        default:
            // A scalar counts the block it is allocated in.
            return ipod_block_footprint(kiv_serialize::stored_size(value));
    }
}

uint64_t text_footprint(const char *text) {
    return text ? ipod_block_footprint(strlen(text) + 1) : 0;
}

uint64_t cache_retained_total(const kiv_ipod_client *client) {
    uint64_t total = 0;
    for (uint64_t bytes : client->retained) total += bytes;
    return total;
}

int cache_admit(kiv_ipod_client *client, int kind, uint64_t bytes, const char *name) {
    if (kind < 0 || kind >= IPOD_RETAINED_KINDS) return 0;
    const uint64_t others = cache_retained_total(client) - client->retained[kind];
    if (others + bytes > IPOD_MAX_RETAINED) {
        kv_error("%s, reply refused: the cache would hold %llu bytes, over the limit of %u bytes\n", name,
                 static_cast<unsigned long long>(others + bytes), IPOD_MAX_RETAINED);
        ipod_set_error_kind(client, KIV_IPOD_ERROR_LIMIT);
        return 0;
    }
    client->retained[kind] = bytes;
    return 1;
}

void cache_retained_set(kiv_ipod_client *client, int kind, uint64_t bytes) {
    if (kind >= 0 && kind < IPOD_RETAINED_KINDS) client->retained[kind] = bytes;
}

}  // extern "C"
