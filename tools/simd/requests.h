// The requests the simulator serves, one small handler per opcode of the
// protocol table, and the simulated state they act on.
#ifndef KIV_SIMD_REQUESTS_H
#define KIV_SIMD_REQUESTS_H

#include <stddef.h>

#include <chrono>
#include <string>

#include "browser.h"
#include "device.h"
#include "media.h"
#include "player.h"
#include "protocol/protocol.h"
#include "session.h"
#include "wire.h"

namespace simd {

// What a request can cause beyond its reply; the daemon delivers it.
class Outbox {
public:
    // To every client whose session is open (`only`, when set: to it alone).
    virtual void media_event(ipod_event_type type, const Value &data, const Session *only = nullptr) = 0;
    // To every client.
    virtual void device_event(ipod_event_type type, const Value &data) = 0;
    // To the requesting client, right after the reply.
    virtual void after_reply(ipod_event_type type, const Value &data) = 0;
    virtual void hotplug() = 0;
    virtual size_t client_count() const = 0;
    virtual void note(const std::string &line) = 0;

protected:
    ~Outbox() = default;
};

// The simulated iPod and the daemon's settings, as the requests see them.
struct Simulation {
    Simulation(const Library &lib, Outbox &outbox);

    const Library &library;
    Outbox &out;
    Device device;
    Player player;
    Browser browser;
    std::string art_dir;  // the private directory of shared artwork files
    int next_eap_session = 1;
    int preferences[14] = {0};
    int videoout_options[2] = {0, 0};
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
};

// One request: its handler, and whether it needs the iPod attached and
// a session open (a request that does gets an error otherwise).
struct RequestHandler {
    Value (*serve)(Simulation &sim, Session &s, const Value *arg);
    bool needs_session;
};

// The handler of an opcode, or null for an opcode that is no request the
// simulator serves (the ping and the control request are served apart).
const RequestHandler *request_handler(unsigned opcode);

// {"error": text}
Value error_reply(const std::string &text);

}  // namespace simd

#endif
