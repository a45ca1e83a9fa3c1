// kiv-ipod-simd: a simulated iPod accessory daemon.
//
// One poll() loop serves every client: the server (server.h) accepts the
// connections on an abstract local socket and cuts their input into
// frames; the daemon answers each request with exactly one reply of the
// request's transaction id from the table of requests (requests.h), runs
// the player's clock (player.h), sends events to the clients with an open
// session, and plays a disconnect/reconnect of the demo iPod on demand.
// This file puts those parts together.
#ifndef KIV_SIMD_DAEMON_H
#define KIV_SIMD_DAEMON_H

#include <stdint.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "artwork.h"
#include "capture.h"
#include "config.h"
#include "log.h"
#include "media.h"
#include "requests.h"
#include "server.h"
#include "wire.h"

namespace simd {

// What the web panel shows: a copy of the loop's state.
struct PanelView {
    bool present = true;
    PlayState state = PlayState::stopped;
    int32_t position_ms = 0;
    int shuffle = 0, repeat = 0;
    int track_index = 0;
    size_t track_count = 0;
    Track track;
    struct ClientView {
        int id;
        bool session;
    };
    std::vector<ClientView> clients;
    Faults faults;
};

// How an observer (the web panel) joins the loop; every function runs on
// the loop's thread.
struct LoopHooks {
    int wake_fd = -1;                   // polled; `on_wake` runs when it is readable
    std::function<void()> on_wake;      // runs the commands that wait
    std::function<void()> after_round;  // after every round of the loop
    // One request served: its reply (null when left unanswered).
    std::function<void(int client, uint32_t tid, uint8_t opcode, const Value *reply)> on_reply;
};

class Daemon final : private Outbox {
public:
    using Clock = std::chrono::steady_clock;

    Daemon(Options options, Library library);
    ~Daemon();

    // Binds the socket; false (with a message) when that fails.
    bool start(std::string &error);
    // Runs the loop until stop() or a SIGTERM/SIGINT; returns the exit code.
    int run();
    // Safe to call from a signal handler.
    static void signal_stop();
    static void signal_hotplug();

    // Starts the disconnect/reconnect sequence of the demo iPod.
    void hotplug() override;

    // For the web panel, on the loop's thread only.
    void set_hooks(LoopHooks hooks) { hooks_ = std::move(hooks); }
    PanelView view();
    // A button pressed on the device ("play_pause", "next", "previous",
    // "seek" to `arg` ms, "shuffle"/"repeat" to mode `arg`, "hotplug"):
    // the same player functions as the matching request, so the same
    // events follow. Empty on success, else why not.
    std::string device_action(const std::string &name, int32_t arg);
    Faults &faults() { return faults_; }
    bool close_client(int id);

private:
    struct Step {
        Clock::time_point when;
        std::function<void()> action;
    };

    bool handle_frame(Connection &c, uint32_t tid, uint8_t opcode, const uint8_t *payload, uint32_t len);
    void answer_ping(Connection &c, uint32_t tid);
    Value answer(Connection &c, uint8_t opcode, const Value *arg, bool &valid);
    Value control(Connection &c, const Value *arg);
    bool wake_requests_stop();
    void advance();
    void run_steps();
    int poll_timeout_ms() const;

    // Outbox: device events reach every client, the others only clients
    // whose session is open.
    void media_event(ipod_event_type type, const Value &data, const Session *only = nullptr) override;
    void device_event(ipod_event_type type, const Value &data) override;
    void after_reply(ipod_event_type type, const Value &data) override;
    size_t client_count() const override { return server_.clients().size(); }
    void note(const std::string &line) override { log_.line(line); }
    Value event_hash(ipod_event_type type, const Value &data, const Session &s) const;

    Options options_;
    Library library_;
    Logger log_;
    Faults faults_;
    Capture capture_;
    ArtworkStore artwork_;
    Server server_;
    Simulation sim_;
    LoopHooks hooks_;
    // The steps of a hot-plug in progress.
    std::vector<Step> steps_;
    // EAP events that follow the reply to the request that caused them.
    std::vector<std::pair<ipod_event_type, Value>> after_reply_;
};

}  // namespace simd

#endif
