// The C++ interface (kiv/ipod.hpp) against the fake daemon: ownership of
// the handle, every optional accessor in its unknown and known state,
// errors that carry the daemon's text, handlers that call back in.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <functional>
#include <string>
#include <vector>

#include "kiv/ipod.hpp"
#include "requests_fixture.h"

namespace ki = kiv::ipod;
using kivtest::event;
using kivtest::frame;
using reqtest::Daemon;
using reqtest::track_reply;
namespace wire = kivtest::wire;

namespace {

ki::Client connect_ready(Daemon &d) {
    auto r = ki::Client::connect();
    EXPECT_TRUE(r.ok());
    if (!r) return ki::Client();
    ki::Client c = std::move(*r);
    EXPECT_TRUE(c.open_session_sync(0).ok());
    d.daemon.clear_requests();
    return c;
}

// A client with a session open on the fake daemon's device.
class CppClient : public ::testing::Test {
protected:
    Daemon d;
    ki::Client c = connect_ready(d);
};

// Reads until `done` holds (each read must deliver something).
void read_until(ki::Client &c, const std::function<bool()> &done) {
    while (!done()) ASSERT_TRUE(c.read().ok());
}

TEST(CppClientOwnership, ClosesOnceAndLeavesMovedFromInert) {
    Daemon d;
    {
        ki::Client a = connect_ready(d);
        std::vector<const ki::Client *> seen;
        a.on_event([&seen](ki::Client &self, const ki::Event &) { seen.push_back(&self); });
        ki::Client b = std::move(a);
        // The moved-from client answers "unknown" and sends nothing.
        EXPECT_FALSE(a);
        EXPECT_EQ(a.fd(), -1);
        EXPECT_FALSE(a.title());
        EXPECT_FALSE(a.play());
        EXPECT_FALSE(a.play_sync());
        EXPECT_FALSE(a.read());
        EXPECT_FALSE(a.device(0));
        a.on_reply([](const ki::Reply &) {});  // no effect, no crash
        // The handler moved with the handle and is given the new owner.
        d.daemon.send(event("playlist_changed", 7, "SER1"));
        read_until(b, [&] { return !seen.empty(); });
        EXPECT_EQ(seen.back(), &b);
        ki::Client c;
        c = std::move(b);
        d.daemon.send(event("playlist_changed", 7, "SER1"));
        read_until(c, [&] { return seen.size() == 2; });
        EXPECT_EQ(seen.back(), &c);
        EXPECT_TRUE(d.daemon.client_connected());
        c = ki::Client();  // assigning over a live client closes it
        EXPECT_TRUE(d.daemon.wait_client_closed());
        EXPECT_TRUE(d.requests().empty()) << "the moved-from clients sent nothing";
    }  // a, b, c all destroyed here: ASan reports any second close or free
    // Released handles are no longer closed by the wrapper.
    auto r = ki::Client::connect();
    ASSERT_TRUE(r);
    kiv_ipod_client *raw = r->release();
    EXPECT_FALSE(*r);
    ki::Client again = ki::Client::adopt(raw);
    EXPECT_TRUE(again.connected());
}

// Every accessor that can answer "not known", as text (or "-" when unknown).
template <class T>
std::string show(const std::optional<T> &v) {
    if (!v) return "-";
    if constexpr (std::is_same_v<T, std::string_view>)
        return std::string(*v);
    else if constexpr (std::is_same_v<T, ki::Uid>)
        return std::string(v->begin(), v->end());
    else if constexpr (std::is_same_v<T, ki::Duration>)
        return std::to_string(v->count()) + "ms";
    else if constexpr (std::is_same_v<T, ki::ValueView>)
        return "n=" + std::to_string(v->size());
    else if constexpr (std::is_same_v<T, ki::Artwork>)
        return std::to_string(v->width) + "x" + std::to_string(v->height) + "/" +
               std::to_string(v->pixels.size());
    else
        return std::to_string(static_cast<long long>(*v));
}

struct Row {
    const char *name;
    std::function<std::string(const ki::Client &)> get;
    const char *known;  // after the replies and events of the test
};

#define ROW(name, expr, known)                                      \
    Row {                                                           \
        name, [](const ki::Client &c) { return show(expr); }, known \
    }

const std::vector<Row> &rows() {
    static const std::vector<Row> table = {
        ROW("title", c.title(), "Song"),
        ROW("artist", c.artist(), "Artist"),
        ROW("album", c.album(), "Album"),
        ROW("composer", c.composer(), "Composer"),
        ROW("genre", c.genre(), "Genre"),
        ROW("chapter", c.chapter(), "Intro"),
        ROW("uid", c.uid(), "ABCDEFGH"),
        ROW("number_of_tracks", c.number_of_tracks(), "12"),
        ROW("track_index", c.track_index(), "3"),
        ROW("chapter_index", c.chapter_index(), "1"),
        ROW("length", c.length(), "240000ms"),
        ROW("position", c.position(), "1000ms"),
        ROW("track_state", c.track_state(), "1"),  // daemon status 3 (playing) is TrackState::playing
        ROW("sample_rate", c.sample_rate(), "44100"),
        ROW("shuffle", c.shuffle(), "2"),
        ROW("repeat", c.repeat(), "1"),
        ROW("artwork", c.artwork(), "2x1/4"),
        ROW("indexed_title", c.indexed_title(), "Other"),
        ROW("indexed_artist", c.indexed_artist(), "Artist"),
        ROW("indexed_album", c.indexed_album(), "Album"),
        ROW("indexed_uid", c.indexed_uid(), "ABCDEFGH"),
        ROW("indexed_length", c.indexed_length(), "240000ms"),
        ROW("indexed_track_info", c.indexed_track_info(), "n=9"),
        ROW("records", c.records(), "n=6"),
        ROW("record(0)", c.record(0), "first"),
        ROW("chapter_info", c.chapter_info(), "n=2"),
        ROW("last_error", c.last_error(), "-"),
        ROW("device_index(SER1)", c.device_index("SER1"), "0"),
        ROW("current_session", c.current_session(), "0"),
    };
    return table;
}

TEST_F(CppClient, OptionalAccessorsUnknownThenKnown) {
    for (const Row &row : rows()) {
        const std::string name = row.name;  // the session's own rows are known from the start
        bool session = name == "device_index(SER1)" || name == "current_session";
        EXPECT_EQ(row.get(c), session ? row.known : "-") << name << " before any reply";
    }
    d.answer_raw([](const kivtest::Request &r) {
        switch (r.opcode) {
            case 15:
                return frame(r.tid, r.opcode, track_reply("current_track_info", "Song"));
            case 31:
                return frame(r.tid, r.opcode, track_reply("indexed_track_info", "Other"));
            case 17:  // 2x1 pixels inline
                return frame(r.tid, r.opcode,
                             wire::h({{"width", wire::i(2)},
                                      {"height", wire::i(1)},
                                      {"rowstride", wire::i(4)},
                                      {"image", wire::b("\x01\x02\x03\x04")}}));
            case 27:
                return frame(r.tid, r.opcode,
                             wire::a({wire::i(0), wire::i(1), wire::i(0), wire::i(2), wire::s("first"),
                                      wire::s("second")}));
            case 32:
                return frame(r.tid, r.opcode, wire::a({wire::i(1), wire::i(5), wire::s("Chapter")}));
            default:
                return frame(r.tid, r.opcode, wire::i(0));
        }
    });
    ASSERT_TRUE(c.current_track_info_sync());
    ASSERT_TRUE(c.indexed_track_info_sync(4));
    ASSERT_TRUE(c.current_track_artwork_sync());
    ASSERT_TRUE(c.get_records_sync(0, 2));
    ASSERT_TRUE(c.indexed_track_chapter_info_sync(0, 1));
    d.daemon.send(event("samplerate_retrieved", 7, "SER1", wire::i(44100)) +
                  event("shuffle_changed", 7, "SER1", wire::i(KIV_IPOD_SHUFFLE_ALBUMS)) +
                  event("repeat_changed", 7, "SER1", wire::i(KIV_IPOD_REPEAT_ONE)));
    read_until(c, [&] { return c.repeat().has_value(); });
    for (const Row &row : rows()) EXPECT_EQ(row.get(c), row.known) << row.name << " once known";

    // A number without a name in its enumeration reads as unknown, not as
    // an enumerator that does not exist.
    d.daemon.send(event("shuffle_changed", 7, "SER1", wire::i(7)) +
                  event("repeat_changed", 7, "SER1", wire::i(-5)) +
                  event("play_state_changed", 7, "SER1", wire::i(99)));
    read_until(c, [&] { return !c.repeat(); });
    read_until(c, [&] { return !c.track_state(); });
    EXPECT_FALSE(c.shuffle());
}

// A failed _sync call: the daemon's error text, or an error of the
// library's own when no reply comes within the bound or the connection is
// lost; connecting without a daemon fails the same way.
TEST_F(CppClient, FailedSyncCallsCarryTheDaemonsText) {
    d.answer_with(wire::h({{"error", wire::s("device busy")}}));
    // Each call's failure, as "text/from daemon", or "success".
    auto failure = [](const auto &result) {
        return result ? "success"
                      : result.error().text() + (result.error().from_daemon() ? "/daemon" : "/own");
    };
    auto kind = [](const auto &result) { return result ? ki::ErrorKind::none : result.error().kind(); };
    EXPECT_EQ(kind(c.play_sync()), ki::ErrorKind::daemon);
    EXPECT_EQ(failure(c.play_sync()), "device busy/daemon");
    EXPECT_EQ(failure(c.get_play_state_sync()), "device busy/daemon");
    EXPECT_EQ(failure(c.set_category_sync(ki::Category::album)), "device busy/daemon");
    EXPECT_EQ(failure(c.launch_application_sync("app")), "device busy/daemon");
    // A successful answer comes back typed.
    d.answer_with(wire::h({{"current_play_status", wire::i(KIV_IPOD_WIRE_STATUS_PAUSED)}}));
    auto status = c.get_play_state_sync();
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, ki::PlayStatus::paused);

    d.answer_raw([](const kivtest::Request &) { return std::string(); });  // never answers
    EXPECT_FALSE(c.set_timeout(std::chrono::milliseconds(50)));
    EXPECT_EQ(c.set_timeout(std::chrono::milliseconds(80)), std::chrono::milliseconds(50));
    auto start = std::chrono::steady_clock::now();
    const std::string expired = failure(c.play_sync());
    EXPECT_EQ(expired.substr(expired.size() - 4), "/own") << expired;
    EXPECT_EQ(kind(c.play_sync()), ki::ErrorKind::timeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(c.connected()) << "an expired wait keeps the connection";
    // Beyond the C range the bound is clamped, not wrapped to "none" or negative.
    c.set_timeout(std::chrono::hours(24 * 365 * 100));
    EXPECT_EQ(c.set_timeout(std::chrono::milliseconds(0)), std::chrono::milliseconds(INT32_MAX));
    EXPECT_FALSE(c.set_timeout(std::chrono::milliseconds(-5)));
    EXPECT_FALSE(ki::Client().set_timeout(std::chrono::milliseconds(5)));

    d.daemon.close_client();
    const std::string lost = failure(c.play_sync());
    EXPECT_EQ(lost.substr(lost.size() - 4), "/own") << lost;
    EXPECT_EQ(kind(c.play_sync()), ki::ErrorKind::not_connected);
    EXPECT_FALSE(c.read());
    d.daemon.stop_listening();
    EXPECT_EQ(failure(ki::Client::connect()), "the iPod daemon cannot be reached/own");
}

TEST_F(CppClient, HandlersMayCallSyncRequests) {
    d.answer_with(track_reply("current_track_info", "Fresh"));
    std::vector<std::string> titles;
    std::vector<ki::EventType> types;
    c.on_event([&](ki::Client &self, const ki::Event &e) {
        types.push_back(e.type());
        if (e.type() == ki::EventType::track_index_changed && self.current_track_info_sync())
            titles.push_back(std::string(self.title().value_or("?")));
    });
    int pings = 0;
    c.on_ping([&](ki::RequestId) { pings++; });
    d.daemon.send(event("track_index_changed", 7, "SER1", wire::i(4)) + frame(99, 54, ""));
    read_until(c, [&] { return !titles.empty() && pings == 1; });
    EXPECT_EQ(titles, std::vector<std::string>{"Fresh"});
    EXPECT_EQ(types, std::vector<ki::EventType>{ki::EventType::track_index_changed});

    // A reply handler that replaces itself while it runs.
    int first = 0, second = 0;
    c.on_reply([&](ki::Client &self, const ki::Reply &) {
        first++;
        self.on_reply([&](const ki::Reply &) { second++; });
    });
    d.answer_with(wire::i(0));
    ASSERT_TRUE(c.play());
    ASSERT_TRUE(c.play());
    read_until(c, [&] { return first + second == 2; });
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 1);
}

// The event's data as a value view, and the typed readings built on it:
// each event as "type serial data status position authenticated session datagram".
TEST_F(CppClient, EventsAreTyped) {
    std::vector<std::string> seen;
    c.on_event([&](const ki::Event &e) {
        std::string data = "-", datagram = "-";
        if (auto v = e.data()) {
            if (auto i = v->as_int()) data = std::to_string(*i);
            if (auto t = v->as_string()) data = std::string(*t);
            if (auto h = v->find("serial")) data = "hash:" + std::string(h->as_string().value_or("?"));
        }
        if (auto b = e.eap_datagram()) datagram.assign(b->begin(), b->end());
        seen.push_back(std::string(ki::to_string(e.type())) + " " + show(e.serial()) + " " + data + " " +
                       show(e.play_status()) + " " + show(e.position()) + " " + show(e.authenticated()) +
                       " " + show(e.eap_session_id()) + " " + datagram);
    });
    d.daemon.send(
        event("play_state_changed", 7, "SER1", wire::i(KIV_IPOD_WIRE_STATUS_PAUSED)) +
        event("track_position_changed", 7, "SER1", wire::i(1500)) +
        event("authenticated", 7, "SER1", wire::device("SER1", 7, 0)) +
        event("disconnected_ipod", 9, "SER9", wire::s("SER9")) +
        event("eap_data_received", 7, "SER1",
              wire::h({{"session_id", wire::i(3)}, {"length", wire::i(2)}, {"data", wire::b("hi")}})) +
        event("no_such_event", 7, "SER1"));
    read_until(c, [&] { return seen.size() == 6; });
    // PlayStatus::paused is the wire's paused status, 4.
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "play_state_changed SER1 4 4 - - - -",
                        "track_position_changed SER1 1500 - 1500ms - - -",
                        "authenticated SER1 hash:SER1 - - 0 - -",
                        "disconnected_ipod SER9 SER9 - - - - -",
                        "eap_data_received SER1 - - - - 3 hi",
                        "unknown SER1 - - - - - -",
                    }));
}

}  // namespace
