// Packet capture of a handle's traffic: a pcap file written through a
// bounded buffer. See capture.h for the file layout.
#include "capture.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include "link/link.h"

struct kiv_capture {
    int fd;
    uint32_t used;
    timespec stamp;
    uint8_t buffer[KIV_CAPTURE_BUFFER];
};

namespace {

constexpr uint32_t kPcapMagic = 0xA1B2C3D4u;
constexpr uint32_t kPcapHeaderSize = 24;
constexpr uint32_t kRecordHeaderSize = 16;
// Names tried in a capture directory before giving up (a file of an
// earlier process with the same pid may hold a name).
constexpr int kDirectoryAttempts = 64;

uint32_t g_counter = 0;

void put_le32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

void put_le16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// Writes every part whole, the empty ones left out; false on any failure.
template <int N>
bool write_fully(int fd, const iovec (&parts)[N]) {
    iovec local[N];
    int n_parts = 0;
    for (const iovec &part : parts)
        if (part.iov_len) local[n_parts++] = part;
    iovec *v = local;
    while (n_parts > 0) {
        ssize_t n = writev(fd, v, n_parts);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        size_t done = static_cast<size_t>(n);
        while (n_parts > 0 && done >= v->iov_len) {
            done -= v->iov_len;
            v++;
            n_parts--;
        }
        if (n_parts > 0) {
            v->iov_base = static_cast<uint8_t *>(v->iov_base) + done;
            v->iov_len -= done;
        }
    }
    return true;
}

const int kCreateFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;

int create_in_directory(int dir, const char *path) {
    for (int attempt = 0; attempt < kDirectoryAttempts; attempt++) {
        char name[64];
        uint32_t n = __atomic_fetch_add(&g_counter, 1, __ATOMIC_RELAXED);
        snprintf(name, sizeof name, "kiv-ipod-%ld-%u.pcap", static_cast<long>(getpid()), n);
        int fd = openat(dir, name, kCreateFlags, 0600);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    (void)path;
    errno = EEXIST;
    return -1;
}

// Gives up the capture after a failed write: one line, then nothing more.
void disable(kiv_capture *capture) {
    kv_error("capture: write failed (%s); capture turned off\n", strerror(errno));
    close(capture->fd);
    capture->fd = -1;
    capture->used = 0;
}

}  // namespace

extern "C" {

kiv_capture *kiv_capture_open(const char *path) {
    int fd;
    int dir = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fd = create_in_directory(dir, path);
        int saved = errno;
        close(dir);
        errno = saved;
    } else {
        fd = open(path, kCreateFlags, 0600);
    }
    if (fd < 0) {
        kv_error("capture: cannot create a capture file at %s: %s\n", path, strerror(errno));
        return nullptr;
    }
    auto *capture = static_cast<kiv_capture *>(malloc(sizeof(kiv_capture)));
    if (!capture) {
        kv_error("capture: out of memory; no capture\n");
        close(fd);
        return nullptr;
    }
    capture->fd = fd;
    capture->used = kPcapHeaderSize;
    kiv_capture_stamp(capture);
    uint8_t *h = capture->buffer;
    put_le32(h, kPcapMagic);
    put_le16(h + 4, 2);  // version 2.4
    put_le16(h + 6, 4);
    put_le32(h + 8, 0);   // time zone offset
    put_le32(h + 12, 0);  // accuracy
    put_le32(h + 16, KIV_CAPTURE_SNAPLEN);
    put_le32(h + 20, KIV_CAPTURE_LINKTYPE);
    return capture;
}

void kiv_capture_frame(kiv_capture *capture, int direction, const void *head, uint32_t head_len,
                       const void *body, uint32_t body_len) {
    if (capture->fd < 0) return;
    const timespec now = capture->stamp;
    const uint64_t whole = static_cast<uint64_t>(KIV_CAPTURE_PSEUDO_HEADER) + head_len + body_len;
    const uint32_t original = whole > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(whole);
    const uint32_t kept = original > KIV_CAPTURE_SNAPLEN ? KIV_CAPTURE_SNAPLEN : original;
    // What of head and body fits in the kept length.
    uint32_t room = kept - KIV_CAPTURE_PSEUDO_HEADER;
    uint32_t head_kept = head_len < room ? head_len : room;
    room -= head_kept;
    uint32_t body_kept = body_len < room ? body_len : room;

    uint8_t prefix[kRecordHeaderSize + KIV_CAPTURE_PSEUDO_HEADER];
    put_le32(prefix, static_cast<uint32_t>(now.tv_sec));
    put_le32(prefix + 4, static_cast<uint32_t>(now.tv_nsec / 1000));
    put_le32(prefix + 8, kept);
    put_le32(prefix + 12, original);
    memset(prefix + kRecordHeaderSize, 0, KIV_CAPTURE_PSEUDO_HEADER);
    prefix[kRecordHeaderSize] = static_cast<uint8_t>(direction);
    // Connection number 0: a library file holds one connection.

    const uint32_t record = kRecordHeaderSize + kept;
    if (capture->used + record > KIV_CAPTURE_BUFFER) {
        kiv_capture_flush(capture);
        if (capture->fd < 0) return;
    }
    if (record > KIV_CAPTURE_BUFFER) {
        // Larger than the whole buffer: straight to the file.
        iovec parts[3] = {{prefix, sizeof prefix},
                          {const_cast<void *>(head), head_kept},
                          {const_cast<void *>(body), body_kept}};
        if (!write_fully(capture->fd, parts)) disable(capture);
        return;
    }
    uint8_t *p = capture->buffer + capture->used;
    memcpy(p, prefix, sizeof prefix);
    p += sizeof prefix;
    if (head_kept) memcpy(p, head, head_kept);
    p += head_kept;
    if (body_kept) memcpy(p, body, body_kept);
    capture->used += record;
}

void kiv_capture_stamp(kiv_capture *capture) {
    clock_gettime(CLOCK_REALTIME, &capture->stamp);
}

void kiv_capture_flush(kiv_capture *capture) {
    if (capture->fd < 0 || capture->used == 0) return;
    const iovec part[1] = {{capture->buffer, capture->used}};
    if (!write_fully(capture->fd, part)) return disable(capture);
    capture->used = 0;
}

void kiv_capture_close(kiv_capture *capture) {
    if (!capture) return;
    kiv_capture_flush(capture);
    if (capture->fd >= 0) close(capture->fd);
    free(capture);
}

}  // extern "C"
