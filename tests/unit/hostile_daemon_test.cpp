// A daemon that misbehaves on purpose: duplicate and stale replies, a
// reply for every request preceded by one more event, a reader that takes
// its time, ping floods, device ids past 16 bits and replies that would
// make the caches hold too much. Each case checks what the application
// sees: an answer within its bound, a cache that stays as it was, a log
// that stays short. (A listen queue that never drains: AbstractConnect.)
#include <gtest/gtest.h>
#include <malloc.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime (its header is not always installed).
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#define KIV_TEST_ASAN 1
#endif

#include "cache/cache.h"
#include "cache/retained.h"
#include "events/events.h"
#include "fake_daemon.h"
#include "handle.h"
#include "link/link.h"
#include "log_capture.h"
#include "protocol/protocol.h"
#include "wired_handle.h"

using kivtest::frame;
namespace wire = kivtest::wire;

namespace {

using Clock = std::chrono::steady_clock;

int64_t ms_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Bytes the heap holds now.
uint64_t allocated_bytes() {
#ifdef KIV_TEST_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

// Runs a reply parser on a payload, as dispatch does.
int32_t parse(int32_t (*parser)(kiv_ipod_client *, const ipod_packet *), kiv_ipod_client *client,
              const std::string &payload) {
    ipod_packet packet = {};
    packet.length = uint32_t(payload.size());
    packet.payload = const_cast<char *>(payload.data());
    return parser(client, &packet);
}

void put(int peer, const std::string &bytes) {
    ASSERT_TRUE(kivtest::write_all(peer, bytes.data(), bytes.size()));
}

struct Replies {
    std::vector<std::string> seen;
    static int on_reply(kiv_ipod_client *, uint32_t tid, int32_t result, const char *, void *data) {
        static_cast<Replies *>(data)->seen.push_back(std::to_string(tid) + ":" + std::to_string(result));
        return 0;
    }
};

// A handle with one ready device (ipod_id 1) and an open session on it.
struct ReadyHandle : kivtest::WiredHandle {
    Replies replies;
    explicit ReadyHandle(int ipod_id = 1) {
        const std::string list = wire::a({wire::device("SER1", ipod_id)});
        client->devices = unserialize(list.data(), int32_t(list.size()));
        client->current_session = 0;
        client->session_opened = 1;
        client->ready = 1;
        kiv_ipod_set_reply_cb(client, Replies::on_reply, &replies);
    }
};

// What each reply kind leaves in the cache, and two different answers:
// the first is applied, the second arrives again under the same id.
struct CachedKind {
    const char *name;
    uint8_t opcode;
    std::function<uint32_t(kiv_ipod_client *)> send;
    std::function<int32_t(kiv_ipod_client *)> send_sync;
    std::string answer;
    std::string replay;
    std::function<std::string(kiv_ipod_client *)> cache;
};

std::string records_reply(std::initializer_list<const char *> texts) {
    std::vector<std::string> items = {wire::i(0), wire::i(1), wire::i(0), wire::i(int(texts.size()))};
    for (const char *t : texts) items.push_back(wire::s(t));
    return wire::a(items);
}

const std::vector<CachedKind> &cached_kinds() {
    static const std::vector<CachedKind> kinds = {
        {"play state", 18, kiv_ipod_get_play_state, kiv_ipod_get_play_state_sync,
         wire::h({{"current_play_status", wire::i(1)}, {"length", wire::i(100)}, {"position", wire::i(5)}}),
         wire::h({{"current_play_status", wire::i(2)}, {"length", wire::i(999)}, {"position", wire::i(9)}}),
         [](kiv_ipod_client *c) {
             return std::to_string(c->current_track.state) + "/" + std::to_string(c->current_track.length);
         }},
        {"records", 27, [](kiv_ipod_client *c) { return kiv_ipod_get_records(c, 0, 2); },
         [](kiv_ipod_client *c) { return kiv_ipod_get_records_sync(c, 0, 2); }, records_reply({"one", "two"}),
         records_reply({"three"}),
         [](kiv_ipod_client *c) {
             const char *first = kiv_ipod_record(c, 0);
             return std::string(first ? first : "(none)") + "/" +
                    std::to_string(serialize_array_count(kiv_ipod_records(c)));
         }},
        {"session", 4, [](kiv_ipod_client *c) { return kiv_ipod_open_session(c, 0); },
         [](kiv_ipod_client *c) { return kiv_ipod_open_session_sync(c, 0); },
         wire::h({{"result", wire::i(1)}, {"devices", wire::a({wire::device("SER1", 1)})}}),
         wire::h({{"result", wire::i(1)}, {"devices", wire::a({})}}),
         [](kiv_ipod_client *c) {
             return std::to_string(kiv_ipod_device_count(c)) + "/" + std::to_string(kiv_ipod_is_ready(c));
         }},
    };
    return kinds;
}

// A reply is applied once, whatever route it took: a second packet with
// its id, alone or during an unrelated blocking call, gets the generic
// decoding and leaves every cache as the first one left it (records whose
// texts the application holds stay valid: ASan checks the read).
TEST(HostileDaemon, DuplicateAndStaleRepliesAreAppliedOnce) {
    for (const CachedKind &kind : cached_kinds()) {
        for (bool blocking : {false, true}) {
            SCOPED_TRACE(std::string(kind.name) + (blocking ? " _sync" : " async"));
            ReadyHandle h;
            uint32_t tid;
            if (blocking) {
                put(h.peer, frame(1, kind.opcode, kind.answer));
                kind.send_sync(h.client);
                tid = 1;
            } else {
                tid = kind.send(h.client);
                ASSERT_EQ(tid, 1u);
                put(h.peer, frame(tid, kind.opcode, kind.answer));
                ASSERT_EQ(kiv_ipod_read(h.client), 1);
            }
            const std::string applied = kind.cache(h.client);
            const char *held = kiv_ipod_record(h.client, 0);
            const std::string held_text = held ? held : "";

            put(h.peer, frame(tid, kind.opcode, kind.replay));
            ASSERT_EQ(kiv_ipod_read(h.client), 1);
            EXPECT_EQ(kind.cache(h.client), applied);
            EXPECT_EQ(h.replies.seen.back(), std::to_string(tid) + ":0") << "the generic decoding";

            // The stale copy arrives ahead of the answer to another call.
            put(h.peer, frame(tid, kind.opcode, kind.replay) + frame(tid + 1, 6, wire::i(0)));
            EXPECT_EQ(kiv_ipod_play_sync(h.client), 0);
            EXPECT_EQ(kind.cache(h.client), applied);
            if (held) {
                EXPECT_EQ(std::string(held), held_text);
            }
        }
    }
}

// The usual "refresh on event" callback against a daemon that sends one
// more event ahead of every reply: each kiv_ipod_read returns after a
// bounded number of packets and the next one carries on.
TEST(HostileDaemon, RefreshOnEventCannotKeepOneReadGoing) {
    kivtest::WiredHandle h;
    h.client->ready = 1;
    std::atomic<bool> stop{false};
    std::thread daemon([&] {
        std::string request;
        while (!stop && kivtest::read_frame(h.peer, request)) {
            const std::string answer = kivtest::event("playlist_changed", 1, "A") +
                                       frame(kivtest::u32_at(request, 4), 6, wire::i(0));
            if (!kivtest::write_all(h.peer, answer.data(), answer.size())) break;
        }
    });
    struct Refresher {
        int events = 0;
        static int on_event(kiv_ipod_client *c, kiv_ipod_event *, void *data) {
            static_cast<Refresher *>(data)->events++;
            kiv_ipod_play_sync(c);
            return 0;
        }
    } refresher;
    kiv_ipod_set_event_cb(h.client, Refresher::on_event, &refresher);
    put(h.peer, kivtest::event("playlist_changed", 1, "A"));
    // One read is at most the nesting limit's worth of requests; three
    // reads go on where the last one stopped.
    for (int read = 1; read <= 3; read++) {
        const int before = refresher.events;
        auto done = std::async(std::launch::async, [&] { return kiv_ipod_read(h.client); });
        if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << "read " << read << " still running after " << refresher.events << " events";
            stop = true;
            shutdown(h.peer, SHUT_RDWR);
            done.wait();
            break;
        }
        EXPECT_GE(done.get(), 0);
        EXPECT_GT(kiv_ipod_pending(h.client), 0) << "the event read meanwhile is left for the next read";
        EXPECT_GT(refresher.events, before);
        EXPECT_LE(refresher.events - before, IPOD_MAX_NESTED_DISPATCH + 1);
    }
    EXPECT_EQ(h.client->dispatch_depth, 0u);
    stop = true;
    shutdown(h.peer, SHUT_RDWR);
    daemon.join();
}

// Thousands of pings ahead of a reply, answered from the ping callback,
// to a daemon that reads a little now and then: every answer written
// inside the blocking call shares its one deadline.
TEST(HostileDaemon, WritesFromCallbacksEndWithTheBlockingCallsBound) {
    ReadyHandle h;
    const int sndbuf = 4096;
    setsockopt(h.client->fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    kiv_ipod_set_ping_cb(
        h.client, [](kiv_ipod_client *c, uint32_t, void *) { return int(kiv_ipod_ping(c)); }, nullptr);
    std::string pings;
    for (int i = 0; i < 6000; i++) pings += frame(uint32_t(100 + i), 54, "");
    put(h.peer, pings + frame(1, 6, wire::i(0)));
    std::atomic<bool> stop{false};
    std::thread slow_reader([&] {
        char sink[4096];
        while (!stop) {
            usleep(120 * 1000);
            if (recv(h.peer, sink, sizeof sink, MSG_DONTWAIT) == 0) break;
        }
    });
    kiv_ipod_set_timeout(h.client, 200);
    kivtest::log_clear();
    const Clock::time_point start = Clock::now();
    kiv_ipod_play_sync(h.client);
    const int64_t took = ms_since(start);
    stop = true;
    slow_reader.join();
    EXPECT_LT(took, 1000);
    EXPECT_LE(kivtest::log_count_containing("send error: "), 1);
    // What the call left is handed out by the next reads, without waiting.
    for (int i = 0; i < 4 && h.client->packets->next; i++) kiv_ipod_read(h.client);
    EXPECT_EQ(h.client->packets->next, nullptr);
}

// A flood of pings on a connection that is gone: each answer fails, one
// line says so.
TEST(HostileDaemon, AFailingConnectionLogsItsSendErrorOnce) {
    ReadyHandle h;
    kiv_ipod_set_ping_cb(
        h.client, [](kiv_ipod_client *c, uint32_t, void *) { return int(kiv_ipod_ping(c)); }, nullptr);
    std::string pings;
    for (int i = 0; i < 5000; i++) pings += frame(uint32_t(i + 1), 54, "");
    put(h.peer, pings);
    for (int queued = 0, n; queued < 5000 && (n = ipod_read_packets(h.client)) > 0;) queued += n;
    close(h.peer);
    h.peer = -1;
    kivtest::log_clear();
    while (kiv_ipod_read(h.client) >= 0) {
    }
    EXPECT_EQ(h.client->packets->next, nullptr);
    EXPECT_EQ(kivtest::log_count_containing("send error: "), 1);
}

// The queue limit holds for what the packets really occupy: a flood of
// empty packets, the worst case for per-packet overhead, while nothing
// dispatches.
TEST(HostileDaemon, TheQueueLimitCountsWhatIsAllocated) {
    kivtest::WiredHandle h;
    std::thread flood([&] {
        const std::string chunk = [] {
            std::string s;
            for (int i = 0; i < 4096; i++) s += frame(uint32_t(i + 1), 54, "");
            return s;
        }();
        while (kivtest::write_all(h.peer, chunk.data(), chunk.size())) {
        }
    });
    while (ipod_read_packets(h.client) >= 0) {
    }
    uint64_t allocated = 0;
    for (ipod_packet *p = h.client->packets->next; p; p = p->next)
        allocated += malloc_usable_size(p) + sizeof(size_t);
    EXPECT_GT(allocated, uint64_t(IPOD_MAX_QUEUED) / 2);
    EXPECT_LE(allocated, uint64_t(IPOD_MAX_QUEUED));
    shutdown(h.peer, SHUT_RDWR);
    flood.join();
}

// What the limits count for a heap block is at least what the allocator
// takes for it (its usable size and one word of header), on every
// processor (blocks step by 16 bytes on i386 although a word is 4), and,
// without a sanitizer's allocator, at most one step more.
TEST(HostileDaemon, ABlockFootprintCoversWhatTheAllocatorTakes) {
    const uint64_t word = sizeof(size_t), step = std::max<uint64_t>(alignof(max_align_t), 2 * word);
    // The allocator maps a block of its own from a chunk of 128 KiB up: whole
    // pages and a header. One step below, the chunk is still on the heap.
    const size_t first_mapped = (128u << 10) - word;
    EXPECT_EQ(ipod_block_footprint(first_mapped) % static_cast<uint64_t>(sysconf(_SC_PAGESIZE)), 0u);
    EXPECT_GT(ipod_block_footprint(first_mapped), 128u << 10);
    EXPECT_EQ(ipod_block_footprint(first_mapped - step), (128u << 10) - step);
    std::vector<size_t> sizes{first_mapped - step, first_mapped};
    for (size_t n = 0; n <= 1024; n++) sizes.push_back(n);
    for (size_t n = 2048; n <= (1u << 20); n *= 2) sizes.insert(sizes.end(), {n - 1, n, n + 1});
    for (size_t n : sizes) {
        void *p = malloc(n);
        ASSERT_NE(p, nullptr);
        const uint64_t taken = malloc_usable_size(p) + sizeof(size_t);
        free(p);
        EXPECT_GE(ipod_block_footprint(n), taken) << n;
        // Whatever the allocator: below its mmap threshold a block is its
        // bytes and a header word rounded up to the allocator's step, and
        // at least four words.
        if (n < (64u << 10)) {
            EXPECT_LE(ipod_block_footprint(n), std::max<uint64_t>(n + word + step - 1, 4 * word)) << n;
            EXPECT_EQ(ipod_block_footprint(n) % step, 0u) << n;
        }
#ifndef KIV_TEST_ASAN
        if (n < (64u << 10)) {  // below the allocator's mmap threshold
            EXPECT_LE(ipod_block_footprint(n), taken + 2 * alignof(max_align_t)) << n;
        }
#endif
    }
}

// Device ids are compared whole: an event about ipod_id 65,537 is not about
// device 1, and an id the event record cannot carry matches no device.
TEST(HostileDaemon, EventsMatchTheWholeDeviceId) {
    struct Case {
        int device_id;
        int event_id;
        bool applies;
    };
    const Case cases[] = {
        {1, 1, true}, {1, 65537, false}, {65537, 65537, false}, {1, -65535, false}, {65535, 65535, true}};
    for (const Case &k : cases) {
        SCOPED_TRACE(std::to_string(k.device_id) + " " + std::to_string(k.event_id));
        ReadyHandle h(k.device_id);
        h.client->current_track.state = 0;
        put(h.peer, kivtest::event("play_state_changed", k.event_id, "SER1", wire::i(3)));
        ASSERT_EQ(kiv_ipod_read(h.client), 1);
        EXPECT_EQ(h.client->current_track.state, k.applies ? 3 : 0);
    }
}

// Replies of every cached kind, each within the payload limit but decoding
// to many times its size: together the caches hold at most the retained
// limit, and a reply past it is refused with one line and leaves its cache.
TEST(HostileDaemon, TheCachesTogetherHoldAtMostTheRetainedLimit) {
    ReadyHandle h;
    const uint64_t before = allocated_bytes();
    auto texts = [](size_t n, std::vector<std::string> head) {
        head.insert(head.end(), n, wire::s("x"));
        return wire::a(head);
    };
    auto tracks = [](const char *marker, int n) {
        std::vector<std::pair<std::string, std::string>> entries = {{marker, wire::i(0)}};
        for (int i = 0; i < n; i++)
            entries.push_back({"t" + std::to_string(i), wire::h({{"uid", wire::b("12345678")}})});
        return wire::h(entries);
    };
    auto records = [&](size_t n) { return texts(n, {wire::i(0), wire::i(1), wire::i(0), wire::i(int(n))}); };
    using Parser = int32_t (*)(kiv_ipod_client *, const ipod_packet *);
    struct Cache {
        Parser parse;
        int kind;
        std::function<std::string(size_t)> reply;
        double share;     // of the limit, filled before the last one
        int32_t refused;  // the parser's result for a list that does not fit
    };
    const Cache caches[] = {
        {set_records, IPOD_RETAINED_RECORDS, records, 0.3, 0},
        {set_indexed_track_chapter_info, IPOD_RETAINED_CHAPTERS,
         [&](size_t n) { return texts(n, {wire::i(0)}); }, 0.2, -1},
        {set_db_track_info, IPOD_RETAINED_DB_TRACKS,
         [&](size_t n) { return tracks("get_db_track_info", int(n)); }, 0.3, -1},
        {set_pb_track_info, IPOD_RETAINED_PB_TRACKS,
         [&](size_t n) { return tracks("get_pb_track_info", int(n)); }, 0.0, -1},
    };
    // What one element weighs in each cache on this processor (pointers of
    // 4 or 8 bytes), from a list of 1,000.
    uint64_t weight[4];
    kivtest::log_clear();
    for (int k = 0; k < 4; k++) {
        ASSERT_EQ(parse(caches[k].parse, h.client, caches[k].reply(1000)), 1);
        weight[k] = h.client->retained[caches[k].kind] / 1000;
        ASSERT_GT(weight[k], 0u);
    }
    // Three caches take 80% of the limit; a cache filled anew replaces
    // what it held.
    for (int k = 0; k < 3; k++) {
        const std::string fill = caches[k].reply(size_t(IPOD_MAX_RETAINED * caches[k].share) / weight[k]);
        ASSERT_LE(fill.size(), IPOD_MAX_PAYLOAD);
        EXPECT_EQ(parse(caches[k].parse, h.client, fill), 1) << k;
        if (k == 0) {
            EXPECT_EQ(parse(caches[k].parse, h.client, fill), 1);
        }
    }
    EXPECT_EQ(kivtest::log_count_containing("over the limit of"), 0);
    // In every cache, a list just past the room left does not fit (and is
    // freed: the leak checker sees it otherwise), and the cache stays as it
    // was.
    const auto *held = kiv_ipod_get_result_pb_track_info(h.client);
    std::string too_many;  // the last one, a track list, is kept for later
    for (int k = 0; k < 4; k++) {
        SCOPED_TRACE(k);
        const uint64_t kept = h.client->retained[caches[k].kind];
        const uint64_t room = IPOD_MAX_RETAINED - cache_retained_total(h.client) + kept;
        too_many = caches[k].reply(size_t(room / weight[k]) + 1000);
        ASSERT_LE(too_many.size(), IPOD_MAX_PAYLOAD);
        EXPECT_EQ(parse(caches[k].parse, h.client, too_many), caches[k].refused);
        EXPECT_EQ(h.client->retained[caches[k].kind], kept);
        EXPECT_EQ(kiv_ipod_last_error_kind(h.client), KIV_IPOD_ERROR_LIMIT);
    }
    EXPECT_EQ(kiv_ipod_get_result_pb_track_info(h.client), held);
    EXPECT_EQ(kivtest::log_count_containing("over the limit of"), 4);
    // Device events with large records, as many as the list takes.
    const std::vector<std::string> pad(40000, wire::s("x"));
    for (int k = 0; k < KIV_IPOD_MAX_DEVICES; k++) {
        const std::string serial = "D" + std::to_string(k);
        const std::string record =
            wire::h({{"serial", wire::s(serial)}, {"ipod_id", wire::i(100 + k)}, {"pad", wire::a(pad)}});
        const std::string event = kivtest::event("connected_ipod", 100 + k, serial, record);
        ipod_packet packet = {};
        packet.opcode = IPOD_OP_event;
        packet.length = uint32_t(event.size() - IPOD_HEADER_SIZE);
        packet.payload = const_cast<char *>(event.data() + IPOD_HEADER_SIZE);
        kiv_ipod_event_free(event_decode(h.client, &packet));
    }
    EXPECT_GT(kiv_ipod_device_count(h.client), 1);
    EXPECT_LT(kiv_ipod_device_count(h.client), KIV_IPOD_MAX_DEVICES);
    // What the library holds: all but the test's own copy of the reply.
    EXPECT_LE(allocated_bytes() - before - too_many.capacity(), uint64_t(IPOD_MAX_RETAINED) + (4u << 20));
    // Once a reset empties the caches, the refused reply is taken.
    reset_cache(h.client);
    EXPECT_EQ(parse(set_pb_track_info, h.client, too_many), 1);
}

// Texts the daemon chose enter a log line cut to 256 bytes, whatever their
// size: a 1 MB title, serial or event name makes records of bounded size.
TEST(HostileDaemon, DaemonTextsInLogLinesAreBounded) {
    ReadyHandle h;
    const std::string huge(1 << 20, 'x');
    kivtest::log_clear();
    std::thread daemon([&] {
        put(h.peer, kivtest::event(huge, 1, "SER1"));
        put(h.peer, kivtest::event("connected_ipod", 1, huge, wire::h({{"serial", wire::s(huge)}})));
    });
    for (int events = 0; events < 2;) {
        const int32_t n = kiv_ipod_read(h.client);
        ASSERT_GE(n, 0);
        events += n;
    }
    daemon.join();
    EXPECT_EQ(
        parse(
            set_indexed_track_info, h.client,
            wire::h({{"indexed_track_info", wire::i(1)}, {"title", wire::s(huge)}, {"length", wire::i(0)}})),
        1);
    kiv_ipod_indexed_track_title(h.client);
    kiv_ipod_device_index(h.client, huge.c_str());
    size_t longest = 0;
    for (const kivtest::LogRecord &r : kivtest::log_records()) longest = std::max(longest, r.text.size());
    EXPECT_GT(kivtest::log_records().size(), 3u);
    EXPECT_LE(longest, 400u);
    EXPECT_EQ(kivtest::log_count(3, "type=" + std::string(256, 'x')), 1);
}

}  // namespace
