#include "server.h"

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>

#include "config.h"

namespace simd {

namespace {

constexpr size_t kMaxQueuedOutput = 32 * 1024 * 1024;

socklen_t abstract_address(const std::string &name, sockaddr_un &addr) {
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    size_t n = std::min(name.size(), sizeof addr.sun_path - 1);
    memcpy(addr.sun_path + 1, name.data(), n);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
}

bool set_nonblocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

int listen_abstract(const std::string &name) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un addr;
    socklen_t len = abstract_address(name, addr);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0 || listen(fd, 16) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

int connect_abstract(const std::string &name) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un addr;
    socklen_t len = abstract_address(name, addr);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

Server::Server(const Options &options, const Faults &faults, Capture &capture, const Logger &log)
    : options_(options), faults_(faults), capture_(capture), log_(log) {
    next_ping_ = Clock::now() + std::chrono::milliseconds(options_.ping_interval_ms);
}

Server::~Server() {
    for (auto &c : clients_) {
        if (c->fd >= 0) close(c->fd);
        c->art.release();
    }
    if (listen_fd_ >= 0) close(listen_fd_);
    if (spare_fd_ >= 0) close(spare_fd_);
}

bool Server::listen(std::string &error) {
    listen_fd_ = listen_abstract(options_.socket_name);
    if (listen_fd_ < 0) {
        error = "cannot listen on @" + options_.socket_name + ": " + strerror(errno);
        return false;
    }
    set_nonblocking(listen_fd_);
    spare_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
    return true;
}

// ------------------------------------------------------------------ loop

size_t Server::poll_fds(std::vector<pollfd> &fds) const {
    fds.push_back({listen_fd_, POLLIN, 0});
    for (auto &c : clients_) {
        // Requests are read only while the client's earlier requests are
        // served and it reads what they produced.
        short events = c->backlog || c->tx.size() > kMaxOutputBeforeReading ? 0 : POLLIN;
        if (!c->tx.empty()) events |= POLLOUT;
        fds.push_back({c->fd, events, 0});
    }
    return clients_.size();
}

// `first` is the listening socket's place in `fds`, its clients follow.
void Server::serve(const std::vector<pollfd> &fds, size_t first, size_t polled, bool polled_any) {
    if (polled_any) {
        // Clients accepted below are polled from the next round on.
        for (size_t k = 0; k < polled && k < clients_.size(); k++) {
            Connection &c = *clients_[k];
            short re = fds[first + 1 + k].revents;
            if (c.dead) continue;
            if (re & (POLLIN | POLLHUP | POLLERR)) read_client(c);
            if (!c.dead && (re & POLLOUT)) flush(c);
        }
    }
    for (auto &c : clients_)
        if (c->backlog && !c->dead && c->tx.size() <= kMaxOutputBeforeReading) serve_frames(*c);
    if (polled_any && (fds[first].revents & POLLIN)) accept_clients();
}

Server::Clock::time_point Server::deadline(Clock::time_point now, Clock::time_point soonest) const {
    if (options_.ping_interval_ms > 0) soonest = std::min(soonest, next_ping_);
    for (auto &c : clients_) {
        if (c->backlog && c->tx.size() <= kMaxOutputBeforeReading) soonest = now;
        if (!c->held.empty()) soonest = std::min(soonest, c->held.front().first);
    }
    return soonest;
}

void Server::sweep() {
    clients_.erase(std::remove_if(clients_.begin(), clients_.end(),
                                  [](const std::unique_ptr<Connection> &c) { return c->dead; }),
                   clients_.end());
}

// ----------------------------------------------------------- connections

void Server::refuse(int fd, const char *why) {
    log_("refusing a connection: %s", why);
    close(fd);
}

void Server::accept_clients() {
    for (;;) {
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if ((errno == EMFILE || errno == ENFILE) && spare_fd_ >= 0) {
                // Out of descriptors: the pending connection would keep the
                // listening socket readable and the loop spinning. The spare
                // descriptor makes room to take it and close it at once.
                close(spare_fd_);
                fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
                spare_fd_ = -1;
                if (fd >= 0) refuse(fd, "out of file descriptors (see ulimit -n and --max-clients)");
                spare_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
                if (fd >= 0) continue;
            }
            return;
        }
        size_t live = std::count_if(clients_.begin(), clients_.end(), [](auto &c) { return !c->dead; });
        if (live >= static_cast<size_t>(options_.max_clients)) {
            char why[64];
            snprintf(why, sizeof why, "%d clients already", options_.max_clients);
            refuse(fd, why);
            continue;
        }
        auto c = std::make_unique<Connection>();
        c->fd = fd;
        c->id = next_client_id_++;
        c->last_heard = Clock::now();
        ucred cred;
        socklen_t cred_len = sizeof cred;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &cred_len) == 0) c->uid = cred.uid;
        if (on_connect_) on_connect_(*c);
        log_("client %d connected", c->id);
        clients_.push_back(std::move(c));
    }
}

void Server::drop(Connection &c, const std::string &reason) {
    if (c.dead) return;
    log_("client %d: %s; connection closed", c.id, reason.c_str());
    close(c.fd);
    c.fd = -1;
    c.art.release();
    c.dead = true;
    c.rx.clear();
    c.rx.shrink_to_fit();
    c.tx.clear();
    c.tx.shrink_to_fit();
    c.reserved = 0;
    c.backlog = false;
    c.held.clear();
    c.held_bytes = 0;
}

bool Server::close_client(int id, const std::string &reason) {
    for (auto &c : clients_) {
        if (c->id != id || c->dead) continue;
        drop(*c, reason);
        return true;
    }
    return false;
}

// ----------------------------------------------------------------- input

size_t Server::buffered_bytes() const {
    size_t total = 0;
    for (auto &c : clients_) total += std::max(c->reserved, c->rx.size()) + c->tx.size();
    return total;
}

void Server::read_client(Connection &c) {
    char buf[65536];
    ssize_t n = read(c.fd, buf, sizeof buf);
    if (n == 0) return drop(c, "disconnected");
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) return;
        return drop(c, std::string("read error: ") + strerror(errno));
    }
    c.rx.append(buf, static_cast<size_t>(n));
    serve_frames(c);
}

// A large request is admitted only within the buffer budget, and its room
// is taken at once (no doubling while it grows). False: the client is gone.
bool Server::admit_large(Connection &c, size_t at, size_t need, uint32_t len) {
    size_t in_use = buffered_bytes() - std::max(c.reserved, c.rx.size());
    if (in_use + need > kBufferBudget) {
        drop(c, "request of " + std::to_string(len) + " bytes over the buffer budget (" +
                    std::to_string(in_use) + " bytes buffered for all clients)");
        return false;
    }
    if (at > 0) c.rx.erase(0, at);
    c.rx.reserve(need);
    c.reserved = need;
    return true;
}

// Serves up to kFramesPerRound complete requests from the client's input;
// the rest wait for the next round, so that one client cannot keep the
// others waiting.
void Server::serve_frames(Connection &c) {
    size_t at = 0;
    int served = 0;
    c.backlog = false;
    while (!c.dead && c.rx.size() - at >= kHeaderSize) {
        const uint8_t *h = reinterpret_cast<const uint8_t *>(c.rx.data()) + at;
        if (h[0] != kMarker) {
            char why[64];
            snprintf(why, sizeof why, "malformed frame (marker 0x%02x)", h[0]);
            return drop(c, why);
        }
        uint32_t len = read_be32(h + IPOD_HEADER_LENGTH_AT);
        if (len > kMaxPayload) return drop(c, "oversized payload length " + std::to_string(len));
        if (c.rx.size() - at < kHeaderSize + len) {
            size_t need = kHeaderSize + len;
            if (len > kSmallPayload && c.reserved < need) {
                if (!admit_large(c, at, need, len)) return;
                at = 0;
            }
            break;
        }
        if (served == kFramesPerRound) {
            c.backlog = true;
            break;
        }
        served++;
        c.last_heard = Clock::now();
        c.missed_pings = 0;
        capture_.frame(c.id, Capture::kToDaemon, h, kHeaderSize + len);
        if (!on_frame_(c, read_be32(h + IPOD_HEADER_TID_AT), h[IPOD_HEADER_OPCODE_AT], h + kHeaderSize, len))
            return;
        at += kHeaderSize + len;
        if (c.reserved && at >= c.reserved) c.reserved = 0;
    }
    if (c.dead) return;
    c.rx.erase(0, at);
    if (c.reserved == 0 && c.rx.capacity() > 2 * kSmallPayload && c.rx.size() <= kSmallPayload)
        c.rx.shrink_to_fit();
}

// ---------------------------------------------------------------- output

void Server::send(Connection &c, uint32_t tid, uint8_t opcode, const Value *payload) {
    if (c.dead) return;
    std::string bytes = payload ? encode(*payload) : std::string();
    if (bytes.size() > kMaxPayload) {
        // Never a frame the client must refuse: a reply becomes an error,
        // an event is left out.
        log_("client %d: %s of %zu bytes over the payload limit, %s", c.id, tid ? "reply" : "event",
             bytes.size(), tid ? "answered with an error" : "not sent");
        if (!tid) return;
        bytes = encode(Value::hash(
            {{"error", Value::string("reply too large (" + std::to_string(bytes.size()) + " bytes)")}}));
    }
    std::string f = frame(tid, opcode, bytes);
    if (!c.held.empty() || (tid != 0 && faults_.delay_ms > 0)) {
        // A delayed reply holds back what follows it, so the order stays
        // (captured when it leaves).
        auto when = Clock::now() + std::chrono::milliseconds(tid != 0 ? faults_.delay_ms : 0);
        if (!c.held.empty()) when = std::max(when, c.held.back().first);
        c.held_bytes += f.size();
        c.held.emplace_back(when, std::move(f));
        if (c.tx.size() + c.held_bytes > kMaxQueuedOutput) drop(c, "not reading its replies");
        return;
    }
    capture_.frame(c.id, Capture::kFromDaemon, f.data(), f.size());
    c.tx += f;
    if (c.tx.size() > kMaxQueuedOutput) return drop(c, "not reading its replies");
    flush(c);
}

void Server::release_held() {
    auto now = Clock::now();
    for (auto &c : clients_) {
        size_t k = 0;
        for (; k < c->held.size() && c->held[k].first <= now; k++) {
            const std::string &f = c->held[k].second;
            capture_.frame(c->id, Capture::kFromDaemon, f.data(), f.size());
            c->held_bytes -= f.size();
            c->tx += f;
        }
        if (k == 0) continue;
        c->held.erase(c->held.begin(), c->held.begin() + static_cast<ptrdiff_t>(k));
        flush(*c);
    }
}

void Server::flush(Connection &c) {
    while (!c.tx.empty()) {
        ssize_t n = ::send(c.fd, c.tx.data(), c.tx.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) return;
            return drop(c, std::string("write error: ") + strerror(errno));
        }
        c.tx.erase(0, static_cast<size_t>(n));
    }
}

// ----------------------------------------------------------------- pings

void Server::ping_if_due() {
    if (options_.ping_interval_ms > 0 && Clock::now() >= next_ping_) send_pings();
}

// Pings carry transaction id 0, which the library never hands out, so
// they can never be taken for the reply that a client awaits.
void Server::send_pings() {
    next_ping_ = Clock::now() + std::chrono::milliseconds(options_.ping_interval_ms);
    auto now = Clock::now();
    for (auto &c : clients_) {
        if (c->dead) continue;
        if (c->ping_pending) log_("client %d did not answer the last ping", c->id);
        if (options_.evict_after > 0 && c->missed_pings >= options_.evict_after &&
            now - c->last_heard >= std::chrono::milliseconds(kMinSilenceMs)) {
            auto silent = std::chrono::duration_cast<std::chrono::milliseconds>(now - c->last_heard);
            drop(*c, "evicted: " + std::to_string(c->missed_pings) +
                         " pings went unanswered and nothing arrived for " + std::to_string(silent.count()) +
                         " ms");
            continue;
        }
        c->missed_pings++;
        c->ping_pending = true;
        c->ping_sent = Clock::now();
        send(*c, 0, IPOD_OP_ping, nullptr);
    }
}

}  // namespace simd
