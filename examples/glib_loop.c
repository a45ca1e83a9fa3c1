/*
 * glib_loop: integration into a GLib main loop. The daemon socket is
 * watched with g_unix_fd_add; each time it is readable kiv_ipod_read runs
 * the callbacks. A timeout ends the loop.
 */
#include <glib-unix.h>
#include <glib.h>
#include <stdio.h>

#include "kiv_ipod.h"

typedef struct {
    kiv_ipod_client *client;
    GMainLoop *loop;
    int events;
    int replies;
} app_state;

static int on_event(kiv_ipod_client *client, kiv_ipod_event *event, void *data) {
    (void)client;
    app_state *app = data;
    app->events++;
    printf("event %d\n", kiv_ipod_event_type(event));
    return 0;
}

static int on_reply(kiv_ipod_client *client, uint32_t tid, int32_t result, const char *text, void *data) {
    app_state *app = data;
    app->replies++;
    printf("reply %u: %d%s%s\n", tid, result, text ? " " : "", text ? text : "");
    if (kiv_ipod_is_ready(client) == 1 && app->replies == 1) kiv_ipod_play(client);
    return 0;
}

static gboolean on_readable(gint fd, GIOCondition condition, gpointer data) {
    (void)fd;
    (void)condition;
    app_state *app = data;
    if (kiv_ipod_read(app->client) < 0) {
        g_main_loop_quit(app->loop);
        return G_SOURCE_REMOVE;
    }
    return G_SOURCE_CONTINUE;
}

static gboolean on_timeout(gpointer data) {
    g_main_loop_quit(((app_state *)data)->loop);
    return G_SOURCE_REMOVE;
}

int main(void) {
    app_state app = {kiv_ipod_connect(), g_main_loop_new(NULL, FALSE), 0, 0};
    if (app.client == NULL) {
        fprintf(stderr, "glib_loop: no iPod daemon\n");
        g_main_loop_unref(app.loop);
        return 1;
    }
    kiv_ipod_set_event_cb(app.client, on_event, &app);
    kiv_ipod_set_reply_cb(app.client, on_reply, &app);
    if (kiv_ipod_device_count(app.client) > 0) kiv_ipod_open_session(app.client, 0);
    g_unix_fd_add(kiv_ipod_fd(app.client), G_IO_IN | G_IO_HUP | G_IO_ERR, on_readable, &app);
    g_timeout_add(2500, on_timeout, &app);
    g_main_loop_run(app.loop);
    printf("events=%d replies=%d\n", app.events, app.replies);
    int ok = app.replies > 0;
    kiv_ipod_close(app.client);
    g_main_loop_unref(app.loop);
    return ok ? 0 : 1;
}
