// The daemon link: the handle's life, packets and their framing, the
// inbound queue, reply waits and dispatch. Its limits are in
// protocol/protocol.h.
#ifndef KIV_LINK_LINK_H
#define KIV_LINK_LINK_H

#include <stddef.h>
#include <stdint.h>

#include "handle.h"
#include "kiv_ipod.h"

#ifdef __cplusplus
extern "C" {
#endif

// One framed message. Inbound: payload is a malloc'ed block of `length`
// bytes (null when length is 0). Outbound: payload is the value to encode.
typedef struct ipod_packet {
    uint32_t tid;
    uint16_t opcode;
    uint32_t length;
    void *payload;
    struct ipod_packet *next;
    // Inbound: the packet's place in arrival order (1 for the first one of
    // the handle), which bounds a dispatch pass to what had arrived when it
    // started, and the bytes its record and payload really occupy, which
    // the queue limit counts.
    uint64_t seq;
    uint64_t footprint;
} ipod_packet;

// A handle around a connected descriptor (or -1): empty queue, caches in
// their reset state. kiv_ipod_connect builds on it; tests, benchmarks and
// fuzzers wrap one end of a socketpair with it.
kiv_ipod_client *ipod_client_new(int fd);
// Connects to the daemon's socket, waiting at most `milliseconds` for the
// daemon to take the connection (0: as long as it takes). The descriptor,
// or -1.
int ipod_connect_bounded(int32_t milliseconds);
// Connects `fd` to the abstract socket `name` without libcutils: 0, or -1
// with errno set (ENAMETOOLONG for a name of more than 107 bytes).
int ipod_connect_abstract(int fd, const char *name);
ipod_packet *ipod_packet_new(void);
// A packet with room for `room` payload bytes directly behind it, which
// ipod_packet_free releases with the packet.
ipod_packet *ipod_packet_with_room(size_t room);
void ipod_packet_free(ipod_packet *packet);
// Assigns the next transaction id into request->tid, writes header and
// encoded payload. Returns the bytes written, or -1 on a failed write.
int32_t ipod_send(kiv_ipod_client *client, ipod_packet *request);
int32_t ipod_write_all(kiv_ipod_client *client, const void *data, uint32_t count);
// One read plus reassembly: packets queued, 0, or -1 (connection lost).
int32_t ipod_read_packets(kiv_ipod_client *client);
// Bytes a heap block of `size` bytes occupies with the allocator's own
// header and rounding (the usual layout: one word of header, blocks in
// steps of the allocator's alignment, the larger of two words and
// alignof(max_align_t), 16 bytes on i386; at least four words; whole
// pages from 128 KiB, where blocks are mapped on their own): what the
// queue and cache limits count, so that they hold for what is really
// allocated.
uint64_t ipod_block_footprint(uint64_t size);
// True when a read would not block: data, a hang-up or an error is
// waiting on the descriptor (or there is none).
int ipod_readable_now(const kiv_ipod_client *client);
// Takes the reply to a blocking request (owned; null when none came) and
// returns the request's result.
typedef int32_t (*ipod_reply_handler)(kiv_ipod_client *client, ipod_packet *reply, void *context);
// A dispatching wait whose reply is queued, linked from the handle while
// the dispatch pass that will meet the reply runs.
typedef struct ipod_wait {
    uint32_t tid;
    ipod_reply_handler handler;
    void *context;
    int32_t result;
    int handled;
    // The failure kind as the handler left it (KIV_IPOD_ERROR_*).
    int32_t error_kind;
    // last_error as the handler left it, put back once the packets after
    // the reply have been dispatched (they clear it).
    char *error_after;
    struct ipod_wait *outer;
} ipod_wait;
// Waits for the packet with `tid` and hands it to `handler`, or null when
// the connection ended, the handle's bound passed (logged as "<name>, no
// reply within <n> ms") or tid is 0. With `dispatch`, packets are applied
// in arrival order: those that arrived before the reply are dispatched,
// then the reply is handled, then the rest is dispatched, all before the
// call returns. Returns the handler's result.
int32_t ipod_await(kiv_ipod_client *client, uint32_t tid, const char *name, int dispatch,
                   ipod_reply_handler handler, void *context);
// ipod_await that returns the packet itself (null for none).
ipod_packet *ipod_wait_reply(kiv_ipod_client *client, uint32_t tid, int dispatch);
// The dispatching wait that expects `tid` and has not had it yet, or null.
ipod_wait *ipod_wait_for(kiv_ipod_client *client, uint32_t tid);
// Hands `reply` (unlinked from the queue) to the wait's handler.
void ipod_wait_take(kiv_ipod_client *client, ipod_wait *wait, ipod_packet *reply);
// One dispatch pass over the packets that had arrived when it started
// (those queued later wait for the next pass); inside a blocking call it
// also ends at the call's deadline.
void ipod_dispatch(kiv_ipod_client *client);
// The next event of a pass, after handling the replies and pings ahead of
// it; null once no packet up to arrival number `last_seq` is left.
kiv_ipod_event *ipod_dispatch_next(kiv_ipod_client *client, uint64_t last_seq);
// True while a blocking call's deadline is set and has passed.
int ipod_call_expired(const kiv_ipod_client *client);
// Empties every pending-reply slot that holds `tid`: run once the reply
// with that id has been handled, whatever route it took.
void ipod_release_slots(kiv_ipod_client *client, uint32_t tid);
// Records the kind of a failure (KIV_IPOD_ERROR_*), or NONE after success.
void ipod_set_error_kind(kiv_ipod_client *client, int32_t kind);
// Releases the handle and everything it owns (kiv_ipod_close, or the
// outermost call once a callback closed the handle).
void ipod_client_release(kiv_ipod_client *client);
// Sets last_error to a copy of `text` (null clears it).
void ipod_set_last_error(kiv_ipod_client *client, const char *text);
// Decodes an inbound payload; null for no payload or undecodable bytes
// (logged once).
serialize_value *ipod_decode_payload(const ipod_packet *packet);
// Inbound queue helpers: append at the tail; unlink the packet after
// `prev` (the sentinel for the head) and return it, or null.
void ipod_queue_append(kiv_ipod_client *client, ipod_packet *packet);
ipod_packet *ipod_queue_unlink_after(kiv_ipod_client *client, ipod_packet *prev);

#ifdef __cplusplus
}

// Marks an exported call that can run callbacks, for its whole body: a
// kiv_ipod_close made by one of them takes effect when the outermost such
// call returns, after its last use of the handle.
struct ipod_entry {
    kiv_ipod_client *client;
    explicit ipod_entry(kiv_ipod_client *c) : client(c) {
        if (client) client->entry_depth++;
    }
    ~ipod_entry() {
        if (client && --client->entry_depth == 0 && client->close_pending) ipod_client_release(client);
    }
    ipod_entry(const ipod_entry &) = delete;
    ipod_entry &operator=(const ipod_entry &) = delete;
};
#endif

#endif  // KIV_LINK_LINK_H
