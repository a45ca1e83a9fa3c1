#include "media.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

namespace simd {

namespace {

// splitmix64: the standard library's distributions differ between
// implementations, so the generated library uses its own generator.
struct Rng {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int below(int n) { return static_cast<int>(next() % static_cast<uint64_t>(n)); }
    template <size_t N>
    const char *pick(const char *const (&list)[N]) {
        return list[below(static_cast<int>(N))];
    }
};

const char *const kFirst[] = {"Velvet",  "Northern", "Paper",  "Electric", "Silent", "Golden", "Midnight",
                              "Crimson", "Hollow",   "Static", "Lunar",    "Copper", "Wild",   "Glass"};
const char *const kSecond[] = {"Harbour", "Owls",    "Engines", "Gardens",  "Tides", "Lanterns",
                               "Foxes",   "Signals", "Rivers",  "Machines", "Choir", "Orchard"};
const char *const kWords[] = {"Morning", "Static", "Letters",   "Neon",   "Rain",   "Summer",
                              "Wires",   "Echo",   "Harbor",    "Sleep",  "Window", "Fever",
                              "Coast",   "Dust",   "Satellite", "Ember",  "Shadow", "Glow",
                              "Parade",  "Drift",  "Compass",   "Winter", "Signal", "Tide"};
const char *const kGenres[] = {"Rock",      "Jazz",    "Electronic", "Folk",
                               "Classical", "Hip-Hop", "Ambient",    "Blues"};
const char *const kComposers[] = {"A. Lindqvist", "M. Okafor", "J. Tanaka",
                                  "R. Alvarez",   "S. Novak",  "L. Moreau"};

std::string title_of(Rng &rng) {
    std::string t = rng.pick(kWords);
    if (rng.below(2)) t = std::string(rng.pick(kWords)) + " " + t;
    return t;
}

std::string uid_of(uint32_t seed, size_t index) {
    Rng rng{(uint64_t(seed) << 32) ^ index ^ 0x6B69762Dull};
    uint64_t v = rng.next();
    std::string uid(8, '\0');
    for (int k = 0; k < 8; k++) uid[k] = static_cast<char>(v >> (8 * k));
    // The index in the low bytes keeps uids unique within one library.
    uid[6] = static_cast<char>(index >> 8);
    uid[7] = static_cast<char>(index);
    return uid;
}

}  // namespace

Library generate_library(uint32_t seed) {
    Library lib;
    lib.name = "generated (seed " + std::to_string(seed) + ")";
    Rng rng{seed};
    std::set<std::string> artists;
    // Each draw is a statement of its own, in a fixed order (an artist's
    // second word is drawn before the first): the order of the draws is
    // part of the library, and it must not depend on the compiler.
    while (artists.size() < 14) {
        const char *second = rng.pick(kSecond);
        const char *first = rng.pick(kFirst);
        artists.insert(std::string(first) + " " + second);
    }
    for (const std::string &artist : artists) {
        const char *genre = rng.pick(kGenres);
        int albums = 2 + rng.below(2);
        for (int a = 0; a < albums; a++) {
            std::string album = title_of(rng);
            int year = 1975 + rng.below(50);
            int count = 6 + rng.below(5);
            for (int n = 0; n < count; n++) {
                Track t;
                t.title = title_of(rng);
                t.artist = artist;
                t.album = album;
                t.genre = genre;
                t.composer = rng.pick(kComposers);
                t.year = year;
                const int seconds = 120 + rng.below(240);
                const int millis = rng.below(1000);
                t.length_ms = seconds * 1000 + millis;
                lib.tracks.push_back(t);
            }
        }
    }
    // Two audiobooks and a podcast with chapters.
    const char *const books[] = {"The Lighthouse Keeper", "Stars Over Quiet Water", "Kiv Weekly"};
    for (int b = 0; b < 3; b++) {
        Track t;
        t.title = books[b];
        t.artist = b == 2 ? "Kiv Radio" : rng.pick(kComposers);
        t.album = t.title;
        t.genre = b == 2 ? "Podcast" : "Audiobook";
        t.composer = t.artist;
        t.year = 2020 + b;
        t.audiobook = b != 2;
        t.podcast = b == 2;
        int chapters = 4 + rng.below(5);
        t.length_ms = chapters * 300000;
        for (int c = 0; c < chapters; c++)
            t.chapters.push_back({"Chapter " + std::to_string(c + 1), c * 300000});
        lib.tracks.push_back(t);
    }
    for (size_t k = 0; k < lib.tracks.size(); k++) lib.tracks[k].uid = uid_of(seed, k);
    return lib;
}

namespace {

// A number of seconds as milliseconds, refused (before any conversion)
// unless it lies in [0, 86400).
int32_t milliseconds_of(double seconds, const char *what) {
    if (!(seconds >= 0 && seconds < 24 * 3600)) throw std::runtime_error(what);
    return static_cast<int32_t>(seconds * 1000);
}

// One track of a library file; throws with what is wrong with it.
Track track_of_json(const nlohmann::json &j, size_t k) {
    if (!j.is_object()) throw std::runtime_error("not an object");
    Track t;
    t.title = j.at("title").get<std::string>();
    t.artist = j.value("artist", std::string("Unknown Artist"));
    t.album = j.value("album", std::string("Unknown Album"));
    t.genre = j.value("genre", std::string(""));
    t.composer = j.value("composer", std::string(""));
    // A year given as a fraction must still fit an integer.
    auto year = j.find("year");
    if (year != j.end() && year->is_number_float() &&
        !(year->get<double>() > INT32_MIN && year->get<double>() < INT32_MAX))
        throw std::runtime_error("\"year\" must be a year");
    t.year = j.value("year", 0);
    double seconds = j.value("length", 0.0);
    if (!(seconds > 0 && seconds < 24 * 3600))
        throw std::runtime_error("\"length\" must be seconds in (0, 86400)");
    t.length_ms = static_cast<int32_t>(seconds * 1000);
    t.podcast = j.value("podcast", false);
    t.audiobook = j.value("audiobook", false);
    if (j.contains("chapters")) {
        const char *order = "chapter starts must increase and lie within the track";
        int32_t last = -1;
        for (const auto &c : j.at("chapters")) {
            Chapter ch;
            ch.title = c.at("title").get<std::string>();
            double start = c.at("start").get<double>();
            // Within (-0.001, 0) the start is 0, as in whole milliseconds.
            ch.start_ms = milliseconds_of(start < 0 && start > -0.001 ? 0 : start, order);
            if (ch.start_ms <= last || ch.start_ms >= t.length_ms) throw std::runtime_error(order);
            last = ch.start_ms;
            t.chapters.push_back(ch);
        }
    }
    t.uid = uid_of(0x4A534F4E, k);
    return t;
}

// The file's JSON document, or false with the reason.
bool read_document(const std::string &path, nlohmann::json &doc, std::string &error) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        error = path + ": " + strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = path + ": not a regular file";
        return false;
    }
    std::ifstream in(path);
    if (!in) {
        error = path + ": cannot open: " + strerror(errno);
        return false;
    }
    try {
        doc = nlohmann::json::parse(in);
    } catch (const std::ios_base::failure &e) {
        error = path + ": cannot read: " + e.what();
        return false;
    } catch (const nlohmann::json::parse_error &e) {
        // The message names line and column ("parse error at line 3, column 7: ...").
        std::string what = e.what();
        size_t at = what.find("parse error");
        error = path + ": " + (at == std::string::npos ? what : what.substr(at));
        return false;
    }
    return true;
}

}  // namespace

bool load_library(const std::string &path, Library &out, std::string &error) {
    nlohmann::json doc;
    if (!read_document(path, doc, error)) return false;
    const nlohmann::json *list = &doc;
    if (doc.is_object()) {
        auto it = doc.find("tracks");
        if (it == doc.end()) {
            error = path + ": expected an array of tracks or an object with \"tracks\"";
            return false;
        }
        list = &*it;
    }
    if (!list->is_array() || list->empty()) {
        error = path + ": \"tracks\" must be a non-empty array";
        return false;
    }
    Library lib;
    lib.name = path;
    for (size_t k = 0; k < list->size(); k++) {
        try {
            lib.tracks.push_back(track_of_json((*list)[k], k));
        } catch (const std::exception &e) {
            error = path + ": track " + std::to_string(k) + ": " + e.what();
            return false;
        }
    }
    out = std::move(lib);
    return true;
}

int chapter_at(const Track &t, int32_t position_ms) {
    int found = t.chapters.empty() ? -1 : 0;
    for (size_t c = 0; c < t.chapters.size(); c++)
        if (t.chapters[c].start_ms <= position_ms) found = static_cast<int>(c);
    return found;
}

std::string draw_artwork(const Track &t, int edge, int rowstride) {
    std::string px(static_cast<size_t>(rowstride) * edge, '\0');
    uint32_t h = 2166136261u;
    for (char c : t.album) h = (h ^ static_cast<uint8_t>(c)) * 16777619u;
    int hr = h & 31, hg = (h >> 5) & 63, hb = (h >> 11) & 31;
    for (int y = 0; y < edge; y++) {
        for (int x = 0; x < edge; x++) {
            // A diagonal gradient tinted by the album, with a light frame.
            bool frame = x < edge / 16 + 1 || y < edge / 16 + 1 || x >= edge - edge / 16 - 1 ||
                         y >= edge - edge / 16 - 1;
            int r = frame ? 31 : (hr + x * 31 / edge) & 31;
            int g = frame ? 63 : (hg + (x + y) * 63 / (2 * edge)) & 63;
            int b = frame ? 31 : (hb + y * 31 / edge) & 31;
            uint16_t v = static_cast<uint16_t>((r << 11) | (g << 5) | b);
            size_t at = static_cast<size_t>(y) * rowstride + 2 * x;
            px[at] = static_cast<char>(v & 0xFF);
            px[at + 1] = static_cast<char>(v >> 8);
        }
    }
    return px;
}

}  // namespace simd
