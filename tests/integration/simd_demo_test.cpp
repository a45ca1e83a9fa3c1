// The README's demo script, run against this build's simulator and client:
// it must finish with exit code 0 and show each part of the session.

#include "simd_harness.h"

using namespace simdtest;

namespace {

// <build>/tools/kiv-ipod -> <build>; <source>/tests/integration/this file -> <source>.
std::string build_dir() {
    std::string build = tool_path("kiv-ipod");
    return build.substr(0, build.rfind("/tools/"));
}
std::string demo_script() {
    std::string source = __FILE__;
    return source.substr(0, source.rfind("/tests/")) + "/scripts/demo.sh";
}

// The processes whose environment holds `variable` (NAME=VALUE).
std::vector<pid_t> processes_with(const std::string &variable) {
    std::vector<pid_t> found;
    for (const std::string &name : kivtest::dir_names("/proc")) {
        pid_t pid = atoi(name.c_str());
        if (pid <= 0) continue;
        std::string env = read_file("/proc/" + std::to_string(pid) + "/environ");
        if (("\0" + env).find(std::string("\0") + variable + '\0') != std::string::npos) found.push_back(pid);
    }
    return found;
}

}  // namespace

TEST(SimdDemo, ScriptedSessionSucceeds) {
    if (!tool_exists("kiv-ipod")) GTEST_SKIP() << "kiv-ipod not built (CLI11 missing)";
    simdtest::Run r = run_tool("/bin/sh", {demo_script(), build_dir()});
    const std::string text = r.out + r.err;
    EXPECT_EQ(r.code, 0) << text;
    for (const char *expect :
         {"Demo iPod", "artist: ", "chapter 1:", "play: ok", "event track_position_changed",
          "artwork: 128x128 RGB565", "received \"hello from the demo\"", "\"state\":\"paused\"",
          "event disconnected_ipod", "event ipod_ready", "demo finished"})
        EXPECT_NE(text.find(expect), std::string::npos) << expect << "\n" << text;
}

// `make demo | head`: the reader goes away early. The demo still stops the
// simulator, which removes its artwork directory, and removes its log:
// nothing is left in its TMPDIR and no process of it runs on.
TEST(SimdDemo, ReaderGoingAwayLeavesNothingBehind) {
    if (!tool_exists("kiv-ipod")) GTEST_SKIP() << "kiv-ipod not built (CLI11 missing)";
    TempDir tmp;  // what is left behind goes with it
    const std::string &dir = tmp.path, variable = "TMPDIR=" + dir;
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    pid_t pid = spawn("/usr/bin/env", {variable, "/bin/sh", demo_script(), build_dir()}, -1, out[1], -1);
    close(out[1]);
    std::string first;
    char c;
    for (pollfd p{out[0], POLLIN, 0}; first.find("$ kiv-ipod") == std::string::npos &&
                                      poll(&p, 1, 30000) == 1 && read(out[0], &c, 1) == 1;)
        first += c;
    close(out[0]);
    EXPECT_NE(first.find("$ kiv-ipod"), std::string::npos) << first;
    EXPECT_NE(wait_exit(pid), 0) << "the output was not all written";
    EXPECT_TRUE(wait_until(
        [&] { return processes_with(variable).empty() && kivtest::dir_names(dir).empty(); }, 5000));
    for (const std::string &name : kivtest::dir_names(dir))
        ADD_FAILURE() << "left behind: " << dir << "/" << name;
    for (pid_t left : processes_with(variable)) {
        ADD_FAILURE() << "still running: " << read_file("/proc/" + std::to_string(left) + "/cmdline");
        kill(left, SIGTERM);
    }
    wait_until([&] { return processes_with(variable).empty(); }, 3000);
}
