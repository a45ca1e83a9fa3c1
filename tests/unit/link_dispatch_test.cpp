// White-box tests of dispatch: reply routing, generic decoding with its
// per-kind adjustments, last_error lifetime and the diagnostics.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fake_daemon.h"
#include "internal.h"
#include "log_capture.h"
#include "wired_test.h"

using kivtest::frame;
namespace wire = kivtest::wire;

namespace {

constexpr int kError = 6;

struct Reply {
    uint32_t tid;
    int32_t result;
    bool has_text;
    std::string text;
};

struct Seen {
    std::vector<Reply> replies;
    std::vector<uint32_t> pings;
    int events = 0;
};

int on_reply(kiv_ipod_client *c, uint32_t tid, int32_t result, const char *text, void *data) {
    // A text handed over is the handle's own copy.
    if (text) {
        EXPECT_EQ(text, c->last_error);
    }
    static_cast<Seen *>(data)->replies.push_back({tid, result, text != nullptr, text ? text : ""});
    return 0;
}

int on_ping(kiv_ipod_client *, uint32_t tid, void *data) {
    static_cast<Seen *>(data)->pings.push_back(tid);
    return 0;
}

int on_event(kiv_ipod_client *, kiv_ipod_event *, void *data) {
    static_cast<Seen *>(data)->events++;
    return 0;
}

class Dispatch : public kivtest::WiredTest {
protected:
    void SetUp() override {
        WiredTest::SetUp();
        kiv_ipod_set_reply_cb(client, on_reply, &seen);
        kiv_ipod_set_ping_cb(client, on_ping, &seen);
        kiv_ipod_set_event_cb(client, on_event, &seen);
        kivtest::log_clear();
    }
    // Queues the bytes and runs one read with its dispatch pass.
    int32_t deliver(const std::string &bytes) {
        EXPECT_EQ(write(peer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        return kiv_ipod_read(client);
    }
    const Reply &last() { return seen.replies.back(); }

    Seen seen;
};

// An integer is the result; a hash with "error" is a failure with its text
// (kept as last_error until the next reply); anything else, nothing or an
// undecodable payload (logged) is a plain 0.
TEST_F(Dispatch, GenericDecodingOfUnroutedReplies) {
    const struct {
        std::string payload;
        int32_t result;
        const char *text;
    } rows[] = {{wire::i(17), 17, nullptr},
                {wire::h({{"error", wire::s("boom")}, {"x", wire::i(3)}}), 0, "boom"},
                {wire::h({{"result", wire::i(1)}}), 0, nullptr},
                {wire::s("5"), 0, nullptr},
                {wire::f(2.5), 0, nullptr},
                {wire::a({wire::i(1)}), 0, nullptr},
                {wire::b("\x01"), 0, nullptr},
                {"", 0, nullptr},
                {"Zjunk", 0, nullptr}};
    uint32_t tid = 30;
    for (const auto &row : rows) {
        SCOPED_TRACE(tid);
        EXPECT_EQ(deliver(frame(tid, 30, row.payload)), 1);
        ASSERT_EQ(seen.replies.size(), tid - 29);
        EXPECT_EQ(last().tid, tid++);
        EXPECT_EQ(last().result, row.result);
        EXPECT_EQ(last().has_text, row.text != nullptr);
        EXPECT_EQ(last().text, row.text ? row.text : "");
        EXPECT_STREQ(client->last_error, row.text);
    }
    EXPECT_EQ(kivtest::log_count_containing("undecodable payload"), 1);
}

TEST_F(Dispatch, PostProcessingByPendingSlot) {
    client->current_track_index_tid = 40;
    deliver(frame(40, 19, wire::i(5)));
    EXPECT_EQ(last().result, 5);
    EXPECT_EQ(client->current_track.track_index, 5);
    deliver(frame(40, 19, ""));  // no value: no adjustment
    EXPECT_EQ(last().result, 0);
    EXPECT_EQ(client->current_track.track_index, 5);
    deliver(frame(40, 19, "Zjunk"));
    EXPECT_EQ(client->current_track.track_index, 5);

    client->category_tid = 41;
    deliver(frame(41, 24, wire::i(-1)));
    EXPECT_EQ(client->record_count, -1);
    EXPECT_EQ(last().result, 0);
    deliver(frame(41, 24, wire::h({{"error", wire::s("no category")}})));
    EXPECT_EQ(client->record_count, -1);
    EXPECT_EQ(last().result, 0);
    EXPECT_EQ(last().text, "no category");

    client->select_db_tid = 42;
    deliver(frame(42, 26, wire::i(12)));
    EXPECT_EQ(client->record_count, 12);
    EXPECT_EQ(last().result, 1);

    client->preference_tid = 43;
    client->preference_type = 3;
    deliver(frame(43, 30, wire::i(1)));
    EXPECT_EQ(last().result, static_cast<int32_t>(preference_setting_from_wire(3, 1)));

    // The artwork-data slot is never consulted: plain generic decoding.
    client->artwork_data_tid = 44;
    deliver(frame(44, 53, wire::i(9)));
    EXPECT_EQ(last().result, 9);
}

TEST_F(Dispatch, RoutingTableOrderAndEmptySlots) {
    // A routed slot wins over post-processing of the same id; the uid-list
    // reply is not even decoded.
    client->current_track_index_tid = 50;
    client->uid_list_tid = 50;
    client->current_track.track_index = 3;
    deliver(frame(50, 45, "Zjunk"));
    EXPECT_EQ(last().result, 1);
    EXPECT_FALSE(last().has_text);
    EXPECT_EQ(client->current_track.track_index, 3);
    EXPECT_EQ(kivtest::log_count_containing("undecodable"), 0);

    // Id 0 with every slot empty is not taken by the first slot.
    reset_cache(client);
    deliver(frame(0, 30, wire::i(8)));
    EXPECT_EQ(last().tid, 0u);
    EXPECT_EQ(last().result, 8);

    // Text policy of the table: the track-info kind passes its error text,
    // the play-state kind a null text.
    client->current_track_info_tid = 60;
    client->play_state_tid = 61;
    deliver(frame(60, 15, wire::h({{"error", wire::s("E1")}})));
    EXPECT_EQ(last().text, "E1");
    deliver(frame(61, 18, wire::h({{"error", wire::s("E2")}})));
    EXPECT_FALSE(last().has_text);
}

TEST_F(Dispatch, MissingCallbacksAndTheWaitingDiagnostic) {
    kiv_ipod_set_reply_cb(client, nullptr, nullptr);
    kiv_ipod_set_ping_cb(client, nullptr, nullptr);
    client->current_track_info_tid = 70;
    EXPECT_EQ(deliver(frame(70, 15, wire::h({{"title", wire::s("kept out")}})) + frame(71, 54, "")), 2);
    EXPECT_EQ(client->current_track.title, nullptr);  // dropped unparsed
    EXPECT_EQ(kivtest::log_count_containing("Some packet didn't treated: "), 1);
    EXPECT_EQ(kivtest::log_count_containing("tid(0x46), opcode(0xf)\n"), 1);
    EXPECT_EQ(kivtest::log_count(kError, "ping_cb is not set!!!!"), 1);
    EXPECT_EQ(client->packets->next, nullptr);

    kiv_ipod_set_ping_cb(client, on_ping, &seen);
    client->waiting = 1;
    deliver(frame(72, 54, ""));
    EXPECT_EQ(kivtest::log_count(kError, "Another thread already using this call\n"), 1);
    EXPECT_EQ(seen.pings, std::vector<uint32_t>{72});  // the pass ran anyway
    client->waiting = 0;
}

TEST_F(Dispatch, UndecodableEventIsDroppedAndThePassGoesOn) {
    EXPECT_EQ(deliver(frame(80, 1, "Zjunk") + frame(81, 54, "") + frame(82, 30, wire::i(2))), 3);
    EXPECT_EQ(seen.events, 0);
    EXPECT_EQ(seen.pings, std::vector<uint32_t>{81});
    ASSERT_EQ(seen.replies.size(), 1u);
    EXPECT_EQ(last().result, 2);
}

}  // namespace
