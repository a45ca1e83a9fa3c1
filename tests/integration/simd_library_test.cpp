// The simulator's generated library is the same on every processor and
// compiler: the demo transcript, the README and the tests name tracks by
// their index. A digest of every field of every track for seed 1 is
// compared with the value this library has always had.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>

#ifdef KIV_SIMD_MEDIA
#include "media.h"
#endif

namespace {

#ifdef KIV_SIMD_MEDIA

// FNV-1a, 64 bits, over length-prefixed fields.
struct Digest {
    uint64_t h = 1469598103934665603ull;
    void bytes(const std::string &s) {
        number(static_cast<uint32_t>(s.size()));
        for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
    }
    void number(uint32_t v) {
        for (int k = 0; k < 4; k++) h = (h ^ ((v >> (8 * k)) & 0xFF)) * 1099511628211ull;
    }
    std::string hex() const {
        char b[20];
        snprintf(b, sizeof b, "%016llx", static_cast<unsigned long long>(h));
        return b;
    }
};

std::string digest_of(const simd::Library &lib) {
    Digest d;
    d.number(static_cast<uint32_t>(lib.tracks.size()));
    for (const simd::Track &t : lib.tracks) {
        for (const std::string *s : {&t.title, &t.artist, &t.album, &t.composer, &t.genre, &t.uid})
            d.bytes(*s);
        d.number(static_cast<uint32_t>(t.length_ms));
        d.number(static_cast<uint32_t>(t.year));
        d.number((t.podcast ? 1u : 0u) | (t.audiobook ? 2u : 0u));
        d.number(static_cast<uint32_t>(t.chapters.size()));
        for (const simd::Chapter &c : t.chapters) {
            d.bytes(c.title);
            d.number(static_cast<uint32_t>(c.start_ms));
        }
    }
    return d.hex();
}

TEST(SimdLibrary, SeedOneGivesTheSameTracksEverywhere) {
    simd::Library lib = simd::generate_library(1);
    ASSERT_EQ(lib.tracks.size(), 268u);
    EXPECT_EQ(lib.tracks[0].title, "Harbor Summer");
    EXPECT_EQ(lib.tracks[266].title, "Stars Over Quiet Water");
    EXPECT_EQ(digest_of(lib), "48c1b26294c37c2c");
}

// A library file's numbers become whole milliseconds and years only when
// they fit: anything else is refused with the track and the field named,
// never converted out of range.
TEST(SimdLibrary, FileNumbersOutOfRangeAreRefused) {
    struct Case {
        const char *track;
        const char *error;  // empty: loads
    };
    const Case cases[] = {
        {R"({"title":"a","length":60,"chapters":[{"title":"c","start":0},{"title":"d","start":30}]})", ""},
        {R"({"title":"a","length":60,"chapters":[{"title":"c","start":-0.0004}]})", ""},
        {R"({"title":"a","length":60,"chapters":[{"title":"c","start":1e300}]})", "chapter starts"},
        {R"({"title":"a","length":60,"chapters":[{"title":"c","start":-1e300}]})", "chapter starts"},
        {R"({"title":"a","length":60,"chapters":[{"title":"c","start":-0.5}]})", "chapter starts"},
        {R"({"title":"a","length":60,"chapters":[{"title":"c","start":60}]})", "chapter starts"},
        {R"({"title":"a","length":1e300})", "\"length\""},
        {R"({"title":"a","length":60,"year":1e300})", "\"year\""},
        {R"({"title":"a","length":60,"year":-1e300})", "\"year\""},
        {R"({"title":"a","length":60,"year":1999.0})", ""},
    };
    std::string path = testing::TempDir() + "kiv-simd-library.json";
    for (const Case &c : cases) {
        FILE *f = fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fprintf(f, "[%s]", c.track);
        fclose(f);
        simd::Library lib;
        std::string error;
        bool loaded = simd::load_library(path, lib, error);
        if (*c.error == '\0') {
            EXPECT_TRUE(loaded) << c.track << ": " << error;
        } else {
            EXPECT_FALSE(loaded) << c.track;
            EXPECT_NE(error.find("track 0: "), std::string::npos) << error;
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }
    remove(path.c_str());
}
#else
TEST(SimdLibrary, SeedOneGivesTheSameTracksEverywhere) {
    GTEST_SKIP() << "the simulator is not built (nlohmann-json missing)";
}
#endif

}  // namespace
