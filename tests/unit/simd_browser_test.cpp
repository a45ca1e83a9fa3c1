// The simulator's library browser without sockets: records partition the
// scope, selections narrow it, and the paged replies and track lists stay
// within their limits, over generated libraries of several seeds.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "browser.h"
#include "media.h"

namespace {

using simd::Browser;
using simd::Cursor;
using simd::Library;
using simd::Record;
using simd::Track;
using simd::Value;

bool belongs(const Track &t, int category) {
    if (category == simd::kAudiobook) return t.audiobook;
    if (category == simd::kPodcast) return t.podcast;
    return true;
}

// Every track of the scope that belongs to the category is in exactly one
// record; the grouping categories give distinct texts; a record's tracks
// all carry its text.
void expect_partition(const Library &lib, const Browser &b, const Cursor &c, int category) {
    std::vector<Record> recs = b.records(c, category);
    std::multiset<int> covered;
    std::set<std::string> texts;
    for (const Record &r : recs) {
        ASSERT_FALSE(r.tracks.empty());
        for (int idx : r.tracks) covered.insert(idx);
        texts.insert(r.text);
    }
    std::multiset<int> expected;
    for (int idx : c.scope)
        if (belongs(lib.tracks[static_cast<size_t>(idx)], category)) expected.insert(idx);
    EXPECT_EQ(covered, expected) << "category " << category;
    bool one_per_track =
        category == simd::kTrack || category == simd::kAudiobook || category == simd::kPodcast;
    if (one_per_track) {
        for (const Record &r : recs) EXPECT_EQ(r.tracks.size(), 1u);
    } else {
        EXPECT_EQ(texts.size(), recs.size()) << "category " << category;
    }
    if (category == simd::kArtist || category == simd::kAlbum || category == simd::kGenre)
        for (const Record &r : recs)
            for (int idx : r.tracks) {
                const Track &t = lib.tracks[static_cast<size_t>(idx)];
                const std::string &f = category == simd::kArtist  ? t.artist
                                       : category == simd::kAlbum ? t.album
                                                                  : t.genre;
                EXPECT_EQ(f, r.text);
            }
}

TEST(SimdBrowser, RecordsPartitionTheScopeAndSelectionsNarrowIt) {
    for (uint32_t seed : {1u, 2u, 77u}) {
        Library lib = simd::generate_library(seed);
        Browser b(lib.tracks);
        Cursor c = b.start();
        ASSERT_EQ(c.scope.size(), lib.tracks.size());
        EXPECT_EQ(c.category, 0);
        for (int cat = simd::kFirstCategory; cat <= simd::kLastCategory; cat++)
            expect_partition(lib, b, c, cat);
        // Artist, then one of its albums: the scope is exactly that
        // album's tracks of that artist, and partitions again.
        std::vector<Record> artists = b.records(c, simd::kArtist);
        ASSERT_GT(artists.size(), 1u);
        int32_t pick = static_cast<int32_t>(seed % artists.size());
        EXPECT_EQ(b.select(c, simd::kArtist, pick), "");
        EXPECT_EQ(c.scope, artists[static_cast<size_t>(pick)].tracks);
        std::vector<Record> albums = b.records(c, simd::kAlbum);
        ASSERT_FALSE(albums.empty());
        EXPECT_EQ(b.select(c, simd::kAlbum, 0), "");
        for (int idx : c.scope) {
            EXPECT_EQ(lib.tracks[static_cast<size_t>(idx)].artist, artists[static_cast<size_t>(pick)].text);
            EXPECT_EQ(lib.tracks[static_cast<size_t>(idx)].album, albums[0].text);
        }
        for (int cat = simd::kFirstCategory; cat <= simd::kLastCategory; cat++)
            expect_partition(lib, b, c, cat);
        // Refusals leave the cursor as it was.
        Cursor before = c;
        EXPECT_EQ(b.select(c, simd::kAlbum, static_cast<int32_t>(b.records(c, simd::kAlbum).size())),
                  "no such record");
        EXPECT_EQ(b.select(c, simd::kAlbum, -1), "no such record");
        EXPECT_NE(b.select(c, 0, 0), "");
        EXPECT_NE(b.select(c, 9, 0), "");
        EXPECT_EQ(c.scope, before.scope);
        b.reset(c);
        EXPECT_EQ(c.scope.size(), lib.tracks.size());
    }
}

TEST(SimdBrowser, CategoryChoice) {
    Library lib = simd::generate_library(1);
    Browser b(lib.tracks);
    Cursor c = b.start();
    size_t count = 99;
    for (int bad : {0, -1, 9, INT32_MIN}) {
        EXPECT_FALSE(b.set_category(c, bad, count));
        EXPECT_EQ(c.category, 0);
        EXPECT_EQ(count, 99u);
    }
    for (int cat = simd::kFirstCategory; cat <= simd::kLastCategory; cat++) {
        ASSERT_TRUE(b.set_category(c, cat, count));
        EXPECT_EQ(c.category, cat);
        EXPECT_EQ(count, b.records(c, cat).size());
    }
    ASSERT_TRUE(b.set_category(c, simd::kPlaylist, count));
    EXPECT_EQ(count, 1u);
}

// Pages of any size put together give every record once; a page past the
// end says so; no page holds more than the limit.
TEST(SimdBrowser, RecordPagesCoverEveryRecordWithinTheLimit) {
    Library lib = simd::generate_library(3);
    Browser b(lib.tracks);
    Cursor c = b.start();
    size_t count = 0;
    ASSERT_TRUE(b.set_category(c, simd::kTrack, count));
    std::vector<Record> all = b.records(c, simd::kTrack);
    for (int32_t page : {1, 7, 100, 500, 501, 100000}) {
        std::vector<std::string> got;
        for (int32_t start = 0;; start += page) {
            Value v = b.records_reply(c, start, page);
            ASSERT_EQ(v.kind, Value::Array);
            ASSERT_GE(v.items.size(), 4u);
            EXPECT_EQ(v.items[0].i, simd::kTrack);
            EXPECT_EQ(v.items[2].i, start);
            if (v.items[1].i == 0) {
                EXPECT_EQ(v.items[3].i, 0);
                EXPECT_GE(static_cast<size_t>(start), all.size());
                break;
            }
            int32_t n = v.items[3].i;
            EXPECT_LE(n, simd::kMaxRecordsPerReply);
            ASSERT_EQ(v.items.size(), 4u + static_cast<size_t>(n));
            for (int32_t k = 0; k < n; k++) got.push_back(v.items[4 + static_cast<size_t>(k)].s);
        }
        ASSERT_EQ(got.size(), all.size()) << page;
        for (size_t k = 0; k < all.size(); k++) EXPECT_EQ(got[k], all[k].text);
    }
    for (auto [start, want] : {std::pair<int32_t, int32_t>{-1, 5}, {0, 0}, {0, -3}, {INT32_MAX, 1}}) {
        Value v = b.records_reply(c, start, want);
        EXPECT_EQ(v.items[1].i, 0);
        EXPECT_EQ(v.items.size(), 4u);
    }
}

// Track lists: at most the limit, never past the library's end, keyed by
// position; the play order's list names the library index it maps to.
TEST(SimdBrowser, TrackListsStayWithinTheLibraryAndTheLimit) {
    Library lib = simd::generate_library(1);
    Browser b(lib.tracks);
    int32_t n = static_cast<int32_t>(lib.tracks.size());
    auto reversed = [n](size_t k) { return n - 1 - static_cast<int>(k); };
    for (auto [offset, count] :
         {std::pair<int32_t, int32_t>{0, 1}, {0, 1000}, {n - 3, 10}, {n - 1, INT32_MAX}, {5, 100}}) {
        for (bool database : {true, false}) {
            Value v = b.track_list(offset, count, database, reversed);
            size_t expect = static_cast<size_t>(std::min({count, simd::kMaxTracksPerReply, n - offset}));
            ASSERT_EQ(v.entries.size(), expect + 1) << offset << " " << count;
            for (size_t k = 0; k < expect; k++) {
                const auto &e = v.entries[k + 1];
                int32_t pos = offset + static_cast<int32_t>(k);
                EXPECT_EQ(e.first, "track" + std::to_string(pos));
                int idx = database ? pos : reversed(static_cast<size_t>(pos));
                ASSERT_NE(e.second.find("title"), nullptr);
                EXPECT_EQ(e.second.find("title")->s, lib.tracks[static_cast<size_t>(idx)].title);
                if (!database) {
                    EXPECT_EQ(e.second.find("index")->i, idx);
                }
            }
        }
    }
}

// Chapters tile their track: each starts where the last ended, the last
// ends with the track; asking for one gives that one alone.
TEST(SimdBrowser, ChapterListsTileTheTrack) {
    Library lib = simd::generate_library(1);
    Browser b(lib.tracks);
    int with_chapters = 0;
    for (size_t t = 0; t < lib.tracks.size(); t++) {
        const Track &track = lib.tracks[t];
        Value all = b.chapter_list(static_cast<int32_t>(t), -1);
        ASSERT_EQ(all.items.size(), 2 + track.chapters.size());
        EXPECT_EQ(all.items[1].i, static_cast<int32_t>(track.chapters.size()));
        int32_t at = 0;
        for (size_t k = 0; k < track.chapters.size(); k++) {
            const Value &ch = all.items[2 + k];
            EXPECT_EQ(ch.find("start")->i, at);
            at += ch.find("length")->i;
            Value one = b.chapter_list(static_cast<int32_t>(t), static_cast<int32_t>(k));
            ASSERT_EQ(one.items.size(), 3u);
            EXPECT_EQ(one.items[2].find("index")->i, static_cast<int32_t>(k));
        }
        if (!track.chapters.empty()) {
            with_chapters++;
            EXPECT_EQ(at, track.length_ms);
            EXPECT_EQ(b.chapter_list(static_cast<int32_t>(t), static_cast<int32_t>(track.chapters.size()))
                          .items.size(),
                      2u);
        }
    }
    EXPECT_GT(with_chapters, 0);
}

}  // namespace
