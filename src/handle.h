// The layout of the client handle and of the records it embeds. Each
// subsystem's header says which functions read and write which fields;
// this one only lays them out.
#ifndef KIV_HANDLE_H
#define KIV_HANDLE_H

#include <stdint.h>

#include "kiv_ipod.h"
#include "protocol/protocol.h"

struct ipod_packet;
struct ipod_wait;
struct kiv_capture;

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

// Cached metadata of one track.
typedef struct track_info {
    char *title;
    unsigned char *uid;  // exactly IPOD_TRACK_UID_SIZE bytes
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
    struct ipod_packet *packets;
    uint32_t ready;
    int32_t current_session;
    uint32_t session_opened;
    serialize_value *devices;
    char *last_error;
    // Pending-reply slots, one per reply kind (protocol.def): the id of the
    // latest request of that kind whose reply has not been handled, or 0.
    uint32_t pending[IPOD_REPLY_KINDS];
    uint32_t preference_type;
    track_info current_track;
    track_info indexed_track;
    int32_t db_itunes_info_count;
    uint8_t db_last_sync_time[IPOD_LAST_SYNC_SIZE];
    uint8_t db_device_uid[IPOD_TRACK_UID_SIZE];
    char version[IPOD_VERSION_TEXT_SIZE];
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
    struct ipod_packet *packets_tail;
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

#endif  // KIV_HANDLE_H
