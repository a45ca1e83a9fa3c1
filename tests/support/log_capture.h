// Captures the library's log records. The test executable defines
// __android_log_vprint, which the dynamic linker prefers over liblog's.
#ifndef KIV_TEST_LOG_CAPTURE_H
#define KIV_TEST_LOG_CAPTURE_H

#include <string>
#include <vector>

namespace kivtest {

struct LogRecord {
    int priority;
    std::string tag;
    std::string text;
};

// All records captured since the last clear, in order.
std::vector<LogRecord> log_records();
void log_clear();
// Number of records with this priority, tag "ipod-daemon-2" (or the given
// tag) and exactly this text.
int log_count(int priority, const std::string &text, const std::string &tag = "ipod-daemon-2");
// Number of records whose text contains `needle`, any priority and tag.
int log_count_containing(const std::string &needle);
// The texts of all records, each checked to be a debug record (priority 3)
// of the library's tag.
std::vector<std::string> debug_texts();

}  // namespace kivtest

#endif
