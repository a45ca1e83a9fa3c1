// Packet framing, writing requests, reassembling the inbound stream into
// the queue, and waiting for a reply.
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "capture.h"
#include "handle.h"
#include "link/link.h"
#include "protocol/protocol.h"
#include "values.h"

namespace {

// Payloads from this size up may take over the reassembly buffer.
constexpr uint32_t kHandOverMin = 64 * 1024;
// Requests whose encoding fits go out in one write with their header.
constexpr uint32_t kCoalesceLimit = 4096;

uint32_t load_be32(const uint8_t *p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

void store_be32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

void close_connection(kiv_ipod_client *client) {
    if (client->fd >= 0) close(client->fd);
    client->fd = -1;
}

int64_t now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// No deadline: wait as long as it takes.
constexpr int64_t kNoDeadline = -1;

int64_t deadline_after(int32_t milliseconds) {
    return milliseconds > 0 ? now_ms() + milliseconds : kNoDeadline;
}

// The earlier of two deadlines, either of which may be none.
int64_t earlier(int64_t a, int64_t b) {
    if (a == kNoDeadline) return b;
    if (b == kNoDeadline) return a;
    return std::min(a, b);
}

// Logs a failed write once per handle: on a lost connection every later
// write fails the same way, and a flood of pings must not become a flood
// of log lines.
void log_send_error(kiv_ipod_client *client, const char *reason) {
    if (client->send_error_logged) return;
    client->send_error_logged = 1;
    kv_error("send error: %s\n", reason);
}

// Blocks until the descriptor is ready for `events` (an error or hang-up
// counts as ready: the next call reports it) or the deadline passes.
// False when the deadline passed first.
bool wait_ready(int fd, short events, int64_t deadline) {
    for (;;) {
        int wait = -1;
        if (deadline != kNoDeadline) {
            int64_t left = deadline - now_ms();
            if (left <= 0) return false;
            wait = left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
        }
        pollfd p = {fd, events, 0};
        int n = poll(&p, 1, wait);
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return true;  // let the read or write report it
    }
}

// Makes room for `extra` more bytes in rx_buf, doubling the allocation so
// that a large payload costs amortised linear copying. False when the
// memory cannot be had.
bool rx_reserve(kiv_ipod_client *client, uint32_t extra) {
    uint64_t need = static_cast<uint64_t>(client->rx_len) + extra;
    if (need <= client->rx_cap && client->rx_buf) return true;
    uint64_t cap = client->rx_cap ? client->rx_cap : IPOD_READ_CHUNK;
    while (cap < need) cap *= 2;
    void *grown = realloc(client->rx_buf, static_cast<size_t>(cap));
    if (!grown) return false;
    client->rx_buf = static_cast<uint8_t *>(grown);
    client->rx_cap = static_cast<uint32_t>(cap);
    return true;
}

void rx_release(kiv_ipod_client *client) {
    free(client->rx_buf);
    client->rx_buf = nullptr;
    client->rx_len = 0;
    client->rx_cap = 0;
}

// How many bytes to ask for: 1024, or the rest of a packet whose header
// has arrived and whose payload is larger, so that one large reply does
// not take thousands of reads.
uint32_t read_size(const kiv_ipod_client *client) {
    if (client->rx_len < IPOD_HEADER_SIZE) return IPOD_READ_CHUNK;
    uint32_t length = load_be32(client->rx_buf + IPOD_HEADER_LENGTH_AT);
    if (length > IPOD_MAX_PAYLOAD) return IPOD_READ_CHUNK;
    uint32_t total = IPOD_HEADER_SIZE + length;
    uint32_t missing = total > client->rx_len ? total - client->rx_len : 0;
    return std::max<uint32_t>(missing, IPOD_READ_CHUNK);
}

// Cuts every complete packet out of rx_buf into the queue. Returns the
// number queued, or -1 when a header announces a payload over the limit
// (the connection is then closed and the buffer dropped).
int32_t frame_packets(kiv_ipod_client *client, bool *oversize) {
    int32_t count = 0;
    uint32_t offset = 0;
    *oversize = false;
    while (client->rx_len - offset >= IPOD_HEADER_SIZE) {
        const uint8_t *header = client->rx_buf + offset;
        uint32_t length = load_be32(header + IPOD_HEADER_LENGTH_AT);
        if (length > IPOD_MAX_PAYLOAD) {
            kv_error("ipod_read_packets, payload length %u exceeds the limit of %u bytes\n", length,
                     IPOD_MAX_PAYLOAD);
            // The bad header goes into the capture as it came: the evidence
            // of why the connection ended.
            if (client->capture)
                kiv_capture_frame(client->capture, KIV_CAPTURE_FROM_DAEMON, header, client->rx_len - offset,
                                  nullptr, 0);
            *oversize = true;
            break;
        }
        // Both terms are bounded (length by the limit), so no overflow.
        if (client->rx_len - offset - IPOD_HEADER_SIZE < length) break;
        // A large packet that fills the whole buffer takes the buffer over
        // as its payload block (moved down over the header) instead of a
        // fresh block and a full copy: no second large mapping to fault in.
        bool take_buffer =
            offset == 0 && length >= kHandOverMin && client->rx_len == IPOD_HEADER_SIZE + length;
        const uint64_t footprint =
            take_buffer ? ipod_block_footprint(sizeof(ipod_packet)) + ipod_block_footprint(client->rx_cap)
                        : ipod_block_footprint(sizeof(ipod_packet) + length);
        if (client->queued_bytes + footprint > IPOD_MAX_QUEUED) {
            // Nothing is draining the queue (a handshake or a blocking wait
            // under a flood): give up the connection before memory runs out.
            kv_error("ipod_read_packets, inbound queue exceeds the limit of %u bytes\n", IPOD_MAX_QUEUED);
            *oversize = true;
            break;
        }
        // Otherwise the payload is stored in the packet's own block.
        ipod_packet *packet = ipod_packet_with_room(take_buffer ? 0 : length);
        if (!packet) {
            // Without memory the stream cannot be kept in step: give up the
            // connection rather than drop a packet silently.
            kv_error("ipod_read_packets, out of memory for a packet of %u bytes\n", length);
            *oversize = true;
            break;
        }
        // An empty packet has no payload pointer.
        void *payload = take_buffer ? client->rx_buf : length ? static_cast<void *>(packet + 1) : nullptr;
        if (client->capture)
            kiv_capture_frame(client->capture, KIV_CAPTURE_FROM_DAEMON, header, IPOD_HEADER_SIZE,
                              header + IPOD_HEADER_SIZE, length);
        packet->tid = load_be32(header + IPOD_HEADER_TID_AT);
        packet->opcode = header[IPOD_HEADER_OPCODE_AT];
        packet->length = length;
        if (take_buffer) {
            memmove(payload, header + IPOD_HEADER_SIZE, length);
            client->rx_buf = nullptr;
            client->rx_len = 0;
            client->rx_cap = 0;
        } else if (length) {
            kiv_copy_bytes(payload, header + IPOD_HEADER_SIZE, length);
        }
        packet->payload = payload;
        packet->footprint = footprint;
        ipod_queue_append(client, packet);
        offset += IPOD_HEADER_SIZE + length;
        count++;
        if (take_buffer) return count;
    }
    if (*oversize) {
        rx_release(client);
        close_connection(client);
        return count;
    }
    if (offset == client->rx_len) {
        rx_release(client);
    } else if (offset > 0) {
        // Only the unconsumed tail moves, and only after a packet was cut
        // in front of it, so each byte moves at most once.
        memmove(client->rx_buf, client->rx_buf + offset, client->rx_len - offset);
        client->rx_len -= offset;
    }
    return count;
}

// One read and reassembly. `would_block` reports a non-blocking
// descriptor that had no data (not a lost connection).
int32_t read_packets(kiv_ipod_client *client, bool *would_block) {
    *would_block = false;
    if (client->fd < 0) return -1;
    uint32_t want = read_size(client);
    if (!rx_reserve(client, want)) {
        kv_error("ipod_read_packets, out of memory for %u bytes\n", client->rx_len + want);
        close_connection(client);
        return -1;
    }
    ssize_t n;
    do {
        n = read(client->fd, client->rx_buf + client->rx_len, want);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        *would_block = true;
        return 0;
    }
    if (n <= 0) {
        close_connection(client);
        return -1;
    }
    client->rx_len += static_cast<uint32_t>(n);
    if (client->capture) kiv_capture_stamp(client->capture);
    bool failed = false;
    int32_t count = frame_packets(client, &failed);
    // Packets cut before an oversize header are still handed out; the
    // next read then reports the closed connection.
    if (failed && count == 0) return -1;
    return count;
}

// Writes the whole range. A write that has to wait for room waits at most
// the handle's bound (or, on a descriptor the application made
// non-blocking, IPOD_NONBLOCKING_WRITE_WAIT_MS when there is none), counted
// from the first wait and shared through `deadline` by the writes of one
// frame; then the connection is closed, since a half-written frame cannot
// be resumed.
int32_t write_bounded(kiv_ipod_client *client, const void *data, uint32_t count, int64_t *deadline) {
    if (count == 0) return 0;
    const uint8_t *p = static_cast<const uint8_t *>(data);
    uint32_t left = count;
    // With a bound, a blocking descriptor is written without blocking too,
    // so that the wait happens in poll where it can end.
    const int flags = MSG_NOSIGNAL | (client->timeout_ms > 0 ? MSG_DONTWAIT : 0);
    while (left > 0) {
        // MSG_NOSIGNAL: a daemon that went away is a failed write, not a
        // SIGPIPE that kills the application.
        ssize_t n = -1;
        if (client->fd < 0)
            errno = EBADF;
        else
            n = send(client->fd, p, left, flags);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (*deadline == kNoDeadline)
                *deadline = deadline_after(client->timeout_ms > 0 ? client->timeout_ms
                                                                  : IPOD_NONBLOCKING_WRITE_WAIT_MS);
            // Inside a blocking call the write ends with the call.
            if (wait_ready(client->fd, POLLOUT, earlier(*deadline, client->call_deadline))) continue;
            errno = ETIMEDOUT;
        }
        if (n <= 0) {
            ipod_set_error_kind(client, client->fd >= 0 && errno == ETIMEDOUT ? KIV_IPOD_ERROR_TIMEOUT
                                                                              : KIV_IPOD_ERROR_NOT_CONNECTED);
            log_send_error(client, strerror(n == 0 ? EIO : errno));
            close_connection(client);
            return -1;
        }
        p += n;
        left -= static_cast<uint32_t>(n);
    }
    return static_cast<int32_t>(count);
}

// Reply handler that hands the packet itself back through `context`.
int32_t keep_reply(kiv_ipod_client *, ipod_packet *reply, void *context) {
    *static_cast<ipod_packet **>(context) = reply;
    return 0;
}

}  // namespace

extern "C" {

ipod_packet *ipod_packet_new(void) {
    return ipod_packet_with_room(0);
}

ipod_packet *ipod_packet_with_room(size_t room) {
    auto *packet = static_cast<ipod_packet *>(malloc(sizeof(ipod_packet) + room));
    if (packet) memset(packet, 0, sizeof(ipod_packet));
    return packet;
}

void ipod_packet_free(ipod_packet *packet) {
    if (!packet) return;
    if (packet->payload != packet + 1) free(packet->payload);
    free(packet);
}

void ipod_queue_append(kiv_ipod_client *client, ipod_packet *packet) {
    ipod_packet *tail = client->packets_tail;
    if (!tail) {
        tail = client->packets;
        while (tail->next) tail = tail->next;
    }
    packet->next = nullptr;
    tail->next = packet;
    client->packets_tail = packet;
    if (packet->footprint == 0)
        packet->footprint = ipod_block_footprint(sizeof(ipod_packet) + packet->length);
    packet->seq = ++client->rx_seq;
    client->queued_bytes += packet->footprint;
    client->queued_packets++;
}

ipod_packet *ipod_queue_unlink_after(kiv_ipod_client *client, ipod_packet *prev) {
    ipod_packet *packet = prev ? prev->next : nullptr;
    if (!packet) return nullptr;
    prev->next = packet->next;
    if (client->packets_tail == packet) client->packets_tail = prev;
    packet->next = nullptr;
    uint64_t size = packet->footprint;
    if (client->queued_packets > 0) client->queued_packets--;
    client->queued_bytes = client->queued_bytes > size ? client->queued_bytes - size : 0;
    return packet;
}

int32_t ipod_write_all(kiv_ipod_client *client, const void *data, uint32_t count) {
    int64_t deadline = kNoDeadline;
    return write_bounded(client, data, count, &deadline);
}

int32_t ipod_send(kiv_ipod_client *client, ipod_packet *request) {
    int32_t tid = (client->last_tid <= 0 || client->last_tid == INT32_MAX) ? 1 : client->last_tid + 1;
    client->last_tid = tid;
    request->tid = static_cast<uint32_t>(tid);

    uint8_t buffer[IPOD_HEADER_SIZE + kCoalesceLimit];
    memset(buffer, 0, IPOD_HEADER_SIZE);
    buffer[0] = IPOD_HEADER_MARKER;
    store_be32(buffer + IPOD_HEADER_TID_AT, request->tid);
    buffer[IPOD_HEADER_OPCODE_AT] = static_cast<uint8_t>(request->opcode & 0xFF);

    uint8_t *encoded = nullptr;
    int32_t length = 0;
    if (request->payload) {
        encoded = serialize(static_cast<const serialize_value *>(request->payload), &length);
        if (encoded == nullptr) {
            // A request that cannot be encoded cannot be sent faithfully;
            // failing like a write keeps a waiting caller from hanging.
            log_send_error(client, "payload cannot be encoded");
            ipod_set_error_kind(client, KIV_IPOD_ERROR_LIMIT);
            close_connection(client);
            return -1;
        }
    }
    store_be32(buffer + IPOD_HEADER_LENGTH_AT, static_cast<uint32_t>(length));

    int64_t deadline = kNoDeadline;
    int32_t written;
    if (client->capture) kiv_capture_stamp(client->capture);
    if (length > 0 && static_cast<uint32_t>(length) <= kCoalesceLimit) {
        memcpy(buffer + IPOD_HEADER_SIZE, encoded, static_cast<size_t>(length));
        written = write_bounded(client, buffer, IPOD_HEADER_SIZE + static_cast<uint32_t>(length), &deadline);
        if (written != -1 && client->capture)
            kiv_capture_frame(client->capture, KIV_CAPTURE_TO_DAEMON, buffer,
                              IPOD_HEADER_SIZE + static_cast<uint32_t>(length), nullptr, 0);
    } else {
        written = write_bounded(client, buffer, IPOD_HEADER_SIZE, &deadline);
        if (written != -1 && length > 0) {
            int32_t rest = write_bounded(client, encoded, static_cast<uint32_t>(length), &deadline);
            written = rest < 0 ? -1 : written + rest;
        }
        if (written != -1 && client->capture)
            kiv_capture_frame(client->capture, KIV_CAPTURE_TO_DAEMON, buffer, IPOD_HEADER_SIZE, encoded,
                              static_cast<uint32_t>(length));
    }
    free(encoded);
    return written;
}

int32_t ipod_read_packets(kiv_ipod_client *client) {
    bool would_block;
    return read_packets(client, &would_block);
}

uint64_t ipod_block_footprint(uint64_t size) {
    const uint64_t word = sizeof(size_t);
    const uint64_t step = std::max<uint64_t>(alignof(max_align_t), 2 * word);
    const uint64_t total = (size + word + step - 1) / step * step;
    const uint64_t least = std::max(4 * word, step);
    // From the allocator's usual mmap threshold up, a block is whole pages
    // with a header of its own.
    constexpr uint64_t kMappedFrom = 128 * 1024;
    if (total >= kMappedFrom) {
        static const uint64_t page =
            static_cast<uint64_t>(sysconf(_SC_PAGESIZE) > 0 ? sysconf(_SC_PAGESIZE) : 4096);
        // The block and its header word are never a whole number of pages
        // (a word past a multiple of the step): the pages that hold them.
        return ((total + word) / page + 1) * page;
    }
    return total < least ? least : total;
}

int ipod_readable_now(const kiv_ipod_client *client) {
    if (client->fd < 0) return 1;
    pollfd p = {client->fd, POLLIN, 0};
    int n;
    do {
        n = poll(&p, 1, 0);
    } while (n < 0 && errno == EINTR);
    return n != 0 ? 1 : 0;
}

int ipod_call_expired(const kiv_ipod_client *client) {
    return client->call_deadline != kNoDeadline && now_ms() >= client->call_deadline ? 1 : 0;
}

ipod_wait *ipod_wait_for(kiv_ipod_client *client, uint32_t tid) {
    for (ipod_wait *wait = client->waits; wait; wait = wait->outer)
        if (!wait->handled && wait->tid == tid) return wait;
    return nullptr;
}

void ipod_wait_take(kiv_ipod_client *client, ipod_wait *wait, ipod_packet *reply) {
    if (reply->opcode == IPOD_OP_packet_error) kv_error("Packet error: transaction id 0x%04x\n", reply->tid);
    wait->handled = 1;
    // Like every reply, the awaited one starts from no error text: a
    // successful reply leaves none behind from an earlier failure.
    ipod_set_last_error(client, nullptr);
    const uint32_t tid = reply->tid;
    client->error_kind = KIV_IPOD_ERROR_NONE;
    wait->result = wait->handler(client, reply, wait->context);
    ipod_release_slots(client, tid);
    wait->error_kind = client->error_kind;
    if (wait->error_kind == KIV_IPOD_ERROR_NONE && client->last_error)
        wait->error_kind = KIV_IPOD_ERROR_DAEMON;
    // A wait is taken once (ipod_wait_for skips a handled one), so it holds
    // no text yet.
    wait->error_after = client->last_error ? strdup(client->last_error) : nullptr;
}

int32_t ipod_await(kiv_ipod_client *client, uint32_t tid, const char *name, int dispatch,
                   ipod_reply_handler handler, void *context) {
    ipod_wait wait = {};
    wait.tid = tid;
    wait.handler = handler;
    wait.context = context;
    // Nothing was sent (the sender recorded why), or a callback closed the
    // handle: no reply can come.
    if (tid == 0 || client->close_pending) return handler(client, nullptr, context);
    // A wait nested in too many dispatch passes leaves the queue to them:
    // it only takes its own reply out.
    const bool dispatching = dispatch && client->dispatch_depth < IPOD_MAX_NESTED_DISPATCH;
    const int32_t bound = client->timeout_ms;
    // A call made from a callback of another blocking call ends with it.
    const int64_t outer_deadline = client->call_deadline;
    const int64_t deadline = earlier(deadline_after(bound), outer_deadline);
    client->call_deadline = deadline;
    bool expired = false;

    client->waiting = 1;
    ipod_packet *scanned = client->packets;  // packets up to here were checked
    ipod_packet *before = nullptr;           // the packet ahead of the reply
    for (;;) {
        ipod_packet *prev = scanned;
        while (prev->next && prev->next->tid != tid) prev = prev->next;
        if (prev->next) {
            before = prev;
            break;
        }
        scanned = prev;
        if (client->fd >= 0 && deadline != kNoDeadline && !wait_ready(client->fd, POLLIN, deadline)) {
            expired = true;
            break;
        }
        bool would_block;
        if (read_packets(client, &would_block) < 0) break;
        if (would_block && deadline == kNoDeadline) wait_ready(client->fd, POLLIN, kNoDeadline);
    }
    client->waiting = 0;

    if (before && dispatching) {
        // One pass applies everything in arrival order; the reply is
        // handled where it stands (ipod_dispatch_next asks ipod_wait_for).
        wait.outer = client->waits;
        client->waits = &wait;
        ipod_dispatch(client);
        ipod_wait **link = &client->waits;
        while (*link && *link != &wait) link = &(*link)->outer;
        if (*link) *link = wait.outer;
    } else if (before) {
        ipod_wait_take(client, &wait, ipod_queue_unlink_after(client, before));
    } else {
        if (expired) kv_error("%s, no reply within %d ms\n", name, bound);
        // What arrived is still delivered: after a hang-up no later read
        // can hand it out, and after an expiry nothing may come to prompt it.
        if (dispatching && client->packets->next) ipod_dispatch(client);
    }
    client->call_deadline = outer_deadline;
    // A blocking call's traffic is on disk when it returns.
    if (client->capture) kiv_capture_flush(client->capture);
    if (client->close_pending) {
        // A callback closed the handle: the call fails, whatever came.
        if (wait.handled) free(wait.error_after);
        client->error_kind = KIV_IPOD_ERROR_NOT_CONNECTED;
        return handler(client, nullptr, context);
    }
    if (!wait.handled) {
        client->error_kind = expired ? KIV_IPOD_ERROR_TIMEOUT : KIV_IPOD_ERROR_NOT_CONNECTED;
        wait.result = handler(client, nullptr, context);
    } else {
        // The reply's text again, whatever was dispatched after it.
        client->error_kind = wait.error_kind;
        free(client->last_error);
        client->last_error = wait.error_after;
    }
    return wait.result;
}

ipod_packet *ipod_wait_reply(kiv_ipod_client *client, uint32_t tid, int dispatch) {
    ipod_packet *reply = nullptr;
    ipod_await(client, tid, "ipod_wait_reply", dispatch, keep_reply, &reply);
    return reply;
}

}  // extern "C"
