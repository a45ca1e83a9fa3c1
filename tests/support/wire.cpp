// The tests' own encoder of the value format and of message frames. It is
// written separately from the library's encoder on purpose: a fault in one
// is not mirrored by the other.
#include <dirent.h>
#include <errno.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "fake_daemon.h"

namespace kivtest {
namespace wire {
namespace {

// A number as its letter, a one-byte length and its text.
std::string number_text(char letter, const char *text) {
    return std::string(1, letter) + static_cast<char>(strlen(text)) + text;
}

std::string blob(char letter, const std::string &bytes) {
    return std::string(1, letter) + be32(static_cast<uint32_t>(bytes.size())) + bytes;
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

std::string a(const std::vector<std::string> &elements) {
    std::string body;
    for (auto &element : elements) body += element;
    // The size field counts the bytes after it: count field plus elements.
    return "a" + be32(static_cast<uint32_t>(4 + body.size())) + be32(static_cast<uint32_t>(elements.size())) +
           body;
}

std::string h(const std::vector<std::pair<std::string, std::string>> &entries) {
    std::string body;
    uint32_t size = 4;
    for (auto &[key, value] : entries) {
        body += be32(static_cast<uint32_t>(key.size())).substr(2) + key + value;
        // Each entry counts four bytes for its two-byte key length.
        size += static_cast<uint32_t>(4 + key.size() + value.size());
    }
    return "h" + be32(size) + be32(static_cast<uint32_t>(entries.size())) + body;
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
    out.replace(4, 4, wire::be32(tid));
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

unsigned abstract_address(const std::string &name, sockaddr_un *addr) {
    memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    const size_t length = std::min(name.size(), sizeof addr->sun_path - 1);
    memcpy(addr->sun_path + 1, name.data(), length);
    return static_cast<unsigned>(offsetof(sockaddr_un, sun_path) + 1 + length);
}

int connect_abstract(const std::string &name) {
    sockaddr_un addr;
    const socklen_t len = abstract_address(name, &addr);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

std::string read_file(const std::string &path) {
    std::stringstream ss;
    ss << std::ifstream(path, std::ios::binary).rdbuf();
    return ss.str();
}

std::vector<std::string> dir_names(const std::string &path) {
    std::vector<std::string> names;
    if (DIR *d = opendir(path.c_str())) {
        while (dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

int open_descriptors() {
    return static_cast<int>(dir_names("/proc/self/fd").size()) - 1;  // the listing's own
}

uint32_t u32_at(const std::string &bytes, size_t at, bool big_endian) {
    uint32_t v = 0;
    for (size_t k = 0; k < 4; k++) v |= uint32_t(uint8_t(bytes[at + k])) << (8 * (big_endian ? 3 - k : k));
    return v;
}

bool take_frame(std::string &rx, Request &out) {
    if (rx.size() < 16 || rx.size() - 16 < u32_at(rx, 12)) return false;
    const size_t length = u32_at(rx, 12);
    out.header = rx.substr(0, 16);
    out.tid = u32_at(rx, 4);
    out.opcode = static_cast<uint8_t>(rx[8]);
    out.payload = rx.substr(16, length);
    rx.erase(0, 16 + length);
    return true;
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

bool read_frame(int fd, std::string &out) {
    out.assign(16, '\0');
    if (!read_all(fd, &out[0], 16)) return false;
    out.resize(16 + u32_at(out, 12));
    return read_all(fd, &out[16], out.size() - 16);
}

}  // namespace kivtest
