// Events and devices: decoding of the daemon's events with their effects
// on the handle, and the device registry that gates requests.
#ifndef KIV_EVENTS_EVENTS_H
#define KIV_EVENTS_EVENTS_H

#include <stdint.h>

#include "kiv_ipod.h"

struct ipod_packet;

#ifdef __cplusplus
extern "C" {
#endif

struct kiv_ipod_event {
    int32_t type;
    int16_t session;
    uint16_t ipod_id;
    char *serial;
    serialize_value *data;
    // The decoded packet, released with the event; `serial` and `data`
    // point into it rather than being copies.
    serialize_value *payload;
};

// Decodes an opcode-1 packet and applies its effects on the handle.
kiv_ipod_event *event_decode(kiv_ipod_client *client, const struct ipod_packet *packet);

int is_device_available(kiv_ipod_client *client, int index);
void update_device(kiv_ipod_client *client, const serialize_value *record);
// A copy of a device list that the daemon sent whole (opening reply,
// session opening), keeping at most KIV_IPOD_MAX_DEVICES records (the
// rest is dropped with one error line naming `name`); null when `devices`
// is not an array or memory runs out.
serialize_value *copy_device_list(const serialize_value *devices, const char *name);
int get_current_ipod_id(kiv_ipod_client *client);
// Removes the record at `index` from the device list.
void remove_device(kiv_ipod_client *client, int index);
// Index of the device whose "serial" is `serial`, or -1; one walk over the
// list, without a log line.
int find_device(kiv_ipod_client *client, const char *serial);

#ifdef __cplusplus
}
#endif

#endif  // KIV_EVENTS_EVENTS_H
