// The tests' own encoder of the value format and of message frames. It is
// written separately from the library's encoder on purpose: a fault in one
// is not mirrored by the other.
#include <errno.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fake_daemon.h"

namespace kivtest {
namespace wire {
namespace {

std::string be16(uint32_t value) {
    std::string out(2, '\0');
    out[0] = static_cast<char>((value >> 8) & 0xFF);
    out[1] = static_cast<char>(value & 0xFF);
    return out;
}

std::string number_text(char letter, const char *text) {
    std::string t(text);
    std::string out(1, letter);
    out += static_cast<char>(static_cast<unsigned char>(t.size()));
    out += t;
    return out;
}

std::string blob(char letter, const std::string &bytes) {
    return std::string(1, letter) + be32(static_cast<uint32_t>(bytes.size())) + bytes;
}

template <typename It>
std::string array_of(It begin, It end) {
    std::string body;
    uint32_t count = 0;
    for (It it = begin; it != end; ++it, ++count) body += *it;
    // The size field counts the bytes after it: count field plus elements.
    return "a" + be32(static_cast<uint32_t>(4 + body.size())) + be32(count) + body;
}

template <typename It>
std::string hash_of(It begin, It end) {
    std::string body;
    uint32_t count = 0;
    uint32_t size = 4;
    for (It it = begin; it != end; ++it, ++count) {
        body += be16(static_cast<uint32_t>(it->first.size())) + it->first + it->second;
        // Each entry counts four bytes for its two-byte key length.
        size += static_cast<uint32_t>(4 + it->first.size() + it->second.size());
    }
    return "h" + be32(size) + be32(count) + body;
}

}  // namespace

std::string be32(uint32_t value) {
    std::string out(4, '\0');
    for (int k = 0; k < 4; k++) out[k] = static_cast<char>((value >> (24 - 8 * k)) & 0xFF);
    return out;
}

std::string i(int32_t value) {
    char text[32];
    snprintf(text, sizeof text, "%i", value);
    return number_text('i', text);
}

std::string f(double value) {
    char text[512];
    snprintf(text, sizeof text, "%f", value);
    return number_text('f', text);
}

std::string s(const std::string &text) {
    return blob('s', text);
}
std::string b(const std::string &bytes) {
    return blob('b', bytes);
}

std::string a(std::initializer_list<std::string> elements) {
    return array_of(elements.begin(), elements.end());
}
std::string a(const std::vector<std::string> &elements) {
    return array_of(elements.begin(), elements.end());
}

std::string h(std::initializer_list<std::pair<std::string, std::string>> entries) {
    return hash_of(entries.begin(), entries.end());
}
std::string h(const std::vector<std::pair<std::string, std::string>> &entries) {
    return hash_of(entries.begin(), entries.end());
}

std::string device(const std::string &serial, int ipod_id, int authenticated, int extended, int ready) {
    return h({{"serial", s(serial)},
              {"ipod_id", i(ipod_id)},
              {"name", s("iPod " + serial)},
              {"version", s("1.2.3")},
              {"authenticated", i(authenticated)},
              {"extended", i(extended)},
              {"ready", i(ready)}});
}

}  // namespace wire

std::string frame(uint32_t tid, uint8_t opcode, const std::string &payload, uint8_t marker) {
    std::string out(16, '\0');
    out[0] = static_cast<char>(marker);
    const std::string id = wire::be32(tid);
    out.replace(4, 4, id);
    out[8] = static_cast<char>(opcode);
    out.replace(12, 4, wire::be32(static_cast<uint32_t>(payload.size())));
    return out + payload;
}

std::string event(const std::string &name, int ipod_id, const std::string &serial, const std::string &data,
                  uint32_t tid, int session) {
    std::vector<std::pair<std::string, std::string>> entries = {{"event", wire::s(name)},
                                                                {"session", wire::i(session)},
                                                                {"ipod_id", wire::i(ipod_id)},
                                                                {"ipod_serial", wire::s(serial)}};
    if (!data.empty()) entries.emplace_back("data", data);
    return frame(tid, 1, wire::h(entries));
}

bool write_all(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool read_all(int fd, char *p, size_t n) {
    while (n > 0) {
        ssize_t r = read(fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

}  // namespace kivtest
