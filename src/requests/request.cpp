// Conventions shared by every request: readiness refusal, sending and
// releasing the payload, pending-reply slots, and the _sync decodings.
#include "requests/request.h"

#include <stdint.h>

#include <algorithm>

#include "cache/value_lookup.h"
#include "protocol/protocol.h"

namespace kiv_req {

const char *name_of(ipod_opcode op) {
    const ipod_request_row *row = ipod_request(op);
    return row != nullptr ? row->function : "(no request)";
}

bool ready_for(kiv_ipod_client *client, ipod_opcode op) {
    const ipod_request_row *row = ipod_request(op);
    if (client != nullptr && row != nullptr && (row->ready == IPOD_ANY_STATE || client->ready != 0))
        return true;
    kv_debug("not ready %s\n", name_of(op));
    ipod_set_error_kind(client, KIV_IPOD_ERROR_NOT_READY);
    return false;
}

uint32_t send_payload(kiv_ipod_client *client, ipod_opcode op, serialize_value *payload) {
    ipod_packet packet{};
    packet.opcode = static_cast<uint16_t>(op);
    packet.payload = payload;
    // A request that was not sent (the connection is lost, or the write
    // failed and closed it) has no id: 0, and no pending slot.
    const bool sent = ipod_send(client, &packet) != -1;
    serialize_free(payload);
    if (!sent) return 0;  // the transport recorded why
    ipod_set_error_kind(client, KIV_IPOD_ERROR_NONE);
    const ipod_request_row *row = ipod_request(op);
    if (row != nullptr && row->reply_kind < IPOD_REPLY_KINDS) client->pending[row->reply_kind] = packet.tid;
    return packet.tid;
}

uint32_t send_ints(kiv_ipod_client *client, ipod_opcode op, Shape shape,
                   std::initializer_list<int32_t> ints) {
    if (!ready_for(client, op)) return 0;
    serialize_value *payload = nullptr;
    switch (shape) {
        case Shape::kNone:
            break;
        case Shape::kInt:
            payload = serialize_int(ints.size() > 0 ? *ints.begin() : 0);
            break;
        case Shape::kIntArray:
            payload = serialize_array();
            for (int32_t value : ints) serialize_array_add(payload, serialize_int(value));
            break;
    }
    return send_payload(client, op, payload);
}

bool valid_range(kiv_ipod_client *client, const char *name, const void *data, int32_t length) {
    if (length >= 0 && (data != nullptr || length == 0)) return true;
    ipod_set_error_kind(client, KIV_IPOD_ERROR_INVALID_ARGUMENT);
    kv_error("%s, invalid data (data=%p, data_len=%d)\n", name, data, length);
    return false;
}

bool valid_text(kiv_ipod_client *client, const char *name, const char *what, const char *text) {
    if (text != nullptr) return true;
    ipod_set_error_kind(client, KIV_IPOD_ERROR_INVALID_ARGUMENT);
    kv_error("%s, %s is null\n", name, what);
    return false;
}

serialize_value *bytes_value(const void *data, int32_t length) {
    static const uint8_t kEmpty = 0;
    return serialize_bytes(length > 0 ? data : &kEmpty, std::max(length, 0));
}

namespace {

int32_t keep_packet(kiv_ipod_client *, ipod_packet *reply, void *context) {
    *static_cast<ipod_packet **>(context) = reply;
    return 0;
}

int32_t decode_standard(kiv_ipod_client *client, ipod_packet *reply, void *) {
    return standard_result(client, reply);
}

// The reply's value is not read, but an error hash still leaves its text
// for kiv_ipod_last_error (only a hash can carry one).
int32_t discard(kiv_ipod_client *client, ipod_packet *reply, void *) {
    if (reply != nullptr && reply->length > 0 && static_cast<const char *>(reply->payload)[0] == 'h')
        cache_take_packet_error(client, reply);
    ipod_packet_free(reply);
    return 0;
}

int32_t run_parser(kiv_ipod_client *client, ipod_packet *reply, void *context) {
    int32_t result = (*static_cast<const Parser *>(context))(client, reply);
    ipod_packet_free(reply);
    return result;
}

}  // namespace

ipod_packet *wait_reply(kiv_ipod_client *client, uint32_t tid, const char *name, bool dispatch) {
    ipod_packet *reply = nullptr;
    ipod_await(client, tid, name, dispatch ? 1 : 0, keep_packet, &reply);
    return reply;
}

int32_t standard_result(kiv_ipod_client *client, ipod_packet *reply) {
    int32_t result = -1;
    serialize_value *value = reply != nullptr ? ipod_decode_payload(reply) : nullptr;
    if (serialize_type(value) == SERIALIZE_INT) {
        result = serialize_get_int(value);
    } else if (serialize_hash_has_key(value, "error")) {
        // An "error" entry that is not a text still marks a failure; it
        // leaves no text behind rather than a stale one.
        ipod_set_last_error(client, serialize_hash_get_string(value, "error"));
    }
    serialize_free(value);
    ipod_packet_free(reply);
    return result;
}

int32_t wait_standard(kiv_ipod_client *client, uint32_t tid, const char *name, bool dispatch) {
    return ipod_await(client, tid, name, dispatch ? 1 : 0, decode_standard, nullptr);
}

int32_t wait_discard(kiv_ipod_client *client, uint32_t tid, const char *name) {
    return ipod_await(client, tid, name, 1, discard, nullptr);
}

int32_t wait_parsed(kiv_ipod_client *client, uint32_t tid, const char *name, Parser parser,
                    int32_t no_client) {
    if (client == nullptr) return no_client;
    return ipod_await(client, tid, name, 1, run_parser, &parser);
}

}  // namespace kiv_req
