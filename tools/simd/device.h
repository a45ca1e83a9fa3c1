// The simulated iPod as a device: its flags, the record the daemon lists
// for it, and the timeline of its reconnection after a hot-plug.
#ifndef KIV_SIMD_DEVICE_H
#define KIV_SIMD_DEVICE_H

#include <stddef.h>

#include <vector>

#include "protocol/protocol.h"
#include "wire.h"

namespace simd {

constexpr int kIpodId = 1;
constexpr const char *kSerial = "SIMPOD0000000001";

struct Device {
    bool present = true;
    int authenticated = 1, extended = 1, ready = 1;

    // Unplugged: away, and every flag down until it comes back.
    void unplug() {
        present = false;
        authenticated = extended = ready = 0;
    }
    // The device record, for a library of `audio_count` tracks.
    Value record(size_t audio_count) const;
    // The list of attached devices: the record, or nothing while away.
    Value list(size_t audio_count) const;
};

// One step of the reconnection: `after_ms` from the unplug, `apply`
// raises a flag and `event` announces it with the device record.
struct ReconnectStep {
    int after_ms;
    ipod_event_type event;
    void (*apply)(Device &d);
};
// Attached, authenticated, extended mode, ready: in this order.
const std::vector<ReconnectStep> &reconnect_timeline();

}  // namespace simd

#endif
