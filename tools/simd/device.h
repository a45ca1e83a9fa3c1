// The simulated iPod as a device: its flags and the record the daemon
// lists for it.
#ifndef KIV_SIMD_DEVICE_H
#define KIV_SIMD_DEVICE_H

#include <stddef.h>

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

}  // namespace simd

#endif
