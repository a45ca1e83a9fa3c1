// Logging to the Android system log, hex dumps and the verbose flag.
#include <android/log.h>
#include <stdarg.h>
#include <stdlib.h>

#include "internal.h"
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

#define KIV_LOG_BODY(prio, tag)                            \
    va_list ap;                                            \
    va_start(ap, fmt);                                     \
    int rc = __android_log_vprint((prio), (tag), fmt, ap); \
    va_end(ap);                                            \
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
    int32_t shown = len < kiv_log::kHexdumpMaxBytes ? len : kiv_log::kHexdumpMaxBytes;
    for (int32_t offset = 0; offset < shown; offset += 16) {
        int32_t n = shown - offset < 16 ? shown - offset : 16;
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
    if (count < 0 || data == nullptr) count = 0;
    int32_t shown = count < kiv_log::kPrintHexMaxBytes ? count : kiv_log::kPrintHexMaxBytes;
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
