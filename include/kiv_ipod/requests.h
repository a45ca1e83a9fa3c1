/**
 * @file
 * The requests to the daemon, each in its asynchronous and blocking form.
 *
 * Part of the interface of libkiv-ipod-2; applications include
 * kiv_ipod.h, which includes this header.
 */
#ifndef KIV_IPOD_REQUESTS_H
#define KIV_IPOD_REQUESTS_H

#include <stdint.h>

#include "kiv_ipod/compiler.h"
#include "kiv_ipod/connection.h"
#include "kiv_ipod/values.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Request arguments
 * ---------------------------------------------------------------------- */

/**
 * @addtogroup numbers
 * @{
 */

/** Database categories for kiv_ipod_set_category() and the first argument
 *  of kiv_ipod_select_db(). */
typedef enum kiv_ipod_category {
    KIV_IPOD_CATEGORY_PLAYLIST = 1,  /**< playlists */
    KIV_IPOD_CATEGORY_ARTIST = 2,    /**< artists */
    KIV_IPOD_CATEGORY_ALBUM = 3,     /**< albums */
    KIV_IPOD_CATEGORY_GENRE = 4,     /**< genres */
    KIV_IPOD_CATEGORY_TRACK = 5,     /**< tracks */
    KIV_IPOD_CATEGORY_COMPOSER = 6,  /**< composers */
    KIV_IPOD_CATEGORY_AUDIOBOOK = 7, /**< audiobooks */
    KIV_IPOD_CATEGORY_PODCAST = 8    /**< podcasts */
} kiv_ipod_category;

/** Database hierarchies for kiv_ipod_set_hierarchy(), which starts browsing
 *  afresh in the audio or the video part of the device's database. */
typedef enum kiv_ipod_hierarchy {
    KIV_IPOD_HIERARCHY_AUDIO = 1, /**< music, audiobooks, podcasts */
    KIV_IPOD_HIERARCHY_VIDEO = 2  /**< videos */
} kiv_ipod_hierarchy;

/** Shuffle modes: kiv_ipod_set_shuffle(), kiv_ipod_get_shuffle_sync(),
 *  kiv_ipod_current_shuffle_state() and the "shuffle_changed" event. */
typedef enum kiv_ipod_shuffle_mode {
    KIV_IPOD_SHUFFLE_OFF = 0,    /**< play in order */
    KIV_IPOD_SHUFFLE_TRACKS = 1, /**< shuffle tracks */
    KIV_IPOD_SHUFFLE_ALBUMS = 2  /**< shuffle albums */
} kiv_ipod_shuffle_mode;

/** Repeat modes: kiv_ipod_set_repeat(), kiv_ipod_get_repeat_sync(),
 *  kiv_ipod_current_repeat_state() and the "repeat_changed" event. */
typedef enum kiv_ipod_repeat_mode {
    KIV_IPOD_REPEAT_OFF = 0, /**< stop after the last track */
    KIV_IPOD_REPEAT_ONE = 1, /**< repeat the current track */
    KIV_IPOD_REPEAT_ALL = 2  /**< repeat the whole list */
} kiv_ipod_repeat_mode;

/** Preference types for kiv_ipod_set_preference() and
 *  kiv_ipod_get_preference(). Any other number travels as type 0. */
typedef enum kiv_ipod_preference_type {
    KIV_IPOD_PREFERENCE_VIDEO_OUT = 0,        /**< video output on or off */
    KIV_IPOD_PREFERENCE_SCREEN = 1,           /**< fill or fit the screen */
    KIV_IPOD_PREFERENCE_VIDEO_SIGNAL = 2,     /**< NTSC or PAL */
    KIV_IPOD_PREFERENCE_LINE_OUT = 3,         /**< line-out used or not */
    KIV_IPOD_PREFERENCE_VIDEO_CONNECTION = 8, /**< none, composite, S-video, component */
    KIV_IPOD_PREFERENCE_CLOSED_CAPTIONS = 9,  /**< closed captions off or on */
    KIV_IPOD_PREFERENCE_ASPECT_RATIO = 10,    /**< 4:3 or 16:9 */
    KIV_IPOD_PREFERENCE_SUBTITLES = 12,       /**< subtitles off or on */
    KIV_IPOD_PREFERENCE_ALTERNATE_AUDIO = 13  /**< alternate audio channel off or on */
} kiv_ipod_preference_type;

/** Preference settings: the setting numbers that kiv_ipod_set_preference()
 *  takes and kiv_ipod_get_preference_sync() returns. Each names one value
 *  of one ::kiv_ipod_preference_type; the library converts it to the
 *  daemon's per-type value. */
typedef enum kiv_ipod_preference_setting {
    KIV_IPOD_SETTING_VIDEO_OUT_OFF = 0,         /**< type VIDEO_OUT */
    KIV_IPOD_SETTING_VIDEO_OUT_ON = 1,          /**< type VIDEO_OUT */
    KIV_IPOD_SETTING_SCREEN_FILL = 2,           /**< type SCREEN */
    KIV_IPOD_SETTING_SCREEN_FIT = 3,            /**< type SCREEN */
    KIV_IPOD_SETTING_SIGNAL_NTSC = 4,           /**< type VIDEO_SIGNAL */
    KIV_IPOD_SETTING_SIGNAL_PAL = 5,            /**< type VIDEO_SIGNAL */
    KIV_IPOD_SETTING_LINE_OUT_UNUSED = 6,       /**< type LINE_OUT */
    KIV_IPOD_SETTING_LINE_OUT_USED = 7,         /**< type LINE_OUT */
    KIV_IPOD_SETTING_CONNECTION_NONE = 8,       /**< type VIDEO_CONNECTION */
    KIV_IPOD_SETTING_CONNECTION_COMPOSITE = 9,  /**< type VIDEO_CONNECTION */
    KIV_IPOD_SETTING_CONNECTION_SVIDEO = 10,    /**< type VIDEO_CONNECTION */
    KIV_IPOD_SETTING_CONNECTION_COMPONENT = 11, /**< type VIDEO_CONNECTION */
    KIV_IPOD_SETTING_CLOSED_CAPTIONS_OFF = 12,  /**< type CLOSED_CAPTIONS */
    KIV_IPOD_SETTING_CLOSED_CAPTIONS_ON = 13,   /**< type CLOSED_CAPTIONS */
    KIV_IPOD_SETTING_ASPECT_4_3 = 14,           /**< type ASPECT_RATIO */
    KIV_IPOD_SETTING_ASPECT_16_9 = 15,          /**< type ASPECT_RATIO */
    KIV_IPOD_SETTING_SUBTITLES_OFF = 16,        /**< type SUBTITLES */
    KIV_IPOD_SETTING_SUBTITLES_ON = 17,         /**< type SUBTITLES */
    KIV_IPOD_SETTING_ALTERNATE_AUDIO_OFF = 18,  /**< type ALTERNATE_AUDIO */
    KIV_IPOD_SETTING_ALTERNATE_AUDIO_ON = 19,   /**< type ALTERNATE_AUDIO */
    KIV_IPOD_SETTING_NONE = 255                 /**< no reply, or no such setting */
} kiv_ipod_preference_setting;

/** Lingoes (command sets of the device) for kiv_ipod_request_lingo_version(). */
typedef enum kiv_ipod_lingo {
    KIV_IPOD_LINGO_GENERAL = 0,            /**< general lingo */
    KIV_IPOD_LINGO_MICROPHONE = 1,         /**< microphone */
    KIV_IPOD_LINGO_SIMPLE_REMOTE = 2,      /**< simple remote */
    KIV_IPOD_LINGO_DISPLAY_REMOTE = 3,     /**< display remote */
    KIV_IPOD_LINGO_EXTENDED_INTERFACE = 4, /**< extended interface */
    KIV_IPOD_LINGO_RF_TRANSMITTER = 5,     /**< RF transmitter */
    KIV_IPOD_LINGO_USB_HOST = 6,           /**< USB host control */
    KIV_IPOD_LINGO_RF_TUNER = 7,           /**< RF tuner */
    KIV_IPOD_LINGO_EQUALIZER = 8,          /**< accessory equalizer */
    KIV_IPOD_LINGO_SPORTS = 9,             /**< sports */
    KIV_IPOD_LINGO_DIGITAL_AUDIO = 10,     /**< digital audio */
    KIV_IPOD_LINGO_STORAGE = 12,           /**< storage */
    KIV_IPOD_LINGO_IPOD_OUT = 13,          /**< iPod out */
    KIV_IPOD_LINGO_LOCATION = 14           /**< location */
} kiv_ipod_lingo;

/** @} */

/* ------------------------------------------------------------------------
 * Requests
 * ---------------------------------------------------------------------- */

/**
 * @name Requests: conventions
 *
 * Every request sends one packet to the daemon and gets one reply.
 *
 * - The asynchronous form kiv_ipod_NAME() returns the transaction id
 *   (positive), or 0 when nothing was sent. Most requests are refused while
 *   the current device is not ready: they log "not ready NAME" and return
 *   0. The reply later reaches the reply callback through kiv_ipod_read();
 *   requests marked "slot" have their reply parsed into the cache first
 *   (only while a reply callback is installed). A later request of the
 *   same kind takes the slot over: the earlier reply then gets the plain
 *   integer decoding.
 * - The _sync form sends the same request, reads until its reply has
 *   arrived (delivering events, pings and other replies that came first to
 *   the callbacks, unless stated otherwise) and returns a decoded result.
 *   "Standard" means: the reply's integer, or -1 for an error reply (its
 *   text is kept as the handle's last error), any other reply, a refused
 *   request or a lost connection; a call that succeeds returns the
 *   daemon's integer, which is 0 for most requests. Events, pings and
 *   replies that a request causes and that arrive before its reply (or with
 *   it) are delivered to the callbacks inside its _sync call. By default
 *   there is no time-out: a daemon that stalls blocks the call until it
 *   answers or closes the connection; kiv_ipod_set_timeout() bounds every
 *   wait and every write of the call, including those its callbacks make.
 *   A caller that must never block uses the asynchronous form and calls
 *   kiv_ipod_read() on a non-blocking descriptor, which returns 0 while
 *   the daemon is silent and keeps the connection.
 * - Pointer arguments are read during the call only. A null text, a null
 *   uid, a null data pointer with a positive length, or a negative length
 *   is refused: one error line is logged, nothing is sent, and the form
 *   returns 0 (asynchronous) or its no-reply result (_sync).
 * @{
 */

/** Sends "play" (opcode 6). @return transaction id, or 0 if not ready. */
KIV_EXPORT uint32_t kiv_ipod_play(kiv_ipod_client *client);
/** Blocking kiv_ipod_play(). @return the daemon's integer, or -1 (standard). */
KIV_EXPORT int32_t kiv_ipod_play_sync(kiv_ipod_client *client);
/** Sends "stop" (opcode 7). @return transaction id, or 0 if not ready. */
KIV_EXPORT uint32_t kiv_ipod_stop(kiv_ipod_client *client);
/** Blocking kiv_ipod_stop(). @return the daemon's integer, or -1 (standard). */
KIV_EXPORT int32_t kiv_ipod_stop_sync(kiv_ipod_client *client);
/** Sends "pause" (opcode 8). @return transaction id, or 0 if not ready. */
KIV_EXPORT uint32_t kiv_ipod_pause(kiv_ipod_client *client);
/** Blocking kiv_ipod_pause(). @return the daemon's integer, or -1 (standard). */
KIV_EXPORT int32_t kiv_ipod_pause_sync(kiv_ipod_client *client);
/** Sends "next track" (opcode 9). @return transaction id, or 0 if not ready. */
KIV_EXPORT uint32_t kiv_ipod_next_track(kiv_ipod_client *client);
/** Blocking kiv_ipod_next_track(). @return the daemon's integer, or -1 (standard). */
KIV_EXPORT int32_t kiv_ipod_next_track_sync(kiv_ipod_client *client);
/** Sends "previous track" (opcode 10). @return transaction id, or 0 if not ready. */
KIV_EXPORT uint32_t kiv_ipod_prev_track(kiv_ipod_client *client);
/** Blocking kiv_ipod_prev_track(). @return the daemon's integer, or -1 (standard). */
KIV_EXPORT int32_t kiv_ipod_prev_track_sync(kiv_ipod_client *client);
/** Starts fast forward (opcode 11). @return transaction id, or 0 if not ready. */
KIV_EXPORT uint32_t kiv_ipod_start_ffw(kiv_ipod_client *client);
/** Blocking kiv_ipod_start_ffw(). @return the daemon's integer, or -1 (standard). */
KIV_EXPORT int32_t kiv_ipod_start_ffw_sync(kiv_ipod_client *client);
/** Starts rewind (opcode 12). @return transaction id, or 0 if not ready. */
KIV_EXPORT uint32_t kiv_ipod_start_rew(kiv_ipod_client *client);
/** Blocking kiv_ipod_start_rew(). @return the daemon's integer, or -1 (standard). */
KIV_EXPORT int32_t kiv_ipod_start_rew_sync(kiv_ipod_client *client);
/** Ends fast forward or rewind (opcode 13). @return transaction id, or 0 if not ready. */
KIV_EXPORT uint32_t kiv_ipod_stop_ffwrew(kiv_ipod_client *client);
/** Blocking kiv_ipod_stop_ffwrew(). @return the daemon's integer, or -1 (standard). */
KIV_EXPORT int32_t kiv_ipod_stop_ffwrew_sync(kiv_ipod_client *client);
/** Sends the play position @p position unchanged (opcode 14).
 *  @return transaction id, or 0 if not ready. */
KIV_EXPORT uint32_t kiv_ipod_set_position(kiv_ipod_client *client, int32_t position);
/** Blocking kiv_ipod_set_position(). @return the daemon's integer, or -1 (standard). */
KIV_EXPORT int32_t kiv_ipod_set_position_sync(kiv_ipod_client *client, int32_t position);
/** Asks for the current track's metadata (opcode 15, slot): the reply fills
 *  the kiv_ipod_current_track_*() cache. @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_current_track_info(kiv_ipod_client *client);
/** Blocking kiv_ipod_current_track_info(); fills the current-track cache.
 *  @return the reply's "current_track_info" integer, or -1. */
KIV_EXPORT int32_t kiv_ipod_current_track_info_sync(kiv_ipod_client *client);
/** Asks for the sample rate (opcode 16, slot); the reply updates
 *  kiv_ipod_current_sample_rate(). No _sync form. @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_get_sample_rate(kiv_ipod_client *client);
/** Asks for the play status (opcode 18, slot); the reply fills the state,
 *  length and position of the current track. @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_get_play_state(kiv_ipod_client *client);
/** Blocking kiv_ipod_get_play_state(); fills the same cache.
 *  @return the play status code of the reply, or -1. */
KIV_EXPORT int32_t kiv_ipod_get_play_state_sync(kiv_ipod_client *client);
/** Asks for the current track index (opcode 19, slot); the reply's integer
 *  becomes kiv_ipod_current_track_index(). @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_get_current_track_index(kiv_ipod_client *client);
/** Blocking kiv_ipod_get_current_track_index(). @return the index, or -1
 *  (standard); the result, -1 included, is stored as the current track index. */
KIV_EXPORT int32_t kiv_ipod_get_current_track_index_sync(kiv_ipod_client *client);
/** Sends the shuffle @p mode unchanged (opcode 20). @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_set_shuffle(kiv_ipod_client *client, int32_t mode);
/** Blocking kiv_ipod_set_shuffle(). @return the daemon's integer, or -1 (standard). */
KIV_EXPORT int32_t kiv_ipod_set_shuffle_sync(kiv_ipod_client *client, int32_t mode);
/** Asks for the shuffle mode (opcode 21); the cached shuffle state changes
 *  only through events. @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_get_shuffle(kiv_ipod_client *client);
/** Blocking kiv_ipod_get_shuffle(). @return the shuffle mode, or -1 (standard). */
KIV_EXPORT int32_t _kiv_ipod_get_shuffle_sync(kiv_ipod_client *client);
/** Same as _kiv_ipod_get_shuffle_sync(). @return the shuffle mode, or -1. */
KIV_EXPORT int32_t kiv_ipod_get_shuffle_sync(kiv_ipod_client *client);
/** Sends the repeat @p mode unchanged (opcode 22). @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_set_repeat(kiv_ipod_client *client, int32_t mode);
/** Blocking kiv_ipod_set_repeat(). @return the daemon's integer, or -1 (standard). */
KIV_EXPORT int32_t kiv_ipod_set_repeat_sync(kiv_ipod_client *client, int32_t mode);
/** Asks for the repeat mode (opcode 23); the cached repeat state changes
 *  only through events. @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_get_repeat(kiv_ipod_client *client);
/** Blocking kiv_ipod_get_repeat(). @return the repeat mode, or -1 (standard). */
KIV_EXPORT int32_t _kiv_ipod_get_repeat_sync(kiv_ipod_client *client);
/** Same as _kiv_ipod_get_repeat_sync(). @return the repeat mode, or -1. */
KIV_EXPORT int32_t kiv_ipod_get_repeat_sync(kiv_ipod_client *client);
/** Asks for the device mode (opcode 41). No _sync form. @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_get_mode(kiv_ipod_client *client);
/** Answers a ping (opcode 54); sent even when not ready. @return transaction id. */
KIV_EXPORT uint32_t kiv_ipod_ping(kiv_ipod_client *client);

/** Asks for the current track's artwork (opcode 17, slot), @p size pixels on
 *  its longer edge (#KIV_IPOD_ARTWORK_SIZE_DEFAULT: the daemon's default);
 *  the reply fills kiv_ipod_current_track_artwork_*(). @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_current_track_artwork(kiv_ipod_client *client, int32_t size);
/** Blocking kiv_ipod_current_track_artwork(); fills the artwork cache.
 *  @return 1 for an artwork reply, else -1. */
KIV_EXPORT int32_t kiv_ipod_current_track_artwork_sync(kiv_ipod_client *client, int32_t size);
/** Selects a database @p category (opcode 24, slot); the reply's integer
 *  becomes kiv_ipod_record_count(). @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_set_category(kiv_ipod_client *client, int32_t category);
/** Blocking kiv_ipod_set_category(). Stores the reply's count in
 *  kiv_ipod_record_count() (-1 on any failure).
 *  @return 1 when the count is zero or positive, else 0. */
KIV_EXPORT int32_t kiv_ipod_set_category_sync(kiv_ipod_client *client, int32_t category);
/** Sends a @p hierarchy number (::kiv_ipod_hierarchy) unchanged (opcode 25).
 *  @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_set_hierarchy(kiv_ipod_client *client, int32_t hierarchy);
/** Blocking kiv_ipod_set_hierarchy(). @return the daemon's integer, or -1 (standard). */
KIV_EXPORT int32_t kiv_ipod_set_hierarchy_sync(kiv_ipod_client *client, int32_t hierarchy);
/** Selects record @p record_index of @p category (opcode 26, slot); the
 *  reply's integer becomes kiv_ipod_record_count(). @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_select_db(kiv_ipod_client *client, int32_t category, int32_t record_index);
/** Blocking kiv_ipod_select_db(). Stores the reply's count in
 *  kiv_ipod_record_count() (-1 on any failure).
 *  @return 1 when the count is zero or positive, else 0. */
KIV_EXPORT int32_t kiv_ipod_select_db_sync(kiv_ipod_client *client, int32_t category, int32_t record_index);
/** Asks for @p count records of the selected category from record @p start
 *  (opcode 27, slot); the reply fills kiv_ipod_records() and kiv_ipod_record().
 *  @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_get_records(kiv_ipod_client *client, int32_t start, int32_t count);
/** Blocking kiv_ipod_get_records(); an array reply supersedes kiv_ipod_records().
 *  @return element 1 of the reply array, 0 for another reply, -1 for none. */
KIV_EXPORT int32_t kiv_ipod_get_records_sync(kiv_ipod_client *client, int32_t start, int32_t count);
/** Asks for the track at @p index (opcode 31, slot); the reply fills the
 *  kiv_ipod_indexed_track_*() cache. @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_indexed_track_info(kiv_ipod_client *client, int32_t index);
/** Blocking kiv_ipod_indexed_track_info(); fills the indexed-track cache.
 *  @return the reply's "indexed_track_info" integer, or -1. */
KIV_EXPORT int32_t kiv_ipod_indexed_track_info_sync(kiv_ipod_client *client, int32_t index);
/** Asks for chapter @p chapter_index of track @p track_index (opcode 32,
 *  slot); the reply fills kiv_ipod_get_result_indexed_track_chapter_info().
 *  @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_indexed_track_chapter_info(kiv_ipod_client *client, int32_t track_index,
                                                        int32_t chapter_index);
/** Blocking kiv_ipod_indexed_track_chapter_info(); fills the same cache.
 *  @return 1, or -1 for no reply. */
KIV_EXPORT int32_t kiv_ipod_indexed_track_chapter_info_sync(kiv_ipod_client *client, int32_t track_index,
                                                            int32_t chapter_index);
/** Asks the device to write its tags (opcode 34). @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_write_tag(kiv_ipod_client *client);
/** Blocking kiv_ipod_write_tag(). @return the daemon's integer, or -1 (standard). */
KIV_EXPORT int32_t kiv_ipod_write_tag_sync(kiv_ipod_client *client);
/** Asks for database information of @p type (opcode 42, slot); the reply
 *  fills kiv_ipod_get_result_db_device_uid() (type 0),
 *  kiv_ipod_get_result_db_last_sync_time() (type 1) or
 *  kiv_ipod_get_result_db_itunes_info_count(). No _sync form.
 *  @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_get_db_itunes_info(kiv_ipod_client *client, int32_t type);
/** Asks for @p count database tracks from @p offset (opcode 43, slot), with
 *  the daemon's @p options (sent unchanged); the reply fills kiv_ipod_get_result_db_track_info().
 *  @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_get_db_track_info(kiv_ipod_client *client, int32_t offset, int32_t count,
                                               int32_t options);
/** Blocking kiv_ipod_get_db_track_info(); fills the same cache. @return 1, or -1. */
KIV_EXPORT int32_t kiv_ipod_get_db_track_info_sync(kiv_ipod_client *client, int32_t offset, int32_t count,
                                                   int32_t options);
/** Asks for @p count playback-list tracks from @p offset (opcode 44, slot),
 *  with the daemon's @p options (sent unchanged);
 *  the reply fills kiv_ipod_get_result_pb_track_info(). @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_get_pb_track_info(kiv_ipod_client *client, int32_t offset, int32_t count,
                                               int32_t options);
/** Blocking kiv_ipod_get_pb_track_info(); fills the same cache. @return 1, or -1. */
KIV_EXPORT int32_t kiv_ipod_get_pb_track_info_sync(kiv_ipod_client *client, int32_t offset, int32_t count,
                                                   int32_t options);
/** Sends one piece of a uid list (opcode 45, slot shared with
 *  kiv_ipod_play_uid_list()): @p cur, @p max and @p data_len unchanged, then
 *  exactly @p data_len bytes copied from @p data. @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_prepare_uid_list(kiv_ipod_client *client, int32_t cur, int32_t max,
                                              int32_t data_len, const char *data);
/** Sends the whole NUL-terminated @p text as one piece (cur 0, max 0, its
 *  length without the NUL) and waits for the reply. @return 0. */
KIV_EXPORT int32_t kiv_ipod_prepare_uid_list_sync(kiv_ipod_client *client, const char *text);
/** Plays the track with the 8-byte @p uid (opcode 46, slot shared with
 *  kiv_ipod_prepare_uid_list()). @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_play_uid_list(kiv_ipod_client *client, const unsigned char *uid);
/** Blocking kiv_ipod_play_uid_list(); the reply is not read. @return 0. */
KIV_EXPORT int32_t kiv_ipod_play_uid_list_sync(kiv_ipod_client *client, const unsigned char *uid);
/** Asks for the version of @p lingo (opcode 47, slot); the reply fills
 *  kiv_ipod_get_result_lingo_version(). Traces to standard error.
 *  @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_request_lingo_version(kiv_ipod_client *client, int32_t lingo);
/** Blocking kiv_ipod_request_lingo_version(); fills the version text.
 *  @return 1, or -1 for no reply. */
KIV_EXPORT int32_t kiv_ipod_request_lingo_version_sync(kiv_ipod_client *client, int32_t lingo);
/** Plays chapter @p index of the current track (opcode 48). No _sync form.
 *  @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_set_current_playing_track_chapter(kiv_ipod_client *client, int32_t index);
/** Plays track @p index (opcode 49). No _sync form. @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_set_current_playing_track(kiv_ipod_client *client, int32_t index);
/** Sends the available-current setting unchanged (opcode 50). @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_set_available_current(kiv_ipod_client *client, int32_t value);
/** Blocking kiv_ipod_set_available_current(); the reply is not read. @return 0. */
KIV_EXPORT int32_t kiv_ipod_set_available_current_sync(kiv_ipod_client *client, int32_t value);
/** Asks for the artwork data of the track with the 8-byte @p uid (opcode 53);
 *  the reply is not cached (use kiv_ipod_current_track_artwork()).
 *  @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_get_artwork_data(kiv_ipod_client *client, const unsigned char *uid);
/** Blocking kiv_ipod_get_artwork_data(); the reply is discarded. @return 0. */
KIV_EXPORT int32_t kiv_ipod_get_artwork_data_sync(kiv_ipod_client *client, const unsigned char *uid);

/** Makes device @p index current and opens a session on it (opcode 4, slot;
 *  sent even when not ready). Clears every pending slot and the whole
 *  media cache at once. The reply supersedes the device list and recomputes
 *  readiness. @return transaction id. */
KIV_EXPORT uint32_t kiv_ipod_open_session(kiv_ipod_client *client, int32_t index);
/** Blocking kiv_ipod_open_session(). @return 1 when the session was opened,
 *  the daemon's other "result", or 0 (no reply, device gone meanwhile). */
KIV_EXPORT int32_t kiv_ipod_open_session_sync(kiv_ipod_client *client, int32_t index);
/** Closes the session (opcode 5; sent even when not ready);
 *  kiv_ipod_is_session_opened() reads 0 at once. @return transaction id. */
KIV_EXPORT uint32_t kiv_ipod_close_session(kiv_ipod_client *client);
/** Blocking kiv_ipod_close_session(). @return the daemon's integer, or -1 (standard). */
KIV_EXPORT int32_t kiv_ipod_close_session_sync(kiv_ipod_client *client);
/** Re-runs authentication with @p value (opcode 28). @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_reauthentication(kiv_ipod_client *client, int32_t value);
/** Blocking kiv_ipod_reauthentication(). @return the daemon's integer, or -1 (standard). */
KIV_EXPORT int32_t kiv_ipod_reauthentication_sync(kiv_ipod_client *client, int32_t value);
/** Sets a preference (opcode 29). @p setting (0 to 19) alone picks the wire
 *  value; an invalid @p type (valid: 0-3, 8-10, 12, 13) or setting travels
 *  as 0. @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_set_preference(kiv_ipod_client *client, int32_t type, uint32_t setting);
/** Blocking kiv_ipod_set_preference(). @return the daemon's integer, or -1 (standard). */
KIV_EXPORT int32_t kiv_ipod_set_preference_sync(kiv_ipod_client *client, int32_t type, uint32_t setting);
/** Reads the preference of @p type (opcode 30, slot); the reply callback
 *  receives the setting number (0 to 19) or 255. @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_get_preference(kiv_ipod_client *client, int32_t type);
/** Blocking kiv_ipod_get_preference().
 *  @return the setting number 0 to 19, or 255 for any failure. */
KIV_EXPORT int32_t kiv_ipod_get_preference_sync(kiv_ipod_client *client, int32_t type);
/** Diagnostic examination (opcode 33, blocking, sent even when not ready):
 *  sends @p text and, if given, @p value, which the call takes over and
 *  frees in every case (do not use or free it afterwards).
 *  @return the decoded reply (an error hash included), owned by the caller
 *  (release with serialize_free()), or NULL for no reply or an empty one. */
KIV_EXPORT serialize_value *kiv_ipod_health_examine(kiv_ipod_client *client, const char *text,
                                                    serialize_value *value);
/** Sends a state change @p value (opcode 35), with trace lines.
 *  @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_set_statechange(kiv_ipod_client *client, int32_t value);
/** Blocking kiv_ipod_set_statechange(), with entry and result trace lines.
 *  @return the daemon's integer, or -1 (standard). */
KIV_EXPORT int32_t kiv_ipod_set_statechange_sync(kiv_ipod_client *client, int32_t value);
/** Enters video-out mode (opcode 36). No _sync form. @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_enter_videooutmode(kiv_ipod_client *client);
/** Leaves video-out mode (opcode 37). No _sync form. @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_exit_videooutmode(kiv_ipod_client *client);
/** Asks for the video-out options (opcode 38); sends 1 when @p value is
 *  non-zero, else 0. @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_get_videooutoptions(kiv_ipod_client *client, int32_t value);
/** Blocking kiv_ipod_get_videooutoptions(). @return the options, or -1 (standard). */
KIV_EXPORT int32_t kiv_ipod_get_videooutoptions_sync(kiv_ipod_client *client, int32_t value);
/** Sets the video-out options to @p value (opcode 39), with trace lines.
 *  @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_set_videooutoptions(kiv_ipod_client *client, int32_t value);
/** Blocking kiv_ipod_set_videooutoptions(), with entry and result trace lines.
 *  @return the daemon's integer, or -1 (standard). */
KIV_EXPORT int32_t kiv_ipod_set_videooutoptions_sync(kiv_ipod_client *client, int32_t value);
/** Sends a video-out navigation @p value (opcode 40), with trace lines.
 *  @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_navigate_videoout(kiv_ipod_client *client, int32_t value);
/** Blocking kiv_ipod_navigate_videoout(), with entry and result trace lines.
 *  @return the daemon's integer, or -1 (standard). */
KIV_EXPORT int32_t kiv_ipod_navigate_videoout_sync(kiv_ipod_client *client, int32_t value);
/** Sends Bluetooth hardware information (opcode 51) when the device list
 *  holds a device, whatever the readiness; the entry log line shows the
 *  address and masks the PIN code as "****" ("(null)" for none), since the
 *  system log is readable by other processes.
 *  @return transaction id, or 0 without any device. */
KIV_EXPORT uint32_t kiv_ipod_set_bluetooth_hw_info(kiv_ipod_client *client, uint32_t device_class,
                                                   int32_t pairing_type, const char *pin_code,
                                                   const char *address);
/** Reports the Bluetooth connection state of the device @p serial (opcode 52;
 *  sent even when not ready). @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_set_bluetooth_state(kiv_ipod_client *client, int32_t connected,
                                                 const char *serial);
/** Restarts identification with @p value (opcode 55; sent even when not
 *  ready). No _sync form. @return transaction id. */
KIV_EXPORT uint32_t kiv_ipod_restart_idps(kiv_ipod_client *client, int32_t value);
/** Passes one configuration entry to the daemon (opcode 56; sent even when
 *  not ready). No _sync form. @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_set_config(kiv_ipod_client *client, const char *config_key,
                                        const char *config_value);
/** Launches the application @p name on the device (opcode 57).
 *  @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_launch_application(kiv_ipod_client *client, const char *name);
/** Blocking kiv_ipod_launch_application(). Packets that arrive meanwhile
 *  stay queued for the next kiv_ipod_read() or dispatching wait.
 *  @return the daemon's integer, or -1 (standard). */
KIV_EXPORT int32_t kiv_ipod_launch_application_sync(kiv_ipod_client *client, const char *name);
/** Sends an EAP datagram of @p data_len bytes from @p data on EAP session
 *  @p session_id (opcode 58). @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_send_eap_datagram(kiv_ipod_client *client, int32_t session_id, const void *data,
                                               int32_t data_len);
/** Blocking kiv_ipod_send_eap_datagram(). Packets that arrive meanwhile stay
 *  queued for the next kiv_ipod_read() or dispatching wait.
 *  @return the daemon's integer, or -1 (standard). */
KIV_EXPORT int32_t kiv_ipod_send_eap_datagram_sync(kiv_ipod_client *client, int32_t session_id,
                                                   const void *data, int32_t data_len);

/** @} */

#ifdef __cplusplus
}
#endif

#endif /* KIV_IPOD_REQUESTS_H */
