// Loading a recorded connection for --replay and printing where a client
// leaves it. See replay.h.
#include "replay.h"

#include <stdio.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <sstream>

namespace simd {

namespace {

uint64_t micros_of(const kivcap::Record &r) {
    return static_cast<uint64_t>(r.seconds) * 1000000u + r.micros;
}

// A frame that can be sent again as it was: whole, with a header.
bool check_frame(const kivcap::Record &r, std::string &why) {
    if (r.cut()) {
        why = "record " + std::to_string(r.number) + " holds a frame cut at " +
              std::to_string(r.frame_size()) + " bytes: it cannot be replayed";
        return false;
    }
    if (r.frame_size() < kivcap::kHeaderSize) {
        why = "record " + std::to_string(r.number) + " holds a frame shorter than its 16-byte header";
        return false;
    }
    return true;
}

// Reads the records of the chosen connection (all connections are listed).
bool read_records(const ReplayOptions &options, Recording &out, std::vector<kivcap::Record> &records,
                  std::string &why) {
    struct stat st;
    if (stat(options.file.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        why = "is a directory: replay one of its files (one per handle)";
        return false;
    }
    kivcap::Reader reader;
    if (!reader.open(options.file, why)) return false;
    bool chosen = options.pick_connection;
    out.connection = options.connection;
    size_t bytes = 0;
    for (kivcap::Record r;;) {
        kivcap::Reader::Result got = reader.next(r, why);
        if (got == kivcap::Reader::kFault) return false;
        if (got == kivcap::Reader::kEnd) break;
        if (std::find(out.available.begin(), out.available.end(), r.connection()) == out.available.end())
            out.available.push_back(r.connection());
        if (!chosen) {
            out.connection = r.connection();
            chosen = true;
        }
        if (r.connection() != out.connection) continue;
        if (!check_frame(r, why)) return false;
        bytes += r.kept;
        if (bytes > kMaxReplayBytes) {
            why = "connection #" + std::to_string(out.connection) + " holds more than " +
                  std::to_string(kMaxReplayBytes >> 20) + " MiB: too large to replay";
            return false;
        }
        records.push_back(std::move(r));
    }
    if (records.empty()) {
        std::string list;
        for (uint32_t c : out.available) list += (list.empty() ? "#" : ", #") + std::to_string(c);
        why = out.available.empty()
                  ? "holds no frames"
                  : "has no connection #" + std::to_string(out.connection) + " (it holds " + list + ")";
        return false;
    }
    return true;
}

// Kinds, anchors and delays (see replay.h).
void link_frames(Recording &out) {
    int anchor = -1;
    uint64_t anchor_us = out.frames.empty() ? 0 : micros_of(out.frames[0].record);
    std::vector<bool> answered;
    for (size_t k = 0; k < out.frames.size(); k++) {
        Recorded &f = out.frames[k];
        const uint64_t at = micros_of(f.record);
        if (f.record.to_daemon()) {
            f.kind = Recorded::Request;
            out.requests.push_back(k);
            out.ping_reply.push_back(-1);
            answered.push_back(false);
            if (f.opcode != kPingOpcode) {
                anchor = static_cast<int>(out.requests.size() - 1);
                anchor_us = at;
            }
            continue;
        }
        f.anchor = anchor;
        f.delay_us = std::min(at > anchor_us ? at - anchor_us : 0, kMaxReplayDelayUs);
        if (f.opcode == kEventOpcode || f.opcode == kPingOpcode) continue;
        // The latest unanswered request of this transaction id.
        for (size_t r = out.requests.size(); r-- > 0;) {
            const Recorded &q = out.frames[out.requests[r]];
            if (answered[r] || q.tid != f.tid) continue;
            answered[r] = true;
            f.request = static_cast<int>(r);
            f.kind = q.opcode == kPingOpcode ? Recorded::PingReply : Recorded::Reply;
            if (f.kind == Recorded::PingReply) out.ping_reply[r] = static_cast<int>(k);
            break;
        }
    }
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

std::string dump_text(const kivcap::Record &r) {
    kivcap::Frame f = kivcap::decode(r);
    return kivcap::line(r, f) + "\n" + kivcap::tree(f);
}

}  // namespace

bool load_recording(const ReplayOptions &options, Recording &out, std::string &why) {
    out.path = options.file;
    std::vector<kivcap::Record> records;
    if (!read_records(options, out, records, why)) return false;
    out.frames.reserve(records.size());
    for (auto &r : records) {
        Recorded f;
        f.opcode = r.frame()[8];
        f.tid = kivcap::be32(r.frame() + 4);
        f.bytes.assign(reinterpret_cast<const char *>(r.frame()), r.frame_size());
        f.record = std::move(r);
        out.frames.push_back(std::move(f));
    }
    link_frames(out);
    return true;
}

std::string divergence_text(const Recording &rec, size_t request, const std::string &received,
                            const std::string &why) {
    std::string out = "kiv-ipod-simd: replay diverged: " + why + "\n";
    std::vector<std::string> left{"recorded"};
    if (request < rec.requests.size()) {
        const kivcap::Record &r = rec.frames[rec.requests[request]].record;
        out += "  at record " + std::to_string(r.number) + " of " + rec.path + " (request " +
               std::to_string(request + 1) + " of " + std::to_string(rec.requests.size()) +
               " of connection #" + std::to_string(rec.connection) + ")\n";
        for (auto &l : lines_of(dump_text(r))) left.push_back(l);
    } else {
        out += "  past the end of " + rec.path + " (all " + std::to_string(rec.requests.size()) +
               " requests of connection #" + std::to_string(rec.connection) + " were made)\n";
        left.push_back("(nothing)");
    }
    // The received frame as a record of the same connection, stamped now.
    kivcap::Record got;
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    got.seconds = static_cast<uint32_t>(now.tv_sec);
    got.micros = static_cast<uint32_t>(now.tv_nsec / 1000);
    got.body.assign(kivcap::kPseudoHeader, 0);
    for (int k = 0; k < 4; k++) got.body[4 + k] = static_cast<uint8_t>(rec.connection >> (24 - 8 * k));
    got.body.insert(got.body.end(), received.begin(), received.end());
    got.kept = got.original = static_cast<uint32_t>(got.body.size());
    std::vector<std::string> right{"received"};
    for (auto &l : lines_of(dump_text(got))) right.push_back(l);

    size_t width = 0;
    for (auto &l : left) width = std::max(width, l.size());
    for (size_t k = 0; k < std::max(left.size(), right.size()); k++) {
        std::string l = k < left.size() ? left[k] : "";
        l.resize(width, ' ');
        out += "  " + l + " | " + (k < right.size() ? right[k] : "") + "\n";
    }
    return out;
}

int replay(const ReplayOptions &options) {
    Recording rec;
    std::string why;
    if (!load_recording(options, rec, why)) {
        fprintf(stderr, "kiv-ipod-simd: %s: %s\n", options.file.c_str(), why.c_str());
        return 2;
    }
    return serve_recording(rec, options);
}

}  // namespace simd
