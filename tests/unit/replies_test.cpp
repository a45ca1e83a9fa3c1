// Reply parsers: play status, records, session opening, lingo version,
// database lists, chapter info, sample rate, iTunes database info (the
// artwork's are in artwork_test.cpp).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "client_fixture.h"
#include "events/events.h"
#include "fake_daemon.h"
#include "log_capture.h"

using namespace fixture;
using kivtest::log_clear;
using kivtest::log_count;
using kivtest::log_count_containing;

namespace {

constexpr int kDebug = 3;
constexpr int kError = 6;

TEST(Replies, PlayStatus) {
    Client c;
    EXPECT_EQ(
        run(set_play_status, c, H({{"current_play_status", I(2)}, {"length", I(9)}, {"position", I(3)}})), 2);
    EXPECT_EQ(c->current_track.length, 9);
    EXPECT_EQ(c->current_track.position, 3);

    EXPECT_EQ(run(set_play_status, c, H({{"current_play_status", I(1)}})), 1);
    EXPECT_EQ(c->current_track.length, -1);
    EXPECT_EQ(c->current_track.position, -1);

    EXPECT_EQ(run(set_play_status, c, H({{"error", S("nope")}, {"current_play_status", I(0)}})), -1);
    EXPECT_STREQ(c->last_error, "nope");
    EXPECT_EQ(run_empty(set_play_status, c), -1);
    EXPECT_EQ(run(set_play_status, c, I(3)), -1);
    EXPECT_EQ(run(set_play_status, c, H({{"length", I(5)}})), -1);
    EXPECT_EQ(c->current_track.state, 1) << "failed replies leave the record";
}

Value records(int ok, int first, int count, std::initializer_list<const char *> texts) {
    Value a = A({I(0), I(ok), I(first), I(count)});
    for (const char *t : texts) serialize_array_add(a, S(t));
    return a;
}

TEST(Replies, Records) {
    Client c;
    EXPECT_EQ(run(set_records, c, records(5, 10, 5, {"a", "b", "c", "d", "e"})), 5);
    EXPECT_EQ(kiv_ipod_record(c, 9), nullptr);
    EXPECT_STREQ(kiv_ipod_record(c, 10), "a");
    EXPECT_STREQ(kiv_ipod_record(c, 14), "e");
    EXPECT_EQ(kiv_ipod_record(c, 15), nullptr);
    EXPECT_EQ(serialize_array_count(kiv_ipod_records(c)), 9);

    // A count larger than what the reply carries never reads past the list.
    EXPECT_EQ(run(set_records, c, records(1, 0, 100, {"x"})), 1);
    EXPECT_STREQ(kiv_ipod_record(c, 0), "x");
    EXPECT_EQ(kiv_ipod_record(c, 50), nullptr);
    EXPECT_EQ(run(set_records, c, records(1, INT32_MIN + 1, INT32_MAX, {"x"})), 1);
    EXPECT_EQ(kiv_ipod_record(c, INT32_MAX), nullptr);

    EXPECT_EQ(run(set_records, c, records(0, 10, 1, {"kept"})), 0);
    ASSERT_NE(kiv_ipod_records(c), nullptr);
    EXPECT_EQ(kiv_ipod_record(c, 10), nullptr);

    serialize_value *before = kiv_ipod_records(c);
    EXPECT_EQ(run(set_records, c, H({})), 0);
    EXPECT_EQ(run_empty(set_records, c), -1);
    EXPECT_EQ(kiv_ipod_records(c), before);
    EXPECT_EQ(run(set_records, c, A({})), 0);
    EXPECT_EQ(kiv_ipod_record(c, 0), nullptr);
}

TEST(Replies, OpenSession) {
    Client c;
    c.set_devices({device("A", 5)});
    c->current_session = 1;
    EXPECT_EQ(run(set_open_session_result, c,
                  H({{"result", I(1)}, {"devices", A({device("A", 5, 1, 1, 0), device("B", 6)})}})),
              1);
    EXPECT_EQ(c->session_opened, 1u);
    EXPECT_EQ(kiv_ipod_device_count(c), 2);
    EXPECT_EQ(c->ready, 1u) << "readiness follows device 1";

    EXPECT_EQ(run(set_open_session_result, c, H({{"result", I(0)}, {"devices", A({})}})), 0);
    EXPECT_EQ(c->session_opened, 0u);
    EXPECT_EQ(kiv_ipod_device_count(c), 2);
    EXPECT_EQ(c->ready, 1u);
    EXPECT_EQ(run(set_open_session_result, c, H({{"result", I(3)}})), 3);

    c->session_opened = 1;
    EXPECT_EQ(run_empty(set_open_session_result, c), 0);
    EXPECT_EQ(c->session_opened, 0u);
    c->session_opened = 1;
    EXPECT_EQ(run(set_open_session_result, c, A({})), 0);
    EXPECT_EQ(c->session_opened, 0u);

    // A success without a list keeps the one we have.
    c->current_session = 0;
    EXPECT_EQ(run(set_open_session_result, c, H({{"result", I(1)}})), 1);
    EXPECT_EQ(kiv_ipod_device_count(c), 2);
    EXPECT_EQ(c->ready, 0u) << "device 0 is not ready";

    c->current_session = -1;
    c->session_opened = 1;
    log_clear();
    EXPECT_EQ(run(set_open_session_result, c, H({{"result", I(1)}, {"devices", A({})}})), 0);
    EXPECT_EQ(log_count(kDebug, "Already disconnected."), 1);
    EXPECT_EQ(c->session_opened, 1u);
    EXPECT_EQ(kiv_ipod_device_count(c), 2);
}

// The lists that one reply or one event lengthens or searches cost time in
// proportion to their length: 16 times the elements may not cost more than
// 4 times as much per element (a walk per element would cost 16 times).
TEST(Replies, ListsAreBuiltAndSearchedInLinearTime) {
    namespace wire = kivtest::wire;
    auto tracks = [](int n) {
        std::vector<std::pair<std::string, std::string>> entries{{"get_db_track_info", wire::i(0)}};
        for (int i = 0; i < n; ++i)
            entries.emplace_back(std::to_string(i), wire::h({{"uid", wire::b("uid")}}));
        return wire::h(entries);
    };
    auto devices = [](int n) {
        std::vector<std::string> list;
        for (int i = 0; i < n; ++i) list.push_back(wire::device("S" + std::to_string(i), i));
        return wire::a(list);
    };
    // One reply (or one event) over a list of n elements encoded in `bytes`.
    using Work = std::function<void(kiv_ipod_client *, const std::string &bytes, int n)>;
    struct List {
        const char *name;
        std::function<std::string(int)> encode;
        Work work;
    };
    const List lists[] = {
        // The playback list is built by the same code, with other keys.
        {"db tracks", tracks,
         [](kiv_ipod_client *c, const std::string &bytes, int n) {
             Packet p(bytes);
             ASSERT_EQ(set_db_track_info(c, p.get()), 1);
             ASSERT_EQ(serialize_array_count(kiv_ipod_get_result_db_track_info(c)), n);
         }},
        {"device events", devices,
         [](kiv_ipod_client *c, const std::string &bytes, int n) {
             serialize_free(c->devices);
             c->devices = unserialize(bytes.data(), static_cast<int32_t>(bytes.size()));
             c->current_session = n - 1;
             const std::string last = "S" + std::to_string(n - 1);
             Packet gone(H({{"event", S("disconnected_ipod")}, {"ipod_id", I(0)}, {"data", S("unknown")}}));
             Packet again(H({{"event", S("connected_ipod")},
                             {"ipod_id", I(n - 1)},
                             {"data", H({{"serial", S(last.c_str())}, {"ipod_id", I(n - 1)}})}}));
             kiv_ipod_event_free(event_decode(c, gone.get()));
             kiv_ipod_event_free(event_decode(c, again.get()));
             ASSERT_EQ(kiv_ipod_device_count(c), n);
             ASSERT_EQ(kiv_ipod_device_index(c, last.c_str()), n - 1);
         }},
    };
    // Processor seconds per element (other load on the machine does not
    // count), the fastest of three runs.
    auto per_element = [](const List &list, int n) {
        const std::string bytes = list.encode(n);
        double best = 1e9;
        for (int run = 0; run < 3; ++run) {
            Client c;
            const std::clock_t start = std::clock();
            list.work(c, bytes, n);
            best = std::min(best, static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC);
        }
        return best / n;
    };
    for (const List &list : lists) {
        const double small = per_element(list, 2000);
        const double large = per_element(list, 32000);
        EXPECT_LT(large / small, 4.0)
            << list.name << ": " << small * 1e9 << " ns, then " << large * 1e9 << " ns per element";
    }
}

TEST(Replies, LingoVersion) {
    Client c;
    testing::internal::CaptureStderr();
    EXPECT_EQ(run(set_lingo_version, c, H({{"major", I(1)}, {"minor", I(12)}})), 1);
    log_clear();
    EXPECT_STREQ(kiv_ipod_get_result_lingo_version(c), "1.12");
    EXPECT_EQ(log_count(kDebug, "kiv_ipod_get_result_lingo_version, c->version=1.12\n"), 1);
    // Too long for the field: cut to 7 characters; a shorter one after it
    // leaves no stale bytes.
    EXPECT_EQ(run(set_lingo_version, c, H({{"major", I(-123456)}, {"minor", I(7890)}})), 1);
    EXPECT_STREQ(c->version, "-123456");
    EXPECT_EQ(run(set_lingo_version, c, H({{"major", I(2)}, {"minor", I(0)}})), 1);
    for (size_t i = 3; i < sizeof c->version; ++i) EXPECT_EQ(c->version[i], '\0') << i;

    EXPECT_EQ(run_empty(set_lingo_version, c), -1);
    EXPECT_EQ(run(set_lingo_version, c, H({{"major", I(3)}})), -1);
    EXPECT_EQ(run(set_lingo_version, c, A({I(3), I(4)})), -1);
    EXPECT_EQ(
        testing::internal::GetCapturedStderr(),
        "set_lingo_version\nset_lingo_version, major=1, minor=12\nset_lingo_version\n"
        "set_lingo_version, major=-123456, minor=7890\nset_lingo_version\n"
        "set_lingo_version, major=2, minor=0\nset_lingo_version\nset_lingo_version\nset_lingo_version\n");
    EXPECT_STREQ(c->version, "2.0");
}

// The database and playback track lists against a model: random replies
// whose tracks hold random subsets of the keys (or are no hash at all),
// flattened as the model says: every key of a complete track, in its order,
// and the uid of every track; each missing key is one error line.
TEST(Replies, TrackListsFlattenAsTheModelSays) {
    struct Format {
        const char *name, *marker;
        Parser parser;
        serialize_value *(*result)(kiv_ipod_client *);
        std::vector<const char *> keys;  // of a complete track, uid last
    } const formats[] = {
        {"set_db_track_info",
         "get_db_track_info",
         set_db_track_info,
         kiv_ipod_get_result_db_track_info,
         {"cap", "title", "artist", "album", "genre", "duration", "uid"}},
        {"set_pb_track_info",
         "get_pb_track_info",
         set_pb_track_info,
         kiv_ipod_get_result_pb_track_info,
         {"index", "title", "artist", "album", "duration", "uid"}},
    };
    srand(22);
    for (const Format &f : formats) {
        SCOPED_TRACE(f.name);
        Client c;
        for (int round = 0; round < 200; ++round) {
            Value reply = H({{f.marker, I(0)}});
            std::vector<std::string> expected;
            int missing = 0;
            for (int t = rand() % 4; t >= 0; --t) {
                const std::string name = "t" + std::to_string(t);
                if (rand() % 5 == 0) {  // not a track hash
                    serialize_hash_add(reply, name.c_str(), I(t));
                    missing++;
                    continue;
                }
                Value track = H({});
                std::vector<std::string> present(f.keys.size());
                for (size_t k = 0; k < f.keys.size(); ++k) {
                    if (rand() % 4 == 0) continue;
                    present[k] = name + f.keys[k];
                    serialize_hash_add(track, f.keys[k], k % 2 ? S(present[k].c_str()) : B(present[k]));
                }
                if (rand() % 3 == 0) serialize_hash_add(track, "other", I(1));
                const bool full = serialize_hash_count(track) == static_cast<int32_t>(f.keys.size());
                for (size_t k = full ? 0 : f.keys.size() - 1; k < f.keys.size(); ++k) {
                    if (present[k].empty())
                        missing++;
                    else
                        expected.push_back((k % 2 ? "" : "b:") + present[k]);
                }
                serialize_hash_add(reply, name.c_str(), track);
            }
            log_clear();
            ASSERT_EQ(run(f.parser, c, reply), 1);
            const serialize_value *list = f.result(c);
            ASSERT_EQ(serialize_array_count(list), static_cast<int32_t>(expected.size()));
            for (size_t i = 0; i < expected.size(); ++i)
                ASSERT_EQ(text_at(list, static_cast<int>(i)), expected[i]);
            ASSERT_EQ(log_count_containing("could not find this key("), missing);
        }

        // Refused replies keep the list and say why.
        serialize_value *kept = f.result(c);
        const std::string name = f.name;
        log_clear();
        const char *other = f.marker[4] == 'd' ? "get_pb_track_info" : "get_db_track_info";
        EXPECT_EQ(run(f.parser, c, H({{other, I(0)}, {"b", I(2)}})), -1);
        EXPECT_EQ(log_count(kError, name + ", error was returned."), 1);
        EXPECT_EQ(run(f.parser, c, H({{"error", S("x")}})), -1);
        EXPECT_EQ(run(f.parser, c, A({I(1), I(2)})), -1);
        EXPECT_EQ(log_count(kError, name + ", no track info."), 2);
        EXPECT_STREQ(c->last_error, "x");
        EXPECT_EQ(run_empty(f.parser, c), -1);
        EXPECT_EQ(log_count(kError, name + ", invalid client packet received."), 1);
        EXPECT_EQ(f.result(c), kept);
    }
}

TEST(Replies, ChapterInfoDropsTheFirstElement) {
    Client c;
    EXPECT_EQ(run(set_indexed_track_chapter_info, c, A({I(0), S("c1"), S("c2")})), 1);
    const serialize_value *list = kiv_ipod_get_result_indexed_track_chapter_info(c);
    ASSERT_EQ(serialize_array_count(list), 2);
    EXPECT_EQ(text_at(list, 0), "c1");
    EXPECT_EQ(run(set_indexed_track_chapter_info, c, A({})), 1);
    EXPECT_EQ(serialize_array_count(kiv_ipod_get_result_indexed_track_chapter_info(c)), 0);
    EXPECT_EQ(run_empty(set_indexed_track_chapter_info, c), -1);
    EXPECT_EQ(run(set_indexed_track_chapter_info, c, H({{"a", I(1)}})), -1);
    EXPECT_NE(kiv_ipod_get_result_indexed_track_chapter_info(c), nullptr);
}

TEST(Replies, SampleRate) {
    Client c;
    log_clear();
    EXPECT_EQ(run(set_current_track_sample_rate, c, H({{"sample_rate", I(48000)}})), 48000);
    EXPECT_EQ(kiv_ipod_current_sample_rate(c), 48000);
    EXPECT_EQ(log_count(kDebug, "set_current_track_sample_rate, samplerate=48000\n"), 1);

    EXPECT_EQ(run(set_current_track_sample_rate, c, H({{"error", S("e")}})), 0);
    EXPECT_STREQ(c->last_error, "e");
    EXPECT_EQ(run(set_current_track_sample_rate, c, H({{"other", I(1)}})), 0);
    EXPECT_EQ(run(set_current_track_sample_rate, c, I(44100)), 0);
    EXPECT_EQ(run_empty(set_current_track_sample_rate, c), 0);
    EXPECT_EQ(kiv_ipod_current_sample_rate(c), 48000);

    c->current_session = -1;
    EXPECT_EQ(run(set_current_track_sample_rate, c, H({{"sample_rate", I(1)}})), 0);
    EXPECT_EQ(log_count(kDebug, "set_current_track_sample_rate, already disconnected.\n"), 1);
    EXPECT_EQ(kiv_ipod_current_sample_rate(c), 48000);
    // Late error replies still leave their text, also for the session.
    EXPECT_EQ(run(set_current_track_sample_rate, c, H({{"error", S("late rate")}})), 0);
    EXPECT_STREQ(c->last_error, "late rate");
    EXPECT_EQ(run(set_open_session_result, c, H({{"error", S("late session")}})), 0);
    EXPECT_STREQ(c->last_error, "late session");
}

TEST(Replies, DbItunesInfo) {
    Client c;
    EXPECT_EQ(run(set_db_itunes_info, c, H({{"type", I(0)}, {"uid", B("ABCDEFGHIJ")}})), 1);
    EXPECT_EQ(memcmp(kiv_ipod_get_result_db_device_uid(c), "ABCDEFGH", 8), 0);
    EXPECT_EQ(run(set_db_itunes_info, c, H({{"type", I(1)}, {"last_sync", B("1234567")}})), 1);
    EXPECT_EQ(memcmp(kiv_ipod_get_result_db_last_sync_time(c), "1234567", 7), 0);
    EXPECT_EQ(run(set_db_itunes_info, c, H({{"type", I(2)}, {"count", I(321)}})), 1);
    EXPECT_EQ(kiv_ipod_get_result_db_itunes_info_count(c), 321);

    // Short values are copied as far as they go and zero-filled.
    EXPECT_EQ(run(set_db_itunes_info, c, H({{"type", I(0)}, {"uid", B("xy")}})), 1);
    EXPECT_EQ(memcmp(kiv_ipod_get_result_db_device_uid(c), "xy\0\0\0\0\0\0", 8), 0);
    EXPECT_EQ(run(set_db_itunes_info, c, H({{"type", I(1)}, {"last_sync", B("")}})), 1);
    EXPECT_EQ(memcmp(kiv_ipod_get_result_db_last_sync_time(c), "\0\0\0\0\0\0\0", 7), 0);

    // Missing or wrong-typed entries change nothing.
    EXPECT_EQ(run(set_db_itunes_info, c, H({{"type", I(0)}, {"uid", S("ABCDEFGH")}})), -1);
    EXPECT_EQ(run(set_db_itunes_info, c, H({{"type", I(5)}})), -1);
    EXPECT_EQ(run(set_db_itunes_info, c, H({{"count", I(5)}})), -1);
    EXPECT_EQ(run_empty(set_db_itunes_info, c), -1);
    EXPECT_EQ(kiv_ipod_get_result_db_itunes_info_count(c), 321);
    EXPECT_EQ(memcmp(kiv_ipod_get_result_db_device_uid(c), "xy\0\0\0\0\0\0", 8), 0);
}

}  // namespace
