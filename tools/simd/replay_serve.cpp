// The loop of --replay: one client, the recorded frames sent at their
// times, each request checked against the recording. See replay.h.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "daemon.h"
#include "replay.h"
#include "wire.h"

namespace simd {

namespace {

volatile sig_atomic_t g_stop = 0;

void on_stop(int) {
    g_stop = 1;
}

using Clock = std::chrono::steady_clock;

class Replayer {
public:
    Replayer(const Recording &rec, const ReplayOptions &options)
        : rec_(rec),
          options_(options),
          state_(rec.requests.size(), Pending),
          matched_at_(rec.requests.size()),
          client_tid_(rec.requests.size(), 0) {}
    int run(int listen_fd);

private:
    enum State { Pending, Matched, Skipped };

    void accept_client(int listen_fd);
    bool read_client();
    void take_frames();
    void handle(uint32_t tid, uint8_t opcode, const std::string &frame);
    void answer_ping(uint32_t tid);
    void diverge(const std::string &frame, const std::string &why);
    void match(size_t request, uint32_t tid);
    void release();
    bool flush();
    int timeout_ms() const;
    bool complete() const {
        return next_request_ == rec_.requests.size() && next_send_ == rec_.frames.size();
    }
    void append(const Recorded &f, bool rewrite, uint32_t tid);
    void stop(const std::string &why);
    int report();

    const Recording &rec_;
    const ReplayOptions &options_;
    int fd_ = -1;
    bool started_ = false, closed_ = false, stopped_ = false;
    Clock::time_point start_;
    std::string rx_, tx_;
    std::vector<State> state_;
    std::vector<Clock::time_point> matched_at_;
    std::vector<uint32_t> client_tid_;
    size_t next_request_ = 0, next_send_ = 0;
    size_t replayed_ = 0, matched_ = 0, skipped_ = 0, diverged_ = 0;
    size_t pings_matched_ = 0, pings_missing_ = 0, pings_extra_ = 0;
    std::string end_reason_;
};

void Replayer::accept_client(int listen_fd) {
    int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    if (fd_ >= 0 && !started_) {
        // A connection that closed before its first frame gives way.
        char c;
        if (recv(fd_, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    if (fd_ >= 0) {  // one client only
        close(fd);
        return;
    }
    fd_ = fd;
}

// False when the client is gone.
bool Replayer::read_client() {
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd_, buf, sizeof buf);
        if (n > 0) {
            if (!started_) start_ = Clock::now();
            started_ = true;
            rx_.append(buf, static_cast<size_t>(n));
            take_frames();
            if (stopped_) return true;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        return false;
    }
}

void Replayer::take_frames() {
    while (!stopped_ && rx_.size() >= kHeaderSize) {
        const uint8_t *h = reinterpret_cast<const uint8_t *>(rx_.data());
        const uint32_t len = read_be32(h + 12);
        if (h[0] != kMarker || len > kMaxPayload) {
            diverge(rx_.substr(0, kHeaderSize), h[0] != kMarker ? "the client sent a frame without its marker"
                                                                : "the client sent a frame longer than any");
            stop("the client's stream cannot be followed");
            return;
        }
        if (rx_.size() - kHeaderSize < len) return;
        std::string frame = rx_.substr(0, kHeaderSize + len);
        rx_.erase(0, kHeaderSize + len);
        handle(read_be32(h + 4), h[8], frame);
    }
}

void Replayer::match(size_t request, uint32_t tid) {
    state_[request] = Matched;
    matched_at_[request] = Clock::now();
    client_tid_[request] = tid;
    next_request_ = request + 1;
}

// A ping answer never diverges: it takes the recorded one due now, if any.
void Replayer::answer_ping(uint32_t tid) {
    size_t r = next_request_;
    if (r >= rec_.requests.size() || rec_.frames[rec_.requests[r]].opcode != kPingOpcode) {
        pings_extra_++;
        return;
    }
    match(r, tid);
    pings_matched_++;
    if (rec_.ping_reply[r] >= 0) append(rec_.frames[static_cast<size_t>(rec_.ping_reply[r])], true, tid);
}

void Replayer::handle(uint32_t tid, uint8_t opcode, const std::string &frame) {
    if (opcode == kPingOpcode) return answer_ping(tid);
    const size_t n = rec_.requests.size();
    while (next_request_ < n && rec_.frames[rec_.requests[next_request_]].opcode == kPingOpcode) {
        state_[next_request_++] = Skipped;
        pings_missing_++;
    }
    auto same = [&](size_t r, bool payload) {
        const Recorded &q = rec_.frames[rec_.requests[r]];
        return q.opcode == opcode &&
               (!payload || q.bytes.compare(kHeaderSize, std::string::npos, frame, kHeaderSize) == 0);
    };
    if (next_request_ < n && same(next_request_, true)) {
        matched_++;
        return match(next_request_, tid);
    }
    const bool past_end = next_request_ >= n;
    diverge(frame, past_end                     ? "a request past the end of the recording"
                   : same(next_request_, false) ? "the request's payload differs from the recorded one"
                                                : "another request than the recorded one");
    if (!options_.lenient) return stop("diverged (--replay-lenient skips ahead instead)");
    size_t to = n;
    for (size_t r = next_request_; r < n && to == n; r++)
        if (same(r, true)) to = r;
    for (size_t r = next_request_; r < n && to == n; r++)
        if (same(r, false)) to = r;
    if (to == n) return stop("no recorded request with opcode " + std::to_string(opcode) + " is left");
    const auto now = Clock::now();
    for (size_t r = next_request_; r < to; r++) {
        state_[r] = Skipped;
        matched_at_[r] = now;  // what was anchored there follows at once
        skipped_++;
    }
    match(to, tid);
}

void Replayer::diverge(const std::string &frame, const std::string &why) {
    diverged_++;
    fputs(divergence_text(rec_, next_request_, frame, why).c_str(), stderr);
}

void Replayer::append(const Recorded &f, bool rewrite, uint32_t tid) {
    std::string bytes = f.bytes;
    if (rewrite)
        for (int k = 0; k < 4; k++) bytes[4 + k] = static_cast<char>(tid >> (24 - 8 * k));
    tx_ += bytes;
    replayed_++;
}

// Sends what is due, in the recorded order.
void Replayer::release() {
    const auto now = Clock::now();
    for (; next_send_ < rec_.frames.size(); next_send_++) {
        const Recorded &f = rec_.frames[next_send_];
        if (f.kind == Recorded::Request || f.kind == Recorded::PingReply) continue;
        if (f.kind == Recorded::Reply && state_[static_cast<size_t>(f.request)] == Skipped) {
            skipped_++;
            continue;
        }
        Clock::time_point base = start_;
        if (f.anchor >= 0) {
            const size_t a = static_cast<size_t>(f.anchor);
            if (state_[a] == Pending) return;
            base = matched_at_[a];
        }
        const double us = options_.speed > 0 ? static_cast<double>(f.delay_us) / options_.speed : 0;
        if (now < base + std::chrono::microseconds(static_cast<int64_t>(us))) return;
        append(f, f.kind == Recorded::Reply, f.kind == Recorded::Reply ? client_tid_[size_t(f.request)] : 0);
    }
}

int Replayer::timeout_ms() const {
    if (!started_) return -1;
    for (size_t k = next_send_; k < rec_.frames.size(); k++) {
        const Recorded &f = rec_.frames[k];
        if (f.kind == Recorded::Request || f.kind == Recorded::PingReply) continue;
        if (f.anchor >= 0 && state_[static_cast<size_t>(f.anchor)] == Pending) return -1;
        const Clock::time_point base = f.anchor >= 0 ? matched_at_[static_cast<size_t>(f.anchor)] : start_;
        const double us = options_.speed > 0 ? static_cast<double>(f.delay_us) / options_.speed : 0;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        base + std::chrono::microseconds(static_cast<int64_t>(us)) - Clock::now())
                        .count();
        return left <= 0 ? 0 : static_cast<int>(left + 1);
    }
    return -1;
}

// False when the client is gone.
bool Replayer::flush() {
    while (!tx_.empty()) {
        ssize_t n = send(fd_, tx_.data(), tx_.size(), MSG_NOSIGNAL);
        if (n > 0) {
            tx_.erase(0, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
    return true;
}

void Replayer::stop(const std::string &why) {
    stopped_ = true;
    if (end_reason_.empty()) end_reason_ = why;
}

int Replayer::report() {
    const bool whole = complete() && diverged_ == 0;
    std::string where;
    if (!complete()) {
        size_t at = next_request_ < rec_.requests.size() ? rec_.requests[next_request_] : next_send_;
        if (at >= rec_.frames.size()) at = rec_.frames.size() - 1;
        where = " at record " + std::to_string(rec_.frames[at].record.number);
    }
    fprintf(
        stderr,
        "kiv-ipod-simd: replay of connection #%u of %s: %zu frames replayed, %zu requests matched, "
        "%zu recorded frames skipped, %zu divergences (ping answers: %zu matched, %zu missing, %zu extra)\n"
        "kiv-ipod-simd: replay %s%s%s\n",
        static_cast<unsigned>(rec_.connection), rec_.path.c_str(), replayed_, matched_, skipped_, diverged_,
        pings_matched_, pings_missing_, pings_extra_,
        whole ? "complete: the whole recording was played and matched"
              : (complete() ? "played to the end, with divergences" : "incomplete: stopped"),
        where.c_str(), end_reason_.empty() ? "" : (": " + end_reason_).c_str());
    return whole ? 0 : 1;
}

int Replayer::run(int listen_fd) {
    while (!g_stop && !stopped_) {
        if (started_) release();
        if (fd_ >= 0 && !flush()) closed_ = true;
        if (closed_) {
            if (started_) break;
            close(fd_);  // closed before its first frame: wait for the next client
            fd_ = -1;
            closed_ = false;
            continue;
        }
        pollfd p[2] = {{listen_fd, POLLIN, 0},
                       {fd_, static_cast<short>(POLLIN | (tx_.empty() ? 0 : POLLOUT)), 0}};
        int n = poll(p, fd_ >= 0 ? 2 : 1, timeout_ms());
        if (n < 0 && errno != EINTR) break;
        if (n <= 0) continue;
        if (fd_ >= 0 && p[1].fd == fd_ && (p[1].revents & (POLLIN | POLLHUP | POLLERR)) && !read_client())
            closed_ = true;
        if (!closed_ && (p[0].revents & POLLIN)) accept_client(listen_fd);
    }
    if (stopped_ && fd_ >= 0) flush();  // best effort
    if (g_stop) stop("stopped by a signal");
    if (closed_ && !complete()) stop("the client closed the connection");
    if (fd_ >= 0) close(fd_);
    return report();
}

}  // namespace

int serve_recording(const Recording &rec, const ReplayOptions &options) {
    int listen_fd = listen_abstract(options.socket_name);
    if (listen_fd < 0) {
        fprintf(stderr, "kiv-ipod-simd: cannot listen on @%s: %s\n", options.socket_name.c_str(),
                strerror(errno));
        return 1;
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    if (!options.quiet)
        fprintf(stderr, "kiv-ipod-simd: replaying connection #%u of %s (%zu frames, %zu requests) on @%s\n",
                static_cast<unsigned>(rec.connection), rec.path.c_str(), rec.frames.size(),
                rec.requests.size(), options.socket_name.c_str());
    Replayer replayer(rec, options);
    int code = replayer.run(listen_fd);
    close(listen_fd);
    return code;
}

}  // namespace simd
