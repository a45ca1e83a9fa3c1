// White-box tests of dispatch (routing, decoding, diagnostics) and of the
// capture writer, on a handle wired to one end of a socket pair.
#include "link_fixture.h"

using namespace linktest;

namespace {

// Dispatch through kiv_ipod_read: reply routing, generic decoding with its
// per-kind adjustments, last_error lifetime and the diagnostics.
class Dispatch : public Link {
protected:
    void SetUp() override {
        Link::SetUp();
        trace();
    }
    // Queues the bytes and runs one read with its dispatch pass.
    int32_t deliver(const std::string &bytes) {
        put(bytes);
        return kiv_ipod_read(client);
    }
    std::string last() { return g_order.empty() ? std::string() : g_order.back(); }
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
        ASSERT_EQ(g_order.size(), tid - 29);
        EXPECT_EQ(last(), "reply " + std::to_string(tid++) + " " + std::to_string(row.result) +
                              (row.text ? std::string(" ") + row.text : std::string()));
        EXPECT_STREQ(client->last_error, row.text);
    }
    EXPECT_EQ(kivtest::log_count_containing("undecodable payload"), 1);
}

// A reply whose id is in a slot adjusts the handle: the track index from an
// integer, the record count from a category or database selection (with
// the success flag for the latter), the preference number; the artwork-data
// slot is never consulted.
TEST_F(Dispatch, PostProcessingByPendingSlot) {
    client->preference_type = 3;
    const std::string pref = std::to_string(static_cast<int32_t>(preference_setting_from_wire(3, 1)));
    int32_t *index = &client->current_track.track_index, *count = &client->record_count;
    const struct {
        int kind;
        uint8_t op;
        std::string payload, line;
        int32_t *field;
        int32_t value;
    } rows[] = {{IPOD_REPLY_current_track_index, 19, wire::i(5), "5", index, 5},
                {IPOD_REPLY_current_track_index, 19, "", "0", index, 5},  // no value: no adjustment
                {IPOD_REPLY_current_track_index, 19, "Zjunk", "0", index, 5},
                {IPOD_REPLY_category, 24, wire::i(-1), "0", count, -1},
                {IPOD_REPLY_category, 24, wire::h({{"error", wire::s("E")}}), "0 E", count, -1},
                {IPOD_REPLY_select_db, 26, wire::i(12), "1", count, 12},
                {IPOD_REPLY_preference, 30, wire::i(1), pref, nullptr, 0},
                {IPOD_REPLY_artwork_data, 53, wire::i(9), "9", nullptr, 0}};
    uint32_t tid = 40;
    for (const auto &row : rows) {
        SCOPED_TRACE(tid);
        client->pending[row.kind] = tid;
        deliver(frame(tid, row.op, row.payload));
        EXPECT_EQ(last(), "reply " + std::to_string(tid++) + " " + row.line);
        if (row.field) {
            EXPECT_EQ(*row.field, row.value);
        }
    }
}

TEST_F(Dispatch, RoutingTableOrderAndEmptySlots) {
    // A routed slot wins over post-processing of the same id; the uid-list
    // reply is not even decoded.
    client->pending[IPOD_REPLY_current_track_index] = 50;
    client->pending[IPOD_REPLY_uid_list] = 50;
    client->current_track.track_index = 3;
    deliver(frame(50, 45, "Zjunk"));
    EXPECT_EQ(last(), "reply 50 1");
    EXPECT_EQ(client->current_track.track_index, 3);
    EXPECT_EQ(kivtest::log_count_containing("undecodable"), 0);

    // Id 0 with every slot empty is not taken by the first slot.
    reset_cache(client);
    deliver(frame(0, 30, wire::i(8)));
    EXPECT_EQ(last(), "reply 0 8");

    // Text policy of the routed kinds: current and indexed track info,
    // artwork and sample rate hand their error text to the callback, the
    // others a null text.
    const std::pair<int, bool> kinds[] = {{IPOD_REPLY_current_track_info, true},
                                          {IPOD_REPLY_indexed_track_info, true},
                                          {IPOD_REPLY_play_state, false},
                                          {IPOD_REPLY_current_track_artwork, true},
                                          {IPOD_REPLY_sample_rate, true},
                                          {IPOD_REPLY_records, false},
                                          {IPOD_REPLY_open_session, false},
                                          {IPOD_REPLY_db_itunes_info, false},
                                          {IPOD_REPLY_db_track_info, false},
                                          {IPOD_REPLY_pb_track_info, false},
                                          {IPOD_REPLY_indexed_track_chapter_info, false},
                                          {IPOD_REPLY_uid_list, false},
                                          {IPOD_REPLY_lingo_version, false}};
    uint32_t tid = 60;
    for (const auto &[kind, passes] : kinds) {
        client->pending[kind] = tid;
        deliver(frame(tid, 30, wire::h({{"error", wire::s("E")}})));
        const std::string line = last();
        EXPECT_EQ(line.rfind("reply " + std::to_string(tid) + " ", 0), 0u) << line;
        EXPECT_EQ(line.substr(line.size() - 2) == " E", passes) << line;
        tid++;
    }
}

TEST_F(Dispatch, MissingCallbacksAndTheWaitingDiagnostic) {
    kiv_ipod_set_reply_cb(client, nullptr, nullptr);
    kiv_ipod_set_ping_cb(client, nullptr, nullptr);
    client->pending[IPOD_REPLY_current_track_info] = 70;
    EXPECT_EQ(deliver(frame(70, 15, wire::h({{"title", wire::s("kept out")}})) + frame(71, 54, "")), 2);
    EXPECT_EQ(client->current_track.title, nullptr);  // dropped unparsed
    EXPECT_EQ(kivtest::log_count_containing("Some packet didn't treated: "), 1);
    EXPECT_EQ(kivtest::log_count_containing("tid(0x46), opcode(0xf)\n"), 1);
    EXPECT_EQ(kivtest::log_count(kError, "ping_cb is not set!!!!"), 1);
    EXPECT_EQ(client->packets->next, nullptr);

    kiv_ipod_set_ping_cb(client, record_ping, nullptr);
    client->waiting = 1;
    deliver(frame(72, 54, ""));
    EXPECT_EQ(kivtest::log_count(kError, "Another thread already using this call\n"), 1);
    EXPECT_EQ(g_order, std::vector<std::string>{"ping 72"});  // the pass ran anyway
    client->waiting = 0;
}

struct Rec {
    int direction;
    uint32_t original;  // frame bytes on the wire
    std::string kept;   // frame bytes in the file
};

std::vector<Rec> records(const std::string &path) {
    const std::string s = kivtest::read_file(path);
    std::vector<Rec> out;
    for (size_t at = 24; at + 16 <= s.size();) {
        uint32_t kept = kivtest::u32_at(s, at + 8, false);
        if (at + 16 + kept > s.size()) break;
        out.push_back(
            {uint8_t(s[at + 16]), kivtest::u32_at(s, at + 12, false) - 8, s.substr(at + 24, kept - 8)});
        at += 16 + kept;
    }
    return out;
}

// The capture writer behind KIV_IPOD_CAPTURE: frames of every size (in the
// buffer, past it, past the record limit, an oversize header that ends the
// connection) are recorded exactly; a file that stops taking writes turns
// the capture off once without touching the connection.
class CaptureTest : public WiredTest {
protected:
    void SetUp() override {
        WiredTest::SetUp();
        char tmpl[] = "/tmp/link-capture.XXXXXX";
        dir = mkdtemp(tmpl);
        path = dir + "/c.pcap";
        client->capture = kiv_capture_open(path.c_str());
        ASSERT_NE(client->capture, nullptr);
    }
    void TearDown() override {
        WiredTest::TearDown();
        for (const std::string &name : names()) unlink((dir + "/" + name).c_str());
        rmdir(dir.c_str());
    }
    std::vector<std::string> names() { return kivtest::dir_names(dir); }
    // Writes `bytes` as the daemon (from a thread: they may exceed the
    // socket buffer) while the handle reads `packets` packets.
    void deliver(const std::string &bytes, int packets) {
        std::thread writer([&] { kivtest::write_all(peer, bytes.data(), bytes.size()); });
        for (int got = 0; got < packets;) {
            int32_t n = ipod_read_packets(client);
            if (n < 0) break;
            got += n;
        }
        writer.join();
    }
    std::string dir, path;
};

TEST_F(CaptureTest, EveryFrameIsRecordedExactlyWhateverItsSize) {
    // Outbound: no payload, and a payload sent in a second write.
    std::string sent[2] = {std::string(16, '\0'), std::string(16 + 10005, '\0')};
    ipod_packet requests[2] = {};
    requests[0].opcode = 6;
    requests[1].opcode = 58;
    requests[1].payload = serialize_bytes(std::string(10000, 'q').data(), 10000);
    for (int k = 0; k < 2; k++) {
        std::thread reader([&] { kivtest::read_all(peer, &sent[k][0], sent[k].size()); });
        ASSERT_GT(ipod_send(client, &requests[k]), 0);
        reader.join();
    }
    serialize_free(static_cast<serialize_value *>(requests[1].payload));

    // Inbound: sizes around the buffer and the record limit, in one stream.
    std::vector<std::string> inbound;
    for (size_t size : {size_t(0), size_t(100), size_t(KIV_CAPTURE_BUFFER), size_t(300 * 1024)})
        inbound.push_back(frame(0, 1, std::string(size, 'x')));
    std::string stream;
    for (auto &f : inbound) stream += f;
    deliver(stream, static_cast<int>(inbound.size()));
    // A header over the payload limit ends the connection; it is recorded.
    std::string oversize = frame(9, 15, "").substr(0, 12) + std::string("\x7f\0\0\0", 4);
    ASSERT_TRUE(kivtest::write_all(peer, oversize.data(), oversize.size()));
    EXPECT_LT(ipod_read_packets(client), 0);

    kiv_capture_close(client->capture);
    client->capture = nullptr;
    // The file header: pcap 2.4 little-endian, no zone or accuracy, the
    // snap length and the link type.
    EXPECT_EQ(kivtest::read_file(path).substr(0, 24),
              wire::be32(0xD4C3B2A1u) + std::string("\2\0\4\0", 4) + std::string(8, '\0') +
                  wire::be32(__builtin_bswap32(KIV_CAPTURE_SNAPLEN)) +
                  wire::be32(__builtin_bswap32(KIV_CAPTURE_LINKTYPE)));
    std::vector<Rec> got = records(path);
    ASSERT_EQ(got.size(), 2 + inbound.size() + 1);
    for (int k = 0; k < 2; k++) {
        EXPECT_EQ(got[k].direction, KIV_CAPTURE_TO_DAEMON);
        EXPECT_EQ(got[k].kept, sent[k]);
    }
    for (size_t k = 0; k < inbound.size(); k++) {
        const Rec &r = got[2 + k];
        EXPECT_EQ(r.direction, KIV_CAPTURE_FROM_DAEMON);
        EXPECT_EQ(r.original, inbound[k].size()) << k;
        EXPECT_EQ(r.kept, inbound[k].substr(0, KIV_CAPTURE_SNAPLEN - KIV_CAPTURE_PSEUDO_HEADER)) << k;
    }
    EXPECT_EQ(got.back().kept, oversize);
}

TEST_F(CaptureTest, AFailingFileTurnsCaptureOffOnceAndTheConnectionGoesOn) {
    // The capture's descriptor is the one open on the file: point it at a
    // device where every write fails.
    int capture_fd = -1;
    for (int fd = 3; fd < 1024 && capture_fd < 0; fd++) {
        char link[64], target[PATH_MAX] = {};
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        if (readlink(link, target, sizeof target - 1) > 0 && path == target) capture_fd = fd;
    }
    ASSERT_GE(capture_fd, 0);
    int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    dup2(full, capture_fd);
    close(full);

    kivtest::log_clear();
    std::string stream;
    for (int k = 0; k < 3; k++) stream += frame(0, 1, std::string(KIV_CAPTURE_BUFFER / 2, 'x'));
    deliver(stream, 3);
    deliver(stream, 3);
    EXPECT_EQ(kivtest::log_count_containing("capture: write failed"), 1);
    EXPECT_GE(client->fd, 0);
    int queued = 0;
    for (ipod_packet *p = client->packets->next; p; p = p->next) queued++;
    EXPECT_EQ(queued, 6);
}

TEST_F(CaptureTest, ADirectoryGetsAFreshFileUntilNoNameIsLeft) {
    // Descriptor 0 is a descriptor like any other: an application that
    // closed its standard input still captures into a directory, or into a
    // file it names.
    int saved_stdin = dup(0);
    close(0);
    kiv_capture *first = kiv_capture_open(dir.c_str());
    kiv_capture *named = kiv_capture_open((dir + "/named.pcap").c_str());
    const bool opened = first != nullptr && named != nullptr;
    kiv_capture_close(first);
    kiv_capture_close(named);
    dup2(saved_stdin, 0);
    close(saved_stdin);
    ASSERT_TRUE(opened);
    EXPECT_EQ(kivtest::read_file(dir + "/named.pcap").size(), 24u) << "the file header";
    unlink((dir + "/named.pcap").c_str());
    long pid = 0;
    unsigned n = 0;
    for (const std::string &name : names()) sscanf(name.c_str(), "kiv-ipod-%ld-%u.pcap", &pid, &n);
    ASSERT_EQ(pid, long(getpid()));
    // With the next 64 names taken the capture gives up instead of trying
    // forever; the next one finds the name beyond them.
    for (unsigned k = 1; k <= 64; k++)
        close(open((dir + "/kiv-ipod-" + std::to_string(pid) + "-" + std::to_string(n + k) + ".pcap").c_str(),
                   O_CREAT | O_WRONLY, 0600));
    kivtest::log_clear();
    EXPECT_EQ(kiv_capture_open(dir.c_str()), nullptr);
    EXPECT_EQ(kivtest::log_count_containing("capture: cannot create a capture file at " + dir), 1);
    kiv_capture *last = kiv_capture_open(dir.c_str());
    EXPECT_NE(last, nullptr);
    kiv_capture_close(last);
    EXPECT_EQ(names().size(), 1u + 1 + 64 + 1);
}

// A read called from a callback dispatches in turn, at most
// IPOD_MAX_NESTED_DISPATCH passes deep; deeper, it leaves what is queued
// to the passes already running, and every ping is still delivered once.
TEST_F(Link, ReadsFromCallbacksNestAtMostToTheLimit) {
    struct Depth {
        int deepest = 0, pings = 0;
    } depth;
    kiv_ipod_set_ping_cb(
        client,
        [](kiv_ipod_client *c, uint32_t, void *data) {
            auto *d = static_cast<Depth *>(data);
            d->deepest = std::max(d->deepest, int(c->dispatch_depth));
            d->pings++;
            // As a poll loop would: only with something to read.
            if (kiv_ipod_pending(c) > 0 || ipod_readable_now(c)) kiv_ipod_read(c);
            return 0;
        },
        &depth);
    std::string pings;
    for (int i = 1; i <= 3 * IPOD_MAX_NESTED_DISPATCH; i++) pings += frame(uint32_t(i), IPOD_OP_ping, "");
    put(pings);
    while (depth.pings < 3 * IPOD_MAX_NESTED_DISPATCH && ipod_readable_now(client))
        ASSERT_GE(kiv_ipod_read(client), 0);
    EXPECT_EQ(depth.pings, 3 * IPOD_MAX_NESTED_DISPATCH);
    EXPECT_EQ(depth.deepest, IPOD_MAX_NESTED_DISPATCH);
}

}  // namespace
