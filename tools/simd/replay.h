// kiv-ipod-simd --replay FILE: serves the daemon's side of one recorded
// connection of a capture to the next client that connects, and reports
// where the client's requests leave the recording.
//
// A connection is what the records' connection number names: the
// simulator's captures number their clients (`#N` in kiv-ipod dump), a
// library capture holds one handle's connection, numbered 0. The first
// connection of the file is replayed unless another is asked for.
//
// Every frame from the daemon is tied to the last request before it (its
// anchor; ping answers are never anchors) and leaves the recorded time
// after it, divided by the speed, once the client has sent the request
// that matches the anchor, and never before the frames recorded ahead of
// it. A reply carries the transaction id of the client's matching request.
#ifndef KIV_SIMD_REPLAY_H
#define KIV_SIMD_REPLAY_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "../common/capture_reader.h"

namespace simd {

struct ReplayOptions {
    std::string file;
    bool pick_connection = false;  // --connection N given
    uint32_t connection = 0;
    double speed = 1.0;  // 0: as fast as possible
    bool lenient = false;
    std::string socket_name;
    bool quiet = false;
};

// A recorded frame is the longest this long after its anchor: a gap in a
// recording never stalls a replay for longer.
constexpr uint64_t kMaxReplayDelayUs = 300ull * 1000 * 1000;
// All the frames of a recording held at once.
constexpr size_t kMaxReplayBytes = 256u * 1024u * 1024u;
constexpr uint8_t kPingOpcode = IPOD_OP_ping;
constexpr uint8_t kEventOpcode = IPOD_OP_event;

struct Recorded {
    enum Kind {
        Request,    // to the daemon
        Reply,      // answers `request`; sent in order with the client's tid
        PingReply,  // answers the ping answer `request`; sent when it comes
        Push,       // an event, a ping, anything else from the daemon
    };
    kivcap::Record record;
    Kind kind = Push;
    uint8_t opcode = 0;
    uint32_t tid = 0;
    int request = -1;  // Reply, PingReply: the request (index into requests)
    int anchor = -1;   // from the daemon: the request (-1: the connection's start)
    uint64_t delay_us = 0;
    std::string bytes;  // the whole frame as recorded

    const uint8_t *payload() const { return record.frame() + kivcap::kHeaderSize; }
    size_t payload_size() const { return record.frame_size() - kivcap::kHeaderSize; }
};

struct Recording {
    std::string path;
    uint32_t connection = 0;
    std::vector<Recorded> frames;
    std::vector<size_t> requests;     // indices into frames
    std::vector<int> ping_reply;      // per request: its PingReply frame, or -1
    std::vector<uint32_t> available;  // the connection numbers of the file
};

// Reads the connection out of the file; false with the reason for a file
// that is not a whole capture, has no such connection, or holds a frame
// that cannot be sent again (cut, or shorter than a header).
bool load_recording(const ReplayOptions &options, Recording &out, std::string &why);

// The recorded and the received frame, each as `kiv-ipod dump -v` prints
// it, in two columns under a line naming the place in the recording.
std::string divergence_text(const Recording &rec, size_t request, const std::string &received,
                            const std::string &why);

// Serves the recording to one client (replay_serve.cpp); the exit code.
int serve_recording(const Recording &rec, const ReplayOptions &options);

// --replay: 0 when the whole recording was played and every request
// matched, 1 otherwise, 2 for a file that cannot be replayed.
int replay(const ReplayOptions &options);

}  // namespace simd

#endif
