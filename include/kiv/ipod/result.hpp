/**
 * @file
 * kiv::ipod::Error and kiv::ipod::Result: how a call reports its failure.
 * Part of the C++ interface; included by kiv/ipod.hpp.
 */
#ifndef KIV_IPOD_RESULT_HPP
#define KIV_IPOD_RESULT_HPP

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "kiv_ipod.h"

namespace kiv::ipod {

/** The kind of a failure, as kiv_ipod_last_error_kind() reports it. */
enum class ErrorKind {
    none = KIV_IPOD_ERROR_NONE,
    daemon = KIV_IPOD_ERROR_DAEMON,
    not_ready = KIV_IPOD_ERROR_NOT_READY,
    not_connected = KIV_IPOD_ERROR_NOT_CONNECTED,
    timeout = KIV_IPOD_ERROR_TIMEOUT,
    limit = KIV_IPOD_ERROR_LIMIT,
    invalid_argument = KIV_IPOD_ERROR_INVALID_ARGUMENT,
    no_memory = KIV_IPOD_ERROR_NO_MEMORY,
};

/** Why a call failed. */
class Error {
public:
    /** @p code is the C function's result; @p text what to say; @p kind
     *  the failure's kind (daemon when @p from_daemon, else not_connected). */
    Error(std::int32_t code, std::string text, bool from_daemon) noexcept
        : Error(code, std::move(text), from_daemon ? ErrorKind::daemon : ErrorKind::not_connected) {}
    /** @p code is the C function's result; @p text what to say. */
    Error(std::int32_t code, std::string text, ErrorKind kind) noexcept
        : code_(code), text_(std::move(text)), from_daemon_(kind == ErrorKind::daemon), kind_(kind) {}
    /** What went wrong, as the library reported it. */
    ErrorKind kind() const noexcept { return kind_; }
    /** The C function's result (-1, 0 or the daemon's own integer). */
    std::int32_t code() const noexcept { return code_; }
    /** The daemon's error text when it sent one, else a description. */
    const std::string &text() const noexcept { return text_; }
    /** True when text() is the daemon's own error text. */
    bool from_daemon() const noexcept { return from_daemon_; }

private:
    std::int32_t code_;
    std::string text_;
    bool from_daemon_;
    ErrorKind kind_;
};

/** The typed result of a call, or the Error that prevented it. */
template <class T>
class [[nodiscard]] Result {
public:
    /** A success. */
    Result(T value) : value_(std::move(value)) {}
    /** A failure. */
    Result(Error error) : error_(std::move(error)) {}
    /** True on success. */
    bool ok() const noexcept { return value_.has_value(); }
    /** True on success. */
    explicit operator bool() const noexcept { return ok(); }
    /** The result (only on success). */
    T &operator*() &noexcept { return *value_; }
    /** The result (only on success). */
    const T &operator*() const &noexcept { return *value_; }
    /** The result (only on success). */
    T &&operator*() &&noexcept { return std::move(*value_); }
    /** Member access to the result (only on success). */
    T *operator->() noexcept { return &*value_; }
    /** Member access to the result (only on success). */
    const T *operator->() const noexcept { return &*value_; }
    /** The result, or @p fallback on failure. */
    T value_or(T fallback) const & { return value_ ? *value_ : std::move(fallback); }
    /** The failure (only when !ok()). */
    const Error &error() const noexcept { return *error_; }

private:
    std::optional<T> value_;
    std::optional<Error> error_;
};

/** Success without a value, or the Error. */
template <>
class [[nodiscard]] Result<void> {
public:
    /** A success. */
    Result() noexcept = default;
    /** A failure. */
    Result(Error error) : error_(std::move(error)) {}
    /** True on success. */
    bool ok() const noexcept { return !error_.has_value(); }
    /** True on success. */
    explicit operator bool() const noexcept { return ok(); }
    /** The failure (only when !ok()). */
    const Error &error() const noexcept { return *error_; }

private:
    std::optional<Error> error_;
};

}  // namespace kiv::ipod

#endif
