#include "capture.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace simd {

namespace {

constexpr uint32_t kLinkType = 147;
constexpr uint32_t kSnapLen = 256 * 1024;

void le32(std::string &out, uint32_t v) {
    for (int k = 0; k < 4; k++) out += static_cast<char>(v >> (8 * k));
}

}  // namespace

Capture::~Capture() {
    if (fd_ >= 0) close(fd_);
}

bool Capture::open(const std::string &path, std::string &error) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        error = "cannot create the capture file " + path + ": " + strerror(errno);
        return false;
    }
    std::string header;
    le32(header, 0xA1B2C3D4u);
    header += std::string("\x02\x00\x04\x00", 4);
    le32(header, 0);
    le32(header, 0);
    le32(header, kSnapLen);
    le32(header, kLinkType);
    if (write(fd_, header.data(), header.size()) != static_cast<ssize_t>(header.size())) {
        error = "cannot write the capture file " + path;
        close(fd_);
        fd_ = -1;
        return false;
    }
    return true;
}

void Capture::frame(int client, int direction, const void *data, size_t length) {
    if (fd_ < 0) return;
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t whole = 8 + static_cast<uint64_t>(length);
    uint32_t original = whole > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(whole);
    uint32_t kept = original > kSnapLen ? kSnapLen : original;
    std::string record;
    record.reserve(16 + kept);
    le32(record, static_cast<uint32_t>(now.tv_sec));
    le32(record, static_cast<uint32_t>(now.tv_nsec / 1000));
    le32(record, kept);
    le32(record, original);
    record += static_cast<char>(direction);
    record.append(3, '\0');
    for (int shift = 24; shift >= 0; shift -= 8)
        record += static_cast<char>(static_cast<uint32_t>(client) >> shift);
    record.append(static_cast<const char *>(data), kept - 8);
    size_t done = 0;
    while (done < record.size()) {
        ssize_t n = write(fd_, record.data() + done, record.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            fprintf(stderr, "kiv-ipod-simd: capture write failed (%s); capture turned off\n",
                    strerror(errno));
            close(fd_);
            fd_ = -1;
            return;
        }
        done += static_cast<size_t>(n);
    }
}

}  // namespace simd
