// kiv-ipod dump FILE: prints a capture (KIV_IPOD_CAPTURE or
// kiv-ipod-simd --capture) frame by frame, without Wireshark.
#ifndef KIV_CLI_DUMP_H
#define KIV_CLI_DUMP_H

#include <string>
#include <vector>

// `args` follow the word "dump"; `json` is the program's --json. Returns
// the exit code: 0, or 2 for a usage error or a file that is not a whole
// capture (after printing the frames read before the fault).
int kiv_cli_dump(const std::vector<std::string> &args, bool json);

#endif
