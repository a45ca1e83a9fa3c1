// The kiv-ipod client's connection to the daemon, shared by every command
// of a script, and the names and texts that the commands print.
#ifndef KIV_CLI_SESSION_H
#define KIV_CLI_SESSION_H

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>

#include <chrono>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "kiv_ipod.h"

namespace kivcli {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoDaemon = 3;
constexpr int kDefaultTimeoutMs = 5000;

struct Failure {
    int code;
    std::string message;
};

// JSON text of `j`; bytes that are not UTF-8 (the daemon's texts, EAP
// data) become U+FFFD instead of aborting the output.
std::string dump(const json &j);

// Set by SIGINT and SIGTERM: the command in progress ends.
extern volatile sig_atomic_t g_interrupted;

// Names of the play state (as kiv_ipod_current_track_state() returns it),
// of the shuffle and repeat modes, and of an event type.
const char *play_state_name(int s);
const char *shuffle_name(int s);
const char *repeat_name(int s);
const char *event_name(int type);

// "m:ss" of a time in milliseconds; hex digits of bytes; a text or "".
std::string mmss(int ms);
std::string hex(const unsigned char *p, size_t n);
std::string str(const char *s);

// One connection to the daemon, shared by every command of a script.
class Ctx {
public:
    bool json_out = false;
    int device = 0;
    bool watching = false;
    int timeout_ms = kDefaultTimeoutMs;

    ~Ctx() {
        if (c_) kiv_ipod_close(c_);
    }

    // The connection; a connection lost by an earlier command of a script
    // is opened again.
    kiv_ipod_client *client() {
        if (c_ && kiv_ipod_fd(c_) < 0) {
            kiv_ipod_close(c_);
            c_ = nullptr;
        }
        if (!c_) {
            const auto t0 = Clock::now();
            c_ = kiv_ipod_connect();
            if (!c_) throw Failure{kExitNoDaemon, no_connection_text(Clock::now() - t0)};
            kiv_ipod_set_event_cb(c_, &Ctx::on_event, this);
            kiv_ipod_set_reply_cb(c_, &Ctx::on_reply, this);
            kiv_ipod_set_ping_cb(c_, &Ctx::on_ping, this);
            if (kiv_ipod_fd(c_) < 0)
                throw Failure{
                    kExitNoDaemon,
                    "the daemon closed the connection at once (it may be serving too many clients)"};
        }
        return c_;
    }

    // Dispatches whatever has already arrived, so that the state seen next
    // is current (a hot-plug between two commands of a script).
    void catch_up() {
        for (int k = 0; k < 1000; k++) {
            pollfd p{kiv_ipod_fd(c_), POLLIN, 0};
            if (p.fd < 0 || poll(&p, 1, 0) <= 0) return;
            if (kiv_ipod_read(c_) < 0) throw Failure{kExitNoDaemon, "connection to the daemon lost"};
        }
    }

    // A client with an open session on the chosen device and ready. After
    // a hot-plug it waits for the device and opens a new session.
    kiv_ipod_client *session() {
        kiv_ipod_client *c = client();
        catch_up();
        if (kiv_ipod_is_ready(c) == 1 && kiv_ipod_current_session(c) == device) return c;
        if (kiv_ipod_device_count(c) <= device)
            wait_until([this, c] { return kiv_ipod_device_count(c) > device; }, 3000);
        if (kiv_ipod_device_count(c) <= device)
            throw Failure{kExitFailed, "no iPod at index " + std::to_string(device)};
        int32_t r = call(kiv_ipod_open_session(c, device), "open session");
        if (r != 1) throw Failure{kExitFailed, "the daemon did not open a session"};
        if (!wait_until([c] { return kiv_ipod_is_ready(c) == 1; }, 3000))
            throw Failure{kExitFailed, "the iPod is not ready"};
        return c;
    }

    // Waits for the reply to `tid` and returns its result; an error reply
    // or a refused request ends the command with the daemon's text. With
    // `checked`, a negative result (a reply that the library could not
    // use) ends it too.
    int32_t call(uint32_t tid, const char *what, bool checked = false) {
        if (kiv_ipod_fd(c_) < 0) throw Failure{kExitNoDaemon, "connection to the daemon lost"};
        if (tid == 0) throw Failure{kExitFailed, std::string(what) + ": refused, the iPod is not ready"};
        want_ = tid;
        got_ = false;
        if (!pump_until([this] { return got_; }, timeout_ms))
            throw Failure{
                g_interrupted ? kExitFailed : kExitNoDaemon,
                std::string(what) + (g_interrupted ? ": interrupted" : ": no reply from the daemon")};
        if (!text_.empty()) throw Failure{kExitFailed, std::string(what) + ": " + text_};
        if (checked && result_ < 0)
            throw Failure{kExitFailed, std::string(what) + ": the daemon gave no usable reply"};
        return result_;
    }

    // Reads and dispatches until `done` holds or the time is up; false on
    // time-out. A lost connection ends the command.
    template <typename F>
    bool pump_until(F done, int timeout_ms) {
        auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!done()) {
            if (g_interrupted) return false;
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
            if (left <= 0) return false;
            pollfd p{kiv_ipod_fd(c_), POLLIN, 0};
            // A failed send closes the connection too (the descriptor is then -1).
            if (p.fd < 0) throw Failure{kExitNoDaemon, "connection to the daemon lost"};
            int n = poll(&p, 1, left);
            if (n < 0 && errno == EINTR) continue;
            if (n > 0 && kiv_ipod_read(c_) < 0) throw Failure{kExitNoDaemon, "connection to the daemon lost"};
        }
        return true;
    }
    template <typename F>
    bool wait_until(F done, int timeout_ms) {
        return pump_until(done, timeout_ms);
    }

    void print(const json &j, const std::string &human) {
        if (json_out)
            std::cout << dump(j) << std::endl;
        else if (!human.empty())
            std::cout << human << std::flush;
    }

    // Events seen since the last clear (EAP commands look for theirs here).
    std::vector<json> events;

private:
    // Why kiv_ipod_connect() gave no handle: nothing listens, or a daemon
    // took the connection and did not answer (in time, or at all).
    std::string no_connection_text(Clock::duration waited) const;

    static int on_event(kiv_ipod_client *c, kiv_ipod_event *e, void *data) {
        Ctx *self = static_cast<Ctx *>(data);
        json j = describe(c, e);
        if (self->watching) {
            if (self->json_out)
                std::cout << dump(j) << std::endl;
            else
                std::cout << "event " << human_event(j) << std::endl;
        }
        self->events.push_back(j);
        return 0;
    }

    // The daemon's error text comes with the reply, or (for replies that a
    // parser reads) through kiv_ipod_last_error, valid only right now.
    static int on_reply(kiv_ipod_client *c, uint32_t tid, int32_t result, const char *text, void *data) {
        Ctx *self = static_cast<Ctx *>(data);
        if (tid != self->want_) return 0;
        self->got_ = true;
        self->result_ = result;
        const char *error = text && *text ? text : kiv_ipod_last_error(c);
        self->text_ = error ? error : "";
        return 0;
    }

    static int on_ping(kiv_ipod_client *c, uint32_t, void *data) {
        Ctx *self = static_cast<Ctx *>(data);
        kiv_ipod_ping(c);
        if (self->watching) {
            if (self->json_out)
                std::cout << dump(json{{"ping", "answered"}}) << std::endl;
            else
                std::cout << "ping from the daemon (answered)" << std::endl;
        }
        return 0;
    }

    static json describe(kiv_ipod_client *c, kiv_ipod_event *e) {
        int type = kiv_ipod_event_type(e);
        json j{{"event", event_name(type)}, {"type", type}, {"serial", str(kiv_ipod_event_device_serial(e))}};
        switch (type) {
            case KIV_IPOD_EVENT_DISCONNECTED:
                j["disconnected"] = str(kiv_ipod_event_disconnected_serial(e));
                break;
            case KIV_IPOD_EVENT_AUTHENTICATED:
                j["authenticated"] = kiv_ipod_event_authenticated(e);
                break;
            case KIV_IPOD_EVENT_MODE_CHANGED:
                j["extended"] = kiv_ipod_event_mode_changed(e);
                break;
            case KIV_IPOD_EVENT_PLAY_STATE_CHANGED:
                j["state"] = play_state_name(kiv_ipod_current_track_state(c));
                break;
            case KIV_IPOD_EVENT_TRACK_INDEX_CHANGED:
                j["track_index"] = kiv_ipod_current_track_index(c);
                break;
            case KIV_IPOD_EVENT_SAMPLERATE_RETRIEVED:
                j["sample_rate"] = kiv_ipod_current_sample_rate(c);
                break;
            case KIV_IPOD_EVENT_TRACK_POSITION_CHANGED:
                j["position_ms"] = kiv_ipod_current_track_position(c);
                break;
            case KIV_IPOD_EVENT_CHAPTER_INDEX_CHANGED:
                j["chapter_index"] = kiv_ipod_current_chapter_index(c);
                j["chapter_count"] = kiv_ipod_current_chapter_count(c);
                break;
            case KIV_IPOD_EVENT_SHUFFLE_CHANGED:
                j["shuffle"] = shuffle_name(kiv_ipod_current_shuffle_state(c));
                break;
            case KIV_IPOD_EVENT_REPEAT_CHANGED:
                j["repeat"] = repeat_name(kiv_ipod_current_repeat_state(c));
                break;
            case KIV_IPOD_EVENT_EAP_SESSION_OPENED:
                j["session_id"] = kiv_ipod_event_eap_datagram_session_id(e);
                j["protocol"] = str(kiv_ipod_event_eap_datagram_protocol_string(e));
                break;
            case KIV_IPOD_EVENT_EAP_SESSION_CLOSED:
                j["session_id"] = kiv_ipod_event_eap_datagram_session_id(e);
                break;
            case KIV_IPOD_EVENT_EAP_DATA_RECEIVED: {
                j["session_id"] = kiv_ipod_event_eap_datagram_session_id(e);
                int n = kiv_ipod_event_eap_datagram_data_length(e);
                const unsigned char *d = kiv_ipod_event_eap_datagram_data(e);
                j["data"] = d && n > 0 ? std::string(reinterpret_cast<const char *>(d), n) : "";
                break;
            }
            default:
                break;
        }
        return j;
    }

    static std::string human_event(const json &j) {
        std::string s = j["event"].get<std::string>();
        for (auto it = j.begin(); it != j.end(); ++it) {
            if (it.key() == "event" || it.key() == "type" || it.key() == "serial") continue;
            s += " " + it.key() + "=" + (it->is_string() ? it->get<std::string>() : dump(*it));
        }
        return s;
    }

    kiv_ipod_client *c_ = nullptr;
    uint32_t want_ = 0;
    bool got_ = false;
    int32_t result_ = 0;
    std::string text_;
};

}  // namespace kivcli

#endif
