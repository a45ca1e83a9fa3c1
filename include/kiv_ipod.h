/**
 * @file
 * libkiv-ipod-2: client library for the iPod accessory daemon.
 *
 * One kiv_ipod_client handle is one connection to the daemon. The library
 * owns no threads and takes no locks: the application polls kiv_ipod_fd()
 * and calls kiv_ipod_read() when it is readable, or uses the blocking
 * _sync forms of the requests. Results arrive through three callbacks.
 *
 * Pointers returned by accessors are borrowed from the handle (or the
 * event) and stay valid until the next reply or event of the same kind
 * supersedes them, the next cache reset, or kiv_ipod_close().
 *
 * This header compiles as C99 and as C++.
 */
#ifndef KIV_IPOD_H
#define KIV_IPOD_H

#include <stdint.h>

#include "kiv_ipod_version.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
/** Marks a function exported from the shared library. */
#define KIV_EXPORT __attribute__((visibility("default")))
/** Lets the compiler check printf-style format @p f and arguments from @p a. */
#define KIV_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define KIV_EXPORT
#define KIV_PRINTF(f, a)
#endif

/* ------------------------------------------------------------------------
 * Logging and dumps
 *
 * Every record goes to the Android system log: kv_print at priority 4,
 * kv_debug/kvvo_debug at 3 and kv_error at 6, all under the tag
 * "ipod-daemon-2"; kv_apitrace at priority 3 under the tag "apitrace".
 * ---------------------------------------------------------------------- */

/** Logs one info record (priority 4). Returns the log call's result. */
KIV_EXPORT int kv_print(const char *fmt, ...) KIV_PRINTF(1, 2);
/** Logs one debug record (priority 3). Returns the log call's result. */
KIV_EXPORT int kv_debug(const char *fmt, ...) KIV_PRINTF(1, 2);
/** Second name of kv_debug(). */
KIV_EXPORT int kvvo_debug(const char *fmt, ...) KIV_PRINTF(1, 2);
/** Logs one error record (priority 6). Returns the log call's result. */
KIV_EXPORT int kv_error(const char *fmt, ...) KIV_PRINTF(1, 2);
/** Logs one debug record under the tag "apitrace". */
KIV_EXPORT int kv_apitrace(const char *fmt, ...) KIV_PRINTF(1, 2);
/** Logs @p len bytes as lines of 16 ("%02x " pairs, a space, the
 *  printable characters); nothing for len <= 0 or a null pointer.
 *  At most the first 1024 bytes are shown (64 records); when there are
 *  more, one record "... N more bytes not shown\n" follows them. */
KIV_EXPORT void kv_hexdump(const void *data, int32_t len);
/** Logs a "print_hex, count=%d" header and the bytes as uppercase hex,
 *  eight per line, in one record. At most the first 1024 bytes are listed,
 *  so that the record (3 characters a byte) stays whole under the Android
 *  logger's limit of about 4 KiB; when there are more, one record
 *  "... N more bytes not shown\n" follows the listing. */
KIV_EXPORT void print_hex(const void *data, int32_t count);
/** The process-wide verbose flag (always 1). */
KIV_EXPORT int is_verbose(void);
/** Sets the verbose flag when DEBUG is in the environment; returns 0. */
KIV_EXPORT int common_init(void);
/** Does nothing: log output always goes to the Android log; the stream
 *  argument is ignored. */
KIV_EXPORT void log_fp(void *stream);

/* ------------------------------------------------------------------------
 * Values
 *
 * A dynamically typed value tree: integers, floats, strings, byte strings,
 * arrays and insertion-ordered string-keyed hashes. Containers own their
 * elements; serialize_free() releases a whole tree.
 *
 * Null handling: serialize_free(NULL) does nothing; serialize_type(NULL)
 * returns -1; the scalar accessors return 0, 0.0f or NULL for a null node
 * (serialize_get_bytes() then stores 0 as the length); serialize_get_int()
 * and serialize_get_float() return 0 for an array or a hash, and
 * serialize_get_string() and serialize_get_bytes() return NULL for a node
 * that is not a string or byte string; the container functions treat a null container,
 * or a node of the other container type, as empty and ignore a null value
 * or key (the caller keeps ownership of a value that was not stored);
 * serialize_hash_get_string() returns NULL for a null hash, a missing key
 * or a value that is not a string.
 *
 * Running out of memory: constructors, serialize_dup(), serialize() and
 * unserialize() return NULL and leak nothing. An add, insert or set that
 * cannot allocate its link leaves the container unchanged and releases the
 * value it was given, since the caller has handed it over.
 *
 * Byte strings carry a NUL after their bytes (not counted in the length),
 * so that reading one with serialize_get_string() stays inside the node.
 *
 * An element stored in a container belongs to it: release it only through
 * the container (set, del, destroy, serialize_free of the tree), never with
 * serialize_free() or free() of its own, and change lists only through
 * these functions. unserialize() and serialize_dup() store the elements of
 * a tree together with their cells and entries in shared heap blocks.
 *
 * Cost: counting, appending and reading by index in order take O(1)
 * amortised whatever the length and however the list was built; a read
 * far from the previous one takes O(1) after the first, which indexes the
 * list; a lookup by key in a hash of 16 or more entries is O(1) expected.
 * Each container remembers where its last read by index ended, so reading
 * a tree changes it: a tree is read, like it is changed, by one thread at a
 * time.
 *
 * Stack: a value accepted by the decoder decodes, prints, copies and frees
 * within 32 KiB of stack (measured on x86-64, release build, for the
 * deepest values, 256 nested arrays, hashes or both: 22 KiB, the thread's
 * own start and the log call included), and so does encoding any tree:
 * every walk over a tree keeps its own bounded stack of the open
 * containers instead of recursing, so threads with small stacks (JVM,
 * binder and worker threads) can handle any value. Deeper trees, which
 * only the application can build, are refused by serialize() and
 * serialize_dup(), cut by the printer and freed like any other.
 * ---------------------------------------------------------------------- */

/** Tag of a 32-bit signed integer node (wire letter 'i'). */
#define SERIALIZE_INT 0
/** Tag of a 32-bit float node (wire letter 'f'). */
#define SERIALIZE_FLOAT 1
/** Tag of a NUL-terminated text node (wire letter 's'). */
#define SERIALIZE_STRING 2
/** Tag of a byte string node (wire letter 'b'). */
#define SERIALIZE_BYTES 3
/** Tag of an array node (wire letter 'a'). */
#define SERIALIZE_ARRAY 4
/** Tag of a hash node with text keys in insertion order (wire letter 'h'). */
#define SERIALIZE_HASH 5

/** One node of a value tree. */
typedef struct serialize_value {
    int32_t type;   /**< SERIALIZE_* tag */
    void *data;     /**< payload, head cell or head entry */
    int32_t length; /**< 4 for numbers, byte count for strings and bytes */
} serialize_value;

/** One link of an array's list. */
typedef struct serialize_array_cell {
    serialize_value *value;            /**< the element; null only in an empty array's head */
    struct serialize_array_cell *next; /**< next link, null at the end */
} serialize_array_cell;

/** One entry of a hash's list. */
typedef struct serialize_hash_entry {
    char *key;                         /**< own copy of the key; null only in an empty hash's head */
    serialize_value *value;            /**< the value under the key */
    struct serialize_hash_entry *next; /**< next entry in insertion order, null at the end */
} serialize_hash_entry;

/** New integer node holding @p value; NULL when memory runs out. */
KIV_EXPORT serialize_value *serialize_int(int32_t value);
/** New float node holding @p value; NULL when memory runs out. */
KIV_EXPORT serialize_value *serialize_float(float value);
/** Copies a NUL-terminated text; NULL text gives NULL. */
KIV_EXPORT serialize_value *serialize_string(const char *text);
/** Copies @p length bytes; a negative length gives NULL. */
KIV_EXPORT serialize_value *serialize_bytes(const void *data, int32_t length);
/** New empty array node; NULL when memory runs out. */
KIV_EXPORT serialize_value *serialize_array(void);
/** New empty hash node; NULL when memory runs out. */
KIV_EXPORT serialize_value *serialize_hash(void);
/** New array link with both fields null. Used by the array operations;
 *  applications have no need of it. */
KIV_EXPORT serialize_array_cell *serialize_array_new(void);
/** New hash link with all fields null. Used by the hash operations;
 *  applications have no need of it. */
KIV_EXPORT serialize_hash_entry *serialize_hash_new(void);

/** The node's tag, or -1 for NULL. */
KIV_EXPORT int32_t serialize_type(const serialize_value *node);
/** The integer stored in @p node (0 for NULL or a container). */
KIV_EXPORT int32_t serialize_get_int(const serialize_value *node);
/** The float stored in @p node (0.0f for NULL or a container). */
KIV_EXPORT float serialize_get_float(const serialize_value *node);
/** The text of a string node, borrowed from the node; NULL for NULL or a
 *  node that is not a string or byte string. */
KIV_EXPORT const char *serialize_get_string(const serialize_value *node);
/** Returns the bytes and writes their count through @p length (if set). */
KIV_EXPORT const void *serialize_get_bytes(const serialize_value *node, int32_t *length);

/** Number of elements of @p array; 0 when empty, NULL or not an array. */
KIV_EXPORT int32_t serialize_array_count(const serialize_value *array);
/** Element @p index of @p array (borrowed), or NULL when the index is
 *  negative or not below the count. */
KIV_EXPORT serialize_value *serialize_array_get(const serialize_value *array, int32_t index);
/** Appends @p value to @p array, which takes it over. */
KIV_EXPORT void serialize_array_add(serialize_value *array, serialize_value *value);
/** Makes @p value element @p index, moving the later elements up by one.
 *  Index 0 of an empty array stores it; an index not below the count does
 *  nothing and the caller keeps @p value (insert never appends). */
KIV_EXPORT void serialize_array_insert(serialize_value *array, int32_t index, serialize_value *value);
/** Puts @p value in place of element @p index, releasing the old element.
 *  Index 0 of an empty array stores it; any other index not below the
 *  count does nothing and the caller keeps @p value. */
KIV_EXPORT void serialize_array_set(serialize_value *array, int32_t index, serialize_value *value);
/** Removes and releases element @p index; nothing for an index not below
 *  the count. An array emptied this way stays usable. */
KIV_EXPORT void serialize_array_del(serialize_value *array, int32_t index);
/** Releases every element and link of @p array but not the node itself,
 *  which is then only fit for free(); applications use serialize_free(). */
KIV_EXPORT void serialize_array_destroy(serialize_value *array);

/** Adds @p value under @p key; for an existing key, @p value takes the
 *  place of the old value, which is released. The hash takes over @p value
 *  and copies @p key. */
KIV_EXPORT void serialize_hash_add(serialize_value *hash, const char *key, serialize_value *value);
/** The value under @p key (borrowed), or NULL. Keys compare byte-wise. */
KIV_EXPORT serialize_value *serialize_hash_get(const serialize_value *hash, const char *key);
/** 1 when @p hash has @p key, else 0. */
KIV_EXPORT int serialize_hash_has_key(const serialize_value *hash, const char *key);
/** The key of entry @p index in insertion order (borrowed), or NULL when
 *  the index is not below the count. */
KIV_EXPORT const char *serialize_hash_get_key(const serialize_value *hash, int32_t index);
/** The text under @p key; NULL for a missing key or a value that is not
 *  a string. */
KIV_EXPORT const char *serialize_hash_get_string(const serialize_value *hash, const char *key);
/** Number of entries of @p hash; 0 when empty, NULL or not a hash. */
KIV_EXPORT int32_t serialize_hash_count(const serialize_value *hash);
/** Releases every key, value and link of @p hash but not the node itself,
 *  which is then only fit for free(); applications use serialize_free(). */
KIV_EXPORT void serialize_hash_destroy(serialize_value *hash);

/** Releases @p node and everything below it; NULL does nothing. */
KIV_EXPORT void serialize_free(serialize_value *node);
/** Independent deep copy, owned by the caller, with the result that an
 *  encode and a decode give (floats pass through their six-decimal text).
 *  NULL for NULL, a tree that cannot be encoded, or no memory. */
KIV_EXPORT serialize_value *serialize_dup(const serialize_value *node);

/* Encoding: see docs/protocol.md for the byte format.
 *
 * Trees that cannot be encoded: a hash key longer than 255 bytes (the
 * receiving side reads keys into a 256-byte area; the 16-bit length field
 * could not even carry 65536 or more), containers nested more than 256
 * levels deep, or an encoding longer than INT32_MAX bytes. For such a tree
 * serialize() returns NULL, the _pack_calc functions return -1 and the
 * container _pack functions write nothing and return -1; serialize_dup()
 * returns NULL, as an encode and a decode would. */

/** Encodes @p node into a new malloc'ed buffer (release with free());
 *  stores the length through @p length when it is not NULL (0 on
 *  failure). NULL for a null node or a tree that cannot be encoded. */
KIV_EXPORT uint8_t *serialize(const serialize_value *node, int32_t *length);
/** Encoded length of @p node in bytes, or -1 when it cannot be encoded. */
KIV_EXPORT int32_t serialize_pack_calc(const serialize_value *node);
/** Encoded length of an integer node: 2 plus its decimal text; -1 for NULL. */
KIV_EXPORT int32_t serialize_int_pack_calc(const serialize_value *node);
/** Encoded length of a float node: 2 plus its "%f" text; -1 for NULL. */
KIV_EXPORT int32_t serialize_float_pack_calc(const serialize_value *node);
/** Encoded length of a string or byte string node: 5 plus its length;
 *  -1 for NULL. */
KIV_EXPORT int32_t serialize_string_pack_calc(const serialize_value *node);
/** Same as serialize_string_pack_calc(). */
KIV_EXPORT int32_t serialize_bytes_pack_calc(const serialize_value *node);
/** Encoded length of an array with all its elements; -1 for a node that
 *  is not an array or cannot be encoded. */
KIV_EXPORT int32_t serialize_array_pack_calc(const serialize_value *node);
/** Encoded length of a hash with all its entries; -1 for a node that is
 *  not a hash or cannot be encoded. */
KIV_EXPORT int32_t serialize_hash_pack_calc(const serialize_value *node);
/** Writes the encoding of an integer node at @p out (no bounds check: room
 *  for serialize_int_pack_calc() bytes). @return bytes written, -1 for NULL. */
KIV_EXPORT int32_t serialize_int_pack(uint8_t *out, const serialize_value *node);
/** Writes the encoding of a float node at @p out (no bounds check).
 *  @return bytes written, -1 for NULL. */
KIV_EXPORT int32_t serialize_float_pack(uint8_t *out, const serialize_value *node);
/** Writes letter 's' when @p type is SERIALIZE_STRING, else 'b', then the
 *  length and the bytes of @p node at @p out (no bounds check).
 *  @return bytes written, -1 for NULL. */
KIV_EXPORT int32_t serialize_string_pack(uint8_t *out, const serialize_value *node, int32_t type);
/** Writes the whole array at @p out (no bounds check).
 *  @return bytes written, or -1 (nothing written) when it cannot be encoded. */
KIV_EXPORT int32_t serialize_array_pack(uint8_t *out, const serialize_value *node);
/** Writes the whole hash at @p out (no bounds check).
 *  @return bytes written, or -1 (nothing written) when it cannot be encoded. */
KIV_EXPORT int32_t serialize_hash_pack(uint8_t *out, const serialize_value *node);

/** Decodes the first value of @p length bytes; bytes after it are ignored.
 *  NULL for an unknown first letter, for a length or header that runs past
 *  the end (anywhere in the tree), a key length above 255, a string length
 *  of 2^31 or more, or nesting deeper than 256 containers. A container
 *  whose count exceeds what the bytes hold ends with the elements complete
 *  at the end of the bytes. Integer text outside 32 bits saturates to
 *  INT32_MIN or INT32_MAX. Never reads outside [data, data + length).
 *  The _unpack functions decode one body whose letter was already read;
 *  they accept any (body, avail), return NULL as above, and add the bytes
 *  consumed to *pos only on success.
 *
 *  Cost: linear in the input, whatever keys a hash holds. Repeated keys
 *  are found with an index keyed by a per-process random secret
 *  (SipHash-1-3), so keys chosen to collide in one probe run cost what
 *  random keys cost; should the index ever probe more than 16 slots per
 *  key, that hash merges its repeated keys by sorting instead (n log n).
 *  The stack it needs: see "Stack" above. */
KIV_EXPORT serialize_value *unserialize(const void *data, int32_t length);
/** Decodes an integer body (after its letter) from @p avail bytes at
 *  @p body; adds the bytes consumed to *@p pos. NULL when malformed. */
KIV_EXPORT serialize_value *serialize_int_unpack(const uint8_t *body, int32_t avail, int32_t *pos);
/** Decodes a float body; as serialize_int_unpack(). */
KIV_EXPORT serialize_value *serialize_float_unpack(const uint8_t *body, int32_t avail, int32_t *pos);
/** Decodes a string body into a node of @p type (SERIALIZE_STRING, else
 *  SERIALIZE_BYTES); as serialize_int_unpack(). */
KIV_EXPORT serialize_value *serialize_string_unpack(const uint8_t *body, int32_t avail, int32_t *pos,
                                                    int32_t type);
/** Decodes an array body; as serialize_int_unpack(). */
KIV_EXPORT serialize_value *serialize_array_unpack(const uint8_t *body, int32_t avail, int32_t *pos);
/** Decodes a hash body; a repeated key keeps its first place and the last
 *  value. As serialize_int_unpack(). */
KIV_EXPORT serialize_value *serialize_hash_unpack(const uint8_t *body, int32_t avail, int32_t *pos);

/** Logs the tree through kv_debug (debug priority, tag "ipod-daemon-2"),
 *  one record per line: a line's indentation, key and scalar share its
 *  record, and a line longer than 1024 bytes continues in the next one.
 *
 *  One dump writes at most 256 values and 4096 bytes of text, so at most
 *  518 records: the library dumps what the daemon sent on its own, and an
 *  unbounded dump of a 16 MB reply would write millions of records. Past either
 *  limit the dump stops (a cut line ends with its newline), and one record
 *  says what was left out: "... N more values not shown\n", or, when a
 *  string or byte string was cut, "... B more bytes not shown\n" or
 *  "... B more bytes and N more values not shown\n" ("at least N" when a
 *  part deeper than 256 levels could not be counted). Within the limits
 *  the text, all records joined, is exactly that of one record per piece.
 *  @return 0. */
KIV_EXPORT int32_t serialize_print(const serialize_value *node);
/** Logs the tree as serialize_print() does, indented from @p depth, with
 *  the same limits (deep indentation counts against the 4096 bytes). */
KIV_EXPORT int32_t serialize_print_depth(const serialize_value *node, int32_t depth);

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
 *  not become readable for them. 0 for NULL. Added in 2.1. */
KIV_EXPORT int kiv_ipod_pending(kiv_ipod_client *client);

/* ------------------------------------------------------------------------
 * Named numbers
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
 * Events (valid only inside the event callback)
 * ---------------------------------------------------------------------- */

/** Event type "connected_ipod": a device was attached (data: device hash). */
#define KIV_IPOD_EVENT_CONNECTED 1
/** Event type "disconnected_ipod": a device went away (data: its serial). */
#define KIV_IPOD_EVENT_DISCONNECTED 2
/** Event type "fail_to_detect": a device could not be identified. */
#define KIV_IPOD_EVENT_FAIL_TO_DETECT 3
/** Event type "authenticated" (data: device hash with "authenticated"). */
#define KIV_IPOD_EVENT_AUTHENTICATED 4
/** Event type "mode_changed" (data: device hash with "extended"). */
#define KIV_IPOD_EVENT_MODE_CHANGED 5
/** Event type "play_state_changed" (data: the daemon's play state code). */
#define KIV_IPOD_EVENT_PLAY_STATE_CHANGED 6
/** Event type "track_index_changed" (data: the track index). */
#define KIV_IPOD_EVENT_TRACK_INDEX_CHANGED 7
/** Event type "samplerate_retrieved" (data: the sample rate). */
#define KIV_IPOD_EVENT_SAMPLERATE_RETRIEVED 9
/** Event type "track_position_changed" (data: the position). */
#define KIV_IPOD_EVENT_TRACK_POSITION_CHANGED 10
/** Event type "chapter_index_changed" (data: track, chapter index and count). */
#define KIV_IPOD_EVENT_CHAPTER_INDEX_CHANGED 11
/** Event type "shuffle_changed" (data: the shuffle state). */
#define KIV_IPOD_EVENT_SHUFFLE_CHANGED 12
/** Event type "repeat_changed" (data: the repeat state). */
#define KIV_IPOD_EVENT_REPEAT_CHANGED 13
/** Event type "playlist_changed". */
#define KIV_IPOD_EVENT_PLAYLIST_CHANGED 14
/** Event type "ipod_ready" (data: device hash); readiness is recomputed. */
#define KIV_IPOD_EVENT_IPOD_READY 15
/** Event type "eap_session_opened" (data: session id, protocol index and string). */
#define KIV_IPOD_EVENT_EAP_SESSION_OPENED 18
/** Event type "eap_session_closed" (data: session id). */
#define KIV_IPOD_EVENT_EAP_SESSION_CLOSED 19
/** Event type "eap_data_received" (data: session id, length, bytes). */
#define KIV_IPOD_EVENT_EAP_DATA_RECEIVED 20
/** Event type Any other event name. */
#define KIV_IPOD_EVENT_UNKNOWN 255

/** The event's type number; 255 for NULL or an unknown event. */
KIV_EXPORT int kiv_ipod_event_type(kiv_ipod_event *event);
/** 1 for the types 1, 4, 5, 15, 18 and 19, else 0. */
KIV_EXPORT int is_connection_event(kiv_ipod_event *event);
/** The event's "ipod_serial" text (borrowed from the event), or NULL. */
KIV_EXPORT const char *kiv_ipod_event_device_serial(kiv_ipod_event *event);
/** For a connection event (see is_connection_event()), the "serial" of its
 *  data; NULL otherwise or when missing. Borrowed from the event. */
KIV_EXPORT const char *kiv_ipod_event_connected_serial(kiv_ipod_event *event);
/** For a disconnection event, the serial of the device that went away;
 *  NULL otherwise. Borrowed from the event. */
KIV_EXPORT const char *kiv_ipod_event_disconnected_serial(kiv_ipod_event *event);
/** For an authenticated event, its "authenticated" integer; -1 otherwise
 *  or when missing. */
KIV_EXPORT int kiv_ipod_event_authenticated(kiv_ipod_event *event);
/** For a mode-changed event, its "extended" integer; -1 otherwise or when
 *  missing. */
KIV_EXPORT int kiv_ipod_event_mode_changed(kiv_ipod_event *event);
/** For an EAP data event, the datagram length: its "length", but never
 *  more than the bytes it carries; -1 otherwise or when missing. */
KIV_EXPORT int kiv_ipod_event_eap_datagram_data_length(kiv_ipod_event *event);
/** For an EAP data event, the datagram bytes (borrowed from the event;
 *  read kiv_ipod_event_eap_datagram_data_length() of them); NULL otherwise
 *  (logged, with the data) or when missing. */
KIV_EXPORT const unsigned char *kiv_ipod_event_eap_datagram_data(kiv_ipod_event *event);
/** For an EAP session-opened event, its "protocol_string" (borrowed);
 *  NULL otherwise (logged) or when missing. */
KIV_EXPORT const char *kiv_ipod_event_eap_datagram_protocol_string(kiv_ipod_event *event);
/** For an EAP session-opened event, its "protocol_index"; -1 otherwise
 *  (logged) or when missing. */
KIV_EXPORT int kiv_ipod_event_eap_datagram_protocol_index(kiv_ipod_event *event);
/** For any of the three EAP events, its "session_id"; -1 otherwise
 *  (logged) or when missing. */
KIV_EXPORT int kiv_ipod_event_eap_datagram_session_id(kiv_ipod_event *event);
/** Frees an event with its data. The library frees the events it hands
 *  to the callback itself; NULL does nothing. */
KIV_EXPORT void kiv_ipod_event_free(kiv_ipod_event *event);

/* ------------------------------------------------------------------------
 * Devices and sessions
 * ---------------------------------------------------------------------- */

/** Recomputes readiness from device @p index: 1 (ready) when its
 *  "authenticated", "extended" and "ready" are all 1. @return 1, or the
 *  first of those values that is not 1 (0 for an unknown index). */
KIV_EXPORT int set_ready(kiv_ipod_client *client, int index);
/** Number of devices in the list; 0 before the daemon has sent one.
 *  Device events add at most #KIV_IPOD_MAX_DEVICES devices. */
KIV_EXPORT int kiv_ipod_device_count(kiv_ipod_client *client);
/** Index of the device whose serial is @p serial, or -1 (also for NULL). */
KIV_EXPORT int kiv_ipod_device_index(kiv_ipod_client *client, const char *serial);
/** Index of the current device; -1 after it disconnected. */
KIV_EXPORT int kiv_ipod_current_session(kiv_ipod_client *client);
/** Makes device @p index current without any check or request.
 *  @return @p index. */
KIV_EXPORT int kiv_ipod_set_current_session(kiv_ipod_client *client, int index);
/** Device @p index's "serial" text, borrowed until that device record is
 *  replaced or removed; NULL for an unknown index or a missing entry. */
KIV_EXPORT const char *kiv_ipod_device_serial(kiv_ipod_client *client, int index);
/** Device @p index's "name" text, borrowed until that device record is
 *  replaced or removed; NULL for an unknown index or a missing entry. */
KIV_EXPORT const char *kiv_ipod_device_name(kiv_ipod_client *client, int index);
/** Device @p index's "version" text (software version), borrowed until that device record is
 *  replaced or removed; NULL for an unknown index or a missing entry. */
KIV_EXPORT const char *kiv_ipod_software_version(kiv_ipod_client *client, int index);
/** Device @p index's "audio_count" integer; 0 for an unknown index or a missing entry. */
KIV_EXPORT int kiv_ipod_device_audio_count(kiv_ipod_client *client, int index);
/** Device @p index's "support_itunes_db" integer; 0 for an unknown index or a missing entry. */
KIV_EXPORT int kiv_ipod_device_support_itunes_db(kiv_ipod_client *client, int index);
/** Device @p index's "ready" integer; 0 for an unknown index or a missing entry. */
KIV_EXPORT int kiv_ipod_device_ready(kiv_ipod_client *client, int index);
/** Device @p index's "extended" integer; 0 for an unknown index or a missing entry. */
KIV_EXPORT int kiv_ipod_device_is_extended(kiv_ipod_client *client, int index);
/** Device @p index's "authenticated" integer; 0 for an unknown index or a missing entry. */
KIV_EXPORT int kiv_ipod_device_authenticated(kiv_ipod_client *client, int index);
/** Device @p index's "product_id" integer; 0 for an unknown index or a missing entry. */
KIV_EXPORT int kiv_ipod_device_product_id(kiv_ipod_client *client, int index);
/** Device @p index's "sound_card_id" integer; 0 for an unknown index or a missing entry. */
KIV_EXPORT int kiv_ipod_device_sound_card_id(kiv_ipod_client *client, int index);
/** Device @p index's "port" integer; 0 for an unknown index or a missing entry. */
KIV_EXPORT int kiv_ipod_device_port(kiv_ipod_client *client, int index);
/** Device @p index's "used" integer; 0 for an unknown index or a missing entry. */
KIV_EXPORT int kiv_ipod_device_used(kiv_ipod_client *client, int index);
/** Device @p index's "type" integer; 0 for an unknown index or a missing entry. */
KIV_EXPORT int kiv_ipod_device_type(kiv_ipod_client *client, int index);

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

/** Asks for the current track's artwork (opcode 17, slot) with @p value; the
 *  reply fills kiv_ipod_current_track_artwork_*(). @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_current_track_artwork(kiv_ipod_client *client, int32_t value);
/** Blocking kiv_ipod_current_track_artwork(); fills the artwork cache.
 *  @return 1 for an artwork reply, else -1. */
KIV_EXPORT int32_t kiv_ipod_current_track_artwork_sync(kiv_ipod_client *client, int32_t value);
/** Selects a database @p category (opcode 24, slot); the reply's integer
 *  becomes kiv_ipod_record_count(). @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_set_category(kiv_ipod_client *client, int32_t category);
/** Blocking kiv_ipod_set_category(). Stores the reply's count in
 *  kiv_ipod_record_count() (-1 on any failure).
 *  @return 1 when the count is zero or positive, else 0. */
KIV_EXPORT int32_t kiv_ipod_set_category_sync(kiv_ipod_client *client, int32_t category);
/** Sends a hierarchy number unchanged (opcode 25). @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_set_hierarchy(kiv_ipod_client *client, int32_t value);
/** Blocking kiv_ipod_set_hierarchy(). @return the daemon's integer, or -1 (standard). */
KIV_EXPORT int32_t kiv_ipod_set_hierarchy_sync(kiv_ipod_client *client, int32_t value);
/** Selects a database record (opcode 26, slot) with the pair @p a, @p b; the
 *  reply's integer becomes kiv_ipod_record_count(). @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_select_db(kiv_ipod_client *client, int32_t a, int32_t b);
/** Blocking kiv_ipod_select_db(). Stores the reply's count in
 *  kiv_ipod_record_count() (-1 on any failure).
 *  @return 1 when the count is zero or positive, else 0. */
KIV_EXPORT int32_t kiv_ipod_select_db_sync(kiv_ipod_client *client, int32_t a, int32_t b);
/** Asks for database records @p a, @p b (opcode 27, slot); the reply fills
 *  kiv_ipod_records() and kiv_ipod_record(). @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_get_records(kiv_ipod_client *client, int32_t a, int32_t b);
/** Blocking kiv_ipod_get_records(); an array reply supersedes kiv_ipod_records().
 *  @return element 1 of the reply array, 0 for another reply, -1 for none. */
KIV_EXPORT int32_t kiv_ipod_get_records_sync(kiv_ipod_client *client, int32_t a, int32_t b);
/** Asks for the track at @p index (opcode 31, slot); the reply fills the
 *  kiv_ipod_indexed_track_*() cache. @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_indexed_track_info(kiv_ipod_client *client, int32_t index);
/** Blocking kiv_ipod_indexed_track_info(); fills the indexed-track cache.
 *  @return the reply's "indexed_track_info" integer, or -1. */
KIV_EXPORT int32_t kiv_ipod_indexed_track_info_sync(kiv_ipod_client *client, int32_t index);
/** Asks for chapter information @p a, @p b (opcode 32, slot); the reply fills
 *  kiv_ipod_get_result_indexed_track_chapter_info(). @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_indexed_track_chapter_info(kiv_ipod_client *client, int32_t a, int32_t b);
/** Blocking kiv_ipod_indexed_track_chapter_info(); fills the same cache.
 *  @return 1, or -1 for no reply. */
KIV_EXPORT int32_t kiv_ipod_indexed_track_chapter_info_sync(kiv_ipod_client *client, int32_t a, int32_t b);
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
/** Asks for @p count database tracks from @p offset (opcode 43, slot; all
 *  three integers are sent); the reply fills kiv_ipod_get_result_db_track_info().
 *  @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_get_db_track_info(kiv_ipod_client *client, int32_t offset, int32_t count,
                                               int32_t third);
/** Blocking kiv_ipod_get_db_track_info(); fills the same cache. @return 1, or -1. */
KIV_EXPORT int32_t kiv_ipod_get_db_track_info_sync(kiv_ipod_client *client, int32_t offset, int32_t count,
                                                   int32_t third);
/** Asks for @p count playback-list tracks from @p offset (opcode 44, slot);
 *  the reply fills kiv_ipod_get_result_pb_track_info(). @return transaction id, or 0. */
KIV_EXPORT uint32_t kiv_ipod_get_pb_track_info(kiv_ipod_client *client, int32_t offset, int32_t count,
                                               int32_t third);
/** Blocking kiv_ipod_get_pb_track_info(); fills the same cache. @return 1, or -1. */
KIV_EXPORT int32_t kiv_ipod_get_pb_track_info_sync(kiv_ipod_client *client, int32_t offset, int32_t count,
                                                   int32_t third);
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

/**
 * @defgroup extensions Extensions
 * Functions beyond the core interface. Each one adds a way to observe or
 * bound the library's behaviour; none changes what the core functions do
 * by default.
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
 * - Where the records go: on Android, to the system log (logcat) under the
 *   tags "ipod-daemon-2" and "apitrace", debug records included. On a Linux
 *   host, the host's liblog writes the info and error records to the
 *   standard error stream, each followed by its own newline, and drops the
 *   debug records. @c KIV_IPOD_LOG (added in 2.1), read at each record,
 *   chooses the standard error stream instead: "debug", "info" or "error"
 *   write the records of at least that priority there, one line each as
 *   "TAG L: TEXT" (L is D, I or E; the text's own final newline is the
 *   line's), and none to the system log; "off" writes none anywhere. Unset
 *   (as on a device by default) or any other value: every record goes to the
 *   system log.
 * - @c KIV_IPOD_SOCKET: when set and not empty, kiv_ipod_connect() (through
 *   connect_to_server()) connects to the abstract socket of this name
 *   instead of the built-in "com.kiv.ipod.IPodDaemon". Meant for tests and
 *   development, e.g. to run a simulated daemon beside a real one.
 * - @c KIV_IPOD_CAPTURE: when set and not empty, kiv_ipod_connect() records
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
 * @{
 */

/** The "error" text of the latest failed reply, borrowed from the handle:
 *  valid until the next packet is dispatched (the next kiv_ipod_read(), or
 *  the next dispatching _sync call), or NULL when the latest reply or event
 *  carried none. Readable inside the reply callback and after a _sync call
 *  returns, whichever reply kind failed. */
KIV_EXPORT const char *kiv_ipod_last_error(kiv_ipod_client *client);

/** The library's version as text, "MAJOR.MINOR.PATCH": the version of the
 *  shared library actually loaded, which may differ from the
 *  KIV_IPOD_VERSION_MAJOR / _MINOR / _PATCH macros of the header that the
 *  application was compiled with. Static storage; never NULL. */
KIV_EXPORT const char *kiv_ipod_library_version(void);

/** The event's "data" value as the daemon sent it, borrowed from the event
 *  (valid until the event callback returns, like the event itself), or
 *  NULL when the event carried none or @p event is NULL. Read it with the
 *  serialize_*() accessors; its shape depends on the event type. */
KIV_EXPORT const serialize_value *kiv_ipod_event_data(kiv_ipod_event *event);

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
 *  @return the previous bound (0 for none). */
KIV_EXPORT int32_t kiv_ipod_set_timeout(kiv_ipod_client *client, int32_t milliseconds);

/** What went wrong, as a number: the kind of the latest failure on a handle
 *  (kiv_ipod_last_error_kind()). Added in 2.1. */
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
 *  Added in 2.1. */
KIV_EXPORT kiv_ipod_error_kind kiv_ipod_last_error_kind(kiv_ipod_client *client);

/** Why the latest kiv_ipod_connect() on the calling thread returned NULL
 *  when the daemon answered the opening request with an "error" text: that
 *  text (thread-local storage, valid until the next kiv_ipod_connect() on
 *  the thread). NULL after a successful connect and after any other
 *  failure (no daemon reachable, no answer in time: see the log). Added in
 *  2.1. */
KIV_EXPORT const char *kiv_ipod_connect_error(void);

/** The daemon's name of an event type (#KIV_IPOD_EVENT_CONNECTED gives
 *  "connected_ipod", and so on), static storage; NULL for a number that
 *  names no event. Added in 2.1. */
KIV_EXPORT const char *kiv_ipod_event_name(int type);

/** Most devices that device events ("connected_ipod", "authenticated",
 *  "mode_changed", "ipod_ready") add to the device list. An event for a
 *  serial that is already listed still overwrites its record; one for a new
 *  serial while the list holds this many devices is delivered to the event
 *  callback but not added (an error line is logged). A list that the
 *  daemon sends whole (connection, session opening) keeps its first this
 *  many records, with one error line "<function>, 64 devices listed, the
 *  rest not kept.". */
#define KIV_IPOD_MAX_DEVICES 64

/** @} */

#ifdef __cplusplus
}
#endif

#endif /* KIV_IPOD_H */
