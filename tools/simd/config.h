// The simulator's settings from its command line, what one client may
// cost it, and the faults the web panel switches on.
#ifndef KIV_SIMD_CONFIG_H
#define KIV_SIMD_CONFIG_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace simd {

constexpr const char *kDefaultSocket = "com.kiv.ipod.IPodDaemon";
// Opcode of the simulator's own control request (not part of the device
// protocol): a string payload such as "hotplug". Served only when the
// simulator runs with --allow-control, and then only to processes of its
// own user; otherwise it is an unknown opcode like any other.
constexpr uint8_t kControlOpcode = 200;

// What one client may cost the simulator. Request payloads above
// kSmallPayload are admitted only while all buffered bytes (partial
// requests and unsent output, every client counted) stay within
// kBufferBudget; a request may hold at most kMaxValuesPerRequest values;
// a client is served at most kFramesPerRound requests per loop round, and
// its requests are not read while more than kMaxOutputBeforeReading bytes
// of its output wait to be sent.
constexpr size_t kSmallPayload = 64 * 1024;
constexpr size_t kBufferBudget = 64u * 1024u * 1024u;
constexpr size_t kMaxValuesPerRequest = 10000;
constexpr int kFramesPerRound = 32;
constexpr size_t kMaxOutputBeforeReading = 1024 * 1024;
// A client that has left this many pings in a row unanswered, and sent
// nothing at all for kMinSilenceMs, is closed (its place is freed).
constexpr int kDefaultEvictAfter = 3;
constexpr int kMinSilenceMs = 1000;

struct Options {
    std::string socket_name = kDefaultSocket;
    int ping_interval_ms = 5000;  // 0: no pings
    std::string artwork_dir;      // empty: $TMPDIR or /tmp
    bool quiet = false;
    int max_clients = 64;                  // connections beyond this are closed at once
    int evict_after = kDefaultEvictAfter;  // unanswered pings; 0: never evict
    bool allow_control = false;            // serve the control opcode
    std::string capture;                   // --capture FILE: every frame into a pcap file
};

// Faults switched on from the web panel to exercise a client's error paths.
struct Faults {
    int delay_ms = 0;              // every reply leaves this much later (order kept)
    bool drop_next_reply = false;  // the next request gets no reply at all
    std::string error_next;        // non-empty: the next request is answered with this error
    bool ignore_pings = false;     // a client's ping answers get no reply
};

}  // namespace simd

#endif
