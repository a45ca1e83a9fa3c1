// Helpers for white-box tests of the caches, the device registry and the
// event decoder: a hand-built handle, value builders and packets encoded
// with the library's own encoder.
#ifndef KIV_TEST_CLIENT_FIXTURE_H
#define KIV_TEST_CLIENT_FIXTURE_H

#include <stdlib.h>
#include <string.h>

#include <initializer_list>
#include <string>
#include <utility>

#include "cache/cache.h"
#include "cache/value_lookup.h"
#include "handle.h"
#include "link/link.h"

namespace fixture {

using Value = serialize_value *;

inline Value I(int32_t v) {
    return serialize_int(v);
}
inline Value S(const char *text) {
    return serialize_string(text);
}
inline Value B(const std::string &bytes) {
    return serialize_bytes(bytes.data(), static_cast<int32_t>(bytes.size()));
}
inline Value A(std::initializer_list<Value> items) {
    Value a = serialize_array();
    for (Value v : items) serialize_array_add(a, v);
    return a;
}
inline Value H(std::initializer_list<std::pair<const char *, Value>> entries) {
    Value h = serialize_hash();
    for (const auto &e : entries) serialize_hash_add(h, e.first, e.second);
    return h;
}

inline Value device(const char *serial, int ipod_id, int authenticated = 1, int extended = 1, int ready = 1) {
    return H({{"serial", S(serial)},
              {"ipod_id", I(ipod_id)},
              {"name", S((std::string("name-") + serial).c_str())},
              {"version", S("1.2.3")},
              {"audio_count", I(7)},
              {"support_itunes_db", I(1)},
              {"ready", I(ready)},
              {"extended", I(extended)},
              {"authenticated", I(authenticated)},
              {"product_id", I(0x1261)},
              {"sound_card_id", I(2)},
              {"port", I(3)},
              {"used", I(1)},
              {"type", I(4)}});
}

// Element i of a list as text: a string as it is, an integer as "#n",
// bytes as "b:" and the bytes.
inline std::string text_at(const serialize_value *list, int i) {
    const serialize_value *v = serialize_array_get(list, i);
    if (serialize_type(v) == SERIALIZE_STRING) return serialize_get_string(v);
    if (serialize_type(v) == SERIALIZE_INT) return "#" + std::to_string(serialize_get_int(v));
    if (serialize_type(v) == SERIALIZE_BYTES) {
        int32_t n = 0;
        const char *b = static_cast<const char *>(serialize_get_bytes(v, &n));
        return "b:" + std::string(b, static_cast<size_t>(n));
    }
    return "?";
}

// An inbound packet whose payload is the encoding of `value` (taken over),
// or raw bytes.
class Packet {
public:
    explicit Packet(Value value) {
        int32_t length = 0;
        packet_.payload = serialize(value, &length);
        packet_.length = static_cast<uint32_t>(length);
        serialize_free(value);
    }
    explicit Packet(const std::string &raw) {
        packet_.length = static_cast<uint32_t>(raw.size());
        if (!raw.empty()) {
            packet_.payload = malloc(raw.size());
            memcpy(packet_.payload, raw.data(), raw.size());
        }
    }
    Packet() = default;
    ~Packet() { free(packet_.payload); }
    Packet(const Packet &) = delete;
    Packet &operator=(const Packet &) = delete;
    const ipod_packet *get() const { return &packet_; }

private:
    ipod_packet packet_{};
};

inline Value event(const char *name, int ipod_id, const char *serial, Value data = nullptr, int session = 0) {
    Value h =
        H({{"event", S(name)}, {"session", I(session)}, {"ipod_id", I(ipod_id)}, {"ipod_serial", S(serial)}});
    if (data) serialize_hash_add(h, "data", data);
    return h;
}

// A handle as kiv_ipod_connect leaves it, without a connection.
class Client {
public:
    Client() : client_(ipod_client_new(-1)) {}
    ~Client() { kiv_ipod_close(client_); }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;
    kiv_ipod_client *operator->() { return client_; }
    kiv_ipod_client *get() { return client_; }
    operator kiv_ipod_client *() { return client_; }

    void set_devices(std::initializer_list<Value> list) {
        serialize_free(client_->devices);
        client_->devices = A(list);
    }

private:
    kiv_ipod_client *client_;
};

// Runs a reply parser on a packet holding `reply`'s encoding (or none).
using Parser = int32_t (*)(kiv_ipod_client *, const ipod_packet *);

inline int32_t run(Parser parser, kiv_ipod_client *c, Value reply) {
    Packet p(reply);
    return parser(c, p.get());
}

inline int32_t run_empty(Parser parser, kiv_ipod_client *c) {
    Packet p;
    return parser(c, p.get());
}

}  // namespace fixture

#endif
