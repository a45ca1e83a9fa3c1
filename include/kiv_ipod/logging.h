/**
 * @file
 * Logging to the system log and hex dumps (kv_*).
 *
 * Part of the interface of libkiv-ipod-2; applications include
 * kiv_ipod.h, which includes this header.
 */
#ifndef KIV_IPOD_LOGGING_H
#define KIV_IPOD_LOGGING_H

#include <stdint.h>

#include "kiv_ipod/compiler.h"

#ifdef __cplusplus
extern "C" {
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

/**
 * @name Logging: where the records go
 *
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
 */

#ifdef __cplusplus
}
#endif

#endif /* KIV_IPOD_LOGGING_H */
