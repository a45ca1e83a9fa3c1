// Packet capture of a handle's traffic (KIV_IPOD_CAPTURE): every frame the
// handle sends and receives, byte-exact, with a timestamp and its
// direction, in a pcap file that Wireshark (tools/wireshark/kiv_ipod.lua)
// and `kiv-ipod dump` read.
//
// File layout: the classic pcap header (microsecond timestamps, written
// little-endian) with link type KIV_CAPTURE_LINKTYPE; every record holds an
// 8-byte pseudo-header followed by the frame:
//   byte 0     direction: 0 to the daemon, 1 from the daemon
//   bytes 1-3  zero
//   bytes 4-7  connection number, big-endian (0 in the library's files,
//              the client number in the simulator's)
// A frame longer than KIV_CAPTURE_SNAPLEN is cut there; the record keeps
// its whole length as the original length.
//
// A capture holds everything on the wire, Bluetooth PIN codes included.
#ifndef KIV_LINK_CAPTURE_H
#define KIV_LINK_CAPTURE_H

#include <stddef.h>
#include <stdint.h>

// DLT_USER0: a link type of the range kept for private use.
#define KIV_CAPTURE_LINKTYPE 147u
#define KIV_CAPTURE_PSEUDO_HEADER 8u
// Longest record body (pseudo-header and frame) kept; the largest packet
// Wireshark reads for a private link type.
#define KIV_CAPTURE_SNAPLEN (256u * 1024u)
// Records gather in a buffer of this size before they are written: a crash
// loses at most this much.
#define KIV_CAPTURE_BUFFER (64u * 1024u)

#define KIV_CAPTURE_TO_DAEMON 0
#define KIV_CAPTURE_FROM_DAEMON 1

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kiv_capture kiv_capture;

// Creates the capture for a new handle: `path` names a file, created anew
// (0600, never through a symbolic link), or an existing directory, in which
// the handle's own file kiv-ipod-<pid>-<n>.pcap is created. Null, with one
// error line logged, when the file cannot be created.
kiv_capture *kiv_capture_open(const char *path);
// Takes the time that the following records carry: frames cut from one
// read arrived together, so one clock reading serves them all.
void kiv_capture_stamp(kiv_capture *capture);
// Records one frame with the last stamp: `head` (head_len bytes) followed by `body` (body_len
// bytes; may be null when 0). A failed write logs one error line and turns
// the capture off for good (later calls do nothing).
void kiv_capture_frame(kiv_capture *capture, int direction, const void *head, uint32_t head_len,
                       const void *body, uint32_t body_len);
// Writes out what the buffer holds.
void kiv_capture_flush(kiv_capture *capture);
// Flushes, closes the file and frees the capture (null is allowed).
void kiv_capture_close(kiv_capture *capture);

#ifdef __cplusplus
}
#endif

#endif  // KIV_LINK_CAPTURE_H
