#include "session.h"

#include <stdio.h>
#include <unistd.h>

#include "protocol/protocol.h"

namespace kivcli {

std::string dump(const json &j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

volatile sig_atomic_t g_interrupted = 0;

const char *play_state_name(int s) {
    const char *name = ipod_track_state_name(s);
    return name != nullptr ? name : "unknown";
}
const char *shuffle_name(int s) {
    return s == KIV_IPOD_SHUFFLE_OFF      ? "off"
           : s == KIV_IPOD_SHUFFLE_TRACKS ? "tracks"
           : s == KIV_IPOD_SHUFFLE_ALBUMS ? "albums"
                                          : "unknown";
}
const char *repeat_name(int s) {
    return s == KIV_IPOD_REPEAT_OFF   ? "off"
           : s == KIV_IPOD_REPEAT_ONE ? "one"
           : s == KIV_IPOD_REPEAT_ALL ? "all"
                                      : "unknown";
}

std::string mmss(int ms) {
    if (ms < 0) return "--:--";
    char buf[32];
    const int seconds = ms / KIV_IPOD_TIME_UNITS_PER_SECOND;
    snprintf(buf, sizeof buf, "%d:%02d", seconds / 60, seconds % 60);
    return buf;
}

std::string hex(const unsigned char *p, size_t n) {
    std::string out;
    char b[4];
    for (size_t k = 0; k < n; k++) {
        snprintf(b, sizeof b, "%02x", p[k]);
        out += b;
    }
    return out;
}

std::string str(const char *s) {
    return s ? s : "";
}

const char *event_name(int type) {
    const char *name = ipod_event_name(type);
    return name != nullptr ? name : "unknown";
}

std::string Ctx::no_connection_text(Clock::duration waited) const {
    if (const char *refusal = kiv_ipod_connect_error())
        return std::string("the daemon refused the connection: ") + refusal;
    // A second, plain connection tells the two apart.
    int fd = connect_to_server();
    if (fd < 0) return "no daemon reachable";
    close(fd);
    if (waited >= std::chrono::milliseconds(timeout_ms) - std::chrono::milliseconds(1))
        return "the daemon accepted the connection but did not answer within " + std::to_string(timeout_ms) +
               " ms";
    return "the daemon accepted the connection but closed it without answering";
}

}  // namespace kivcli
