// Decoding of daemon events (opcode 1) into kiv_ipod_event records, their
// effects on the device list and the track cache, and the event accessors.
#include "events/events.h"

#include <stdlib.h>
#include <string.h>

#include "cache/cache.h"
#include "cache/value_lookup.h"
#include "handle.h"
#include "link/link.h"
#include "protocol/protocol.h"

namespace {

// The daemon's event names decode to the types of the interface: one
// assertion per event, so a mismatch names the event.
#define SAME_EVENT_TYPE(wire, api) static_assert(IPOD_EVENT_##wire == KIV_IPOD_EVENT_##api, #wire)
SAME_EVENT_TYPE(connected_ipod, CONNECTED);
SAME_EVENT_TYPE(disconnected_ipod, DISCONNECTED);
SAME_EVENT_TYPE(fail_to_detect, FAIL_TO_DETECT);
SAME_EVENT_TYPE(authenticated, AUTHENTICATED);
SAME_EVENT_TYPE(mode_changed, MODE_CHANGED);
SAME_EVENT_TYPE(play_state_changed, PLAY_STATE_CHANGED);
SAME_EVENT_TYPE(track_index_changed, TRACK_INDEX_CHANGED);
SAME_EVENT_TYPE(samplerate_retrieved, SAMPLERATE_RETRIEVED);
SAME_EVENT_TYPE(track_position_changed, TRACK_POSITION_CHANGED);
SAME_EVENT_TYPE(chapter_index_changed, CHAPTER_INDEX_CHANGED);
SAME_EVENT_TYPE(shuffle_changed, SHUFFLE_CHANGED);
SAME_EVENT_TYPE(repeat_changed, REPEAT_CHANGED);
SAME_EVENT_TYPE(playlist_changed, PLAYLIST_CHANGED);
SAME_EVENT_TYPE(ipod_ready, IPOD_READY);
SAME_EVENT_TYPE(eap_session_opened, EAP_SESSION_OPENED);
SAME_EVENT_TYPE(eap_session_closed, EAP_SESSION_CLOSED);
SAME_EVENT_TYPE(eap_data_received, EAP_DATA_RECEIVED);
SAME_EVENT_TYPE(UNKNOWN, UNKNOWN);
#undef SAME_EVENT_TYPE

int32_t event_type_of(const char *name) {
    return ipod_event_type_of(name);
}

struct FreeValue {
    serialize_value *value;
    ~FreeValue() { serialize_free(value); }
};

// Stores an integer event datum into `field`; data of another type is ignored.
void store_int(int32_t *field, const serialize_value *data) {
    if (serialize_type(data) == SERIALIZE_INT) *field = serialize_get_int(data);
}

void store_entry(int32_t *field, const serialize_value *data, const char *key) {
    const serialize_value *value = value_typed(data, key, SERIALIZE_INT);
    if (value) *field = serialize_get_int(value);
}

// Removes the device named by a "disconnected_ipod" event. Returns whether
// the event concerns the current device, given what the ipod_id said.
bool handle_disconnect(kiv_ipod_client *client, const serialize_value *data, bool concerns_current) {
    if (serialize_type(data) != SERIALIZE_STRING) {
        // Without a serial nothing tells which device went away.
        kv_error("%s, disconnected_ipod without serial ignored.\n", "event_decode");
        return false;
    }
    // One walk to find the device and one to remove it: the list is never
    // indexed element by element.
    int index = find_device(client, serialize_get_string(data));
    if (index < 0) return concerns_current;
    if (index == client->current_session) {
        // With its device gone the handle has no ready device: requests
        // are refused until a session is opened again.
        client->current_session = -1;
        client->session_opened = 0;
        client->ready = 0;
        concerns_current = true;
    } else {
        concerns_current = false;
    }
    remove_device(client, index);
    return concerns_current;
}

void apply_effect(kiv_ipod_client *client, kiv_ipod_event *event, bool concerns_current) {
    const serialize_value *data = event->data;
    track_info &track = client->current_track;
    switch (event->type) {
        case KIV_IPOD_EVENT_CONNECTED:
        case KIV_IPOD_EVENT_AUTHENTICATED:
        case KIV_IPOD_EVENT_MODE_CHANGED:
            update_device(client, data);
            return;
        case KIV_IPOD_EVENT_IPOD_READY: {
            // A record without a serial names no device whose readiness
            // could be computed.
            const char *serial = value_text(data, "serial");
            if (!serial) {
                kv_error("%s, ipod_ready without serial ignored.\n", "event_decode");
                return;
            }
            update_device(client, data);
            set_ready(client, kiv_ipod_device_index(client, serial));
            return;
        }
        case KIV_IPOD_EVENT_DISCONNECTED:
            if (handle_disconnect(client, data, concerns_current)) reset_cache(client);
            return;
        case KIV_IPOD_EVENT_EAP_SESSION_OPENED:
            kv_debug("eap_session_opened, session_id=%d, protocol_index=%d",
                     value_int_or(data, "session_id", -1), value_int_or(data, "protocol_index", -1));
            return;
        case KIV_IPOD_EVENT_EAP_SESSION_CLOSED:
            kv_debug("eap_session_closed, session_id=%d", value_int_or(data, "session_id", -1));
            return;
        case KIV_IPOD_EVENT_EAP_DATA_RECEIVED:
            kv_debug("eap_data_received");
            return;
        default:
            break;
    }
    if (!concerns_current) return;
    switch (event->type) {
        case KIV_IPOD_EVENT_PLAY_STATE_CHANGED:
            store_int(&track.state, data);
            break;
        case KIV_IPOD_EVENT_TRACK_INDEX_CHANGED:
            store_int(&track.track_index, data);
            break;
        case KIV_IPOD_EVENT_SAMPLERATE_RETRIEVED:
            store_int(&track.sample_rate, data);
            break;
        case KIV_IPOD_EVENT_TRACK_POSITION_CHANGED:
            store_int(&track.position, data);
            break;
        case KIV_IPOD_EVENT_CHAPTER_INDEX_CHANGED:
            store_entry(&track.track_index, data, "track_index");
            store_entry(&track.chapter_index, data, "chapter_index");
            store_entry(&track.chapter_count, data, "chapter_count");
            break;
        case KIV_IPOD_EVENT_SHUFFLE_CHANGED:
            store_int(&client->shuffle_state, data);
            break;
        case KIV_IPOD_EVENT_REPEAT_CHANGED:
            store_int(&client->repeat_state, data);
            break;
        default:
            break;
    }
}

bool has_type(const kiv_ipod_event *event, int32_t type) {
    return event && event->type == type;
}

bool is_eap_type(int32_t type) {
    return type == KIV_IPOD_EVENT_EAP_SESSION_OPENED || type == KIV_IPOD_EVENT_EAP_SESSION_CLOSED ||
           type == KIV_IPOD_EVENT_EAP_DATA_RECEIVED;
}

void print_data(const kiv_ipod_event *event) {
    if (event && event->data) serialize_print(event->data);
}

void log_not_eap(const char *function, const kiv_ipod_event *event) {
    kv_debug("%s, not eap related event, event->type=%d", function,
             event ? event->type : static_cast<int32_t>(KIV_IPOD_EVENT_UNKNOWN));
    print_data(event);
}

}  // namespace

extern "C" {

kiv_ipod_event *event_decode(kiv_ipod_client *client, const ipod_packet *packet) {
    // Whatever the event, the previous reply's error text is stale now.
    cache_set_error(client, nullptr);
    FreeValue payload{cache_decode(packet)};
    if (serialize_type(payload.value) != SERIALIZE_HASH) {
        kv_error("%s, undecodable event dropped.\n", "event_decode");
        return nullptr;
    }
    auto *event = static_cast<kiv_ipod_event *>(calloc(1, sizeof(kiv_ipod_event)));
    if (!event) return nullptr;
    const serialize_value *hash = payload.value;

    const char *name = value_text(hash, "event");
    event->session = static_cast<int16_t>(value_int_or(hash, "session", 0));
    const serialize_value *id = value_typed(hash, "ipod_id", SERIALIZE_INT);
    const int32_t raw_id = id ? serialize_get_int(id) : 0;
    event->ipod_id = static_cast<uint16_t>(raw_id);
    event->serial = const_cast<char *>(value_text(hash, "ipod_serial"));
    event->data = serialize_hash_get(hash, "data");
    event->payload = payload.value;
    payload.value = nullptr;

    int current_id = get_current_ipod_id(client);
    kv_debug("type=" IPOD_LOG_TEXT, name ? name : "(null)");

    event->type = event_type_of(name);
    // An event without an ipod_id concerns no device in particular.
    // The whole id is compared; one the record cannot carry (outside
    // 0..65535) names no device.
    bool concerns_current =
        id && raw_id >= 0 && raw_id <= UINT16_MAX && current_id >= 0 && raw_id == current_id;
    apply_effect(client, event, concerns_current);
    return event;
}

const char *kiv_ipod_event_name(int type) {
    return ipod_event_name(type);
}

int kiv_ipod_event_type(kiv_ipod_event *event) {
    return event ? event->type : KIV_IPOD_EVENT_UNKNOWN;
}

int is_connection_event(kiv_ipod_event *event) {
    if (!event) return 0;
    switch (event->type) {
        case KIV_IPOD_EVENT_CONNECTED:
        case KIV_IPOD_EVENT_AUTHENTICATED:
        case KIV_IPOD_EVENT_MODE_CHANGED:
        case KIV_IPOD_EVENT_IPOD_READY:
        case KIV_IPOD_EVENT_EAP_SESSION_OPENED:
        case KIV_IPOD_EVENT_EAP_SESSION_CLOSED:
            return 1;
        default:
            return 0;
    }
}

const char *kiv_ipod_event_device_serial(kiv_ipod_event *event) {
    return event ? event->serial : nullptr;
}

const char *kiv_ipod_event_connected_serial(kiv_ipod_event *event) {
    if (!is_connection_event(event)) return nullptr;
    return value_text(event->data, "serial");
}

const char *kiv_ipod_event_disconnected_serial(kiv_ipod_event *event) {
    if (!has_type(event, KIV_IPOD_EVENT_DISCONNECTED)) return nullptr;
    return serialize_type(event->data) == SERIALIZE_STRING ? serialize_get_string(event->data) : nullptr;
}

int kiv_ipod_event_authenticated(kiv_ipod_event *event) {
    if (!has_type(event, KIV_IPOD_EVENT_AUTHENTICATED)) return -1;
    return value_int_or(event->data, "authenticated", -1);
}

int kiv_ipod_event_mode_changed(kiv_ipod_event *event) {
    if (!has_type(event, KIV_IPOD_EVENT_MODE_CHANGED)) return -1;
    return value_int_or(event->data, "extended", -1);
}

int kiv_ipod_event_eap_datagram_data_length(kiv_ipod_event *event) {
    if (!has_type(event, KIV_IPOD_EVENT_EAP_DATA_RECEIVED)) return -1;
    int32_t length = value_int_or(event->data, "length", -1);
    if (length < 0) return -1;
    // Never promise more bytes than the datagram actually carries.
    int32_t carried = 0;
    const serialize_value *bytes = value_typed(event->data, "data", SERIALIZE_BYTES);
    if (bytes) serialize_get_bytes(bytes, &carried);
    return length < carried ? length : carried;
}

const unsigned char *kiv_ipod_event_eap_datagram_data(kiv_ipod_event *event) {
    if (!has_type(event, KIV_IPOD_EVENT_EAP_DATA_RECEIVED)) {
        kv_debug("%s, event->type=%d", __func__,
                 event ? event->type : static_cast<int32_t>(KIV_IPOD_EVENT_UNKNOWN));
        print_data(event);
        return nullptr;
    }
    const serialize_value *bytes = value_typed(event->data, "data", SERIALIZE_BYTES);
    return bytes ? static_cast<const unsigned char *>(serialize_get_bytes(bytes, nullptr)) : nullptr;
}

const char *kiv_ipod_event_eap_datagram_protocol_string(kiv_ipod_event *event) {
    if (!has_type(event, KIV_IPOD_EVENT_EAP_SESSION_OPENED)) {
        log_not_eap(__func__, event);
        return nullptr;
    }
    const char *text = value_text(event->data, "protocol_string");
    if (!text) print_data(event);
    return text;
}

int kiv_ipod_event_eap_datagram_protocol_index(kiv_ipod_event *event) {
    if (!has_type(event, KIV_IPOD_EVENT_EAP_SESSION_OPENED)) {
        log_not_eap(__func__, event);
        return -1;
    }
    return value_int_or(event->data, "protocol_index", -1);
}

int kiv_ipod_event_eap_datagram_session_id(kiv_ipod_event *event) {
    if (!event || !is_eap_type(event->type)) {
        log_not_eap(__func__, event);
        return -1;
    }
    const serialize_value *value = value_typed(event->data, "session_id", SERIALIZE_INT);
    if (!value) {
        print_data(event);
        return -1;
    }
    return serialize_get_int(value);
}

const serialize_value *kiv_ipod_event_data(kiv_ipod_event *event) {
    return event != nullptr ? event->data : nullptr;
}

void kiv_ipod_event_free(kiv_ipod_event *event) {
    if (!event) return;
    serialize_free(event->payload);
    free(event);
}

}  // extern "C"
