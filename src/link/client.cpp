// The client handle: connecting to the daemon with the opening handshake,
// releasing the handle, and the small accessors and callback setters.
#include <errno.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>

// The platform build connects through libcutils; an application's build
// (the NDK has no libcutils) is configured with KIV_IPOD_WITH_LIBCUTILS=0.
#ifndef KIV_IPOD_WITH_LIBCUTILS
#define KIV_IPOD_WITH_LIBCUTILS 1
#endif
#if KIV_IPOD_WITH_LIBCUTILS
#include <cutils/sockets.h>
#endif

#include "cache/cache.h"
#include "cache/retained.h"
#include "capture.h"
#include "events/events.h"
#include "handle.h"
#include "link/link.h"
#include "protocol/protocol.h"

namespace {

constexpr char kDaemonSocket[] = "com.kiv.ipod.IPodDaemon";
constexpr char kConnect[] = "connect_to_server";

// Why the latest kiv_ipod_connect on this thread failed, when the daemon
// said why (kiv_ipod_connect_error).
// A fixed buffer, so that nothing is left to free when a thread ends; a
// longer text is kept cut (the log has it whole).
constexpr size_t kRefusalRoom = 256;
thread_local char connect_refusal[kRefusalRoom];
thread_local bool connect_refused = false;

void set_connect_refusal(const char *text) {
    connect_refused = text != nullptr;
    if (text) snprintf(connect_refusal, sizeof connect_refusal, "%s", text);
}

// Takes the opening reply's "devices" and "pid". Anything else in it, or a
// reply that is not a hash, leaves the handle as it is. False for a reply
// that is a hash with an "error" entry: the daemon refused the connection
// (its text, when it is one, is logged and kept for kiv_ipod_connect_error).
bool apply_opening_reply(kiv_ipod_client *client, const ipod_packet *reply) {
    serialize_value *decoded = ipod_decode_payload(reply);
    if (!decoded) return true;
    if (serialize_type(decoded) == SERIALIZE_HASH && serialize_hash_has_key(decoded, "error")) {
        const char *text = serialize_hash_get_string(decoded, "error");
        kv_error("%s, the daemon refused the connection: " IPOD_LOG_TEXT "\n", "kiv_ipod_connect",
                 text ? text : "(no text)");
        set_connect_refusal(text ? text : "");
        serialize_free(decoded);
        return false;
    }
    if (serialize_type(decoded) == SERIALIZE_HASH) {
        serialize_value *devices = serialize_hash_get(decoded, "devices");
        if (serialize_type(devices) == SERIALIZE_ARRAY) {
            // Keep a copy of the list (the registry works on an array only);
            // the rest of the reply is released.
            serialize_value *copy = copy_device_list(devices, "kiv_ipod_connect");
            if (copy &&
                !cache_admit(client, IPOD_RETAINED_DEVICES, value_footprint(copy), "kiv_ipod_connect")) {
                serialize_free(copy);
                copy = nullptr;
            }
            if (copy) {
                serialize_free(client->devices);
                client->devices = copy;
            }
        }
        serialize_value *pid = serialize_hash_get(decoded, "pid");
        if (serialize_type(pid) == SERIALIZE_INT) client->pid = serialize_get_int(pid);
    }
    serialize_free(decoded);
    return true;
}

// Returns 1 when the opening reply came, -1 when it was an error, else 0.
int32_t take_opening_reply(kiv_ipod_client *client, ipod_packet *reply, void *) {
    int32_t came = reply != nullptr ? 1 : 0;
    if (reply && !apply_opening_reply(client, reply)) came = -1;
    ipod_packet_free(reply);
    return came;
}

// The daemon's socket name: KIV_IPOD_SOCKET when set and not empty (tests
// and development), otherwise the built-in name.
const char *daemon_socket_name() {
    const char *name = getenv("KIV_IPOD_SOCKET");
    return name && *name ? name : kDaemonSocket;
}

// The initial bound of a handle's blocking operations: KIV_IPOD_TIMEOUT_MS
// when it holds a decimal number of milliseconds, otherwise 0 (none).
int32_t timeout_from_environment() {
    const char *text = getenv("KIV_IPOD_TIMEOUT_MS");
    if (!text || !*text) return 0;
    char *end = nullptr;
    errno = 0;
    long long value = strtoll(text, &end, 10);
    if (*end != '\0' || errno != 0 || value <= 0) return 0;
    return static_cast<int32_t>(std::min<long long>(value, INT32_MAX));
}

// SO_SNDTIMEO of `fd`: `milliseconds`, or none for 0.
bool set_send_timeout(int fd, int32_t milliseconds) {
    timeval tv = {};
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = static_cast<suseconds_t>(milliseconds % 1000) * 1000;
    return setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
}

// Connects `fd` to the abstract socket `name`, through libcutils when the
// build has it: 0, or -1 with errno set.
int connect_abstract(int fd, const char *name) {
#if KIV_IPOD_WITH_LIBCUTILS
    return socket_local_client_connect(fd, name, ANDROID_SOCKET_NAMESPACE_ABSTRACT, SOCK_STREAM) < 0 ? -1 : 0;
#else
    return ipod_connect_abstract(fd, name);
#endif
}

}  // namespace

extern "C" {

// The abstract-namespace connect of a build without libcutils, compiled in
// every build so that every build's tests run it: the name after a leading
// NUL byte in sun_path, the address length counting the name's bytes and
// no terminator.
int ipod_connect_abstract(int fd, const char *name) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const size_t length = strlen(name);
    if (length + 1 > sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(address.sun_path + 1, name, length);
    const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
    return connect(fd, reinterpret_cast<const sockaddr *>(&address), size);
}

int connect_to_server(void) {
    return ipod_connect_bounded(timeout_from_environment());
}

int ipod_connect_bounded(int32_t milliseconds) {
    kv_debug("%s\n", kConnect);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) {
        kv_debug("%s, failed to create socket\n", kConnect);
        return -1;
    }
    // A daemon that stopped accepting fills its listen queue, and a plain
    // connect then blocks until it goes away. A local stream connect waits
    // for room at most the send time-out, so with a bound that is what it
    // gets, and it is taken off again once connected.
    const bool bounded = milliseconds > 0 && set_send_timeout(fd, milliseconds);
    if (connect_abstract(fd, daemon_socket_name()) < 0) {
        kv_debug("%s, failed to connect to ipod service\n", kConnect);
        close(fd);
        return -1;
    }
    if (bounded) set_send_timeout(fd, 0);
    kv_debug("%s, success\n", kConnect);
    return fd;
}

kiv_ipod_client *ipod_client_new(int fd) {
    kiv_ipod_client *client = static_cast<kiv_ipod_client *>(calloc(1, sizeof(kiv_ipod_client)));
    if (!client) return nullptr;
    client->fd = -1;
    client->packets = ipod_packet_new();
    if (!client->packets) {
        free(client);
        return nullptr;
    }
    client->packets_tail = client->packets;
    client->call_deadline = -1;
    client->devices = nullptr;
    reset_cache(client);
    client->fd = fd;
    return client;
}

kiv_ipod_client *kiv_ipod_connect(void) {
    common_init();
    set_connect_refusal(nullptr);
    kiv_ipod_client *client = ipod_client_new(-1);
    if (!client) return nullptr;
    client->timeout_ms = timeout_from_environment();
    client->fd = ipod_connect_bounded(client->timeout_ms);
    client->remote = 0;
    if (client->fd < 0) {
        kiv_ipod_close(client);
        return nullptr;
    }
    const char *capture = getenv("KIV_IPOD_CAPTURE");
    if (capture && *capture) client->capture = kiv_capture_open(capture);
    ipod_packet request = {};
    request.opcode = IPOD_OP_open;
    // A failed write leaves nothing to wait for (id 0).
    if (ipod_send(client, &request) < 0) request.tid = 0;
    int32_t came = ipod_await(client, request.tid, "kiv_ipod_connect", 0, take_opening_reply, nullptr);
    if ((came == 0 && client->fd >= 0) || came < 0) {
        // The bound passed with the connection still open, or the daemon
        // answered with an error: no handle to talk to it.
        kiv_ipod_close(client);
        return nullptr;
    }
    return client;
}

void kiv_ipod_close(kiv_ipod_client *client) {
    if (!client) return;
    if (client->fd >= 0) close(client->fd);
    client->fd = -1;
    if (client->entry_depth > 0) {
        // Called from a callback: the calls below it still use the handle.
        // No more I/O and no more callbacks; the memory goes when the
        // outermost call returns.
        client->close_pending = 1;
        return;
    }
    ipod_client_release(client);
}

void ipod_client_release(kiv_ipod_client *client) {
    free(client->rx_buf);
    client->rx_buf = nullptr;
    client->rx_len = 0;
    client->rx_cap = 0;
    free(client->last_error);
    client->last_error = nullptr;
    reset_cache(client);
    serialize_free(client->devices);
    client->devices = nullptr;
    cache_retained_set(client, IPOD_RETAINED_DEVICES, 0);
    kiv_capture_close(client->capture);
    client->capture = nullptr;
    // Queued packets are released undelivered: no callback runs here.
    ipod_packet *packet = client->packets;
    while (packet) {
        ipod_packet *next = packet->next;
        ipod_packet_free(packet);
        packet = next;
    }
    free(client);
}

const char *kiv_ipod_connect_error(void) {
    return connect_refused ? connect_refusal : nullptr;
}

kiv_ipod_error_kind kiv_ipod_last_error_kind(kiv_ipod_client *client) {
    if (client == nullptr) return KIV_IPOD_ERROR_INVALID_ARGUMENT;
    return static_cast<kiv_ipod_error_kind>(client->error_kind);
}

void ipod_set_error_kind(kiv_ipod_client *client, int32_t kind) {
    if (client) client->error_kind = kind;
}

int kiv_ipod_fd(kiv_ipod_client *client) {
    if (client == nullptr) return -1;
    return client->fd;
}

int kiv_ipod_pid(kiv_ipod_client *client) {
    if (client == nullptr) return 0;
    kv_debug("%s, pid=%d\n", "kiv_ipod_pid", client->pid);
    return client->pid;
}

int kiv_ipod_is_ready(kiv_ipod_client *client) {
    if (client == nullptr) return -1;
    if (client->fd == -1) return -1;
    if (!client->session_opened) return 0;
    return client->ready ? 1 : 0;
}

int kiv_ipod_is_remote(kiv_ipod_client *client) {
    if (client == nullptr) return 0;
    return static_cast<int>(client->remote);
}

int kiv_ipod_is_session_opened(kiv_ipod_client *client) {
    if (client == nullptr) return 0;
    return static_cast<int>(client->session_opened);
}

int32_t kiv_ipod_set_timeout(kiv_ipod_client *client, int32_t milliseconds) {
    if (client == nullptr) return 0;
    int32_t previous = client->timeout_ms;
    client->timeout_ms = std::max(milliseconds, 0);
    return previous;
}

void kiv_ipod_set_event_cb(kiv_ipod_client *client, kiv_ipod_event_cb cb, void *data) {
    if (client == nullptr) return;
    client->event_cb = cb;
    client->event_cb_data = data;
}

void kiv_ipod_set_reply_cb(kiv_ipod_client *client, kiv_ipod_reply_cb cb, void *data) {
    if (client == nullptr) return;
    client->reply_cb = cb;
    client->reply_cb_data = data;
}

void kiv_ipod_set_ping_cb(kiv_ipod_client *client, kiv_ipod_ping_cb cb, void *data) {
    if (client == nullptr) return;
    client->ping_cb = cb;
    client->ping_cb_data = data;
}

}  // extern "C"
