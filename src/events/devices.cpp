// Registry of the attached devices: the `devices` array as the daemon sent
// it, lookups by index and by serial, insert-or-replace, and readiness.
#include <string.h>

#include "cache/cache.h"
#include "cache/retained.h"
#include "cache/value_lookup.h"
#include "events/events.h"
#include "handle.h"
#include "link/link.h"
#include "protocol/protocol.h"

namespace {

// The list, when the handle holds one of the expected shape.
serialize_value *device_list(kiv_ipod_client *client) {
    if (client == nullptr) return nullptr;
    return serialize_type(client->devices) == SERIALIZE_ARRAY ? client->devices : nullptr;
}

// The record at `index`, or null (with the refusal logged) when the index
// names no record.
const serialize_value *device_at(kiv_ipod_client *client, int index) {
    if (client == nullptr) return nullptr;
    if (!is_device_available(client, index)) return nullptr;
    return serialize_array_get(client->devices, index);
}

int device_int(kiv_ipod_client *client, int index, const char *key) {
    return value_int_or(device_at(client, index), key, 0);
}

const char *device_text(kiv_ipod_client *client, int index, const char *key) {
    return value_text(device_at(client, index), key);
}

}  // namespace

extern "C" {

int is_device_available(kiv_ipod_client *client, int index) {
    if (!device_list(client)) {
        kv_debug("%s, No valid device.\n", "is_device_available");
        return 0;
    }
    if (index < 0 || index >= serialize_array_count(client->devices)) {
        kv_debug("%s, Selected device(%d) is not available.\n", "is_device_available", index);
        return 0;
    }
    return 1;
}

int kiv_ipod_device_count(kiv_ipod_client *client) {
    return device_list(client) ? serialize_array_count(client->devices) : 0;
}

int find_device(kiv_ipod_client *client, const char *serial) {
    if (!device_list(client) || !serial) return -1;
    // Walk the cells directly: indexed access would make the search quadratic.
    int index = 0;
    for (auto *cell = static_cast<const serialize_array_cell *>(client->devices->data); cell && cell->value;
         cell = cell->next, ++index) {
        const char *listed = value_text(cell->value, "serial");
        if (listed && strcmp(listed, serial) == 0) return index;
    }
    return -1;
}

int kiv_ipod_device_index(kiv_ipod_client *client, const char *serial) {
    if (!device_list(client) || !serial) return -1;
    int index = find_device(client, serial);
    if (index < 0)
        kv_debug("%s, not found ipod. (serial=" IPOD_LOG_TEXT ")\n", "kiv_ipod_device_index", serial);
    return index;
}

void update_device(kiv_ipod_client *client, const serialize_value *record) {
    const char *serial = value_text(record, "serial");
    if (!serial) {
        // Without a serial the record could never be found or replaced again.
        kv_error("%s, device record without serial ignored.\n", "update_device");
        return;
    }
    int index = kiv_ipod_device_index(client, serial);
    if (index < 0 && kiv_ipod_device_count(client) >= KIV_IPOD_MAX_DEVICES) {
        // A daemon announcing ever new serials must not grow the list
        // without bound; listed devices are still replaced.
        kv_error("%s, %d devices listed, " IPOD_LOG_TEXT " not added.\n", "update_device",
                 KIV_IPOD_MAX_DEVICES, serial);
        return;
    }
    serialize_value *copy = serialize_dup(record);
    if (!copy) return;
    const bool listed = device_list(client) != nullptr;
    const uint64_t held = listed ? client->retained[IPOD_RETAINED_DEVICES] : 0;
    const uint64_t replaced = index >= 0 ? value_footprint(serialize_array_get(client->devices, index)) : 0;
    if (!cache_admit(client, IPOD_RETAINED_DEVICES, held - replaced + value_footprint(copy),
                     "update_device")) {
        serialize_free(copy);
        return;
    }
    if (!listed) {
        serialize_free(client->devices);
        client->devices = serialize_array();
    }
    if (index >= 0)
        serialize_array_set(client->devices, index, copy);
    else
        serialize_array_add(client->devices, copy);
}

serialize_value *copy_device_list(const serialize_value *devices, const char *name) {
    if (serialize_type(devices) != SERIALIZE_ARRAY) return nullptr;
    const auto *cell = static_cast<const serialize_array_cell *>(devices->data);
    int32_t count = 0;
    for (const serialize_array_cell *c = cell; c && c->value; c = c->next) {
        if (++count > KIV_IPOD_MAX_DEVICES) break;
    }
    if (count <= KIV_IPOD_MAX_DEVICES) return serialize_dup(devices);
    // A list over the limit keeps its first records, as device events would.
    kv_error("%s, %d devices listed, the rest not kept.\n", name, KIV_IPOD_MAX_DEVICES);
    serialize_value *copy = serialize_array();
    if (!copy) return nullptr;
    int32_t kept = 0;
    for (const serialize_array_cell *c = cell; c && c->value && kept < KIV_IPOD_MAX_DEVICES;
         c = c->next, kept++) {
        serialize_value *record = serialize_dup(c->value);
        if (!record) {
            serialize_free(copy);
            return nullptr;
        }
        serialize_array_add(copy, record);
    }
    return copy;
}

void remove_device(kiv_ipod_client *client, int index) {
    if (!device_list(client) || index < 0 || index >= serialize_array_count(client->devices)) return;
    const uint64_t held = client->retained[IPOD_RETAINED_DEVICES];
    const uint64_t removed = value_footprint(serialize_array_get(client->devices, index));
    cache_retained_set(client, IPOD_RETAINED_DEVICES, held > removed ? held - removed : 0);
    serialize_array_del(client->devices, index);
    // Keep current_session naming the same device after the shift.
    if (index < client->current_session) client->current_session--;
}

int get_current_ipod_id(kiv_ipod_client *client) {
    if (is_device_available(client, client->current_session)) {
        return value_int_or(serialize_array_get(client->devices, client->current_session), "ipod_id", -1);
    }
    kv_debug("%s, No valid device.\n", "get_current_ipod_id");
    return -1;
}

int set_ready(kiv_ipod_client *client, int index) {
    if (client == nullptr) return 0;
    int value = kiv_ipod_device_authenticated(client, index);
    if (value == 1) value = kiv_ipod_device_is_extended(client, index);
    if (value == 1) value = kiv_ipod_device_ready(client, index);
    client->ready = value == 1 ? 1 : 0;
    return value;
}

int kiv_ipod_current_session(kiv_ipod_client *client) {
    if (client == nullptr) return -1;
    return client->current_session;
}

int kiv_ipod_set_current_session(kiv_ipod_client *client, int index) {
    if (client == nullptr) return -1;
    client->current_session = index;
    return index;
}

const char *kiv_ipod_device_serial(kiv_ipod_client *client, int index) {
    return device_text(client, index, "serial");
}
const char *kiv_ipod_device_name(kiv_ipod_client *client, int index) {
    return device_text(client, index, "name");
}
const char *kiv_ipod_software_version(kiv_ipod_client *client, int index) {
    return device_text(client, index, "version");
}
int kiv_ipod_device_audio_count(kiv_ipod_client *client, int index) {
    return device_int(client, index, "audio_count");
}
int kiv_ipod_device_support_itunes_db(kiv_ipod_client *client, int index) {
    return device_int(client, index, "support_itunes_db");
}
int kiv_ipod_device_ready(kiv_ipod_client *client, int index) {
    return device_int(client, index, "ready");
}
int kiv_ipod_device_is_extended(kiv_ipod_client *client, int index) {
    return device_int(client, index, "extended");
}
int kiv_ipod_device_authenticated(kiv_ipod_client *client, int index) {
    return device_int(client, index, "authenticated");
}
int kiv_ipod_device_product_id(kiv_ipod_client *client, int index) {
    return device_int(client, index, "product_id");
}
int kiv_ipod_device_sound_card_id(kiv_ipod_client *client, int index) {
    return device_int(client, index, "sound_card_id");
}
int kiv_ipod_device_port(kiv_ipod_client *client, int index) {
    return device_int(client, index, "port");
}
int kiv_ipod_device_used(kiv_ipod_client *client, int index) {
    return device_int(client, index, "used");
}
int kiv_ipod_device_type(kiv_ipod_client *client, int index) {
    return device_int(client, index, "type");
}

}  // extern "C"
