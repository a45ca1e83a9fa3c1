/*
 * poll_loop: the plain way to use libkiv-ipod-2 from an application's own
 * poll() loop. Connects, opens a session on the first device, asks for the
 * current track, and prints events and replies until SECONDS have passed.
 *
 *   poll_loop [SECONDS]
 */
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "kiv_ipod.h"

static int on_event(kiv_ipod_client *client, kiv_ipod_event *event, void *data) {
    (void)data;
    const char *serial = kiv_ipod_event_device_serial(event);
    printf("event type=%d device=%s\n", kiv_ipod_event_type(event), serial ? serial : "?");
    if (kiv_ipod_event_type(event) == KIV_IPOD_EVENT_TRACK_INDEX_CHANGED) kiv_ipod_current_track_info(client);
    return 0;
}

static int on_reply(kiv_ipod_client *client, uint32_t tid, int32_t result, const char *text, void *data) {
    (void)data;
    printf("reply tid=%u result=%d%s%s\n", tid, result, text ? " error=" : "", text ? text : "");
    const char *title = kiv_ipod_current_track_title(client);
    if (title) printf("now playing: %s\n", title);
    return 0;
}

static int on_ping(kiv_ipod_client *client, uint32_t tid, void *data) {
    (void)tid;
    (void)data;
    kiv_ipod_ping(client); /* answering keeps the daemon happy */
    return 0;
}

int main(int argc, char **argv) {
    int seconds = argc > 1 ? atoi(argv[1]) : 3;
    kiv_ipod_client *client = kiv_ipod_connect();
    if (client == NULL) {
        fprintf(stderr, "poll_loop: no iPod daemon\n");
        return 1;
    }
    kiv_ipod_set_event_cb(client, on_event, NULL);
    kiv_ipod_set_reply_cb(client, on_reply, NULL);
    kiv_ipod_set_ping_cb(client, on_ping, NULL);
    printf("devices: %d\n", kiv_ipod_device_count(client));
    if (kiv_ipod_device_count(client) > 0) kiv_ipod_open_session(client, 0);

    int asked = 0;
    time_t end = time(NULL) + seconds;
    while (time(NULL) < end) {
        struct pollfd pfd = {kiv_ipod_fd(client), POLLIN, 0};
        if (pfd.fd < 0) break;
        if (poll(&pfd, 1, 200) > 0 && kiv_ipod_read(client) < 0) break;
        if (!asked && kiv_ipod_is_ready(client) == 1) {
            kiv_ipod_current_track_info(client);
            kiv_ipod_play(client);
            asked = 1;
        }
    }
    int ok = asked;
    kiv_ipod_close(client);
    return ok ? 0 : 1;
}
