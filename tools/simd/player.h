// The simulated iPod's player: the play state, the play order with its
// shuffle and repeat modes, the position in the current track and its
// chapter, and the clock that moves the position on. Every change that a
// client sees goes out through the event sink, so a request and a button
// of the web panel that call the same function send the same events.
#ifndef KIV_SIMD_PLAYER_H
#define KIV_SIMD_PLAYER_H

#include <stddef.h>
#include <stdint.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "media.h"
#include "protocol/protocol.h"
#include "wire.h"

namespace simd {

// The daemon's play codes, named by the protocol table.
enum class PlayState : int {
#define PLAY_STATE(name, wire, state) name = wire,
#include "protocol/protocol.def"
};

// Shuffle: 0 off, 1 tracks, 2 albums. Repeat: 0 off, 1 one, 2 all.
constexpr int kShuffleOff = 0;
constexpr int kRepeatOne = 1, kRepeatAll = 2;
constexpr int kLastMode = 2;

// A back button restarts the track when it has played longer than this.
constexpr double kRestartAfterMs = 3000;

class Player {
public:
    using Clock = std::chrono::steady_clock;
    using Sink = std::function<void(ipod_event_type type, const Value &data)>;

    // `tracks` outlives the player and holds at least one track.
    Player(const std::vector<Track> &tracks, Sink sink, Clock::time_point now = Clock::now());

    PlayState state() const { return state_; }
    const Track &current() const { return tracks_[static_cast<size_t>(order_[order_pos_])]; }
    int current_index() const { return order_[order_pos_]; }
    int32_t position_ms() const { return static_cast<int32_t>(position_ms_); }
    int chapter() const { return chapter_; }
    int shuffle() const { return shuffle_; }
    int repeat() const { return repeat_; }
    // Library index of the track at `pos` of the play order.
    int at_order(size_t pos) const { return order_[pos]; }
    int sample_rate() const { return sample_rate_of(current_index()); }
    static int sample_rate_of(int track_index);

    // The transport. Each one that can be refused returns why (empty:
    // done); the texts are the ones a client and the panel show.
    void set_state(PlayState s);
    void play() { set_state(PlayState::playing); }
    void pause() { set_state(PlayState::paused); }
    void play_pause() { set_state(state_ == PlayState::playing ? PlayState::paused : PlayState::playing); }
    void stop();
    void start_ffw() { set_state(PlayState::fast_forward); }
    void start_rew() { set_state(PlayState::rewind); }
    void stop_ffwrew();
    std::string next();
    void previous();
    std::string seek(int32_t ms);
    std::string set_shuffle(int mode);
    std::string set_repeat(int mode);
    // Plays the track at a library index (0 <= index < track count).
    void play_index(int track_index);
    // Jumps to a chapter of the current track.
    std::string set_chapter(int chapter);

    // Moves the position on by the time passed since the last call (not
    // while the iPod is away), handling the end of a track, chapter
    // changes and the position event once a second.
    void advance(bool present, Clock::time_point now = Clock::now());
    // When the next position event is due while playing or winding.
    bool moving() const { return state_ != PlayState::stopped && state_ != PlayState::paused; }
    Clock::time_point next_position_event() const { return next_position_event_; }

private:
    void go_to(size_t order_pos);
    void build_order();
    void chapter_event(int track_index, int chapter, size_t chapter_count);

    const std::vector<Track> &tracks_;
    Sink sink_;
    PlayState state_ = PlayState::stopped;
    std::vector<int> order_;
    size_t order_pos_ = 0;
    double position_ms_ = 0;
    int chapter_ = -1;
    int shuffle_ = kShuffleOff;
    int repeat_ = 0;
    uint64_t shuffle_seed_ = 1;
    Clock::time_point last_advance_;
    Clock::time_point next_position_event_;
};

}  // namespace simd

#endif
