// The artwork reply's parser: inline pixels and images in the daemon's
// files, their limits, and what a refused image leaves.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "client_fixture.h"
#include "link_fixture.h"
#include "log_capture.h"

using namespace fixture;
using kivtest::log_clear;
using kivtest::log_count;

namespace {

constexpr int kDebug = 3;
constexpr int kError = 6;

Value inline_art(int w, int h, int stride, const std::string &pixels) {
    return H({{"width", I(w)}, {"height", I(h)}, {"rowstride", I(stride)}, {"image", B(pixels)}});
}

Value shared_art(int w, int h, int stride, const std::string &path) {
    return H({{"width", I(w)}, {"height", I(h)}, {"rowstride", I(stride)}, {"image_path", S(path.c_str())}});
}

// A temporary file filled with `size` bytes of `fill`.
struct TempFile {
    std::string path;
    explicit TempFile(size_t size, char fill) {
        char name[] = "/tmp/kiv-artwork-XXXXXX";
        int fd = mkstemp(name);
        path = name;
        std::string bytes(size, fill);
        if (fd >= 0) {
            EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
            close(fd);
        }
    }
    ~TempFile() { unlink(path.c_str()); }
};

TEST(Replies, InlineArtworkCoversTheReportedLength) {
    Client c;
    log_clear();
    // Fewer bytes than rowstride x height: the rest reads as zeros.
    EXPECT_EQ(run(set_artwork, c, inline_art(3, 4, 8, "abc")), 1);
    EXPECT_EQ(log_count(kDebug, "wxh 3x4 rowstride 8\n"), 1);
    EXPECT_EQ(kiv_ipod_current_track_artwork_width(c), 3);
    EXPECT_EQ(kiv_ipod_current_track_artwork_height(c), 4);
    EXPECT_EQ(kiv_ipod_current_track_artwork_rowstride(c), 8);
    ASSERT_EQ(kiv_ipod_current_track_artwork_length(c), 32u);
    const unsigned char *data = kiv_ipod_current_track_artwork_data(c);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(memcmp(data, "abc", 3), 0);
    for (int i = 3; i < 32; ++i) ASSERT_EQ(data[i], 0) << i;

    // More bytes than needed are all kept.
    EXPECT_EQ(run(set_artwork, c, inline_art(1, 1, 2, "0123456789")), 1);
    EXPECT_EQ(memcmp(kiv_ipod_current_track_artwork_data(c), "0123456789", 10), 0);

    // Errors and replies without pixels keep the previous artwork.
    EXPECT_EQ(run(set_artwork, c, H({{"error", S("no art")}})), -1);
    EXPECT_STREQ(c->last_error, "no art");
    EXPECT_EQ(run(set_artwork, c, H({{"width", I(1)}, {"height", I(1)}, {"rowstride", I(1)}})), -1);
    EXPECT_EQ(run_empty(set_artwork, c), -1);
    EXPECT_EQ(kiv_ipod_current_track_artwork_length(c), 2u);
    EXPECT_EQ(memcmp(kiv_ipod_current_track_artwork_data(c), "0123456789", 10), 0);

    // Dimensions are kept as 16-bit values.
    EXPECT_EQ(run(set_artwork, c, inline_art(0x10002, 1, 0x10001, "")), 1);
    EXPECT_EQ(kiv_ipod_current_track_artwork_width(c), 2);
    EXPECT_EQ(kiv_ipod_current_track_artwork_length(c), 1u);
    EXPECT_EQ(kiv_ipod_current_track_artwork_data(c)[0], 0);
}

TEST(Replies, SharedArtworkKeepsReopensOrDropsTheFile) {
    Client c;
    TempFile small(64, 'a');
    TempFile big(256, 'b');
    const int descriptors = linktest::open_descriptors();

    ASSERT_EQ(run(set_artwork, c, shared_art(4, 4, 4, small.path)), 1);
    ASSERT_NE(c->artwork_map, nullptr);
    EXPECT_EQ(c->artwork_map_length, 16u);
    EXPECT_EQ(kiv_ipod_current_track_artwork_data(c), c->artwork_map);
    EXPECT_EQ(kiv_ipod_current_track_artwork_data(c)[15], 'a');
    uint8_t *first_map = c->artwork_map;

    // It fits: the file and its copy stay, whatever path the reply names,
    // and the pixels the daemon wrote anew into the file are read again.
    std::ofstream(small.path) << std::string(64, 'c');
    ASSERT_EQ(run(set_artwork, c, shared_art(2, 2, 4, big.path)), 1);
    EXPECT_EQ(c->artwork_map, first_map);
    EXPECT_EQ(kiv_ipod_current_track_artwork_data(c)[7], 'c');

    // Inline pixels in between: a private copy, the file still held.
    ASSERT_EQ(run(set_artwork, c, inline_art(1, 1, 1, "z")), 1);
    EXPECT_NE(kiv_ipod_current_track_artwork_data(c), c->artwork_map);
    EXPECT_EQ(c->artwork_map, first_map);
    ASSERT_EQ(run(set_artwork, c, shared_art(4, 4, 4, "/nonexistent")), 1);
    EXPECT_EQ(kiv_ipod_current_track_artwork_data(c), first_map);

    // Larger: the file is read anew with the new size.
    ASSERT_EQ(run(set_artwork, c, shared_art(8, 8, 4, big.path)), 1);
    EXPECT_EQ(c->artwork_map_length, 32u);
    EXPECT_EQ(kiv_ipod_current_track_artwork_data(c)[31], 'b');
    EXPECT_EQ(kiv_ipod_current_track_artwork_data(c), c->artwork_map);

    EXPECT_EQ(linktest::open_descriptors(), descriptors + 1) << "one file held";
    reset_cache(c);
    EXPECT_EQ(linktest::open_descriptors(), descriptors) << "and closed with the image";
    EXPECT_EQ(c->artwork_map, nullptr);
    EXPECT_EQ(c->artwork_map_length, 0u);
    EXPECT_EQ(kiv_ipod_current_track_artwork_data(c), nullptr);

    // An unusable file leaves no artwork.
    TempFile empty(0, 'x');
    ASSERT_EQ(run(set_artwork, c, inline_art(1, 1, 1, "p")), 1);

    // Too short for rowstride x height: nothing is kept.
    EXPECT_EQ(run(set_artwork, c, shared_art(16, 16, 16, small.path)), -1);
    EXPECT_EQ(c->artwork_map, nullptr);
    EXPECT_EQ(kiv_ipod_current_track_artwork_data(c), nullptr);
    EXPECT_EQ(kiv_ipod_current_track_artwork_length(c), 0u);

    ASSERT_EQ(run(set_artwork, c, shared_art(4, 4, 4, small.path)), 1);
    // A missing file, an empty one, a directory, a file that holds less
    // than its size says, a path of another type, and a zero-sized image
    // all end without artwork, and without the file held open.
    log_clear();
    const std::string bad_paths[] = {"/nonexistent/art", empty.path, "/tmp",
                                     "/sys/devices/system/cpu/online"};
    for (const std::string &path : bad_paths) {
        EXPECT_EQ(run(set_artwork, c, shared_art(64, 64, 64, path)), -1) << path;
        EXPECT_EQ(c->artwork_map, nullptr) << path;
        EXPECT_EQ(c->artwork_map_fd, -1) << path;
        EXPECT_EQ(kiv_ipod_current_track_artwork_data(c), nullptr) << path;
    }
    EXPECT_EQ(log_count(kError, "set_artwork, cannot open /nonexistent/art\n"), 1);
    EXPECT_EQ(log_count(kError, "set_artwork, /tmp is shorter than 4096 bytes\n"), 1) << "not a regular file";
    EXPECT_EQ(run(set_artwork, c,
                  H({{"width", I(4)}, {"height", I(4)}, {"rowstride", I(4)}, {"image_path", I(1)}})),
              -1);
    EXPECT_EQ(run(set_artwork, c, shared_art(0, 0, 0, small.path)), -1);
    EXPECT_EQ(c->artwork_map, nullptr);
    EXPECT_EQ(kiv_ipod_current_track_artwork_data(c), nullptr);

    // An image one page past the payload limit, in a (sparse) file that
    // does hold it: refused before the file is opened, and the artwork
    // held before is gone.
    TempFile huge(0, 'x');
    const uint32_t huge_length = IPOD_MAX_PAYLOAD + 4096;
    ASSERT_EQ(truncate(huge.path.c_str(), huge_length), 0);
    ASSERT_EQ(run(set_artwork, c, shared_art(4, 4, 4, small.path)), 1);
    log_clear();
    EXPECT_EQ(run(set_artwork, c, shared_art(1024, huge_length / 4096, 4096, huge.path)), -1);
    EXPECT_EQ(c->artwork_map, nullptr);
    EXPECT_EQ(c->artwork_map_fd, -1);
    EXPECT_EQ(kiv_ipod_current_track_artwork_data(c), nullptr);
    EXPECT_EQ(kiv_ipod_current_track_artwork_width(c), 0);
    EXPECT_EQ(
        log_count(kError, "set_artwork, image of " + std::to_string(huge_length) +
                              " bytes exceeds the limit of " + std::to_string(IPOD_MAX_PAYLOAD) + " bytes\n"),
        1);
}

// The daemon cuts its artwork file after the reply: the image the handle
// holds is its own copy, which reads whole (a mapping of the file would
// raise SIGBUS here), and the file is neither mapped nor writable.
TEST(Replies, SharedArtworkIsCopiedOutOfTheFile) {
    Client c;
    TempFile file(64 * 1024, 'a');
    ASSERT_EQ(run(set_artwork, c, shared_art(128, 128, 512, file.path)), 1);
    ASSERT_EQ(truncate(file.path.c_str(), 0), 0);
    const unsigned char *data = kiv_ipod_current_track_artwork_data(c);
    const uint32_t length = kiv_ipod_current_track_artwork_length(c);
    ASSERT_EQ(length, 64u * 1024);
    EXPECT_EXIT(
        {
            unsigned sum = 0;
            for (uint32_t i = 0; i < length; ++i) sum += data[i];
            _exit(sum == 'a' * length ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    std::ifstream maps("/proc/self/maps");
    std::stringstream text;
    text << maps.rdbuf();
    EXPECT_EQ(text.str().find(file.path), std::string::npos) << "the daemon's file is mapped";
    EXPECT_EQ(fcntl(c->artwork_map_fd, F_GETFL) & O_ACCMODE, O_RDONLY);

    // The next image no longer fits in the cut file: no artwork, also
    // when errno still says EINTR from an earlier call (an end of file is
    // never retried).
    EXPECT_EXIT(
        {
            alarm(10);
            errno = EINTR;
            _exit(run(set_artwork, c, shared_art(2, 2, 2, file.path)) == -1 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EQ(run(set_artwork, c, shared_art(2, 2, 2, file.path)), -1);
    EXPECT_EQ(kiv_ipod_current_track_artwork_data(c), nullptr);

    // Found by artwork_fuzz (fuzz/corpus/artwork_fuzz/cut-shared-file): a
    // file cut below the image held before still serves an image that fits.
    std::ofstream(file.path) << std::string(100, 'd');
    EXPECT_EQ(run(set_artwork, c, shared_art(16, 16, 64, file.path)), -1);
    ASSERT_EQ(run(set_artwork, c, shared_art(1, 1, 100, file.path)), 1);
    EXPECT_EQ(kiv_ipod_current_track_artwork_data(c)[99], 'd');
}

// A terminal or a FIFO named as the artwork file is refused without
// becoming the controlling terminal of a session leader and without
// waiting for a writer.
TEST(Replies, ArtworkPathOfATerminalOrFifoIsRefused) {
    char fifo[] = "/tmp/kiv-artwork-fifo-XXXXXX";
    ASSERT_NE(mkdtemp(fifo), nullptr);
    const std::string fifo_path = std::string(fifo) + "/f";
    ASSERT_EQ(mkfifo(fifo_path.c_str(), 0600), 0);
    EXPECT_EXIT(
        {
            alarm(10);  // a FIFO opened for reading would block without a writer
            if (setsid() < 0) _exit(2);
            int master = posix_openpt(O_RDWR | O_NOCTTY);
            if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) _exit(3);
            const std::string pty = ptsname(master);
            Client c;
            for (const std::string &path : {pty, fifo_path}) {
                if (run(set_artwork, c, shared_art(1, 1, 1, path)) != -1) _exit(4);
                if (c->artwork_map != nullptr) _exit(5);
            }
            // Without a controlling terminal /dev/tty cannot be opened.
            _exit(open("/dev/tty", O_RDONLY | O_NOCTTY) < 0 ? 0 : 6);
        },
        testing::ExitedWithCode(0), "");
    unlink(fifo_path.c_str());
    rmdir(fifo);
}

// An inline image larger than a payload is refused, whatever its sizes
// promise, and a refused image changes neither the pixels nor the sizes.
TEST(Replies, InlineArtworkIsBoundedBySizeOfAPayload) {
    Client c;
    ASSERT_EQ(run(set_artwork, c, inline_art(1, 1, 2, "01")), 1);
    const unsigned char *kept = kiv_ipod_current_track_artwork_data(c);
    struct {
        int rowstride, height;
        int32_t result;
    } const cases[] = {{65535, 65535, -1}, {4097, 4096, -1}, {4096, 4096, 1}};
    for (const auto &k : cases) {
        SCOPED_TRACE(k.rowstride);
        EXPECT_EQ(run(set_artwork, c, inline_art(7, k.height, k.rowstride, "xy")), k.result);
        if (k.result < 0) {
            EXPECT_EQ(kiv_ipod_current_track_artwork_data(c), kept);
            EXPECT_EQ(kiv_ipod_current_track_artwork_width(c), 1);
            EXPECT_EQ(kiv_ipod_current_track_artwork_length(c), 2u);
        } else {
            EXPECT_EQ(kiv_ipod_current_track_artwork_length(c), IPOD_MAX_PAYLOAD);
            EXPECT_EQ(kiv_ipod_current_track_artwork_data(c)[IPOD_MAX_PAYLOAD - 1], 0);
        }
    }
}

}  // namespace
