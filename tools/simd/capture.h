// --capture FILE: every client's frames in one pcap file, in the layout of
// the library's captures (src/link/capture.h): link type 147 (DLT_USER0),
// an 8-byte pseudo-header per record (direction: 0 to the daemon, 1 from
// it; bytes 4-7 the client number, big-endian), then the frame.
#ifndef KIV_SIMD_CAPTURE_H
#define KIV_SIMD_CAPTURE_H

#include <stdint.h>

#include <string>

namespace simd {

class Capture {
public:
    static constexpr int kToDaemon = 0;
    static constexpr int kFromDaemon = 1;

    ~Capture();
    // Creates FILE anew (0600, not through a symbolic link); false with a
    // message when it cannot.
    bool open(const std::string &path, std::string &error);
    bool active() const { return fd_ >= 0; }
    // One record, written at once (the simulator keeps no buffer, so a
    // capture is complete up to the last frame even if it is killed).
    void frame(int client, int direction, const void *data, size_t length);

private:
    int fd_ = -1;
};

}  // namespace simd

#endif
