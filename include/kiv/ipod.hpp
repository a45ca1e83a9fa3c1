/**
 * @file
 * kiv::ipod: the C++17 interface of libkiv-ipod-2.
 *
 * Header-only, over the functions of kiv_ipod.h (it adds no symbol to the
 * library). Compiles with -fno-exceptions and -fno-rtti: failures come
 * back as values (std::optional, kiv::ipod::Result), never as exceptions.
 *
 * What maps to what:
 * - kiv_ipod_connect() / kiv_ipod_close(): Client::connect() and the
 *   destructor of the move-only Client. A moved-from Client is inert: its
 *   accessors answer "unknown" and its requests send nothing.
 * - accessors that answer -1 or NULL for "not known": std::optional.
 * - the named numbers and the KIV_IPOD_EVENT_ types: enum classes; a
 *   number the daemon sent that has no name reads as std::nullopt.
 * - asynchronous requests: std::optional<RequestId> (nullopt: nothing was
 *   sent); _sync requests: Result<T>, the typed result or an Error that
 *   carries the daemon's error text (kiv_ipod_last_error()).
 * - callbacks: any callable, through Client::on_event(), on_reply() and
 *   on_ping().
 *
 * Lifetimes (the one rule for every std::string_view, ByteView and
 * ValueView this interface returns): they borrow from the library and
 * stay valid exactly as long as the C pointer they wrap: until the next
 * reply or event of the same kind supersedes it, the next cache reset, or
 * the Client is destroyed; those taken from an Event or a Reply end with
 * the callback. Copy what must live longer (std::string, Value::copy()).
 *
 * Threads: the library owns no threads and takes no locks. A Client and
 * everything borrowed from it are used from one thread at a time.
 * Handlers run on that thread, inside Client::read() or inside a _sync
 * call; they may call the Client again (_sync calls included) but must
 * not destroy it or move from it.
 */
#ifndef KIV_IPOD_HPP
#define KIV_IPOD_HPP

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "kiv/ipod/event.hpp"
#include "kiv/ipod/result.hpp"
#include "kiv/ipod/types.hpp"
#include "kiv/value.hpp"
#include "kiv_ipod.h"

namespace kiv::ipod {

class Client;

namespace detail {
struct Handlers {
    Client *owner = nullptr;
    // Held by shared_ptr so that a handler may replace itself while it runs.
    std::shared_ptr<std::function<void(Client &, const Event &)>> event;
    std::shared_ptr<std::function<void(Client &, const Reply &)>> reply;
    std::shared_ptr<std::function<void(Client &, RequestId)>> ping;
};
inline int on_event(kiv_ipod_client *, kiv_ipod_event *, void *);
inline int on_reply(kiv_ipod_client *, std::uint32_t, std::int32_t, const char *, void *);
inline int on_ping(kiv_ipod_client *, std::uint32_t, void *);
}  // namespace detail

/**
 * One connection to the daemon (kiv_ipod_client). Move-only; closes the
 * connection when destroyed. See the top of this header for lifetimes and
 * threads.
 */
class Client {
public:
    /** An inert client (as a moved-from one). */
    Client() noexcept = default;
    /** Connects and performs the opening handshake. */
    static Result<Client> connect() {
        kiv_ipod_client *c = kiv_ipod_connect();
        if (!c && kiv_ipod_connect_error()) return Error(-1, kiv_ipod_connect_error(), ErrorKind::daemon);
        if (!c) return Error(-1, "the iPod daemon cannot be reached", ErrorKind::not_connected);
        if (kiv_ipod_fd(c) < 0) {
            kiv_ipod_close(c);
            return Error(-1, "the iPod daemon closed the connection during the opening handshake", false);
        }
        return Client(c);
    }
    /** Takes over @p client (closed with this Client). */
    static Client adopt(kiv_ipod_client *client) noexcept { return Client(client); }

    Client(Client &&other) noexcept
        : client_(std::exchange(other.client_, nullptr)), handlers_(std::move(other.handlers_)) {
        if (handlers_) handlers_->owner = this;
    }
    Client &operator=(Client &&other) noexcept {
        if (this != &other) {
            kiv_ipod_close(client_);
            client_ = std::exchange(other.client_, nullptr);
            handlers_ = std::move(other.handlers_);
            if (handlers_) handlers_->owner = this;
        }
        return *this;
    }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;
    ~Client() { kiv_ipod_close(client_); }

    /** False for an inert (moved-from or default) client. */
    explicit operator bool() const noexcept { return client_ != nullptr; }
    /** The C handle (still owned by this Client). */
    kiv_ipod_client *get() const noexcept { return client_; }
    /** Hands the C handle over to the caller, with no handler installed. */
    kiv_ipod_client *release() noexcept {
        if (client_) {
            kiv_ipod_set_event_cb(client_, nullptr, nullptr);
            kiv_ipod_set_reply_cb(client_, nullptr, nullptr);
            kiv_ipod_set_ping_cb(client_, nullptr, nullptr);
        }
        handlers_.reset();
        return std::exchange(client_, nullptr);
    }

    // ---------------------------------------------------------------- loop

    /** The descriptor to poll; -1 once the connection is lost (poll()
     *  ignores a negative descriptor). */
    int fd() const noexcept { return client_ ? kiv_ipod_fd(client_) : -1; }
    /** True while the connection is up. */
    bool connected() const noexcept { return fd() >= 0; }
    /** Reads once and runs the handlers: the number of packets the read
     *  completed, or an Error once the connection is lost. */
    Result<std::size_t> read() {
        if (!client_) return lost(-1);
        std::int32_t n = kiv_ipod_read(client_);
        if (n < 0) return lost(n);
        return static_cast<std::size_t>(n);
    }

    /** Bounds every blocking operation (each _sync wait for its reply and
     *  each write that waits for room; see kiv_ipod_set_timeout()); zero or
     *  less removes the bound, longer than INT32_MAX ms is clamped to it. A
     *  wait that expires makes the _sync call fail with an Error and keeps
     *  the connection. @return the previous bound, nullopt for none. */
    std::optional<std::chrono::milliseconds> set_timeout(std::chrono::milliseconds bound) noexcept {
        if (!client_) return std::nullopt;
        constexpr auto most = std::chrono::milliseconds(INT32_MAX);
        std::int32_t ms = static_cast<std::int32_t>(bound.count() <= 0 ? 0 : std::min(bound, most).count());
        std::int32_t previous = kiv_ipod_set_timeout(client_, ms);
        if (previous <= 0) return std::nullopt;
        return std::chrono::milliseconds(previous);
    }

    /** Calls @p handler(Client &, const Event &) (or handler(const Event &))
     *  for each event; nullptr removes it. Events change the caches either way. */
    template <class F>
    void on_event(F &&handler) {
        install(handler_ref().event, std::forward<F>(handler), kiv_ipod_set_event_cb, &detail::on_event);
    }
    /** Calls @p handler(Client &, const Reply &) (or handler(const Reply &))
     *  for each reply; nullptr removes it. Without a reply handler, replies
     *  to asynchronous requests are dropped and fill no cache. */
    template <class F>
    void on_reply(F &&handler) {
        install(handler_ref().reply, std::forward<F>(handler), kiv_ipod_set_reply_cb, &detail::on_reply);
    }
    /** Calls @p handler(Client &, RequestId) (or handler(RequestId)) for
     *  each ping; nullptr removes it. */
    template <class F>
    void on_ping(F &&handler) {
        install(handler_ref().ping, std::forward<F>(handler), kiv_ipod_set_ping_cb, &detail::on_ping);
    }

    // ---------------------------------------------------------------- state

    /** The daemon's process id from the opening reply. */
    int daemon_pid() const noexcept { return client_ ? kiv_ipod_pid(client_) : 0; }
    /** True when the current device is ready for requests. */
    bool ready() const noexcept { return client_ && kiv_ipod_is_ready(client_) == 1; }
    /** True while a session is open. */
    bool session_opened() const noexcept { return client_ && kiv_ipod_is_session_opened(client_) == 1; }
    /** The "error" text of the latest failed reply (see kiv_ipod_last_error()). */
    std::optional<std::string_view> last_error() const noexcept {
        return client_ ? detail::text(kiv_ipod_last_error(client_)) : std::nullopt;
    }

    /** Number of devices in the list. */
    int device_count() const noexcept { return client_ ? kiv_ipod_device_count(client_) : 0; }
    /** Device @p index; nullopt outside the list. */
    std::optional<Device> device(int index) const noexcept {
        if (index < 0 || index >= device_count()) return std::nullopt;
        return Device(client_, index);
    }
    /** The index of the device with @p serial. */
    std::optional<int> device_index(const std::string &serial) const noexcept {
        return client_ ? detail::known(kiv_ipod_device_index(client_, serial.c_str())) : std::nullopt;
    }
    /** The index of the current device. */
    std::optional<int> current_session() const noexcept { return integer(kiv_ipod_current_session); }

    /** Current track: title. */
    std::optional<std::string_view> title() const noexcept { return str(kiv_ipod_current_track_title); }
    /** Current track: artist. */
    std::optional<std::string_view> artist() const noexcept { return str(kiv_ipod_current_track_artist); }
    /** Current track: album. */
    std::optional<std::string_view> album() const noexcept { return str(kiv_ipod_current_track_album); }
    /** Current track: composer. */
    std::optional<std::string_view> composer() const noexcept { return str(kiv_ipod_current_track_composer); }
    /** Current track: genre. */
    std::optional<std::string_view> genre() const noexcept { return str(kiv_ipod_current_track_genre); }
    /** Current track: chapter text. */
    std::optional<std::string_view> chapter() const noexcept { return str(kiv_ipod_current_track_chapter); }
    /** Current track: uid. */
    std::optional<Uid> uid() const noexcept {
        return client_ ? detail::uid(kiv_ipod_current_track_uid(client_)) : std::nullopt;
    }
    /** Current track: number of tracks in the list. */
    std::optional<std::int32_t> number_of_tracks() const noexcept {
        return integer(kiv_ipod_current_number_of_tracks);
    }
    /** Current track: its index. */
    std::optional<std::int32_t> track_index() const noexcept { return integer(kiv_ipod_current_track_index); }
    /** Current track: chapter index. */
    std::optional<std::int32_t> chapter_index() const noexcept {
        return integer(kiv_ipod_current_chapter_index);
    }
    /** Current track: chapter count (0 when not known). */
    std::int32_t chapter_count() const noexcept {
        return client_ ? kiv_ipod_current_chapter_count(client_) : 0;
    }
    /** Current track: length. */
    std::optional<Duration> length() const noexcept { return duration(kiv_ipod_current_track_length); }
    /** Current track: play position. */
    std::optional<Duration> position() const noexcept { return duration(kiv_ipod_current_track_position); }
    /** Current track: play state. */
    std::optional<TrackState> track_state() const noexcept {
        auto v = integer(kiv_ipod_current_track_state);
        return v ? detail::to_enum<TrackState>(*v) : std::nullopt;
    }
    /** Current track: sample rate. */
    std::optional<std::int32_t> sample_rate() const noexcept { return integer(kiv_ipod_current_sample_rate); }
    /** Current track: "timestamp" (0 when not known). */
    std::int32_t timestamp() const noexcept {
        return client_ ? kiv_ipod_current_track_timestamp(client_) : 0;
    }
    /** Current track: "timestamp_usec" (0 when not known). */
    std::int32_t timestamp_usec() const noexcept {
        return client_ ? kiv_ipod_current_track_timestamp_usec(client_) : 0;
    }
    /** Current track: has artwork. */
    bool has_artwork() const noexcept { return flag(kiv_ipod_current_track_has_artwork); }
    /** Current track: has chapters. */
    bool has_chapters() const noexcept { return flag(kiv_ipod_current_track_has_chapters); }
    /** Current track: is an audiobook. */
    bool is_audiobook() const noexcept { return flag(kiv_ipod_current_track_is_audiobook); }
    /** Current track: is a podcast. */
    bool is_podcast() const noexcept { return flag(kiv_ipod_current_track_is_podcast); }
    /** Shuffle mode from the last shuffle_changed event. */
    std::optional<Shuffle> shuffle() const noexcept {
        auto v = integer(kiv_ipod_current_shuffle_state);
        return v ? detail::to_enum<Shuffle>(*v) : std::nullopt;
    }
    /** Repeat mode from the last repeat_changed event. */
    std::optional<Repeat> repeat() const noexcept {
        auto v = integer(kiv_ipod_current_repeat_state);
        return v ? detail::to_enum<Repeat>(*v) : std::nullopt;
    }
    /** Artwork of the current track, once an artwork reply brought it. */
    std::optional<Artwork> artwork() const noexcept {
        const unsigned char *p = client_ ? kiv_ipod_current_track_artwork_data(client_) : nullptr;
        if (!p) return std::nullopt;
        return Artwork{kiv_ipod_current_track_artwork_width(client_),
                       kiv_ipod_current_track_artwork_height(client_),
                       kiv_ipod_current_track_artwork_rowstride(client_),
                       ByteView(p, kiv_ipod_current_track_artwork_length(client_))};
    }

    /** Indexed track: title. */
    std::optional<std::string_view> indexed_title() const noexcept {
        return str(kiv_ipod_indexed_track_title);
    }
    /** Indexed track: artist. */
    std::optional<std::string_view> indexed_artist() const noexcept {
        return str(kiv_ipod_indexed_track_artist);
    }
    /** Indexed track: album. */
    std::optional<std::string_view> indexed_album() const noexcept {
        return str(kiv_ipod_indexed_track_album);
    }
    /** Indexed track: uid. */
    std::optional<Uid> indexed_uid() const noexcept {
        return client_ ? detail::uid(kiv_ipod_indexed_track_uid(client_)) : std::nullopt;
    }
    /** Indexed track: length. */
    std::optional<Duration> indexed_length() const noexcept {
        return duration(kiv_ipod_indexed_track_length);
    }
    /** Indexed track: chapter count (0 when not known). */
    std::int32_t indexed_chapter_count() const noexcept {
        return client_ ? kiv_ipod_indexed_track_chapter_count(client_) : 0;
    }
    /** Indexed track: is an audiobook. */
    bool indexed_is_audiobook() const noexcept { return flag(kiv_ipod_indexed_track_is_audiobook); }
    /** Indexed track: is a podcast. */
    bool indexed_is_podcast() const noexcept { return flag(kiv_ipod_indexed_track_is_podcast); }
    /** Indexed track as the 9-element array of kiv_ipod_get_result_indexed_track_info(). */
    std::optional<ValueView> indexed_track_info() const noexcept {
        return tree(kiv_ipod_get_result_indexed_track_info);
    }

    /** Count from the last category or database selection. */
    std::optional<std::int32_t> record_count() const noexcept { return integer(kiv_ipod_record_count); }
    /** The last records reply (see kiv_ipod_records()). */
    std::optional<ValueView> records() const noexcept { return tree(kiv_ipod_records); }
    /** Record @p index of the last records reply. */
    std::optional<std::string_view> record(int index) const noexcept {
        return client_ ? detail::text(kiv_ipod_record(client_, index)) : std::nullopt;
    }
    /** The last database track-information list. */
    std::optional<ValueView> db_track_info() const noexcept {
        return tree(kiv_ipod_get_result_db_track_info);
    }
    /** The last playback-list track-information list. */
    std::optional<ValueView> pb_track_info() const noexcept {
        return tree(kiv_ipod_get_result_pb_track_info);
    }
    /** The last chapter-information list. */
    std::optional<ValueView> chapter_info() const noexcept {
        return tree(kiv_ipod_get_result_indexed_track_chapter_info);
    }
    /** Device uid from the last database-information reply (zeros before). */
    Uid db_device_uid() const noexcept {
        return client_ ? detail::uid(kiv_ipod_get_result_db_device_uid(client_)).value_or(Uid{}) : Uid{};
    }
    /** Last synchronisation time from the last database-information reply (zeros before). */
    std::array<unsigned char, 7> db_last_sync_time() const noexcept {
        std::array<unsigned char, 7> t{};
        const unsigned char *p = client_ ? kiv_ipod_get_result_db_last_sync_time(client_) : nullptr;
        for (std::size_t i = 0; p && i < t.size(); i++) t[i] = p[i];
        return t;
    }
    /** "count" of the last other database-information reply (0 before). */
    int db_itunes_info_count() const noexcept {
        return client_ ? kiv_ipod_get_result_db_itunes_info_count(client_) : 0;
    }
    /** The lingo version text "major.minor" (empty before any reply). */
    std::string_view lingo_version() const noexcept {
        return client_ ? std::string_view(kiv_ipod_get_result_lingo_version(client_)) : std::string_view();
    }

    // ---------------------------------------------------------------- asynchronous requests
    // Each sends one request; nullopt when nothing was sent (not ready, bad
    // argument, inert client). The reply reaches the reply handler.

    std::optional<RequestId> play() { return send(kiv_ipod_play); }               /**< play */
    std::optional<RequestId> stop() { return send(kiv_ipod_stop); }               /**< stop */
    std::optional<RequestId> pause() { return send(kiv_ipod_pause); }             /**< pause */
    std::optional<RequestId> next_track() { return send(kiv_ipod_next_track); }   /**< next track */
    std::optional<RequestId> prev_track() { return send(kiv_ipod_prev_track); }   /**< previous track */
    std::optional<RequestId> start_ffw() { return send(kiv_ipod_start_ffw); }     /**< start fast forward */
    std::optional<RequestId> start_rew() { return send(kiv_ipod_start_rew); }     /**< start rewind */
    std::optional<RequestId> stop_ffwrew() { return send(kiv_ipod_stop_ffwrew); } /**< end ffw/rewind */
    /** Moves the play position. */
    template <class Rep, class Period>
    std::optional<RequestId> set_position(std::chrono::duration<Rep, Period> at) {
        return send(kiv_ipod_set_position, detail::units(at));
    }
    /** Fills the current-track cache. */
    std::optional<RequestId> current_track_info() { return send(kiv_ipod_current_track_info); }
    /** Updates sample_rate(). */
    std::optional<RequestId> get_sample_rate() { return send(kiv_ipod_get_sample_rate); }
    /** Fills the play state, length and position. */
    std::optional<RequestId> get_play_state() { return send(kiv_ipod_get_play_state); }
    /** Updates track_index(). */
    std::optional<RequestId> get_current_track_index() { return send(kiv_ipod_get_current_track_index); }
    /** Sets the shuffle mode. */
    std::optional<RequestId> set_shuffle(Shuffle mode) {
        return send(kiv_ipod_set_shuffle, detail::raw(mode));
    }
    /** Asks for the shuffle mode. */
    std::optional<RequestId> get_shuffle() { return send(kiv_ipod_get_shuffle); }
    /** Sets the repeat mode. */
    std::optional<RequestId> set_repeat(Repeat mode) { return send(kiv_ipod_set_repeat, detail::raw(mode)); }
    /** Asks for the repeat mode. */
    std::optional<RequestId> get_repeat() { return send(kiv_ipod_get_repeat); }
    /** Asks for the device mode. */
    std::optional<RequestId> get_mode() { return send(kiv_ipod_get_mode); }
    /** Answers a ping. */
    std::optional<RequestId> ping() { return send(kiv_ipod_ping); }
    /** Fills artwork(); @p edge pixels on the longer edge, or the daemon's default. */
    std::optional<RequestId> current_track_artwork(std::int32_t edge = default_artwork_size) {
        return send(kiv_ipod_current_track_artwork, edge);
    }
    /** Selects a database category; updates record_count(). */
    std::optional<RequestId> set_category(Category category) {
        return send(kiv_ipod_set_category, detail::raw(category));
    }
    /** Sends a hierarchy number. */
    std::optional<RequestId> set_hierarchy(std::int32_t value) { return send(kiv_ipod_set_hierarchy, value); }
    /** Selects record @p index of @p category; updates record_count(). */
    std::optional<RequestId> select_db(Category category, std::int32_t index) {
        return send(kiv_ipod_select_db, detail::raw(category), index);
    }
    /** Asks for records @p a, @p b; fills records(). */
    std::optional<RequestId> get_records(std::int32_t a, std::int32_t b) {
        return send(kiv_ipod_get_records, a, b);
    }
    /** Fills the indexed-track cache with track @p index. */
    std::optional<RequestId> indexed_track_info(std::int32_t index) {
        return send(kiv_ipod_indexed_track_info, index);
    }
    /** Fills chapter_info(). */
    std::optional<RequestId> indexed_track_chapter_info(std::int32_t a, std::int32_t b) {
        return send(kiv_ipod_indexed_track_chapter_info, a, b);
    }
    /** Asks the device to write its tags. */
    std::optional<RequestId> write_tag() { return send(kiv_ipod_write_tag); }
    /** Asks for database information of @p type. */
    std::optional<RequestId> get_db_itunes_info(std::int32_t type) {
        return send(kiv_ipod_get_db_itunes_info, type);
    }
    /** Fills db_track_info(). */
    std::optional<RequestId> get_db_track_info(std::int32_t offset, std::int32_t count, std::int32_t third) {
        return send(kiv_ipod_get_db_track_info, offset, count, third);
    }
    /** Fills pb_track_info(). */
    std::optional<RequestId> get_pb_track_info(std::int32_t offset, std::int32_t count, std::int32_t third) {
        return send(kiv_ipod_get_pb_track_info, offset, count, third);
    }
    /** Sends one piece of a uid list. */
    std::optional<RequestId> prepare_uid_list(std::int32_t cur, std::int32_t max, ByteView piece) {
        return send(kiv_ipod_prepare_uid_list, cur, max, static_cast<std::int32_t>(piece.size()),
                    reinterpret_cast<const char *>(piece.data()));
    }
    /** Plays the track with @p uid. */
    std::optional<RequestId> play_uid_list(const Uid &uid) {
        return send(kiv_ipod_play_uid_list, uid.data());
    }
    /** Fills lingo_version(). */
    std::optional<RequestId> request_lingo_version(Lingo lingo) {
        return send(kiv_ipod_request_lingo_version, detail::raw(lingo));
    }
    /** Plays chapter @p index of the current track. */
    std::optional<RequestId> set_current_playing_track_chapter(std::int32_t index) {
        return send(kiv_ipod_set_current_playing_track_chapter, index);
    }
    /** Plays track @p index. */
    std::optional<RequestId> set_current_playing_track(std::int32_t index) {
        return send(kiv_ipod_set_current_playing_track, index);
    }
    /** Sends the available-current setting. */
    std::optional<RequestId> set_available_current(std::int32_t value) {
        return send(kiv_ipod_set_available_current, value);
    }
    /** Asks for the artwork data of the track with @p uid (not cached). */
    std::optional<RequestId> get_artwork_data(const Uid &uid) {
        return send(kiv_ipod_get_artwork_data, uid.data());
    }
    /** Makes device @p index current and opens a session on it. */
    std::optional<RequestId> open_session(int index) { return send(kiv_ipod_open_session, index); }
    /** Closes the session. */
    std::optional<RequestId> close_session() { return send(kiv_ipod_close_session); }
    /** Re-runs authentication. */
    std::optional<RequestId> reauthentication(std::int32_t value) {
        return send(kiv_ipod_reauthentication, value);
    }
    /** Sets a preference. */
    std::optional<RequestId> set_preference(Preference type, Setting setting) {
        return send(kiv_ipod_set_preference, detail::raw(type), detail::raw(setting));
    }
    /** Reads a preference; the reply's result is a Setting number. */
    std::optional<RequestId> get_preference(Preference type) {
        return send(kiv_ipod_get_preference, detail::raw(type));
    }
    /** Sends a state change. */
    std::optional<RequestId> set_statechange(std::int32_t value) {
        return send(kiv_ipod_set_statechange, value);
    }
    /** Enters video-out mode. */
    std::optional<RequestId> enter_videooutmode() { return send(kiv_ipod_enter_videooutmode); }
    /** Leaves video-out mode. */
    std::optional<RequestId> exit_videooutmode() { return send(kiv_ipod_exit_videooutmode); }
    /** Asks for the video-out options. */
    std::optional<RequestId> get_videooutoptions(bool value) {
        return send(kiv_ipod_get_videooutoptions, value ? 1 : 0);
    }
    /** Sets the video-out options. */
    std::optional<RequestId> set_videooutoptions(std::int32_t value) {
        return send(kiv_ipod_set_videooutoptions, value);
    }
    /** Sends a video-out navigation value. */
    std::optional<RequestId> navigate_videoout(std::int32_t value) {
        return send(kiv_ipod_navigate_videoout, value);
    }
    /** Sends Bluetooth hardware information. */
    std::optional<RequestId> set_bluetooth_hw_info(std::uint32_t device_class, std::int32_t pairing_type,
                                                   const std::string &pin_code, const std::string &address) {
        return send(kiv_ipod_set_bluetooth_hw_info, device_class, pairing_type, pin_code.c_str(),
                    address.c_str());
    }
    /** Reports the Bluetooth connection state of device @p serial. */
    std::optional<RequestId> set_bluetooth_state(bool connected, const std::string &serial) {
        return send(kiv_ipod_set_bluetooth_state, connected ? 1 : 0, serial.c_str());
    }
    /** Restarts identification. */
    std::optional<RequestId> restart_idps(std::int32_t value) { return send(kiv_ipod_restart_idps, value); }
    /** Passes one configuration entry to the daemon. */
    std::optional<RequestId> set_config(const std::string &key, const std::string &value) {
        return send(kiv_ipod_set_config, key.c_str(), value.c_str());
    }
    /** Launches the application @p name on the device. */
    std::optional<RequestId> launch_application(const std::string &name) {
        return send(kiv_ipod_launch_application, name.c_str());
    }
    /** Sends an EAP datagram on @p session_id. */
    std::optional<RequestId> send_eap_datagram(std::int32_t session_id, ByteView data) {
        return send(kiv_ipod_send_eap_datagram, session_id, data.data(),
                    static_cast<std::int32_t>(data.size()));
    }

    // ---------------------------------------------------------------- blocking requests
    // Each sends one request and reads until its reply (running the
    // handlers for what arrives first). The result is typed; an Error
    // carries the daemon's error text when it sent one.

    Result<std::int32_t> play_sync() { return standard(kiv_ipod_play_sync); }             /**< play */
    Result<std::int32_t> stop_sync() { return standard(kiv_ipod_stop_sync); }             /**< stop */
    Result<std::int32_t> pause_sync() { return standard(kiv_ipod_pause_sync); }           /**< pause */
    Result<std::int32_t> next_track_sync() { return standard(kiv_ipod_next_track_sync); } /**< next track */
    Result<std::int32_t> prev_track_sync() {
        return standard(kiv_ipod_prev_track_sync);
    }                                                                                   /**< previous track */
    Result<std::int32_t> start_ffw_sync() { return standard(kiv_ipod_start_ffw_sync); } /**< fast forward */
    Result<std::int32_t> start_rew_sync() { return standard(kiv_ipod_start_rew_sync); } /**< rewind */
    Result<std::int32_t> stop_ffwrew_sync() {
        return standard(kiv_ipod_stop_ffwrew_sync);
    } /**< end ffw/rewind */
    /** Moves the play position. */
    template <class Rep, class Period>
    Result<std::int32_t> set_position_sync(std::chrono::duration<Rep, Period> at) {
        return standard(kiv_ipod_set_position_sync, detail::units(at));
    }
    /** Fills the current-track cache; the reply's "current_track_info" integer. */
    Result<std::int32_t> current_track_info_sync() { return standard(kiv_ipod_current_track_info_sync); }
    /** The play status (also fills track_state(), length() and position()). */
    Result<PlayStatus> get_play_state_sync() { return named<PlayStatus>(kiv_ipod_get_play_state_sync); }
    /** The current track index (also stored as track_index()). */
    Result<std::int32_t> get_current_track_index_sync() {
        return standard(kiv_ipod_get_current_track_index_sync);
    }
    /** Sets the shuffle mode. */
    Result<std::int32_t> set_shuffle_sync(Shuffle mode) {
        return standard(kiv_ipod_set_shuffle_sync, detail::raw(mode));
    }
    /** The shuffle mode. */
    Result<Shuffle> get_shuffle_sync() { return named<Shuffle>(kiv_ipod_get_shuffle_sync); }
    /** Sets the repeat mode. */
    Result<std::int32_t> set_repeat_sync(Repeat mode) {
        return standard(kiv_ipod_set_repeat_sync, detail::raw(mode));
    }
    /** The repeat mode. */
    Result<Repeat> get_repeat_sync() { return named<Repeat>(kiv_ipod_get_repeat_sync); }
    /** Fills artwork(). */
    Result<Artwork> current_track_artwork_sync(std::int32_t edge = default_artwork_size) {
        std::int32_t r = call(kiv_ipod_current_track_artwork_sync, edge);
        auto art = artwork();
        if (r != 1 || !art) return failure(r);
        return *art;
    }
    /** Selects a category: the number of records in it. */
    Result<std::int32_t> set_category_sync(Category category) {
        return counted(call(kiv_ipod_set_category_sync, detail::raw(category)));
    }
    /** Sends a hierarchy number. */
    Result<std::int32_t> set_hierarchy_sync(std::int32_t value) {
        return standard(kiv_ipod_set_hierarchy_sync, value);
    }
    /** Selects record @p index of @p category: the number of records below it. */
    Result<std::int32_t> select_db_sync(Category category, std::int32_t index) {
        return counted(call(kiv_ipod_select_db_sync, detail::raw(category), index));
    }
    /** Asks for records @p a, @p b; fills records(). Element 1 of the reply. */
    Result<std::int32_t> get_records_sync(std::int32_t a, std::int32_t b) {
        return standard(kiv_ipod_get_records_sync, a, b);
    }
    /** Fills the indexed-track cache; the reply's "indexed_track_info" integer. */
    Result<std::int32_t> indexed_track_info_sync(std::int32_t index) {
        return standard(kiv_ipod_indexed_track_info_sync, index);
    }
    /** The chapter information list. */
    Result<ValueView> indexed_track_chapter_info_sync(std::int32_t a, std::int32_t b) {
        return listed(call(kiv_ipod_indexed_track_chapter_info_sync, a, b),
                      kiv_ipod_get_result_indexed_track_chapter_info);
    }
    /** Asks the device to write its tags. */
    Result<std::int32_t> write_tag_sync() { return standard(kiv_ipod_write_tag_sync); }
    /** The database track-information list. */
    Result<ValueView> get_db_track_info_sync(std::int32_t offset, std::int32_t count, std::int32_t third) {
        return listed(call(kiv_ipod_get_db_track_info_sync, offset, count, third),
                      kiv_ipod_get_result_db_track_info);
    }
    /** The playback-list track-information list. */
    Result<ValueView> get_pb_track_info_sync(std::int32_t offset, std::int32_t count, std::int32_t third) {
        return listed(call(kiv_ipod_get_pb_track_info_sync, offset, count, third),
                      kiv_ipod_get_result_pb_track_info);
    }
    /** The version text of @p lingo. */
    Result<std::string_view> request_lingo_version_sync(Lingo lingo) {
        std::int32_t r = call(kiv_ipod_request_lingo_version_sync, detail::raw(lingo));
        if (r != 1) return failure(r);
        return lingo_version();
    }
    /** Opens a session on device @p index. */
    Result<void> open_session_sync(int index) {
        std::int32_t r = call(kiv_ipod_open_session_sync, index);
        if (r != 1) return failure(r);
        return {};
    }
    /** Closes the session. */
    Result<std::int32_t> close_session_sync() { return standard(kiv_ipod_close_session_sync); }
    /** Re-runs authentication. */
    Result<std::int32_t> reauthentication_sync(std::int32_t value) {
        return standard(kiv_ipod_reauthentication_sync, value);
    }
    /** Sets a preference. */
    Result<std::int32_t> set_preference_sync(Preference type, Setting setting) {
        return standard(kiv_ipod_set_preference_sync, detail::raw(type), detail::raw(setting));
    }
    /** Reads a preference. */
    Result<Setting> get_preference_sync(Preference type) {
        std::int32_t r = call(kiv_ipod_get_preference_sync, detail::raw(type));
        auto s = detail::to_enum<Setting>(r);
        if (!s) return failure(r);
        return *s;
    }
    /** Sends a state change. */
    Result<std::int32_t> set_statechange_sync(std::int32_t value) {
        return standard(kiv_ipod_set_statechange_sync, value);
    }
    /** The video-out options. */
    Result<std::int32_t> get_videooutoptions_sync(bool value) {
        return standard(kiv_ipod_get_videooutoptions_sync, value ? 1 : 0);
    }
    /** Sets the video-out options. */
    Result<std::int32_t> set_videooutoptions_sync(std::int32_t value) {
        return standard(kiv_ipod_set_videooutoptions_sync, value);
    }
    /** Sends a video-out navigation value. */
    Result<std::int32_t> navigate_videoout_sync(std::int32_t value) {
        return standard(kiv_ipod_navigate_videoout_sync, value);
    }
    /** Launches the application @p name on the device. */
    Result<std::int32_t> launch_application_sync(const std::string &name) {
        return standard(kiv_ipod_launch_application_sync, name.c_str());
    }
    /** Sends an EAP datagram on @p session_id. */
    Result<std::int32_t> send_eap_datagram_sync(std::int32_t session_id, ByteView data) {
        return standard(kiv_ipod_send_eap_datagram_sync, session_id, data.data(),
                        static_cast<std::int32_t>(data.size()));
    }
    /** Sends all of @p text as one uid-list piece and waits; the reply is not read. */
    Result<void> prepare_uid_list_sync(const std::string &text) {
        return unread(kiv_ipod_prepare_uid_list_sync, text.c_str());
    }
    /** Plays the track @p uid and waits; the reply is not read. */
    Result<void> play_uid_list_sync(const Uid &uid) {
        return unread(kiv_ipod_play_uid_list_sync, uid.data());
    }
    /** Sends the available-current setting and waits; the reply is not read. */
    Result<void> set_available_current_sync(std::int32_t value) {
        return unread(kiv_ipod_set_available_current_sync, value);
    }
    /** Asks for the artwork data of @p uid and waits; the reply is discarded. */
    Result<void> get_artwork_data_sync(const Uid &uid) {
        return unread(kiv_ipod_get_artwork_data_sync, uid.data());
    }
    /** Diagnostic examination: sends @p text and @p value; the daemon's
     *  answer as an owned Value, or an Error without one. */
    Result<Value> health_examine(const std::string &text, Value value = Value::adopt(nullptr)) {
        if (!client_) return failure(-1);
        Value answer = Value::adopt(kiv_ipod_health_examine(client_, text.c_str(), value.release()));
        if (!answer) return failure(-1);
        return answer;
    }

private:
    explicit Client(kiv_ipod_client *client) noexcept : client_(client) {}

    // Accessor helpers: an inert client reads as "not known".
    using IntFn = int (*)(kiv_ipod_client *);
    std::optional<std::int32_t> integer(IntFn f) const noexcept {
        return client_ ? detail::known(f(client_)) : std::nullopt;
    }
    std::optional<Duration> duration(IntFn f) const noexcept {
        auto v = integer(f);
        if (!v) return std::nullopt;
        return Duration(*v);
    }
    bool flag(IntFn f) const noexcept { return client_ && f(client_) != 0; }
    std::optional<std::string_view> str(const char *(*f)(kiv_ipod_client *)) const noexcept {
        return client_ ? detail::text(f(client_)) : std::nullopt;
    }
    std::optional<ValueView> tree(serialize_value *(*f)(kiv_ipod_client *)) const noexcept {
        return client_ ? view(f(client_)) : std::nullopt;
    }

    // Request helpers: an inert client sends nothing.
    template <class F, class... A>
    std::optional<RequestId> send(F f, A... args) {
        return client_ ? detail::sent(f(client_, args...)) : std::nullopt;
    }
    template <class F, class... A>
    std::int32_t call(F f, A... args) {
        return client_ ? f(client_, args...) : -1;
    }
    Error failure(std::int32_t code) const {
        // A lost connection first: the handle may still hold the text of
        // an earlier failed reply.
        if (!connected()) return Error(code, "no connection to the iPod daemon", ErrorKind::not_connected);
        const auto kind = static_cast<ErrorKind>(kiv_ipod_last_error_kind(client_));
        if (auto text = last_error(); text && kind == ErrorKind::daemon)
            return Error(code, std::string(*text), ErrorKind::daemon);
        switch (kind) {
            case ErrorKind::not_ready:
                return Error(code, "the request was refused: no iPod is ready", kind);
            case ErrorKind::timeout:
                return Error(code, "no reply from the iPod daemon within the timeout", kind);
            case ErrorKind::limit:
                return Error(code, "refused by a limit of the library", kind);
            case ErrorKind::invalid_argument:
                return Error(code, "an argument cannot be used", kind);
            case ErrorKind::no_memory:
                return Error(code, "out of memory", kind);
            case ErrorKind::daemon:
                return Error(code, "the iPod daemon reported an error without a text", kind);
            default:
                return Error(code, "the reply carried no result", ErrorKind::none);
        }
    }
    // A _sync form whose C function returns 0 whatever happened: the kind
    // of the latest failure says whether it was sent and answered.
    template <class F, class... A>
    Result<void> unread(F f, A... args) {
        if (!client_) return lost(-1);
        f(client_, args...);
        if (!connected() || kiv_ipod_last_error_kind(client_) != KIV_IPOD_ERROR_NONE) return failure(0);
        return {};
    }
    Error lost(std::int32_t code) const {
        return Error(code, "the connection to the iPod daemon is lost", false);
    }
    template <class F, class... A>
    Result<std::int32_t> standard(F f, A... args) {
        std::int32_t r = call(f, args...);
        if (r == -1) return failure(r);
        return r;
    }
    template <class E, class F>
    Result<E> named(F f) {
        std::int32_t r = call(f);
        auto e = detail::to_enum<E>(r);
        if (!e) return failure(r);
        return *e;
    }
    Result<std::int32_t> counted(std::int32_t r) {
        auto count = record_count();
        if (r != 1 || !count) return failure(r);
        return *count;
    }
    Result<ValueView> listed(std::int32_t r, serialize_value *(*f)(kiv_ipod_client *)) {
        auto list = tree(f);
        if (r != 1 || !list) return failure(r);
        return *list;
    }

    detail::Handlers &handler_ref() {
        if (!handlers_) {
            handlers_ = std::make_unique<detail::Handlers>();
            handlers_->owner = this;
        }
        return *handlers_;
    }
    template <class Slot, class F, class Set, class Trampoline>
    void install(std::shared_ptr<Slot> &slot, F &&handler, Set set, Trampoline trampoline) {
        if (!client_) return;
        if constexpr (std::is_same_v<std::decay_t<F>, std::nullptr_t>) {
            slot.reset();
            set(client_, nullptr, nullptr);
        } else {
            slot = std::make_shared<Slot>(adapt<Slot>(std::forward<F>(handler)));
            set(client_, trampoline, handlers_.get());
        }
    }
    // Accepts handler(Client &, X) and handler(X).
    template <class Slot, class F>
    static Slot adapt(F &&f) {
        using Arg = typename Arg1<Slot>::type;
        if constexpr (std::is_invocable_v<std::decay_t<F> &, Client &, Arg>)
            return Slot(std::forward<F>(f));
        else
            return Slot([g = std::forward<F>(f)](Client &, Arg a) mutable { g(a); });
    }
    template <class S>
    struct Arg1;
    template <class A>
    struct Arg1<std::function<void(Client &, A)>> {
        using type = A;
    };

    kiv_ipod_client *client_ = nullptr;
    std::unique_ptr<detail::Handlers> handlers_;
};

namespace detail {
inline int on_event(kiv_ipod_client *, kiv_ipod_event *event, void *data) {
    auto *h = static_cast<Handlers *>(data);
    if (auto f = h->event) (*f)(*h->owner, Event(event));
    return 0;
}
inline int on_reply(kiv_ipod_client *, std::uint32_t tid, std::int32_t result, const char *text, void *data) {
    auto *h = static_cast<Handlers *>(data);
    if (auto f = h->reply) (*f)(*h->owner, Reply{static_cast<RequestId>(tid), result, detail::text(text)});
    return 0;
}
inline int on_ping(kiv_ipod_client *, std::uint32_t tid, void *data) {
    auto *h = static_cast<Handlers *>(data);
    if (auto f = h->ping) (*f)(*h->owner, static_cast<RequestId>(tid));
    return 0;
}
}  // namespace detail

}  // namespace kiv::ipod

// The reconnecting client, built on Client.
#include "kiv/ipod/reconnect.hpp"

#endif
