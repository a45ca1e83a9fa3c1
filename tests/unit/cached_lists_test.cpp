// The lists the handle caches, read through their accessors in order, cost
// the same per element at any length: records (also when the reply claims
// to start where it does not), the db and pb track lists, chapters. 16
// times the elements may not cost more than 4 times as much per element (a
// walk from the head per element would cost 16 times).
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "client_fixture.h"
#include "fake_daemon.h"

using namespace fixture;

namespace {

namespace wire = kivtest::wire;

using Parser = int32_t (*)(kiv_ipod_client *, const ipod_packet *);

// A records reply: [0, ok, first, count, then n texts].
std::string records_reply(int n, int first, int count) {
    std::vector<std::string> items{wire::i(0), wire::i(1), wire::i(first), wire::i(count)};
    for (int i = 0; i < n; ++i) items.push_back(wire::s("record " + std::to_string(i)));
    return wire::a(items);
}

// A track-list reply of n track hashes with a uid each.
std::string tracks_reply(const char *marker, int n) {
    std::vector<std::pair<std::string, std::string>> entries{{marker, wire::i(0)}};
    for (int i = 0; i < n; ++i) entries.emplace_back(std::to_string(i), wire::h({{"uid", wire::b("uid")}}));
    return wire::h(entries);
}

// A chapter reply: a leading element the parser drops, then n chapters.
std::string chapters_reply(int n) {
    std::vector<std::string> items{wire::i(0)};
    for (int i = 0; i < n; ++i) items.push_back(wire::s("chapter " + std::to_string(i)));
    return wire::a(items);
}

struct Case {
    const char *name;
    std::function<std::string(int)> reply;
    Parser parser;
    // Reads the n elements in order; every read is checked.
    std::function<void(kiv_ipod_client *, int)> read;
};

void read_list(serialize_value *list, int n, const char *want) {
    ASSERT_EQ(serialize_array_count(list), n);
    for (int i = 0; i < n; ++i) {
        const serialize_value *element = serialize_array_get(list, i);
        ASSERT_NE(element, nullptr) << i;
        ASSERT_EQ(serialize_type(element), want[0] == 'b' ? SERIALIZE_BYTES : SERIALIZE_STRING) << i;
    }
    ASSERT_EQ(serialize_array_get(list, n), nullptr);
}

TEST(CachedLists, ReadingInOrderThroughTheAccessorsCostsTheSamePerElementAtAnyLength) {
    const Case cases[] = {
        {"records", [](int n) { return records_reply(n, 1000, n); }, set_records,
         [](kiv_ipod_client *c, int n) {
             for (int i = 0; i < n; ++i)
                 ASSERT_EQ(std::string(kiv_ipod_record(c, 1000 + i)), "record " + std::to_string(i));
             ASSERT_EQ(kiv_ipod_record(c, 1000 + n), nullptr);
         }},
        // The reply claims to start far below its records and to hold many
        // more: every index the application asks for lies past what it
        // carries, though within what it claims.
        {"records with a lying first", [](int n) { return records_reply(n, -4 * n, INT32_MAX); }, set_records,
         [](kiv_ipod_client *c, int n) {
             for (int i = 0; i < n; ++i) ASSERT_EQ(kiv_ipod_record(c, i), nullptr);
         }},
        {"db tracks", [](int n) { return tracks_reply("get_db_track_info", n); }, set_db_track_info,
         [](kiv_ipod_client *c, int n) { read_list(kiv_ipod_get_result_db_track_info(c), n, "b"); }},
        {"pb tracks", [](int n) { return tracks_reply("get_pb_track_info", n); }, set_pb_track_info,
         [](kiv_ipod_client *c, int n) { read_list(kiv_ipod_get_result_pb_track_info(c), n, "b"); }},
        {"chapters", chapters_reply, set_indexed_track_chapter_info,
         [](kiv_ipod_client *c, int n) {
             read_list(kiv_ipod_get_result_indexed_track_chapter_info(c), n, "s");
         }},
    };
    // Processor seconds per element of the reads alone, the fastest of three
    // runs (other load on the machine does not count).
    auto per_element = [](const Case &test, int n) {
        Packet reply(test.reply(n));
        Client c;
        EXPECT_GE(test.parser(c, reply.get()), 1) << test.name;
        double best = 1e9;
        for (int run = 0; run < 3; ++run) {
            const std::clock_t start = std::clock();
            test.read(c, n);
            best = std::min(best, static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC);
        }
        return best / n;
    };
    for (const Case &test : cases) {
        const double small = per_element(test, 2000);
        const double large = per_element(test, 32000);
        EXPECT_LT(large / small, 4.0)
            << test.name << ": " << small * 1e9 << " ns, then " << large * 1e9 << " ns per element";
    }
}

}  // namespace
