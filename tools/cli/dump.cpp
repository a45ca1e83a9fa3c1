// kiv-ipod dump: reads a capture file (pcap, link type 147, an 8-byte
// pseudo-header per record: direction, three zero bytes, connection
// number) and decodes each frame: header fields, opcode name and the
// payload's value tree. Framing faults inside a frame are reported on its
// line; a file that is not a capture, or ends inside a record, ends the
// dump with exit code 2.
#include "dump.h"

#include <iostream>
#include <string>
#include <vector>

#include "../common/capture_reader.h"

namespace {

using json = nlohmann::json;

constexpr int kExitUsage = 2;

int fault(const std::string &path, const std::string &why) {
    std::cerr << "kiv-ipod: " << path << ": " << why << "\n";
    return kExitUsage;
}

}  // namespace

int kiv_cli_dump(const std::vector<std::string> &args, bool json_out) {
    bool verbose = false, options = true;
    std::string path;
    for (const auto &a : args) {
        if (options && a == "--") {
            options = false;
        } else if (options && (a == "-v" || a == "--verbose")) {
            verbose = true;
        } else if (options && a == "--json") {
            json_out = true;
        } else if (options && (a == "-h" || a == "--help")) {
            std::cout << "usage: kiv-ipod [--json] dump [-v] [--json] FILE\n"
                         "Prints a capture (KIV_IPOD_CAPTURE, kiv-ipod-simd --capture) one line per frame:\n"
                         "time, direction (-> to the daemon, <- from it), connection, transaction id,\n"
                         "opcode name and a summary. -v adds the whole value tree; --json prints one\n"
                         "object per frame. Exit code 2 for a file that is not a whole capture.\n";
            return 0;
        } else if (path.empty() && (!options || a.empty() || a[0] != '-')) {
            path = a;
        } else {
            return fault("dump", "unexpected argument " + a + " (usage: kiv-ipod dump [-v] FILE)");
        }
    }
    if (path.empty()) return fault("dump", "needs a capture FILE (usage: kiv-ipod dump [-v] FILE)");
    kivcap::Reader reader;
    std::string why;
    if (!reader.open(path, why)) return fault(path, why);
    kivcap::Record record;
    for (;;) {
        kivcap::Reader::Result got = reader.next(record, why);
        if (got == kivcap::Reader::kEnd) break;
        if (got == kivcap::Reader::kFault) return fault(path, why);
        const kivcap::Frame frame = kivcap::decode(record);
        if (json_out) {
            std::cout << kivcap::to_json(record, frame).dump(-1, ' ', false, json::error_handler_t::replace)
                      << "\n";
            continue;
        }
        std::cout << kivcap::line(record, frame) << "\n";
        if (verbose) std::cout << kivcap::tree(frame);
    }
    return 0;
}
