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
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fake_daemon.h"
#include "kiv_ipod.h"

namespace simdtest {

using Clock = std::chrono::steady_clock;
constexpr char kDaemonName[] = "com.kiv.ipod.IPodDaemon";

inline Clock::time_point deadline(int ms) {
    return Clock::now() + std::chrono::milliseconds(ms);
}
inline int ms_left(Clock::time_point end) {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
}
// Polls `done` every 5 ms; false when it still fails after `timeout_ms`.
template <typename F>
bool wait_until(F done, int timeout_ms = 3000) {
    for (auto end = deadline(timeout_ms); !done(); std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        if (Clock::now() >= end) return false;
    return true;
}

// The tools are built next to the tests: <build>/tests/X and <build>/tools/Y.
inline std::string tool_path(const char *name) {
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string(".");
    dir = dir.substr(0, dir.rfind('/'));
    return dir.substr(0, dir.rfind('/')) + "/tools/" + name;
}

// <build>, the folder that holds tests/ and tools/.
inline std::string build_root() {
    std::string tool = tool_path("");
    return tool.substr(0, tool.size() - strlen("/tools/"));
}

// A program built for another processor runs under the emulator named by
// KIV_IPOD_EMULATOR (words separated by spaces; cross builds set it for
// every test). The command that runs the program at `exe`: the emulator's
// words, if `exe` is one of this build's programs, then `exe`.
inline std::vector<std::string> command_for(const std::string &exe) {
    std::vector<std::string> words;
    const char *emulator = getenv("KIV_IPOD_EMULATOR");
    if (emulator && exe.rfind(build_root() + "/", 0) == 0) {
        std::istringstream in(emulator);
        for (std::string word; in >> word;) words.push_back(word);
    }
    words.push_back(exe);
    return words;
}

inline bool tool_exists(const char *name) {
    return access(tool_path(name).c_str(), X_OK) == 0;
}

using kivtest::read_file;
// The whole content of an open (possibly unlinked) file.
inline std::string read_file(FILE *f) {
    return read_file("/proc/self/fd/" + std::to_string(fileno(f)));
}

// Starts a tool (a name under <build>/tools, or a path) with its standard
// streams on the given descriptors (-1: /dev/null); it dies with the test.
inline pid_t spawn(const std::string &tool, const std::vector<std::string> &args, int in = -1, int out = -1,
                   int err = -1) {
    std::vector<std::string> command =
        command_for(tool.find('/') == std::string::npos ? tool_path(tool.c_str()) : tool);
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : command) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        int null = open("/dev/null", O_RDWR);
        dup2(in >= 0 ? in : null, 0);
        dup2(out >= 0 ? out : null, 1);
        dup2(err >= 0 ? err : null, 2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Waits for a child, killed after `timeout_ms`: its exit code, or 128 + signal.
inline int wait_exit(pid_t pid, int timeout_ms = 60000) {
    int status = 0;
    if (!wait_until([&] { return waitpid(pid, &status, WNOHANG) != 0; }, timeout_ms)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A running simulator; stopped with SIGTERM when it goes out of scope.
class Simulator {
public:
    explicit Simulator(std::vector<std::string> args = {}, std::string socket = kDaemonName)
        : socket_(std::move(socket)), log_(tmpfile()) {
        args.insert(args.begin(), {"--socket", socket_});
        pid_ = spawn("kiv-ipod-simd", args, -1, -1, fileno(log_));
        // Ready once it accepts a connection (at most 5 s).
        wait_until(
            [this] {
                int fd = kivtest::connect_abstract(socket_);
                if (fd >= 0) close(fd);
                if (fd < 0 && waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
                return (ready_ = fd >= 0) || pid_ < 0;
            },
            5000);
        EXPECT_TRUE(ready_) << "the simulator did not start\n" << log();
    }
    ~Simulator() {
        stop();
        fclose(log_);
    }
    bool ready() const { return ready_; }
    pid_t pid() const { return pid_; }
    // SIGTERM and wait; the exit status (-1 when it was already gone).
    int stop() {
        if (pid_ <= 0) return -1;
        kill(pid_, SIGTERM);
        int code = wait_exit(pid_);
        pid_ = -1;
        return code;
    }
    bool alive() const { return pid_ > 0 && kill(pid_, 0) == 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }
    std::string log() const { return read_file(log_); }
    bool wait_log(const std::string &needle, int timeout_ms = 3000) const {
        return wait_until([&] { return log().find(needle) != std::string::npos; }, timeout_ms);
    }

private:
    std::string socket_;
    FILE *log_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

// A packet as received, decoded on demand with the library's decoder.
struct Packet : kivtest::Request {
    serialize_value *value() {
        if (!decoded_ && !payload.empty())
            decoded_.reset(unserialize(payload.data(), static_cast<int32_t>(payload.size())), serialize_free);
        return decoded_.get();
    }

private:
    std::shared_ptr<serialize_value> decoded_;
};

// The name of an event packet ("" for anything else).
inline std::string event_name(Packet &p) {
    const char *name = p.opcode == 1 ? serialize_hash_get_string(p.value(), "event") : nullptr;
    return name ? name : "";
}

// A raw protocol client.
class Raw {
public:
    explicit Raw(const std::string &socket = kDaemonName) : fd_(kivtest::connect_abstract(socket)) {}
    ~Raw() {
        if (fd_ >= 0) close(fd_);
    }
    bool send_bytes(const std::string &bytes) { return kivtest::write_all(fd_, bytes.data(), bytes.size()); }
    bool send(uint32_t tid, uint8_t opcode, const std::string &payload = std::string()) {
        return send_bytes(kivtest::frame(tid, opcode, payload));
    }
    // Next packet, or false on time-out or end of stream.
    bool next(Packet &p, int timeout_ms = 3000) {
        for (auto end = deadline(timeout_ms);;) {
            Packet q;
            if (kivtest::take_frame(rx_, q)) {
                p = q;
                return true;
            }
            pollfd pfd{fd_, POLLIN, 0};
            if (ms_left(end) <= 0 || closed_) return false;
            if (poll(&pfd, 1, ms_left(end)) <= 0) continue;
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
        auto end = deadline(timeout_ms);
        for (Packet q; next(q, ms_left(end));) {
            if (q.tid == tid && q.opcode != 1 && q.opcode != 54) {
                p = q;
                return true;
            }
            others.push_back(q);
        }
        return false;
    }
    // Sends one request and waits for its reply.
    bool ask(uint32_t tid, uint8_t opcode, Packet &p, const std::string &payload = std::string(),
             int timeout_ms = 3000) {
        return send(tid, opcode, payload) && reply(tid, p, timeout_ms);
    }
    // The next event of that name, first among those kept in `others`.
    bool wait_event(const std::string &name, Packet &p, int timeout_ms = 3000) {
        for (auto it = others.begin(); it != others.end(); ++it)
            if (event_name(*it) == name) {
                p = *it;
                others.erase(it);
                return true;
            }
        for (auto end = deadline(timeout_ms); next(p, ms_left(end));)
            if (event_name(p) == name) return true;
        return false;
    }
    // True when the peer closes the connection within the time.
    bool wait_closed(int timeout_ms = 3000) {
        Packet p;
        for (auto end = deadline(timeout_ms); !closed_ && Clock::now() < end;) next(p, 100);
        return closed_;
    }
    std::vector<Packet> others;

private:
    int fd_;
    std::string rx_;
    bool closed_ = false;
};

// A fresh directory under /tmp, removed with all it holds at the end of the scope.
struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/kiv-test-XXXXXX";
        path = mkdtemp(tmpl) ? tmpl : "";
    }
    ~TempDir() {
        if (!path.empty()) (void)system(("rm -rf '" + path + "'").c_str());
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    // Writes `content` to the file `name` in it; the file's path.
    std::string file(const std::string &name, const std::string &content) const {
        std::ofstream(path + "/" + name, std::ios::binary) << content;
        return path + "/" + name;
    }
};

struct Run {  // one finished process
    int code = -1;
    std::string out, err;
};

// Runs a tool (see spawn) with `input` on its standard input. A process
// still running after `timeout_ms` is killed (code 128 + 9).
inline Run run_tool(const std::string &tool, const std::vector<std::string> &args,
                    const std::string &input = std::string(), int timeout_ms = 60000) {
    Run r;
    FILE *in = tmpfile(), *out = tmpfile(), *err = tmpfile();
    if (fwrite(input.data(), 1, input.size(), in) == input.size() && fflush(in) == 0) {
        rewind(in);
        r.code = wait_exit(spawn(tool, args, fileno(in), fileno(out), fileno(err)), timeout_ms);
        r.out = read_file(out);
        r.err = read_file(err);
    }
    for (FILE *f : {in, out, err}) fclose(f);
    return r;
}

inline Run run_cli(const std::vector<std::string> &args, const std::string &input = std::string(),
                   int timeout_ms = 60000) {
    return run_tool("kiv-ipod", args, input, timeout_ms);
}

// The resident size of a process in KiB (second field of its statm).
inline long rss_kib(pid_t pid) {
    long pages = 0, resident = 0;
    std::istringstream(read_file("/proc/" + std::to_string(pid) + "/statm")) >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// User plus system CPU time of a process (fields 14 and 15 of its stat), in clock ticks.
inline long cpu_ticks(pid_t pid) {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    long user = 0, sys = 0;
    sscanf(stat.c_str() + stat.rfind(')') + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &user,
           &sys);
    return user + sys;
}

// The round trip of a request answered at once (opcode 19) in milliseconds; -1 without a reply.
inline double round_trip_ms(Raw &raw, uint32_t tid, Packet &p, int timeout_ms = 3000) {
    auto t0 = Clock::now();
    if (!raw.ask(tid, 19, p, std::string(), timeout_ms)) return -1;
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// The longest round trip of a request a well-behaved client makes over and
// over while `busy()` holds (at least `min_ms`), in milliseconds; -1 when
// a reply does not come.
template <typename F>
double worst_round_trip_ms(Raw &raw, F busy, int min_ms = 300) {
    double worst = 0;
    uint32_t tid = 1000;
    for (auto start = Clock::now(); busy() || Clock::now() - start < std::chrono::milliseconds(min_ms);) {
        Packet p;
        double ms = round_trip_ms(raw, ++tid, p, 5000);
        if (ms < 0) return -1;
        worst = std::max(worst, ms);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return worst;
}

}  // namespace simdtest

#endif
