// Inputs found by the fuzzers (fuzz/), kept as regression tests. Each input
// is also committed under fuzz/corpus/<fuzzer>/, where the fuzz_replay_*
// tests run it through the fuzzer's own checks with a plain driver
// (fuzz/replay_main.cpp); the tests here spell out what the sound
// behaviour is.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "client_fixture.h"
#include "internal.h"

namespace {

using namespace fixture;

int32_t artwork_reply(kiv_ipod_client *c, int height, int stride, const std::string &path) {
    Packet p(H({{"width", I(stride)},
                {"height", I(height)},
                {"rowstride", I(stride)},
                {"image_path", S(path.c_str())}}));
    return set_artwork(c, p.get());
}

// Reads every byte that the accessors announce (a SIGBUS here is the fault).
unsigned sum_artwork(kiv_ipod_client *c) {
    const unsigned char *p = kiv_ipod_current_track_artwork_data(c);
    unsigned sum = 0;
    for (uint32_t i = 0; p && i < kiv_ipod_current_track_artwork_length(c); i++) sum += p[i];
    return sum;
}

// artwork_fuzz: the daemon cut its shared artwork file below the next
// image while the client kept its (large enough) mapping; reading the
// announced bytes touched pages past the end of the file and raised SIGBUS.
TEST(FuzzRegressions, SharedArtworkFileCutBelowTheKeptMapping) {
    char path[] = "/tmp/kiv-artwork-cut-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 64 * 1024), 0);
    Client c;
    ASSERT_EQ(artwork_reply(c, 256, 256, path), 1);
    EXPECT_EQ(sum_artwork(c), 0u);
    uint8_t *first_map = c->artwork_map;

    // A smaller image in a file cut to 100 bytes: the mapping (64 KiB)
    // would be kept, but its pages past 100 bytes are gone.
    ASSERT_EQ(ftruncate(fd, 100), 0);
    EXPECT_EQ(artwork_reply(c, 16, 64, path), -1);
    EXPECT_EQ(kiv_ipod_current_track_artwork_data(c), nullptr);
    EXPECT_EQ(kiv_ipod_current_track_artwork_length(c), 0u);
    EXPECT_EQ(sum_artwork(c), 0u);

    // An image that fits the cut file maps it anew and reads whole.
    EXPECT_EQ(artwork_reply(c, 1, 100, path), 1);
    ASSERT_NE(kiv_ipod_current_track_artwork_data(c), nullptr);
    EXPECT_EQ(sum_artwork(c), 0u);

    // A file that still holds the image keeps the mapping, as before.
    ASSERT_EQ(ftruncate(fd, 64 * 1024), 0);
    ASSERT_EQ(artwork_reply(c, 256, 256, path), 1);
    first_map = c->artwork_map;
    ASSERT_EQ(pwrite(fd, "\x07", 1, 0), 1);
    EXPECT_EQ(artwork_reply(c, 8, 8, path), 1);
    EXPECT_EQ(c->artwork_map, first_map);
    EXPECT_EQ(sum_artwork(c), 7u);
    close(fd);
    unlink(path);
}

}  // namespace
