/**
 * @file
 * kiv::ipod::ReconnectingClient: a Client that survives a restart of the
 * daemon (an extension of the C++ interface; the C interface never
 * reconnects).
 *
 * With ReconnectOptions::enabled (off by default), a lost connection is
 * retried with a bounded exponential back-off: the first retry at once,
 * then after ReconnectOptions::initial_backoff, doubling each time up to
 * ReconnectOptions::max_delay (2 s unless configured). A new connection
 * gets the same timeout and the same handlers, and the session is
 * re-opened on the device of the same serial number when one was open.
 * The application learns of both changes through on_connection_lost() and
 * on_connection_restored(), each with the device list.
 *
 * Like Client it owns no thread: retries happen inside step() or retry(),
 * which the application's loop calls (retry_in() says when the next one is
 * due, for the loop's own poll() timeout). While disconnected, every
 * request made through send(), call(), open_session() or close_session()
 * fails at once with ErrorKind::not_connected; no call waits longer than
 * the timeout or the bound given to step(). close() stops everything at
 * any moment, from any handler included.
 *
 * kiv_ipod_connect() bounds its opening handshake only by the environment
 * variable KIV_IPOD_TIMEOUT_MS: set it too, so that a daemon that accepts
 * connections without answering them cannot hold a retry.
 */
#ifndef KIV_IPOD_RECONNECT_HPP
#define KIV_IPOD_RECONNECT_HPP

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kiv/ipod.hpp"

namespace kiv::ipod {

/** How a ReconnectingClient retries. */
struct ReconnectOptions {
    /** Retry a lost connection; false (the default): a lost connection
     *  stays lost, as with Client. */
    bool enabled = false;
    /** Delay before the first retry after a loss (none by default). */
    std::chrono::milliseconds first_delay{0};
    /** Delay before the second retry; each later one doubles it. */
    std::chrono::milliseconds initial_backoff{100};
    /** Bound of every delay between two retries. */
    std::chrono::milliseconds max_delay{2000};
    /** Client::set_timeout() of every connection; zero for none. */
    std::chrono::milliseconds timeout{10000};
};

/** One entry of the device list, copied. */
struct DeviceSummary {
    int index = -1;     /**< its index in the list */
    std::string serial; /**< "serial" */
    std::string name;   /**< "name" */
    bool ready = false; /**< ready for requests */
};

/** What on_connection_lost() and on_connection_restored() receive. */
struct ConnectionChange {
    /** Lost: the device list as last known; restored: the new one. */
    std::vector<DeviceSummary> devices;
    /** Lost: the asynchronous requests made through send() that will
     *  never get a reply. */
    std::vector<RequestId> unanswered;
    /** The serial number of the device whose session is re-opened. */
    std::optional<std::string> session_serial;
    /** Restored: the session on session_serial is open again. */
    bool session_reopened = false;
    /** Restored: the connection attempts it took. */
    unsigned attempts = 0;
};

/** A Client that reconnects (see the top of this header). Move-only. */
class ReconnectingClient {
public:
    /** The clock of the back-off. */
    using Clock = std::chrono::steady_clock;

    /** An inert client: every request fails with not_connected. */
    ReconnectingClient() = default;

    /** Connects once (a first failure is returned, not retried). */
    static Result<ReconnectingClient> connect(ReconnectOptions options = {}) {
        auto c = Client::connect();
        if (!c) return c.error();
        ReconnectingClient r;
        r.state_ = std::make_unique<State>();
        r.state_->options = options;
        r.state_->adopt(std::move(*c));
        return r;
    }

    /** True while connected. */
    bool connected() const noexcept { return state_ && !state_->down && state_->client.connected(); }
    /** The descriptor to poll, -1 while disconnected. */
    int fd() const noexcept { return connected() ? state_->client.fd() : -1; }
    /** The current connection, or nullptr while disconnected. Requests made
     *  on it directly are not tracked; prefer send() and call(). */
    Client *client() noexcept { return connected() ? &state_->client : nullptr; }
    /** The device list as last known (kept while disconnected). */
    std::vector<DeviceSummary> devices() const {
        return state_ ? state_->devices : std::vector<DeviceSummary>{};
    }
    /** The serial number of the device whose session is kept open. */
    std::optional<std::string> session_serial() const {
        return state_ && state_->session ? state_->session : std::nullopt;
    }

    /** @p f(Client &, const Event &) for each event, on every connection. */
    void on_event(std::function<void(Client &, const Event &)> f) { set(&State::event, std::move(f)); }
    /** @p f(Client &, const Reply &) for each reply, on every connection. */
    void on_reply(std::function<void(Client &, const Reply &)> f) { set(&State::reply, std::move(f)); }
    /** @p f(Client &, RequestId) for each ping, on every connection. */
    void on_ping(std::function<void(Client &, RequestId)> f) { set(&State::ping, std::move(f)); }
    /** @p f(const ConnectionChange &) when the connection is lost. */
    void on_connection_lost(std::function<void(const ConnectionChange &)> f) {
        set(&State::lost, std::move(f));
    }
    /** @p f(const ConnectionChange &) when a new connection is made. */
    void on_connection_restored(std::function<void(const ConnectionChange &)> f) {
        set(&State::restored, std::move(f));
    }

    /** Sends an asynchronous request, @p f(Client &) returning
     *  std::optional<RequestId>: its id, or why nothing was sent. */
    template <class F>
    Result<RequestId> send(F &&f) {
        if (!connected()) return not_connected();
        Guard g(*state_);
        std::optional<RequestId> id = f(state_->client);
        if (id) {
            state_->pending.insert(*id);
            return *id;
        }
        if (!state_->client.connected()) {
            state_->down = true;
            return not_connected();
        }
        auto kind = static_cast<ErrorKind>(kiv_ipod_last_error_kind(state_->client.get()));
        return Error(0,
                     kind == ErrorKind::not_ready ? "the request was refused: no iPod is ready"
                                                  : "the request was not sent",
                     kind);
    }

    /** Runs @p f(Client &), a _sync request returning a Result, or fails
     *  at once with not_connected while disconnected. */
    template <class F>
    auto call(F &&f) -> decltype(f(std::declval<Client &>())) {
        if (!connected()) return not_connected();
        Guard g(*state_);
        auto r = f(state_->client);
        if (!state_->client.connected()) state_->down = true;
        return r;
    }

    /** Opens a session on device @p index and keeps it: it is re-opened on
     *  the same serial number after a reconnection. */
    Result<void> open_session(int index) {
        auto r = call([index](Client &c) { return c.open_session_sync(index); });
        if (r && connected()) {
            state_->snapshot();  // the reply replaced the device list
            state_->session = state_->serial_of(index);
        }
        return r;
    }
    /** Closes the session; it is no longer re-opened. */
    Result<std::int32_t> close_session() {
        if (state_) state_->session.reset();
        return call([](Client &c) { return c.close_session_sync(); });
    }

    /** Reads once (Client::read()); an Error while disconnected. */
    Result<std::size_t> read() {
        if (!connected()) return not_connected();
        Guard g(*state_);
        auto r = state_->client.read();
        if (!r) state_->down = true;
        return r;
    }

    /** How long until the next retry is due: zero when due, nullopt when
     *  connected, closed or reconnection is off. */
    std::optional<std::chrono::milliseconds> retry_in() const {
        if (!state_ || !state_->down || !state_->options.enabled || state_->closed) return std::nullopt;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(state_->next - Clock::now());
        return std::max(left, std::chrono::milliseconds(0));
    }

    /** Makes one connection attempt if one is due; true when connected. */
    bool retry() {
        auto due = retry_in();
        if (due && due->count() == 0) state_->attempt();
        return connected();
    }

    /** One turn of a loop: waits at most @p bound for the socket (or for
     *  the next retry), then reads or retries. The packets read (0 when
     *  there were none), or not_connected while disconnected. */
    Result<std::size_t> step(std::chrono::milliseconds bound) {
        if (connected()) {
            // Packets a non-dispatching wait left queued do not make the socket readable.
            if (kiv_ipod_pending(state_->client.get()) > 0) return read();
            pollfd p{fd(), POLLIN, 0};
            int n = ::poll(&p, 1, static_cast<int>(std::max<std::int64_t>(0, bound.count())));
            if (n <= 0) return std::size_t{0};
            return read();
        }
        if (auto due = retry_in()) {
            std::this_thread::sleep_for(std::min(*due, bound));
            if (retry()) return std::size_t{0};
        }
        return not_connected();
    }

    /** Closes the connection and stops retrying; nothing is notified.
     *  Callable at any moment, from a handler too. */
    void close() noexcept {
        if (!state_) return;
        state_->closed = state_->down = true;
        state_->pending.clear();
        state_->session.reset();
        if (state_->depth == 0) state_->client = Client();
    }
    /** True once close() was called. */
    bool closed() const noexcept { return !state_ || state_->closed; }

private:
    struct State {
        ReconnectOptions options;
        Client client;
        std::function<void(Client &, const Event &)> event;
        std::function<void(Client &, const Reply &)> reply;
        std::function<void(Client &, RequestId)> ping;
        std::function<void(const ConnectionChange &)> lost, restored;
        std::set<RequestId> pending;
        std::vector<DeviceSummary> devices;
        std::optional<std::string> session;
        bool down = false, closed = false, reopening = false;
        int depth = 0;  // calls into the library in progress
        unsigned failures = 0;
        Clock::time_point next;

        std::optional<std::string> serial_of(int index) const {
            for (auto &d : devices)
                if (d.index == index) return d.serial;
            return std::nullopt;
        }
        void snapshot() {
            devices.clear();
            for (int i = 0; i < client.device_count(); i++) {
                auto d = client.device(i);
                devices.push_back({i, std::string(d->serial().value_or("")),
                                   std::string(d->name().value_or("")), d->ready()});
            }
        }
        // Makes a fresh connection the current one, with the handlers.
        void adopt(Client c) {
            client = std::move(c);
            down = false;
            if (options.timeout.count() > 0) client.set_timeout(options.timeout);
            client.on_event([this](Client &cl, const Event &e) { on_event(cl, e); });
            client.on_reply([this](Client &cl, const Reply &r) {
                pending.erase(r.id);
                if (reply) reply(cl, r);
            });
            client.on_ping([this](Client &cl, RequestId id) {
                if (ping) ping(cl, id);
            });
            snapshot();
        }
        void on_event(Client &cl, const Event &e) {
            snapshot();
            if (event) event(cl, e);
            // The device of the kept session came (back) after the reconnection.
            auto t = e.type();
            if (session && !reopening && !closed && !down && !cl.session_opened() &&
                (t == EventType::connected || t == EventType::ipod_ready) &&
                (e.serial() == *session || e.connected_serial() == *session))
                reopen();
        }
        bool reopen() {
            auto index = client.device_index(*session);
            if (!index) return false;
            reopening = true;
            bool ok = client.open_session_sync(*index).ok();
            reopening = false;
            if (!client.connected()) down = true;
            snapshot();
            return ok;
        }
        // The outermost call into the library returned: a loss seen inside
        // it is acted upon now, when no handler of the old Client runs.
        void settle() {
            if (closed) {
                client = Client();
                return;
            }
            if (!down || !client) return;
            ConnectionChange change;
            change.devices = devices;
            change.unanswered.assign(pending.begin(), pending.end());
            change.session_serial = session;
            pending.clear();
            client = Client();
            failures = 0;
            next = Clock::now() + options.first_delay;
            if (lost) lost(change);
        }
        std::chrono::milliseconds delay() const {
            auto d = options.initial_backoff;
            for (unsigned i = 1; i < failures && d < options.max_delay; i++) d *= 2;
            return std::min(d, options.max_delay);
        }
        void attempt() {
            failures++;
            auto c = Client::connect();
            if (!c) {
                next = Clock::now() + delay();
                return;
            }
            depth++;
            adopt(std::move(*c));
            ConnectionChange change;
            change.attempts = failures;
            change.session_serial = session;
            if (session) change.session_reopened = reopen();
            change.devices = devices;
            failures = 0;
            if (!down && restored) restored(change);
            depth--;
            if (depth == 0) settle();
        }
    };
    // Counts the calls in progress, and settles when the outermost ends.
    struct Guard {
        explicit Guard(State &s) : s_(s) { s_.depth++; }
        ~Guard() {
            if (--s_.depth == 0) s_.settle();
        }
        Guard(const Guard &) = delete;
        Guard &operator=(const Guard &) = delete;
        State &s_;
    };

    template <class Slot, class F>
    void set(Slot State::*slot, F f) {
        if (state_) (*state_).*slot = std::move(f);
    }
    static Error not_connected() {
        return Error(-1, "not connected to the iPod daemon", ErrorKind::not_connected);
    }

    // Held by pointer: the handlers installed on each Client point to it.
    std::unique_ptr<State> state_;
};

}  // namespace kiv::ipod

#endif
