// Properties of the protocol table as the library sees it: every opcode
// named once, the request rows complete and used by the sender (opcode on
// the wire, readiness rule, the slot its id goes to), every slot reachable,
// event names and play states that map both ways.
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <set>
#include <string>

#include "handle.h"
#include "link/link.h"
#include "protocol/protocol.h"
#include "requests/request.h"
#include "wired_handle.h"

namespace {

TEST(ProtocolTable, EveryOpcodeHasOneNameAndRequestsTheirFunction) {
    std::set<std::string> names;
    for (unsigned op = 0; op < IPOD_OP_COUNT; op++) {
        SCOPED_TRACE(op);
        const char *name = ipod_opcode_name(op);
        ASSERT_NE(name, nullptr);
        EXPECT_TRUE(names.insert(name).second) << name << " names two opcodes";
        const ipod_request_row *row = ipod_request(op);
        // The four opcodes below the requests are no request of the interface.
        EXPECT_EQ(row == nullptr, op < IPOD_OP_open_session);
        if (row == nullptr) continue;
        EXPECT_EQ(row->opcode, op);
        EXPECT_EQ(std::string(row->function), std::string("kiv_ipod_") + name);
        EXPECT_LE(row->reply_kind, IPOD_NO_REPLY_KIND);
    }
    for (unsigned op : {static_cast<unsigned>(IPOD_OP_COUNT), 200u, 255u, 65535u}) {
        EXPECT_EQ(ipod_opcode_name(op), nullptr);
        EXPECT_EQ(ipod_request(op), nullptr);
    }
    EXPECT_STREQ(ipod_opcode_name(0), "open");
    EXPECT_STREQ(ipod_opcode_name(IPOD_OP_ping), "ping");
}

// A slot that no request fills would be dead weight in every handle; the
// uid-list slot is the one that two requests share.
TEST(ProtocolTable, EverySlotIsFilledByARequest) {
    int fillers[IPOD_REPLY_KINDS] = {};
    for (unsigned op = 0; op < IPOD_OP_COUNT; op++)
        if (const ipod_request_row *row = ipod_request(op))
            if (row->reply_kind < IPOD_REPLY_KINDS) fillers[row->reply_kind]++;
    std::set<std::string> names;
    for (int kind = 0; kind < IPOD_REPLY_KINDS; kind++) {
        SCOPED_TRACE(ipod_reply_kind_name(kind));
        EXPECT_TRUE(names.insert(ipod_reply_kind_name(kind)).second);
        EXPECT_EQ(fillers[kind], kind == IPOD_REPLY_uid_list ? 2 : 1);
    }
    EXPECT_EQ(ipod_reply_kind_name(IPOD_REPLY_KINDS), nullptr);
}

TEST(ProtocolTable, EventNamesAndPlayStatesMapBothWays) {
    int named = 0;
    for (int type = -1; type <= 256; type++) {
        const char *name = ipod_event_name(type);
        if (name == nullptr) continue;
        named++;
        EXPECT_EQ(ipod_event_type_of(name), type) << name;
        EXPECT_STREQ(kiv_ipod_event_name(type), name);
    }
    EXPECT_EQ(named, 17);
    for (const char *other : {"", "ipod_readyy", "IPOD_READY", "connected"})
        EXPECT_EQ(ipod_event_type_of(other), IPOD_EVENT_UNKNOWN) << other;
    EXPECT_EQ(ipod_event_type_of(nullptr), IPOD_EVENT_UNKNOWN);

    // The daemon's codes 0..5 and the library's states 0..5 are the same
    // six states, each with one name.
    std::set<int> states;
    for (int wire = -1; wire <= 6; wire++) {
        const int state = ipod_track_state_from_wire(wire);
        if (wire < 0 || wire > 5) {
            EXPECT_EQ(state, -1);
            EXPECT_EQ(ipod_play_state_name(wire), nullptr);
            continue;
        }
        EXPECT_TRUE(states.insert(state).second);
        ASSERT_NE(ipod_play_state_name(wire), nullptr);
        EXPECT_STREQ(ipod_track_state_name(state), ipod_play_state_name(wire));
    }
    EXPECT_EQ(states, (std::set<int>{0, 1, 2, 3, 4, 5}));
}

// Reads one frame from the daemon's end: its opcode and transaction id.
bool read_frame(int peer, unsigned *opcode, uint32_t *tid) {
    uint8_t header[IPOD_HEADER_SIZE];
    size_t got = 0;
    while (got < sizeof header) {
        ssize_t n = read(peer, header + got, sizeof header - got);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    const uint8_t *t = header + IPOD_HEADER_TID_AT;
    *tid = (uint32_t(t[0]) << 24) | (uint32_t(t[1]) << 16) | (uint32_t(t[2]) << 8) | t[3];
    *opcode = header[IPOD_HEADER_OPCODE_AT];
    return header[0] == IPOD_HEADER_MARKER;
}

// Every row, sent the way the request functions send: its opcode reaches
// the daemon, its id lands in its own slot and in no other, and a handle
// that is not ready refuses exactly the rows that need readiness.
TEST(ProtocolTable, TheSenderFollowsEveryRow) {
    for (int ready = 0; ready < 2; ready++) {
        kivtest::WiredHandle h;
        h.client->ready = static_cast<uint32_t>(ready);
        for (unsigned op = 0; op < IPOD_OP_COUNT; op++) {
            const ipod_request_row *row = ipod_request(op);
            if (row == nullptr) continue;
            SCOPED_TRACE(row->function);
            uint32_t before[IPOD_REPLY_KINDS];
            memcpy(before, h.client->pending, sizeof before);
            const uint32_t tid =
                kiv_req::send_ints(h.client, static_cast<ipod_opcode>(op), kiv_req::Shape::kNone);
            if (!ready && row->ready == IPOD_READY) {
                EXPECT_EQ(tid, 0u);
                EXPECT_EQ(memcmp(before, h.client->pending, sizeof before), 0);
                continue;
            }
            ASSERT_NE(tid, 0u);
            unsigned wire_op = 0;
            uint32_t wire_tid = 0;
            ASSERT_TRUE(read_frame(h.peer, &wire_op, &wire_tid));
            EXPECT_EQ(wire_op, op);
            EXPECT_EQ(wire_tid, tid);
            for (int kind = 0; kind < IPOD_REPLY_KINDS; kind++)
                EXPECT_EQ(h.client->pending[kind], kind == row->reply_kind ? tid : before[kind])
                    << ipod_reply_kind_name(kind);
        }
    }
}

}  // namespace
