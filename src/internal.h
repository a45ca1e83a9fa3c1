// Internal records and functions shared by the library's subsystems.
// Nothing here is exported: the build hides every symbol that the public
// header does not mark KIV_EXPORT.
#ifndef KIV_INTERNAL_H
#define KIV_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include "kiv_ipod.h"

#ifdef __cplusplus
extern "C" {
#endif

// ---------------------------------------------------------------- link

// Largest payload accepted from the daemon. A header announcing more
// closes the connection instead of growing the reassembly buffer.
#define IPOD_MAX_PAYLOAD (16u * 1024u * 1024u)
// Most bytes the inbound queue holds (each packet counts its record and its
// payload). Packets pile up while nothing dispatches them (the opening
// handshake, a blocking wait); past this the connection is closed.
#define IPOD_MAX_QUEUED (64u * 1024u * 1024u)
// Dispatch passes that may run inside each other: a callback's blocking
// request or kiv_ipod_read() starts a pass inside the running one. A wait or
// read that starts while this many passes run leaves the queue to them.
#define IPOD_MAX_NESTED_DISPATCH 16
// How long a write on a non-blocking descriptor waits for room when the
// handle sets no bound of its own.
#define IPOD_NONBLOCKING_WRITE_WAIT_MS 1000
// Most bytes the caches of one handle hold together (records, track lists,
// chapters, the indexed track's list, the track records' texts, the device
// list), counted as allocated. Each reply respects IPOD_MAX_PAYLOAD, but a
// decoded tree takes many times its encoding, and several caches filled to
// the limit would hold gigabytes in a UI process. A reply that would pass
// this is refused and leaves its cache as it was.
#define IPOD_MAX_RETAINED (64u * 1024u * 1024u)
// The caches counted against IPOD_MAX_RETAINED.
enum {
    IPOD_RETAINED_RECORDS,
    IPOD_RETAINED_DB_TRACKS,
    IPOD_RETAINED_PB_TRACKS,
    IPOD_RETAINED_CHAPTERS,
    IPOD_RETAINED_INDEXED_TRACK,
    IPOD_RETAINED_CURRENT_TRACK,
    IPOD_RETAINED_DEVICES,
    IPOD_RETAINED_KINDS
};
// Conversion for a text from the daemon in a log line: at most 256 bytes of
// it, so that one line stays one record of bounded size whatever a reply
// holds (the system log keeps about 4 KiB of a record anyway).
#define IPOD_LOG_TEXT "%.256s"
#define IPOD_HEADER_SIZE 16u
#define IPOD_HEADER_MARKER 0xFE

#define IPOD_OP_OPEN 0
#define IPOD_OP_EVENT 1
#define IPOD_OP_PACKET_ERROR 3
#define IPOD_OP_PING 54

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

// Cached metadata of one track.
typedef struct track_info {
    char *title;
    unsigned char *uid;  // exactly 8 bytes
    char *chapter;
    char *artist;
    char *album;
    char *composer;
    char *genre;
    int32_t length;
    int32_t position;
    int32_t state;
    int32_t number_of_tracks;
    int32_t track_index;
    int32_t chapter_index;
    int32_t chapter_count;
    int32_t sample_rate;
    int32_t timestamp;
    int32_t timestamp_usec;
    int32_t has_artwork;
    int32_t has_chapters;
    int32_t is_audiobook;
    int32_t is_podcast;
} track_info;

struct kiv_ipod_client {
    int32_t fd;
    int32_t pid;
    uint32_t remote;
    int32_t last_tid;
    uint16_t waiting;
    uint8_t *rx_buf;
    uint32_t rx_len;
    kiv_ipod_event_cb event_cb;
    void *event_cb_data;
    kiv_ipod_reply_cb reply_cb;
    void *reply_cb_data;
    kiv_ipod_ping_cb ping_cb;
    void *ping_cb_data;
    ipod_packet *packets;
    uint32_t ready;
    int32_t current_session;
    uint32_t session_opened;
    serialize_value *devices;
    char *last_error;
    // Pending-reply slots, in this order; reset_cache zeroes them together.
    uint32_t current_track_info_tid;
    uint32_t current_track_artwork_tid;
    uint32_t play_state_tid;
    uint32_t indexed_track_info_tid;
    uint32_t indexed_track_chapter_info_tid;
    uint32_t current_track_index_tid;
    uint32_t open_session_tid;
    uint32_t category_tid;
    uint32_t records_tid;
    uint32_t select_db_tid;
    uint32_t preference_tid;
    uint32_t db_itunes_info_tid;
    uint32_t db_track_info_tid;
    uint32_t pb_track_info_tid;
    uint32_t uid_list_tid;
    uint32_t lingo_version_tid;
    uint32_t artwork_data_tid;
    uint32_t sample_rate_tid;
    uint32_t preference_type;
    track_info current_track;
    track_info indexed_track;
    int32_t db_itunes_info_count;
    uint8_t db_last_sync_time[7];
    uint8_t db_device_uid[8];
    char version[8];
    uint16_t artwork_width;
    uint16_t artwork_height;
    uint16_t artwork_rowstride;
    uint8_t *artwork_data;
    // The image read from the daemon's artwork file: memory of the handle's
    // own, artwork_map_length bytes, refilled from that file (kept open in
    // artwork_map_fd) while the next image fits. The file is never mapped.
    uint8_t *artwork_map;
    uint32_t artwork_map_length;
    int32_t repeat_state;
    int32_t shuffle_state;
    int32_t category;
    int32_t record_count;
    serialize_value *records;
    serialize_value *db_track_info;
    serialize_value *pb_track_info;
    serialize_value *indexed_track_info;
    serialize_value *indexed_track_chapter_info;
    // Transport bookkeeping kept after the fields above: the last packet of
    // the inbound queue (the sentinel when it is empty), and the allocated
    // size of rx_buf, which grows geometrically.
    ipod_packet *packets_tail;
    uint32_t rx_cap;
    // The daemon's artwork file that artwork_map was read from, open
    // read-only while artwork_map is set.
    int32_t artwork_map_fd;
    // Bound in milliseconds of every blocking operation (reply waits and
    // writes that must wait); 0 or less: none (kiv_ipod_set_timeout).
    int32_t timeout_ms;
    // Dispatch passes running on the stack (IPOD_MAX_NESTED_DISPATCH).
    uint32_t dispatch_depth;
    // Blocking requests whose reply is in the queue and is handled at its
    // place by the running dispatch pass; innermost first.
    struct ipod_wait *waits;
    // Bytes held by the inbound queue (IPOD_MAX_QUEUED).
    uint64_t queued_bytes;
    // The packet capture (KIV_IPOD_CAPTURE, src/link/capture.h); null when
    // off, which costs one test where frames are written and cut.
    struct kiv_capture *capture;
    // Arrival number of the last packet queued (ipod_packet.seq).
    uint64_t rx_seq;
    // Monotonic millisecond deadline of the outermost blocking call that is
    // running, or -1: every write its callbacks make, every nested wait and
    // every dispatch pass inside it ends by then.
    int64_t call_deadline;
    // A failed write has been logged: the writes that follow on the same
    // lost connection fail silently.
    uint32_t send_error_logged;
    // Bytes each cache holds (IPOD_RETAINED_*), against IPOD_MAX_RETAINED.
    uint64_t retained[IPOD_RETAINED_KINDS];
    // Kind of the latest failure (kiv_ipod_last_error_kind).
    int32_t error_kind;
    // Library calls that can run callbacks (kiv_ipod_read and the blocking
    // requests) on the stack, and whether a callback closed the handle:
    // the descriptor is then closed at once and the memory released when
    // the outermost of those calls returns.
    uint32_t entry_depth;
    uint32_t close_pending;
    // Packets in the inbound queue (kiv_ipod_pending).
    uint64_t queued_packets;
};

// A handle around a connected descriptor (or -1): empty queue, caches in
// their reset state. kiv_ipod_connect builds on it; tests, benchmarks and
// fuzzers wrap one end of a socketpair with it.
kiv_ipod_client *ipod_client_new(int fd);
// Connects to the daemon's socket, waiting at most `milliseconds` for the
// daemon to take the connection (0: as long as it takes). The descriptor,
// or -1.
int ipod_connect_bounded(int32_t milliseconds);
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

// ---------------------------------------------------------------- values

// One block holding a scalar node and a copy of `length` bytes from
// `source`, followed by a NUL. Null for a negative length or when memory
// runs out.
serialize_value *serialize_blob(const void *source, int32_t length, int32_t type);

// ---------------------------------------------------------------- events

struct kiv_ipod_event {
    int32_t type;
    int16_t session;
    uint16_t ipod_id;
    char *serial;
    serialize_value *data;
    // The decoded packet, released with the event; `serial` and `data`
    // point into it rather than being copies.
    serialize_value *payload;
};

// Decodes an opcode-1 packet and applies its effects on the handle.
kiv_ipod_event *event_decode(kiv_ipod_client *client, const ipod_packet *packet);

int is_device_available(kiv_ipod_client *client, int index);
void update_device(kiv_ipod_client *client, const serialize_value *record);
// A copy of a device list that the daemon sent whole (opening reply,
// session opening), keeping at most KIV_IPOD_MAX_DEVICES records (the
// rest is dropped with one error line naming `name`); null when `devices`
// is not an array or memory runs out.
serialize_value *copy_device_list(const serialize_value *devices, const char *name);
int get_current_ipod_id(kiv_ipod_client *client);
// Removes the record at `index` from the device list.
void remove_device(kiv_ipod_client *client, int index);
// Index of the device whose "serial" is `serial`, or -1; one walk over the
// list, without a log line.
int find_device(kiv_ipod_client *client, const char *serial);

// ---------------------------------------------------------------- cache

int32_t set_track_info(kiv_ipod_client *client, const ipod_packet *packet, const char *key,
                       track_info *record);
int32_t set_indexed_track_info(kiv_ipod_client *client, const ipod_packet *packet);
void clear_track_info(track_info *record);
void reset_cache(kiv_ipod_client *client);
int32_t set_play_status(kiv_ipod_client *client, const ipod_packet *packet);
int32_t set_records(kiv_ipod_client *client, const ipod_packet *packet);
int32_t set_open_session_result(kiv_ipod_client *client, const ipod_packet *packet);
int32_t set_artwork(kiv_ipod_client *client, const ipod_packet *packet);
int32_t set_lingo_version(kiv_ipod_client *client, const ipod_packet *packet);
int32_t set_db_track_info(kiv_ipod_client *client, const ipod_packet *packet);
int32_t set_pb_track_info(kiv_ipod_client *client, const ipod_packet *packet);
int32_t set_indexed_track_chapter_info(kiv_ipod_client *client, const ipod_packet *packet);
int32_t set_current_track_sample_rate(kiv_ipod_client *client, const ipod_packet *packet);
int32_t set_db_itunes_info(kiv_ipod_client *client, const ipod_packet *packet);
// Releases the artwork (the copy read from the daemon's file and that file,
// and any inline copy) and zeroes its sizes.
void release_artwork(kiv_ipod_client *client);

// ---------------------------------------------------------------- requests

uint32_t preference_type_to_wire(int32_t type);
uint32_t preference_setting_to_wire(uint32_t setting);
uint32_t preference_setting_from_wire(uint32_t type, uint32_t wire);

// ---------------------------------------------------------------- copies

// memcpy for large payload copies. glibc's large-copy path (rep movsb) runs
// many times slower on some x86 cores when the destination starts less than
// 64 bytes past the source modulo 4 KiB, which is the usual layout when a
// block is allocated right after the one it copies. Such ranges are copied
// in 1 KiB pieces, which stay on the vector path.
void kiv_copy_bytes(void *dst, const void *src, size_t count);

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

#endif  // KIV_INTERNAL_H
