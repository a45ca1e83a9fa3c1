// Cached replies through the shared library and the fake daemon: every
// reply kind that fills the cache, with success and with an error, through
// dispatch to the reply callback and through the _sync forms.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "requests_fixture.h"

using reqtest::Client;
using reqtest::Daemon;
using reqtest::track_reply;
namespace wire = kivtest::wire;

namespace {

using C = kiv_ipod_client *;

const char *text_at(const serialize_value *list, int i) {
    return serialize_get_string(serialize_array_get(list, i));
}

// Every reply kind, asynchronous and blocking.
//
// Answered with success through dispatch (the kinds that fill the cache):
// the cache holds the reply once the callback got its result. Run in order
// on one handle, so that each row also shows that the lists and records of
// the earlier ones stay; opening a session then starts from an empty cache.
//
// Answered with an "error" hash: the text is readable through
// kiv_ipod_last_error in the reply callback and after the _sync call,
// whatever text the callback receives; the result and the cached state say
// "failed" or "unknown", never a valid value, and both forms agree.
TEST(CacheFlow, ErrorRepliesOfEveryKind) {
    using Async = uint32_t (*)(C);
    using Sync = int32_t (*)(C);
    using State = int (*)(C);
    static const unsigned char kUid[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    struct Kind {
        const char *name;
        Async async;
        Sync sync;                             // null: no blocking form that decodes the reply
        int32_t result;                        // of both forms for an error reply
        State state;                           // cached value that the reply writes, or null
        std::string ok_reply = std::string();  // a success reply that fills the cache ("": none)
        int32_t ok_result = 0;
        void (*check)(C) = nullptr;  // the cache after ok_reply
    };
// Both forms of a request, called with the same arguments.
#define BOTH(fn, ...) \
    [](C c) { return fn(c, ##__VA_ARGS__); }, [](C c) { return fn##_sync(c, ##__VA_ARGS__); }
    const Kind kinds[] = {
        {"current track", BOTH(kiv_ipod_current_track_info), -1, nullptr, track_reply("current_track_info", "Next"),
         1, [](C c) { EXPECT_STREQ(kiv_ipod_current_track_title(c), "Next"); }},
        {"indexed track", BOTH(kiv_ipod_indexed_track_info, 3), -1, nullptr,
         track_reply("indexed_track_info", "Indexed", 5), 5,
         [](C c) {
             EXPECT_STREQ(kiv_ipod_indexed_track_title(c), "Indexed");
             EXPECT_STREQ(kiv_ipod_current_track_title(c), "Next");
         }},
        {"play state", BOTH(kiv_ipod_get_play_state), -1, nullptr,
         wire::h({{"current_play_status", wire::i(2)}, {"position", wire::i(77)}}), 2,
         [](C c) { EXPECT_EQ(kiv_ipod_current_track_position(c), 77); }},
        // Fewer pixels than rowstride x height: the length still covers it
        // (the contents are the unit test's).
        {"artwork", BOTH(kiv_ipod_current_track_artwork, 0), -1, nullptr,
         wire::h({{"width", wire::i(10)},
                  {"height", wire::i(10)},
                  {"rowstride", wire::i(30)},
                  {"image", wire::b("xyz")}}),
         1, [](C c) { EXPECT_EQ(kiv_ipod_current_track_artwork_length(c), 300u); }},
        {"sample rate", kiv_ipod_get_sample_rate, nullptr, 0, nullptr, wire::h({{"sample_rate", wire::i(48000)}}),
         48000, [](C c) { EXPECT_EQ(kiv_ipod_current_sample_rate(c), 48000); }},
        {"records", BOTH(kiv_ipod_get_records, 10, 3), 0, nullptr,
         wire::a({wire::i(0), wire::i(3), wire::i(10), wire::i(3), wire::s("r10"), wire::s("r11"),
                  wire::s("r12")}),
         3, [](C c) { EXPECT_STREQ(kiv_ipod_record(c, 11), "r11"); }},
        {"itunes uid", [](C c) { return kiv_ipod_get_db_itunes_info(c, 0); }, nullptr, -1, nullptr,
         wire::h({{"type", wire::i(0)}, {"uid", wire::b("UID")}}), 1,
         [](C c) { EXPECT_EQ(memcmp(kiv_ipod_get_result_db_device_uid(c), "UID\0\0\0\0\0", 8), 0); }},
        {"itunes count", [](C c) { return kiv_ipod_get_db_itunes_info(c, 2); }, nullptr, -1, nullptr,
         wire::h({{"type", wire::i(2)}, {"count", wire::i(1234)}}), 1,
         [](C c) { EXPECT_EQ(kiv_ipod_get_result_db_itunes_info_count(c), 1234); }},
        {"db tracks", BOTH(kiv_ipod_get_db_track_info, 0, 2, 0), -1, nullptr,
         wire::h({{"get_db_track_info", wire::i(0)},
                  {"0", wire::h({{"cap", wire::i(1)},
                                 {"title", wire::s("T")},
                                 {"artist", wire::s("A")},
                                 {"album", wire::s("L")},
                                 {"genre", wire::s("G")},
                                 {"duration", wire::i(5)},
                                 {"uid", wire::b("11111111")}})},
                  {"1", wire::h({{"title", wire::s("T2")}, {"uid", wire::b("22222222")}})}}),
         1,
         [](C c) {
             ASSERT_EQ(serialize_array_count(kiv_ipod_get_result_db_track_info(c)), 8);
             EXPECT_STREQ(text_at(kiv_ipod_get_result_db_track_info(c), 1), "T");
         }},
        {"pb tracks", BOTH(kiv_ipod_get_pb_track_info, 0, 1, 0), -1, nullptr,
         wire::h({{"get_pb_track_info", wire::i(0)}, {"0", wire::h({{"uid", wire::b("33333333")}})}}), 1,
         [](C c) {
             EXPECT_EQ(serialize_array_count(kiv_ipod_get_result_pb_track_info(c)), 1);
             EXPECT_EQ(serialize_array_count(kiv_ipod_get_result_db_track_info(c)), 8) << "each keeps its own";
         }},
        {"chapters", BOTH(kiv_ipod_indexed_track_chapter_info, 1, 2), -1, nullptr,
         wire::a({wire::i(9), wire::s("chapter 1"), wire::s("chapter 2")}), 1,
         [](C c) {
             EXPECT_STREQ(text_at(kiv_ipod_get_result_indexed_track_chapter_info(c), 1), "chapter 2");
         }},
        {"lingo version", BOTH(kiv_ipod_request_lingo_version, 10), -1, nullptr,
         wire::h({{"major", wire::i(1)}, {"minor", wire::i(12)}}), 1,
         [](C c) { EXPECT_STREQ(kiv_ipod_get_result_lingo_version(c), "1.12"); }},
        {"prepare uid list", [](C c) { return kiv_ipod_prepare_uid_list(c, 0, 0, 1, "x"); }, nullptr, -1,
         nullptr},
        {"play uid list", [](C c) { return kiv_ipod_play_uid_list(c, kUid); }, nullptr, -1, nullptr},
        {"track index", BOTH(kiv_ipod_get_current_track_index), -1, kiv_ipod_current_track_index},
        {"category", BOTH(kiv_ipod_set_category, 1), 0, kiv_ipod_record_count},
        {"select db", BOTH(kiv_ipod_select_db, 0, 1), 0, kiv_ipod_record_count},
        {"preference", BOTH(kiv_ipod_get_preference, 0), 255, nullptr},
        {"play", kiv_ipod_play, nullptr, 0, nullptr},
        // Last: it starts a new session and so resets the cache.
        {"open session", BOTH(kiv_ipod_open_session, 0), 0, nullptr},
    };
#undef BOTH

    Daemon d;
    Client cl(d, true);
    kiv_ipod_client *c = cl.client;
    struct Seen {
        uint32_t tid = 0;
        int32_t result = 0;
        std::string error;
        int calls = 0;
    } seen;
    kiv_ipod_set_reply_cb(
        c,
        [](kiv_ipod_client *client, uint32_t tid, int32_t result, const char *, void *data) {
            auto *s = static_cast<Seen *>(data);
            const char *error = kiv_ipod_last_error(client);
            *s = {tid, result, error ? error : "(none)", s->calls + 1};
            return 0;
        },
        &seen);

    for (const Kind &k : kinds) {
        if (k.ok_reply.empty()) continue;
        SCOPED_TRACE(std::string("success: ") + k.name);
        d.answer_with(k.ok_reply);
        seen = Seen{};
        uint32_t tid = k.async(c);
        ASSERT_NE(tid, 0u);
        while (seen.calls == 0) ASSERT_GE(kiv_ipod_read(c), 0);
        EXPECT_EQ(seen.tid, tid);
        EXPECT_EQ(seen.result, k.ok_result);
        k.check(c);
    }
    d.answer_with(wire::i(0));
    EXPECT_EQ(kiv_ipod_open_session_sync(c, 0), 1);
    EXPECT_EQ(kiv_ipod_current_track_title(c), nullptr);
    EXPECT_EQ(kiv_ipod_current_track_artwork_data(c), nullptr);

    for (const Kind &k : kinds) {
        SCOPED_TRACE(k.name);
        const std::string text = std::string("no ") + k.name;
        const std::string error = wire::h({{"error", wire::s(text)}});
        auto answer_error = [&] {
            d.answer_raw(
                [error](const kivtest::Request &r) { return reqtest::frame(r.tid, r.opcode, error); });
        };
        // The cached value starts valid (3), so that a failure shows.
        auto prime = [&] {
            if (!k.state) return;
            d.answer_with(wire::i(3));
            k.sync(c);
            ASSERT_EQ(k.state(c), 3);
        };

        prime();
        answer_error();
        seen = Seen{};
        ASSERT_NE(k.async(c), 0u);
        while (seen.calls == 0) ASSERT_GE(kiv_ipod_read(c), 0);
        EXPECT_EQ(seen.error, text);
        EXPECT_EQ(seen.result, k.result);
        if (k.state) {
            EXPECT_EQ(k.state(c), -1);
        }

        if (!k.sync) continue;
        // A reply without error clears the text; the blocking form must
        // set it again.
        d.answer_with(wire::i(0));
        ASSERT_NE(kiv_ipod_play(c), 0u);
        while (seen.calls == 1) ASSERT_GE(kiv_ipod_read(c), 0);
        ASSERT_EQ(kiv_ipod_last_error(c), nullptr);
        prime();
        answer_error();
        EXPECT_EQ(k.sync(c), k.result);
        const char *after = kiv_ipod_last_error(c);
        EXPECT_EQ(after ? after : "(none)", text);
        if (k.state) {
            EXPECT_EQ(k.state(c), -1);
        }
    }

    // The blocking forms that do not read their reply (always 0) still
    // leave its error text readable, and a later success clears it.
    const Sync discarding[] = {
        [](C c) { return kiv_ipod_prepare_uid_list_sync(c, "x"); },
        [](C c) { return kiv_ipod_play_uid_list_sync(c, kUid); },
        [](C c) { return kiv_ipod_set_available_current_sync(c, 1); },
        [](C c) { return kiv_ipod_get_artwork_data_sync(c, kUid); },
    };
    d.answer_with(wire::i(0));
    ASSERT_EQ(kiv_ipod_open_session_sync(c, 0), 1);
    for (Sync sync : discarding) {
        d.answer_with(wire::h({{"error", wire::s("busy")}}));
        EXPECT_EQ(sync(c), 0);
        const char *after = kiv_ipod_last_error(c);
        EXPECT_STREQ(after ? after : "(none)", "busy");
        d.answer_with(wire::i(0));
        EXPECT_EQ(sync(c), 0);
        EXPECT_EQ(kiv_ipod_last_error(c), nullptr);
        d.answer_with("");  // an empty reply has no text to look at
        EXPECT_EQ(sync(c), 0);
    }
}

}  // namespace
