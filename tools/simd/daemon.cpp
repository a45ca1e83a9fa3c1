#include "daemon.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

namespace simd {

namespace {

int g_wake_pipe[2] = {-1, -1};

void wake(char why) {
    if (g_wake_pipe[1] >= 0) {
        ssize_t n = write(g_wake_pipe[1], &why, 1);
        (void)n;
    }
}

}  // namespace

Daemon::Daemon(Options options, Library library)
    : options_(std::move(options)),
      library_(std::move(library)),
      artwork_([this](const std::string &line) { log_.line(line); }),
      server_(options_, faults_, capture_, log_),
      sim_(library_, *this) {
    log_.quiet = options_.quiet;
    server_.on_frame([this](Connection &c, uint32_t tid, uint8_t opcode, const uint8_t *payload,
                            uint32_t len) { return handle_frame(c, tid, opcode, payload, len); });
    server_.on_connect([this](Connection &c) { c.browse = sim_.browser.start(); });
}

Daemon::~Daemon() {
    for (int &fd : g_wake_pipe) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
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
    if (!artwork_.prepare(options_.artwork_dir, error_text)) return false;
    sim_.art_dir = artwork_.dir();
    if (!server_.listen(error_text)) return false;
    if (pipe2(g_wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        error_text = std::string("pipe: ") + strerror(errno);
        return false;
    }
    log_("listening on @%s (pid %d), library: %s, %zu tracks", options_.socket_name.c_str(), getpid(),
         library_.name.c_str(), library_.tracks.size());
    return true;
}

// ------------------------------------------------------------------ loop

int Daemon::poll_timeout_ms() const {
    auto now = Clock::now();
    auto soonest = now + std::chrono::seconds(1);
    const Player &p = sim_.player;
    if (p.moving() && sim_.device.present) soonest = std::min(soonest, p.next_position_event());
    soonest = server_.deadline(now, soonest);
    for (auto &s : steps_) soonest = std::min(soonest, s.when);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(soonest - now).count();
    return static_cast<int>(std::max<long long>(0, ms + 1));
}

// Reads the wake pipe: hot-plugs run at once; true when a stop came.
bool Daemon::wake_requests_stop() {
    char why[16];
    ssize_t got;
    bool stop = false;
    while ((got = read(g_wake_pipe[0], why, sizeof why)) > 0) {
        for (ssize_t k = 0; k < got; k++) {
            if (why[k] == 'T') stop = true;
            if (why[k] == 'H') hotplug();
        }
    }
    return stop;
}

int Daemon::run() {
    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({g_wake_pipe[0], POLLIN, 0});
        size_t polled = server_.poll_fds(fds);
        if (hooks_.wake_fd >= 0) fds.push_back({hooks_.wake_fd, POLLIN, 0});
        int n = poll(fds.data(), fds.size(), poll_timeout_ms());
        if (n < 0 && errno != EINTR) {
            fprintf(stderr, "kiv-ipod-simd: poll: %s\n", strerror(errno));
            return 1;
        }
        if (n > 0 && (fds[0].revents & POLLIN) && wake_requests_stop()) {
            log_("stopping");
            return 0;
        }
        if (n > 0 && hooks_.wake_fd >= 0 && (fds.back().revents & POLLIN)) hooks_.on_wake();
        server_.serve(fds, 1, polled, n > 0);
        advance();
        run_steps();
        server_.release_held();
        server_.ping_if_due();
        server_.sweep();
        if (hooks_.after_round) hooks_.after_round();
    }
}

void Daemon::advance() {
    sim_.player.advance(sim_.device.present);
}

// --------------------------------------------------------------- events

Value Daemon::event_hash(ipod_event_type type, const Value &data, const Session &s) const {
    Value h = Value::hash({{"event", Value::string(ipod_event_name(type))},
                           {"session", Value::integer(s.id)},
                           {"ipod_id", Value::integer(kIpodId)},
                           {"ipod_serial", Value::string(kSerial)}});
    h.add("data", data);
    return h;
}

// Events carry transaction id 0, which the library never hands out, so
// they can never be taken for the reply that a client awaits.
void Daemon::device_event(ipod_event_type type, const Value &data) {
    log_("event %s", ipod_event_name(type));
    for (auto &c : server_.clients()) {
        Value h = event_hash(type, data, *c);
        server_.send(*c, 0, IPOD_OP_event, &h);
    }
}

void Daemon::media_event(ipod_event_type type, const Value &data, const Session *only) {
    for (auto &c : server_.clients()) {
        if (!c->open || (only && c.get() != only)) continue;
        Value h = event_hash(type, data, *c);
        server_.send(*c, 0, IPOD_OP_event, &h);
    }
}

void Daemon::after_reply(ipod_event_type type, const Value &data) {
    after_reply_.emplace_back(type, data);
}

// ------------------------------------------------------------- hot-plug

void Daemon::run_steps() {
    auto now = Clock::now();
    while (!steps_.empty() && steps_.front().when <= now) {
        Step s = std::move(steps_.front());
        steps_.erase(steps_.begin());
        s.action();
    }
}

// The demo iPod goes away (every session and EAP session with it) and
// comes back along the device's timeline.
void Daemon::hotplug() {
    if (!sim_.device.present || !steps_.empty()) {
        log_("hot-plug already in progress");
        return;
    }
    log_("hot-plug: the demo iPod disconnects");
    advance();
    sim_.device.unplug();
    device_event(IPOD_EVENT_disconnected_ipod, Value::string(kSerial));
    for (auto &c : server_.clients()) {
        c->open = false;
        c->eap.clear();
    }
    auto t = Clock::now();
    for (const ReconnectStep &step : reconnect_timeline()) {
        steps_.push_back({t + std::chrono::milliseconds(step.after_ms), [this, &step] {
                              if (step.event == IPOD_EVENT_connected_ipod)
                                  log_("hot-plug: the demo iPod reconnects");
                              step.apply(sim_.device);
                              device_event(step.event, sim_.device.record(library_.tracks.size()));
                          }});
    }
}

// -------------------------------------------------------------- requests

// A client's answer to our ping. It still gets a reply, under opcode 0
// (which no ping carries), so the client cannot take it for another ping.
void Daemon::answer_ping(Connection &c, uint32_t tid) {
    if (c.ping_pending) {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - c.ping_sent);
        log_("client %d answered the ping in %lld ms", c.id, static_cast<long long>(ms.count()));
    }
    c.ping_pending = false;
    Value zero = Value::integer(0);
    if (faults_.ignore_pings) {
        if (hooks_.on_reply) hooks_.on_reply(c.id, tid, IPOD_OP_ping, nullptr);
        return;
    }
    server_.send(c, tid, 0, &zero);
    if (hooks_.on_reply) hooks_.on_reply(c.id, tid, IPOD_OP_ping, &zero);
}

bool Daemon::handle_frame(Connection &c, uint32_t tid, uint8_t opcode, const uint8_t *payload, uint32_t len) {
    Value arg;
    bool has_arg = len > 0;
    bool too_many = false;
    if (has_arg && !decode(payload, len, arg, kMaxValuesPerRequest, &too_many)) {
        if (too_many)
            server_.drop(c, "request with more than " + std::to_string(kMaxValuesPerRequest) +
                                " values (opcode " + std::to_string(opcode) + ")");
        else
            server_.drop(c, "malformed payload (opcode " + std::to_string(opcode) + ", " +
                                std::to_string(len) + " bytes)");
        return false;
    }
    if (opcode == IPOD_OP_ping) {
        answer_ping(c, tid);
        return true;
    }
    bool valid = true;
    advance();
    Value reply;
    if (!faults_.error_next.empty()) {
        reply = error_reply(faults_.error_next);
        faults_.error_next.clear();
    } else {
        reply = answer(c, opcode, has_arg ? &arg : nullptr, valid);
    }
    if (!valid) {
        server_.drop(c, "unknown opcode " + std::to_string(opcode));
        return false;
    }
    bool answered = !faults_.drop_next_reply;
    if (answered) {
        server_.send(c, tid, opcode, &reply);
    } else {
        faults_.drop_next_reply = false;
        log_("client %d: request %u (opcode %d) left unanswered", c.id, tid, opcode);
    }
    if (hooks_.on_reply) hooks_.on_reply(c.id, tid, opcode, answered && !c.dead ? &reply : nullptr);
    for (auto &e : after_reply_) media_event(e.first, e.second, &c);
    after_reply_.clear();
    return !c.dead;
}

// The reply to a request: from the table, or the control request;
// `valid` false for an opcode that is neither.
Value Daemon::answer(Connection &c, uint8_t opcode, const Value *arg, bool &valid) {
    if (opcode == kControlOpcode && options_.allow_control && c.uid == getuid()) return control(c, arg);
    const RequestHandler *h = request_handler(opcode);
    if (!h) {
        valid = false;
        return Value::integer(0);
    }
    // Everything about the iPod needs it attached and a session.
    if (h->needs_session && !sim_.device.present) return error_reply("no iPod connected");
    if (h->needs_session && !c.open) return error_reply("no session open");
    return h->serve(sim_, c, arg);
}

Value Daemon::control(Connection &, const Value *arg) {
    if (!arg || arg->kind != Value::String) return error_reply("control: expected a command");
    if (arg->s == "hotplug") {
        hotplug();
        return Value::integer(0);
    }
    return error_reply("control: unknown command \"" + arg->s + "\"");
}

// ------------------------------------------------------------ web panel

PanelView Daemon::view() {
    advance();
    const Player &p = sim_.player;
    PanelView v;
    v.present = sim_.device.present;
    v.state = p.state();
    v.position_ms = p.position_ms();
    v.shuffle = p.shuffle();
    v.repeat = p.repeat();
    v.track_index = p.current_index();
    v.track_count = library_.tracks.size();
    v.track = p.current();
    for (auto &c : server_.clients())
        if (!c->dead) v.clients.push_back({c->id, c->open});
    v.faults = faults_;
    return v;
}

std::string Daemon::device_action(const std::string &name, int32_t arg) {
    if (name == "hotplug") {
        if (!sim_.device.present || !steps_.empty()) return "hot-plug already in progress";
        hotplug();
        return "";
    }
    if (!sim_.device.present) return "no iPod connected";
    advance();
    Player &p = sim_.player;
    if (name == "play_pause") {
        p.play_pause();
        return "";
    }
    if (name == "next") return p.next();
    if (name == "previous") {
        p.previous();
        return "";
    }
    if (name == "seek") return p.seek(arg);
    if (name == "shuffle") return p.set_shuffle(arg);
    if (name == "repeat") return p.set_repeat(arg);
    return "unknown action \"" + name + "\"";
}

bool Daemon::close_client(int id) {
    return server_.close_client(id, "closed from the web panel");
}

}  // namespace simd
