// Feeds an arbitrary byte stream, as if from the daemon, through a
// socketpair into a connected handle with every callback installed, and
// reads every accessor after each dispatch. The first input bytes pick the
// handle's state (pending-reply slots, preference type, callbacks that make
// requests of their own).
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "internal.h"

namespace {

volatile size_t sink;

void touch(const void *p, size_t n) {
    const unsigned char *b = static_cast<const unsigned char *>(p);
    size_t sum = 0;
    for (size_t i = 0; b != nullptr && i < n; i++) sum += b[i];
    sink = sink + sum;
}

void touch_text(const char *s) {
    if (s != nullptr) touch(s, strlen(s));
}

void read_cache(kiv_ipod_client *c) {
    touch_text(kiv_ipod_current_track_title(c));
    touch(kiv_ipod_current_track_uid(c), 8);
    touch_text(kiv_ipod_current_track_chapter(c));
    touch_text(kiv_ipod_current_track_artist(c));
    touch_text(kiv_ipod_current_track_album(c));
    touch_text(kiv_ipod_current_track_composer(c));
    touch_text(kiv_ipod_current_track_genre(c));
    sink = sink + static_cast<size_t>(kiv_ipod_current_track_state(c) + kiv_ipod_current_track_index(c) +
                                      kiv_ipod_current_sample_rate(c) + kiv_ipod_current_repeat_state(c));
    touch(kiv_ipod_indexed_track_uid(c), 8);
    touch_text(kiv_ipod_indexed_track_title(c));
    serialize_print(kiv_ipod_get_result_indexed_track_info(c));
    touch(kiv_ipod_current_track_artwork_data(c), kiv_ipod_current_track_artwork_data(c)
                                                      ? kiv_ipod_current_track_artwork_length(c)
                                                      : 0);
    for (int i = -1; i < 6; i++) touch_text(kiv_ipod_record(c, i));
    serialize_print(kiv_ipod_records(c));
    serialize_print(kiv_ipod_get_result_db_track_info(c));
    serialize_print(kiv_ipod_get_result_pb_track_info(c));
    serialize_print(kiv_ipod_get_result_indexed_track_chapter_info(c));
    touch(kiv_ipod_get_result_db_device_uid(c), 8);
    touch(kiv_ipod_get_result_db_last_sync_time(c), 7);
    touch_text(kiv_ipod_get_result_lingo_version(c));
    int n = kiv_ipod_device_count(c);
    for (int i = -1; i <= n; i++) {
        touch_text(kiv_ipod_device_serial(c, i));
        touch_text(kiv_ipod_device_name(c, i));
        touch_text(kiv_ipod_software_version(c, i));
        sink = sink + static_cast<size_t>(kiv_ipod_device_ready(c, i) + kiv_ipod_device_type(c, i));
    }
    sink = sink + static_cast<size_t>(kiv_ipod_is_ready(c) + kiv_ipod_current_session(c));
}

int on_event(kiv_ipod_client *c, kiv_ipod_event *e, void *) {
    touch_text(kiv_ipod_event_device_serial(e));
    touch_text(kiv_ipod_event_connected_serial(e));
    touch_text(kiv_ipod_event_disconnected_serial(e));
    int len = kiv_ipod_event_eap_datagram_data_length(e);
    const unsigned char *d = kiv_ipod_event_eap_datagram_data(e);
    (void)len;  // the daemon's "length" need not match the bytes: not read
    touch(d, d ? 1 : 0);
    touch_text(kiv_ipod_event_eap_datagram_protocol_string(e));
    sink = sink + static_cast<size_t>(kiv_ipod_event_authenticated(e) + kiv_ipod_event_mode_changed(e) +
                                      kiv_ipod_event_eap_datagram_protocol_index(e) +
                                      kiv_ipod_event_eap_datagram_session_id(e) + is_connection_event(e));
    read_cache(c);
    return 0;
}

int on_reply(kiv_ipod_client *c, uint32_t, int32_t, const char *text, void *nested) {
    touch_text(text);
    read_cache(c);
    // A callback may make a blocking request: it reads the rest of the
    // stream until its reply (never comes) or the end.
    if (nested != nullptr && kiv_ipod_fd(c) >= 0) kiv_ipod_play_sync(c);
    return 0;
}

int on_ping(kiv_ipod_client *c, uint32_t, void *) {
    kiv_ipod_ping(c);
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3 || size > 256 * 1024) return 0;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
    const int one = 1 << 20;
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &one, sizeof one);
    setsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &one, sizeof one);

    kiv_ipod_client *c = static_cast<kiv_ipod_client *>(calloc(1, sizeof(kiv_ipod_client)));
    c->packets = ipod_packet_new();
    reset_cache(c);
    c->fd = sv[0];
    c->last_tid = 1;
    serialize_value *devices = serialize_array();
    for (int k = 0; k < 2; k++) {
        serialize_value *d = serialize_hash();
        serialize_hash_add(d, "serial", serialize_string(k ? "B" : "A"));
        serialize_hash_add(d, "ipod_id", serialize_int(k + 1));
        serialize_hash_add(d, "authenticated", serialize_int(1));
        serialize_hash_add(d, "extended", serialize_int(1));
        serialize_hash_add(d, "ready", serialize_int(1));
        serialize_array_add(devices, d);
    }
    c->devices = devices;
    c->ready = 1;
    c->session_opened = 1;
    // Slots hold ids 2..19 (or all zero), so replies reach every parser.
    uint8_t flags = data[0];
    if (flags & 1) {
        uint32_t *slot = &c->current_track_info_tid;
        for (int k = 0; k < 18; k++) slot[k] = static_cast<uint32_t>(k + 2);
    }
    c->preference_type = data[1] % 16;
    kiv_ipod_set_event_cb(c, on_event, nullptr);
    kiv_ipod_set_reply_cb(c, (flags & 2) ? on_reply : nullptr, (flags & 4) ? c : nullptr);
    kiv_ipod_set_ping_cb(c, (flags & 8) ? on_ping : nullptr, nullptr);

    size_t off = 2;
    while (off < size) {
        ssize_t w = write(sv[1], data + off, size - off);
        if (w <= 0) break;
        off += static_cast<size_t>(w);
    }
    shutdown(sv[1], SHUT_WR);
    while (kiv_ipod_read(c) >= 0) read_cache(c);
    read_cache(c);
    kiv_ipod_close(c);
    close(sv[1]);
    return 0;
}
