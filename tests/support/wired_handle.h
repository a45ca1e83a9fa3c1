// A library handle wired to one end of a socket pair, for unit tests and
// benchmarks that play the daemon on the other end (`peer`). Header-only:
// ipod_client_new comes from the static library, which is not exported.
#ifndef KIV_TEST_WIRED_HANDLE_H
#define KIV_TEST_WIRED_HANDLE_H

#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/link.h"

namespace kivtest {

// Opens a socket pair and wraps one end in a new handle; false when no
// pair can be had.
inline bool wire_handle(kiv_ipod_client **client, int *peer) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
    *client = ipod_client_new(sv[0]);
    *peer = sv[1];
    return true;
}

struct WiredHandle {
    kiv_ipod_client *client = nullptr;
    int peer = -1;

    WiredHandle() {
        if (!wire_handle(&client, &peer)) abort();
    }
    ~WiredHandle() {
        kiv_ipod_close(client);
        close(peer);
    }
    WiredHandle(const WiredHandle &) = delete;
    WiredHandle &operator=(const WiredHandle &) = delete;
};

}  // namespace kivtest

#endif  // KIV_TEST_WIRED_HANDLE_H
