// kiv-ipod-simd: a simulated iPod accessory daemon.
//
// One poll() loop serves every client: it accepts connections on an
// abstract local socket, answers each request with exactly one reply of
// the request's transaction id, runs the playback clock, sends events to
// the clients with an open session, pings every client now and then, and
// plays a disconnect/reconnect of the demo iPod on demand.
#ifndef KIV_SIMD_DAEMON_H
#define KIV_SIMD_DAEMON_H

#include <stdint.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture.h"
#include "media.h"
#include "wire.h"

namespace simd {

constexpr const char *kDefaultSocket = "com.kiv.ipod.IPodDaemon";
// Opcode of the simulator's own control request (not part of the device
// protocol): a string payload such as "hotplug". Served only when the
// simulator runs with --allow-control, and then only to processes of its
// own user; otherwise it is an unknown opcode like any other.
constexpr uint8_t kControlOpcode = 200;

// What one client may cost the simulator. Request payloads above
// kSmallPayload are admitted only while all buffered bytes (partial
// requests and unsent output, every client counted) stay within
// kBufferBudget; a request may hold at most kMaxValuesPerRequest values;
// a client is served at most kFramesPerRound requests per loop round, and
// its requests are not read while more than kMaxOutputBeforeReading bytes
// of its output wait to be sent.
constexpr size_t kSmallPayload = 64 * 1024;
constexpr size_t kBufferBudget = 64u * 1024u * 1024u;
constexpr size_t kMaxValuesPerRequest = 10000;
constexpr int kFramesPerRound = 32;
constexpr size_t kMaxOutputBeforeReading = 1024 * 1024;
// A client that has left this many pings in a row unanswered, and sent
// nothing at all for kMinSilenceMs, is closed (its place is freed).
constexpr int kDefaultEvictAfter = 3;
constexpr int kMinSilenceMs = 1000;

struct Options {
    std::string socket_name = kDefaultSocket;
    int ping_interval_ms = 5000;  // 0: no pings
    std::string artwork_dir;      // empty: $TMPDIR or /tmp
    bool quiet = false;
    int max_clients = 64;                  // connections beyond this are closed at once
    int evict_after = kDefaultEvictAfter;  // unanswered pings; 0: never evict
    bool allow_control = false;            // serve the control opcode
    std::string capture;                   // --capture FILE: every frame into a pcap file
};

// Faults switched on from the web panel to exercise a client's error paths.
struct Faults {
    int delay_ms = 0;              // every reply leaves this much later (order kept)
    bool drop_next_reply = false;  // the next request gets no reply at all
    std::string error_next;        // non-empty: the next request is answered with this error
    bool ignore_pings = false;     // a client's ping answers get no reply
};

// What the web panel shows: a copy of the loop's state.
struct PanelView {
    bool present = true;
    int state = 0;  // daemon play code
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

// Creates a listening stream socket on the abstract name; -1 on failure
// with errno set.
int listen_abstract(const std::string &name);
// Connects to the abstract name; -1 on failure.
int connect_abstract(const std::string &name);

class Daemon {
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
    void hotplug();

    // For the web panel, on the loop's thread only.
    void set_hooks(LoopHooks hooks) { hooks_ = std::move(hooks); }
    PanelView view();
    // A button pressed on the device ("play_pause", "next", "previous",
    // "seek" to `arg` ms, "shuffle"/"repeat" to mode `arg`, "hotplug"):
    // the same events follow as for the matching request. Empty on
    // success, else why not.
    std::string device_action(const std::string &name, int32_t arg);
    Faults &faults() { return faults_; }
    bool close_client(int id);

private:
    struct Client;
    struct Step {
        Clock::time_point when;
        std::function<void()> action;
    };

    void accept_clients();
    void refuse_connection(int fd, const char *why);
    void read_client(Client &c);
    void serve_frames(Client &c);
    size_t buffered_bytes() const;
    bool prepare_artwork_dir(std::string &error);
    void remove_leftover(int base_fd, int fd, const std::string &path);
    void flush_client(Client &c);
    void drop_client(Client &c, const std::string &reason);
    bool handle_frame(Client &c, uint32_t tid, uint8_t opcode, const uint8_t *payload, uint32_t len);
    Value answer(Client &c, uint8_t opcode, const Value *arg, bool &valid);
    void send(Client &c, uint32_t tid, uint8_t opcode, const Value *payload);

    // Events: device events reach every client, the others only clients
    // whose session is open (`only`, when set, limits them to one client).
    void device_event(const std::string &name, const Value &data);
    void media_event(const std::string &name, const Value &data, Client *only = nullptr);
    Value event_hash(const std::string &name, const Value &data, const Client &c) const;

    Value device_hash() const;
    Value devices_array() const;
    Value track_info_hash(const Track &t, int index, bool current) const;
    Value artwork_reply(Client &c, int edge);

    // Playback clock.
    void advance();
    void tick_second();
    void set_state(int code);
    void go_to(size_t order_pos, bool emit = true);
    void play_index(int track_index);
    void build_order();
    const Track &current() const { return library_.tracks[order_[order_pos_]]; }
    int current_index() const { return order_[order_pos_]; }

    void send_pings();
    void run_steps();
    void release_held();
    int poll_timeout_ms() const;

    void log(const char *fmt, ...) const __attribute__((format(printf, 2, 3)));

    Options options_;
    Library library_;
    Capture capture_;
    int listen_fd_ = -1;
    // Kept open so that a connection can still be accepted (and closed)
    // when the process runs out of descriptors.
    int spare_fd_ = -1;
    // The private artwork directory (0700, random name) and its descriptor,
    // locked while the simulator runs.
    std::string art_dir_;
    int art_dir_fd_ = -1;
    std::vector<std::unique_ptr<Client>> clients_;
    int next_client_id_ = 1;
    int next_eap_session_ = 1;
    Clock::time_point started_;

    // The demo iPod.
    bool present_ = true;
    int authenticated_ = 1, extended_ = 1, ready_ = 1;

    // Playback state. Daemon play codes: 0 stopped, 1 fast forward,
    // 2 rewind, 3 playing, 4 paused.
    int state_ = 0;
    std::vector<int> order_;
    size_t order_pos_ = 0;
    double position_ms_ = 0;
    int chapter_ = -1;
    int shuffle_ = 0;  // 0 off, 1 tracks, 2 albums
    int repeat_ = 0;   // 0 off, 1 one, 2 all
    uint64_t shuffle_seed_ = 1;
    Clock::time_point last_advance_;
    Clock::time_point next_position_event_;
    Clock::time_point next_ping_;
    std::vector<Step> steps_;
    // EAP events that follow the reply to the request that caused them.
    std::vector<std::pair<std::string, Value>> after_reply_;

    // Accessory settings kept for the get requests.
    int preferences_[14] = {0};
    LoopHooks hooks_;
    Faults faults_;
    int videoout_options_[2] = {0, 0};
};

}  // namespace simd

#endif
