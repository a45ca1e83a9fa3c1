// Reading the traffic captures (KIV_IPOD_CAPTURE, kiv-ipod-simd --capture):
// pcap files of link type 147 whose records hold an 8-byte pseudo-header
// (direction, three zero bytes, big-endian connection number) and then a
// frame. `kiv-ipod dump` prints them and `kiv-ipod-simd --replay` plays
// them back; both read them here and print a frame the same way.
#ifndef KIV_TOOLS_CAPTURE_READER_H
#define KIV_TOOLS_CAPTURE_READER_H

#include <stdint.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "protocol/protocol.h"

namespace kivcap {

constexpr uint32_t kLinkType = 147;
constexpr uint32_t kPseudoHeader = 8;
constexpr uint32_t kHeaderSize = IPOD_HEADER_SIZE;
// Largest record accepted: what the writers keep at most.
constexpr uint32_t kMaxRecord = 256 * 1024;

uint32_t be32(const uint8_t *p);

// One record: its number in the file (from 1), time, lengths and body
// (pseudo-header and the frame, `kept` bytes).
struct Record {
    uint64_t number = 0;
    uint32_t seconds = 0, micros = 0;
    uint32_t kept = 0, original = 0;
    std::vector<uint8_t> body;

    bool to_daemon() const { return body[0] == 0; }
    uint32_t connection() const { return be32(body.data() + 4); }
    const uint8_t *frame() const { return body.data() + kPseudoHeader; }
    uint32_t frame_size() const { return kept - kPseudoHeader; }
    bool cut() const { return original > kept; }
};

// Reads a capture record by record. Every length is checked against the
// bytes there are: a record past kMaxRecord, shorter than its
// pseudo-header or longer than its original length is refused.
class Reader {
public:
    // Opens and checks the file header; false with the reason.
    bool open(const std::string &path, std::string &why);
    enum Result { kRecord, kEnd, kFault };
    // The next record; kFault with the reason for a file that ends inside
    // a record or holds an impossible length.
    Result next(Record &record, std::string &why);

private:
    uint32_t u32(const uint8_t *p) const;

    std::ifstream in_;
    bool swapped_ = false;
    uint64_t number_ = 0;
};

// A record's frame decoded: header fields, the payload's value tree (as
// JSON; bytes as hex text) and what is wrong with it.
struct Frame {
    uint32_t tid = 0, length = 0;
    unsigned op = 0;
    nlohmann::json value;
    bool has_value = false;
    std::vector<std::string> problems;
    std::string event;  // the name of an event from the daemon
};

Frame decode(const Record &record);
std::string opcode_name(unsigned op);
// The time of day (UTC) of a record: HH:MM:SS.uuuuuu.
std::string time_of_day(uint32_t seconds, uint32_t micros);
// The one line that `kiv-ipod dump` prints for a record (no newline).
std::string line(const Record &record, const Frame &frame);
// The value tree that `dump -v` adds under the line ("" without a value).
std::string tree(const Frame &frame);
// The object that `dump --json` prints for a record.
nlohmann::json to_json(const Record &record, const Frame &frame);

}  // namespace kivcap

#endif
