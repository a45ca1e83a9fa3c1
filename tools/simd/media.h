// The simulated iPod's music library: tracks generated from a seed, or
// loaded from a JSON file, and the artwork drawn for each track.
#ifndef KIV_SIMD_MEDIA_H
#define KIV_SIMD_MEDIA_H

#include <stdint.h>

#include <string>
#include <vector>

namespace simd {

struct Chapter {
    std::string title;
    int32_t start_ms = 0;
};

struct Track {
    std::string title, artist, album, composer, genre;
    int32_t length_ms = 0;
    int32_t year = 0;
    bool podcast = false;
    bool audiobook = false;
    std::vector<Chapter> chapters;
    std::string uid;  // 8 bytes, unique within the library
};

struct Library {
    std::vector<Track> tracks;
    std::string name;  // where it came from, for the log
};

// At least 200 tracks across artists, albums and genres; some audiobooks
// and podcasts carry chapters. The same seed always gives the same library.
Library generate_library(uint32_t seed);

// Loads {"tracks": [...]} or a bare array of track objects. On failure
// returns false with a message; a syntax error names line and column.
bool load_library(const std::string &path, Library &out, std::string &error);

// The chapter that contains `position_ms`, or -1 for a track without any.
int chapter_at(const Track &t, int32_t position_ms);

// Square artwork of `edge` pixels, RGB565 little-endian, `rowstride`
// bytes per row (padding bytes are zero). Deterministic per track.
std::string draw_artwork(const Track &t, int edge, int rowstride);

}  // namespace simd

#endif
