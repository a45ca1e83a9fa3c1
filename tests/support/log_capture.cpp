#include "log_capture.h"

#include <gtest/gtest.h>
#include <stdarg.h>
#include <stdio.h>

#include <mutex>

namespace kivtest {
namespace {
std::mutex mutex;
std::vector<LogRecord> records;
}  // namespace

std::vector<LogRecord> log_records() {
    std::lock_guard<std::mutex> lock(mutex);
    return records;
}

void log_clear() {
    std::lock_guard<std::mutex> lock(mutex);
    records.clear();
}

int log_count(int priority, const std::string &text, const std::string &tag) {
    std::lock_guard<std::mutex> lock(mutex);
    int n = 0;
    for (const auto &r : records)
        if (r.priority == priority && r.tag == tag && r.text == text) n++;
    return n;
}

int log_count_containing(const std::string &needle) {
    std::lock_guard<std::mutex> lock(mutex);
    int n = 0;
    for (const auto &r : records)
        if (r.text.find(needle) != std::string::npos) n++;
    return n;
}

std::vector<std::string> debug_texts() {
    std::vector<std::string> out;
    for (const LogRecord &r : log_records()) {
        EXPECT_EQ(r.priority, 3);
        EXPECT_EQ(r.tag, "ipod-daemon-2");
        out.push_back(r.text);
    }
    return out;
}

}  // namespace kivtest

extern "C" __attribute__((visibility("default"))) int __android_log_vprint(int prio, const char *tag,
                                                                           const char *fmt, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) vsnprintf(&text[0], static_cast<size_t>(n) + 1, fmt, ap);
    std::lock_guard<std::mutex> lock(kivtest::mutex);
    kivtest::records.push_back({prio, tag ? tag : "", text});
    return n;
}
