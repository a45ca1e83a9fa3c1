// Scripted stand-in for the daemon: one background thread polls the
// listening socket, the client connection and a wake pipe.
#include "fake_daemon.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>

namespace kivtest {
namespace {

constexpr char kSocketName[] = "com.kiv.ipod.IPodDaemon";
constexpr auto kWriteWait = std::chrono::seconds(10);

void close_fd(int &fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

FakeDaemon::FakeDaemon() : FakeDaemon(kSocketName) {}

FakeDaemon::FakeDaemon(const std::string &socket_name) {
    listen_on(socket_name);
}

FakeDaemon::FakeDaemon(const std::string &socket_name, const std::string &open_reply)
    : has_open_reply_(true), open_reply_(open_reply) {
    listen_on(socket_name);
}

void FakeDaemon::listen_on(const std::string &socket_name) {
    if (pipe2(wake_pipe_, O_CLOEXEC | O_NONBLOCK) != 0)
        ADD_FAILURE() << "fake daemon: pipe: " << strerror(errno);
    listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr;
    const socklen_t len = abstract_address(socket_name, &addr);
    if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), len) != 0 ||
        ::listen(listen_fd_, 8) != 0) {
        ADD_FAILURE() << "fake daemon: cannot listen on " << socket_name << ": " << strerror(errno);
        close_fd(listen_fd_);
    }
    thread_ = std::thread([this] { run(); });
}

FakeDaemon::~FakeDaemon() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake();
    if (thread_.joinable()) thread_.join();
    close_fd(client_fd_);
    close_fd(listen_fd_);
    close_fd(wake_pipe_[0]);
    close_fd(wake_pipe_[1]);
}

void FakeDaemon::set_devices(const std::string &encoded_array) {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_ = encoded_array;
}

void FakeDaemon::set_pid(int pid) {
    std::lock_guard<std::mutex> lock(mutex_);
    pid_ = pid;
}

void FakeDaemon::set_open_reply(const std::string &raw_bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    has_open_reply_ = true;
    open_reply_ = raw_bytes;
}

void FakeDaemon::set_open_prefix(const std::string &raw_bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    open_prefix_ = raw_bytes;
}

void FakeDaemon::set_responder(Responder responder) {
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(responder);
}

std::vector<Request> FakeDaemon::requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

bool FakeDaemon::wait_requests(size_t count, int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cond_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                          [&] { return requests_.size() >= count; });
}

void FakeDaemon::clear_requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}

void FakeDaemon::send(const std::string &bytes) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (client_fd_ < 0) {
        ADD_FAILURE() << "fake daemon: send without a connected client";
        return;
    }
    Chunk chunk;
    chunk.bytes = bytes;
    enqueue(std::move(chunk));
    wait_written(lock, queued_seq_);
}

void FakeDaemon::close_client() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (client_fd_ < 0) return;
    Chunk chunk;
    chunk.close_after = true;
    enqueue(std::move(chunk));
    wait_written(lock, queued_seq_);
}

void FakeDaemon::stop_listening() {
    std::unique_lock<std::mutex> lock(mutex_);
    stop_listen_ = true;
    wake();
    cond_.wait_for(lock, kWriteWait, [&] { return listen_fd_ < 0; });
}

bool FakeDaemon::client_connected() {
    std::lock_guard<std::mutex> lock(mutex_);
    return client_fd_ >= 0;
}

bool FakeDaemon::wait_client_closed(int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cond_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return peer_closed_; });
}

void FakeDaemon::wake() {
    const char c = 1;
    if (wake_pipe_[1] >= 0) {
        ssize_t rc = ::write(wake_pipe_[1], &c, 1);
        (void)rc;  // a full pipe already guarantees a wake-up
    }
}

void FakeDaemon::enqueue(Chunk chunk) {
    chunk.seq = ++queued_seq_;
    outbox_.push_back(std::move(chunk));
    stalled_ = false;
    wake();
}

bool FakeDaemon::wait_written(std::unique_lock<std::mutex> &lock, uint64_t seq) {
    // Returns once the bytes are in the socket, the client is gone, or the
    // socket is full (the client has to read before more can be written).
    return cond_.wait_for(lock, kWriteWait, [&] { return done_seq_ >= seq || stalled_ || client_fd_ < 0; });
}

void FakeDaemon::drop_client() {
    close_fd(client_fd_);
    rx_.clear();
    if (!outbox_.empty()) done_seq_ = outbox_.back().seq;
    outbox_.clear();
    stalled_ = false;
    peer_closed_ = true;
    cond_.notify_all();
}

void FakeDaemon::flush_outbox() {
    while (!outbox_.empty()) {
        if (client_fd_ < 0) {
            done_seq_ = outbox_.back().seq;
            outbox_.clear();
            break;
        }
        Chunk &chunk = outbox_.front();
        while (chunk.offset < chunk.bytes.size()) {
            ssize_t n = ::send(client_fd_, chunk.bytes.data() + chunk.offset,
                               chunk.bytes.size() - chunk.offset, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                chunk.offset += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                stalled_ = true;
                cond_.notify_all();
                return;
            }
            drop_client();
            return;
        }
        done_seq_ = chunk.seq;
        bool close_after = chunk.close_after;
        outbox_.pop_front();
        cond_.notify_all();
        if (close_after) {
            drop_client();
            return;
        }
    }
}

void FakeDaemon::run() {
    for (;;) {
        pollfd fds[3];
        nfds_t nfds = 0;
        int lfd, cfd;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
            if (stop_listen_ && listen_fd_ >= 0) {
                close_fd(listen_fd_);
                cond_.notify_all();
            }
            flush_outbox();
            lfd = listen_fd_;
            cfd = client_fd_;
            const bool want_out = !outbox_.empty() && cfd >= 0;
            fds[nfds++] = {wake_pipe_[0], POLLIN, 0};
            if (lfd >= 0) fds[nfds++] = {lfd, POLLIN, 0};
            if (cfd >= 0) fds[nfds++] = {cfd, static_cast<short>(POLLIN | (want_out ? POLLOUT : 0)), 0};
        }
        int rc = ::poll(fds, nfds, -1);
        if (rc < 0) {
            if (errno == EINTR) continue;
            ADD_FAILURE() << "fake daemon: poll: " << strerror(errno);
            return;
        }
        for (nfds_t k = 0; k < nfds; k++) {
            if (!fds[k].revents) continue;
            if (fds[k].fd == wake_pipe_[0]) {
                char drain[64];
                while (::read(wake_pipe_[0], drain, sizeof drain) > 0) {
                }
            } else if (fds[k].fd == lfd) {
                int fd = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (fd < 0) continue;
                std::lock_guard<std::mutex> lock(mutex_);
                // A new connection replaces the previous client.
                if (client_fd_ >= 0) drop_client();
                client_fd_ = fd;
                peer_closed_ = false;
                cond_.notify_all();
            } else if (fds[k].fd == cfd) {
                if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                std::string got;
                bool closed = false;
                char buf[65536];
                for (;;) {
                    ssize_t n = ::read(cfd, buf, sizeof buf);
                    if (n > 0) {
                        got.append(buf, static_cast<size_t>(n));
                        continue;
                    }
                    if (n < 0 && errno == EINTR) continue;
                    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
                    closed = true;
                    break;
                }
                if (!got.empty()) handle_bytes(got);
                if (closed) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    if (client_fd_ == cfd) drop_client();
                }
            }
        }
    }
}

void FakeDaemon::handle_bytes(const std::string &bytes) {
    rx_ += bytes;
    for (Request request; take_frame(rx_, request);) {
        std::string answer;
        Responder responder;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
            cond_.notify_all();
            if (request.opcode == 0) {
                answer = open_prefix_;
                if (has_open_reply_) {
                    answer += open_reply_;
                } else {
                    std::string devices = devices_.empty() ? wire::a({}) : devices_;
                    answer += frame(request.tid, 0, wire::h({{"devices", devices}, {"pid", wire::i(pid_)}}));
                }
            } else {
                responder = responder_;
            }
        }
        if (request.opcode != 0) {
            if (responder) {
                answer = responder(request);
            } else {
                // A ping answer must not come back as a ping.
                uint8_t op = request.opcode == 54 ? 2 : request.opcode;
                answer = frame(request.tid, op, wire::i(0));
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (!answer.empty() && client_fd_ >= 0) {
            Chunk chunk;
            chunk.bytes = std::move(answer);
            enqueue(std::move(chunk));
        }
    }
}

}  // namespace kivtest
