/*
 * sync_script: script-style use of the blocking _sync requests. Each call
 * sends one request and returns its decoded result; events that arrive in
 * the meantime still reach the event callback.
 */
#include <stdio.h>

#include "kiv_ipod.h"

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
    printf("track: %s by %s\n", kiv_ipod_current_track_title(client), kiv_ipod_current_track_artist(client));
    printf("play: %d\n", kiv_ipod_play_sync(client));
    printf("next: %d\n", kiv_ipod_next_track_sync(client));
    printf("state: %d\n", kiv_ipod_get_play_state_sync(client));
    printf("pause: %d\n", kiv_ipod_pause_sync(client));
    status = 0;
out:
    kiv_ipod_close(client);
    return status;
}
