// Writes the seed corpora of the fuzzers: well-formed encodings, framed
// daemon streams (events, replies for every routed reply kind, pings) and
// builder inputs for the round trip and the artwork paths.
//
//   make_seeds <dir>    creates <dir>/<fuzzer>/seed-NNN
//
// It encodes with the tests' own encoder (tests/support/wire.cpp), so that
// the seeds do not depend on the library under test.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "fake_daemon.h"

namespace {

using Bytes = std::string;
using Entries = std::vector<std::pair<std::string, Bytes>>;

Bytes I(int32_t v) {
    return kivtest::wire::i(v);
}
Bytes F(double v) {
    return kivtest::wire::f(v);
}
Bytes S(const std::string &s) {
    return kivtest::wire::s(s);
}
Bytes B(const std::string &s) {
    return kivtest::wire::b(s);
}
Bytes A(const std::vector<Bytes> &items) {
    return kivtest::wire::a(items);
}
Bytes H(const Entries &entries) {
    return kivtest::wire::h(entries);
}
using kivtest::frame;
using kivtest::wire::be32;

Bytes device(const std::string &serial, int id, int auth = 1, int ext = 1, int ready = 1) {
    return H({{"serial", S(serial)},
              {"ipod_id", I(id)},
              {"name", S("iPod " + serial)},
              {"version", S("1.2.3")},
              {"ready", I(ready)},
              {"extended", I(ext)},
              {"authenticated", I(auth)},
              {"type", I(4)}});
}

Bytes event(const std::string &name, int id, const std::string &serial, const Bytes &data) {
    Entries e = {{"event", S(name)}, {"session", I(0)}, {"ipod_id", I(id)}, {"ipod_serial", S(serial)}};
    if (!data.empty()) e.push_back({"data", data});
    return frame(0, 1, H(e));
}

Bytes track_hash(const std::string &result_key, int result) {
    return H({{result_key, I(result)},
              {"title", S("Song")},
              {"artist", S("Artist")},
              {"album", S("Album")},
              {"composer", S("Composer")},
              {"genre", S("Genre")},
              {"chapter", S("Intro")},
              {"uid", B("\x01\x02\x03\x04\x05\x06\x07\x08")},
              {"length", I(180000)},
              {"position", I(1000)},
              {"state", I(1)},
              {"number_of_tracks", I(12)},
              {"track_index", I(3)},
              {"chapter_index", I(0)},
              {"chapter_count", I(2)},
              {"has_artwork", I(1)}});
}

Bytes track_list(const std::string &marker, bool db) {
    Entries tracks = {{marker, I(1)}};
    for (int k = 0; k < 2; k++) {
        Entries t;
        if (db)
            t.push_back({"cap", I(k)});
        else
            t.push_back({"index", I(k)});
        t.push_back({"title", S("T" + std::to_string(k))});
        t.push_back({"artist", S("A")});
        t.push_back({"album", S("L")});
        if (db) t.push_back({"genre", S("G")});
        t.push_back({"duration", I(1000 * k)});
        t.push_back({"uid", B("uid-" + std::to_string(k) + "xyz")});
        tracks.push_back({std::to_string(k), H(t)});
    }
    return H(tracks);
}

// Replies for the pending-reply slots, whose ids the inbound fuzzer sets
// to 2..19 in slot order.
std::vector<Bytes> routed_replies() {
    return {
        frame(2, 5, track_hash("current_track_info", 1)),
        frame(3, 17,
              H({{"width", I(4)}, {"height", I(2)}, {"rowstride", I(8)}, {"image", B(Bytes(16, 'p'))}})),
        frame(4, 6, H({{"current_play_status", I(1)}, {"length", I(1000)}, {"position", I(10)}})),
        frame(5, 20, track_hash("indexed_track_info", 1)),
        frame(6, 21, A({I(1), S("chapter one"), S("chapter two")})),
        frame(7, 9, I(5)),
        frame(8, 40, H({{"result", I(1)}, {"devices", A({device("A", 1), device("B", 2)})}})),
        frame(9, 30, I(3)),
        frame(10, 31, A({I(0), I(1), S("record 1"), S("record 2")})),
        frame(11, 32, I(-1)),
        frame(12, 44, I(1)),
        frame(13, 33, H({{"type", I(0)}, {"uid", B("ABCDEFGH")}})),
        frame(13, 33, H({{"type", I(1)}, {"last_sync", B("1234567")}})),
        frame(13, 33, H({{"type", I(2)}, {"count", I(44)}})),
        frame(14, 34, track_list("get_db_track_info", true)),
        frame(15, 35, track_list("get_pb_track_info", false)),
        frame(16, 36, I(1)),
        frame(17, 37, H({{"major", I(1)}, {"minor", I(12)}})),
        frame(18, 38, B("artwork bytes")),
        frame(19, 10, H({{"sample_rate", I(44100)}})),
    };
}

std::vector<Bytes> events() {
    return {
        event("connected_ipod", 3, "C", device("C", 3, 0, 0, 0)),
        event("authenticated", 1, "A", device("A", 1)),
        event("mode_changed", 1, "A", device("A", 1)),
        event("ipod_ready", 1, "A", device("A", 1)),
        event("play_state_changed", 1, "A", I(2)),
        event("track_index_changed", 1, "A", I(7)),
        event("samplerate_retrieved", 1, "A", I(48000)),
        event("track_position_changed", 1, "A", I(1234)),
        event("chapter_index_changed", 1, "A",
              H({{"track_index", I(1)}, {"chapter_index", I(2)}, {"chapter_count", I(3)}})),
        event("shuffle_changed", 1, "A", I(1)),
        event("repeat_changed", 1, "A", I(2)),
        event("playlist_changed", 1, "A", Bytes()),
        event("fail_to_detect", 0, "", Bytes()),
        event("eap_session_opened", 1, "A",
              H({{"session_id", I(9)}, {"protocol_index", I(1)}, {"protocol_string", S("com.example.p")}})),
        event("eap_data_received", 1, "A", H({{"session_id", I(9)}, {"length", I(4)}, {"data", B("data")}})),
        event("eap_session_closed", 1, "A", H({{"session_id", I(9)}})),
        event("disconnected_ipod", 2, "B", S("B")),
        event("disconnected_ipod", 1, "A", S("A")),
        event("something_new", 1, "A", F(1.5)),
    };
}

// Builder input of the round-trip fuzzer for one tree (see its build()).
struct Tree {
    std::string out;
    void i(int32_t v) {
        out += '\0';
        out += be32(static_cast<uint32_t>(v));
    }
    void f(float v) {
        uint32_t bits;
        memcpy(&bits, &v, sizeof bits);
        out += '\1';
        out += be32(bits);
    }
    void text(char kind, const std::string &s) {
        out += kind;
        out += static_cast<char>(s.size());
        out += s;
    }
    void s(const std::string &v) { text('\2', v); }
    void b(const std::string &v) { text('\3', v); }
    void array(int n) {
        out += '\4';
        out += static_cast<char>(n);
    }
    void hash(int n) {
        out += '\5';
        out += static_cast<char>(n);
    }
    void key(const std::string &k) {
        out += static_cast<char>(k.size());
        out += k;
    }
};

std::vector<Bytes> roundtrip_seeds() {
    std::vector<Bytes> seeds;
    Tree t;
    t.i(0);
    seeds.push_back(t.out);
    t = Tree();
    t.i(INT32_MIN);
    seeds.push_back(t.out);
    t = Tree();
    t.f(-1.5f);
    seeds.push_back(t.out);
    t = Tree();
    t.b(std::string("a\0b", 3));
    seeds.push_back(t.out);
    t = Tree();  // {"result": 1, "list": [1.5, "title", {}]}
    t.hash(2);
    t.key("result");
    t.i(1);
    t.key("list");
    t.array(3);
    t.f(1.5f);
    t.s("title");
    t.hash(0);
    seeds.push_back(t.out);
    t = Tree();  // a hash with a repeated key and nested containers
    t.hash(3);
    t.key("k");
    t.array(2);
    t.s("");
    t.b("\xff");
    t.key("k");
    t.hash(1);
    t.key("");
    t.i(-7);
    t.key("z");
    t.f(1e30f);
    seeds.push_back(t.out);
    return seeds;
}

// Input of the artwork fuzzer: a mode byte per round, then its sizes.
std::vector<Bytes> artwork_seeds() {
    std::vector<Bytes> seeds;
    auto inline_image = [](uint32_t width, uint16_t height, uint16_t stride, uint16_t len) {
        Bytes b(1, '\2');  // inline pixels
        b += be32(width);
        b += static_cast<char>(height >> 8);
        b += static_cast<char>(height);
        b += static_cast<char>(stride >> 8);
        b += static_cast<char>(stride);
        b += static_cast<char>(len >> 8);
        b += static_cast<char>(len);
        b += Bytes(len, 'x');
        return b;
    };
    auto shared_file = [](uint8_t mode, uint16_t height, uint16_t stride, uint32_t file_size) {
        Bytes b(1, static_cast<char>(mode));  // 3: real file, 1: missing file
        b += be32(64);
        b += static_cast<char>(height >> 8);
        b += static_cast<char>(height);
        b += static_cast<char>(stride >> 8);
        b += static_cast<char>(stride);
        b += static_cast<char>(file_size >> 16);
        b += static_cast<char>(file_size >> 8);
        b += static_cast<char>(file_size);
        return b;
    };
    seeds.push_back(inline_image(4, 2, 8, 16));
    seeds.push_back(inline_image(4, 4, 8, 3) + inline_image(4, 1, 8, 64));
    seeds.push_back(shared_file(3, 16, 64, 1024) + shared_file(3, 32, 64, 1024) + shared_file(3, 8, 64, 512));
    seeds.push_back(shared_file(3, 16, 64, 100) + shared_file(1, 4, 4, 0) + Bytes(1, '\0'));
    seeds.push_back(shared_file(3, 8, 8, 64) + inline_image(2, 2, 2, 4) + shared_file(3, 8, 8, 64));
    return seeds;
}

bool write_file(const std::string &path, const Bytes &bytes) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

bool write_corpus(const std::string &dir, const std::string &name, const std::vector<Bytes> &seeds) {
    std::string sub = dir + "/" + name;
    if (mkdir(sub.c_str(), 0755) != 0 && errno != EEXIST) return false;
    for (size_t k = 0; k < seeds.size(); k++) {
        char file[32];
        snprintf(file, sizeof file, "/seed-%03zu", k);
        if (!write_file(sub + file, seeds[k])) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s <corpus-dir>\n", argv[0]);
        return 2;
    }
    std::string dir = argv[1];
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        perror(dir.c_str());
        return 1;
    }

    const std::vector<Bytes> replies = routed_replies();
    const std::vector<Bytes> evs = events();

    // Payloads alone, for the decoder.
    std::vector<Bytes> values = {I(0),
                                 I(-1),
                                 I(INT32_MAX),
                                 F(1.5),
                                 F(-0.25),
                                 S(""),
                                 B(""),
                                 A({}),
                                 H({}),
                                 H({{"result", I(1)}}),
                                 A({F(1.5), S("title"), H({})}),
                                 A({I(1), Bytes("x"), I(2)}),
                                 H({{"k", I(1)}, {"k", I(2)}})};
    for (const Bytes &packet : replies) values.push_back(packet.substr(16));
    for (const Bytes &packet : evs) values.push_back(packet.substr(16));
    // Material for the decoder's shared runs: nested containers of a few
    // sizes, repeated keys with containers before and after, and texts
    // larger than a run (64 KiB) or than what is left of one.
    auto ints = [](int n) {
        std::vector<Bytes> items;
        for (int k = 0; k < n; k++) items.push_back(I(k));
        return A(items);
    };
    values.push_back(H({{"list", ints(40)}, {"count", I(40)}, {"next", H({{"k", ints(3)}})}}));
    values.push_back(H({{"k", ints(2)}, {"k", H({{"x", I(1)}})}, {"z", I(1)}}));
    values.push_back(A({H({{"a", I(1)}, {"a", ints(3)}}), ints(10), A({A({ints(2)})})}));
    values.push_back(H({{"title", S(Bytes(70000, 't'))}, {"list", A({S(Bytes(40000, 'u'))})}, {"n", I(1)}}));
    values.push_back(A({B(Bytes(30000, 'b')), A({S(Bytes(40000, 'c')), I(2)}), I(1)}));

    // Daemon streams: two state bytes (slots, callbacks, preference kind),
    // then framed packets.
    std::vector<Bytes> streams;
    const Bytes ping = frame(77, 54, Bytes());
    const Bytes states[] = {Bytes("\x0b\x03", 2), Bytes("\x0f\x01", 2), Bytes("\x03\x05", 2),
                            Bytes("\x0a\x00", 2)};
    for (const Bytes &state : states) {
        Bytes all = state;
        for (const Bytes &p : evs) all += p;
        for (const Bytes &p : replies) all += p + ping;
        streams.push_back(all);
    }
    for (size_t k = 0; k < replies.size(); k++)
        streams.push_back(states[0] + evs[k % evs.size()] + replies[k] + ping);
    for (size_t k = 0; k < evs.size(); k++) streams.push_back(states[k % 4] + evs[k]);
    streams.push_back(states[1] + event("something_new", 1, "A",
                                        H({{"list", A({I(1), I(2), I(3), A({I(4)})})},
                                           {"text", S(Bytes(20000, 't'))},
                                           {"list", I(0)}})));
    // A packet error, a reply without payload, an oversize header.
    streams.push_back(states[0] + frame(2, 3, Bytes()) + frame(7, 9, Bytes()) + frame(4, 6, I(3)));
    streams.push_back(states[0] + replies[0] + frame(9, 9, Bytes()).substr(0, 12) + be32(0x7fffffff));

    if (!write_corpus(dir, "unserialize_fuzz", values) || !write_corpus(dir, "inbound_fuzz", streams) ||
        !write_corpus(dir, "roundtrip_fuzz", roundtrip_seeds()) ||
        !write_corpus(dir, "artwork_fuzz", artwork_seeds())) {
        perror(dir.c_str());
        return 1;
    }
    return 0;
}
