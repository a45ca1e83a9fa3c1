// The simulator's log: one line on standard error per event worth noting,
// nothing with --quiet.
#ifndef KIV_SIMD_LOG_H
#define KIV_SIMD_LOG_H

#include <stdarg.h>
#include <stdio.h>

#include <string>

namespace simd {

struct Logger {
    bool quiet = false;

    void operator()(const char *fmt, ...) const __attribute__((format(printf, 2, 3))) {
        if (quiet) return;
        char line[1024];
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(line, sizeof line, fmt, ap);
        va_end(ap);
        fprintf(stderr, "kiv-ipod-simd: %s\n", line);
    }
    void line(const std::string &text) const { (*this)("%s", text.c_str()); }
};

}  // namespace simd

#endif
