/**
 * @file
 * The client handle, the connection to the daemon, the callbacks, reading and
 * failures.
 *
 * Part of the interface of libkiv-ipod-2; applications include
 * kiv_ipod.h, which includes this header.
 */
#ifndef KIV_IPOD_CONNECTION_H
#define KIV_IPOD_CONNECTION_H

#include <stdint.h>

#include "kiv_ipod/compiler.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Client handle, connection and callbacks
 * ---------------------------------------------------------------------- */

/** Opaque handle of one connection to the daemon, from kiv_ipod_connect()
 *  to kiv_ipod_close(). Use it from one thread at a time.
 *
 *  Every function that takes a handle or an event accepts NULL in its place:
 *  it returns at once, touching no memory, with its "unknown" result.
 *  Requests return 0 (nothing sent) and _sync requests their result for no
 *  reply; accessors return what they return when nothing is known (-1 or 0
 *  as each one documents, -1 for a device index, NULL for a pointer; those
 *  documented as never NULL return their empty text or zero bytes); setters
 *  and kiv_ipod_close() do nothing. */
typedef struct kiv_ipod_client kiv_ipod_client;
/** Opaque decoded daemon event, handed to the event callback and freed
 *  when it returns. */
typedef struct kiv_ipod_event kiv_ipod_event;

/** Event callback; the event is freed when the callback returns. */
typedef int (*kiv_ipod_event_cb)(kiv_ipod_client *client, kiv_ipod_event *event, void *data);
/** Reply callback; @p text is valid until the next packet is dispatched. */
typedef int (*kiv_ipod_reply_cb)(kiv_ipod_client *client, uint32_t tid, int32_t result, const char *text,
                                 void *data);
/** Ping callback. Answer each ping with kiv_ipod_ping(): a daemon may
 *  close the connection of a client that leaves its pings unanswered (the
 *  bundled simulator does after three in a row). */
typedef int (*kiv_ipod_ping_cb)(kiv_ipod_client *client, uint32_t tid, void *data);

/** Connects to the daemon and performs the opening handshake.
 *  Returns a new handle, or NULL when the daemon cannot be reached, does
 *  not answer within the bound (@c KIV_IPOD_TIMEOUT_MS, which also bounds
 *  the wait for a daemon that stopped accepting connections), or answers
 *  the opening request with an "error" text: that text is logged
 *  ("kiv_ipod_connect, the daemon refused the connection: TEXT") and
 *  kiv_ipod_connect_error() returns it. */
KIV_EXPORT kiv_ipod_client *kiv_ipod_connect(void);
/** Opens a local stream socket to the daemon; descriptor or -1. */
KIV_EXPORT int connect_to_server(void);
/** Closes the socket and frees the handle with everything it owns.
 *  Called from a callback (inside kiv_ipod_read() or a _sync call), the
 *  socket is closed at once, no further callback runs, and the handle is
 *  freed when the outermost of those library calls returns, which then
 *  returns its failure result (-1); until then the handle may still be
 *  passed to the library, whose calls fail. (Deferred close: added in
 *  2.1.) */
KIV_EXPORT void kiv_ipod_close(kiv_ipod_client *client);
/** The descriptor to poll; -1 once the connection is lost. */
KIV_EXPORT int kiv_ipod_fd(kiv_ipod_client *client);
/** The daemon's process id from the opening reply; 0 when not known. */
KIV_EXPORT int kiv_ipod_pid(kiv_ipod_client *client);
/** -1 when disconnected, 0 without an open session or not ready, else 1. */
KIV_EXPORT int kiv_ipod_is_ready(kiv_ipod_client *client);
/** The remote flag; always 0. */
KIV_EXPORT int kiv_ipod_is_remote(kiv_ipod_client *client);
/** 1 after a successful session-opening reply, 0 after kiv_ipod_close_session(),
 *  a refused opening or the disconnection of the current device. */
KIV_EXPORT int kiv_ipod_is_session_opened(kiv_ipod_client *client);
/** Installs the event callback @p cb (NULL removes it) and its user value
 *  @p data. Events change the caches whether or not a callback is set. */
KIV_EXPORT void kiv_ipod_set_event_cb(kiv_ipod_client *client, kiv_ipod_event_cb cb, void *data);
/** Installs the reply callback @p cb (NULL removes it) and @p data. Without
 *  a reply callback, replies to asynchronous requests are dropped unparsed
 *  and do not update any cache. */
KIV_EXPORT void kiv_ipod_set_reply_cb(kiv_ipod_client *client, kiv_ipod_reply_cb cb, void *data);
/** Installs the ping callback @p cb (NULL removes it) and @p data. */
KIV_EXPORT void kiv_ipod_set_ping_cb(kiv_ipod_client *client, kiv_ipod_ping_cb cb, void *data);
/** Reads once from the socket and dispatches the complete packets that had
 *  arrived when its dispatch pass began (packets that callbacks' own
 *  requests read meanwhile are left for the next call). When packets are
 *  left from an earlier call, it dispatches them and reads only if the
 *  descriptor is readable, so it never waits with work queued.
 *  Returns the number of packets the read completed, 0, or -1 when the
 *  connection is lost (packets still queued are dispatched first) or a
 *  callback closed the handle. On a non-blocking descriptor with no data:
 *  0. */
KIV_EXPORT int32_t kiv_ipod_read(kiv_ipod_client *client);
/** Packets queued for the next kiv_ipod_read() (left by a pass, or read by
 *  a wait that does not dispatch): a loop that polls the descriptor calls
 *  kiv_ipod_read() again while this is above 0, since the descriptor does
 *  not become readable for them. 0 for NULL. Extension, added in 2.1. */
KIV_EXPORT int kiv_ipod_pending(kiv_ipod_client *client);

/** The "error" text of the latest failed reply, borrowed from the handle:
 *  valid until the next packet is dispatched (the next kiv_ipod_read(), or
 *  the next dispatching _sync call), or NULL when the latest reply or event
 *  carried none. Readable inside the reply callback and after a _sync call
 *  returns, whichever reply kind failed. Extension, added in 2.0. */
KIV_EXPORT const char *kiv_ipod_last_error(kiv_ipod_client *client);

/** What went wrong, as a number: the kind of the latest failure on a handle
 *  (kiv_ipod_last_error_kind()). Extension, added in 2.1. */
typedef enum kiv_ipod_error_kind {
    KIV_IPOD_ERROR_NONE = 0,          /**< the latest call succeeded */
    KIV_IPOD_ERROR_DAEMON = 1,        /**< the daemon answered with an "error" text (kiv_ipod_last_error()) */
    KIV_IPOD_ERROR_NOT_READY = 2,     /**< refused: no ready device (kiv_ipod_is_ready()) */
    KIV_IPOD_ERROR_NOT_CONNECTED = 3, /**< the connection is lost (or was never made) */
    KIV_IPOD_ERROR_TIMEOUT = 4,       /**< the handle's bound passed (kiv_ipod_set_timeout()) */
    KIV_IPOD_ERROR_LIMIT = 5,         /**< refused by one of the library's limits */
    KIV_IPOD_ERROR_INVALID_ARGUMENT = 6, /**< an argument cannot be used (a null text, a bad range) */
    KIV_IPOD_ERROR_NO_MEMORY = 7         /**< memory ran out */
} kiv_ipod_error_kind;

/** The kind of the latest failure on @p client. Set where the failure
 *  happens: by a request that is refused or cannot be sent, by a _sync call
 *  whose reply is an error, does not come in time or cannot come, by a
 *  reply that a limit refuses, and by an error reply handed to the reply
 *  callback. Each request and each _sync call that succeeds sets
 *  #KIV_IPOD_ERROR_NONE. @p client NULL: #KIV_IPOD_ERROR_INVALID_ARGUMENT.
 *  Extension, added in 2.1. */
KIV_EXPORT kiv_ipod_error_kind kiv_ipod_last_error_kind(kiv_ipod_client *client);

/** Why the latest kiv_ipod_connect() on the calling thread returned NULL
 *  when the daemon answered the opening request with an "error" text: that
 *  text (thread-local storage, valid until the next kiv_ipod_connect() on
 *  the thread). NULL after a successful connect and after any other
 *  failure (no daemon reachable, no answer in time: see the log).
 *  Extension, added in 2.1. */
KIV_EXPORT const char *kiv_ipod_connect_error(void);

/** Bounds every blocking operation on @p client: each wait of a _sync call
 *  (and of kiv_ipod_health_examine()) for its reply, and each write that has
 *  to wait for room in the socket. 0 or less means no bound, the default.
 *
 *  When a wait expires, one error line "%s, no reply within %d ms" gives
 *  the waiting function (e.g. "kiv_ipod_play_sync") and the bound; the call returns
 *  its no-reply result, what arrived meanwhile is dispatched (dispatching
 *  forms), and the connection stays open: a reply that comes later is
 *  matched by its transaction id like the reply to an asynchronous request.
 *  A write that cannot finish in time closes the connection ("send error:
 *  ..." line), since a half-written request cannot be resumed.
 *
 *  On a descriptor that the application made non-blocking, a write that
 *  has to wait waits at most this bound, or one second when none is set.
 *
 *  The environment variable @c KIV_IPOD_TIMEOUT_MS (a decimal number of
 *  milliseconds), read by kiv_ipod_connect(), gives each new handle its
 *  initial bound and also bounds the opening handshake: when it expires,
 *  kiv_ipod_connect() logs "kiv_ipod_connect, no reply within %d ms" and
 *  closes the connection and returns NULL, as when no daemon is reachable.
 *
 *  @return the previous bound (0 for none). Extension, added in 2.0. */
KIV_EXPORT int32_t kiv_ipod_set_timeout(kiv_ipod_client *client, int32_t milliseconds);

/** The library's version as text, "MAJOR.MINOR.PATCH": the version of the
 *  shared library actually loaded, which may differ from the
 *  KIV_IPOD_VERSION_MAJOR / _MINOR / _PATCH macros of the header that the
 *  application was compiled with. Static storage; never NULL.
 *  Extension, added in 2.0. */
KIV_EXPORT const char *kiv_ipod_library_version(void);

/**
 * @name Limits of a connection
 *
 * Limits that hold whatever the application does, and a setting for tests
 * and development:
 *
 * - Inbound queue: packets that arrive while nothing dispatches them (the
 *   opening handshake, a blocking wait before its reply) are held in the
 *   handle's queue. The queue holds at most 64 MiB (each packet counting
 *   the heap blocks it occupies, allocator overhead included); a daemon
 *   that sends more closes the connection with the error line
 *   "ipod_read_packets, inbound queue exceeds the limit of 67108864 bytes".
 *   Packets already queued are still delivered.
 * - Retained memory: the caches of one handle (records, db and pb track
 *   lists, chapters, the indexed track's list, the track records' texts and
 *   the device list) hold at most 64 MiB together, counted as allocated; the
 *   artwork holds at most 16 MiB more. A reply or device event that would
 *   pass the limit is refused with one error line "NAME, reply refused: the
 *   cache would hold N bytes, over the limit of 67108864 bytes", leaves its
 *   cache as it was, and sets #KIV_IPOD_ERROR_LIMIT.
 * - Dispatch passes: a pass (inside kiv_ipod_read() or a _sync call)
 *   handles the packets that had arrived when it started; what arrives
 *   later is left for the next pass, which the next kiv_ipod_read()
 *   starts without waiting for more data. Inside a _sync call with a bound,
 *   the pass also ends when the call's deadline passes.
 * - Nested dispatch: a callback may call _sync requests and kiv_ipod_read(),
 *   each of which may run a dispatch pass inside the running one. At most 16
 *   passes run inside each other: a wait (or read) that starts while 16 run
 *   takes only its own reply out of the queue and leaves everything else to
 *   the passes already running, so that a daemon that answers each request
 *   with more events cannot exhaust the stack.
 * - @c KIV_IPOD_SOCKET (added in 2.0): when set and not empty, kiv_ipod_connect() (through
 *   connect_to_server()) connects to the abstract socket of this name
 *   instead of the built-in "com.kiv.ipod.IPodDaemon". Meant for tests and
 *   development, e.g. to run a simulated daemon beside a real one.
 * - @c KIV_IPOD_CAPTURE (added in 2.0): when set and not empty, kiv_ipod_connect() records
 *   every frame the new handle sends and receives, byte for byte, with a
 *   timestamp and its direction, in a pcap file (link type 147, DLT_USER0)
 *   that Wireshark reads with tools/wireshark/kiv_ipod.lua and that
 *   "kiv-ipod dump" prints. The value names the file, or an existing
 *   directory in which each handle creates its own file
 *   @c kiv-ipod-PID-N.pcap. The file is created anew with mode 0600, never
 *   through a symbolic link and never over an existing file; when it cannot
 *   be created, one error line "capture: cannot create a capture file at
 *   ..." says why and the handle works without capture. Records are
 *   buffered (64 KiB at most) and written when the buffer fills, when a
 *   _sync call (or the opening handshake) returns, and by kiv_ipod_close();
 *   a crash loses at most the buffer. A failed write turns the capture off
 *   with one error line; the connection is not affected. Frames over
 *   256 KiB are kept cut to that size. @b A @b capture @b holds
 *   @b everything @b on @b the @b wire, Bluetooth PIN codes
 *   (kiv_ipod_set_bluetooth_hw_info()) and EAP data included: treat the
 *   file as the secrets it carries.
 *
 * The timeout of blocking operations is set per handle with
 * kiv_ipod_set_timeout() or for every new handle with the environment
 * variable @c KIV_IPOD_TIMEOUT_MS.
 */

#ifdef __cplusplus
}
#endif

#endif /* KIV_IPOD_CONNECTION_H */
