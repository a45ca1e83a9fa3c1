// An application may define functions whose names the library also
// exports (generic names such as serialize or connect_to_server). The
// library's own calls stay bound to its own definitions, so such a program
// still talks to the daemon correctly.
#include "simd_harness.h"

namespace {
int g_application_calls = 0;
}

// The application's own functions of the same names, which do something
// else entirely.
extern "C" uint8_t *serialize(const serialize_value *, int32_t *length) {
    ++g_application_calls;
    if (length) *length = 0;
    return nullptr;
}
extern "C" int set_ready(kiv_ipod_client *, int) {
    ++g_application_calls;
    return 0;
}
extern "C" int connect_to_server(void) {
    ++g_application_calls;
    return -1;
}
extern "C" int common_init(void) {
    ++g_application_calls;
    return 0;
}

TEST(Interposition, LibraryKeepsItsOwnFunctions) {
    simdtest::Simulator sim;
    ASSERT_TRUE(sim.ready());
    kiv_ipod_client *c = kiv_ipod_connect();
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(kiv_ipod_open_session_sync(c, 0), 1);  // runs set_ready
    EXPECT_EQ(kiv_ipod_is_ready(c), 1);
    EXPECT_EQ(kiv_ipod_play_sync(c), 0);  // a payload goes through serialize
    EXPECT_EQ(kiv_ipod_set_repeat_sync(c, 1), 0);
    EXPECT_EQ(g_application_calls, 0);
    kiv_ipod_close(c);
}
