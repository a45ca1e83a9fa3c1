// Logging to the Android system log, hex dumps and the verbose flag.
#include <android/log.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "kiv_ipod.h"
#include "log/log_limits.h"

namespace {

constexpr const char kTag[] = "ipod-daemon-2";
constexpr const char kApiTraceTag[] = "apitrace";
constexpr char kLowerHex[] = "0123456789abcdef";
constexpr char kUpperHex[] = "0123456789ABCDEF";

int verbose_flag = 1;

bool printable(uint8_t byte) {
    return byte >= 0x21 && byte <= 0x7E;
}

}  // namespace

namespace {

// Records below this priority are dropped when KIV_IPOD_LOG chose the
// standard error stream; kToSystemLog: every record goes to the system log.
constexpr int kToSystemLog = -1;
constexpr int kSilent = 100;

// KIV_IPOD_LOG, read at each record (a lookup costs less than formatting
// the record, and a process may set it after its first record): "debug", "info" or "error" write the records
// of at least that priority to the standard error stream (one line each) and none to the system log; "off"
// writes none anywhere. Unset or anything else: the system log receives every record, as on a device.
int stderr_threshold() {
    const char *value = getenv("KIV_IPOD_LOG");
    if (value == nullptr) return kToSystemLog;
    if (strcmp(value, "debug") == 0) return static_cast<int>(ANDROID_LOG_DEBUG);
    if (strcmp(value, "info") == 0) return static_cast<int>(ANDROID_LOG_INFO);
    if (strcmp(value, "error") == 0) return static_cast<int>(ANDROID_LOG_ERROR);
    if (strcmp(value, "off") == 0) return kSilent;
    return kToSystemLog;
}

char priority_letter(int prio) {
    return prio >= ANDROID_LOG_ERROR ? 'E' : prio >= ANDROID_LOG_INFO ? 'I' : 'D';
}

// One record as one line of the standard error stream: "TAG L: TEXT", the
// text's own final newline replaced by the line's.
int write_to_stderr(int prio, const char *tag, const char *fmt, va_list ap) {
    char small[1024];
    va_list copy;
    va_copy(copy, ap);
    int length = vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (length < 0) return length;
    char *text = small;
    if (static_cast<size_t>(length) >= sizeof small) {
        text = static_cast<char *>(malloc(static_cast<size_t>(length) + 1));
        if (text == nullptr) return -1;
        vsnprintf(text, static_cast<size_t>(length) + 1, fmt, ap);
    }
    int shown = length;
    if (shown > 0 && text[shown - 1] == '\n') shown--;
    int rc = fprintf(stderr, "%s %c: %.*s\n", tag, priority_letter(prio), shown, text);
    if (text != small) free(text);
    return rc;
}

int log_record(int prio, const char *tag, const char *fmt, va_list ap) {
    const int threshold = stderr_threshold();
    if (threshold == kToSystemLog) return __android_log_vprint(prio, tag, fmt, ap);
    if (prio < threshold) return 0;
    return write_to_stderr(prio, tag, fmt, ap);
}

}  // namespace

#define KIV_LOG_BODY(prio, tag)                  \
    va_list ap;                                  \
    va_start(ap, fmt);                           \
    int rc = log_record((prio), (tag), fmt, ap); \
    va_end(ap);                                  \
    return rc

extern "C" {

int kv_print(const char *fmt, ...) {
    KIV_LOG_BODY(ANDROID_LOG_INFO, kTag);
}

int kv_debug(const char *fmt, ...) {
    KIV_LOG_BODY(ANDROID_LOG_DEBUG, kTag);
}

int kvvo_debug(const char *fmt, ...) {
    KIV_LOG_BODY(ANDROID_LOG_DEBUG, kTag);
}

int kv_error(const char *fmt, ...) {
    KIV_LOG_BODY(ANDROID_LOG_ERROR, kTag);
}

int kv_apitrace(const char *fmt, ...) {
    KIV_LOG_BODY(ANDROID_LOG_DEBUG, kApiTraceTag);
}

void kv_hexdump(const void *data, int32_t len) {
    if (data == nullptr || len <= 0) return;
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    char hex[16 * 3 + 1];
    char text[16 + 1];
    const int32_t shown = std::min(len, kiv_log::kHexdumpMaxBytes);
    for (int32_t offset = 0; offset < shown; offset += 16) {
        const int32_t n = std::min(shown - offset, 16);
        for (int32_t i = 0; i < n; i++) {
            uint8_t b = bytes[offset + i];
            hex[i * 3] = kLowerHex[b >> 4];
            hex[i * 3 + 1] = kLowerHex[b & 0xF];
            hex[i * 3 + 2] = ' ';
            text[i] = printable(b) ? static_cast<char>(b) : '.';
        }
        hex[n * 3] = '\0';
        text[n] = '\0';
        kv_debug("%s %s\n", hex, text);
    }
    if (shown < len) kv_debug("... %d more bytes not shown\n", len - shown);
}

void print_hex(const void *data, int32_t count) {
    kv_debug("%s, count=%d\n", "print_hex", count);
    count = data == nullptr ? 0 : std::max(count, 0);
    const int32_t shown = std::min(count, kiv_log::kPrintHexMaxBytes);
    char *text = static_cast<char *>(malloc(3 * static_cast<size_t>(shown) + 1));
    if (text == nullptr) return;
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    for (int32_t i = 0; i < shown; i++) {
        text[i * 3] = kUpperHex[bytes[i] >> 4];
        text[i * 3 + 1] = kUpperHex[bytes[i] & 0xF];
        text[i * 3 + 2] = (i % 8 == 7) ? '\n' : ' ';
    }
    text[3 * static_cast<size_t>(shown)] = '\0';
    kv_debug("%s\n", text);
    free(text);
    if (shown < count) kv_debug("... %d more bytes not shown\n", count - shown);
}

int is_verbose(void) {
    return verbose_flag;
}

int common_init(void) {
    if (getenv("DEBUG") != nullptr) verbose_flag = 1;
    return 0;
}

void log_fp(void *stream) {
    (void)stream;
}

}  // extern "C"
