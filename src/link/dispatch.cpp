// Inbound dispatch: events to the event decoder and callback, pings to the
// ping callback, replies to the handler of their pending-reply slot (or the
// generic decoding) and then to the reply callback.
#include <stdlib.h>
#include <string.h>

#include "cache/value_lookup.h"
#include "internal.h"

namespace {

using Handler = int32_t (*)(kiv_ipod_client *, const ipod_packet *);

int32_t handle_current_track_info(kiv_ipod_client *client, const ipod_packet *packet) {
    return set_track_info(client, packet, "current_track_info", &client->current_track);
}

// Replies to uid-list requests carry nothing the client keeps but an error
// text, which makes the request fail.
int32_t handle_uid_list(kiv_ipod_client *client, const ipod_packet *packet) {
    return cache_take_packet_error(client, packet) ? -1 : 1;
}

struct Route {
    uint32_t kiv_ipod_client::*slot;
    Handler handler;
    // Else the callback gets a null text; an error text is still left in
    // last_error, where kiv_ipod_last_error reads it.
    bool text_is_last_error;
};

// Slots compared in this order; the first one holding the reply's id wins.
constexpr Route kRoutes[] = {
    {&kiv_ipod_client::current_track_info_tid, handle_current_track_info, true},
    {&kiv_ipod_client::indexed_track_info_tid, set_indexed_track_info, true},
    {&kiv_ipod_client::play_state_tid, set_play_status, false},
    {&kiv_ipod_client::current_track_artwork_tid, set_artwork, true},
    {&kiv_ipod_client::sample_rate_tid, set_current_track_sample_rate, true},
    {&kiv_ipod_client::records_tid, set_records, false},
    {&kiv_ipod_client::open_session_tid, set_open_session_result, false},
    {&kiv_ipod_client::db_itunes_info_tid, set_db_itunes_info, false},
    {&kiv_ipod_client::db_track_info_tid, set_db_track_info, false},
    {&kiv_ipod_client::pb_track_info_tid, set_pb_track_info, false},
    {&kiv_ipod_client::indexed_track_chapter_info_tid, set_indexed_track_chapter_info, false},
    {&kiv_ipod_client::uid_list_tid, handle_uid_list, false},
    {&kiv_ipod_client::lingo_version_tid, set_lingo_version, false},
};
static_assert(sizeof kRoutes / sizeof kRoutes[0] == 13, "thirteen routed reply kinds");

// An empty slot (0) holds no request, so it never matches; id 0 is never
// handed out by the sender either.
bool holds(const kiv_ipod_client *client, uint32_t kiv_ipod_client::*slot, uint32_t tid) {
    return tid != 0 && client->*slot == tid;
}

// Replies of the kinds without a handler: an integer result, or an
// "error" text, then the per-kind adjustments. An error leaves what the
// blocking form of the same request leaves: an unknown track index (-1),
// an unknown record count (-1, reported as 0), no preference setting.
int32_t generic_reply(kiv_ipod_client *client, const ipod_packet *packet, const char **text) {
    *text = nullptr;
    if (packet->length == 0) return 0;
    serialize_value *value = ipod_decode_payload(packet);
    // An undecodable payload is a reply without a value, like an empty one.
    if (!value) return 0;
    int32_t result = 0;
    bool failed = false;
    if (serialize_type(value) == SERIALIZE_INT) {
        result = serialize_get_int(value);
    } else if (serialize_type(value) == SERIALIZE_HASH && serialize_hash_has_key(value, "error")) {
        ipod_set_last_error(client, serialize_hash_get_string(value, "error"));
        *text = client->last_error;
        failed = true;
    }
    serialize_free(value);

    const uint32_t tid = packet->tid;
    if (holds(client, &kiv_ipod_client::current_track_index_tid, tid)) {
        if (failed) result = -1;
        client->current_track.track_index = result;
    } else if (holds(client, &kiv_ipod_client::category_tid, tid) ||
               holds(client, &kiv_ipod_client::select_db_tid, tid)) {
        if (failed) result = -1;
        client->record_count = result;
        result = result >= 0 ? 1 : 0;
    } else if (holds(client, &kiv_ipod_client::preference_tid, tid)) {
        // The wire value -1 names no setting, as a failed blocking call.
        const uint32_t wire = failed ? UINT32_MAX : static_cast<uint32_t>(result);
        result = static_cast<int32_t>(preference_setting_from_wire(client->preference_type, wire));
    }
    return result;
}

// Every pending-reply slot of the handle.
constexpr uint32_t kiv_ipod_client::*kSlots[] = {
    &kiv_ipod_client::current_track_info_tid,
    &kiv_ipod_client::current_track_artwork_tid,
    &kiv_ipod_client::play_state_tid,
    &kiv_ipod_client::indexed_track_info_tid,
    &kiv_ipod_client::indexed_track_chapter_info_tid,
    &kiv_ipod_client::current_track_index_tid,
    &kiv_ipod_client::open_session_tid,
    &kiv_ipod_client::category_tid,
    &kiv_ipod_client::records_tid,
    &kiv_ipod_client::select_db_tid,
    &kiv_ipod_client::preference_tid,
    &kiv_ipod_client::db_itunes_info_tid,
    &kiv_ipod_client::db_track_info_tid,
    &kiv_ipod_client::pb_track_info_tid,
    &kiv_ipod_client::uid_list_tid,
    &kiv_ipod_client::lingo_version_tid,
    &kiv_ipod_client::artwork_data_tid,
    &kiv_ipod_client::sample_rate_tid,
};
static_assert(sizeof kSlots / sizeof kSlots[0] == 18, "eighteen pending-reply slots");

// Handles one reply (already unlinked) and hands it to the reply callback.
void deliver_reply(kiv_ipod_client *client, ipod_packet *packet) {
    ipod_set_last_error(client, nullptr);
    int32_t result = 0;
    const char *text = nullptr;
    bool routed = false;
    for (const Route &route : kRoutes) {
        if (!holds(client, route.slot, packet->tid)) continue;
        result = route.handler(client, packet);
        text = route.text_is_last_error ? client->last_error : nullptr;
        routed = true;
        break;
    }
    if (!routed) result = generic_reply(client, packet, &text);
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
    for (uint32_t kiv_ipod_client::*slot : kSlots)
        if (client->*slot == tid) client->*slot = 0;
}

const char *kiv_ipod_last_error(kiv_ipod_client *client) {
    return client != nullptr ? client->last_error : nullptr;
}

serialize_value *ipod_decode_payload(const ipod_packet *packet) {
    if (!packet || packet->length == 0 || !packet->payload) return nullptr;
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
        if (packet->opcode == IPOD_OP_EVENT) {
            ipod_queue_unlink_after(client, head);
            ipod_set_last_error(client, nullptr);
            kiv_ipod_event *event = event_decode(client, packet);
            ipod_packet_free(packet);
            // An event that cannot be decoded is dropped; the pass goes on.
            if (event) return event;
            continue;
        }
        if (packet->opcode == IPOD_OP_PING) {
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
