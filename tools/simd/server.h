// The simulator's socket server: the listening socket, the connections,
// the cutting of their input into frames within the buffer budget, their
// output (held back by the reply delay fault, in order), the pings and the
// eviction of clients that stopped answering, and the capture of every
// frame. What a frame asks for is the daemon's business (`on_frame`).
#ifndef KIV_SIMD_SERVER_H
#define KIV_SIMD_SERVER_H

#include <poll.h>
#include <stddef.h>
#include <stdint.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "capture.h"
#include "log.h"
#include "session.h"
#include "wire.h"

namespace simd {

struct Options;
struct Faults;

// One client: its connection, and its session state beside it.
struct Connection : Session {
    using Clock = std::chrono::steady_clock;

    int fd = -1;
    std::string rx;
    std::string tx;
    bool dead = false;
    bool ping_pending = false;
    Clock::time_point ping_sent;
    // Pings sent since the client last sent a complete frame, and when that was.
    int missed_pings = 0;
    Clock::time_point last_heard;
    // Bytes of the buffer budget held for the request being received.
    size_t reserved = 0;
    // Complete requests wait in rx (more than one round's share arrived).
    bool backlog = false;
    // Output held back by the reply delay fault, in order, with its time.
    std::vector<std::pair<Clock::time_point, std::string>> held;
    size_t held_bytes = 0;
};

// Creates a listening stream socket on the abstract name; -1 on failure
// with errno set.
int listen_abstract(const std::string &name);
// Connects to the abstract name; -1 on failure.
int connect_abstract(const std::string &name);

class Server {
public:
    using Clock = std::chrono::steady_clock;
    // Serves one complete frame; false when the connection is gone.
    using FrameFn = std::function<bool(Connection &c, uint32_t tid, uint8_t opcode, const uint8_t *payload,
                                       uint32_t len)>;

    Server(const Options &options, const Faults &faults, Capture &capture, const Logger &log);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    bool listen(std::string &error);
    void on_frame(FrameFn fn) { on_frame_ = std::move(fn); }
    void on_connect(std::function<void(Connection &)> fn) { on_connect_ = std::move(fn); }

    // One round of the loop: the descriptors to poll (the listening
    // socket, then every client; the number of clients polled comes
    // back), and the service of what poll() found at `first`.
    size_t poll_fds(std::vector<pollfd> &fds) const;
    void serve(const std::vector<pollfd> &fds, size_t first, size_t polled, bool polled_any);
    // The earliest of `soonest` and the server's own deadlines.
    Clock::time_point deadline(Clock::time_point now, Clock::time_point soonest) const;
    // Held output that is due, the pings when due, closed connections.
    void release_held();
    void ping_if_due();
    void sweep();

    // Sends a frame (transaction id 0: an event or a ping).
    void send(Connection &c, uint32_t tid, uint8_t opcode, const Value *payload);
    void drop(Connection &c, const std::string &reason);
    bool close_client(int id, const std::string &reason);
    const std::vector<std::unique_ptr<Connection>> &clients() const { return clients_; }

private:
    void accept_clients();
    void refuse(int fd, const char *why);
    void read_client(Connection &c);
    void serve_frames(Connection &c);
    bool admit_large(Connection &c, size_t at, size_t need, uint32_t len);
    size_t buffered_bytes() const;
    void flush(Connection &c);
    void send_pings();

    const Options &options_;
    const Faults &faults_;
    Capture &capture_;
    const Logger &log_;
    FrameFn on_frame_;
    std::function<void(Connection &)> on_connect_;
    int listen_fd_ = -1;
    // Kept open so that a connection can still be accepted (and closed)
    // when the process runs out of descriptors.
    int spare_fd_ = -1;
    std::vector<std::unique_ptr<Connection>> clients_;
    int next_client_id_ = 1;
    Clock::time_point next_ping_;
};

}  // namespace simd

#endif
