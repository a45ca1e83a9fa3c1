// Playback control and play-status requests.
#include "requests/request.h"

using kiv_req::Request;
using kiv_req::send_ints;
using kiv_req::Shape;

namespace {

constexpr Request kPlay{"kiv_ipod_play", 6, true, nullptr};
constexpr Request kStop{"kiv_ipod_stop", 7, true, nullptr};
constexpr Request kPause{"kiv_ipod_pause", 8, true, nullptr};
constexpr Request kNextTrack{"kiv_ipod_next_track", 9, true, nullptr};
constexpr Request kPrevTrack{"kiv_ipod_prev_track", 10, true, nullptr};
constexpr Request kStartFfw{"kiv_ipod_start_ffw", 11, true, nullptr};
constexpr Request kStartRew{"kiv_ipod_start_rew", 12, true, nullptr};
constexpr Request kStopFfwRew{"kiv_ipod_stop_ffwrew", 13, true, nullptr};
constexpr Request kSetPosition{"kiv_ipod_set_position", 14, true, nullptr};
constexpr Request kCurrentTrackInfo{"kiv_ipod_current_track_info", 15, true,
                                    &kiv_ipod_client::current_track_info_tid};
constexpr Request kGetSampleRate{"kiv_ipod_get_sample_rate", 16, true, &kiv_ipod_client::sample_rate_tid};
constexpr Request kGetPlayState{"kiv_ipod_get_play_state", 18, true, &kiv_ipod_client::play_state_tid};
constexpr Request kGetCurrentTrackIndex{"kiv_ipod_get_current_track_index", 19, true,
                                        &kiv_ipod_client::current_track_index_tid};
constexpr Request kSetShuffle{"kiv_ipod_set_shuffle", 20, true, nullptr};
constexpr Request kGetShuffle{"kiv_ipod_get_shuffle", 21, true, nullptr};
constexpr Request kSetRepeat{"kiv_ipod_set_repeat", 22, true, nullptr};
constexpr Request kGetRepeat{"kiv_ipod_get_repeat", 23, true, nullptr};
constexpr Request kGetMode{"kiv_ipod_get_mode", 41, true, nullptr};
constexpr Request kPing{"kiv_ipod_ping", 54, false, nullptr};

int32_t parse_current_track_info(kiv_ipod_client *client, const ipod_packet *reply) {
    return set_track_info(client, reply, "current_track_info", &client->current_track);
}

}  // namespace

extern "C" {

uint32_t kiv_ipod_play(kiv_ipod_client *client) {
    return send_ints(client, kPlay, Shape::kNone);
}
int32_t kiv_ipod_play_sync(kiv_ipod_client *client) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_play(client), __func__);
}

uint32_t kiv_ipod_stop(kiv_ipod_client *client) {
    return send_ints(client, kStop, Shape::kNone);
}
int32_t kiv_ipod_stop_sync(kiv_ipod_client *client) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_stop(client), __func__);
}

uint32_t kiv_ipod_pause(kiv_ipod_client *client) {
    return send_ints(client, kPause, Shape::kNone);
}
int32_t kiv_ipod_pause_sync(kiv_ipod_client *client) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_pause(client), __func__);
}

uint32_t kiv_ipod_next_track(kiv_ipod_client *client) {
    return send_ints(client, kNextTrack, Shape::kNone);
}
int32_t kiv_ipod_next_track_sync(kiv_ipod_client *client) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_next_track(client), __func__);
}

uint32_t kiv_ipod_prev_track(kiv_ipod_client *client) {
    return send_ints(client, kPrevTrack, Shape::kNone);
}
int32_t kiv_ipod_prev_track_sync(kiv_ipod_client *client) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_prev_track(client), __func__);
}

uint32_t kiv_ipod_start_ffw(kiv_ipod_client *client) {
    return send_ints(client, kStartFfw, Shape::kNone);
}
int32_t kiv_ipod_start_ffw_sync(kiv_ipod_client *client) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_start_ffw(client), __func__);
}

uint32_t kiv_ipod_start_rew(kiv_ipod_client *client) {
    return send_ints(client, kStartRew, Shape::kNone);
}
int32_t kiv_ipod_start_rew_sync(kiv_ipod_client *client) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_start_rew(client), __func__);
}

uint32_t kiv_ipod_stop_ffwrew(kiv_ipod_client *client) {
    return send_ints(client, kStopFfwRew, Shape::kNone);
}
int32_t kiv_ipod_stop_ffwrew_sync(kiv_ipod_client *client) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_stop_ffwrew(client), __func__);
}

uint32_t kiv_ipod_set_position(kiv_ipod_client *client, int32_t position) {
    return send_ints(client, kSetPosition, Shape::kInt, {position});
}
int32_t kiv_ipod_set_position_sync(kiv_ipod_client *client, int32_t position) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_set_position(client, position), __func__);
}

uint32_t kiv_ipod_current_track_info(kiv_ipod_client *client) {
    return send_ints(client, kCurrentTrackInfo, Shape::kNone);
}
int32_t kiv_ipod_current_track_info_sync(kiv_ipod_client *client) {
    ipod_entry entry(client);
    return kiv_req::wait_parsed(client, kiv_ipod_current_track_info(client), __func__,
                                parse_current_track_info);
}

uint32_t kiv_ipod_get_sample_rate(kiv_ipod_client *client) {
    return send_ints(client, kGetSampleRate, Shape::kNone);
}

uint32_t kiv_ipod_get_play_state(kiv_ipod_client *client) {
    return send_ints(client, kGetPlayState, Shape::kNone);
}
int32_t kiv_ipod_get_play_state_sync(kiv_ipod_client *client) {
    ipod_entry entry(client);
    return kiv_req::wait_parsed(client, kiv_ipod_get_play_state(client), __func__, set_play_status);
}

uint32_t kiv_ipod_get_current_track_index(kiv_ipod_client *client) {
    return send_ints(client, kGetCurrentTrackIndex, Shape::kNone);
}
int32_t kiv_ipod_get_current_track_index_sync(kiv_ipod_client *client) {
    ipod_entry entry(client);
    int32_t result = kiv_req::wait_standard(client, kiv_ipod_get_current_track_index(client), __func__);
    // The cached index follows the reply, a failure (-1) included.
    if (client != nullptr) client->current_track.track_index = result;
    return result;
}

uint32_t kiv_ipod_set_shuffle(kiv_ipod_client *client, int32_t mode) {
    return send_ints(client, kSetShuffle, Shape::kInt, {mode});
}
int32_t kiv_ipod_set_shuffle_sync(kiv_ipod_client *client, int32_t mode) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_set_shuffle(client, mode), __func__);
}

uint32_t kiv_ipod_get_shuffle(kiv_ipod_client *client) {
    return send_ints(client, kGetShuffle, Shape::kNone);
}
int32_t _kiv_ipod_get_shuffle_sync(kiv_ipod_client *client) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_get_shuffle(client), __func__);
}
int32_t kiv_ipod_get_shuffle_sync(kiv_ipod_client *client) {
    ipod_entry entry(client);
    // The same wait, under this function's own name.
    return kiv_req::wait_standard(client, kiv_ipod_get_shuffle(client), __func__);
}

uint32_t kiv_ipod_set_repeat(kiv_ipod_client *client, int32_t mode) {
    return send_ints(client, kSetRepeat, Shape::kInt, {mode});
}
int32_t kiv_ipod_set_repeat_sync(kiv_ipod_client *client, int32_t mode) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_set_repeat(client, mode), __func__);
}

uint32_t kiv_ipod_get_repeat(kiv_ipod_client *client) {
    return send_ints(client, kGetRepeat, Shape::kNone);
}
int32_t _kiv_ipod_get_repeat_sync(kiv_ipod_client *client) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_get_repeat(client), __func__);
}
int32_t kiv_ipod_get_repeat_sync(kiv_ipod_client *client) {
    ipod_entry entry(client);
    // The same wait, under this function's own name.
    return kiv_req::wait_standard(client, kiv_ipod_get_repeat(client), __func__);
}

uint32_t kiv_ipod_get_mode(kiv_ipod_client *client) {
    return send_ints(client, kGetMode, Shape::kNone);
}

uint32_t kiv_ipod_ping(kiv_ipod_client *client) {
    return send_ints(client, kPing, Shape::kNone);
}

}  // extern "C"
