#include "session.h"

#include <stdio.h>
#include <unistd.h>

namespace kivcli {

std::string dump(const json &j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

volatile sig_atomic_t g_interrupted = 0;

const char *play_state_name(int s) {
    switch (s) {
        case KIV_IPOD_TRACK_STATE_STOPPED:
            return "stopped";
        case KIV_IPOD_TRACK_STATE_PLAYING:
            return "playing";
        case KIV_IPOD_TRACK_STATE_PAUSED:
            return "paused";
        case KIV_IPOD_TRACK_STATE_ERROR:
            return "error";
        case KIV_IPOD_TRACK_STATE_FAST_FORWARD:
            return "fast-forward";
        case KIV_IPOD_TRACK_STATE_REWIND:
            return "rewind";
        default:
            return "unknown";
    }
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
    switch (type) {
        case KIV_IPOD_EVENT_CONNECTED:
            return "connected_ipod";
        case KIV_IPOD_EVENT_DISCONNECTED:
            return "disconnected_ipod";
        case KIV_IPOD_EVENT_FAIL_TO_DETECT:
            return "fail_to_detect";
        case KIV_IPOD_EVENT_AUTHENTICATED:
            return "authenticated";
        case KIV_IPOD_EVENT_MODE_CHANGED:
            return "mode_changed";
        case KIV_IPOD_EVENT_PLAY_STATE_CHANGED:
            return "play_state_changed";
        case KIV_IPOD_EVENT_TRACK_INDEX_CHANGED:
            return "track_index_changed";
        case KIV_IPOD_EVENT_SAMPLERATE_RETRIEVED:
            return "samplerate_retrieved";
        case KIV_IPOD_EVENT_TRACK_POSITION_CHANGED:
            return "track_position_changed";
        case KIV_IPOD_EVENT_CHAPTER_INDEX_CHANGED:
            return "chapter_index_changed";
        case KIV_IPOD_EVENT_SHUFFLE_CHANGED:
            return "shuffle_changed";
        case KIV_IPOD_EVENT_REPEAT_CHANGED:
            return "repeat_changed";
        case KIV_IPOD_EVENT_PLAYLIST_CHANGED:
            return "playlist_changed";
        case KIV_IPOD_EVENT_IPOD_READY:
            return "ipod_ready";
        case KIV_IPOD_EVENT_EAP_SESSION_OPENED:
            return "eap_session_opened";
        case KIV_IPOD_EVENT_EAP_SESSION_CLOSED:
            return "eap_session_closed";
        case KIV_IPOD_EVENT_EAP_DATA_RECEIVED:
            return "eap_data_received";
        default:
            return "unknown";
    }
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
