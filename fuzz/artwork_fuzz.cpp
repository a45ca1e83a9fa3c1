// Artwork replies with hostile sizes: inline images shorter or longer than
// rowstride x height, shared files shorter than the announced image, growing
// and shrinking images in sequence, files cut after the reply. After each
// reply every byte that the length accessor announces must be readable.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "cache/cache.h"
#include "link/link.h"

namespace {

volatile unsigned sink;

void read_artwork(kiv_ipod_client *c) {
    const unsigned char *p = kiv_ipod_current_track_artwork_data(c);
    if (p == nullptr) return;
    uint32_t n = kiv_ipod_current_track_artwork_length(c);
    unsigned sum = 0;
    for (uint32_t i = 0; i < n; i++) sum += p[i];
    sink = sink + sum;
}

uint32_t take(const uint8_t *&p, size_t &n, int bytes) {
    uint32_t v = 0;
    for (int k = 0; k < bytes; k++) {
        v = (v << 8) | (n ? *p : 0);
        if (n) {
            p++;
            n--;
        }
    }
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    char path[] = "/tmp/kiv-artwork-fuzz-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return 0;
    kiv_ipod_client *c = ipod_client_new(-1);
    const uint8_t *p = data;
    size_t n = size;
    for (int round = 0; round < 4 && n > 0; round++) {
        uint32_t mode = take(p, n, 1);
        serialize_value *reply = serialize_hash();
        if (mode % 7 == 0) {
            serialize_hash_add(reply, "error", serialize_string("no artwork"));
        } else {
            serialize_hash_add(reply, "width", serialize_int(static_cast<int32_t>(take(p, n, 4))));
            serialize_hash_add(reply, "height", serialize_int(static_cast<int32_t>(take(p, n, 2) % 1024)));
            serialize_hash_add(reply, "rowstride", serialize_int(static_cast<int32_t>(take(p, n, 2) % 2048)));
            if (mode & 1) {
                uint32_t file_size = take(p, n, 3) % (1u << 20);
                if (ftruncate(fd, static_cast<off_t>(file_size)) != 0) break;
                serialize_hash_add(reply, "image_path",
                                   serialize_string((mode & 2) ? path : "/nonexistent/kiv-artwork"));
            } else if (mode & 2) {
                size_t len = take(p, n, 2);  // before reading n: take() shortens it
                len %= n + 1;
                serialize_hash_add(reply, "image", serialize_bytes(p, static_cast<int32_t>(len)));
                p += len;
                n -= len;
            }
        }
        int32_t len = 0;
        uint8_t *bytes = serialize(reply, &len);
        serialize_free(reply);
        ipod_packet packet{};
        packet.opcode = 17;
        packet.length = static_cast<uint32_t>(len);
        packet.payload = bytes;
        set_artwork(c, &packet);
        free(bytes);
        // The daemon may cut its file once the reply is out.
        if ((mode & 4) && ftruncate(fd, 0) != 0) break;
        read_artwork(c);
    }
    kiv_ipod_close(c);
    close(fd);
    unlink(path);
    return 0;
}
