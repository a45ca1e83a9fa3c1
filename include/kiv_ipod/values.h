/**
 * @file
 * The value tree, its encoding and its printer (serialize_*).
 *
 * Part of the interface of libkiv-ipod-2; applications include
 * kiv_ipod.h, which includes this header.
 */
#ifndef KIV_IPOD_VALUES_H
#define KIV_IPOD_VALUES_H

#include <stdint.h>

#include "kiv_ipod/compiler.h"

#ifdef __cplusplus
extern "C" {
#endif

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

#ifdef __cplusplus
}
#endif

#endif /* KIV_IPOD_VALUES_H */
