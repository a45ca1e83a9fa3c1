#include "daemon.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>

namespace simd {

namespace {

constexpr int kIpodId = 1;
constexpr const char *kSerial = "SIMPOD0000000001";
constexpr size_t kInlineArtworkMax = 16 * 1024;  // larger images go through a shared file
constexpr size_t kMaxQueuedOutput = 32 * 1024 * 1024;
constexpr size_t kMaxEapSessions = 8;
constexpr int kMaxRecordsPerReply = 500;
constexpr int kMaxTracksPerReply = 100;

int g_wake_pipe[2] = {-1, -1};

void wake(char why) {
    if (g_wake_pipe[1] >= 0) {
        ssize_t n = write(g_wake_pipe[1], &why, 1);
        (void)n;
    }
}

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

Value error(const std::string &text) {
    return Value::hash({{"error", Value::string(text)}});
}

bool get_int(const Value *v, int32_t &out) {
    if (!v || v->kind != Value::Int) return false;
    out = v->i;
    return true;
}

// An array argument of `n` integers at its start.
bool get_ints(const Value *v, size_t n, int32_t *out) {
    if (!v || v->kind != Value::Array || v->items.size() < n) return false;
    for (size_t k = 0; k < n; k++)
        if (!get_int(&v->items[k], out[k])) return false;
    return true;
}

int sample_rate_of(int index) {
    return index % 5 == 4 ? 48000 : 44100;
}

}  // namespace

struct Daemon::Client {
    int fd = -1;
    int id = 0;
    std::string rx;
    std::string tx;
    bool session = false;
    bool dead = false;
    struct Eap {
        int id;
        int protocol_index;
        std::string protocol;
    };
    std::vector<Eap> eap;
    // Browsing: the tracks in scope and the category being listed.
    std::vector<int> scope;
    int category = 0;
    std::string uid_list;
    // The shared artwork file, created on the first large image.
    std::string art_path;
    int art_fd = -1;
    size_t art_size = 0;
    bool ping_pending = false;
    Clock::time_point ping_sent;
    // Pings sent since the client last sent a complete frame, and when that was.
    int missed_pings = 0;
    Clock::time_point last_heard;
    // Bytes of the buffer budget held for the request being received.
    size_t reserved = 0;
    // Complete requests wait in rx (more than one round's share arrived).
    bool backlog = false;
    uid_t uid = static_cast<uid_t>(-1);  // of the peer process
    // Output held back by the reply delay fault, in order, with its time.
    std::vector<std::pair<Clock::time_point, std::string>> held;
    size_t held_bytes = 0;
};

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

Daemon::Daemon(Options options, Library library)
    : options_(std::move(options)), library_(std::move(library)) {
    started_ = last_advance_ = Clock::now();
    next_position_event_ = started_;
    next_ping_ = started_ + std::chrono::milliseconds(options_.ping_interval_ms);
    build_order();
}

Daemon::~Daemon() {
    for (auto &c : clients_) {
        if (c->fd >= 0) close(c->fd);
        if (c->art_fd >= 0) close(c->art_fd);
        if (!c->art_path.empty()) unlink(c->art_path.c_str());
    }
    if (listen_fd_ >= 0) close(listen_fd_);
    if (spare_fd_ >= 0) close(spare_fd_);
    if (art_dir_fd_ >= 0) {
        rmdir(art_dir_.c_str());
        close(art_dir_fd_);
    }
    for (int &fd : g_wake_pipe) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
}

void Daemon::log(const char *fmt, ...) const {
    if (options_.quiet) return;
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    fprintf(stderr, "kiv-ipod-simd: %s\n", line);
}

void Daemon::signal_stop() {
    wake('T');
}
void Daemon::signal_hotplug() {
    wake('H');
}

bool Daemon::start(std::string &error_text) {
    if (!options_.capture.empty() && !capture_.open(options_.capture, error_text)) return false;
    // Everything is in place before the socket exists: a client that can
    // connect finds the leftovers of earlier runs already removed.
    if (!prepare_artwork_dir(error_text)) return false;
    listen_fd_ = listen_abstract(options_.socket_name);
    if (listen_fd_ < 0) {
        error_text = "cannot listen on @" + options_.socket_name + ": " + strerror(errno);
        return false;
    }
    set_nonblocking(listen_fd_);
    if (pipe2(g_wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        error_text = std::string("pipe: ") + strerror(errno);
        return false;
    }
    spare_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
    log("listening on @%s (pid %d), library: %s, %zu tracks", options_.socket_name.c_str(), getpid(),
        library_.name.c_str(), library_.tracks.size());
    return true;
}

// ------------------------------------------------------------------ loop

int Daemon::poll_timeout_ms() const {
    auto now = Clock::now();
    auto soonest = now + std::chrono::seconds(1);
    if (state_ != 0 && state_ != 4 && present_) soonest = std::min(soonest, next_position_event_);
    if (options_.ping_interval_ms > 0) soonest = std::min(soonest, next_ping_);
    for (auto &c : clients_)
        if (c->backlog && c->tx.size() <= kMaxOutputBeforeReading) soonest = now;
    for (auto &s : steps_) soonest = std::min(soonest, s.when);
    for (auto &c : clients_)
        if (!c->held.empty()) soonest = std::min(soonest, c->held.front().first);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(soonest - now).count();
    return static_cast<int>(std::max<long long>(0, ms + 1));
}

int Daemon::run() {
    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({listen_fd_, POLLIN, 0});
        fds.push_back({g_wake_pipe[0], POLLIN, 0});
        for (auto &c : clients_) {
            // Requests are read only while the client's earlier requests are
            // served and it reads what they produced.
            short events = c->backlog || c->tx.size() > kMaxOutputBeforeReading ? 0 : POLLIN;
            if (!c->tx.empty()) events |= POLLOUT;
            fds.push_back({c->fd, events, 0});
        }
        size_t polled = clients_.size();
        if (hooks_.wake_fd >= 0) fds.push_back({hooks_.wake_fd, POLLIN, 0});
        int n = poll(fds.data(), fds.size(), poll_timeout_ms());
        if (n < 0 && errno != EINTR) {
            fprintf(stderr, "kiv-ipod-simd: poll: %s\n", strerror(errno));
            return 1;
        }
        if (n > 0 && (fds[1].revents & POLLIN)) {
            char why[16];
            ssize_t got;
            bool stop = false;
            while ((got = read(g_wake_pipe[0], why, sizeof why)) > 0) {
                for (ssize_t k = 0; k < got; k++) {
                    if (why[k] == 'T') stop = true;
                    if (why[k] == 'H') hotplug();
                }
            }
            if (stop) {
                log("stopping");
                return 0;
            }
        }
        if (n > 0 && hooks_.wake_fd >= 0 && (fds.back().revents & POLLIN)) hooks_.on_wake();
        if (n > 0) {
            // Clients accepted below are polled from the next round on.
            for (size_t k = 0; k < polled && k < clients_.size(); k++) {
                Client &c = *clients_[k];
                short re = fds[k + 2].revents;
                if (c.dead) continue;
                if (re & (POLLIN | POLLHUP | POLLERR)) read_client(c);
                if (!c.dead && (re & POLLOUT)) flush_client(c);
            }
        }
        for (auto &c : clients_)
            if (c->backlog && !c->dead && c->tx.size() <= kMaxOutputBeforeReading) serve_frames(*c);
        if (n > 0) {
            if (fds[0].revents & POLLIN) accept_clients();
        }
        advance();
        run_steps();
        release_held();
        if (options_.ping_interval_ms > 0 && Clock::now() >= next_ping_) send_pings();
        clients_.erase(std::remove_if(clients_.begin(), clients_.end(),
                                      [](const std::unique_ptr<Client> &c) { return c->dead; }),
                       clients_.end());
        if (hooks_.after_round) hooks_.after_round();
    }
}

void Daemon::refuse_connection(int fd, const char *why) {
    log("refusing a connection: %s", why);
    close(fd);
}

void Daemon::accept_clients() {
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
                if (fd >= 0)
                    refuse_connection(fd, "out of file descriptors (see ulimit -n and --max-clients)");
                spare_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
                if (fd >= 0) continue;
            }
            return;
        }
        size_t live = std::count_if(clients_.begin(), clients_.end(), [](auto &c) { return !c->dead; });
        if (live >= static_cast<size_t>(options_.max_clients)) {
            char why[64];
            snprintf(why, sizeof why, "%d clients already", options_.max_clients);
            refuse_connection(fd, why);
            continue;
        }
        auto c = std::make_unique<Client>();
        c->fd = fd;
        c->id = next_client_id_++;
        c->last_heard = Clock::now();
        ucred cred;
        socklen_t cred_len = sizeof cred;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &cred_len) == 0) c->uid = cred.uid;
        for (size_t k = 0; k < library_.tracks.size(); k++) c->scope.push_back(static_cast<int>(k));
        log("client %d connected", c->id);
        clients_.push_back(std::move(c));
    }
}

void Daemon::drop_client(Client &c, const std::string &reason) {
    if (c.dead) return;
    log("client %d: %s; connection closed", c.id, reason.c_str());
    close(c.fd);
    c.fd = -1;
    if (c.art_fd >= 0) close(c.art_fd);
    c.art_fd = -1;
    // The client's mapping outlives the name.
    if (!c.art_path.empty()) unlink(c.art_path.c_str());
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

size_t Daemon::buffered_bytes() const {
    size_t total = 0;
    for (auto &c : clients_) total += std::max(c->reserved, c->rx.size()) + c->tx.size();
    return total;
}

void Daemon::read_client(Client &c) {
    char buf[65536];
    ssize_t n = read(c.fd, buf, sizeof buf);
    if (n == 0) return drop_client(c, "disconnected");
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) return;
        return drop_client(c, std::string("read error: ") + strerror(errno));
    }
    c.rx.append(buf, static_cast<size_t>(n));
    serve_frames(c);
}

// Serves up to kFramesPerRound complete requests from the client's input;
// the rest wait for the next round, so that one client cannot keep the
// others waiting.
void Daemon::serve_frames(Client &c) {
    size_t at = 0;
    int served = 0;
    c.backlog = false;
    while (!c.dead && c.rx.size() - at >= kHeaderSize) {
        const uint8_t *h = reinterpret_cast<const uint8_t *>(c.rx.data()) + at;
        if (h[0] != kMarker) {
            char why[64];
            snprintf(why, sizeof why, "malformed frame (marker 0x%02x)", h[0]);
            return drop_client(c, why);
        }
        uint32_t len = read_be32(h + 12);
        if (len > kMaxPayload) return drop_client(c, "oversized payload length " + std::to_string(len));
        if (c.rx.size() - at < kHeaderSize + len) {
            // A large request is admitted only within the buffer budget,
            // and its room is taken at once (no doubling while it grows).
            size_t need = kHeaderSize + len;
            if (len > kSmallPayload && c.reserved < need) {
                size_t in_use = buffered_bytes() - std::max(c.reserved, c.rx.size());
                if (in_use + need > kBufferBudget)
                    return drop_client(c, "request of " + std::to_string(len) +
                                              " bytes over the buffer budget (" + std::to_string(in_use) +
                                              " bytes buffered for all clients)");
                if (at > 0) {
                    c.rx.erase(0, at);
                    at = 0;
                }
                c.rx.reserve(need);
                c.reserved = need;
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
        if (!handle_frame(c, read_be32(h + 4), h[8], h + kHeaderSize, len)) return;
        at += kHeaderSize + len;
        if (c.reserved && at >= c.reserved) c.reserved = 0;
    }
    if (c.dead) return;
    c.rx.erase(0, at);
    if (c.reserved == 0 && c.rx.capacity() > 2 * kSmallPayload && c.rx.size() <= kSmallPayload)
        c.rx.shrink_to_fit();
}

void Daemon::send(Client &c, uint32_t tid, uint8_t opcode, const Value *payload) {
    if (c.dead) return;
    std::string bytes = payload ? encode(*payload) : std::string();
    if (bytes.size() > kMaxPayload) {
        // Never a frame the client must refuse: a reply becomes an error,
        // an event is left out.
        log("client %d: %s of %zu bytes over the payload limit, %s", c.id, tid ? "reply" : "event",
            bytes.size(), tid ? "answered with an error" : "not sent");
        if (!tid) return;
        bytes = encode(error("reply too large (" + std::to_string(bytes.size()) + " bytes)"));
    }
    std::string f = frame(tid, opcode, bytes);
    if (!c.held.empty() || (tid != 0 && faults_.delay_ms > 0)) {
        // A delayed reply holds back what follows it, so the order stays
        // (captured when it leaves).
        auto when = Clock::now() + std::chrono::milliseconds(tid != 0 ? faults_.delay_ms : 0);
        if (!c.held.empty()) when = std::max(when, c.held.back().first);
        c.held_bytes += f.size();
        c.held.emplace_back(when, std::move(f));
        if (c.tx.size() + c.held_bytes > kMaxQueuedOutput) drop_client(c, "not reading its replies");
        return;
    }
    capture_.frame(c.id, Capture::kFromDaemon, f.data(), f.size());
    c.tx += f;
    if (c.tx.size() > kMaxQueuedOutput) return drop_client(c, "not reading its replies");
    flush_client(c);
}

void Daemon::release_held() {
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
        flush_client(*c);
    }
}

void Daemon::flush_client(Client &c) {
    while (!c.tx.empty()) {
        ssize_t n = ::send(c.fd, c.tx.data(), c.tx.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) return;
            return drop_client(c, std::string("write error: ") + strerror(errno));
        }
        c.tx.erase(0, static_cast<size_t>(n));
    }
}

// --------------------------------------------------------------- events

Value Daemon::device_hash() const {
    return Value::hash({
        {"serial", Value::string(kSerial)},
        {"ipod_id", Value::integer(kIpodId)},
        {"name", Value::string("Demo iPod")},
        {"version", Value::string("1.2.1")},
        {"product_id", Value::integer(0x1261)},
        {"extended", Value::integer(extended_)},
        {"authenticated", Value::integer(authenticated_)},
        {"ready", Value::integer(ready_)},
        {"audio_count", Value::integer(static_cast<int32_t>(library_.tracks.size()))},
        {"support_itunes_db", Value::integer(1)},
        {"sound_card_id", Value::integer(1)},
        {"port", Value::integer(0)},
        {"used", Value::integer(1)},
        {"type", Value::integer(1)},
    });
}

Value Daemon::devices_array() const {
    Value list = Value::array();
    if (present_) list.items.push_back(device_hash());
    return list;
}

// The daemon's name of an event type, from the protocol's table.
static std::string event_name(ipod_event_type type) {
    return ipod_event_name(type);
}

Value Daemon::event_hash(const std::string &name, const Value &data, const Client &c) const {
    Value h = Value::hash({{"event", Value::string(name)},
                           {"session", Value::integer(c.id)},
                           {"ipod_id", Value::integer(kIpodId)},
                           {"ipod_serial", Value::string(kSerial)}});
    h.add("data", data);
    return h;
}

// Events and pings carry transaction id 0, which the library never hands
// out, so they can never be taken for the reply that a client awaits.
void Daemon::device_event(const std::string &name, const Value &data) {
    log("event %s", name.c_str());
    for (auto &c : clients_) {
        Value h = event_hash(name, data, *c);
        send(*c, 0, 1, &h);
    }
}

void Daemon::media_event(const std::string &name, const Value &data, Client *only) {
    for (auto &c : clients_) {
        if (!c->session || (only && c.get() != only)) continue;
        Value h = event_hash(name, data, *c);
        send(*c, 0, 1, &h);
    }
}

void Daemon::send_pings() {
    next_ping_ = Clock::now() + std::chrono::milliseconds(options_.ping_interval_ms);
    auto now = Clock::now();
    for (auto &c : clients_) {
        if (c->dead) continue;
        if (c->ping_pending) log("client %d did not answer the last ping", c->id);
        if (options_.evict_after > 0 && c->missed_pings >= options_.evict_after &&
            now - c->last_heard >= std::chrono::milliseconds(kMinSilenceMs)) {
            auto silent = std::chrono::duration_cast<std::chrono::milliseconds>(now - c->last_heard);
            drop_client(*c, "evicted: " + std::to_string(c->missed_pings) +
                                " pings went unanswered and nothing arrived for " +
                                std::to_string(silent.count()) + " ms");
            continue;
        }
        c->missed_pings++;
        c->ping_pending = true;
        c->ping_sent = Clock::now();
        send(*c, 0, 54, nullptr);
    }
}

void Daemon::run_steps() {
    auto now = Clock::now();
    while (!steps_.empty() && steps_.front().when <= now) {
        Step s = std::move(steps_.front());
        steps_.erase(steps_.begin());
        s.action();
    }
}

void Daemon::hotplug() {
    if (!present_ || !steps_.empty()) {
        log("hot-plug already in progress");
        return;
    }
    log("hot-plug: the demo iPod disconnects");
    advance();
    present_ = false;
    authenticated_ = extended_ = ready_ = 0;
    device_event(event_name(IPOD_EVENT_disconnected_ipod), Value::string(kSerial));
    for (auto &c : clients_) {
        c->session = false;
        c->eap.clear();
    }
    auto t = Clock::now();
    auto at = [&](int ms) { return t + std::chrono::milliseconds(ms); };
    steps_.push_back({at(300), [this] {
                          log("hot-plug: the demo iPod reconnects");
                          present_ = true;
                          device_event(event_name(IPOD_EVENT_connected_ipod), device_hash());
                      }});
    steps_.push_back({at(400), [this] {
                          authenticated_ = 1;
                          device_event(event_name(IPOD_EVENT_authenticated), device_hash());
                      }});
    steps_.push_back({at(500), [this] {
                          extended_ = 1;
                          device_event(event_name(IPOD_EVENT_mode_changed), device_hash());
                      }});
    steps_.push_back({at(600), [this] {
                          ready_ = 1;
                          device_event(event_name(IPOD_EVENT_ipod_ready), device_hash());
                      }});
}

// ------------------------------------------------------------- playback

void Daemon::build_order() {
    int current = order_.empty() ? 0 : current_index();
    size_t n = library_.tracks.size();
    order_.resize(n);
    for (size_t k = 0; k < n; k++) order_[k] = static_cast<int>(k);
    if (shuffle_) {
        // Deterministic shuffle with the playing track kept first.
        uint64_t s = shuffle_seed_++;
        for (size_t k = n; k > 1; k--) {
            s = s * 6364136223846793005ull + 1442695040888963407ull;
            std::swap(order_[k - 1], order_[(s >> 33) % k]);
        }
        auto it = std::find(order_.begin(), order_.end(), current);
        std::iter_swap(order_.begin(), it);
        order_pos_ = 0;
    } else {
        order_pos_ = static_cast<size_t>(current);
    }
}

void Daemon::set_state(int code) {
    if (code == state_) return;
    state_ = code;
    next_position_event_ = Clock::now() + std::chrono::seconds(1);
    media_event(event_name(IPOD_EVENT_play_state_changed), Value::integer(code));
}

void Daemon::go_to(size_t order_pos, bool emit) {
    int old_rate = sample_rate_of(current_index());
    order_pos_ = order_pos;
    position_ms_ = 0;
    const Track &t = current();
    chapter_ = chapter_at(t, 0);
    if (!emit) return;
    media_event(event_name(IPOD_EVENT_track_index_changed), Value::integer(current_index()));
    if (chapter_ >= 0)
        media_event(
            event_name(IPOD_EVENT_chapter_index_changed),
            Value::hash({{"track_index", Value::integer(current_index())},
                         {"chapter_index", Value::integer(chapter_)},
                         {"chapter_count", Value::integer(static_cast<int32_t>(t.chapters.size()))}}));
    if (sample_rate_of(current_index()) != old_rate)
        media_event(event_name(IPOD_EVENT_samplerate_retrieved),
                    Value::integer(sample_rate_of(current_index())));
}

void Daemon::play_index(int track_index) {
    auto it = std::find(order_.begin(), order_.end(), track_index);
    go_to(static_cast<size_t>(it - order_.begin()));
    set_state(3);
}

// Moves the position on by the time passed since the last call, handling
// the end of a track and chapter changes.
void Daemon::advance() {
    auto now = Clock::now();
    double elapsed = std::chrono::duration<double, std::milli>(now - last_advance_).count();
    last_advance_ = now;
    if (!present_) return;
    double speed = state_ == 3 ? 1.0 : state_ == 1 ? 4.0 : state_ == 2 ? -4.0 : 0.0;
    if (speed == 0.0) return;
    position_ms_ += elapsed * speed;
    if (position_ms_ < 0) {
        position_ms_ = 0;
        set_state(3);
    }
    if (position_ms_ >= current().length_ms) {
        if (repeat_ == 1) {
            go_to(order_pos_);
        } else if (order_pos_ + 1 < order_.size()) {
            go_to(order_pos_ + 1);
        } else if (repeat_ == 2) {
            go_to(0);
        } else {
            go_to(0);
            set_state(0);
            return;
        }
    }
    int ch = chapter_at(current(), static_cast<int32_t>(position_ms_));
    if (ch != chapter_) {
        chapter_ = ch;
        media_event(event_name(IPOD_EVENT_chapter_index_changed),
                    Value::hash({{"track_index", Value::integer(current_index())},
                                 {"chapter_index", Value::integer(ch)},
                                 {"chapter_count",
                                  Value::integer(static_cast<int32_t>(current().chapters.size()))}}));
    }
    if (now >= next_position_event_) tick_second();
}

void Daemon::tick_second() {
    next_position_event_ = Clock::now() + std::chrono::seconds(1);
    media_event(event_name(IPOD_EVENT_track_position_changed),
                Value::integer(static_cast<int32_t>(position_ms_)));
}

// -------------------------------------------------------------- replies

Value Daemon::track_info_hash(const Track &t, int index, bool current_track) const {
    Value h = Value::hash();
    h.add(current_track ? "current_track_info" : "indexed_track_info", Value::integer(1));
    h.add("title", Value::string(t.title));
    h.add("uid", Value::bytes(t.uid));
    h.add("artist", Value::string(t.artist));
    h.add("album", Value::string(t.album));
    h.add("composer", Value::string(t.composer));
    h.add("genre", Value::string(t.genre));
    h.add("length", Value::integer(t.length_ms));
    h.add("number_of_tracks", Value::integer(static_cast<int32_t>(library_.tracks.size())));
    h.add("track_index", Value::integer(index));
    h.add("chapter_count", Value::integer(static_cast<int32_t>(t.chapters.size())));
    h.add("has_chapters", Value::integer(t.chapters.empty() ? 0 : 1));
    h.add("is_audiobook", Value::integer(t.audiobook));
    h.add("is_podcast", Value::integer(t.podcast));
    h.add("artwork", Value::integer(1));
    std::string date(7, '\0');
    date[0] = static_cast<char>(t.year >> 8);
    date[1] = static_cast<char>(t.year);
    date[2] = 1;
    date[3] = 1;
    h.add("release_date", Value::bytes(date));
    if (current_track) {
        int ch = chapter_;
        h.add("chapter", Value::string(ch >= 0 ? t.chapters[ch].title : ""));
        h.add("chapter_index", Value::integer(ch));
        h.add("position", Value::integer(static_cast<int32_t>(position_ms_)));
        h.add("state", Value::integer(state_));
        auto since = std::chrono::system_clock::now().time_since_epoch();
        auto us = std::chrono::duration_cast<std::chrono::microseconds>(since).count();
        h.add("timestamp", Value::integer(static_cast<int32_t>(us / 1000000)));
        h.add("timestamp_usec", Value::integer(static_cast<int32_t>(us % 1000000)));
    }
    return h;
}

// Artwork of the current track as a square of `edge` pixels. Small images
// travel inline; larger ones are written to the client's shared file, which
// only ever grows so that a mapping the client holds stays backed.
Value Daemon::artwork_reply(Client &c, int edge) {
    int rowstride = (edge * 2 + 3) & ~3;
    std::string px = draw_artwork(current(), edge, rowstride);
    Value h = Value::hash({{"width", Value::integer(edge)},
                           {"height", Value::integer(edge)},
                           {"rowstride", Value::integer(rowstride)}});
    if (px.size() <= kInlineArtworkMax) {
        h.add("image", Value::bytes(std::move(px)));
        return h;
    }
    if (c.art_fd < 0) {
        // A fresh random name in the private directory, created exclusively (0600).
        std::string path = art_dir_ + "/art-XXXXXX.rgb565";
        c.art_fd = mkostemps(&path[0], 7, O_CLOEXEC);
        if (c.art_fd < 0) return error(std::string("cannot create artwork file: ") + strerror(errno));
        c.art_path = path;
        c.art_size = 0;
    }
    if (px.size() > c.art_size) {
        if (ftruncate(c.art_fd, static_cast<off_t>(px.size())) != 0)
            return error(std::string("cannot grow artwork file: ") + strerror(errno));
        c.art_size = px.size();
    }
    if (pwrite(c.art_fd, px.data(), px.size(), 0) != static_cast<ssize_t>(px.size()))
        return error("cannot write artwork file");
    h.add("image_path", Value::string(c.art_path));
    return h;
}

bool Daemon::handle_frame(Client &c, uint32_t tid, uint8_t opcode, const uint8_t *payload, uint32_t len) {
    Value arg;
    bool has_arg = len > 0;
    bool too_many = false;
    if (has_arg && !decode(payload, len, arg, kMaxValuesPerRequest, &too_many)) {
        if (too_many) {
            drop_client(c, "request with more than " + std::to_string(kMaxValuesPerRequest) +
                               " values (opcode " + std::to_string(opcode) + ")");
            return false;
        }
        drop_client(c, "malformed payload (opcode " + std::to_string(opcode) + ", " + std::to_string(len) +
                           " bytes)");
        return false;
    }
    if (opcode == IPOD_OP_ping) {
        // A client's answer to our ping. It still gets a reply, under an
        // opcode that the client cannot take for another ping.
        if (c.ping_pending) {
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - c.ping_sent);
            log("client %d answered the ping in %lld ms", c.id, static_cast<long long>(ms.count()));
        }
        c.ping_pending = false;
        Value zero = Value::integer(0);
        if (faults_.ignore_pings) {
            if (hooks_.on_reply) hooks_.on_reply(c.id, tid, opcode, nullptr);
            return true;
        }
        send(c, tid, 0, &zero);
        if (hooks_.on_reply) hooks_.on_reply(c.id, tid, opcode, &zero);
        return true;
    }
    bool valid = true;
    advance();
    Value reply;
    if (!faults_.error_next.empty()) {
        reply = error(faults_.error_next);
        faults_.error_next.clear();
    } else {
        reply = answer(c, opcode, has_arg ? &arg : nullptr, valid);
    }
    if (!valid) {
        drop_client(c, "unknown opcode " + std::to_string(opcode));
        return false;
    }
    bool answered = !faults_.drop_next_reply;
    if (answered) {
        send(c, tid, opcode, &reply);
    } else {
        faults_.drop_next_reply = false;
        log("client %d: request %u (opcode %d) left unanswered", c.id, tid, opcode);
    }
    if (hooks_.on_reply) hooks_.on_reply(c.id, tid, opcode, answered && !c.dead ? &reply : nullptr);
    for (auto &e : after_reply_) media_event(e.first, e.second, &c);
    after_reply_.clear();
    return !c.dead;
}

Value Daemon::answer(Client &c, uint8_t op, const Value *arg, bool &valid) {
    int32_t n = 0;
    int32_t v[4];
    const Value ok = Value::integer(0);
    size_t count = library_.tracks.size();

    switch (op) {
        case IPOD_OP_open:
            return Value::hash({{"devices", devices_array()}, {"pid", Value::integer(getpid())}});
        case IPOD_OP_open_session:
            if (!get_int(arg, n)) return error("open_session: expected a device index");
            if (!present_ || n != 0)
                return Value::hash({{"result", Value::integer(0)},
                                    {"error", Value::string("no device at index " + std::to_string(n))}});
            c.session = true;
            log("client %d opened a session", c.id);
            return Value::hash({{"result", Value::integer(1)}, {"devices", devices_array()}});
        case IPOD_OP_close_session:
            for (auto &e : c.eap)
                media_event(event_name(IPOD_EVENT_eap_session_closed),
                            Value::hash({{"session_id", Value::integer(e.id)}}), &c);
            c.eap.clear();
            c.session = false;
            return ok;
        case IPOD_OP_health_examine: {
            if (!arg || arg->kind != Value::Array || arg->items.empty() ||
                arg->items[0].kind != Value::String)
                return error("health_examine: expected [text, value]");
            auto up = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_);
            Value h = Value::hash({{"status", Value::string("ok")},
                                   {"text", arg->items[0]},
                                   {"clients", Value::integer(static_cast<int32_t>(clients_.size()))},
                                   {"uptime_ms", Value::integer(static_cast<int32_t>(up.count()))}});
            if (arg->items.size() > 1) h.add("value", arg->items[1]);
            return h;
        }
        case IPOD_OP_set_bluetooth_hw_info:
        case IPOD_OP_set_bluetooth_state:
        case IPOD_OP_restart_idps:
            return ok;
        case IPOD_OP_set_config:
            if (!arg || arg->kind != Value::Array || arg->items.size() != 2 ||
                arg->items[0].kind != Value::String || arg->items[1].kind != Value::String)
                return error("set_config: expected [key, value]");
            log("client %d: config %s=%s", c.id, arg->items[0].s.c_str(), arg->items[1].s.c_str());
            return ok;
        case kControlOpcode:
            if (!options_.allow_control || c.uid != getuid()) break;
            if (!arg || arg->kind != Value::String) return error("control: expected a command");
            if (arg->s == "hotplug") {
                hotplug();
                return ok;
            }
            return error("control: unknown command \"" + arg->s + "\"");
        default:
            break;
    }
    if (op < 4 || op > 58) {
        valid = false;
        return ok;
    }
    // Everything else is about the iPod and needs it attached and a session.
    if (!present_) return error("no iPod connected");
    if (!c.session) return error("no session open");

    switch (op) {
        case IPOD_OP_play:
            set_state(3);
            return ok;
        case IPOD_OP_stop:
            set_state(0);
            position_ms_ = 0;
            return ok;
        case IPOD_OP_pause:
            set_state(4);
            return ok;
        case IPOD_OP_next_track:
            if (order_pos_ + 1 < order_.size())
                go_to(order_pos_ + 1);
            else if (repeat_ == 2)
                go_to(0);
            else
                return error("already at the last track");
            return ok;
        case IPOD_OP_prev_track:
            // Like a player's back button: restart unless near the start.
            if (position_ms_ > 3000 || order_pos_ == 0)
                go_to(order_pos_);
            else
                go_to(order_pos_ - 1);
            return ok;
        case IPOD_OP_start_ffw:
            set_state(1);
            return ok;
        case IPOD_OP_start_rew:
            set_state(2);
            return ok;
        case IPOD_OP_stop_ffwrew:
            if (state_ == 1 || state_ == 2) set_state(3);
            return ok;
        case IPOD_OP_set_position:
            if (!get_int(arg, n)) return error("set_position: expected milliseconds");
            if (n < 0 || n >= current().length_ms) return error("position out of range");
            position_ms_ = n;
            media_event(event_name(IPOD_EVENT_track_position_changed), Value::integer(n));
            return ok;
        case IPOD_OP_current_track_info:
            return track_info_hash(current(), current_index(), true);
        case IPOD_OP_get_sample_rate:
            return Value::hash({{"sample_rate", Value::integer(sample_rate_of(current_index()))}});
        case IPOD_OP_current_track_artwork:
            if (!get_int(arg, n)) return error("artwork: expected a size");
            if (n <= 0) n = 128;
            return artwork_reply(c, std::min(n, 512));
        case IPOD_OP_get_play_state:
            return Value::hash({{"current_play_status", Value::integer(state_)},
                                {"length", Value::integer(current().length_ms)},
                                {"position", Value::integer(static_cast<int32_t>(position_ms_))}});
        case IPOD_OP_get_current_track_index:
            return Value::integer(current_index());
        case IPOD_OP_set_shuffle:
        case IPOD_OP_set_repeat:
            if (!get_int(arg, n) || n < 0 || n > 2) return error("expected a mode 0, 1 or 2");
            if (op == IPOD_OP_set_shuffle && n != shuffle_) {
                shuffle_ = n;
                build_order();
                media_event(event_name(IPOD_EVENT_shuffle_changed), Value::integer(n));
            } else if (op == IPOD_OP_set_repeat && n != repeat_) {
                repeat_ = n;
                media_event(event_name(IPOD_EVENT_repeat_changed), Value::integer(n));
            }
            return ok;
        case IPOD_OP_get_shuffle:
            return Value::integer(shuffle_);
        case IPOD_OP_get_repeat:
            return Value::integer(repeat_);
        default:
            break;
    }

    // Browsing. Categories: 1 playlist, 2 artist, 3 album, 4 genre,
    // 5 track, 6 composer, 7 audiobook, 8 podcast.
    auto field = [](const Track &t, int cat) -> std::string {
        switch (cat) {
            case 1:
                return "All Tracks";
            case 2:
                return t.artist;
            case 3:
                return t.album;
            case 4:
                return t.genre;
            case 6:
                return t.composer;
            default:
                return t.title;
        }
    };
    auto in_category = [](const Track &t, int cat) {
        return cat == 7 ? t.audiobook : cat == 8 ? t.podcast : true;
    };
    // Distinct record texts of a category within the scope, with the tracks of each.
    auto records = [&](int cat) {
        std::vector<std::pair<std::string, std::vector<int>>> out;
        for (int idx : c.scope) {
            const Track &t = library_.tracks[idx];
            if (!in_category(t, cat)) continue;
            std::string key = field(t, cat);
            bool distinct = cat == 5 || cat == 7 || cat == 8;
            auto it = distinct
                          ? out.end()
                          : std::find_if(out.begin(), out.end(), [&](auto &r) { return r.first == key; });
            if (it == out.end())
                out.push_back({key, {idx}});
            else
                it->second.push_back(idx);
        }
        return out;
    };

    switch (op) {
        case IPOD_OP_set_category:
            if (!get_int(arg, n) || n < 1 || n > 8) return error("unknown category");
            c.category = n;
            return Value::integer(static_cast<int32_t>(records(n).size()));
        case IPOD_OP_set_hierarchy:
            c.scope.clear();
            for (size_t k = 0; k < count; k++) c.scope.push_back(static_cast<int>(k));
            c.category = 0;
            return ok;
        case IPOD_OP_select_db: {
            if (!get_ints(arg, 2, v) || v[0] < 1 || v[0] > 8)
                return error("select_db: expected [category, index]");
            auto recs = records(v[0]);
            if (v[1] < 0 || static_cast<size_t>(v[1]) >= recs.size()) return error("no such record");
            c.scope = recs[v[1]].second;
            return Value::integer(static_cast<int32_t>(c.scope.size()));
        }
        case IPOD_OP_get_records: {
            if (!get_ints(arg, 2, v)) return error("get_records: expected [start, count]");
            if (c.category == 0) return error("no category selected");
            auto recs = records(c.category);
            Value a = Value::array({Value::integer(c.category)});
            int32_t start = v[0], want = std::min(v[1], kMaxRecordsPerReply);
            if (start < 0 || want <= 0 || static_cast<size_t>(start) >= recs.size()) {
                a.items.push_back(Value::integer(0));
                a.items.push_back(Value::integer(start));
                a.items.push_back(Value::integer(0));
                return a;
            }
            int32_t got = std::min<int32_t>(want, static_cast<int32_t>(recs.size()) - start);
            a.items.push_back(Value::integer(1));
            a.items.push_back(Value::integer(start));
            a.items.push_back(Value::integer(got));
            for (int32_t k = 0; k < got; k++) a.items.push_back(Value::string(recs[start + k].first));
            return a;
        }
        case IPOD_OP_reauthentication:
            device_event(event_name(IPOD_EVENT_authenticated), device_hash());
            return ok;
        case IPOD_OP_set_preference: {
            if (!get_ints(arg, 2, v)) return error("set_preference: expected [type, value]");
            bool type_ok =
                v[0] >= 0 && v[0] <= 13 && v[0] != 4 && v[0] != 5 && v[0] != 6 && v[0] != 7 && v[0] != 11;
            int max = v[0] == 8 ? 3 : 1;
            if (!type_ok || v[1] < 0 || v[1] > max) return error("invalid preference");
            preferences_[v[0]] = v[1];
            return ok;
        }
        case IPOD_OP_get_preference:
            if (!get_int(arg, n) || n < 0 || n > 13) return error("invalid preference type");
            return Value::integer(preferences_[n]);
        case IPOD_OP_indexed_track_info:
            if (!get_int(arg, n) || n < 0 || static_cast<size_t>(n) >= count)
                return error("no track at index " + std::to_string(n));
            return track_info_hash(library_.tracks[n], n, false);
        case IPOD_OP_indexed_track_chapter_info: {
            if (!get_ints(arg, 2, v) || v[0] < 0 || static_cast<size_t>(v[0]) >= count)
                return error("chapter_info: expected [track index, chapter index]");
            const Track &t = library_.tracks[v[0]];
            Value a =
                Value::array({Value::integer(v[0]), Value::integer(static_cast<int32_t>(t.chapters.size()))});
            for (size_t k = 0; k < t.chapters.size(); k++) {
                if (v[1] >= 0 && static_cast<size_t>(v[1]) != k) continue;
                int32_t end = k + 1 < t.chapters.size() ? t.chapters[k + 1].start_ms : t.length_ms;
                a.items.push_back(Value::hash({{"index", Value::integer(static_cast<int32_t>(k))},
                                               {"title", Value::string(t.chapters[k].title)},
                                               {"start", Value::integer(t.chapters[k].start_ms)},
                                               {"length", Value::integer(end - t.chapters[k].start_ms)}}));
            }
            return a;
        }
        case IPOD_OP_write_tag:
        case IPOD_OP_set_statechange:
        case IPOD_OP_enter_videooutmode:
        case IPOD_OP_exit_videooutmode:
        case IPOD_OP_navigate_videoout:
        case IPOD_OP_set_available_current:
            return ok;
        case IPOD_OP_get_videooutoptions:
            if (!get_int(arg, n) || n < 0 || n > 1) return error("expected 0 or 1");
            return Value::integer(videoout_options_[n]);
        case IPOD_OP_set_videooutoptions:
            if (!get_int(arg, n)) return error("expected an integer");
            videoout_options_[0] = n;
            return ok;
        case IPOD_OP_get_mode:
            return Value::integer(extended_ ? 4 : 0);
        case IPOD_OP_get_db_itunes_info:
            if (!get_int(arg, n)) return error("expected an info type");
            if (n == 0)
                return Value::hash(
                    {{"type", Value::integer(0)}, {"uid", Value::bytes(std::string("SIMPODDB", 8))}});
            if (n == 1)
                return Value::hash(
                    {{"type", Value::integer(1)},
                     {"last_sync", Value::bytes(std::string("\x07\xEA\x0C\x06\x14\x00\x00", 7))}});
            return Value::hash(
                {{"type", Value::integer(n)}, {"count", Value::integer(static_cast<int32_t>(count))}});
        case IPOD_OP_get_db_track_info:
        case IPOD_OP_get_pb_track_info: {
            if (!get_ints(arg, 2, v) || v[0] < 0 || static_cast<size_t>(v[0]) >= count || v[1] <= 0)
                return error("expected [offset, count, options] within the library");
            bool db = op == IPOD_OP_get_db_track_info;
            Value h = Value::hash({{db ? "get_db_track_info" : "get_pb_track_info", Value::integer(1)}});
            int32_t got = std::min<int32_t>({v[1], kMaxTracksPerReply, static_cast<int32_t>(count) - v[0]});
            for (int32_t k = 0; k < got; k++) {
                int idx = db ? v[0] + k : order_[v[0] + k];
                const Track &t = library_.tracks[idx];
                Value th = Value::hash();
                if (db)
                    th.add("cap", Value::integer(t.chapters.empty() ? 0 : 1));
                else
                    th.add("index", Value::integer(idx));
                th.add("title", Value::string(t.title));
                th.add("artist", Value::string(t.artist));
                th.add("album", Value::string(t.album));
                if (db) th.add("genre", Value::string(t.genre));
                th.add("duration", Value::integer(t.length_ms));
                th.add("uid", Value::bytes(t.uid));
                h.add("track" + std::to_string(v[0] + k), std::move(th));
            }
            return h;
        }
        case IPOD_OP_prepare_uid_list:
            if (!get_ints(arg, 3, v) || arg->items.size() != 4 || arg->items[3].kind != Value::Bytes ||
                static_cast<size_t>(v[2]) != arg->items[3].s.size())
                return error("prepare_uid_list: expected [cur, max, length, bytes]");
            if (v[0] == 0) c.uid_list.clear();
            if (c.uid_list.size() + arg->items[3].s.size() > 65536) return error("uid list too long");
            c.uid_list += arg->items[3].s;
            return ok;
        case IPOD_OP_play_uid_list:
        case IPOD_OP_get_artwork_data: {
            if (!arg || arg->kind != Value::Bytes || arg->s.size() != 8)
                return error("expected an 8-byte uid");
            auto it = std::find_if(library_.tracks.begin(), library_.tracks.end(),
                                   [&](const Track &t) { return t.uid == arg->s; });
            if (it == library_.tracks.end()) return error("unknown uid");
            if (op == IPOD_OP_play_uid_list) play_index(static_cast<int>(it - library_.tracks.begin()));
            return ok;
        }
        case IPOD_OP_request_lingo_version: {
            static const int minor[16] = {9, 0, 2, 5, 14, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0};
            if (!get_int(arg, n) || n < 0 || n > 15) return error("unknown lingo");
            return Value::hash({{"major", Value::integer(1)}, {"minor", Value::integer(minor[n])}});
        }
        case IPOD_OP_set_current_playing_track_chapter:
            if (!get_int(arg, n) || n < 0 || static_cast<size_t>(n) >= current().chapters.size())
                return error("no such chapter");
            position_ms_ = current().chapters[n].start_ms;
            return ok;
        case IPOD_OP_set_current_playing_track:
            if (!get_int(arg, n) || n < 0 || static_cast<size_t>(n) >= count)
                return error("no track at index " + std::to_string(n));
            play_index(n);
            return ok;
        case IPOD_OP_launch_application: {
            if (!arg || arg->kind != Value::String || arg->s.empty())
                return error("expected an application name");
            if (c.eap.size() >= kMaxEapSessions) return error("too many EAP sessions");
            // Launching an application opens an EAP session with it.
            Client::Eap e{next_eap_session_++, static_cast<int>(c.eap.size()) + 1, arg->s};
            c.eap.push_back(e);
            after_reply_.emplace_back("eap_session_opened",
                                      Value::hash({{"session_id", Value::integer(e.id)},
                                                   {"protocol_index", Value::integer(e.protocol_index)},
                                                   {"protocol_string", Value::string(e.protocol)},
                                                   {"serial", Value::string(kSerial)}}));
            return ok;
        }
        case IPOD_OP_send_eap_datagram: {
            if (!get_ints(arg, 2, v) || arg->items.size() != 3 || arg->items[2].kind != Value::Bytes ||
                static_cast<size_t>(v[1]) != arg->items[2].s.size())
                return error("send_eap_datagram: expected [session, length, bytes]");
            auto it =
                std::find_if(c.eap.begin(), c.eap.end(), [&](const Client::Eap &e) { return e.id == v[0]; });
            if (it == c.eap.end()) return error("no EAP session " + std::to_string(v[0]));
            // The echo carries the data again, in a frame that must stay within the limit.
            if (arg->items[2].s.size() + 1024 > kMaxPayload) return error("datagram too large to echo");
            // The accessory app on the other side echoes every datagram.
            after_reply_.emplace_back("eap_data_received", Value::hash({{"session_id", Value::integer(v[0])},
                                                                        {"length", Value::integer(v[1])},
                                                                        {"data", arg->items[2]}}));
            return ok;
        }
        default:
            return error("request " + std::to_string(op) + " is not supported");
    }
}

// ------------------------------------------------------------ web panel

PanelView Daemon::view() {
    advance();
    PanelView v;
    v.present = present_;
    v.state = state_;
    v.position_ms = static_cast<int32_t>(position_ms_);
    v.shuffle = shuffle_;
    v.repeat = repeat_;
    v.track_index = current_index();
    v.track_count = library_.tracks.size();
    v.track = current();
    for (auto &c : clients_)
        if (!c->dead) v.clients.push_back({c->id, c->session});
    v.faults = faults_;
    return v;
}

std::string Daemon::device_action(const std::string &name, int32_t arg) {
    if (name == "hotplug") {
        if (!present_ || !steps_.empty()) return "hot-plug already in progress";
        hotplug();
        return "";
    }
    if (!present_) return "no iPod connected";
    advance();
    if (name == "play_pause") {
        set_state(state_ == 3 ? 4 : 3);
    } else if (name == "next") {
        if (order_pos_ + 1 < order_.size())
            go_to(order_pos_ + 1);
        else if (repeat_ == 2)
            go_to(0);
        else
            return "already at the last track";
    } else if (name == "previous") {
        go_to(position_ms_ > 3000 || order_pos_ == 0 ? order_pos_ : order_pos_ - 1);
    } else if (name == "seek") {
        if (arg < 0 || arg >= current().length_ms) return "position out of range";
        position_ms_ = arg;
        media_event(event_name(IPOD_EVENT_track_position_changed), Value::integer(arg));
    } else if (name == "shuffle" || name == "repeat") {
        if (arg < 0 || arg > 2) return "expected a mode 0, 1 or 2";
        int &mode = name == "shuffle" ? shuffle_ : repeat_;
        if (arg == mode) return "";
        mode = arg;
        if (name == "shuffle") build_order();
        media_event(event_name(name == "shuffle" ? IPOD_EVENT_shuffle_changed : IPOD_EVENT_repeat_changed),
                    Value::integer(arg));
    } else {
        return "unknown action \"" + name + "\"";
    }
    return "";
}

bool Daemon::close_client(int id) {
    for (auto &c : clients_) {
        if (c->id != id || c->dead) continue;
        drop_client(*c, "closed from the web panel");
        return true;
    }
    return false;
}

}  // namespace simd
