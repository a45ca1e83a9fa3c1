/**
 * @file
 * kiv::ipod::Event, Reply, Artwork and Device: what handlers receive and the device list.
 * Part of the C++ interface; included by kiv/ipod.hpp.
 */
#ifndef KIV_IPOD_EVENT_HPP
#define KIV_IPOD_EVENT_HPP

#include <cstdint>
#include <optional>
#include <string_view>

#include "kiv/ipod/types.hpp"
#include "kiv/value.hpp"
#include "kiv_ipod.h"

namespace kiv::ipod {

/** One daemon event, as an event handler receives it. Valid only during
 *  the handler; so is everything borrowed from it. */
class Event {
public:
    /** Wraps @p event (not null). */
    explicit Event(kiv_ipod_event *event) noexcept : event_(event) {}
    /** The event type. */
    EventType type() const noexcept {
        return detail::to_enum<EventType>(kiv_ipod_event_type(event_)).value_or(EventType::unknown);
    }
    /** The serial of the device the event is about. */
    std::optional<std::string_view> serial() const noexcept {
        return detail::text(kiv_ipod_event_device_serial(event_));
    }
    /** The event's data; nullopt when it carried none. */
    std::optional<ValueView> data() const noexcept { return view(kiv_ipod_event_data(event_)); }
    /** For connected, authenticated, mode_changed, ipod_ready and the EAP
     *  session events: the "serial" of the data. */
    std::optional<std::string_view> connected_serial() const noexcept {
        return detail::text(kiv_ipod_event_connected_serial(event_));
    }
    /** For disconnected: the serial of the device that went away. */
    std::optional<std::string_view> disconnected_serial() const noexcept {
        return detail::text(kiv_ipod_event_disconnected_serial(event_));
    }
    /** For authenticated: the device's "authenticated" flag. */
    std::optional<bool> authenticated() const noexcept {
        auto v = detail::known(kiv_ipod_event_authenticated(event_));
        if (!v) return std::nullopt;
        return *v != 0;
    }
    /** For mode_changed: the device's "extended" flag. */
    std::optional<bool> extended() const noexcept {
        auto v = detail::known(kiv_ipod_event_mode_changed(event_));
        if (!v) return std::nullopt;
        return *v != 0;
    }
    /** For play_state_changed: the new status. */
    std::optional<PlayStatus> play_status() const noexcept {
        return number<PlayStatus>(EventType::play_state_changed);
    }
    /** For shuffle_changed: the new mode. */
    std::optional<Shuffle> shuffle() const noexcept { return number<Shuffle>(EventType::shuffle_changed); }
    /** For repeat_changed: the new mode. */
    std::optional<Repeat> repeat() const noexcept { return number<Repeat>(EventType::repeat_changed); }
    /** For track_index_changed: the new index. */
    std::optional<std::int32_t> track_index() const noexcept {
        return number<std::int32_t>(EventType::track_index_changed);
    }
    /** For track_position_changed: the new position. */
    std::optional<Duration> position() const noexcept {
        auto v = number<std::int32_t>(EventType::track_position_changed);
        if (!v) return std::nullopt;
        return Duration(*v);
    }
    /** For the three EAP events: the session id. */
    std::optional<std::int32_t> eap_session_id() const noexcept {
        if (!eap(EventType::eap_session_opened, EventType::eap_data_received)) return std::nullopt;
        return detail::known(kiv_ipod_event_eap_datagram_session_id(event_));
    }
    /** For eap_session_opened: the protocol index. */
    std::optional<std::int32_t> eap_protocol_index() const noexcept {
        if (!eap(EventType::eap_session_opened, EventType::eap_session_opened)) return std::nullopt;
        return detail::known(kiv_ipod_event_eap_datagram_protocol_index(event_));
    }
    /** For eap_session_opened: the protocol string. */
    std::optional<std::string_view> eap_protocol() const noexcept {
        if (!eap(EventType::eap_session_opened, EventType::eap_session_opened)) return std::nullopt;
        return detail::text(kiv_ipod_event_eap_datagram_protocol_string(event_));
    }
    /** For eap_data_received: the datagram. */
    std::optional<ByteView> eap_datagram() const noexcept {
        if (!eap(EventType::eap_data_received, EventType::eap_data_received)) return std::nullopt;
        const unsigned char *p = kiv_ipod_event_eap_datagram_data(event_);
        auto n = detail::known(kiv_ipod_event_eap_datagram_data_length(event_));
        if (!p || !n || *n < 0) return std::nullopt;
        return ByteView(p, static_cast<std::size_t>(*n));
    }
    /** The C event. */
    kiv_ipod_event *get() const noexcept { return event_; }

private:
    // The EAP accessors of the C interface log a wrong type; ask only for
    // the types they accept.
    bool eap(EventType first, EventType last) const noexcept {
        int t = kiv_ipod_event_type(event_);
        return t >= static_cast<int>(first) && t <= static_cast<int>(last);
    }
    template <class T>
    std::optional<T> number(EventType expected) const noexcept {
        if (type() != expected) return std::nullopt;
        auto d = data();
        auto v = d ? d->as_int() : std::nullopt;
        if (!v) return std::nullopt;
        if constexpr (std::is_enum_v<T>)
            return detail::to_enum<T>(*v);
        else
            return *v;
    }
    kiv_ipod_event *event_;
};

/** One reply, as a reply handler receives it. */
struct Reply {
    RequestId id;                          /**< the request it answers */
    std::int32_t result;                   /**< the decoded result */
    std::optional<std::string_view> error; /**< the daemon's error text (valid during the handler) */
};

/** The artwork of the current track (RGB565, KIV_IPOD_ARTWORK_BYTES_PER_PIXEL per pixel). */
struct Artwork {
    int width;       /**< pixels per row */
    int height;      /**< rows */
    int rowstride;   /**< bytes per row */
    ByteView pixels; /**< rowstride x height bytes, borrowed from the Client */
};

/** One entry of the device list, looked up by index at each call. */
class Device {
public:
    /** Device @p index of @p client. */
    Device(kiv_ipod_client *client, int index) noexcept : client_(client), index_(index) {}
    /** Its index in the device list. */
    int index() const noexcept { return index_; }
    /** "serial". */
    std::optional<std::string_view> serial() const noexcept {
        return detail::text(kiv_ipod_device_serial(client_, index_));
    }
    /** "name". */
    std::optional<std::string_view> name() const noexcept {
        return detail::text(kiv_ipod_device_name(client_, index_));
    }
    /** "version" (software version). */
    std::optional<std::string_view> software_version() const noexcept {
        return detail::text(kiv_ipod_software_version(client_, index_));
    }
    /** "ready" set. */
    bool ready() const noexcept { return kiv_ipod_device_ready(client_, index_) == 1; }
    /** "extended" set. */
    bool extended() const noexcept { return kiv_ipod_device_is_extended(client_, index_) == 1; }
    /** "authenticated" set. */
    bool authenticated() const noexcept { return kiv_ipod_device_authenticated(client_, index_) == 1; }
    /** "support_itunes_db" set. */
    bool supports_itunes_db() const noexcept {
        return kiv_ipod_device_support_itunes_db(client_, index_) != 0;
    }
    /** "audio_count" (0 when missing). */
    int audio_count() const noexcept { return kiv_ipod_device_audio_count(client_, index_); }
    /** "product_id" (0 when missing). */
    int product_id() const noexcept { return kiv_ipod_device_product_id(client_, index_); }
    /** "sound_card_id" (0 when missing). */
    int sound_card_id() const noexcept { return kiv_ipod_device_sound_card_id(client_, index_); }
    /** "port" (0 when missing). */
    int port() const noexcept { return kiv_ipod_device_port(client_, index_); }
    /** "used" (0 when missing). */
    int used() const noexcept { return kiv_ipod_device_used(client_, index_); }
    /** "type" (0 when missing). */
    int type() const noexcept { return kiv_ipod_device_type(client_, index_); }

private:
    kiv_ipod_client *client_;
    int index_;
};

}  // namespace kiv::ipod

#endif
