// Feeds an arbitrary byte stream, as if from the daemon, through a
// socketpair into a connected handle with every callback installed, and
// reads every accessor after each dispatch. The first input bytes pick the
// handle's state (pending-reply slots, preference type, callbacks that make
// requests of their own).
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "handle.h"
#include "link/link.h"
#include "protocol/protocol.h"
#include "value_mutator.h"

namespace {

volatile size_t sink;

void touch(const void *p, size_t n) {
    const unsigned char *b = static_cast<const unsigned char *>(p);
    size_t sum = 0;
    for (size_t i = 0; b != nullptr && i < n; i++) sum += b[i];
    sink = sink + sum;
}

// Integers the daemon chose (any value), summed without overflow.
template <typename... Ints>
void touch_ints(Ints... values) {
    sink = sink + (size_t{0} + ... + static_cast<unsigned>(values));
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
    touch_ints(kiv_ipod_current_track_state(c), kiv_ipod_current_track_index(c),
               kiv_ipod_current_sample_rate(c), kiv_ipod_current_repeat_state(c));
    touch(kiv_ipod_indexed_track_uid(c), 8);
    touch_text(kiv_ipod_indexed_track_title(c));
    serialize_print(kiv_ipod_get_result_indexed_track_info(c));
    touch(kiv_ipod_current_track_artwork_data(c),
          kiv_ipod_current_track_artwork_data(c) ? kiv_ipod_current_track_artwork_length(c) : 0);
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
        touch_ints(kiv_ipod_device_ready(c, i), kiv_ipod_device_type(c, i));
    }
    touch_ints(kiv_ipod_is_ready(c), kiv_ipod_current_session(c));
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
    touch_ints(kiv_ipod_event_authenticated(e), kiv_ipod_event_mode_changed(e),
               kiv_ipod_event_eap_datagram_protocol_index(e), kiv_ipod_event_eap_datagram_session_id(e),
               is_connection_event(e));
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

// Structure-aware mutation: most inputs stay a sequence of whole frames, so
// that the fuzzer spends its time in decoding and dispatch rather than in
// re-finding the framing. Each step edits one frame (its payload, as a
// value tree through value_mutator.h or as bytes through the generic
// mutator, with the length fixed up; its id; its opcode), or drops, repeats
// or swaps frames; one step in four mutates raw bytes.
struct Frame {
    uint32_t tid;
    uint8_t opcode;
    std::string payload;
};

uint32_t be32_at(const uint8_t *p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

// Splits data[2..] into whole frames; what follows the last one is `tail`.
void split_frames(const uint8_t *data, size_t size, std::vector<Frame> &frames, std::string &tail) {
    size_t off = 2;
    while (size - off >= IPOD_HEADER_SIZE) {
        uint32_t length = be32_at(data + off + 12);
        if (length > size - off - IPOD_HEADER_SIZE) break;
        frames.push_back(
            {be32_at(data + off + 4), data[off + 8],
             std::string(reinterpret_cast<const char *>(data + off + IPOD_HEADER_SIZE), length)});
        off += IPOD_HEADER_SIZE + length;
    }
    tail.assign(reinterpret_cast<const char *>(data + off), size - off);
}

size_t join_frames(uint8_t *data, size_t max_size, const std::vector<Frame> &frames,
                   const std::string &tail) {
    std::string out(reinterpret_cast<const char *>(data), 2);
    for (const Frame &f : frames) {
        char header[IPOD_HEADER_SIZE] = {};
        header[0] = static_cast<char>(IPOD_HEADER_MARKER);
        for (int k = 0; k < 4; k++) {
            header[4 + k] = static_cast<char>(f.tid >> (24 - 8 * k));
            header[12 + k] = static_cast<char>(f.payload.size() >> (24 - 8 * k));
        }
        header[8] = static_cast<char>(f.opcode);
        out.append(header, sizeof header);
        out += f.payload;
    }
    out += tail;
    if (out.size() > max_size) return 0;
    memcpy(data, out.data(), out.size());
    return out.size();
}

}  // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t *data, size_t size, size_t max_size, unsigned int seed) {
    std::minstd_rand rng(seed);
    std::vector<Frame> frames;
    std::string tail;
    if (size >= 2) split_frames(data, size, frames, tail);
    if (frames.empty() || rng() % 4 == 0) return LLVMFuzzerMutate(data, size, max_size);

    Frame &f = frames[rng() % frames.size()];
    switch (rng() % 7) {
        case 0: {  // mutate one payload (its tree or its bytes), keeping the framing consistent
            size_t room = f.payload.size() * 2 + 64;
            std::string buf = f.payload;
            size_t n = 0;
            if (rng() % 2 && max_size > size) {
                // The tree may grow by what the input may still grow.
                buf.resize(f.payload.size() + (max_size - size));
                n = value_mutator::mutate(reinterpret_cast<uint8_t *>(&buf[0]), f.payload.size(), buf.size(),
                                          static_cast<unsigned int>(rng()));
            }
            if (n == 0) {
                buf.resize(room);
                n = LLVMFuzzerMutate(reinterpret_cast<uint8_t *>(&buf[0]), f.payload.size(), room);
            }
            buf.resize(n);
            f.payload = buf;
            break;
        }
        case 1:  // an id that a pending-reply slot holds, 0, 1 or any
            f.tid = (rng() % 4 == 0) ? static_cast<uint32_t>(rng()) : static_cast<uint32_t>(rng() % 21);
            break;
        case 2: {
            static const uint8_t kOpcodes[] = {IPOD_OP_event, IPOD_OP_ping, IPOD_OP_packet_error, 0, 5, 17};
            f.opcode = kOpcodes[rng() % sizeof kOpcodes];
            break;
        }
        case 3:
            frames.push_back(frames[rng() % frames.size()]);
            break;
        case 4:
            if (frames.size() > 1) frames.erase(frames.begin() + static_cast<long>(rng() % frames.size()));
            break;
        case 5:
            std::swap(frames[rng() % frames.size()], frames[rng() % frames.size()]);
            break;
        default:
            data[rng() % 2] = static_cast<uint8_t>(rng());
            break;
    }
    size_t n = join_frames(data, max_size, frames, tail);
    return n ? n : LLVMFuzzerMutate(data, size, max_size);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3 || size > 256 * 1024) return 0;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
    const int one = 1 << 20;
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &one, sizeof one);
    setsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &one, sizeof one);

    kiv_ipod_client *c = ipod_client_new(sv[0]);
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
        uint32_t *slot = c->pending;
        for (int k = 0; k < IPOD_REPLY_KINDS; k++) slot[k] = static_cast<uint32_t>(k + 2);
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
