// The names and request rows of protocol.def, the one place that spells
// them; the library and the tools both compile this unit.
#include "protocol/protocol.h"

#include <string.h>

namespace {

constexpr size_t kOpcodeSlots = IPOD_OP_COUNT;

// Names by opcode; gaps stay null.
struct OpcodeNames {
    const char *name[kOpcodeSlots] = {};
    constexpr OpcodeNames() {
#define MESSAGE(n, opcode) name[opcode] = #n;
#define REQUEST(n, opcode, ready, reply_kind) name[opcode] = #n;
#include "protocol/protocol.def"
    }
};
constexpr OpcodeNames kOpcodeNames;

// Every opcode up to the largest has exactly one row: a repeated or a
// missing number fails the build (a row past IPOD_OP_COUNT already does).
constexpr size_t kRows = 0
#define MESSAGE(n, opcode) +1
#define REQUEST(n, opcode, ready, reply_kind) +1
#include "protocol/protocol.def"
    ;
constexpr size_t named_opcodes() {
    size_t named = 0;
    for (const char *name : kOpcodeNames.name) named += name != nullptr ? 1 : 0;
    return named;
}
static_assert(kRows == kOpcodeSlots, "one row per opcode");
static_assert(named_opcodes() == kOpcodeSlots, "every opcode named");

#define ANY_STATE IPOD_ANY_STATE
#define READY IPOD_READY
#define IPOD_REPLY_NO_REPLY_KIND IPOD_NO_REPLY_KIND

// Request rows by opcode; a row with a null function is no request.
struct RequestRows {
    ipod_request_row row[kOpcodeSlots] = {};
    constexpr RequestRows() {
#define REQUEST(n, opcode, ready, reply_kind) \
    row[opcode] = {"kiv_ipod_" #n, opcode, ready, IPOD_REPLY_##reply_kind};
#include "protocol/protocol.def"
    }
};
constexpr RequestRows kRequestRows;

constexpr const char *kReplyKindNames[] = {
#define REPLY_KIND(n, parser, text) #n,
#include "protocol/protocol.def"
};
static_assert(sizeof kReplyKindNames / sizeof kReplyKindNames[0] == IPOD_REPLY_KINDS, "one name per kind");

struct EventRow {
    const char *name;
    int type;
};
constexpr EventRow kEvents[] = {
#define EVENT(n, type) {#n, type},
#include "protocol/protocol.def"
};

struct PlayStateRow {
    const char *name;
    int wire;
    int state;
};
constexpr PlayStateRow kPlayStates[] = {
#define PLAY_STATE(n, wire, state) {#n, wire, state},
#include "protocol/protocol.def"
};

}  // namespace

const ipod_request_row *ipod_request(unsigned opcode) {
    if (opcode >= kOpcodeSlots || kRequestRows.row[opcode].function == nullptr) return nullptr;
    return &kRequestRows.row[opcode];
}

const char *ipod_opcode_name(unsigned opcode) {
    return opcode < kOpcodeSlots ? kOpcodeNames.name[opcode] : nullptr;
}

const char *ipod_reply_kind_name(unsigned kind) {
    return kind < IPOD_REPLY_KINDS ? kReplyKindNames[kind] : nullptr;
}

const char *ipod_event_name(int type) {
    for (const EventRow &row : kEvents)
        if (row.type == type) return row.name;
    return nullptr;
}

int ipod_event_type_of(const char *name) {
    if (name == nullptr) return IPOD_EVENT_UNKNOWN;
    for (const EventRow &row : kEvents)
        if (strcmp(row.name, name) == 0) return row.type;
    return IPOD_EVENT_UNKNOWN;
}

const char *ipod_play_state_name(int wire) {
    for (const PlayStateRow &row : kPlayStates)
        if (row.wire == wire) return row.name;
    return nullptr;
}

const char *ipod_track_state_name(int state) {
    for (const PlayStateRow &row : kPlayStates)
        if (row.state == state) return row.name;
    return nullptr;
}
