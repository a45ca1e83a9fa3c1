#include "browser.h"

#include <algorithm>

namespace simd {

namespace {

// A track's text in a category.
const std::string &field(const Track &t, int category) {
    static const std::string all = "All Tracks";
    switch (category) {
        case kPlaylist:
            return all;
        case kArtist:
            return t.artist;
        case kAlbum:
            return t.album;
        case kGenre:
            return t.genre;
        case kComposer:
            return t.composer;
        default:
            return t.title;
    }
}

bool in_category(const Track &t, int category) {
    return category == kAudiobook ? t.audiobook : category == kPodcast ? t.podcast : true;
}

// Categories where every track is a record of its own.
bool one_per_track(int category) {
    return category == kTrack || category == kAudiobook || category == kPodcast;
}

}  // namespace

Cursor Browser::start() const {
    Cursor c;
    for (size_t k = 0; k < tracks_.size(); k++) c.scope.push_back(static_cast<int>(k));
    return c;
}

std::vector<Record> Browser::records(const Cursor &c, int category) const {
    std::vector<Record> out;
    for (int idx : c.scope) {
        const Track &t = tracks_[static_cast<size_t>(idx)];
        if (!in_category(t, category)) continue;
        const std::string &key = field(t, category);
        auto it = one_per_track(category)
                      ? out.end()
                      : std::find_if(out.begin(), out.end(), [&](const Record &r) { return r.text == key; });
        if (it == out.end())
            out.push_back({key, {idx}});
        else
            it->tracks.push_back(idx);
    }
    return out;
}

bool Browser::set_category(Cursor &c, int category, size_t &count) const {
    if (category < kFirstCategory || category > kLastCategory) return false;
    c.category = category;
    count = records(c, category).size();
    return true;
}

std::string Browser::select(Cursor &c, int category, int32_t index) const {
    if (category < kFirstCategory || category > kLastCategory) return "select_db: expected [category, index]";
    std::vector<Record> recs = records(c, category);
    if (index < 0 || static_cast<size_t>(index) >= recs.size()) return "no such record";
    c.scope = std::move(recs[static_cast<size_t>(index)].tracks);
    return "";
}

Value Browser::records_reply(const Cursor &c, int32_t start, int32_t want) const {
    std::vector<Record> recs = records(c, c.category);
    Value a = Value::array({Value::integer(c.category)});
    want = std::min(want, kMaxRecordsPerReply);
    if (start < 0 || want <= 0 || static_cast<size_t>(start) >= recs.size()) {
        a.items.push_back(Value::integer(0));
        a.items.push_back(Value::integer(start));
        a.items.push_back(Value::integer(0));
        return a;
    }
    int32_t got = std::min<int32_t>(want, static_cast<int32_t>(recs.size()) - start);
    a.items.push_back(Value::integer(1));
    a.items.push_back(Value::integer(start));
    a.items.push_back(Value::integer(got));
    for (int32_t k = 0; k < got; k++)
        a.items.push_back(Value::string(recs[static_cast<size_t>(start + k)].text));
    return a;
}

Value Browser::track_entry(const Track &t, int index, bool database) const {
    Value th = Value::hash();
    if (database)
        th.add("cap", Value::integer(t.chapters.empty() ? 0 : 1));
    else
        th.add("index", Value::integer(index));
    th.add("title", Value::string(t.title));
    th.add("artist", Value::string(t.artist));
    th.add("album", Value::string(t.album));
    if (database) th.add("genre", Value::string(t.genre));
    th.add("duration", Value::integer(t.length_ms));
    th.add("uid", Value::bytes(t.uid));
    return th;
}

Value Browser::chapter_list(int32_t track, int32_t only) const {
    const Track &t = tracks_[static_cast<size_t>(track)];
    Value a = Value::array({Value::integer(track), Value::integer(static_cast<int32_t>(t.chapters.size()))});
    for (size_t k = 0; k < t.chapters.size(); k++) {
        if (only >= 0 && static_cast<size_t>(only) != k) continue;
        int32_t end = k + 1 < t.chapters.size() ? t.chapters[k + 1].start_ms : t.length_ms;
        a.items.push_back(Value::hash({{"index", Value::integer(static_cast<int32_t>(k))},
                                       {"title", Value::string(t.chapters[k].title)},
                                       {"start", Value::integer(t.chapters[k].start_ms)},
                                       {"length", Value::integer(end - t.chapters[k].start_ms)}}));
    }
    return a;
}

}  // namespace simd
