/*
 * sync_script: script-style use of the blocking _sync requests. Each call
 * sends one request and returns its decoded result; events that arrive in
 * the meantime still reach the event callback.
 */
#include <stdio.h>

#include "kiv_ipod.h"

/* kiv_ipod_get_play_state_sync() answers with the daemon's play status. */
static const char *status_name(int32_t status) {
    switch (status) {
        case KIV_IPOD_WIRE_STATUS_STOPPED:
            return "stopped";
        case KIV_IPOD_WIRE_STATUS_PLAYING:
            return "playing";
        case KIV_IPOD_WIRE_STATUS_PAUSED:
            return "paused";
        case KIV_IPOD_WIRE_STATUS_FAST_FORWARD:
            return "fast forward";
        case KIV_IPOD_WIRE_STATUS_REWIND:
            return "rewind";
        case KIV_IPOD_WIRE_STATUS_ERROR:
            return "error";
        default:
            return "unknown";
    }
}

static int on_event(kiv_ipod_client *client, kiv_ipod_event *event, void *data) {
    (void)client;
    (void)data;
    printf("  (event %d)\n", kiv_ipod_event_type(event));
    return 0;
}

int main(void) {
    kiv_ipod_client *client = kiv_ipod_connect();
    if (client == NULL) {
        fprintf(stderr, "sync_script: no iPod daemon\n");
        return 1;
    }
    kiv_ipod_set_event_cb(client, on_event, NULL);
    int status = 1;
    if (kiv_ipod_device_count(client) < 1 || kiv_ipod_open_session_sync(client, 0) != 1) {
        fprintf(stderr, "sync_script: could not open a session\n");
        goto out;
    }
    printf("device: %s (%s)\n", kiv_ipod_device_name(client, 0), kiv_ipod_device_serial(client, 0));
    if (kiv_ipod_current_track_info_sync(client) < 0) goto out;
    int length_s = kiv_ipod_current_track_length(client) / KIV_IPOD_TIME_UNITS_PER_SECOND;
    printf("track: %s by %s (%d:%02d)\n", kiv_ipod_current_track_title(client),
           kiv_ipod_current_track_artist(client), length_s / 60, length_s % 60);
    printf("play: %d\n", kiv_ipod_play_sync(client));
    printf("next: %d\n", kiv_ipod_next_track_sync(client));
    printf("state: %s\n", status_name(kiv_ipod_get_play_state_sync(client)));
    if (kiv_ipod_set_repeat_sync(client, KIV_IPOD_REPEAT_ALL) < 0) {
        const char *why = kiv_ipod_last_error(client);
        printf("repeat refused: %s\n", why ? why : "no reply");
    }
    printf("pause: %d\n", kiv_ipod_pause_sync(client));
    status = 0;
out:
    kiv_ipod_close(client);
    return status;
}
