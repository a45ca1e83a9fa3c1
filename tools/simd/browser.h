// The simulated iPod's library browser: categories, the selections that
// narrow a client's scope, the records of a category within it, and the
// track lists of the database and of the play order. A client's cursor is
// its own; the browser only reads the library.
#ifndef KIV_SIMD_BROWSER_H
#define KIV_SIMD_BROWSER_H

#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <string>
#include <vector>

#include "media.h"
#include "wire.h"

namespace simd {

// Categories: 1 playlist, 2 artist, 3 album, 4 genre, 5 track,
// 6 composer, 7 audiobook, 8 podcast.
enum Category : int {
    kPlaylist = 1,
    kArtist,
    kAlbum,
    kGenre,
    kTrack,
    kComposer,
    kAudiobook,
    kPodcast,
};
constexpr int kFirstCategory = kPlaylist, kLastCategory = kPodcast;

// Most records in one reply, and most tracks in one track list.
constexpr int kMaxRecordsPerReply = 500;
constexpr int kMaxTracksPerReply = 100;

// One record of a category: its text and the tracks it stands for.
struct Record {
    std::string text;
    std::vector<int> tracks;
};

// A client's place in the library: the tracks in scope (library
// indices, in library order) and the category being listed (0: none).
struct Cursor {
    std::vector<int> scope;
    int category = 0;
};

class Browser {
public:
    explicit Browser(const std::vector<Track> &tracks) : tracks_(tracks) {}

    // A cursor over the whole library, no category chosen.
    Cursor start() const;
    void reset(Cursor &c) const { c = start(); }
    // The distinct records of `category` within the cursor's scope, in
    // the order of their first track.
    std::vector<Record> records(const Cursor &c, int category) const;
    // Chooses the category to list; false for one that is none.
    bool set_category(Cursor &c, int category, size_t &count) const;
    // Narrows the scope to the tracks of record `index` of `category`.
    std::string select(Cursor &c, int category, int32_t index) const;
    // The reply to a records request: [category, found, start, count,
    // texts...]; found is 0 (and count 0) when nothing lies at `start`.
    Value records_reply(const Cursor &c, int32_t start, int32_t want) const;
    // A track list of up to kMaxTracksPerReply tracks from `offset`: of
    // the database (library order) or, with `order` given, of the play
    // order (`order(k)` is the library index of position k).
    template <typename Order>
    Value track_list(int32_t offset, int32_t count, bool database, Order order) const;
    // The chapters of a track: [track, count, {index, title, start,
    // length}...], every chapter or only `only` (when >= 0).
    Value chapter_list(int32_t track, int32_t only) const;

private:
    Value track_entry(const Track &t, int index, bool database) const;

    const std::vector<Track> &tracks_;
};

template <typename Order>
Value Browser::track_list(int32_t offset, int32_t count, bool database, Order order) const {
    Value h = Value::hash({{database ? "get_db_track_info" : "get_pb_track_info", Value::integer(1)}});
    int32_t left = static_cast<int32_t>(tracks_.size()) - offset;
    int32_t got = std::min<int32_t>({count, kMaxTracksPerReply, left});
    for (int32_t k = 0; k < got; k++) {
        int idx = database ? offset + k : order(static_cast<size_t>(offset + k));
        h.add("track" + std::to_string(offset + k),
              track_entry(tracks_[static_cast<size_t>(idx)], idx, database));
    }
    return h;
}

}  // namespace simd

#endif
