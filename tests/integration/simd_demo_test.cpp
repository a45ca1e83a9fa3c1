// The README's demo script, run against this build's simulator and client:
// it must finish with exit code 0 and show each part of the session.
#include "simd_harness.h"

using namespace simdtest;

TEST(SimdDemo, ScriptedSessionSucceeds) {
    if (!tool_exists("kiv-ipod")) GTEST_SKIP() << "kiv-ipod not built (CLI11 missing)";
    // <build>/tools/kiv-ipod -> <build>; <source>/tests/integration/this file -> <source>.
    std::string build = tool_path("kiv-ipod"), source = __FILE__;
    build = build.substr(0, build.rfind("/tools/"));
    source = source.substr(0, source.rfind("/tests/"));

    simdtest::Run r = run_tool("/bin/sh", {source + "/scripts/demo.sh", build});
    const std::string text = r.out + r.err;
    EXPECT_EQ(r.code, 0) << text;
    for (const char *expect :
         {"Demo iPod", "artist: ", "chapter 1:", "play: ok", "event track_position_changed",
          "artwork: 128x128 RGB565", "received \"hello from the demo\"", "\"state\":\"paused\"",
          "event disconnected_ipod", "event ipod_ready", "demo finished"})
        EXPECT_NE(text.find(expect), std::string::npos) << expect << "\n" << text;
}
