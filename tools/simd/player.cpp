#include "player.h"

#include <algorithm>
#include <utility>

namespace simd {

Player::Player(const std::vector<Track> &tracks, Sink sink, Clock::time_point now)
    : tracks_(tracks), sink_(std::move(sink)), last_advance_(now), next_position_event_(now) {
    build_order();
}

int Player::sample_rate_of(int track_index) {
    return track_index % 5 == 4 ? 48000 : 44100;
}

// The play order: the library's, or a deterministic shuffle with the
// playing track kept first.
void Player::build_order() {
    int playing = order_.empty() ? 0 : current_index();
    size_t n = tracks_.size();
    order_.resize(n);
    for (size_t k = 0; k < n; k++) order_[k] = static_cast<int>(k);
    if (shuffle_ == kShuffleOff) {
        order_pos_ = static_cast<size_t>(playing);
        return;
    }
    uint64_t s = shuffle_seed_++;
    for (size_t k = n; k > 1; k--) {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        std::swap(order_[k - 1], order_[static_cast<size_t>((s >> 33) % k)]);
    }
    auto it = std::find(order_.begin(), order_.end(), playing);
    std::iter_swap(order_.begin(), it);
    order_pos_ = 0;
}

// The player's time is the one of its last advance: every request and
// panel action advances it first.
void Player::set_state(PlayState s) {
    if (s == state_) return;
    state_ = s;
    next_position_event_ = last_advance_ + std::chrono::seconds(1);
    sink_(IPOD_EVENT_play_state_changed, Value::integer(static_cast<int32_t>(s)));
}

void Player::stop() {
    set_state(PlayState::stopped);
    position_ms_ = 0;
}

void Player::stop_ffwrew() {
    if (state_ == PlayState::fast_forward || state_ == PlayState::rewind) set_state(PlayState::playing);
}

void Player::chapter_event(int track_index, int chapter, size_t chapter_count) {
    sink_(IPOD_EVENT_chapter_index_changed,
          Value::hash({{"track_index", Value::integer(track_index)},
                       {"chapter_index", Value::integer(chapter)},
                       {"chapter_count", Value::integer(static_cast<int32_t>(chapter_count))}}));
}

void Player::go_to(size_t order_pos) {
    int old_rate = sample_rate();
    order_pos_ = order_pos;
    position_ms_ = 0;
    const Track &t = current();
    chapter_ = chapter_at(t, 0);
    sink_(IPOD_EVENT_track_index_changed, Value::integer(current_index()));
    if (chapter_ >= 0) chapter_event(current_index(), chapter_, t.chapters.size());
    if (sample_rate() != old_rate) sink_(IPOD_EVENT_samplerate_retrieved, Value::integer(sample_rate()));
}

std::string Player::next() {
    if (order_pos_ + 1 < order_.size())
        go_to(order_pos_ + 1);
    else if (repeat_ == kRepeatAll)
        go_to(0);
    else
        return "already at the last track";
    return "";
}

// Like a player's back button: restart unless near the start.
void Player::previous() {
    go_to(position_ms_ > kRestartAfterMs || order_pos_ == 0 ? order_pos_ : order_pos_ - 1);
}

std::string Player::seek(int32_t ms) {
    if (ms < 0 || ms >= current().length_ms) return "position out of range";
    position_ms_ = ms;
    sink_(IPOD_EVENT_track_position_changed, Value::integer(ms));
    return "";
}

std::string Player::set_shuffle(int mode) {
    if (mode < 0 || mode > kLastMode) return "expected a mode 0, 1 or 2";
    if (mode == shuffle_) return "";
    shuffle_ = mode;
    build_order();
    sink_(IPOD_EVENT_shuffle_changed, Value::integer(mode));
    return "";
}

std::string Player::set_repeat(int mode) {
    if (mode < 0 || mode > kLastMode) return "expected a mode 0, 1 or 2";
    if (mode == repeat_) return "";
    repeat_ = mode;
    sink_(IPOD_EVENT_repeat_changed, Value::integer(mode));
    return "";
}

void Player::play_index(int track_index) {
    auto it = std::find(order_.begin(), order_.end(), track_index);
    go_to(static_cast<size_t>(it - order_.begin()));
    play();
}

std::string Player::set_chapter(int chapter) {
    if (chapter < 0 || static_cast<size_t>(chapter) >= current().chapters.size()) return "no such chapter";
    position_ms_ = current().chapters[static_cast<size_t>(chapter)].start_ms;
    return "";
}

void Player::advance(bool present, Clock::time_point now) {
    double elapsed = std::chrono::duration<double, std::milli>(now - last_advance_).count();
    last_advance_ = now;
    if (!present) return;
    double speed = state_ == PlayState::playing        ? 1.0
                   : state_ == PlayState::fast_forward ? 4.0
                   : state_ == PlayState::rewind       ? -4.0
                                                       : 0.0;
    if (speed == 0.0) return;
    position_ms_ += elapsed * speed;
    if (position_ms_ < 0) {
        position_ms_ = 0;
        play();
    }
    if (position_ms_ >= current().length_ms) {
        if (repeat_ == kRepeatOne) {
            go_to(order_pos_);
        } else if (order_pos_ + 1 < order_.size()) {
            go_to(order_pos_ + 1);
        } else {
            go_to(0);
            if (repeat_ != kRepeatAll) return set_state(PlayState::stopped);
        }
    }
    int ch = chapter_at(current(), position_ms());
    if (ch != chapter_) {
        chapter_ = ch;
        chapter_event(current_index(), ch, current().chapters.size());
    }
    if (now >= next_position_event_) {
        next_position_event_ = now + std::chrono::seconds(1);
        sink_(IPOD_EVENT_track_position_changed, Value::integer(position_ms()));
    }
}

}  // namespace simd
