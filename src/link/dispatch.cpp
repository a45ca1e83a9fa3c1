// Inbound dispatch: events to the event decoder and callback, pings to the
// ping callback, replies to the handler of their pending-reply slot (or the
// generic decoding) and then to the reply callback.
#include <stdlib.h>
#include <string.h>

#include "cache/cache.h"
#include "cache/value_lookup.h"
#include "events/events.h"
#include "handle.h"
#include "link/link.h"
#include "requests/preference.h"

namespace {

int32_t reply_current_track_info(kiv_ipod_client *client, const ipod_packet *packet) {
    return set_track_info(client, packet, "current_track_info", &client->current_track);
}

// Replies to uid-list requests carry nothing the client keeps but an error
// text, which makes the request fail.
int32_t reply_uid_list(kiv_ipod_client *client, const ipod_packet *packet) {
    return cache_take_packet_error(client, packet) ? -1 : 1;
}

// The generic decoding: an integer result, or an "error" text (kept as
// last_error; *failed is then set). An empty or undecodable payload is a
// reply without a value: 0, and *empty is set.
int32_t generic_value(kiv_ipod_client *client, const ipod_packet *packet, bool *failed, bool *empty) {
    *failed = false;
    serialize_value *value = ipod_decode_payload(packet);
    *empty = value == nullptr;
    int32_t result = 0;
    if (serialize_type(value) == SERIALIZE_INT) {
        result = serialize_get_int(value);
    } else if (serialize_type(value) == SERIALIZE_HASH && serialize_hash_has_key(value, "error")) {
        ipod_set_last_error(client, serialize_hash_get_string(value, "error"));
        *failed = true;
    }
    serialize_free(value);
    return result;
}

// The reply kinds that take the generic decoding adjust its result; an
// error leaves what the blocking form of the same request leaves.
int32_t reply_generic(kiv_ipod_client *client, const ipod_packet *packet) {
    bool failed, empty;
    return generic_value(client, packet, &failed, &empty);
}

// The cached track index follows the reply: an unknown index (-1) after
// an error.
int32_t reply_current_track_index(kiv_ipod_client *client, const ipod_packet *packet) {
    bool failed, empty;
    int32_t result = generic_value(client, packet, &failed, &empty);
    if (empty) return result;
    if (failed) result = -1;
    client->current_track.track_index = result;
    return result;
}

// Category and database selection: the count goes to record_count (-1,
// reported as 0, after an error); the callback gets 1 for a count of zero
// or more.
int32_t reply_record_count(kiv_ipod_client *client, const ipod_packet *packet) {
    bool failed, empty;
    int32_t result = generic_value(client, packet, &failed, &empty);
    if (empty) return result;
    if (failed) result = -1;
    client->record_count = result;
    return result >= 0 ? 1 : 0;
}

// The wire value becomes a setting number; an error names no setting, as a
// failed blocking call.
int32_t reply_preference(kiv_ipod_client *client, const ipod_packet *packet) {
    bool failed, empty;
    int32_t result = generic_value(client, packet, &failed, &empty);
    if (empty) return result;
    const uint32_t wire = failed ? UINT32_MAX : static_cast<uint32_t>(result);
    return static_cast<int32_t>(preference_setting_from_wire(client->preference_type, wire));
}

struct Route {
    int32_t (*parser)(kiv_ipod_client *, const ipod_packet *);
    // Else the callback gets a null text; an error text is still left in
    // last_error, where kiv_ipod_last_error reads it.
    bool text_is_last_error;
};

#define LAST_ERROR true
#define NO_TEXT false
// One route per reply kind, in the order of the slots.
constexpr Route kRoutes[IPOD_REPLY_KINDS] = {
#define REPLY_KIND(name, parser, text) {parser, text},
#include "protocol/protocol.def"
#include "protocol/protocol.h"
};
#undef LAST_ERROR
#undef NO_TEXT

// The kind whose slot holds `tid`, the first in protocol.def's order, or
// IPOD_NO_REPLY_KIND. An empty slot (0) holds no request, so it never
// matches; id 0 is never handed out by the sender either.
int kind_holding(const kiv_ipod_client *client, uint32_t tid) {
    if (tid == 0) return IPOD_NO_REPLY_KIND;
    for (int kind = 0; kind < IPOD_REPLY_KINDS; kind++)
        if (client->pending[kind] == tid) return kind;
    return IPOD_NO_REPLY_KIND;
}

// Handles one reply (already unlinked) and hands it to the reply callback.
void deliver_reply(kiv_ipod_client *client, ipod_packet *packet) {
    ipod_set_last_error(client, nullptr);
    const int kind = kind_holding(client, packet->tid);
    // A reply that no slot holds gets the generic decoding.
    const Route route = kind < IPOD_REPLY_KINDS ? kRoutes[kind] : Route{reply_generic, true};
    const int32_t result = route.parser(client, packet);
    const char *text = route.text_is_last_error ? client->last_error : nullptr;
    // The reply has been applied: a second packet with its id (a duplicate
    // or a stale copy) gets the generic decoding and touches no cache.
    ipod_release_slots(client, packet->tid);
    if (client->last_error) ipod_set_error_kind(client, KIV_IPOD_ERROR_DAEMON);
    client->reply_cb(client, packet->tid, result, text, client->reply_cb_data);
}

}  // namespace

extern "C" {

void ipod_set_last_error(kiv_ipod_client *client, const char *text) {
    free(client->last_error);
    client->last_error = text ? strdup(text) : nullptr;
}

void ipod_release_slots(kiv_ipod_client *client, uint32_t tid) {
    if (tid == 0) return;
    for (uint32_t &slot : client->pending)
        if (slot == tid) slot = 0;
}

const char *kiv_ipod_last_error(kiv_ipod_client *client) {
    return client != nullptr ? client->last_error : nullptr;
}

serialize_value *ipod_decode_payload(const ipod_packet *packet) {
    if (!packet || packet->length == 0) return nullptr;
    if (packet->length > IPOD_MAX_PAYLOAD) return nullptr;
    serialize_value *value = unserialize(packet->payload, static_cast<int32_t>(packet->length));
    if (!value)
        kv_error("%s, undecodable payload: tid(0x%x), opcode(0x%x), %u bytes\n", "ipod_decode_payload",
                 packet->tid, packet->opcode, packet->length);
    return value;
}

kiv_ipod_event *ipod_dispatch_next(kiv_ipod_client *client, uint64_t last_seq) {
    ipod_packet *head = client->packets;
    while (head->next && head->next->seq <= last_seq && !client->close_pending &&
           !ipod_call_expired(client)) {
        ipod_packet *packet = head->next;
        if (ipod_wait *wait = ipod_wait_for(client, packet->tid)) {
            // A blocking request's reply, handled at its place in the
            // stream; it never reaches the reply callback.
            ipod_queue_unlink_after(client, head);
            ipod_wait_take(client, wait, packet);
            continue;
        }
        if (packet->opcode == IPOD_OP_event) {
            ipod_queue_unlink_after(client, head);
            ipod_set_last_error(client, nullptr);
            kiv_ipod_event *event = event_decode(client, packet);
            ipod_packet_free(packet);
            // An event that cannot be decoded is dropped; the pass goes on.
            if (event) return event;
            continue;
        }
        if (packet->opcode == IPOD_OP_ping) {
            ipod_queue_unlink_after(client, head);
            if (client->ping_cb)
                client->ping_cb(client, packet->tid, client->ping_cb_data);
            else
                kv_error("ping_cb is not set!!!!");
            ipod_packet_free(packet);
            continue;
        }
        if (!client->reply_cb) {
            kv_error("Some packet didn't treated: %p tid(0x%x), opcode(0x%x)\n", static_cast<void *>(packet),
                     packet->tid, packet->opcode);
            ipod_queue_unlink_after(client, head);
            ipod_packet_free(packet);
            continue;
        }
        ipod_queue_unlink_after(client, head);
        deliver_reply(client, packet);
        ipod_packet_free(packet);
    }
    return nullptr;
}

void ipod_dispatch(kiv_ipod_client *client) {
    if (client->waiting) kv_error("Another thread already using this call\n");
    client->dispatch_depth++;
    // What callbacks' own requests read in meanwhile waits for the next
    // pass: a daemon that answers every request with one more packet
    // cannot keep this pass going.
    const uint64_t last_seq = client->rx_seq;
    while (kiv_ipod_event *event = ipod_dispatch_next(client, last_seq)) {
        if (client->event_cb) client->event_cb(client, event, client->event_cb_data);
        kiv_ipod_event_free(event);
    }
    client->dispatch_depth--;
}

int kiv_ipod_pending(kiv_ipod_client *client) {
    if (client == nullptr) return 0;
    return client->queued_packets > INT32_MAX ? INT32_MAX : static_cast<int>(client->queued_packets);
}

int32_t kiv_ipod_read(kiv_ipod_client *client) {
    if (client == nullptr || client->close_pending) return -1;
    ipod_entry entry(client);
    // Packets left by an earlier pass are dispatched without waiting for
    // more: the read happens only when the descriptor has data.
    const bool left_over = client->packets->next != nullptr;
    int32_t count = 0;
    if (!left_over || ipod_readable_now(client)) count = ipod_read_packets(client);
    if (count == 0 && !left_over) return 0;
    // Called from a callback nested too deep, the read leaves what it
    // queued to the passes already running.
    if (client->dispatch_depth >= IPOD_MAX_NESTED_DISPATCH) return count;
    // After a loss, what is still queued (left by a wait that does not
    // dispatch) is delivered before the loss is reported.
    if (count > 0 || client->packets->next) ipod_dispatch(client);
    // A callback closed the handle: the read fails.
    return client->close_pending ? -1 : count;
}

}  // extern "C"
