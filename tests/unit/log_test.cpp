// Log records of the logging functions and the byte dumps.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "kiv_ipod.h"
#include "log/log_limits.h"
#include "log_capture.h"

namespace {

using kivtest::LogRecord;

using kivtest::debug_texts;

using Texts = std::vector<std::string>;

TEST(Log, FunctionsUseTheirTagAndPriority) {
    kivtest::log_clear();
    EXPECT_EQ(kv_print("info %d\n", 1), 7);
    EXPECT_EQ(kv_debug("debug %s\n", "x"), 8);
    EXPECT_EQ(kvvo_debug("%s", "vo"), 2);
    EXPECT_EQ(kv_error("%s, failed\n", "op"), 11);
    EXPECT_EQ(kv_apitrace("trace %u", 5u), 7);
    std::vector<LogRecord> records = kivtest::log_records();
    ASSERT_EQ(records.size(), 5u);
    const struct {
        int priority;
        const char *tag;
        const char *text;
    } want[] = {{4, "ipod-daemon-2", "info 1\n"},
                {3, "ipod-daemon-2", "debug x\n"},
                {3, "ipod-daemon-2", "vo"},
                {6, "ipod-daemon-2", "op, failed\n"},
                {3, "apitrace", "trace 5"}};
    for (size_t i = 0; i < records.size(); i++) {
        EXPECT_EQ(records[i].priority, want[i].priority) << i;
        EXPECT_EQ(records[i].tag, want[i].tag) << i;
        EXPECT_EQ(records[i].text, want[i].text) << i;
    }
}

// Byte dumps: hexdump lines of sixteen bytes with their printable text,
// print_hex with its count and a line break after every eighth byte; no
// bytes give no hexdump and an empty print_hex line.
TEST(Log, ByteDumps) {
    unsigned char row[17];
    for (int i = 0; i < 17; i++) row[i] = static_cast<unsigned char>(0x20 + i);
    row[1] = 0x7e;
    row[2] = 0x7f;
    row[3] = 0x21;
    const std::string line = "20 7e 7f 21 24 25 26 27 28 29 2a 2b 2c 2d 2e 2f  .~.!$%&'()*+,-./\n";
    const unsigned char mixed[] = {0x48, 0x69, 0x20, 0x00, 0x80, 0xff, 0x0a, 0xab, 0x5a};
    const struct {
        void (*dump)(const void *, int32_t);
        const unsigned char *data;
        int32_t count;
        Texts want;
    } cases[] = {
        {kv_hexdump, mixed, 4, {"48 69 20 00  Hi..\n"}},
        {kv_hexdump, mixed + 4, 3, {"80 ff 0a  ...\n"}},
        {kv_hexdump, row, 16, {line}},
        {kv_hexdump, row, 17, {line, "30  0\n"}},
        {kv_hexdump, row, 0, {}},
        {kv_hexdump, row, -5, {}},
        {kv_hexdump, nullptr, 4, {}},
        {print_hex, mixed, 8, {"print_hex, count=8\n", "48 69 20 00 80 FF 0A AB\n\n"}},
        {print_hex, mixed, 9, {"print_hex, count=9\n", "48 69 20 00 80 FF 0A AB\n5A \n"}},
        {print_hex, mixed, 2, {"print_hex, count=2\n", "48 69 \n"}},
        {print_hex, mixed, 0, {"print_hex, count=0\n", "\n"}},
        {print_hex, mixed, -3, {"print_hex, count=-3\n", "\n"}},
        {print_hex, nullptr, 4, {"print_hex, count=4\n", "\n"}},
    };
    for (const auto &c : cases) {
        kivtest::log_clear();
        c.dump(c.data, c.count);
        EXPECT_EQ(debug_texts(), c.want) << (c.dump == print_hex ? "print_hex " : "kv_hexdump ") << c.count;
    }
}

// Past their limits the dumps show the first bytes as usual and one line
// with the count of the others: a 16 MB range writes 65 and 3 records, not
// a million and one of 48 MB.
TEST(Log, ByteDumpsOfLargeRangesAreCapped) {
    using kiv_log::kHexdumpMaxBytes;
    using kiv_log::kPrintHexMaxBytes;
    std::vector<unsigned char> big(16 * 1000 * 1000);
    for (size_t i = 0; i < big.size(); i++) big[i] = static_cast<unsigned char>(i * 7);
    const int32_t n = static_cast<int32_t>(big.size());
    for (int32_t count : {kHexdumpMaxBytes - 1, kHexdumpMaxBytes, kHexdumpMaxBytes + 1, n}) {
        kivtest::log_clear();
        kv_hexdump(big.data(), count);
        Texts got = debug_texts();
        int32_t shown = count < kHexdumpMaxBytes ? count : kHexdumpMaxBytes;
        ASSERT_EQ(got.size(), static_cast<size_t>((shown + 15) / 16 + (count > shown ? 1 : 0))) << count;
        // The lines shown are those of the first bytes alone.
        kivtest::log_clear();
        kv_hexdump(big.data(), shown);
        Texts alone = debug_texts();
        EXPECT_EQ(Texts(got.begin(), got.begin() + static_cast<long>(alone.size())), alone) << count;
        if (count > shown) {
            EXPECT_EQ(got.back(), "... " + std::to_string(count - shown) + " more bytes not shown\n");
        }
    }
    for (int32_t count : {kPrintHexMaxBytes, kPrintHexMaxBytes + 1, n}) {
        kivtest::log_clear();
        print_hex(big.data(), count);
        Texts got = debug_texts();
        int32_t shown = count < kPrintHexMaxBytes ? count : kPrintHexMaxBytes;
        kivtest::log_clear();
        print_hex(big.data(), shown);
        Texts alone = debug_texts();
        ASSERT_EQ(got.size(), count > shown ? 3u : 2u);
        EXPECT_EQ(got[0], "print_hex, count=" + std::to_string(count) + "\n");
        EXPECT_EQ(got[1], alone[1]);
        EXPECT_EQ(got[1].size(), 3u * static_cast<size_t>(shown) + 1);
        if (count > shown) {
            EXPECT_EQ(got[2], "... " + std::to_string(count - shown) + " more bytes not shown\n");
        }
    }
}

TEST(Log, VerboseFlagIsAlwaysOn) {
    unsetenv("DEBUG");
    EXPECT_EQ(is_verbose(), 1);
    for (const char *debug : {"", "0", static_cast<const char *>(nullptr)}) {
        if (debug != nullptr)
            setenv("DEBUG", debug, 1);
        else
            unsetenv("DEBUG");
        EXPECT_EQ(common_init(), 0);
        EXPECT_EQ(is_verbose(), 1);
    }
    kivtest::log_clear();
    log_fp(stderr);
    log_fp(nullptr);
    EXPECT_TRUE(kivtest::log_records().empty());
}

}  // namespace

// Runs `body` with standard error sent to a pipe; returns what it wrote.
std::string captured_stderr(void (*body)()) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return "(no pipe)";
    fflush(stderr);
    const int saved = dup(2);
    dup2(pipe_fds[1], 2);
    close(pipe_fds[1]);
    body();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(pipe_fds[0], buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
    close(pipe_fds[0]);
    return out;
}

// KIV_IPOD_LOG sends the records of at least the chosen priority to
// standard error, one line each, and none to the system log; unset or
// unknown values leave every record to the system log.
TEST(Log, TheEnvironmentCanSendRecordsToStandardError) {
    struct Row {
        const char *value;
        const char *stderr_text;
        size_t system_records;
    };
    const Row rows[] = {
        {nullptr, "", 4},
        {"verbose", "", 4},
        {"debug",
         "ipod-daemon-2 D: trace 1\nipod-daemon-2 I: info\nipod-daemon-2 E: failed, no newline\n"
         "apitrace D: api\n",
         0},
        {"info", "ipod-daemon-2 I: info\nipod-daemon-2 E: failed, no newline\n", 0},
        {"error", "ipod-daemon-2 E: failed, no newline\n", 0},
        {"off", "", 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.value ? row.value : "(unset)");
        if (row.value)
            setenv("KIV_IPOD_LOG", row.value, 1);
        else
            unsetenv("KIV_IPOD_LOG");
        kivtest::log_clear();
        static int results[4];
        const std::string text = captured_stderr([] {
            results[0] = kv_debug("trace %d\n", 1);
            results[1] = kv_print("info\n");
            results[2] = kv_error("failed, %s", "no newline");
            results[3] = kv_apitrace("api\n");
        });
        EXPECT_EQ(text, row.stderr_text);
        EXPECT_EQ(kivtest::log_records().size(), row.system_records);
        // On standard error a record that is written returns a positive
        // count, one that is below the chosen priority 0.
        if (row.system_records == 0) {
            const char *lines[] = {"trace 1", "info", "failed", "api"};
            for (int i = 0; i < 4; i++) {
                EXPECT_EQ(results[i] > 0, text.find(lines[i]) != std::string::npos) << lines[i];
                EXPECT_GE(results[i], 0) << lines[i];
            }
        }
    }
    unsetenv("KIV_IPOD_LOG");
    // A record longer than the formatting buffer is written whole.
    setenv("KIV_IPOD_LOG", "debug", 1);
    const std::string long_text = captured_stderr([] { kv_debug("%s\n", std::string(5000, 'x').c_str()); });
    unsetenv("KIV_IPOD_LOG");
    EXPECT_EQ(long_text, "ipod-daemon-2 D: " + std::string(5000, 'x') + "\n");
}
