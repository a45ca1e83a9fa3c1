/**
 * @file
 * Events (read inside the event callback), the device list and sessions.
 *
 * Part of the interface of libkiv-ipod-2; applications include
 * kiv_ipod.h, which includes this header.
 */
#ifndef KIV_IPOD_EVENTS_H
#define KIV_IPOD_EVENTS_H

#include <stdint.h>

#include "kiv_ipod/compiler.h"
#include "kiv_ipod/connection.h"
#include "kiv_ipod/values.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Events (valid only inside the event callback)
 * ---------------------------------------------------------------------- */

/** Event type "connected_ipod": a device was attached (data: device hash). */
#define KIV_IPOD_EVENT_CONNECTED 1
/** Event type "disconnected_ipod": a device went away (data: its serial). */
#define KIV_IPOD_EVENT_DISCONNECTED 2
/** Event type "fail_to_detect": a device could not be identified. */
#define KIV_IPOD_EVENT_FAIL_TO_DETECT 3
/** Event type "authenticated" (data: device hash with "authenticated"). */
#define KIV_IPOD_EVENT_AUTHENTICATED 4
/** Event type "mode_changed" (data: device hash with "extended"). */
#define KIV_IPOD_EVENT_MODE_CHANGED 5
/** Event type "play_state_changed" (data: the daemon's play state code). */
#define KIV_IPOD_EVENT_PLAY_STATE_CHANGED 6
/** Event type "track_index_changed" (data: the track index). */
#define KIV_IPOD_EVENT_TRACK_INDEX_CHANGED 7
/** Event type "samplerate_retrieved" (data: the sample rate). */
#define KIV_IPOD_EVENT_SAMPLERATE_RETRIEVED 9
/** Event type "track_position_changed" (data: the position). */
#define KIV_IPOD_EVENT_TRACK_POSITION_CHANGED 10
/** Event type "chapter_index_changed" (data: track, chapter index and count). */
#define KIV_IPOD_EVENT_CHAPTER_INDEX_CHANGED 11
/** Event type "shuffle_changed" (data: the shuffle state). */
#define KIV_IPOD_EVENT_SHUFFLE_CHANGED 12
/** Event type "repeat_changed" (data: the repeat state). */
#define KIV_IPOD_EVENT_REPEAT_CHANGED 13
/** Event type "playlist_changed". */
#define KIV_IPOD_EVENT_PLAYLIST_CHANGED 14
/** Event type "ipod_ready" (data: device hash); readiness is recomputed. */
#define KIV_IPOD_EVENT_IPOD_READY 15
/** Event type "eap_session_opened" (data: session id, protocol index and string). */
#define KIV_IPOD_EVENT_EAP_SESSION_OPENED 18
/** Event type "eap_session_closed" (data: session id). */
#define KIV_IPOD_EVENT_EAP_SESSION_CLOSED 19
/** Event type "eap_data_received" (data: session id, length, bytes). */
#define KIV_IPOD_EVENT_EAP_DATA_RECEIVED 20
/** Event type Any other event name. */
#define KIV_IPOD_EVENT_UNKNOWN 255

/** The event's type number; 255 for NULL or an unknown event. */
KIV_EXPORT int kiv_ipod_event_type(kiv_ipod_event *event);
/** 1 for the types 1, 4, 5, 15, 18 and 19, else 0. */
KIV_EXPORT int is_connection_event(kiv_ipod_event *event);
/** The event's "ipod_serial" text (borrowed from the event), or NULL. */
KIV_EXPORT const char *kiv_ipod_event_device_serial(kiv_ipod_event *event);
/** For a connection event (see is_connection_event()), the "serial" of its
 *  data; NULL otherwise or when missing. Borrowed from the event. */
KIV_EXPORT const char *kiv_ipod_event_connected_serial(kiv_ipod_event *event);
/** For a disconnection event, the serial of the device that went away;
 *  NULL otherwise. Borrowed from the event. */
KIV_EXPORT const char *kiv_ipod_event_disconnected_serial(kiv_ipod_event *event);
/** For an authenticated event, its "authenticated" integer; -1 otherwise
 *  or when missing. */
KIV_EXPORT int kiv_ipod_event_authenticated(kiv_ipod_event *event);
/** For a mode-changed event, its "extended" integer; -1 otherwise or when
 *  missing. */
KIV_EXPORT int kiv_ipod_event_mode_changed(kiv_ipod_event *event);
/** For an EAP data event, the datagram length: its "length", but never
 *  more than the bytes it carries; -1 otherwise or when missing. */
KIV_EXPORT int kiv_ipod_event_eap_datagram_data_length(kiv_ipod_event *event);
/** For an EAP data event, the datagram bytes (borrowed from the event;
 *  read kiv_ipod_event_eap_datagram_data_length() of them); NULL otherwise
 *  (logged, with the data) or when missing. */
KIV_EXPORT const unsigned char *kiv_ipod_event_eap_datagram_data(kiv_ipod_event *event);
/** For an EAP session-opened event, its "protocol_string" (borrowed);
 *  NULL otherwise (logged) or when missing. */
KIV_EXPORT const char *kiv_ipod_event_eap_datagram_protocol_string(kiv_ipod_event *event);
/** For an EAP session-opened event, its "protocol_index"; -1 otherwise
 *  (logged) or when missing. */
KIV_EXPORT int kiv_ipod_event_eap_datagram_protocol_index(kiv_ipod_event *event);
/** For any of the three EAP events, its "session_id"; -1 otherwise
 *  (logged) or when missing. */
KIV_EXPORT int kiv_ipod_event_eap_datagram_session_id(kiv_ipod_event *event);
/** Frees an event with its data. The library frees the events it hands
 *  to the callback itself; NULL does nothing. */
KIV_EXPORT void kiv_ipod_event_free(kiv_ipod_event *event);

/** The event's "data" value as the daemon sent it, borrowed from the event
 *  (valid until the event callback returns, like the event itself), or
 *  NULL when the event carried none or @p event is NULL. Read it with the
 *  serialize_*() accessors; its shape depends on the event type.
 *  Extension, added in 2.0. */
KIV_EXPORT const serialize_value *kiv_ipod_event_data(kiv_ipod_event *event);

/** The daemon's name of an event type (#KIV_IPOD_EVENT_CONNECTED gives
 *  "connected_ipod", and so on), static storage; NULL for a number that
 *  names no event. Extension, added in 2.1. */
KIV_EXPORT const char *kiv_ipod_event_name(int type);

/* ------------------------------------------------------------------------
 * Devices and sessions
 * ---------------------------------------------------------------------- */

/** Recomputes readiness from device @p index: 1 (ready) when its
 *  "authenticated", "extended" and "ready" are all 1. @return 1, or the
 *  first of those values that is not 1 (0 for an unknown index). */
KIV_EXPORT int set_ready(kiv_ipod_client *client, int index);
/** Number of devices in the list; 0 before the daemon has sent one.
 *  Device events add at most #KIV_IPOD_MAX_DEVICES devices. */
KIV_EXPORT int kiv_ipod_device_count(kiv_ipod_client *client);
/** Index of the device whose serial is @p serial, or -1 (also for NULL). */
KIV_EXPORT int kiv_ipod_device_index(kiv_ipod_client *client, const char *serial);
/** Index of the current device; -1 after it disconnected. */
KIV_EXPORT int kiv_ipod_current_session(kiv_ipod_client *client);
/** Makes device @p index current without any check or request.
 *  @return @p index. */
KIV_EXPORT int kiv_ipod_set_current_session(kiv_ipod_client *client, int index);
/** Device @p index's "serial" text, borrowed until that device record is
 *  replaced or removed; NULL for an unknown index or a missing entry. */
KIV_EXPORT const char *kiv_ipod_device_serial(kiv_ipod_client *client, int index);
/** Device @p index's "name" text, borrowed until that device record is
 *  replaced or removed; NULL for an unknown index or a missing entry. */
KIV_EXPORT const char *kiv_ipod_device_name(kiv_ipod_client *client, int index);
/** Device @p index's "version" text (software version), borrowed until that device record is
 *  replaced or removed; NULL for an unknown index or a missing entry. */
KIV_EXPORT const char *kiv_ipod_software_version(kiv_ipod_client *client, int index);
/** Device @p index's "audio_count" integer; 0 for an unknown index or a missing entry. */
KIV_EXPORT int kiv_ipod_device_audio_count(kiv_ipod_client *client, int index);
/** Device @p index's "support_itunes_db" integer; 0 for an unknown index or a missing entry. */
KIV_EXPORT int kiv_ipod_device_support_itunes_db(kiv_ipod_client *client, int index);
/** Device @p index's "ready" integer; 0 for an unknown index or a missing entry. */
KIV_EXPORT int kiv_ipod_device_ready(kiv_ipod_client *client, int index);
/** Device @p index's "extended" integer; 0 for an unknown index or a missing entry. */
KIV_EXPORT int kiv_ipod_device_is_extended(kiv_ipod_client *client, int index);
/** Device @p index's "authenticated" integer; 0 for an unknown index or a missing entry. */
KIV_EXPORT int kiv_ipod_device_authenticated(kiv_ipod_client *client, int index);
/** Device @p index's "product_id" integer; 0 for an unknown index or a missing entry. */
KIV_EXPORT int kiv_ipod_device_product_id(kiv_ipod_client *client, int index);
/** Device @p index's "sound_card_id" integer; 0 for an unknown index or a missing entry. */
KIV_EXPORT int kiv_ipod_device_sound_card_id(kiv_ipod_client *client, int index);
/** Device @p index's "port" integer; 0 for an unknown index or a missing entry. */
KIV_EXPORT int kiv_ipod_device_port(kiv_ipod_client *client, int index);
/** Device @p index's "used" integer; 0 for an unknown index or a missing entry. */
KIV_EXPORT int kiv_ipod_device_used(kiv_ipod_client *client, int index);
/** Device @p index's "type" integer; 0 for an unknown index or a missing entry. */
KIV_EXPORT int kiv_ipod_device_type(kiv_ipod_client *client, int index);

/** Most devices that device events ("connected_ipod", "authenticated",
 *  "mode_changed", "ipod_ready") add to the device list. An event for a
 *  serial that is already listed still overwrites its record; one for a new
 *  serial while the list holds this many devices is delivered to the event
 *  callback but not added (an error line is logged). A list that the
 *  daemon sends whole (connection, session opening) keeps its first this
 *  many records, with one error line "<function>, 64 devices listed, the
 *  rest not kept.". Extension, added in 2.0. */
#define KIV_IPOD_MAX_DEVICES 64

#ifdef __cplusplus
}
#endif

#endif /* KIV_IPOD_EVENTS_H */
