// The simulator's web panel: a local page that shows the simulated iPod,
// presses its buttons, lists what each client asked for and switches
// faults on. An HTTP server runs on threads of its own; the poll loop stays
// the only owner of the simulator's state. The HTTP side posts commands to
// a queue that the loop drains (woken through an eventfd), and reads the
// snapshots that the loop publishes.
#ifndef KIV_SIMD_WEB_PANEL_H
#define KIV_SIMD_WEB_PANEL_H

#include <stdint.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace simd {

class Daemon;

// A command from the HTTP side. The loop runs it and hands back its result
// through `done`: empty on success, else why it was not done.
struct Command {
    std::string action;
    int32_t arg = 0;
    std::string text;
    std::shared_ptr<std::promise<std::string>> done = std::make_shared<std::promise<std::string>>();
};

// Commands waiting for the loop; posting beyond this many is refused.
constexpr size_t kMaxQueuedCommands = 64;

// Any thread posts, the loop takes. fd() becomes readable when commands
// wait.
class CommandQueue {
public:
    CommandQueue() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~CommandQueue() {
        if (fd_ >= 0) close(fd_);
    }
    CommandQueue(const CommandQueue &) = delete;
    CommandQueue &operator=(const CommandQueue &) = delete;

    int fd() const { return fd_; }
    // False when the queue is full (or has no descriptor).
    bool post(Command c) {
        if (fd_ < 0) return false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (queue_.size() >= kMaxQueuedCommands) return false;
            queue_.push_back(std::move(c));
        }
        uint64_t one = 1;
        ssize_t n = write(fd_, &one, sizeof one);
        (void)n;  // the counter only saturates when it is already readable
        return true;
    }
    // Every waiting command, in the order posted. The wake-up is read
    // first, so a command posted meanwhile wakes the loop again.
    std::vector<Command> take() {
        uint64_t count;
        ssize_t n = read(fd_, &count, sizeof count);
        (void)n;
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Command> out(std::make_move_iterator(queue_.begin()),
                                 std::make_move_iterator(queue_.end()));
        queue_.clear();
        return out;
    }

private:
    int fd_;
    std::mutex mutex_;
    std::deque<Command> queue_;
};

// The latest state published by the loop, numbered; readers wait for a
// newer one.
class Snapshot {
public:
    void publish(std::string json) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            json_ = std::move(json);
            version_++;
        }
        changed_.notify_all();
    }
    // Fills `json` and `version` once a snapshot newer than `version`
    // exists; false on time-out or when stopping.
    bool wait_newer(uint64_t &version, std::string &json, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, timeout, [&] { return stopping_ || version_ > version; });
        if (stopping_ || version_ <= version) return false;
        version = version_;
        json = json_;
        return true;
    }
    std::string latest() {
        std::lock_guard<std::mutex> lock(mutex_);
        return json_;
    }
    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
    }
    bool stopping() {
        std::lock_guard<std::mutex> lock(mutex_);
        return stopping_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string json_ = "{}";
    uint64_t version_ = 0;
    bool stopping_ = false;
};

class WebPanel {
public:
    explicit WebPanel(Daemon &daemon);
    ~WebPanel();
    WebPanel(const WebPanel &) = delete;
    WebPanel &operator=(const WebPanel &) = delete;

    // Listens on address:port (port 0: any free port) and joins the loop.
    // False with a message when that fails. The port actually used.
    bool start(const std::string &address, int port, std::string &error);
    int port() const { return port_; }

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
};

}  // namespace simd

#endif
