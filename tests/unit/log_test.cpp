// Log records of the logging functions and the byte dumps.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "internal.h"
#include "log_capture.h"

namespace {

using kivtest::LogRecord;

std::vector<std::string> texts() {
    std::vector<std::string> out;
    for (const LogRecord &r : kivtest::log_records()) {
        EXPECT_EQ(r.priority, 3);
        EXPECT_EQ(r.tag, "ipod-daemon-2");
        out.push_back(r.text);
    }
    return out;
}

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

TEST(Log, HexdumpLinesOfSixteen) {
    const unsigned char hi[] = {0x48, 0x69, 0x20, 0x00};
    kivtest::log_clear();
    kv_hexdump(hi, 4);
    EXPECT_EQ(texts(), (Texts{"48 69 20 00  Hi..\n"}));

    unsigned char bytes[17];
    for (int i = 0; i < 17; i++) bytes[i] = static_cast<unsigned char>(0x20 + i);
    bytes[1] = 0x7e;
    bytes[2] = 0x7f;
    bytes[3] = 0x21;
    kivtest::log_clear();
    kv_hexdump(bytes, 16);
    EXPECT_EQ(texts(), (Texts{"20 7e 7f 21 24 25 26 27 28 29 2a 2b 2c 2d 2e 2f  .~.!$%&'()*+,-./\n"}));
    kivtest::log_clear();
    kv_hexdump(bytes, 17);
    EXPECT_EQ(texts(),
              (Texts{"20 7e 7f 21 24 25 26 27 28 29 2a 2b 2c 2d 2e 2f  .~.!$%&'()*+,-./\n", "30  0\n"}));
    const unsigned char high[] = {0x80, 0xff, 0x0a};
    kivtest::log_clear();
    kv_hexdump(high, 3);
    EXPECT_EQ(texts(), (Texts{"80 ff 0a  ...\n"}));

    kivtest::log_clear();
    kv_hexdump(bytes, 0);
    kv_hexdump(bytes, -5);
    kv_hexdump(nullptr, 4);
    EXPECT_TRUE(kivtest::log_records().empty());
}

TEST(Log, PrintHexBreaksAfterEveryEighthByte) {
    unsigned char bytes[9] = {0x00, 0x01, 0xab, 0xcd, 0xef, 0x10, 0x7f, 0xff, 0x5a};
    kivtest::log_clear();
    print_hex(bytes, 8);
    EXPECT_EQ(texts(), (Texts{"print_hex, count=8\n", "00 01 AB CD EF 10 7F FF\n\n"}));
    kivtest::log_clear();
    print_hex(bytes, 9);
    EXPECT_EQ(texts(), (Texts{"print_hex, count=9\n", "00 01 AB CD EF 10 7F FF\n5A \n"}));
    kivtest::log_clear();
    print_hex(bytes, 2);
    EXPECT_EQ(texts(), (Texts{"print_hex, count=2\n", "00 01 \n"}));
    kivtest::log_clear();
    print_hex(bytes, 0);
    print_hex(bytes, -3);
    EXPECT_EQ(texts(), (Texts{"print_hex, count=0\n", "\n", "print_hex, count=-3\n", "\n"}));
}

TEST(Log, VerboseFlagIsAlwaysOn) {
    unsetenv("DEBUG");
    EXPECT_EQ(is_verbose(), 1);
    EXPECT_EQ(common_init(), 0);
    EXPECT_EQ(is_verbose(), 1);
    setenv("DEBUG", "", 1);
    EXPECT_EQ(common_init(), 0);
    EXPECT_EQ(is_verbose(), 1);
    setenv("DEBUG", "0", 1);
    EXPECT_EQ(common_init(), 0);
    EXPECT_EQ(is_verbose(), 1);
    unsetenv("DEBUG");
    kivtest::log_clear();
    log_fp(stderr);
    log_fp(nullptr);
    EXPECT_TRUE(kivtest::log_records().empty());
}

}  // namespace
