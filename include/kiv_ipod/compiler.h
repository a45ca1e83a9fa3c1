/**
 * @file
 * The export and format-checking markers of the interface's declarations.
 *
 * Part of the interface of libkiv-ipod-2; applications include
 * kiv_ipod.h, which includes this header.
 */
#ifndef KIV_IPOD_COMPILER_H
#define KIV_IPOD_COMPILER_H

#if defined(__GNUC__)
/** Marks a function exported from the shared library. */
#define KIV_EXPORT __attribute__((visibility("default")))
/** Lets the compiler check printf-style format @p f and arguments from @p a. */
#define KIV_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define KIV_EXPORT
#define KIV_PRINTF(f, a)
#endif

#endif /* KIV_IPOD_COMPILER_H */
