// Current and indexed track records: parsing, reset and accessors.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "cache/retained.h"
#include "client_fixture.h"
#include "log_capture.h"

using namespace fixture;
using kivtest::log_clear;
using kivtest::log_count;

namespace {

constexpr int kDebug = 3;
constexpr int kError = 6;

// The fields of the current-track record: their reply key, their
// accessor, and the accessor's value after a reset and after full_track().
struct IntField {
    const char *key;
    int32_t track_info::*field;
    int (*get)(kiv_ipod_client *);
    int reset, full;
};
const IntField kInts[] = {
    {"length", &track_info::length, kiv_ipod_current_track_length, -1, 300},
    {"position", &track_info::position, kiv_ipod_current_track_position, -1, 20},
    {"state", &track_info::state, kiv_ipod_current_track_state, -1, 1},
    {"number_of_tracks", &track_info::number_of_tracks, kiv_ipod_current_number_of_tracks, -1, 12},
    {"track_index", &track_info::track_index, kiv_ipod_current_track_index, -1, 4},
    {"chapter_index", &track_info::chapter_index, kiv_ipod_current_chapter_index, -1, 1},
    {"chapter_count", &track_info::chapter_count, kiv_ipod_current_chapter_count, 0, 2},
    {"timestamp", &track_info::timestamp, kiv_ipod_current_track_timestamp, 0, 1000},
    {"timestamp_usec", &track_info::timestamp_usec, kiv_ipod_current_track_timestamp_usec, 0, 500},
    {"artwork", &track_info::has_artwork, kiv_ipod_current_track_has_artwork, 0, 1},
    {"has_chapters", &track_info::has_chapters, kiv_ipod_current_track_has_chapters, 0, 1},
    {"is_audiobook", &track_info::is_audiobook, kiv_ipod_current_track_is_audiobook, 0, 1},
    {"is_podcast", &track_info::is_podcast, kiv_ipod_current_track_is_podcast, 0, 1}};
const int kFullRaw[] = {300, 20, 3, 12, 4, 1, 2, 1000, 500, 1, 1, 1, 1};  // as sent
// Text fields; full_track() sends the first two letters of the key.
const struct {
    const char *key;
    char *track_info::*field;
    const char *(*get)(kiv_ipod_client *);
} kTexts[] = {{"title", &track_info::title, kiv_ipod_current_track_title},
              {"chapter", &track_info::chapter, kiv_ipod_current_track_chapter},
              {"artist", &track_info::artist, kiv_ipod_current_track_artist},
              {"album", &track_info::album, kiv_ipod_current_track_album},
              {"composer", &track_info::composer, kiv_ipod_current_track_composer},
              {"genre", &track_info::genre, kiv_ipod_current_track_genre}};

void expect_record(kiv_ipod_client *c, bool full) {
    for (const IntField &f : kInts) EXPECT_EQ(f.get(c), full ? f.full : f.reset) << f.key;
    // The track reply never carries these.
    for (auto get :
         {kiv_ipod_current_sample_rate, kiv_ipod_current_shuffle_state, kiv_ipod_current_repeat_state})
        EXPECT_EQ(get(c), -1);
    for (const auto &t : kTexts) {
        const char *v = t.get(c);
        EXPECT_EQ(v ? v : "-", full ? std::string(t.key, 2) : "-") << t.key;
    }
    const unsigned char *uid = kiv_ipod_current_track_uid(c);
    EXPECT_EQ(uid ? std::string(reinterpret_cast<const char *>(uid), 8) : "-", full ? "12345678" : "-");
}

TEST(TrackCache, FullReplyFillsTheRecordAndResetClearsIt) {
    Client c;
    expect_record(c, false);
    Value reply = H({{"current_track_info", I(1)}, {"uid", B("12345678")}, {"release_date", B("2020")}});
    for (const auto &t : kTexts) serialize_hash_add(reply, t.key, S(std::string(t.key, 2).c_str()));
    for (size_t i = 0; i < std::size(kInts); ++i) serialize_hash_add(reply, kInts[i].key, I(kFullRaw[i]));
    Packet p(reply);
    EXPECT_EQ(set_track_info(c, p.get(), "current_track_info", &c->current_track), 1);
    expect_record(c, true);
    c->shuffle_state = 1;
    c->repeat_state = 2;
    reset_cache(c);
    expect_record(c, false);
}

// The current-track record against a model, over random replies: a key
// present in a usable reply replaces its field (a text key with a value
// that is no text clears it, a uid that is not 8 bytes clears it, an
// integer key with a value that is no integer leaves it); unusable replies
// (none, empty, garbage, no hash, an "error" hash) change nothing; the
// result is the integer under the result key, else -1; every usable reply
// that leaves the length 0 logs it.
TEST(TrackCache, RandomRepliesAgainstAModelOfTheRecord) {
    Client c;
    std::map<std::string, std::string> model;  // absent: null text / uid
    std::map<std::string, int32_t> numbers;
    for (const auto &k : kInts) numbers[k.key] = c->current_track.*k.field;
    srand(7);
    for (int step = 0; step < 3000; ++step) {
        SCOPED_TRACE(step);
        const int kind = rand() % 12;
        const std::string error = "busy " + std::to_string(step);
        int32_t result = -1;
        log_clear();
        if (kind == 0) {
            ASSERT_EQ(set_track_info(c, nullptr, "current_track_info", &c->current_track), -1);
        } else if (kind <= 3) {
            Packet p(kind == 1 ? Packet() : kind == 2 ? Packet(std::string("zzzz")) : Packet(A({I(1)})));
            ASSERT_EQ(set_track_info(c, p.get(), "current_track_info", &c->current_track), -1);
        } else {
            Value reply = H({});
            if (kind == 4) serialize_hash_add(reply, "error", S(error.c_str()));
            if (rand() % 3) {
                result = rand() % 5;
                serialize_hash_add(reply, "current_track_info", I(result));
            }
            std::map<std::string, std::string> next = model;
            std::map<std::string, int32_t> next_numbers = numbers;
            for (const auto &t : kTexts) {
                if (rand() % 3) continue;
                const std::string text = t.key + std::to_string(step);
                const bool is_text = rand() % 4;
                serialize_hash_add(reply, t.key, is_text ? S(text.c_str()) : I(1));
                if (is_text)
                    next[t.key] = text;
                else
                    next.erase(t.key);
            }
            if (rand() % 4 == 0) {
                const std::string uid = std::string(6 + rand() % 4, 'u') + std::to_string(step % 10);
                serialize_hash_add(reply, "uid", rand() % 5 ? B(uid) : S(uid.c_str()));
                if (uid.size() == 8 && serialize_type(serialize_hash_get(reply, "uid")) == SERIALIZE_BYTES)
                    next["uid"] = uid;
                else
                    next.erase("uid");
            }
            for (const auto &k : kInts) {
                if (rand() % 4) continue;
                const int32_t v = rand() % 4 - 1;
                serialize_hash_add(reply, k.key, rand() % 5 ? I(v) : S("9"));
                if (serialize_type(serialize_hash_get(reply, k.key)) == SERIALIZE_INT)
                    next_numbers[k.key] = v;
            }
            if (kind == 4) {
                result = -1;
            } else {
                model = next;
                numbers = next_numbers;
            }
            Packet p(reply);
            ASSERT_EQ(set_track_info(c, p.get(), "current_track_info", &c->current_track), result);
            if (kind == 4) {
                ASSERT_STREQ(c->last_error, error.c_str());
            }
        }
        const bool logs = kind > 4 && numbers["length"] == 0;
        const std::string title = model.count("title") ? model["title"] : "(null)";
        ASSERT_EQ(log_count(kError, "track length is zero. title=" + title), logs ? 1 : 0);
        for (const auto &t : kTexts) {
            const char *field = c->current_track.*t.field;
            ASSERT_EQ(field ? field : "-", model.count(t.key) ? model[t.key] : "-") << t.key;
        }
        const unsigned char *uid = c->current_track.uid;
        ASSERT_EQ(uid ? std::string(reinterpret_cast<const char *>(uid), 8) : "-",
                  model.count("uid") ? model["uid"] : "-");
        for (const auto &k : kInts) ASSERT_EQ(c->current_track.*k.field, numbers[k.key]) << k.key;
    }
}

TEST(TrackCache, StateCodesAreMapped) {
    Client c;
    // Wire codes 0 to 5, then codes that name no state.
    const std::pair<int, int> codes[] = {{0, 0}, {1, 4},  {2, 5},   {3, 1},   {4, 2},
                                         {5, 3}, {6, -1}, {-1, -1}, {-2, -1}, {1000, -1}};
    for (const auto &[code, state] : codes) {
        c->current_track.state = code;
        EXPECT_EQ(kiv_ipod_current_track_state(c), state) << code;
    }
}

TEST(TrackCache, IndexedTrackBuildsItsArray) {
    Client c;
    // A refused reply right after a reset still rebuilds the array.
    EXPECT_EQ(run(set_indexed_track_info, c, H({{"error", S("no")}})), -1);
    const serialize_value *list = kiv_ipod_get_result_indexed_track_info(c);
    ASSERT_EQ(serialize_array_count(list), 9);
    const char *reset_values[] = {"", "", "", "", "-1", "-1", "0", "0", "0"};
    for (int i = 0; i < 9; ++i) EXPECT_EQ(text_at(list, i), reset_values[i]) << i;

    EXPECT_EQ(run(set_indexed_track_info, c,
                  H({{"indexed_track_info", I(3)},
                     {"title", S("t")},
                     {"uid", B(std::string("\0\1\2\3\4\5\6\7", 8))},
                     {"artist", S("a")},
                     {"album", S("b")},
                     {"length", I(123)},
                     {"track_index", I(9)},
                     {"is_audiobook", I(1)},
                     {"is_podcast", I(0)},
                     {"chapter_count", I(4)}})),
              3);
    list = kiv_ipod_get_result_indexed_track_info(c);
    ASSERT_EQ(serialize_array_count(list), 9);
    EXPECT_EQ(text_at(list, 0), "t");
    const serialize_value *uid = serialize_array_get(list, 1);
    ASSERT_EQ(serialize_type(uid), SERIALIZE_BYTES);
    int32_t len = 0;
    const void *bytes = serialize_get_bytes(uid, &len);
    ASSERT_EQ(len, 8);
    EXPECT_EQ(memcmp(bytes, "\0\1\2\3\4\5\6\7", 8), 0);
    const char *rest[] = {"a", "b", "123", "9", "1", "0", "4"};
    for (int i = 2; i < 9; ++i) EXPECT_EQ(text_at(list, i), rest[i - 2]) << i;

    // The current track is untouched by the indexed reply.
    EXPECT_EQ(kiv_ipod_current_track_title(c), nullptr);
    // With the other caches at the limit, a record that would grow is refused whole.
    cache_retained_set(c, IPOD_RETAINED_RECORDS, IPOD_MAX_RETAINED);
    EXPECT_EQ(run(set_indexed_track_info, c, H({{"indexed_track_info", I(3)}, {"title", S("longer")}})), -1);
    EXPECT_EQ(text_at(kiv_ipod_get_result_indexed_track_info(c), 0), "t");
    EXPECT_EQ(kiv_ipod_last_error_kind(c), KIV_IPOD_ERROR_LIMIT);

    // Every accessor logs the value it returns, except the uid accessor.
    log_clear();
    const std::pair<std::string, std::string> logged[] = {
        {kiv_ipod_indexed_track_title(c), "title=t"},
        {kiv_ipod_indexed_track_artist(c), "artist=a"},
        {kiv_ipod_indexed_track_album(c), "album=b"},
        {std::to_string(kiv_ipod_indexed_track_length(c)), "length=123"},
        {std::to_string(kiv_ipod_indexed_track_chapter_count(c)), "chapter_count=4"},
        {std::to_string(kiv_ipod_indexed_track_is_audiobook(c)), "is_audiobook=1"},
        {std::to_string(kiv_ipod_indexed_track_is_podcast(c)), "is_podcast=0"}};
    EXPECT_NE(kiv_ipod_indexed_track_uid(c), nullptr);
    for (const auto &l : logged) {
        const std::string key = l.second.substr(0, l.second.find('='));
        EXPECT_EQ(key + "=" + l.first, l.second);
        EXPECT_EQ(log_count(kDebug, "kiv_ipod_indexed_track_" + key + ", " + l.second + "\n"), 1);
    }
    EXPECT_EQ(kivtest::log_records().size(), 7u);
}

TEST(TrackCache, ResetClearsSlotsAndResultsButNotSessionState) {
    Client c;
    c.set_devices({device("A", 5)});
    c->ready = 1;
    c->session_opened = 1;
    c->current_session = 0;
    uint32_t *slots = c->pending;
    for (int i = 0; i < IPOD_REPLY_KINDS; ++i) slots[i] = 100 + i;
    c->preference_type = 8;
    c->category = 4;
    c->record_count = 5;
    c->records = A({});
    c->db_track_info = A({});
    c->pb_track_info = A({});
    c->indexed_track_chapter_info = A({});
    run(set_indexed_track_info, c, H({{"indexed_track_info", I(1)}, {"title", S("t")}}));
    c->artwork_width = c->artwork_height = c->artwork_rowstride = 4;
    c->artwork_data = static_cast<uint8_t *>(malloc(16));

    reset_cache(c);
    for (int i = 0; i < 18; ++i) EXPECT_EQ(slots[i], 0u) << i;
    EXPECT_EQ(c->preference_type, 8u);
    EXPECT_EQ(c->records, nullptr);
    EXPECT_EQ(c->db_track_info, nullptr);
    EXPECT_EQ(c->pb_track_info, nullptr);
    EXPECT_EQ(c->indexed_track_info, nullptr);
    EXPECT_EQ(c->indexed_track_chapter_info, nullptr);
    EXPECT_EQ(c->indexed_track.title, nullptr);
    EXPECT_EQ(c->artwork_data, nullptr);
    EXPECT_EQ(kiv_ipod_current_track_artwork_length(c), 0u);
    EXPECT_EQ(c->category, 0);
    EXPECT_EQ(c->record_count, 0);

    EXPECT_EQ(kiv_ipod_device_count(c), 1);
    EXPECT_EQ(c->ready, 1u);
    EXPECT_EQ(c->session_opened, 1u);
    EXPECT_EQ(c->current_session, 0);
}

}  // namespace
