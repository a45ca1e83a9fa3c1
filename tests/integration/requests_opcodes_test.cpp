// Walks the whole request table: for every request, the opcode and payload
// bytes that reach the daemon, the refusal while not ready, and the _sync
// result for a success reply, an error reply and a lost connection.
#include <map>

#include "request_table.h"

namespace {

using namespace reqtest;
using namespace reqtable;

const std::string kErrorReply = wire::h({{"error", wire::s("boom")}});

// The entry line (kv_debug) of the requests that write one, for the
// arguments of the table; the others write none.
const std::map<uint8_t, std::string> kEntryLines = {
    {4, "kiv_ipod_open_session, index=0\n"},
    {35, "kiv_ipod_set_statechange 5 5H"},
    {38, "kiv_ipod_get_videooutoptions 7 7H"},
    {39, "kiv_ipod_set_videooutoptions 9 9H"},
    {40, "kiv_ipod_navigate_videoout 3 3H"},
    {42, "kiv_ipod_get_db_itunes_info, type=1\n"},
    {43, "kiv_ipod_get_db_track_info, offset=0, count=5\n"},
    {44, "kiv_ipod_get_pb_track_info, offset=2, count=3\n"},
    {45, "kiv_ipod_prepare_uid_list, cur=1, max=2, data_len=3\n"},
    {46, "kiv_ipod_play_uid_list\n"},
    {48, "kiv_ipod_set_current_playing_track_chapter, index=6\n"},
    {49, "kiv_ipod_set_current_playing_track, index=7\n"},
    {51,
     "kiv_ipod_set_bluetooth_hw_info, device_class=0x00240404, pairing_type=1, pin_code=****, "
     "address=00:11:22:33:44:55\n"},
    {52, "kiv_ipod_set_bluetooth_state, connected=1 serial=SER1\n"},
    {53, "kiv_ipod_get_artwork_data\n"},
    {56, "kiv_ipod_set_config, config_key=key, config_value=value\n"},
    {58, "kiv_ipod_send_eap_datagram, session_id=3, data_len=4"},
};

std::vector<std::string> debug_lines() {
    std::vector<std::string> lines;
    for (const auto &rec : kivtest::log_records())
        if (rec.priority == kDebug) lines.push_back(rec.text);
    return lines;
}

// The _sync form against a daemon that answers the row's opcode with `reply`.
int32_t sync_with_reply(Daemon &d, const Row &r, const std::string &reply) {
    uint8_t op = r.opcode;
    d.answer([op, reply](const kivtest::Request &q) {
        return frame(q.tid, q.opcode, q.opcode == op ? reply : wire::i(0));
    });
    Client c(d, true);
    return r.sync(c.client);
}

TEST(RequestTable, EveryOpcodeSendsRefusesAndDecodes) {
    Daemon d;
    std::vector<uint8_t> seen;
    for (const Row &r : table()) {
        SCOPED_TRACE(r.name);
        if (seen.empty() || seen.back() != r.opcode) seen.push_back(r.opcode);

        // Sent while ready: opcode, payload and transaction id.
        {
            d.answer_with(wire::i(0));
            Client c(d, true);
            uint32_t tid = r.async(c.client);
            EXPECT_NE(tid, 0u);
            ASSERT_TRUE(d.daemon.wait_requests(1));
            auto got = d.requests();
            ASSERT_EQ(got.size(), 1u);
            EXPECT_EQ(got[0].opcode, r.opcode);
            EXPECT_EQ(got[0].payload, r.payload);
            if (r.opcode != 33) {
                EXPECT_EQ(got[0].tid, tid);
            }
            EXPECT_EQ(static_cast<uint8_t>(got[0].header[0]), 0xFE);
            if (kEntryLines.count(r.opcode)) {
                EXPECT_EQ(kivtest::log_count(kDebug, kEntryLines.at(r.opcode)), 1);
            }
        }

        // Not ready: refused with its own name, or sent all the same.
        {
            Client c(d, false);
            uint32_t tid = r.async(c.client);
            if (r.tested) {
                EXPECT_EQ(tid, 0u);
                // The entry line comes before the readiness test; nothing after it.
                std::vector<std::string> expected;
                if (kEntryLines.count(r.opcode)) expected.push_back(kEntryLines.at(r.opcode));
                expected.push_back(std::string("not ready ") + r.name + "\n");
                EXPECT_EQ(debug_lines(), expected);
                c.expect_nothing_sent();
                if (r.sync) {
                    EXPECT_EQ(r.sync(c.client), r.d.lost);
                    c.expect_nothing_sent();
                }
            } else {
                EXPECT_NE(tid, 0u);
                ASSERT_TRUE(d.daemon.wait_requests(1));
                EXPECT_EQ(d.requests()[0].opcode, r.opcode);
                EXPECT_EQ(kivtest::log_count_containing("not ready"), 0);
            }
        }

        if (!r.sync) continue;
        EXPECT_EQ(sync_with_reply(d, r, r.d.ok_reply), r.d.ok) << "success reply";
        if (r.d.error != kUnchecked) {
            EXPECT_EQ(sync_with_reply(d, r, kErrorReply), r.d.error) << "error reply";
        }

        // The daemon drops the connection instead of answering, or never
        // answers: with a bound the wait ends, naming the waiting function,
        // and the connection stays.
        for (bool drop : {true, false}) {
            d.answer_with(wire::i(0));
            Client c(d, true);
            uint8_t op = r.opcode;
            d.answer_raw([op](const kivtest::Request &q) {
                return q.opcode == op ? std::string() : frame(q.tid, q.opcode, wire::i(0));
            });
            if (!drop) kiv_ipod_set_timeout(c.client, 20);
            std::thread closer([&d, drop] {
                if (!drop) return;
                d.daemon.wait_requests(1, 5000);
                d.daemon.close_client();
            });
            EXPECT_EQ(r.sync(c.client), r.d.lost) << (drop ? "lost connection" : "no reply");
            closer.join();
            EXPECT_EQ(kiv_ipod_fd(c.client) >= 0, !drop);
            if (drop) continue;
            const std::string line = ", no reply within 20 ms\n";
            const std::string name = r.name;
            EXPECT_EQ(kivtest::log_count(kError, name + "_sync" + line) +
                          kivtest::log_count(kError, "_" + name + "_sync" + line) +
                          kivtest::log_count(kError, name + line),
                      1);
        }
    }
    // Every request opcode from 4 to 58 was walked.
    std::vector<uint8_t> expected;
    for (int op = 4; op <= 58; op++) expected.push_back(static_cast<uint8_t>(op));
    EXPECT_EQ(seen, expected);
}

}  // namespace
