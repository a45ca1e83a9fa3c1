// Shared machinery of the request functions: readiness refusal, sending a
// payload, pending-reply slots and the decodings of the _sync forms.
#ifndef KIV_REQUESTS_REQUEST_H
#define KIV_REQUESTS_REQUEST_H

#include <stdint.h>

#include <initializer_list>

#include "handle.h"
#include "link/link.h"
#include "protocol/protocol.h"

namespace kiv_req {

// Requests are named by their opcode; their row in protocol.def gives the
// function name, the readiness rule and the pending-reply slot.

// The exported name of a request ("kiv_ipod_play"), for log lines.
const char *name_of(ipod_opcode op);

// Payload shapes of the uniform requests.
enum class Shape { kNone, kInt, kIntArray };

// Readiness test: logs "not ready %s\n" and returns false when the request
// must not be sent (also for a null handle).
bool ready_for(kiv_ipod_client *client, ipod_opcode op);

// Sends `payload` (taken over and freed, may be null) with the request's
// opcode, stores the id in its reply kind's slot and returns it. No readiness test.
uint32_t send_payload(kiv_ipod_client *client, ipod_opcode op, serialize_value *payload);

// Readiness test, then builds the payload from `ints` in the given shape
// and sends it. Returns the transaction id or 0.
uint32_t send_ints(kiv_ipod_client *client, ipod_opcode op, Shape shape,
                   std::initializer_list<int32_t> ints = {});

// Logs one kv_error line and returns false for a caller's byte range that
// cannot be read: a negative length, or a null pointer with bytes to read.
bool valid_range(kiv_ipod_client *client, const char *name, const void *data, int32_t length);
// Logs one kv_error line and returns false for a null text.
bool valid_text(kiv_ipod_client *client, const char *name, const char *what, const char *text);

// Builds a SERIALIZE_BYTES value of `length` bytes (empty for 0, whatever
// `data` holds).
serialize_value *bytes_value(const void *data, int32_t length);

// The waits below take `name`, the exported name of the waiting function
// (its __func__), for the line that reports an expired bound. Dispatching
// waits apply the packets in arrival order: what arrived before the reply
// is dispatched, then the reply is decoded, then the rest is dispatched.

// Waits for the reply to `tid`; null when tid is 0, the connection ends or
// the bound passes. Returned after everything else was dispatched: only
// for replies that change nothing on the handle.
ipod_packet *wait_reply(kiv_ipod_client *client, uint32_t tid, const char *name, bool dispatch);

// Standard decoding of a reply: its integer, or -1 (an "error" hash also
// sets last_error). Frees the packet.
int32_t standard_result(kiv_ipod_client *client, ipod_packet *reply);
// Sends nothing: waits for `tid` and decodes the standard way (-1 for 0).
int32_t wait_standard(kiv_ipod_client *client, uint32_t tid, const char *name, bool dispatch = true);
// Waits for `tid`, frees the reply unread, returns 0.
int32_t wait_discard(kiv_ipod_client *client, uint32_t tid, const char *name);

using Parser = int32_t (*)(kiv_ipod_client *, const ipod_packet *);
// Waits for `tid` and hands the reply (or none) to `parser`; frees it.
// A null handle returns `no_client` without running the parser.
int32_t wait_parsed(kiv_ipod_client *client, uint32_t tid, const char *name, Parser parser,
                    int32_t no_client = -1);

// Text for a log line: "(null)" for a null pointer.
inline const char *shown(const char *text) {
    return text != nullptr ? text : "(null)";
}

}  // namespace kiv_req

#endif  // KIV_REQUESTS_REQUEST_H
