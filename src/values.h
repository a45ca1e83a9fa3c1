// What the value subsystem offers the rest of the library beyond the
// exported serialize_* functions.
#ifndef KIV_VALUES_H
#define KIV_VALUES_H

#include <stddef.h>
#include <stdint.h>

#include "kiv_ipod.h"

#ifdef __cplusplus
extern "C" {
#endif

// One block holding a scalar node and a copy of `length` bytes from
// `source`, followed by a NUL. Null for a negative length or when memory
// runs out.
serialize_value *serialize_blob(const void *source, int32_t length, int32_t type);

// memcpy for large payload copies. glibc's large-copy path (rep movsb) runs
// many times slower on some x86 cores when the destination starts less than
// 64 bytes past the source modulo 4 KiB, which is the usual layout when a
// block is allocated right after the one it copies. Such ranges are copied
// in 1 KiB pieces, which stay on the vector path.
void kiv_copy_bytes(void *dst, const void *src, size_t count);

#ifdef __cplusplus
}
#endif

#endif  // KIV_VALUES_H
