// The README's demo script, run against this build's simulator and client:
// it must finish with exit code 0 and show each part of the session.
#include "simd_harness.h"

using namespace simdtest;

TEST(SimdDemo, ScriptedSessionSucceeds) {
    if (!tool_exists("kiv-ipod")) GTEST_SKIP() << "kiv-ipod not built (CLI11 missing)";
    // <build>/tools/kiv-ipod -> <build>; the source tree is named in the cache.
    std::string build = tool_path("kiv-ipod");
    build = build.substr(0, build.rfind("/tools/"));
    std::string cache = read_file(build + "/CMakeCache.txt");
    const std::string key = "CMAKE_HOME_DIRECTORY:INTERNAL=";
    size_t at = cache.find(key);
    ASSERT_NE(at, std::string::npos);
    std::string source = cache.substr(at + key.size(), cache.find('\n', at) - at - key.size());

    simdtest::Run r = run_tool("/bin/sh", {source + "/scripts/demo.sh", build});
    const std::string text = r.out + r.err;
    EXPECT_EQ(r.code, 0) << text;
    for (const char *expect :
         {"Demo iPod", "artist: ", "chapter 1:", "play: ok", "event track_position_changed",
          "artwork: 128x128 RGB565", "received \"hello from the demo\"", "\"state\":\"paused\"",
          "event disconnected_ipod", "event ipod_ready", "demo finished"})
        EXPECT_NE(text.find(expect), std::string::npos) << expect << "\n" << text;
}
