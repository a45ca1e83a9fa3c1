// Runs the simulator (kiv-ipod-simd) and the client (kiv-ipod) as child
// processes for the end-to-end tests, and speaks the daemon protocol over a
// raw socket. The tests run in a private network namespace, so the
// simulator may take the daemon's built-in socket name.
#ifndef KIV_TEST_SIMD_HARNESS_H
#define KIV_TEST_SIMD_HARNESS_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fake_daemon.h"
#include "kiv_ipod.h"

namespace simdtest {

using Clock = std::chrono::steady_clock;

// The tools are built next to the tests: <build>/tests/X and <build>/tools/Y.
inline std::string tool_path(const char *name) {
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string(".");
    dir = dir.substr(0, dir.rfind('/'));
    return dir.substr(0, dir.rfind('/')) + "/tools/" + name;
}

inline bool tool_exists(const char *name) {
    return access(tool_path(name).c_str(), X_OK) == 0;
}

inline int connect_abstract(const std::string &name) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path + 1, name.data(), name.size());
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// A running simulator; stopped with SIGTERM when it goes out of scope.
class Simulator {
public:
    explicit Simulator(std::vector<std::string> args = {}, std::string socket = "com.kiv.ipod.IPodDaemon")
        : socket_(std::move(socket)) {
        char tmpl[] = "/tmp/simd-test-log.XXXXXX";
        int log = mkstemp(tmpl);
        log_path_ = tmpl;
        args.insert(args.begin(), {"--socket", socket_});
        pid_ = fork();
        if (pid_ == 0) {
            // Dies with the test, and keeps off the test's output (which a
            // pipe may be reading to its end).
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            dup2(log, 2);
            std::vector<char *> argv;
            std::string exe = tool_path("kiv-ipod-simd");
            argv.push_back(const_cast<char *>(exe.c_str()));
            for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(exe.c_str(), argv.data());
            _exit(127);
        }
        close(log);
        // Ready once it accepts a connection (at most 5 s).
        for (int k = 0; k < 500 && !ready_; k++) {
            int fd = connect_abstract(socket_);
            if (fd >= 0) {
                close(fd);
                ready_ = true;
                break;
            }
            int status;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~Simulator() {
        stop();
        unlink(log_path_.c_str());
    }
    bool ready() const { return ready_; }
    pid_t pid() const { return pid_; }
    const std::string &socket() const { return socket_; }
    // SIGTERM and wait; the exit status (-1 when it was already gone).
    int stop() {
        if (pid_ <= 0) return -1;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    bool alive() const { return pid_ > 0 && kill(pid_, 0) == 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }
    std::string log() const { return read_file(log_path_); }
    // Waits until the log holds `needle`.
    bool wait_log(const std::string &needle, int timeout_ms = 3000) const {
        auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (Clock::now() < end) {
            if (log().find(needle) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

private:
    std::string socket_;
    std::string log_path_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

struct Packet {
    uint32_t tid = 0;
    uint8_t opcode = 0;
    std::string payload;
    // Decoded with the library's decoder; freed with the packet.
    serialize_value *value() {
        if (!decoded_ && !payload.empty())
            decoded_ = unserialize(payload.data(), static_cast<int32_t>(payload.size()));
        return decoded_;
    }
    Packet() = default;
    Packet(const Packet &o) : tid(o.tid), opcode(o.opcode), payload(o.payload) {}
    Packet &operator=(const Packet &o) {
        serialize_free(decoded_);
        decoded_ = nullptr;
        tid = o.tid;
        opcode = o.opcode;
        payload = o.payload;
        return *this;
    }
    ~Packet() { serialize_free(decoded_); }

private:
    serialize_value *decoded_ = nullptr;
};

// A raw protocol client.
class Raw {
public:
    explicit Raw(const std::string &socket = "com.kiv.ipod.IPodDaemon") : fd_(connect_abstract(socket)) {}
    ~Raw() {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    bool send_bytes(const std::string &bytes) {
        // MSG_NOSIGNAL: a peer that has closed must not kill the test.
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    bool send(uint32_t tid, uint8_t opcode, const std::string &payload = std::string()) {
        return send_bytes(kivtest::frame(tid, opcode, payload));
    }
    // Next packet, or false on time-out or end of stream (closed() tells).
    bool next(Packet &p, int timeout_ms = 3000) {
        auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            if (rx_.size() >= 16) {
                const uint8_t *h = reinterpret_cast<const uint8_t *>(rx_.data());
                uint32_t len =
                    (uint32_t(h[12]) << 24) | (uint32_t(h[13]) << 16) | (uint32_t(h[14]) << 8) | h[15];
                if (rx_.size() >= 16 + len) {
                    p = Packet();
                    p.tid = (uint32_t(h[4]) << 24) | (uint32_t(h[5]) << 16) | (uint32_t(h[6]) << 8) | h[7];
                    p.opcode = h[8];
                    p.payload = rx_.substr(16, len);
                    rx_.erase(0, 16 + len);
                    return true;
                }
            }
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
            if (left <= 0 || closed_) return false;
            pollfd pfd{fd_, POLLIN, 0};
            if (poll(&pfd, 1, left) <= 0) continue;
            char buf[65536];
            ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0) {
                closed_ = true;
                return false;
            }
            rx_.append(buf, static_cast<size_t>(n));
        }
    }
    // The reply with this transaction id; events and pings met on the way
    // are kept in `others`.
    bool reply(uint32_t tid, Packet &p, int timeout_ms = 3000) {
        auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (Clock::now() < end) {
            Packet q;
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
            if (!next(q, left)) return false;
            if (q.tid == tid && q.opcode != 1 && q.opcode != 54) {
                p = q;
                return true;
            }
            others.push_back(q);
        }
        return false;
    }
    bool closed() const { return closed_; }
    // True when the peer closes the connection within the time.
    bool wait_closed(int timeout_ms = 3000) {
        Packet p;
        auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!closed_ && Clock::now() < end) next(p, 100);
        return closed_;
    }
    std::vector<Packet> others;

private:
    int fd_;
    std::string rx_;
    bool closed_ = false;
};

// The name of an event packet ("" for anything else).
inline std::string event_name(Packet &p) {
    if (p.opcode != 1) return "";
    const char *name = serialize_hash_get_string(p.value(), "event");
    return name ? name : "";
}

struct Run {  // one finished process
    int code = -1;
    std::string out, err;
};

// Runs one of the tools with the arguments (and `input` on its standard input).
// A process still running after `timeout_ms` is killed (code 128 + 9).
inline Run run_tool(const char *tool, const std::vector<std::string> &args,
                    const std::string &input = std::string(), int timeout_ms = 60000) {
    Run r;
    char out_tmpl[] = "/tmp/simd-cli-out.XXXXXX", err_tmpl[] = "/tmp/simd-cli-err.XXXXXX",
         in_tmpl[] = "/tmp/simd-cli-in.XXXXXX";
    int out = mkstemp(out_tmpl), err = mkstemp(err_tmpl), in = mkstemp(in_tmpl);
    if (write(in, input.data(), input.size()) != static_cast<ssize_t>(input.size())) return r;
    lseek(in, 0, SEEK_SET);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::string exe = tool_path(tool);
        std::vector<char *> argv{const_cast<char *>(exe.c_str())};
        for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = read_file(out_tmpl);
    r.err = read_file(err_tmpl);
    close(out);
    close(err);
    close(in);
    unlink(out_tmpl);
    unlink(err_tmpl);
    unlink(in_tmpl);
    return r;
}

inline Run run_cli(const std::vector<std::string> &args, const std::string &input = std::string(),
                   int timeout_ms = 60000) {
    return run_tool("kiv-ipod", args, input, timeout_ms);
}

// A field of /proc/PID/status in KiB (VmRSS, VmHWM), or -1.
inline long proc_status_kib(pid_t pid, const char *field) {
    std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);)
        if (line.rfind(std::string(field) + ":", 0) == 0) return atol(line.c_str() + strlen(field) + 1);
    return -1;
}

// User plus system CPU time of a process, in clock ticks.
inline long cpu_ticks(pid_t pid) {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream in(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int k = 3; k <= 15 && in >> field; k++) {
        if (k == 14) utime = atol(field.c_str());
        if (k == 15) stime = atol(field.c_str());
    }
    return utime + stime;
}

// The longest round trip of a request a well-behaved client makes over and
// over while `busy()` holds (at least `min_ms`), in milliseconds; -1 when
// a reply does not come.
template <typename F>
double worst_round_trip_ms(Raw &raw, F busy, int min_ms = 300) {
    double worst = 0;
    uint32_t tid = 1000;
    auto start = Clock::now();
    while (busy() || Clock::now() - start < std::chrono::milliseconds(min_ms)) {
        Packet p;
        auto t0 = Clock::now();
        if (!raw.send(++tid, 19) || !raw.reply(tid, p, 5000)) return -1;
        worst = std::max(worst, std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return worst;
}

}  // namespace simdtest

#endif
