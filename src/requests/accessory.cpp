// Session, accessory, EAP, video-out, preference and Bluetooth requests,
// and the preference conversions that dispatch also uses.
#include <stdint.h>

#include "cache/cache.h"
#include "protocol/protocol.h"
#include "requests/preference.h"
#include "requests/request.h"

using kiv_req::send_ints;
using kiv_req::Shape;

namespace {

// The setting numbers 0..19, each naming one (preference type, wire value).
struct PreferenceRow {
    uint8_t type;
    uint8_t wire;
};
constexpr PreferenceRow kPreferences[] = {
    {0, 0}, {0, 1}, {1, 0}, {1, 1}, {2, 0},  {2, 1},  {3, 0},  {3, 1},  {8, 0},  {8, 1},
    {8, 2}, {8, 3}, {9, 0}, {9, 1}, {10, 0}, {10, 1}, {12, 0}, {12, 1}, {13, 0}, {13, 1},
};
constexpr uint32_t kSettingCount = sizeof(kPreferences) / sizeof(kPreferences[0]);
constexpr uint32_t kNoSetting = 255;

constexpr bool valid_preference_type(uint32_t type) {
    for (const PreferenceRow &row : kPreferences) {
        if (row.type == type) return true;
    }
    return false;
}

// The video-out trace lines of one request, each with a number twice
// (decimal, then hexadecimal).
struct Traces {
    const char *entry;        // the argument, on entry
    const char *sent;         // the transaction id, once sent
    const char *sync_entry;   // the argument, on entry of the _sync form
    const char *sync_result;  // the _sync form's result
};

constexpr Traces kStatechangeTraces{
    "kiv_ipod_set_statechange %d %xH", "kiv_ipod_set_statechange  transfer id =  %d %xH",
    "kiv_ipod_set_statechange_sync %d %xH", "kiv_ipod_set_statechange_sync result %d %xH"};
constexpr Traces kVideoOutOptionsTraces{
    "kiv_ipod_set_videooutoptions %d %xH", "kiv_ipod_set_videooutoptions  transfer id =  %d %xH",
    "kiv_ipod_set_videooutoptions_sync %d %xH", "kiv_ipod_set_videooutoptions_sync result %d %xH"};
constexpr Traces kNavigateTraces{
    "kiv_ipod_navigate_videoout %d %xH", "kiv_ipod_navigate_videoout  transfer id =  %d %xH",
    "kiv_ipod_navigate_videoout_sync %d %xH", "kiv_ipod_navigate_videoout_sync result %d %xH"};

// Format strings come from the constant tables above.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
void trace(const char *format, int32_t value) {
    kv_debug(format, value, static_cast<unsigned>(value));
}
#pragma GCC diagnostic pop

// A request with one integer payload and the video-out trace lines: the
// argument on entry, the transaction id once sent.
uint32_t send_traced(kiv_ipod_client *client, ipod_opcode op, const Traces &traces, int32_t value) {
    trace(traces.entry, value);
    uint32_t tid = send_ints(client, op, Shape::kInt, {value});
    if (tid != 0) trace(traces.sent, static_cast<int32_t>(tid));
    return tid;
}

// The _sync form of a traced request: entry and result lines around it.
int32_t sync_traced(kiv_ipod_client *client, const char *name, const Traces &traces,
                    uint32_t (*async)(kiv_ipod_client *, int32_t), int32_t value) {
    trace(traces.sync_entry, value);
    int32_t result = kiv_req::wait_standard(client, async(client, value), name);
    trace(traces.sync_result, result);
    return result;
}

}  // namespace

extern "C" {

uint32_t preference_type_to_wire(int32_t type) {
    // A negative type is a very large number here, and no preference.
    return valid_preference_type(static_cast<uint32_t>(type)) ? static_cast<uint32_t>(type) : 0;
}

uint32_t preference_setting_to_wire(uint32_t setting) {
    return setting < kSettingCount ? kPreferences[setting].wire : 0;
}

uint32_t preference_setting_from_wire(uint32_t type, uint32_t wire) {
    for (uint32_t setting = 0; setting < kSettingCount; setting++) {
        if (kPreferences[setting].type == type && kPreferences[setting].wire == wire) return setting;
    }
    return kNoSetting;
}

uint32_t kiv_ipod_open_session(kiv_ipod_client *client, int32_t index) {
    kv_debug("%s, index=%d\n", kiv_req::name_of(IPOD_OP_open_session), index);
    if (!kiv_req::ready_for(client, IPOD_OP_open_session)) return 0;
    uint32_t tid = kiv_req::send_payload(client, IPOD_OP_open_session, serialize_int(index));
    // The reset clears every slot, so the new session's slot is set after it.
    reset_cache(client);
    client->current_session = index;
    client->pending[IPOD_REPLY_open_session] = tid;
    return tid;
}
int32_t kiv_ipod_open_session_sync(kiv_ipod_client *client, int32_t index) {
    ipod_entry entry(client);
    return kiv_req::wait_parsed(client, kiv_ipod_open_session(client, index), __func__,
                                set_open_session_result, 0);
}

uint32_t kiv_ipod_close_session(kiv_ipod_client *client) {
    uint32_t tid = send_ints(client, IPOD_OP_close_session, Shape::kNone);
    if (client != nullptr) client->session_opened = 0;
    return tid;
}
int32_t kiv_ipod_close_session_sync(kiv_ipod_client *client) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_close_session(client), __func__);
}

uint32_t kiv_ipod_reauthentication(kiv_ipod_client *client, int32_t value) {
    return send_ints(client, IPOD_OP_reauthentication, Shape::kInt, {value});
}
int32_t kiv_ipod_reauthentication_sync(kiv_ipod_client *client, int32_t value) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_reauthentication(client, value), __func__);
}

uint32_t kiv_ipod_set_preference(kiv_ipod_client *client, int32_t type, uint32_t setting) {
    return send_ints(client, IPOD_OP_set_preference, Shape::kIntArray,
                     {static_cast<int32_t>(preference_type_to_wire(type)),
                      static_cast<int32_t>(preference_setting_to_wire(setting))});
}
int32_t kiv_ipod_set_preference_sync(kiv_ipod_client *client, int32_t type, uint32_t setting) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_set_preference(client, type, setting), __func__);
}

uint32_t kiv_ipod_get_preference(kiv_ipod_client *client, int32_t type) {
    uint32_t tid = send_ints(client, IPOD_OP_get_preference, Shape::kInt,
                             {static_cast<int32_t>(preference_type_to_wire(type))});
    if (tid == 0) return 0;
    // Dispatch converts the reply with the type as the caller gave it.
    client->preference_type = static_cast<uint32_t>(type);
    return tid;
}
int32_t kiv_ipod_get_preference_sync(kiv_ipod_client *client, int32_t type) {
    ipod_entry entry(client);
    uint32_t tid = kiv_ipod_get_preference(client, type);
    if (tid == 0) return static_cast<int32_t>(kNoSetting);
    int32_t wire = kiv_req::wait_standard(client, tid, __func__);
    return static_cast<int32_t>(
        preference_setting_from_wire(static_cast<uint32_t>(type), static_cast<uint32_t>(wire)));
}

serialize_value *kiv_ipod_health_examine(kiv_ipod_client *client, const char *text, serialize_value *value) {
    ipod_entry entry(client);
    // The caller's value belongs to the request from here on, refused or not.
    if (!kiv_req::valid_text(client, kiv_req::name_of(IPOD_OP_health_examine), "text", text) ||
        !kiv_req::ready_for(client, IPOD_OP_health_examine)) {
        serialize_free(value);
        return nullptr;
    }
    serialize_value *payload = serialize_array();
    serialize_array_add(payload, serialize_string(text));
    if (value != nullptr) serialize_array_add(payload, value);
    uint32_t tid = kiv_req::send_payload(client, IPOD_OP_health_examine, payload);
    ipod_packet *reply = kiv_req::wait_reply(client, tid, __func__, true);
    if (reply == nullptr) return nullptr;
    serialize_value *result = nullptr;
    if (reply->length > 0) {  // a packet with a length has its payload
        result = unserialize(reply->payload, static_cast<int32_t>(reply->length));
    }
    ipod_packet_free(reply);
    return result;
}

uint32_t kiv_ipod_set_statechange(kiv_ipod_client *client, int32_t value) {
    return send_traced(client, IPOD_OP_set_statechange, kStatechangeTraces, value);
}
int32_t kiv_ipod_set_statechange_sync(kiv_ipod_client *client, int32_t value) {
    ipod_entry entry(client);
    return sync_traced(client, __func__, kStatechangeTraces, kiv_ipod_set_statechange, value);
}

uint32_t kiv_ipod_enter_videooutmode(kiv_ipod_client *client) {
    return send_ints(client, IPOD_OP_enter_videooutmode, Shape::kNone);
}

uint32_t kiv_ipod_exit_videooutmode(kiv_ipod_client *client) {
    return send_ints(client, IPOD_OP_exit_videooutmode, Shape::kNone);
}

uint32_t kiv_ipod_get_videooutoptions(kiv_ipod_client *client, int32_t value) {
    kv_debug("kiv_ipod_get_videooutoptions %d %xH", value, static_cast<unsigned>(value));
    uint32_t tid = send_ints(client, IPOD_OP_get_videooutoptions, Shape::kInt, {value != 0 ? 1 : 0});
    if (tid != 0) kv_debug("returning %d %xH", static_cast<int>(tid), tid);
    return tid;
}
int32_t kiv_ipod_get_videooutoptions_sync(kiv_ipod_client *client, int32_t value) {
    ipod_entry entry(client);
    kv_debug("kiv_ipod_get_videooutoptions_sync");
    return kiv_req::wait_standard(client, kiv_ipod_get_videooutoptions(client, value), __func__);
}

uint32_t kiv_ipod_set_videooutoptions(kiv_ipod_client *client, int32_t value) {
    return send_traced(client, IPOD_OP_set_videooutoptions, kVideoOutOptionsTraces, value);
}
int32_t kiv_ipod_set_videooutoptions_sync(kiv_ipod_client *client, int32_t value) {
    ipod_entry entry(client);
    return sync_traced(client, __func__, kVideoOutOptionsTraces, kiv_ipod_set_videooutoptions, value);
}

uint32_t kiv_ipod_navigate_videoout(kiv_ipod_client *client, int32_t value) {
    return send_traced(client, IPOD_OP_navigate_videoout, kNavigateTraces, value);
}
int32_t kiv_ipod_navigate_videoout_sync(kiv_ipod_client *client, int32_t value) {
    ipod_entry entry(client);
    return sync_traced(client, __func__, kNavigateTraces, kiv_ipod_navigate_videoout, value);
}

uint32_t kiv_ipod_set_bluetooth_hw_info(kiv_ipod_client *client, uint32_t device_class, int32_t pairing_type,
                                        const char *pin_code, const char *address) {
    const char *name = kiv_req::name_of(IPOD_OP_set_bluetooth_hw_info);
    // The PIN code never reaches the system log, which other processes may
    // read: it is masked, and only whether one was given shows.
    kv_debug("%s, device_class=0x%08x, pairing_type=%d, pin_code=%s, address=%s\n", name, device_class,
             pairing_type, pin_code != nullptr ? "****" : "(null)", kiv_req::shown(address));
    if (!kiv_req::valid_text(client, name, "pin_code", pin_code) ||
        !kiv_req::valid_text(client, name, "address", address)) {
        return 0;
    }
    if (!kiv_req::ready_for(client, IPOD_OP_set_bluetooth_hw_info)) return 0;
    if (serialize_type(client->devices) != SERIALIZE_ARRAY || serialize_array_count(client->devices) <= 0) {
        kv_debug("%s, No valid device.\n", name);
        return 0;
    }
    serialize_value *payload = serialize_array();
    serialize_array_add(payload, serialize_int(static_cast<int32_t>(device_class)));
    serialize_array_add(payload, serialize_int(pairing_type));
    serialize_array_add(payload, serialize_string(pin_code));
    serialize_array_add(payload, serialize_string(address));
    return kiv_req::send_payload(client, IPOD_OP_set_bluetooth_hw_info, payload);
}

uint32_t kiv_ipod_set_bluetooth_state(kiv_ipod_client *client, int32_t connected, const char *serial) {
    const char *name = kiv_req::name_of(IPOD_OP_set_bluetooth_state);
    kv_debug("%s, connected=%d serial=%s\n", name, connected, kiv_req::shown(serial));
    if (!kiv_req::valid_text(client, name, "serial", serial)) return 0;
    if (!kiv_req::ready_for(client, IPOD_OP_set_bluetooth_state)) return 0;
    serialize_value *payload = serialize_array();
    serialize_array_add(payload, serialize_int(connected));
    serialize_array_add(payload, serialize_string(serial));
    return kiv_req::send_payload(client, IPOD_OP_set_bluetooth_state, payload);
}

uint32_t kiv_ipod_restart_idps(kiv_ipod_client *client, int32_t value) {
    return send_ints(client, IPOD_OP_restart_idps, Shape::kInt, {value});
}

uint32_t kiv_ipod_set_config(kiv_ipod_client *client, const char *config_key, const char *config_value) {
    const char *name = kiv_req::name_of(IPOD_OP_set_config);
    kv_debug("%s, config_key=%s, config_value=%s\n", name, kiv_req::shown(config_key),
             kiv_req::shown(config_value));
    if (!kiv_req::valid_text(client, name, "config_key", config_key) ||
        !kiv_req::valid_text(client, name, "config_value", config_value)) {
        return 0;
    }
    if (!kiv_req::ready_for(client, IPOD_OP_set_config)) return 0;
    serialize_value *payload = serialize_array();
    serialize_array_add(payload, serialize_string(config_key));
    serialize_array_add(payload, serialize_string(config_value));
    return kiv_req::send_payload(client, IPOD_OP_set_config, payload);
}

uint32_t kiv_ipod_launch_application(kiv_ipod_client *client, const char *name) {
    if (!kiv_req::valid_text(client, kiv_req::name_of(IPOD_OP_launch_application), "name", name)) return 0;
    if (!kiv_req::ready_for(client, IPOD_OP_launch_application)) return 0;
    return kiv_req::send_payload(client, IPOD_OP_launch_application, serialize_string(name));
}
int32_t kiv_ipod_launch_application_sync(kiv_ipod_client *client, const char *name) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_launch_application(client, name), __func__, false);
}

uint32_t kiv_ipod_send_eap_datagram(kiv_ipod_client *client, int32_t session_id, const void *data,
                                    int32_t data_len) {
    const char *name = kiv_req::name_of(IPOD_OP_send_eap_datagram);
    kv_debug("%s, session_id=%d, data_len=%d", name, session_id, data_len);
    if (!kiv_req::valid_range(client, name, data, data_len)) return 0;
    if (!kiv_req::ready_for(client, IPOD_OP_send_eap_datagram)) return 0;
    serialize_value *payload = serialize_array();
    serialize_array_add(payload, serialize_int(session_id));
    serialize_array_add(payload, serialize_int(data_len));
    serialize_array_add(payload, kiv_req::bytes_value(data, data_len));
    return kiv_req::send_payload(client, IPOD_OP_send_eap_datagram, payload);
}
int32_t kiv_ipod_send_eap_datagram_sync(kiv_ipod_client *client, int32_t session_id, const void *data,
                                        int32_t data_len) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_send_eap_datagram(client, session_id, data, data_len),
                                  __func__, false);
}

}  // extern "C"
