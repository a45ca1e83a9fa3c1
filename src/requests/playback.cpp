// Playback control and play-status requests.
#include "cache/cache.h"
#include "protocol/protocol.h"
#include "requests/request.h"

using kiv_req::send_ints;
using kiv_req::Shape;

namespace {

int32_t parse_current_track_info(kiv_ipod_client *client, const ipod_packet *reply) {
    return set_track_info(client, reply, "current_track_info", &client->current_track);
}

}  // namespace

extern "C" {

uint32_t kiv_ipod_play(kiv_ipod_client *client) {
    return send_ints(client, IPOD_OP_play, Shape::kNone);
}
int32_t kiv_ipod_play_sync(kiv_ipod_client *client) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_play(client), __func__);
}

uint32_t kiv_ipod_stop(kiv_ipod_client *client) {
    return send_ints(client, IPOD_OP_stop, Shape::kNone);
}
int32_t kiv_ipod_stop_sync(kiv_ipod_client *client) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_stop(client), __func__);
}

uint32_t kiv_ipod_pause(kiv_ipod_client *client) {
    return send_ints(client, IPOD_OP_pause, Shape::kNone);
}
int32_t kiv_ipod_pause_sync(kiv_ipod_client *client) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_pause(client), __func__);
}

uint32_t kiv_ipod_next_track(kiv_ipod_client *client) {
    return send_ints(client, IPOD_OP_next_track, Shape::kNone);
}
int32_t kiv_ipod_next_track_sync(kiv_ipod_client *client) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_next_track(client), __func__);
}

uint32_t kiv_ipod_prev_track(kiv_ipod_client *client) {
    return send_ints(client, IPOD_OP_prev_track, Shape::kNone);
}
int32_t kiv_ipod_prev_track_sync(kiv_ipod_client *client) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_prev_track(client), __func__);
}

uint32_t kiv_ipod_start_ffw(kiv_ipod_client *client) {
    return send_ints(client, IPOD_OP_start_ffw, Shape::kNone);
}
int32_t kiv_ipod_start_ffw_sync(kiv_ipod_client *client) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_start_ffw(client), __func__);
}

uint32_t kiv_ipod_start_rew(kiv_ipod_client *client) {
    return send_ints(client, IPOD_OP_start_rew, Shape::kNone);
}
int32_t kiv_ipod_start_rew_sync(kiv_ipod_client *client) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_start_rew(client), __func__);
}

uint32_t kiv_ipod_stop_ffwrew(kiv_ipod_client *client) {
    return send_ints(client, IPOD_OP_stop_ffwrew, Shape::kNone);
}
int32_t kiv_ipod_stop_ffwrew_sync(kiv_ipod_client *client) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_stop_ffwrew(client), __func__);
}

uint32_t kiv_ipod_set_position(kiv_ipod_client *client, int32_t position) {
    return send_ints(client, IPOD_OP_set_position, Shape::kInt, {position});
}
int32_t kiv_ipod_set_position_sync(kiv_ipod_client *client, int32_t position) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_set_position(client, position), __func__);
}

uint32_t kiv_ipod_current_track_info(kiv_ipod_client *client) {
    return send_ints(client, IPOD_OP_current_track_info, Shape::kNone);
}
int32_t kiv_ipod_current_track_info_sync(kiv_ipod_client *client) {
    ipod_entry entry(client);
    return kiv_req::wait_parsed(client, kiv_ipod_current_track_info(client), __func__,
                                parse_current_track_info);
}

uint32_t kiv_ipod_get_sample_rate(kiv_ipod_client *client) {
    return send_ints(client, IPOD_OP_get_sample_rate, Shape::kNone);
}

uint32_t kiv_ipod_get_play_state(kiv_ipod_client *client) {
    return send_ints(client, IPOD_OP_get_play_state, Shape::kNone);
}
int32_t kiv_ipod_get_play_state_sync(kiv_ipod_client *client) {
    ipod_entry entry(client);
    return kiv_req::wait_parsed(client, kiv_ipod_get_play_state(client), __func__, set_play_status);
}

uint32_t kiv_ipod_get_current_track_index(kiv_ipod_client *client) {
    return send_ints(client, IPOD_OP_get_current_track_index, Shape::kNone);
}
int32_t kiv_ipod_get_current_track_index_sync(kiv_ipod_client *client) {
    ipod_entry entry(client);
    int32_t result = kiv_req::wait_standard(client, kiv_ipod_get_current_track_index(client), __func__);
    // The cached index follows the reply, a failure (-1) included.
    if (client != nullptr) client->current_track.track_index = result;
    return result;
}

uint32_t kiv_ipod_set_shuffle(kiv_ipod_client *client, int32_t mode) {
    return send_ints(client, IPOD_OP_set_shuffle, Shape::kInt, {mode});
}
int32_t kiv_ipod_set_shuffle_sync(kiv_ipod_client *client, int32_t mode) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_set_shuffle(client, mode), __func__);
}

uint32_t kiv_ipod_get_shuffle(kiv_ipod_client *client) {
    return send_ints(client, IPOD_OP_get_shuffle, Shape::kNone);
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
    return send_ints(client, IPOD_OP_set_repeat, Shape::kInt, {mode});
}
int32_t kiv_ipod_set_repeat_sync(kiv_ipod_client *client, int32_t mode) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_set_repeat(client, mode), __func__);
}

uint32_t kiv_ipod_get_repeat(kiv_ipod_client *client) {
    return send_ints(client, IPOD_OP_get_repeat, Shape::kNone);
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
    return send_ints(client, IPOD_OP_get_mode, Shape::kNone);
}

uint32_t kiv_ipod_ping(kiv_ipod_client *client) {
    return send_ints(client, IPOD_OP_ping, Shape::kNone);
}

}  // extern "C"
