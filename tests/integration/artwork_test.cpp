// Artwork replies through the shared library: inline pixels, and pixels in
// a file that the fake daemon shares with the library, read into a copy.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "requests_fixture.h"

using reqtest::Client;
using reqtest::Daemon;
using reqtest::ReplyLog;
namespace wire = kivtest::wire;

namespace {

// The daemon's artwork file.
class ArtFile {
public:
    ArtFile() {
        char name[] = "/tmp/kiv-art-XXXXXX";
        fd_ = mkstemp(name);
        path_ = name;
    }
    ~ArtFile() {
        if (fd_ >= 0) close(fd_);
        unlink(path_.c_str());
    }
    // Rewrites the file in place with `size` bytes of `fill`.
    void fill(size_t size, char value) {
        std::string bytes(size, value);
        ASSERT_EQ(ftruncate(fd_, static_cast<off_t>(size)), 0);
        ASSERT_EQ(pwrite(fd_, bytes.data(), size, 0), static_cast<ssize_t>(size));
    }
    const std::string &path() const { return path_; }

private:
    int fd_ = -1;
    std::string path_;
};

std::string shared(int w, int h, int stride, const std::string &path) {
    return wire::h({{"width", wire::i(w)},
                    {"height", wire::i(h)},
                    {"rowstride", wire::i(stride)},
                    {"image_path", wire::s(path)}});
}

std::string inline_image(int w, int h, int stride, const std::string &pixels) {
    return wire::h({{"width", wire::i(w)},
                    {"height", wire::i(h)},
                    {"rowstride", wire::i(stride)},
                    {"image", wire::b(pixels)}});
}

bool all_equal(const unsigned char *data, size_t length, unsigned char value) {
    for (size_t i = 0; i < length; ++i)
        if (data[i] != value) return false;
    return true;
}

TEST(ArtworkFlow, InlinePixelsCoverTheReportedLength) {
    Daemon d;
    Client cl(d, true);
    kiv_ipod_client *c = cl.client;
    d.answer_with(inline_image(10, 10, 30, "xyz"));
    ASSERT_EQ(kiv_ipod_current_track_artwork_sync(c, 0), 1);
    ASSERT_EQ(kiv_ipod_current_track_artwork_length(c), 300u);
    const unsigned char *data = kiv_ipod_current_track_artwork_data(c);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(memcmp(data, "xyz", 3), 0);
    // Reading the whole reported length is safe (ASan checks the bounds).
    EXPECT_TRUE(all_equal(data + 3, 297, 0));
    EXPECT_EQ(kivtest::log_count(reqtest::kDebug, "wxh 10x10 rowstride 30\n"), 1);

    d.answer_with(wire::h({{"error", wire::s("no artwork")}}));
    ReplyLog replies;
    replies.install(c);
    ASSERT_NE(kiv_ipod_current_track_artwork(c, 0), 0u);
    ASSERT_TRUE(replies.read_until(c, 1));
    EXPECT_EQ(replies.entries[0].result, -1);
    EXPECT_EQ(replies.entries[0].text, "no artwork");
    EXPECT_EQ(kiv_ipod_current_track_artwork_data(c), data) << "a failed reply keeps the artwork";
}

TEST(ArtworkFlow, SharedFileIsReadKeptAndReopened) {
    Daemon d;
    Client cl(d, true);
    kiv_ipod_client *c = cl.client;
    ArtFile first;
    ArtFile second;
    first.fill(64, 'a');

    d.answer_with(shared(4, 4, 4, first.path()));
    ASSERT_EQ(kiv_ipod_current_track_artwork_sync(c, 0), 1);
    const unsigned char *copy = kiv_ipod_current_track_artwork_data(c);
    ASSERT_NE(copy, nullptr);
    EXPECT_TRUE(all_equal(copy, 16, 'a'));

    // A smaller image fits: the file is kept, and the daemon's new
    // pixels written into the same file are read into the same copy.
    first.fill(64, 'b');
    d.answer_with(shared(2, 2, 4, second.path()));
    ASSERT_EQ(kiv_ipod_current_track_artwork_sync(c, 0), 1);
    EXPECT_EQ(kiv_ipod_current_track_artwork_data(c), copy);
    EXPECT_TRUE(all_equal(kiv_ipod_current_track_artwork_data(c), 8, 'b'));

    // Inline pixels in between, then the shared file again: same copy.
    d.answer_with(inline_image(1, 1, 1, "q"));
    ASSERT_EQ(kiv_ipod_current_track_artwork_sync(c, 0), 1);
    EXPECT_NE(kiv_ipod_current_track_artwork_data(c), copy);
    d.answer_with(shared(4, 4, 4, first.path()));
    ASSERT_EQ(kiv_ipod_current_track_artwork_sync(c, 0), 1);
    EXPECT_EQ(kiv_ipod_current_track_artwork_data(c), copy);

    // A larger image: read anew from the file the reply names.
    second.fill(4096, 'c');
    d.answer_with(shared(32, 32, 128, second.path()));
    ASSERT_EQ(kiv_ipod_current_track_artwork_sync(c, 0), 1);
    ASSERT_EQ(kiv_ipod_current_track_artwork_length(c), 4096u);
    EXPECT_TRUE(all_equal(kiv_ipod_current_track_artwork_data(c), 4096, 'c'));
}

TEST(ArtworkFlow, UnusableFileLeavesNoArtwork) {
    Daemon d;
    Client cl(d, true);
    kiv_ipod_client *c = cl.client;
    ArtFile file;
    file.fill(100, 'a');

    // Shorter than rowstride x height: touching the missing pages would
    // raise SIGBUS, so nothing is kept.
    d.answer_with(shared(64, 64, 256, file.path()));
    EXPECT_EQ(kiv_ipod_current_track_artwork_sync(c, 0), -1);
    EXPECT_EQ(kiv_ipod_current_track_artwork_data(c), nullptr);
    EXPECT_EQ(kiv_ipod_current_track_artwork_length(c), 0u);

    d.answer_with(shared(4, 4, 4, "/nonexistent/artwork"));
    EXPECT_EQ(kiv_ipod_current_track_artwork_sync(c, 0), -1);
    EXPECT_EQ(kiv_ipod_current_track_artwork_data(c), nullptr);

    // The same file once it holds enough bytes works.
    file.fill(64 * 256, 'z');
    d.answer_with(shared(64, 64, 256, file.path()));
    ASSERT_EQ(kiv_ipod_current_track_artwork_sync(c, 0), 1);
    EXPECT_TRUE(all_equal(kiv_ipod_current_track_artwork_data(c), 64 * 256, 'z'));
}

}  // namespace
