/**
 * @file
 * kiv::ipod named numbers (enum classes with their names), durations, uids and request ids.
 * Part of the C++ interface; included by kiv/ipod.hpp.
 */
#ifndef KIV_IPOD_TYPES_HPP
#define KIV_IPOD_TYPES_HPP

#include <array>
#include <chrono>
#include <climits>
#include <cstdint>
#include <optional>
#include <ratio>
#include <string_view>
#include <type_traits>

#include "kiv_ipod.h"

namespace kiv::ipod {

/** Play state as the track cache reports it (Client::track_state()). */
enum class TrackState : int {
    stopped = KIV_IPOD_TRACK_STATE_STOPPED,           /**< nothing is playing */
    playing = KIV_IPOD_TRACK_STATE_PLAYING,           /**< playing */
    paused = KIV_IPOD_TRACK_STATE_PAUSED,             /**< paused */
    error = KIV_IPOD_TRACK_STATE_ERROR,               /**< the device reports an error */
    fast_forward = KIV_IPOD_TRACK_STATE_FAST_FORWARD, /**< seeking forward */
    rewind = KIV_IPOD_TRACK_STATE_REWIND              /**< seeking backward */
};

/** The daemon's play status code (Client::get_play_state_sync(), the
 *  play_state_changed event). A different numbering from TrackState. */
enum class PlayStatus : int {
    stopped = KIV_IPOD_WIRE_STATUS_STOPPED,           /**< nothing is playing */
    fast_forward = KIV_IPOD_WIRE_STATUS_FAST_FORWARD, /**< seeking forward */
    rewind = KIV_IPOD_WIRE_STATUS_REWIND,             /**< seeking backward */
    playing = KIV_IPOD_WIRE_STATUS_PLAYING,           /**< playing */
    paused = KIV_IPOD_WIRE_STATUS_PAUSED,             /**< paused */
    error = KIV_IPOD_WIRE_STATUS_ERROR                /**< the device reports an error */
};

/** Database categories. */
enum class Category : std::int32_t {
    playlist = KIV_IPOD_CATEGORY_PLAYLIST,   /**< playlists */
    artist = KIV_IPOD_CATEGORY_ARTIST,       /**< artists */
    album = KIV_IPOD_CATEGORY_ALBUM,         /**< albums */
    genre = KIV_IPOD_CATEGORY_GENRE,         /**< genres */
    track = KIV_IPOD_CATEGORY_TRACK,         /**< tracks */
    composer = KIV_IPOD_CATEGORY_COMPOSER,   /**< composers */
    audiobook = KIV_IPOD_CATEGORY_AUDIOBOOK, /**< audiobooks */
    podcast = KIV_IPOD_CATEGORY_PODCAST      /**< podcasts */
};

/** Shuffle modes. */
enum class Shuffle : std::int32_t {
    off = KIV_IPOD_SHUFFLE_OFF,       /**< play in order */
    tracks = KIV_IPOD_SHUFFLE_TRACKS, /**< shuffle tracks */
    albums = KIV_IPOD_SHUFFLE_ALBUMS  /**< shuffle albums */
};

/** Repeat modes. */
enum class Repeat : std::int32_t {
    off = KIV_IPOD_REPEAT_OFF, /**< stop after the last track */
    one = KIV_IPOD_REPEAT_ONE, /**< repeat the current track */
    all = KIV_IPOD_REPEAT_ALL  /**< repeat the whole list */
};

/** Preference types. */
enum class Preference : std::int32_t {
    video_out = KIV_IPOD_PREFERENCE_VIDEO_OUT,               /**< video output on or off */
    screen = KIV_IPOD_PREFERENCE_SCREEN,                     /**< fill or fit the screen */
    video_signal = KIV_IPOD_PREFERENCE_VIDEO_SIGNAL,         /**< NTSC or PAL */
    line_out = KIV_IPOD_PREFERENCE_LINE_OUT,                 /**< line-out used or not */
    video_connection = KIV_IPOD_PREFERENCE_VIDEO_CONNECTION, /**< none, composite, S-video, component */
    closed_captions = KIV_IPOD_PREFERENCE_CLOSED_CAPTIONS,   /**< closed captions */
    aspect_ratio = KIV_IPOD_PREFERENCE_ASPECT_RATIO,         /**< 4:3 or 16:9 */
    subtitles = KIV_IPOD_PREFERENCE_SUBTITLES,               /**< subtitles */
    alternate_audio = KIV_IPOD_PREFERENCE_ALTERNATE_AUDIO    /**< alternate audio channel */
};

/** Preference settings; each names one value of one Preference. */
enum class Setting : std::uint32_t {
    video_out_off = KIV_IPOD_SETTING_VIDEO_OUT_OFF,               /**< Preference::video_out */
    video_out_on = KIV_IPOD_SETTING_VIDEO_OUT_ON,                 /**< Preference::video_out */
    screen_fill = KIV_IPOD_SETTING_SCREEN_FILL,                   /**< Preference::screen */
    screen_fit = KIV_IPOD_SETTING_SCREEN_FIT,                     /**< Preference::screen */
    signal_ntsc = KIV_IPOD_SETTING_SIGNAL_NTSC,                   /**< Preference::video_signal */
    signal_pal = KIV_IPOD_SETTING_SIGNAL_PAL,                     /**< Preference::video_signal */
    line_out_unused = KIV_IPOD_SETTING_LINE_OUT_UNUSED,           /**< Preference::line_out */
    line_out_used = KIV_IPOD_SETTING_LINE_OUT_USED,               /**< Preference::line_out */
    connection_none = KIV_IPOD_SETTING_CONNECTION_NONE,           /**< Preference::video_connection */
    connection_composite = KIV_IPOD_SETTING_CONNECTION_COMPOSITE, /**< Preference::video_connection */
    connection_svideo = KIV_IPOD_SETTING_CONNECTION_SVIDEO,       /**< Preference::video_connection */
    connection_component = KIV_IPOD_SETTING_CONNECTION_COMPONENT, /**< Preference::video_connection */
    closed_captions_off = KIV_IPOD_SETTING_CLOSED_CAPTIONS_OFF,   /**< Preference::closed_captions */
    closed_captions_on = KIV_IPOD_SETTING_CLOSED_CAPTIONS_ON,     /**< Preference::closed_captions */
    aspect_4_3 = KIV_IPOD_SETTING_ASPECT_4_3,                     /**< Preference::aspect_ratio */
    aspect_16_9 = KIV_IPOD_SETTING_ASPECT_16_9,                   /**< Preference::aspect_ratio */
    subtitles_off = KIV_IPOD_SETTING_SUBTITLES_OFF,               /**< Preference::subtitles */
    subtitles_on = KIV_IPOD_SETTING_SUBTITLES_ON,                 /**< Preference::subtitles */
    alternate_audio_off = KIV_IPOD_SETTING_ALTERNATE_AUDIO_OFF,   /**< Preference::alternate_audio */
    alternate_audio_on = KIV_IPOD_SETTING_ALTERNATE_AUDIO_ON      /**< Preference::alternate_audio */
};

/** Lingoes (command sets of the device). */
enum class Lingo : std::int32_t {
    general = KIV_IPOD_LINGO_GENERAL,                       /**< general lingo */
    microphone = KIV_IPOD_LINGO_MICROPHONE,                 /**< microphone */
    simple_remote = KIV_IPOD_LINGO_SIMPLE_REMOTE,           /**< simple remote */
    display_remote = KIV_IPOD_LINGO_DISPLAY_REMOTE,         /**< display remote */
    extended_interface = KIV_IPOD_LINGO_EXTENDED_INTERFACE, /**< extended interface */
    rf_transmitter = KIV_IPOD_LINGO_RF_TRANSMITTER,         /**< RF transmitter */
    usb_host = KIV_IPOD_LINGO_USB_HOST,                     /**< USB host control */
    rf_tuner = KIV_IPOD_LINGO_RF_TUNER,                     /**< RF tuner */
    equalizer = KIV_IPOD_LINGO_EQUALIZER,                   /**< accessory equalizer */
    sports = KIV_IPOD_LINGO_SPORTS,                         /**< sports */
    digital_audio = KIV_IPOD_LINGO_DIGITAL_AUDIO,           /**< digital audio */
    storage = KIV_IPOD_LINGO_STORAGE,                       /**< storage */
    ipod_out = KIV_IPOD_LINGO_IPOD_OUT,                     /**< iPod out */
    location = KIV_IPOD_LINGO_LOCATION                      /**< location */
};

/** Event types. */
enum class EventType : int {
    connected = KIV_IPOD_EVENT_CONNECTED,                           /**< a device was attached */
    disconnected = KIV_IPOD_EVENT_DISCONNECTED,                     /**< a device went away */
    fail_to_detect = KIV_IPOD_EVENT_FAIL_TO_DETECT,                 /**< a device was not identified */
    authenticated = KIV_IPOD_EVENT_AUTHENTICATED,                   /**< authentication result */
    mode_changed = KIV_IPOD_EVENT_MODE_CHANGED,                     /**< extended mode changed */
    play_state_changed = KIV_IPOD_EVENT_PLAY_STATE_CHANGED,         /**< data: PlayStatus */
    track_index_changed = KIV_IPOD_EVENT_TRACK_INDEX_CHANGED,       /**< data: the track index */
    samplerate_retrieved = KIV_IPOD_EVENT_SAMPLERATE_RETRIEVED,     /**< data: the sample rate */
    track_position_changed = KIV_IPOD_EVENT_TRACK_POSITION_CHANGED, /**< data: the position */
    chapter_index_changed = KIV_IPOD_EVENT_CHAPTER_INDEX_CHANGED,   /**< data: track, chapter, count */
    shuffle_changed = KIV_IPOD_EVENT_SHUFFLE_CHANGED,               /**< data: Shuffle */
    repeat_changed = KIV_IPOD_EVENT_REPEAT_CHANGED,                 /**< data: Repeat */
    playlist_changed = KIV_IPOD_EVENT_PLAYLIST_CHANGED,             /**< the playlist changed */
    ipod_ready = KIV_IPOD_EVENT_IPOD_READY,                         /**< a device became ready */
    eap_session_opened = KIV_IPOD_EVENT_EAP_SESSION_OPENED,         /**< an EAP session opened */
    eap_session_closed = KIV_IPOD_EVENT_EAP_SESSION_CLOSED,         /**< an EAP session closed */
    eap_data_received = KIV_IPOD_EVENT_EAP_DATA_RECEIVED,           /**< an EAP datagram arrived */
    unknown = KIV_IPOD_EVENT_UNKNOWN                                /**< any other event name */
};

/** The name of @p state ("stopped", "playing", ...). */
constexpr std::string_view to_string(TrackState state) noexcept {
    switch (state) {
        case TrackState::stopped:
            return "stopped";
        case TrackState::playing:
            return "playing";
        case TrackState::paused:
            return "paused";
        case TrackState::error:
            return "error";
        case TrackState::fast_forward:
            return "fast forward";
        case TrackState::rewind:
            return "rewind";
    }
    return "unknown";
}

/** The name of @p status ("stopped", "playing", ...). */
constexpr std::string_view to_string(PlayStatus status) noexcept {
    switch (status) {
        case PlayStatus::stopped:
            return "stopped";
        case PlayStatus::fast_forward:
            return "fast forward";
        case PlayStatus::rewind:
            return "rewind";
        case PlayStatus::playing:
            return "playing";
        case PlayStatus::paused:
            return "paused";
        case PlayStatus::error:
            return "error";
    }
    return "unknown";
}

/** The daemon's name of the event type ("connected_ipod", ...). */
constexpr std::string_view to_string(EventType type) noexcept {
    switch (type) {
        case EventType::connected:
            return "connected_ipod";
        case EventType::disconnected:
            return "disconnected_ipod";
        case EventType::fail_to_detect:
            return "fail_to_detect";
        case EventType::authenticated:
            return "authenticated";
        case EventType::mode_changed:
            return "mode_changed";
        case EventType::play_state_changed:
            return "play_state_changed";
        case EventType::track_index_changed:
            return "track_index_changed";
        case EventType::samplerate_retrieved:
            return "samplerate_retrieved";
        case EventType::track_position_changed:
            return "track_position_changed";
        case EventType::chapter_index_changed:
            return "chapter_index_changed";
        case EventType::shuffle_changed:
            return "shuffle_changed";
        case EventType::repeat_changed:
            return "repeat_changed";
        case EventType::playlist_changed:
            return "playlist_changed";
        case EventType::ipod_ready:
            return "ipod_ready";
        case EventType::eap_session_opened:
            return "eap_session_opened";
        case EventType::eap_session_closed:
            return "eap_session_closed";
        case EventType::eap_data_received:
            return "eap_data_received";
        case EventType::unknown:
            break;
    }
    return "unknown";
}

/** Play positions and track lengths. */
using Duration = std::chrono::duration<std::int32_t, std::ratio<1, KIV_IPOD_TIME_UNITS_PER_SECOND>>;
/** A track or device uid. */
using Uid = std::array<unsigned char, 8>;
/** Artwork edge length that asks the daemon for its default size. */
constexpr std::int32_t default_artwork_size = KIV_IPOD_ARTWORK_SIZE_DEFAULT;

/** Transaction id of a request that was sent (never 0). */
enum class RequestId : std::uint32_t {};

namespace detail {

// The named values of each enumeration, for reading untrusted numbers.
template <class E>
constexpr bool named(long long v) noexcept {
    if constexpr (std::is_same_v<E, TrackState>)
        return v >= KIV_IPOD_TRACK_STATE_STOPPED && v <= KIV_IPOD_TRACK_STATE_REWIND;
    else if constexpr (std::is_same_v<E, PlayStatus>)
        return v >= KIV_IPOD_WIRE_STATUS_STOPPED && v <= KIV_IPOD_WIRE_STATUS_ERROR;
    else if constexpr (std::is_same_v<E, Shuffle>)
        return v >= KIV_IPOD_SHUFFLE_OFF && v <= KIV_IPOD_SHUFFLE_ALBUMS;
    else if constexpr (std::is_same_v<E, Repeat>)
        return v >= KIV_IPOD_REPEAT_OFF && v <= KIV_IPOD_REPEAT_ALL;
    else if constexpr (std::is_same_v<E, Setting>)
        return v >= KIV_IPOD_SETTING_VIDEO_OUT_OFF && v <= KIV_IPOD_SETTING_ALTERNATE_AUDIO_ON;
    else {
        static_assert(std::is_same_v<E, EventType>, "an enumeration read from the daemon");
        switch (v) {
            case KIV_IPOD_EVENT_CONNECTED:
            case KIV_IPOD_EVENT_DISCONNECTED:
            case KIV_IPOD_EVENT_FAIL_TO_DETECT:
            case KIV_IPOD_EVENT_AUTHENTICATED:
            case KIV_IPOD_EVENT_MODE_CHANGED:
            case KIV_IPOD_EVENT_PLAY_STATE_CHANGED:
            case KIV_IPOD_EVENT_TRACK_INDEX_CHANGED:
            case KIV_IPOD_EVENT_SAMPLERATE_RETRIEVED:
            case KIV_IPOD_EVENT_TRACK_POSITION_CHANGED:
            case KIV_IPOD_EVENT_CHAPTER_INDEX_CHANGED:
            case KIV_IPOD_EVENT_SHUFFLE_CHANGED:
            case KIV_IPOD_EVENT_REPEAT_CHANGED:
            case KIV_IPOD_EVENT_PLAYLIST_CHANGED:
            case KIV_IPOD_EVENT_IPOD_READY:
            case KIV_IPOD_EVENT_EAP_SESSION_OPENED:
            case KIV_IPOD_EVENT_EAP_SESSION_CLOSED:
            case KIV_IPOD_EVENT_EAP_DATA_RECEIVED:
            case KIV_IPOD_EVENT_UNKNOWN:
                return true;
            default:
                return false;
        }
    }
}

template <class E>
constexpr std::optional<E> to_enum(long long v) noexcept {
    if (!named<E>(v)) return std::nullopt;
    return static_cast<E>(v);
}

template <class E>
constexpr std::underlying_type_t<E> raw(E e) noexcept {
    return static_cast<std::underlying_type_t<E>>(e);
}

inline std::optional<std::int32_t> known(std::int32_t v) noexcept {
    if (v == -1) return std::nullopt;
    return v;
}

inline std::optional<std::string_view> text(const char *t) noexcept {
    if (!t) return std::nullopt;
    return std::string_view(t);
}

inline std::optional<Uid> uid(const unsigned char *p) noexcept {
    if (!p) return std::nullopt;
    Uid u;
    for (std::size_t i = 0; i < u.size(); i++) u[i] = p[i];
    return u;
}

inline std::optional<RequestId> sent(std::uint32_t tid) noexcept {
    if (tid == 0) return std::nullopt;
    return static_cast<RequestId>(tid);
}

template <class Rep, class Period>
std::int32_t units(std::chrono::duration<Rep, Period> d) noexcept {
    return std::chrono::duration_cast<Duration>(d).count();
}

}  // namespace detail

}  // namespace kiv::ipod

#endif
