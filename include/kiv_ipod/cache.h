/**
 * @file
 * What the handle caches: the current and the indexed track, artwork, the
 * lingo version and database results.
 *
 * Part of the interface of libkiv-ipod-2; applications include
 * kiv_ipod.h, which includes this header.
 */
#ifndef KIV_IPOD_CACHE_H
#define KIV_IPOD_CACHE_H

#include <stdint.h>

#include "kiv_ipod/compiler.h"
#include "kiv_ipod/connection.h"
#include "kiv_ipod/values.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Play states, times and artwork format
 * ---------------------------------------------------------------------- */

/**
 * @defgroup numbers Named numbers
 * Every number that the interface passes in or out has a name here. The
 * functions keep their integer types; these enumerations name the values.
 *
 * Two numberings of the play state exist and must not be mixed:
 * - ::kiv_ipod_track_state (KIV_IPOD_TRACK_STATE_...) is what
 *   kiv_ipod_current_track_state() returns;
 * - ::kiv_ipod_wire_play_status (KIV_IPOD_WIRE_STATUS_...) is the daemon's
 *   own code: what kiv_ipod_get_play_state_sync() returns and what a
 *   "play_state_changed" event carries as its data.
 * @{
 */

/** Play state as kiv_ipod_current_track_state() returns it (-1: unknown). */
typedef enum kiv_ipod_track_state {
    KIV_IPOD_TRACK_STATE_STOPPED = 0,      /**< nothing is playing */
    KIV_IPOD_TRACK_STATE_PLAYING = 1,      /**< playing */
    KIV_IPOD_TRACK_STATE_PAUSED = 2,       /**< paused */
    KIV_IPOD_TRACK_STATE_ERROR = 3,        /**< the device reports an error */
    KIV_IPOD_TRACK_STATE_FAST_FORWARD = 4, /**< seeking forward */
    KIV_IPOD_TRACK_STATE_REWIND = 5        /**< seeking backward */
} kiv_ipod_track_state;

/** The daemon's play status code: the result of kiv_ipod_get_play_state_sync(),
 *  the data of a "play_state_changed" event and the "state" of a track
 *  information reply. kiv_ipod_current_track_state() translates it into a
 *  ::kiv_ipod_track_state. */
typedef enum kiv_ipod_wire_play_status {
    KIV_IPOD_WIRE_STATUS_STOPPED = 0,      /**< nothing is playing */
    KIV_IPOD_WIRE_STATUS_FAST_FORWARD = 1, /**< seeking forward */
    KIV_IPOD_WIRE_STATUS_REWIND = 2,       /**< seeking backward */
    KIV_IPOD_WIRE_STATUS_PLAYING = 3,      /**< playing */
    KIV_IPOD_WIRE_STATUS_PAUSED = 4,       /**< paused */
    KIV_IPOD_WIRE_STATUS_ERROR = 5         /**< the device reports an error */
} kiv_ipod_wire_play_status;

/** Track lengths, play positions (kiv_ipod_current_track_length(),
 *  kiv_ipod_current_track_position(), kiv_ipod_set_position() and the
 *  "track_position_changed" event) count milliseconds: this many make a
 *  second. The library passes them through unchanged. */
#define KIV_IPOD_TIME_UNITS_PER_SECOND 1000

/** Artwork pixels (kiv_ipod_current_track_artwork_data()) are RGB565: one
 *  16-bit little-endian word per pixel, red in the top 5 bits, green in the
 *  middle 6, blue in the low 5; each row takes
 *  kiv_ipod_current_track_artwork_rowstride() bytes. */
#define KIV_IPOD_ARTWORK_FORMAT_RGB565 565
/** Bytes per artwork pixel in ::KIV_IPOD_ARTWORK_FORMAT_RGB565. */
#define KIV_IPOD_ARTWORK_BYTES_PER_PIXEL 2
/** Artwork size argument of kiv_ipod_current_track_artwork() that asks the
 *  daemon for its default edge length; a positive value asks for an image
 *  that many pixels on its longer edge. */
#define KIV_IPOD_ARTWORK_SIZE_DEFAULT 0

/** @} */

/* ------------------------------------------------------------------------
 * Cached current and indexed track
 * ---------------------------------------------------------------------- */

/** Cached title of the current track, or NULL. Borrowed until the next
 *  reply that supersedes it, a cache reset or kiv_ipod_close(). */
KIV_EXPORT const char *kiv_ipod_current_track_title(kiv_ipod_client *client);
/** 8 bytes, or NULL. */
KIV_EXPORT const unsigned char *kiv_ipod_current_track_uid(kiv_ipod_client *client);
/** Cached chapter text of the current track, or NULL. Borrowed until the next
 *  reply that supersedes it, a cache reset or kiv_ipod_close(). */
KIV_EXPORT const char *kiv_ipod_current_track_chapter(kiv_ipod_client *client);
/** Cached artist of the current track, or NULL. Borrowed until the next
 *  reply that supersedes it, a cache reset or kiv_ipod_close(). */
KIV_EXPORT const char *kiv_ipod_current_track_artist(kiv_ipod_client *client);
/** Cached album of the current track, or NULL. Borrowed until the next
 *  reply that supersedes it, a cache reset or kiv_ipod_close(). */
KIV_EXPORT const char *kiv_ipod_current_track_album(kiv_ipod_client *client);
/** Cached composer of the current track, or NULL. Borrowed until the next
 *  reply that supersedes it, a cache reset or kiv_ipod_close(). */
KIV_EXPORT const char *kiv_ipod_current_track_composer(kiv_ipod_client *client);
/** Cached genre of the current track, or NULL. Borrowed until the next
 *  reply that supersedes it, a cache reset or kiv_ipod_close(). */
KIV_EXPORT const char *kiv_ipod_current_track_genre(kiv_ipod_client *client);
/** Cached number of tracks of the current track; -1 when not known. */
KIV_EXPORT int kiv_ipod_current_number_of_tracks(kiv_ipod_client *client);
/** Cached index of the current track of the current track; -1 when not known. */
KIV_EXPORT int kiv_ipod_current_track_index(kiv_ipod_client *client);
/** Cached chapter index of the current track; -1 when not known. */
KIV_EXPORT int kiv_ipod_current_chapter_index(kiv_ipod_client *client);
/** Cached chapter count of the current track; 0 when not known. */
KIV_EXPORT int kiv_ipod_current_chapter_count(kiv_ipod_client *client);
/** Cached length, in the daemon's units, of the current track; -1 when not known. */
KIV_EXPORT int kiv_ipod_current_track_length(kiv_ipod_client *client);
/** Cached play position, in the daemon's units, of the current track; -1 when not known. */
KIV_EXPORT int kiv_ipod_current_track_position(kiv_ipod_client *client);
/** Play state: stored codes 0..5 map to 0, 4, 5, 1, 2, 3; else -1. */
KIV_EXPORT int kiv_ipod_current_track_state(kiv_ipod_client *client);
/** Cached "timestamp" of the current track; 0 when not known. */
KIV_EXPORT int kiv_ipod_current_track_timestamp(kiv_ipod_client *client);
/** Cached "timestamp_usec" of the current track; 0 when not known. */
KIV_EXPORT int kiv_ipod_current_track_timestamp_usec(kiv_ipod_client *client);
/** Cached "artwork" flag of the current track; 0 when not known. */
KIV_EXPORT int kiv_ipod_current_track_has_artwork(kiv_ipod_client *client);
/** Cached "has_chapters" flag of the current track; 0 when not known. */
KIV_EXPORT int kiv_ipod_current_track_has_chapters(kiv_ipod_client *client);
/** Cached "is_audiobook" flag of the current track; 0 when not known. */
KIV_EXPORT int kiv_ipod_current_track_is_audiobook(kiv_ipod_client *client);
/** Cached "is_podcast" flag of the current track; 0 when not known. */
KIV_EXPORT int kiv_ipod_current_track_is_podcast(kiv_ipod_client *client);
/** Cached sample rate of the current track; -1 when not known. */
KIV_EXPORT int kiv_ipod_current_sample_rate(kiv_ipod_client *client);
/** Shuffle state from the last "shuffle_changed" event of the current
 *  device; -1 when not known. */
KIV_EXPORT int kiv_ipod_current_shuffle_state(kiv_ipod_client *client);
/** Repeat state from the last "repeat_changed" event of the current
 *  device; -1 when not known. */
KIV_EXPORT int kiv_ipod_current_repeat_state(kiv_ipod_client *client);
/** 8-byte uid of the track last asked for by index, or NULL (borrowed). */
KIV_EXPORT const unsigned char *kiv_ipod_indexed_track_uid(kiv_ipod_client *client);
/** Cached title of the track last asked for by index, or NULL
 *  (borrowed); logs it. */
KIV_EXPORT const char *kiv_ipod_indexed_track_title(kiv_ipod_client *client);
/** Cached artist of the track last asked for by index, or NULL
 *  (borrowed); logs it. */
KIV_EXPORT const char *kiv_ipod_indexed_track_artist(kiv_ipod_client *client);
/** Cached album of the track last asked for by index, or NULL
 *  (borrowed); logs it. */
KIV_EXPORT const char *kiv_ipod_indexed_track_album(kiv_ipod_client *client);
/** Cached length of the track last asked for by index; -1 when not known; logs it. */
KIV_EXPORT int kiv_ipod_indexed_track_length(kiv_ipod_client *client);
/** Cached chapter count of the track last asked for by index; 0 when not known; logs it. */
KIV_EXPORT int kiv_ipod_indexed_track_chapter_count(kiv_ipod_client *client);
/** Cached "is_audiobook" flag of the track last asked for by index; 0 when not known; logs it. */
KIV_EXPORT int kiv_ipod_indexed_track_is_audiobook(kiv_ipod_client *client);
/** Cached "is_podcast" flag of the track last asked for by index; 0 when not known; logs it. */
KIV_EXPORT int kiv_ipod_indexed_track_is_podcast(kiv_ipod_client *client);
/** The indexed track as an array of 9 values (title, uid or "", artist,
 *  album, then length, track index, audiobook, podcast and chapter count
 *  as decimal texts), rebuilt by every indexed-track reply; NULL before.
 *  Borrowed until the next such reply, a cache reset or kiv_ipod_close(). */
KIV_EXPORT serialize_value *kiv_ipod_get_result_indexed_track_info(kiv_ipod_client *client);

/* ------------------------------------------------------------------------
 * Cached artwork, version and database results
 * ---------------------------------------------------------------------- */

/** Width of the cached artwork; 0 when none. */
KIV_EXPORT int kiv_ipod_current_track_artwork_width(kiv_ipod_client *client);
/** Height in rows of the cached artwork; 0 when none. */
KIV_EXPORT int kiv_ipod_current_track_artwork_height(kiv_ipod_client *client);
/** Bytes per row of the cached artwork; 0 when none. */
KIV_EXPORT int kiv_ipod_current_track_artwork_rowstride(kiv_ipod_client *client);
/** rowstride x height; artwork_data() always holds at least that many. */
KIV_EXPORT uint32_t kiv_ipod_current_track_artwork_length(kiv_ipod_client *client);
/** The artwork pixels (in the daemon's format), or NULL: the handle's own
 *  copy, taken from the reply or read from the daemon's artwork file (the
 *  file is read, never mapped). Borrowed until the next artwork reply, a
 *  cache reset or kiv_ipod_close(). */
KIV_EXPORT const unsigned char *kiv_ipod_current_track_artwork_data(kiv_ipod_client *client);
/** The category field; no reply writes it, so it is 0. */
KIV_EXPORT int kiv_ipod_get_category(kiv_ipod_client *client);
/** Count from the last set-category or select-database reply (-1 after
 *  a failed blocking one); 0 after a cache reset. */
KIV_EXPORT int kiv_ipod_record_count(kiv_ipod_client *client);
/** The last records reply as decoded (an array: unused, result, first
 *  index, count, then the record texts), or NULL. Borrowed until the next
 *  records reply, a cache reset or kiv_ipod_close(). */
KIV_EXPORT serialize_value *kiv_ipod_records(kiv_ipod_client *client);
/** Text of record @p index of the last records reply, or NULL when the
 *  reply carried no records or @p index is outside its window. Borrowed
 *  like kiv_ipod_records(). */
KIV_EXPORT const char *kiv_ipod_record(kiv_ipod_client *client, int index);
/** Flat array from the last database track-information reply: cap, title,
 *  artist, album, genre, duration and uid for each full track, the uid
 *  alone for any other; NULL before. Borrowed until the next such reply, a
 *  cache reset or kiv_ipod_close(). */
KIV_EXPORT serialize_value *kiv_ipod_get_result_db_track_info(kiv_ipod_client *client);
/** Flat array from the last playback-list track-information reply: index,
 *  title, artist, album, duration and uid for each full track, the uid
 *  alone for any other; NULL before. Borrowed like the database list. */
KIV_EXPORT serialize_value *kiv_ipod_get_result_pb_track_info(kiv_ipod_client *client);
/** The last chapter-information reply array without its first element, or
 *  NULL. Borrowed until the next such reply, a cache reset or kiv_ipod_close(). */
KIV_EXPORT serialize_value *kiv_ipod_get_result_indexed_track_chapter_info(kiv_ipod_client *client);
/** The 8 bytes of the device uid from the last database-information reply
 *  of type 0 (zeros before; a shorter uid is zero-filled). Never NULL. */
KIV_EXPORT const unsigned char *kiv_ipod_get_result_db_device_uid(kiv_ipod_client *client);
/** The 7 bytes of the last synchronisation time from the last
 *  database-information reply of type 1 (zeros before). Never NULL. */
KIV_EXPORT const unsigned char *kiv_ipod_get_result_db_last_sync_time(kiv_ipod_client *client);
/** "count" of the last database-information reply of another type; 0 before. */
KIV_EXPORT int kiv_ipod_get_result_db_itunes_info_count(kiv_ipod_client *client);
/** The lingo version text "major.minor" (at most 7 characters, empty
 *  before any version reply), logged. Never NULL; lives as long as the handle. */
KIV_EXPORT const char *kiv_ipod_get_result_lingo_version(kiv_ipod_client *client);

#ifdef __cplusplus
}
#endif

#endif /* KIV_IPOD_CACHE_H */
