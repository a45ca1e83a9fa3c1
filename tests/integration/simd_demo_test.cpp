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

    std::string out_path = "/tmp/simd-demo-out.XXXXXX";
    int out = mkstemp(&out_path[0]);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out, 1);
        dup2(out, 2);
        std::string script = source + "/scripts/demo.sh";
        execl("/bin/sh", "sh", script.c_str(), build.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    close(out);
    std::string text = read_file(out_path);
    unlink(out_path.c_str());
    ASSERT_TRUE(WIFEXITED(status)) << text;
    EXPECT_EQ(WEXITSTATUS(status), 0) << text;
    for (const char *expect :
         {"Demo iPod", "artist: ", "chapter 1:", "play: ok", "event track_position_changed",
          "artwork: 128x128 RGB565", "received \"hello from the demo\"", "\"state\":\"paused\"",
          "event disconnected_ipod", "event ipod_ready", "demo finished"})
        EXPECT_NE(text.find(expect), std::string::npos) << expect << "\n" << text;
}
