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
#include "kiv/ipod/requests.hpp"
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
class Client : public detail::AsyncRequests<Client>, public detail::SyncRequests<Client> {
public:
    // The request and the accessor of the same name (the bases hold the requests).
    using detail::AsyncRequests<Client>::indexed_track_info;

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

private:
    friend class detail::AsyncRequests<Client>;
    friend class detail::SyncRequests<Client>;
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
