// Limits of the byte dumps (kv_hexdump, print_hex). The library's own
// dumps of daemon data go through the value printer, whose limits are in
// serialize/serialize_private.h; these bound what one call of the exported
// dump functions writes, whatever length it is given. Past the limit, one
// record "... N more bytes not shown\n" says what was left out.
#ifndef KIV_LOG_LIMITS_H
#define KIV_LOG_LIMITS_H

#include <stdint.h>

namespace kiv_log {

// Bytes that one kv_hexdump call shows: 64 records of 16 bytes, about
// 4 KiB of text, the same budget as one value dump, instead of a record
// per 16 bytes of an unbounded range (a million records for 16 MB).
constexpr int32_t kHexdumpMaxBytes = 1024;

// Bytes that one print_hex call lists. The listing is a single record of
// three characters per byte; 1024 bytes keep it (3073 bytes) whole under
// the Android logger's 4068-byte limit on one record, and its heap buffer
// bounded.
constexpr int32_t kPrintHexMaxBytes = 1024;

}  // namespace kiv_log

#endif  // KIV_LOG_LIMITS_H
