// Current and indexed track records: parsing, reset and accessors.
#include <gtest/gtest.h>

#include "client_fixture.h"
#include "log_capture.h"

using namespace fixture;
using kivtest::log_clear;
using kivtest::log_count;

namespace {

constexpr int kDebug = 3;
constexpr int kError = 6;

int32_t current_info(kiv_ipod_client *c, Value reply) {
    Packet p(reply);
    return set_track_info(c, p.get(), "current_track_info", &c->current_track);
}

int32_t indexed_info(kiv_ipod_client *c, Value reply) {
    Packet p(reply);
    return set_indexed_track_info(c, p.get());
}

Value full_track(const char *title) {
    return H({{"current_track_info", I(1)},
              {"title", S(title)},
              {"uid", B("12345678")},
              {"chapter", S("ch")},
              {"artist", S("ar")},
              {"album", S("al")},
              {"composer", S("co")},
              {"genre", S("ge")},
              {"length", I(300)},
              {"position", I(20)},
              {"state", I(3)},
              {"number_of_tracks", I(12)},
              {"track_index", I(4)},
              {"chapter_index", I(1)},
              {"chapter_count", I(2)},
              {"timestamp", I(1000)},
              {"timestamp_usec", I(500)},
              {"artwork", I(1)},
              {"has_chapters", I(1)},
              {"is_audiobook", I(1)},
              {"is_podcast", I(1)},
              {"release_date", B("2020")}});
}

// Every accessor of the current track: its value after a reset and after
// full_track() (the track reply never carries the sample rate, shuffle or
// repeat state).
struct IntField {
    const char *name;
    int (*get)(kiv_ipod_client *);
    int reset, full;
};
const IntField kInts[] = {{"state", kiv_ipod_current_track_state, -1, 1},
                          {"length", kiv_ipod_current_track_length, -1, 300},
                          {"position", kiv_ipod_current_track_position, -1, 20},
                          {"number_of_tracks", kiv_ipod_current_number_of_tracks, -1, 12},
                          {"track_index", kiv_ipod_current_track_index, -1, 4},
                          {"chapter_index", kiv_ipod_current_chapter_index, -1, 1},
                          {"chapter_count", kiv_ipod_current_chapter_count, 0, 2},
                          {"timestamp", kiv_ipod_current_track_timestamp, 0, 1000},
                          {"timestamp_usec", kiv_ipod_current_track_timestamp_usec, 0, 500},
                          {"has_artwork", kiv_ipod_current_track_has_artwork, 0, 1},
                          {"has_chapters", kiv_ipod_current_track_has_chapters, 0, 1},
                          {"is_audiobook", kiv_ipod_current_track_is_audiobook, 0, 1},
                          {"is_podcast", kiv_ipod_current_track_is_podcast, 0, 1},
                          {"sample_rate", kiv_ipod_current_sample_rate, -1, -1},
                          {"shuffle", kiv_ipod_current_shuffle_state, -1, -1},
                          {"repeat", kiv_ipod_current_repeat_state, -1, -1}};
const struct {
    const char *(*get)(kiv_ipod_client *);
    const char *full;
} kTexts[] = {{kiv_ipod_current_track_title, "song"},  {kiv_ipod_current_track_chapter, "ch"},
              {kiv_ipod_current_track_artist, "ar"},   {kiv_ipod_current_track_album, "al"},
              {kiv_ipod_current_track_composer, "co"}, {kiv_ipod_current_track_genre, "ge"}};

void expect_record(kiv_ipod_client *c, bool full) {
    for (const IntField &f : kInts) EXPECT_EQ(f.get(c), full ? f.full : f.reset) << f.name;
    for (const auto &t : kTexts) {
        if (full) {
            EXPECT_STREQ(t.get(c), t.full);
        } else {
            EXPECT_EQ(t.get(c), nullptr) << t.full;
        }
    }
    const unsigned char *uid = kiv_ipod_current_track_uid(c);
    EXPECT_EQ(uid ? std::string(reinterpret_cast<const char *>(uid), 8) : "-", full ? "12345678" : "-");
}

TEST(TrackCache, FullReplyFillsTheRecordAndResetClearsIt) {
    Client c;
    expect_record(c, false);
    EXPECT_EQ(current_info(c, full_track("song")), 1);
    expect_record(c, true);
    c->shuffle_state = 1;
    c->repeat_state = 2;
    reset_cache(c);
    expect_record(c, false);
}

TEST(TrackCache, PartialRepliesUpdateOnlyTheirKeys) {
    Client c;
    current_info(c, full_track("song"));
    EXPECT_EQ(current_info(c, H({{"current_track_info", I(7)}})), 7);
    EXPECT_STREQ(kiv_ipod_current_track_title(c), "song");
    EXPECT_EQ(kiv_ipod_current_track_length(c), 300);

    // A text key with a non-text value clears the field; a wrong-typed
    // integer leaves its field.
    EXPECT_EQ(current_info(c, H({{"current_track_info", I(1)}, {"artist", I(5)}, {"position", S("x")}})), 1);
    EXPECT_EQ(kiv_ipod_current_track_artist(c), nullptr);
    EXPECT_EQ(kiv_ipod_current_track_position(c), 20);

    // A uid that is not exactly 8 bytes clears the uid; the rest applies.
    for (const char *uid : {"1234567", "123456789"}) {
        current_info(c, full_track("song"));
        EXPECT_EQ(current_info(c, H({{"current_track_info", I(1)}, {"uid", B(uid)}, {"album", S("new")}})),
                  1);
        EXPECT_EQ(kiv_ipod_current_track_uid(c), nullptr) << uid;
        EXPECT_STREQ(kiv_ipod_current_track_album(c), "new");
    }
    current_info(c, H({{"current_track_info", I(1)}, {"uid", S("12345678")}}));
    EXPECT_EQ(kiv_ipod_current_track_uid(c), nullptr);

    // Without the result key the metadata is kept but the status is unknown.
    EXPECT_EQ(current_info(c, H({{"title", S("other")}})), -1);
    EXPECT_STREQ(kiv_ipod_current_track_title(c), "other");
}

TEST(TrackCache, FailedRepliesLeaveTheRecord) {
    Client c;
    current_info(c, full_track("song"));
    Packet none;
    EXPECT_EQ(set_track_info(c, none.get(), "current_track_info", &c->current_track), -1);
    EXPECT_EQ(set_track_info(c, nullptr, "current_track_info", &c->current_track), -1);
    EXPECT_EQ(current_info(c, A({I(1)})), -1);
    Packet garbage(std::string("zzzz"));
    EXPECT_EQ(set_track_info(c, garbage.get(), "current_track_info", &c->current_track), -1);

    c->last_error = strdup("older");
    EXPECT_EQ(current_info(c, H({{"error", S("busy")}, {"title", S("x")}, {"current_track_info", I(1)}})),
              -1);
    EXPECT_STREQ(c->last_error, "busy");
    EXPECT_STREQ(kiv_ipod_current_track_title(c), "song");
    EXPECT_EQ(kiv_ipod_current_track_length(c), 300);
}

TEST(TrackCache, ZeroLengthIsLoggedOnEveryReply) {
    Client c;
    log_clear();
    EXPECT_EQ(current_info(c, H({{"current_track_info", I(1)}, {"title", S("t")}, {"length", I(0)}})), 1);
    EXPECT_EQ(log_count(kError, "track length is zero. title=t"), 1);
    EXPECT_EQ(current_info(c, H({{"current_track_info", I(2)}})), 2);
    EXPECT_EQ(log_count(kError, "track length is zero. title=t"), 2);
    current_info(c, H({{"current_track_info", I(2)}, {"length", I(-1)}}));
    EXPECT_EQ(log_count(kError, "track length is zero. title=t"), 2);
    c->current_track.length = 0;
    free(c->current_track.title);
    c->current_track.title = nullptr;
    current_info(c, H({{"current_track_info", I(2)}}));
    EXPECT_EQ(log_count(kError, "track length is zero. title=(null)"), 1);
}

TEST(TrackCache, StateCodesAreMapped) {
    Client c;
    const int expected[] = {0, 4, 5, 1, 2, 3};
    for (int code = 0; code < 6; ++code) {
        c->current_track.state = code;
        EXPECT_EQ(kiv_ipod_current_track_state(c), expected[code]) << code;
    }
    for (int code : {6, -1, -2, 1000}) {
        c->current_track.state = code;
        EXPECT_EQ(kiv_ipod_current_track_state(c), -1) << code;
    }
}

TEST(TrackCache, IndexedTrackBuildsItsArray) {
    Client c;
    // A refused reply right after a reset still rebuilds the array.
    EXPECT_EQ(indexed_info(c, H({{"error", S("no")}})), -1);
    const serialize_value *list = kiv_ipod_get_result_indexed_track_info(c);
    ASSERT_EQ(serialize_array_count(list), 9);
    const char *reset_values[] = {"", "", "", "", "-1", "-1", "0", "0", "0"};
    for (int i = 0; i < 9; ++i) EXPECT_EQ(text_at(list, i), reset_values[i]) << i;

    EXPECT_EQ(indexed_info(c, H({{"indexed_track_info", I(3)},
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

    log_clear();
    EXPECT_STREQ(kiv_ipod_indexed_track_title(c), "t");
    EXPECT_STREQ(kiv_ipod_indexed_track_artist(c), "a");
    EXPECT_STREQ(kiv_ipod_indexed_track_album(c), "b");
    EXPECT_EQ(kiv_ipod_indexed_track_length(c), 123);
    EXPECT_EQ(kiv_ipod_indexed_track_chapter_count(c), 4);
    EXPECT_EQ(kiv_ipod_indexed_track_is_audiobook(c), 1);
    EXPECT_EQ(kiv_ipod_indexed_track_is_podcast(c), 0);
    EXPECT_NE(kiv_ipod_indexed_track_uid(c), nullptr);
    EXPECT_EQ(log_count(kDebug, "kiv_ipod_indexed_track_title, title=t\n"), 1);
    EXPECT_EQ(log_count(kDebug, "kiv_ipod_indexed_track_artist, artist=a\n"), 1);
    EXPECT_EQ(log_count(kDebug, "kiv_ipod_indexed_track_album, album=b\n"), 1);
    EXPECT_EQ(log_count(kDebug, "kiv_ipod_indexed_track_length, length=123\n"), 1);
    EXPECT_EQ(log_count(kDebug, "kiv_ipod_indexed_track_chapter_count, chapter_count=4\n"), 1);
    EXPECT_EQ(log_count(kDebug, "kiv_ipod_indexed_track_is_audiobook, is_audiobook=1\n"), 1);
    EXPECT_EQ(log_count(kDebug, "kiv_ipod_indexed_track_is_podcast, is_podcast=0\n"), 1);
    EXPECT_EQ(kivtest::log_records().size(), 7u) << "the uid accessor does not log";
}

TEST(TrackCache, ResetClearsSlotsAndResultsButNotSessionState) {
    Client c;
    c.set_devices({device("A", 5)});
    c->ready = 1;
    c->session_opened = 1;
    c->current_session = 0;
    c->last_error = strdup("kept");
    uint32_t *slots = &c->current_track_info_tid;
    for (int i = 0; i < 18; ++i) slots[i] = 100 + i;
    c->preference_type = 8;
    c->db_itunes_info_count = 3;
    c->db_device_uid[0] = 9;
    c->db_last_sync_time[6] = 8;
    memcpy(c->version, "1.12", 5);
    c->category = 4;
    c->record_count = 5;
    c->records = A({});
    c->db_track_info = A({});
    c->pb_track_info = A({});
    c->indexed_track_chapter_info = A({});
    indexed_info(c, H({{"indexed_track_info", I(1)}, {"title", S("t")}}));
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
    EXPECT_STREQ(c->last_error, "kept");
    EXPECT_EQ(c->db_itunes_info_count, 3);
    EXPECT_EQ(c->db_device_uid[0], 9);
    EXPECT_EQ(c->db_last_sync_time[6], 8);
    EXPECT_STREQ(c->version, "1.12");
}

}  // namespace
