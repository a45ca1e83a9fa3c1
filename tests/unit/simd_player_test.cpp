// The simulator's player without sockets: the transport, the clock, the
// ends of tracks under each repeat mode, the shuffled order, and the
// events each change sends (the panel's buttons call the same functions).
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "player.h"

namespace {

using simd::Player;
using simd::PlayState;
using simd::Track;
using simd::Value;
using Clock = Player::Clock;
using ms = std::chrono::milliseconds;

struct Event {
    ipod_event_type type;
    Value data;
};

// Tracks of 10 s, 20 s, ...; track 2 has chapters at 0, 4 and 8 s.
std::vector<Track> tracks_of(int n) {
    std::vector<Track> out;
    for (int k = 0; k < n; k++) {
        Track t;
        t.title = "T" + std::to_string(k);
        t.length_ms = 10000 * (k + 1);
        if (k == 2) t.chapters = {{"a", 0}, {"b", 4000}, {"c", 8000}};
        out.push_back(t);
    }
    return out;
}

struct Rig {
    explicit Rig(int n = 6)
        : tracks(tracks_of(n)),
          start(Clock::now()),
          now(start),
          player(
              tracks,
              [this](ipod_event_type t, const Value &v) {
                  events.push_back({t, v});
              },
              start) {}
    std::vector<Track> tracks;
    Clock::time_point start, now;
    std::vector<Event> events;
    Player player;

    void run_for(int millis, int step = 50) {
        for (int k = 0; k < millis; k += step) {
            now += ms(step);
            player.advance(true, now);
        }
    }
    std::vector<ipod_event_type> types() const {
        std::vector<ipod_event_type> out;
        for (auto &e : events) out.push_back(e.type);
        return out;
    }
    int count(ipod_event_type t) const {
        std::vector<ipod_event_type> all = types();
        return static_cast<int>(std::count(all.begin(), all.end(), t));
    }
};

// Each transport step from a given state: the state after it and whether
// a play state event went out (only on a change, carrying the new code).
TEST(SimdPlayer, TransportStatesAndTheirEvents) {
    struct Step {
        void (*act)(Player &);
        PlayState from, to;
    };
    const Step steps[] = {
        {[](Player &p) { p.play(); }, PlayState::stopped, PlayState::playing},
        {[](Player &p) { p.play(); }, PlayState::playing, PlayState::playing},
        {[](Player &p) { p.pause(); }, PlayState::playing, PlayState::paused},
        {[](Player &p) { p.play_pause(); }, PlayState::paused, PlayState::playing},
        {[](Player &p) { p.play_pause(); }, PlayState::playing, PlayState::paused},
        {[](Player &p) { p.play_pause(); }, PlayState::stopped, PlayState::playing},
        {[](Player &p) { p.start_ffw(); }, PlayState::playing, PlayState::fast_forward},
        {[](Player &p) { p.start_rew(); }, PlayState::paused, PlayState::rewind},
        {[](Player &p) { p.stop_ffwrew(); }, PlayState::fast_forward, PlayState::playing},
        {[](Player &p) { p.stop_ffwrew(); }, PlayState::rewind, PlayState::playing},
        {[](Player &p) { p.stop_ffwrew(); }, PlayState::paused, PlayState::paused},
        {[](Player &p) { p.stop_ffwrew(); }, PlayState::stopped, PlayState::stopped},
        {[](Player &p) { p.stop(); }, PlayState::playing, PlayState::stopped},
    };
    for (const Step &s : steps) {
        Rig r;
        r.player.set_state(s.from);
        r.events.clear();
        s.act(r.player);
        EXPECT_EQ(r.player.state(), s.to) << static_cast<int>(s.from);
        if (s.from == s.to) {
            EXPECT_TRUE(r.events.empty()) << static_cast<int>(s.from);
        } else {
            ASSERT_EQ(r.events.size(), 1u);
            EXPECT_EQ(r.events[0].type, IPOD_EVENT_play_state_changed);
            EXPECT_EQ(r.events[0].data.i, static_cast<int>(s.to));
        }
    }
}

// Speed by state, one position event a second, and a rewind past the
// start that turns into playing from 0.
TEST(SimdPlayer, ClockMovesThePositionBySpeed) {
    const std::pair<PlayState, int> speeds[] = {{PlayState::playing, 1},
                                                {PlayState::fast_forward, 4},
                                                {PlayState::paused, 0},
                                                {PlayState::stopped, 0}};
    for (auto [state, speed] : speeds) {
        Rig r;
        r.player.set_state(state);
        r.run_for(2000);
        EXPECT_EQ(r.player.position_ms(), 2000 * speed) << static_cast<int>(state);
        EXPECT_EQ(r.count(IPOD_EVENT_track_position_changed), speed ? 2 : 0) << static_cast<int>(state);
    }
    Rig r;
    r.player.play();
    r.run_for(1000);
    r.player.start_rew();
    r.run_for(300);
    EXPECT_EQ(r.player.position_ms(), 0);
    EXPECT_EQ(r.player.state(), PlayState::playing);
    // Nothing moves while the iPod is away, and the time away is not made up.
    int32_t before = r.player.position_ms();
    r.now += ms(5000);
    r.player.advance(false, r.now);
    r.now += ms(100);
    r.player.advance(true, r.now);
    EXPECT_EQ(r.player.position_ms(), before + 100);
}

// The end of a track under each repeat mode, at the last track and before it.
TEST(SimdPlayer, EndOfTrackFollowsTheRepeatMode) {
    struct Case {
        int repeat, track;
        int next_track;
        PlayState state;
    };
    const Case cases[] = {
        {0, 0, 1, PlayState::playing},
        {0, 5, 0, PlayState::stopped},
        {simd::kRepeatOne, 5, 5, PlayState::playing},
        {simd::kRepeatOne, 1, 1, PlayState::playing},
        {simd::kRepeatAll, 5, 0, PlayState::playing},
        {simd::kRepeatAll, 3, 4, PlayState::playing},
    };
    for (const Case &c : cases) {
        Rig r;
        ASSERT_EQ(r.player.set_repeat(c.repeat), "");
        r.player.play_index(c.track);
        r.events.clear();
        r.run_for(r.tracks[static_cast<size_t>(c.track)].length_ms + 50);
        EXPECT_EQ(r.player.current_index(), c.next_track) << c.repeat << " " << c.track;
        EXPECT_EQ(r.player.state(), c.state) << c.repeat << " " << c.track;
        EXPECT_LT(r.player.position_ms(), 1000);
        EXPECT_EQ(r.count(IPOD_EVENT_track_index_changed), 1);
    }
}

TEST(SimdPlayer, NextPreviousAndSeek) {
    Rig r(3);
    EXPECT_EQ(r.player.next(), "");
    EXPECT_EQ(r.player.next(), "");
    EXPECT_EQ(r.player.current_index(), 2);
    r.events.clear();
    EXPECT_EQ(r.player.next(), "already at the last track");
    EXPECT_TRUE(r.events.empty());
    ASSERT_EQ(r.player.set_repeat(simd::kRepeatAll), "");
    EXPECT_EQ(r.player.next(), "");
    EXPECT_EQ(r.player.current_index(), 0);

    // Back: to the previous track near the start, a restart later on (and
    // always at the first track).
    r.player.previous();
    EXPECT_EQ(r.player.current_index(), 0);
    r.player.play_index(1);
    r.run_for(2000);
    r.player.previous();
    EXPECT_EQ(r.player.current_index(), 0);
    r.player.play_index(1);
    r.run_for(3500);
    r.player.previous();
    EXPECT_EQ(r.player.current_index(), 1);
    EXPECT_EQ(r.player.position_ms(), 0);

    // A seek within the track moves and tells; outside it, neither.
    for (int32_t bad : {-1, r.tracks[1].length_ms, INT32_MAX, INT32_MIN}) {
        r.events.clear();
        EXPECT_EQ(r.player.seek(bad), "position out of range");
        EXPECT_TRUE(r.events.empty());
    }
    EXPECT_EQ(r.player.seek(1234), "");
    EXPECT_EQ(r.player.position_ms(), 1234);
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0].type, IPOD_EVENT_track_position_changed);
    EXPECT_EQ(r.events[0].data.i, 1234);
}

// Chapters: a track change names the first chapter, crossing a chapter
// start names the next, and a chapter jump lands on its start.
TEST(SimdPlayer, ChapterEvents) {
    Rig r;
    r.player.play_index(2);
    EXPECT_EQ(r.player.chapter(), 0);
    EXPECT_EQ(r.count(IPOD_EVENT_chapter_index_changed), 1);
    r.events.clear();
    r.run_for(9000);
    EXPECT_EQ(r.player.chapter(), 2);
    EXPECT_EQ(r.count(IPOD_EVENT_chapter_index_changed), 2);
    EXPECT_EQ(r.player.set_chapter(1), "");
    EXPECT_EQ(r.player.position_ms(), 4000);
    EXPECT_EQ(r.player.set_chapter(3), "no such chapter");
    EXPECT_EQ(r.player.set_chapter(-1), "no such chapter");
    r.player.play_index(0);
    EXPECT_EQ(r.player.chapter(), -1);
    EXPECT_EQ(r.player.set_chapter(0), "no such chapter");
}

// The sample rate event goes out exactly when a track change changes it.
TEST(SimdPlayer, SampleRateEventOnlyOnAChange) {
    Rig r(12);
    for (int k = 1; k < 12; k++) {
        int before = r.player.sample_rate();
        r.events.clear();
        ASSERT_EQ(r.player.next(), "");
        EXPECT_EQ(r.player.sample_rate(), Player::sample_rate_of(k));
        EXPECT_EQ(r.count(IPOD_EVENT_samplerate_retrieved), before != r.player.sample_rate() ? 1 : 0) << k;
    }
}

// Whatever the modes set in turn, the order is a permutation of the
// library and the playing track stays.
TEST(SimdPlayer, ShuffledOrderIsAPermutationKeepingTheTrack) {
    Rig r(40);
    r.player.play_index(17);
    int modes[] = {1, 2, 0, 2, 1, 1, 0, 1};
    for (int mode : modes) {
        int playing = r.player.current_index();
        r.events.clear();
        int old = r.player.shuffle();
        ASSERT_EQ(r.player.set_shuffle(mode), "");
        EXPECT_EQ(r.count(IPOD_EVENT_shuffle_changed), old != mode ? 1 : 0);
        EXPECT_EQ(r.player.current_index(), playing);
        std::set<int> seen;
        for (size_t k = 0; k < r.tracks.size(); k++) seen.insert(r.player.at_order(k));
        EXPECT_EQ(seen.size(), r.tracks.size());
        EXPECT_EQ(*seen.begin(), 0);
        EXPECT_EQ(*seen.rbegin(), 39);
        // A new shuffled order starts at the playing track; walking it
        // visits every track once.
        if (mode != 0 && mode != old) {
            EXPECT_EQ(r.player.at_order(0), playing);
            std::set<int> walked{r.player.current_index()};
            while (r.player.next().empty()) walked.insert(r.player.current_index());
            EXPECT_EQ(walked.size(), r.tracks.size());
        }
    }
    for (int bad : {-1, 3, 1000}) {
        r.events.clear();
        EXPECT_EQ(r.player.set_shuffle(bad), "expected a mode 0, 1 or 2");
        EXPECT_EQ(r.player.set_repeat(bad), "expected a mode 0, 1 or 2");
        EXPECT_TRUE(r.events.empty());
    }
}

}  // namespace
