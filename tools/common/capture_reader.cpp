// Reading and printing capture records; see capture_reader.h.
#include "capture_reader.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace kivcap {

using json = nlohmann::json;

namespace {

// Deepest nesting decoded; deeper containers are reported, not followed.
constexpr int kMaxDepth = 64;
constexpr size_t kSummaryWidth = 100;

}  // namespace

std::string opcode_name(unsigned op) {
    if (const char *name = ipod_opcode_name(op)) return name;
    return "opcode_" + std::to_string(op);
}

uint32_t be32(const uint8_t *p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

namespace {

std::string hex(const uint8_t *p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t k = 0; k < n; k++) {
        out += digits[p[k] >> 4];
        out += digits[p[k] & 15];
    }
    return out;
}

// One decoded value: the tree as JSON (bytes as hex text), plus a
// one-line and an indented rendering.
struct Decoder {
    const uint8_t *data = nullptr;
    uint32_t end = 0;
    uint32_t at = 0;
    std::string error;  // the first fault met

    bool fail(const std::string &why) {
        if (error.empty()) error = why + " at payload offset " + std::to_string(at);
        return false;
    }
    bool need(uint32_t n) { return end - at >= n ? true : fail("length past the payload"); }

    // Text of a number or key: ends at its first NUL.
    static std::string text(const uint8_t *p, uint32_t n) {
        const void *nul = memchr(p, 0, n);
        return std::string(reinterpret_cast<const char *>(p),
                           nul ? static_cast<size_t>(static_cast<const uint8_t *>(nul) - p) : n);
    }

    // Decodes the value at `at` into `out`; false on an undecodable value.
    // Inside a container an unknown letter is skipped (one byte), as the
    // library does; at the top it makes the payload undecodable.
    bool value(json &out, int depth, bool *skipped) {
        if (!need(1)) return false;
        uint8_t letter = data[at];
        if (skipped) *skipped = false;
        switch (letter) {
            case 'i':
            case 'f': {
                at++;
                if (!need(1)) return false;
                uint32_t n = data[at++];
                if (!need(n)) return false;
                std::string t = text(data + at, n);
                at += n;
                if (letter == 'i') {
                    out = json{{"int", atoll(t.c_str())}};
                } else {
                    out = json{{"float", t}};
                }
                return true;
            }
            case 's':
            case 'b': {
                at++;
                if (!need(4)) return false;
                uint32_t n = be32(data + at);
                at += 4;
                if (!need(n)) return false;
                if (letter == 's')
                    out = json{{"string", std::string(reinterpret_cast<const char *>(data + at), n)}};
                else
                    out = json{{"bytes", hex(data + at, n)}};
                at += n;
                return true;
            }
            case 'a':
            case 'h': {
                at++;
                if (!need(8)) return false;
                uint32_t count = be32(data + at + 4);
                at += 8;
                if (depth >= kMaxDepth) return fail("nesting deeper than " + std::to_string(kMaxDepth));
                json items = json::array();
                for (uint32_t k = 0; k < count && at < end; k++) {
                    json entry;
                    std::string key;
                    if (letter == 'h') {
                        if (!need(2)) return false;
                        uint32_t klen = (uint32_t(data[at]) << 8) | data[at + 1];
                        at += 2;
                        if (!need(klen)) return false;
                        key = text(data + at, klen);
                        at += klen;
                    }
                    bool skip = false;
                    if (!value(entry, depth + 1, &skip)) return false;
                    if (skip) continue;
                    if (letter == 'h')
                        items.push_back(json{{"key", key}, {"value", entry}});
                    else
                        items.push_back(entry);
                }
                out = letter == 'a' ? json{{"array", items}} : json{{"hash", items}};
                return true;
            }
            default:
                if (!skipped) return fail("unknown type letter 0x" + hex(&letter, 1));
                at++;
                *skipped = true;
                if (error.empty()) error = "unknown type letter 0x" + hex(&letter, 1) + " skipped";
                return true;
        }
    }
};

std::string quoted(const std::string &s) {
    return json(s).dump(-1, ' ', false, json::error_handler_t::replace);
}

// One line: {key: value, ...} / [a, b] / 1 / 1.5 / "text" / <hex>.
std::string inline_text(const json &v) {
    if (v.contains("int")) return std::to_string(v["int"].get<long long>());
    if (v.contains("float")) return v["float"].get<std::string>();
    if (v.contains("string")) return quoted(v["string"].get<std::string>());
    if (v.contains("bytes")) return "<" + v["bytes"].get<std::string>() + ">";
    std::string out;
    if (v.contains("array")) {
        out = "[";
        for (const auto &e : v["array"]) out += (out.size() > 1 ? ", " : "") + inline_text(e);
        return out + "]";
    }
    out = "{";
    for (const auto &e : v["hash"])
        out += (out.size() > 1 ? ", " : "") + e["key"].get<std::string>() + ": " + inline_text(e["value"]);
    return out + "}";
}

void tree_text(const json &v, const std::string &indent, const std::string &label, std::string &out) {
    if (v.contains("array") || v.contains("hash")) {
        bool array = v.contains("array");
        const json &items = array ? v["array"] : v["hash"];
        out += indent + label + (array ? "array" : "hash") + " (" + std::to_string(items.size()) + ")\n";
        size_t k = 0;
        for (const auto &e : items) {
            if (array)
                tree_text(e, indent + "  ", "[" + std::to_string(k++) + "] ", out);
            else
                tree_text(e["value"], indent + "  ", e["key"].get<std::string>() + ": ", out);
        }
        return;
    }
    const char *kind = v.contains("int")      ? "int "
                       : v.contains("float")  ? "float "
                       : v.contains("string") ? "string "
                                              : "bytes ";
    out += indent + label + kind + inline_text(v) + "\n";
}

// The "event" text of an event hash, or empty.
std::string event_of(const json &v) {
    if (!v.contains("hash")) return "";
    for (const auto &e : v["hash"])
        if (e["key"] == "event" && e["value"].contains("string")) return e["value"]["string"];
    return "";
}

}  // namespace

uint32_t Reader::u32(const uint8_t *p) const {
    uint32_t le = uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
    return swapped_ ? be32(p) : le;
}

bool Reader::open(const std::string &path, std::string &why) {
    in_.open(path, std::ios::binary);
    if (!in_) {
        why = std::string("cannot open: ") + strerror(errno);
        return false;
    }
    uint8_t fh[24];
    if (!in_.read(reinterpret_cast<char *>(fh), sizeof fh)) {
        why = "not a capture file (too short)";
        return false;
    }
    if (be32(fh) == 0xD4C3B2A1u) {
        swapped_ = false;
    } else if (be32(fh) == 0xA1B2C3D4u) {
        swapped_ = true;
    } else {
        why = "not a capture file (no pcap header)";
        return false;
    }
    if (u32(fh + 20) != kLinkType) {
        why = "not a kiv-ipod capture (link type " + std::to_string(u32(fh + 20)) + ", expected " +
              std::to_string(kLinkType) + ")";
        return false;
    }
    return true;
}

Reader::Result Reader::next(Record &record, std::string &why) {
    const uint64_t number = ++number_;
    uint8_t rh[16];
    in_.read(reinterpret_cast<char *>(rh), sizeof rh);
    if (in_.gcount() == 0) return kEnd;
    if (in_.gcount() != sizeof rh) {
        why = "ends inside the header of record " + std::to_string(number);
        return kFault;
    }
    const uint32_t kept = u32(rh + 8), original = u32(rh + 12);
    if (kept > kMaxRecord || kept < kPseudoHeader || kept > original) {
        why = "record " + std::to_string(number) + " has an impossible length " + std::to_string(kept);
        return kFault;
    }
    record.body.resize(kept);
    if (!in_.read(reinterpret_cast<char *>(record.body.data()), kept)) {
        why = "ends inside record " + std::to_string(number);
        return kFault;
    }
    record.number = number;
    record.seconds = u32(rh);
    record.micros = u32(rh + 4);
    record.kept = kept;
    record.original = original;
    return kRecord;
}

Frame decode(const Record &record) {
    Frame f;
    const uint8_t *frame = record.frame();
    const uint32_t avail = record.frame_size();
    if (record.cut())
        f.problems.push_back("frame cut at " + std::to_string(avail) + " of " +
                             std::to_string(record.original - kPseudoHeader) + " bytes");
    if (avail < kHeaderSize) {
        f.problems.push_back("frame shorter than its 16-byte header");
        return f;
    }
    if (frame[0] != IPOD_HEADER_MARKER) f.problems.push_back("wrong marker 0x" + hex(frame, 1));
    f.tid = be32(frame + IPOD_HEADER_TID_AT);
    f.op = frame[IPOD_HEADER_OPCODE_AT];
    f.length = be32(frame + IPOD_HEADER_LENGTH_AT);
    const uint32_t have = avail - kHeaderSize;
    if (f.length > have && !record.cut())
        f.problems.push_back("length " + std::to_string(f.length) + " past the frame (" +
                             std::to_string(have) + " payload bytes)");
    else if (f.length < have)
        f.problems.push_back(std::to_string(have - f.length) + " bytes after the payload");
    const uint32_t usable = f.length < have ? f.length : have;
    if (usable > 0) {
        Decoder d;
        d.data = frame + kHeaderSize;
        d.end = usable;
        f.has_value = d.value(f.value, 0, nullptr);
        if (!d.error.empty()) f.problems.push_back((f.has_value ? "" : "undecodable value: ") + d.error);
    }
    if (f.has_value && f.op == IPOD_OP_event && !record.to_daemon()) f.event = event_of(f.value);
    return f;
}

// The time of day straight from the record's unsigned 32-bit seconds:
// through a 32-bit time_t, times after 2038 would turn negative.
std::string time_of_day(uint32_t seconds, uint32_t micros) {
    char stamp[64];
    const uint32_t of_day = seconds % 86400u;
    snprintf(stamp, sizeof stamp, "%02u:%02u:%02u.%06u", unsigned(of_day / 3600), unsigned(of_day / 60 % 60),
             unsigned(of_day % 60), unsigned(micros));
    return stamp;
}

std::string line(const Record &record, const Frame &f) {
    std::string out = time_of_day(record.seconds, record.micros) + (record.to_daemon() ? " -> " : " <- ");
    if (record.connection()) out += "#" + std::to_string(record.connection()) + " ";
    out += "tid " + std::to_string(f.tid) + " " + opcode_name(f.op);
    std::string summary = !f.event.empty() ? f.event + " " : "";
    if (f.has_value) summary += inline_text(f.value);
    if (summary.size() > kSummaryWidth) summary = summary.substr(0, kSummaryWidth - 3) + "...";
    if (!summary.empty()) out += " " + summary;
    for (const auto &p : f.problems) out += " [" + p + "]";
    return out;
}

std::string tree(const Frame &f) {
    std::string out;
    if (f.has_value) tree_text(f.value, "    ", "", out);
    return out;
}

json to_json(const Record &record, const Frame &f) {
    json o{{"frame", record.number},
           {"time", record.seconds + record.micros / 1e6},
           {"direction", record.to_daemon() ? "to_daemon" : "from_daemon"},
           {"connection", record.connection()},
           {"tid", f.tid},
           {"opcode", f.op},
           {"name", opcode_name(f.op)},
           {"length", f.length}};
    if (f.has_value) o["value"] = f.value;
    if (!f.event.empty()) o["event"] = f.event;
    if (!f.problems.empty()) o["problems"] = f.problems;
    return o;
}

}  // namespace kivcap
