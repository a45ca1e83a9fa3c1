// The protocol between the library and the daemon: the opcodes, reply
// kinds, events and play states of protocol.def as enums, the frame
// layout, every limit of the wire and of a handle with its reason, and the
// names of all of it (protocol.cpp). The tools compile protocol.cpp with this header and
// nothing else of the library, so it depends on the C library only.
#ifndef KIV_PROTOCOL_PROTOCOL_H
#define KIV_PROTOCOL_PROTOCOL_H

#include <stddef.h>
#include <stdint.h>

// ---------------------------------------------------------------- frame

// Every message is a 16-byte header and `length` payload bytes in the
// value encoding. Header bytes, big-endian where they are numbers:
//   0       marker, IPOD_HEADER_MARKER (not checked on input)
//   1..3    zero
//   4..7    transaction id (a request's; the reply carries it back)
//   8       opcode (every opcode is below 256)
//   9..11   zero
//   12..15  payload length
#define IPOD_HEADER_SIZE 16u
#define IPOD_HEADER_MARKER 0xFE
#define IPOD_HEADER_TID_AT 4u
#define IPOD_HEADER_OPCODE_AT 8u
#define IPOD_HEADER_LENGTH_AT 12u

// ---------------------------------------------------------------- limits

// Largest payload accepted from the daemon: far above any reply it sends
// (a track list of a few thousand entries is well under 1 MiB), and low
// enough that a header announcing more is taken as a broken stream. Such
// a header closes the connection instead of growing the reassembly buffer.
#define IPOD_MAX_PAYLOAD (16u * 1024u * 1024u)
// Bytes one read asks for while no header announces more: one read per
// small packet burst; a header that announces a larger payload makes the
// read ask for the rest of it at once.
#define IPOD_READ_CHUNK 1024u
// Bytes of a track uid: the requests that name a track send a byte string
// of this length, and a cached track keeps a uid of exactly this length
// (one of another length is not kept).
#define IPOD_TRACK_UID_SIZE 8u
// Bytes of the database's last synchronisation time (a packed date) in a
// database-information reply.
#define IPOD_LAST_SYNC_SIZE 7u
// Room for the lingo version text "major.minor" with its NUL; a longer
// text is cut to fit.
#define IPOD_VERSION_TEXT_SIZE 8u
// Most bytes the inbound queue holds (each packet counts its record and its
// payload). Packets pile up while nothing dispatches them (the opening
// handshake, a blocking wait); past this the connection is closed.
#define IPOD_MAX_QUEUED (64u * 1024u * 1024u)
// Most bytes the caches of one handle hold together (records, track lists,
// chapters, the indexed track's list, the track records' texts, the device
// list), counted as allocated. Each reply respects IPOD_MAX_PAYLOAD, but a
// decoded tree takes many times its encoding, and several caches filled to
// the limit would hold gigabytes in a UI process. A reply that would pass
// this is refused and leaves its cache as it was.
#define IPOD_MAX_RETAINED (64u * 1024u * 1024u)
// Dispatch passes that may run inside each other: a callback's blocking
// request or kiv_ipod_read() starts a pass inside the running one. A wait or
// read that starts while this many passes run leaves the queue to them, so
// the stack stays bounded whatever the callbacks do.
#define IPOD_MAX_NESTED_DISPATCH 16
// How long a write on a non-blocking descriptor waits for room when the
// handle sets no bound of its own: a daemon that stops reading cannot hang
// an application that never set a timeout.
#define IPOD_NONBLOCKING_WRITE_WAIT_MS 1000
// Conversion for a text from the daemon in a log line: at most 256 bytes of
// it, so that one line stays one record of bounded size whatever a reply
// holds (the system log keeps about 4 KiB of a record anyway).
#define IPOD_LOG_TEXT "%.256s"

// ---------------------------------------------------------------- enums

// Opcodes, named as in protocol.def: IPOD_OP_open, IPOD_OP_event, ...,
// IPOD_OP_play, ...
enum ipod_opcode {
#define MESSAGE(name, opcode) IPOD_OP_##name = opcode,
#define REQUEST(name, opcode, ready, reply_kind) IPOD_OP_##name = opcode,
#include "protocol/protocol.def"
    IPOD_OP_COUNT  // one past the largest opcode
};

// Pending-reply slots, in dispatch's comparison order; IPOD_REPLY_KINDS
// counts them, IPOD_NO_REPLY_KIND is a request without one.
enum ipod_reply_kind {
#define REPLY_KIND(name, parser, text) IPOD_REPLY_##name,
#include "protocol/protocol.def"
    IPOD_REPLY_KINDS,
    IPOD_NO_REPLY_KIND = IPOD_REPLY_KINDS
};

// Event types as the daemon's names decode to them; IPOD_EVENT_UNKNOWN
// for any other name.
enum ipod_event_type {
#define EVENT(name, type) IPOD_EVENT_##name = type,
#include "protocol/protocol.def"
    IPOD_EVENT_UNKNOWN = 255
};

// The daemon's play codes: IPOD_PLAY_stopped, IPOD_PLAY_playing, ...
enum ipod_play_state {
#define PLAY_STATE(name, wire, state) IPOD_PLAY_##name = wire,
#include "protocol/protocol.def"
};

// The library's play state number (KIV_IPOD_TRACK_STATE_...) of the
// daemon's code, or -1 for a code that is none.
constexpr int ipod_track_state_from_wire(int wire) {
    switch (wire) {
#define PLAY_STATE(name, wire_code, state) \
    case wire_code:                        \
        return state;
#include "protocol/protocol.def"
        default:
            return -1;
    }
}

// The readiness rule of a request.
enum ipod_ready_rule { IPOD_ANY_STATE, IPOD_READY };

// ---------------------------------------------------------------- rows

// One request of the interface.
struct ipod_request_row {
    const char *function;  // "kiv_ipod_<name>": the name in log lines
    uint8_t opcode;
    uint8_t ready;       // ipod_ready_rule
    uint8_t reply_kind;  // ipod_reply_kind, or IPOD_NO_REPLY_KIND
};

// The row of a request opcode, or null for an opcode that is no request.
const ipod_request_row *ipod_request(unsigned opcode);

// ---------------------------------------------------------------- names

// The name of an opcode ("open", "event", "play", ...), or null.
const char *ipod_opcode_name(unsigned opcode);
// The name of a reply kind ("current_track_info", ...), or null.
const char *ipod_reply_kind_name(unsigned kind);
// The daemon's name of an event type ("ipod_ready", ...), or null.
const char *ipod_event_name(int type);
// The event type of a daemon's event name; IPOD_EVENT_UNKNOWN for a name
// that is none (or null).
int ipod_event_type_of(const char *name);
// The name of a play state by the daemon's code ("stopped", "playing",
// ...), or null.
const char *ipod_play_state_name(int wire);
// The same play state named by the library's number
// (KIV_IPOD_TRACK_STATE_...), or null.
const char *ipod_track_state_name(int state);

#endif  // KIV_PROTOCOL_PROTOCOL_H
