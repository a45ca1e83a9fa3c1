// A scripted stand-in for the iPod accessory daemon, for integration tests.
//
// It listens on the daemon's abstract socket name (tests run in a private
// network namespace), serves one client at a time from a background thread,
// records every request, and answers through a responder that the test
// installs. It encodes values with its own small encoder (kivtest::wire),
// independent of the library's, so that an encoding fault in the library
// is not hidden by the same fault on both sides.
#ifndef KIV_TEST_FAKE_DAEMON_H
#define KIV_TEST_FAKE_DAEMON_H

#include <stdint.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct sockaddr_un;

namespace kivtest {

// Independent encoder of the value format. Each function returns the
// complete encoding of one value (type letter included).
namespace wire {
std::string i(int32_t value);             // 'i' + len + "%i" text
std::string f(double value);              // 'f' + len + "%f" text
std::string s(const std::string &text);   // 's' + BE32 len + bytes
std::string b(const std::string &bytes);  // 'b' + BE32 len + bytes
std::string a(const std::vector<std::string> &elements);
std::string h(const std::vector<std::pair<std::string, std::string>> &entries);
std::string be32(uint32_t value);
// A typical device hash: serial, ipod_id, name, version, and the flags.
std::string device(const std::string &serial, int ipod_id, int authenticated = 1, int extended = 1,
                   int ready = 1);
}  // namespace wire

// One framed packet: 16-byte header (marker, BE32 tid at 4, opcode at 8,
// BE32 length at 12) followed by the payload.
std::string frame(uint32_t tid, uint8_t opcode, const std::string &payload, uint8_t marker = 0xFE);
// Writes or reads exactly `n` bytes on a socket, retrying interrupted
// calls; false when the peer is gone or the call fails.
bool write_all(int fd, const char *p, size_t n);
bool read_all(int fd, char *p, size_t n);
// Reads one whole frame (header and payload) into `out`; false when the
// peer is gone.
bool read_frame(int fd, std::string &out);
// The 32-bit number at `at` of `bytes`: big-endian (frames) or
// little-endian (capture files).
uint32_t u32_at(const std::string &bytes, size_t at, bool big_endian = true);
// Connects to an abstract socket name (no leading NUL in `name`); -1 on failure.
// Fills `addr` with the abstract socket address of `name` (a leading NUL,
// no terminator counted, at most 107 bytes of the name kept): its length.
unsigned abstract_address(const std::string &name, ::sockaddr_un *addr);
int connect_abstract(const std::string &name);
// The whole content of a file (empty when it cannot be read).
std::string read_file(const std::string &path);
// The names in a directory but "." and ".." (none when it cannot be read).
std::vector<std::string> dir_names(const std::string &path);
// The descriptors this process has open.
int open_descriptors();
// An event packet (opcode 1) with the event hash built from its parts;
// `data` is an encoded value or empty for no "data" entry.
std::string event(const std::string &name, int ipod_id, const std::string &serial,
                  const std::string &data = std::string(), uint32_t tid = 0, int session = 0);

// A request as the fake daemon received it.
struct Request {
    std::string header;   // the 16 header bytes, as sent
    uint32_t tid = 0;     // from header offsets 4..7, big-endian
    uint8_t opcode = 0;   // header offset 8
    std::string payload;  // raw payload bytes
};
// Moves the first complete frame of `rx` into `out`; false while incomplete.
bool take_frame(std::string &rx, Request &out);

class FakeDaemon {
public:
    // Returns the bytes to write back for a request (may hold several
    // packets, or be empty for no answer). Runs on the daemon thread.
    using Responder = std::function<std::string(const Request &)>;

    // Starts listening at once on the built-in abstract name, or on another
    // abstract name (for KIV_IPOD_SOCKET).
    FakeDaemon();
    explicit FakeDaemon(const std::string &socket_name);
    // Listens with the opening reply already set: a client of another
    // process may connect the moment the name exists.
    FakeDaemon(const std::string &socket_name, const std::string &open_reply);
    ~FakeDaemon();
    FakeDaemon(const FakeDaemon &) = delete;
    FakeDaemon &operator=(const FakeDaemon &) = delete;

    // The opening request (opcode 0) is answered automatically with a hash
    // of "devices" (this encoded array) and "pid", unless set_open_reply()
    // gave other raw bytes (e.g. a frame without payload, or nothing).
    void set_devices(const std::string &encoded_array);
    void set_pid(int pid);
    void set_open_reply(const std::string &raw_bytes);   // replaces the automatic reply
    void set_open_prefix(const std::string &raw_bytes);  // sent before the opening reply

    // Answers every other request. The default answers each request with
    // the integer 0 under its transaction id.
    void set_responder(Responder responder);

    // Every request received since start (opening request included).
    std::vector<Request> requests();
    // Waits until at least `count` requests have arrived; false on timeout.
    bool wait_requests(size_t count, int timeout_ms = 2000);
    void clear_requests();

    // Writes raw bytes to the connected client (from the test thread) and
    // returns once they are in the socket (or the socket is full).
    void send(const std::string &bytes);
    // Closes the client connection (the listener stays).
    void close_client();
    // Stops listening (so that a connect attempt fails).
    void stop_listening();
    bool client_connected();
    // Waits until the client has closed its end; false on timeout.
    bool wait_client_closed(int timeout_ms = 2000);

private:
    void listen_on(const std::string &socket_name);
    void run();
    void handle_bytes(const std::string &bytes);

    std::mutex mutex_;
    std::condition_variable cond_;
    int listen_fd_ = -1;
    int client_fd_ = -1;
    int wake_pipe_[2] = {-1, -1};
    bool stopping_ = false;
    bool peer_closed_ = false;
    std::string devices_;
    int pid_ = 4242;
    bool has_open_reply_ = false;
    std::string open_reply_;
    std::string open_prefix_;
    Responder responder_;
    std::vector<Request> requests_;
    std::string rx_;
    std::thread thread_;

    // Bytes waiting to be written to the client, in order. The daemon
    // thread writes them without blocking, so that a test thread that sends
    // more than the socket holds does not stall before it reads.
    struct Chunk {
        std::string bytes;
        size_t offset = 0;
        bool close_after = false;  // close the client once written
        uint64_t seq = 0;
    };
    void wake();
    void flush_outbox();        // mutex_ held
    void drop_client();         // mutex_ held
    void enqueue(Chunk chunk);  // mutex_ held
    bool wait_written(std::unique_lock<std::mutex> &lock, uint64_t seq);
    std::deque<Chunk> outbox_;
    uint64_t queued_seq_ = 0;
    uint64_t done_seq_ = 0;
    bool stalled_ = false;
    bool stop_listen_ = false;
};

}  // namespace kivtest

#endif
