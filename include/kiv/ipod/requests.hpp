/**
 * @file
 * The requests of kiv::ipod::Client: its asynchronous and _sync members,
 * which Client inherits from the two bases here (they use its handle and
 * its helpers). Part of the C++ interface; included by kiv/ipod.hpp.
 */
#ifndef KIV_IPOD_REQUESTS_HPP
#define KIV_IPOD_REQUESTS_HPP

#include <chrono>
#include <cstdint>
#include <string>

#include "kiv/ipod/event.hpp"
#include "kiv/ipod/result.hpp"
#include "kiv/ipod/types.hpp"
#include "kiv/value.hpp"
#include "kiv_ipod.h"

namespace kiv::ipod::detail {

/** The asynchronous requests of Client (@p C); see Client. */
template <class C>
class AsyncRequests {
public:
    // ---------------------------------------------------------------- asynchronous requests
    // Each sends one request; nullopt when nothing was sent (not ready, bad
    // argument, inert client). The reply reaches the reply handler.

    std::optional<RequestId> play() { return self().send(kiv_ipod_play); }             /**< play */
    std::optional<RequestId> stop() { return self().send(kiv_ipod_stop); }             /**< stop */
    std::optional<RequestId> pause() { return self().send(kiv_ipod_pause); }           /**< pause */
    std::optional<RequestId> next_track() { return self().send(kiv_ipod_next_track); } /**< next track */
    std::optional<RequestId> prev_track() { return self().send(kiv_ipod_prev_track); } /**< previous track */
    std::optional<RequestId> start_ffw() {
        return self().send(kiv_ipod_start_ffw);
    } /**< start fast forward */
    std::optional<RequestId> start_rew() { return self().send(kiv_ipod_start_rew); } /**< start rewind */
    std::optional<RequestId> stop_ffwrew() {
        return self().send(kiv_ipod_stop_ffwrew);
    } /**< end ffw/rewind */
    /** Moves the play position. */
    template <class Rep, class Period>
    std::optional<RequestId> set_position(std::chrono::duration<Rep, Period> at) {
        return self().send(kiv_ipod_set_position, detail::units(at));
    }
    /** Fills the current-track cache. */
    std::optional<RequestId> current_track_info() { return self().send(kiv_ipod_current_track_info); }
    /** Updates sample_rate(). */
    std::optional<RequestId> get_sample_rate() { return self().send(kiv_ipod_get_sample_rate); }
    /** Fills the play state, length and position. */
    std::optional<RequestId> get_play_state() { return self().send(kiv_ipod_get_play_state); }
    /** Updates track_index(). */
    std::optional<RequestId> get_current_track_index() {
        return self().send(kiv_ipod_get_current_track_index);
    }
    /** Sets the shuffle mode. */
    std::optional<RequestId> set_shuffle(Shuffle mode) {
        return self().send(kiv_ipod_set_shuffle, detail::raw(mode));
    }
    /** Asks for the shuffle mode. */
    std::optional<RequestId> get_shuffle() { return self().send(kiv_ipod_get_shuffle); }
    /** Sets the repeat mode. */
    std::optional<RequestId> set_repeat(Repeat mode) {
        return self().send(kiv_ipod_set_repeat, detail::raw(mode));
    }
    /** Asks for the repeat mode. */
    std::optional<RequestId> get_repeat() { return self().send(kiv_ipod_get_repeat); }
    /** Asks for the device mode. */
    std::optional<RequestId> get_mode() { return self().send(kiv_ipod_get_mode); }
    /** Answers a ping. */
    std::optional<RequestId> ping() { return self().send(kiv_ipod_ping); }
    /** Fills artwork(); @p edge pixels on the longer edge, or the daemon's default. */
    std::optional<RequestId> current_track_artwork(std::int32_t edge = default_artwork_size) {
        return self().send(kiv_ipod_current_track_artwork, edge);
    }
    /** Selects a database category; updates record_count(). */
    std::optional<RequestId> set_category(Category category) {
        return self().send(kiv_ipod_set_category, detail::raw(category));
    }
    /** Sends a hierarchy number. */
    std::optional<RequestId> set_hierarchy(std::int32_t value) {
        return self().send(kiv_ipod_set_hierarchy, value);
    }
    /** Selects record @p index of @p category; updates record_count(). */
    std::optional<RequestId> select_db(Category category, std::int32_t index) {
        return self().send(kiv_ipod_select_db, detail::raw(category), index);
    }
    /** Asks for records @p a, @p b; fills records(). */
    std::optional<RequestId> get_records(std::int32_t a, std::int32_t b) {
        return self().send(kiv_ipod_get_records, a, b);
    }
    /** Fills the indexed-track cache with track @p index. */
    std::optional<RequestId> indexed_track_info(std::int32_t index) {
        return self().send(kiv_ipod_indexed_track_info, index);
    }
    /** Fills chapter_info(). */
    std::optional<RequestId> indexed_track_chapter_info(std::int32_t a, std::int32_t b) {
        return self().send(kiv_ipod_indexed_track_chapter_info, a, b);
    }
    /** Asks the device to write its tags. */
    std::optional<RequestId> write_tag() { return self().send(kiv_ipod_write_tag); }
    /** Asks for database information of @p type. */
    std::optional<RequestId> get_db_itunes_info(std::int32_t type) {
        return self().send(kiv_ipod_get_db_itunes_info, type);
    }
    /** Fills db_track_info(). */
    std::optional<RequestId> get_db_track_info(std::int32_t offset, std::int32_t count, std::int32_t third) {
        return self().send(kiv_ipod_get_db_track_info, offset, count, third);
    }
    /** Fills pb_track_info(). */
    std::optional<RequestId> get_pb_track_info(std::int32_t offset, std::int32_t count, std::int32_t third) {
        return self().send(kiv_ipod_get_pb_track_info, offset, count, third);
    }
    /** Sends one piece of a uid list. */
    std::optional<RequestId> prepare_uid_list(std::int32_t cur, std::int32_t max, ByteView piece) {
        return self().send(kiv_ipod_prepare_uid_list, cur, max, static_cast<std::int32_t>(piece.size()),
                           reinterpret_cast<const char *>(piece.data()));
    }
    /** Plays the track with @p uid. */
    std::optional<RequestId> play_uid_list(const Uid &uid) {
        return self().send(kiv_ipod_play_uid_list, uid.data());
    }
    /** Fills lingo_version(). */
    std::optional<RequestId> request_lingo_version(Lingo lingo) {
        return self().send(kiv_ipod_request_lingo_version, detail::raw(lingo));
    }
    /** Plays chapter @p index of the current track. */
    std::optional<RequestId> set_current_playing_track_chapter(std::int32_t index) {
        return self().send(kiv_ipod_set_current_playing_track_chapter, index);
    }
    /** Plays track @p index. */
    std::optional<RequestId> set_current_playing_track(std::int32_t index) {
        return self().send(kiv_ipod_set_current_playing_track, index);
    }
    /** Sends the available-current setting. */
    std::optional<RequestId> set_available_current(std::int32_t value) {
        return self().send(kiv_ipod_set_available_current, value);
    }
    /** Asks for the artwork data of the track with @p uid (not cached). */
    std::optional<RequestId> get_artwork_data(const Uid &uid) {
        return self().send(kiv_ipod_get_artwork_data, uid.data());
    }
    /** Makes device @p index current and opens a session on it. */
    std::optional<RequestId> open_session(int index) { return self().send(kiv_ipod_open_session, index); }
    /** Closes the session. */
    std::optional<RequestId> close_session() { return self().send(kiv_ipod_close_session); }
    /** Re-runs authentication. */
    std::optional<RequestId> reauthentication(std::int32_t value) {
        return self().send(kiv_ipod_reauthentication, value);
    }
    /** Sets a preference. */
    std::optional<RequestId> set_preference(Preference type, Setting setting) {
        return self().send(kiv_ipod_set_preference, detail::raw(type), detail::raw(setting));
    }
    /** Reads a preference; the reply's result is a Setting number. */
    std::optional<RequestId> get_preference(Preference type) {
        return self().send(kiv_ipod_get_preference, detail::raw(type));
    }
    /** Sends a state change. */
    std::optional<RequestId> set_statechange(std::int32_t value) {
        return self().send(kiv_ipod_set_statechange, value);
    }
    /** Enters video-out mode. */
    std::optional<RequestId> enter_videooutmode() { return self().send(kiv_ipod_enter_videooutmode); }
    /** Leaves video-out mode. */
    std::optional<RequestId> exit_videooutmode() { return self().send(kiv_ipod_exit_videooutmode); }
    /** Asks for the video-out options. */
    std::optional<RequestId> get_videooutoptions(bool value) {
        return self().send(kiv_ipod_get_videooutoptions, value ? 1 : 0);
    }
    /** Sets the video-out options. */
    std::optional<RequestId> set_videooutoptions(std::int32_t value) {
        return self().send(kiv_ipod_set_videooutoptions, value);
    }
    /** Sends a video-out navigation value. */
    std::optional<RequestId> navigate_videoout(std::int32_t value) {
        return self().send(kiv_ipod_navigate_videoout, value);
    }
    /** Sends Bluetooth hardware information. */
    std::optional<RequestId> set_bluetooth_hw_info(std::uint32_t device_class, std::int32_t pairing_type,
                                                   const std::string &pin_code, const std::string &address) {
        return self().send(kiv_ipod_set_bluetooth_hw_info, device_class, pairing_type, pin_code.c_str(),
                           address.c_str());
    }
    /** Reports the Bluetooth connection state of device @p serial. */
    std::optional<RequestId> set_bluetooth_state(bool connected, const std::string &serial) {
        return self().send(kiv_ipod_set_bluetooth_state, connected ? 1 : 0, serial.c_str());
    }
    /** Restarts identification. */
    std::optional<RequestId> restart_idps(std::int32_t value) {
        return self().send(kiv_ipod_restart_idps, value);
    }
    /** Passes one configuration entry to the daemon. */
    std::optional<RequestId> set_config(const std::string &key, const std::string &value) {
        return self().send(kiv_ipod_set_config, key.c_str(), value.c_str());
    }
    /** Launches the application @p name on the device. */
    std::optional<RequestId> launch_application(const std::string &name) {
        return self().send(kiv_ipod_launch_application, name.c_str());
    }
    /** Sends an EAP datagram on @p session_id. */
    std::optional<RequestId> send_eap_datagram(std::int32_t session_id, ByteView data) {
        return self().send(kiv_ipod_send_eap_datagram, session_id, data.data(),
                           static_cast<std::int32_t>(data.size()));
    }

private:
    C &self() noexcept { return static_cast<C &>(*this); }
};

/** The blocking (_sync) requests of Client (@p C); see Client. */
template <class C>
class SyncRequests {
public:
    // ---------------------------------------------------------------- blocking requests
    // Each sends one request and reads until its reply (running the
    // handlers for what arrives first). The result is typed; an Error
    // carries the daemon's error text when it sent one.

    Result<std::int32_t> play_sync() { return self().standard(kiv_ipod_play_sync); }   /**< play */
    Result<std::int32_t> stop_sync() { return self().standard(kiv_ipod_stop_sync); }   /**< stop */
    Result<std::int32_t> pause_sync() { return self().standard(kiv_ipod_pause_sync); } /**< pause */
    Result<std::int32_t> next_track_sync() {
        return self().standard(kiv_ipod_next_track_sync);
    } /**< next track */
    Result<std::int32_t> prev_track_sync() {
        return self().standard(kiv_ipod_prev_track_sync);
    } /**< previous track */
    Result<std::int32_t> start_ffw_sync() {
        return self().standard(kiv_ipod_start_ffw_sync);
    } /**< fast forward */
    Result<std::int32_t> start_rew_sync() { return self().standard(kiv_ipod_start_rew_sync); } /**< rewind */
    Result<std::int32_t> stop_ffwrew_sync() {
        return self().standard(kiv_ipod_stop_ffwrew_sync);
    } /**< end ffw/rewind */
    /** Moves the play position. */
    template <class Rep, class Period>
    Result<std::int32_t> set_position_sync(std::chrono::duration<Rep, Period> at) {
        return self().standard(kiv_ipod_set_position_sync, detail::units(at));
    }
    /** Fills the current-track cache; the reply's "current_track_info" integer. */
    Result<std::int32_t> current_track_info_sync() {
        return self().standard(kiv_ipod_current_track_info_sync);
    }
    /** The play status (also fills track_state(), length() and position()). */
    Result<PlayStatus> get_play_state_sync() {
        return self().template named<PlayStatus>(kiv_ipod_get_play_state_sync);
    }
    /** The current track index (also stored as track_index()). */
    Result<std::int32_t> get_current_track_index_sync() {
        return self().standard(kiv_ipod_get_current_track_index_sync);
    }
    /** Sets the shuffle mode. */
    Result<std::int32_t> set_shuffle_sync(Shuffle mode) {
        return self().standard(kiv_ipod_set_shuffle_sync, detail::raw(mode));
    }
    /** The shuffle mode. */
    Result<Shuffle> get_shuffle_sync() { return self().template named<Shuffle>(kiv_ipod_get_shuffle_sync); }
    /** Sets the repeat mode. */
    Result<std::int32_t> set_repeat_sync(Repeat mode) {
        return self().standard(kiv_ipod_set_repeat_sync, detail::raw(mode));
    }
    /** The repeat mode. */
    Result<Repeat> get_repeat_sync() { return self().template named<Repeat>(kiv_ipod_get_repeat_sync); }
    /** Fills artwork(). */
    Result<Artwork> current_track_artwork_sync(std::int32_t edge = default_artwork_size) {
        std::int32_t r = self().call(kiv_ipod_current_track_artwork_sync, edge);
        auto art = self().artwork();
        if (r != 1 || !art) return self().failure(r);
        return *art;
    }
    /** Selects a category: the number of records in it. */
    Result<std::int32_t> set_category_sync(Category category) {
        return self().counted(self().call(kiv_ipod_set_category_sync, detail::raw(category)));
    }
    /** Sends a hierarchy number. */
    Result<std::int32_t> set_hierarchy_sync(std::int32_t value) {
        return self().standard(kiv_ipod_set_hierarchy_sync, value);
    }
    /** Selects record @p index of @p category: the number of records below it. */
    Result<std::int32_t> select_db_sync(Category category, std::int32_t index) {
        return self().counted(self().call(kiv_ipod_select_db_sync, detail::raw(category), index));
    }
    /** Asks for records @p a, @p b; fills records(). Element 1 of the reply. */
    Result<std::int32_t> get_records_sync(std::int32_t a, std::int32_t b) {
        return self().standard(kiv_ipod_get_records_sync, a, b);
    }
    /** Fills the indexed-track cache; the reply's "indexed_track_info" integer. */
    Result<std::int32_t> indexed_track_info_sync(std::int32_t index) {
        return self().standard(kiv_ipod_indexed_track_info_sync, index);
    }
    /** The chapter information list. */
    Result<ValueView> indexed_track_chapter_info_sync(std::int32_t a, std::int32_t b) {
        return self().listed(self().call(kiv_ipod_indexed_track_chapter_info_sync, a, b),
                             kiv_ipod_get_result_indexed_track_chapter_info);
    }
    /** Asks the device to write its tags. */
    Result<std::int32_t> write_tag_sync() { return self().standard(kiv_ipod_write_tag_sync); }
    /** The database track-information list. */
    Result<ValueView> get_db_track_info_sync(std::int32_t offset, std::int32_t count, std::int32_t third) {
        return self().listed(self().call(kiv_ipod_get_db_track_info_sync, offset, count, third),
                             kiv_ipod_get_result_db_track_info);
    }
    /** The playback-list track-information list. */
    Result<ValueView> get_pb_track_info_sync(std::int32_t offset, std::int32_t count, std::int32_t third) {
        return self().listed(self().call(kiv_ipod_get_pb_track_info_sync, offset, count, third),
                             kiv_ipod_get_result_pb_track_info);
    }
    /** The version text of @p lingo. */
    Result<std::string_view> request_lingo_version_sync(Lingo lingo) {
        std::int32_t r = self().call(kiv_ipod_request_lingo_version_sync, detail::raw(lingo));
        if (r != 1) return self().failure(r);
        return self().lingo_version();
    }
    /** Opens a session on device @p index. */
    Result<void> open_session_sync(int index) {
        std::int32_t r = self().call(kiv_ipod_open_session_sync, index);
        if (r != 1) return self().failure(r);
        return {};
    }
    /** Closes the session. */
    Result<std::int32_t> close_session_sync() { return self().standard(kiv_ipod_close_session_sync); }
    /** Re-runs authentication. */
    Result<std::int32_t> reauthentication_sync(std::int32_t value) {
        return self().standard(kiv_ipod_reauthentication_sync, value);
    }
    /** Sets a preference. */
    Result<std::int32_t> set_preference_sync(Preference type, Setting setting) {
        return self().standard(kiv_ipod_set_preference_sync, detail::raw(type), detail::raw(setting));
    }
    /** Reads a preference. */
    Result<Setting> get_preference_sync(Preference type) {
        std::int32_t r = self().call(kiv_ipod_get_preference_sync, detail::raw(type));
        auto s = detail::to_enum<Setting>(r);
        if (!s) return self().failure(r);
        return *s;
    }
    /** Sends a state change. */
    Result<std::int32_t> set_statechange_sync(std::int32_t value) {
        return self().standard(kiv_ipod_set_statechange_sync, value);
    }
    /** The video-out options. */
    Result<std::int32_t> get_videooutoptions_sync(bool value) {
        return self().standard(kiv_ipod_get_videooutoptions_sync, value ? 1 : 0);
    }
    /** Sets the video-out options. */
    Result<std::int32_t> set_videooutoptions_sync(std::int32_t value) {
        return self().standard(kiv_ipod_set_videooutoptions_sync, value);
    }
    /** Sends a video-out navigation value. */
    Result<std::int32_t> navigate_videoout_sync(std::int32_t value) {
        return self().standard(kiv_ipod_navigate_videoout_sync, value);
    }
    /** Launches the application @p name on the device. */
    Result<std::int32_t> launch_application_sync(const std::string &name) {
        return self().standard(kiv_ipod_launch_application_sync, name.c_str());
    }
    /** Sends an EAP datagram on @p session_id. */
    Result<std::int32_t> send_eap_datagram_sync(std::int32_t session_id, ByteView data) {
        return self().standard(kiv_ipod_send_eap_datagram_sync, session_id, data.data(),
                               static_cast<std::int32_t>(data.size()));
    }
    /** Sends all of @p text as one uid-list piece and waits; the reply is not read. */
    Result<void> prepare_uid_list_sync(const std::string &text) {
        return self().unread(kiv_ipod_prepare_uid_list_sync, text.c_str());
    }
    /** Plays the track @p uid and waits; the reply is not read. */
    Result<void> play_uid_list_sync(const Uid &uid) {
        return self().unread(kiv_ipod_play_uid_list_sync, uid.data());
    }
    /** Sends the available-current setting and waits; the reply is not read. */
    Result<void> set_available_current_sync(std::int32_t value) {
        return self().unread(kiv_ipod_set_available_current_sync, value);
    }
    /** Asks for the artwork data of @p uid and waits; the reply is discarded. */
    Result<void> get_artwork_data_sync(const Uid &uid) {
        return self().unread(kiv_ipod_get_artwork_data_sync, uid.data());
    }
    /** Diagnostic examination: sends @p text and @p value; the daemon's
     *  answer as an owned Value, or an Error without one. */
    Result<Value> health_examine(const std::string &text, Value value = Value::adopt(nullptr)) {
        if (!self().client_) return self().failure(-1);
        Value answer = Value::adopt(kiv_ipod_health_examine(self().client_, text.c_str(), value.release()));
        if (!answer) return self().failure(-1);
        return answer;
    }

private:
    C &self() noexcept { return static_cast<C &>(*this); }
};

}  // namespace kiv::ipod::detail

#endif
